// The About box: its texts, the link's colour through failed and successful opens (the
// visited state lasts for the process), and the ways the box ends.
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "app/aboutdialog.h"
#include "app/maindialog.h"
#include "guitestsupport.h"

using namespace corvane;

namespace {

// Pixels of `colour` in the link control as it paints.
int CountColour(QWidget* widget, const QColor& colour) {
  const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y) == colour;
  return count;
}

const QColor kBlue(0, 0, 255);
const QColor kPurple(128, 0, 128);

}  // namespace

class CAboutTest : public QObject {
  Q_OBJECT

 private slots:
  void showsNameVersionAndCredit() {
    CAboutDialog about;
    auto* credit = about.findChild<QLabel*>("credit");
    QVERIFY(credit);
    const QStringList lines = credit->text().split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("Corvane v3.0"));
    QVERIFY(lines[1].isEmpty());
    QVERIFY(lines[2].startsWith("By the Corvane developers") && lines[2].contains("2006"));
    QVERIFY(!about.findChild<QLabel*>("icon")->pixmap().isNull());
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));
  }

  void theLinkNamesTheUserGuideThatExists() {
    CAboutDialog about;
    const QUrl url(about.Link()->Address());
    QVERIFY(url.isLocalFile());
    QVERIFY(url.toLocalFile().endsWith("user-guide.html"));
    QVERIFY2(QFileInfo::exists(url.toLocalFile()), qPrintable(url.toLocalFile()));
  }

  // One sequence: the visited state is process-wide and never reset.
  void theLinkTurnsPurpleOnlyAfterASuccessfulOpen() {
    std::vector<QUrl> opened;
    bool succeed = false;
    int beeps = 0;
    LinkOpener() = [&](const QUrl& url) {
      opened.push_back(url);
      return succeed;
    };
    Beeper() = [&] { ++beeps; };

    CAboutDialog first;
    first.show();
    QVERIFY(QTest::qWaitForWindowExposed(&first));
    QVERIFY(CountColour(first.Link(), kBlue) > 10);
    QCOMPARE(CountColour(first.Link(), kPurple), 0);

    QTest::mousePress(first.Link(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(opened.size(), size_t(1));
    QCOMPARE(beeps, 1);
    QVERIFY(!LinkVisited());
    QVERIFY(CountColour(first.Link(), kBlue) > 10);

    succeed = true;
    QTest::mousePress(first.Link(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(opened.size(), size_t(2));
    QCOMPARE(opened.back(), UserGuideUrl());
    QCOMPARE(beeps, 1);
    QVERIFY(LinkVisited());
    QVERIFY(CountColour(first.Link(), kPurple) > 10);
    QCOMPARE(CountColour(first.Link(), kBlue), 0);
    first.close();

    // A later box, and a later failure, keep the visited colour.
    CAboutDialog second;
    second.show();
    QVERIFY(QTest::qWaitForWindowExposed(&second));
    succeed = false;
    QTest::mousePress(second.Link(), Qt::LeftButton, {}, QPoint(3, 3));
    QCOMPARE(beeps, 2);
    QVERIFY(CountColour(second.Link(), kPurple) > 10);
  }

  void okEscapeAndTheCloseBoxEndTheBox_data() {
    QTest::addColumn<int>("way");
    QTest::newRow("OK") << 0;
    QTest::newRow("Esc") << 1;
    QTest::newRow("close box") << 2;
  }
  void okEscapeAndTheCloseBoxEndTheBox() {
    QFETCH(int, way);
    CMainDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    bool sawBox = false;
    QTimer::singleShot(0, [&] {
      auto* about = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget());
      if (!about) return;
      sawBox = true;
      if (way == 0) QTest::keyClick(about, Qt::Key_Return);
      if (way == 1) QTest::keyClick(about, Qt::Key_Escape);
      if (way == 2) about->close();
    });
    QTimer failSafe;
    failSafe.setSingleShot(true);
    connect(&failSafe, &QTimer::timeout, [] {
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    failSafe.start(20000);
    QCOMPARE(dialog.OnAbout(), 0);
    QVERIFY(failSafe.isActive());
    QVERIFY(sawBox);
    QVERIFY(dialog.isVisible());
  }
};

QTEST_MAIN(CAboutTest)
#include "about_test.moc"
