#include "app/placementdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace corvane {
namespace {

// The positions in the order the list shows them.
constexpr struct {
  ECorner m_corner;
  const char* m_text;
} kPositions[] = {
    {ECorner::kCustom, "Custom (left, top)"}, {ECorner::kTopLeft, "Top left"},
    {ECorner::kTopRight, "Top right"},        {ECorner::kBottomLeft, "Bottom left"},
    {ECorner::kBottomRight, "Bottom right"},  {ECorner::kCentre, "Centre"},
};

}  // namespace

QString TimeText(double seconds) {
  if (seconds < 0.0) return {};
  QString text = QString::number(seconds, 'f', 3);
  // 12.500 reads better as 12.5, 3.000 as 3.
  while (text.endsWith(QLatin1Char('0'))) text.chop(1);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

QString PositionName(ECorner corner) {
  for (const auto& position : kPositions) {
    if (position.m_corner == corner) return QString::fromLatin1(position.m_text);
  }
  return {};
}

CPlacementDialog::CPlacementDialog(QWidget* parent, const CPlacement& placement)
    : QDialog(parent), m_placement(placement) {
  setWindowTitle(QStringLiteral("Placement and timing"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  layout->addLayout(form);
  const auto field = [&](const char* name, const QString& text, const char* label,
                         const char* hint) {
    auto* edit = new QLineEdit(text, this);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(QString::fromLatin1(hint));
    // Wide enough for its hint.
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(edit->placeholderText()) + 16);
    form->addRow(QString::fromLatin1(label), edit);
    return edit;
  };
  m_position = new QComboBox(this);
  m_position->setObjectName(QStringLiteral("position"));
  for (const auto& position : kPositions) {
    m_position->addItem(QString::fromLatin1(position.m_text));
    if (position.m_corner == placement.m_corner)
      m_position->setCurrentIndex(m_position->count() - 1);
  }
  form->addRow(QStringLiteral("&Position"), m_position);
  m_margin = field("margin", QString::number(placement.m_margin), "&Margin (pixels)", "16");
  m_scale = field("scale", QString::fromStdString(ScaleText(placement.m_scale)), "&Scale",
                  "100%, 50%, 200x-1 or 15%w");
  m_from = field("from", TimeText(placement.m_from), "&From", "start (seconds or h:mm:ss.fff)");
  m_to = field("to", TimeText(placement.m_to), "&To", "end (seconds or h:mm:ss.fff)");
  m_fadeIn = field("fadeIn", TimeText(placement.m_fadeIn), "Fade &in (seconds)", "0");
  m_fadeOut = field("fadeOut", TimeText(placement.m_fadeOut), "Fade &out (seconds)", "0");
  m_error = new QLabel(this);
  m_error->setObjectName(QStringLiteral("error"));
  m_error->setStyleSheet(QStringLiteral("color: #b00000"));
  m_error->setWordWrap(true);
  m_error->hide();
  layout->addWidget(m_error);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CPlacementDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CPlacementDialog::reject);
  layout->addWidget(buttons);
  connect(m_position, &QComboBox::currentIndexChanged, this, [this] { UpdateEnabled(); });
  UpdateEnabled();
}

QLineEdit* CPlacementDialog::Field(const char* name) const {
  return findChild<QLineEdit*>(QString::fromLatin1(name));
}

void CPlacementDialog::UpdateEnabled() {
  // The margin counts from a corner's edges only.
  const ECorner corner = kPositions[std::max(0, m_position->currentIndex())].m_corner;
  m_margin->setEnabled(corner != ECorner::kCustom && corner != ECorner::kCentre);
}

bool CPlacementDialog::ReadFields() {
  CPlacement read = m_placement;
  read.m_corner = kPositions[std::max(0, m_position->currentIndex())].m_corner;
  QString error;
  bool marginRead = false;
  const int margin = m_margin->text().trimmed().toInt(&marginRead);
  if (!marginRead || margin < 0 || margin > 100000) {
    error = QStringLiteral("The margin must be 0 to 100000 pixels.");
  } else {
    read.m_margin = margin;
  }
  const QString scale = m_scale->text().trimmed();
  CScale parsed;
  if (error.isEmpty() && !scale.isEmpty() && !ParseScale(scale.toStdString(), parsed)) {
    error = QStringLiteral(
        "The scale must be 50% (of the top layer), 200x-1 (pixels; -1 keeps "
        "the aspect ratio) or 15%w (of the main picture's width).");
  }
  read.m_scale = scale.isEmpty() ? CScale{} : parsed;
  const auto time = [&](QLineEdit* edit, const char* what, double& seconds) {
    const QString text = edit->text().trimmed();
    seconds = -1.0;
    if (!error.isEmpty() || text.isEmpty()) return;
    if (!ParseTime(text.toStdString(), seconds))
      error = QStringLiteral("%1 must be seconds (12.5) or h:mm:ss.fff.").arg(QLatin1String(what));
  };
  time(m_from, "From", read.m_from);
  time(m_to, "To", read.m_to);
  time(m_fadeIn, "Fade in", read.m_fadeIn);
  time(m_fadeOut, "Fade out", read.m_fadeOut);
  read.m_fadeIn = std::max(0.0, read.m_fadeIn);
  read.m_fadeOut = std::max(0.0, read.m_fadeOut);
  if (error.isEmpty() && read.m_from >= 0.0 && read.m_to >= 0.0 && read.m_from >= read.m_to)
    error = QStringLiteral("From must come before To.");
  // The size is checked against the sources when they are known; here only that it is one.
  if (error.isEmpty() && !ScaleIsPositive(read.m_scale))
    error = QStringLiteral("The scale of the top layer must be above zero.");
  m_error->setText(error);
  m_error->setVisible(!error.isEmpty());
  if (!error.isEmpty()) return false;
  m_placement = read;
  return true;
}

QString CPlacementDialog::ErrorText() const {
  return m_error->isHidden() ? QString() : m_error->text();
}

void CPlacementDialog::accept() {
  if (ReadFields()) QDialog::accept();
}

}  // namespace corvane
