// Helpers shared by the test suites: where the fixtures and the built tools are, temporary
// folders, and running the independent peer tools (ffmpeg, ffprobe, gst-discoverer, mediainfo).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane::test {

// Path of a file of the AVI test corpus (made in the build tree by the CTest fixture "corpus",
// or CORVANE_FIXTURES). A file that is not there throws std::runtime_error naming its path, so a
// test fails at once and says why instead of waiting on an input that never opens.
std::string Fixture(const std::string& name);
// The names of every file of the corpus, sorted, as corpus.txt lists them. Read from the source
// tree, so parameterised suites see them before the corpus is made.
std::vector<std::string> AllFixtures();
// Path of a file beside the corpus maker in the source tree (riffwalk.py, corpus.txt).
std::string CorpusSource(const std::string& name);
// Path of a program built in this build tree (e.g. "cli/corvane-avi").
std::string BuiltProgram(const std::string& relativePath);

// A fresh folder removed (with its contents) when the object goes.
class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  const std::filesystem::path& Dir() const { return m_dir; }

 private:
  std::filesystem::path m_dir;
};

struct CCommandResult {
  int m_exitCode = -1;
  std::string m_output;  // stdout only; stderr goes to m_errors
  std::string m_errors;
};

// Runs a shell command and collects its output. The command is passed to /bin/sh -c.
CCommandResult RunCommand(const std::string& command);
// Quotes one argument for the shell.
std::string ShellQuote(const std::string& text);
// Whether a program is on the PATH.
bool HaveProgram(const std::string& name);

// "codec_type,packets" lines, a stream each, as ffprobe counts them (0 where it says N/A).
std::string PacketCounts(const std::string& path);

// What ffprobe's demuxers give for the first audio stream: each packet's size and checksum, a
// line each (side data, which breaks a packet's line in two, left out).
std::string AudioPackets(const std::string& path);

// The first audio stream as ffmpeg decodes it: 16-bit samples, its own rate and channels.
std::string DecodedAudio(const std::string& path);

// Frames of the first video stream as ffprobe counts them by decoding; -1 when it cannot.
int PeerFrameCount(const std::string& path);
// Makes `path` with the ffmpeg CLI from `arguments` (inputs, filters, codec), replacing it.
bool MakeWithFfmpeg(const std::string& arguments, const std::string& path);

// Turns the first track of an MP4 or MOV by `degrees` (90, 180 or 270, clockwise as ffmpeg's
// autorotation turns it) the way a phone records it: in the matrix of its 'tkhd' box, which this
// ffmpeg leaves as it is whatever rotation tag it is given. False when there is no version 0
// 'tkhd' to change.
bool TurnFirstTrack(const std::string& path, int degrees);
// The rotation ffprobe reads from the first video stream's display matrix ("-90" for a turn of
// 90 degrees clockwise); empty when it has none.
std::string PeerRotation(const std::string& path);

// Whole file as bytes; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace corvane::test
