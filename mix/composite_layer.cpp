// The layer-alpha rule: each top pixel weighed by its own alpha. Every path gives exactly
// LayerAlphaChannel's bytes.
#include "mix/composite.h"

// Defined by separate double multiplies and an add, like the alpha blend; a fused multiply-add
// would change some results.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "media/avidefs.h"
#include "mix/composite_x86.h"

namespace corvane {
namespace {

// 1/255 with the exact bits the blend is defined with.
constexpr double kInv255 = std::bit_cast<double>(uint64_t{0x3F70101010101010});

// The two weights of each alpha value: channel = trunc(t * top[A] + m * main[A]). At A = 255
// they are the mode's own rule (1 and 0, or the alpha blend's 1 - S and S), at A = 0 0 and 1,
// in between w and 1 - w.
struct CLayerWeights {
  double m_top[256];
  double m_main[256];
};

// With `fade` below 1 the top weight of every alpha is multiplied by it, 255 included: the
// mode's own rule no longer applies there.
CLayerWeights MakeWeights(bool alphaMix, double s, double fade = 1.0) {
  CLayerWeights weights;
  for (int a = 0; a < 256; ++a) {
    double w = 0.0;
    if (a == 255) {
      w = alphaMix ? 1.0 - s : 1.0;
      if (fade != 1.0) {
        weights.m_top[a] = w * fade;
        weights.m_main[a] = 1.0 - weights.m_top[a];
        continue;
      }
      weights.m_top[a] = w;
      weights.m_main[a] = alphaMix ? s : 0.0;
      continue;
    }
    if (a > 0) w = (a * kInv255) * (1.0 - s);
    if (fade != 1.0) w = w * fade;
    weights.m_top[a] = w;
    weights.m_main[a] = 1.0 - w;
  }
  return weights;
}

inline uint8_t Weigh(uint8_t t, uint8_t m, double top, double main) {
  const double p = t * top;
  const double q = m * main;
  const double v = p + q;
  return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// S of the alpha mix, as the alpha rule takes its level; false: leave the output as it is.
bool MainWeight(bool alphaMix, double alpha, double& s) {
  s = 0.0;
  if (!alphaMix) return true;
  if (std::isnan(alpha)) return false;
  s = std::clamp(alpha, 0.0, 255.0) * kInv255;
  return true;
}

void LayerRowPlain(uint8_t* dst, const uint8_t* src, int32_t count, const CLayerWeights& weights,
                   bool keys, const uint8_t key[3]) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 4) {
    if (keys && src[0] == key[0] && src[1] == key[1] && src[2] == key[2]) continue;
    const uint8_t a = src[3];
    if (a == 0) continue;
    for (int c = 0; c < 3; ++c) dst[c] = Weigh(src[c], dst[c], weights.m_top[a], weights.m_main[a]);
  }
}

#ifdef CORVANE_X86
using composite_detail::HaveAvx2;

// The integer form of the weights, without a table: W(A) = (A * m_scale + 64) >> 7 is the top
// weight in units of 2^-23, within 1.5 units of the exact one (m_scale is the weight of A = 1 in
// units of 2^-30). A channel is floor((m * 2^23 + (t - m) * W) / 2^23), exact unless the value
// lies within m_margin / 2^23 of a whole number, where the weight's rounding could tip it; those
// pixels take the double-precision form (t = m among them: the double form can give m - 1). A = 0,
// and A = 255 when its weight is exactly 1 (m_opaqueExact), are exact as they are.
struct CLayerFixed {
  int32_t m_scale = 0;
  int32_t m_margin = 0;
  bool m_opaqueExact = false;
};

constexpr int kWeightBits = 23;

int32_t FixedWeight(int32_t scale, int a) {
  return static_cast<int32_t>((int64_t{a} * scale + 64) >> 7);
}

CLayerFixed MakeFixed(const CLayerWeights& weights) {
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

// What a row needs besides its pixels: the weights in both forms and, for the alpha mix, the
// alpha rule's own integer form and row function, which opaque runs take as they are.
struct CLayerRowContext {
  const CLayerWeights* m_weights;
  const CLayerFixed* m_fixed;
  bool m_keys;
  const uint8_t* m_key;
  const composite_detail::CAlphaFixed* m_alphaFixed;  // null in the colour-key mix
  composite_detail::AlphaRowFunction m_alphaRow;
  uint8_t* m_scratch;  // room for a row of 24-bit top pixels
};

// Opaque pixels in the alpha mix are the alpha rule's: its fast row, on the top pixels packed to
// 24 bits.
CORVANE_LAYER_AVX2 void OpaqueRun(uint8_t* dst, const uint8_t* src, int32_t count,
                                  const CLayerRowContext& context) {
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                        1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  uint8_t* packed = context.m_scratch;
  for (int32_t i = 0; i < count; i += 8) {
    const __m256i top = _mm256_shuffle_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * i)), pack);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(packed + 3 * i), _mm256_castsi256_si128(top));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(packed + 3 * i + 12),
                     _mm256_extracti128_si256(top, 1));
  }
  const uint8_t* key = context.m_key;
  context.m_alphaRow(dst, packed, count, *context.m_alphaFixed, context.m_keys,
                     uint32_t(key[0]) | uint32_t(key[1]) << 8 | uint32_t(key[2]) << 16);
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

CORVANE_LAYER_AVX2 void LayerRowAvx2(uint8_t* dst, const uint8_t* src, int32_t count,
                                     const CLayerRowContext& context) {
  const CLayerWeights& weights = *context.m_weights;
  const CLayerFixed& fixed = *context.m_fixed;
  const bool keys = context.m_keys;
  const uint8_t* key = context.m_key;
  const __m256i opaque = _mm256_set1_epi32(255);
  int32_t runStart = -1;  // an opaque run of whole blocks in the alpha mix, not yet blended
  const auto flush = [&](int32_t end) {
    if (runStart < 0) return;
    OpaqueRun(dst - 3 * (end - runStart), src - 4 * (end - runStart), end - runStart, context);
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
#endif

}  // namespace

uint8_t LayerAlphaChannel(uint8_t topByte, uint8_t mainByte, uint8_t topAlpha, bool alphaMix,
                          double alpha) {
  double s = 0.0;
  if (!MainWeight(alphaMix, alpha, s)) return mainByte;
  if (topAlpha == 255) return alphaMix ? BlendChannel(topByte, mainByte, s) : topByte;
  if (topAlpha == 0) return mainByte;
  const double w = (topAlpha * kInv255) * (1.0 - s);
  const double p = topByte * w;
  const double q = mainByte * (1.0 - w);
  return static_cast<uint8_t>(static_cast<int32_t>(p + q));
}

namespace {

// Lays the top frame by per-alpha weights: 32-bit rows, or 24-bit Frame buffer rows taken as
// opaque (widened a row at a time). `alphaRuns`: opaque runs may take the alpha rule's own
// row, which is right only when the weights at 255 are that rule's.
void CompositeByWeights(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                        const uint8_t* topFrame, bool topHasAlpha, int32_t topWidth,
                        int32_t topHeight, int32_t left, int32_t top, uint32_t key, bool keys,
                        const CLayerWeights& weights, double s, bool alphaRuns) {
  // Top memory row j lands on output memory row base + j, top column i on output column
  // left + i; 64-bit so that no offset can wrap.
  const int64_t base = int64_t{mainHeight} - topHeight - top;
  const int64_t j0 = std::max<int64_t>(0, -base);
  const int64_t j1 = std::min<int64_t>(topHeight, int64_t{mainHeight} - base);
  const int64_t i0 = std::max<int64_t>(0, -int64_t{left});
  const int64_t i1 = std::min<int64_t>(topWidth, int64_t{mainWidth} - left);
  if (j0 >= j1 || i0 >= i1) return;
  const int64_t mainStride = FrameStride(mainWidth);
  const int64_t topStride = topHasAlpha ? int64_t{topWidth} * 4 : FrameStride(topWidth);
  const int topPixel = topHasAlpha ? 4 : 3;
  // A key with bits above the colour matches no pixel.
  const uint8_t keyBytes[3] = {uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)};
  const bool keyed = keys && (key >> 24) == 0;
  const auto count = static_cast<int32_t>(i1 - i0);
  uint8_t* dst = output + (base + j0) * mainStride + 3 * (left + i0);
  const uint8_t* src = topFrame + j0 * topStride + topPixel * i0;
  thread_local std::vector<uint8_t> wide;
  if (!topHasAlpha && wide.size() < size_t(count) * 4 + 64) wide.resize(size_t(count) * 4 + 64);
  const auto rowPixels = [&](const uint8_t* row) -> const uint8_t* {
    if (topHasAlpha) return row;
    uint8_t* out = wide.data();
    for (int32_t i = 0; i < count; ++i, row += 3, out += 4) {
      out[0] = row[0];
      out[1] = row[1];
      out[2] = row[2];
      out[3] = 255;
    }
    return wide.data();
  };
#ifdef CORVANE_X86
  if (HaveAvx2()) {
    // Tables per level: a job's level stays, so they are kept per thread.
    thread_local CLayerWeights lastWeights{};
    thread_local CLayerFixed fixed{};
    thread_local bool made = false;
    if (!made || std::memcmp(&lastWeights, &weights, sizeof weights) != 0) {
      lastWeights = weights;
      fixed = MakeFixed(weights);
      made = true;
    }
    thread_local composite_detail::CAlphaFixed alphaFixed = composite_detail::MakeAlphaFixed(s);
    if (alphaFixed.m_s != s) alphaFixed = composite_detail::MakeAlphaFixed(s);
    thread_local std::vector<uint8_t> scratch;
    if (scratch.size() < size_t(count) * 3 + 64) scratch.resize(size_t(count) * 3 + 64);
    const CLayerRowContext context{&weights,
                                   &fixed,
                                   keyed,
                                   keyBytes,
                                   alphaRuns ? &alphaFixed : nullptr,
                                   composite_detail::AlphaRowFor(alphaFixed),
                                   scratch.data()};
    for (int64_t j = j0; j < j1; ++j, dst += mainStride, src += topStride) {
      LayerRowAvx2(dst, rowPixels(src), count, context);
    }
    return;
  }
#endif
  for (int64_t j = j0; j < j1; ++j, dst += mainStride, src += topStride) {
    LayerRowPlain(dst, rowPixels(src), count, weights, keyed, keyBytes);
  }
}

}  // namespace

void CompositeLayerAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                         const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                         int32_t top, uint32_t key, bool keys, bool alphaMix, double alpha) {
  if (!output || !topFrame || mainWidth <= 0 || mainHeight <= 0 || topWidth <= 0 ||
      topHeight <= 0) {
    return;
  }
  double s = 0.0;
  if (!MainWeight(alphaMix, alpha, s)) return;
  // The alpha rule's own row for opaque runs, except at the two ends of S, which it leaves to
  // its caller (S = 1 keeps the main video, S = 0 is the top layer): there the general form
  // is as fast.
  const bool alphaRuns = alphaMix && s != 0.0 && 1.0 - s != 0.0;
  CompositeByWeights(output, mainWidth, mainHeight, topFrame, true, topWidth, topHeight, left, top,
                     key, keys, MakeWeights(alphaMix, s), s, alphaRuns);
}

uint8_t FadedChannel(uint8_t topByte, uint8_t mainByte, uint8_t topAlpha, bool alphaMix,
                     double alpha, double fade) {
  if (fade == 1.0) return LayerAlphaChannel(topByte, mainByte, topAlpha, alphaMix, alpha);
  double s = 0.0;
  if (!MainWeight(alphaMix, alpha, s)) return mainByte;
  double w = 0.0;
  if (topAlpha == 255) {
    w = alphaMix ? 1.0 - s : 1.0;
  } else if (topAlpha > 0) {
    w = (topAlpha * kInv255) * (1.0 - s);
  }
  w = w * fade;
  const double p = topByte * w;
  const double q = mainByte * (1.0 - w);
  return static_cast<uint8_t>(static_cast<int32_t>(p + q));
}

void CompositeFaded(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                    bool topHasAlpha, int32_t topWidth, int32_t topHeight, int32_t left,
                    int32_t top, uint32_t key, bool keys, bool alphaMix, double alpha,
                    double fade) {
  if (!output || !topFrame || mainWidth <= 0 || mainHeight <= 0 || topWidth <= 0 ||
      topHeight <= 0 || !(fade >= 0.0 && fade <= 1.0)) {
    return;
  }
  double s = 0.0;
  if (!MainWeight(alphaMix, alpha, s)) return;
  CompositeByWeights(output, mainWidth, mainHeight, topFrame, topHasAlpha, topWidth, topHeight,
                     left, top, key, keys, MakeWeights(alphaMix, s, fade), s, false);
}

}  // namespace corvane
