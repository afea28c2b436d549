// libFuzzer target for the frame reader: the input is opened as an AVI file and its first video
// stream is decoded through the codec layer into Frame buffers (CVideoReader), in order, then
// backwards and at positions outside the stream. A crash, sanitizer report or oversized
// allocation is a finding; failures that the reader reports are not.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzzinput.h"
#include "media/avi/aviopen.h"
#include "media/avifile.h"
#include "media/videoreader.h"

namespace {

// Enough frames to pass key frames and decoder delays; more would only slow the search.
constexpr int32_t kMaxFramesRead = 48;
// Pictures this large are read well but make every run slow (the decoder and the Frame buffer
// are set up at the header's size whatever the input holds); the limits on size are the
// reliability tests' concern. Sizes whose buffer cannot fit 2 GB still go through: the reader
// refuses them before anything is allocated, and that refusal is worth reaching.
constexpr int64_t kMaxPixels = 512 * 256;
constexpr int64_t kRefusedPixels = INT32_MAX / 3;

bool PictureTooSlow(corvane::CAviStream& stream) {
  using namespace corvane;
  BITMAPINFOHEADER header{};
  int32_t size = sizeof header;
  if (stream.ReadFormat(0, &header, &size) != AVIERR_OK) return false;
  const int64_t width = header.biWidth;
  const int64_t height = header.biHeight < 0 ? -int64_t{header.biHeight} : header.biHeight;
  const int64_t pixels = width * height;
  return pixels > kMaxPixels && pixels <= kRefusedPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  static fuzz::CQuietHost host;
  const std::string path = fuzz::InputFile("corvane-fuzz-video", data, size);
  if (path.empty()) return 0;
  PAVIFILE file;
  if (OpenAviReader(path, file) != AVIERR_OK) return 0;
  PAVISTREAM stream;
  if (file->GetStream(stream, streamtypeVIDEO, 0) != AVIERR_OK || !stream) return 0;
  if (PictureTooSlow(*stream)) return 0;

  // The last byte of the input chooses the 24-bit frames or the 32-bit ones with alpha.
  CVideoReader reader;
  if (reader.Open(stream, size > 0 && (data[size - 1] & 1) != 0) != 0) return 0;
  const int64_t end = std::min<int64_t>(reader.m_endFrame,
                                        static_cast<int64_t>(reader.m_startFrame) + kMaxFramesRead);
  for (int64_t frame = reader.m_startFrame; frame < end; ++frame) {
    reader.ReadFrame(static_cast<int32_t>(frame));
  }
  for (int32_t frame : {reader.m_endFrame - 1, reader.m_startFrame, reader.m_endFrame,
                        reader.m_startFrame - 1, int32_t{-1}, int32_t{0x7FFFFFFF}}) {
    reader.ReadFrame(frame);
  }
  reader.Close();
  return 0;
}
