// The conversion of decoded pictures to the Frame buffer, checked against the ffmpeg command
// line's own default conversion to bgr24.
#include <gtest/gtest.h>

#include <cstring>

#include "getframe_testsupport.h"
#include "media/codec/frameconvert.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace corvane {
namespace {

using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

struct CRawPlanes {
  std::vector<uint8_t> m_bytes;
  CPicture m_picture;
};

// A picture made by ffmpeg's test source in `format`, as planes in memory.
CRawPlanes TestPicture(const CTempDir& dir, const char* format, int width, int height) {
  CRawPlanes raw;
  const std::string path = dir.Path(std::string(format) + ".raw");
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=s=" + size +
             ":r=10:d=0.1 -frames:v 1 -pix_fmt " + format + " -f rawvideo -y " + ShellQuote(path));
  raw.m_bytes = test::ReadFileBytes(path);
  const AVPixelFormat pixelFormat = av_get_pix_fmt(format);
  uint8_t* planes[4] = {};
  int lines[4] = {};
  const int needed =
      av_image_fill_arrays(planes, lines, raw.m_bytes.data(), pixelFormat, width, height, 1);
  if (needed <= 0 || static_cast<size_t>(needed) != raw.m_bytes.size()) raw.m_bytes.clear();
  for (int i = 0; i < 4; ++i) {
    raw.m_picture.m_data[i] = planes[i];
    raw.m_picture.m_lineSize[i] = lines[i];
  }
  raw.m_picture.m_format = pixelFormat;
  raw.m_picture.m_width = width;
  raw.m_picture.m_height = height;
  return raw;
}

// ffmpeg's default bgr24 conversion of the same raw picture, top row first.
std::vector<uint8_t> PeerConversion(const CTempDir& dir, const char* format, int width, int height,
                                    const std::string& inputOptions) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const auto result = RunCommand("ffmpeg -nostdin -v error -f rawvideo -pix_fmt " +
                                 std::string(format) + " -s " + size + " " + inputOptions + " -i " +
                                 ShellQuote(dir.Path(std::string(format) + ".raw")) +
                                 " -f rawvideo -pix_fmt bgr24 -");
  return std::vector<uint8_t>(result.m_output.begin(), result.m_output.end());
}

std::vector<uint8_t> Ours(CPicture picture, AVColorSpace space, AVColorRange range) {
  picture.m_colorSpace = space;
  picture.m_range = range;
  std::vector<uint8_t> frame(FrameStride(picture.m_width) * picture.m_height, 0xEE);
  CFrameConverter converter;
  if (!converter.Convert(picture, frame.data())) return {};
  return test::TopDownUnpadded(frame.data(), picture.m_width, picture.m_height);
}

struct CCase {
  const char* m_format;
  AVColorSpace m_space;
  AVColorRange m_range;
  const char* m_peerOptions;
  int m_width = 37;
  int m_height = 23;
};

class ConvertMatchesFfmpegTest : public ::testing::TestWithParam<CCase> {};

TEST_P(ConvertMatchesFfmpegTest, OddSizedPictureConvertsExactlyAsTheFfmpegCommandLine) {
  const CCase& which = GetParam();
  CTempDir dir;
  const CRawPlanes raw = TestPicture(dir, which.m_format, which.m_width, which.m_height);
  ASSERT_FALSE(raw.m_bytes.empty());
  const auto peer =
      PeerConversion(dir, which.m_format, which.m_width, which.m_height, which.m_peerOptions);
  ASSERT_EQ(peer.size(), static_cast<size_t>(which.m_width) * which.m_height * 3);

  const auto ours = Ours(raw.m_picture, which.m_space, which.m_range);

  // Same library, same flags (bicubic), same matrix and range: not one value apart.
  EXPECT_EQ(test::MaxDifference(ours, peer), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConvertMatchesFfmpegTest,
    ::testing::Values(
        CCase{"yuv420p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"yuv420p", AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED, "-colorspace bt709"},
        CCase{"yuv420p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_JPEG, "-color_range pc"},
        CCase{"yuv422p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"yuv444p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"yuvj420p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"rgb24", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"bgra", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        CCase{"gbrp", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, ""},
        // Even heights take libswscale's fast YUV path, which writes whole
        // groups of eight pixels: the rows must still come out exact.
        CCase{"yuv420p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, "", 37, 22},
        CCase{"yuv422p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, "", 2, 2},
        CCase{"yuv420p", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, "", 64, 16}));

// One 2x2 yuv420p picture of a single colour.
std::vector<uint8_t> ConvertFlat(uint8_t y, uint8_t u, uint8_t v, AVColorSpace space,
                                 AVColorRange range) {
  // Planes with room to spare: the scaler reads whole groups of pixels.
  std::vector<uint8_t> luma(64 * 4, y), cb(64 * 2, u), cr(64 * 2, v);
  CPicture picture;
  picture.m_data[0] = luma.data();
  picture.m_data[1] = cb.data();
  picture.m_data[2] = cr.data();
  picture.m_lineSize[0] = 64;
  picture.m_lineSize[1] = 64;
  picture.m_lineSize[2] = 64;
  picture.m_format = AV_PIX_FMT_YUV420P;
  picture.m_width = 2;
  picture.m_height = 2;
  return Ours(picture, space, range);
}

TEST(ConvertTest, UntaggedYuvIsBt601LimitedRange) {
  // BT.601 limited-range red is Y 81, Cb 90, Cr 240. Under BT.709 the same code values give a
  // visibly different colour, and under full range a darker, washed-out one.
  const auto bt601 = ConvertFlat(81, 90, 240, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED);
  ASSERT_EQ(bt601.size(), 12u);
  EXPECT_LE(bt601[0], 2);    // blue
  EXPECT_LE(bt601[1], 2);    // green
  EXPECT_GE(bt601[2], 253);  // red

  const auto bt709 = ConvertFlat(81, 90, 240, AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED);
  EXPECT_GT(test::MaxDifference(bt601, bt709), 10);
  const auto full = ConvertFlat(81, 90, 240, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_JPEG);
  EXPECT_GT(test::MaxDifference(bt601, full), 10);
}

TEST(ConvertTest, LimitedRangeBlackAndWhiteReachTheEnds) {
  const auto black = ConvertFlat(16, 128, 128, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED);
  const auto white = ConvertFlat(235, 128, 128, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED);
  ASSERT_EQ(black.size(), 12u);
  ASSERT_EQ(white.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_LE(black[i], 1) << i;
    EXPECT_GE(white[i], 254) << i;
  }
}

TEST(ConvertTest, Bgr24SourceIsCopiedBottomUpWithZeroedPadding) {
  // A top-down 3x2 bgr24 picture; the Frame buffer has 12-byte rows, bottom row first.
  const uint8_t top[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const uint8_t bottom[] = {11, 12, 13, 14, 15, 16, 17, 18, 19};
  uint8_t rows[18];
  std::memcpy(rows, top, 9);
  std::memcpy(rows + 9, bottom, 9);
  CPicture picture;
  picture.m_data[0] = rows;
  picture.m_lineSize[0] = 9;
  picture.m_format = AV_PIX_FMT_BGR24;
  picture.m_width = 3;
  picture.m_height = 2;
  std::vector<uint8_t> frame(24, 0xEE);
  CFrameConverter converter;

  ASSERT_TRUE(converter.Convert(picture, frame.data()));

  EXPECT_TRUE(std::equal(bottom, bottom + 9, frame.begin()));
  EXPECT_TRUE(std::equal(top, top + 9, frame.begin() + 12));
  for (int i : {9, 10, 11, 21, 22, 23}) EXPECT_EQ(frame[i], 0) << i;
}

TEST(ConvertTest, PaletteEntriesBecomeTheirColours) {
  const uint8_t indices[64] = {0, 1, 2, 3};  // one 4x1 row, with room to spare
  uint32_t palette[256] = {};
  palette[0] = 0xFF102030;  // red 0x10, green 0x20, blue 0x30
  palette[1] = 0xFFFF0000;
  palette[2] = 0xFF00FF00;
  palette[3] = 0xFF0000FF;
  CPicture picture;
  picture.m_data[0] = indices;
  picture.m_data[1] = reinterpret_cast<const uint8_t*>(palette);
  picture.m_lineSize[0] = 4;
  picture.m_lineSize[1] = 4;
  picture.m_format = AV_PIX_FMT_PAL8;
  picture.m_width = 4;
  picture.m_height = 1;
  std::vector<uint8_t> frame(12);
  CFrameConverter converter;

  ASSERT_TRUE(converter.Convert(picture, frame.data()));

  const std::vector<uint8_t> expected = {0x30, 0x20, 0x10, 0, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0};
  EXPECT_EQ(frame, expected);
}

TEST(ConvertTest, AbsurdSizesAreRefusedWithoutConverting) {
  CPicture picture;
  picture.m_format = AV_PIX_FMT_YUV420P;
  picture.m_width = 100000;
  picture.m_height = 100000;
  CFrameConverter converter;
  EXPECT_FALSE(converter.Prepare(picture));
  picture.m_width = 0;
  picture.m_height = 10;
  EXPECT_FALSE(converter.Prepare(picture));
}

}  // namespace
}  // namespace corvane
