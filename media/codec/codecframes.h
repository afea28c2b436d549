// The pieces behind CGetFrame::Open: a shared base that turns "the picture at a position" into
// a packed DIB or a caller's Frame buffer, and the two kinds of source — raw BI_RGB samples
// and samples for a libavcodec decoder.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/codec/frameconvert.h"
#include "media/codec/getframe.h"

namespace corvane {

// What the stream's format says, read once when the frame source opens.
struct CVideoFormat {
  BITMAPINFOHEADER m_header{};
  std::vector<uint8_t> m_bytes;  // the whole format, header included
  int32_t m_width = 0;
  int32_t m_height = 0;  // positive
  bool m_topDown = false;
};

// Reads the stream's format; false when it is shorter than a bitmap header, has no width or
// height, or cannot be read.
bool ReadVideoFormat(CAviStream& stream, CVideoFormat& format);

class CGetFrameBase : public CGetFrame {
 public:
  CGetFrameBase(PAVISTREAM stream, const CVideoFormat& format);

  const BITMAPINFOHEADER* GetFrame(int32_t position) override;
  EFrameStatus GetFrameInto(int32_t position, uint8_t* frameBuffer) override;
  void SetAlphaOutput(bool alpha) override;
  void SetInterpolatedChroma(bool interpolated) override {
    m_converter.SetInterpolatedChroma(interpolated);
  }
  bool PictureHasAlpha() const override { return m_pictureHasAlpha; }
  int32_t Width() const override { return m_width; }
  int32_t Height() const override { return m_height; }

 protected:
  // Makes the picture shown at `shown` (a non-empty sample position) the current one.
  virtual bool Load(int32_t shown) = 0;
  // The current picture, valid after a successful Load.
  virtual CPicture Current() const = 0;

  // Bytes of the sample at `position` (0 for an empty one); -1 when it cannot be read.
  int32_t SampleSize(int32_t position) const;
  // Reads the sample at `position` into `bytes`, followed by kSamplePadding zero bytes (the
  // converters and decoders may read a little past the end); `size` gets the sample's size.
  // False on a read failure or an empty sample.
  bool ReadSample(int32_t position, std::vector<uint8_t>& bytes, int32_t& size) const;
  static constexpr int32_t kSamplePadding = 64;

  PAVISTREAM m_stream;
  int32_t m_width;  // upright, as the frames are handed out
  int32_t m_height;
  int32_t m_rotation = 0;  // clockwise degrees from the decoded picture to upright
  int32_t m_codedWidth;    // the decoded picture's size
  int32_t m_codedHeight;
  int32_t m_start;
  int32_t m_end;
  bool m_alphaOutput = false;

 private:
  // The last non-empty sample at or before `position`; -1 when there is none.
  int32_t ShownPosition(int32_t position) const;

  // Turns the converted picture in m_turning upright into `frameBuffer`.
  void TurnUpright(uint8_t* frameBuffer) const;

  CFrameConverter m_converter;
  std::vector<uint8_t> m_dib;      // header + Frame buffer, made on the first GetFrame
  std::vector<uint8_t> m_turning;  // a turned stream's picture before turning
  bool m_pictureHasAlpha = false;
};

// A source of uncompressed BI_RGB samples (8-bit with palette, 16, 24, 32 bits); null for any
// other bit depth.
std::unique_ptr<CGetFrame> MakeRawGetFrame(PAVISTREAM stream, const CVideoFormat& format);
// A source decoded by libavcodec; null when no decoder exists for the stream's FourCC or it
// cannot be opened.
std::unique_ptr<CGetFrame> MakeCodecGetFrame(PAVISTREAM stream, const CVideoFormat& format);

}  // namespace corvane
