// corvane-avi frame: the BMP it writes holds exactly the Frame buffer, so any other decoder
// can be compared with it.
#include <gtest/gtest.h>

#include "getframe_testsupport.h"

namespace corvane {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string FrameCommand(const std::string& file, const std::string& index,
                         const std::string& out) {
  return ShellQuote(test::BuiltProgram("cli/corvane-avi")) + " frame " + ShellQuote(file) + " " +
         index + " " + ShellQuote(out);
}

TEST(AviFrameCommandTest, BmpHoldsTheFrameThatFfmpegDecodesAtThatIndex) {
  test::CTempDir dir;
  const std::string source = test::Fixture("ff_mpeg4_bframes_mp3cbr.avi");
  const std::string bmp = dir.Path("frame.bmp");

  const auto result = RunCommand(FrameCommand(source, "13", bmp));

  ASSERT_EQ(result.m_exitCode, 0) << result.m_errors;
  const auto bytes = test::ReadFileBytes(bmp);
  const size_t stride = FrameStride(176);
  ASSERT_EQ(bytes.size(), 14 + 40 + stride * 144);
  EXPECT_EQ(bytes[0], 'B');
  EXPECT_EQ(bytes[1], 'M');
  // ffmpeg reads the BMP back to the same picture as its own decode of frame 13.
  const auto fromBmp = test::PeerFrames(bmp, 176, 144);
  const auto fromAvi = test::PeerFrames(source, 176, 144);
  ASSERT_EQ(fromBmp.size(), 1u);
  ASSERT_EQ(fromAvi.size(), 25u);
  EXPECT_EQ(fromBmp[0], fromAvi[13]);
  // And the pixel rows are the Frame buffer: bottom row first, padded.
  EXPECT_EQ(test::TopDownUnpadded(bytes.data() + 54, 176, 144), fromAvi[13]);
}

TEST(AviFrameCommandTest, CountsFromTheFirstFrameAndRefusesFramesPastTheEnd) {
  test::CTempDir dir;
  const std::string source = test::Fixture("ff_bgr24_5x3.avi");

  EXPECT_EQ(RunCommand(FrameCommand(source, "9", dir.Path("last.bmp"))).m_exitCode, 0);
  EXPECT_NE(RunCommand(FrameCommand(source, "10", dir.Path("past.bmp"))).m_exitCode, 0);
  EXPECT_NE(RunCommand(FrameCommand(source, "-1", dir.Path("neg.bmp"))).m_exitCode, 0);
  EXPECT_NE(
      RunCommand(FrameCommand(test::Fixture("ff_audio_only_pcm.avi"), "0", dir.Path("audio.bmp")))
          .m_exitCode,
      0);
  EXPECT_NE(RunCommand(FrameCommand(dir.Path("missing.avi"), "0", dir.Path("m.bmp"))).m_exitCode,
            0);
  // Frame 9 of the gradient clip: blue is 4 * 9 everywhere.
  const auto bytes = test::ReadFileBytes(dir.Path("last.bmp"));
  ASSERT_EQ(bytes.size(), 14u + 40 + 16 * 3);
  EXPECT_EQ(bytes[54], 36);
}

}  // namespace
}  // namespace corvane
