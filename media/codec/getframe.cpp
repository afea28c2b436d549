#include "media/codec/getframe.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "media/codec/codecframes.h"

namespace corvane {
namespace {

// Largest format accepted: a bitmap header, a colour table and codec set-up data.
constexpr int32_t kMaxFormatBytes = 16 << 20;
constexpr uint32_t kBiBitfields = 3;

// Uncompressed samples of a raw BI_RGB stream, read straight from the file.
class CRawGetFrame final : public CGetFrameBase {
 public:
  CRawGetFrame(PAVISTREAM stream, const CVideoFormat& format, AVPixelFormat pixelFormat)
      : CGetFrameBase(std::move(stream), format), m_format(pixelFormat) {
    const int64_t bits = static_cast<int64_t>(format.m_width) * format.m_header.biBitCount;
    m_stride = ((bits + 31) >> 3) & ~int64_t{3};
    m_rowBytes = (bits + 7) >> 3;
    m_topDown = format.m_topDown;
    if (pixelFormat == AV_PIX_FMT_PAL8) {
      LoadPalette(format);
      std::copy(std::begin(m_palette), std::end(m_palette), std::begin(m_firstPalette));
      m_stream->PaletteChanges(m_changes);
    }
  }

 protected:
  bool Load(int32_t shown) override {
    if (shown == m_loaded) return true;
    m_loaded = -1;
    int32_t size = 0;
    if (!ReadSample(shown, m_sample, size)) return false;
    // The last row may come without its padding; anything shorter is not a whole picture.
    const int64_t needed = m_stride * (m_height - 1) + m_rowBytes;
    if (size < needed) return false;
    m_loaded = shown;
    if (!m_changes.empty()) PaletteFor(shown);
    return true;
  }

  CPicture Current() const override {
    CPicture picture;
    // A 32-bit sample's fourth bytes are its alpha when alpha is asked for.
    picture.m_format = m_alphaOutput && m_format == AV_PIX_FMT_BGR0 ? AV_PIX_FMT_BGRA : m_format;
    picture.m_width = m_width;
    picture.m_height = m_height;
    const int stride = static_cast<int>(m_stride);
    if (m_topDown) {
      picture.m_data[0] = m_sample.data();
      picture.m_lineSize[0] = stride;
    } else {
      picture.m_data[0] = m_sample.data() + m_stride * (m_height - 1);
      picture.m_lineSize[0] = -stride;
    }
    if (m_format == AV_PIX_FMT_PAL8) {
      picture.m_data[1] = reinterpret_cast<const uint8_t*>(m_palette);
      picture.m_lineSize[1] = 4;
    }
    return picture;
  }

 private:
  void LoadPalette(const CVideoFormat& format) {
    // Unused entries stay opaque black; the table follows the header as blue, green, red, 0.
    for (uint32_t& entry : m_palette) entry = 0xFF000000u;
    const size_t tableOffset = format.m_header.biSize >= 40 ? format.m_header.biSize : 40;
    if (format.m_bytes.size() <= tableOffset) return;
    size_t count = format.m_header.biClrUsed ? format.m_header.biClrUsed : 256;
    count = std::min<size_t>({count, size_t{256}, (format.m_bytes.size() - tableOffset) / 4});
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* entry = format.m_bytes.data() + tableOffset + 4 * i;
      m_palette[i] = 0xFF000000u | uint32_t{entry[2]} << 16 | uint32_t{entry[1]} << 8 | entry[0];
    }
  }

  // The palette in force at sample `shown`: the format's, changed by every '##pc' chunk that
  // comes before it, in order. Reading onwards applies only the changes passed since.
  void PaletteFor(int32_t shown) {
    if (shown < m_paletteAt) {
      std::copy(std::begin(m_firstPalette), std::end(m_firstPalette), std::begin(m_palette));
      m_changesApplied = 0;
    }
    m_paletteAt = shown;
    for (; m_changesApplied < m_changes.size() && m_changes[m_changesApplied].m_position <= shown;
         ++m_changesApplied) {
      const std::vector<uint8_t>& bytes = m_changes[m_changesApplied].m_bytes;
      const int first = bytes[0];
      const int count = bytes[1] == 0 ? 256 : bytes[1];
      for (int k = 0; k < count && first + k < 256 && 4 + 4 * size_t(k) + 3 <= bytes.size(); ++k) {
        const uint8_t* entry = bytes.data() + 4 + 4 * size_t(k);  // red, green, blue, flags
        m_palette[first + k] =
            0xFF000000u | uint32_t{entry[0]} << 16 | uint32_t{entry[1]} << 8 | entry[2];
      }
    }
  }

  AVPixelFormat m_format;
  int64_t m_stride = 0;
  int64_t m_rowBytes = 0;
  bool m_topDown = false;
  uint32_t m_palette[256] = {};
  uint32_t m_firstPalette[256] = {};
  std::vector<SPaletteChange> m_changes;  // in file order, so in order of position
  size_t m_changesApplied = 0;            // to m_palette
  int32_t m_paletteAt = -1;               // the sample m_palette is in force at
  std::vector<uint8_t> m_sample;
  int32_t m_loaded = -1;
};

}  // namespace

bool ReadVideoFormat(CAviStream& stream, CVideoFormat& format) {
  int32_t size = 0;
  if (stream.ReadFormat(0, nullptr, &size) != AVIERR_OK) return false;
  if (size < static_cast<int32_t>(sizeof(BITMAPINFOHEADER)) || size > kMaxFormatBytes) {
    return false;
  }
  format.m_bytes.resize(size);
  if (stream.ReadFormat(0, format.m_bytes.data(), &size) != AVIERR_OK ||
      size < static_cast<int32_t>(sizeof(BITMAPINFOHEADER))) {
    return false;
  }
  format.m_bytes.resize(size);
  std::memcpy(&format.m_header, format.m_bytes.data(), sizeof format.m_header);
  const BITMAPINFOHEADER& header = format.m_header;
  if (header.biWidth <= 0 || header.biHeight == 0 || header.biHeight == INT32_MIN) return false;
  format.m_width = header.biWidth;
  format.m_topDown = header.biHeight < 0;
  format.m_height = format.m_topDown ? -header.biHeight : header.biHeight;
  return true;
}

CGetFrameBase::CGetFrameBase(PAVISTREAM stream, const CVideoFormat& format)
    : m_stream(std::move(stream)),
      m_width(format.m_width),
      m_height(format.m_height),
      m_codedWidth(format.m_width),
      m_codedHeight(format.m_height) {
  const int32_t rotation = m_stream->Rotation();
  if (rotation == 90 || rotation == 180 || rotation == 270) m_rotation = rotation;
  if (m_rotation == 90 || m_rotation == 270) std::swap(m_codedWidth, m_codedHeight);
  m_start = m_stream->Start();
  const int64_t end = static_cast<int64_t>(m_start) + std::max(m_stream->Length(), 0);
  m_end = static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
}

int32_t CGetFrameBase::SampleSize(int32_t position) const {
  int32_t bytes = 0;
  int32_t samples = 0;
  if (m_stream->Read(position, 1, nullptr, 0, &bytes, &samples) != AVIERR_OK) return -1;
  return bytes;
}

bool CGetFrameBase::ReadSample(int32_t position, std::vector<uint8_t>& bytes, int32_t& size) const {
  size = 0;
  const int32_t expected = SampleSize(position);
  if (expected <= 0 || expected > INT32_MAX - kSamplePadding) return false;
  try {
    bytes.resize(static_cast<size_t>(expected) + kSamplePadding);
  } catch (const std::bad_alloc&) {
    return false;
  }
  int32_t read = 0;
  if (m_stream->Read(position, 1, bytes.data(), expected, &read, nullptr) != AVIERR_OK ||
      read <= 0 || read > expected) {
    return false;
  }
  std::fill(bytes.begin() + read, bytes.end(), 0);
  size = read;
  return true;
}

int32_t CGetFrameBase::ShownPosition(int32_t position) const {
  for (int32_t at = position; at >= m_start; --at) {
    const int32_t size = SampleSize(at);
    if (size < 0) return -1;
    if (size > 0) return at;
  }
  return -1;
}

EFrameStatus CGetFrameBase::GetFrameInto(int32_t position, uint8_t* frameBuffer) {
  if (!frameBuffer || position < m_start || position >= m_end) return EFrameStatus::kNoFrame;
  const int32_t shown = ShownPosition(position);
  if (shown < 0 || !Load(shown)) return EFrameStatus::kNoFrame;
  const CPicture picture = Current();
  if (picture.m_width != m_codedWidth || picture.m_height != m_codedHeight) {
    // A decoder that changed size mid-stream: nothing sensible fits the buffer.
    return EFrameStatus::kNoFrame;
  }
  if (!m_converter.Prepare(picture)) return EFrameStatus::kNoConverter;
  m_pictureHasAlpha = FormatHasAlpha(picture.m_format);
  if (m_rotation == 0) {
    return m_converter.Convert(picture, frameBuffer) ? EFrameStatus::kOk
                                                     : EFrameStatus::kConvertFailed;
  }
  // A turned stream: converted aside at its decoded size, then turned into place.
  if (m_turning.empty()) {
    try {
      m_turning.resize(static_cast<size_t>(m_alphaOutput ? AlphaFrameStride(m_codedWidth)
                                                         : FrameStride(m_codedWidth)) *
                       m_codedHeight);
    } catch (const std::bad_alloc&) {
      return EFrameStatus::kNoMemory;
    }
  }
  if (!m_converter.Convert(picture, m_turning.data())) return EFrameStatus::kConvertFailed;
  TurnUpright(frameBuffer);
  return EFrameStatus::kOk;
}

void CGetFrameBase::SetAlphaOutput(bool alpha) {
  m_alphaOutput = alpha;
  m_converter.SetAlphaOutput(alpha);
  m_turning.clear();
}

void CGetFrameBase::TurnUpright(uint8_t* frameBuffer) const {
  // Both are bottom row first; (x, y) below count from the top-left corner.
  const size_t pixelBytes = m_alphaOutput ? 4 : 3;
  const int32_t fromStride =
      m_alphaOutput ? AlphaFrameStride(m_codedWidth) : FrameStride(m_codedWidth);
  const int32_t toStride = m_alphaOutput ? AlphaFrameStride(m_width) : FrameStride(m_width);
  for (int32_t y = 0; y < m_height; ++y) {
    uint8_t* to = frameBuffer + static_cast<size_t>(m_height - 1 - y) * toStride;
    for (int32_t x = 0; x < m_width; ++x, to += pixelBytes) {
      int32_t fromX = x, fromY = y;  // the decoded pixel shown at (x, y)
      if (m_rotation == 90) {
        fromX = y;
        fromY = m_codedHeight - 1 - x;
      } else if (m_rotation == 180) {
        fromX = m_codedWidth - 1 - x;
        fromY = m_codedHeight - 1 - y;
      } else {
        fromX = m_codedWidth - 1 - y;
        fromY = x;
      }
      const uint8_t* from = m_turning.data() +
                            static_cast<size_t>(m_codedHeight - 1 - fromY) * fromStride +
                            static_cast<size_t>(fromX) * pixelBytes;
      for (size_t c = 0; c < pixelBytes; ++c) to[c] = from[c];
    }
  }
}

const BITMAPINFOHEADER* CGetFrameBase::GetFrame(int32_t position) {
  if (m_alphaOutput) return nullptr;  // a DIB here is always 24-bit
  const int64_t imageBytes = static_cast<int64_t>(FrameStride(m_width)) * m_height;
  if (m_width > (INT32_MAX - 31) / 24 || imageBytes > INT32_MAX - 40) return nullptr;
  if (m_dib.empty()) {
    try {
      m_dib.resize(sizeof(BITMAPINFOHEADER) + imageBytes);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  if (GetFrameInto(position, m_dib.data() + sizeof(BITMAPINFOHEADER)) != EFrameStatus::kOk) {
    return nullptr;
  }
  const BITMAPINFOHEADER header = FrameHeader(m_width, m_height, static_cast<uint32_t>(imageBytes));
  std::memcpy(m_dib.data(), &header, sizeof header);
  return reinterpret_cast<const BITMAPINFOHEADER*>(m_dib.data());
}

std::unique_ptr<CGetFrame> MakeRawGetFrame(PAVISTREAM stream, const CVideoFormat& format) {
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  const BITMAPINFOHEADER& header = format.m_header;
  if (header.biCompression == BI_RGB) {
    switch (header.biBitCount) {
      case 8:
        pixelFormat = AV_PIX_FMT_PAL8;
        break;
      case 16:
        pixelFormat = AV_PIX_FMT_RGB555LE;
        break;
      case 24:
        pixelFormat = AV_PIX_FMT_BGR24;
        break;
      case 32:
        pixelFormat = AV_PIX_FMT_BGR0;
        break;
      default:
        break;
    }
  } else if (header.biCompression == kBiBitfields && format.m_bytes.size() >= 52) {
    // Colour masks follow the header; only the common 5-6-5 and 8-8-8 layouts are read.
    uint32_t masks[3];
    std::memcpy(masks, format.m_bytes.data() + 40, sizeof masks);
    if (header.biBitCount == 16 && masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x1F) {
      pixelFormat = AV_PIX_FMT_RGB565LE;
    } else if (header.biBitCount == 16 && masks[0] == 0x7C00 && masks[1] == 0x03E0 &&
               masks[2] == 0x1F) {
      pixelFormat = AV_PIX_FMT_RGB555LE;
    } else if (header.biBitCount == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 &&
               masks[2] == 0xFF) {
      pixelFormat = AV_PIX_FMT_BGR0;
    }
  }
  if (pixelFormat == AV_PIX_FMT_NONE) return nullptr;
  try {
    return std::make_unique<CRawGetFrame>(std::move(stream), format, pixelFormat);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<CGetFrame> CGetFrame::Open(const PAVISTREAM& stream) {
  if (!stream) return nullptr;
  QuietCodecLogging();
  CVideoFormat format;
  try {
    if (!ReadVideoFormat(*stream, format)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  const uint32_t compression = format.m_header.biCompression;
  if (compression == BI_RGB || compression == kBiBitfields) {
    return MakeRawGetFrame(stream, format);
  }
  return MakeCodecGetFrame(stream, format);
}

}  // namespace corvane
