// Dialog units: template positions in quarters of the dialog font's average character width
// and eighths of its height, converted to pixels the way the platform's dialog manager does.
#pragma once

#include <QFont>
#include <QRect>

namespace corvane {

// a * b / c rounded half away from zero, in 64-bit.
int MulDiv(int a, int b, int c);

// The font the dialogs are laid out with: the desktop's default family at 8 points.
QFont DialogFont();

class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);
  CDialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

  int X(int units) const { return MulDiv(units, m_baseX, 4); }
  int Y(int units) const { return MulDiv(units, m_baseY, 8); }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }
  int BaseX() const { return m_baseX; }
  int BaseY() const { return m_baseY; }

 private:
  int m_baseX;  // average character width in pixels
  int m_baseY;  // character height in pixels
};

}  // namespace corvane
