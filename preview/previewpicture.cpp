#include "preview/previewpicture.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "media/host.h"

namespace corvane {
namespace {

constexpr const char* kNoPictureMemory =
    "Could not create dib section or memory allocation failure";

// Largest picture kept for the preview: the header's size drives the pixel buffer, so a
// damaged or hostile header must not drive the allocation.
constexpr int32_t kMaxSide = 32768;
constexpr int64_t kMaxPictureBytes = int64_t{512} << 20;

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

}  // namespace

void CPreviewPicture::Reset() {
  m_pixels.reset();
  m_getFrame.reset();  // the frame lived in the decoder: forget it with it
  m_frame = nullptr;
  m_stream.reset();
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

}  // namespace corvane
