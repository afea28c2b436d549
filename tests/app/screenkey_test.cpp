// The screen keyer in the desktop program: the rows the Key box shows, the levels kept apart,
// Auto colour and the mix preview against the frames of mixes started from the menu, on a
// green-screen clip made by ffmpeg, and the keyer kept between runs.
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSlider>
#include <QTest>
#include <cstring>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/storedsettings.h"
#include "mixtestsupport.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

using namespace corvane;
using namespace corvane::test;

namespace {

CPreviewControl* MainPreview(const CMainDialog& dialog) {
  return static_cast<CPreviewControl*>(dialog.Control(kMainPreviewId));
}
QSlider* Slider(const CMainDialog& dialog, int id) {
  return qobject_cast<QSlider*>(dialog.Control(id));
}
void SetChecked(const CMainDialog& dialog, int id, bool checked) {
  qobject_cast<QCheckBox*>(dialog.Control(id))->setChecked(checked);
}
void ChooseKeyer(const CMainDialog& dialog, const char* name) {
  auto* keyer = qobject_cast<QComboBox*>(dialog.Control(kKeyerId));
  keyer->setCurrentIndex(keyer->findText(QString::fromLatin1(name)));
}

}  // namespace

class CScreenKeyTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CTempDir> m_folder;
  std::string m_top;  // 160x120 H.264: a noisy green screen (0,177,64) with a square subject

 private slots:
  void initTestCase() {
    QVERIFY(HaveProgram("ffmpeg") && HaveProgram("ffprobe"));
    m_folder = std::make_unique<CTempDir>();
    m_top = m_folder->Path("top.mp4");
    QVERIFY(MakeWithFfmpeg(
        "-f lavfi -i \"color=c=0x00B140:s=160x120:d=0.4,format=rgb24,drawbox=x=40:y=30:w=60:"
        "h=60:c=0xC89678:t=fill,noise=alls=6:allf=t\" -c:v libx264 -pix_fmt yuv420p",
        m_top));
  }
  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    MixEngine().SourcesChanged();
    PreviewLock() = 0;
  }

  // Exact and None keep the window as it was; Screen shows its rows above the previews, which
  // move down to make room: before pictures are opened and after, with the placement box locked
  // on the main picture staying on its pixel.
  void theScreenRowsShowOnlyWithTheScreenKeyer() {
    CMainDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.ControlText(kKeyerId), QStringLiteral("Exact"));
    for (const bool opened : {false, true}) {
      if (opened) {
        // Small enough for the offscreen screen with the rows shown: never scaled.
        dialog.OpenSourcePath(true, TopFixture());
        dialog.OpenSourcePath(false, m_top);
        Hover(MainPreview(dialog), QPoint(30, 20));
        Press(MainPreview(dialog), Qt::LeftButton, QPoint(30, 20));
        Release(MainPreview(dialog), Qt::LeftButton, QPoint(30, 20));
        QCOMPARE(PreviewLock(), uint8_t(1));
      }
      const auto boxStays = [&] {
        const std::optional<CPlacementBox>& box = MainPreview(dialog)->Box();
        return !opened || (box && box->m_x == 30 && box->m_y == 20);
      };
      const QRect mainBefore = MainPreview(dialog)->geometry();
      const QRect topBefore = dialog.Control(kTopPreviewId)->geometry();
      const int heightBefore = dialog.height();
      ChooseKeyer(dialog, "Screen");
      QVERIFY(dialog.Control(kToleranceId)->isVisible() &&
              dialog.Control(kAutoColourId)->isVisible());
      const int room = MainPreview(dialog)->y() - mainBefore.y();
      QVERIFY(room > dialog.Control(kAutoColourId)->height());
      QCOMPARE(dialog.Control(kTopPreviewId)->geometry(), topBefore.translated(0, room));
      QCOMPARE(dialog.height(), heightBefore + room);
      QVERIFY(boxStays());
      for (const char* other : {"None", "Exact"}) {
        ChooseKeyer(dialog, other);
        QVERIFY(!dialog.Control(kToleranceId)->isVisible());
        QCOMPARE(MainPreview(dialog)->geometry(), mainBefore);
        QCOMPARE(dialog.height(), heightBefore);
        QVERIFY(boxStays());
      }
    }
  }

  // An automatic level grays its slider; once both are set by hand, the level moved pushes the
  // other so that tolerance stays below softness.
  void toleranceStaysBelowSoftness() {
    CMainDialog dialog;
    ChooseKeyer(dialog, "Screen");
    QCOMPARE(dialog.KeyerSettings(),
             (CKeyerSettings{EKeyer::kScreen, false, kAutoLevel, kAutoLevel, 100}));
    QSlider* tolerance = Slider(dialog, kToleranceId);
    QSlider* softness = Slider(dialog, kSoftnessId);
    QVERIFY(!tolerance->isEnabled() && !softness->isEnabled());
    SetChecked(dialog, kToleranceAutoId, false);
    QTest::keyClick(tolerance, Qt::Key_End);  // softness automatic: nothing to stay below
    QCOMPARE(dialog.ControlText(kToleranceValueId), QStringLiteral("100"));
    SetChecked(dialog, kSoftnessAutoId, false);
    struct CStep {
      QSlider* m_moved;
      int m_value, m_tolerance, m_softness;
    };
    const CStep steps[] = {{nullptr, 0, 99, 100},   {softness, 30, 29, 30},
                           {tolerance, 50, 50, 51}, {tolerance, 100, 99, 100},
                           {softness, 0, 0, 1},     {tolerance, 69, 69, 70}};
    for (const CStep& step : steps) {
      if (step.m_moved) step.m_moved->setValue(step.m_value);
      const CKeyerSettings settings = dialog.KeyerSettings();
      QVERIFY2(
          settings.m_tolerance == step.m_tolerance && settings.m_softness == step.m_softness,
          qPrintable(QStringLiteral("%1, %2").arg(settings.m_tolerance).arg(settings.m_softness)));
      QVERIFY(*KeyerSettingsError(settings) == '\0');
    }
  }

  // Auto colour finds the screen (or says to pick it when the top layer has none); with a level
  // moved the mix preview follows, its count line agrees with the grey levels of its mask, and its
  // picture is the frame both mixes started from the menu write.
  void thePreviewIsTheFrameTheMixWrites() {
    const std::string grey = m_folder->Path("grey.mkv");
    QVERIFY(MakeWithFfmpeg("-f lavfi -i color=c=0x808070:s=64x48:d=0.1 -c:v ffv1", grey));
    CMixRig rig;
    CMainDialog& dialog = rig.Dialog();
    rig.OpenSources(MainFixture(), grey);
    ChooseKeyer(dialog, "Screen");
    QTest::mouseClick(dialog.Control(kAutoColourId), Qt::LeftButton);
    QCOMPARE(
        dialog.ControlText(kStatusId),
        QStringLiteral(
            "No screen colour found in the top layer: pick it with a click on the top preview"));
    QCOMPARE(dialog.ControlText(kGreenId), QStringLiteral("0"));
    dialog.OpenSourcePath(false, m_top);
    rig.SetText(kLeftId, QStringLiteral("100"));
    rig.SetText(kTopId, QStringLiteral("50"));
    dialog.OnPreviewMix();
    CCompositeWindow& window = *dialog.CompositeWindow();
    window.SetFrame(5);
    window.Render();
    QImage shown = window.Picture();
    QTest::mouseClick(dialog.Control(kAutoColourId), Qt::LeftButton);
    const int made[] = {0, 177, 64};
    for (const int id : {kRedId, kGreenId, kBlueId}) {
      QVERIFY2(std::abs(dialog.ControlText(id).toInt() - made[id - kRedId]) <= 6,
               qPrintable(dialog.ControlText(kStatusId)));
    }
    QTRY_VERIFY(window.Picture() != shown);
    shown = window.Picture();
    SetChecked(dialog, kSoftnessAutoId, false);
    QTest::keyClick(Slider(dialog, kSoftnessId), Qt::Key_PageDown);
    QCOMPARE(dialog.KeyerSettings().m_softness, 40);
    QTRY_VERIFY(window.Picture() != shown);
    Slider(dialog, kDespillId)->setValue(60);

    window.SetMaskShown(true);
    window.Render();
    static const QRegularExpression line(QStringLiteral(
        "^matte: (\\d+) transparent, (\\d+) partly transparent, (\\d+) opaque top pixels$"));
    const QRegularExpressionMatch counted = line.match(window.KeyedText());
    QVERIFY2(counted.hasMatch(), qPrintable(window.KeyedText()));
    const QImage mask = window.Picture().convertToFormat(QImage::Format_RGB888);
    int painted[3] = {};  // white, grey, black: as the count line orders them
    for (int y = 50; y < 170; ++y) {
      for (int x = 100; x < 260; ++x) {
        const QColor level = mask.pixelColor(x, y);
        QVERIFY(level.red() == level.green() && level.green() == level.blue());
        ++painted[level.red() == 255 ? 0 : level.red() == 0 ? 2 : 1];
      }
    }
    for (int kind = 0; kind < 3; ++kind) {
      QVERIFY(painted[kind] > 0);
      QCOMPARE(counted.captured(kind + 1).toInt(), painted[kind]);
    }
    window.SetMaskShown(false);

    for (const bool alpha : {false, true}) {
      window.SetAlphaMode(alpha);
      window.Render();
      const QImage preview = window.Picture().convertToFormat(QImage::Format_RGB888);
      const std::string output = m_folder->Path(alpha ? "alpha.avi" : "key.avi");
      rig.SaveAs(output);
      dialog.MenuCommand(alpha ? kAlphaMixCommand : kMixCommand)->trigger();
      QVERIFY(rig.WaitForIdle());
      QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
      const CPeerFrame mixed = PeerFrameAt(output, 5);
      QCOMPARE(QSize(mixed.m_width, mixed.m_height), preview.size());
      for (int y = 0; y < preview.height(); ++y) {
        QVERIFY2(std::memcmp(preview.constScanLine(y), mixed.m_rgb.data() + size_t(y) * 320 * 3,
                             320 * 3) == 0,
                 qPrintable(QStringLiteral("%1 mix, row %2").arg(alpha ? "alpha" : "key").arg(y)));
      }
    }
  }

  // The keyer and its levels are kept between runs; levels that do not go together come back
  // automatic.
  void theKeyerIsRememberedBetweenRuns() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(m_folder->Path("settings")));
    EnableStoredSettings(true);
    const auto off = qScopeGuard([] { EnableStoredSettings(false); });
    auto dialog = std::make_unique<CMainDialog>();
    ChooseKeyer(*dialog, "Screen");
    SetChecked(*dialog, kToleranceAutoId, false);
    Slider(*dialog, kToleranceId)->setValue(12);
    Slider(*dialog, kDespillId)->setValue(40);
    dialog.reset();  // stores the settings as it goes
    dialog = std::make_unique<CMainDialog>();
    QCOMPARE(dialog->KeyerSettings(), (CKeyerSettings{EKeyer::kScreen, false, 12, kAutoLevel, 40}));
    QVERIFY(dialog->Control(kToleranceId)->isVisibleTo(dialog.get()));
    dialog.reset();
    StoreValue(QStringLiteral("mix/keyer"), QStringLiteral("none"));
    StoreValue(QStringLiteral("mix/tolerance"), QStringLiteral("70"));
    StoreValue(QStringLiteral("mix/softness"), QStringLiteral("20"));
    dialog = std::make_unique<CMainDialog>();
    QCOMPARE(dialog->KeyerSettings(),
             (CKeyerSettings{EKeyer::kNone, false, kAutoLevel, kAutoLevel, 40}));
  }
};

QTEST_MAIN(CScreenKeyTest)
#include "screenkey_test.moc"
