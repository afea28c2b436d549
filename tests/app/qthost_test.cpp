// The Qt host: boxes asked for by another thread are shown on the UI thread while the asking
// thread waits; status texts from another thread never wait; traces are off by default.
#include "app/qthost.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "guitestsupport.h"
#include "media/codec/compress.h"

using namespace corvane;
using namespace corvane::test;

class CQtHostTest : public QObject {
  Q_OBJECT

 private slots:
  void aBoxFromAWorkerIsAnsweredOnTheUiThreadWhileTheWorkerWaits() {
    CQtHost host;
    std::atomic<bool> answered{false};
    QThread* answeringThread = nullptr;
    host.m_answerBox = [&](const std::string& text, const std::string& caption, uint32_t flags) {
      answeringThread = QThread::currentThread();
      answered = true;
      return text == "Mix in progress. Do you really want to exit?" && caption == "Corvane" &&
                     flags == (MB_YESNO | MB_ICONQUESTION)
                 ? IDYES
                 : IDNO;
    };
    std::atomic<int> result{0};
    std::atomic<bool> answeredBeforeReturn{false};
    std::thread worker([&] {
      result =
          ShowMessage("Mix in progress. Do you really want to exit?", MB_YESNO | MB_ICONQUESTION);
      answeredBeforeReturn = answered.load();
    });
    QTRY_VERIFY(result.load() != 0);
    worker.join();
    QCOMPARE(result.load(), IDYES);
    QVERIFY(answeredBeforeReturn.load());
    QCOMPARE(answeringThread, QThread::currentThread());
  }

  void boxesCarryCaptionIconAndButtons() {
    CQtHost host;
    QWidget owner;
    host.SetOwner(&owner);
    QString seenCaption;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons seenButtons;
    QWidget* seenParent = nullptr;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seenCaption = box->windowTitle();
      seenIcon = box->icon();
      seenButtons = box->standardButtons();
      seenParent = box->parentWidget();
      box->button(QMessageBox::No)->click();
    });
    const int answer = host.MessageBox("Mix in progress. Do you really want to exit?", "Corvane",
                                       MB_YESNO | MB_ICONQUESTION);
    QCOMPARE(answer, IDNO);
    QCOMPARE(seenCaption, QStringLiteral("Corvane"));
    QCOMPARE(seenIcon, QMessageBox::Question);
    QCOMPARE(seenButtons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(seenParent, &owner);

    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seenIcon = box->icon();
      seenButtons = box->standardButtons();
      box->button(QMessageBox::Ok)->click();
    });
    QCOMPARE(host.MessageBox("Alpha level must be 0-255", "Corvane", MB_ICONERROR), IDOK);
    QCOMPARE(seenIcon, QMessageBox::Critical);
    QCOMPARE(seenButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
  }

  void statusTextsFromAWorkerNeverWaitForTheUiThread() {
    CQtHost host;
    QLabel status;
    host.SetStatusControl(&status);
    std::vector<std::string> tapped;
    host.m_statusTap = [&](const std::string& text) { tapped.push_back(text); };
    // The UI thread does not handle events until the worker is done: a waiting worker would
    // never finish.
    std::thread worker([] {
      for (int frame = 0; frame < 100; ++frame) SetStatus(Format("Processing frame %d", frame));
    });
    worker.join();
    QCOMPARE(tapped.size(), size_t(100));
    QCOMPARE(tapped.front(), std::string("Processing frame 0"));
    QVERIFY(status.text().isEmpty());
    QTRY_COMPARE(status.text(), QStringLiteral("Processing frame 99"));
  }

  void aTextSetOnTheUiThreadIsNotOverwrittenByAnOlderQueuedOne() {
    CQtHost host;
    QLabel status;
    host.SetStatusControl(&status);
    std::thread worker([] { SetStatus("Processing frame 59"); });
    worker.join();
    SetStatus("Time taken: Video=10ms, Audio=2ms, Total=12ms");
    QTest::qWait(10);
    QCOMPARE(status.text(), QStringLiteral("Time taken: Video=10ms, Audio=2ms, Total=12ms"));
  }

  void compressionIsRefusedUntilAChooserIsInstalled() {
    CQtHost host;
    AVICOMPRESSOPTIONS options{};
    QVERIFY(!Host().ChooseCompression(options));
    QThread* chooserThread = nullptr;
    host.m_chooseCompression = [&](AVICOMPRESSOPTIONS& chosen) {
      chooserThread = QThread::currentThread();
      chosen.fccHandler = 0x47504A4D;  // 'MJPG'
      return true;
    };
    std::atomic<bool> done{false};
    bool chosen = false;
    std::thread worker([&] {
      chosen = Host().ChooseCompression(options);
      done = true;
    });
    QTRY_VERIFY(done.load());
    worker.join();
    QVERIFY(chosen);
    QCOMPARE(options.fccHandler, uint32_t(0x47504A4D));
    QCOMPARE(chooserThread, QThread::currentThread());
  }

  void tracesAreOffUntilTheCategoryIsEnabled() {
    CQtHost host;
    QStringList seen;
    static QStringList* sink = nullptr;
    sink = &seen;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext& context, const QString& text) {
          if (sink && context.category && QByteArray(context.category) == "corvane.trace")
            sink->push_back(text);
        });
    Trace("R");
    QVERIFY(seen.isEmpty());
    QLoggingCategory::setFilterRules(QStringLiteral("corvane.trace.debug=true"));
    Trace("Locked!\n");
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    sink = nullptr;
    QCOMPARE(seen, QStringList{"Locked!"});
  }

  void theHostIsUninstalledWithItsObject() {
    {
      CQtHost host;
      QCOMPARE(&Host(), static_cast<CHost*>(&host));
    }
    QVERIFY(dynamic_cast<CQtHost*>(&Host()) == nullptr);
  }
};

QTEST_MAIN(CQtHostTest)
#include "qthost_test.moc"
