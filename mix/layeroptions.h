// One layer's options: how it is keyed and mixed, where it stands, how large it is and when it
// shows. The command line (--key 255,0,255) and a recipe ("key": "255,0,255") both set them
// here, by the option's name without the dashes and its value as the command line writes it, so
// each option has one rule and one error text, the command line's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mix/placement.h"
#include "mix/screenkey.h"

namespace corvane {

struct CLayerOptions {
  bool m_alphaMode = false;       // mode: key (false) or alpha
  double m_alpha = 128.0;         // alpha: the main video's weight in the alpha mix, 0..255
  bool m_noTransparency = false;  // no-transparency
  uint8_t m_red = 0;              // key: R,G,B (all 0 with "auto")
  uint8_t m_green = 0;
  uint8_t m_blue = 0;
  CKeyerSettings m_keying;  // keyer, key auto, tolerance, softness, despill
  bool m_loop = false;
  bool m_layerAlpha = false;  // layer-alpha
  int32_t m_left = 0;         // at: LEFT,TOP
  int32_t m_top = 0;
  CPlacement m_placement;  // corner, margin, scale, from, to, fade-in, fade-out
  // Which options were given, one bit per entry of LayerOptionTable(). The cross-checks need
  // it (--margin without --corner); it is not part of the layer itself.
  uint32_t m_given = 0;

  bool Given(std::string_view name) const;
  // The same layer: every setting equal, whichever options were given to reach it.
  bool operator==(const CLayerOptions& other) const;
};

enum class EOptionValue : uint8_t {
  kFlag,          // no value on the command line; true or false in a recipe
  kText,          // a text: "255,0,255", "br", "50%"
  kNumberOrText,  // a number, or a text the command line takes ("auto", "1:30")
};

struct COptionInfo {
  const char* m_name;  // without the dashes
  EOptionValue m_value;
};

// Every layer option, in the order a recipe writes them.
const std::vector<COptionInfo>& LayerOptionTable();
// Null for a name that is no layer option.
const COptionInfo* FindLayerOption(std::string_view name);

// Sets one option from its value text; a flag takes "" or "true" (set) or "false" (cleared).
// Returns what is wrong, as the command line says it ("--key values must be from 0 to 255"),
// or an empty text; a value refused leaves the layer as it was.
std::string ApplyLayerOption(CLayerOptions& layer, const std::string& name,
                             const std::string& value);

// What is wrong between the options of a finished layer (--margin without --corner, --at with
// --corner, --from not before --to, the keyer's levels, tuning without the screen keyer, the
// screen keyer without a key), or an empty text.
std::string LayerOptionsError(const CLayerOptions& layer);

// The options that differ from the defaults, as (name, value text) pairs in table order, so
// that applying them to a fresh layer gives an equal one; a flag's text is "". The key is
// always given with the screen keyer, which needs it.
std::vector<std::pair<std::string, std::string>> LayerOptionTexts(const CLayerOptions& layer);

// The whole text as one integer (leading blanks and a sign allowed, as strtoll takes them), as
// every option that takes one reads it; nullopt when it is not one or does not fit int64_t.
std::optional<int64_t> ParseOptionInteger(const std::string& text);

// The shortest text that reads back (strtod) to exactly `value`; finite values only.
std::string NumberText(double value);

}  // namespace corvane
