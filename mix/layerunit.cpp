#include "mix/layerunit.h"

#include "media/errortext.h"
#include "media/host.h"
#include "mix/frameprefetch.h"

namespace corvane {

CPlanInput PlanInputOf(const CVideoReader& main, const CVideoReader& top, const CMixRule& rule) {
  CPlanInput input;
  input.m_mainWidth = main.m_width;
  input.m_mainHeight = main.m_height;
  input.m_topWidth = top.m_width;
  input.m_topHeight = top.m_height;
  input.m_rateNum = main.m_streamInfo.dwRate;
  input.m_rateDen = main.m_streamInfo.dwScale;
  input.m_frames = main.m_endFrame - main.m_startFrame;
  input.m_customLeft = rule.m_left;
  input.m_customTop = rule.m_top;
  return input;
}

CLayerSpec LayerSpecOf(const CLayerOptions& options, const std::string& source) {
  CLayerSpec spec;
  spec.m_source = source;
  CMixRule& rule = spec.m_rule;
  rule.m_alpha = options.m_alphaMode;
  rule.m_key = PackKeyColour(options.m_red, options.m_green, options.m_blue);
  rule.m_left = options.m_left;
  rule.m_top = options.m_top;
  rule.m_loop = options.m_loop ? 1 : 0;
  rule.m_layerAlpha = options.m_layerAlpha;
  rule.m_keying = options.m_keying;
  if (options.m_alphaMode) {
    rule.m_useTransparency = options.m_noTransparency ? 0 : 1;
    rule.m_alphaLevel = options.m_alpha;
  }
  spec.m_placement = options.m_placement;
  return spec;
}

bool CLayerUnit::Open() {
  const std::string& path = m_spec.m_source;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, m_file) != AVIERR_OK || !m_file) {
    ShowMessage(Format("Layer %d: ", m_number) + UnableToOpenText(path), MB_ICONINFORMATION);
    Close();
    return false;
  }
  if (m_file->GetStream(m_stream, streamtypeVIDEO, 0) != AVIERR_OK || !m_stream) {
    ShowMessage(Format("Layer %d: Cannot get AVI video stream for %s", m_number, path.c_str()),
                MB_ICONINFORMATION);
    Close();
    return false;
  }
  if (m_reader.Open(m_stream, m_rule.m_layerAlpha) != 0) {
    Close();
    return false;
  }
  if (m_reader.m_firstFrameUnreadable) {
    ShowMessage(Format("Layer %d: The first frame of %s cannot be decoded: it is not mixed",
                       m_number, path.c_str()),
                MB_ICONERROR);
    Close();
    return false;
  }
  m_open = true;
  return true;
}

void CLayerUnit::Close() {
  m_reader.Close();
  m_stream.reset();
  m_file.reset();
  m_open = false;
}

bool CLayerUnit::Setup(const CLayerSpec& spec, int32_t number, const CVideoReader& mainReader) {
  m_spec = spec;
  m_number = number;
  m_rule = spec.m_rule;
  if (!Open()) return false;
  if (m_rule.m_layerAlpha && !m_reader.m_hasAlpha) {
    ShowMessage(Format("Layer %d: %s has no alpha channel: every pixel of it is taken as opaque",
                       number, spec.m_source.c_str()),
                MB_ICONINFORMATION);
  }
  const CPlanInput input = PlanInputOf(mainReader, m_reader, m_rule);
  if (const std::string refused = PlanLayer(spec.m_placement, input, m_plan); !refused.empty()) {
    if (!m_plan.m_neverShown) {
      ShowMessage(Format("Layer %d: %s", number, refused.c_str()), MB_ICONERROR);
      return false;
    }
    // One layer among others that never shows is left out, the rest mixed.
    ShowMessage(Format("Layer %d: %s: it is not shown", number, refused.c_str()),
                MB_ICONINFORMATION);
    m_plan = CLayerPlan{};
    Close();
    return true;
  }
  // Among several layers, one at a custom offset wholly off the picture is news too.
  m_plan.m_outside = m_plan.m_outside || m_plan.m_left >= input.m_mainWidth ||
                     m_plan.m_top >= input.m_mainHeight ||
                     int64_t{m_plan.m_left} + m_plan.m_width <= 0 ||
                     int64_t{m_plan.m_top} + m_plan.m_height <= 0;
  if (const std::string notices = PlanNotices(m_plan); !notices.empty())
    ShowMessage(Format("Layer %d: %s", number, notices.c_str()), MB_ICONINFORMATION);
  m_rule.m_left = m_plan.m_left;
  m_rule.m_top = m_plan.m_top;
  const bool screen = m_rule.ScreenKeys();
  if (screen && !PrepareScreenKey(m_rule, m_reader, spec.m_source)) return false;
  if (screen && !m_keyer.Setup(m_reader.m_width, m_reader.m_height, m_reader.m_withAlpha)) {
    ShowMessage(Format("Layer %d: Cannot allocate memory to key the top layer", number),
                MB_ICONINFORMATION);
    return false;
  }
  if (m_plan.m_scaled &&
      !m_scaler.Setup(m_reader.m_width, m_reader.m_height, m_reader.m_withAlpha || screen,
                      m_plan.m_width, m_plan.m_height)) {
    ShowMessage(Format("Layer %d: Cannot allocate memory to resize the top layer", number),
                MB_ICONINFORMATION);
    return false;
  }
  if (!TopCursorFor(mainReader, m_reader, *m_stream, m_rule.m_loop, m_cursor)) return false;
  // Held only while the layer shows.
  if (m_plan.m_firstShown > 0) Close();
  return true;
}

void CLayerUnit::LayOn(int64_t frame, uint8_t* output, int32_t mainWidth, int32_t mainHeight) {
  if (!m_plan.Shown(frame)) {
    if (frame >= m_plan.m_endShown && m_open) Close();
    return;
  }
  if (!m_open) {
    if (m_failed) return;
    if (!Open()) {
      m_failed = true;
      return;
    }
  }
  int32_t index = 0;
  if (m_cursor.Step(index) && m_reader.ReadFrame(index) == 0) {
    // Keyed and resized once per frame of the layer, however many output frames show it.
    const uint8_t* pixels = PrepareLayer(m_rule, m_reader.m_buffer.get(), &m_keyer,
                                         m_plan.m_scaled ? &m_scaler : nullptr);
    if (pixels) m_pixels = pixels;
  }
  if (!m_pixels) return;
  CLayerFrame layer;
  layer.m_pixels = m_pixels;
  layer.m_width = m_plan.m_width;
  layer.m_height = m_plan.m_height;
  layer.m_prepared = m_plan.m_scaled || m_rule.ScreenKeys();
  layer.m_fade = m_plan.Fade(frame);
  ApplyMixRule(m_rule, layer, output, mainWidth, mainHeight);
}

}  // namespace corvane
