#include "preview/render/previewcontrol.h"

#include <QMouseEvent>
#include <QPainter>

#include "preview/previewpicture.h"
#include "preview/render/previewdraw.h"

namespace corvane {
namespace {

const QColor kBoxColour(0, 255, 0);
// The layers not being placed: dashed, in a colour apart from the placement box's green.
const QColor kOtherBoxColour(255, 200, 0);

// One edge from `from` towards `to`, horizontal or vertical, leaving the end point itself
// unpainted as a line primitive does.
void DrawEdge(QPainter& painter, QPoint from, QPoint to) {
  if (from == to) return;
  if (from.y() == to.y()) {
    const int step = to.x() > from.x() ? 1 : -1;
    const int last = to.x() - step;
    painter.fillRect(QRect(QPoint(std::min(from.x(), last), from.y()),
                           QPoint(std::max(from.x(), last), from.y())),
                     kBoxColour);
  } else {
    const int step = to.y() > from.y() ? 1 : -1;
    const int last = to.y() - step;
    painter.fillRect(QRect(QPoint(from.x(), std::min(from.y(), last)),
                           QPoint(from.x(), std::max(from.y(), last))),
                     kBoxColour);
  }
}

}  // namespace

uint32_t PackPosition(const QPoint& screen) {
  return static_cast<uint32_t>(static_cast<uint16_t>(screen.x())) |
         (static_cast<uint32_t>(static_cast<uint16_t>(screen.y())) << 16);
}

CPreviewControl::CPreviewControl(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
}

void CPreviewControl::ShowPicture(const CPreviewPicture* picture, bool whiteWhenEmpty) {
  m_picture = picture;
  m_whiteWhenEmpty = whiteWhenEmpty;
  update();
}

void CPreviewControl::SetOtherBoxes(std::vector<QRect> boxes) {
  if (boxes == m_otherBoxes) return;
  m_otherBoxes = std::move(boxes);
  update();
}

void CPreviewControl::SetBox(const std::optional<CPlacementBox>& box) {
  m_box = box;
  update();
}

void CPreviewControl::SetScale(double scale) {
  m_scale = scale > 0.0 && scale < 1.0 ? scale : 1.0;
  update();
}

QRect CPreviewControl::ScreenRect() const {
  return QRect(mapToGlobal(QPoint(0, 0)), size());
}

void CPreviewControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool loaded = m_picture && m_picture->m_loaded == 1;
  if (loaded) {
    painter.save();
    if (m_scale != 1.0) {
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      painter.scale(m_scale, m_scale);
    }
    if (m_picture->m_hasAlpha) {
      DrawOverCheckerboard(painter);
    } else {
      Draw(*m_picture, &painter);
    }
    painter.restore();
  } else if (m_picture && m_whiteWhenEmpty) {
    painter.fillRect(rect(), Qt::white);
  }
  for (const QRect& other : m_otherBoxes) {
    painter.setPen(QPen(kOtherBoxColour, 1, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(other.adjusted(0, 0, -1, -1));
  }
  if (m_box) {
    const int32_t left = m_box->m_x;
    const int32_t top = m_box->m_y;
    const int32_t right = left + m_box->m_width;
    const int32_t bottom = top + m_box->m_height;
    DrawEdge(painter, QPoint(left, top), QPoint(right, top));
    if (!m_box->m_rightOpen) DrawEdge(painter, QPoint(right, top), QPoint(right, bottom));
    if (!m_box->m_bottomOpen) DrawEdge(painter, QPoint(right, bottom), QPoint(left, bottom));
    DrawEdge(painter, QPoint(left, bottom), QPoint(left, top));
  }
  // An empty pane shows the control's black frame; a picture covers it, every pixel of the
  // frame being a pixel that can be probed.
  if (!loaded && width() > 0 && height() > 0) {
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
}

void CPreviewControl::DrawOverCheckerboard(QPainter& painter) {
  const CPreviewPicture& picture = *m_picture;
  const int width = picture.m_width;
  const int height = picture.m_height;
  if (!picture.m_pixels || picture.m_alpha.size() != size_t(width) * size_t(height)) return;
  if (m_withAlphaSerial != picture.m_serial) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
      auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
      const uint8_t* pixel = picture.m_pixels.get() + size_t(y) * width * 3;
      const uint8_t* alpha = picture.m_alpha.data() + size_t(y) * width;
      for (int x = 0; x < width; ++x, pixel += 3)
        row[x] = qRgba(pixel[2], pixel[1], pixel[0], alpha[x]);
    }
    m_withAlpha = std::move(image);
    m_withAlphaSerial = picture.m_serial;
  }
  // Eight-pixel squares, light and mid grey, where the picture lets the background through.
  constexpr int kSquare = 8;
  for (int y = 0; y < height; y += kSquare) {
    for (int x = 0; x < width; x += kSquare) {
      const bool light = ((x / kSquare) + (y / kSquare)) % 2 == 0;
      painter.fillRect(QRect(x, y, std::min(kSquare, width - x), std::min(kSquare, height - y)),
                       light ? QColor(204, 204, 204) : QColor(153, 153, 153));
    }
  }
  painter.drawImage(QPoint(0, 0), m_withAlpha);
}

void CPreviewControl::Report(EPreviewMessage message, const QPoint& screen) {
  if (m_procedure) m_procedure(*this, message, PackPosition(screen));
}

void CPreviewControl::mouseMoveEvent(QMouseEvent* event) {
  Report(EPreviewMessage::kHitTest, event->globalPosition().toPoint());
  QWidget::mouseMoveEvent(event);
}

void CPreviewControl::mousePressEvent(QMouseEvent* event) {
  const QPoint screen = event->globalPosition().toPoint();
  Report(EPreviewMessage::kHitTest, screen);
  if (event->button() == Qt::LeftButton) {
    Report(EPreviewMessage::kLeftButtonDown, screen);
    emit clicked();
  }
  event->accept();
}

void CPreviewControl::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint screen = event->globalPosition().toPoint();
  Report(EPreviewMessage::kHitTest, screen);
  if (event->button() == Qt::RightButton) Report(EPreviewMessage::kRightButtonUp, screen);
  event->accept();
}

}  // namespace corvane
