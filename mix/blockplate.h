// Block means of a picture's values: the screen keyer's clean plate and subject plate. Values
// are added pixel by pixel; each block with enough of them takes their mean, the others the mean
// of their filled neighbours, round after round; between block centres the means are blended
// bilinearly. Whole numbers throughout, so the result is the same on every machine.
//
// Owns its sums, means and taps. Not thread-safe.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

class CBlockPlate {
 public:
  // For a width x height picture, `channels` values per pixel; forgets earlier values.
  bool Reset(int32_t width, int32_t height, int32_t block, int32_t channels);
  void Add(int32_t x, int32_t y, const int32_t* values) {
    // Called for most pixels of a picture: a shift where the block is a power of two.
    const int32_t bx = m_blockShift >= 0 ? x >> m_blockShift : x / m_block;
    const int32_t by = m_blockShift >= 0 ? y >> m_blockShift : y / m_block;
    const size_t b = size_t(by) * size_t(m_columns) + size_t(bx);
    for (int32_t c = 0; c < m_channels; ++c)
      m_sums[b * size_t(m_channels) + size_t(c)] += values[c];
    ++m_counts[b];
  }
  // Forgets the values added, keeping the size.
  void Clear() {
    std::fill(m_sums.begin(), m_sums.end(), 0);
    std::fill(m_counts.begin(), m_counts.end(), 0);
  }
  // Blocks with at least `minimum` values take their mean; the others their filled neighbours'
  // mean, round after round; with none at all, `fallback`.
  void Finish(int32_t minimum, const int32_t* fallback);
  // The blends of row y (the four nearest block means weighed bilinearly, rounded), for every
  // pixel of it, channel after channel within each pixel, into `values` (width * channels of
  // them, each within 0..255).
  void SampleRow(int32_t y, uint8_t* values) const;
  // The lowest and the highest of the four block means the blend at (x, y) would take (one
  // channel).
  int32_t Lowest(int32_t x, int32_t y) const;
  int32_t Highest(int32_t x, int32_t y) const;

 private:
  struct CTap;
  template <int kChannels>
  static void BlendAlong(const std::vector<CTap>& taps, const int32_t* rowBlend, int32_t span,
                         int shift, uint8_t* values);

  // The four block means around (x, y), of the first channel.
  std::array<int32_t, 4> Corners(int32_t x, int32_t y) const;

  struct CTap {
    int32_t m_first = 0;  // block index
    int32_t m_second = 0;
    int32_t m_weight = 0;  // of the second, in 1/(2 * block)ths
  };
  int32_t m_block = 1;
  int m_blockShift = 0;  // log2 of block when it is a power of two, else -1
  int32_t m_channels = 1;
  int m_totalShift = -1;  // log2 of (2 * block)^2 when it is a power of two
  int32_t m_columns = 0;
  int32_t m_rows = 0;
  std::vector<int64_t> m_sums;
  std::vector<int32_t> m_counts;
  std::vector<int32_t> m_means;
  std::vector<CTap> m_xTaps;
  std::vector<CTap> m_yTaps;
  mutable std::vector<int32_t> m_rowBlend;  // SampleRow's blocks blended down to one row
};

}  // namespace corvane
