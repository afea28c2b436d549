#include "mix/mixpreview.h"

#include <cstring>
#include <new>

#include "mix/frameprefetch.h"

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
}

int32_t CMixPreview::FrameCount() const {
  return m_mainOpen ? m_main.m_endFrame - m_main.m_startFrame : 0;
}

int32_t CMixPreview::TopFrameFor(int32_t frame, uint8_t loop) const {
  if (!m_topOpen) return -1;
  TopFrameCursor cursor = m_schedule;
  cursor.loop = loop;
  // The mix steps the schedule once per output frame and keeps the frame it read last: step
  // it the same way up to this frame.
  int32_t shown = -1;
  for (int64_t step = 0; step <= frame; ++step) {
    int32_t index = 0;
    if (cursor.Step(index)) shown = index;
  }
  return shown;
}

bool CMixPreview::Render(int32_t frame, const CMixRule& rule) {
  if (!m_mainOpen || frame < 0 || frame >= FrameCount()) return false;
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
  const int32_t topIndex = TopFrameFor(frame, rule.m_loop);
  if (topIndex != m_topShown) {
    m_topShown = -1;
    if (topIndex >= 0 && m_top.ReadFrame(topIndex) == 0) m_topShown = topIndex;
  }
  std::memcpy(m_composite.get(), m_main.m_buffer.get(), static_cast<size_t>(m_frameBytes));
  if (m_topShown >= 0) {
    ApplyMixRule(rule, m_composite.get(), m_main.m_width, m_main.m_height, m_top.m_buffer.get(),
                 m_top.m_width, m_top.m_height);
  }
  m_rendered = true;
  return true;
}

CKeyCheck CMixPreview::KeyCheck(const CMixRule& rule) const {
  return CheckKey(rule, m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width, m_top.m_height);
}

void CMixPreview::DrawMask(const CMixRule& rule, uint8_t* mask) const {
  DrawKeyMask(rule, mask, m_main.m_width, m_main.m_height, TopFrame(), m_top.m_width,
              m_top.m_height);
}

}  // namespace corvane
