// A logo placed, resized and timed, mixed into lossless FFV1 and checked against what the test
// makes itself from ffmpeg's decode of the sources: the resized logo against the ffmpeg command
// line's scale of the premultiplied planes, and a time range with fades against the main video
// and today's mix.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CClip;
using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

class MixWatermarkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    EngineState().m_mixing = 1;
    m_host.m_compression = test::Ffv1Compression();
    m_main = m_dir.Path("main.avi");
    // A lossless 15 fps main with sound, and a magenta logo with a white ellipse.
    ASSERT_TRUE(test::MakeWithFfmpeg(
        "-f lavfi -i testsrc2=s=320x240:r=15:d=3 -f lavfi -i sine=f=440:r=44100:d=3 "
        "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le",
        m_main));
    m_logo = m_dir.Path("logo.png");
    ASSERT_TRUE(test::MakeWithFfmpeg(
        "-f lavfi -i color=c=magenta:s=120x80,format=rgb24 -vf "
        "\"geq=r='255':g='if(lt(pow((X-60)/50,2)+pow((Y-40)/30,2),1),255,0)':b='255'\" "
        "-frames:v 1",
        m_logo));
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  CMixOutcome Mix(const std::string& output, const CPlacement& placement, int32_t left = 0,
                  int32_t top = 0) {
    std::remove(output.c_str());
    return MixColourKey(m_main, m_logo, output, 255, 0, 255, top, left, 0, false, placement);
  }

  CTempDir m_dir;
  test::CRecordingHost m_host;
  std::string m_main;
  std::string m_logo;
};

// One plane of the logo scaled by the ffmpeg command line with the mix's flags.
std::vector<uint8_t> ScaledByFfmpeg(const std::string& dir, const std::vector<uint8_t>& plane,
                                    int width, int height, int toWidth, int toHeight) {
  const std::string path = dir + "/plane.gray";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(plane.data()), std::streamsize(plane.size()));
  const auto scaled =
      RunCommand("ffmpeg -v error -f rawvideo -pix_fmt gray -s " + std::to_string(width) + "x" +
                 std::to_string(height) + " -i " + ShellQuote(path) +
                 " -vf scale=" + std::to_string(toWidth) + ":" + std::to_string(toHeight) +
                 ":flags=lanczos+accurate_rnd+bitexact -f rawvideo -pix_fmt gray -");
  return {scaled.m_output.begin(), scaled.m_output.end()};
}

// The logo at half size in the bottom-right corner, 16 pixels in: only the box changes, every
// pixel in it is the main pixel moved toward white by one weight (no magenta at the edges), and
// the frames equal, within 2 levels, the logo keyed, premultiplied, scaled by ffmpeg and laid
// over the main video.
TEST_F(MixWatermarkTest, AKeyedLogoScaledIntoACornerHasNoFringeAndMatchesFfmpegsScale) {
  const std::string output = m_dir.Path("corner.avi");
  CPlacement placement;
  placement.m_corner = ECorner::kBottomRight;
  ASSERT_TRUE(ParseScale("50%", placement.m_scale));
  ASSERT_TRUE(Mix(output, placement).Complete());

  const CClip main = test::Decode(m_main);
  const CClip logo = test::Decode(m_logo);
  const CClip mixed = test::Decode(output);
  ASSERT_EQ(mixed.m_frames.size(), main.m_frames.size());
  ASSERT_EQ(logo.m_frames.size(), 1u);
  const int boxWidth = 60, boxHeight = 40, left = 320 - 60 - 16, top = 240 - 40 - 16;

  // The reference picture: premultiplied planes (blue, green, red, alpha), each scaled.
  const size_t pixels = size_t(logo.m_width) * logo.m_height;
  std::vector<std::vector<uint8_t>> planes(4, std::vector<uint8_t>(pixels));
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* t = &logo.m_frames[0][i * 3];
    const bool keyed = t[0] == 255 && t[1] == 0 && t[2] == 255;
    const unsigned a = keyed ? 0 : 255;
    for (int c = 0; c < 3; ++c) planes[c][i] = uint8_t((t[c] * a + 127) / 255);
    planes[3][i] = uint8_t(a);
  }
  for (auto& plane : planes) {
    plane = ScaledByFfmpeg(m_dir.Path(""), plane, logo.m_width, logo.m_height, boxWidth, boxHeight);
    ASSERT_EQ(plane.size(), size_t(boxWidth) * boxHeight);
  }

  int worst = 0;
  for (size_t n = 0; n < main.m_frames.size(); ++n) {
    const std::vector<uint8_t>& m = main.m_frames[n];
    const std::vector<uint8_t>& o = mixed.m_frames[n];
    for (int y = 0; y < 240; ++y) {
      for (int x = 0; x < 320; ++x) {
        const size_t at = (size_t(y) * 320 + x) * 3;
        const bool inBox = x >= left && x < left + boxWidth && y >= top && y < top + boxHeight;
        if (!inBox) {
          ASSERT_TRUE(o[at] == m[at] && o[at + 1] == m[at + 1] && o[at + 2] == m[at + 2])
              << "frame " << n << " changed outside the box at " << x << "," << y;
          continue;
        }
        const size_t i = size_t(y - top) * boxWidth + (x - left);
        const double a = planes[3][i];
        // One weight toward white for the three channels: the channel with the most room
        // gives it, the others must agree.
        int roomiest = 0;
        for (int c = 1; c < 3; ++c)
          roomiest = 255 - m[at + c] > 255 - m[at + roomiest] ? c : roomiest;
        const double room = 255 - m[at + roomiest];
        for (int c = 0; c < 3; ++c) {
          // The reference: colour divided back, laid with w = A / 255.
          const double t =
              a == 0 ? 0
                     : std::min(255.0, std::floor((planes[c][i] * 255.0 + std::floor(a / 2)) / a));
          const double w = a / 255.0;
          const int want = a == 255 ? int(t) : int(t * w + m[at + c] * (1.0 - w));
          worst = std::max(worst, std::abs(int(o[at + c]) - want));
          ASSERT_LE(std::abs(int(o[at + c]) - want), 2)
              << "frame " << n << " at " << x << "," << y << " channel " << c;
          if (room >= 64) {
            const double weight = (o[at + roomiest] - m[at + roomiest]) / room;
            const double expected = m[at + c] + weight * (255 - m[at + c]);
            ASSERT_LE(std::fabs(o[at + c] - expected), 2.0 + 2.0 * (255 - m[at + c]) / room)
                << "not a blend toward white: frame " << n << " at " << x << "," << y;
          }
        }
      }
    }
  }
  RecordProperty("largest difference from the reference", worst);
}

// Shown from 1.0 s to 2.4 s (frames 15 to 35) with 0.4 s (6-frame) fades: the frames outside
// are the main video's, those between the fades today's mix, and the logo's share rises frame by
// frame over the fade-in and falls over the fade-out. The sound is the main's, whole.
TEST_F(MixWatermarkTest, ARangeWithFadesLeavesOtherFramesAloneAndFadesStrictly) {
  const std::string today = m_dir.Path("today.avi");
  ASSERT_TRUE(Mix(today, CPlacement{}, 100, 60).Complete());
  const std::string ranged = m_dir.Path("ranged.avi");
  CPlacement placement;
  ASSERT_TRUE(ParseTime("1.0", placement.m_from));
  ASSERT_TRUE(ParseTime("0:00:02.4", placement.m_to));
  placement.m_fadeIn = 0.4;
  placement.m_fadeOut = 0.4;
  const CMixOutcome outcome = Mix(ranged, placement, 100, 60);
  ASSERT_TRUE(outcome.Complete());
  EXPECT_EQ(test::AudioPackets(ranged), test::AudioPackets(m_main));

  const CClip main = test::Decode(m_main);
  const CClip plain = test::Decode(today);
  const CClip faded = test::Decode(ranged);
  ASSERT_EQ(faded.m_frames.size(), 45u);
  ASSERT_EQ(plain.m_frames.size(), 45u);
  for (size_t n = 0; n < 45; ++n) {
    if (n < 15 || n > 35) {
      EXPECT_TRUE(faded.m_frames[n] == main.m_frames[n]) << "frame " << n << " is not the main's";
    } else if (n >= 21 && n <= 29) {
      EXPECT_TRUE(faded.m_frames[n] == plain.m_frames[n]) << "frame " << n << " is not today's";
    }
  }
  // The logo's share at a white pixel (its centre) over a frame that differs from white.
  const auto share = [&](size_t n) {
    double best = -1.0;
    for (int dx = -3; dx <= 3; ++dx) {
      const size_t at = (size_t(60 + 40) * 320 + 100 + 60 + dx) * 3;
      const int m = main.m_frames[n][at + 1];
      if (255 - m >= 40) return double(faded.m_frames[n][at + 1] - m) / (255 - m);
    }
    return best;
  };
  for (size_t n = 15; n < 21; ++n) {
    ASSERT_GE(share(n), 0.0) << "frame " << n << " has no pixel to measure";
    EXPECT_LT(share(n), share(n + 1)) << "the fade-in does not rise at frame " << n;
  }
  for (size_t n = 29; n < 35; ++n) EXPECT_GT(share(n), share(n + 1)) << "fade-out at " << n;
}

}  // namespace
}  // namespace corvane
