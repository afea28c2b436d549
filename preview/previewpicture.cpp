#include "preview/previewpicture.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "media/host.h"
#include "media/videoreader.h"

namespace corvane {
namespace {

constexpr const char* kNoPictureMemory =
    "Could not create dib section or memory allocation failure";

// Largest picture kept for the preview: the header's size drives the pixel buffer, so a
// damaged or hostile header must not drive the allocation.
constexpr int32_t kMaxSide = 32768;
constexpr int64_t kMaxPictureBytes = int64_t{512} << 20;

// Takes the reader's messages and traces and shows nothing.
class CQuietHost final : public CHost {
 public:
  int MessageBox(const std::string&, const std::string&, uint32_t) override { return IDOK; }
  void SetStatusText(const std::string&) override {}
  bool ChooseCompression(AVICOMPRESSOPTIONS&) override { return false; }
};

void Show(const char* text) {
  ShowMessage(text, MB_ICONINFORMATION);
}

// Copies a packed 24-bit bottom-up DIB into top-down triplets of width x height, pixel for
// pixel from the top-left corner. Pixels the frame does not cover stay as they are (zero).
void FrameToTriplets(const BITMAPINFOHEADER& frame, uint8_t* pixels, int32_t width,
                     int32_t height) {
  if (frame.biBitCount != 24 || frame.biCompression != BI_RGB || frame.biWidth <= 0) return;
  const int32_t frameWidth = frame.biWidth;
  const int32_t frameHeight = frame.biHeight < 0 ? -frame.biHeight : frame.biHeight;
  const bool bottomUp = frame.biHeight > 0;
  const auto* bits = reinterpret_cast<const uint8_t*>(&frame) + frame.biSize;
  const int64_t frameStride = FrameStride(frameWidth);
  const int32_t rows = std::min(height, frameHeight);
  const size_t rowBytes = size_t(std::min(width, frameWidth)) * 3;
  for (int32_t y = 0; y < rows; ++y) {
    const int64_t memoryRow = bottomUp ? frameHeight - 1 - y : y;
    std::memcpy(pixels + size_t(y) * width * 3, bits + memoryRow * frameStride, rowBytes);
  }
}

uint64_t NextSerial() {
  static std::atomic<uint64_t> serial{0};
  return ++serial;
}

}  // namespace

void CPreviewPicture::Reset() {
  m_pixels.reset();
  m_getFrame.reset();  // the frame lived in the decoder: forget it with it
  m_frame = nullptr;
  m_stream.reset();
  m_alpha.clear();
  m_hasAlpha = false;
  m_isAvi = false;
  m_width = 0;
  m_height = 0;
  m_path.clear();
  m_loaded = 0;
}

void CPreviewPicture::TakeFrom(CPreviewPicture& other) {
  if (&other == this) return;
  Reset();
  m_width = other.m_width;
  m_height = other.m_height;
  m_getFrame = std::move(other.m_getFrame);
  m_stream = std::move(other.m_stream);
  m_alpha = std::move(other.m_alpha);
  m_hasAlpha = other.m_hasAlpha;
  m_isAvi = other.m_isAvi;
  m_serial = NextSerial();
  m_path = std::move(other.m_path);
  m_loaded = other.m_loaded;
  m_frame = other.m_frame;
  m_pixels = std::move(other.m_pixels);
  other.m_frame = nullptr;
  other.Reset();
}

void CPreviewPicture::CaptureFirstFrame(const PAVISTREAM& stream) {
  m_loaded = 0;
  if (!stream) return;

  int32_t formatSize = 0;
  if (stream->ReadFormat(0, nullptr, &formatSize) != AVIERR_OK) {
    Show("Unable to determine stream size");
    return;
  }
  if (formatSize > 0) {
    // Only whether the format reads matters; it is not kept.
    std::unique_ptr<uint8_t[]> format(new (std::nothrow) uint8_t[size_t(formatSize)]);
    if (!format) return;
    if (stream->ReadFormat(0, format.get(), &formatSize) < 0) {
      Show("AVIStreamReadFormat failed. Buffer not big enough?");
      return;
    }
  }

  AVISTREAMINFOA info{};
  if (stream->Info(info) != AVIERR_OK) {
    Show("Cannot get AVI Stream Info");
    return;
  }

  m_getFrame = CGetFrame::Open(stream);
  if (!m_getFrame) {
    Show("Cannot get decompression handle for input stream");
    return;
  }
  m_frame = m_getFrame->GetFrame(stream->Start());
  if (!m_frame) {
    Show("AVIStreamRead failed");
    m_getFrame.reset();
    return;
  }

  // The triplets are allocated as a Frame buffer of the header's size; a size that no
  // picture can have fails like an allocation.
  const int64_t bytes =
      int64_t{FrameStride(std::clamp(m_width, 0, kMaxSide))} * std::clamp(m_height, 0, kMaxSide);
  if (m_width <= 0 || m_height <= 0 || m_width > kMaxSide || m_height > kMaxSide ||
      bytes > kMaxPictureBytes) {
    Show(kNoPictureMemory);
    return;
  }
  m_pixels.reset(new (std::nothrow) uint8_t[size_t(bytes)]());
  if (!m_pixels) {
    Show(kNoPictureMemory);
    return;
  }
  FrameToTriplets(*m_frame, m_pixels.get(), m_width, m_height);
  m_loaded = 1;
}

void CPreviewPicture::CaptureAlpha(const PAVISTREAM& stream) {
  m_serial = NextSerial();
  m_alpha.clear();
  m_hasAlpha = false;
  if (!stream || m_loaded != 1) return;
  // The reader says what it has to say through the host; a picture that showed already is not
  // worth a second message, so its alpha is simply left out when it fails.
  CQuietHost silent;
  CThreadHostScope quiet(&silent);
  CVideoReader reader;
  if (reader.Open(stream, true) != 0 || !reader.m_hasAlpha) return;
  if (reader.ReadFrame(reader.m_startFrame) != 0) return;
  if (reader.m_width != m_width || reader.m_height != m_height) return;
  try {
    m_alpha.resize(size_t(m_width) * size_t(m_height));
  } catch (const std::bad_alloc&) {
    return;
  }
  const size_t stride = size_t(m_width) * 4;
  for (int32_t y = 0; y < m_height; ++y) {
    const uint8_t* row = reader.m_buffer.get() + size_t(m_height - 1 - y) * stride;
    for (int32_t x = 0; x < m_width; ++x) m_alpha[size_t(y) * m_width + x] = row[4 * x + 3];
  }
  m_hasAlpha = true;
}

bool CPreviewPicture::HasTransparency() const {
  for (const uint8_t alpha : m_alpha) {
    if (alpha != 255) return true;
  }
  return false;
}

}  // namespace corvane
