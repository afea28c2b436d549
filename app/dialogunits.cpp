#include "app/dialogunits.h"

#include <QApplication>
#include <QFontMetrics>
#include <cstdint>

namespace corvane {

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const int64_t product = static_cast<int64_t>(a) * b;
  const int64_t half = (c < 0 ? -c : c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const int64_t magnitude = ((product < 0 ? -product : product) + half) / (c < 0 ? -c : c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

QFont DialogFont() {
  QFont font = QApplication::font();
  font.setPointSize(8);
  return font;
}

CDialogUnits::CDialogUnits(const QFont& font) {
  // The average width over the 52 letters, rounded as the dialog manager rounds it.
  const QFontMetrics metrics(font);
  const int extent = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_baseX = (extent / 26 + 1) / 2;
  m_baseY = metrics.height();
  if (m_baseX < 1) m_baseX = 1;
  if (m_baseY < 1) m_baseY = 1;
}

}  // namespace corvane
