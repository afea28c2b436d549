#include "preview/render/previewpaint.h"

#include <QLabel>
#include <QPointer>
#include <algorithm>
#include <cmath>
#include <string>

#include "media/host.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"

namespace corvane {
namespace {

uint8_t g_previewLock = 0;
QPointer<QLabel> g_probeLine;

int32_t LowHalf(uint32_t position) {
  return static_cast<int16_t>(position & 0xFFFF);
}
int32_t HighHalf(uint32_t position) {
  return static_cast<int16_t>(position >> 16);
}

// The picture pixel under control position `shown` of a picture drawn at `scale`.
int32_t PictureCoordinate(int32_t shown, double scale) {
  if (scale == 1.0) return shown;
  return static_cast<int32_t>(std::floor(shown / scale));
}

// A length in picture pixels as drawn at `scale`.
int32_t ShownLength(int32_t length, double scale) {
  if (scale == 1.0) return length;
  return static_cast<int32_t>(std::lround(length * scale));
}

bool Inside(const CPreviewPicture& picture, int32_t x, int32_t y) {
  return x >= 0 && y >= 0 && x < picture.m_width && y < picture.m_height;
}

// Reads the triplet at (x, y) into the picture's probe fields and shows the result on the
// probe line. (x, y) is inside the picture and its triplets are held.
std::string Probe(CPreviewPicture& picture, int32_t x, int32_t y) {
  const size_t offset =
      (static_cast<size_t>(y) * static_cast<size_t>(picture.m_width) + static_cast<size_t>(x)) * 3;
  const uint8_t* pixel = picture.m_pixels.get() + offset;
  picture.m_probeBlue = pixel[0];
  picture.m_probeGreen = pixel[1];
  picture.m_probeRed = pixel[2];
  picture.m_probeX = x;
  picture.m_probeY = y;
  const int red = picture.m_probeRed;
  const int green = picture.m_probeGreen;
  const int blue = picture.m_probeBlue;
  std::string text;
  if (picture.m_hasAlpha && picture.m_alpha.size() == size_t(picture.m_width) * picture.m_height) {
    // A picture with its own transparency shows its alpha too.
    const int alpha = picture.m_alpha[size_t(y) * size_t(picture.m_width) + size_t(x)];
    picture.m_probeAlpha = static_cast<uint8_t>(alpha);
    text = Format("(%d,%d): (%d,%d,%d,%d)->(0x%x,0x%x,0x%x,0x%x)\n", x, y, red, green, blue, alpha,
                  red, green, blue, alpha);
  } else {
    picture.m_probeAlpha = 255;
    text =
        Format("(%d,%d): (%d,%d,%d)->(0x%x,0x%x,0x%x)\n", x, y, red, green, blue, red, green, blue);
  }
  if (g_probeLine) g_probeLine->setText(QString::fromStdString(text));
  return text;
}

}  // namespace

uint8_t& PreviewLock() {
  return g_previewLock;
}

void SetProbeLine(QLabel* line) {
  g_probeLine = line;
}

void PaintMainPreview(CMixEngine& engine, CPreviewControl& control, uint32_t position,
                      CPreviewPicture& picture, int32_t boxWidth, int32_t boxHeight) {
  const QRect rect = control.ScreenRect();
  int32_t cx;
  int32_t cy;
  if (g_previewLock == 1) {
    cx = engine.m_savedX;
    cy = engine.m_savedY;
  } else {
    cx = LowHalf(position);
    cy = HighHalf(position);
    engine.m_savedX = cx;
    engine.m_savedY = cy;
  }
  const int32_t x = cx - rect.left();
  const int32_t y = cy - rect.top();
  const int32_t width = rect.width();
  const int32_t height = rect.height();
  // A picture scaled down to fit the screen: the pixel under (x, y) and the box at the shown
  // size. At scale 1 both are as given.
  const double scale = control.Scale();
  const int32_t px = PictureCoordinate(x, scale);
  const int32_t py = PictureCoordinate(y, scale);
  boxWidth = ShownLength(boxWidth, scale);
  boxHeight = ShownLength(boxHeight, scale);

  // A box that does not fit ends at the control's last column or row and stays open there.
  bool rightOpen = false;
  bool bottomOpen = false;
  if (static_cast<int64_t>(x) + boxWidth >= width) {
    boxWidth = width - x - 1;
    rightOpen = true;
  }
  if (static_cast<int64_t>(y) + boxHeight >= height) {
    boxHeight = height - y - 1;
    bottomOpen = true;
  }

  control.ShowPicture(&picture, true);

  std::string text;
  if (g_previewLock == 1) {
    text = "Locked!\n";
  } else if (!picture.m_pixels || picture.m_loaded != 1) {
    // Triplets left behind by a capture that failed late are not a picture to report.
    text = "No picture loaded!\n";
  } else if (!Inside(picture, px, py)) {
    text = Format("(%d,%d) out of bounds\n", px, py);
  } else {
    text = Probe(picture, px, py);
  }
  Trace(text.c_str());

  if (engine.m_placement.m_corner != ECorner::kCustom && &picture == &engine.m_mainPicture) {
    // A corner preset: the box stands where the preset puts the layer, whatever the mouse does.
    const CLayerPlan plan = engine.PlacementPlan();
    const int64_t left = std::llround(plan.m_left * scale);
    const int64_t top = std::llround(plan.m_top * scale);
    const int64_t right = std::min<int64_t>(left + ShownLength(plan.m_width, scale), width - 1);
    const int64_t bottom = std::min<int64_t>(top + ShownLength(plan.m_height, scale), height - 1);
    const int64_t boxLeft = std::max<int64_t>(left, 0);
    const int64_t boxTop = std::max<int64_t>(top, 0);
    if (boxLeft >= right || boxTop >= bottom || !picture.m_pixels) {
      control.SetBox(std::nullopt);
      return;
    }
    control.SetBox(CPlacementBox{int32_t(boxLeft), int32_t(boxTop), int32_t(right - boxLeft),
                                 int32_t(bottom - boxTop), right == width - 1,
                                 bottom == height - 1});
    return;
  }
  if (!Inside(picture, px, py)) {
    Trace("Out of bounds - box not drawn\n");
    control.SetBox(std::nullopt);
    return;
  }
  control.SetBox(CPlacementBox{x, y, boxWidth, boxHeight, rightOpen, bottomOpen});
}

void PaintTopPreview(CMixEngine& engine, CPreviewControl& control, uint32_t position,
                     CPreviewPicture& picture) {
  (void)engine;
  if (picture.m_loaded != 1) {
    control.ShowPicture(nullptr, false);
    Trace("No picture loaded!\n");
    return;
  }
  control.ShowPicture(&picture, false);
  const QRect rect = control.ScreenRect();
  const int32_t x = PictureCoordinate(LowHalf(position) - rect.left(), control.Scale());
  const int32_t y = PictureCoordinate(HighHalf(position) - rect.top(), control.Scale());
  std::string text;
  if (!Inside(picture, x, y) || !picture.m_pixels) {
    text = Format("(%d,%d) out of bounds\n", x, y);
  } else {
    text = Probe(picture, x, y);
  }
  Trace(text.c_str());
}

void MainPreviewProc(CPreviewControl& control, EPreviewMessage message, uint32_t position) {
  CMixEngine& engine = MixEngine();
  switch (message) {
    case EPreviewMessage::kHitTest: {
      // The box is the top layer at the size it is mixed at.
      const CLayerPlan plan = engine.PlacementPlan();
      PaintMainPreview(engine, control, position, engine.m_mainPicture, plan.m_width,
                       plan.m_height);
    } break;
    case EPreviewMessage::kLeftButtonDown:
      g_previewLock = 1;
      break;
    case EPreviewMessage::kRightButtonUp:
      g_previewLock = 0;
      break;
  }
}

void TopPreviewProc(CPreviewControl& control, EPreviewMessage message, uint32_t position) {
  if (message != EPreviewMessage::kHitTest) return;
  CMixEngine& engine = MixEngine();
  PaintTopPreview(engine, control, position, engine.m_topPicture);
}

}  // namespace corvane
