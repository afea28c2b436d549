// Copying unchanged groups of pictures from H.264 and VP9 mains: a red logo shown from 1.2 s to
// 1.6 s (frames 30 to 39) of a 4-second, 25 fps main whose groups start every 25 frames. The group
// the logo touches is encoded again; every other one is the main's own packets, decoding as the
// main does. Checked with ffmpeg and ffprobe, which must decode the result without one error.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "media/codec/streamsplice.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::RunCommand;
using test::ShellQuote;

// The output lines of a shell command.
std::vector<std::string> Lines(const std::string& command) {
  const auto result = RunCommand(command);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < result.m_output.size()) {
    const size_t end = result.m_output.find('\n', at);
    lines.push_back(result.m_output.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

// One hash per decoded picture of the first video stream, or per packet of the first audio one.
std::vector<std::string> Hashes(const std::string& path, const char* streams) {
  return Lines("ffmpeg -v error -i " + ShellQuote(path) + " -map 0:" + streams +
               (streams[0] == 'a' ? " -c copy" : "") +
               " -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
}

class SmartGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i color=c=red:size=32x24 -frames:v 1 " +
                         ShellQuote(m_logo))
                  .m_exitCode,
              0);
  }

  // A 4-second main of testsrc2 at 25 fps, coded as `codec` says.
  void MakeMain(const std::string& codec, const std::string& path) {
    ASSERT_EQ(RunCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi "
                         "-i sine=sample_rate=48000 -t 4 " +
                         codec + " " + ShellQuote(path))
                  .m_exitCode,
              0);
  }

  test::CCommandResult Mix(const std::string& main, const std::string& output,
                           const std::string& options = "") {
    return RunCommand(ShellQuote(test::BuiltProgram("cli/corvane-mix")) + " --overwrite " +
                      options + " --corner tr --from 1.2 --to 1.6 " + ShellQuote(main) + " " +
                      ShellQuote(m_logo) + " " + ShellQuote(output));
  }

  test::CTempDir m_dir;
  std::string m_logo = m_dir.Path("logo.png");
};

TEST_F(SmartGroupsTest, UntouchedGroupsAreTheMainsOwnAndTheTouchedOneCarriesTheLayer) {
  const std::string x264 =
      "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25 -keyint_min 25 "
      "-sc_threshold 0 ";
  // An open-GOP main: two pieces, each starting with an IDR picture, whose middle I-pictures
  // (frames 25 and 75) lead B-pictures that refer back. Only IDR pictures start a copied group.
  const std::string open = m_dir.Path("open.mkv");
  const std::string piece = m_dir.Path("piece.mkv");
  MakeMain(x264 + "-bf 3 -x264-params open-gop=1 -t 2 -an -f matroska", piece);
  ASSERT_EQ(RunCommand("cd " + ShellQuote(m_dir.Path("")) +
                       " && printf \"file piece.mkv\\nfile piece.mkv\\n\" > list.txt && ffmpeg -v "
                       "error -f concat -i list.txt -c copy open.mkv")
                .m_exitCode,
            0);
  const struct {
    const char* m_name;
    std::string m_coding;  // empty: `open`
    const char* m_output;
    const char* m_summary;
  } cases[] = {
      {"B-frames.mp4", x264 + "-bf 3 -c:a aac", "b.mp4", "(75 copied, 25 encoded)"},
      {"B-frames.mp4", "", "b.mkv", "(75 copied, 25 encoded)"},  // the same main into Matroska
      {"baseline.mp4", x264 + "-profile:v baseline -c:a aac", "base.mp4",
       "(75 copied, 25 encoded)"},
      {"vp9.webm",
       "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 25 -pix_fmt yuv420p -c:a "
       "libopus",
       "vp9-out.webm", "(75 copied, 25 encoded)"},
      {"open.mkv", "", "open-out.mkv", "(50 copied, 50 encoded)"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(std::string(test.m_name) + " into " + test.m_output);
    const std::string main =
        test.m_name == std::string("open.mkv") ? open : m_dir.Path(test.m_name);
    if (!test.m_coding.empty()) MakeMain(test.m_coding, main);
    const std::string output = m_dir.Path(test.m_output);
    // Matroska's own default codec is FFV1.
    const auto mixed = Mix(main, output, test.m_name[0] == 'v' ? "" : "--codec h264");
    ASSERT_EQ(mixed.m_exitCode, 0) << mixed.m_errors;
    EXPECT_NE(mixed.m_errors.find(test.m_summary), std::string::npos) << mixed.m_errors;
    EXPECT_EQ(
        RunCommand("ffmpeg -v error -xerror -i " + ShellQuote(output) + " -f null -").m_exitCode,
        0);
    const std::vector<std::string> mainPictures = Hashes(main, "v:0");
    const std::vector<std::string> pictures = Hashes(output, "v:0");
    ASSERT_EQ(mainPictures.size(), 100u);
    ASSERT_EQ(pictures.size(), 100u);
    // The encoded frames are those of the touched groups, found from the summary's counts.
    const size_t encodedFrom = test.m_summary[1] == '5' ? 0 : 25;
    const size_t encodedTo = 50;
    for (size_t frame = 0; frame < 100; ++frame) {
      const bool encoded = frame >= encodedFrom && frame < encodedTo;
      EXPECT_EQ(pictures[frame] == mainPictures[frame], !encoded) << "frame " << frame;
    }
    // The logo is on its frames, and the sound is the main's, packet for packet.
    const auto laid = RunCommand("ffmpeg -v error -i " + ShellQuote(output) +
                                 " -vf 'select=eq(n\\,35),format=rgb24,crop=1:1:120:20' -frames:v "
                                 "1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(laid.m_output.size(), 3u);
    EXPECT_GT(uint8_t(laid.m_output[0]), 200);
    EXPECT_LT(uint8_t(laid.m_output[1]), 60);
    if (main != open) EXPECT_EQ(Hashes(output, "a:0"), Hashes(main, "a:0"));
    // Decoding times rise packet by packet and never come after the presentation.
    const std::vector<std::string> times =
        Lines("ffprobe -v error -select_streams v -show_entries packet=pts,dts -of csv=p=0 " +
              ShellQuote(output));
    long long previous = -1LL << 62;
    for (const std::string& line : times) {
      long long pts = 0;
      long long dts = 0;
      if (std::sscanf(line.c_str(), "%lld,%lld", &pts, &dts) != 2) continue;  // no dts: Matroska
      EXPECT_GT(dts, previous) << line;
      EXPECT_LE(dts, pts) << line;
      previous = dts;
    }
  }
  // Never asked to copy: every frame is encoded.
  const auto never = Mix(m_dir.Path("B-frames.mp4"), m_dir.Path("never.mp4"), "--no-smart");
  ASSERT_EQ(never.m_exitCode, 0) << never.m_errors;
  EXPECT_EQ(never.m_errors.find("copied"), std::string::npos) << never.m_errors;
}

// A main whose pictures no encoded picture could sit among is encoded whole, and it is said why.
TEST_F(SmartGroupsTest, AMainThatCannotBeMatchedIsEncodedAndSaysWhy) {
  const std::string main = m_dir.Path("444.mp4");
  MakeMain("-c:v libx264 -preset veryfast -pix_fmt yuv444p -g 25 -an", main);
  const auto mixed = Mix(main, m_dir.Path("out.mp4"));
  ASSERT_EQ(mixed.m_exitCode, 0) << mixed.m_errors;
  EXPECT_NE(mixed.m_errors.find("cannot be copied as they are (its pictures are not 8-bit 4:2:0)"),
            std::string::npos)
      << mixed.m_errors;
  EXPECT_EQ(mixed.m_errors.find("copied,"), std::string::npos) << mixed.m_errors;
}

// Parameter-set ids are read through their exp-Golomb codes: a wrong id would give the encoder's
// sets one the main already uses.
TEST(StreamSpliceTest, ParameterSetIdsAreReadAsCoded) {
  const struct {
    NalUnit m_unit;
    int m_id;
  } cases[] = {
      {{0x67, 100, 0, 30, 0x80}, 0},         // SPS, ue '1'
      {{0x67, 100, 0, 30, 0x40}, 1},         // '010'
      {{0x67, 100, 0, 30, 0x20}, 3},         // '00100'
      {{0x67, 100, 0, 30, 0x04, 0x10}, 31},  // '00000100000'
      {{0x68, 0x50}, 1},                     // PPS, '010' then the sequence set's id
      {{0x67, 100, 0}, -1},                  // cut short
      {{0x65, 0x88}, -1},                    // a slice, not a parameter set
  };
  for (const auto& test : cases) EXPECT_EQ(ParameterSetId(test.m_unit), test.m_id);
}

}  // namespace
}  // namespace corvane
