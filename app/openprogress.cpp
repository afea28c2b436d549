#include "app/openprogress.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

#include "app/qthost.h"
#include "preview/mixengine.h"
#include "preview/previewpicture.h"

namespace corvane {

bool LoadPreviewOffUiThread(QWidget& owner, CQtHost& host, const std::string& path,
                            CPreviewPicture& loaded, bool withAlpha) {
  std::atomic<int32_t> permille{-1};  // -1 until the opening reports
  std::atomic<bool> cancelled{false};
  std::atomic<bool> done{false};
  bool result = false;

  host.SetOpeningWatcher([&](int32_t at) {
    permille = at;
    return !cancelled.load();
  });
  std::thread worker([&] {
    result = CMixEngine::LoadPreview(path, loaded, withAlpha);
    done = true;
  });

  // Until the progress box shows, the window draws but takes no input (what the user does
  // meanwhile is kept for later); the box, application-modal, then lets only its Cancel in.
  // Boxes the opening shows run their own loops and take input as always. Events are served
  // here rather than by a nested QEventLoop, which would not run while the program quits.
  QTimer wake;  // the wait below ends at least this often
  wake.start(50);
  std::unique_ptr<QProgressDialog> progress;
  while (!done.load()) {
    QCoreApplication::processEvents(
        (progress ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents) |
        QEventLoop::WaitForMoreEvents);
    const int32_t at = permille.load();
    if (done.load() || at < 0) continue;
    if (!progress) {
      const QString name = QFileInfo(QString::fromStdString(path)).fileName();
      progress = std::make_unique<QProgressDialog>(QStringLiteral("Opening %1...").arg(name),
                                                   QStringLiteral("Cancel"), 0, 1000, &owner);
      progress->setWindowTitle(QString::fromLatin1(kCaption));
      progress->setWindowModality(Qt::ApplicationModal);
      progress->setMinimumDuration(0);
      progress->setAutoReset(false);
      progress->setAutoClose(false);
      QObject::connect(progress.get(), &QProgressDialog::canceled, [&] { cancelled = true; });
      progress->show();
    }
    progress->setValue(at);
  }
  worker.join();
  progress.reset();
  host.SetOpeningWatcher(nullptr);
  return result;
}

}  // namespace corvane
