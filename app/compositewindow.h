// The mix preview window: the exact composite of one main frame with the main dialog's current
// settings, a frame slider with the frame number under it (from 0, as corvane-mix
// --preview-frame numbers frames), the keyed-pixel check of the frame
// and a mask view of the keyed pixels (with the screen keyer: the matte's counts and the matte
// itself). A window of its own, so that the main dialog keeps its controls, its layout and its
// probe.
//
// With several top layers it shows them all, each laid on in order by its own settings, through
// a preview of its own (mix/layerspreview.h); the key check, the mask and the matte are then the
// selected layer's, and each layer's mode is the layer list's.
//
// Owned by the main dialog (a Qt child window of it). Reads the engine's composite preview
// (MixEngine().m_composite) on the UI thread only; what it shows is made by the same readers,
// schedule and compositing as the mix, so the picture is the frame the mix writes.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <vector>

#include "mix/composite.h"
#include "mix/layerspreview.h"

class QCheckBox;
class QLabel;
class QRadioButton;
class QSlider;

namespace corvane {

class CPictureView;

// The top layers as the mix takes them, the first lowest, and the one the main dialog shows.
struct CLayerStack {
  std::vector<CPreviewLayer> m_layers;
  size_t m_selected = 0;
};

class CCompositeWindow : public QWidget {
  Q_OBJECT
 public:
  // `rule` reads the main dialog's settings as a mix would take them, for the given mode
  // (true: the alpha mix); `problem` says why the mix would not take them (empty when it
  // would), and is then shown in place of a picture. `layers` gives the top layers; with fewer
  // than two the window shows the one-layer mix of the engine's two pictures by `rule`.
  CCompositeWindow(QWidget* owner, std::function<CMixRule(bool alpha)> rule,
                   std::function<QString(bool alpha)> problem = nullptr,
                   std::function<CLayerStack()> layers = nullptr);

  // The sources changed: the slider starts again at the new main video's first frame (0).
  void SourcesChanged();
  // The settings changed: composite again (coalesced; done once control returns to the loop).
  void SettingsChanged();
  // Composites now, for the frame the slider shows.
  void Render();

  // For tests and screenshots: the frame (numbered from 0, as the label and corvane-mix
  // --preview-frame number it), the alpha mode, the mask view, and the
  // picture last shown at its own size (the composite or the mask).
  void SetFrame(int frame);
  int Frame() const;
  void SetAlphaMode(bool alpha);
  bool AlphaMode() const;
  void SetMaskShown(bool shown);
  const QImage& Picture() const { return m_picture; }
  QString FrameText() const;
  QString KeyedText() const;
  QString NearKeyText() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  std::function<CMixRule(bool alpha)> m_rule;
  std::function<QString(bool alpha)> m_problem;
  std::function<CLayerStack()> m_layers;
  CLayersPreview m_layersPreview;  // open while shown with several layers
  QRadioButton* m_keyMode = nullptr;
  QRadioButton* m_alphaMode = nullptr;
  QLabel* m_layerModes = nullptr;  // in place of the two modes with several layers
  QCheckBox* m_showMask = nullptr;
  CPictureView* m_view = nullptr;
  QSlider* m_slider = nullptr;
  QLabel* m_frameLabel = nullptr;
  QLabel* m_legend = nullptr;
  QLabel* m_keyed = nullptr;
  QLabel* m_nearKey = nullptr;
  QImage m_picture;
  bool m_renderQueued = false;
};

}  // namespace corvane
