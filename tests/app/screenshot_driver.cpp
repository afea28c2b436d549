// Renders the real main window for the documentation: both reference fixtures open, the key
// colour picked from the top layer and the placement box frozen on the main video; then the
// About box; then a colour-key mix: the compression dialog, and the main window while the mix
// runs (the worker is held at one frame until the picture is taken); last the main window with
// the screen keyer chosen. Each window is captured with ImageMagick's `import` while it is on
// screen.
//
// Usage: corvane_screenshot_driver <main.avi> <top.avi> <output folder>
// With a main video whose name holds "1920x1080", captures only the whole screen with that main
// and its top layer open: how the window fits HD pictures.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/aboutdialog.h"
#include "app/appicon.h"
#include "app/compositewindow.h"
#include "app/compressiondialog.h"
#include "app/fileselect.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/qthost.h"
#include "media/codec/compress.h"
#include "preview/mixengine.h"

using namespace corvane;

namespace {

void Mouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button, QPoint pos) {
  QMouseEvent event(
      type, QPointF(pos), QPointF(widget->mapToGlobal(pos)), button,
      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::MouseButtons(),
      Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

bool Capture(QWidget* window, const QString& path) {
  QApplication::processEvents();
  const int code =
      QProcess::execute(QStringLiteral("import"),
                        {QStringLiteral("-window"), QString::number(window->winId()), path});
  std::printf("%s %s\n", code == 0 ? "wrote" : "FAILED", qPrintable(path));
  return code == 0;
}

// Calls `act` once `found` gives a widget, looking every 20 ms.
template <typename TWidget>
void WhenShown(const std::function<TWidget*()>& found, const std::function<void(TWidget*)>& act) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, found, act] {
    TWidget* widget = found();
    if (!widget) return;
    timer->stop();
    timer->deleteLater();
    act(widget);
  });
  timer->start(20);
}

// An HD main video and a 720p top layer on a 1600x1200 screen: the window as it fits them.
int CaptureHd(const QStringList& arguments, const QDir& folder) {
  CMainDialog dialog;
  dialog.show();
  QTest::qWait(300);
  dialog.OpenSourcePath(true, arguments[1].toStdString());
  dialog.OpenSourcePath(false, arguments[2].toStdString());
  QWidget* main = dialog.Control(kMainPreviewId);
  Mouse(main, QEvent::MouseMove, Qt::NoButton, QPoint(main->width() / 3, main->height() / 3));
  QTest::qWait(500);
  QApplication::processEvents();
  const int code = QProcess::execute(QStringLiteral("import"),
                                     {QStringLiteral("-window"), QStringLiteral("root"),
                                      folder.filePath(QStringLiteral("screenshot-hd.png"))});
  std::printf("%s screenshot-hd.png\n", code == 0 ? "wrote" : "FAILED");
  return code == 0 ? 0 : 1;
}

// Last, the screen keyer: its key colour found with Auto colour and a softness of its own.
// Quits once the window has been captured.
void CaptureScreenKey(CMainDialog& dialog, const QDir& folder, int& failures) {
  qobject_cast<QComboBox*>(dialog.Control(kKeyerId))->setCurrentIndex(1);
  qobject_cast<QPushButton*>(dialog.Control(kAutoColourId))->click();
  qobject_cast<QAbstractButton*>(dialog.Control(kSoftnessAutoId))->setChecked(false);
  qobject_cast<QSlider*>(dialog.Control(kSoftnessId))->setValue(60);
  QTimer::singleShot(400, [&] {
    failures += !Capture(&dialog, folder.filePath(QStringLiteral("screenshot-screen-key.png")));
    QApplication::quit();
  });
}

}  // namespace

int main(int argc, char* argv[]) {
  MixEngine();
  QApplication application(argc, argv);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() != 4) {
    std::fprintf(stderr, "usage: corvane_screenshot_driver <main.avi> <top.avi> <folder>\n");
    return 2;
  }
  QApplication::setWindowIcon(AppIcon());
  const QDir folder(arguments[3]);
  if (arguments[1].contains(QStringLiteral("1920x1080"))) return CaptureHd(arguments, folder);
  QTemporaryDir scratch;
  QStringList answers{arguments[1], arguments[2], scratch.filePath(QStringLiteral("mix.avi"))};
  SetFileDialogRunner([&answers](const CFileRequest&) {
    CFileAnswer answer;
    if (!answers.isEmpty()) answer.m_name = answers.takeFirst().toStdString();
    return answer;
  });

  CMainDialog dialog;
  dialog.show();
  int failures = 0;
  QTimer::singleShot(300, [&] {
    dialog.MenuCommand(kOpenMainCommand)->trigger();
    dialog.MenuCommand(kOpenTopCommand)->trigger();
    QWidget* top = dialog.Control(kTopPreviewId);
    QWidget* main = dialog.Control(kMainPreviewId);
    // Pick the key colour (the top layer's green), then freeze the box on the main video.
    Mouse(top, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(100, 90));
    Mouse(top, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(100, 90));
    Mouse(main, QEvent::MouseMove, Qt::NoButton, QPoint(120, 70));
    Mouse(main, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(120, 70));
    Mouse(main, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(120, 70));
    QTimer::singleShot(500, [&] {
      failures += !Capture(&dialog, folder.filePath(QStringLiteral("screenshot-main.png")));
      // The mix preview of a middle frame with those settings, then its keyed-pixel mask.
      dialog.OnPreviewMix();
      CCompositeWindow* preview = dialog.CompositeWindow();
      preview->move(dialog.pos());
      preview->SetFrame(30);
      preview->Render();
      QTest::qWait(400);
      failures += !Capture(preview, folder.filePath(QStringLiteral("screenshot-preview.png")));
      preview->SetMaskShown(true);
      preview->Render();
      QTest::qWait(400);
      failures += !Capture(preview, folder.filePath(QStringLiteral("screenshot-mask.png")));
      preview->hide();
      QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget());
        if (about) {
          QTimer::singleShot(300, [&, about] {
            failures += !Capture(about, folder.filePath(QStringLiteral("screenshot-about.png")));
            about->accept();
          });
        }
      });
      dialog.OnAbout();

      // The mix: the worker waits before this frame until the window has been captured.
      static const std::string heldFrame = "Processing frame 25\\60";
      static std::atomic<bool> held{false};
      static std::atomic<bool> captured{false};
      dialog.Host().m_statusTap = [](const std::string& text) {
        if (text != heldFrame) return;
        held = true;
        while (!captured) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      };
      WhenShown<CCompressionDialog>(
          [] { return qobject_cast<CCompressionDialog*>(QApplication::activeModalWidget()); },
          [&](CCompressionDialog* compression) {
            const int mjpeg = compression->Compressors()->findText(QStringLiteral("Motion JPEG"));
            if (mjpeg >= 0) compression->Compressors()->setCurrentIndex(mjpeg);
            compression->Quality()->setValue(90);
            QTimer::singleShot(300, [&, compression] {
              failures += !Capture(compression,
                                   folder.filePath(QStringLiteral("screenshot-compression.png")));
              compression->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
            });
          });
      WhenShown<CMainDialog>(
          [&] { return held ? &dialog : nullptr; },
          [&](CMainDialog* window) {
            QTimer::singleShot(300, [&, window] {
              failures +=
                  !Capture(window, folder.filePath(QStringLiteral("screenshot-mixing.png")));
              captured = true;
              WhenShown<CMainDialog>(
                  [window] { return window->MixRunning() ? nullptr : window; },
                  [&](CMainDialog* idle) { CaptureScreenKey(*idle, folder, failures); });
            });
          });
      dialog.MenuCommand(kMixCommand)->trigger();
    });
  });
  QApplication::exec();
  return failures == 0 ? 0 : 1;
}
