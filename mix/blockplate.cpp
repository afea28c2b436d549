#include "mix/blockplate.h"

#include <new>

namespace corvane {

bool CBlockPlate::Reset(int32_t width, int32_t height, int32_t block, int32_t channels) {
  m_block = block;
  m_blockShift = -1;
  for (int shift = 0; shift < 31; ++shift) {
    if ((int64_t{1} << shift) == block) m_blockShift = shift;
  }
  m_channels = channels;
  const int64_t total = 4 * int64_t{block} * block;
  m_totalShift = -1;
  for (int shift = 0; shift < 40; ++shift) {
    if ((int64_t{1} << shift) == total) m_totalShift = shift;
  }
  m_columns = (width + block - 1) / block;
  m_rows = (height + block - 1) / block;
  const size_t blocks = size_t(m_columns) * size_t(m_rows);
  try {
    m_sums.assign(blocks * size_t(channels), 0);
    m_counts.assign(blocks, 0);
    m_means.assign(blocks * size_t(channels), 0);
    // Taps between block centres, in half pixels: a pixel's centre is at 2x + 1, block b's at
    // (2b + 1) * block.
    const auto taps = [&](int32_t length, int32_t blocksAlong, std::vector<CTap>& out) {
      out.resize(size_t(length));
      for (int32_t i = 0; i < length; ++i) {
        const int32_t offset = 2 * i + 1 - block;  // from the first centre
        CTap tap;
        if (offset <= 0) {
          tap.m_first = tap.m_second = 0;
        } else {
          const int32_t first = offset / (2 * block);
          tap.m_first = std::min(first, blocksAlong - 1);
          tap.m_second = std::min(first + 1, blocksAlong - 1);
          tap.m_weight = offset - first * 2 * block;
        }
        out[size_t(i)] = tap;
      }
    };
    taps(width, m_columns, m_xTaps);
    taps(height, m_rows, m_yTaps);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CBlockPlate::Finish(int32_t minimum, const int32_t* fallback) {
  const size_t blocks = size_t(m_columns) * size_t(m_rows);
  const size_t channels = size_t(m_channels);
  std::vector<uint8_t> filled(blocks, 0);
  size_t filledCount = 0;
  for (size_t b = 0; b < blocks; ++b) {
    if (m_counts[b] < minimum || m_counts[b] == 0) continue;
    for (size_t c = 0; c < channels; ++c) {
      const int64_t sum = m_sums[b * channels + c];
      const int64_t half = m_counts[b] / 2;
      // Rounded half away from zero, the same for either sign.
      m_means[b * channels + c] =
          static_cast<int32_t>(sum >= 0 ? (sum + half) / m_counts[b] : (sum - half) / m_counts[b]);
    }
    filled[b] = 1;
    ++filledCount;
  }
  if (filledCount == 0) {
    for (size_t b = 0; b < blocks; ++b)
      for (size_t c = 0; c < channels; ++c) m_means[b * channels + c] = fallback[c];
    return;
  }
  // Round after round, each empty block takes the mean of the neighbours filled before it.
  std::vector<uint8_t> next = filled;
  while (filledCount < blocks) {
    for (int32_t by = 0; by < m_rows; ++by) {
      for (int32_t bx = 0; bx < m_columns; ++bx) {
        const size_t b = size_t(by) * size_t(m_columns) + size_t(bx);
        if (filled[b]) continue;
        int64_t sums[3] = {};
        int64_t count = 0;
        for (int32_t ny = std::max(0, by - 1); ny <= std::min(m_rows - 1, by + 1); ++ny) {
          for (int32_t nx = std::max(0, bx - 1); nx <= std::min(m_columns - 1, bx + 1); ++nx) {
            const size_t n = size_t(ny) * size_t(m_columns) + size_t(nx);
            if (!filled[n]) continue;
            for (size_t c = 0; c < channels; ++c) sums[c] += m_means[n * channels + c];
            ++count;
          }
        }
        if (count == 0) continue;
        for (size_t c = 0; c < channels; ++c) {
          const int64_t half = count / 2;
          m_means[b * channels + c] = static_cast<int32_t>(sums[c] >= 0 ? (sums[c] + half) / count
                                                                        : (sums[c] - half) / count);
        }
        next[b] = 1;
        ++filledCount;
      }
    }
    filled = next;
  }
}

std::array<int32_t, 4> CBlockPlate::Corners(int32_t x, int32_t y) const {
  const CTap& tx = m_xTaps[size_t(x)];
  const CTap& ty = m_yTaps[size_t(y)];
  const size_t r0 = size_t(ty.m_first) * size_t(m_columns);
  const size_t r1 = size_t(ty.m_second) * size_t(m_columns);
  const size_t channels = size_t(m_channels);
  return {m_means[(r0 + size_t(tx.m_first)) * channels],
          m_means[(r0 + size_t(tx.m_second)) * channels],
          m_means[(r1 + size_t(tx.m_first)) * channels],
          m_means[(r1 + size_t(tx.m_second)) * channels]};
}

int32_t CBlockPlate::Lowest(int32_t x, int32_t y) const {
  const std::array<int32_t, 4> corners = Corners(x, y);
  return *std::min_element(corners.begin(), corners.end());
}

int32_t CBlockPlate::Highest(int32_t x, int32_t y) const {
  const std::array<int32_t, 4> corners = Corners(x, y);
  return *std::max_element(corners.begin(), corners.end());
}

void CBlockPlate::SampleRow(int32_t y, uint8_t* values) const {
  const CTap& ty = m_yTaps[size_t(y)];
  // In 32 bits: the means are at most 2^14 and the weights at most 2 * block (<= 32 here).
  const int32_t span = 2 * m_block;
  const int32_t total = span * span;
  const size_t channels = size_t(m_channels);
  const size_t r0 = size_t(ty.m_first) * size_t(m_columns);
  const size_t r1 = size_t(ty.m_second) * size_t(m_columns);
  m_rowBlend.resize(size_t(m_columns) * channels);
  for (size_t b = 0; b < size_t(m_columns) * channels; ++b) {
    m_rowBlend[b] = (span - ty.m_weight) * m_means[r0 * channels + b] +
                    ty.m_weight * m_means[r1 * channels + b];
  }
  // The four block means weighed by their distances, one axis after the other; the values are
  // never negative here.
  if (m_channels == 3 && m_totalShift >= 0) {
    BlendAlong<3>(m_xTaps, m_rowBlend.data(), span, m_totalShift, values);
  } else if (m_channels == 1 && m_totalShift >= 0) {
    BlendAlong<1>(m_xTaps, m_rowBlend.data(), span, m_totalShift, values);
  } else {
    for (size_t x = 0; x < m_xTaps.size(); ++x) {
      const CTap& tx = m_xTaps[x];
      const int32_t* first = &m_rowBlend[size_t(tx.m_first) * channels];
      const int32_t* second = &m_rowBlend[size_t(tx.m_second) * channels];
      for (size_t c = 0; c < channels; ++c) {
        const int32_t sum = (span - tx.m_weight) * first[c] + tx.m_weight * second[c] + total / 2;
        const int32_t rounded = m_totalShift >= 0 ? sum >> m_totalShift : sum / total;
        values[x * channels + c] = static_cast<uint8_t>(std::clamp(rounded, 0, 255));
      }
    }
  }
}

// SampleRow's blend along the row for a fixed channel count and a total that is a power of two:
// the same sums, without the per-value choices of the general loop.
template <int kChannels>
void CBlockPlate::BlendAlong(const std::vector<CTap>& taps, const int32_t* rowBlend, int32_t span,
                             int shift, uint8_t* values) {
  const int32_t half = (span * span) / 2;
  for (const CTap& tx : taps) {
    const int32_t* first = rowBlend + size_t(tx.m_first) * kChannels;
    const int32_t* second = rowBlend + size_t(tx.m_second) * kChannels;
    const int32_t keep = span - tx.m_weight;
    for (int c = 0; c < kChannels; ++c) {
      const int32_t rounded = (keep * first[c] + tx.m_weight * second[c] + half) >> shift;
      values[c] = static_cast<uint8_t>(std::clamp(rounded, 0, 255));
    }
    values += kChannels;
  }
}

}  // namespace corvane
