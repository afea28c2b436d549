// The previews under the mouse: probing pixels of the opened fixtures (checked against
// ffmpeg's decode), the placement box and its lock, copying into the edits, and the paint of
// each pane.
#include <QImage>
#include <QLabel>
#include <QTest>

#include "app/maindialog.h"
#include "guitestsupport.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

using namespace corvane;
using namespace corvane::test;

namespace {

QString ProbeText(int x, int y, const QColor& colour) {
  return QString::asprintf("(%d,%d): (%d,%d,%d)->(0x%x,0x%x,0x%x)\n", x, y, colour.red(),
                           colour.green(), colour.blue(), colour.red(), colour.green(),
                           colour.blue());
}

bool IsBoxGreen(const QImage& image, int x, int y) {
  return image.pixelColor(x, y) == QColor(0, 255, 0);
}

}  // namespace

class CPreviewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  CPeerFrame m_main;
  CPeerFrame m_top;

  CPreviewControl* MainPreview() const {
    return static_cast<CPreviewControl*>(m_dialog->Control(kMainPreviewId));
  }
  CPreviewControl* TopPreview() const {
    return static_cast<CPreviewControl*>(m_dialog->Control(kTopPreviewId));
  }
  QString ProbeLine() const { return m_dialog->ControlText(kProbeLineId); }
  QImage Grab(QWidget* widget) const {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  void OpenBoth() {
    CScriptedFiles files;
    files.Choose(MainFixture());
    files.Choose(TopFixture());
    m_dialog->OnOpenMain();
    m_dialog->OnOpenTop();
  }

 private slots:
  void initTestCase() {
    m_main = PeerFirstFrame(MainFixture());
    m_top = PeerFirstFrame(TopFixture());
    QVERIFY2(m_main.m_width == 320 && m_top.m_width == 160, "ffmpeg could not decode");
  }

  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    PreviewLock() = 0;
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    OpenBoth();
    QCOMPARE(MainPreview()->size(), QSize(320, 240));
  }

  void cleanup() { m_dialog.reset(); }

  void hoveringAPixelProbesItLikeThePeerDecodes() {
    CTraceCapture trace;
    Hover(MainPreview(), QPoint(10, 20));
    const QString expected = ProbeText(10, 20, m_main.At(10, 20));
    QCOMPARE(ProbeLine(), expected);
    const CPreviewPicture& picture = MixEngine().m_mainPicture;
    QCOMPARE(QColor(picture.m_probeRed, picture.m_probeGreen, picture.m_probeBlue),
             m_main.At(10, 20));
    QCOMPARE(picture.m_probeX, 10);
    QCOMPARE(picture.m_probeY, 20);
    QVERIFY(trace.Lines().contains(expected.chopped(1)));
    QVERIFY(MainPreview()->Box().has_value());
    QCOMPARE(MainPreview()->Box()->m_x, 10);
    QCOMPARE(MainPreview()->Box()->m_width, 160);
    QCOMPARE(MainPreview()->Box()->m_height, 120);
  }

  void theBoxIsDrawnAtTheCursorWithTheTopLayersSize() {
    Hover(MainPreview(), QPoint(10, 20));
    const QImage image = Grab(MainPreview());
    QVERIFY(IsBoxGreen(image, 10, 20));                     // corner
    QVERIFY(IsBoxGreen(image, 169, 20));                    // top edge, last pixel
    QVERIFY(IsBoxGreen(image, 170, 80));                    // right edge
    QVERIFY(IsBoxGreen(image, 90, 140));                    // bottom edge
    QVERIFY(IsBoxGreen(image, 10, 139));                    // left edge
    QCOMPARE(image.pixelColor(15, 25), m_main.At(15, 25));  // inside: the picture
    QCOMPARE(image.pixelColor(171, 20), m_main.At(171, 20));
  }

  void aBoxThatDoesNotFitIsLeftOpen() {
    Hover(MainPreview(), QPoint(250, 200));
    const auto box = MainPreview()->Box();
    QVERIFY(box.has_value());
    QCOMPARE(box->m_width, 320 - 250 - 1);
    QCOMPARE(box->m_height, 240 - 200 - 1);
    QVERIFY(box->m_rightOpen && box->m_bottomOpen);
    const QImage image = Grab(MainPreview());
    QVERIFY(IsBoxGreen(image, 318, 200));   // the top edge runs to the last column
    QVERIFY(!IsBoxGreen(image, 319, 200));  // but leaves the end point itself
    QVERIFY(!IsBoxGreen(image, 319, 220));  // no right edge
    QVERIFY(!IsBoxGreen(image, 280, 239));  // no bottom edge
    QVERIFY(IsBoxGreen(image, 250, 239));   // the left edge reaches the last row
  }

  void aBoxThatEndsExactlyAtTheEdgeIsOpenThere() {
    // 160 + 160 reaches the control's width: the right edge would stand outside it.
    Hover(MainPreview(), QPoint(160, 119));
    const auto box = MainPreview()->Box();
    QVERIFY(box.has_value());
    QCOMPARE(box->m_width, 159);
    QVERIFY(box->m_rightOpen);
    QCOMPARE(box->m_height, 120);
    QVERIFY(!box->m_bottomOpen);
    Hover(MainPreview(), QPoint(159, 118));
    QCOMPARE(MainPreview()->Box()->m_width, 160);
    QVERIFY(!MainPreview()->Box()->m_rightOpen);
    QVERIFY(!MainPreview()->Box()->m_bottomOpen);
    QVERIFY(IsBoxGreen(Grab(MainPreview()), 319, 180));
  }

  void theLastColumnAndRowAreProbedAndOneBeyondIsOutOfBounds() {
    CTraceCapture trace;
    Hover(MainPreview(), QPoint(319, 239));
    QCOMPARE(ProbeLine(), ProbeText(319, 239, m_main.At(319, 239)));
    trace.Clear();
    Hover(MainPreview(), QPoint(320, 239));
    QCOMPARE(trace.Lines(),
             (QStringList{"(320,239) out of bounds", "Out of bounds - box not drawn"}));
    QCOMPARE(ProbeLine(), ProbeText(319, 239, m_main.At(319, 239)));
    QCOMPARE(MixEngine().m_mainPicture.m_probeX, 319);
    QVERIFY(!MainPreview()->Box().has_value());
    trace.Clear();
    Hover(MainPreview(), QPoint(100, 240));
    QCOMPARE(trace.Lines(),
             (QStringList{"(100,240) out of bounds", "Out of bounds - box not drawn"}));

    Hover(TopPreview(), QPoint(159, 119));
    QCOMPARE(ProbeLine(), ProbeText(159, 119, m_top.At(159, 119)));
    trace.Clear();
    Hover(TopPreview(), QPoint(160, 0));
    QCOMPARE(trace.Lines(), QStringList{"(160,0) out of bounds"});
  }

  void aClickOnTheTopPreviewCopiesTheColourIntoRgb() {
    // Inside the red square of the first frame, then on the key green.
    Press(TopPreview(), Qt::LeftButton, QPoint(20, 14));
    Release(TopPreview(), Qt::LeftButton, QPoint(20, 14));
    const QColor square = m_top.At(20, 14);
    QCOMPARE(m_dialog->ControlText(kRedId), QString::number(square.red()));
    QCOMPARE(m_dialog->ControlText(kGreenId), QString::number(square.green()));
    QCOMPARE(m_dialog->ControlText(kBlueId), QString::number(square.blue()));
    QCOMPARE(square, QColor(255, 0, 0));
    Press(TopPreview(), Qt::LeftButton, QPoint(100, 100));
    QCOMPARE(m_dialog->ControlText(kRedId), QString::number(m_top.At(100, 100).red()));
    QCOMPARE(m_dialog->ControlText(kGreenId), QString::number(m_top.At(100, 100).green()));
    QCOMPARE(PreviewLock(), uint8_t(0));
  }

  void aLeftPressFreezesTheBoxAndARightReleaseFreesIt() {
    CTraceCapture trace;
    Hover(MainPreview(), QPoint(25, 30));
    Press(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    QCOMPARE(m_dialog->ControlText(kLeftId), QStringLiteral("30"));
    QCOMPARE(m_dialog->ControlText(kTopId), QStringLiteral("40"));
    QCOMPARE(PreviewLock(), uint8_t(1));
    const QString frozenLine = ProbeLine();
    QCOMPARE(frozenLine, ProbeText(30, 40, m_main.At(30, 40)));

    trace.Clear();
    Release(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    Hover(MainPreview(), QPoint(100, 100));
    Hover(MainPreview(), QPoint(120, 110));
    QCOMPARE(trace.Lines(), (QStringList{"Locked!", "Locked!", "Locked!"}));
    QCOMPARE(ProbeLine(), frozenLine);
    QCOMPARE(MixEngine().m_mainPicture.m_probeX, 30);
    QCOMPARE(MainPreview()->Box()->m_x, 30);
    QCOMPARE(MainPreview()->Box()->m_y, 40);

    // A second press changes nothing.
    Press(MainPreview(), Qt::LeftButton, QPoint(200, 10));
    QCOMPARE(m_dialog->ControlText(kLeftId), QStringLiteral("30"));
    QCOMPARE(m_dialog->ControlText(kTopId), QStringLiteral("40"));

    Release(MainPreview(), Qt::RightButton, QPoint(60, 70));
    QCOMPARE(PreviewLock(), uint8_t(0));
    Hover(MainPreview(), QPoint(61, 72));
    QCOMPARE(MainPreview()->Box()->m_x, 61);
    QCOMPARE(ProbeLine(), ProbeText(61, 72, m_main.At(61, 72)));
  }

  void theOpenCommandsFreeTheLockAlsoWhenCancelled() {
    Press(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    QCOMPARE(PreviewLock(), uint8_t(1));
    {
      CScriptedFiles files;
      files.Cancel();
      m_dialog->OnOpenMain();
    }
    QCOMPARE(PreviewLock(), uint8_t(0));
    Press(MainPreview(), Qt::LeftButton, QPoint(5, 5));
    QCOMPARE(PreviewLock(), uint8_t(1));
    {
      CScriptedFiles files;
      files.Choose(TopFixture());
      m_dialog->OnOpenTop();
    }
    QCOMPARE(PreviewLock(), uint8_t(0));
  }

  void aRepaintWithTheLockDrawsTheFrozenBoxWithTheMainPicturesSize() {
    Press(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    m_dialog->OnMove();
    const auto box = MainPreview()->Box();
    QVERIFY(box.has_value());
    QCOMPARE(box->m_x, 30);
    QCOMPARE(box->m_width, 320 - 30 - 1);
    QCOMPARE(box->m_height, 240 - 40 - 1);
    QVERIFY(box->m_rightOpen && box->m_bottomOpen);
  }

  void movingTheDialogKeepsAFrozenBoxAtItsScreenPosition() {
    Press(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    const QPoint screen = MainPreview()->mapToGlobal(QPoint(30, 40));
    m_dialog->move(m_dialog->pos() + QPoint(5, 7));
    QTRY_COMPARE(MainPreview()->mapToGlobal(QPoint(25, 33)), screen);
    QTRY_COMPARE(MainPreview()->Box()->m_x, 25);
    QCOMPARE(MainPreview()->Box()->m_y, 33);
    // Once the corner leaves the picture the box is not drawn.
    CTraceCapture trace;
    m_dialog->move(m_dialog->pos() + QPoint(40, 0));
    QTRY_VERIFY(!MainPreview()->Box().has_value());
    QVERIFY(trace.Lines().contains("Out of bounds - box not drawn"));
    QVERIFY(trace.Lines().contains("Locked!"));
  }

  void aRepaintWithoutTheLockProbesNothing() {
    CTraceCapture trace;
    Hover(MainPreview(), QPoint(10, 20));
    const QString line = ProbeLine();
    trace.Clear();
    m_dialog->OnMove();
    const QRect screen = MainPreview()->ScreenRect();
    QCOMPARE(trace.Lines().value(0),
             QString::asprintf("(%d,%d) out of bounds", -screen.left(), -screen.top()));
    QCOMPARE(trace.Lines().value(1), QStringLiteral("Out of bounds - box not drawn"));
    QCOMPARE(ProbeLine(), line);
    QCOMPARE(MixEngine().m_savedX, 0);
    QCOMPARE(MixEngine().m_savedY, 0);
    QVERIFY(!MainPreview()->Box().has_value());
  }

  void thePanesShowTheFirstFramesPixelForPixel() {
    m_dialog->OnMove();  // no box
    const QImage main = Grab(MainPreview());
    const QImage top = Grab(TopPreview());
    int mainDiffers = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x) mainDiffers += main.pixelColor(x, y) != m_main.At(x, y);
    int topDiffers = 0;
    for (int y = 0; y < 120; ++y)
      for (int x = 0; x < 160; ++x) topDiffers += top.pixelColor(x, y) != m_top.At(x, y);
    QCOMPARE(mainDiffers, 0);
    QCOMPARE(topDiffers, 0);
  }

  void withoutPicturesTheMainPaneIsWhiteAndTheTopPaneUntouched() {
    CTraceCapture trace;
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    Hover(MainPreview(), QPoint(10, 10));
    Hover(TopPreview(), QPoint(10, 10));
    QCOMPARE(trace.Lines().value(0), QStringLiteral("No picture loaded!"));
    QCOMPARE(trace.Lines().value(2), QStringLiteral("No picture loaded!"));
    const QImage main = Grab(MainPreview());
    QCOMPARE(main.pixelColor(50, 50), QColor(Qt::white));
    const QImage top = Grab(TopPreview());
    QVERIFY(top.pixelColor(50, 50) != m_top.At(50, 50));
  }
};

QTEST_MAIN(CPreviewTest)
#include "preview_test.moc"
