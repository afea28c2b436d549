#include "mix/keycheck.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "media/avidefs.h"

namespace corvane {
namespace {

enum class EPixelKind { kCovered, kKeyed, kNearKey };

// Walks the top pixels that land on the main picture, as the rules clip them: `visit` gets each
// top pixel and the output pixel under it.
template <typename Visit>
void ForEachOverlapPixel(int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                         int32_t topWidth, int32_t topHeight, int32_t left, int32_t top,
                         bool withAlpha, Visit&& visit) {
  if (!topFrame || mainWidth <= 0 || mainHeight <= 0 || topWidth <= 0 || topHeight <= 0) return;
  // Top memory row j lands on output memory row base + j, top column i on column left + i.
  const int64_t base = int64_t{mainHeight} - topHeight - top;
  const int64_t j0 = std::max<int64_t>(0, -base);
  const int64_t j1 = std::min<int64_t>(topHeight, int64_t{mainHeight} - base);
  const int64_t i0 = std::max<int64_t>(0, -int64_t{left});
  const int64_t i1 = std::min<int64_t>(topWidth, int64_t{mainWidth} - left);
  const int64_t pixelBytes = withAlpha ? 4 : 3;
  const int64_t topStride = withAlpha ? int64_t{topWidth} * 4 : FrameStride(topWidth);
  for (int64_t j = j0; j < j1; ++j) {
    const uint8_t* row = topFrame + j * topStride;
    for (int64_t i = i0; i < i1; ++i) visit(row + pixelBytes * i, base + j, left + i);
  }
}

EPixelKind Classify(const uint8_t* pixel, const uint8_t key[3], bool keys, bool withAlpha) {
  if (!keys) return EPixelKind::kCovered;
  if (pixel[0] == key[0] && pixel[1] == key[1] && pixel[2] == key[2]) return EPixelKind::kKeyed;
  // A wholly transparent pixel shows nothing of its colour: no fringe, whatever it is.
  if (withAlpha && pixel[3] == 0) return EPixelKind::kCovered;
  for (int c = 0; c < 3; ++c) {
    if (std::abs(int{pixel[c]} - int{key[c]}) > kNearKeySteps) return EPixelKind::kCovered;
  }
  return EPixelKind::kNearKey;
}

// The key's bytes in a Frame buffer pixel's order; a key with bits above the colour never
// matches.
bool KeyBytes(const CMixRule& rule, uint8_t key[3]) {
  key[0] = static_cast<uint8_t>(rule.m_key >> 16);
  key[1] = static_cast<uint8_t>(rule.m_key >> 8);
  key[2] = static_cast<uint8_t>(rule.m_key);
  return rule.Keys() && (rule.m_key >> 24) == 0;
}

}  // namespace

CKeyCheck CheckKey(const CMixRule& rule, int32_t mainWidth, int32_t mainHeight,
                   const uint8_t* topFrame, int32_t topWidth, int32_t topHeight) {
  CKeyCheck check;
  uint8_t key[3];
  const bool keys = KeyBytes(rule, key);
  ForEachOverlapPixel(mainWidth, mainHeight, topFrame, topWidth, topHeight, rule.m_left, rule.m_top,
                      rule.m_layerAlpha, [&](const uint8_t* pixel, int64_t, int64_t) {
                        ++check.m_total;
                        switch (Classify(pixel, key, keys, rule.m_layerAlpha)) {
                          case EPixelKind::kKeyed:
                            ++check.m_keyed;
                            break;
                          case EPixelKind::kNearKey:
                            ++check.m_nearKey;
                            break;
                          case EPixelKind::kCovered:
                            break;
                        }
                      });
  return check;
}

void DrawKeyMask(const CMixRule& rule, uint8_t* mask, int32_t mainWidth, int32_t mainHeight,
                 const uint8_t* topFrame, int32_t topWidth, int32_t topHeight) {
  if (!mask || mainWidth <= 0 || mainHeight <= 0) return;
  const int64_t stride = FrameStride(mainWidth);
  const auto paint = [&](int64_t row, int64_t column, CMaskColour colour) {
    uint8_t* pixel = mask + row * stride + 3 * column;
    pixel[0] = colour.m_blue;
    pixel[1] = colour.m_green;
    pixel[2] = colour.m_red;
  };
  for (int64_t row = 0; row < mainHeight; ++row) {
    for (int64_t column = 0; column < mainWidth; ++column) paint(row, column, kMaskOutside);
  }
  uint8_t key[3];
  const bool keys = KeyBytes(rule, key);
  ForEachOverlapPixel(mainWidth, mainHeight, topFrame, topWidth, topHeight, rule.m_left, rule.m_top,
                      rule.m_layerAlpha, [&](const uint8_t* pixel, int64_t row, int64_t column) {
                        switch (Classify(pixel, key, keys, rule.m_layerAlpha)) {
                          case EPixelKind::kKeyed:
                            paint(row, column, kMaskKeyed);
                            break;
                          case EPixelKind::kNearKey:
                            paint(row, column, kMaskNearKey);
                            break;
                          case EPixelKind::kCovered:
                            paint(row, column, kMaskCovered);
                            break;
                        }
                      });
}

const char* KeyedFormat() {
  return "keyed: %lld of %lld top pixels";
}

const char* NearKeyFormat() {
  return "%lld pixels are near the key colour but not equal: the top layer was probably "
         "compressed lossily and these will show as a fringe";
}

}  // namespace corvane
