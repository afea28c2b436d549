// Shared by the reliability tests: hostile AVI files made from a small fixture by patching its
// headers, a child process runner that reports how the child ended and its peak memory, and
// the rows of the reliability table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane::test {

// Little-endian field access on a file image; false when the field lies outside it.
bool PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t at);

// Offset of the payload of the first chunk `fourcc` at or after `from`, or 0 when there is
// none. A plain byte search: good enough for the fixtures these files are made from.
size_t FindChunk(const std::vector<uint8_t>& bytes, const char* fourcc, size_t from = 12);

// Stream 0 video chunks ('00d?') whose whole payload lies in the file, counted by walking movi
// (LIST 'rec ' groups entered) without any index; -1 when there is no movi.
int CompleteVideoChunks(const std::vector<uint8_t>& bytes);

// The hostile inputs. Each writes one file (or folder) at `path`, from the raw 64 x 48 fixture
// or, for other containers, by ffmpeg, and returns false when it could not be made.
struct CHostileInput {
  std::string m_name;      // what the table calls it
  std::string m_fileName;  // name inside the test folder
  std::function<bool(const std::string& path)> m_make;
};
std::vector<CHostileInput> HostileInputs();

// How a child process ended.
struct CChildRun {
  bool m_exited = false;  // ended by exit (not by a signal)
  int m_exitCode = -1;
  int m_signal = 0;
  long m_peakKb = 0;  // peak resident memory of the child, from wait4
  std::string m_errors;
};

// Runs `argv` in a child with `setup` called in the child before exec (limits, signals,
// credentials); stderr is collected. `onStart` gets the child's pid once it runs.
CChildRun RunChild(const std::vector<std::string>& argv,
                   const std::function<void()>& setup = nullptr,
                   const std::function<void(pid_t)>& onStart = nullptr);

// Whether this test binary (and so the programs beside it) carries AddressSanitizer.
bool BuiltWithAddressSanitizer();

// Appends a row to the reliability table: the area (front end or fault class), what was tried,
// what happened, and whether the test passed. Rows of one test are written at its end.
void AddTableRow(const std::string& area, const std::string& tried, const std::string& result,
                 bool passed);

}  // namespace corvane::test
