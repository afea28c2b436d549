// A layer laid on above the first: one unit that owns its source, reader, schedule, placement,
// keyer and scaler, and lays its frames on the main frames by the rules of a one-layer mix.
//
// Its reader is open only while the layer shows: it is opened to plan the layer, closed until
// the first frame that shows it, read only on frames that show it, and closed after the last,
// so that many layers shown one after another hold one decoder at a time. Messages name the
// layer by its number (from 1, the lowest) and its file.
//
// Not thread-safe: the job's thread uses it, frame after frame in order.
#pragma once

#include <cstdint>
#include <string>

#include "media/avifile.h"
#include "media/videoreader.h"
#include "mix/composite.h"
#include "mix/layeroptions.h"
#include "mix/layerscale.h"
#include "mix/placement.h"
#include "mix/screenkey.h"

namespace corvane {

// What a layer is: its source, its rule (the custom offset in m_left, m_top) and placement.
struct CLayerSpec {
  std::string m_source;
  CMixRule m_rule;
  CPlacement m_placement;
};

// What planning a layer of `top`'s pictures over `main`'s frames needs, with the custom
// offset `rule` gives.
CPlanInput PlanInputOf(const CVideoReader& main, const CVideoReader& top, const CMixRule& rule);

// The layer that `options` describe, over `source`: its rule as the one-layer mixes make it
// (the alpha mix with its level and transparency, or the colour-key mix).
CLayerSpec LayerSpecOf(const CLayerOptions& options, const std::string& source);

class CLayerUnit {
 public:
  CLayerUnit() = default;
  ~CLayerUnit() { Close(); }
  CLayerUnit(const CLayerUnit&) = delete;
  CLayerUnit& operator=(const CLayerUnit&) = delete;

  // Opens the source and plans it over `mainReader`'s frames. False, with the message shown
  // (naming the layer), when it cannot be mixed, as the first layer would be refused; a layer
  // wholly off the picture is said once and mixes (as nothing).
  bool Setup(const CLayerSpec& spec, int32_t number, const CVideoReader& mainReader);

  // Lays the layer over `output` (the main picture's Frame buffer) for main frame `frame` (from
  // 0), stepping its schedule and reading a new frame when one is due. Frames come in order.
  void LayOn(int64_t frame, uint8_t* output, int32_t mainWidth, int32_t mainHeight);

  bool ReaderOpen() const { return m_open; }

 private:
  // Opens the file, its video stream and the reader; false with the message shown.
  bool Open();
  void Close();

  CLayerSpec m_spec;
  int32_t m_number = 0;
  CMixRule m_rule;  // placed where the plan puts it, the automatic key found
  CLayerPlan m_plan;
  PAVIFILE m_file;
  PAVISTREAM m_stream;
  CVideoReader m_reader;
  TopFrameCursor m_cursor;
  CScreenKeyer m_keyer;
  CLayerScaler m_scaler;
  const uint8_t* m_pixels = nullptr;  // the current frame as laid on; null until one is read
  bool m_open = false;
  bool m_failed = false;  // reopening failed: the layer is left out from there on (said once)
};

}  // namespace corvane
