#include "mix/smartcopy.h"

#include <algorithm>
#include <new>

#include "media/codec/jpegfacts.h"
#include "media/codec/splicematch.h"
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

// The sample at `position`, read whole; empty when it cannot be read.
std::vector<uint8_t> ReadWhole(CAviStream& main, int32_t position) {
  std::vector<uint8_t> sample;
  const int32_t bytes = SampleBytes(main, position);
  if (bytes <= 0) return sample;
  try {
    sample.resize(size_t(bytes));
  } catch (const std::bad_alloc&) {
    return {};
  }
  if (main.Read(position, 1, sample.data(), bytes, nullptr, nullptr) != AVIERR_OK) sample.clear();
  return sample;
}

// Plans a long-GOP main group by group; false when its samples do not map one to one onto its
// frames. Groups start at decoding places a decoder can start from afresh; one is copied when
// it shows exactly the frames it holds and no layer shows on them.
bool PlanGroups(CAviStream& main, const CCompressorInfo& codec, int32_t frames,
                const std::vector<CLayerUnit*>& layers, CCopyPlan& plan) {
  const int32_t count = main.Length();
  if (count != frames || count <= 0) return false;
  std::vector<int32_t> shown;
  std::vector<int32_t> entries;
  try {
    shown.resize(size_t(count));
    plan.m_copied.assign(size_t(count), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  int depth = 0;
  for (int32_t k = 0; k < count; ++k) {
    shown[size_t(k)] = main.ShownAt(k);
    if (shown[size_t(k)] < 0 || shown[size_t(k)] >= count) return false;
    depth = std::max(depth, k - shown[size_t(k)]);
  }
  constexpr uint32_t kNextKey = FIND_NEXT | FIND_KEY;
  for (int32_t k = main.FindSample(0, kNextKey); k >= 0 && k < count;
       k = k + 1 < count ? main.FindSample(k + 1, kNextKey) : -1) {
    const std::vector<uint8_t> sample = ReadWhole(main, k);
    if (StartsAfresh(codec, plan.m_match, sample.data(), sample.size())) entries.push_back(k);
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const int32_t begin = entries[i];
    const int32_t end = i + 1 < entries.size() ? entries[i + 1] : count;
    const auto first = shown.begin() + begin;
    const auto last = shown.begin() + end;
    if (*std::min_element(first, last) != begin || *std::max_element(first, last) != end - 1)
      continue;
    bool touched = false;
    for (int32_t frame = begin; frame < end && !touched; ++frame) touched = Touched(layers, frame);
    if (touched) continue;
    std::fill(plan.m_copied.begin() + begin, plan.m_copied.begin() + end, uint8_t{1});
    plan.m_count += end - begin;
  }
  plan.m_entries = entries;
  plan.m_reorderDepth = codec.m_name == "h264" ? depth : 0;
  plan.m_match.m_reorderDepth = plan.m_reorderDepth;
  plan.m_closedRuns = true;
  return true;
}

}  // namespace

void CCopyPlan::Restrict(int64_t first, int64_t end) {
  if (!m_closedRuns) return;  // copied frame by frame: any frame stands alone
  const auto size = static_cast<int64_t>(m_copied.size());
  for (size_t i = 0; i < m_entries.size(); ++i) {
    const int64_t begin = m_entries[i];
    const int64_t next = i + 1 < m_entries.size() ? m_entries[i + 1] : size;
    if (begin >= size || !m_copied[size_t(begin)]) continue;
    const bool crosses = (begin < first && first < next) || (begin < end && end < next);
    if (!crosses) continue;
    std::fill(m_copied.begin() + begin, m_copied.begin() + next, uint8_t{0});
    m_count -= static_cast<int32_t>(next - begin);
  }
}

bool CopiesByDefault(EContainer container) {
  return container != EContainer::kAvi;
}

CCopyPlan PlanCopying(ECopyUnchanged setting, const CContainerInfo& container, CAviStream& main,
                      const CVideoReader& mainReader, const std::vector<CLayerUnit*>& layers,
                      bool variableRate, AVICOMPRESSOPTIONS& options) {
  CCopyPlan plan;
  if (setting == ECopyUnchanged::kNever) return plan;
  if (setting == ECopyUnchanged::kByContainer && !CopiesByDefault(container.m_kind)) return plan;
  const bool asked = setting == ECopyUnchanged::kAlways;
  const CCompressorInfo* codec = MainCodec(main);
  const CCompressorInfo* output = FindCompressor(options.fccHandler);
  // Another codec is the user's choice to re-encode: nothing to say unless copying was asked for.
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
  const auto cannot = [&](const std::string& why) {
    ShowMessage("The main video's frames cannot be copied as they are (" + why +
                    "): every frame is encoded",
                MB_ICONINFORMATION);
    return CCopyPlan{};
  };
  const int32_t start = mainReader.m_startFrame;
  const int64_t frames = int64_t{mainReader.m_endFrame} - start;
  if (codec->m_name == "h264" || codec->m_name == "vp9") {
    // What the mix does to the frames first, then what the stream is.
    if (container.m_kind == EContainer::kAvi)
      return cannot("an AVI file holds such pictures in another form than the main's");
    if (main.Rotation() != 0) return cannot("it is turned upright as it is mixed");
    if (variableRate) return cannot("its frame rate varies");
    const std::string mismatch = SpliceMismatch(*codec, main, plan.m_match);
    if (!mismatch.empty()) return cannot(mismatch);
    if (start != 0 || frames <= 0 || frames > INT32_MAX ||
        !PlanGroups(main, *codec, static_cast<int32_t>(frames), layers, plan)) {
      return cannot("its pictures do not map one to one onto its frames");
    }
    if (!plan.Copies()) plan = CCopyPlan{};
    return plan;
  }
  if (codec->m_name != "mjpeg") {
    return cannot("unchanged frames of " + codec->m_displayName + " are not copied");
  }
  if (main.Rotation() != 0) return cannot("it is turned upright as it is mixed");
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
