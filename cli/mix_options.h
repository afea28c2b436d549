// corvane-mix: the command line, parsed and checked, and the compression choice it makes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "media/mux/container.h"
#include "mix/layerunit.h"
#include "mix/recipe.h"
#include "mix/videopass.h"

namespace corvane::cli {

// The command line. TOP's options are the layer options it derives from (m_red, m_placement...),
// the output's the encode options (m_codec, m_quality...), so each is read by the one rule in
// mix/.
struct CMixOptions : CLayerOptions, CEncodeOptions {
  const CContainerInfo* m_container = nullptr;  // what OUTPUT is written as, once parsed
  std::optional<int32_t> m_previewFrame;        // --preview-frame: OUTPUT is a PNG of that frame
  CFrameRange m_frames;  // --frames A:B or --segment I/N: OUTPUT holds that part, video only
  std::vector<std::string> m_joinParts;  // --join PART...: OUTPUT joins these parts of a mix
  bool m_overwrite = false;
  bool m_listCodecs = false;
  bool m_help = false;
  std::string m_main;
  std::string m_topLayer;
  std::string m_output;
  // --layer FILE, each with the layer options given after it: layers over TOP, bottom first.
  std::vector<CLayerRecipe> m_layers;
  // --recipe FILE: the mix is the recipe's (the command line then names no MAIN or TOP, at
  // most OUTPUT, and no mix options); ApplyRecipe fills the rest once it is read.
  std::string m_recipeFile;
  std::string m_saveRecipeFile;  // --save-recipe FILE: where to keep this mix as a recipe
};

// Fills `options` from the arguments after the program name: OUTPUT's container (by its
// extension, else --format, else AVI) and a codec that fits it (by default the container's);
// with --preview-frame, OUTPUT is a picture that must end in .png. Layer options before any
// --layer are TOP's (given twice, the last counts); after one, that layer's, each at most once.
// With --recipe only the file is noted (and OUTPUT, when given).
// Returns an empty text on success, otherwise what is wrong (one line, no program name).
std::string ParseMixOptions(int argc, char** argv, CMixOptions& options);

// The mix of the command line as a recipe: MAIN, OUTPUT, the encode options, TOP and the
// --layer layers over it, paths as given.
CMixRecipe MixRecipeOf(const CMixOptions& options);

// Fills `options` from a recipe read for --recipe (ReadRecipeFile): MAIN, OUTPUT unless the
// command line named one, the encode options (not the container with --preview-frame), TOP
// from the first layer and m_layers from the rest; then OUTPUT's container and codec as
// ParseMixOptions chooses them. Returns the usage error, or an empty text.
std::string ApplyRecipe(const CMixRecipe& recipe, CMixOptions& options);

// TOP and the --layer layers over it, lowest first, as the mix lays them.
std::vector<CLayerSpec> LayerSpecs(const CMixOptions& options);

// The compression options for the chosen codec; null when the codec is not in the catalogue.
std::optional<AVICOMPRESSOPTIONS> CompressionFor(const CMixOptions& options);

// The --quality that gives the MJPEG encoder the same quantiser as ffmpeg's -q:v `qscale`.
int32_t QualityForMjpegQscale(int32_t qscale);

void PrintMixUsage(FILE* out);
void PrintCodecList(FILE* out);

}  // namespace corvane::cli
