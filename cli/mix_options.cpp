#include "cli/mix_options.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "media/avidefs.h"

namespace corvane::cli {
namespace {

// Whole text as one integer; nullopt when it is not one or does not fit `int64_t`.
std::optional<int64_t> ParseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(value);
}

// "A,B,..." as exactly `count` integers.
std::optional<std::vector<int64_t>> ParseList(const std::string& text, size_t count) {
  std::vector<int64_t> values;
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    const auto value = ParseInteger(text.substr(from, comma - from));
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

// OUTPUT's container and the codec for it; the usage error when they do not go together.
std::string ChooseContainer(CMixOptions& options) {
  const std::string& output = options.m_output;
  const size_t slash = output.find_last_of('/');
  const size_t dot = output.find_last_of('.');
  const bool hasExtension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const CContainerInfo* named = ContainerForPath(output);
  if (hasExtension && !named) {
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

}  // namespace

void PrintMixUsage(FILE* out) {
  std::fputs(
      "Usage: corvane-mix [options] MAIN TOP OUTPUT\n"
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
      "  --preview-frame N    write no video: OUTPUT is a PNG of the mix's frame N (from 0), and\n"
      "                       the keyed-pixel check of that frame is printed\n"
      "  --overwrite          replace an existing OUTPUT (otherwise an existing OUTPUT is an "
      "error)\n"
      "  --list-codecs        print the catalogue and exit\n"
      "  --help               print this text and exit\n"
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
  bool atGiven = false;
  bool marginGiven = false;
  bool keyGiven = false;
  bool screenTuned = false;
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
    // Flags take no value.
    bool* flag = nullptr;
    if (name == "--no-transparency") flag = &options.m_noTransparency;
    if (name == "--loop") flag = &options.m_loop;
    if (name == "--layer-alpha") flag = &options.m_layerAlpha;
    if (name == "--overwrite") flag = &options.m_overwrite;
    if (name == "--list-codecs") flag = &options.m_listCodecs;
    if (name == "--help") flag = &options.m_help;
    if (flag) {
      if (inlineValue) return name + " takes no value";
      *flag = true;
      continue;
    }
    static const char* const kValued[] = {
        "--mode",      "--key",           "--at",        "--alpha",
        "--codec",     "--format",        "--quality",   "--keyframe-every",
        "--data-rate", "--preview-frame", "--corner",    "--margin",
        "--scale",     "--from",          "--to",        "--fade-in",
        "--fade-out",  "--keyer",         "--tolerance", "--softness",
        "--despill"};
    bool known = false;
    for (const char* valued : kValued) known = known || name == valued;
    if (!known) return "unknown option " + name;
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return name + " needs a value";
    }

    if (name == "--mode") {
      if (value != "key" && value != "alpha") return "--mode must be key or alpha";
      options.m_alphaMode = value == "alpha";
    } else if (name == "--key") {
      keyGiven = true;
      options.m_keying.m_autoKey = value == "auto";
      if (options.m_keying.m_autoKey) continue;
      const auto rgb = ParseList(value, 3);
      if (!rgb) return "--key needs R,G,B (three integers) or auto";
      // A typed 300 is a mistake to point out, not a value to wrap round to 44.
      for (const int64_t channel : *rgb) {
        if (channel < 0 || channel > 255) return "--key values must be from 0 to 255";
      }
      options.m_red = static_cast<uint8_t>((*rgb)[0]);
      options.m_green = static_cast<uint8_t>((*rgb)[1]);
      options.m_blue = static_cast<uint8_t>((*rgb)[2]);
    } else if (name == "--keyer") {
      const std::optional<EKeyer> keyer = KeyerNamed(value.c_str());
      if (!keyer) return "--keyer must be exact, screen or none";
      options.m_keying.m_keyer = *keyer;
    } else if (name == "--tolerance" || name == "--softness" || name == "--despill") {
      screenTuned = true;
      int32_t level = kAutoLevel;
      if (value != "auto" || name == "--despill") {
        const auto number = ParseInteger(value);
        if (!number || *number < 0 || *number > 100)
          return name + (name == "--despill" ? " must be from 0 to 100"
                                             : " must be from 0 to 100, or auto");
        level = static_cast<int32_t>(*number);
      }
      (name == "--tolerance"  ? options.m_keying.m_tolerance
       : name == "--softness" ? options.m_keying.m_softness
                              : options.m_keying.m_despill) = level;
    } else if (name == "--alpha") {
      char* end = nullptr;
      const double alpha = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(alpha) || alpha < 0.0 || alpha > 255.0) {
        return "--alpha must be a number from 0 to 255";
      }
      options.m_alpha = alpha;
    } else if (name == "--codec") {
      if (!FindCompressor(value)) return "unknown codec " + value + " (see --list-codecs)";
      options.m_codec = value;
    } else if (name == "--format") {
      if (!ContainerNamed(value)) return "unknown format " + value + " (avi, mkv, webm, mp4, mov)";
      options.m_format = value;
    } else if (name == "--quality") {
      const auto quality = ParseInteger(value);
      if (!quality || *quality < 0 || *quality > 100) return "--quality must be 0..100";
      options.m_quality = static_cast<int32_t>(*quality);
    } else if (name == "--keyframe-every") {
      const auto every = ParseInteger(value);
      if (!every || *every < 1 || *every > std::numeric_limits<int32_t>::max()) {
        return "--keyframe-every must be a positive number of frames";
      }
      options.m_keyFrameEvery = static_cast<uint32_t>(*every);
    } else if (name == "--preview-frame") {
      const auto frame = ParseInteger(value);
      if (!frame || *frame < 0 || *frame > std::numeric_limits<int32_t>::max()) {
        return "--preview-frame must be a frame number from 0";
      }
      options.m_previewFrame = static_cast<int32_t>(*frame);
    } else if (name == "--corner") {
      if (!ParseCorner(value, options.m_placement.m_corner) ||
          options.m_placement.m_corner == ECorner::kCustom) {
        return "--corner must be tl, tr, bl, br or c";
      }
    } else if (name == "--margin") {
      const auto margin = ParseInteger(value);
      if (!margin || *margin < 0 || *margin > 100000) return "--margin must be 0..100000 pixels";
      options.m_placement.m_margin = static_cast<int32_t>(*margin);
      marginGiven = true;
    } else if (name == "--scale") {
      CScale& scale = options.m_placement.m_scale;
      const char* kForms =
          ": 50% (of the top layer's size), 200x-1 (pixels, -1 keeps the aspect ratio) or 15%w "
          "(of the main picture's width)";
      if (!ParseScale(value, scale)) return "--scale " + value + " is not a size" + kForms;
      if (!ScaleIsPositive(scale)) return std::string("--scale must be above zero") + kForms;
    } else if (name == "--from" || name == "--to") {
      double seconds = 0.0;
      if (!ParseTime(value, seconds)) {
        return name + " must be a time: seconds (12.5) or h:mm:ss.fff (0:01:05.5)";
      }
      (name == "--from" ? options.m_placement.m_from : options.m_placement.m_to) = seconds;
    } else if (name == "--fade-in" || name == "--fade-out") {
      double seconds = 0.0;
      if (!ParseTime(value, seconds)) return name + " must be a number of seconds from 0";
      (name == "--fade-in" ? options.m_placement.m_fadeIn : options.m_placement.m_fadeOut) =
          seconds;
    } else if (name == "--at") {
      atGiven = true;
      const auto at = ParseList(value, 2);
      if (!at || !FitsInt32((*at)[0]) || !FitsInt32((*at)[1])) {
        return "--at needs LEFT,TOP (two integers)";
      }
      options.m_left = static_cast<int32_t>((*at)[0]);
      options.m_top = static_cast<int32_t>((*at)[1]);
    } else if (name == "--data-rate") {
      const auto rate = ParseInteger(value);
      // Kept small enough that the rate in bytes per second fits its 32-bit field.
      if (!rate || *rate < 1 || *rate > 4000000) return "--data-rate must be 1..4000000 kbit/s";
      options.m_dataRateKbps = static_cast<uint32_t>(*rate);
    }
  }
  if (options.m_help || options.m_listCodecs) return {};
  const CPlacement& placement = options.m_placement;
  if (atGiven && placement.m_corner != ECorner::kCustom)
    return "--corner and --at both place the top layer: give one of them";
  if (marginGiven && placement.m_corner == ECorner::kCustom) return "--margin goes with --corner";
  if (placement.m_from >= 0.0 && placement.m_to >= 0.0 && placement.m_from >= placement.m_to)
    return "--from must come before --to";
  const std::string keying = KeyerSettingsError(options.m_keying);
  if (!keying.empty()) return keying;
  const bool screen = options.m_keying.m_keyer == EKeyer::kScreen;
  if (screenTuned && !screen) return "--tolerance, --softness and --despill go with --keyer screen";
  if (screen && !keyGiven)
    return "--keyer screen needs the screen colour: --key R,G,B or --key auto";
  if (positional.size() != 3) return "expected MAIN TOP OUTPUT";
  options.m_main = positional[0];
  options.m_topLayer = positional[1];
  options.m_output = positional[2];
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
