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

using composite_detail::CLayerWeights;
using composite_detail::LayerRowPlain;

// With `fade` below 1 the top weight of every alpha is multiplied by it, 255 included: the
// mode's own rule no longer applies there.
CLayerWeights MakeWeights(bool alphaMix, double s, double fade) {
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

}  // namespace

void composite_detail::LayerRowPlain(uint8_t* dst, const uint8_t* src, int32_t count,
                                     const CLayerWeights& weights, bool keys,
                                     const uint8_t key[3]) {
  for (int32_t i = 0; i < count; ++i, dst += 3, src += 4) {
    if (keys && src[0] == key[0] && src[1] == key[1] && src[2] == key[2]) continue;
    const uint8_t a = src[3];
    if (a == 0) continue;
    for (int c = 0; c < 3; ++c) dst[c] = Weigh(src[c], dst[c], weights.m_top[a], weights.m_main[a]);
  }
}

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

// Lays the top frame by the weights of S and `fade` (MakeWeights): 32-bit rows, or 24-bit Frame
// buffer rows taken as opaque (widened a row at a time). `alphaRuns`: opaque runs may take the
// alpha rule's own row, which is right only when the weights at 255 are that rule's.
void CompositeByWeights(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                        const uint8_t* topFrame, bool topHasAlpha, int32_t topWidth,
                        int32_t topHeight, int32_t left, int32_t top, uint32_t key, bool keys,
                        bool alphaMix, double s, double fade, bool alphaRuns) {
  const CLayerWeights weights = MakeWeights(alphaMix, s, fade);
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
  if (const composite_detail::CLayerRow row = composite_detail::LayerRowFor(); row.m_row) {
    // The alpha rule's integer form is 65,536 trial blends: kept per thread, as a job's level
    // stays. Its default (S = 0) is never wanted here, since alphaRuns needs S above 0.
    thread_local composite_detail::CAlphaFixed alphaFixed;
    thread_local std::vector<uint8_t> scratch;
    // The layer rule's integer form, likewise kept while the weights stay.
    thread_local CLayerWeights fixedFor{};
    thread_local composite_detail::CLayerFixed fixed{};
    thread_local bool fixedMade = false;
    if (row.m_fixed && (!fixedMade || std::memcmp(&fixedFor, &weights, sizeof weights) != 0)) {
      fixedFor = weights;
      fixed = composite_detail::MakeLayerFixed(weights);
      fixedMade = true;
    }
    alphaRuns = alphaRuns && composite_detail::HaveAvx2();
    if (alphaRuns) {
      if (alphaFixed.m_s != s) alphaFixed = composite_detail::MakeAlphaFixed(s);
      if (scratch.size() < size_t(count) * 3 + 64) scratch.resize(size_t(count) * 3 + 64);
    }
    const composite_detail::CLayerRowContext context{
        &weights,
        row.m_fixed ? &fixed : nullptr,
        1.0 - s,
        fade,
        weights.m_top[255] == 1.0 && weights.m_main[255] == 0.0,
        keyed,
        keyBytes,
        alphaRuns ? &alphaFixed : nullptr,
        alphaRuns ? composite_detail::AlphaRowFor(alphaFixed) : nullptr,
        scratch.data()};
    for (int64_t j = j0; j < j1; ++j, dst += mainStride, src += topStride) {
      row.m_row(dst, rowPixels(src), count, context);
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
                     key, keys, alphaMix, s, 1.0, alphaRuns);
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
                     left, top, key, keys, alphaMix, s, fade, false);
}

}  // namespace corvane
