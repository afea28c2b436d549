#include "mix/composite.h"

// The alpha blend is defined by separate double multiplies and an add; a fused multiply-add
// (which the vector code paths could otherwise be given) would change some results.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <atomic>
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

void AlphaRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, double s, bool keyed,
                   uint32_t keyBytes) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 3) {
    if (keyed && PixelBytes(src) == keyBytes) continue;
    for (int c = 0; c < 3; ++c) dst[c] = BlendChannel(src[c], dst[c], s);
  }
}

#ifdef CORVANE_X86
// Sixteen pixels (48 bytes, three vectors) per step. The pixels' three-byte groups are spread
// into 32-bit lanes, compared with the key at once, and the lane masks are packed to one byte
// per pixel and spread back over each pixel's three bytes: 0xFF where the top pixel is key.
struct CKeyMasks {
  __m128i m_byPixel;  // byte k: pixel k is key
  __m128i m_bytes[3];
};

__attribute__((target("sse4.1"))) inline CKeyMasks KeyMasks(const __m128i (&t)[3], __m128i keyVec) {
  const __m128i lanes0 = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i lanes3 = _mm_setr_epi8(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const __m128i p0 = _mm_shuffle_epi8(t[0], lanes0);
  const __m128i p1 = _mm_shuffle_epi8(_mm_alignr_epi8(t[1], t[0], 12), lanes0);
  const __m128i p2 = _mm_shuffle_epi8(_mm_alignr_epi8(t[2], t[1], 8), lanes0);
  const __m128i p3 = _mm_shuffle_epi8(t[2], lanes3);
  const __m128i words01 = _mm_packs_epi32(_mm_cmpeq_epi32(p0, keyVec), _mm_cmpeq_epi32(p1, keyVec));
  const __m128i words23 = _mm_packs_epi32(_mm_cmpeq_epi32(p2, keyVec), _mm_cmpeq_epi32(p3, keyVec));
  CKeyMasks k;
  k.m_byPixel = _mm_packs_epi16(words01, words23);
  k.m_bytes[0] =
      _mm_shuffle_epi8(k.m_byPixel, _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5));
  k.m_bytes[1] = _mm_shuffle_epi8(k.m_byPixel,
                                  _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10));
  k.m_bytes[2] = _mm_shuffle_epi8(
      k.m_byPixel, _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15));
  return k;
}

__attribute__((target("sse4.1"))) inline void Load3(__m128i (&v)[3], const uint8_t* p) {
  for (int k = 0; k < 3; ++k) v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + k);
}

__attribute__((target("sse4.1"))) inline void Store3(uint8_t* p, const __m128i (&v)[3]) {
  for (int k = 0; k < 3; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(p) + k, v[k]);
}

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

// The key's bytes repeated over 96 bytes (32 pixels): a run of key pixels equals it byte for
// byte, which is the cheap test for the runs of key colour that surround most top layers.
struct CKeyRun {
  __m256i m_pattern[3];
};

__attribute__((target("avx2"))) inline CKeyRun MakeKeyRun(uint32_t keyBytes) {
  // Byte i of the run is byte i mod 3 of the key, taken from a broadcast within each lane.
  const __m256i key = _mm256_set1_epi32(static_cast<int32_t>(keyBytes));
  CKeyRun run;
  run.m_pattern[0] =
      _mm256_shuffle_epi8(key, _mm256_setr_epi8(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1,
                                                2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1));
  run.m_pattern[1] =
      _mm256_shuffle_epi8(key, _mm256_setr_epi8(2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0,
                                                1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0));
  run.m_pattern[2] =
      _mm256_shuffle_epi8(key, _mm256_setr_epi8(1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2,
                                                0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2));
  return run;
}

__attribute__((target("avx2"))) inline bool AllKey32(const uint8_t* src, const CKeyRun& run) {
  const auto* p = reinterpret_cast<const __m256i*>(src);
  const __m256i same = _mm256_and_si256(
      _mm256_cmpeq_epi8(_mm256_loadu_si256(p), run.m_pattern[0]),
      _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), run.m_pattern[1]),
                       _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 2), run.m_pattern[2])));
  return _mm256_movemask_epi8(same) == -1;
}

// The key test of KeyMasks on 32 pixels at once: lane 0 holds pixels 0-15 (bytes 0-47), lane
// 1 pixels 16-31 (bytes 48-95), so every step stays within its lane.
#define CORVANE_AVX2_KEY __attribute__((target("avx2"), always_inline)) inline
CORVANE_AVX2_KEY void LoadSplit3(__m256i (&v)[3], const uint8_t* p) {
  for (int k = 0; k < 3; ++k) {
    v[k] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 48 + 16 * k),
                               reinterpret_cast<const __m128i*>(p + 16 * k));
  }
}

CORVANE_AVX2_KEY void StoreSplit3(uint8_t* p, const __m256i (&v)[3]) {
  for (int k = 0; k < 3; ++k) {
    _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(p + 48 + 16 * k),
                         reinterpret_cast<__m128i*>(p + 16 * k), v[k]);
  }
}

CORVANE_AVX2_KEY __m256i KeyPixels32(const __m256i (&t)[3], __m256i keyVec) {
  const __m256i lanes0 = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                          1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i lanes3 = _mm256_setr_epi8(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1,
                                          4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const __m256i p0 = _mm256_shuffle_epi8(t[0], lanes0);
  const __m256i p1 = _mm256_shuffle_epi8(_mm256_alignr_epi8(t[1], t[0], 12), lanes0);
  const __m256i p2 = _mm256_shuffle_epi8(_mm256_alignr_epi8(t[2], t[1], 8), lanes0);
  const __m256i p3 = _mm256_shuffle_epi8(t[2], lanes3);
  const __m256i words01 =
      _mm256_packs_epi32(_mm256_cmpeq_epi32(p0, keyVec), _mm256_cmpeq_epi32(p1, keyVec));
  const __m256i words23 =
      _mm256_packs_epi32(_mm256_cmpeq_epi32(p2, keyVec), _mm256_cmpeq_epi32(p3, keyVec));
  return _mm256_packs_epi16(words01, words23);
}

__attribute__((target("avx2"))) void KeyRowAvx2(uint8_t* dst, const uint8_t* src, int32_t count,
                                                uint32_t keyBytes) {
  const __m256i keyVec = _mm256_set1_epi32(static_cast<int32_t>(keyBytes));
  const CKeyRun run = MakeKeyRun(keyBytes);
  const __m256i spread0 = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 0, 0, 0,
                                           1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i spread1 = _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10, 5, 5,
                                           6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m256i spread2 =
      _mm256_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15, 10, 11, 11,
                       11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
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
    __m256i m[3];
    LoadSplit3(m, dst);
    t[0] = _mm256_blendv_epi8(t[0], m[0], _mm256_shuffle_epi8(byPixel, spread0));
    t[1] = _mm256_blendv_epi8(t[1], m[1], _mm256_shuffle_epi8(byPixel, spread1));
    t[2] = _mm256_blendv_epi8(t[2], m[2], _mm256_shuffle_epi8(byPixel, spread2));
    StoreSplit3(dst, t);
  }
  KeyRowSse41(dst, src, count - i, keyBytes);
}

// The alpha blend in 16-bit lanes. Over the reals the blend is m + (t - m) * (1 - S), or
// t + (m - t) * S; taking the form whose weight w is at most 1/2 and W = w * 2^16 rounded,
// base + floor(d * W / 2^16) (the high half of d * W) is the truncated double result unless
// the fraction (the low half) lies within `margin` units of 0 or 2^16, where the rounding of
// W and of the double steps could decide it either way. Such lanes take the double formula
// itself, so every byte equals BlendChannel's. Lanes with t == m are integers over the reals;
// they need the double formula only at levels where it gives m - 1 for some m.
struct CAlphaFixed {
  double m_s = 0.0;
  int16_t m_weight = 0;       // W
  int16_t m_margin = 0;       // units of 2^-16, above the worst error of the integer blend
  bool m_swap = false;        // base t and weight S instead of base m and weight 1 - S
  bool m_equalExact = false;  // every m blended with itself gives m
  bool m_plusExact = false;   // the integer blend is right for d = 255
  bool m_minusExact = false;  // and for d = -255
  uint32_t m_plusMask = 0;    // all lanes when m_plusExact
  uint32_t m_minusMask = 0;
};

CAlphaFixed MakeAlphaFixed(double s) {
  CAlphaFixed f;
  f.m_s = s;
  f.m_swap = 1.0 - s > 0.5;
  const double w = (f.m_swap ? s : 1.0 - s) * 65536.0;
  const double weight = std::min(std::nearbyint(w), 32767.0);
  f.m_weight = static_cast<int16_t>(weight);
  // |d| <= 255 times the weight's error, plus one unit for the double steps (< 2^-40).
  f.m_margin = static_cast<int16_t>(std::ceil(255.0 * std::fabs(weight - w)) + 1.0);
  f.m_equalExact = true;
  for (int m = 0; m < 256; ++m) {
    if (BlendChannel(uint8_t(m), uint8_t(m), s) != m) f.m_equalExact = false;
  }
  // d = +-255 each belong to one pair, (0, 255) or (255, 0), frequent in real pictures and
  // often integers over the reals: when the integer blend gets them right, they need no redo.
  const auto fixed = [&](int t, int m) {
    const int base = f.m_swap ? t : m;
    return base + (((f.m_swap ? m - t : t - m) * f.m_weight) >> 16);
  };
  for (const int t : {0, 255}) {
    const int m = 255 - t;
    const bool right = fixed(t, m) == BlendChannel(uint8_t(t), uint8_t(m), s);
    const bool plus = (f.m_swap ? m - t : t - m) > 0;
    (plus ? f.m_plusExact : f.m_minusExact) = right;
  }
  f.m_plusMask = f.m_plusExact ? ~0u : 0u;
  f.m_minusMask = f.m_minusExact ? ~0u : 0u;
  return f;
}

#define CORVANE_AVX2 __attribute__((target("avx2"), always_inline)) inline
// Four channel blends in double precision with the operations and order of BlendChannel (no
// fused multiply-add), so bit-identical to it.
CORVANE_AVX2 __m128i BlendDouble4(__m128i t4, __m128i m4, __m256d a, __m256d s) {
  const __m256d p = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(t4)), a);
  const __m256d q = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(m4)), s);
  return _mm256_cvttpd_epi32(_mm256_add_pd(p, q));
}

CORVANE_AVX2 __m128i BlendDouble16(__m128i t8, __m128i m8, double sValue) {
  const __m256d a = _mm256_set1_pd(1.0 - sValue);
  const __m256d s = _mm256_set1_pd(sValue);
  const __m128i r0 = BlendDouble4(t8, m8, a, s);
  const __m128i r1 = BlendDouble4(_mm_srli_si128(t8, 4), _mm_srli_si128(m8, 4), a, s);
  const __m128i r2 = BlendDouble4(_mm_srli_si128(t8, 8), _mm_srli_si128(m8, 8), a, s);
  const __m128i r3 = BlendDouble4(_mm_srli_si128(t8, 12), _mm_srli_si128(m8, 12), a, s);
  return _mm_packus_epi16(_mm_packus_epi32(r0, r1), _mm_packus_epi32(r2, r3));
}

template <bool kSwap, bool kEqualExact>
CORVANE_AVX2 __m128i Blend16(__m128i t8, __m128i m8, const CAlphaFixed& f) {
  const __m256i t = _mm256_cvtepu8_epi16(t8);
  const __m256i m = _mm256_cvtepu8_epi16(m8);
  const __m256i base = kSwap ? t : m;
  const __m256i d = _mm256_sub_epi16(kSwap ? m : t, base);
  const __m256i weight = _mm256_set1_epi16(f.m_weight);
  const __m256i n = _mm256_add_epi16(base, _mm256_mulhi_epi16(d, weight));
  const __m128i out = _mm_packus_epi16(_mm256_castsi256_si128(n), _mm256_extracti128_si256(n, 1));
  // Near a boundary: (fraction + margin) mod 2^16 < 2 * margin.
  const __m256i shifted =
      _mm256_add_epi16(_mm256_mullo_epi16(d, weight), _mm256_set1_epi16(f.m_margin));
  __m256i redo =
      _mm256_cmpeq_epi16(_mm256_subs_epu16(shifted, _mm256_set1_epi16(int16_t(2 * f.m_margin - 1))),
                         _mm256_setzero_si256());
  if (kEqualExact) redo = _mm256_andnot_si256(_mm256_cmpeq_epi16(d, _mm256_setzero_si256()), redo);
  if (_mm256_testz_si256(redo, redo)) return out;
  const __m256i plus = _mm256_and_si256(_mm256_cmpeq_epi16(d, _mm256_set1_epi16(255)),
                                        _mm256_set1_epi16(int16_t(f.m_plusMask)));
  const __m256i minus = _mm256_and_si256(_mm256_cmpeq_epi16(d, _mm256_set1_epi16(-255)),
                                         _mm256_set1_epi16(int16_t(f.m_minusMask)));
  redo = _mm256_andnot_si256(_mm256_or_si256(plus, minus), redo);
  if (_mm256_testz_si256(redo, redo)) return out;
  const __m128i redoBytes =
      _mm_packs_epi16(_mm256_castsi256_si128(redo), _mm256_extracti128_si256(redo, 1));
  return _mm_blendv_epi8(out, BlendDouble16(t8, m8, f.m_s), redoBytes);
}

template <bool kSwap, bool kEqualExact>
__attribute__((target("avx2"))) void AlphaRowAvx2(uint8_t* dst, const uint8_t* src, int32_t count,
                                                  const CAlphaFixed& shared, bool keyed,
                                                  uint32_t keyBytes) {
  const CAlphaFixed f = shared;  // a local copy: the stores below cannot change it
  const __m128i keyVec = _mm_set1_epi32(static_cast<int32_t>(keyBytes));
  int32_t i = 0;
  for (; i + 16 <= count; i += 16, dst += 48, src += 48) {
    __m128i t[3], m[3], v[3];
    Load3(t, src);
    CKeyMasks k;
    if (keyed) {
      k = KeyMasks(t, keyVec);
      if (_mm_movemask_epi8(k.m_byPixel) == 0xFFFF) continue;  // all key: main stays
    }
    Load3(m, dst);
    for (int c = 0; c < 3; ++c) v[c] = Blend16<kSwap, kEqualExact>(t[c], m[c], f);
    if (keyed) {
      for (int c = 0; c < 3; ++c) v[c] = _mm_blendv_epi8(v[c], m[c], k.m_bytes[c]);
    }
    Store3(dst, v);
  }
  AlphaRowPlain(dst, src, count - i, f.m_s, keyed, keyBytes);
}

// The same blend, 32 lanes at a time.
#define CORVANE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl"), always_inline)) inline
template <bool kSwap, bool kEqualExact>
CORVANE_AVX512 __m256i Blend32(__m256i t8, __m256i m8, const CAlphaFixed& f) {
  const __m512i t = _mm512_cvtepu8_epi16(t8);
  const __m512i m = _mm512_cvtepu8_epi16(m8);
  const __m512i base = kSwap ? t : m;
  const __m512i d = _mm512_sub_epi16(kSwap ? m : t, base);
  const __m512i weight = _mm512_set1_epi16(f.m_weight);
  const __m256i out = _mm512_maskz_cvtusepi16_epi8(
      ~__mmask32{0}, _mm512_add_epi16(base, _mm512_mulhi_epi16(d, weight)));
  const __m512i shifted =
      _mm512_add_epi16(_mm512_mullo_epi16(d, weight), _mm512_set1_epi16(f.m_margin));
  __mmask32 redo = _mm512_cmple_epu16_mask(shifted, _mm512_set1_epi16(int16_t(2 * f.m_margin - 1)));
  if (kEqualExact) redo &= _mm512_test_epi16_mask(d, d);
  if (redo == 0) return out;
  redo &= ~(_mm512_cmpeq_epi16_mask(d, _mm512_set1_epi16(255)) & f.m_plusMask);
  redo &= ~(_mm512_cmpeq_epi16_mask(d, _mm512_set1_epi16(-255)) & f.m_minusMask);
  if (redo == 0) return out;
  // Few lanes as a rule: the double formula one byte at a time.
  alignas(32) uint8_t v[32], tb[32], mb[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(v), out);
  _mm256_store_si256(reinterpret_cast<__m256i*>(tb), t8);
  _mm256_store_si256(reinterpret_cast<__m256i*>(mb), m8);
  for (uint32_t lanes = redo; lanes != 0; lanes &= lanes - 1) {
    const int k = std::countr_zero(lanes);
    v[k] = BlendChannel(tb[k], mb[k], f.m_s);
  }
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(v));
}

// 32 pixels (96 bytes, three 32-byte chunks) per step; the rest of the row as above.
template <bool kSwap, bool kEqualExact>
__attribute__((target("avx512f,avx512bw,avx512vl"))) void AlphaRowAvx512(
    uint8_t* dst, const uint8_t* src, int32_t count, const CAlphaFixed& shared, bool keyed,
    uint32_t keyBytes) {
  const CAlphaFixed f = shared;  // a local copy: the stores below cannot change it
  const __m128i keyVec = _mm_set1_epi32(static_cast<int32_t>(keyBytes));
  const CKeyRun run = MakeKeyRun(keyBytes);
  int32_t i = 0;
  for (; i + 32 <= count; i += 32, dst += 96, src += 96) {
    __m256i keep[3];
    if (keyed) {
      if (AllKey32(src, run)) continue;  // all key: main stays
      __m128i t0[3], t1[3];
      Load3(t0, src);
      Load3(t1, src + 48);
      const CKeyMasks k0 = KeyMasks(t0, keyVec), k1 = KeyMasks(t1, keyVec);
      if ((_mm_movemask_epi8(k0.m_byPixel) & _mm_movemask_epi8(k1.m_byPixel)) == 0xFFFF) {
        continue;  // all key: main stays
      }
      keep[0] = _mm256_set_m128i(k0.m_bytes[1], k0.m_bytes[0]);
      keep[1] = _mm256_set_m128i(k1.m_bytes[0], k0.m_bytes[2]);
      keep[2] = _mm256_set_m128i(k1.m_bytes[2], k1.m_bytes[1]);
    }
    for (int c = 0; c < 3; ++c) {
      const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src) + c);
      const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst) + c);
      __m256i v = Blend32<kSwap, kEqualExact>(t, m, f);
      if (keyed) v = _mm256_blendv_epi8(v, m, keep[c]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst) + c, v);
    }
  }
  AlphaRowAvx2<kSwap, kEqualExact>(dst, src, count - i, f, keyed, keyBytes);
}

// The widest path allowed (LimitCompositePath), checked once per frame.
std::atomic<int> g_pathLimit{static_cast<int>(ECompositePath::kBest)};

bool Allowed(ECompositePath path) {
  return g_pathLimit.load(std::memory_order_relaxed) >= static_cast<int>(path);
}
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

using AlphaRowFunction = void (*)(uint8_t*, const uint8_t*, int32_t, const CAlphaFixed&, bool,
                                  uint32_t);

template <bool kSwap, bool kEqualExact>
AlphaRowFunction AlphaRowOf() {
  return HaveAvx512() ? AlphaRowAvx512<kSwap, kEqualExact> : AlphaRowAvx2<kSwap, kEqualExact>;
}

AlphaRowFunction AlphaRowFor(const CAlphaFixed& f) {
  if (f.m_swap) return f.m_equalExact ? AlphaRowOf<true, true>() : AlphaRowOf<true, false>();
  return f.m_equalExact ? AlphaRowOf<false, true>() : AlphaRowOf<false, false>();
}
#endif

}  // namespace

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
  if (HaveAvx2()) row = KeyRowAvx2;
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
    const CAlphaFixed fixed = MakeAlphaFixed(s);
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

bool TopFrameCursor::Step(int32_t& index) {
  if (next == end && loop == 1) next = start;
  const bool read = next < end;
  if (read) index = next;
  // Saturates instead of wrapping: past `end` the value no longer matters.
  if (next < std::numeric_limits<int32_t>::max()) ++next;
  return read;
}

}  // namespace corvane
