// "Placement and timing" in the desktop program: the dialog takes only what reads, the placement
// box follows the preset at the scaled size until a click makes it Custom, the main window says
// which placement is in force, the mix preview shows scale, range and fade as corvane-mix writes
// them, and its keyed-pixel count counts a resized layer as it is laid on.
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <cstring>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
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

  // Beside left and top the window says which placement is in force. Under a preset the fields
  // show the offset the mix will use (worked out here by hand from the sizes) and cannot be
  // edited; Custom brings back the user's own values, which the mix reads all along.
  void theWindowShowsThePlacementInForce() {
    m_dialog->SetControlText(kLeftId, QStringLiteral("7"));
    m_dialog->SetControlText(kTopId, QStringLiteral("-9"));
    struct CCase {
      ECorner m_corner;
      int m_margin;
      const char* m_scale;
      double m_from, m_to;
      int m_left, m_top;  // the 80x60 logo on the 320x240 main
      const char* m_summary;
    };
    const CCase cases[] = {
        {ECorner::kBottomRight, 16, "50%", -1, -1, 264, 194,
         "Bottom right, margin 16 \u00b7 50% = 40\u00d730 \u00b7 every frame"},
        {ECorner::kTopLeft, 8, "100%", 1.5, 10, 8, 8,
         "Top left, margin 8 \u00b7 own size \u00b7 1.5\u201310 s"},
        {ECorner::kTopRight, 0, "200x-1", -1, 2, 120, 0,
         "Top right, margin 0 \u00b7 200x-1 = 200\u00d7150 \u00b7 until 2 s"},
        {ECorner::kBottomLeft, 16, "100%", 3, -1, 16, 164,
         "Bottom left, margin 16 \u00b7 own size \u00b7 from 3 s"},
        {ECorner::kCentre, 16, "150%", -1, -1, 100, 75,
         "Centre \u00b7 150% = 120\u00d790 \u00b7 every frame"},
        {ECorner::kCentre, 16, "500%", -1, -1, -40, -30,
         "Centre \u00b7 500% = 400\u00d7300 \u00b7 every frame"},
    };
    for (const CCase& row : cases) {
      CPlacement placement;
      placement.m_corner = row.m_corner;
      placement.m_margin = row.m_margin;
      QVERIFY(ParseScale(row.m_scale, placement.m_scale));
      placement.m_from = row.m_from;
      placement.m_to = row.m_to;
      m_dialog->SetPlacement(placement);
      const QString summary = QString::fromUtf8(row.m_summary);
      QCOMPARE(m_dialog->PlacementSummary(), summary);
      QCOMPARE(m_dialog->Control(kPlacementLineId)->toolTip(), summary);
      QCOMPARE(m_dialog->ControlText(kLeftId), QString::number(row.m_left));
      QCOMPARE(m_dialog->ControlText(kTopId), QString::number(row.m_top));
      QVERIFY(!m_dialog->Control(kLeftId)->isEnabled() && !m_dialog->Control(kTopId)->isEnabled());
      // The preset's offset goes unstored; the mix reads the user's own (and places by preset).
      m_dialog->ReadMixSettings();
      QCOMPARE(MixSettings().m_left, 7);
      QCOMPARE(MixSettings().m_top, -9);
    }
    m_dialog->SetPlacement(CPlacement{});
    QCOMPARE(m_dialog->ControlText(kLeftId), QStringLiteral("7"));
    QCOMPARE(m_dialog->ControlText(kTopId), QStringLiteral("-9"));
    QVERIFY(m_dialog->Control(kLeftId)->isEnabled() && m_dialog->Control(kTopId)->isEnabled());
    QCOMPARE(m_dialog->PlacementSummary(),
             QStringLiteral("Custom (left, top) \u00b7 own size \u00b7 every frame"));
    // Without a top layer there is no offset to show yet, only the preset.
    CPlacement corner;
    corner.m_corner = ECorner::kBottomRight;
    m_dialog->SetPlacement(corner);
    MixEngine().m_topPicture.Reset();
    m_dialog->OpenSourcePath(false, std::string());
    QVERIFY(m_dialog->ControlText(kLeftId).isEmpty() && m_dialog->ControlText(kTopId).isEmpty());
    QCOMPARE(m_dialog->PlacementSummary(),
             QStringLiteral("Bottom right, margin 16 \u00b7 own size \u00b7 every frame"));
  }

  // The keyed-pixel count of a resized layer counts the layer as it is laid on: the pixels of
  // the resized picture on the main picture that let the main video through. Black with a
  // magenta box, keyed on magenta, over white: a pixel of the composite stays white exactly
  // where the laid layer is wholly transparent, any opacity darkens it.
  void theKeyedCountOfAScaledLayerIsTheLayerAsLaidOn() {
    const std::string white = m_folder.Path("white.mkv");
    const std::string boxed = m_folder.Path("boxed.png");
    QVERIFY(MakeWithFfmpeg("-f lavfi -i color=c=white:s=96x64:r=25:d=0.2 -c:v ffv1 -pix_fmt bgr0",
                           white));
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i color=c=black:s=40x30,format=rgb24 -vf "
                       "drawbox=x=6:y=5:w=20:h=14:color=0xff00ff:t=fill -frames:v 1",
                       boxed));
    m_dialog->OpenSourcePath(true, white);
    m_dialog->OpenSourcePath(false, boxed);
    m_dialog->SetControlText(kRedId, QStringLiteral("255"));
    m_dialog->SetControlText(kGreenId, QStringLiteral("0"));
    m_dialog->SetControlText(kBlueId, QStringLiteral("255"));
    m_dialog->OnPreviewMix();
    CCompositeWindow& window = *m_dialog->CompositeWindow();
    window.SetAlphaMode(false);
    struct CCase {
      const char* m_scale;
      int m_left, m_top;  // custom offset
      QRect m_laid;       // the resized layer on the 96x64 picture
    };
    const CCase cases[] = {
        {"150%", -10, 5, QRect(0, 5, 50, 45)},   // 60x45, partly off the left edge
        {"70%", 70, 40, QRect(70, 40, 26, 21)},  // 28x21, partly off the right edge
        {"120x-1", 0, 0, QRect(0, 0, 96, 64)},   // 120x90, larger than the picture
    };
    for (const CCase& row : cases) {
      CPlacement placement;
      QVERIFY(ParseScale(row.m_scale, placement.m_scale));
      m_dialog->SetPlacement(placement);
      m_dialog->SetControlText(kLeftId, QString::number(row.m_left));
      m_dialog->SetControlText(kTopId, QString::number(row.m_top));
      window.SetMaskShown(false);
      window.SetFrame(0);
      window.Render();
      const QImage shown = window.Picture().convertToFormat(QImage::Format_RGB888);
      QCOMPARE(shown.size(), QSize(96, 64));
      long long keyed = 0;
      for (int y = row.m_laid.top(); y <= row.m_laid.bottom(); ++y) {
        for (int x = row.m_laid.left(); x <= row.m_laid.right(); ++x)
          keyed += shown.pixelColor(x, y) == QColor(Qt::white);
      }
      const long long total = row.m_laid.width() * row.m_laid.height();
      QVERIFY2(keyed > 0 && keyed < total, row.m_scale);
      QCOMPARE(window.KeyedText(),
               QStringLiteral("keyed: %1 of %2 top pixels").arg(keyed).arg(total));
      QVERIFY(window.NearKeyText().isEmpty());
      // The mask whitens the same pixels.
      window.SetMaskShown(true);
      window.Render();
      const QImage mask = window.Picture().convertToFormat(QImage::Format_RGB888);
      long long white = 0;
      for (int y = 0; y < mask.height(); ++y) {
        for (int x = 0; x < mask.width(); ++x) white += mask.pixelColor(x, y) == QColor(Qt::white);
      }
      QVERIFY2(white == keyed, row.m_scale);
    }
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
