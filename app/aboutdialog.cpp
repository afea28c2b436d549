#include "app/aboutdialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "app/appicon.h"
#include "app/dialogunits.h"

namespace corvane {
namespace {

int g_linkVisited = 0;

}  // namespace

QColor LinkColour(bool visited) {
  return visited ? QColor(128, 0, 128) : QColor(0, 0, 255);
}

bool LinkVisited() {
  return g_linkVisited != 0;
}

QUrl UserGuideUrl() {
  const QDir binDir(QCoreApplication::applicationDirPath());
  const QString installed = binDir.absoluteFilePath(QStringLiteral(CORVANE_GUIDE_FROM_BIN));
  if (QFileInfo::exists(installed)) return QUrl::fromLocalFile(QDir::cleanPath(installed));
  return QUrl::fromLocalFile(QStringLiteral(CORVANE_GUIDE_IN_SOURCE));
}

std::function<bool(const QUrl&)>& LinkOpener() {
  static std::function<bool(const QUrl&)> opener = [](const QUrl& url) {
    return QDesktopServices::openUrl(url);
  };
  return opener;
}

std::function<void()>& Beeper() {
  static std::function<void()> beeper = [] { QApplication::beep(); };
  return beeper;
}

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("About"));
  setFont(DialogFont());
  const CDialogUnits units(font());
  resize(units.X(180), units.Y(103));

  auto* ok = new QPushButton(tr("OK"), this);
  ok->setGeometry(units.Rect(141, 82, 32, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { done(1); });

  auto* text = new QLabel(QStringLiteral("Corvane v3.0\n\nBy the Corvane developers 2006"), this);
  text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  text->setWordWrap(true);
  // A centred static wraps its words; it grows downwards when the credit needs a fourth line.
  QRect textRect = units.Rect(29, 46, 80, 27);
  textRect.setHeight(std::max(textRect.height(), text->heightForWidth(textRect.width())));
  text->setGeometry(textRect);
  text->setObjectName(QStringLiteral("credit"));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(QRect(units.X(61), units.Y(22), 32, 32));
  icon->setObjectName(QStringLiteral("icon"));

  auto* group = new QGroupBox(this);
  group->setGeometry(units.Rect(7, 7, 130, 89));
  group->lower();

  m_link = new CLinkControl(UserGuideUrl().toString(), this);
  m_link->setGeometry(units.Rect(13, 81, 120, 8));
  connect(m_link, &CLinkControl::clicked, this, &CAboutDialog::OnLinkClicked);

  // Centred over the parent when it shows, otherwise on the screen; inside the work area.
  QRect area = screen() ? screen()->availableGeometry() : QRect();
  QPoint centre = area.center();
  if (parent && parent->isVisible() && !parent->isMinimized())
    centre = parent->frameGeometry().center();
  QRect placed(QPoint(0, 0), size());
  placed.moveCenter(centre);
  if (!area.isEmpty()) {
    if (placed.right() > area.right()) placed.moveRight(area.right());
    if (placed.bottom() > area.bottom()) placed.moveBottom(area.bottom());
    if (placed.left() < area.left()) placed.moveLeft(area.left());
    if (placed.top() < area.top()) placed.moveTop(area.top());
  }
  move(placed.topLeft());
}

void CAboutDialog::OnLinkClicked() {
  if (LinkOpener() && LinkOpener()(QUrl(m_link->Address()))) {
    g_linkVisited = 1;
    update();
    m_link->update();
  } else if (Beeper()) {
    Beeper()();
  }
}

CLinkControl::CLinkControl(const QString& address, QWidget* parent)
    : QWidget(parent), m_address(address) {
  setObjectName(QStringLiteral("link"));
  setFocusPolicy(Qt::NoFocus);
}

void CLinkControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor colour = LinkColour(LinkVisited());
  const QFontMetrics metrics(font());
  // A long address is shortened in the middle so both of its ends stay readable.
  const QString shown = metrics.elidedText(m_address, Qt::ElideMiddle, width());
  const int textWidth = metrics.horizontalAdvance(shown);
  painter.setPen(colour);
  painter.drawText(QPoint(0, metrics.ascent()), shown);
  // The underline sits on the first row below the text, kept inside the control.
  const int underline = std::min(metrics.height(), height() - 1);
  painter.fillRect(QRect(0, underline, textWidth, 1), colour);
}

void CLinkControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit clicked();
  event->accept();
}

}  // namespace corvane
