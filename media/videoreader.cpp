#include "media/videoreader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "media/codec/codecutil.h"
#include "media/codec/frameconvert.h"
#include "media/host.h"

namespace corvane {
namespace {

int32_t Fail(int32_t code, const char* message) {
  ShowMessage(message, MB_ICONINFORMATION);
  return code;
}

// A Frame buffer for this picture size fits in a signed 32-bit byte count.
bool FrameSizeIsSane(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return false;
  if (width > (INT32_MAX - 31) / 24) return false;
  return static_cast<int64_t>(FrameStride(width)) * height <= INT32_MAX;
}

}  // namespace

bool CVideoReader::IntraOnly() const {
  if (!m_getFrame || m_frameFormat.biBitCount <= 8) return false;
  if (m_frameFormat.biCompression == BI_RGB) return true;
  const AVCodecID codec = VideoCodecForFourCC(m_frameFormat.biCompression, m_streamInfo.fccHandler);
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
  return descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
}

int32_t CVideoReader::Open(const PAVISTREAM& stream, bool withAlpha) {
  int32_t formatSize = 0;
  if (!stream || stream->ReadFormat(0, nullptr, &formatSize) != AVIERR_OK) {
    return Fail(-1, "Unable to determine stream size");
  }
  // Only the leading bitmap header matters; a longer format (a colour table, codec set-up
  // data) is fine, so the result of this read is not looked at.
  BITMAPINFOHEADER header{};
  int32_t headerSize = sizeof header;
  stream->ReadFormat(0, &header, &headerSize);

  if (stream->Info(m_streamInfo) != AVIERR_OK) return Fail(-2, "Cannot get AVI Stream Info");

  // A top-down picture (negative height) is read like any other: the Frame buffer is always
  // bottom-up with a positive height. Sizes whose buffer would not fit a 32-bit count are
  // refused before anything is allocated.
  const int32_t width = header.biWidth;
  const int32_t height =
      header.biHeight == INT32_MIN ? 0 : (header.biHeight < 0 ? -header.biHeight : header.biHeight);
  if (!FrameSizeIsSane(width, height)) {
    return Fail(-4, "Cannot allocate memory for AVI read frame buffer");
  }

  m_getFrame = CGetFrame::Open(stream);
  if (!m_getFrame) return Fail(-3, "Cannot get decompression handle for input stream");
  m_getFrame->SetInterpolatedChroma(m_interpolatedChroma);

  m_width = width;
  m_height = height;
  m_withAlpha = withAlpha;
  m_hasAlpha = false;
  m_firstFrameUnreadable = false;
  m_forceOpaque = false;
  if (withAlpha && int64_t{AlphaFrameStride(width)} * height > INT32_MAX) {
    return Fail(-4, "Cannot allocate memory for AVI read frame buffer");
  }
  m_bufferSize = withAlpha ? AlphaFrameStride(m_width) * m_height : FrameStride(m_width) * m_height;
  try {
    m_buffer = std::make_unique_for_overwrite<uint8_t[]>(m_bufferSize);
  } catch (const std::bad_alloc&) {
    return Fail(-4, "Cannot allocate memory for AVI read frame buffer");
  }

  m_startFrame = stream->Start();
  const int64_t end = static_cast<int64_t>(m_startFrame) + stream->Length();
  m_endFrame = static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));

  m_frameFormat = FrameHeader(m_width, m_height, static_cast<uint32_t>(m_bufferSize));
  // An uncompressed 32-bit AVI's fourth bytes are often padding: all zero means no alpha.
  if (withAlpha) LearnAlpha(header.biCompression != BI_RGB || header.biBitCount != 32);
  return 0;
}

void CVideoReader::LearnAlpha(bool zeroIsAlpha) {
  m_getFrame->SetAlphaOutput(true);
  if (m_getFrame->GetFrameInto(m_startFrame, m_buffer.get()) != EFrameStatus::kOk) {
    m_forceOpaque = true;  // nothing to learn from: the frames read later are taken as opaque
    m_firstFrameUnreadable = true;
    return;
  }
  bool anyAlpha = false;
  for (int32_t at = 3; at < m_bufferSize; at += 4) anyAlpha |= m_buffer[size_t(at)] != 0;
  m_hasAlpha = m_getFrame->PictureHasAlpha() && (zeroIsAlpha || anyAlpha);
  m_forceOpaque = !m_hasAlpha;
}

void CVideoReader::SetInterpolatedChroma(bool interpolated) {
  m_interpolatedChroma = interpolated;
  if (m_getFrame) m_getFrame->SetInterpolatedChroma(interpolated);
}

int32_t CVideoReader::ReadFrame(int32_t position) {
  Trace("R");
  if (!m_getFrame || !m_buffer) return Fail(-1, "AVIStreamRead failed");
  switch (m_getFrame->GetFrameInto(position, m_buffer.get())) {
    case EFrameStatus::kOk:
      if (m_forceOpaque) {
        for (int32_t at = 3; at < m_bufferSize; at += 4) m_buffer[size_t(at)] = 255;
      }
      return 0;
    case EFrameStatus::kNoFrame:
      return Fail(-1, "AVIStreamRead failed");
    case EFrameStatus::kNoConverter:
      m_getFrame.reset();
      return Fail(-2, "Could not create memory device context");
    case EFrameStatus::kNoMemory:
      m_getFrame.reset();
      return Fail(-3, "Could not create dib section or memory allocation failure");
    case EFrameStatus::kConvertFailed:
      break;
  }
  m_getFrame.reset();
  return Fail(-4, "Could not select bitmap object to device context");
}

int32_t CVideoReader::Close() {
  m_getFrame.reset();
  m_buffer.reset();
  return 0;
}

int64_t CVideoReader::FrameBytes() const {
  if (!m_buffer || m_width <= 0 || m_height <= 0) return -1;
  const int64_t stride = m_withAlpha
                             ? int64_t{m_width} * 4
                             : ((static_cast<int64_t>(m_width) * 24 + 31) >> 3) & ~int64_t{3};
  const int64_t bytes = stride * m_height;
  if (bytes > m_bufferSize) return -1;
  return bytes;
}

}  // namespace corvane
