// Pieces shared by the vector code of the compositing rules: composite.cpp (the colour key,
// and the choice of path), composite_alpha.cpp (the alpha blend) and composite_layer*.cpp (the
// layer-alpha rule and fades). Internal to mix/.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVANE_X86 1
#endif

namespace corvane::composite_detail {

inline uint32_t PixelBytes(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

// The alpha rule on one row, byte by byte through BlendChannel.
void AlphaRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, double s, bool keyed,
                   uint32_t keyBytes);

// The two weights of each alpha value of the layer-alpha rule (and of a fade): each channel is
// trunc(t * m_top[A] + m * m_main[A]) in double precision, in that order.
struct CLayerWeights {
  double m_top[256];
  double m_main[256];
};

// The layer-alpha rule on one row of 32-bit top pixels, byte by byte (the reference of the
// vector rows). `key`: blue, green, red; with `keys` such pixels leave the output as it is.
void LayerRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, const CLayerWeights& weights,
                   bool keys, const uint8_t key[3]);

#ifdef CORVANE_X86
// Whether a path may be taken: the processor has it and LimitCompositePath allows it.
bool HaveSse41();
bool HaveAvx2();
bool HaveAvx512();

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

// KeyPixels32's byte per pixel spread over each pixel's three bytes, in LoadSplit3's layout.
CORVANE_AVX2_KEY void SpreadKeyMask(__m256i byPixel, __m256i (&bytes)[3]) {
  const __m256i spread0 = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 0, 0, 0,
                                           1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i spread1 = _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10, 5, 5,
                                           6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m256i spread2 =
      _mm256_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15, 10, 11, 11,
                       11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  bytes[0] = _mm256_shuffle_epi8(byPixel, spread0);
  bytes[1] = _mm256_shuffle_epi8(byPixel, spread1);
  bytes[2] = _mm256_shuffle_epi8(byPixel, spread2);
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
  // The pairs for which the integer blend is wrong, found by trying all 65,536: at most
  // levels there are none or one or two (typically t = 0 against m = 255), and their right
  // values are put in as constants, so no lane needs the double formula. m_checks is their
  // number, or -1 when there are more (the margin test above then applies).
  int m_checks = -1;
  int16_t m_badBase[2] = {0, 0};
  int16_t m_badD[2] = {0, 0};
  int16_t m_badValue[2] = {0, 0};
};

// The blend's integer form for the level S: 65,536 trial blends, so callers keep it while
// the level stays (CompositeAlpha keeps the last one per thread).
CAlphaFixed MakeAlphaFixed(double s);

// The widest row function for `f` that the processor has and the limit allows.
using AlphaRowFunction = void (*)(uint8_t*, const uint8_t*, int32_t, const CAlphaFixed&, bool,
                                  uint32_t);
AlphaRowFunction AlphaRowFor(const CAlphaFixed& f);

// What a layer-alpha row needs besides its pixels. The vector rows compute the weights of
// A < 255 in their lanes as MakeWeights does, ((A * K) * (1 - S)) * fade and 1 - w (a factor of
// 1 changes no double), and take A = 255's from the table, which holds the mode's own rule.
// The integer form of the weights, without a table, for the AVX2 row: W(A) = (A * m_scale + 64)
// >> 7 is the top weight in units of 2^-23, within 1.5 units of the exact one (m_scale is the
// weight of A = 1 in units of 2^-30). A channel is floor((m * 2^23 + (t - m) * W) / 2^23), exact
// unless the value lies within m_margin / 2^23 of a whole number, where the weight's rounding
// could tip it; those pixels take the double-precision form (t = m among them: the double form
// can give m - 1). A = 0, and A = 255 when its weight is exactly 1 (m_opaqueExact), are exact.
struct CLayerFixed {
  int32_t m_scale = 0;
  int32_t m_margin = 0;
  bool m_opaqueExact = false;
};
CLayerFixed MakeLayerFixed(const CLayerWeights& weights);

struct CLayerRowContext {
  const CLayerWeights* m_weights;
  const CLayerFixed* m_fixed;  // m_weights in integer form, for the rows that ask for it
  double m_oneMinusS;          // 1 - S
  double m_fade;               // 1 when not fading
  bool m_opaqueCopy;  // the weights of A = 255 are 1 and 0: an opaque pixel is the top pixel
  bool m_keys;
  const uint8_t* m_key;             // blue, green, red
  const CAlphaFixed* m_alphaFixed;  // opaque runs by the alpha rule's row; null: not
  AlphaRowFunction m_alphaRow;      // with m_alphaFixed
  uint8_t* m_scratch;               // with m_alphaFixed: room for a row of 24-bit top pixels
};

// The layer-alpha row for the widest path the processor has and the limit allows: AVX-512 the
// double form, AVX2 the integer form (where the double form is slower), SSE4.1 the double form.
// Only the AVX2 rows and wider take opaque runs by the alpha rule's row.
using LayerRowFunction = void (*)(uint8_t*, const uint8_t*, int32_t, const CLayerRowContext&);
struct CLayerRow {
  LayerRowFunction m_row = nullptr;  // null: LayerRowPlain
  bool m_fixed = false;              // it needs CLayerRowContext::m_fixed
};
CLayerRow LayerRowFor();

// The AVX2 integer row (composite_layer_fixed.cpp), and the alpha rule's row on an opaque run of
// whole blocks of 8 (with context.m_alphaFixed), which it shares with the double rows.
void LayerRowAvx2Fixed(uint8_t* dst, const uint8_t* src, int32_t count,
                       const CLayerRowContext& context);
void LayerOpaqueRun(uint8_t* dst, const uint8_t* src, int32_t count,
                    const CLayerRowContext& context);
#endif

}  // namespace corvane::composite_detail
