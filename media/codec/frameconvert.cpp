#include "media/codec/frameconvert.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "media/avidefs.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace corvane {
namespace {

// Widths at which every libswscale output path stays inside the row.
constexpr int kSafeWidthMultiple = 16;

// The matrix the ffmpeg scale filter picks for a frame: the frame's own when it names one,
// else libswscale's default (BT.601).
int SwsColorSpace(AVColorSpace space) {
  switch (space) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    default:
      return SWS_CS_DEFAULT;
  }
}

bool SizeFits(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  const int64_t bytes = static_cast<int64_t>(FrameStride(width)) * height;
  return width <= (INT32_MAX - 31) / 24 && bytes <= INT32_MAX;
}

// The yuvj formats are their yuv counterparts at full range; saying so keeps libswscale from
// warning about them on every new scaler. The conversion is the same.
void NormaliseFullRange(CPicture& picture) {
  AVPixelFormat plain = AV_PIX_FMT_NONE;
  switch (picture.m_format) {
    case AV_PIX_FMT_YUVJ420P:
      plain = AV_PIX_FMT_YUV420P;
      break;
    case AV_PIX_FMT_YUVJ422P:
      plain = AV_PIX_FMT_YUV422P;
      break;
    case AV_PIX_FMT_YUVJ444P:
      plain = AV_PIX_FMT_YUV444P;
      break;
    case AV_PIX_FMT_YUVJ440P:
      plain = AV_PIX_FMT_YUV440P;
      break;
    case AV_PIX_FMT_YUVJ411P:
      plain = AV_PIX_FMT_YUV411P;
      break;
    default:
      return;
  }
  picture.m_format = plain;
  picture.m_range = AVCOL_RANGE_JPEG;
}

// A scaler for the picture into `output`. Interpolated: every output pixel gets chroma filtered
// from the chroma samples around it where they really lie (the picture's siting), in exact
// rounding, rather than the nearest sample of the fast paths.
SwsContext* MakeScaler(const CPicture& picture, AVPixelFormat output, bool interpolated) {
  if (!interpolated) {
    return sws_getContext(picture.m_width, picture.m_height, picture.m_format, picture.m_width,
                          picture.m_height, output, SWS_BICUBIC, nullptr, nullptr, nullptr);
  }
  SwsContext* scaler = sws_alloc_context();
  if (!scaler) return nullptr;
  av_opt_set_int(scaler, "srcw", picture.m_width, 0);
  av_opt_set_int(scaler, "srch", picture.m_height, 0);
  av_opt_set_int(scaler, "src_format", picture.m_format, 0);
  av_opt_set_int(scaler, "dstw", picture.m_width, 0);
  av_opt_set_int(scaler, "dsth", picture.m_height, 0);
  av_opt_set_int(scaler, "dst_format", output, 0);
  av_opt_set_int(scaler, "sws_flags",
                 SWS_BICUBIC | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND | SWS_BITEXACT, 0);
  int x = 0;
  int y = 0;
  if (picture.m_chromaLocation != AVCHROMA_LOC_UNSPECIFIED &&
      avcodec_enum_to_chroma_pos(&x, &y, picture.m_chromaLocation) == 0) {
    av_opt_set_int(scaler, "src_h_chr_pos", x, 0);
    av_opt_set_int(scaler, "src_v_chr_pos", y, 0);
  }
  if (sws_init_context(scaler, nullptr, nullptr) < 0) {
    sws_freeContext(scaler);
    return nullptr;
  }
  return scaler;
}

// A frame's colour field read as its number, which a damaged stream can leave outside the
// enumeration (an H.264 chroma location of 33): such a value counts as unspecified.
template <typename Enum>
Enum KnownOrUnspecified(const Enum& field, int count, Enum unspecified) {
  std::underlying_type_t<Enum> value{};
  static_assert(sizeof value == sizeof field);
  std::memcpy(&value, &field, sizeof value);
  return value >= 0 && static_cast<int>(value) < count ? static_cast<Enum>(value) : unspecified;
}

}  // namespace

CPicture PictureOf(const AVFrame& frame) {
  CPicture picture;
  for (int i = 0; i < 4; ++i) {
    picture.m_data[i] = frame.data[i];
    picture.m_lineSize[i] = frame.linesize[i];
  }
  picture.m_format = static_cast<AVPixelFormat>(frame.format);
  picture.m_width = frame.width;
  picture.m_height = frame.height;
  picture.m_colorSpace = KnownOrUnspecified(frame.colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
  picture.m_range = KnownOrUnspecified(frame.color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
  picture.m_chromaLocation =
      KnownOrUnspecified(frame.chroma_location, AVCHROMA_LOC_NB, AVCHROMA_LOC_UNSPECIFIED);
  NormaliseFullRange(picture);
  return picture;
}

bool FormatHasAlpha(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  return descriptor && (descriptor->flags & (AV_PIX_FMT_FLAG_ALPHA | AV_PIX_FMT_FLAG_PAL));
}

void CFrameConverter::SetAlphaOutput(bool alpha) {
  const AVPixelFormat output = alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
  if (output == m_output) return;
  m_output = output;
  m_scaler.reset();
}

void CFrameConverter::SetInterpolatedChroma(bool interpolated) {
  if (interpolated == m_interpolated) return;
  m_interpolated = interpolated;
  m_scaler.reset();
}

int32_t CFrameConverter::Stride(int32_t width) const {
  return AlphaOutput() ? AlphaFrameStride(width) : FrameStride(width);
}

bool CFrameConverter::Prepare(const CPicture& picture) {
  if (!SizeFits(picture.m_width, picture.m_height)) return false;
  if (picture.m_format == m_output) return true;  // copied, no scaler
  if (m_scaler && picture.m_format == m_format && picture.m_width == m_width &&
      picture.m_height == m_height && picture.m_colorSpace == m_colorSpace &&
      picture.m_range == m_range && picture.m_chromaLocation == m_chromaLocation) {
    return true;
  }
  m_scaler.reset(MakeScaler(picture, m_output, m_interpolated));
  if (!m_scaler) return false;
  if (picture.m_width % kSafeWidthMultiple != 0) {
    const int pixelBytes = AlphaOutput() ? 4 : 3;
    m_scratchStride =
        (picture.m_width * pixelBytes + 2 * kSafeWidthMultiple * pixelBytes + 63) & ~63;
    try {
      m_scratch.assign(static_cast<size_t>(m_scratchStride) * (picture.m_height + 1), 0);
    } catch (const std::bad_alloc&) {
      m_scaler.reset();
      return false;
    }
  }
  m_format = picture.m_format;
  m_width = picture.m_width;
  m_height = picture.m_height;
  m_colorSpace = picture.m_colorSpace;
  m_range = picture.m_range;
  m_chromaLocation = picture.m_chromaLocation;

  // As the scale filter does: touch the colour details only when the frame says something,
  // so that the scaler's own defaults (and the yuvj formats' full range) stay otherwise.
  const bool namesMatrix = SwsColorSpace(picture.m_colorSpace) != SWS_CS_DEFAULT;
  if (namesMatrix || picture.m_range != AVCOL_RANGE_UNSPECIFIED) {
    int* inverse = nullptr;
    int* table = nullptr;
    int sourceFull = 0, destinationFull = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(m_scaler.get(), &inverse, &sourceFull, &table, &destinationFull,
                                 &brightness, &contrast, &saturation) >= 0) {
      const int* coefficients = inverse;
      if (namesMatrix) coefficients = sws_getCoefficients(SwsColorSpace(picture.m_colorSpace));
      if (picture.m_range != AVCOL_RANGE_UNSPECIFIED) {
        sourceFull = picture.m_range == AVCOL_RANGE_JPEG;
      }
      sws_setColorspaceDetails(m_scaler.get(), coefficients, sourceFull,
                               namesMatrix ? coefficients : table, destinationFull, brightness,
                               contrast, saturation);
    }
  }
  return true;
}

bool CFrameConverter::Convert(const CPicture& picture, uint8_t* frame) {
  if (!frame || !Prepare(picture)) return false;
  const int stride = Stride(picture.m_width);
  const size_t rowBytes = static_cast<size_t>(picture.m_width) * (AlphaOutput() ? 4 : 3);
  // Bottom row first: start at the last memory row and walk upwards.
  uint8_t* lastRow = frame + static_cast<ptrdiff_t>(stride) * (picture.m_height - 1);
  if (picture.m_format == m_output) {
    if (picture.m_lineSize[0] == -stride) {
      // Already bottom-up with the same padding: one block.
      const uint8_t* first = picture.m_data[0] +
                             static_cast<ptrdiff_t>(picture.m_lineSize[0]) * (picture.m_height - 1);
      std::memcpy(frame, first, static_cast<size_t>(stride) * picture.m_height);
      return true;
    }
    for (int y = 0; y < picture.m_height; ++y) {
      uint8_t* row = lastRow - static_cast<ptrdiff_t>(stride) * y;
      std::memcpy(row, picture.m_data[0] + static_cast<ptrdiff_t>(picture.m_lineSize[0]) * y,
                  rowBytes);
      std::memset(row + rowBytes, 0, stride - rowBytes);
    }
    return true;
  }
  if (picture.m_width % kSafeWidthMultiple == 0) {
    uint8_t* destination[4] = {lastRow, nullptr, nullptr, nullptr};
    const int destinationStride[4] = {-stride, 0, 0, 0};
    const int rows = sws_scale(m_scaler.get(), picture.m_data, picture.m_lineSize, 0,
                               picture.m_height, destination, destinationStride);
    if (rows != picture.m_height) return false;
  } else {
    uint8_t* destination[4] = {m_scratch.data(), nullptr, nullptr, nullptr};
    const int destinationStride[4] = {m_scratchStride, 0, 0, 0};
    const int rows = sws_scale(m_scaler.get(), picture.m_data, picture.m_lineSize, 0,
                               picture.m_height, destination, destinationStride);
    if (rows != picture.m_height) return false;
    for (int y = 0; y < picture.m_height; ++y) {
      std::memcpy(lastRow - static_cast<ptrdiff_t>(stride) * y,
                  m_scratch.data() + static_cast<size_t>(m_scratchStride) * y, rowBytes);
    }
  }
  // The scaler leaves the padding bytes alone; keep them defined.
  if (static_cast<size_t>(stride) != rowBytes) {
    for (int y = 0; y < picture.m_height; ++y) {
      std::memset(frame + static_cast<ptrdiff_t>(stride) * y + rowBytes, 0, stride - rowBytes);
    }
  }
  return true;
}

}  // namespace corvane
