// The layer-alpha rule's double-precision vector rows (the AVX2 path's own row, in integer form,
// is in composite_layer_fixed.cpp). Blocks of top pixels (8, or 16 with AVX-512) that are
// wholly transparent are skipped and wholly opaque ones taken as they are (the top pixels, or
// the alpha rule's own row); every other block is computed in double precision, each lane with
// LayerRowPlain's operations in its order and no other, so every path gives exactly its bytes.
#include "mix/composite_x86.h"

// Separate double multiplies and an add, as the rule is written: a fused multiply-add would
// change some results.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <bit>

#ifdef CORVANE_X86
namespace corvane::composite_detail {
namespace {

// 1/255 with the exact bits the rule is defined with.
constexpr double kInv255 = std::bit_cast<double>(uint64_t{0x3F70101010101010});

#define CORVANE_LAYER_SSE41 __attribute__((target("sse4.1"), always_inline)) inline
#define CORVANE_LAYER_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Channel c of four 32-bit top pixels (blue, green, red, alpha) in 32-bit lanes.
template <int c>
CORVANE_LAYER_SSE41 __m128i TopChannel(__m128i top) {
  return _mm_shuffle_epi8(
      top, _mm_setr_epi8(c, -1, -1, -1, c + 4, -1, -1, -1, c + 8, -1, -1, -1, c + 12, -1, -1, -1));
}

// The same for four 24-bit main pixels that start at byte kAt (0 or 4) of `main`.
template <int kAt, int c>
CORVANE_LAYER_SSE41 __m128i MainChannel(__m128i main) {
  constexpr int b = kAt + c;
  return _mm_shuffle_epi8(
      main, _mm_setr_epi8(b, -1, -1, -1, b + 3, -1, -1, -1, b + 6, -1, -1, -1, b + 9, -1, -1, -1));
}

// Three channels of four pixels in 32-bit lanes (0..255) to their 12 bytes, the rest zero.
CORVANE_LAYER_SSE41 __m128i PackQuad(__m128i blue, __m128i green, __m128i red) {
  const __m128i planes =
      _mm_packus_epi16(_mm_packus_epi32(blue, green), _mm_packus_epi32(red, red));
  return _mm_shuffle_epi8(planes,
                          _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
}

// Eight output pixels (24 bytes) from two quads of PackQuad.
CORVANE_LAYER_SSE41 void StoreOctet(uint8_t* dst, __m128i low, __m128i high) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(low, _mm_slli_si128(high, 12)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm_srli_si128(high, 4));
}

// The weights, as MakeWeights makes them: w = ((A * K) * (1 - S)) * fade and 1 - w below 255,
// the table's at 255. A top pixel the key keeps comes as all zero, A = 0: the weights 0 and 1
// give m exactly.
struct CLaneWeights {
  double m_oneMinusS, m_fade, m_top255, m_main255;
};

CLaneWeights LaneWeights(const CLayerRowContext& context) {
  return {context.m_oneMinusS, context.m_fade, context.m_weights->m_top[255],
          context.m_weights->m_main[255]};
}

// One channel of two pixels: trunc(t * w + m * mw) in the low two 32-bit lanes.
CORVANE_LAYER_SSE41 __m128i WeighPair(__m128i t, __m128i m, __m128d w, __m128d mw) {
  const __m128d p = _mm_mul_pd(_mm_cvtepi32_pd(t), w);
  const __m128d q = _mm_mul_pd(_mm_cvtepi32_pd(m), mw);
  return _mm_cvttpd_epi32(_mm_add_pd(p, q));
}

template <int kAt, int c>
CORVANE_LAYER_SSE41 __m128i WeighChannelSse41(__m128i top, __m128i main, const __m128d (&w)[2],
                                              const __m128d (&mw)[2]) {
  const __m128i t = TopChannel<c>(top), m = MainChannel<kAt, c>(main);
  return _mm_unpacklo_epi64(WeighPair(t, m, w[0], mw[0]),
                            WeighPair(_mm_srli_si128(t, 8), _mm_srli_si128(m, 8), w[1], mw[1]));
}

// Four pixels by the rule, two double lanes at a time. `top`: four 32-bit pixels; `main`: four
// 24-bit pixels from byte kAt. Returns PackQuad's bytes.
template <int kAt>
CORVANE_LAYER_SSE41 __m128i WeighQuadSse41(__m128i top, __m128i main, const CLaneWeights& lw) {
  const __m128i alpha = _mm_srli_epi32(top, 24);
  __m128d w[2], mw[2];
  for (int h = 0; h < 2; ++h) {
    const __m128d a = _mm_cvtepi32_pd(h ? _mm_srli_si128(alpha, 8) : alpha);
    w[h] = _mm_mul_pd(_mm_mul_pd(_mm_mul_pd(a, _mm_set1_pd(kInv255)), _mm_set1_pd(lw.m_oneMinusS)),
                      _mm_set1_pd(lw.m_fade));
    mw[h] = _mm_sub_pd(_mm_set1_pd(1.0), w[h]);
    const __m128d opaque = _mm_cmpeq_pd(a, _mm_set1_pd(255.0));
    w[h] = _mm_blendv_pd(w[h], _mm_set1_pd(lw.m_top255), opaque);
    mw[h] = _mm_blendv_pd(mw[h], _mm_set1_pd(lw.m_main255), opaque);
  }
  return PackQuad(WeighChannelSse41<kAt, 0>(top, main, w, mw),
                  WeighChannelSse41<kAt, 1>(top, main, w, mw),
                  WeighChannelSse41<kAt, 2>(top, main, w, mw));
}

template <int kAt, int c>
CORVANE_LAYER_AVX2 __m128i WeighChannelAvx2(__m128i top, __m128i main, __m256d w, __m256d mw) {
  const __m256d p = _mm256_mul_pd(_mm256_cvtepi32_pd(TopChannel<c>(top)), w);
  const __m256d q = _mm256_mul_pd(_mm256_cvtepi32_pd(MainChannel<kAt, c>(main)), mw);
  return _mm256_cvttpd_epi32(_mm256_add_pd(p, q));
}

// Eight pixels by the rule, four double lanes at a time, each step on both quads so that their
// chains overlap; their 24 bytes are stored at `dst`. `top`: 32-bit pixels, those the key keeps
// all zero.
CORVANE_LAYER_AVX2 void WeighOctetAvx2(uint8_t* dst, __m256i top, const CLaneWeights& lw) {
  const __m128i quad[2] = {_mm256_castsi256_si128(top), _mm256_extracti128_si256(top, 1)};
  // The block's 24 main bytes as two overlapping loads, within them: quad 1 from byte 4.
  const __m128i main[2] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(dst)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + 8))};
  __m256d w[2], mw[2];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const __m256d a = _mm256_cvtepi32_pd(_mm_srli_epi32(quad[h], 24));
    w[h] = _mm256_mul_pd(
        _mm256_mul_pd(_mm256_mul_pd(a, _mm256_set1_pd(kInv255)), _mm256_set1_pd(lw.m_oneMinusS)),
        _mm256_set1_pd(lw.m_fade));
    mw[h] = _mm256_sub_pd(_mm256_set1_pd(1.0), w[h]);
    const __m256d opaque = _mm256_cmp_pd(a, _mm256_set1_pd(255.0), _CMP_EQ_OQ);
    w[h] = _mm256_blendv_pd(w[h], _mm256_set1_pd(lw.m_top255), opaque);
    mw[h] = _mm256_blendv_pd(mw[h], _mm256_set1_pd(lw.m_main255), opaque);
  }
  const __m128i blue0 = WeighChannelAvx2<0, 0>(quad[0], main[0], w[0], mw[0]);
  const __m128i blue1 = WeighChannelAvx2<4, 0>(quad[1], main[1], w[1], mw[1]);
  const __m128i green0 = WeighChannelAvx2<0, 1>(quad[0], main[0], w[0], mw[0]);
  const __m128i green1 = WeighChannelAvx2<4, 1>(quad[1], main[1], w[1], mw[1]);
  const __m128i red0 = WeighChannelAvx2<0, 2>(quad[0], main[0], w[0], mw[0]);
  const __m128i red1 = WeighChannelAvx2<4, 2>(quad[1], main[1], w[1], mw[1]);
  StoreOctet(dst, PackQuad(blue0, green0, red0), PackQuad(blue1, green1, red1));
}

#define CORVANE_LAYER_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"), always_inline)) inline

// GCC 12's AVX-512 intrinsics pass an undefined vector as the source of their unmasked lanes and
// warn about it at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The constants of the AVX-512 row, made once per row.
struct CLanes512 {
  __m512d m_k, m_oneMinusS, m_fade, m_one, m_top255, m_main255;
  __m512i m_byte, m_mainDwords[2], m_mainShift, m_packBytes, m_packDwords;
  __m512i m_colourMask, m_alphaMask, m_keyVec;
  bool m_keys;
};

// One channel of eight pixels, a pixel per 64-bit lane with the channel in bits 0-7 of `t` and
// `m`: trunc(t * w + m * mw) in the low bits.
CORVANE_LAYER_AVX512 __m512i WeighLanes(__m512i t, __m512i m, __m512d w, __m512d mw,
                                        const CLanes512& c) {
  const __m512d p = _mm512_mul_pd(_mm512_cvtepi64_pd(_mm512_and_si512(t, c.m_byte)), w);
  const __m512d q = _mm512_mul_pd(_mm512_cvtepi64_pd(_mm512_and_si512(m, c.m_byte)), mw);
  return _mm512_cvttpd_epi64(_mm512_add_pd(p, q));
}

// 8 * kOctets pixels (16 or 32) by the rule, a pixel per 64-bit lane (conversions within a lane
// are the cheap ones), each step on every octet so that their chains overlap (the loops are
// unrolled so that nothing goes through memory); their bytes are stored at `dst`. `top`: the
// pixels, those the key keeps all zero; `opaque`: a bit per pixel of A = 255 (not kept by the
// key), which take the table's weights.
template <int kOctets>
CORVANE_LAYER_AVX512 void WeighAvx512(uint8_t* dst, const __m512i (&top)[2], uint32_t opaque,
                                      const CLanes512& c) {
  __m512i main[kOctets / 2], t[kOctets], m[kOctets], pixels[kOctets];
  __m512d w[kOctets], mw[kOctets];
#pragma GCC unroll 4
  for (int h = 0; h < kOctets; ++h) {
    if (h % 2 == 0) main[h / 2] = _mm512_maskz_loadu_epi32(0x0FFF, dst + 24 * h);  // 48 bytes
    t[h] = _mm512_cvtepu32_epi64(h % 2 ? _mm512_extracti64x4_epi64(top[h / 2], 1)
                                       : _mm512_castsi512_si256(top[h / 2]));
    // Main pixel k's three bytes to bits 0-23 of lane k, from the dwords that hold them.
    m[h] = _mm512_srlv_epi64(_mm512_permutexvar_epi32(c.m_mainDwords[h % 2], main[h / 2]),
                             c.m_mainShift);
  }
#pragma GCC unroll 4
  for (int h = 0; h < kOctets; ++h) {
    const __m512d a = _mm512_cvtepi64_pd(_mm512_srli_epi64(t[h], 24));
    // Times the fade even when it is 1, which changes no double and costs less than a branch.
    w[h] = _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(a, c.m_k), c.m_oneMinusS), c.m_fade);
    mw[h] = _mm512_sub_pd(c.m_one, w[h]);
    const __mmask8 full = __mmask8(opaque >> (8 * h));
    if (full) {
      w[h] = _mm512_mask_mov_pd(w[h], full, c.m_top255);
      mw[h] = _mm512_mask_mov_pd(mw[h], full, c.m_main255);
    }
  }
#pragma GCC unroll 4
  for (int h = 0; h < kOctets; ++h) pixels[h] = WeighLanes(t[h], m[h], w[h], mw[h], c);
#pragma GCC unroll 4
  for (int h = 0; h < kOctets; ++h) {
    const __m512i green =
        WeighLanes(_mm512_srli_epi64(t[h], 8), _mm512_srli_epi64(m[h], 8), w[h], mw[h], c);
    pixels[h] = _mm512_or_si512(pixels[h], _mm512_slli_epi64(green, 8));
  }
#pragma GCC unroll 4
  for (int h = 0; h < kOctets; ++h) {
    const __m512i red =
        WeighLanes(_mm512_srli_epi64(t[h], 16), _mm512_srli_epi64(m[h], 16), w[h], mw[h], c);
    pixels[h] = _mm512_or_si512(pixels[h], _mm512_slli_epi64(red, 16));
  }
#pragma GCC unroll 2
  for (int h = 0; h < kOctets; h += 2) {
    // To 32-bit lanes, then the colour bytes gathered to the first 48.
    const __m512i lanes =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(pixels[h])),
                           _mm512_cvtepi64_epi32(pixels[h + 1]), 1);
    const __m512i packed =
        _mm512_permutexvar_epi32(c.m_packDwords, _mm512_shuffle_epi8(lanes, c.m_packBytes));
    // Plain stores: a masked one over the next block's bytes would hold up its loads.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 24 * h), _mm512_castsi512_si256(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 24 * h + 32),
                     _mm512_extracti32x4_epi32(packed, 2));
  }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Eight opaque top pixels as they are, except those the key keeps (`keyed`, 32-bit lanes).
CORVANE_LAYER_SSE41 void CopyOctet(uint8_t* dst, __m128i top0, __m128i top1, __m128i keyed0,
                                   __m128i keyed1) {
  const __m128i colour = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  __m128i low = _mm_shuffle_epi8(top0, colour), high = _mm_shuffle_epi8(top1, colour);
  const __m128i anyKeyed = _mm_or_si128(keyed0, keyed1);
  if (!_mm_testz_si128(anyKeyed, anyKeyed)) {
    // The masks in the colour's byte order; bytes 12-15 stay zero.
    const __m128i spread = _mm_setr_epi8(0, 0, 0, 4, 4, 4, 8, 8, 8, 12, 12, 12, -1, -1, -1, -1);
    const __m128i main0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
    const __m128i main1 =
        _mm_srli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + 8)), 4);
    low = _mm_blendv_epi8(low, main0, _mm_shuffle_epi8(keyed0, spread));
    high = _mm_blendv_epi8(high, main1, _mm_shuffle_epi8(keyed1, spread));
  }
  StoreOctet(dst, low, high);
}

// The key as a 32-bit top pixel's colour; without keying a value no colour has.
int32_t KeyLane(const CLayerRowContext& context) {
  const uint8_t* key = context.m_key;
  return context.m_keys ? int32_t(key[0] | key[1] << 8 | key[2] << 16) : -1;
}

__attribute__((target("sse4.1"))) void LayerRowSse41(uint8_t* dst, const uint8_t* src,
                                                     int32_t count,
                                                     const CLayerRowContext& context) {
  const CLaneWeights lw = LaneWeights(context);
  const __m128i colourMask = _mm_set1_epi32(0x00FFFFFF);
  const __m128i keyVec = _mm_set1_epi32(KeyLane(context));
  const __m128i alphaMask = _mm_set1_epi32(int32_t(0xFF000000));
  int32_t i = 0;
  for (; i + 8 <= count; i += 8, dst += 24, src += 32) {
    __m128i top[2], keyed[2];
    int opaque = 0;
    for (int h = 0; h < 2; ++h) {
      top[h] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src) + h);
      keyed[h] = _mm_cmpeq_epi32(_mm_and_si128(top[h], colourMask), keyVec);
      const __m128i full = _mm_cmpeq_epi32(_mm_srli_epi32(top[h], 24), _mm_set1_epi32(255));
      opaque |= _mm_movemask_ps(_mm_castsi128_ps(full)) << (4 * h);
      top[h] = _mm_andnot_si128(keyed[h], top[h]);  // kept by the key: as A = 0
    }
    if (_mm_testz_si128(_mm_or_si128(top[0], top[1]), alphaMask)) continue;  // main stays
    if (opaque == 0xFF && context.m_opaqueCopy) {
      CopyOctet(dst, top[0], top[1], keyed[0], keyed[1]);
      continue;
    }
    // The block's 24 main bytes as two overlapping loads, within them.
    const __m128i main0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
    const __m128i main1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + 8));
    StoreOctet(dst, WeighQuadSse41<0>(top[0], main0, lw), WeighQuadSse41<4>(top[1], main1, lw));
  }
  LayerRowPlain(dst, src, count - i, *context.m_weights, context.m_keys, context.m_key);
}

}  // namespace

// Opaque pixels in the alpha mix are the alpha rule's: its fast row, on the top pixels packed to
// 24 bits.
__attribute__((target("avx2"))) void LayerOpaqueRun(uint8_t* dst, const uint8_t* src, int32_t count,
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

namespace {

// As LayerRowSse41, four double lanes at a time, and opaque runs in the alpha mix (with
// context.m_alphaFixed) gathered and left to the alpha rule's row, which keys them itself. Only
// the AVX-512 row's last few pixels: where AVX2 is the best path, LayerRowAvx2Fixed is faster.
__attribute__((target("avx2"))) void LayerRowAvx2Double(uint8_t* dst, const uint8_t* src,
                                                        int32_t count,
                                                        const CLayerRowContext& context) {
  const CLaneWeights lw = LaneWeights(context);
  const __m256i colourMask = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i keyVec = _mm256_set1_epi32(KeyLane(context));
  const __m256i alphaMask = _mm256_set1_epi32(int32_t(0xFF000000));
  int32_t runStart = -1;  // an opaque run of whole blocks in the alpha mix, not yet blended
  const auto flush = [&](int32_t end) {
    if (runStart < 0) return;
    LayerOpaqueRun(dst - 3 * (end - runStart), src - 4 * (end - runStart), end - runStart, context);
    runStart = -1;
  };
  int32_t i = 0;
  for (; i + 8 <= count; i += 8, dst += 24, src += 32) {
    __m256i top = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const int opaque = _mm256_movemask_ps(_mm256_castsi256_ps(
        _mm256_cmpeq_epi32(_mm256_srli_epi32(top, 24), _mm256_set1_epi32(255))));
    if (opaque == 0xFF && context.m_alphaFixed) {
      if (runStart < 0) runStart = i;
      continue;
    }
    flush(i);
    const __m256i keyed = _mm256_cmpeq_epi32(_mm256_and_si256(top, colourMask), keyVec);
    top = _mm256_andnot_si256(keyed, top);             // kept by the key: as A = 0
    if (_mm256_testz_si256(top, alphaMask)) continue;  // main stays
    const __m128i top0 = _mm256_castsi256_si128(top), top1 = _mm256_extracti128_si256(top, 1);
    if (opaque == 0xFF && context.m_opaqueCopy) {
      CopyOctet(dst, top0, top1, _mm256_castsi256_si128(keyed), _mm256_extracti128_si256(keyed, 1));
      continue;
    }
    WeighOctetAvx2(dst, top, lw);
  }
  flush(i);
  LayerRowPlain(dst, src, count - i, *context.m_weights, context.m_keys, context.m_key);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// What a block of 16 top pixels holds, a bit per pixel: A = 255, the key colour (when keying),
// shown (A above 0 and not kept by the key). `top`: the pixels, those the key keeps all zero.
struct CBlock16 {
  __mmask16 m_opaque, m_keyed, m_shown;
};

CORVANE_LAYER_AVX512 CBlock16 Classify16(const uint8_t* src, const CLanes512& c, __m512i& top) {
  top = _mm512_loadu_si512(src);
  CBlock16 block;
  block.m_opaque = _mm512_cmpeq_epi32_mask(_mm512_and_si512(top, c.m_alphaMask), c.m_alphaMask);
  block.m_keyed = 0;
  if (c.m_keys) {
    block.m_keyed = _mm512_cmpeq_epi32_mask(_mm512_and_si512(top, c.m_colourMask), c.m_keyVec);
    top = _mm512_maskz_mov_epi32(__mmask16(~block.m_keyed), top);  // kept by the key: as A = 0
  }
  block.m_shown = _mm512_test_epi32_mask(top, c.m_alphaMask);
  return block;
}

// A bit per pixel of A = 255 among 16. A function, not a lambda: clang does not compile a lambda
// for the target of the function around it.
CORVANE_LAYER_AVX512 __mmask16 Opaque16(const uint8_t* src, const CLanes512& c) {
  const __m512i top = _mm512_loadu_si512(src);
  return _mm512_cmpeq_epi32_mask(_mm512_and_si512(top, c.m_alphaMask), c.m_alphaMask);
}

// As LayerRowAvx2Double, eight double lanes at a time and 16 pixels a block. Stretches of blocks
// that are not opaque runs take an inner loop without calls, so that the constants stay in
// registers.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void LayerRowAvx512(
    uint8_t* dst, const uint8_t* src, int32_t count, const CLayerRowContext& context) {
  CLanes512 c;
  c.m_k = _mm512_set1_pd(kInv255);
  c.m_oneMinusS = _mm512_set1_pd(context.m_oneMinusS);
  c.m_fade = _mm512_set1_pd(context.m_fade);
  c.m_one = _mm512_set1_pd(1.0);
  c.m_top255 = _mm512_set1_pd(context.m_weights->m_top[255]);
  c.m_main255 = _mm512_set1_pd(context.m_weights->m_main[255]);
  c.m_byte = _mm512_set1_epi64(0xFF);
  // Main pixel k starts at byte 3k of the 48: in dword 3k / 4, at bit 8 * (3k % 4).
  c.m_mainDwords[0] = _mm512_setr_epi32(0, 1, 0, 1, 1, 2, 2, 3, 3, 4, 3, 4, 4, 5, 5, 6);
  c.m_mainDwords[1] = _mm512_setr_epi32(6, 7, 6, 7, 7, 8, 8, 9, 9, 10, 9, 10, 10, 11, 11, 12);
  c.m_mainShift = _mm512_setr_epi64(0, 24, 16, 8, 0, 24, 16, 8);
  c.m_packBytes =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  c.m_packDwords = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
  c.m_colourMask = _mm512_set1_epi32(0x00FFFFFF);
  c.m_alphaMask = _mm512_set1_epi32(int32_t(0xFF000000));
  c.m_keyVec = _mm512_set1_epi32(KeyLane(context));
  c.m_keys = context.m_keys;
  const bool alphaRuns = context.m_alphaFixed != nullptr;
  int32_t i = 0;
  while (i + 16 <= count) {
    if (alphaRuns) {
      int32_t end = i;
      while (end + 16 <= count && Opaque16(src + 4 * end, c) == 0xFFFF) end += 16;
      if (end > i) {
        LayerOpaqueRun(dst + 3 * i, src + 4 * i, end - i, context);
        i = end;
        continue;
      }
    }
    for (; i + 16 <= count; i += 16) {
      __m512i top[2];
      const CBlock16 block = Classify16(src + 4 * i, c, top[0]);
      if (block.m_opaque == 0xFFFF && alphaRuns) break;
      if (block.m_shown == 0) continue;  // main stays
      if (block.m_opaque == 0xFFFF && context.m_opaqueCopy) {
        const __m512i keyedLanes = _mm512_maskz_mov_epi32(block.m_keyed, _mm512_set1_epi32(-1));
        CopyOctet(dst + 3 * i, _mm512_extracti32x4_epi32(top[0], 0),
                  _mm512_extracti32x4_epi32(top[0], 1), _mm512_extracti32x4_epi32(keyedLanes, 0),
                  _mm512_extracti32x4_epi32(keyedLanes, 1));
        CopyOctet(dst + 3 * i + 24, _mm512_extracti32x4_epi32(top[0], 2),
                  _mm512_extracti32x4_epi32(top[0], 3), _mm512_extracti32x4_epi32(keyedLanes, 2),
                  _mm512_extracti32x4_epi32(keyedLanes, 3));
        continue;
      }
      const uint32_t opaque = block.m_opaque & ~block.m_keyed;
      // With the next block when that one is blended too: four octets keep the units busier
      // than two, and blocks of 16 keep the blended edges of a logo narrow.
      if (i + 32 <= count) {
        const CBlock16 next = Classify16(src + 4 * i + 64, c, top[1]);
        const bool whole = next.m_opaque == 0xFFFF && (alphaRuns || context.m_opaqueCopy);
        if (next.m_shown != 0 && !whole) {
          WeighAvx512<4>(dst + 3 * i, top, opaque | uint32_t(next.m_opaque & ~next.m_keyed) << 16,
                         c);
          i += 16;
          continue;
        }
      }
      WeighAvx512<2>(dst + 3 * i, top, opaque, c);
    }
  }
  // The rest, fewer than 16 pixels, by the AVX2 double row (it needs no integer form).
  LayerRowAvx2Double(dst + 3 * i, src + 4 * i, count - i, context);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

CLayerRow LayerRowFor() {
  static const bool dq = __builtin_cpu_supports("avx512dq");
  if (HaveAvx512() && dq) return {LayerRowAvx512, false};
  if (HaveAvx2()) return {LayerRowAvx2Fixed, true};
  if (HaveSse41()) return {LayerRowSse41, false};
  return {};
}

}  // namespace corvane::composite_detail
#endif
