// The main dialog's number fields and remembered settings: validators that keep out what a
// field cannot hold, the text selected on focus, the settings kept between runs and the window
// title that names the sources.
#include <QCheckBox>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QValidator>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/placementdialog.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

// Whole numbers up to `maximum` with at most `digits` digits, or with `fraction` decimal numbers
// up to it ("127.5"). An empty field may be typed (it reads as 0, as it always has).
class CNumberValidator : public QValidator {
 public:
  CNumberValidator(QObject* parent, double maximum, int digits, bool fraction)
      : QValidator(parent),
        m_maximum(maximum),
        m_pattern(fraction ? QStringLiteral("^\\d{0,%1}(\\.\\d*)?$").arg(digits)
                           : QStringLiteral("^\\d{0,%1}$").arg(digits)) {}

  State validate(QString& input, int&) const override {
    if (!m_pattern.match(input).hasMatch()) return Invalid;
    if (input.isEmpty() || input == QStringLiteral(".")) return Intermediate;
    bool read = false;
    const double value = input.toDouble(&read);
    if (!read || value > m_maximum) return Invalid;
    return Acceptable;
  }

 private:
  double m_maximum;
  QRegularExpression m_pattern;
};

// Selects a field's whole text when it gets the focus, after the click that gave it.
class CSelectOnFocus : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn) {
      if (auto* edit = qobject_cast<QLineEdit*>(watched))
        QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
    }
    return false;
  }
};

struct CStoredField {
  int m_id;
  const char* m_key;
};
constexpr CStoredField kStoredTexts[] = {
    {kRedId, "mix/red"},   {kGreenId, "mix/green"}, {kBlueId, "mix/blue"},
    {kLeftId, "mix/left"}, {kTopId, "mix/top"},     {kAlphaId, "mix/alpha"},
};
constexpr CStoredField kStoredChecks[] = {
    {kUseTransparencyId, "mix/useTransparency"},
    {kLoopTopLayerId, "mix/loop"},
    {kUseLayerAlphaId, "mix/layerAlpha"},
};

}  // namespace

void CMainDialog::InstallFieldRules() {
  auto* selectOnFocus = new CSelectOnFocus(this);
  const auto rule = [&](int id, double maximum, int digits, bool fraction) {
    auto* edit = qobject_cast<QLineEdit*>(Control(id));
    if (!edit) return;
    edit->setValidator(new CNumberValidator(edit, maximum, digits, fraction));
    edit->installEventFilter(selectOnFocus);
    connect(edit, &QLineEdit::textChanged, this, [this] { SettingsEdited(); });
  };
  for (const int id : {kRedId, kGreenId, kBlueId}) rule(id, 255, 3, false);
  // The offsets read as unsigned 32-bit numbers, as they always have.
  for (const int id : {kLeftId, kTopId}) rule(id, 4294967295.0, 10, false);
  rule(kAlphaId, 255, 3, true);
  for (const int id : {kUseTransparencyId, kLoopTopLayerId, kUseLayerAlphaId}) {
    if (auto* check = qobject_cast<QCheckBox*>(Control(id)))
      connect(check, &QCheckBox::toggled, this, [this] { SettingsEdited(); });
  }
}

void CMainDialog::SettingsEdited() {
  if (m_composite) m_composite->SettingsChanged();
}

void CMainDialog::RestoreSettings() {
  for (const CStoredField& field : kStoredTexts) {
    const QVariant value = StoredValue(QString::fromLatin1(field.m_key));
    auto* edit = qobject_cast<QLineEdit*>(Control(field.m_id));
    if (!edit || !value.isValid()) continue;
    QString text = value.toString();
    int at = 0;
    // A stored text the field would not take (an older version's, an edited file) is dropped.
    if (!edit->validator() || edit->validator()->validate(text, at) == QValidator::Acceptable)
      SetControlText(field.m_id, text);
  }
  for (const CStoredField& field : kStoredChecks) {
    const QVariant value = StoredValue(QString::fromLatin1(field.m_key));
    if (auto* check = qobject_cast<QCheckBox*>(Control(field.m_id)); check && value.isValid())
      check->setChecked(value.toBool());
  }
  // The keyer and its levels as the command line spells them; what does not read keeps its
  // default, and levels that do not go together are taken as automatic.
  CKeyerSettings keying;
  const std::string keyer = StoredValue(QStringLiteral("mix/keyer")).toString().toStdString();
  keying.m_keyer = KeyerNamed(keyer.c_str()).value_or(keying.m_keyer);
  for (const auto& [key, level] : {std::pair{"mix/tolerance", &keying.m_tolerance},
                                   std::pair{"mix/softness", &keying.m_softness},
                                   std::pair{"mix/despill", &keying.m_despill}}) {
    const QString text = StoredValue(QString::fromLatin1(key)).toString();
    bool read = false;
    const int number = text.toInt(&read);
    if (read) {
      *level = number;
    } else if (text == QStringLiteral("auto") && level != &keying.m_despill) {
      *level = kAutoLevel;
    }
  }
  SetKeyerSettings(keying);
  // The placement, each part as its option reads it; a part that does not read keeps its default.
  CPlacement& placement = MixEngine().m_placement;
  const auto text = [](const char* key) {
    return StoredValue(QString::fromLatin1(key)).toString().toStdString();
  };
  ParseCorner(text("placement/position"), placement.m_corner);
  bool read = false;
  const int margin = StoredValue(QStringLiteral("placement/margin")).toInt(&read);
  if (read && margin >= 0 && margin <= 100000) placement.m_margin = margin;
  ParseScale(text("placement/scale"), placement.m_scale);
  for (const auto& [key, seconds] :
       {std::pair{"placement/from", &placement.m_from}, std::pair{"placement/to", &placement.m_to},
        std::pair{"placement/fadeIn", &placement.m_fadeIn},
        std::pair{"placement/fadeOut", &placement.m_fadeOut}}) {
    ParseTime(text(key), *seconds);
  }
  if (placement.m_from >= 0.0 && placement.m_to >= 0.0 && placement.m_from >= placement.m_to)
    placement.m_from = placement.m_to = -1.0;
}

void CMainDialog::StoreSettings() const {
  if (!StoredSettingsEnabled()) return;
  for (const CStoredField& field : kStoredTexts)
    StoreValue(QString::fromLatin1(field.m_key), ControlText(field.m_id));
  for (const CStoredField& field : kStoredChecks) {
    if (Control(field.m_id)) StoreValue(QString::fromLatin1(field.m_key), IsChecked(field.m_id));
  }
  if (m_composite) StoreValue(QStringLiteral("preview/alphaMode"), m_composite->AlphaMode());
  const CKeyerSettings keying = KeyerSettings();
  const auto level = [](int32_t value) {
    return value == kAutoLevel ? QStringLiteral("auto") : QString::number(value);
  };
  StoreValue(QStringLiteral("mix/keyer"), QString::fromLatin1(KeyerName(keying.m_keyer)));
  StoreValue(QStringLiteral("mix/tolerance"), level(keying.m_tolerance));
  StoreValue(QStringLiteral("mix/softness"), level(keying.m_softness));
  StoreValue(QStringLiteral("mix/despill"), keying.m_despill);
  const CPlacement& placement = MixEngine().m_placement;
  StoreValue(QStringLiteral("placement/position"),
             QString::fromStdString(CornerName(placement.m_corner)));
  StoreValue(QStringLiteral("placement/margin"), placement.m_margin);
  StoreValue(QStringLiteral("placement/scale"),
             QString::fromStdString(ScaleText(placement.m_scale)));
  StoreValue(QStringLiteral("placement/from"), TimeText(placement.m_from));
  StoreValue(QStringLiteral("placement/to"), TimeText(placement.m_to));
  StoreValue(QStringLiteral("placement/fadeIn"), TimeText(placement.m_fadeIn));
  StoreValue(QStringLiteral("placement/fadeOut"), TimeText(placement.m_fadeOut));
}

void CMainDialog::UpdateTitle() {
  const CMixEngine& engine = MixEngine();
  const auto name = [](const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).fileName();
  };
  QString sources;
  if (!engine.m_mainPicture.m_path.empty()) sources = name(engine.m_mainPicture.m_path);
  if (!engine.m_topPicture.m_path.empty()) {
    sources += (sources.isEmpty() ? QStringLiteral("(no main video) + ") : QStringLiteral(" + ")) +
               name(engine.m_topPicture.m_path);
  }
  setWindowTitle(sources.isEmpty() ? QStringLiteral("Corvane")
                                   : sources + QStringLiteral(" - Corvane"));
}

}  // namespace corvane
