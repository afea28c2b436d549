// The layer-alpha rule's AVX2 row in integer form (CLayerFixed), with a per-pixel redo in double
// precision where the integer form could tip. On AVX2 it is faster than the double form: there
// the conversions between 32-bit integers and doubles are widening ones, about 20 per 8 pixels.
#include "mix/composite_x86.h"

// The redo is the rule's separate double multiplies and add: a fused multiply-add would change
// some results.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef CORVANE_X86
namespace corvane::composite_detail {
namespace {

constexpr int kWeightBits = 23;

int32_t FixedWeight(int32_t scale, int a) {
  return static_cast<int32_t>((int64_t{a} * scale + 64) >> 7);
}

inline uint8_t Weigh(uint8_t t, uint8_t m, double top, double main) {
  const double p = t * top;
  const double q = m * main;
  const double v = p + q;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

#define CORVANE_LAYER_AVX2 __attribute__((target("avx2")))

// Four pixels of blue-green-red bytes into 32-bit lanes (blue low), and back.
CORVANE_LAYER_AVX2 inline __m128i LoadPixels3(const uint8_t* p) {
  __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  int32_t last;
  std::memcpy(&last, p + 8, 4);
  v = _mm_insert_epi32(v, last, 2);
  return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
}

CORVANE_LAYER_AVX2 inline void StorePixels3(uint8_t* p, __m128i lanes) {
  const __m128i packed = _mm_shuffle_epi8(
      lanes, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), packed);
  const int32_t last = _mm_extract_epi32(packed, 2);
  std::memcpy(p + 8, &last, 4);
}

// One channel of 8 pixels (the byte at `kShift`) by the integer form: its bytes into `result`,
// and the pixels whose value lies near a whole number into `near`. A function of its own, not a
// lambda: clang does not compile a lambda for the target of the function around it.
template <int kShift>
CORVANE_LAYER_AVX2 inline void LayerChannel(__m256i top, __m256i main, __m256i weight,
                                            __m256i margin, __m256i upper, __m256i& result,
                                            __m256i& near) {
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i t = _mm256_and_si256(_mm256_srli_epi32(top, kShift), byteMask);
  const __m256i m = _mm256_and_si256(_mm256_srli_epi32(main, kShift), byteMask);
  const __m256i n = _mm256_add_epi32(_mm256_slli_epi32(m, kWeightBits),
                                     _mm256_mullo_epi32(_mm256_sub_epi32(t, m), weight));
  const __m256i frac = _mm256_and_si256(n, _mm256_set1_epi32((1 << kWeightBits) - 1));
  // Even t = m is near: the double form can give m - 1 there.
  near = _mm256_or_si256(
      near, _mm256_or_si256(_mm256_cmpgt_epi32(margin, frac), _mm256_cmpgt_epi32(frac, upper)));
  result = _mm256_or_si256(result, _mm256_slli_epi32(_mm256_srli_epi32(n, kWeightBits), kShift));
}

}  // namespace

CLayerFixed MakeLayerFixed(const CLayerWeights& weights) {
  CLayerFixed fixed;
  fixed.m_scale = static_cast<int32_t>(std::nearbyint(weights.m_top[1] * double(1 << 30)));
  fixed.m_opaqueExact = weights.m_top[255] == 1.0;
  double worst = 0.0;  // the largest distance of W from the exact weight, in units of 2^-23
  for (int a = 1; a < 256; ++a) {
    if (a == 255 && fixed.m_opaqueExact) continue;
    const double exact = weights.m_top[a] * double(1 << kWeightBits);
    worst = std::max(worst, std::fabs(FixedWeight(fixed.m_scale, a) - exact));
  }
  // |t - m| <= 255 times the weight's error, plus room for the double steps (< 2^-40).
  fixed.m_margin = static_cast<int32_t>(std::ceil(255.0 * worst)) + 2;
  return fixed;
}

CORVANE_LAYER_AVX2 void LayerRowAvx2Fixed(uint8_t* dst, const uint8_t* src, int32_t count,
                                          const CLayerRowContext& context) {
  const CLayerWeights& weights = *context.m_weights;
  const CLayerFixed& fixed = *context.m_fixed;
  const bool keys = context.m_keys;
  const uint8_t* key = context.m_key;
  const __m256i opaque = _mm256_set1_epi32(255);
  int32_t runStart = -1;  // an opaque run of whole blocks in the alpha mix, not yet blended
  const auto flush = [&](int32_t end) {
    if (runStart < 0) return;
    LayerOpaqueRun(dst - 3 * (end - runStart), src - 4 * (end - runStart), end - runStart, context);
    runStart = -1;
  };
  const __m256i unit = _mm256_set1_epi32(1 << kWeightBits);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i half = _mm256_set1_epi32(64);
  const __m256i scale = _mm256_set1_epi32(fixed.m_scale);
  const __m256i marginAll = _mm256_set1_epi32(fixed.m_margin);
  const __m256i colourMask = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i keyVec =
      _mm256_set1_epi32(keys ? int32_t(key[0] | key[1] << 8 | key[2] << 16) : -1);
  int32_t i = 0;
  for (; i + 8 <= count; i += 8, dst += 24, src += 32) {
    const __m256i top = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i alpha = _mm256_srli_epi32(top, 24);
    const int opaquePixels =
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(alpha, opaque)));
    if (opaquePixels == 0xFF && context.m_alphaFixed) {
      if (runStart < 0) runStart = i;
      continue;
    }
    flush(i);
    // Wholly transparent: the main pixels stay.
    if (_mm256_testz_si256(alpha, alpha)) continue;
    const __m256i main = _mm256_set_m128i(LoadPixels3(dst + 12), LoadPixels3(dst));
    // The weight of each pixel, and where its value needs the margin test.
    const __m256i exactOpaque =
        fixed.m_opaqueExact ? _mm256_cmpeq_epi32(alpha, opaque) : _mm256_setzero_si256();
    const __m256i exact = _mm256_or_si256(exactOpaque, _mm256_cmpeq_epi32(alpha, zero));
    const __m256i weight = _mm256_blendv_epi8(
        _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(alpha, scale), half), 7), unit,
        exactOpaque);
    const __m256i margin = _mm256_andnot_si256(exact, marginAll);
    const __m256i upper = _mm256_sub_epi32(unit, margin);
    __m256i result = _mm256_setzero_si256();
    __m256i near = _mm256_setzero_si256();
    LayerChannel<0>(top, main, weight, margin, upper, result, near);
    LayerChannel<8>(top, main, weight, margin, upper, result, near);
    LayerChannel<16>(top, main, weight, margin, upper, result, near);
    const __m256i keyed = _mm256_cmpeq_epi32(_mm256_and_si256(top, colourMask), keyVec);
    result = _mm256_blendv_epi8(result, main, keyed);
    const int nearPixels =
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_andnot_si256(keyed, near)));
    uint8_t before[24];
    if (nearPixels) std::memcpy(before, dst, sizeof before);
    StorePixels3(dst, _mm256_castsi256_si128(result));
    StorePixels3(dst + 12, _mm256_extracti128_si256(result, 1));
    // The few pixels near a whole number: the double-precision form decides.
    for (int bits = nearPixels; bits != 0; bits &= bits - 1) {
      const int k = __builtin_ctz(unsigned(bits));
      const uint8_t a = src[4 * k + 3];
      for (int c = 0; c < 3; ++c) {
        dst[3 * k + c] =
            Weigh(src[4 * k + c], before[3 * k + c], weights.m_top[a], weights.m_main[a]);
      }
    }
  }
  flush(i);
  LayerRowPlain(dst, src, count - i, weights, keys, key);
}

}  // namespace corvane::composite_detail
#endif
