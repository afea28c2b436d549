// The engine's mix jobs and audio copy: the work itself lives in mix/ and media/; the engine
// supplies the two pictures' files.
#include "media/audiocopy.h"
#include "mix/mixjob.h"
#include "preview/mixengine.h"

namespace corvane {

void CMixEngine::MixColourKey(const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                              int32_t top, int32_t left, uint8_t loop, bool layerAlpha,
                              const CPlacement& placement, const CKeyerSettings& keying) {
  corvane::MixColourKey(m_mainPicture.m_path, m_topPicture.m_path, output, red, green, blue, top,
                        left, loop, layerAlpha, placement, keying);
}

void CMixEngine::MixAlpha(const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                          int32_t top, int32_t left, uint8_t useTransparency, uint8_t loop,
                          double alpha, bool layerAlpha, const CPlacement& placement,
                          const CKeyerSettings& keying) {
  corvane::MixAlpha(m_mainPicture.m_path, m_topPicture.m_path, output, red, green, blue, top, left,
                    useTransparency, loop, alpha, layerAlpha, placement, keying);
}

void CMixEngine::MixLayers(const CMixOutput& output, const std::vector<CLayerSpec>& layers) {
  corvane::MixLayers(m_mainPicture.m_path, layers, output);
}

CLayerPlan CMixEngine::PlacementPlan(int32_t left, int32_t top, std::string* error) const {
  CPlanInput input;
  input.m_mainWidth = m_mainPicture.m_width;
  input.m_mainHeight = m_mainPicture.m_height;
  input.m_topWidth = m_topPicture.m_width;
  input.m_topHeight = m_topPicture.m_height;
  input.m_customLeft = left;
  input.m_customTop = top;
  CPlacement sized = m_placement;
  // No top layer, no box to size.
  if (m_topPicture.m_width <= 0 || m_topPicture.m_height <= 0) sized.m_scale = CScale{};
  sized.m_from = -1.0;
  sized.m_to = -1.0;
  CLayerPlan plan;
  // A size it cannot make (the mix will say why) is shown at the layer's own size.
  const std::string refused = PlanLayer(sized, input, plan);
  if (error) *error = refused;
  if (!refused.empty()) {
    plan = CLayerPlan{};
    plan.m_width = m_topPicture.m_width;
    plan.m_height = m_topPicture.m_height;
    plan.m_left = left;
    plan.m_top = top;
  }
  return plan;
}

void CMixEngine::CopyAudioTrack(const std::string& output) {
  corvane::CopyAudioTrack(m_mainPicture.m_path, output);
}

}  // namespace corvane
