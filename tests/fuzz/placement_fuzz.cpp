// libFuzzer target for the top layer's placement: the texts the command line and the dialog take
// (corner, scale, times), the plan made from them for small pictures of any size and rate, and
// the frames that plan lays: the top layer resized (keyed, premultiplied, scaled, divided back)
// and composited, fading, at any offset, over a main picture.
//
// Input: 14 bytes of sizes, rule and offsets (see below), then six lines of text (corner, scale,
// from, to, fade in, fade out), then the top layer's pixels, repeated as far as needed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "media/avidefs.h"
#include "media/codec/frameconvert.h"
#include "mix/composite.h"
#include "mix/layerscale.h"
#include "mix/placement.h"

namespace {

using namespace corvane;

// Pictures stay small: each input is planned and composited in well under a millisecond.
constexpr int32_t kLargestMainSide = 64;
constexpr int32_t kLargestTopSide = 48;
constexpr int64_t kLargestScaledPixels = 96 * 96;

// Fills `bytes` with the input's pixel bytes over and over (a fixed pattern when there are none).
void FillFrom(const uint8_t* data, size_t size, std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = size ? data[i % size] : static_cast<uint8_t>(i * 37);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 14;
  if (size < kHeader) return 0;
  CPlanInput input;
  input.m_mainWidth = 1 + data[0] % kLargestMainSide;
  input.m_mainHeight = 1 + data[1] % kLargestMainSide;
  input.m_topWidth = 1 + data[2] % kLargestTopSide;
  input.m_topHeight = 1 + data[3] % kLargestTopSide;
  const uint8_t flags = data[4];
  // Rates from the everyday to the absurd (a stream header may say anything).
  input.m_rateNum = (flags & 0x80) ? 0xFFFFFFFFu - data[5] : data[5];
  input.m_rateDen = (flags & 0x40) ? 0xFFFFFFFFu - data[6] : data[6];
  input.m_frames = static_cast<int32_t>(data[7]) * ((flags & 0x20) ? 1000000 : 1);
  input.m_customLeft = static_cast<int8_t>(data[8]) * ((flags & 0x10) ? 10000000 : 1);
  input.m_customTop = static_cast<int8_t>(data[9]) * ((flags & 0x10) ? 10000000 : 1);

  CMixRule rule;
  rule.m_alpha = flags & 1;
  rule.m_useTransparency = (flags >> 1) & 1;
  rule.m_layerAlpha = flags & 4;
  rule.m_alphaLevel = data[10];
  rule.m_key = PackKeyColour(data[11], data[12], data[13]);

  // Six lines of text; what is left is pixels.
  std::string fields[6];
  size_t at = kHeader;
  for (std::string& field : fields) {
    const auto* end = static_cast<const uint8_t*>(memchr(data + at, '\n', size - at));
    const size_t stop = end ? static_cast<size_t>(end - data) : size;
    field.assign(reinterpret_cast<const char*>(data + at), stop - at);
    at = end ? stop + 1 : size;
  }
  CPlacement placement;
  ParseCorner(fields[0], placement.m_corner);
  ParseScale(fields[1], placement.m_scale);
  ParseTime(fields[2], placement.m_from);
  ParseTime(fields[3], placement.m_to);
  ParseTime(fields[4], placement.m_fadeIn);
  ParseTime(fields[5], placement.m_fadeOut);
  placement.m_margin = static_cast<int8_t>(data[8] ^ data[9]);
  // What the dialog shows back must read back as the same scale.
  CScale again;
  if (!ParseScale(ScaleText(placement.m_scale), again) || again.m_kind != placement.m_scale.m_kind)
    __builtin_trap();

  CLayerPlan plan;
  if (!PlanLayer(placement, input, plan).empty()) return 0;
  (void)PlanNotices(plan);
  if (plan.m_scaled && int64_t{plan.m_width} * plan.m_height > kLargestScaledPixels) return 0;

  const uint8_t* pixels = data + at;
  const size_t pixelBytes = size - at;
  const int32_t topStride =
      rule.m_layerAlpha ? AlphaFrameStride(input.m_topWidth) : FrameStride(input.m_topWidth);
  std::vector<uint8_t> top(static_cast<size_t>(topStride) * input.m_topHeight);
  FillFrom(pixels, pixelBytes, top);
  CLayerScaler scaler;
  if (plan.m_scaled) {
    if (!scaler.Setup(input.m_topWidth, input.m_topHeight, rule.m_layerAlpha, plan.m_width,
                      plan.m_height) ||
        !scaler.Prepare(rule, top.data())) {
      return 0;
    }
  }
  rule.m_left = plan.m_left;
  rule.m_top = plan.m_top;
  std::vector<uint8_t> main(static_cast<size_t>(FrameStride(input.m_mainWidth)) *
                            input.m_mainHeight);
  // The first and last frames shown and the ends of the fades.
  const int64_t frames[] = {plan.m_firstShown, plan.m_firstShown + plan.m_fadeInFrames,
                            int64_t{plan.m_endShown} - plan.m_fadeOutFrames,
                            int64_t{plan.m_endShown} - 1};
  for (const int64_t frame : frames) {
    if (!plan.Shown(frame)) continue;
    std::reverse_copy(top.begin(), top.begin() + std::min(top.size(), main.size()), main.begin());
    CLayerFrame layer;
    layer.m_pixels = plan.m_scaled ? scaler.Picture() : top.data();
    layer.m_width = plan.m_width;
    layer.m_height = plan.m_height;
    layer.m_prepared = plan.m_scaled;
    layer.m_fade = plan.Fade(frame);
    if (!(layer.m_fade >= 0.0 && layer.m_fade <= 1.0)) __builtin_trap();
    ApplyMixRule(rule, layer, main.data(), input.m_mainWidth, input.m_mainHeight);
  }
  return 0;
}
