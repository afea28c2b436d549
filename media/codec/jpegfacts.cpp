#include "media/codec/jpegfacts.h"

#include <cstdlib>
#include <limits>

namespace corvane {
namespace {

// The order in which a table's 64 entries are stored: raster position of each.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The intra matrix our encoder scales by its quantiser: entry = matrix * quantiser / 8.
constexpr uint8_t kIntraMatrix[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

// The quantiser whose scaled matrix is nearest to `table` (stored order) by the sum of the
// differences of the AC entries.
int NearestQuantiser(const int (&table)[64]) {
  int best = 0;
  int64_t bestDistance = std::numeric_limits<int64_t>::max();
  for (int quantiser = 1; quantiser <= 31; ++quantiser) {
    int64_t distance = 0;
    for (int k = 1; k < 64; ++k) {
      int expected = (kIntraMatrix[kZigzag[k]] * quantiser) >> 3;
      if (expected < 1) expected = 1;
      if (expected > 255) expected = 255;
      distance += std::abs(table[k] - expected);
    }
    if (distance < bestDistance) {
      bestDistance = distance;
      best = quantiser;
    }
  }
  return best;
}

// The pixel format of a start-of-frame segment's components (`length` bytes from its length
// field: length (2), precision, height (2), width (2), count, then id, sampling and table of
// each component).
const char* PixelFormatOf(const uint8_t* segment, size_t length) {
  if (length < 8 + 9 || segment[7] != 3) return nullptr;
  const int lumaH = segment[9] >> 4;
  const int lumaV = segment[9] & 15;
  const int chromaH = segment[12] >> 4;
  const int chromaV = segment[12] & 15;
  // The layout is the ratio of the factors (1x2 for all three is 4:4:4 too).
  if (segment[15] != segment[12] || chromaH == 0 || chromaV == 0 || lumaH % chromaH != 0 ||
      lumaV % chromaV != 0) {
    return nullptr;
  }
  const int across = lumaH / chromaH;
  const int down = lumaV / chromaV;
  if (across == 1 && down == 1) return "yuvj444p";
  if (across == 2 && down == 1) return "yuvj422p";
  if (across == 2 && down == 2) return "yuvj420p";
  return nullptr;
}

// The luma table of a quantisation segment (its tables at `tables`, up to `end`) into `facts`;
// false when the segment is malformed.
bool ReadTables(const uint8_t* data, size_t tables, size_t end, CJpegFacts& facts) {
  while (tables < end) {
    const int precision = data[tables] >> 4;  // 0: 8-bit entries, 1: 16-bit
    const int id = data[tables] & 0x0F;
    const size_t bytes = precision == 0 ? 64 : 128;
    if (precision > 1 || tables + 1 + bytes > end) return false;
    if (id == 0 && facts.m_quantiser == 0) {
      int entries[64];
      for (size_t k = 0; k < 64; ++k) {
        entries[k] = precision == 0 ? data[tables + 1 + k]
                                    : (data[tables + 1 + 2 * k] << 8) | data[tables + 2 + 2 * k];
      }
      facts.m_quantiser = NearestQuantiser(entries);
    }
    tables += 1 + bytes;
  }
  return true;
}

}  // namespace

bool ReadJpegFacts(const uint8_t* data, size_t size, CJpegFacts& facts) {
  facts = CJpegFacts{};
  if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  size_t at = 2;
  while (at + 4 <= size) {
    if (data[at] != 0xFF) return false;
    const uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return true;  // the scan, or the end
    const size_t length = (size_t{data[at + 2]} << 8) | data[at + 3];
    if (length < 2 || at + 2 + length > size) return false;
    if (marker == 0xDB && !ReadTables(data, at + 4, at + 2 + length, facts)) return false;
    // Baseline, extended or progressive frames: the layout of the components.
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2)
      facts.m_pixelFormat = PixelFormatOf(data + at + 2, length);
    at += 2 + length;
  }
  return false;
}

}  // namespace corvane
