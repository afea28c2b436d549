// What corvane-mix leaves in the containers libavformat writes: killed part way on a 1080p H.264
// main, a file that plays in the ffmpeg CLI at least as far as the progress had said the file
// reached, less a second's worth of frames; finished, an MP4 or MOV that is one plain file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reliabilitysupport.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

constexpr int kRate = 25;

// The largest "N in the file" that corvane-mix's progress lines in `log` have shown so far.
int ReportedInFile(const std::string& log) {
  std::ifstream in(log);
  std::string line;
  int reported = 0;
  while (std::getline(in, line)) {
    const size_t at = line.find(" in the file");
    if (at == std::string::npos) continue;
    const size_t from = line.rfind(' ', at - 1);
    reported = std::max(reported, std::atoi(line.c_str() + from + 1));
  }
  return reported;
}

class KillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffprobe") || !test::HaveProgram("ffmpeg"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    m_program = test::BuiltProgram("cli/corvane-mix");
    if (!fs::exists(m_program)) GTEST_SKIP() << "corvane-mix is not built";
  }
  test::CTempDir m_dir;
  std::string m_program;
};

// The four-character types of the boxes at the top of an MP4 or MOV file, in order.
std::vector<std::string> TopBoxes(const std::string& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  std::vector<std::string> boxes;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const uint64_t size = uint64_t{bytes[at]} << 24 | uint64_t{bytes[at + 1]} << 16 |
                          uint64_t{bytes[at + 2]} << 8 | bytes[at + 3];
    boxes.emplace_back(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

// Each packet of one stream as ffprobe reads it: its flags and a hash of its data.
std::string PacketData(const std::string& path, const char* stream) {
  return RunCommand(std::string("ffprobe -v error -select_streams ") + stream +
                    " -show_entries packet=flags,data_hash -show_data_hash md5 -of csv=p=0 " +
                    ShellQuote(path))
      .m_output;
}

TEST_F(KillTest, EveryContainerPlaysAsFarAsTheProgressSaidLessASecond) {
  // Camera-like: 1080p H.264 with B-frames and a key frame every two seconds, and sound.
  const std::string main = m_dir.Path("main.mp4");
  const auto made = RunCommand(
      "ffmpeg -v error -f lavfi -i testsrc2=s=1920x1080:r=25:d=16 -f lavfi -i sine=d=16 "
      "-c:v libx264 -preset ultrafast -bf 2 -g 50 -pix_fmt yuv420p -c:a aac " +
      ShellQuote(main));
  ASSERT_EQ(made.m_exitCode, 0) << made.m_errors;
  const std::string top = m_dir.Path("top.png");
  ASSERT_EQ(
      RunCommand("ffmpeg -v error -f lavfi -i color=c=red:s=320x180 -frames:v 1 " + ShellQuote(top))
          .m_exitCode,
      0);

  struct CCase {
    const char* m_extension;
    const char* m_codec;
    int m_signal;
  };
  // The encoders the containers are used with most: H.264 holds about 40 frames back. Ctrl-C
  // (SIGINT) is a Stop: the MP4 is then made plain.
  for (const CCase& test :
       {CCase{"mp4", "h264", SIGKILL}, CCase{"mov", "h264", SIGKILL}, CCase{"mkv", "h264", SIGKILL},
        CCase{"webm", "vp9", SIGKILL}, CCase{"mp4", "h264", SIGINT}}) {
    const bool stop = test.m_signal == SIGINT;
    SCOPED_TRACE(std::string(test.m_extension) + (stop ? " stopped" : " killed"));
    const std::string name = std::string(stop ? "stopped" : "killed") + "." + test.m_extension;
    const std::string output = m_dir.Path(name);
    const std::string log = m_dir.Path(name + ".log");
    int reported = 0;
    const test::CChildRun run = test::RunChild(
        {m_program, "--codec", test.m_codec, "--at", "40,40", main, top, output},
        [&]() {
          const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (file >= 0) dup2(file, STDERR_FILENO);
        },
        [&](pid_t pid) {
          // Killed once the progress says three seconds are in the file (at most a minute).
          for (int waited = 0; waited < 600 && reported < 3 * kRate; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reported = ReportedInFile(log);
          }
          kill(pid, test.m_signal);
        });
    if (stop) {
      EXPECT_TRUE(run.m_exited && run.m_exitCode == 130) << run.m_exitCode << run.m_errors;
      const std::vector<std::string> boxes = TopBoxes(output);
      EXPECT_LT(std::find(boxes.begin(), boxes.end(), "moov"),
                std::find(boxes.begin(), boxes.end(), "mdat"));
      EXPECT_EQ(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end()) << "still fragmented";
    } else {
      ASSERT_EQ(run.m_signal, SIGKILL) << "the mix ended before it was killed";
    }
    ASSERT_GE(reported, 3 * kRate) << "no progress reported in a minute";
    const int decoded = test::PeerFrameCount(output);
    EXPECT_GE(decoded, reported - kRate) << "reported " << reported;
    // What a killed file keeps also plays without a decoding error up to where it ends.
    const auto played = RunCommand("ffmpeg -v error -xerror -i " + ShellQuote(output) +
                                   " -map 0:v:0 -f null - 2>&1");
    EXPECT_EQ(played.m_exitCode, 0) << played.m_output;
    if (std::string(test.m_extension) == "mp4" && !stop) {
      // corvane-avi copy makes the fragments one plain file, packet for packet.
      const std::string plain = m_dir.Path("killed-plain.mp4");
      const auto copied = RunCommand(ShellQuote(test::BuiltProgram("cli/corvane-avi")) + " copy " +
                                     ShellQuote(output) + " " + ShellQuote(plain));
      EXPECT_EQ(copied.m_exitCode, 0) << copied.m_errors;
      const std::vector<std::string> boxes = TopBoxes(plain);
      EXPECT_LT(std::find(boxes.begin(), boxes.end(), "moov"),
                std::find(boxes.begin(), boxes.end(), "mdat"));
      EXPECT_EQ(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end());
      EXPECT_EQ(PacketData(plain, "v"), PacketData(output, "v"));
      EXPECT_EQ(PacketData(plain, "a"), PacketData(output, "a"));
    }
    test::AddTableRow(stop ? "stop" : "kill",
                      std::string(stop ? "Ctrl-C" : "SIGKILL") + " to corvane-mix into ." +
                          test.m_extension + " (" + test.m_codec +
                          ", 1080p H.264 main) once its progress "
                          "said " +
                          std::to_string(reported) + " frames were in the file",
                      "the ffmpeg CLI decodes " + std::to_string(decoded) +
                          " frames without an error (at least the frames reported, less a "
                          "second)" +
                          (stop ? "; the file is plain, its index first" : ""),
                      !HasFailure());
  }
}

// A finished MP4 or MOV, written in fragments while the mix ran, is one plain file at the end:
// its index at the front, no fragments, and the very packets the same mix puts in Matroska
// (whose writing did not change), the main's sound packet for packet.
TEST_F(KillTest, AFinishedMp4OrMovIsPlainWithTheIndexFirstAndEveryPacket) {
  const std::string main = m_dir.Path("main.mp4");
  ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i testsrc2=s=320x240:r=25:d=3 -f lavfi -i "
                       "sine=d=3 -c:v libx264 -bf 2 -g 30 -c:a aac " +
                       ShellQuote(main))
                .m_exitCode,
            0);
  const std::string top = m_dir.Path("top.png");
  ASSERT_EQ(
      RunCommand("ffmpeg -v error -f lavfi -i color=c=red:s=64x48 -frames:v 1 " + ShellQuote(top))
          .m_exitCode,
      0);
  const std::string reference = m_dir.Path("reference.mkv");
  const auto mixed = RunCommand(ShellQuote(m_program) + " --codec h264 " + ShellQuote(main) + " " +
                                ShellQuote(top) + " " + ShellQuote(reference));
  ASSERT_EQ(mixed.m_exitCode, 0) << mixed.m_errors;
  for (const char* extension : {"mp4", "mov"}) {
    SCOPED_TRACE(extension);
    const std::string output = m_dir.Path(std::string("plain.") + extension);
    const auto run = RunCommand(ShellQuote(m_program) + " --codec h264 " + ShellQuote(main) + " " +
                                ShellQuote(top) + " " + ShellQuote(output));
    ASSERT_EQ(run.m_exitCode, 0) << run.m_errors;
    const std::vector<std::string> boxes = TopBoxes(output);
    const auto index = std::find(boxes.begin(), boxes.end(), "moov");
    EXPECT_LT(index, std::find(boxes.begin(), boxes.end(), "mdat")) << "index after the data";
    EXPECT_EQ(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end()) << "still fragmented";
    EXPECT_EQ(PacketData(output, "v"), PacketData(reference, "v"));
    EXPECT_EQ(PacketData(output, "a"), PacketData(main, "a"));
    // Nothing is left beside it.
    for (const auto& entry : fs::directory_iterator(m_dir.Path("")))
      EXPECT_EQ(entry.path().filename().string().find(".corvane-plain"), std::string::npos);
  }
}

}  // namespace
}  // namespace corvane
