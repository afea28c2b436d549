// Opening a source whose scan takes a while, through the main window's Open: the box that shows
// how far it has come, its Cancel that stops the opening (the picture shown before stays, and
// nothing is said), and no box at all for an opening that is over at once.
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/maindialog.h"
#include "app/qthost.h"
#include "guitestsupport.h"
#include "media/codec/compress.h"
#include "media/demux/demuxfile.h"
#include "preview/mixengine.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// Stands between the opening scan and the program's own host. Each report goes to the program;
// while it answers "go on", the scan waits here (ten seconds at most) until the test has pressed
// Cancel, then asks the program again. So the box is up before the scan can end, however quick
// the machine, and what the program answers after Cancel is what stops the scan.
class CHeldOpening final : public CHost {
 public:
  explicit CHeldOpening(CHost& host) : m_host(host) { SetHost(this); }
  ~CHeldOpening() override { SetHost(&m_host); }
  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    return m_host.MessageBox(text, caption, flags);
  }
  void SetStatusText(const std::string& text) override { m_host.SetStatusText(text); }
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override {
    return m_host.ChooseCompression(options);
  }
  bool OpeningProgress(const std::string& path, int32_t permille) override {
    ++m_reports;
    if (!m_host.OpeningProgress(path, permille)) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_pressed.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return m_host.OpeningProgress(path, permille);
  }

  std::atomic<bool> m_pressed{false};
  std::atomic<int> m_reports{0};

 private:
  CHost& m_host;
};

// What the box looked like while it was up.
struct CSeenBox {
  bool m_seen = false;
  QString m_label;
  QString m_title;
  Qt::WindowModality m_modality = Qt::NonModal;
  int m_maximum = 0;
  int m_value = -1;
};

}  // namespace

class COpenProgressTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  CTempDir m_dir;
  std::string m_long;
  std::vector<std::string> m_boxes;  // texts of the message boxes the program showed

  // Opens `path` as the main video through Open, pressing Cancel in the progress box as soon as
  // it shows when `cancel` is set; returns what was seen of the box.
  CSeenBox OpenMain(const std::string& path, bool cancel, CHeldOpening* held) {
    CSeenBox seen;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      auto boxes = m_dialog->findChildren<QProgressDialog*>();
      if (boxes.isEmpty() || !boxes.front()->isVisible() || seen.m_seen) return;
      QProgressDialog* box = boxes.front();
      seen = {true,           box->labelText(), box->windowTitle(), box->windowModality(),
              box->maximum(), box->value()};
      if (!cancel) return;
      for (QPushButton* button : box->findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("Cancel")) QTest::mouseClick(button, Qt::LeftButton);
      }
      if (held) held->m_pressed = true;
    });
    watch.start();
    CScriptedFiles files;
    files.Choose(path);
    m_dialog->OnOpenMain();
    return seen;
  }

 private slots:
  void initTestCase() {
    m_long = m_dir.Path("long.mkv");
    QVERIFY(MakeWithFfmpeg("-f lavfi -i testsrc2=s=64x48:r=100:d=3 -c:v mpeg2video", m_long));
  }

  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    m_boxes.clear();
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->Host().m_answerBox = [this](const std::string& text, const std::string&, uint32_t) {
      m_boxes.push_back(text);
      return IDOK;
    };
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
  }

  void cleanup() {
    SetOpeningReportDelay(500);
    m_dialog.reset();
  }

  void cancelInTheProgressBoxStopsTheOpeningAndKeepsThePicture() {
    OpenMain(MainFixture(), false, nullptr);
    QCOMPARE(MixEngine().m_mainPicture.m_path, MainFixture());
    CHeldOpening held(m_dialog->Host());
    SetOpeningReportDelay(0);  // the box as soon as the scan reports

    const CSeenBox box = OpenMain(m_long, true, &held);

    QVERIFY(box.m_seen);
    QCOMPARE(box.m_label, QStringLiteral("Opening long.mkv..."));
    QCOMPARE(box.m_title, QStringLiteral("Corvane"));
    QCOMPARE(box.m_modality, Qt::ApplicationModal);
    QCOMPARE(box.m_maximum, 1000);
    QVERIFY(box.m_value >= 0 && box.m_value < 1000);
    QVERIFY(held.m_pressed.load());
    // The report that followed Cancel was answered "stop", and the scan made no other.
    QCOMPARE(held.m_reports.load(), 1);
    QCOMPARE(MixEngine().m_mainPicture.m_path, MainFixture());
    QCOMPARE(MixEngine().m_mainPicture.m_width, 320);
    QVERIFY(m_dialog->findChildren<QProgressDialog*>().isEmpty());
    QVERIFY2(m_boxes.empty(), m_boxes.empty() ? "" : m_boxes.front().c_str());
  }

  void anOpeningThatGoesOnIsLoadedWithoutAWord() {
    CHeldOpening held(m_dialog->Host());
    SetOpeningReportDelay(0);
    held.m_pressed = true;  // nothing to wait for: every report goes straight to the program

    OpenMain(m_long, false, nullptr);

    QVERIFY(held.m_reports.load() > 0);
    QCOMPARE(MixEngine().m_mainPicture.m_path, m_long);
    QCOMPARE(MixEngine().m_mainPicture.m_width, 64);
    QVERIFY(m_dialog->findChildren<QProgressDialog*>().isEmpty());
    QVERIFY(m_boxes.empty());
  }

  void aQuickOpeningShowsNoBox() {
    const CSeenBox box = OpenMain(m_long, false, nullptr);

    QVERIFY(!box.m_seen);
    QCOMPARE(MixEngine().m_mainPicture.m_path, m_long);
  }
};

QTEST_MAIN(COpenProgressTest)
#include "openprogress_test.moc"
