// Copying unchanged frames: a Motion JPEG main with a logo shown for half a second, mixed into
// Motion JPEG in each container. Where copying is on, the frames outside the logo's range are
// the main's own packets (and decode as the main does) and the rest carry the logo, encoded as
// coarsely and in the same layout as the main; where it is off every frame is encoded. Checked
// with ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/codec/jpegfacts.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::RunCommand;
using test::ShellQuote;

// One hash per video packet (`copy`) or per decoded picture, in order.
std::vector<std::string> Hashes(const std::string& path, bool copy) {
  const auto result =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -map 0:v:0 " +
                 (copy ? "-c copy " : "") + "-f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
  std::vector<std::string> hashes;
  size_t at = 0;
  while (at < result.m_output.size()) {
    const size_t end = result.m_output.find('\n', at);
    hashes.push_back(result.m_output.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return hashes;
}

// The RGB of pixel x, y of picture `frame`.
std::vector<uint8_t> Pixel(const std::string& path, int frame, int x, int y) {
  const auto result =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -vf 'select=eq(n\\," +
                 std::to_string(frame) + "),format=rgb24,crop=1:1:" + std::to_string(x) + ":" +
                 std::to_string(y) + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  return std::vector<uint8_t>(result.m_output.begin(), result.m_output.end());
}

class SmartCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
    // 2 s at 30 fps, 4:2:2 at quantiser 5, with sound; a red logo.
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=30 -f lavfi -i "
                         "sine=sample_rate=44100 -t 2 -c:v mjpeg -q:v 5 -pix_fmt yuvj422p "
                         "-c:a pcm_s16le " +
                         ShellQuote(m_main))
                  .m_exitCode,
              0);
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i color=c=red:size=32x24 -frames:v 1 " +
                         ShellQuote(m_logo))
                  .m_exitCode,
              0);
  }

  // corvane-mix with the logo in the top right corner from 0.5 s to 1 s (frames 15 to 29).
  test::CCommandResult Mix(const std::string& options, const std::string& output) {
    return RunCommand(ShellQuote(test::BuiltProgram("cli/corvane-mix")) + " --overwrite " +
                      options + " --corner tr --from 0.5 --to 1 " + ShellQuote(m_main) + " " +
                      ShellQuote(m_logo) + " " + ShellQuote(output));
  }

  test::CTempDir m_dir;
  std::string m_main = m_dir.Path("main.avi");
  std::string m_logo = m_dir.Path("logo.png");
};

TEST_F(SmartCopyTest, FramesNoLayerShowsOnAreTheMainsOwnWhereCopyingIsOn) {
  const struct {
    const char* m_output;
    const char* m_options;
    bool m_copies;
  } cases[] = {
      {"default.avi", "--codec mjpeg", false},  // an AVI puts every frame through its compressor
      {"smart.avi", "--codec mjpeg --smart", true},
      {"default.mkv", "--codec mjpeg", true},
      {"default.mov", "--codec mjpeg", true},
      {"default.mp4", "--codec mjpeg", true},
      {"never.mkv", "--codec mjpeg --no-smart", false},
      {"other.mkv", "--codec ffv1 --smart", false},  // another codec is encoded (and said)
  };
  const std::vector<std::string> mainPackets = Hashes(m_main, true);
  const std::vector<std::string> mainPictures = Hashes(m_main, false);
  ASSERT_EQ(mainPackets.size(), 60u);
  const std::vector<uint8_t> red = Pixel(m_main, 20, 128, 28);
  for (const auto& test : cases) {
    SCOPED_TRACE(test.m_output);
    const std::string output = m_dir.Path(test.m_output);
    const auto mixed = Mix(test.m_options, output);
    ASSERT_EQ(mixed.m_exitCode, 0) << mixed.m_errors;
    EXPECT_EQ(mixed.m_errors.find("(45 copied, 15 encoded)") != std::string::npos, test.m_copies)
        << mixed.m_errors;
    EXPECT_EQ(
        RunCommand("ffmpeg -v error -xerror -i " + ShellQuote(output) + " -f null -").m_exitCode,
        0);
    const std::vector<std::string> packets = Hashes(output, true);
    const std::vector<std::string> pictures = Hashes(output, false);
    ASSERT_EQ(packets.size(), 60u);
    ASSERT_EQ(pictures.size(), 60u);
    int samePackets = 0;
    int samePictures = 0;
    for (size_t frame = 0; frame < 60; ++frame) {
      const bool shown = frame >= 15 && frame < 30;
      const bool copied = test.m_copies && !shown;
      samePackets += packets[frame] == mainPackets[frame];
      samePictures += pictures[frame] == mainPictures[frame];
      EXPECT_EQ(packets[frame] == mainPackets[frame], copied) << "frame " << frame;
    }
    EXPECT_EQ(samePackets, test.m_copies ? 45 : 0);
    if (test.m_copies) {
      EXPECT_EQ(samePictures, 45);
    }
    // The logo is there on its frames.
    const std::vector<uint8_t> laid = Pixel(output, 20, 128, 28);
    ASSERT_EQ(laid.size(), 3u);
    EXPECT_GT(laid[0], 200);
    EXPECT_LT(laid[1], 60);
    EXPECT_NE(laid, red);
  }
  // Encoded among copied pictures, a picture is quantised and laid out as the main's.
  const std::string pictures = m_dir.Path("pictures");
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(pictures) + " && ffmpeg -v error -i " +
                       ShellQuote(m_dir.Path("default.mkv")) + " -map 0:v -c copy -f image2 " +
                       ShellQuote(pictures + "/%02d.jpg"))
                .m_exitCode,
            0);
  const std::vector<uint8_t> encoded = test::ReadFileBytes(pictures + "/21.jpg");
  CJpegFacts facts;
  ASSERT_TRUE(ReadJpegFacts(encoded.data(), encoded.size(), facts));
  EXPECT_EQ(facts.m_quantiser, 5);
  ASSERT_NE(facts.m_pixelFormat, nullptr);
  EXPECT_STREQ(facts.m_pixelFormat, "yuvj422p");
}

// The quantiser and layout read from a picture's headers are the ones ffmpeg encoded it with;
// a picture cut short is no picture.
TEST_F(SmartCopyTest, APicturesQuantiserAndLayoutAreThoseItWasEncodedWith) {
  for (const char* layout : {"yuvj420p", "yuvj422p", "yuvj444p"}) {
    for (const int quantiser : {2, 5, 12, 31}) {
      SCOPED_TRACE(std::string(layout) + " q" + std::to_string(quantiser));
      const std::string picture = m_dir.Path("q.jpg");
      ASSERT_EQ(RunCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 -frames:v 1 "
                           "-c:v mjpeg -q:v " +
                           std::to_string(quantiser) + " -pix_fmt " + layout + " -f mjpeg " +
                           ShellQuote(picture))
                    .m_exitCode,
                0);
      std::vector<uint8_t> bytes = test::ReadFileBytes(picture);
      CJpegFacts facts;
      ASSERT_TRUE(ReadJpegFacts(bytes.data(), bytes.size(), facts));
      EXPECT_EQ(facts.m_quantiser, quantiser);
      ASSERT_NE(facts.m_pixelFormat, nullptr);
      EXPECT_STREQ(facts.m_pixelFormat, layout);
      // Cut inside its headers.
      bytes.resize(100);
      EXPECT_FALSE(ReadJpegFacts(bytes.data(), bytes.size(), facts));
    }
  }
}

}  // namespace
}  // namespace corvane
