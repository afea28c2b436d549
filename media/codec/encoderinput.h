// Fast conversions of a Frame buffer (24-bit blue-green-red, bottom row first) into the
// picture an encoder takes, for the pixel formats where a plain SIMD routine does the job
// well: yuvj420p (Motion JPEG) and bgr0 (FFV1). Other formats, and these in a build
// without libyuv, go through libswscale.
//
// yuvj420p: full-range BT.601 (JFIF) luma per pixel and chroma from each 2x2 block, in
// libyuv's 8-bit fixed point; it stays within one step of luma and a few steps of chroma
// of libswscale's bicubic conversion (see tests/media/encoderinput_test.cpp).
// bgr0: an exact rearrangement (the fourth byte is 255 and carries nothing).
#pragma once

#include <cstdint>

#include "media/codec/codecutil.h"

namespace corvane {

// Whether FrameToPicture handles `format` in this build.
bool HasFastFrameConversion(AVPixelFormat format);

// Writes the width x height Frame buffer `frame` into `picture` (already allocated with its
// own format, width and height). False when the format has no fast path here.
bool FrameToPicture(const uint8_t* frame, int width, int height, AVFrame& picture);

// For the other formats: libswscale set up as the ffmpeg command line sets it (bicubic).
// A full-range destination is asked for by its yuvj name: that is what makes libswscale
// stretch luma to 0-255 for RGB input, where setting full range in the colourspace details
// of the plain yuv format leaves it at 16-235. Null when libswscale refuses.
SwsContextPtr MakeEncoderScaler(int width, int height, AVPixelFormat format);
// Makes the scaler convert to limited range with the BT.709 matrix (`hd`) or BT.601, as the
// encoder's colour tags will say. False when libswscale refuses.
bool SetScalerMatrix(SwsContext& scaler, bool hd);
// Converts the Frame buffer (width x height) with that scaler into `picture`; the scaler may
// take only the top-left `usedWidth` x `usedHeight` of it (0: all). False when libswscale fails.
bool ScaleFrameToPicture(SwsContext& scaler, const uint8_t* frame, int width, int height,
                         AVFrame& picture, int usedWidth = 0, int usedHeight = 0);

}  // namespace corvane
