// The mix preview of several layers: main frame N with every layer laid on in order, the first
// lowest, each by its own rule and placement, so that it is pixel for pixel frame N of
// MixLayers for the same layers. One CMixPreview per layer, each opened on the main stream and
// its layer's stream; each layer is laid on the composite of the layers below it.
//
// Owns the layers' previews (the streams are shared with whoever opened them). Opened again on
// other layers, a layer whose stream it already had keeps its preview and the frames that read,
// wherever the layer moved, so that editing or reordering layers decodes nothing again. One
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "mix/layerunit.h"
#include "mix/mixpreview.h"

namespace corvane {

// One layer to preview: its video stream and how it is mixed (m_spec.m_source is not read).
struct CPreviewLayer {
  PAVISTREAM m_stream;
  CLayerSpec m_spec;
};

class CLayersPreview {
 public:
  CLayersPreview() = default;
  CLayersPreview(const CLayersPreview&) = delete;
  CLayersPreview& operator=(const CLayersPreview&) = delete;

  // Previews of `layers` (the first lowest) over `mainStream`. False, with Error() naming the
  // layer when it is one, when a reader does not open; the preview is then empty.
  bool Open(const PAVISTREAM& mainStream, const std::vector<CPreviewLayer>& layers);
  void Close();

  // Frames of the main video and its size; 0 when not open.
  int32_t FrameCount() const { return m_layers.empty() ? 0 : m_layers.front()->FrameCount(); }
  int32_t Width() const { return m_layers.empty() ? 0 : m_layers.front()->Width(); }
  int32_t Height() const { return m_layers.empty() ? 0 : m_layers.front()->Height(); }
  size_t LayerCount() const { return m_layers.size(); }

  // Makes Composite() frame `frame` (0-based) of the mix of `layers`, the ones opened, with the
  // rules and placements they have now. As the mix does, among several layers one never in
  // range is left out; any other placement it cannot make fails the rendering, and Error()
  // says "Layer N: " and why. False too when a frame does not read (Error() empty).
  bool Render(int32_t frame, const std::vector<CPreviewLayer>& layers);

  // The last rendering's composite (a main-sized Frame buffer); null when it failed.
  const uint8_t* Composite() const { return m_composite; }
  // Layer `index`'s own preview (its plan, key check, mask and matte) as the last rendering
  // left it; one left out shows no top frame.
  const CMixPreview& Layer(size_t index) const { return *m_layers[index]; }
  const std::string& Error() const { return m_error; }

 private:
  PAVISTREAM m_mainStream;
  std::vector<std::unique_ptr<CMixPreview>> m_layers;
  std::vector<PAVISTREAM> m_streams;  // each layer preview's own stream
  CMixPreview m_mainAlone;            // opened only when every layer is left out
  const uint8_t* m_composite = nullptr;
  std::string m_error;
};

}  // namespace corvane
