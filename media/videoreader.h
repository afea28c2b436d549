// Reads the frames of one video stream into a Frame buffer: 24-bit blue-green-red, bottom row
// first, rows padded to FrameStride(width), at the stream's own size, never scaled. Opened with
// alpha, into 32-bit rows with the picture's own alpha instead (blue, green, red, alpha;
// AlphaFrameStride(width) bytes each).
//
// Owns its decoder and its frame buffer; does not own the stream (the caller keeps it).
// Failures show their message through the host and return a small negative code naming the
// failing step. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "media/avidefs.h"
#include "media/avifile.h"
#include "media/codec/getframe.h"

namespace corvane {

class CVideoReader {
 public:
  CVideoReader() = default;
  ~CVideoReader() { Close(); }
  CVideoReader(const CVideoReader&) = delete;
  CVideoReader& operator=(const CVideoReader&) = delete;

  // 0, or -1 "Unable to determine stream size", -2 "Cannot get AVI Stream Info",
  // -3 "Cannot get decompression handle for input stream",
  // -4 "Cannot allocate memory for AVI read frame buffer", -5 "Could not open draw dib library".
  // With `withAlpha`, frames come with their alpha; the stream's first frame is decoded once to
  // learn whether it has one (m_hasAlpha). A stream without alpha, and a raw 32-bit AVI whose
  // first frame's fourth bytes are all zero, give 255 everywhere.
  int32_t Open(const PAVISTREAM& stream, bool withAlpha = false);
  // 0 with the frame at `position` in m_buffer; -1 "AVIStreamRead failed" (buffer unchanged),
  // -2, -3, -4 for conversion failures (the decoder is then closed).
  int32_t ReadFrame(int32_t position);
  // Frames read from now on (and after a new Open) interpolate subsampled chroma for every
  // pixel (CFrameConverter::SetInterpolatedChroma); false by default.
  void SetInterpolatedChroma(bool interpolated);
  // Releases decoder, converter and buffer; always 0; safe to call again.
  int32_t Close();

  // Every frame of the open stream decodes on its own (raw pictures of 16 bits and more, and
  // codecs that code each picture alone), so frames may be read out of order by several
  // readers with the same result.
  bool IntraOnly() const;
  // Bytes of one picture in m_buffer (a Frame buffer: 24-bit rows padded to four bytes, or
  // 32-bit rows); -1 when the reader holds no usable frame.
  int64_t FrameBytes() const;

  int32_t m_startFrame = 0;
  int32_t m_endFrame = 0;
  std::unique_ptr<uint8_t[]> m_buffer;
  int32_t m_width = 0;
  int32_t m_height = 0;
  AVISTREAMINFOA m_streamInfo{};
  int32_t m_bufferSize = 0;
  bool m_withAlpha = false;  // 32-bit frames
  bool m_hasAlpha = false;   // with alpha: the frames carry alpha of their own
  // With alpha: the first frame, read to learn about its alpha, could not be decoded (nothing
  // is known of the stream's alpha then; a mix refuses such a layer rather than guess).
  bool m_firstFrameUnreadable = false;
  BITMAPINFOHEADER m_frameFormat{};
  std::unique_ptr<CGetFrame> m_getFrame;

 private:
  // Reads the first frame once with alpha; `zeroIsAlpha`: fourth bytes of 0 are transparency.
  void LearnAlpha(bool zeroIsAlpha);

  bool m_forceOpaque = false;  // alpha asked for, but the stream's fourth bytes are no alpha
  bool m_interpolatedChroma = false;
};

}  // namespace corvane
