#include "media/codec/planescale.h"

namespace corvane {

bool CPlaneScaler::Setup(int32_t fromWidth, int32_t fromHeight, int32_t toWidth, int32_t toHeight) {
  m_scaler.reset();
  if (fromWidth <= 0 || fromHeight <= 0 || toWidth <= 0 || toHeight <= 0) return false;
  // One plane of grey: libswscale filters it as it is, with no range or matrix conversion.
  m_scaler.reset(sws_getContext(fromWidth, fromHeight, AV_PIX_FMT_GRAY8, toWidth, toHeight,
                                AV_PIX_FMT_GRAY8, SWS_LANCZOS | SWS_ACCURATE_RND | SWS_BITEXACT,
                                nullptr, nullptr, nullptr));
  m_fromHeight = fromHeight;
  return m_scaler != nullptr;
}

bool CPlaneScaler::Scale(const uint8_t* from, int32_t fromStride, uint8_t* to,
                         int32_t toStride) const {
  if (!m_scaler || !from || !to) return false;
  const uint8_t* const source[4] = {from, nullptr, nullptr, nullptr};
  const int sourceStride[4] = {fromStride, 0, 0, 0};
  uint8_t* const target[4] = {to, nullptr, nullptr, nullptr};
  const int targetStride[4] = {toStride, 0, 0, 0};
  return sws_scale(m_scaler.get(), source, sourceStride, 0, m_fromHeight, target, targetStride) > 0;
}

}  // namespace corvane
