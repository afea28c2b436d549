#include "mix/layerunit.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include "media/codec/frameconvert.h"
#include "media/errortext.h"
#include "media/host.h"

namespace corvane {

bool TopCursorFor(const CVideoReader& mainReader, const CVideoReader& topReader,
                  const CAviStream& topStream, uint8_t loop, TopFrameCursor& cursor) {
  cursor = TopFrameCursor{};
  cursor.start = topReader.m_startFrame;
  cursor.end = topReader.m_endFrame;
  cursor.next = topReader.m_startFrame;
  cursor.loop = loop;
  try {
    auto times = std::make_shared<SPresentationTimes>();
    if (topStream.PresentationTimes(*times)) {
      cursor.times = std::move(times);
      cursor.mainScale = mainReader.m_streamInfo.dwScale;
      cursor.mainRate = mainReader.m_streamInfo.dwRate;
    }
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the top layer's frame times", MB_ICONINFORMATION);
    return false;
  }
  return true;
}

bool PrepareScreenKey(CMixRule& rule, CVideoReader& topReader, const std::string& topName) {
  topReader.SetInterpolatedChroma(true);
  if (!rule.m_keying.m_autoKey) return true;
  // The first frame; when it shows no screen (a clip that fades in from black, a title card),
  // frames spread over the clip, the first that shows one.
  constexpr int32_t kLaterTries = 8;
  const int32_t first = topReader.m_startFrame;
  const int32_t frames = std::max(topReader.m_endFrame - first, 1);
  const int64_t stride = topReader.m_withAlpha ? AlphaFrameStride(topReader.m_width)
                                               : FrameStride(topReader.m_width);
  std::optional<CRgb> found;
  int32_t tried = -1;
  for (int32_t k = 0; k <= kLaterTries && !found; ++k) {
    const int32_t frame = first + static_cast<int32_t>(int64_t{frames - 1} * k / kLaterTries);
    if (frame == tried) continue;
    tried = frame;
    if (topReader.ReadFrame(frame) != 0) continue;
    found = EstimateScreenColour(topReader.m_buffer.get(), topReader.m_width, topReader.m_height,
                                 stride, topReader.m_withAlpha);
  }
  if (!found) {
    ShowMessage(Format("no screen colour found in %s: give --key R,G,B", topName.c_str()),
                MB_ICONERROR);
    return false;
  }
  rule.m_key = PackKeyColour(found->m_red, found->m_green, found->m_blue);
  ShowMessage(Format("--key auto: the screen colour of %s is %d,%d,%d", topName.c_str(),
                     found->m_red, found->m_green, found->m_blue) +
                  (tried == first ? std::string()
                                  : Format(" (from its frame %d: the first shows no screen)",
                                           static_cast<int>(tried - first + 1))),
              MB_ICONINFORMATION);
  return true;
}

CPlanInput PlanInputOf(const CVideoReader& main, const CVideoReader& top, const CMixRule& rule) {
  CPlanInput input;
  input.m_mainWidth = main.m_width;
  input.m_mainHeight = main.m_height;
  input.m_topWidth = top.m_width;
  input.m_topHeight = top.m_height;
  input.m_rateNum = main.m_streamInfo.dwRate;
  input.m_rateDen = main.m_streamInfo.dwScale;
  input.m_frames = main.m_endFrame - main.m_startFrame;
  input.m_customLeft = rule.m_left;
  input.m_customTop = rule.m_top;
  return input;
}

CLayerSpec LayerSpecOf(const CLayerOptions& options, const std::string& source) {
  CLayerSpec spec;
  spec.m_source = source;
  CMixRule& rule = spec.m_rule;
  rule.m_alpha = options.m_alphaMode;
  rule.m_key = PackKeyColour(options.m_red, options.m_green, options.m_blue);
  rule.m_left = options.m_left;
  rule.m_top = options.m_top;
  rule.m_loop = options.m_loop ? 1 : 0;
  rule.m_layerAlpha = options.m_layerAlpha;
  rule.m_keying = options.m_keying;
  if (options.m_alphaMode) {
    rule.m_useTransparency = options.m_noTransparency ? 0 : 1;
    rule.m_alphaLevel = options.m_alpha;
  }
  spec.m_placement = options.m_placement;
  return spec;
}

std::string CLayerUnit::Said(const std::string& text) const {
  return m_count > 1 ? Format("Layer %d: ", m_number) + text : text;
}

std::string CLayerUnit::Name() const {
  return m_spec.m_source.empty() ? std::string("the top layer") : m_spec.m_source;
}

bool CLayerUnit::OpenSource(const CLayerSpec& spec, int32_t number, int32_t count) {
  Release();
  m_spec = spec;
  m_rule = spec.m_rule;
  m_number = number;
  m_count = count;
  m_adopted = false;
  return OpenFile();
}

bool CLayerUnit::OpenFile() {
  const std::string& path = m_spec.m_source;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, m_file) != AVIERR_OK || !m_file) {
    ShowMessage(Said(UnableToOpenText(path)), MB_ICONINFORMATION);
    Release();
    return false;
  }
  const HRESULT found = m_file->GetStream(m_stream, streamtypeVIDEO, 0);
  if (found == AVIERR_NODATA) {
    ShowMessage(Said("No data for the required FOURCC codec"), MB_ICONINFORMATION);
    Release();
    return false;
  }
  if (!m_stream) {
    ShowMessage(Said(Format("Cannot get AVI video stream for %s", path.c_str())),
                MB_ICONINFORMATION);
    Release();
    return false;
  }
  return true;
}

void CLayerUnit::Adopt(const CLayerSpec& spec, PAVISTREAM stream) {
  Release();
  m_spec = spec;
  m_rule = spec.m_rule;
  m_number = m_count = 1;
  m_adopted = true;
  m_stream = std::move(stream);
}

bool CLayerUnit::OpenReader() {
  if (!m_stream && (m_adopted || !OpenFile())) return false;
  if (m_reader.Open(m_stream, m_rule.m_layerAlpha) != 0) {
    Release();
    return false;
  }
  m_open = true;
  return true;
}

void CLayerUnit::Release() {
  m_reader.Close();
  m_open = false;
  if (m_adopted) return;
  m_stream.reset();
  m_file.reset();
}

CLayerUnit::EReady CLayerUnit::Plan(const CVideoReader& mainReader) {
  if (!OpenReader()) return EReady::kNoReader;
  if (m_reader.m_firstFrameUnreadable) {
    ShowMessage(
        Said(Format("The first frame of %s cannot be decoded: it is not mixed", Name().c_str())),
        MB_ICONERROR);
    Release();
    return EReady::kRefused;
  }
  if (m_rule.m_layerAlpha && !m_reader.m_hasAlpha && !m_spec.m_source.empty()) {
    ShowMessage(Said(Format("%s has no alpha channel: every pixel of it is taken as opaque",
                            m_spec.m_source.c_str())),
                MB_ICONINFORMATION);
  }
  const CPlanInput input = PlanInputOf(mainReader, m_reader, m_rule);
  if (const std::string refused = PlanLayer(m_spec.m_placement, input, m_plan); !refused.empty()) {
    if (m_count == 1 || !m_plan.m_neverShown) {
      ShowMessage(Said(refused), MB_ICONERROR);
      return EReady::kPlacementRefused;
    }
    // One layer among others that never shows is left out, the rest mixed.
    ShowMessage(Said(refused + ": it is not shown"), MB_ICONINFORMATION);
    m_plan = CLayerPlan{};
    m_pictureBytes = 0;
    Release();
    return EReady::kReady;
  }
  // Among several layers, one at a custom offset wholly off the picture is news too.
  if (m_count > 1) {
    m_plan.m_outside = m_plan.m_outside || m_plan.m_left >= input.m_mainWidth ||
                       m_plan.m_top >= input.m_mainHeight ||
                       int64_t{m_plan.m_left} + m_plan.m_width <= 0 ||
                       int64_t{m_plan.m_top} + m_plan.m_height <= 0;
  }
  if (const std::string notices = PlanNotices(m_plan); !notices.empty())
    ShowMessage(Said(notices), MB_ICONINFORMATION);
  m_rule.m_left = m_plan.m_left;
  m_rule.m_top = m_plan.m_top;
  // The screen keyer keys each frame once, into a picture with alpha, before resizing.
  const bool screen = m_rule.ScreenKeys();
  if (screen) {
    if (!PrepareScreenKey(m_rule, m_reader,
                          m_spec.m_source.empty() ? "the top layer" : m_spec.m_source)) {
      return EReady::kRefused;
    }
    if (!m_keyer.Setup(m_reader.m_width, m_reader.m_height, m_reader.m_withAlpha)) {
      ShowMessage(Said("Cannot allocate memory to key the top layer"), MB_ICONINFORMATION);
      return EReady::kNoReader;
    }
  }
  if (m_plan.m_scaled &&
      !m_scaler.Setup(m_reader.m_width, m_reader.m_height, m_reader.m_withAlpha || screen,
                      m_plan.m_width, m_plan.m_height)) {
    ShowMessage(Said("Cannot allocate memory to resize the top layer"), MB_ICONINFORMATION);
    return EReady::kNoReader;
  }
  m_pictureBytes = m_plan.m_scaled ? m_scaler.PictureBytes()
                   : screen        ? m_keyer.PictureBytes()
                                   : m_reader.FrameBytes();
  if (m_pictureBytes < 0) return EReady::kNoReader;
  if (!TopCursorFor(mainReader, m_reader, *m_stream, m_rule.m_loop, m_start))
    return EReady::kNoReader;
  Rewind();
  return EReady::kReady;
}

void CLayerUnit::Rewind() {
  m_cursor = m_start;
  m_pixels = nullptr;
  m_skipped = -1;
  m_failed = false;
  // Held only while the layer shows.
  if (m_plan.m_firstShown > 0 && m_open) Release();
}

void CLayerUnit::SkipTo(int64_t frame) {
  const int64_t end = std::min<int64_t>(frame, m_plan.m_endShown);
  for (int64_t step = m_plan.m_firstShown; step < end; ++step) {
    int32_t index = 0;
    if (m_cursor.Step(index)) m_skipped = index;
  }
}

const uint8_t* CLayerUnit::Advance(int64_t frame) {
  if (!m_plan.Shown(frame)) {
    if (frame >= m_plan.m_endShown && m_open) Release();
    return nullptr;
  }
  if (!m_open) {
    if (m_failed) return nullptr;
    if (!OpenReader()) {
      m_failed = true;
      return nullptr;
    }
  }
  int32_t index = 0;
  bool due = m_cursor.Step(index);
  if (!due && m_skipped >= 0) {
    // The schedule keeps the picture it gave last, which no frame of this mix has read.
    index = m_skipped;
    due = true;
  }
  m_skipped = -1;
  if (due && m_reader.ReadFrame(index) == 0) {
    // Keyed and resized once per frame of the layer, however many output frames show it.
    const uint8_t* pixels = PrepareLayer(m_rule, m_reader.m_buffer.get(), &m_keyer,
                                         m_plan.m_scaled ? &m_scaler : nullptr);
    if (pixels) m_pixels = pixels;
  }
  return m_pixels;
}

void CLayerUnit::LayOn(int64_t frame, const uint8_t* pixels, uint8_t* output, int32_t mainWidth,
                       int32_t mainHeight) const {
  CLayerFrame layer;
  layer.m_pixels = pixels;
  layer.m_width = m_plan.m_width;
  layer.m_height = m_plan.m_height;
  layer.m_prepared = m_plan.m_scaled || m_rule.ScreenKeys();
  layer.m_fade = m_plan.Fade(frame);
  ApplyMixRule(m_rule, layer, output, mainWidth, mainHeight);
}

}  // namespace corvane
