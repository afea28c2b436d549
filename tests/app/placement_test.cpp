// "Placement and timing" in the desktop program: the dialog takes only what reads, the placement
// box follows the preset at the scaled size until a click makes it Custom, and the mix preview
// shows scale, range and fade as corvane-mix writes them.
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <cstring>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/placementdialog.h"
#include "guitestsupport.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

using namespace corvane;
using namespace corvane::test;

class CPlacementTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  CTempDir m_folder;
  std::string m_logo;  // 80x60 magenta with a white disc

  CPreviewControl* MainPreview() const {
    return static_cast<CPreviewControl*>(m_dialog->Control(kMainPreviewId));
  }

 private slots:
  void initTestCase() {
    m_logo = m_folder.Path("logo.png");
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i color=c=magenta:s=80x60,format=rgb24 -vf "
                       "\"geq=r='255':g='if(lt(hypot(X-40,Y-30),25),255,0)':b='255'\" -frames:v 1",
                       m_logo));
  }
  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    MixEngine().m_placement = CPlacement{};
    MixEngine().SourcesChanged();
    PreviewLock() = 0;
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    m_dialog->OpenSourcePath(true, MainFixture());
    m_dialog->OpenSourcePath(false, m_logo);
  }
  void cleanup() {
    m_dialog.reset();
    MixEngine().m_placement = CPlacement{};
  }

  // Each field that does not read keeps the dialog open with the reason; good fields come back
  // as the placement.
  void theDialogTakesOnlyWhatReads() {
    CPlacement start;
    start.m_margin = 9;
    CPlacementDialog dialog(m_dialog.get(), start);
    QCOMPARE(dialog.Field("margin")->text(), QStringLiteral("9"));
    QCOMPARE(dialog.Field("scale")->text(), QStringLiteral("100%"));
    QVERIFY(!dialog.Field("margin")->isEnabled());  // Custom has no margin
    const struct {
      const char* m_field;
      const char* m_text;
      const char* m_reason;
    } bad[] = {{"margin", "-2", "margin"}, {"scale", "0%", "above zero"}, {"scale", "big", "scale"},
               {"from", "1:75", "From"},   {"fadeOut", "x", "Fade out"},  {"to", "0.5", "before"}};
    dialog.Field("from")->setText(QStringLiteral("1"));
    for (const auto& field : bad) {
      QLineEdit* edit = dialog.Field(field.m_field);
      const QString kept = edit->text();
      edit->setText(QString::fromLatin1(field.m_text));
      QVERIFY2(!dialog.ReadFields(), field.m_text);
      QVERIFY2(dialog.ErrorText().contains(QLatin1String(field.m_reason)),
               qPrintable(dialog.ErrorText()));
      edit->setText(kept);
    }
    dialog.Position()->setCurrentIndex(4);  // Bottom right
    QVERIFY(dialog.Field("margin")->isEnabled());
    dialog.Field("scale")->setText(QStringLiteral("15%w"));
    dialog.Field("to")->setText(QStringLiteral("0:00:01.5"));
    dialog.Field("fadeIn")->setText(QStringLiteral("0.25"));
    QVERIFY(dialog.ReadFields());
    QVERIFY(dialog.ErrorText().isEmpty());
    const CPlacement& read = dialog.Placement();
    QCOMPARE(int(read.m_corner), int(ECorner::kBottomRight));
    QCOMPARE(read.m_margin, 9);
    QCOMPARE(QString::fromStdString(ScaleText(read.m_scale)), QStringLiteral("15%w"));
    QCOMPARE(read.m_from, 1.0);
    QCOMPARE(read.m_to, 1.5);
    QCOMPARE(read.m_fadeIn, 0.25);
  }

  // A preset: the box is the scaled layer where the preset puts it, wherever the mouse is. A
  // click on the main preview makes the placement Custom at that point.
  void theBoxFollowsThePresetUntilAClick() {
    CPlacement placement;
    placement.m_corner = ECorner::kBottomRight;
    QVERIFY(ParseScale("50%", placement.m_scale));
    m_dialog->SetPlacement(placement);
    for (const QPoint mouse : {QPoint(5, 5), QPoint(200, 150)}) {
      Hover(MainPreview(), mouse);
      QVERIFY(MainPreview()->Box().has_value());
      const CPlacementBox box = *MainPreview()->Box();
      QCOMPARE(box.m_x, 320 - 40 - 16);
      QCOMPARE(box.m_y, 240 - 30 - 16);
      QCOMPARE(box.m_width, 40);
      QCOMPARE(box.m_height, 30);
    }
    Hover(MainPreview(), QPoint(30, 40));
    Press(MainPreview(), Qt::LeftButton, QPoint(30, 40));
    QCOMPARE(int(MixEngine().m_placement.m_corner), int(ECorner::kCustom));
    QCOMPARE(m_dialog->ControlText(kLeftId), QStringLiteral("30"));
    QCOMPARE(m_dialog->ControlText(kTopId), QStringLiteral("40"));
    // Custom keeps the scale: the box is still the half-size layer, at the mouse.
    QCOMPARE(MainPreview()->Box()->m_x, 30);
    QCOMPARE(MainPreview()->Box()->m_width, 40);
  }

  // Scaled, ranged and fading, the preview's frame is the one corvane-mix writes, and a frame
  // outside the range is the main frame.
  void theMixPreviewShowsScaleRangeAndFade() {
    CPlacement placement;
    placement.m_corner = ECorner::kTopRight;
    QVERIFY(ParseScale("150%", placement.m_scale));
    placement.m_from = 0.5;
    placement.m_fadeIn = 0.5;
    m_dialog->SetControlText(kRedId, QStringLiteral("255"));
    m_dialog->SetControlText(kBlueId, QStringLiteral("255"));
    m_dialog->SetPlacement(placement);
    m_dialog->OnPreviewMix();
    CCompositeWindow& window = *m_dialog->CompositeWindow();
    window.SetAlphaMode(false);
    const std::string output = m_folder.Path("mixed.mkv");
    const CCommandResult mixed = RunCommand(
        ShellQuote(BuiltProgram("cli/corvane-mix")) +
        " --key 255,0,255 --corner tr --scale 150% --from 0.5 --fade-in 0.5 --codec ffv1 "
        "--overwrite " +
        ShellQuote(MainFixture()) + " " + ShellQuote(m_logo) + " " + ShellQuote(output));
    QVERIFY2(mixed.m_exitCode == 0, mixed.m_errors.c_str());
    // Frame 10 is before the range, 20 in the fade-in (30 fps), 40 after it.
    for (const int frame : {10, 20, 40}) {
      window.SetFrame(frame);
      window.Render();
      const std::string peer =
          RunCommand("ffmpeg -v error -i " + ShellQuote(output) + " -vf 'select=eq(n\\," +
                     std::to_string(frame) + ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 -")
              .m_output;
      QCOMPARE(peer.size(), size_t(320 * 240 * 3));
      const QImage shown = window.Picture().convertToFormat(QImage::Format_RGB888);
      for (int y = 0; y < 240; ++y) {
        QVERIFY2(
            std::memcmp(shown.constScanLine(y), peer.data() + size_t(y) * 320 * 3, 320 * 3) == 0,
            qPrintable(QStringLiteral("frame %1 row %2").arg(frame).arg(y)));
      }
    }
  }
};

QTEST_MAIN(CPlacementTest)
#include "placement_test.moc"
