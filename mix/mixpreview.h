// The composite preview: main frame N mixed with the top layer by a rule, made by the same
// readers, top-layer schedule and compositing as the mix, so that it is pixel for pixel the
// frame the mix writes for frame N. Used by the desktop program and by corvane-mix
// --preview-frame; a mix of several layers chains one per layer (mix/layerspreview.h).
//
// Owns a reader on each stream (the streams themselves are shared with whoever opened them) and
// a main-sized composite Frame buffer. Keeps the frames it read last, so that a change of the
// rule composites again without decoding. One thread at a time; reading failures show their
// message through the host, like the mix's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "media/avifile.h"
#include "media/videoreader.h"
#include "mix/composite.h"
#include "mix/keycheck.h"
#include "mix/layerscale.h"
#include "mix/placement.h"
#include "mix/screenkey.h"

namespace corvane {

class CMixPreview {
 public:
  CMixPreview() = default;
  CMixPreview(const CMixPreview&) = delete;
  CMixPreview& operator=(const CMixPreview&) = delete;

  // Opens readers on `mainStream` and `topStream` (null: the main video alone). False when
  // either reader does not open; the preview is then empty.
  bool Open(const PAVISTREAM& mainStream, const PAVISTREAM& topStream);
  void Close();
  bool IsOpen() const { return m_mainOpen; }

  // Frames of the main video; 0 when not open.
  int32_t FrameCount() const;
  int32_t Width() const { return m_main.m_width; }
  int32_t Height() const { return m_main.m_height; }

  // Makes Composite() the mix's frame `frame` (0-based) under `rule`: reads main frame `frame`
  // and the top layer's frame the mix shows with it (looping by rule.m_loop), unless they are
  // the ones read last (the top layer is read again when rule.m_layerAlpha changes). With a
  // `placement`, the top layer is placed, resized, shown and faded as the mix does it (the
  // rule's offset is the custom one). With a `base` (a main-sized Frame buffer: the composite of
  // the layers below this one) the top layer is laid on it instead, and the main frame is not
  // read. False when `frame` is out of range, the main frame does not read, or the placement
  // cannot be made (PlacementError says why).
  bool Render(int32_t frame, const CMixRule& rule, const CPlacement& placement = {},
              const uint8_t* base = nullptr);

  // The plan of the last rendering (where and how large the top layer lands) and, when the
  // placement was refused, why; empty otherwise.
  const CLayerPlan& Plan() const { return m_plan; }
  const std::string& PlacementError() const { return m_placementError; }

  // The last rendering's frames (Frame buffers), null before one; the main frame is null too
  // when it was laid on a base. The top frame is null when the top layer shows nothing on that
  // frame (no top layer, or it gave no picture yet).
  const uint8_t* Composite() const { return m_rendered ? m_composite.get() : nullptr; }
  const uint8_t* MainFrame() const {
    return m_rendered && !m_onBase ? m_main.m_buffer.get() : nullptr;
  }
  const uint8_t* TopFrame() const {
    return m_rendered && m_topShown >= 0 ? m_top.m_buffer.get() : nullptr;
  }
  int32_t TopWidth() const { return m_top.m_width; }
  // The top frame is 32-bit (the last rendering used the layer's alpha) and has alpha of its own.
  bool TopWithAlpha() const { return m_top.m_withAlpha; }
  bool TopHasAlpha() const { return m_top.m_withAlpha && m_top.m_hasAlpha; }
  int32_t TopHeight() const { return m_top.m_height; }

  // With the screen keyer and an automatic key: the key found in the top layer's first frame,
  // put into `rule` (PrepareScreenKey). False, with the message shown, when none is found.
  bool ResolveAutoKey(CMixRule& rule, const std::string& topName);

  // How much of the last rendering's keyed top picture is transparent, partly transparent and
  // opaque (all zero unless the screen keyer keyed it); a resized one at its resized size.
  CMatteCount MatteCount() const;

  // The keyed-pixel check and its mask (a main-sized Frame buffer) of the last rendering, with
  // the top layer where its plan puts it. A resized layer is checked as it is laid on: the
  // pixels of its resized picture that land on the main picture, keyed where the picture is
  // wholly transparent (the key was taken out before resizing) and near the key where it still
  // shows a colour within kNearKeySteps of it. A screen-keyed layer's mask shows its matte in
  // grey levels (white: wholly transparent).
  CKeyCheck KeyCheck(const CMixRule& rule) const;
  void DrawMask(const CMixRule& rule, uint8_t* mask) const;

 private:
  // The top frame the mix shows with main frame `frame`; -1 when it shows none.
  int32_t TopFrameFor(int32_t frame, uint8_t loop, const CLayerPlan& plan) const;
  CMixRule PlacedRule(const CMixRule& rule) const;

  CVideoReader m_main;
  CVideoReader m_top;
  PAVISTREAM m_topStream;
  TopFrameCursor m_schedule;  // the top layer's schedule at the mix's start
  bool m_mainOpen = false;
  bool m_topOpen = false;
  std::unique_ptr<uint8_t[]> m_composite;
  int64_t m_frameBytes = 0;
  bool m_rendered = false;
  bool m_onBase = false;     // the last rendering was laid on a given base
  int32_t m_mainShown = -1;  // main frame in the reader's buffer (0-based)
  int32_t m_topShown = -1;   // top frame in the reader's buffer (stream position)
  CLayerPlan m_plan;
  std::string m_placementError;
  CLayerScaler m_scaler;           // set up for the plan's size when it resizes
  CScreenKeyer m_keyer;            // set up for the top layer when the screen keyer keys it
  bool m_topInterpolated = false;  // the top reader interpolates chroma (the screen keyer)
  bool m_keyed = false;            // the last rendering's top frame was screen-keyed
  int64_t m_topReads = 0;          // top frames read into the reader's buffer so far
  // What the keyer's picture was made from: which read of the top layer, with which key.
  struct CKeyedFrom {
    int64_t m_read = -1;
    uint32_t m_key = 0;
    CKeyerSettings m_keying;
    bool m_layerAlpha = false;
    bool operator==(const CKeyedFrom&) const = default;
  };
  CKeyedFrom m_keyedFrom;
};

}  // namespace corvane
