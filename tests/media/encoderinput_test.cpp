// The fast conversions of a Frame buffer into an encoder's picture, checked against the
// JFIF formulas computed here in double precision and against the ffmpeg command line's own
// conversion.
#include "media/codec/encoderinput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "media/avidefs.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

struct CFrameDeleterForTest {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using TestFramePtr = std::unique_ptr<AVFrame, CFrameDeleterForTest>;

TestFramePtr MakePicture(AVPixelFormat format, int width, int height) {
  TestFramePtr picture(av_frame_alloc());
  picture->format = format;
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return nullptr;
  return picture;
}

// A Frame buffer (bottom-up, padded rows) whose pixel (x, y), y counted from the top, comes
// from `colour`.
template <typename Colour>
std::vector<uint8_t> MakeFrame(int width, int height, Colour colour) {
  const int stride = FrameStride(width);
  std::vector<uint8_t> frame(static_cast<size_t>(stride) * height, 0xAB);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = frame.data() + static_cast<size_t>(stride) * (height - 1 - y);
    for (int x = 0; x < width; ++x) colour(x, y, row + 3 * x);
  }
  return frame;
}

std::vector<uint8_t> NoiseFrame(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  return MakeFrame(width, height, [&](int, int, uint8_t* p) {
    p[0] = static_cast<uint8_t>(random());
    p[1] = static_cast<uint8_t>(random());
    p[2] = static_cast<uint8_t>(random());
  });
}

// Blue, green, red of the Frame buffer pixel (x, y), y from the top.
const uint8_t* PixelAt(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
  return frame.data() + static_cast<size_t>(FrameStride(width)) * (height - 1 - y) + 3 * x;
}

double LumaOf(double b, double g, double r) {
  return 0.299 * r + 0.587 * g + 0.114 * b;
}
double CbOf(double b, double g, double r) {
  return 128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b;
}
double CrOf(double b, double g, double r) {
  return 128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b;
}

// The largest distance between the picture's samples and the JFIF values: luma per pixel,
// chroma of the mean colour of each 2x2 block (blocks cut by an odd edge use what they have).
struct CDistance {
  double m_luma = 0, m_chroma = 0;
};
CDistance DistanceFromJfif(const std::vector<uint8_t>& frame, int width, int height,
                           const AVFrame& picture) {
  CDistance distance;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = PixelAt(frame, width, height, x, y);
      const double want = LumaOf(p[0], p[1], p[2]);
      const double got = picture.data[0][static_cast<size_t>(picture.linesize[0]) * y + x];
      distance.m_luma = std::max(distance.m_luma, std::abs(got - want));
    }
  }
  for (int by = 0; by < (height + 1) / 2; ++by) {
    for (int bx = 0; bx < (width + 1) / 2; ++bx) {
      double b = 0, g = 0, r = 0;
      int count = 0;
      for (int y = 2 * by; y < std::min(height, 2 * by + 2); ++y) {
        for (int x = 2 * bx; x < std::min(width, 2 * bx + 2); ++x) {
          const uint8_t* p = PixelAt(frame, width, height, x, y);
          b += p[0], g += p[1], r += p[2], ++count;
        }
      }
      b /= count, g /= count, r /= count;
      const double cb = picture.data[1][static_cast<size_t>(picture.linesize[1]) * by + bx];
      const double cr = picture.data[2][static_cast<size_t>(picture.linesize[2]) * by + bx];
      distance.m_chroma =
          std::max({distance.m_chroma, std::abs(cb - CbOf(b, g, r)), std::abs(cr - CrOf(b, g, r))});
    }
  }
  return distance;
}

class EncoderInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HasFastFrameConversion(AV_PIX_FMT_YUVJ420P)) GTEST_SKIP() << "built without libyuv";
  }
};

TEST_F(EncoderInputTest, MotionJpegInputIsWithinOneStepOfTheJfifFormulas) {
  for (const auto& [width, height] :
       {std::pair{320, 240}, std::pair{321, 241}, std::pair{5, 3}, std::pair{1, 1}}) {
    const std::vector<uint8_t> frame = NoiseFrame(width, height, 7u + width);
    TestFramePtr picture = MakePicture(AV_PIX_FMT_YUVJ420P, width, height);

    ASSERT_TRUE(FrameToPicture(frame.data(), width, height, *picture));

    const CDistance distance = DistanceFromJfif(frame, width, height, *picture);
    EXPECT_LE(distance.m_luma, 1.0) << width << "x" << height;
    EXPECT_LE(distance.m_chroma, 1.5) << width << "x" << height;
  }
}

TEST_F(EncoderInputTest, MotionJpegInputOfPureColoursIsExact) {
  // Black, white and grey must come out as 0 / 255 / the grey level with neutral chroma.
  for (const uint8_t level : {uint8_t{0}, uint8_t{128}, uint8_t{255}}) {
    const std::vector<uint8_t> frame =
        MakeFrame(64, 32, [&](int, int, uint8_t* p) { p[0] = p[1] = p[2] = level; });
    TestFramePtr picture = MakePicture(AV_PIX_FMT_YUVJ420P, 64, 32);

    ASSERT_TRUE(FrameToPicture(frame.data(), 64, 32, *picture));

    EXPECT_EQ(picture->data[0][0], level);
    EXPECT_EQ(picture->data[0][static_cast<size_t>(picture->linesize[0]) * 31 + 63], level);
    EXPECT_NEAR(picture->data[1][0], 128, 1);
    EXPECT_NEAR(picture->data[2][0], 128, 1);
  }
}

// A smooth 256x128 picture: blue follows x, green y, red both.
constexpr int kGradientWidth = 256, kGradientHeight = 128;
std::vector<uint8_t> GradientFrame() {
  return MakeFrame(kGradientWidth, kGradientHeight, [&](int x, int y, uint8_t* p) {
    p[0] = static_cast<uint8_t>(x);
    p[1] = static_cast<uint8_t>(2 * y);
    p[2] = static_cast<uint8_t>((x + y) / 2);
  });
}

// The ffmpeg command line's yuvj420p conversion of a Frame buffer: the three planes in a row.
std::vector<uint8_t> FfmpegYuvj420p(const std::vector<uint8_t>& frame, int width, int height) {
  test::CTempDir dir;
  std::vector<uint8_t> topDown;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = PixelAt(frame, width, height, 0, y);
    topDown.insert(topDown.end(), row, row + 3 * width);
  }
  if (!test::WriteFileBytes(dir.Path("in.raw"), topDown)) return {};
  test::RunCommand("ffmpeg -v error -y -f rawvideo -pix_fmt bgr24 -s " + std::to_string(width) +
                   "x" + std::to_string(height) + " -i " + test::ShellQuote(dir.Path("in.raw")) +
                   " -pix_fmt yuvj420p -f rawvideo " + test::ShellQuote(dir.Path("out.yuv")));
  return test::ReadFileBytes(dir.Path("out.yuv"));
}

// The largest difference per plane (luma, then the two chroma planes taken together).
std::pair<int, int> PlaneDistances(const AVFrame& picture, const std::vector<uint8_t>& reference,
                                   int width, int height) {
  int luma = 0, chroma = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      luma = std::max(
          luma, std::abs(picture.data[0][y * picture.linesize[0] + x] - reference[y * width + x]));
    }
  }
  const size_t planeBytes = size_t{static_cast<size_t>(width / 2)} * (height / 2);
  for (int plane = 1; plane <= 2; ++plane) {
    const uint8_t* want =
        reference.data() + size_t{static_cast<size_t>(width)} * height + (plane - 1) * planeBytes;
    for (int y = 0; y < height / 2; ++y) {
      for (int x = 0; x < width / 2; ++x) {
        chroma = std::max(chroma, std::abs(picture.data[plane][y * picture.linesize[plane] + x] -
                                           want[y * (width / 2) + x]));
      }
    }
  }
  return {luma, chroma};
}

TEST_F(EncoderInputTest, MotionJpegInputAgreesWithTheFfmpegCommandLinesConversion) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  // ffmpeg filters chroma with a bicubic kernel where this takes 2x2 means, so sharp edges
  // differ; on smooth content both are the same full-range conversion within a step or two.
  const std::vector<uint8_t> frame = GradientFrame();
  TestFramePtr fast = MakePicture(AV_PIX_FMT_YUVJ420P, kGradientWidth, kGradientHeight);
  ASSERT_TRUE(FrameToPicture(frame.data(), kGradientWidth, kGradientHeight, *fast));
  const std::vector<uint8_t> reference = FfmpegYuvj420p(frame, kGradientWidth, kGradientHeight);
  ASSERT_EQ(reference.size(), size_t{kGradientWidth} * kGradientHeight * 3 / 2);

  const auto [luma, chroma] = PlaneDistances(*fast, reference, kGradientWidth, kGradientHeight);

  EXPECT_LE(luma, 1);
  EXPECT_LE(chroma, 2);
}

// Builds without libyuv, and formats it does not serve, go through libswscale.
TEST(EncoderScalerTest, MotionJpegInputThroughLibswscaleIsTheFfmpegCommandLinesConversion) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  const std::vector<uint8_t> frame = GradientFrame();
  SwsContextPtr scaler = MakeEncoderScaler(kGradientWidth, kGradientHeight, AV_PIX_FMT_YUVJ420P);
  TestFramePtr picture = MakePicture(AV_PIX_FMT_YUVJ420P, kGradientWidth, kGradientHeight);
  ASSERT_TRUE(scaler);
  ASSERT_TRUE(
      ScaleFrameToPicture(*scaler, frame.data(), kGradientWidth, kGradientHeight, *picture));
  const std::vector<uint8_t> reference = FfmpegYuvj420p(frame, kGradientWidth, kGradientHeight);
  ASSERT_EQ(reference.size(), size_t{kGradientWidth} * kGradientHeight * 3 / 2);

  const auto [luma, chroma] = PlaneDistances(*picture, reference, kGradientWidth, kGradientHeight);

  EXPECT_EQ(luma, 0);
  EXPECT_EQ(chroma, 0);
}

TEST(EncoderScalerTest, MotionJpegInputThroughLibswscaleSpansTheFullLumaRange) {
  for (const uint8_t level : {uint8_t{0}, uint8_t{255}}) {
    const std::vector<uint8_t> frame =
        MakeFrame(64, 32, [&](int, int, uint8_t* p) { p[0] = p[1] = p[2] = level; });
    SwsContextPtr scaler = MakeEncoderScaler(64, 32, AV_PIX_FMT_YUVJ420P);
    TestFramePtr picture = MakePicture(AV_PIX_FMT_YUVJ420P, 64, 32);
    ASSERT_TRUE(scaler);

    ASSERT_TRUE(ScaleFrameToPicture(*scaler, frame.data(), 64, 32, *picture));

    EXPECT_EQ(picture->data[0][0], level);
    EXPECT_EQ(picture->data[1][0], 128);
  }
}

TEST_F(EncoderInputTest, Bgr0InputIsTheFramesPixelsTopRowFirst) {
  const int width = 37, height = 11;  // rows padded to 112 bytes
  const std::vector<uint8_t> frame = NoiseFrame(width, height, 99);
  TestFramePtr picture = MakePicture(AV_PIX_FMT_BGR0, width, height);

  ASSERT_TRUE(FrameToPicture(frame.data(), width, height, *picture));

  int mismatches = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* want = PixelAt(frame, width, height, x, y);
      const uint8_t* got = picture->data[0] + static_cast<size_t>(picture->linesize[0]) * y + 4 * x;
      mismatches += got[0] != want[0] || got[1] != want[1] || got[2] != want[2];
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(EncoderInputTest, OtherFormatsAndMismatchedSizesAreLeftToTheScaler) {
  const std::vector<uint8_t> frame = NoiseFrame(16, 16, 1);
  TestFramePtr yuv444 = MakePicture(AV_PIX_FMT_YUV444P, 16, 16);
  TestFramePtr smaller = MakePicture(AV_PIX_FMT_YUVJ420P, 8, 16);

  EXPECT_FALSE(HasFastFrameConversion(AV_PIX_FMT_YUV444P));
  EXPECT_FALSE(FrameToPicture(frame.data(), 16, 16, *yuv444));
  EXPECT_FALSE(FrameToPicture(frame.data(), 16, 16, *smaller));
  EXPECT_FALSE(FrameToPicture(nullptr, 16, 16, *smaller));
}

}  // namespace
}  // namespace corvane
