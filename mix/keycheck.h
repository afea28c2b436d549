// The keyed-pixel check of one frame: how many top pixels the key lets the main video through,
// and how many miss the key by a few steps, the fringe a lossily compressed top layer leaves.
//
// Counts only the top pixels that land on the main picture (the placement clipped as the
// compositing rules clip it). Frames are Frame buffers as in mix/composite.h; the top frame is
// 32-bit when the rule uses the layer's alpha (the key compares the colour bytes only).
#pragma once

#include <cstdint>

#include "mix/composite.h"

namespace corvane {

// A pixel within this many steps of the key in every channel, and not equal to it, is near it.
constexpr int kNearKeySteps = 8;

struct CKeyCheck {
  int64_t m_keyed = 0;    // top pixels equal to the key (0 when the rule does not key)
  int64_t m_total = 0;    // top pixels on the main picture
  int64_t m_nearKey = 0;  // near the key but not equal (0 when the rule does not key)
};

CKeyCheck CheckKey(const CMixRule& rule, int32_t mainWidth, int32_t mainHeight,
                   const uint8_t* topFrame, int32_t topWidth, int32_t topHeight);

// The mask colours, blue-green-red as a Frame buffer holds them.
struct CMaskColour {
  uint8_t m_blue, m_green, m_red;
};
constexpr CMaskColour kMaskOutside{64, 64, 64};   // no top pixel lands here
constexpr CMaskColour kMaskCovered{0, 0, 0};      // the top pixel is laid over the main video
constexpr CMaskColour kMaskKeyed{255, 255, 255};  // keyed: the main video shows
constexpr CMaskColour kMaskNearKey{0, 0, 255};    // near the key but not equal: a fringe

// Paints the mask of the check into `mask`, a main-sized Frame buffer (row padding untouched).
void DrawKeyMask(const CMixRule& rule, uint8_t* mask, int32_t mainWidth, int32_t mainHeight,
                 const uint8_t* topFrame, int32_t topWidth, int32_t topHeight);

// The user's line for the check: "keyed: K of T top pixels".
const char* KeyedFormat();
// The warning for near-key pixels, with %lld for their count.
const char* NearKeyFormat();

}  // namespace corvane
