#include "app/compressiondialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "app/dialogunits.h"
#include "app/storedsettings.h"
#include "media/avidefs.h"

namespace corvane {
namespace {

constexpr int kDefaultQuality = 75;  // percent
constexpr int kDefaultKeyFrameEvery = 15;
constexpr int kDefaultDataRateKb = 300;
constexpr uint32_t kDefaultQualityValue = 0xFFFFFFFFu;

}  // namespace

CCompressionDialog::CCompressionDialog(QWidget* owner, const AVICOMPRESSOPTIONS& initial,
                                       const CContainerInfo& container)
    : QDialog(owner) {
  setWindowTitle(QStringLiteral("Video Compression"));
  setFont(DialogFont());
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  m_compressors = new QComboBox(this);
  m_compressors->setObjectName(QStringLiteral("compressors"));
  for (const CCompressorInfo& info : CompressorCatalogue()) {
    if (!CompressorFits(info, container)) continue;
    m_offered.push_back(&info);
    m_compressors->addItem(QString::fromStdString(info.m_displayName));
  }
  auto* compressorLabel = new QLabel(QStringLiteral("&Compressor:"), this);
  compressorLabel->setBuddy(m_compressors);

  m_quality = new QSlider(Qt::Horizontal, this);
  m_quality->setObjectName(QStringLiteral("quality"));
  m_quality->setRange(0, 100);
  m_quality->setPageStep(10);
  m_quality->setTickPosition(QSlider::TicksBelow);
  m_quality->setTickInterval(10);
  m_qualityLabel = new QLabel(QStringLiteral("Compression &Quality:"), this);
  m_qualityLabel->setBuddy(m_quality);
  m_qualityValue = new QLabel(this);
  m_qualityValue->setMinimumWidth(m_qualityValue->fontMetrics().horizontalAdvance("100") + 4);

  m_keyFrames = new QCheckBox(QStringLiteral("&Key frame every"), this);
  m_keyFrameEvery = new QSpinBox(this);
  m_keyFrameEvery->setRange(1, 100000);
  m_framesLabel = new QLabel(QStringLiteral("frames"), this);

  m_dataRate = new QCheckBox(QStringLiteral("&Data rate"), this);
  m_dataRateKb = new QSpinBox(this);
  m_dataRateKb->setRange(1, 4000000);
  m_rateLabel = new QLabel(QStringLiteral("KB/sec"), this);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* grid = new QGridLayout;
  grid->addWidget(compressorLabel, 0, 0);
  grid->addWidget(m_compressors, 0, 1, 1, 3);
  grid->addWidget(m_qualityLabel, 1, 0);
  grid->addWidget(m_quality, 1, 1, 1, 2);
  grid->addWidget(m_qualityValue, 1, 3);
  grid->addWidget(m_keyFrames, 2, 0);
  grid->addWidget(m_keyFrameEvery, 2, 1);
  grid->addWidget(m_framesLabel, 2, 2, 1, 2);
  grid->addWidget(m_dataRate, 3, 0);
  grid->addWidget(m_dataRateKb, 3, 1);
  grid->addWidget(m_rateLabel, 3, 2, 1, 2);
  grid->setColumnStretch(2, 1);
  // A number box refuses a digit that would take it past its range, which would otherwise leave
  // 20000 of a 200000 typed without a word: the hint says what the box takes until it changes.
  m_hint = new QLabel(this);
  m_hint->setObjectName(QStringLiteral("hint"));
  m_hint->setStyleSheet(QStringLiteral("color: #b00000"));
  m_hint->hide();
  const auto refusals = [this](QSpinBox* box, const QString& takes) {
    if (auto* edit = box->findChild<QLineEdit*>()) {
      connect(edit, &QLineEdit::inputRejected, this, [this, takes] {
        m_hint->setText(takes);
        m_hint->show();
      });
    }
    connect(box, &QSpinBox::valueChanged, m_hint, &QWidget::hide);
  };
  refusals(m_keyFrameEvery, QStringLiteral("A key frame every 1 to 100000 frames"));
  refusals(m_dataRateKb, QStringLiteral("A data rate of 1 to 4000000 KB/sec"));

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(m_hint);
  layout->addWidget(buttons);

  // The starting choice.
  int index = 0;
  int quality = kDefaultQuality;
  int keyFrameEvery = kDefaultKeyFrameEvery;
  int dataRateKb = kDefaultDataRateKb;
  bool keyFrames = true;
  bool dataRate = false;
  // An AVI starts from the catalogue's first, as always; the others from their default.
  const CCompressorInfo* standard = container.m_kind == EContainer::kAvi
                                        ? nullptr
                                        : FindCompressor(std::string(container.m_defaultCodec));
  const auto place = [this](const CCompressorInfo* wanted) {
    const auto at = std::find(m_offered.begin(), m_offered.end(), wanted);
    return at == m_offered.end() ? -1 : static_cast<int>(at - m_offered.begin());
  };
  if (standard && place(standard) >= 0) index = place(standard);
  if (initial.dwFlags & AVICOMPRESSF_VALID) {
    const CCompressorInfo* known = FindCompressor(initial.fccHandler);
    if (known && place(known) >= 0) index = place(known);
    if (initial.dwQuality <= 10000) quality = static_cast<int>((initial.dwQuality + 50) / 100);
    keyFrames = (initial.dwFlags & AVICOMPRESSF_KEYFRAMES) != 0;
    if (initial.dwKeyFrameEvery > 0)
      keyFrameEvery = static_cast<int>(std::min<uint32_t>(initial.dwKeyFrameEvery, 100000));
    dataRate = (initial.dwFlags & AVICOMPRESSF_DATARATE) != 0;
    if (initial.dwBytesPerSecond > 0)
      dataRateKb = static_cast<int>(std::max<uint32_t>(1, initial.dwBytesPerSecond / 1024));
  }
  m_compressors->setCurrentIndex(index);
  m_quality->setValue(quality);
  m_keyFrames->setChecked(keyFrames);
  m_keyFrameEvery->setValue(keyFrameEvery);
  m_dataRate->setChecked(dataRate);
  m_dataRateKb->setValue(dataRateKb);

  connect(m_compressors, &QComboBox::currentIndexChanged, this, [this] { UpdateControls(); });
  connect(m_keyFrames, &QCheckBox::toggled, this, [this] { UpdateControls(); });
  connect(m_dataRate, &QCheckBox::toggled, this, [this] { UpdateControls(); });
  connect(m_quality, &QSlider::valueChanged, this,
          [this](int value) { m_qualityValue->setText(QString::number(value)); });
  m_qualityValue->setText(QString::number(m_quality->value()));
  UpdateControls();
  m_compressors->setFocus(Qt::OtherFocusReason);
}

QString CCompressionDialog::HintText() const {
  return m_hint->isHidden() ? QString() : m_hint->text();
}

const CCompressorInfo* CCompressionDialog::Selected() const {
  const int index = m_compressors->currentIndex();
  if (index < 0 || index >= static_cast<int>(m_offered.size())) return nullptr;
  return m_offered[static_cast<size_t>(index)];
}

void CCompressionDialog::UpdateControls() {
  const CCompressorInfo* info = Selected();
  const bool keyFrames = info && info->m_honoursKeyFrames;
  const bool dataRate = info && info->m_honoursDataRate;
  // A data rate, where it applies, takes the place of a fixed quality.
  const bool rateRules = dataRate && m_dataRate->isChecked();
  const bool quality = info && info->m_honoursQuality && !rateRules;
  m_qualityLabel->setEnabled(quality);
  m_quality->setEnabled(quality);
  m_qualityValue->setEnabled(quality);
  m_keyFrames->setEnabled(keyFrames);
  m_keyFrameEvery->setEnabled(keyFrames && m_keyFrames->isChecked());
  m_framesLabel->setEnabled(keyFrames);
  m_dataRate->setEnabled(dataRate);
  m_dataRateKb->setEnabled(rateRules);
  m_rateLabel->setEnabled(dataRate);
}

AVICOMPRESSOPTIONS CCompressionDialog::Options() const {
  AVICOMPRESSOPTIONS options{};
  const CCompressorInfo* info = Selected();
  options.fccType = streamtypeVIDEO;
  options.fccHandler = info ? info->m_fourCC : 0;
  options.dwQuality = m_quality->isEnabled() ? static_cast<uint32_t>(m_quality->value()) * 100u
                                             : kDefaultQualityValue;
  options.dwFlags = AVICOMPRESSF_VALID;
  if (m_keyFrameEvery->isEnabled()) {
    options.dwKeyFrameEvery = static_cast<uint32_t>(m_keyFrameEvery->value());
    options.dwFlags |= AVICOMPRESSF_KEYFRAMES;
  }
  if (m_dataRateKb->isEnabled()) {
    options.dwBytesPerSecond = static_cast<uint32_t>(m_dataRateKb->value()) * 1024u;
    options.dwFlags |= AVICOMPRESSF_DATARATE;
  }
  return options;
}

bool RunCompressionDialog(QWidget* owner, AVICOMPRESSOPTIONS& options,
                          const CContainerInfo& container) {
  // The last choice made for each container is where its next dialog starts, also in the next
  // run when the program remembers settings.
  static std::map<EContainer, AVICOMPRESSOPTIONS> s_last;
  AVICOMPRESSOPTIONS initial = options;
  if (const auto last = s_last.find(container.m_kind); last != s_last.end()) {
    initial = last->second;
  } else if (const auto stored = StoredCompression(container.m_kind)) {
    initial = *stored;
  }
  CCompressionDialog dialog(owner, initial, container);
  if (dialog.exec() != QDialog::Accepted) return false;
  options = dialog.Options();
  s_last[container.m_kind] = options;
  StoreCompression(container.m_kind, options);
  return true;
}

}  // namespace corvane
