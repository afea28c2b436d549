#include "media/codec/encoderinput.h"

#include "media/avidefs.h"

#if defined(CORVANE_HAVE_LIBYUV)
#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#endif

namespace corvane {

bool HasFastFrameConversion(AVPixelFormat format) {
#if defined(CORVANE_HAVE_LIBYUV)
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_BGR0;
#else
  (void)format;
  return false;
#endif
}

bool FrameToPicture(const uint8_t* frame, int width, int height, AVFrame& picture) {
  if (!frame || width <= 0 || height <= 0 || picture.width != width || picture.height != height) {
    return false;
  }
#if defined(CORVANE_HAVE_LIBYUV)
  // The Frame buffer is bottom-up: start at its top row and walk upwards.
  const int stride = FrameStride(width);
  const uint8_t* topRow = frame + static_cast<ptrdiff_t>(stride) * (height - 1);
  switch (picture.format) {
    case AV_PIX_FMT_YUVJ420P:
      return libyuv::RGB24ToJ420(topRow, -stride, picture.data[0], picture.linesize[0],
                                 picture.data[1], picture.linesize[1], picture.data[2],
                                 picture.linesize[2], width, height) == 0;
    case AV_PIX_FMT_BGR0:
      return libyuv::RGB24ToARGB(topRow, -stride, picture.data[0], picture.linesize[0], width,
                                 height) == 0;
    default:
      return false;
  }
#else
  return false;
#endif
}

SwsContextPtr MakeEncoderScaler(int width, int height, AVPixelFormat format) {
  QuietCodecLogging();  // libswscale warns about the yuvj names it still serves
  return SwsContextPtr(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, format,
                                      SWS_BICUBIC, nullptr, nullptr, nullptr));
}

bool SetScalerMatrix(SwsContext& scaler, bool hd) {
  const int* matrix = sws_getCoefficients(hd ? SWS_CS_ITU709 : SWS_CS_ITU601);
  // Brightness 0, contrast and saturation 1.0 in 16.16 fixed point, as libswscale's defaults.
  return sws_setColorspaceDetails(&scaler, matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16) >= 0;
}

bool ScaleFrameToPicture(SwsContext& scaler, const uint8_t* frame, int width, int height,
                         AVFrame& picture, int usedWidth, int usedHeight) {
  if (!frame || width <= 0 || height <= 0) return false;
  if (usedWidth <= 0) usedWidth = width;
  if (usedHeight <= 0) usedHeight = height;
  if (usedWidth > width || usedHeight > height) return false;
  // Bottom row first in memory: hand the scaler the top row and a negative stride; the rows it
  // leaves out are the bottom ones.
  const int stride = FrameStride(width);
  const uint8_t* source[4] = {frame + static_cast<ptrdiff_t>(stride) * (height - 1), nullptr,
                              nullptr, nullptr};
  const int sourceStride[4] = {-stride, 0, 0, 0};
  return sws_scale(&scaler, source, sourceStride, 0, usedHeight, picture.data, picture.linesize) ==
         usedHeight;
}

}  // namespace corvane
