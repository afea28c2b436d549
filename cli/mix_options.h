// corvane-mix: the command line, parsed and checked, and the compression choice it makes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "media/codec/compress.h"
#include "media/mux/container.h"
#include "mix/placement.h"
#include "mix/screenkey.h"

namespace corvane::cli {

struct CMixOptions {
  bool m_alphaMode = false;
  uint8_t m_red = 0;
  uint8_t m_green = 0;
  uint8_t m_blue = 0;
  int32_t m_left = 0;
  int32_t m_top = 0;
  double m_alpha = 128.0;
  bool m_noTransparency = false;
  bool m_loop = false;
  bool m_layerAlpha = false;  // --layer-alpha
  CPlacement m_placement;     // --corner, --margin, --scale, --from, --to, --fade-in, --fade-out
  CKeyerSettings m_keying;    // --keyer, --key auto, --tolerance, --softness, --despill
  std::string m_codec;        // empty: the container's default
  std::string m_format;       // --format: the container of an OUTPUT without an extension
  const CContainerInfo* m_container = nullptr;  // what OUTPUT is written as, once parsed
  std::optional<int32_t> m_quality;             // 0..100
  std::optional<uint32_t> m_keyFrameEvery;      // frames
  std::optional<uint32_t> m_dataRateKbps;
  std::optional<int32_t> m_previewFrame;  // --preview-frame: OUTPUT is a PNG of that frame
  bool m_overwrite = false;
  bool m_listCodecs = false;
  bool m_help = false;
  std::string m_main;
  std::string m_topLayer;
  std::string m_output;
};

// Fills `options` from the arguments after the program name: OUTPUT's container (by its
// extension, else --format, else AVI) and a codec that fits it (by default the container's);
// with --preview-frame, OUTPUT is a picture that must end in .png.
// Returns an empty text on success, otherwise what is wrong (one line, no program name).
std::string ParseMixOptions(int argc, char** argv, CMixOptions& options);

// The compression options for the chosen codec; null when the codec is not in the catalogue.
std::optional<AVICOMPRESSOPTIONS> CompressionFor(const CMixOptions& options);

// The --quality that gives the MJPEG encoder the same quantiser as ffmpeg's -q:v `qscale`.
int32_t QualityForMjpegQscale(int32_t qscale);

void PrintMixUsage(FILE* out);
void PrintCodecList(FILE* out);

}  // namespace corvane::cli
