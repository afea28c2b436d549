#include "mix/composite.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "mix/composite_x86.h"

namespace corvane {
using namespace composite_detail;

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
// One 16-pixel group of the colour-key rule.
__attribute__((target("sse4.1"))) inline void KeyGroup16(uint8_t* dst, const uint8_t* src,
                                                         __m128i keyVec) {
  __m128i t[3];
  Load3(t, src);
  const CKeyMasks k = KeyMasks(t, keyVec);
  const int keyed = _mm_movemask_epi8(k.m_byPixel);
  if (keyed == 0xFFFF) return;  // all key: the output keeps the main pixels
  if (keyed != 0) {
    __m128i m[3];
    Load3(m, dst);
    for (int c = 0; c < 3; ++c) t[c] = _mm_blendv_epi8(t[c], m[c], k.m_bytes[c]);
  }
  Store3(dst, t);
}

__attribute__((target("sse4.1"))) void KeyRowSse41(uint8_t* dst, const uint8_t* src, int32_t count,
                                                   uint32_t keyBytes) {
  const __m128i keyVec = _mm_set1_epi32(static_cast<int32_t>(keyBytes));
  int32_t i = 0;
  for (; i + 16 <= count; i += 16, dst += 48, src += 48) KeyGroup16(dst, src, keyVec);
  KeyRowPlain(dst, src, count - i, keyBytes);
}

__attribute__((target("avx2"))) void KeyRowAvx2(uint8_t* dst, const uint8_t* src, int32_t count,
                                                uint32_t keyBytes) {
  const __m256i keyVec = _mm256_set1_epi32(static_cast<int32_t>(keyBytes));
  const CKeyRun run = MakeKeyRun(keyBytes);
  int32_t i = 0;
  for (; i + 32 <= count; i += 32, dst += 96, src += 96) {
    if (AllKey32(src, run)) continue;  // all key: the output keeps the main pixels
    __m256i t[3];
    LoadSplit3(t, src);
    const __m256i byPixel = KeyPixels32(t, keyVec);
    if (_mm256_testz_si256(byPixel, byPixel)) {  // no key pixel: a plain copy
      for (int k = 0; k < 3; ++k) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst) + k,
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src) + k));
      }
      continue;
    }
    __m256i m[3], keep[3];
    LoadSplit3(m, dst);
    SpreadKeyMask(byPixel, keep);
    for (int c = 0; c < 3; ++c) t[c] = _mm256_blendv_epi8(t[c], m[c], keep[c]);
    StoreSplit3(dst, t);
  }
  KeyRowSse41(dst, src, count - i, keyBytes);
}

// The widest path allowed (LimitCompositePath), checked once per frame.
std::atomic<int> g_pathLimit{static_cast<int>(ECompositePath::kBest)};

bool Allowed(ECompositePath path) {
  return g_pathLimit.load(std::memory_order_relaxed) >= static_cast<int>(path);
}
#endif

}  // namespace

#ifdef CORVANE_X86
namespace composite_detail {

bool HaveSse41() {
  static const bool have = __builtin_cpu_supports("sse4.1");
  return have && Allowed(ECompositePath::kSse41);
}
bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have && Allowed(ECompositePath::kAvx2);
}
bool HaveAvx512() {
  static const bool have = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  return have && Allowed(ECompositePath::kAvx512);
}

}  // namespace composite_detail
#endif

void LimitCompositePath(ECompositePath path) {
#ifdef CORVANE_X86
  g_pathLimit.store(static_cast<int>(path), std::memory_order_relaxed);
#else
  (void)path;
#endif
}

uint32_t PackKeyColour(uint32_t red, uint32_t green, uint32_t blue) {
  return (red & 0xFF) | (green & 0xFF) << 8 | (blue & 0xFF) << 16;
}

void CompositeColourKey(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                        const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                        int32_t top, uint32_t key) {
  const COverlap o = Clip(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, left, top);
  if (o.Empty()) return;
  const int32_t count = o.i1 - o.i0;
  uint8_t* dst = o.dst;
  const uint8_t* src = o.src;
  // All 32 bits of the key count: one with bits above the colour matches no pixel, so every top
  // pixel is laid on.
  if ((key >> 24) != 0) {
    for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
      std::memcpy(dst, src, size_t(count) * 3);
    }
    return;
  }
  const uint32_t keyBytes = KeyAsPixelBytes(key);
  auto row = KeyRowPlain;
#ifdef CORVANE_X86
  if (HaveSse41()) row = KeyRowSse41;
  if (HaveAvx2()) row = KeyRowAvx2;
#endif
  for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
    row(dst, src, count, keyBytes);
  }
}

void CompositeAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                    int32_t topWidth, int32_t topHeight, int32_t left, int32_t top, uint32_t key,
                    uint8_t useTransparency, double alpha) {
  if (std::isnan(alpha)) return;
  alpha = std::clamp(alpha, 0.0, 255.0);
  // A key with bits above the colour matches no pixel: nothing is kept for being key-coloured.
  if ((key >> 24) != 0) useTransparency = 0;
  const COverlap o = Clip(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, left, top);
  if (o.Empty()) return;
  const double s = alpha * kInv255;  // once per frame
  // The two ends are exact: S = 1 keeps every main byte, S = 0 gives every top byte.
  if (1.0 - s == 0.0) return;
  if (s == 0.0 && useTransparency == 1) {
    CompositeColourKey(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, left, top,
                       key);
    return;
  }
  const bool keyed = useTransparency == 1;
  const uint32_t keyBytes = KeyAsPixelBytes(key);
  const int32_t count = o.i1 - o.i0;
  uint8_t* dst = o.dst;
  const uint8_t* src = o.src;
  if (s == 0.0) {
    for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
      std::memcpy(dst, src, size_t(count) * 3);
    }
    return;
  }
#ifdef CORVANE_X86
  if (HaveAvx2()) {
    // The level rarely changes from frame to frame: keep its integer form.
    thread_local CAlphaFixed fixed = MakeAlphaFixed(s);
    if (fixed.m_s != s) fixed = MakeAlphaFixed(s);
    const auto row = AlphaRowFor(fixed);
    for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
      row(dst, src, count, fixed, keyed, keyBytes);
    }
    return;
  }
#endif
  for (int32_t j = o.j0; j < o.j1; ++j, dst += o.mainStride, src += o.topStride) {
    AlphaRowPlain(dst, src, count, s, keyed, keyBytes);
  }
}

void ApplyMixRule(const CMixRule& rule, uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                  const uint8_t* topFrame, int32_t topWidth, int32_t topHeight) {
  if (rule.m_layerAlpha) {
    CompositeLayerAlpha(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, rule.m_left,
                        rule.m_top, rule.m_key, rule.Keys(), rule.m_alpha, rule.m_alphaLevel);
  } else if (rule.m_alpha) {
    CompositeAlpha(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, rule.m_left,
                   rule.m_top, rule.m_key, rule.Keys() ? rule.m_useTransparency : 0,
                   rule.m_alphaLevel);
  } else {
    // A key with bits above the colour matches no pixel: the None keyer.
    CompositeColourKey(output, mainWidth, mainHeight, topFrame, topWidth, topHeight, rule.m_left,
                       rule.m_top, rule.Keys() ? rule.m_key : 0xFF000000u);
  }
}

void ApplyMixRule(const CMixRule& rule, const CLayerFrame& layer, uint8_t* output,
                  int32_t mainWidth, int32_t mainHeight) {
  const bool topHasAlpha = layer.m_prepared || rule.m_layerAlpha;
  // A prepared picture carries the key as transparency already.
  const bool keys = !layer.m_prepared && rule.Keys();
  if (layer.m_fade != 1.0) {
    CompositeFaded(output, mainWidth, mainHeight, layer.m_pixels, topHasAlpha, layer.m_width,
                   layer.m_height, rule.m_left, rule.m_top, rule.m_key, keys, rule.m_alpha,
                   rule.m_alphaLevel, layer.m_fade);
  } else if (layer.m_prepared) {
    CompositeLayerAlpha(output, mainWidth, mainHeight, layer.m_pixels, layer.m_width,
                        layer.m_height, rule.m_left, rule.m_top, rule.m_key, false, rule.m_alpha,
                        rule.m_alphaLevel);
  } else {
    ApplyMixRule(rule, output, mainWidth, mainHeight, layer.m_pixels, layer.m_width,
                 layer.m_height);
  }
}

bool TopFrameCursor::Step(int32_t& index) {
  if (times) return StepByTime(index);
  if (next == end && loop == 1) next = start;
  const bool read = next < end;
  if (read) index = next;
  // Saturates instead of wrapping: past `end` the value no longer matters.
  if (next < std::numeric_limits<int32_t>::max()) ++next;
  return read;
}

bool TopFrameCursor::StepByTime(int32_t& index) {
  const std::vector<int64_t>& starts = times->m_starts;
  if (starts.empty() || mainRate <= 0 || mainScale <= 0) return false;
  // Both clocks counted in 1 / (mainRate * unitDen) seconds: whole numbers, in 128 bits.
  using Wide = __int128;
  Wide now = Wide{stepped} * mainScale * times->m_unitDen;
  if (stepped < std::numeric_limits<int64_t>::max()) ++stepped;
  const Wide unit = Wide{times->m_unitNum} * mainRate;
  const Wide length = Wide{times->m_duration} * unit;
  if (loop == 1 && length > 0) now %= length;
  // A clock much coarser than the pictures' own (Matroska counts milliseconds) stores rounded
  // times: 67 ms for the third picture at 30 fps. Such a time counts from half a tick earlier,
  // so that an equal-rate layer is not held back a frame by the rounding. A clock of the
  // pictures' own rate is exact and gets no allowance.
  const bool rounded = times->m_duration >= 2 * static_cast<int64_t>(starts.size());
  const Wide allowance = rounded ? unit : 0;
  const auto after = std::upper_bound(
      starts.begin(), starts.end(), now,
      [&](Wide time, int64_t begins) { return 2 * time + allowance < 2 * begins * unit; });
  const int32_t picture =
      after == starts.begin() ? 0 : static_cast<int32_t>(after - starts.begin() - 1);
  if (start + picture >= end) return false;
  if (start + picture == shown) return false;
  shown = start + picture;
  index = shown;
  return true;
}

}  // namespace corvane
