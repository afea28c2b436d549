// One layer of a mix: a unit that owns its source (file and video stream), reader, schedule,
// placement, keyer and scaler, and lays its frames on the main frames by the rules of a
// one-layer mix. A mix of several layers is the main frame with each unit laid on in turn.
//
// Its reader is open only while the layer shows: it is opened to plan the layer, closed until
// the first frame that shows it, read only on frames that show it, and closed after the last,
// so that many layers shown one after another hold one decoder at a time. Among several layers,
// messages name a layer by its number (from 1, the lowest); a layer alone is "the top layer" of
// the one-layer mixes and speaks as they always have.
//
// Not thread-safe: one thread at a time steps it, frame after frame in order (the job's, or the
// frame prefetcher's for the lowest layer); LayOn with given pixels only reads the unit.
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

// The top layer's schedule for a mix of `mainReader`'s frames: by frame, or by time for a top
// layer that carries presentation times (any container but AVI). False, with the message shown,
// when memory for those times runs out.
bool TopCursorFor(const CVideoReader& mainReader, const CVideoReader& topReader,
                  const CAviStream& topStream, uint8_t loop, TopFrameCursor& cursor);

// For the screen keyer: the top reader set to interpolate chroma and, with an automatic key, the
// key found in the top layer's first frame (or, when that shows none, in the first of eight
// frames spread over the clip that does) put into `rule` and said (`topName` names the layer).
// False, with the message shown, when none of them has a screen colour.
bool PrepareScreenKey(CMixRule& rule, CVideoReader& topReader, const std::string& topName);

class CLayerUnit {
 public:
  // How planning a layer went; all but kReady have been said.
  enum class EReady {
    kReady,
    kNoReader,          // its reader could not be opened, or memory ran out
    kRefused,           // its frames cannot be mixed (an undecodable first frame, no screen colour)
    kPlacementRefused,  // its placement cannot be made over this main video
  };

  CLayerUnit() = default;
  ~CLayerUnit() { Release(); }
  CLayerUnit(const CLayerUnit&) = delete;
  CLayerUnit& operator=(const CLayerUnit&) = delete;

  // Opens `spec`'s file and its video stream; layer `number` (from 1) of `count`. False, with
  // the message shown, when it cannot be opened.
  bool OpenSource(const CLayerSpec& spec, int32_t number, int32_t count);
  // A lone layer over a stream the caller opened; the unit keeps the stream, never reopens it,
  // and names it by `spec.m_source` (empty: "the top layer").
  void Adopt(const CLayerSpec& spec, PAVISTREAM stream);

  // Opens the reader and plans the layer over `mainReader`'s frames, keyer and scaler ready.
  // Among several layers, one never in range or wholly off the picture is said once and ready
  // (as nothing); alone, one never in range is refused.
  EReady Plan(const CVideoReader& mainReader);

  // Steps the layer to main frame `frame` (from 0; frames come in order): reads, keys and
  // resizes a new picture when one is due. The picture to lay on that frame, valid until the
  // next step; null when the layer is not shown there or has given no picture yet.
  const uint8_t* Advance(int64_t frame);
  // Lays `pixels` (Advance's picture for `frame`, or a copy of it) over `output`, the main
  // picture's Frame buffer.
  void LayOn(int64_t frame, const uint8_t* pixels, uint8_t* output, int32_t mainWidth,
             int32_t mainHeight) const;
  // Both, for a layer stepped on the job's thread.
  void LayOn(int64_t frame, uint8_t* output, int32_t mainWidth, int32_t mainHeight) {
    if (const uint8_t* pixels = Advance(frame)) LayOn(frame, pixels, output, mainWidth, mainHeight);
  }
  // Back to the state Plan left, before the first frame.
  void Rewind();
  // After Rewind, for a mix that begins at main frame `frame` (a part of a mix): steps the
  // layer's schedule over the frames before it without reading a picture, so that the first
  // frame shown reads the picture the whole mix shows there.
  void SkipTo(int64_t frame);

  // Bytes of the pictures Advance gives (0 for a layer never shown).
  int64_t PictureBytes() const { return m_pictureBytes; }
  const CLayerPlan& LayerPlan() const { return m_plan; }
  const CAviStream* Stream() const { return m_stream.get(); }
  bool ReaderOpen() const { return m_open; }

 private:
  // The message for this layer: prefixed with its number among several.
  std::string Said(const std::string& text) const;
  // The source's name in messages.
  std::string Name() const;
  // Opens the file and its video stream; false with the message shown.
  bool OpenFile();
  // Opens the file and stream (unless adopted) and the reader; false with the message shown.
  bool OpenReader();
  // Closes the reader and, unless adopted, the file.
  void Release();

  CLayerSpec m_spec;
  int32_t m_number = 1;
  int32_t m_count = 1;
  bool m_adopted = false;
  CMixRule m_rule;  // placed where the plan puts it, the automatic key found
  CLayerPlan m_plan;
  PAVIFILE m_file;
  PAVISTREAM m_stream;
  CVideoReader m_reader;
  TopFrameCursor m_start;  // the schedule as planned, before the first frame
  TopFrameCursor m_cursor;
  CScreenKeyer m_keyer;
  CLayerScaler m_scaler;
  int64_t m_pictureBytes = 0;
  const uint8_t* m_pixels = nullptr;  // the current picture as laid on; null until one is read
  int32_t m_skipped = -1;  // the picture last due among the frames SkipTo passed; -1: none
  bool m_open = false;
  bool m_failed = false;  // reopening failed: the layer is left out from there on (said once)
};

}  // namespace corvane
