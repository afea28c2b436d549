// The top layer resized: each new top frame is made into a picture with alpha and scaled once,
// and the mix lays that picture over every output frame until the next top frame.
//
// The steps, on whole numbers: a top pixel the mix keys (its colour equals the key and the mode
// keys it) gets alpha 0; any other gets its own alpha with the layer-alpha rule, 255 without.
// Its colour is premultiplied, c = (t * A + 127) / 255, so that keyed pixels weigh nothing in
// the filter and no key colour bleeds into the edges. Each of the four planes (c for blue, green
// and red, and A) is resized on its own by CPlaneScaler (Lanczos). The colour is then divided
// back: t = min(255, (c * 255 + A / 2) / A), and 0 where A is 0. The result is composited by the
// layer-alpha rule with no key.
//
// Owns its planes, its scaler and the picture it gives. Not thread-safe; one job thread uses it.
#pragma once

#include <cstdint>
#include <vector>

#include "media/codec/planescale.h"
#include "mix/composite.h"
#include "mix/screenkey.h"

namespace corvane {

class CLayerScaler {
 public:
  // For top frames of fromWidth x fromHeight (32-bit rows when `fromAlpha`, else the 24-bit
  // Frame buffer) into pictures of toWidth x toHeight. False when memory or the scaler cannot
  // be had.
  bool Setup(int32_t fromWidth, int32_t fromHeight, bool fromAlpha, int32_t toWidth,
             int32_t toHeight);

  bool IsSetUpFor(int32_t fromWidth, int32_t fromHeight, bool fromAlpha, int32_t toWidth,
                  int32_t toHeight) const {
    return m_toWidth > 0 && fromWidth == m_fromWidth && fromHeight == m_fromHeight &&
           fromAlpha == m_fromAlpha && toWidth == m_toWidth && toHeight == m_toHeight;
  }

  // Makes the picture of one top frame, keyed as `rule` keys. False when the scaler fails; the
  // picture is then the previous one.
  bool Prepare(const CMixRule& rule, const uint8_t* topFrame);

  // 32-bit blue-green-red-alpha rows, bottom row first, 4 * Width() bytes each.
  const uint8_t* Picture() const { return m_picture.data(); }
  int64_t PictureBytes() const { return static_cast<int64_t>(m_picture.size()); }
  int32_t Width() const { return m_toWidth; }
  int32_t Height() const { return m_toHeight; }

 private:
  CPlaneScaler m_scaler;
  int32_t m_fromWidth = 0;
  int32_t m_fromHeight = 0;
  bool m_fromAlpha = false;
  int32_t m_toWidth = 0;
  int32_t m_toHeight = 0;
  int32_t m_fromStride = 0;           // of one source plane
  int32_t m_toStride = 0;             // of one scaled plane
  std::vector<uint8_t> m_fromPlanes;  // blue, green, red, alpha; rows top first
  std::vector<uint8_t> m_toPlanes;
  std::vector<uint8_t> m_picture;
};

// One top frame as the mix lays it: keyed by `keyer` when the rule keys with the screen keyer,
// then resized by `scaler` when there is one (set up for 32-bit frames after keying). Null when
// the scaler fails. Each is borrowed and set up by the caller.
const uint8_t* PrepareLayer(const CMixRule& rule, const uint8_t* topFrame, CScreenKeyer* keyer,
                            CLayerScaler* scaler);

}  // namespace corvane
