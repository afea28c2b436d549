// The main dialog's top layers: the list beside the top preview, which row the fields show, and
// the other rows' settings and boxes. With one layer the list stays hidden and the dialog is the
// one-layer dialog it always was.
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <cmath>

#include "app/compositewindow.h"
#include "app/fileselect.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/openprogress.h"
#include "app/qthost.h"
#include "mix/layerunit.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

namespace corvane {
namespace {

constexpr int kListWidth = 190;
constexpr int kButtonWidth = 96;
constexpr int kRowHeight = 26;
constexpr int kGap = 8;

QString RowText(int index, const std::string& path, bool alpha) {
  return QStringLiteral("%1. %2 (%3)")
      .arg(index + 1)
      .arg(QFileInfo(QString::fromStdString(path)).fileName(),
           alpha ? QStringLiteral("alpha") : QStringLiteral("key"));
}

}  // namespace

CLayerRow::CLayerRow() = default;
CLayerRow::CLayerRow(CLayerRow&&) noexcept = default;
CLayerRow& CLayerRow::operator=(CLayerRow&&) noexcept = default;
CLayerRow::~CLayerRow() = default;

CLayerOptions TidyLayerOptions(CLayerOptions options) {
  // The dialog keeps values it does not use (the user's own offset under a preset, the margin
  // of a custom place, levels of an idle screen keyer) for when they are wanted again; a layer
  // written out or mixed leaves them at their defaults, as the command line would.
  const CLayerOptions defaults;
  if (options.m_placement.m_corner != ECorner::kCustom) {
    options.m_left = 0;
    options.m_top = 0;
  } else {
    options.m_placement.m_margin = defaults.m_placement.m_margin;
  }
  if (options.m_keying.m_keyer != EKeyer::kScreen) {
    options.m_keying.m_tolerance = defaults.m_keying.m_tolerance;
    options.m_keying.m_softness = defaults.m_keying.m_softness;
    options.m_keying.m_despill = defaults.m_keying.m_despill;
  }
  if (!options.m_alphaMode) {
    options.m_alpha = defaults.m_alpha;
    options.m_noTransparency = false;
  }
  options.m_given = 0;
  return options;
}

void CMainDialog::CreateLayerPanel() {
  m_layerPanel = new QWidget(m_client);
  m_layerPanel->setObjectName(QStringLiteral("layerPanel"));
  m_layerList = new QListWidget(m_layerPanel);
  m_layerList->setObjectName(QStringLiteral("control%1").arg(kLayerListId));
  m_controls.insert(kLayerListId, m_layerList);
  m_layerList->setTextElideMode(Qt::ElideMiddle);
  m_layerList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const auto button = [this](int id, const char* text) {
    auto* made = new QPushButton(QString::fromLatin1(text), m_layerPanel);
    made->setObjectName(QStringLiteral("control%1").arg(id));
    m_controls.insert(id, made);
    return made;
  };
  QPushButton* add = button(kAddLayerId, "Add layer...");
  QPushButton* remove = button(kRemoveLayerId, "Remove");
  QPushButton* up = button(kLayerUpId, "Move up");
  QPushButton* down = button(kLayerDownId, "Move down");
  m_layerMode = new QComboBox(m_layerPanel);
  m_layerMode->setObjectName(QStringLiteral("control%1").arg(kLayerModeId));
  m_layerMode->addItems({QStringLiteral("Key mix"), QStringLiteral("Alpha mix")});
  m_controls.insert(kLayerModeId, m_layerMode);
  int y = 0;
  for (QWidget* control : std::initializer_list<QWidget*>{add, remove, up, down, m_layerMode}) {
    control->setGeometry(kListWidth + kGap, y, kButtonWidth, kRowHeight - 4);
    y += kRowHeight;
  }
  connect(add, &QPushButton::clicked, this, [this] { OnAddLayer(); });
  connect(remove, &QPushButton::clicked, this, [this] { RemoveLayer(); });
  connect(up, &QPushButton::clicked, this, [this] { MoveLayer(-1); });
  connect(down, &QPushButton::clicked, this, [this] { MoveLayer(1); });
  connect(m_layerList, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) SelectLayer(row);
  });
  connect(m_layerMode, &QComboBox::currentIndexChanged, this, [this](int mode) {
    if (QListWidgetItem* item = m_layerList->item(m_selected))
      item->setText(RowText(m_selected, LayerPath(m_selected), mode == 1));
    SettingsEdited();
  });
  m_layerPanel->hide();
}

void CMainDialog::PlaceLayerPanel() {
  QWidget* top = Control(kTopPreviewId);
  if (!m_layerPanel || !top) return;
  const int height = std::max(top->height(), 5 * kRowHeight);
  m_layerPanel->setGeometry(top->geometry().right() + 1 + kGap, top->y(),
                            kListWidth + kGap + kButtonWidth, height);
  m_layerList->setGeometry(0, 0, kListWidth, height);
}

void CMainDialog::ShowLayerRows() {
  if (m_layers.empty() && !MixEngine().m_topPicture.m_path.empty()) {
    // A top layer opened before the list knew of it (another dialog's) is its first row.
    m_layers.emplace_back();
    m_layers.back().m_path = MixEngine().m_topPicture.m_path;
    m_selected = 0;
  }
  {
    const QSignalBlocker blocker(m_layerList);
    m_layerList->clear();
    for (int index = 0; index < LayerCount(); ++index) {
      const bool alpha = index == m_selected ? m_layerMode->currentIndex() == 1
                                             : m_layers[index].m_options.m_alphaMode;
      m_layerList->addItem(RowText(index, LayerPath(index), alpha));
    }
    m_layerList->setCurrentRow(m_selected);
  }
  Control(kLayerUpId)->setEnabled(m_selected > 0);
  Control(kLayerDownId)->setEnabled(m_selected + 1 < LayerCount());
  const bool several = LayerCount() > 1;
  if (m_layerPanel->isVisible() != several) {
    m_layerPanel->setVisible(several);
    LayoutPreviews();
  }
  UpdateLayerBoxes();
}

std::string CMainDialog::LayerPath(int index) const {
  if (index < 0 || index >= LayerCount()) return {};
  return index == m_selected ? MixEngine().m_topPicture.m_path : m_layers[index].m_path;
}

CLayerOptions CMainDialog::LayerOptions(int index) const {
  if (index == m_selected) return FieldLayerOptions();
  if (index < 0 || index >= LayerCount()) return {};
  return m_layers[index].m_options;
}

CLayerOptions CMainDialog::FieldLayerOptions() const {
  CLayerOptions options;
  options.m_alphaMode = m_layerMode && m_layerMode->currentIndex() == 1;
  options.m_alpha = ReadDecimalText(ControlText(kAlphaId));
  options.m_noTransparency = Control(kUseTransparencyId) && !IsChecked(kUseTransparencyId);
  options.m_red = static_cast<uint8_t>(ReadUnsignedText(ControlText(kRedId)) & 0xFF);
  options.m_green = static_cast<uint8_t>(ReadUnsignedText(ControlText(kGreenId)) & 0xFF);
  options.m_blue = static_cast<uint8_t>(ReadUnsignedText(ControlText(kBlueId)) & 0xFF);
  options.m_keying = KeyerSettings();
  options.m_loop = IsChecked(kLoopTopLayerId);
  options.m_layerAlpha = LayerAlphaOn();
  options.m_left = ReadSignedText(OffsetText(kLeftId));
  options.m_top = ReadSignedText(OffsetText(kTopId));
  options.m_placement = MixEngine().m_placement;
  return options;
}

void CMainDialog::ShowLayerOptions(const CLayerOptions& options) {
  CMixEngine& engine = MixEngine();
  // The row's own offset goes into the fields as the user's, also under a preset.
  engine.m_placement.m_corner = ECorner::kCustom;
  ShowPlacement();
  SetControlText(kLeftId, QString::number(options.m_left));
  SetControlText(kTopId, QString::number(options.m_top));
  engine.m_placement = options.m_placement;
  SetControlText(kRedId, QString::number(options.m_red));
  SetControlText(kGreenId, QString::number(options.m_green));
  SetControlText(kBlueId, QString::number(options.m_blue));
  SetControlText(kAlphaId, QString::fromStdString(NumberText(options.m_alpha)));
  if (auto* check = qobject_cast<QCheckBox*>(Control(kUseTransparencyId)))
    check->setChecked(!options.m_noTransparency);
  if (auto* check = qobject_cast<QCheckBox*>(Control(kLoopTopLayerId)))
    check->setChecked(options.m_loop);
  if (auto* check = qobject_cast<QCheckBox*>(Control(kUseLayerAlphaId))) {
    check->setEnabled(engine.m_topPicture.m_hasAlpha);
    check->setChecked(options.m_layerAlpha);
  }
  SetKeyerSettings(options.m_keying);
  m_layerMode->setCurrentIndex(options.m_alphaMode ? 1 : 0);
  ShowPlacement();
  ShowFieldHints();
  SettingsEdited();
}

void CMainDialog::StashSelectedLayer() {
  if (m_selected < 0 || m_selected >= LayerCount()) return;
  CLayerRow& row = m_layers[m_selected];
  row.m_options = FieldLayerOptions();
  row.m_path = MixEngine().m_topPicture.m_path;
  row.m_picture = std::make_unique<CPreviewPicture>();
  row.m_picture->TakeFrom(MixEngine().m_topPicture);
}

void CMainDialog::ShowSelectedRow(int index) {
  CMixEngine& engine = MixEngine();
  m_selected = index;
  CLayerRow& row = m_layers[index];
  if (row.m_picture) engine.m_topPicture.TakeFrom(*row.m_picture);
  row.m_picture.reset();
  engine.SourcesChanged();
  // The main video is the same: the mix preview stays on its frame, now with these layers.
  if (m_composite) m_composite->SettingsChanged();
  ShowLayerOptions(row.m_options);
  ShowLayerRows();
  LayoutPreviews();
  UpdateTitle();
}

void CMainDialog::SelectLayer(int index) {
  ShowLayerRows();
  // A running mix may be reading the top picture's name.
  if (!OpenAllowed()) return;
  if (index < 0 || index >= LayerCount() || index == m_selected) return;
  StashSelectedLayer();
  ShowSelectedRow(index);
}

bool CMainDialog::AddLayerPath(const std::string& path) {
  if (path.empty() || !OpenAllowed()) return false;
  CPreviewPicture loaded;
  if (!LoadPreviewOffUiThread(*this, *m_host, path, loaded, true)) return false;
  ShowLayerRows();
  StashSelectedLayer();
  CLayerRow row;
  row.m_path = path;
  row.m_picture = std::make_unique<CPreviewPicture>();
  row.m_picture->TakeFrom(loaded);
  m_layers.push_back(std::move(row));
  ShowSelectedRow(LayerCount() - 1);
  TopLayerOpened();
  return true;
}

void CMainDialog::RemoveLayer() {
  ShowLayerRows();
  // The last layer stays: "Open top AVI" replaces it.
  if (LayerCount() < 2 || !OpenAllowed()) return;
  m_layers.erase(m_layers.begin() + m_selected);
  ShowSelectedRow(std::min(m_selected, LayerCount() - 1));
}

void CMainDialog::MoveLayer(int step) {
  const int target = m_selected + step;
  if (target < 0 || target >= LayerCount()) return;
  std::swap(m_layers[m_selected], m_layers[target]);
  m_selected = target;
  ShowLayerRows();
  SettingsEdited();
}

void CMainDialog::TopLayerReplaced() {
  ShowLayerRows();
  if (m_selected < LayerCount()) m_layers[m_selected].m_path = MixEngine().m_topPicture.m_path;
  ShowLayerRows();
}

void CMainDialog::SetLayerMode(bool alpha) {
  if (LayerCount() <= 1) m_layerMode->setCurrentIndex(alpha ? 1 : 0);
}

std::vector<CLayerSpec> CMainDialog::LayerSpecs() const {
  std::vector<CLayerSpec> specs;
  if (LayerCount() < 2) return specs;
  for (int index = 0; index < LayerCount(); ++index)
    specs.push_back(LayerSpecOf(TidyLayerOptions(LayerOptions(index)), LayerPath(index)));
  return specs;
}

CLayerStack CMainDialog::PreviewLayers() const {
  CLayerStack stack;
  const std::vector<CLayerSpec> specs = LayerSpecs();
  for (size_t index = 0; index < specs.size(); ++index) {
    // The selected row's picture is the engine's top picture; the others keep their own.
    const CPreviewPicture* picture =
        int(index) == m_selected ? &MixEngine().m_topPicture : m_layers[index].m_picture.get();
    stack.m_layers.push_back(CPreviewLayer{picture ? picture->m_stream : nullptr, specs[index]});
  }
  stack.m_selected = size_t(std::max(m_selected, 0));
  return stack;
}

void CMainDialog::UpdateLayerBoxes() {
  auto* preview = static_cast<CPreviewControl*>(Control(kMainPreviewId));
  if (!preview) return;
  std::vector<QRect> boxes;
  const CMixEngine& engine = MixEngine();
  for (int index = 0; index < LayerCount() && LayerCount() > 1; ++index) {
    const CLayerRow& row = m_layers[index];
    if (index == m_selected || !row.m_picture) continue;
    CPlanInput input;
    input.m_mainWidth = engine.m_mainPicture.m_width;
    input.m_mainHeight = engine.m_mainPicture.m_height;
    input.m_topWidth = row.m_picture->m_width;
    input.m_topHeight = row.m_picture->m_height;
    input.m_customLeft = row.m_options.m_left;
    input.m_customTop = row.m_options.m_top;
    CPlacement sized = row.m_options.m_placement;
    sized.m_from = sized.m_to = -1.0;
    CLayerPlan plan;
    if (input.m_mainWidth <= 0 || !PlanLayer(sized, input, plan).empty()) continue;
    const double scale = m_previewScale;
    boxes.emplace_back(int(std::lround(plan.m_left * scale)), int(std::lround(plan.m_top * scale)),
                       int(std::lround(plan.m_width * scale)),
                       int(std::lround(plan.m_height * scale)));
  }
  preview->SetOtherBoxes(boxes);
  // Among several boxes the selected layer's stands where it is mixed, not only under the
  // mouse; a box the mouse moves or the lock holds is left to the preview.
  if (LayerCount() < 2 || preview->underMouse() || PreviewLock() == 1) return;
  const CLayerPlan plan =
      engine.PlacementPlan(ReadSignedText(OffsetText(kLeftId)), ReadSignedText(OffsetText(kTopId)));
  const int64_t width = preview->width();
  const int64_t height = preview->height();
  const int64_t left = std::llround(plan.m_left * m_previewScale);
  const int64_t top = std::llround(plan.m_top * m_previewScale);
  const int64_t right =
      std::min<int64_t>(left + std::llround(plan.m_width * m_previewScale), width - 1);
  const int64_t bottom =
      std::min<int64_t>(top + std::llround(plan.m_height * m_previewScale), height - 1);
  if (left < 0 || top < 0 || left >= right || top >= bottom) {
    preview->SetBox(std::nullopt);
    return;
  }
  preview->SetBox(CPlacementBox{int32_t(left), int32_t(top), int32_t(right - left),
                                int32_t(bottom - top), right == width - 1, bottom == height - 1});
}

int CMainDialog::OnAddLayer() {
  if (!OpenAllowed()) return 0;
  const std::optional<std::string> name =
      SelectFile(this, SourceFilter(), QStringLiteral("Add layer"), EFileKind::kOpen);
  if (name) AddLayerPath(*name);
  return 0;
}

}  // namespace corvane
