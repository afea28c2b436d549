#include "mix/mixpreview.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mix/layerscale.h"
#include "mix/layerunit.h"

namespace corvane {
namespace {

// The pixels of a resized layer's picture (blue-green-red-alpha, bottom row first) that land on
// the main picture, clipped as the compositing clips them: `visit` gets each pixel's bytes and
// its column and row on the picture, counted from the top.
template <typename Visit>
void ForEachLaidPixel(const CLayerPlan& plan, int32_t mainWidth, int32_t mainHeight,
                      const uint8_t* picture, Visit&& visit) {
  if (!picture) return;
  const int64_t i0 = std::max<int64_t>(0, -int64_t{plan.m_left});
  const int64_t i1 = std::min<int64_t>(plan.m_width, int64_t{mainWidth} - plan.m_left);
  const int64_t j0 = std::max<int64_t>(0, -int64_t{plan.m_top});
  const int64_t j1 = std::min<int64_t>(plan.m_height, int64_t{mainHeight} - plan.m_top);
  for (int64_t j = j0; j < j1; ++j) {
    const uint8_t* row = picture + (int64_t{plan.m_height} - 1 - j) * plan.m_width * 4;
    for (int64_t i = i0; i < i1; ++i) visit(row + 4 * i, plan.m_left + i, plan.m_top + j);
  }
}

// What a resized layer's pixel is in the check: its keyed pixels are the wholly transparent
// ones (the key was taken out before resizing), and one that still shows near the key colour
// is a fringe.
CMaskColour ClassifyLaid(const uint8_t* pixel, const CMixRule& rule) {
  if (!rule.Keys() || (rule.m_key >> 24) != 0) return kMaskCovered;
  if (pixel[3] == 0) return kMaskKeyed;
  const int key[3] = {int(rule.m_key >> 16) & 0xFF, int(rule.m_key >> 8) & 0xFF,
                      int(rule.m_key) & 0xFF};
  for (int c = 0; c < 3; ++c) {
    if (std::abs(int{pixel[c]} - key[c]) > kNearKeySteps) return kMaskCovered;
  }
  return kMaskNearKey;
}

bool SameColour(CMaskColour a, CMaskColour b) {
  return a.m_blue == b.m_blue && a.m_green == b.m_green && a.m_red == b.m_red;
}

}  // namespace

bool CMixPreview::Open(const PAVISTREAM& mainStream, const PAVISTREAM& topStream) {
  Close();
  if (!mainStream || m_main.Open(mainStream) != 0 || !m_main.m_buffer) {
    Close();
    return false;
  }
  const int64_t bytes = int64_t{FrameStride(m_main.m_width)} * m_main.m_height;
  if (m_main.m_width <= 0 || m_main.m_height <= 0 || bytes > m_main.m_bufferSize) {
    Close();
    return false;
  }
  m_composite.reset(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]());
  if (!m_composite) {
    Close();
    return false;
  }
  m_frameBytes = bytes;
  m_mainOpen = true;
  if (topStream) {
    if (m_top.Open(topStream) != 0 || !m_top.m_buffer) {
      Close();
      return false;
    }
    m_topStream = topStream;
    m_topOpen = true;
    // The schedule depends on the streams only (and on looping, set per rendering).
    if (!TopCursorFor(m_main, m_top, *m_topStream, 0, m_schedule)) {
      Close();
      return false;
    }
  }
  return true;
}

void CMixPreview::Close() {
  m_main.Close();
  m_top.Close();
  m_topStream.reset();
  m_schedule = TopFrameCursor{};
  m_mainOpen = false;
  m_topOpen = false;
  m_composite.reset();
  m_frameBytes = 0;
  m_rendered = false;
  m_onBase = false;
  m_mainShown = -1;
  m_topShown = -1;
  m_topInterpolated = false;
  m_keyed = false;
  m_keyedFrom = CKeyedFrom{};
}

bool CMixPreview::ResolveAutoKey(CMixRule& rule, const std::string& topName) {
  if (!m_topOpen || !rule.ScreenKeys()) return true;
  m_topShown = -1;  // the reader's buffer now holds the first frame, read for the estimate
  m_topInterpolated = true;
  return PrepareScreenKey(rule, m_top, topName);
}

int32_t CMixPreview::FrameCount() const {
  return m_mainOpen ? m_main.m_endFrame - m_main.m_startFrame : 0;
}

int32_t CMixPreview::TopFrameFor(int32_t frame, uint8_t loop, const CLayerPlan& plan) const {
  if (!m_topOpen || !plan.Shown(frame)) return -1;
  TopFrameCursor cursor = m_schedule;
  cursor.loop = loop;
  // The mix steps the schedule once per output frame that shows the top layer and keeps the
  // frame it read last: step it the same way up to this frame.
  int32_t shown = -1;
  for (int64_t step = plan.m_firstShown; step <= frame; ++step) {
    int32_t index = 0;
    if (cursor.Step(index)) shown = index;
  }
  return shown;
}

bool CMixPreview::Render(int32_t frame, const CMixRule& rule, const CPlacement& placement,
                         const uint8_t* base) {
  if (!m_mainOpen || frame < 0 || frame >= FrameCount()) return false;
  m_placementError.clear();
  CPlanInput input;
  input.m_mainWidth = m_main.m_width;
  input.m_mainHeight = m_main.m_height;
  input.m_topWidth = m_topOpen ? m_top.m_width : 0;
  input.m_topHeight = m_topOpen ? m_top.m_height : 0;
  input.m_rateNum = m_main.m_streamInfo.dwRate;
  input.m_rateDen = m_main.m_streamInfo.dwScale;
  input.m_frames = FrameCount();
  input.m_customLeft = rule.m_left;
  input.m_customTop = rule.m_top;
  m_placementError = PlanLayer(placement, input, m_plan);
  if (!m_placementError.empty()) {
    m_rendered = false;
    return false;
  }
  m_onBase = base != nullptr;
  // Laid on a base, the main frame is not needed: the layers below have read it.
  if (!base && frame != m_mainShown) {
    m_mainShown = -1;
    m_rendered = false;
    if (m_main.ReadFrame(m_main.m_startFrame + frame) != 0) return false;
    m_mainShown = frame;
  }
  if (m_topOpen && rule.m_layerAlpha != m_top.m_withAlpha) {
    // The top layer in the other form: 32-bit with its alpha, or 24-bit.
    m_topShown = -1;
    if (m_top.Open(m_topStream, rule.m_layerAlpha) != 0) {
      m_topOpen = false;
      return false;
    }
  }
  // The screen keyer reads its top layer with interpolated chroma, as the mix does.
  const bool screen = m_topOpen && rule.ScreenKeys();
  if (m_topOpen && screen != m_topInterpolated) {
    m_top.SetInterpolatedChroma(screen);
    m_topInterpolated = screen;
    m_topShown = -1;
  }
  const int32_t topIndex = TopFrameFor(frame, rule.m_loop, m_plan);
  if (topIndex != m_topShown) {
    m_topShown = -1;
    if (topIndex >= 0 && m_top.ReadFrame(topIndex) == 0) {
      m_topShown = topIndex;
      ++m_topReads;
    }
  }
  std::memcpy(m_composite.get(), base ? base : m_main.m_buffer.get(),
              static_cast<size_t>(m_frameBytes));
  if (m_topShown >= 0) {
    const CMixRule placed = PlacedRule(rule);
    CLayerFrame layer;
    layer.m_pixels = m_top.m_buffer.get();
    layer.m_width = m_top.m_width;
    layer.m_height = m_top.m_height;
    layer.m_fade = m_plan.Fade(frame);
    m_keyed = false;
    // The top frame is keyed once: a change of the main frame, the placement or the mix alone
    // lays the same keyed picture again.
    const CKeyedFrom keyedFrom{m_topReads, rule.m_key, rule.m_keying, rule.m_layerAlpha};
    const uint8_t* source = m_top.m_buffer.get();
    CScreenKeyer* keyer = nullptr;
    if (screen) {
      if (!m_keyer.IsSetUpFor(m_top.m_width, m_top.m_height, m_top.m_withAlpha)) {
        m_keyedFrom = CKeyedFrom{};
        if (!m_keyer.Setup(m_top.m_width, m_top.m_height, m_top.m_withAlpha)) return false;
      }
      if (m_keyedFrom == keyedFrom) {
        source = m_keyer.Picture();
      } else {
        keyer = &m_keyer;
      }
      m_keyed = true;
      layer.m_prepared = true;
    }
    if (m_plan.m_scaled) {
      const bool fromAlpha = m_top.m_withAlpha || screen;
      if (!m_scaler.IsSetUpFor(m_top.m_width, m_top.m_height, fromAlpha, m_plan.m_width,
                               m_plan.m_height) &&
          !m_scaler.Setup(m_top.m_width, m_top.m_height, fromAlpha, m_plan.m_width,
                          m_plan.m_height)) {
        return false;
      }
      layer.m_width = m_plan.m_width;
      layer.m_height = m_plan.m_height;
      layer.m_prepared = true;
    }
    layer.m_pixels = PrepareLayer(rule, source, keyer, m_plan.m_scaled ? &m_scaler : nullptr);
    if (!layer.m_pixels) return false;
    if (screen) m_keyedFrom = keyedFrom;
    ApplyMixRule(placed, layer, m_composite.get(), m_main.m_width, m_main.m_height);
  }
  m_rendered = true;
  return true;
}

CMixRule CMixPreview::PlacedRule(const CMixRule& rule) const {
  CMixRule placed = rule;
  placed.m_left = m_plan.m_left;
  placed.m_top = m_plan.m_top;
  return placed;
}

CKeyCheck CMixPreview::KeyCheck(const CMixRule& rule) const {
  if (!m_plan.m_scaled) {
    return CheckKey(PlacedRule(rule), m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width,
                    m_top.m_height);
  }
  // A resized layer is counted as it is laid on: its own pixels at the size and place the plan
  // gives, not the top frame before resizing.
  CKeyCheck check;
  if (!TopFrame()) return check;
  ForEachLaidPixel(m_plan, m_main.m_width, m_main.m_height, m_scaler.Picture(),
                   [&](const uint8_t* pixel, int64_t, int64_t) {
                     ++check.m_total;
                     const CMaskColour kind = ClassifyLaid(pixel, rule);
                     if (SameColour(kind, kMaskKeyed)) ++check.m_keyed;
                     if (SameColour(kind, kMaskNearKey)) ++check.m_nearKey;
                   });
  return check;
}

CMatteCount CMixPreview::MatteCount() const {
  if (!m_keyed || !TopFrame()) return CMatteCount{};
  if (!m_plan.m_scaled) return m_keyer.Count();
  // The matte as laid on: the resized picture's alpha.
  CMatteCount count;
  const uint8_t* picture = m_scaler.Picture();
  const int64_t pixels = int64_t{m_plan.m_width} * m_plan.m_height;
  for (int64_t at = 0; at < pixels; ++at) {
    const uint8_t alpha = picture[at * 4 + 3];
    ++(alpha == 0 ? count.m_transparent : alpha == 255 ? count.m_opaque : count.m_partial);
  }
  return count;
}

void CMixPreview::DrawMask(const CMixRule& rule, uint8_t* mask) const {
  const bool keyed = m_keyed && rule.ScreenKeys();
  if (!keyed && (!m_plan.m_scaled || !TopFrame())) {
    DrawKeyMask(PlacedRule(rule), mask, m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width,
                m_top.m_height);
    return;
  }
  // A resized layer as KeyCheck counts it; a screen-keyed one shows its matte in grey levels,
  // white where it is wholly transparent.
  const uint8_t* picture = m_plan.m_scaled ? m_scaler.Picture() : m_keyer.Picture();
  const int64_t stride = FrameStride(m_main.m_width);
  const auto paint = [&](int64_t x, int64_t y, CMaskColour colour) {
    uint8_t* pixel = mask + (int64_t{m_main.m_height} - 1 - y) * stride + 3 * x;
    pixel[0] = colour.m_blue;
    pixel[1] = colour.m_green;
    pixel[2] = colour.m_red;
  };
  for (int32_t y = 0; y < m_main.m_height; ++y) {
    for (int32_t x = 0; x < m_main.m_width; ++x) paint(x, y, kMaskOutside);
  }
  if (!TopFrame()) return;
  ForEachLaidPixel(
      m_plan, m_main.m_width, m_main.m_height, picture,
      [&](const uint8_t* pixel, int64_t x, int64_t y) {
        const auto level = static_cast<uint8_t>(255 - pixel[3]);
        paint(x, y, keyed ? CMaskColour{level, level, level} : ClassifyLaid(pixel, rule));
      });
}

}  // namespace corvane
