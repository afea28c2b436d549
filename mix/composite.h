// The per-frame compositing rules of a mix and the top layer's frame schedule.
//
// Frames are Frame buffers: 24-bit bottom-up rows of blue, green, red, each row padded to
// FrameStride(width) bytes. The output frame holds the main video's current frame when a rule
// starts and is changed in place; the top frame is only read. Nothing here allocates per call
// or touches the row padding of either frame.
//
// Placement: `left` columns from the main picture's left edge and `top` rows from its top edge
// to the top layer's top-left pixel. A top layer that does not lie wholly inside the main
// picture is clipped to the overlap (offsets may be negative); pixels outside it are never
// read or written, and a top row never spills into another output row. Within the overlap the
// top frame's memory rows are visited bottom row first, each row left to right.
#pragma once

#include <cstdint>
#include <memory>

#include "media/avifile.h"
#include "mix/screenkey.h"

namespace corvane {

// The key value 0x00bbggrr of a colour; only the low 8 bits of each channel count.
uint32_t PackKeyColour(uint32_t red, uint32_t green, uint32_t blue);

// Colour-key rule: a top pixel whose packed value equals `key` (all 32 bits: a key with bits
// above the colour matches no pixel) leaves the output pixel as it is; any other top pixel
// replaces it.
void CompositeColourKey(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                        const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                        int32_t top, uint32_t key);

// Alpha rule: `alpha` (0..255) is the weight of the main video. Each channel becomes
// trunc(t * (1 - S) + m * S) with S = alpha / 255, computed in double precision in that
// order (t: top byte, m: main byte). With `useTransparency` equal to 1, top pixels of the key
// colour leave the output pixel as it is. An alpha outside 0..255 is taken as the nearest
// end of the range; one that is not a number leaves the output unchanged.
void CompositeAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                    int32_t topWidth, int32_t topHeight, int32_t left, int32_t top, uint32_t key,
                    uint8_t useTransparency, double alpha);

// Layer-alpha rule: the top frame is 32-bit (blue, green, red, alpha; rows of 4 * topWidth
// bytes, bottom row first) and each top pixel's own alpha A weighs it. S, the main video's
// weight, is `alpha` / 255 as in the alpha rule (`alpha` is taken as that rule takes it), 0 for
// the colour-key mix. A top pixel whose three colour bytes equal the key leaves the output pixel
// as it is when `keys` is true; otherwise, with w = (A * K) * (1 - S) (K = 1/255), each channel
// becomes trunc(t * w + m * (1 - w)) in double precision in that order, except at A = 255,
// where it is the mode's own rule (t in the colour-key mix, the alpha rule's blend otherwise),
// and at A = 0, where it stays m.
void CompositeLayerAlpha(uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                         const uint8_t* topFrame, int32_t topWidth, int32_t topHeight, int32_t left,
                         int32_t top, uint32_t key, bool keys, bool alphaMix, double alpha);

// A fading top layer: with fade factor f (0..1), the top's weight w by the rule in force (1 for
// a pixel the colour-key mix does not key, 1 - S in the alpha mix, (A * K) * (1 - S) with the
// top pixel's own alpha A below 255) becomes w * f, and each channel becomes
// trunc(t * w + m * (1 - w)) in double precision in that order. Key-coloured pixels leave the
// output as it is when `keys` is true. The top frame is 32-bit with `topHasAlpha`, else the
// 24-bit Frame buffer, whose pixels count as A = 255. At f = 1 it is the layer-alpha rule.
void CompositeFaded(uint8_t* output, int32_t mainWidth, int32_t mainHeight, const uint8_t* topFrame,
                    bool topHasAlpha, int32_t topWidth, int32_t topHeight, int32_t left,
                    int32_t top, uint32_t key, bool keys, bool alphaMix, double alpha, double fade);

// One channel of a fading top layer, as written (the reference of the fast paths).
uint8_t FadedChannel(uint8_t topByte, uint8_t mainByte, uint8_t topAlpha, bool alphaMix,
                     double alpha, double fade);

// One channel by the layer-alpha rule, as written (the reference of the fast paths).
uint8_t LayerAlphaChannel(uint8_t topByte, uint8_t mainByte, uint8_t topAlpha, bool alphaMix,
                          double alpha);

// The channel blend of the alpha rule for one byte pair, as written (the reference the fast
// paths must match bit for bit). `s` is alpha * (1 / 255).
uint8_t BlendChannel(uint8_t topByte, uint8_t mainByte, double s);

// What a mix does to every frame: which rule, with which key and placement. The defaults are the
// colour-key mix at (0, 0) with the key black and no looping.
struct CMixRule {
  bool m_alpha = false;  // the alpha rule; else the colour-key rule
  uint32_t m_key = 0;    // PackKeyColour
  int32_t m_top = 0;
  int32_t m_left = 0;
  uint8_t m_useTransparency = 0;  // alpha rule only
  uint8_t m_loop = 0;             // the top layer's schedule, not the rule
  double m_alphaLevel = 0.0;      // alpha rule only
  bool m_layerAlpha = false;      // the top layer's own alpha weighs it (a 32-bit top frame)
  CKeyerSettings m_keying;        // the exact keyer by default

  // True when top pixels of the key colour let the main video through (the exact keyer).
  bool Keys() const {
    return m_keying.m_keyer == EKeyer::kExact && (!m_alpha || m_useTransparency == 1);
  }
  // The top layer is keyed by the screen keyer into a picture with alpha before it is laid on.
  bool ScreenKeys() const { return m_keying.m_keyer == EKeyer::kScreen; }
  CRgb KeyRgb() const { return {uint8_t(m_key), uint8_t(m_key >> 8), uint8_t(m_key >> 16)}; }
};

// Lays `topFrame` over `output` by `rule`: the one place both the mix and its preview composite.
// With rule.m_layerAlpha the top frame is 32-bit (CompositeLayerAlpha).
void ApplyMixRule(const CMixRule& rule, uint8_t* output, int32_t mainWidth, int32_t mainHeight,
                  const uint8_t* topFrame, int32_t topWidth, int32_t topHeight);

// One frame of the top layer as the mix lays it: as read (24-bit, or 32-bit with the
// layer-alpha rule), or prepared by resizing (32-bit, the key already made transparent: see
// CLayerScaler), and how far faded in (CompositeFaded; 1: not fading).
struct CLayerFrame {
  const uint8_t* m_pixels = nullptr;
  int32_t m_width = 0;
  int32_t m_height = 0;
  bool m_prepared = false;
  double m_fade = 1.0;
};

// Lays `layer` over `output` by `rule` (whose offset places it). Without preparing or fading it
// is ApplyMixRule above, byte for byte.
void ApplyMixRule(const CMixRule& rule, const CLayerFrame& layer, uint8_t* output,
                  int32_t mainWidth, int32_t mainHeight);

// The code paths of the rules, narrowest to widest. By default the widest that the processor
// has is used; tests and benchmarks limit it to compare the paths, which give identical bytes.
enum class ECompositePath { kPlain, kSse41, kAvx2, kAvx512, kBest };
void LimitCompositePath(ECompositePath path);

// Which frame of the top layer belongs to each output frame. `start` and `end` are the top
// stream's first frame and one past its last; `next` starts at `start`; the layer loops only
// when `loop` equals 1. Without looping the last frame stays on screen once shown.
struct TopFrameCursor {
  int32_t start = 0;
  int32_t end = 0;
  int32_t next = 0;
  uint8_t loop = 0;

  // A top layer that carries presentation times follows time instead: on output frame N (one
  // lasts mainScale / mainRate seconds) it shows its last picture that starts at or before
  // N * mainScale / mainRate, counted from each stream's first picture, in exact integer
  // arithmetic. A picture whose time lies on a clock of at least two ticks per picture counts
  // from half a tick earlier (its stored time was rounded to the tick). Looping runs that time
  // modulo the top layer's duration.
  std::shared_ptr<const SPresentationTimes> times;
  int64_t mainScale = 1;
  int64_t mainRate = 1;
  int64_t stepped = 0;  // output frames stepped so far (with `times`)
  int32_t shown = -1;   // top frame given last (with `times`)

  // Once per output frame, before compositing. Returns true and sets `index` when the top
  // frame `index` is to be read; false when the reader keeps the frame it read last.
  bool Step(int32_t& index);

 private:
  bool StepByTime(int32_t& index);
};

}  // namespace corvane
