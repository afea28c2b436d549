#include "mix/composite.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVANE_X86 1
#endif

namespace corvane {
namespace {

// 1/255 with the exact bits the blend is defined with.
constexpr double kInv255 = std::bit_cast<double>(uint64_t{0x3F70101010101010});

int64_t Stride(int32_t width) {
  return ((int64_t{width} * 24 + 31) >> 3) & ~int64_t{3};
}

// The part of the top frame that lands inside the output frame, in top-frame coordinates
// (memory rows j0..j1-1, columns i0..i1-1), and where its first pixel lands.
struct COverlap {
  int32_t j0 = 0, j1 = 0, i0 = 0, i1 = 0;
  int64_t mainStride = 0, topStride = 0;
  uint8_t* dst = nullptr;        // output pixel of top pixel (i0, j0)
  const uint8_t* src = nullptr;  // top pixel (i0, j0)
  bool Empty() const { return j0 >= j1 || i0 >= i1; }
};

COverlap Clip(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
              int32_t topWidth, int32_t topHeight, int32_t left, int32_t top) {
  COverlap o;
  if (!output || !topFrame || mainWidth <= 0 || mainHeight <= 0 || topWidth <= 0 ||
      topHeight <= 0) {
    return o;
  }
  // Top memory row j lands on output memory row base + j; top column i on output column
  // left + i. 64-bit so that no offset can wrap.
  const int64_t base = int64_t{mainHeight} - topHeight - top;
  const int64_t j0 = std::max<int64_t>(0, -base);
  const int64_t j1 = std::min<int64_t>(topHeight, int64_t{mainHeight} - base);
  const int64_t i0 = std::max<int64_t>(0, -int64_t{left});
  const int64_t i1 = std::min<int64_t>(topWidth, int64_t{mainWidth} - left);
  if (j0 >= j1 || i0 >= i1) return o;
  o.j0 = static_cast<int32_t>(j0);
  o.j1 = static_cast<int32_t>(j1);
  o.i0 = static_cast<int32_t>(i0);
  o.i1 = static_cast<int32_t>(i1);
  o.mainStride = Stride(mainWidth);
  o.topStride = Stride(topWidth);
  o.dst = output + (base + j0) * o.mainStride + 3 * (left + i0);
  o.src = topFrame + j0 * o.topStride + 3 * i0;
  return o;
}

// The key as the three bytes of a Frame buffer pixel read little-endian: b | g << 8 | r << 16.
uint32_t KeyAsPixelBytes(uint32_t key) {
  return ((key & 0xFF) << 16) | (key & 0xFF00) | ((key >> 16) & 0xFF);
}

inline uint32_t PixelBytes(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

void KeyRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, uint32_t keyBytes) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 3) {
    if (PixelBytes(src) != keyBytes) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    }
  }
}

#ifdef CORVANE_X86
// Four pixels per step: 16-byte loads at 12-byte steps, one packed compare per pixel. Each
// step reads and writes 4 bytes past its pixels (the next step's first pixel, written back
// unchanged), so the loop stops while at least one whole pixel more of the row is left and
// the plain loop finishes the row.
__attribute__((target("sse4.1"))) void KeyRowSse41(uint8_t* dst, const uint8_t* src, int32_t count,
                                                   uint32_t keyBytes) {
  const __m128i toDwords = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i toBytes = _mm_setr_epi8(0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1);
  const __m128i keepTail = _mm_setr_epi32(0, 0, 0, -1);
  const __m128i keyVec = _mm_set1_epi32(static_cast<int32_t>(keyBytes));
  int32_t i = 0;
  for (; i + 6 <= count; i += 4, dst += 12, src += 12) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
    const __m128i same = _mm_cmpeq_epi32(_mm_shuffle_epi8(t, toDwords), keyVec);
    const __m128i keep = _mm_or_si128(_mm_shuffle_epi8(same, toBytes), keepTail);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(t, m, keep));
  }
  KeyRowPlain(dst, src, count - i, keyBytes);
}

bool HaveSse41() {
  static const bool have = __builtin_cpu_supports("sse4.1");
  return have;
}
#endif

// The exact blend results for every (top, main) byte pair at one S, indexed top << 8 | main.
// One per thread, rebuilt only when S changes.
struct CBlendTable {
  uint64_t m_sBits = 0;
  bool m_valid = false;
  alignas(64) uint8_t m_value[256 * 256];
};

const uint8_t* BlendTableFor(double s) {
  thread_local CBlendTable table;
  const uint64_t bits = std::bit_cast<uint64_t>(s);
  if (!table.m_valid || table.m_sBits != bits) {
    for (int t = 0; t < 256; ++t) {
      uint8_t* row = table.m_value + t * 256;
      for (int m = 0; m < 256; ++m) row[m] = BlendChannel(uint8_t(t), uint8_t(m), s);
    }
    table.m_sBits = bits;
    table.m_valid = true;
  }
  return table.m_value;
}

void AlphaRow(uint8_t* dst, const uint8_t* src, int32_t count, const uint8_t* table, bool keyed,
              uint32_t keyBytes) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 3) {
    if (keyed && PixelBytes(src) == keyBytes) continue;
    const uint8_t b = table[src[0] << 8 | dst[0]];
    const uint8_t g = table[src[1] << 8 | dst[1]];
    const uint8_t r = table[src[2] << 8 | dst[2]];
    dst[0] = b;
    dst[1] = g;
    dst[2] = r;
  }
}

}  // namespace

uint32_t PackKeyColour(uint32_t red, uint32_t green, uint32_t blue) {
  return (red & 0xFF) | (green & 0xFF) << 8 | (blue & 0xFF) << 16;
}

uint8_t BlendChannel(uint8_t topByte, uint8_t mainByte, double s) {
  const double a = 1.0 - s;
  const double p = topByte * a;
  const double q = mainByte * s;
  const double v = p + q;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

void CompositeColourKey(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                        const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                        int32_t top, uint32_t key) {
  const COverlap o = Clip(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, left, top);
  if (o.Empty()) return;
  const uint32_t keyBytes = KeyAsPixelBytes(key);
  const int32_t count = o.i1 - o.i0;
  auto row = KeyRowPlain;
#ifdef CORVANE_X86
  if (HaveSse41()) row = KeyRowSse41;
#endif
  uint8_t* dst = o.dst;
  const uint8_t* src = o.src;
  for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
    row(dst, src, count, keyBytes);
  }
}

void CompositeAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                    int32_t topWidth, int32_t topHeight, int32_t left, int32_t top, uint32_t key,
                    uint8_t useTransparency, double alpha) {
  if (std::isnan(alpha)) return;
  alpha = std::clamp(alpha, 0.0, 255.0);
  const COverlap o = Clip(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, left, top);
  if (o.Empty()) return;
  const double s = alpha * kInv255;  // once per frame
  const uint8_t* table = BlendTableFor(s);
  const bool keyed = useTransparency == 1;
  const uint32_t keyBytes = KeyAsPixelBytes(key);
  const int32_t count = o.i1 - o.i0;
  uint8_t* dst = o.dst;
  const uint8_t* src = o.src;
  for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
    AlphaRow(dst, src, count, table, keyed, keyBytes);
  }
}

bool TopFrameCursor::Step(int32_t& index) {
  if (next == end && loop == 1) next = start;
  const bool read = next < end;
  if (read) index = next;
  // Saturates instead of wrapping: past `end` the value no longer matters.
  if (next < std::numeric_limits<int32_t>::max()) ++next;
  return read;
}

}  // namespace corvane
