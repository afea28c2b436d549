// The main dialog's placement line beside left and top: the position (Custom or a corner preset
// with its margin), the scale and the part of the main video the layer is shown on. Under a
// preset, left and top show the offset the preset gives for the two pictures, worked out by the
// engine's own placement planning, and cannot be edited: the user's own values wait for Custom.
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/placementdialog.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

QString RangeText(const CPlacement& placement) {
  const bool from = placement.m_from >= 0.0;
  const bool to = placement.m_to >= 0.0;
  if (from && to) {
    return QStringLiteral("%1\u2013%2 s").arg(TimeText(placement.m_from), TimeText(placement.m_to));
  }
  if (from) return QStringLiteral("from %1 s").arg(TimeText(placement.m_from));
  if (to) return QStringLiteral("until %1 s").arg(TimeText(placement.m_to));
  return QStringLiteral("every frame");
}

}  // namespace

QString CMainDialog::PlacementSummary() const {
  return m_placementSummary;
}

void CMainDialog::ShowPlacement() {
  auto* left = qobject_cast<QLineEdit*>(Control(kLeftId));
  auto* top = qobject_cast<QLineEdit*>(Control(kTopId));
  auto* line = qobject_cast<QLabel*>(Control(kPlacementLineId));
  if (!left || !top || !line) return;
  const CMixEngine& engine = MixEngine();
  const CPlacement& placement = engine.m_placement;
  const bool preset = placement.m_corner != ECorner::kCustom;
  // The flag changes first: the fields' change handlers ask it which text is the user's.
  if (preset && !m_presetShown) {
    m_customLeft = left->text();
    m_customTop = top->text();
    m_presetShown = true;
  } else if (!preset && m_presetShown) {
    m_presetShown = false;
    SetControlText(kLeftId, m_customLeft);
    SetControlText(kTopId, m_customTop);
  }

  // Both sizes are needed for a preset's offset and a scaled size.
  const bool sized = engine.m_mainPicture.m_width > 0 && engine.m_mainPicture.m_height > 0 &&
                     engine.m_topPicture.m_width > 0 && engine.m_topPicture.m_height > 0;
  std::string error;
  const CLayerPlan plan = sized ? engine.PlacementPlan(ReadSignedText(m_customLeft),
                                                       ReadSignedText(m_customTop), &error)
                                : CLayerPlan{};
  const bool planned = sized && error.empty();

  QStringList parts;
  QString position = PositionName(placement.m_corner);
  if (placement.m_corner != ECorner::kCustom && placement.m_corner != ECorner::kCentre)
    position += QStringLiteral(", margin %1").arg(placement.m_margin);
  parts << position;
  if (placement.m_scale.m_kind == CScale::EKind::kOwnSize) {
    parts << QStringLiteral("own size");
  } else {
    QString scale = QString::fromStdString(ScaleText(placement.m_scale));
    if (planned) scale += QStringLiteral(" = %1\u00d7%2").arg(plan.m_width).arg(plan.m_height);
    parts << scale;
  }
  parts << RangeText(placement);
  if (placement.m_fadeIn > 0.0)
    parts << QStringLiteral("fade in %1 s").arg(TimeText(placement.m_fadeIn));
  if (placement.m_fadeOut > 0.0)
    parts << QStringLiteral("fade out %1 s").arg(TimeText(placement.m_fadeOut));
  m_placementSummary = parts.join(QStringLiteral(" \u00b7 "));
  if (!error.empty()) m_placementSummary += QStringLiteral(": ") + QString::fromStdString(error);
  // The whole text stays in the tooltip when the line is too short for it.
  line->setText(line->fontMetrics().elidedText(m_placementSummary, Qt::ElideRight, line->width()));
  line->setToolTip(m_placementSummary);

  for (QLineEdit* field : {left, top}) {
    field->setEnabled(!preset);
    field->setToolTip(preset
                          ? QStringLiteral("Where the %1 preset puts the top layer; choose Custom "
                                           "under Placement and timing, or click the main "
                                           "preview, to place it by hand")
                                .arg(PositionName(placement.m_corner))
                          : QString());
  }
  if (preset) {
    // The offset the mix will use; without both pictures there is none to show yet.
    SetControlText(kLeftId, planned ? QString::number(plan.m_left) : QString());
    SetControlText(kTopId, planned ? QString::number(plan.m_top) : QString());
  }
  ShowFieldHints();
}

int CMainDialog::OnPreviewMix() {
  if (!m_composite) {
    m_composite = new CCompositeWindow(
        this, [this](bool alpha) { return PreviewRule(alpha); },
        [this](bool alpha) { return FieldProblem(alpha); }, [this] { return PreviewLayers(); });
    m_composite->SetAlphaMode(StoredValue(QStringLiteral("preview/alphaMode")).toBool());
    // Sized to its first picture before it is first shown.
    m_composite->Render();
    m_composite->adjustSize();
  }
  m_composite->show();
  m_composite->raise();
  m_composite->activateWindow();
  return 0;
}

int CMainDialog::OnPlacement() {
  CPlacementDialog dialog(this, MixEngine().m_placement);
  if (dialog.exec() == QDialog::Accepted) SetPlacement(dialog.Placement());
  return 0;
}

void CMainDialog::SetPlacement(const CPlacement& placement) {
  MixEngine().m_placement = placement;
  ShowPlacement();
  StoreSettings();
  OnMove();
  SettingsEdited();
}

}  // namespace corvane
