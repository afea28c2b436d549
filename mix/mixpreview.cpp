#include "mix/mixpreview.h"

#include <cstring>
#include <new>

#include "mix/frameprefetch.h"
#include "mix/layerscale.h"

namespace corvane {

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

bool CMixPreview::Render(int32_t frame, const CMixRule& rule, const CPlacement& placement) {
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
  if (frame != m_mainShown) {
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
  std::memcpy(m_composite.get(), m_main.m_buffer.get(), static_cast<size_t>(m_frameBytes));
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
  // A resized layer is checked at its own size, where the key is evaluated.
  CMixRule placed = PlacedRule(rule);
  if (m_plan.m_scaled) placed.m_left = placed.m_top = 0;
  return CheckKey(placed, m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width,
                  m_top.m_height);
}

CMatteCount CMixPreview::MatteCount() const {
  return m_keyed && TopFrame() ? m_keyer.Count() : CMatteCount{};
}

void CMixPreview::DrawMask(const CMixRule& rule, uint8_t* mask) const {
  const bool keyed = m_keyed && rule.ScreenKeys();
  if (!keyed && (!m_plan.m_scaled || !TopFrame())) {
    DrawKeyMask(PlacedRule(rule), mask, m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width,
                m_top.m_height);
    return;
  }
  // A resized layer: its transparent pixels (keyed ones among them) show the main video. A
  // screen-keyed one shows its matte in grey levels, white where it is wholly transparent.
  const uint8_t* picture = m_plan.m_scaled ? m_scaler.Picture() : m_keyer.Picture();
  const bool shows = TopFrame() != nullptr;
  const int64_t stride = FrameStride(m_main.m_width);
  for (int32_t y = 0; y < m_main.m_height; ++y) {
    uint8_t* row = mask + int64_t{m_main.m_height - 1 - y} * stride;
    for (int32_t x = 0; x < m_main.m_width; ++x) {
      const int64_t i = int64_t{x} - m_plan.m_left;
      const int64_t j = int64_t{y} - m_plan.m_top;
      CMaskColour colour = kMaskOutside;
      if (shows && i >= 0 && j >= 0 && i < m_plan.m_width && j < m_plan.m_height) {
        const uint8_t alpha =
            picture[(int64_t{m_plan.m_height - 1 - j} * m_plan.m_width + i) * 4 + 3];
        const auto level = static_cast<uint8_t>(255 - alpha);
        colour = keyed ? CMaskColour{level, level, level} : alpha == 0 ? kMaskKeyed : kMaskCovered;
      }
      row[3 * x] = colour.m_blue;
      row[3 * x + 1] = colour.m_green;
      row[3 * x + 2] = colour.m_red;
    }
  }
}

}  // namespace corvane
