// The video compression dialog: the user picks the compressor for a mix's output and, where
// the compressor honours them, its quality, key-frame interval and data rate.
//
// Shown modally on the UI thread with the main dialog as owner, while the mix worker waits for
// the answer. Owns only its child widgets.
#pragma once

#include <QDialog>
#include <vector>

#include "media/codec/compress.h"
#include "media/mux/container.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QSpinBox;

namespace corvane {

class CCompressionDialog : public QDialog {
  Q_OBJECT
 public:
  // Offers the compressors `container` takes. Starts from `initial` when it carries a choice
  // (AVICOMPRESSF_VALID) of one of them, else from the container's default compressor (an AVI:
  // the catalogue's first) with quality 75, a key frame every 15 frames and 300 KB/sec.
  CCompressionDialog(QWidget* owner, const AVICOMPRESSOPTIONS& initial,
                     const CContainerInfo& container = Containers().front());

  // The choice as the compressed stream takes it. The quality is the compressor's default
  // (0xFFFFFFFF) where the slider does not apply; the key-frame and data-rate values carry
  // their flags only where the compressor honours them and the box is checked.
  AVICOMPRESSOPTIONS Options() const;

  // The controls, for tests and screenshots.
  QComboBox* Compressors() const { return m_compressors; }
  QSlider* Quality() const { return m_quality; }
  QCheckBox* KeyFrames() const { return m_keyFrames; }
  QSpinBox* KeyFrameEvery() const { return m_keyFrameEvery; }
  QCheckBox* DataRate() const { return m_dataRate; }
  QSpinBox* DataRateKb() const { return m_dataRateKb; }
  // What a number box took from the last key press it refused; empty while none is refused.
  QString HintText() const;

 private:
  // Enables each setting as the selected compressor and the check boxes allow.
  void UpdateControls();
  const CCompressorInfo* Selected() const;

  std::vector<const CCompressorInfo*> m_offered;  // what the list shows, in its order
  QComboBox* m_compressors = nullptr;
  QLabel* m_qualityLabel = nullptr;
  QSlider* m_quality = nullptr;
  QLabel* m_qualityValue = nullptr;
  QCheckBox* m_keyFrames = nullptr;
  QSpinBox* m_keyFrameEvery = nullptr;
  QLabel* m_framesLabel = nullptr;
  QCheckBox* m_dataRate = nullptr;
  QSpinBox* m_dataRateKb = nullptr;
  QLabel* m_rateLabel = nullptr;
  QLabel* m_hint = nullptr;  // says what a number box takes once it refused a key press
};

// Shows the dialog for `options` owned by `owner`; on OK fills `options` and returns true.
bool RunCompressionDialog(QWidget* owner, AVICOMPRESSOPTIONS& options,
                          const CContainerInfo& container = Containers().front());

}  // namespace corvane
