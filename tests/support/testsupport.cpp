#include "support/testsupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace corvane::test {
namespace fs = std::filesystem;

namespace {
std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}
}  // namespace

std::string Fixture(const std::string& name) {
  const fs::path path = fs::path(EnvOr("CORVANE_FIXTURES", CORVANE_DEFAULT_FIXTURES)) / name;
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    throw std::runtime_error("missing test input " + path.string() +
                             " (the CTest fixture \"corpus\" makes it: run the tests with ctest)");
  }
  return path.string();
}

std::vector<std::string> AllFixtures() {
  std::vector<std::string> names;
  std::ifstream list(CorpusSource("corpus.txt"));
  for (std::string line; std::getline(list, line);) {
    const std::string name = line.substr(0, line.find_first_of(" \t"));
    if (name.size() > 4 && name.ends_with(".avi")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string CorpusSource(const std::string& name) {
  return (fs::path(CORVANE_CORPUS_SOURCE) / name).string();
}

std::string BuiltProgram(const std::string& relativePath) {
  return (fs::path(EnvOr("CORVANE_BIN", CORVANE_DEFAULT_BIN)) / relativePath).string();
}

CTempDir::CTempDir() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    m_dir = base / ("corvane-test-" + std::to_string(getpid()) + "-" + std::to_string(random()));
    if (fs::create_directory(m_dir)) break;
  }
}

CTempDir::~CTempDir() {
  std::error_code error;
  fs::remove_all(m_dir, error);
}

CCommandResult RunCommand(const std::string& command) {
  CCommandResult result;
  CTempDir scratch;
  const std::string errorsPath = scratch.Path("stderr");
  const std::string full = command + " 2>" + ShellQuote(errorsPath);
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 65536> chunk{};
  size_t count;
  while ((count = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.m_output.append(chunk.data(), count);
  const int status = pclose(pipe);
  result.m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto errors = ReadFileBytes(errorsPath);
  result.m_errors.assign(errors.begin(), errors.end());
  return result;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

bool HaveProgram(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null").m_exitCode == 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string PacketCounts(const std::string& path) {
  std::string counts = RunCommand(
                           "ffprobe -v error -count_packets -show_entries stream=codec_type,"
                           "nb_read_packets -of csv=p=0 " +
                           ShellQuote(path))
                           .m_output;
  for (size_t at; (at = counts.find("N/A")) != std::string::npos;) counts.replace(at, 3, "0");
  return counts;
}

std::string AudioPackets(const std::string& path) {
  std::string lines = RunCommand(
                          "ffprobe -v error -select_streams a:0 -show_data_hash md5 "
                          "-show_entries packet=size,data_hash -of csv=p=0 " +
                          ShellQuote(path))
                          .m_output;
  for (size_t at; (at = lines.find(",\n,")) != std::string::npos;) lines.erase(at, 2);
  return lines;
}

std::string DecodedAudio(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:a:0 -f s16le -c:a pcm_s16le -")
      .m_output;
}

int PeerFrameCount(const std::string& path) {
  const std::string count = RunCommand(
                                "ffprobe -v error -count_frames -select_streams v:0 "
                                "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                ShellQuote(path))
                                .m_output;
  return count.empty() || count[0] < '0' || count[0] > '9' ? -1 : std::stoi(count);
}

bool MakeWithFfmpeg(const std::string& arguments, const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v error -y " + arguments + " " + ShellQuote(path))
             .m_exitCode == 0;
}

bool TurnFirstTrack(const std::string& path, int degrees) {
  // The matrix's a, b, c, d (16.16 fixed point); the rest is the identity's.
  uint32_t abcd[4] = {};
  switch (degrees) {
    case 90:
      abcd[1] = 0x10000, abcd[2] = 0xFFFF0000;
      break;
    case 180:
      abcd[0] = 0xFFFF0000, abcd[3] = 0xFFFF0000;
      break;
    case 270:
      abcd[1] = 0xFFFF0000, abcd[2] = 0x10000;
      break;
    default:
      return false;
  }
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  const uint8_t tkhd[] = {'t', 'k', 'h', 'd'};
  const auto box = std::search(bytes.begin(), bytes.end(), std::begin(tkhd), std::end(tkhd));
  // Version 0: size, type, version and flags, two times, track id, reserved, duration, reserved
  // (8), layer, group, volume, reserved, then the nine matrix fields.
  const size_t version = static_cast<size_t>(box - bytes.begin()) + 4;
  const size_t matrix = version + 40;
  if (box == bytes.end() || matrix + 36 > bytes.size() || bytes[version] != 0) return false;
  const uint32_t fields[9] = {abcd[0], abcd[1], 0, abcd[2], abcd[3], 0, 0, 0, 0x40000000};
  for (size_t i = 0; i < 9; ++i)
    for (size_t b = 0; b < 4; ++b)
      bytes[matrix + 4 * i + b] = static_cast<uint8_t>(fields[i] >> (24 - 8 * b));
  return WriteFileBytes(path, bytes);
}

std::string PeerRotation(const std::string& path) {
  std::string rotation = RunCommand(
                             "ffprobe -v error -select_streams v:0 -show_entries "
                             "stream_side_data=rotation -of csv=p=0 " +
                             ShellQuote(path))
                             .m_output;
  while (!rotation.empty() && (rotation.back() == '\n' || rotation.back() == ','))
    rotation.pop_back();
  return rotation;
}

}  // namespace corvane::test
