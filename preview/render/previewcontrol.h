// One preview pane of the main dialog: a black-framed static control that shows a preview
// picture, optionally the green placement box, and reports the mouse like a subclassed
// window procedure would see it.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QPainter;

namespace corvane {

class CPreviewPicture;

// What the control reports to its procedure. Every mouse event first reports kHitTest (the
// position under the cursor), then the button message if there is one.
enum class EPreviewMessage { kHitTest, kLeftButtonDown, kRightButtonUp };

// The placement box in control coordinates: corner (m_x, m_y), extent m_width x m_height. An
// open side is not drawn (the top layer reaches past the main picture there).
struct CPlacementBox {
  int32_t m_x = 0;
  int32_t m_y = 0;
  int32_t m_width = 0;
  int32_t m_height = 0;
  bool m_rightOpen = false;
  bool m_bottomOpen = false;
};

// Packs a screen position the way mouse messages carry it: x in the low 16 bits, y in the high
// 16 bits.
uint32_t PackPosition(const QPoint& screen);

class CPreviewControl : public QWidget {
  Q_OBJECT
 public:
  // Called with every mouse message before the control's own handling; `position` is packed.
  using Procedure = std::function<void(CPreviewControl&, EPreviewMessage, uint32_t position)>;

  explicit CPreviewControl(QWidget* parent = nullptr);

  void SetProcedure(Procedure procedure) { m_procedure = std::move(procedure); }

  // What the next paints show: `picture` (not owned; it outlives the control), and when that
  // is not loaded, white or nothing.
  void ShowPicture(const CPreviewPicture* picture, bool whiteWhenEmpty);
  // The placement box drawn over the picture, or none.
  void SetBox(const std::optional<CPlacementBox>& box);
  const std::optional<CPlacementBox>& Box() const { return m_box; }
  // The boxes of the other layers (not the one being placed), in control coordinates.
  void SetOtherBoxes(std::vector<QRect> boxes);
  const std::vector<QRect>& OtherBoxes() const { return m_otherBoxes; }

  // The size at which the picture is shown: 1 (one screen pixel per picture pixel) unless the
  // pictures had to be scaled down to fit the screen. Positions over the control map back to
  // picture pixels by dividing by it; the box is drawn at the shown size.
  void SetScale(double scale);
  double Scale() const { return m_scale; }

  // The control's rectangle in screen coordinates.
  QRect ScreenRect() const;

 signals:
  // A left-button press (the static control's click notification).
  void clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Report(EPreviewMessage message, const QPoint& screen);
  void DrawOverCheckerboard(QPainter& painter);

  Procedure m_procedure;
  const CPreviewPicture* m_picture = nullptr;
  bool m_whiteWhenEmpty = false;
  std::optional<CPlacementBox> m_box;
  std::vector<QRect> m_otherBoxes;
  double m_scale = 1.0;
  // A picture with its own transparency, made once from its pixels and alpha, drawn over a
  // checkerboard.
  QImage m_withAlpha;
  uint64_t m_withAlphaSerial = 0;  // the picture's m_serial it was made from
};

}  // namespace corvane
