// The main dialog's layout around the two pictures: the previews at the pictures' size (scaled
// down when the window would not fit the screen), the status line, the label and the top
// preview below the main one, and files dropped on a preview.
#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "app/maindialog.h"
#include "app/storedsettings.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"

namespace corvane {
namespace {

// What the window manager adds around the window, when it has not told yet: a title bar and a
// border.
constexpr int kAssumedFrameWidth = 8;
constexpr int kAssumedFrameHeight = 32;

int Shown(int length, double scale) {
  return scale == 1.0 ? length : static_cast<int>(std::lround(length * scale));
}

}  // namespace

double CMainDialog::FitScale(int mainWidth, int mainHeight, int topWidth, int topHeight) const {
  const QScreen* screen = this->screen();
  QWidget* mainPreview = Control(kMainPreviewId);
  if (!screen || !mainPreview) return 1.0;
  const QRect available = screen->availableGeometry();
  const bool framed = frameGeometry().size() != size();
  const int frameWidth = framed ? frameGeometry().width() - width() : kAssumedFrameWidth;
  const int frameHeight = framed ? frameGeometry().height() - height() : kAssumedFrameHeight;
  // Everything but the pictures: the margins beside them, the controls above the main preview,
  // the status line and the label between them, and the room below the top preview.
  const int otherWidth = 2 * mainPreview->x() + frameWidth;
  const int otherHeight = mainPreview->y() + 64 + m_menuBar->sizeHint().height() + frameHeight;
  const int pictureWidth = std::max(mainWidth, topWidth);
  const int pictureHeight = mainHeight + topHeight;
  double scale = 1.0;
  if (pictureWidth > 0 && pictureWidth + otherWidth > available.width())
    scale = std::min(scale, double(available.width() - otherWidth) / pictureWidth);
  if (pictureHeight > 0 && pictureHeight + otherHeight > available.height())
    scale = std::min(scale, double(available.height() - otherHeight) / pictureHeight);
  // A screen too small for any picture still shows one, if only a sketch of it.
  return std::max(scale, 0.05);
}

void CMainDialog::KeepOnScreen() {
  const QScreen* screen = this->screen();
  if (!screen) return;
  const QRect available = screen->availableGeometry();
  const QRect frame = frameGeometry();
  QPoint corner = frame.topLeft();
  // The bottom (the status line and the top preview) and the right edge come onto the screen
  // first; the title bar never leaves it.
  if (frame.bottom() > available.bottom()) corner.ry() -= frame.bottom() - available.bottom();
  if (frame.right() > available.right()) corner.rx() -= frame.right() - available.right();
  corner.setX(std::max(corner.x(), available.left()));
  corner.setY(std::max(corner.y(), available.top()));
  if (corner != frame.topLeft()) move(corner);
}

int CMainDialog::LayoutPreviews() {
  auto* mainPreview = static_cast<CPreviewControl*>(Control(kMainPreviewId));
  auto* topPreview = static_cast<CPreviewControl*>(Control(kTopPreviewId));
  if (!mainPreview || !topPreview) return -1;
  m_previewsLaidOut = true;
  const CMixEngine& engine = MixEngine();
  const int mainWidth = std::max(0, engine.m_mainPicture.m_width);
  const int mainHeight = std::max(0, engine.m_mainPicture.m_height);
  const int topWidth = std::max(0, engine.m_topPicture.m_width);
  const int topHeight = std::max(0, engine.m_topPicture.m_height);
  m_previewScale = FitScale(mainWidth, mainHeight, topWidth, topHeight);
  mainPreview->SetScale(m_previewScale);
  topPreview->SetScale(m_previewScale);
  const int shownMainWidth = Shown(mainWidth, m_previewScale);
  const int shownMainHeight = Shown(mainHeight, m_previewScale);
  const int shownTopWidth = Shown(topWidth, m_previewScale);
  const int shownTopHeight = Shown(topHeight, m_previewScale);

  // In the client area's coordinates: the main preview keeps its place and takes the main
  // picture's size; the status line, the label and the top preview follow below it.
  mainPreview->resize(shownMainWidth, shownMainHeight);
  const QRect main = mainPreview->geometry();
  const int x = main.left();
  const int y = main.top() + shownMainHeight;
  topPreview->setGeometry(x, y + 32, shownTopWidth, shownTopHeight);

  // Never narrower than the settings controls, so that none of them is cut off when the
  // pictures are narrower than the row of edits above them.
  int controlsRight = 0;
  for (QWidget* child : m_client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child == mainPreview || child == topPreview || child == m_progress ||
        child == Control(kStatusId) || child == Control(kTopLayerLabelId) || child == m_layerPanel)
      continue;
    controlsRight = std::max(controlsRight, child->geometry().right() + 1);
  }
  int clientWidth = std::max(std::max(shownMainWidth, shownTopWidth) + 2 * main.left(),
                             controlsRight + main.left());
  int clientHeight = main.top() + shownMainHeight + shownTopHeight + 64;
  PlaceLayerPanel();
  if (m_layerPanel && m_layerPanel->isVisible()) {
    // Beside the top preview; the window grows to hold it.
    clientWidth = std::max(clientWidth, m_layerPanel->geometry().right() + 1 + main.left());
    clientHeight = std::max(clientHeight, m_layerPanel->geometry().bottom() + 1 + 32);
  }
  m_client->resize(clientWidth, clientHeight);
  resize(clientWidth, clientHeight + m_menuBar->sizeHint().height());

  if (QWidget* label = Control(kTopLayerLabelId)) label->move(x, y + 16);
  if (QWidget* status = Control(kStatusId)) status->move(status->x(), y);
  PlaceProgressBar();
  KeepOnScreen();
  OnMove();
  return 0;
}

bool CMainDialog::OpenAllowed() const {
  // While a mix runs the open commands are grayed; a dropped file waits for it like they do.
  const QAction* open = MenuCommand(kOpenMainCommand);
  return !open || open->isEnabled();
}

void CMainDialog::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* data = event->mimeData();
  if (data && data->hasUrls() && !data->urls().isEmpty() && data->urls().front().isLocalFile() &&
      OpenAllowed()) {
    event->acceptProposedAction();
  }
}

void CMainDialog::dropEvent(QDropEvent* event) {
  const QMimeData* data = event->mimeData();
  if (!data || !data->hasUrls() || data->urls().isEmpty() || !OpenAllowed()) return;
  const QString path = data->urls().front().toLocalFile();
  if (path.isEmpty()) return;
  // Above the status line is the main preview's part of the window, below it the top layer's;
  // an empty preview has no size to aim at.
  QWidget* status = Control(kStatusId);
  const QPoint at = m_client->mapFrom(this, event->position().toPoint());
  const bool main = !status || at.y() < status->y();
  event->acceptProposedAction();
  StoreFolderOf(path);
  // On the layer list (shown once there are several layers) a file is one more layer.
  if (m_layerList && m_layerList->isVisible() &&
      m_layerList->rect().contains(m_layerList->mapFrom(this, event->position().toPoint()))) {
    AddLayerPath(path.toStdString());
    return;
  }
  OpenSourcePath(main, path.toStdString());
}

}  // namespace corvane
