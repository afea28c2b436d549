// Resizing one 8-bit plane with libswscale's Lanczos filter (accurate rounding, bit-exact), the
// same for every plane it is given: each plane is filtered on its own, with no colour
// conversion between planes.
//
// Owns its scaler, made once for a pair of sizes.
#pragma once

#include <cstdint>

#include "media/codec/codecutil.h"

namespace corvane {

class CPlaneScaler {
 public:
  // False when the sizes are not positive or no scaler can be made.
  bool Setup(int32_t fromWidth, int32_t fromHeight, int32_t toWidth, int32_t toHeight);

  // Rows top first, `fromStride` and `toStride` bytes apart. The output rows need room for
  // kRowSlack bytes past the last pixel (libswscale may write whole groups of pixels).
  bool Scale(const uint8_t* from, int32_t fromStride, uint8_t* to, int32_t toStride) const;

  static constexpr int32_t kRowSlack = 64;

 private:
  SwsContextPtr m_scaler;
  int32_t m_fromHeight = 0;
};

}  // namespace corvane
