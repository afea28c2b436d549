// What a Motion JPEG picture's headers say about how it was coded: its quantiser, read from its
// luma quantisation table, and its chroma layout. An encoder given both codes a picture as
// coarsely and in the same layout as the source, so that re-encoded pictures sit among copied
// ones without a change of format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

struct CJpegFacts {
  // The quantiser (1 best .. 31 worst, as QualityToQuantiser gives) whose table is nearest to
  // the first luma table (id 0); 0 when the picture holds none before its scan.
  int m_quantiser = 0;
  // "yuvj420p", "yuvj422p" or "yuvj444p" for three components sampled that way; null for any
  // other layout (grey, 4:1:1, more components).
  const char* m_pixelFormat = nullptr;
};

// Reads the headers of the JPEG picture in `data` up to its scan, every segment length checked
// against `size`. False when it is no JPEG picture.
bool ReadJpegFacts(const uint8_t* data, size_t size, CJpegFacts& facts);

}  // namespace corvane
