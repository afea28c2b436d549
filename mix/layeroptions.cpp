#include "mix/layeroptions.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace corvane {
namespace {

const char* const kFlagValue = "true";

// "A,B,..." as exactly `count` integers.
std::optional<std::vector<int64_t>> ParseList(const std::string& text, size_t count) {
  std::vector<int64_t> values;
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    const auto value = ParseOptionInteger(text.substr(from, comma - from));
    if (!value) return std::nullopt;
    values.push_back(*value);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (values.size() != count) return std::nullopt;
  return values;
}

bool FitsInt32(int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() &&
         value <= std::numeric_limits<int32_t>::max();
}

uint32_t GivenBit(std::string_view name) {
  const std::vector<COptionInfo>& table = LayerOptionTable();
  for (size_t i = 0; i < table.size(); ++i) {
    if (name == table[i].m_name) return 1u << i;
  }
  return 0;
}

bool SameScale(const CScale& a, const CScale& b) {
  return a.m_kind == b.m_kind && a.m_percent == b.m_percent && a.m_width == b.m_width &&
         a.m_height == b.m_height;
}

bool SamePlacement(const CPlacement& a, const CPlacement& b) {
  return a.m_corner == b.m_corner && a.m_margin == b.m_margin && SameScale(a.m_scale, b.m_scale) &&
         a.m_from == b.m_from && a.m_to == b.m_to && a.m_fadeIn == b.m_fadeIn &&
         a.m_fadeOut == b.m_fadeOut;
}

// Exact where ScaleText rounds to six digits: the text must give the same scale back.
std::string ExactScaleText(const CScale& scale) {
  switch (scale.m_kind) {
    case CScale::EKind::kPercent:
      return NumberText(scale.m_percent) + "%";
    case CScale::EKind::kMainWidth:
      return NumberText(scale.m_percent) + "%w";
    default:
      return ScaleText(scale);
  }
}

// One option's value into `layer`; `option` is its name with the dashes, for the error texts.
std::string Apply(CLayerOptions& layer, const COptionInfo& info, const std::string& option,
                  const std::string& value) {
  const std::string_view name = info.m_name;
  CPlacement& placement = layer.m_placement;
  if (info.m_value == EOptionValue::kFlag) {
    if (!value.empty() && value != kFlagValue && value != "false")
      return option + " takes no value";
    const bool on = value != "false";
    (name == "loop"          ? layer.m_loop
     : name == "layer-alpha" ? layer.m_layerAlpha
                             : layer.m_noTransparency) = on;
  } else if (name == "mode") {
    if (value != "key" && value != "alpha") return "--mode must be key or alpha";
    layer.m_alphaMode = value == "alpha";
  } else if (name == "key") {
    layer.m_keying.m_autoKey = value == "auto";
    std::vector<int64_t> rgb(3, 0);
    if (!layer.m_keying.m_autoKey) {
      const auto parsed = ParseList(value, 3);
      if (!parsed) return "--key needs R,G,B (three integers) or auto";
      // A typed 300 is a mistake to point out, not a value to wrap round to 44.
      for (const int64_t channel : *parsed) {
        if (channel < 0 || channel > 255) return "--key values must be from 0 to 255";
      }
      rgb = *parsed;
    }
    layer.m_red = static_cast<uint8_t>(rgb[0]);
    layer.m_green = static_cast<uint8_t>(rgb[1]);
    layer.m_blue = static_cast<uint8_t>(rgb[2]);
  } else if (name == "keyer") {
    const std::optional<EKeyer> keyer = KeyerNamed(value.c_str());
    if (!keyer) return "--keyer must be exact, screen or none";
    layer.m_keying.m_keyer = *keyer;
  } else if (name == "tolerance" || name == "softness" || name == "despill") {
    int32_t level = kAutoLevel;
    if (value != "auto" || name == "despill") {
      const auto number = ParseOptionInteger(value);
      if (!number || *number < 0 || *number > 100)
        return option +
               (name == "despill" ? " must be from 0 to 100" : " must be from 0 to 100, or auto");
      level = static_cast<int32_t>(*number);
    }
    (name == "tolerance"  ? layer.m_keying.m_tolerance
     : name == "softness" ? layer.m_keying.m_softness
                          : layer.m_keying.m_despill) = level;
  } else if (name == "alpha") {
    char* end = nullptr;
    const double alpha = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(alpha) || alpha < 0.0 || alpha > 255.0)
      return "--alpha must be a number from 0 to 255";
    layer.m_alpha = alpha;
  } else if (name == "at") {
    const auto at = ParseList(value, 2);
    if (!at || !FitsInt32((*at)[0]) || !FitsInt32((*at)[1]))
      return "--at needs LEFT,TOP (two integers)";
    layer.m_left = static_cast<int32_t>((*at)[0]);
    layer.m_top = static_cast<int32_t>((*at)[1]);
  } else if (name == "corner") {
    ECorner corner = ECorner::kCustom;
    if (!ParseCorner(value, corner) || corner == ECorner::kCustom)
      return "--corner must be tl, tr, bl, br or c";
    placement.m_corner = corner;
  } else if (name == "margin") {
    const auto margin = ParseOptionInteger(value);
    if (!margin || *margin < 0 || *margin > 100000) return "--margin must be 0..100000 pixels";
    placement.m_margin = static_cast<int32_t>(*margin);
  } else if (name == "scale") {
    const char* kForms =
        ": 50% (of the top layer's size), 200x-1 (pixels, -1 keeps the aspect ratio) or 15%w "
        "(of the main picture's width)";
    CScale scale;
    if (!ParseScale(value, scale)) return "--scale " + value + " is not a size" + kForms;
    if (!ScaleIsPositive(scale)) return std::string("--scale must be above zero") + kForms;
    placement.m_scale = scale;
  } else if (name == "from" || name == "to") {
    double seconds = 0.0;
    if (!ParseTime(value, seconds))
      return option + " must be a time: seconds (12.5) or h:mm:ss.fff (0:01:05.5)";
    (name == "from" ? placement.m_from : placement.m_to) = seconds;
  } else {  // fade-in, fade-out
    double seconds = 0.0;
    if (!ParseTime(value, seconds)) return option + " must be a number of seconds from 0";
    (name == "fade-in" ? placement.m_fadeIn : placement.m_fadeOut) = seconds;
  }
  return {};
}

}  // namespace

const std::vector<COptionInfo>& LayerOptionTable() {
  using enum EOptionValue;
  static const std::vector<COptionInfo> kTable = {
      {"mode", kText},
      {"alpha", kNumberOrText},
      {"no-transparency", kFlag},
      {"keyer", kText},
      {"key", kText},
      {"tolerance", kNumberOrText},
      {"softness", kNumberOrText},
      {"despill", kNumberOrText},
      {"layer-alpha", kFlag},
      {"loop", kFlag},
      {"at", kText},
      {"corner", kText},
      {"margin", kNumberOrText},
      {"scale", kText},
      {"from", kNumberOrText},
      {"to", kNumberOrText},
      {"fade-in", kNumberOrText},
      {"fade-out", kNumberOrText},
  };
  static_assert(sizeof(CLayerOptions::m_given) * 8 >= 18, "one given bit per option");
  return kTable;
}

const COptionInfo* FindLayerOption(std::string_view name) {
  for (const COptionInfo& info : LayerOptionTable()) {
    if (name == info.m_name) return &info;
  }
  return nullptr;
}

bool CLayerOptions::Given(std::string_view name) const {
  return (m_given & GivenBit(name)) != 0;
}

bool CLayerOptions::operator==(const CLayerOptions& other) const {
  return m_alphaMode == other.m_alphaMode && m_alpha == other.m_alpha &&
         m_noTransparency == other.m_noTransparency && m_red == other.m_red &&
         m_green == other.m_green && m_blue == other.m_blue && m_keying == other.m_keying &&
         m_loop == other.m_loop && m_layerAlpha == other.m_layerAlpha && m_left == other.m_left &&
         m_top == other.m_top && SamePlacement(m_placement, other.m_placement);
}

std::string ApplyLayerOption(CLayerOptions& layer, const std::string& name,
                             const std::string& value) {
  const COptionInfo* info = FindLayerOption(name);
  if (!info) return "unknown option --" + name;
  CLayerOptions changed = layer;
  std::string error = Apply(changed, *info, "--" + name, value);
  if (!error.empty()) return error;
  changed.m_given |= GivenBit(name);
  layer = changed;
  return {};
}

std::string LayerOptionsError(const CLayerOptions& layer) {
  const CPlacement& placement = layer.m_placement;
  if (layer.Given("at") && placement.m_corner != ECorner::kCustom)
    return "--corner and --at both place the top layer: give one of them";
  if (layer.Given("margin") && placement.m_corner == ECorner::kCustom)
    return "--margin goes with --corner";
  if (placement.m_from >= 0.0 && placement.m_to >= 0.0 && placement.m_from >= placement.m_to)
    return "--from must come before --to";
  const std::string keying = KeyerSettingsError(layer.m_keying);
  if (!keying.empty()) return keying;
  const bool screen = layer.m_keying.m_keyer == EKeyer::kScreen;
  const bool tuned = layer.Given("tolerance") || layer.Given("softness") || layer.Given("despill");
  if (tuned && !screen) return "--tolerance, --softness and --despill go with --keyer screen";
  if (screen && !layer.Given("key"))
    return "--keyer screen needs the screen colour: --key R,G,B or --key auto";
  return {};
}

std::vector<std::pair<std::string, std::string>> LayerOptionTexts(const CLayerOptions& layer) {
  const CLayerOptions defaults;
  const CKeyerSettings& keying = layer.m_keying;
  const CPlacement& placement = layer.m_placement;
  std::vector<std::pair<std::string, std::string>> texts;
  const auto add = [&texts](const char* name, bool differs, std::string value) {
    if (differs) texts.emplace_back(name, std::move(value));
  };
  const auto level = [](int32_t value) {
    return value == kAutoLevel ? std::string("auto") : std::to_string(value);
  };
  const bool keyed = keying.m_autoKey || keying.m_keyer == EKeyer::kScreen || layer.m_red != 0 ||
                     layer.m_green != 0 || layer.m_blue != 0;
  add("mode", layer.m_alphaMode, "alpha");
  add("alpha", layer.m_alpha != defaults.m_alpha, NumberText(layer.m_alpha));
  add("no-transparency", layer.m_noTransparency, "");
  add("keyer", keying.m_keyer != EKeyer::kExact, KeyerName(keying.m_keyer));
  add("key", keyed,
      keying.m_autoKey ? std::string("auto")
                       : std::to_string(layer.m_red) + "," + std::to_string(layer.m_green) + "," +
                             std::to_string(layer.m_blue));
  add("tolerance", keying.m_tolerance != kAutoLevel, level(keying.m_tolerance));
  add("softness", keying.m_softness != kAutoLevel, level(keying.m_softness));
  add("despill", keying.m_despill != defaults.m_keying.m_despill, level(keying.m_despill));
  add("layer-alpha", layer.m_layerAlpha, "");
  add("loop", layer.m_loop, "");
  add("at", layer.m_left != 0 || layer.m_top != 0,
      std::to_string(layer.m_left) + "," + std::to_string(layer.m_top));
  add("corner", placement.m_corner != ECorner::kCustom, CornerName(placement.m_corner));
  add("margin", placement.m_margin != defaults.m_placement.m_margin,
      std::to_string(placement.m_margin));
  add("scale", !SameScale(placement.m_scale, CScale{}), ExactScaleText(placement.m_scale));
  add("from", placement.m_from != defaults.m_placement.m_from, NumberText(placement.m_from));
  add("to", placement.m_to != defaults.m_placement.m_to, NumberText(placement.m_to));
  add("fade-in", placement.m_fadeIn != 0.0, NumberText(placement.m_fadeIn));
  add("fade-out", placement.m_fadeOut != 0.0, NumberText(placement.m_fadeOut));
  return texts;
}

std::optional<int64_t> ParseOptionInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(value);
}

std::string NumberText(double value) {
  char buffer[64];
  const std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, written.ptr);
}

}  // namespace corvane
