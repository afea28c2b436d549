#include "mix/layerspreview.h"

#include <utility>

#include "media/host.h"

namespace corvane {

bool CLayersPreview::Open(const PAVISTREAM& mainStream, const std::vector<CPreviewLayer>& layers) {
  m_error.clear();
  m_composite = nullptr;
  if (!mainStream || layers.empty()) {
    Close();
    return false;
  }
  if (mainStream != m_mainStream) Close();
  m_mainStream = mainStream;
  std::vector<std::unique_ptr<CMixPreview>> had = std::move(m_layers);
  std::vector<PAVISTREAM> hadStreams = std::move(m_streams);
  m_layers.clear();
  m_streams.clear();
  for (size_t index = 0; index < layers.size(); ++index) {
    const PAVISTREAM& stream = layers[index].m_stream;
    std::unique_ptr<CMixPreview> preview;
    for (size_t old = 0; old < had.size() && !preview; ++old) {
      if (had[old] && hadStreams[old] == stream) preview = std::move(had[old]);
    }
    if (!preview) {
      preview = std::make_unique<CMixPreview>();
      if (!stream || !preview->Open(mainStream, stream)) {
        m_error = Format("The frames of layer %d cannot be read", static_cast<int>(index + 1));
        Close();
        return false;
      }
    }
    m_layers.push_back(std::move(preview));
    m_streams.push_back(stream);
  }
  return true;
}

void CLayersPreview::Close() {
  m_layers.clear();
  m_streams.clear();
  m_mainAlone.Close();
  m_mainStream.reset();
  m_composite = nullptr;
}

bool CLayersPreview::Render(int32_t frame, const std::vector<CPreviewLayer>& layers) {
  m_composite = nullptr;
  m_error.clear();
  if (m_layers.empty() || layers.size() != m_layers.size()) return false;
  const uint8_t* below = nullptr;  // the composite of the layers so far; null: the main frame
  for (size_t index = 0; index < m_layers.size(); ++index) {
    CMixPreview& layer = *m_layers[index];
    const CLayerSpec& spec = layers[index].m_spec;
    if (layer.Render(frame, spec.m_rule, spec.m_placement, below)) {
      below = layer.Composite();
      continue;
    }
    if (layer.PlacementError().empty()) return false;
    if (m_layers.size() == 1 || !layer.Plan().m_neverShown) {
      const std::string number =
          m_layers.size() > 1 ? Format("Layer %d: ", static_cast<int>(index + 1)) : std::string();
      m_error = number + layer.PlacementError();
      return false;
    }
  }
  if (!below) {
    // Every layer left out: the mix writes the main frame as it is.
    if (!m_mainAlone.IsOpen() && !m_mainAlone.Open(m_mainStream, nullptr)) return false;
    if (!m_mainAlone.Render(frame, CMixRule{})) return false;
    below = m_mainAlone.Composite();
  }
  m_composite = below;
  return true;
}

}  // namespace corvane
