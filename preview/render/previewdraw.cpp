#include "preview/render/previewdraw.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>

#include "media/avidefs.h"
#include "preview/previewpicture.h"

namespace corvane {

void Draw(const CPreviewPicture& picture, QPainter* painter) {
  const BITMAPINFOHEADER* frame = picture.m_frame;
  if (!painter || picture.m_loaded != 1 || !frame) return;
  // The decoder promises a packed 24-bit BI_RGB DIB; anything else is not drawn rather than
  // read with the wrong layout.
  if (frame->biSize < sizeof(BITMAPINFOHEADER) || frame->biBitCount != 24 ||
      frame->biCompression != 0 || frame->biWidth <= 0 || frame->biHeight == 0 ||
      frame->biClrUsed > 256) {
    return;
  }
  const int frameWidth = frame->biWidth;
  const int frameHeight = std::abs(frame->biHeight);
  const bool bottomUp = frame->biHeight > 0;
  const auto* bits = reinterpret_cast<const uchar*>(frame) + frame->biSize + frame->biClrUsed * 4;
  const QImage image(bits, frameWidth, frameHeight, FrameStride(frameWidth), QImage::Format_BGR888);

  // The picture's own size from the file header decides what is drawn; never more than the
  // frame holds.
  const int width = std::min(picture.m_width, frameWidth);
  const int height = std::min(picture.m_height, frameHeight);
  if (width <= 0 || height <= 0) return;

  painter->save();
  if (bottomUp) {
    // Memory row 0 is the bottom row: flip instead of converting the frame on every paint.
    painter->translate(0, height);
    painter->scale(1, -1);
    painter->drawImage(QRect(0, 0, width, height), image,
                       QRect(0, frameHeight - height, width, height));
  } else {
    painter->drawImage(QRect(0, 0, width, height), image, QRect(0, 0, width, height));
  }
  painter->restore();
}

}  // namespace corvane
