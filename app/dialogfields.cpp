// The main dialog's number fields and remembered settings: validators that keep out what is no
// number, the hint line that says what a field cannot take, the text selected on focus, the
// settings kept between runs and the window title that names the sources.
#include <QCheckBox>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QValidator>
#include <cmath>
#include <functional>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/placementdialog.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

// Each number field's form: a minus sign where it takes one, digits, and a decimal point where
// it takes fractions. Typing outside the form is refused (and the hint line says what the field
// takes); a number in the form is always taken whole, also when the mix cannot take its value:
// the hint line then says so, and the mix commands refuse it rather than cut it down.
struct CFieldForm {
  int m_id;
  bool m_minus;
  bool m_fraction;
  double m_minimum, m_maximum;
  const char* m_takes;  // shown when a key press is refused
};
constexpr CFieldForm kForms[] = {
    {kRedId, false, false, 0, 255, "r: a whole number, 0 to 255"},
    {kGreenId, false, false, 0, 255, "g: a whole number, 0 to 255"},
    {kBlueId, false, false, 0, 255, "b: a whole number, 0 to 255"},
    {kLeftId, true, false, -2147483647.0, 2147483647.0, "left: whole pixels, e.g. -20"},
    {kTopId, true, false, -2147483647.0, 2147483647.0, "top: whole pixels, e.g. -20"},
    {kAlphaId, false, true, 0, 255, "alpha: a number, e.g. 127.5"},
};

// Acceptable: the form, with a value the mix takes. Intermediate: the form, with no digit yet
// (it reads as 0, as it always has) or a value out of range. Invalid: anything else.
class CNumberValidator : public QValidator {
 public:
  CNumberValidator(QObject* parent, const CFieldForm& form)
      : QValidator(parent),
        m_form(form),
        m_pattern(QStringLiteral("^%1\\d*%2$")
                      .arg(form.m_minus ? QStringLiteral("-?") : QString(),
                           form.m_fraction ? QStringLiteral("(\\.\\d*)?") : QString())) {}

  State validate(QString& input, int&) const override {
    if (!m_pattern.match(input).hasMatch()) return Invalid;
    bool read = false;
    const double value = input.toDouble(&read);
    if (!read || !std::isfinite(value) || value < m_form.m_minimum || value > m_form.m_maximum)
      return Intermediate;
    return Acceptable;
  }

 private:
  CFieldForm m_form;
  QRegularExpression m_pattern;
};

// Selects a field's whole text when it gets the focus, after the click that gave it, and tells
// the dialog when the field loses it.
class CSelectOnFocus : public QObject {
 public:
  CSelectOnFocus(QObject* parent, std::function<void()> focusLost)
      : QObject(parent), m_focusLost(std::move(focusLost)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn) {
      if (auto* edit = qobject_cast<QLineEdit*>(watched))
        QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
    } else if (event->type() == QEvent::FocusOut && m_focusLost) {
      m_focusLost();
    }
    return false;
  }

 private:
  std::function<void()> m_focusLost;
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
  auto* selectOnFocus = new CSelectOnFocus(this, [this] {
    if (m_refused.isEmpty()) return;
    m_refused.clear();
    ShowFieldHints();
  });
  m_fieldFilter = selectOnFocus;
  for (const CFieldForm& form : kForms) {
    auto* edit = qobject_cast<QLineEdit*>(Control(form.m_id));
    if (!edit) continue;
    edit->setValidator(new CNumberValidator(edit, form));
    edit->installEventFilter(selectOnFocus);
    connect(edit, &QLineEdit::textChanged, this, [this] {
      ShowFieldHints();
      SettingsEdited();
    });
    const QString takes = QString::fromLatin1(form.m_takes);
    connect(edit, &QLineEdit::inputRejected, this, [this, takes] {
      m_refused = takes;
      ShowFieldHints();
    });
  }
  if (QWidget* hint = Control(kFieldHintId)) hint->setStyleSheet(QStringLiteral("color: #b00000"));
  for (const int id : {kUseTransparencyId, kLoopTopLayerId, kUseLayerAlphaId}) {
    if (auto* check = qobject_cast<QCheckBox*>(Control(id)))
      connect(check, &QCheckBox::toggled, this, [this] { SettingsEdited(); });
  }
}

void CMainDialog::ShowFieldHints() {
  for (const CFieldForm& form : kForms) {
    auto* edit = qobject_cast<QLineEdit*>(Control(form.m_id));
    if (!edit) continue;
    const QString problem = ProblemOf(form.m_id);
    if (problem.isEmpty()) {
      // Back to the window's own colours.
      edit->setPalette(QPalette());
    } else {
      QPalette marked = edit->palette();
      marked.setColor(QPalette::Base, QColor(255, 214, 214));
      edit->setPalette(marked);
    }
    // A field under a corner preset keeps the tooltip that says so.
    if (!m_presetShown || (form.m_id != kLeftId && form.m_id != kTopId)) edit->setToolTip(problem);
  }
  SetControlText(kFieldHintId, m_refused.isEmpty() ? FieldProblem(true) : m_refused);
}

void CMainDialog::SettingsEdited() {
  if (m_composite) m_composite->SettingsChanged();
  UpdateLayerBoxes();
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
    StoreValue(QString::fromLatin1(field.m_key), OffsetText(field.m_id));
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
