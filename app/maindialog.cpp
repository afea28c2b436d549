#include "app/maindialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QThread>
#include <iterator>

#include "app/aboutdialog.h"
#include "app/appicon.h"
#include "app/compositewindow.h"
#include "app/compressiondialog.h"
#include "app/dialogunits.h"
#include "app/fileselect.h"
#include "app/mixcontrol.h"
#include "app/openprogress.h"
#include "app/placementdialog.h"
#include "app/qthost.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

namespace corvane {
namespace {

enum class EKind { kStatic, kEdit, kCheckBox, kPreview, kComboBox, kSlider, kButton };

// One control of the dialog's template: id (0 for a plain label), kind, text, place in dialog
// units and whether it belongs to the screen keyer (shown only while that keyer is chosen).
struct CTemplateItem {
  int m_id;
  EKind m_kind;
  const char* m_text;
  int m_x, m_y, m_width, m_height;
  bool m_screen = false;
};

// In template order, which is also the Tab order.
constexpr CTemplateItem kTemplate[] = {
    {0, EKind::kStatic, "&Transparency", 7, 7, 46, 8},
    {0, EKind::kStatic, "r", 57, 7, 8, 8},
    {kRedId, EKind::kEdit, "", 65, 7, 16, 12},
    {0, EKind::kStatic, "g", 87, 7, 8, 8},
    {kGreenId, EKind::kEdit, "", 95, 7, 16, 12},
    {0, EKind::kStatic, "b", 113, 7, 8, 8},
    {kBlueId, EKind::kEdit, "", 121, 7, 16, 12},
    {0, EKind::kStatic, "left", 142, 7, 12, 11},
    // Wide enough for a negative offset of four digits.
    {kLeftId, EKind::kEdit, "", 157, 7, 22, 12},
    {0, EKind::kStatic, "top", 183, 7, 12, 11},
    {kTopId, EKind::kEdit, "", 196, 7, 22, 12},
    {0, EKind::kStatic, "&Alpha", 7, 27, 24, 8},
    {kAlphaId, EKind::kEdit, "", 65, 26, 32, 12},
    {0, EKind::kStatic, "(0-255)", 99, 26, 24, 10},
    {kUseTransparencyId, EKind::kCheckBox, "&Use transparency", 156, 25, 70, 10},
    {kLoopTopLayerId, EKind::kCheckBox, "&Loop top layer", 155, 36, 80, 10},
    {kUseLayerAlphaId, EKind::kCheckBox, "Use la&yer alpha", 240, 25, 80, 10},
    {0, EKind::kStatic, "&Key", 240, 8, 16, 8},
    {kKeyerId, EKind::kComboBox, "Exact|Screen|None", 258, 6, 52, 13},
    // Under the settings: why a field cannot be mixed as it reads, and the placement in force.
    {kFieldHintId, EKind::kStatic, "", 7, 47, 133, 10},
    {kPlacementLineId, EKind::kStatic, "", 142, 47, 188, 10},
    // The screen keyer's rows take the place of what follows, which moves down by kScreenRoom.
    {0, EKind::kStatic, "Tol&erance", 7, 61, 40, 8, true},
    {kToleranceId, EKind::kSlider, "", 65, 59, 90, 12, true},
    {kToleranceValueId, EKind::kStatic, "", 158, 61, 14, 8, true},
    {kToleranceAutoId, EKind::kCheckBox, "Auto", 175, 60, 30, 10, true},
    {0, EKind::kStatic, "&Softness", 7, 75, 40, 8, true},
    {kSoftnessId, EKind::kSlider, "", 65, 73, 90, 12, true},
    {kSoftnessValueId, EKind::kStatic, "", 158, 75, 14, 8, true},
    {kSoftnessAutoId, EKind::kCheckBox, "Auto", 175, 74, 30, 10, true},
    {0, EKind::kStatic, "&Despill", 214, 61, 26, 8, true},
    {kDespillId, EKind::kSlider, "", 242, 59, 60, 12, true},
    {kDespillValueId, EKind::kStatic, "", 305, 61, 15, 8, true},
    {kAutoColourId, EKind::kButton, "Auto &colour", 242, 72, 60, 14, true},
    {0, EKind::kStatic, "&Main", 7, 58, 26, 8},
    {kProbeLineId, EKind::kStatic, "", 65, 58, 194, 10},
    {kMainPreviewId, EKind::kPreview, "", 7, 70, 128, 64},
    {kTopLayerLabelId, EKind::kStatic, "&Top Layer", 7, 144, 40, 10},
    {kStatusId, EKind::kStatic, "", 7, 133, 194, 10},
    {kTopPreviewId, EKind::kPreview, "", 7, 154, 128, 64},
};
constexpr int kTemplateWidth = 334;
constexpr int kTemplateHeight = 236;
constexpr int kScreenTop = 58;   // the first row of the screen keyer's controls
constexpr int kScreenRoom = 30;  // the height of its rows

struct CMenuItem {
  int m_command;  // 0: separator
  const char* m_text;
};
constexpr CMenuItem kFileMenu[] = {
    {kOpenMainCommand, "&Open main AVI..."},
    {kOpenTopCommand, "&Open top AVI..."},
    {kAddLayerCommand, "&Add layer..."},
    {0, nullptr},
    {kOpenRecipeCommand, "Open &recipe..."},
    {kSaveRecipeCommand, "Sa&ve recipe..."},
    {0, nullptr},
    {kMixCommand, "&Mix..."},
    {kAlphaMixCommand, "Apha mix..."},
    {kStopCommand, "&Stop"},
    {0, nullptr},
    {kExitCommand, "E&xit"},
};
constexpr CMenuItem kViewMenu[] = {{kPreviewMixCommand, "&Preview mix..."},
                                   {kPlacementCommand, "Placement and &timing..."}};
constexpr CMenuItem kHelpMenu[] = {{kAboutCommand, "&About..."}};

bool TakesFocus(EKind kind) {
  return kind != EKind::kStatic && kind != EKind::kPreview;
}

}  // namespace

CMainDialog::CMainDialog()
    : m_host(std::make_unique<CQtHost>()), m_worker(std::make_unique<CMixWorker>()) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("Corvane"));
  setFont(DialogFont());
  m_menuBar = new QMenuBar(this);
  m_client = new QWidget(this);
  CreateControls();
  CreateLayerPanel();
  CreateMenu();
  const CDialogUnits units(font());
  resize(units.X(kTemplateWidth), units.Y(kTemplateHeight));
  OnInitDialog();
}

CMainDialog::~CMainDialog() {
  // The fields' focus watcher calls back into this dialog: not while its children go.
  for (QLineEdit* edit : m_client->findChildren<QLineEdit*>())
    edit->removeEventFilter(m_fieldFilter);
  // The worker talks to the user through this dialog's host and menu: it ends first.
  m_worker.reset();
  StoreSettings();
  if (MixOwner() == this) SetMixOwner(nullptr);
  SetProbeLine(nullptr);
}

void CMainDialog::CreateControls() {
  const CDialogUnits units(font());
  std::vector<std::pair<QLabel*, size_t>> mnemonics;
  std::vector<QWidget*> items;
  for (size_t index = 0; index < std::size(kTemplate); ++index) {
    const CTemplateItem& item = kTemplate[index];
    const QString text = QString::fromLatin1(item.m_text);
    QWidget* control = nullptr;
    switch (item.m_kind) {
      case EKind::kStatic: {
        auto* label = new QLabel(text, m_client);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        if (text.contains(QLatin1Char('&'))) mnemonics.emplace_back(label, index);
        control = label;
        break;
      }
      case EKind::kEdit:
        control = new QLineEdit(m_client);
        break;
      case EKind::kCheckBox:
        control = new QCheckBox(text, m_client);
        break;
      case EKind::kPreview:
        control = new CPreviewControl(m_client);
        break;
      case EKind::kComboBox: {
        auto* combo = new QComboBox(m_client);
        combo->addItems(text.split(QLatin1Char('|')));
        control = combo;
        break;
      }
      case EKind::kSlider:
        control = new QSlider(Qt::Horizontal, m_client);
        break;
      case EKind::kButton:
        control = new QPushButton(text, m_client);
        break;
    }
    control->setGeometry(units.Rect(item.m_x, item.m_y, item.m_width, item.m_height));
    if (item.m_id != 0) {
      control->setObjectName(QStringLiteral("control%1").arg(item.m_id));
      m_controls.insert(item.m_id, control);
    }
    if (item.m_screen) {
      m_screenControls.push_back(control);
      control->hide();
    } else if (item.m_y >= kScreenTop) {
      m_belowKeyer.push_back(control);
    }
    items.push_back(control);
  }
  // A label's mnemonic moves the focus to the next control that takes it, in template order,
  // wrapping around at the end.
  for (const auto& [label, index] : mnemonics) {
    for (size_t step = 1; step <= std::size(kTemplate); ++step) {
      const size_t next = (index + step) % std::size(kTemplate);
      if (TakesFocus(kTemplate[next].m_kind)) {
        label->setBuddy(items[next]);
        break;
      }
    }
  }
  m_screenRoom = units.Y(kScreenRoom);
  QWidget* previous = nullptr;
  for (size_t index = 0; index < std::size(kTemplate); ++index) {
    if (!TakesFocus(kTemplate[index].m_kind)) continue;
    if (previous) setTabOrder(previous, items[index]);
    previous = items[index];
  }
}

void CMainDialog::CreateMenu() {
  const auto fill = [this](QMenu* menu, const auto& entries) {
    for (const CMenuItem& entry : entries) {
      if (entry.m_command == 0) {
        menu->addSeparator();
        continue;
      }
      QAction* action = menu->addAction(QString::fromLatin1(entry.m_text));
      action->setData(entry.m_command);
      const int command = entry.m_command;
      connect(action, &QAction::triggered, this, [this, command] { OnCommand(command); });
      m_commands.insert(command, action);
    }
  };
  fill(m_menuBar->addMenu(QStringLiteral("&File")), kFileMenu);
  fill(m_menuBar->addMenu(QStringLiteral("&View")), kViewMenu);
  fill(m_menuBar->addMenu(QStringLiteral("&Help")), kHelpMenu);
  m_commands.value(kOpenMainCommand)->setShortcut(QKeySequence::Open);
  m_commands.value(kPreviewMixCommand)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  // Esc stops a running mix as "Stop" does; with no mix running it does nothing.
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(stop, &QShortcut::activated, this, [this] {
    if (QAction* command = MenuCommand(kStopCommand); command && command->isEnabled()) OnStop();
  });
}

void CMainDialog::OnInitDialog() {
  // Centred on the work area of the screen.
  if (const QScreen* screen = this->screen()) {
    QRect placed(QPoint(0, 0), size());
    placed.moveCenter(screen->availableGeometry().center());
    move(placed.topLeft());
  }
  setWindowIcon(AppIcon());
  m_host->SetOwner(this);

  auto* mainPreview = static_cast<CPreviewControl*>(Control(kMainPreviewId));
  auto* topPreview = static_cast<CPreviewControl*>(Control(kTopPreviewId));
  mainPreview->SetProcedure(MainPreviewProc);
  topPreview->SetProcedure(TopPreviewProc);
  connect(mainPreview, &CPreviewControl::clicked, this, [this] { OnMainPreviewClicked(); });
  connect(topPreview, &CPreviewControl::clicked, this, [this] { OnTopPreviewClicked(); });
  SetProbeLine(static_cast<QLabel*>(Control(kProbeLineId)));
  m_host->SetStatusControl(static_cast<QLabel*>(Control(kStatusId)));
  SetMixOwner(this);
  m_host->m_chooseCompression = [this](AVICOMPRESSOPTIONS& options) {
    return RunCompressionDialog(this, options, OutputContainer(MixOutputPath()));
  };
  m_host->m_statusShown = [this](const QString& text) { ShowProgress(text); };

  for (const int id : {kRedId, kGreenId, kBlueId, kLeftId, kTopId})
    SetControlText(id, QStringLiteral("0"));
  SetControlText(kAlphaId, QStringLiteral("128"));
  if (auto* check = qobject_cast<QCheckBox*>(Control(kUseTransparencyId))) check->setChecked(true);
  // Only a top layer with an alpha channel has any to use.
  if (QWidget* layerAlpha = Control(kUseLayerAlphaId)) layerAlpha->setEnabled(false);

  EnableMenuCommand(kStopCommand, false);
  // The progress bar stands beside the status text while "Stop" is available, i.e. while a
  // mix runs.
  m_progress = new QProgressBar(m_client);
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 1);
  m_progress->setValue(0);
  m_progress->hide();
  QAction* stop = MenuCommand(kStopCommand);
  connect(stop, &QAction::changed, this, [this, stop] {
    // The layers stay as they are while a mix reads them.
    m_layerPanel->setEnabled(!stop->isEnabled());
    if (stop->isEnabled() == m_progress->isVisible()) return;
    if (stop->isEnabled()) {
      m_progressTotal = 0;
      m_progress->setRange(0, 1);
      m_progress->setValue(0);
    }
    PlaceProgressBar();
  });
  SetUpKeyerControls();
  InstallFieldRules();
  RestoreSettings();
  ShowPlacement();
  ShowFieldHints();
  setAcceptDrops(true);
  UpdateTitle();
  // The first control takes the focus, its text selected so that typing replaces it.
  Control(kRedId)->setFocus(Qt::OtherFocusReason);
  if (auto* first = qobject_cast<QLineEdit*>(Control(kRedId))) first->selectAll();
}

QString CMainDialog::ControlText(int id) const {
  QWidget* control = Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* check = qobject_cast<QCheckBox*>(control)) return check->text();
  if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentText();
  return QString();
}

void CMainDialog::SetControlText(int id, const QString& text) {
  QWidget* control = Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
    // Shows the start of the text, as a freshly set edit does.
    edit->setCursorPosition(0);
  } else if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
  } else if (auto* check = qobject_cast<QCheckBox*>(control)) {
    check->setText(text);
  }
}

bool CMainDialog::IsChecked(int id) const {
  const auto* check = qobject_cast<QCheckBox*>(Control(id));
  return check && check->isChecked();
}

void CMainDialog::EnableMenuCommand(int id, bool enabled) {
  QAction* action = MenuCommand(id);
  if (!action) return;
  const uint64_t sequence = ++m_menuSequence;
  if (QThread::currentThread() == thread()) {
    ApplyMenuState(action, enabled, sequence);
    return;
  }
  QMetaObject::invokeMethod(
      action, [this, action, enabled, sequence] { ApplyMenuState(action, enabled, sequence); },
      Qt::QueuedConnection);
}

void CMainDialog::ApplyMenuState(QAction* action, bool enabled, uint64_t sequence) {
  uint64_t& applied = m_menuShown[action];
  if (sequence < applied) return;
  applied = sequence;
  action->setEnabled(enabled);
}

void CMainDialog::ShowProgress(const QString& status) {
  static const QRegularExpression frameText(QStringLiteral("^Processing frame (\\d+)\\\\(\\d+)$"));
  const QRegularExpressionMatch match = frameText.match(status);
  if (!match.hasMatch()) return;
  const int frame = match.captured(1).toInt();
  const int total = match.captured(2).toInt();
  if (total <= 0) return;
  if (total != m_progressTotal) {
    m_progressTotal = total;
    m_progress->setRange(0, total);
    PlaceProgressBar();
  }
  // The frame being worked on is not done yet.
  m_progress->setValue(std::clamp(frame - 1, 0, total));
}

void CMainDialog::PlaceProgressBar() {
  QWidget* status = Control(kStatusId);
  QAction* stop = MenuCommand(kStopCommand);
  if (!m_progress || !status || !stop) return;
  // Right of the longest progress text, inside both the status control and the window.
  const QString widest =
      QStringLiteral("Processing frame %1\\%1").arg(std::max(m_progressTotal, 9999));
  const int textRight = status->x() + status->fontMetrics().horizontalAdvance(widest) + 8;
  const int right = std::min(status->geometry().right() + 1, m_client->width() - status->x());
  const int width = std::min(160, right - textRight);
  if (!stop->isEnabled() || width < 32) {
    m_progress->hide();
    return;
  }
  m_progress->setGeometry(right - width, status->y(), width, status->height());
  m_progress->raise();
  m_progress->show();
}

void CMainDialog::OnCommand(int id) {
  switch (id) {
    case kAboutCommand:
      OnAbout();
      break;
    case kExitCommand:
      OnExit();
      break;
    case kOpenMainCommand:
      OnOpenMain();
      break;
    case kOpenTopCommand:
      OnOpenTop();
      break;
    case kMixCommand:
      OnMix();
      break;
    case kAlphaMixCommand:
      OnAlphaMix();
      break;
    case kStopCommand:
      OnStop();
      break;
    case kPreviewMixCommand:
      OnPreviewMix();
      break;
    case kPlacementCommand:
      OnPlacement();
      break;
    case kAddLayerCommand:
      OnAddLayer();
      break;
    case kOpenRecipeCommand:
      OnOpenRecipe();
      break;
    case kSaveRecipeCommand:
      OnSaveRecipe();
      break;
    default:
      break;
  }
}

int CMainDialog::OnAbout() {
  QWidget* parent = QApplication::activeWindow();
  CAboutDialog about(parent ? parent : this);
  about.exec();
  return 0;
}

void CMainDialog::DestroyWindow() {
  StoreSettings();
  if (m_composite) m_composite->hide();
  m_destroyed = true;
  hide();
}

int CMainDialog::OnMove() {
  CMixEngine& engine = MixEngine();
  auto* mainPreview = static_cast<CPreviewControl*>(Control(kMainPreviewId));
  auto* topPreview = static_cast<CPreviewControl*>(Control(kTopPreviewId));
  if (mainPreview) {
    PaintMainPreview(engine, *mainPreview, 0, engine.m_mainPicture, engine.m_mainPicture.m_width,
                     engine.m_mainPicture.m_height);
  }
  if (topPreview) PaintTopPreview(engine, *topPreview, 0, engine.m_topPicture);
  UpdateLayerBoxes();
  return 0;
}

int CMainDialog::OnMainPreviewClicked() {
  const CPreviewPicture& picture = MixEngine().m_mainPicture;
  // A click places the layer where it is: a corner preset gives way to that point.
  CMixEngine& engine = MixEngine();
  if (engine.m_placement.m_corner != ECorner::kCustom) {
    engine.m_placement.m_corner = ECorner::kCustom;
    ShowPlacement();
    StoreSettings();
    SettingsEdited();
    // The box stands at the click (the lock holds it there), at the layer's mixed size.
    if (auto* preview = static_cast<CPreviewControl*>(Control(kMainPreviewId))) {
      const CLayerPlan plan = engine.PlacementPlan();
      PaintMainPreview(engine, *preview, 0, engine.m_mainPicture, plan.m_width, plan.m_height);
    }
  }
  SetControlText(kTopId, QString::number(picture.m_probeY));
  SetControlText(kLeftId, QString::number(picture.m_probeX));
  return 0;
}

int CMainDialog::OnTopPreviewClicked() {
  const CPreviewPicture& picture = MixEngine().m_topPicture;
  SetControlText(kRedId, QString::number(picture.m_probeRed));
  SetControlText(kGreenId, QString::number(picture.m_probeGreen));
  SetControlText(kBlueId, QString::number(picture.m_probeBlue));
  return 0;
}

void CMainDialog::OpenSource(bool main) {
  const std::optional<std::string> name =
      SelectFile(this, SourceFilter(), QString::fromLatin1(kOpenTitle), EFileKind::kOpen);
  OpenSourcePath(main, name.value_or(std::string()));
}

void CMainDialog::OpenSourcePath(bool main, const std::string& path) {
  CMixEngine& engine = MixEngine();
  // The top layer opened is the first row's.
  if (!main && !path.empty()) SelectLayer(0);
  if (!path.empty()) {
    CPreviewPicture loaded;
    if (LoadPreviewOffUiThread(*this, *m_host, path, loaded, !main)) {
      (main ? engine.m_mainPicture : engine.m_topPicture).TakeFrom(loaded);
      engine.SourcesChanged();
      if (m_composite) m_composite->SourcesChanged();
      if (!main) TopLayerReplaced();
      if (!main) TopLayerOpened();
    }
  }
  LayoutPreviews();
  // The box follows the mouse again, whatever was chosen.
  PreviewLock() = 0;
  UpdateTitle();
  // A preset's offset depends on both pictures' sizes.
  ShowPlacement();
}

void CMainDialog::TopLayerOpened() {
  auto* check = qobject_cast<QCheckBox*>(Control(kUseLayerAlphaId));
  if (!check) return;
  const CPreviewPicture& top = MixEngine().m_topPicture;
  check->setEnabled(top.m_hasAlpha);
  // A logo or title with transparency of its own (never an AVI, whose fourth bytes are often
  // padding) is meant to be laid on with it, and with nothing keyed: its alpha already says what
  // shows, and a key would cut its own colours (black letters by the default black key) out.
  if (top.m_hasAlpha && !top.m_isAvi && top.HasTransparency() && !check->isChecked()) {
    check->setChecked(true);
    CKeyerSettings keying = KeyerSettings();
    keying.m_keyer = EKeyer::kNone;
    SetKeyerSettings(keying);
    SetStatus("Transparent top layer: \"Use layer alpha\" is on, Key is None");
  }
}

int CMainDialog::OnOpenMain() {
  OpenSource(true);
  return 0;
}

int CMainDialog::OnOpenTop() {
  OpenSource(false);
  return 0;
}

void CMainDialog::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  OnMove();
}

void CMainDialog::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int menuHeight = m_menuBar->sizeHint().height();
  m_menuBar->setGeometry(0, 0, width(), menuHeight);
  m_client->setGeometry(0, menuHeight, width(), std::max(0, height() - menuHeight));
  PlaceProgressBar();
}

void CMainDialog::closeEvent(QCloseEvent* event) {
  // The window goes only through OnClose, which may keep it.
  event->ignore();
  OnClose();
}

}  // namespace corvane
