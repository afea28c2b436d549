#include "app/compositewindow.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "media/avidefs.h"
#include "preview/mixengine.h"

namespace corvane {

// Shows a picture scaled down to fit the space it is given (never up), smoothly.
class CPictureView : public QWidget {
 public:
  explicit CPictureView(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  }
  void SetPicture(const QImage& picture, QSize shownSize) {
    m_picture = picture;
    m_shownSize = shownSize;
    updateGeometry();
    update();
  }
  QSize sizeHint() const override { return m_shownSize.isEmpty() ? QSize(320, 240) : m_shownSize; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window).darker(130));
    if (m_picture.isNull()) return;
    const QSize fitted =
        m_picture.size().scaled(size(), Qt::KeepAspectRatio).boundedTo(m_picture.size());
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                       fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, fitted != m_picture.size());
    painter.drawImage(target, m_picture);
  }

 private:
  QImage m_picture;
  QSize m_shownSize;
};

namespace {

// A Frame buffer (bottom-up blue-green-red) as a top-down image of its own.
QImage ImageOfFrame(const uint8_t* frame, int width, int height) {
  if (!frame || width <= 0 || height <= 0) return QImage();
  const QImage view(frame, width, height, FrameStride(width), QImage::Format_BGR888);
  return view.mirrored(false, true).convertToFormat(QImage::Format_RGB888);
}

}  // namespace

CCompositeWindow::CCompositeWindow(QWidget* owner, std::function<CMixRule(bool alpha)> rule,
                                   std::function<QString(bool alpha)> problem,
                                   std::function<CLayerStack()> layers)
    : QWidget(owner, Qt::Window),
      m_rule(std::move(rule)),
      m_problem(std::move(problem)),
      m_layers(std::move(layers)) {
  setWindowTitle(QStringLiteral("Mix preview - Corvane"));
  setObjectName(QStringLiteral("compositeWindow"));
  auto* layout = new QVBoxLayout(this);
  auto* modes = new QHBoxLayout;
  m_keyMode = new QRadioButton(QStringLiteral("Colour &key mix"), this);
  m_alphaMode = new QRadioButton(QStringLiteral("&Alpha mix"), this);
  m_showMask = new QCheckBox(QStringLiteral("Show &keyed pixels"), this);
  m_keyMode->setChecked(true);
  // Each of several layers is mixed in the mode the layer list gives it, as the mix commands do.
  m_layerModes = new QLabel(QStringLiteral("Each layer in its own mode (the layer list's)"), this);
  m_layerModes->hide();
  modes->addWidget(m_keyMode);
  modes->addWidget(m_alphaMode);
  modes->addWidget(m_layerModes);
  modes->addStretch(1);
  modes->addWidget(m_showMask);
  layout->addLayout(modes);
  m_view = new CPictureView(this);
  layout->addWidget(m_view, 1);
  m_slider = new QSlider(Qt::Horizontal, this);
  m_slider->setObjectName(QStringLiteral("frameSlider"));
  m_slider->setRange(0, 0);
  layout->addWidget(m_slider);
  m_frameLabel = new QLabel(this);
  m_frameLabel->setAlignment(Qt::AlignHCenter);
  layout->addWidget(m_frameLabel);
  m_legend = new QLabel(this);
  m_legend->setWordWrap(true);
  m_legend->hide();
  layout->addWidget(m_legend);
  m_keyed = new QLabel(this);
  layout->addWidget(m_keyed);
  m_nearKey = new QLabel(this);
  m_nearKey->setWordWrap(true);
  m_nearKey->setStyleSheet(QStringLiteral("color: #b00000"));
  m_nearKey->hide();
  layout->addWidget(m_nearKey);

  connect(m_slider, &QSlider::valueChanged, this, [this] { SettingsChanged(); });
  connect(m_keyMode, &QRadioButton::toggled, this, [this] { SettingsChanged(); });
  connect(m_showMask, &QCheckBox::toggled, this, [this] { SettingsChanged(); });
}

void CCompositeWindow::SourcesChanged() {
  m_slider->blockSignals(true);
  m_slider->setValue(0);
  m_slider->blockSignals(false);
  SettingsChanged();
}

void CCompositeWindow::SettingsChanged() {
  if (m_renderQueued || !isVisible()) return;
  m_renderQueued = true;
  // Settings typed or a slider dragged come faster than frames are read: the latest counts.
  QTimer::singleShot(0, this, [this] {
    m_renderQueued = false;
    Render();
  });
}

void CCompositeWindow::Render() {
  CMixEngine& engine = MixEngine();
  CMixPreview& preview = engine.m_composite;
  const CLayerStack stack = m_layers ? m_layers() : CLayerStack{};
  const bool several = stack.m_layers.size() > 1 && stack.m_selected < stack.m_layers.size();
  if (m_layerModes->isHidden() == several) {
    m_keyMode->setVisible(!several);
    m_alphaMode->setVisible(!several);
    m_layerModes->setVisible(several);
  }
  bool open = false;
  if (several) {
    open = m_layersPreview.Open(engine.m_mainPicture.m_stream, stack.m_layers);
  } else {
    m_layersPreview.Close();
    open = engine.OpenComposite();
  }
  const int frames = !open ? 0 : several ? m_layersPreview.FrameCount() : preview.FrameCount();
  m_slider->blockSignals(true);
  m_slider->setRange(0, std::max(0, frames - 1));
  m_slider->blockSignals(false);
  const int frame = m_slider->value();
  // With several layers the checks are the selected layer's, by the rule the mix gives it.
  const bool alpha = several ? stack.m_layers[stack.m_selected].m_spec.m_rule.m_alpha : AlphaMode();
  const CMixRule rule = several ? stack.m_layers[stack.m_selected].m_spec.m_rule : m_rule(alpha);
  // Settings the mix would refuse show no picture: it would not be the one the mix makes.
  const QString problem = m_problem ? m_problem(alpha) : QString();
  bool rendered = open && frames > 0 && problem.isEmpty();
  if (rendered && several) {
    rendered = m_layersPreview.Render(frame, stack.m_layers);
  } else if (rendered) {
    rendered = preview.Render(frame, rule, engine.m_placement);
  }
  if (!rendered) {
    const std::string& refused = several ? m_layersPreview.Error() : preview.PlacementError();
    m_picture = QImage();
    m_view->SetPicture(m_picture, QSize());
    m_frameLabel->setText(!open && (!several || refused.empty())
                              ? QStringLiteral("Open a main video to preview the mix")
                          : !open              ? QString::fromStdString(refused)
                          : !problem.isEmpty() ? problem
                          : !refused.empty()   ? QString::fromStdString(refused)
                                               : QStringLiteral("The frame could not be read"));
    m_keyed->clear();
    m_nearKey->hide();
    m_legend->hide();
    return;
  }
  const CMixPreview& selected = several ? m_layersPreview.Layer(stack.m_selected) : preview;
  const uint8_t* composite = several ? m_layersPreview.Composite() : preview.Composite();
  const int width = selected.Width();
  const int height = selected.Height();
  if (m_showMask->isChecked()) {
    std::vector<uint8_t> frameBuffer(size_t(FrameStride(width)) * size_t(height));
    selected.DrawMask(rule, frameBuffer.data());
    m_picture = ImageOfFrame(frameBuffer.data(), width, height);
  } else {
    m_picture = ImageOfFrame(composite, width, height);
  }
  // At most most of the screen; the view scales down further when the window is made smaller.
  QSize shown = m_picture.size();
  if (const QScreen* screen = this->screen()) {
    const QSize room = screen->availableGeometry().size() * 3 / 4;
    shown = shown.boundedTo(m_picture.size().scaled(room, Qt::KeepAspectRatio));
  }
  m_view->SetPicture(m_picture, shown);
  m_frameLabel->setText(
      QStringLiteral("Frame %1 of 0\u2013%2 (counted from 0, as in corvane-mix --preview-frame)")
          .arg(frame)
          .arg(frames - 1));
  m_legend->setVisible(m_showMask->isChecked());
  const QString layer =
      several ? QStringLiteral("the selected layer") : QStringLiteral("the top layer");
  if (rule.ScreenKeys()) {
    // A soft matte has no keyed pixels to count or fringe to warn of: how much of the keyed top
    // layer lets the main video through, wholly or in part.
    m_legend->setText(QStringLiteral("Mask: %1's matte in grey levels, white transparent (the "
                                     "main video shows), black opaque; dark grey outside it")
                          .arg(layer));
    const CMatteCount count = selected.MatteCount();
    m_keyed->setText(QString::asprintf(
        MatteCountFormat(), static_cast<long long>(count.m_transparent),
        static_cast<long long>(count.m_partial), static_cast<long long>(count.m_opaque)));
    m_nearKey->hide();
    return;
  }
  m_legend->setText(QStringLiteral("Mask: white keyed (the main video shows), red near the key "
                                   "colour, black covered by %1, grey outside it")
                        .arg(layer));
  const CKeyCheck check = selected.KeyCheck(rule);
  m_keyed->setText(QString::asprintf(KeyedFormat(), static_cast<long long>(check.m_keyed),
                                     static_cast<long long>(check.m_total)));
  if (check.m_nearKey > 0) {
    m_nearKey->setText(QString::asprintf(NearKeyFormat(), static_cast<long long>(check.m_nearKey)));
    m_nearKey->show();
  } else {
    m_nearKey->hide();
  }
}

void CCompositeWindow::SetFrame(int frame) {
  m_slider->setValue(frame);
}

int CCompositeWindow::Frame() const {
  return m_slider->value();
}

void CCompositeWindow::SetAlphaMode(bool alpha) {
  (alpha ? m_alphaMode : m_keyMode)->setChecked(true);
}

bool CCompositeWindow::AlphaMode() const {
  return m_alphaMode->isChecked();
}

void CCompositeWindow::SetMaskShown(bool shown) {
  m_showMask->setChecked(shown);
}

QString CCompositeWindow::FrameText() const {
  return m_frameLabel->text();
}

QString CCompositeWindow::KeyedText() const {
  return m_keyed->text();
}

QString CCompositeWindow::NearKeyText() const {
  return m_nearKey->isHidden() ? QString() : m_nearKey->text();
}

void CCompositeWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Render();
}

void CCompositeWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // The layers' readers are held only while the window shows, so that a layer removed
  // meanwhile keeps no file open.
  m_layersPreview.Close();
}

}  // namespace corvane
