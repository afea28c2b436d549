#include "mix/smartcopy.h"

#include <new>

#include "media/codec/jpegfacts.h"
#include "media/host.h"

namespace corvane {
namespace {

// The catalogue entry of the main stream's codec; null when none encodes it.
const CCompressorInfo* MainCodec(CAviStream& main) {
  BITMAPINFOHEADER format{};
  int32_t size = static_cast<int32_t>(sizeof format);
  if (main.ReadFormat(0, &format, &size) != AVIERR_OK || size < int32_t(sizeof format))
    return nullptr;
  return FindCompressor(format.biCompression);
}

// Bytes of the main's sample at `position`; 0 for an empty one or a failed read.
int32_t SampleBytes(CAviStream& main, int32_t position) {
  int32_t bytes = 0;
  if (main.Read(position, 1, nullptr, 0, &bytes, nullptr) != AVIERR_OK) return 0;
  return bytes;
}

// Whether a layer shows on main frame `frame` (from 0).
bool Touched(const std::vector<CLayerUnit*>& layers, int64_t frame) {
  for (const CLayerUnit* layer : layers) {
    const CLayerPlan& plan = layer->LayerPlan();
    if (plan.Shown(frame) && !plan.m_outside) return true;
  }
  return false;
}

// The lowest quality (0..10000) that gives `quantiser`; 0xFFFFFFFF when none does.
uint32_t QualityFor(int quantiser) {
  for (uint32_t quality = 0; quality <= 10000; ++quality) {
    if (QualityToQuantiser(quality) == quantiser) return quality;
  }
  return 0xFFFFFFFFu;
}

}  // namespace

bool CopiesByDefault(EContainer container) {
  return container != EContainer::kAvi;
}

CCopyPlan PlanCopying(ECopyUnchanged setting, const CContainerInfo& container, CAviStream& main,
                      const CVideoReader& mainReader, const std::vector<CLayerUnit*>& layers,
                      AVICOMPRESSOPTIONS& options) {
  CCopyPlan plan;
  if (setting == ECopyUnchanged::kNever) return plan;
  if (setting == ECopyUnchanged::kByContainer && !CopiesByDefault(container.m_kind)) return plan;
  const bool asked = setting == ECopyUnchanged::kAlways;
  const CCompressorInfo* codec = MainCodec(main);
  const CCompressorInfo* output = FindCompressor(options.fccHandler);
  // Another codec is the user's choice to re-encode: nothing to say.
  if (!codec || codec != output) {
    if (asked) {
      ShowMessage(codec ? "Unchanged frames are copied only into the main video's own codec (" +
                              codec->m_displayName + "): every frame is encoded"
                        : std::string("Unchanged frames cannot be copied from a main video in "
                                      "this codec: every frame is encoded"),
                  MB_ICONINFORMATION);
    }
    return plan;
  }
  if (codec->m_name != "mjpeg" || main.Rotation() != 0) {
    if (asked) {
      ShowMessage(main.Rotation() != 0
                      ? std::string("The main video is turned upright as it is mixed, so its "
                                    "frames cannot be copied: every frame is encoded")
                      : "Unchanged frames of " + codec->m_displayName +
                            " are not copied yet: every frame is encoded",
                  MB_ICONINFORMATION);
    }
    return plan;
  }
  const int32_t start = mainReader.m_startFrame;
  const int64_t frames = int64_t{mainReader.m_endFrame} - start;
  if (frames <= 0) return plan;
  try {
    plan.m_copied.assign(size_t(frames), 0);
  } catch (const std::bad_alloc&) {
    return CCopyPlan{};
  }
  CJpegFacts facts;
  bool known = false;  // facts read from the first copied picture
  for (int64_t frame = 0; frame < frames; ++frame) {
    const auto position = static_cast<int32_t>(start + frame);
    // An empty sample repeats the picture before it, which only an AVI says that way; a sample
    // shown at another place is no picture of its own frame.
    const int32_t shownAt = main.ShownAt(position);
    if (Touched(layers, frame) || (shownAt >= 0 && shownAt != frame)) continue;
    const int32_t bytes = SampleBytes(main, position);
    if (bytes <= 0) continue;
    if (!known) {
      std::vector<uint8_t> sample;
      try {
        sample.resize(size_t(bytes));
      } catch (const std::bad_alloc&) {
        return CCopyPlan{};
      }
      known = main.Read(position, 1, sample.data(), bytes, nullptr, nullptr) == AVIERR_OK &&
              ReadJpegFacts(sample.data(), sample.size(), facts);
    }
    plan.m_copied[size_t(frame)] = 1;
    ++plan.m_count;
  }
  // The frames encoded are quantised as the main's were, unless a quality was chosen, and laid
  // out as they are.
  if (plan.Copies() && options.dwQuality == 0xFFFFFFFFu && facts.m_quantiser > 0)
    options.dwQuality = QualityFor(facts.m_quantiser);
  if (plan.Copies() && facts.m_pixelFormat) plan.m_match.m_pixelFormat = facts.m_pixelFormat;
  return plan;
}

}  // namespace corvane
