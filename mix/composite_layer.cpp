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

CLayerWeights MakeWeights(bool alphaMix, double s) {
  CLayerWeights weights;
  for (int a = 0; a < 256; ++a) {
    double w = 0.0;
    if (a == 255) {
      w = alphaMix ? 1.0 - s : 1.0;
      weights.m_top[a] = w;
      weights.m_main[a] = alphaMix ? s : 0.0;
      continue;
    }
    if (a > 0) w = (a * kInv255) * (1.0 - s);
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

void CompositeLayerAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                         const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                         int32_t top, uint32_t key, bool keys, bool alphaMix, double alpha) {
  if (!output || !topFrame || mainWidth <= 0 || mainHeight <= 0 || topWidth <= 0 ||
      topHeight <= 0) {
    return;
  }
  double s = 0.0;
  if (!MainWeight(alphaMix, alpha, s)) return;
  // Top memory row j lands on output memory row base + j, top column i on output column
  // left + i; 64-bit so that no offset can wrap.
  const int64_t base = int64_t{mainHeight} - topHeight - top;
  const int64_t j0 = std::max<int64_t>(0, -base);
  const int64_t j1 = std::min<int64_t>(topHeight, int64_t{mainHeight} - base);
  const int64_t i0 = std::max<int64_t>(0, -int64_t{left});
  const int64_t i1 = std::min<int64_t>(topWidth, int64_t{mainWidth} - left);
  if (j0 >= j1 || i0 >= i1) return;
  const int64_t mainStride = FrameStride(mainWidth);
  const int64_t topStride = int64_t{topWidth} * 4;
  // A key with bits above the colour matches no pixel.
  const uint8_t keyBytes[3] = {uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)};
  const bool keyed = keys && (key >> 24) == 0;
  const CLayerWeights weights = MakeWeights(alphaMix, s);
  const auto count = static_cast<int32_t>(i1 - i0);
  uint8_t* dst = output + (base + j0) * mainStride + 3 * (left + i0);
  const uint8_t* src = topFrame + j0 * topStride + 4 * i0;
  for (int64_t j = j0; j < j1; ++j, dst += mainStride, src += topStride) {
    LayerRowPlain(dst, src, count, weights, keyed, keyBytes);
  }
}

}  // namespace corvane
