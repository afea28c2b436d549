#include "mix/layerscale.h"

#include <algorithm>
#include <new>

#include "media/avidefs.h"

namespace corvane {

bool CLayerScaler::Setup(int32_t fromWidth, int32_t fromHeight, bool fromAlpha, int32_t toWidth,
                         int32_t toHeight) {
  m_toWidth = 0;
  m_toHeight = 0;
  if (!m_scaler.Setup(fromWidth, fromHeight, toWidth, toHeight)) return false;
  m_fromWidth = fromWidth;
  m_fromHeight = fromHeight;
  m_fromAlpha = fromAlpha;
  // Rows on 64-byte steps, with room for the scaler's whole groups past the last pixel.
  const auto stride = [](int32_t width) {
    return static_cast<int32_t>((int64_t{width} + CPlaneScaler::kRowSlack + 63) & ~int64_t{63});
  };
  m_fromStride = stride(fromWidth);
  m_toStride = stride(toWidth);
  try {
    m_fromPlanes.assign(size_t(m_fromStride) * size_t(fromHeight) * 4, 0);
    m_toPlanes.assign(size_t(m_toStride) * size_t(toHeight) * 4 + CPlaneScaler::kRowSlack, 0);
    m_picture.assign(size_t(toWidth) * 4 * size_t(toHeight), 0);
  } catch (const std::bad_alloc&) {
    m_fromPlanes = {};
    m_toPlanes = {};
    m_picture = {};
    return false;
  }
  m_toWidth = toWidth;
  m_toHeight = toHeight;
  return true;
}

bool CLayerScaler::Prepare(const CMixRule& rule, const uint8_t* topFrame) {
  if (!topFrame || m_toWidth <= 0) return false;
  const bool keys = rule.Keys() && (rule.m_key >> 24) == 0;
  const uint8_t key[3] = {uint8_t(rule.m_key >> 16), uint8_t(rule.m_key >> 8), uint8_t(rule.m_key)};
  const int64_t fromRow = m_fromAlpha ? int64_t{m_fromWidth} * 4 : FrameStride(m_fromWidth);
  const int pixelBytes = m_fromAlpha ? 4 : 3;
  const size_t fromPlane = size_t(m_fromStride) * size_t(m_fromHeight);
  // Frame buffers are bottom row first; the planes top first, as a picture is filtered.
  for (int32_t y = 0; y < m_fromHeight; ++y) {
    const uint8_t* src = topFrame + int64_t{m_fromHeight - 1 - y} * fromRow;
    uint8_t* planes[4];
    for (int p = 0; p < 4; ++p)
      planes[p] = m_fromPlanes.data() + p * fromPlane + size_t(y) * m_fromStride;
    for (int32_t x = 0; x < m_fromWidth; ++x, src += pixelBytes) {
      const bool keyed = keys && src[0] == key[0] && src[1] == key[1] && src[2] == key[2];
      const uint32_t a = keyed ? 0 : m_fromAlpha ? src[3] : 255;
      for (int c = 0; c < 3; ++c) planes[c][x] = uint8_t((src[c] * a + 127) / 255);
      planes[3][x] = uint8_t(a);
    }
  }
  const size_t toPlane = size_t(m_toStride) * size_t(m_toHeight);
  for (int p = 0; p < 4; ++p) {
    if (!m_scaler.Scale(m_fromPlanes.data() + p * fromPlane, m_fromStride,
                        m_toPlanes.data() + p * toPlane, m_toStride)) {
      return false;
    }
  }
  for (int32_t y = 0; y < m_toHeight; ++y) {
    uint8_t* dst = m_picture.data() + int64_t{m_toHeight - 1 - y} * m_toWidth * 4;
    const uint8_t* planes[4];
    for (int p = 0; p < 4; ++p)
      planes[p] = m_toPlanes.data() + p * toPlane + size_t(y) * m_toStride;
    for (int32_t x = 0; x < m_toWidth; ++x, dst += 4) {
      const uint32_t a = planes[3][x];
      for (int c = 0; c < 3; ++c) {
        dst[c] = a == 0 ? 0 : uint8_t(std::min<uint32_t>(255, (planes[c][x] * 255u + a / 2) / a));
      }
      dst[3] = uint8_t(a);
    }
  }
  return true;
}

const uint8_t* PrepareLayer(const CMixRule& rule, const uint8_t* topFrame, CScreenKeyer* keyer,
                            CLayerScaler* scaler) {
  const uint8_t* picture = topFrame;
  if (keyer && rule.ScreenKeys()) {
    keyer->Key(picture, rule.KeyRgb(), rule.m_keying, rule.m_layerAlpha);
    picture = keyer->Picture();
  }
  if (!scaler) return picture;
  // A keyed picture carries its matte as alpha, and the screen keyer's rule keys no colour.
  return scaler->Prepare(rule, picture) ? scaler->Picture() : nullptr;
}

}  // namespace corvane
