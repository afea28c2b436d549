// Conversion of a decoded picture of any pixel format into a Frame buffer: 24-bit
// blue-green-red, bottom row first, rows padded to FrameStride(width), same size (never scaled).
//
// The colour conversion is the one the ffmpeg command line applies by default when it is
// asked for bgr24: libswscale with SWS_BICUBIC, the picture's own YCbCr matrix when it names
// one and BT.601 otherwise, limited or full range as the picture says (the yuvj formats are
// full range). Packed 24-bit input in the Frame buffer's own byte order is copied row by row.
//
// Asked for alpha (SetAlphaOutput), it writes 32-bit blue-green-red-alpha rows instead, bottom
// row first, 4 * width bytes each (AlphaFrameStride): the picture's own alpha where it has one,
// 255 elsewhere, as the ffmpeg command line gives bgra.
//
// Owns its scaler, which it keeps while the input format, size, matrix and range stay the same.
#pragma once

#include <cstdint>
#include <vector>

#include "media/codec/codecutil.h"

namespace corvane {

// A picture to convert. The planes are not owned; a negative line size walks upwards.
struct CPicture {
  const uint8_t* m_data[4] = {};
  int m_lineSize[4] = {};
  AVPixelFormat m_format = AV_PIX_FMT_NONE;
  int m_width = 0;
  int m_height = 0;
  AVColorSpace m_colorSpace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange m_range = AVCOL_RANGE_UNSPECIFIED;
  AVChromaLocation m_chromaLocation = AVCHROMA_LOC_UNSPECIFIED;
};

// The planes, format, size, matrix and range of a decoded frame.
CPicture PictureOf(const AVFrame& frame);

// Bytes of one row of a 32-bit frame of `width` pixels.
constexpr int32_t AlphaFrameStride(int32_t width) {
  return width * 4;
}

// Whether pictures of this format can carry an alpha channel (a palette may).
bool FormatHasAlpha(AVPixelFormat format);

class CFrameConverter {
 public:
  CFrameConverter() = default;
  CFrameConverter(const CFrameConverter&) = delete;
  CFrameConverter& operator=(const CFrameConverter&) = delete;

  // Whether a converter can be made for this input (false: unknown format, bad size, or no
  // memory). Convert calls it itself; callers may ask early to report a setup failure.
  bool Prepare(const CPicture& picture);

  // Writes the picture into `frame`, which holds FrameStride(width) * height bytes. False
  // when no converter can be made or the conversion fails; `frame` may then be partly written.
  bool Convert(const CPicture& picture, uint8_t* frame);

  // 32-bit output with alpha (true) or the 24-bit Frame buffer (false, the default).
  void SetAlphaOutput(bool alpha);
  bool AlphaOutput() const { return m_output == AV_PIX_FMT_BGRA; }

  // Subsampled chroma interpolated for every pixel from where the picture sites its samples,
  // with exact rounding (true), or the conversion described above (false, the default). The
  // screen keyer reads its top layer so, where edges live in the chroma.
  void SetInterpolatedChroma(bool interpolated);

 private:
  int32_t Stride(int32_t width) const;

  AVPixelFormat m_output = AV_PIX_FMT_BGR24;
  SwsContextPtr m_scaler;
  // Some libswscale paths write whole groups of pixels past the end of a row; for widths
  // where that could reach beyond the caller's row (or buffer) they write here first.
  std::vector<uint8_t> m_scratch;
  int m_scratchStride = 0;
  AVPixelFormat m_format = AV_PIX_FMT_NONE;
  int m_width = 0;
  int m_height = 0;
  AVColorSpace m_colorSpace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange m_range = AVCOL_RANGE_UNSPECIFIED;
  AVChromaLocation m_chromaLocation = AVCHROMA_LOC_UNSPECIFIED;
  bool m_interpolated = false;
};

}  // namespace corvane
