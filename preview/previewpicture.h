// One source video as the program keeps it outside a mix: its path, picture size, the first
// frame as the decoder delivered it (for drawing) and as pixel triplets (for the probe), and
// the result of the last probe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "media/codec/getframe.h"

namespace corvane {

class CPreviewPicture {
 public:
  CPreviewPicture() = default;
  CPreviewPicture(const CPreviewPicture&) = delete;
  CPreviewPicture& operator=(const CPreviewPicture&) = delete;

  // Empties the picture: frees the triplets, the decoder and the stream, size 0 x 0, path empty,
  // not loaded. The probe fields keep the last probe.
  void Reset();

  // Empties this picture, then takes over what `other` holds (file, size, frame, pixels),
  // leaving it empty. The probe fields stay as they are on both sides.
  void TakeFrom(CPreviewPicture& other);

  // Decodes the stream's first frame and converts it to pixel triplets; success shows only as
  // m_loaded == 1. Expects m_width and m_height to be set. Failures show their message.
  void CaptureFirstFrame(const PAVISTREAM& stream);

  // Reads the first frame's alpha, when the stream has an alpha channel (m_hasAlpha, m_alpha).
  // Quiet: a picture whose alpha cannot be had is shown opaque.
  void CaptureAlpha(const PAVISTREAM& stream);
  // Whether any pixel of the first frame is not wholly opaque.
  bool HasTransparency() const;

  int32_t m_width = 0;  // from the file header; 0 when empty
  int32_t m_height = 0;
  std::unique_ptr<CGetFrame> m_getFrame;  // open while a frame is held: m_frame lives in it
  PAVISTREAM m_stream;   // the video stream (keeps its file open); null when none was found
  std::string m_path;    // empty: no file
  uint8_t m_loaded = 0;  // 1 when m_frame and m_pixels hold the first frame
  const BITMAPINFOHEADER* m_frame = nullptr;  // packed DIB owned by m_getFrame
  // Triplets: m_width x m_height pixels, blue, green, red; top row first; no row padding.
  // Allocated as a Frame buffer of the same size (stride x height bytes).
  std::unique_ptr<uint8_t[]> m_pixels;
  // The first frame's own alpha, when the source has an alpha channel: m_width x m_height bytes,
  // top row first. Empty otherwise (every pixel opaque).
  std::vector<uint8_t> m_alpha;
  bool m_hasAlpha = false;
  bool m_isAvi = false;   // the file is a RIFF AVI
  uint64_t m_serial = 0;  // changes whenever the held frame or its alpha change
  uint8_t m_probeAlpha = 255;
  uint8_t m_probeRed = 0;
  uint8_t m_probeGreen = 0;
  uint8_t m_probeBlue = 0;
  int32_t m_probeX = 0;
  int32_t m_probeY = 0;
};

}  // namespace corvane
