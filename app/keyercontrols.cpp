// The main dialog's keyer: the Key box, the screen keyer's levels and its Auto colour button.
// The screen keyer's rows stand above the previews only while it is chosen, so that the window
// keeps its layout with the exact keyer.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <iterator>
#include <optional>

#include "app/maindialog.h"
#include "media/host.h"
#include "preview/mixengine.h"
#include "preview/render/previewpaint.h"

namespace corvane {
namespace {

// The Key box's entries, in order.
constexpr EKeyer kKeyers[] = {EKeyer::kExact, EKeyer::kScreen, EKeyer::kNone};

// Where a level stands when its Auto box is first cleared: a little above a clean screen's noise,
// and half way to a subject that has nothing of the screen's colour.
constexpr int kFirstTolerance = 15;
constexpr int kFirstSoftness = 50;

struct CLevel {
  int m_slider;
  int m_auto;  // 0: the level is never automatic
  int m_value;
};
constexpr CLevel kLevels[] = {{kToleranceId, kToleranceAutoId, kToleranceValueId},
                              {kSoftnessId, kSoftnessAutoId, kSoftnessValueId},
                              {kDespillId, 0, kDespillValueId}};

}  // namespace

void CMainDialog::SetUpKeyerControls() {
  auto* keyer = qobject_cast<QComboBox*>(Control(kKeyerId));
  auto* tolerance = qobject_cast<QSlider*>(Control(kToleranceId));
  auto* softness = qobject_cast<QSlider*>(Control(kSoftnessId));
  auto* despill = qobject_cast<QSlider*>(Control(kDespillId));
  auto* toleranceAuto = qobject_cast<QCheckBox*>(Control(kToleranceAutoId));
  auto* softnessAuto = qobject_cast<QCheckBox*>(Control(kSoftnessAutoId));
  auto* autoColour = qobject_cast<QPushButton*>(Control(kAutoColourId));
  if (!keyer || !tolerance || !softness || !despill || !toleranceAuto || !softnessAuto ||
      !autoColour)
    return;
  keyer->setToolTip(QStringLiteral(
      "Exact: top pixels of the key colour let the main video through\n"
      "Screen: a soft key for footage shot on a green or blue screen\nNone: nothing is keyed"));
  for (QSlider* slider : {tolerance, softness, despill}) {
    slider->setRange(0, 100);
    slider->setPageStep(10);
  }
  tolerance->setValue(kFirstTolerance);
  softness->setValue(kFirstSoftness);
  despill->setValue(100);
  toleranceAuto->setChecked(true);
  softnessAuto->setChecked(true);
  tolerance->setToolTip(
      QStringLiteral("Distance from the screen colour below which a pixel is wholly transparent"));
  toleranceAuto->setToolTip(QStringLiteral("From the screen's noise"));
  softness->setToolTip(QStringLiteral("Distance above which a pixel is wholly opaque"));
  softnessAuto->setToolTip(QStringLiteral("Follows the subject, softer where it is softer"));
  despill->setToolTip(
      QStringLiteral("How much of the screen's colour cast is taken off the subject's edges"));
  autoColour->setToolTip(
      QStringLiteral("Finds the screen colour in the top layer and puts it into r, g, b"));
  ShowLevels();

  connect(keyer, &QComboBox::currentIndexChanged, this, [this] { OnKeyerChanged(); });
  const auto moved = [this](bool keepTolerance) {
    KeepLevelsApart(keepTolerance);
    ShowLevels();
    SettingsEdited();
  };
  connect(tolerance, &QSlider::valueChanged, this, [moved] { moved(true); });
  connect(softness, &QSlider::valueChanged, this, [moved] { moved(false); });
  connect(despill, &QSlider::valueChanged, this, [this] {
    ShowLevels();
    SettingsEdited();
  });
  // A level that stops being automatic takes its place above or below the other one.
  connect(toleranceAuto, &QCheckBox::toggled, this, [moved] { moved(false); });
  connect(softnessAuto, &QCheckBox::toggled, this, [moved] { moved(true); });
  connect(autoColour, &QPushButton::clicked, this, [this] { OnAutoColour(); });
}

CKeyerSettings CMainDialog::KeyerSettings() const {
  CKeyerSettings settings;
  if (const auto* keyer = qobject_cast<QComboBox*>(Control(kKeyerId))) {
    const int index = keyer->currentIndex();
    if (index >= 0 && index < int(std::size(kKeyers))) settings.m_keyer = kKeyers[index];
  }
  const auto level = [this](int sliderId, int autoId) {
    const auto* slider = qobject_cast<QSlider*>(Control(sliderId));
    return !slider || IsChecked(autoId) ? kAutoLevel : int32_t(slider->value());
  };
  settings.m_tolerance = level(kToleranceId, kToleranceAutoId);
  settings.m_softness = level(kSoftnessId, kSoftnessAutoId);
  if (const auto* despill = qobject_cast<QSlider*>(Control(kDespillId)))
    settings.m_despill = despill->value();
  return settings;
}

void CMainDialog::SetKeyerSettings(const CKeyerSettings& settings) {
  CKeyerSettings shown = settings;
  shown.m_autoKey = false;
  if (*KeyerSettingsError(shown) != '\0') {
    shown.m_tolerance = shown.m_softness = kAutoLevel;
    if (shown.m_despill < 0 || shown.m_despill > 100) shown.m_despill = CKeyerSettings{}.m_despill;
  }
  const auto setLevel = [this](int sliderId, int autoId, int32_t level) {
    if (auto* check = qobject_cast<QCheckBox*>(Control(autoId)))
      check->setChecked(level == kAutoLevel);
    // An automatic level leaves the slider where it was, for when the box is cleared again.
    if (auto* slider = qobject_cast<QSlider*>(Control(sliderId)); slider && level != kAutoLevel)
      slider->setValue(level);
  };
  setLevel(kToleranceId, kToleranceAutoId, shown.m_tolerance);
  setLevel(kSoftnessId, kSoftnessAutoId, shown.m_softness);
  if (auto* despill = qobject_cast<QSlider*>(Control(kDespillId)))
    despill->setValue(shown.m_despill);
  if (auto* keyer = qobject_cast<QComboBox*>(Control(kKeyerId))) {
    const auto* found = std::find(std::begin(kKeyers), std::end(kKeyers), shown.m_keyer);
    keyer->setCurrentIndex(found == std::end(kKeyers) ? 0 : int(found - std::begin(kKeyers)));
  }
}

void CMainDialog::OnKeyerChanged() {
  const bool screen = KeyerSettings().m_keyer == EKeyer::kScreen;
  for (QWidget* control : m_screenControls) control->setVisible(screen);
  const int room = screen ? m_screenRoom : 0;
  QWidget* mainPreview = Control(kMainPreviewId);
  if (room != m_keyerRoom && mainPreview) {
    const int by = room - m_keyerRoom;
    m_keyerRoom = room;
    const QPoint before = mainPreview->mapToGlobal(QPoint(0, 0));
    for (QWidget* control : m_belowKeyer) control->move(control->x(), control->y() + by);
    if (m_previewsLaidOut) {
      LayoutPreviews();
    } else {
      resize(width(), height() + by);
      PlaceProgressBar();
    }
    // A box locked on the main preview stays on the picture pixel it was locked on, though the
    // preview moved down and the window may have moved up to stay on the screen.
    if (PreviewLock() == 1) {
      const QPoint moved = mainPreview->mapToGlobal(QPoint(0, 0)) - before;
      MixEngine().m_savedX += moved.x();
      MixEngine().m_savedY += moved.y();
      OnMove();
    }
  }
  SettingsEdited();
}

void CMainDialog::KeepLevelsApart(bool keepTolerance) {
  auto* tolerance = qobject_cast<QSlider*>(Control(kToleranceId));
  auto* softness = qobject_cast<QSlider*>(Control(kSoftnessId));
  if (!tolerance || !softness || IsChecked(kToleranceAutoId) || IsChecked(kSoftnessAutoId) ||
      tolerance->value() < softness->value())
    return;
  // The change comes back here through valueChanged, with the other level to keep.
  if (keepTolerance) {
    if (tolerance->value() >= tolerance->maximum()) {
      tolerance->setValue(tolerance->maximum() - 1);
    } else {
      softness->setValue(tolerance->value() + 1);
    }
  } else if (softness->value() <= softness->minimum()) {
    softness->setValue(softness->minimum() + 1);
  } else {
    tolerance->setValue(softness->value() - 1);
  }
}

void CMainDialog::ShowLevels() {
  const QList<QLabel*> labels = m_client->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
  for (const CLevel& level : kLevels) {
    auto* slider = qobject_cast<QSlider*>(Control(level.m_slider));
    if (!slider) continue;
    const bool automatic = IsChecked(level.m_auto);
    slider->setEnabled(!automatic);
    SetControlText(level.m_value, automatic ? QString() : QString::number(slider->value()));
    // The label's mnemonic reaches the control that can be changed: the Auto box while the
    // slider is grayed.
    QWidget* target = automatic ? Control(level.m_auto) : slider;
    for (QLabel* label : labels) {
      if (label->buddy() == slider ||
          (level.m_auto != 0 && label->buddy() == Control(level.m_auto)))
        label->setBuddy(target);
    }
  }
}

int CMainDialog::OnAutoColour() {
  const CPreviewPicture& top = MixEngine().m_topPicture;
  if (top.m_loaded != 1 || !top.m_pixels || top.m_width <= 0 || top.m_height <= 0) {
    SetStatus("Open a top layer to find its screen colour");
    return 0;
  }
  // The preview's rows: top row first, unpadded (the estimate counts pixels, in any order).
  const std::optional<CRgb> colour = EstimateScreenColour(
      top.m_pixels.get(), top.m_width, top.m_height, int64_t{top.m_width} * 3, false);
  if (!colour) {
    SetStatus("No screen colour found in the top layer: pick it with a click on the top preview");
    return 0;
  }
  SetControlText(kRedId, QString::number(colour->m_red));
  SetControlText(kGreenId, QString::number(colour->m_green));
  SetControlText(kBlueId, QString::number(colour->m_blue));
  SetStatus(QStringLiteral("Screen colour of the top layer: %1,%2,%3")
                .arg(colour->m_red)
                .arg(colour->m_green)
                .arg(colour->m_blue)
                .toStdString());
  return 0;
}

}  // namespace corvane
