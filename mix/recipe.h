// A mix recipe: one JSON document holding a whole mix (the main video, the output and how it is
// encoded, and the layers laid over the main video, bottom first), so that a mix can be kept,
// edited and made again. Every option is named and valued as on the command line, without the
// dashes, and read by the same rules (mix/layeroptions.h and ApplyEncodeOption below); the
// document's form is docs/recipe.schema.json:
//
//   {
//     "version": 1,
//     "main": "clip.mp4",
//     "output": "out.mkv",
//     "layers": [{"file": "logo.png", "corner": "br", "scale": "15%w", "layer-alpha": true}]
//   }
//
// A field left out takes corvane-mix's default. Nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mix/layeroptions.h"

namespace corvane {

// How the output is written. An empty text and an absent number leave the choice to the
// container's defaults.
struct CEncodeOptions {
  std::string m_format;                     // format (a recipe's "container"): avi, mkv, ...
  std::string m_codec;                      // codec, by catalogue name
  std::optional<int32_t> m_quality;         // quality, 0..100
  std::optional<uint32_t> m_keyFrameEvery;  // keyframe-every, frames
  std::optional<uint32_t> m_dataRateKbps;   // data-rate, kbit/s
  // smart: frames no layer changes copied from the main (true), never (false), or as the
  // container does by default (absent)
  std::optional<bool> m_smart;

  bool operator==(const CEncodeOptions&) const = default;
};

// The encode option names without the dashes that take a value on the command line ("format",
// "codec", "quality", "keyframe-every", "data-rate").
bool IsEncodeOption(std::string_view name);
// Sets one encode option from its value text ("smart" too: "true" or "false", the command
// line's --smart and --no-smart); returns the command line's error text, or an
// empty text. A value refused leaves `options` as it was.
std::string ApplyEncodeOption(CEncodeOptions& options, const std::string& name,
                              const std::string& value);

// One layer: its file and its options.
struct CLayerRecipe : CLayerOptions {
  std::string m_file;

  bool operator==(const CLayerRecipe& other) const {
    return m_file == other.m_file && CLayerOptions::operator==(other);
  }
};

struct CMixRecipe : CEncodeOptions {
  int m_version = 1;
  std::string m_main;                  // empty: not named
  std::string m_output;                // empty: not named
  std::vector<CLayerRecipe> m_layers;  // bottom first: the first is corvane-mix's TOP

  bool operator==(const CMixRecipe&) const = default;
};

// The recipe in `text`. Paths in it are relative to `folder` (the recipe's own folder; empty:
// the current one) unless absolute, and come out joined to it. False with `error` set, the
// recipe then undefined, for a document that is not JSON ("line 3, column 14: ..."), or that has
// a field unknown, of the wrong type, out of range, given twice or missing, named by its JSON
// Pointer ("/layers/1/scale: --scale must be above zero: ..."), or a layer whose options do not
// go together ("/layers/0: --margin goes with --corner").
bool ReadRecipe(const std::string& text, const std::string& folder, CMixRecipe& recipe,
                std::string& error);

// The recipe as pretty JSON, only the fields that differ from the defaults. A path that begins
// with `folder` and a slash is written relative to it, any other as it is, so that ReadRecipe of
// the result with the same folder gives `recipe` back. Text that is not UTF-8 (which JSON cannot
// hold) is written with U+FFFD in its place.
std::string WriteRecipe(const CMixRecipe& recipe, const std::string& folder);

// The field names the reader takes: the document's, and a layer's.
std::vector<std::string> RecipeFieldNames();
std::vector<std::string> LayerFieldNames();

// A recipe file, read with its folder as the folder of its paths. False with `error` set (the
// file's name and what is wrong) when it cannot be read or is no recipe.
bool ReadRecipeFile(const std::string& path, CMixRecipe& recipe, std::string& error);
// Writes `recipe` to `path`, replacing it. Relative paths in the recipe are taken from the
// current folder, as the command line's, and written relative to the file's folder where they
// lie below it, otherwise absolute. False with `error` set when the file cannot be written.
bool WriteRecipeFile(const std::string& path, const CMixRecipe& recipe, std::string& error);

}  // namespace corvane
