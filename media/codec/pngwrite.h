// Writing one picture as a PNG file, for pictures the user asks for beside a video (a preview
// frame from the command line). 24-bit RGB, exact: PNG is lossless.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Writes the Frame buffer `frame` (24-bit blue-green-red, bottom row first, rows padded to
// FrameStride(width)) to `path` as an RGB PNG, replacing any file there. An empty text on
// success, else what failed.
std::string WritePng(const std::string& path, const uint8_t* frame, int32_t width, int32_t height);

}  // namespace corvane
