#include "cli/mix_options.h"

#include <strings.h>

#include <cstdio>
#include <limits>
#include <vector>

#include "media/avidefs.h"

namespace corvane::cli {
namespace {

// OUTPUT's container and the codec for it; the usage error when they do not go together.
std::string ChooseContainer(CMixOptions& options) {
  const CNameContainer name = ContainerOfName(options.m_output);
  const CContainerInfo* named = name.m_named;
  if (name.Unknown()) {
    return "OUTPUT must end in .avi, .mkv, .webm, .mp4, .m4v or .mov (or have no extension and "
           "a --format)";
  }
  const CContainerInfo* formatted =
      options.m_format.empty() ? nullptr : ContainerNamed(options.m_format);
  if (named && formatted && named != formatted)
    return "--format " + options.m_format + " disagrees with OUTPUT's extension";
  options.m_container = named ? named : formatted ? formatted : &Containers().front();
  const CContainerInfo& container = *options.m_container;
  if (options.m_codec.empty()) {
    options.m_codec = container.m_defaultCodec;
    if (!FindCompressor(options.m_codec))
      return std::string("this build has no ") + container.m_defaultCodec + " encoder for " +
             container.m_displayName + ": choose one with --codec";
  }
  const CCompressorInfo* codec = FindCompressor(options.m_codec);
  if (codec && !CompressorFits(*codec, container)) {
    std::string fitting;
    for (const CCompressorInfo& info : CompressorCatalogue()) {
      if (CompressorFits(info, container)) fitting += (fitting.empty() ? "" : ", ") + info.m_name;
    }
    return "codec " + options.m_codec + " does not fit " + container.m_displayName + " (it takes " +
           fitting + ")";
  }
  return {};
}

// OUTPUT as a picture for --preview-frame, otherwise its container and codec.
std::string ChooseOutput(CMixOptions& options) {
  if (options.m_previewFrame) {
    const std::string& picture = options.m_output;
    const bool png = picture.size() > 4 &&
                     strcasecmp(picture.c_str() + picture.size() - 4, ".png") == 0 &&
                     picture[picture.size() - 5] != '/';
    if (!png) return "with --preview-frame, OUTPUT is a picture and must end in .png";
    if (!options.m_format.empty()) return "--format does not go with --preview-frame";
    return {};
  }
  return ChooseContainer(options);
}

// --frames FIRST:END or --segment I/N into `range`; the usage error, or an empty text.
std::string ParseFrameRange(const std::string& name, const std::string& value, CFrameRange& range) {
  if (!range.Whole()) return "give one --frames or --segment";
  const bool frames = name == "--frames";
  const size_t split = value.find(frames ? ':' : '/');
  const auto first =
      split == std::string::npos ? std::nullopt : ParseOptionInteger(value.substr(0, split));
  const auto second =
      split == std::string::npos ? std::nullopt : ParseOptionInteger(value.substr(split + 1));
  constexpr int64_t kMost = std::numeric_limits<int32_t>::max();
  if (frames) {
    if (!first || !second || *first < 0 || *second <= *first || *second > kMost)
      return "--frames must be FIRST:END, frame numbers from 0 with FIRST below END";
    range.m_first = static_cast<int32_t>(*first);
    range.m_end = static_cast<int32_t>(*second);
    return {};
  }
  if (!first || !second || *first < 1 || *second < *first || *second > 100000)
    return "--segment must be I/N, parts numbered from 1 to N";
  range.m_part = static_cast<int32_t>(*first);
  range.m_parts = static_cast<int32_t>(*second);
  return {};
}

}  // namespace

void PrintMixUsage(FILE* out) {
  std::fputs(
      "Usage: corvane-mix [options] MAIN TOP OUTPUT\n"
      "       corvane-mix --recipe FILE [[MAIN] OUTPUT]\n"
      "       corvane-mix --join PART1 --join PART2... MAIN OUTPUT\n"
      "Lays the top layer TOP over the main video MAIN and writes OUTPUT: one frame per frame\n"
      "of MAIN, encoded with the chosen compressor, and MAIN's first audio stream copied in.\n"
      "OUTPUT's extension chooses the container: .avi (default codec ffv1), .mkv (ffv1),\n"
      ".mp4 or .m4v (h264), .mov (h264), .webm (vp9). Audio the container or its players do\n"
      "not take is encoded (AAC for MP4 and MOV, Opus for WebM), with one notice.\n"
      "\n"
      "Options:\n"
      "  --mode key|alpha     colour-key mix (default) or alpha mix\n"
      "  --key R,G,B          key colour (default 0,0,0; each value from 0 to 255), or auto\n"
      "                       with --keyer screen: the screen colour of TOP's first frame\n"
      "                       (or of a later one, when the first shows no screen)\n"
      "  --keyer exact|screen|none  exact: top pixels of the key colour let MAIN through\n"
      "                       (default); screen: a soft key for footage shot on a green or\n"
      "                       blue screen; none: nothing is keyed\n"
      "  --tolerance 0-100|auto  screen keyer: distance from the screen colour below which a\n"
      "                       pixel is wholly transparent (default auto: from the noise)\n"
      "  --softness 0-100|auto   screen keyer: distance above which a pixel is wholly opaque\n"
      "                       (above the tolerance; default auto: follows the subject)\n"
      "  --despill 0-100      screen keyer: how much of the screen's colour cast is taken off\n"
      "                       the subject near its edges (default 100)\n"
      "  --at LEFT,TOP        placement of the top layer in pixels (default 0,0); a layer that\n"
      "                       does not fit is clipped\n"
      "  --alpha LEVEL        alpha mix: 0..255, the weight of the main video (default 128)\n"
      "  --no-transparency    alpha mix: blend key-coloured pixels too (default: they are keyed)\n"
      "  --loop               loop the top layer (default: its last frame stays once shown)\n"
      "  --layer-alpha        weigh each top pixel by the top layer's own alpha (PNG, GIF,\n"
      "                       QuickTime Animation, ProRes 4444, WebM VP9 alpha, 32-bit AVI...),\n"
      "                       in either mix\n"
      "  --corner tl|tr|bl|br|c  put the top layer in a corner or the centre (instead of --at)\n"
      "  --margin PX          with --corner: pixels from the corner's edges (default 16)\n"
      "  --scale SIZE         resize the top layer: 50% (of its size), 200x-1 (pixels; -1 keeps\n"
      "                       the aspect ratio) or 15%w (its width, of the main picture's)\n"
      "  --from TIME          show the top layer from TIME (seconds, or h:mm:ss.fff)\n"
      "  --to TIME            show it up to TIME (the main frames before it)\n"
      "  --fade-in SECONDS    fade it in over its first SECONDS\n"
      "  --fade-out SECONDS   fade it out over its last SECONDS\n"
      "  --codec NAME         compressor by catalogue name (default: the container's; see\n"
      "                       --list-codecs)\n"
      "  --format NAME        container of an OUTPUT named without an extension: avi, mkv,\n"
      "                       webm, mp4 or mov (otherwise OUTPUT's extension chooses)\n"
      "  --quality Q          0..100 where the compressor honours it\n"
      "  --keyframe-every N   key frame interval where honoured\n"
      "  --data-rate KBPS     data rate in kbit/s where honoured\n"
      "  --smart, --no-smart  copy the main's own frames where no layer shows, or never; by\n"
      "                       default copied into MP4, MOV, MKV and WebM, not into AVI. Only\n"
      "                       where the codec is the main's: Motion JPEG frame by frame (the\n"
      "                       frames encoded keep the main's quantiser unless --quality is\n"
      "                       given), H.264 and VP9 by whole groups of pictures\n"
      "  --layer FILE         add FILE as a layer over those before it (TOP is the lowest). The\n"
      "                       options from --mode to --fade-out above, given after it, are its\n"
      "                       own, each at most once; before any --layer they are TOP's\n"
      "  --recipe FILE        mix as the recipe FILE says (JSON: docs/recipe.schema.json);\n"
      "                       MAIN and OUTPUT, and the output's options (--codec, --format,\n"
      "                       --quality...), when given, replace the recipe's\n"
      "  --save-recipe FILE   also keep this command line's mix as a recipe in FILE\n"
      "  --frames FIRST:END   write frames FIRST to END-1 of the mix alone (from 0), video\n"
      "                       only: OUTPUT's frame k is frame FIRST+k of the whole mix\n"
      "  --segment I/N        write part I (from 1) of the mix cut into N parts, video only:\n"
      "                       cut at any frame where the codec codes each frame alone (Motion\n"
      "                       JPEG, HuffYUV...), else at key frames of MAIN. Every machine\n"
      "                       cuts alike\n"
      "  --join PART          (given once a part, in order; with MAIN OUTPUT alone) join the\n"
      "                       parts of a mix of MAIN as they are, and MAIN's audio, into OUTPUT\n"
      "  --preview-frame N    write no video: OUTPUT is a PNG of the mix's frame N (from 0), and\n"
      "                       the keyed-pixel check of that frame is printed (a line per\n"
      "                       layer with several)\n"
      "  --overwrite          replace an existing OUTPUT (otherwise an existing OUTPUT is an "
      "error)\n"
      "  --list-codecs        print the catalogue and exit\n"
      "  --help               print this text and exit\n"
      "\n"
      "Example of three layers: a logo with its own alpha in the top right corner, a lower\n"
      "third from 10 s to 15 s and a quarter-size picture in picture in the bottom right:\n"
      "  corvane-mix --layer-alpha --corner tr talk.mp4 logo.png \\\n"
      "    --layer third.png --at 0,600 --from 10 --to 15 \\\n"
      "    --layer pip.mp4 --scale 25% --corner br out.mp4\n"
      "\n"
      "Progress goes to stderr: one updating line on a terminal, plain lines otherwise.\n"
      "Ctrl-C stops at the next frame and leaves a valid OUTPUT with the frames written and\n"
      "their sound; a second Ctrl-C ends the copy of that sound at the next chunk.\n"
      "\n"
      "Exit status: 0 when OUTPUT holds every frame of MAIN and, where MAIN has audio, all of\n"
      "its audio (a MAIN without audio is reported as a warning); 1 when the job failed or\n"
      "OUTPUT is incomplete; 2 for a usage error; 130 when stopped with Ctrl-C.\n",
      out);
}

void PrintCodecList(FILE* out) {
  std::fprintf(out, "%-14s %-6s %-36s %-22s %s\n", "name", "fourcc", "compressor", "containers",
               "honours");
  for (const CCompressorInfo& info : CompressorCatalogue()) {
    char fourCC[5] = {0};
    for (int i = 0; i < 4; ++i) {
      const char c = static_cast<char>((info.m_fourCC >> (8 * i)) & 0xFF);
      fourCC[i] = (c >= 32 && c < 127) ? c : '.';
    }
    std::string honours;
    if (info.m_honoursQuality) honours += " quality";
    if (info.m_honoursKeyFrames) honours += " keyframe-every";
    if (info.m_honoursDataRate) honours += " data-rate";
    if (info.m_lossless) honours += " (lossless)";
    std::fprintf(out, "%-14s %-6s %-36s %-22s%s\n", info.m_name.c_str(),
                 info.m_fourCC ? fourCC : "-", info.m_displayName.c_str(),
                 FittingContainers(info).c_str(), honours.c_str());
  }
  if (FindCompressor("mjpeg")) {
    std::fprintf(out, "\nmjpeg: ffmpeg's q:v 3 = --quality %d\n", QualityForMjpegQscale(3));
  }
}

std::string ParseMixOptions(int argc, char** argv, CMixOptions& options) {
  std::vector<std::string> positional;
  std::string layerOption;  // the first option that sets a layer, which --recipe already holds
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
      break;
    }
    if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
      positional.push_back(argument);
      continue;
    }
    std::string name = argument;
    std::optional<std::string> inlineValue;
    if (const size_t equals = argument.find('='); equals != std::string::npos) {
      name = argument.substr(0, equals);
      inlineValue = argument.substr(equals + 1);
    }
    const std::string bare = name.substr(2);
    const COptionInfo* perLayer = FindLayerOption(bare);
    const bool flag = name == "--overwrite" || name == "--list-codecs" || name == "--help" ||
                      name == "--smart" || name == "--no-smart" ||
                      (perLayer && perLayer->m_value == EOptionValue::kFlag);
    std::string value;
    if (flag) {
      if (inlineValue) return name + " takes no value";
    } else {
      const bool known = perLayer || IsEncodeOption(bare) || name == "--preview-frame" ||
                         name == "--layer" || name == "--recipe" || name == "--save-recipe" ||
                         name == "--frames" || name == "--segment" || name == "--join";
      if (!known) return "unknown option " + name;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return name + " needs a value";
      }
    }
    if ((perLayer || name == "--layer") && layerOption.empty()) layerOption = name;

    if (name == "--overwrite") {
      options.m_overwrite = true;
    } else if (name == "--smart" || name == "--no-smart") {
      const bool smart = name == "--smart";
      if (options.m_smart && *options.m_smart != smart)
        return std::string("--smart and --no-smart do not go together");
      options.m_smart = smart;
    } else if (name == "--list-codecs") {
      options.m_listCodecs = true;
    } else if (name == "--help") {
      options.m_help = true;
    } else if (perLayer) {
      // TOP's options may be given again (the last counts), as they always could.
      const bool top = options.m_layers.empty();
      CLayerOptions& layer = top ? static_cast<CLayerOptions&>(options) : options.m_layers.back();
      if (!top && layer.Given(bare))
        return name + " is given twice for --layer " + options.m_layers.back().m_file;
      if (std::string error = ApplyLayerOption(layer, bare, value); !error.empty()) return error;
    } else if (IsEncodeOption(bare)) {
      if (std::string error = ApplyEncodeOption(options, bare, value); !error.empty()) return error;
    } else if (name == "--preview-frame") {
      const auto frame = ParseOptionInteger(value);
      if (!frame || *frame < 0 || *frame > std::numeric_limits<int32_t>::max()) {
        return "--preview-frame must be a frame number from 0";
      }
      options.m_previewFrame = static_cast<int32_t>(*frame);
    } else if (name == "--frames" || name == "--segment") {
      if (std::string error = ParseFrameRange(name, value, options.m_frames); !error.empty())
        return error;
    } else if (name == "--join") {
      if (value.empty()) return "--join needs a file";
      options.m_joinParts.push_back(value);
    } else if (name == "--layer") {
      if (value.empty()) return "--layer needs a file";
      options.m_layers.emplace_back().m_file = value;
    } else if (value.empty()) {
      return name + " needs a file";
    } else {
      (name == "--recipe" ? options.m_recipeFile : options.m_saveRecipeFile) = value;
    }
  }
  if (options.m_help || options.m_listCodecs) return {};
  if (!options.m_frames.Whole() && options.m_previewFrame)
    return "--frames and --segment do not go with --preview-frame";
  if (!options.m_joinParts.empty()) {
    // The parts hold the pictures: only the output's container has a say.
    if (!layerOption.empty() || !options.m_recipeFile.empty() || !options.m_frames.Whole() ||
        options.m_previewFrame || !options.m_saveRecipeFile.empty()) {
      return "--join takes MAIN and OUTPUT, and no layer, recipe, part or preview options";
    }
    if (positional.size() != 2) return "with --join, give MAIN and OUTPUT";
    options.m_main = positional[0];
    options.m_output = positional[1];
    return ChooseOutput(options);
  }
  if (!options.m_recipeFile.empty()) {
    // The recipe holds the layers; the names and the output's settings given beside it win.
    if (!layerOption.empty())
      return layerOption + " does not go with --recipe: the recipe holds the layers";
    if (positional.size() > 2) return "with --recipe, give at most MAIN and OUTPUT";
    if (positional.size() == 2) options.m_main = positional[0];
    if (!positional.empty()) options.m_output = positional.back();
    return {};
  }
  if (std::string error = LayerOptionsError(options); !error.empty()) return error;
  for (const CLayerRecipe& layer : options.m_layers) {
    if (std::string error = LayerOptionsError(layer); !error.empty())
      return "--layer " + layer.m_file + ": " + error;
  }
  if (positional.size() != 3) return "expected MAIN TOP OUTPUT";
  options.m_main = positional[0];
  options.m_topLayer = positional[1];
  options.m_output = positional[2];
  return ChooseOutput(options);
}

CMixRecipe MixRecipeOf(const CMixOptions& options) {
  CMixRecipe recipe;
  static_cast<CEncodeOptions&>(recipe) = options;
  recipe.m_main = options.m_main;
  recipe.m_output = options.m_output;
  CLayerRecipe& top = recipe.m_layers.emplace_back();
  static_cast<CLayerOptions&>(top) = options;
  top.m_file = options.m_topLayer;
  recipe.m_layers.insert(recipe.m_layers.end(), options.m_layers.begin(), options.m_layers.end());
  return recipe;
}

std::string ApplyRecipe(const CMixRecipe& recipe, CMixOptions& options) {
  const std::string named =
      options.m_recipeFile.empty() ? "the recipe" : "the recipe " + options.m_recipeFile;
  if (recipe.m_main.empty() && options.m_main.empty())
    return named + " names no main video: give MAIN and OUTPUT";
  if (recipe.m_layers.empty()) return named + " has no layer";
  if (recipe.m_output.empty() && options.m_output.empty())
    return named + " names no output: give OUTPUT";
  // What the command line gave beside the recipe stands.
  // An OUTPUT given with an extension names its own container.
  const bool outputNamesContainer =
      !options.m_output.empty() && !ContainerOfName(options.m_output).m_extension.empty();
  if (options.m_format.empty() && !outputNamesContainer) options.m_format = recipe.m_format;
  if (options.m_codec.empty()) options.m_codec = recipe.m_codec;
  if (!options.m_quality) options.m_quality = recipe.m_quality;
  if (!options.m_keyFrameEvery) options.m_keyFrameEvery = recipe.m_keyFrameEvery;
  if (!options.m_dataRateKbps) options.m_dataRateKbps = recipe.m_dataRateKbps;
  if (!options.m_smart) options.m_smart = recipe.m_smart;
  // A preview's OUTPUT is a picture, whatever container the mix is written in.
  if (options.m_previewFrame) options.m_format.clear();
  static_cast<CLayerOptions&>(options) = recipe.m_layers.front();
  options.m_topLayer = recipe.m_layers.front().m_file;
  options.m_layers.assign(recipe.m_layers.begin() + 1, recipe.m_layers.end());
  if (options.m_main.empty()) options.m_main = recipe.m_main;
  if (options.m_output.empty()) options.m_output = recipe.m_output;
  return ChooseOutput(options);
}

std::vector<CLayerSpec> LayerSpecs(const CMixOptions& options) {
  std::vector<CLayerSpec> layers{LayerSpecOf(options, options.m_topLayer)};
  for (const CLayerRecipe& layer : options.m_layers)
    layers.push_back(LayerSpecOf(layer, layer.m_file));
  return layers;
}

std::optional<AVICOMPRESSOPTIONS> CompressionFor(const CMixOptions& options) {
  const CCompressorInfo* info = FindCompressor(options.m_codec);
  if (!info) return std::nullopt;
  AVICOMPRESSOPTIONS compression{};
  compression.fccType = streamtypeVIDEO;
  compression.fccHandler = info->m_fourCC;
  compression.dwQuality =
      options.m_quality ? static_cast<uint32_t>(*options.m_quality) * 100u : 0xFFFFFFFFu;
  compression.dwFlags = AVICOMPRESSF_VALID;
  if (options.m_keyFrameEvery) {
    compression.dwKeyFrameEvery = *options.m_keyFrameEvery;
    compression.dwFlags |= AVICOMPRESSF_KEYFRAMES;
  }
  if (options.m_dataRateKbps) {
    compression.dwBytesPerSecond = *options.m_dataRateKbps * 1000u / 8u;
    compression.dwFlags |= AVICOMPRESSF_DATARATE;
  }
  return compression;
}

}  // namespace corvane::cli

namespace corvane::cli {

int32_t QualityForMjpegQscale(int32_t qscale) {
  // The compressors map quality to a quantiser; several --quality values may share one, and
  // the middle of that run is the one least sensitive to rounding.
  int32_t first = -1;
  int32_t last = -1;
  for (int32_t quality = 0; quality <= 100; ++quality) {
    if (QualityToQuantiser(static_cast<uint32_t>(quality) * 100u) != qscale) continue;
    if (first < 0) first = quality;
    last = quality;
  }
  return first < 0 ? -1 : (first + last) / 2;
}

}  // namespace corvane::cli
