// Reading the mix settings from the main dialog's edits, check boxes and keyer controls, and
// what in them a mix cannot take.
#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

// The alpha edit is read into a buffer of 32 bytes.
constexpr int kAlphaTextLimit = 31;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The offsets a field may hold: whatever fits a signed 32-bit number either way.
constexpr int64_t kLargestOffset = std::numeric_limits<int32_t>::max();

// Leading blanks, a minus sign where `minus` allows one, then digits: their value, held at
// 2^40 so that a long run of digits stays out of every range instead of wrapping. Nothing
// without a digit.
std::optional<int64_t> LeadingWhole(const QString& text, bool minus) {
  const std::string bytes = text.toStdString();
  size_t at = 0;
  while (at < bytes.size() && IsBlank(bytes[at])) ++at;
  const bool negative = minus && at < bytes.size() && bytes[at] == '-';
  if (negative) ++at;
  if (at == bytes.size() || !IsDigit(bytes[at])) return std::nullopt;
  constexpr int64_t kHeld = int64_t{1} << 40;
  int64_t value = 0;
  for (; at < bytes.size() && IsDigit(bytes[at]); ++at)
    value = std::min(kHeld, value * 10 + (bytes[at] - '0'));
  return negative ? -value : value;
}

// The C locale, whatever the user's: a decimal point is always '.'.
locale_t ClassicLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

uint32_t ReadUnsignedText(const QString& text) {
  const std::string bytes = text.toStdString();
  size_t at = 0;
  while (at < bytes.size() && IsBlank(bytes[at])) ++at;
  if (at == bytes.size() || !IsDigit(bytes[at])) return 0;
  uint64_t value = 0;
  for (; at < bytes.size() && IsDigit(bytes[at]); ++at) {
    value = value * 10 + static_cast<uint64_t>(bytes[at] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return 0;
  }
  return static_cast<uint32_t>(value);
}

int32_t ReadSignedText(const QString& text) {
  const std::optional<int64_t> value = LeadingWhole(text, true);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(*value);
}

double ReadDecimalText(const QString& text) {
  const std::string bytes = text.left(kAlphaTextLimit).toStdString().substr(0, kAlphaTextLimit);
  size_t at = 0;
  while (at < bytes.size() && IsBlank(bytes[at])) ++at;
  const size_t start = at;
  if (at < bytes.size() && (bytes[at] == '+' || bytes[at] == '-')) ++at;
  size_t digits = 0;
  for (; at < bytes.size() && IsDigit(bytes[at]); ++at) ++digits;
  if (at < bytes.size() && bytes[at] == '.') {
    ++at;
    for (; at < bytes.size() && IsDigit(bytes[at]); ++at) ++digits;
  }
  if (digits == 0) return 0.0;
  size_t end = at;
  // An exponent counts only with at least one digit: "1e" reads as 1.
  if (at < bytes.size() && (bytes[at] == 'e' || bytes[at] == 'E')) {
    size_t exponent = at + 1;
    if (exponent < bytes.size() && (bytes[exponent] == '+' || bytes[exponent] == '-')) ++exponent;
    if (exponent < bytes.size() && IsDigit(bytes[exponent])) {
      while (exponent < bytes.size() && IsDigit(bytes[exponent])) ++exponent;
      end = exponent;
    }
  }
  // Only the number's own characters reach the conversion, so no other form can be taken.
  const std::string number = bytes.substr(start, end - start);
  const locale_t classic = ClassicLocale();
  if (classic == static_cast<locale_t>(nullptr)) return std::strtod(number.c_str(), nullptr);
  return strtod_l(number.c_str(), nullptr, classic);
}

CMixRule CMainDialog::PreviewRule(bool alpha) const {
  CMixRule rule;
  rule.m_alpha = alpha;
  rule.m_key =
      PackKeyColour(ReadUnsignedText(ControlText(kRedId)), ReadUnsignedText(ControlText(kGreenId)),
                    ReadUnsignedText(ControlText(kBlueId)));
  rule.m_left = ReadSignedText(OffsetText(kLeftId));
  rule.m_top = ReadSignedText(OffsetText(kTopId));
  rule.m_useTransparency = Control(kUseTransparencyId) ? IsChecked(kUseTransparencyId) : 1;
  rule.m_loop = Control(kLoopTopLayerId) ? IsChecked(kLoopTopLayerId) : 0;
  rule.m_alphaLevel = ReadDecimalText(ControlText(kAlphaId));
  rule.m_layerAlpha = LayerAlphaOn();
  rule.m_keying = KeyerSettings();
  return rule;
}

bool CMainDialog::LayerAlphaOn() const {
  const QWidget* check = Control(kUseLayerAlphaId);
  return check && check->isEnabled() && IsChecked(kUseLayerAlphaId);
}

void CMainDialog::ReadMixSettings() {
  CMixSettings& settings = MixSettings();
  // The engine keeps only the low 8 bits of a key component (300 gives 44): the mix commands
  // refuse such a value first (FieldProblem), so that it never gets here.
  settings.m_red = static_cast<uint8_t>(ReadUnsignedText(ControlText(kRedId)) & 0xFF);
  settings.m_green = static_cast<uint8_t>(ReadUnsignedText(ControlText(kGreenId)) & 0xFF);
  settings.m_blue = static_cast<uint8_t>(ReadUnsignedText(ControlText(kBlueId)) & 0xFF);
  settings.m_left = ReadSignedText(OffsetText(kLeftId));
  settings.m_top = ReadSignedText(OffsetText(kTopId));
  settings.m_useTransparency = 1;
  if (Control(kUseTransparencyId)) settings.m_useTransparency = IsChecked(kUseTransparencyId);
  settings.m_loop = 0;
  if (Control(kLoopTopLayerId)) settings.m_loop = IsChecked(kLoopTopLayerId);
  settings.m_alpha = ReadDecimalText(ControlText(kAlphaId));
  settings.m_layerAlpha = LayerAlphaOn();
  settings.m_keying = KeyerSettings();
  settings.m_placement = MixEngine().m_placement;
  settings.m_layers = LayerSpecs();
}

QString CMainDialog::OffsetText(int id) const {
  if (m_presetShown && (id == kLeftId || id == kTopId))
    return id == kLeftId ? m_customLeft : m_customTop;
  return ControlText(id);
}

QString CMainDialog::ProblemOf(int id) const {
  const QString text = ControlText(id);
  switch (id) {
    case kRedId:
    case kGreenId:
    case kBlueId: {
      if (LeadingWhole(text, false).value_or(0) <= 255) return {};
      const char* name = id == kRedId ? "r" : id == kGreenId ? "g" : "b";
      return QStringLiteral("%1 must be 0 to 255").arg(QLatin1String(name));
    }
    case kLeftId:
    case kTopId: {
      // A preset's offset is the engine's own, not the user's.
      if (m_presetShown || std::llabs(LeadingWhole(text, true).value_or(0)) <= kLargestOffset)
        return {};
      return QStringLiteral("%1 must be within \u00b1%2")
          .arg(id == kLeftId ? QStringLiteral("left") : QStringLiteral("top"))
          .arg(kLargestOffset);
    }
    case kAlphaId: {
      const double alpha = ReadDecimalText(text);
      return alpha >= 0.0 && alpha <= 255.0 ? QString() : QStringLiteral("alpha must be 0 to 255");
    }
    default:
      return {};
  }
}

QString CMainDialog::FieldProblem(bool alpha) const {
  for (const int id : {kRedId, kGreenId, kBlueId, kLeftId, kTopId, kAlphaId}) {
    if (id == kAlphaId && !alpha) break;
    if (QString problem = ProblemOf(id); !problem.isEmpty()) return problem;
  }
  return {};
}

}  // namespace corvane
