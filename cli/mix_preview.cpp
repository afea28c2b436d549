#include "cli/mix_preview.h"

#include <algorithm>
#include <cstdio>

#include "cli/mix_host.h"
#include "media/audiocopy.h"
#include "media/codec/pngwrite.h"
#include "media/errortext.h"
#include "media/videoreader.h"
#include "mix/layerspreview.h"
#include "mix/mixpreview.h"

namespace corvane::cli {
namespace {

CMixRule RuleOf(const CMixOptions& options) {
  CMixRule rule;
  rule.m_alpha = options.m_alphaMode;
  rule.m_key = PackKeyColour(options.m_red, options.m_green, options.m_blue);
  rule.m_top = options.m_top;
  rule.m_left = options.m_left;
  rule.m_useTransparency = options.m_noTransparency ? 0 : 1;
  rule.m_loop = options.m_loop ? 1 : 0;
  rule.m_alphaLevel = options.m_alpha;
  rule.m_layerAlpha = options.m_layerAlpha;
  rule.m_keying = options.m_keying;
  return rule;
}

// The first video stream of `path`; null, with the reason on stderr, when there is none.
PAVISTREAM OpenVideo(const std::string& path) {
  PAVIFILE file;
  PAVISTREAM stream;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, file) != AVIERR_OK || !file) {
    PrintLines(stderr, UnableToOpenText(path));
    return nullptr;
  }
  if (file->GetStream(stream, streamtypeVIDEO, 0) != AVIERR_OK || !stream) {
    std::fprintf(stderr, "corvane-mix: Cannot get AVI video stream for %s\n", path.c_str());
    return nullptr;
  }
  return stream;  // keeps its file open
}

void PrintNearKey(const CKeyCheck& check) {
  if (check.m_nearKey == 0) return;
  std::fprintf(stderr, "corvane-mix: warning: ");
  std::fprintf(stderr, NearKeyFormat(), static_cast<long long>(check.m_nearKey));
  std::fprintf(stderr, "\n");
}

// The key check of a layer's last rendering on stdout: the screen keyer's matte count, or the
// keyed-pixel count with the near-key warning; `prefix` names the layer among several.
void PrintKeyCheck(const CMixPreview& preview, const CMixRule& rule, const std::string& prefix) {
  std::printf("%s", prefix.c_str());
  if (rule.ScreenKeys()) {
    const CMatteCount count = preview.MatteCount();
    std::printf(MatteCountFormat(), static_cast<long long>(count.m_transparent),
                static_cast<long long>(count.m_partial), static_cast<long long>(count.m_opaque));
    std::printf("\n");
    return;
  }
  const CKeyCheck check = preview.KeyCheck(rule);
  std::printf(KeyedFormat(), static_cast<long long>(check.m_keyed),
              static_cast<long long>(check.m_total));
  std::printf("\n");
  PrintNearKey(check);
}

void NoteMissingAlpha(const CMixPreview& preview, const CMixRule& rule, const std::string& top) {
  if (rule.m_layerAlpha && !preview.TopHasAlpha()) {
    std::fprintf(stderr,
                 "corvane-mix: %s has no alpha channel: every pixel of it is taken as opaque\n",
                 top.c_str());
  }
}

// Frame N of a mix of several layers, laid on in order as the mix lays them, with each layer's
// notices and key check named by its number (from 1, TOP first).
int PreviewLayers(const CMixOptions& options, const PAVISTREAM& mainStream) {
  std::vector<CPreviewLayer> layers;
  for (CLayerSpec& spec : LayerSpecs(options)) {
    PAVISTREAM stream = OpenVideo(spec.m_source);
    if (!stream) return 1;
    if (spec.m_rule.ScreenKeys() && spec.m_rule.m_keying.m_autoKey) {
      CMixPreview estimate;
      if (!estimate.Open(mainStream, stream) ||
          !estimate.ResolveAutoKey(spec.m_rule, spec.m_source)) {
        return 1;
      }
    }
    layers.push_back({stream, std::move(spec)});
  }
  CLayersPreview preview;
  if (!preview.Open(mainStream, layers)) {
    if (!preview.Error().empty())
      std::fprintf(stderr, "corvane-mix: %s\n", preview.Error().c_str());
    return 1;
  }
  const int32_t frame = *options.m_previewFrame;
  if (frame >= preview.FrameCount()) {
    std::fprintf(stderr, "corvane-mix: %s has %d frames (0 to %d): there is no frame %d\n",
                 options.m_main.c_str(), preview.FrameCount(), preview.FrameCount() - 1, frame);
    return 1;
  }
  if (!preview.Render(frame, layers)) {
    if (preview.Error().empty()) return 1;
    std::fprintf(stderr, "corvane-mix: %s\n", preview.Error().c_str());
    return 2;
  }
  const std::string failed =
      WritePng(options.m_output, preview.Composite(), preview.Width(), preview.Height());
  if (!failed.empty()) {
    std::fprintf(stderr, "corvane-mix: %s\n", failed.c_str());
    return 1;
  }
  for (size_t i = 0; i < layers.size(); ++i) {
    const std::string name = Format("layer %d: ", static_cast<int>(i + 1));
    const CMixRule& rule = layers[i].m_spec.m_rule;
    const std::string notices = PlanNotices(preview.Layer(i).Plan());
    if (!notices.empty())
      std::fprintf(stderr, "corvane-mix: %s%s\n", name.c_str(), notices.c_str());
    NoteMissingAlpha(preview.Layer(i), rule, layers[i].m_spec.m_source);
    PrintKeyCheck(preview.Layer(i), rule, name);
  }
  return 0;
}

}  // namespace

int RunPreviewFrame(const CMixOptions& options) {
  const std::string& picture = options.m_output;
  const bool source =
      SameFile(picture, options.m_main) || SameFile(picture, options.m_topLayer) ||
      std::any_of(options.m_layers.begin(), options.m_layers.end(),
                  [&](const CLayerRecipe& layer) { return SameFile(picture, layer.m_file); });
  if (source) {
    std::fprintf(stderr,
                 "corvane-mix: The output file cannot be the main AVI or the top layer "
                 "AVI\n");
    return 2;
  }
  if (!options.m_layers.empty()) {
    const PAVISTREAM mainStream = OpenVideo(options.m_main);
    return mainStream ? PreviewLayers(options, mainStream) : 1;
  }
  const PAVISTREAM mainStream = OpenVideo(options.m_main);
  const PAVISTREAM topStream = mainStream ? OpenVideo(options.m_topLayer) : nullptr;
  if (!mainStream || !topStream) return 1;
  CMixPreview preview;
  if (!preview.Open(mainStream, topStream)) return 1;
  const int32_t frame = *options.m_previewFrame;
  if (frame >= preview.FrameCount()) {
    std::fprintf(stderr, "corvane-mix: %s has %d frames (0 to %d): there is no frame %d\n",
                 options.m_main.c_str(), preview.FrameCount(), preview.FrameCount() - 1, frame);
    return 1;
  }
  CMixRule rule = RuleOf(options);
  if (!preview.ResolveAutoKey(rule, options.m_topLayer)) return 1;
  if (!preview.Render(frame, rule, options.m_placement)) {
    if (preview.PlacementError().empty()) return 1;
    std::fprintf(stderr, "corvane-mix: %s\n", preview.PlacementError().c_str());
    return 2;
  }
  const std::string notices = PlanNotices(preview.Plan());
  if (!notices.empty()) std::fprintf(stderr, "corvane-mix: %s\n", notices.c_str());
  NoteMissingAlpha(preview, rule, options.m_topLayer);
  const std::string failed =
      WritePng(picture, preview.Composite(), preview.Width(), preview.Height());
  if (!failed.empty()) {
    std::fprintf(stderr, "corvane-mix: %s\n", failed.c_str());
    return 1;
  }
  PrintKeyCheck(preview, rule, std::string());
  return 0;
}

void WarnOfNearKeyPixels(const CMixOptions& options) {
  PAVIFILE file;
  PAVISTREAM stream;
  if (CAviFile::Open(options.m_topLayer, OF_SHARE_DENY_WRITE, file) != AVIERR_OK || !file ||
      file->GetStream(stream, streamtypeVIDEO, 0) != AVIERR_OK || !stream) {
    return;
  }
  CVideoReader reader;
  CMixRule rule = RuleOf(options);
  if (reader.Open(stream, rule.m_layerAlpha) != 0 || reader.ReadFrame(reader.m_startFrame) != 0)
    return;
  // The whole first frame, wherever it is placed.
  rule.m_left = 0;
  rule.m_top = 0;
  PrintNearKey(CheckKey(rule, reader.m_width, reader.m_height, reader.m_buffer.get(),
                        reader.m_width, reader.m_height));
}

}  // namespace corvane::cli
