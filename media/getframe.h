// Frame decompression: a decoder opened on a video stream that yields any frame by position.
#pragma once

#include <cstdint>
#include <memory>

#include "media/avifile.h"

namespace corvane {

// Decodes the frames of one video stream. Owns its decoder, scaler and picture buffers; keeps
// the stream alive. Frames come out as a packed DIB: a BITMAPINFOHEADER (40 bytes, 24-bit,
// BI_RGB, positive height) followed by the bottom-up Frame buffer rows.
class CGetFrame {
 public:
  // A decoder for the stream's FourCC / biCompression; null when there is none or the stream
  // has no usable video format.
  static std::unique_ptr<CGetFrame> Open(const PAVISTREAM& stream);

  virtual ~CGetFrame() = default;
  CGetFrame(const CGetFrame&) = delete;
  CGetFrame& operator=(const CGetFrame&) = delete;

  // The frame at `position` (an absolute sample position), valid until the next call or
  // destruction; null when no frame can be had there.
  virtual const BITMAPINFOHEADER* GetFrame(int32_t position) = 0;

 protected:
  CGetFrame() = default;
};

}  // namespace corvane
