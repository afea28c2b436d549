// The alpha rule's vector code. Every path gives exactly BlendChannel's bytes.
#include "mix/composite.h"

// The alpha blend is defined by separate double multiplies and an add; a fused multiply-add
// would change some results.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <bit>
#include <cmath>

#include "mix/composite_x86.h"

namespace corvane {

// Here, with the rows that call it byte by byte, so that they get it inline.
uint8_t BlendChannel(uint8_t topByte, uint8_t mainByte, double s) {
  const double a = 1.0 - s;
  const double p = topByte * a;
  const double q = mainByte * s;
  const double v = p + q;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

namespace composite_detail {

void AlphaRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, double s, bool keyed,
                   uint32_t keyBytes) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 3) {
    if (keyed && PixelBytes(src) == keyBytes) continue;
    for (int c = 0; c < 3; ++c) dst[c] = BlendChannel(src[c], dst[c], s);
  }
}

#ifdef CORVANE_X86
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

  int wrong = 0;
  for (int t = 0; t < 256 && wrong <= 2; ++t) {
    for (int m = 0; m < 256 && wrong <= 2; ++m) {
      const uint8_t right = BlendChannel(uint8_t(t), uint8_t(m), s);
      if (fixed(t, m) == right) continue;
      if (wrong < 2) {
        f.m_badBase[wrong] = static_cast<int16_t>(f.m_swap ? t : m);
        f.m_badD[wrong] = static_cast<int16_t>(f.m_swap ? m - t : t - m);
        f.m_badValue[wrong] = right;
      }
      ++wrong;
    }
  }
  if (wrong <= 2) f.m_checks = wrong;
  return f;
}

namespace {

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

// Bytes `lanes` (a bit each) of `out` blended again by the double formula, one at a time: few
// lanes as a rule.
CORVANE_AVX2 __m256i RedoLanes(__m256i out, __m256i t8, __m256i m8, uint32_t lanes, double s) {
  alignas(32) uint8_t v[32], tb[32], mb[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(v), out);
  _mm256_store_si256(reinterpret_cast<__m256i*>(tb), t8);
  _mm256_store_si256(reinterpret_cast<__m256i*>(mb), m8);
  for (; lanes != 0; lanes &= lanes - 1) {
    const int k = std::countr_zero(lanes);
    v[k] = BlendChannel(tb[k], mb[k], s);
  }
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(v));
}

// The same blend on 32 bytes with AVX2. Unpacking to 16-bit lanes takes bytes 0-7 and 16-23
// to one vector and 8-15 and 24-31 to the other, and packing puts them back where they were,
// so no byte crosses a 128-bit lane and the bytes may lie in any order.
template <bool kSwap, bool kEqualExact, int kChecks>
CORVANE_AVX2 __m256i Blend32Avx2(__m256i t8, __m256i m8, const CAlphaFixed& f) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i weight = _mm256_set1_epi16(f.m_weight);
  __m256i n[2], d[2], redo[2];
  for (int h = 0; h < 2; ++h) {
    const __m256i t = h ? _mm256_unpackhi_epi8(t8, zero) : _mm256_unpacklo_epi8(t8, zero);
    const __m256i m = h ? _mm256_unpackhi_epi8(m8, zero) : _mm256_unpacklo_epi8(m8, zero);
    const __m256i base = kSwap ? t : m;
    d[h] = _mm256_sub_epi16(kSwap ? m : t, base);
    n[h] = _mm256_add_epi16(base, _mm256_mulhi_epi16(d[h], weight));
    for (int k = 0; k < kChecks; ++k) {
      const __m256i hit =
          _mm256_and_si256(_mm256_cmpeq_epi16(d[h], _mm256_set1_epi16(f.m_badD[k])),
                           _mm256_cmpeq_epi16(base, _mm256_set1_epi16(f.m_badBase[k])));
      n[h] = _mm256_blendv_epi8(n[h], _mm256_set1_epi16(f.m_badValue[k]), hit);
    }
    if constexpr (kChecks < 0) {
      const __m256i shifted =
          _mm256_add_epi16(_mm256_mullo_epi16(d[h], weight), _mm256_set1_epi16(f.m_margin));
      redo[h] = _mm256_cmpeq_epi16(
          _mm256_subs_epu16(shifted, _mm256_set1_epi16(int16_t(2 * f.m_margin - 1))), zero);
      if (kEqualExact) redo[h] = _mm256_andnot_si256(_mm256_cmpeq_epi16(d[h], zero), redo[h]);
    }
  }
  const __m256i out = _mm256_packus_epi16(n[0], n[1]);
  if constexpr (kChecks >= 0) return out;
  const __m256i any = _mm256_or_si256(redo[0], redo[1]);
  if (_mm256_testz_si256(any, any)) return out;
  if constexpr (kChecks < 0) {
    const __m256i plusMask = _mm256_set1_epi16(int16_t(f.m_plusMask));
    const __m256i minusMask = _mm256_set1_epi16(int16_t(f.m_minusMask));
    for (int h = 0; h < 2; ++h) {
      const __m256i exact = _mm256_or_si256(
          _mm256_and_si256(_mm256_cmpeq_epi16(d[h], _mm256_set1_epi16(255)), plusMask),
          _mm256_and_si256(_mm256_cmpeq_epi16(d[h], _mm256_set1_epi16(-255)), minusMask));
      redo[h] = _mm256_andnot_si256(exact, redo[h]);
    }
  }
  uint32_t lanes =
      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(redo[0], redo[1])));
  if (lanes == 0) return out;
  return RedoLanes(out, t8, m8, lanes, f.m_s);
}

// 32 pixels (96 bytes) per step; the rest of the row 16 at a time.
template <bool kSwap, bool kEqualExact, int kChecks>
__attribute__((target("avx2"))) void AlphaRow32Avx2(uint8_t* dst, const uint8_t* src, int32_t count,
                                                    const CAlphaFixed& shared, bool keyed,
                                                    uint32_t keyBytes) {
  const CAlphaFixed f = shared;  // a local copy: the stores below cannot change it
  const __m256i keyVec = _mm256_set1_epi32(static_cast<int32_t>(keyBytes));
  const CKeyRun run = MakeKeyRun(keyBytes);
  int32_t i = 0;
  for (; i + 32 <= count; i += 32, dst += 96, src += 96) {
    if (!keyed) {
      for (int c = 0; c < 3; ++c) {
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src) + c);
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst) + c);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst) + c,
                            Blend32Avx2<kSwap, kEqualExact, kChecks>(t, m, f));
      }
      continue;
    }
    if (AllKey32(src, run)) continue;  // all key: main stays
    __m256i t[3], m[3], keep[3];
    LoadSplit3(t, src);
    SpreadKeyMask(KeyPixels32(t, keyVec), keep);
    LoadSplit3(m, dst);
    for (int c = 0; c < 3; ++c) {
      t[c] = _mm256_blendv_epi8(Blend32Avx2<kSwap, kEqualExact, kChecks>(t[c], m[c], f), m[c],
                                keep[c]);
    }
    StoreSplit3(dst, t);
  }
  AlphaRowAvx2<kSwap, kEqualExact>(dst, src, count - i, f, keyed, keyBytes);
}

// The same blend, 32 lanes at a time.
#define CORVANE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl"), always_inline)) inline
template <bool kSwap, bool kEqualExact, int kChecks>
CORVANE_AVX512 __m256i Blend32(__m256i t8, __m256i m8, const CAlphaFixed& f) {
  const __m512i t = _mm512_cvtepu8_epi16(t8);
  const __m512i m = _mm512_cvtepu8_epi16(m8);
  const __m512i base = kSwap ? t : m;
  const __m512i d = _mm512_sub_epi16(kSwap ? m : t, base);
  const __m512i weight = _mm512_set1_epi16(f.m_weight);
  __m512i sum = _mm512_add_epi16(base, _mm512_mulhi_epi16(d, weight));
  for (int k = 0; k < kChecks; ++k) {
    const __mmask32 hit = _mm512_cmpeq_epi16_mask(d, _mm512_set1_epi16(f.m_badD[k])) &
                          _mm512_cmpeq_epi16_mask(base, _mm512_set1_epi16(f.m_badBase[k]));
    sum = _mm512_mask_mov_epi16(sum, hit, _mm512_set1_epi16(f.m_badValue[k]));
  }
  const __m256i out = _mm512_maskz_cvtusepi16_epi8(~__mmask32{0}, sum);
  if constexpr (kChecks >= 0) return out;
  const __m512i shifted =
      _mm512_add_epi16(_mm512_mullo_epi16(d, weight), _mm512_set1_epi16(f.m_margin));
  __mmask32 redo = _mm512_cmple_epu16_mask(shifted, _mm512_set1_epi16(int16_t(2 * f.m_margin - 1)));
  if (kEqualExact) redo &= _mm512_test_epi16_mask(d, d);
  if (redo == 0) return out;
  redo &= ~(_mm512_cmpeq_epi16_mask(d, _mm512_set1_epi16(255)) & f.m_plusMask);
  redo &= ~(_mm512_cmpeq_epi16_mask(d, _mm512_set1_epi16(-255)) & f.m_minusMask);
  if (redo == 0) return out;
  return RedoLanes(out, t8, m8, redo, f.m_s);
}

// 32 pixels (96 bytes, three 32-byte chunks) per step; the rest of the row as above.
template <bool kSwap, bool kEqualExact, int kChecks>
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
      __m256i v = Blend32<kSwap, kEqualExact, kChecks>(t, m, f);
      if (keyed) v = _mm256_blendv_epi8(v, m, keep[c]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst) + c, v);
    }
  }
  AlphaRowAvx2<kSwap, kEqualExact>(dst, src, count - i, f, keyed, keyBytes);
}

template <bool kSwap, bool kEqualExact, int kChecks>
AlphaRowFunction AlphaRowOf() {
  return HaveAvx512() ? AlphaRowAvx512<kSwap, kEqualExact, kChecks>
                      : AlphaRow32Avx2<kSwap, kEqualExact, kChecks>;
}

}  // namespace

AlphaRowFunction AlphaRowFor(const CAlphaFixed& f) {
  if (f.m_checks == 1)
    return f.m_swap ? AlphaRowOf<true, false, 1>() : AlphaRowOf<false, false, 1>();
  if (f.m_checks == 0)
    return f.m_swap ? AlphaRowOf<true, false, 0>() : AlphaRowOf<false, false, 0>();
  if (f.m_checks == 2)
    return f.m_swap ? AlphaRowOf<true, false, 2>() : AlphaRowOf<false, false, 2>();
  if (f.m_swap)
    return f.m_equalExact ? AlphaRowOf<true, true, -1>() : AlphaRowOf<true, false, -1>();
  return f.m_equalExact ? AlphaRowOf<false, true, -1>() : AlphaRowOf<false, false, -1>();
}
#endif

}  // namespace composite_detail
}  // namespace corvane
