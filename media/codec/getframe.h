// Frame decompression: a decoder opened on a video stream that yields any frame by position.
#pragma once

#include <cstdint>
#include <memory>

#include "media/avifile.h"

namespace corvane {

// Why GetFrameInto gave no frame.
enum class EFrameStatus {
  kOk,
  kNoFrame,        // nothing to show at the position (outside the stream, undecodable)
  kNoConverter,    // no conversion to 24 bits exists for the decoded pixel format
  kNoMemory,       // a picture buffer could not be had
  kConvertFailed,  // the conversion itself failed
};

// Decodes the frames of one video stream. Owns its decoder, scaler and picture buffers; keeps
// the stream alive. Frames come out as a packed DIB: a BITMAPINFOHEADER (40 bytes, 24-bit,
// BI_RGB, positive height) followed by the bottom-up Frame buffer rows.
//
// Positions are absolute sample positions. Position N always shows the Nth picture in display
// order, whatever the decoder's delay; an empty (zero-length) sample shows the picture before
// it. Reading in order decodes each frame once; going back, or far ahead, restarts at the
// nearest key frame.
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

  // The frame at `position` converted straight into `frameBuffer` (FrameStride(width) *
  // height bytes): no copy and no allocation per frame. With a status other than kOk the
  // buffer is untouched, except after kConvertFailed.
  virtual EFrameStatus GetFrameInto(int32_t position, uint8_t* frameBuffer) = 0;

  // From the next call on, GetFrameInto writes 32-bit rows with alpha (blue, green, red, alpha;
  // bottom row first; AlphaFrameStride(width) bytes each) instead of the Frame buffer; GetFrame
  // then gives nothing. A raw 32-bit stream's fourth bytes are taken as its alpha.
  virtual void SetAlphaOutput(bool alpha) = 0;
  // From the next call on, subsampled chroma is interpolated for every pixel
  // (CFrameConverter::SetInterpolatedChroma). Pictures stored as RGB are unchanged.
  virtual void SetInterpolatedChroma(bool interpolated) = 0;
  // Whether the picture GetFrameInto gave last came in a format that can carry alpha.
  virtual bool PictureHasAlpha() const = 0;

  // Picture size from the stream's format (height positive whatever the row order).
  virtual int32_t Width() const = 0;
  virtual int32_t Height() const = 0;

 protected:
  CGetFrame() = default;
};

}  // namespace corvane
