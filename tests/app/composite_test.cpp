// Seeing the mix before making it: the mix preview window against the frames of real mix
// outputs (decoded by ffmpeg), its keyed-pixel check and mask against ffmpeg's decode of the top
// layer, HD pictures scaled to fit the screen yet probed and placed in source pixels, the
// number fields, dropped files, the window title and the settings kept between runs.
#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <QUrl>
#include <cmath>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "app/storedsettings.h"
#include "guitestsupport.h"
#include "mix/placement.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

using namespace corvane;
using namespace corvane::test;

namespace {

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

// Frame `index` of a video as ffmpeg decodes it, as an RGB image.
QImage PeerImage(const std::string& path, int index, int width, int height) {
  const std::string rgb = RunCommand("ffmpeg -v error -i " + Q(path) + " -vf " +
                                     Q("select=eq(n\\," + std::to_string(index) + ")") +
                                     " -frames:v 1 -f rawvideo -pix_fmt rgb24 -")
                              .m_output;
  if (rgb.size() != size_t(width) * height * 3) return QImage();
  QImage image(width, height, QImage::Format_RGB888);
  for (int y = 0; y < height; ++y)
    std::memcpy(image.scanLine(y), rgb.data() + size_t(y) * width * 3, size_t(width) * 3);
  return image;
}

QString Describe(const QImage& expected, const QImage& actual) {
  if (expected.size() != actual.size()) return QStringLiteral("sizes differ");
  for (int y = 0; y < expected.height(); ++y) {
    for (int x = 0; x < expected.width(); ++x) {
      if (expected.pixel(x, y) != actual.pixel(x, y)) {
        return QStringLiteral("first difference at (%1,%2): %3 expected, %4 shown")
            .arg(x)
            .arg(y)
            .arg(expected.pixelColor(x, y).name(), actual.pixelColor(x, y).name());
      }
    }
  }
  return QString();
}

}  // namespace

class CCompositeTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  CTempDir m_folder;

  CPreviewControl* Preview(int id) const {
    return static_cast<CPreviewControl*>(m_dialog->Control(id));
  }
  void Open(const std::string& main, const std::string& top) {
    m_dialog->OpenSourcePath(true, main);
    m_dialog->OpenSourcePath(false, top);
  }
  CCompositeWindow& Window() {
    m_dialog->OnPreviewMix();
    return *m_dialog->CompositeWindow();
  }
  void Drop(const std::string& path, QPoint clientPoint) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    const QPoint at = m_dialog->Client()->mapTo(m_dialog.get(), clientPoint);
    // As a drag ends: entered, moved over, dropped.
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dialog.get(), &drop);
  }

 private slots:
  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    MixEngine().SourcesChanged();
    PreviewLock() = 0;
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->show();
    m_dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_dialog.get()));
  }
  void cleanup() { m_dialog.reset(); }

  // The preview's picture is the frame the mix writes, at the first, a middle and the last frame,
  // in both mixes, looped and held: for the reference AVIs and for a Matroska pair whose top
  // layer follows time, placed partly outside the picture.
  void thePreviewIsTheFrameTheMixWrites() {
    const std::string ownMain = m_folder.Path("main.mkv");
    const std::string ownTop = m_folder.Path("top.mkv");
    QVERIFY(MakeWithFfmpeg(
        "-f lavfi -i testsrc2=size=96x64:rate=25:duration=1.2 -c:v ffv1 -pix_fmt bgr0", ownMain));
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i testsrc=size=40x30:rate=10:duration=0.7 -vf "
                       "drawbox=x=8:y=6:w=12:h=10:color=0x00ff00:t=fill -c:v ffv1 -pix_fmt bgr0",
                       ownTop));
    struct CPair {
      std::string m_main, m_top;
      int m_left, m_topOffset;
      const char* m_output;
    };
    const CPair pairs[] = {{MainFixture(), TopFixture(), 100, 50, "out.avi"},
                           {ownMain, ownTop, 70, 44, "out.mkv"}};
    for (const CPair& pair : pairs) {
      Open(pair.m_main, pair.m_top);
      m_dialog->SetControlText(kRedId, QStringLiteral("0"));
      m_dialog->SetControlText(kGreenId, QStringLiteral("255"));
      m_dialog->SetControlText(kBlueId, QStringLiteral("0"));
      m_dialog->SetControlText(kLeftId, QString::number(pair.m_left));
      m_dialog->SetControlText(kTopId, QString::number(pair.m_topOffset));
      m_dialog->SetControlText(kAlphaId, QStringLiteral("64"));
      CCompositeWindow& window = Window();
      for (const bool alpha : {false, true}) {
        for (const bool loop : {false, true}) {
          qobject_cast<QCheckBox*>(m_dialog->Control(kLoopTopLayerId))->setChecked(loop);
          window.SetAlphaMode(alpha);
          const std::string output = m_folder.Path(pair.m_output);
          const std::string options = std::string(alpha ? "--mode alpha --alpha 64 " : "") +
                                      "--key 0,255,0 --at " + std::to_string(pair.m_left) + "," +
                                      std::to_string(pair.m_topOffset) + (loop ? " --loop" : "") +
                                      " --codec ffv1 --overwrite ";
          const CCommandResult mixed =
              RunCommand(Q(BuiltProgram("cli/corvane-mix")) + " " + options + Q(pair.m_main) + " " +
                         Q(pair.m_top) + " " + Q(output));
          QVERIFY2(mixed.m_exitCode == 0, mixed.m_errors.c_str());
          const int frames = PeerFrameCount(output);
          QVERIFY(frames > 2);
          for (const int frame : {0, frames / 2, frames - 1}) {
            window.SetFrame(frame);
            window.Render();
            QVERIFY(window.FrameText().startsWith(
                QStringLiteral("Frame %1 of 0\u2013%2 ").arg(frame).arg(frames - 1)));
            const QImage& shown = window.Picture();
            const QImage expected = PeerImage(output, frame, shown.width(), shown.height());
            QVERIFY2(!expected.isNull(), "ffmpeg could not decode the output");
            const QString difference =
                Describe(expected, shown.convertToFormat(QImage::Format_RGB888));
            QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("%1 %2 frame %3: %4")
                                                          .arg(QString::fromLatin1(pair.m_output),
                                                               QString::fromStdString(options))
                                                          .arg(frame)
                                                          .arg(difference)));
          }
        }
      }
    }
  }

  // The check counts the top pixels on the picture that equal the key and those within 8 steps
  // of it, and the mask paints them white and red, as ffmpeg's decode of the top layer says.
  void theKeyedPixelCheckAndMaskFollowThePeersDecodeOfTheTopLayer() {
    Open(MainFixture(), TopFixture());
    m_dialog->SetControlText(kGreenId, QStringLiteral("255"));
    m_dialog->SetControlText(kLeftId, QStringLiteral("200"));  // 40 columns stick out
    m_dialog->SetControlText(kTopId, QStringLiteral("30"));
    CCompositeWindow& window = Window();
    window.SetAlphaMode(false);
    window.SetMaskShown(true);
    window.SetFrame(0);
    window.Render();
    const CPeerFrame top = PeerFirstFrame(TopFixture());
    QCOMPARE(top.m_width, 160);
    const QImage& mask = window.Picture();
    QCOMPARE(mask.size(), QSize(320, 240));
    long long keyed = 0, nearKey = 0, total = 0;
    for (int y = 0; y < 240; ++y) {
      for (int x = 0; x < 320; ++x) {
        const int tx = x - 200;
        const int ty = y - 30;
        QColor expected(64, 64, 64);
        if (tx >= 0 && ty >= 0 && tx < 160 && ty < 120) {
          const QColor pixel = top.At(tx, ty);
          ++total;
          const bool isKey = pixel == QColor(0, 255, 0);
          const bool near = !isKey && std::abs(pixel.red()) <= 8 &&
                            std::abs(pixel.green() - 255) <= 8 && std::abs(pixel.blue()) <= 8;
          keyed += isKey;
          nearKey += near;
          expected = isKey ? QColor(255, 255, 255) : near ? QColor(255, 0, 0) : QColor(0, 0, 0);
        }
        if (mask.pixelColor(x, y) != expected)
          QFAIL(qPrintable(QStringLiteral("mask at (%1,%2)").arg(x).arg(y)));
      }
    }
    QVERIFY(nearKey > 0);  // the reference top layer's near-key patch
    QCOMPARE(window.KeyedText(),
             QStringLiteral("keyed: %1 of %2 top pixels").arg(keyed).arg(total));
    QVERIFY(window.NearKeyText().startsWith(
        QStringLiteral("%1 pixels are near the key colour but not equal").arg(nearKey)));
    // The alpha mix without transparency keys nothing and warns of nothing.
    qobject_cast<QCheckBox*>(m_dialog->Control(kUseTransparencyId))->setChecked(false);
    window.SetAlphaMode(true);
    window.Render();
    QCOMPARE(window.KeyedText(), QStringLiteral("keyed: 0 of %1 top pixels").arg(total));
    QVERIFY(window.NearKeyText().isEmpty());
  }

  // A 1920x1080 main and a 1280x720 top layer: the window stays on the screen, the previews are
  // scaled down, and the probe and the click still work in the pictures' own pixels.
  void hdPicturesAreScaledToFitAndProbedInSourcePixels() {
    const std::string main = m_folder.Path("hd.mkv");
    const std::string top = m_folder.Path("top720.mkv");
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=0.04 -c:v ffv1 "
                       "-pix_fmt bgr0",
                       main));
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i smptebars=size=1280x720:rate=25:duration=0.04 -c:v ffv1 "
                       "-pix_fmt bgr0",
                       top));
    Open(main, top);
    const QRect screen = m_dialog->screen()->availableGeometry();
    QVERIFY2(screen.contains(m_dialog->frameGeometry()),
             qPrintable(QStringLiteral("window %1x%2 at %3,%4 on a %5x%6 screen")
                            .arg(m_dialog->frameGeometry().width())
                            .arg(m_dialog->frameGeometry().height())
                            .arg(m_dialog->frameGeometry().x())
                            .arg(m_dialog->frameGeometry().y())
                            .arg(screen.width())
                            .arg(screen.height())));
    const double scale = m_dialog->PreviewScale();
    QVERIFY(scale < 1.0);
    QVERIFY(m_dialog->Control(kStatusId)->geometry().bottom() < m_dialog->Client()->height());
    QCOMPARE(Preview(kMainPreviewId)->width(), int(std::lround(1920 * scale)));

    const CPeerFrame peer = PeerFirstFrame(main);
    const QPoint at(Preview(kMainPreviewId)->width() / 3, Preview(kMainPreviewId)->height() / 2);
    const int sourceX = int(std::floor(at.x() / scale));
    const int sourceY = int(std::floor(at.y() / scale));
    Hover(Preview(kMainPreviewId), at);
    const QColor colour = peer.At(sourceX, sourceY);
    QCOMPARE(m_dialog->ControlText(kProbeLineId),
             QString::asprintf("(%d,%d): (%d,%d,%d)->(0x%x,0x%x,0x%x)\n", sourceX, sourceY,
                               colour.red(), colour.green(), colour.blue(), colour.red(),
                               colour.green(), colour.blue()));
    QCOMPARE(Preview(kMainPreviewId)->Box()->m_x, at.x());
    Press(Preview(kMainPreviewId), Qt::LeftButton, at);
    QCOMPARE(m_dialog->ControlText(kLeftId), QString::number(sourceX));
    QCOMPARE(m_dialog->ControlText(kTopId), QString::number(sourceY));
    // The box is the top layer at the shown size, cut at the preview's edge.
    const int boxWidth = int(std::lround(1280 * scale));
    QCOMPARE(Preview(kMainPreviewId)->Box()->m_width,
             std::min(boxWidth, Preview(kMainPreviewId)->width() - at.x() - 1));
  }

  // What is typed is taken whole. A value the mix cannot take is marked and named in the hint
  // line rather than cut short; a key press outside a field's form is refused, and the hint line
  // says what the field takes. The offsets take negative numbers. The focused field's text is
  // selected, so typing replaces it.
  void numberFieldsTakeWhatIsTypedOrSayWhy() {
    auto* red = qobject_cast<QLineEdit*>(m_dialog->Control(kRedId));
    QCOMPARE(red->selectedText(), QStringLiteral("0"));
    const QColor plain = red->palette().color(QPalette::Base);
    struct CCase {
      int m_id;
      const char* m_typed;
      const char* m_kept;
      const char* m_hint;
      bool m_marked;  // the field itself is marked: its value is out of range
    };
    const CCase cases[] = {
        {kRedId, "255", "255", "", false},
        {kGreenId, "3000", "3000", "g must be 0 to 255", true},
        {kBlueId, "300", "300", "b must be 0 to 255", true},
        {kGreenId, "2x5", "25", "g: a whole number, 0 to 255", false},
        {kLeftId, "-12a3", "-123", "left: whole pixels, e.g. -20", false},
        {kLeftId, "-120", "-120", "", false},
        {kTopId, "-3000", "-3000", "", false},
        {kTopId, "2147483647", "2147483647", "", false},
        {kTopId, "4294967296", "4294967296", "top must be within \u00b12147483647", true},
        {kAlphaId, "127.5", "127.5", "", false},
        {kAlphaId, "255.01", "255.01", "alpha must be 0 to 255", true},
        {kAlphaId, "3000", "3000", "alpha must be 0 to 255", true},
        {kAlphaId, "1e", "1", "alpha: a number, e.g. 127.5", false},
    };
    for (const CCase& row : cases) {
      for (const int id : {kRedId, kGreenId, kBlueId, kLeftId, kTopId, kAlphaId})
        m_dialog->SetControlText(id, QStringLiteral("0"));
      auto* edit = qobject_cast<QLineEdit*>(m_dialog->Control(row.m_id));
      red->setFocus();
      QCoreApplication::processEvents();
      edit->setFocus();
      QCoreApplication::processEvents();
      QCOMPARE(edit->selectedText(), edit->text());
      QTest::keyClicks(edit, QString::fromLatin1(row.m_typed));
      const QString typed = QString::fromLatin1(row.m_typed);
      QVERIFY2(edit->text() == QString::fromLatin1(row.m_kept), qPrintable(typed));
      QVERIFY2(m_dialog->ControlText(kFieldHintId) == QString::fromUtf8(row.m_hint),
               qPrintable(typed + QStringLiteral(": ") + m_dialog->ControlText(kFieldHintId)));
      QVERIFY2((edit->palette().color(QPalette::Base) != plain) == row.m_marked, qPrintable(typed));
    }
    // A refusal is named until the field is left.
    red->setFocus();
    QCoreApplication::processEvents();
    QVERIFY(m_dialog->ControlText(kFieldHintId).isEmpty());
    // The offsets read as typed, below zero too.
    m_dialog->SetControlText(kLeftId, QStringLiteral("-120"));
    m_dialog->SetControlText(kTopId, QStringLiteral("-3000"));
    const CMixRule rule = m_dialog->PreviewRule(false);
    QCOMPARE(rule.m_left, -120);
    QCOMPARE(rule.m_top, -3000);
  }

  // The preview's frame N is the picture corvane-mix --preview-frame N writes: both count from 0,
  // and the label says so.
  void thePreviewNumbersFramesAsPreviewFrameDoes() {
    Open(MainFixture(), TopFixture());
    m_dialog->SetControlText(kGreenId, QStringLiteral("255"));
    m_dialog->SetControlText(kLeftId, QStringLiteral("100"));
    m_dialog->SetControlText(kTopId, QStringLiteral("50"));
    CCompositeWindow& window = Window();
    window.SetAlphaMode(false);
    const std::string picture = m_folder.Path("frame.png");
    for (const int frame : {0, 1, 59}) {
      window.SetFrame(frame);
      window.Render();
      QCOMPARE(window.FrameText(),
               QStringLiteral("Frame %1 of 0\u201359 (counted from 0, as in corvane-mix "
                              "--preview-frame)")
                   .arg(frame));
      const CCommandResult written =
          RunCommand(Q(BuiltProgram("cli/corvane-mix")) + " --overwrite --preview-frame " +
                     std::to_string(frame) + " --key 0,255,0 --at 100,50 " + Q(MainFixture()) +
                     " " + Q(TopFixture()) + " " + Q(picture));
      QVERIFY2(written.m_exitCode == 0, written.m_errors.c_str());
      const QImage expected =
          QImage(QString::fromStdString(picture)).convertToFormat(QImage::Format_RGB888);
      const QString difference =
          Describe(expected, window.Picture().convertToFormat(QImage::Format_RGB888));
      QVERIFY2(difference.isEmpty(),
               qPrintable(QStringLiteral("frame %1: %2").arg(frame).arg(difference)));
    }
  }

  // A file dropped above the status line opens as the main video, below it as the top layer; the
  // title names both.
  void droppedFilesOpenWhereTheyAreDroppedAndTheTitleNamesThem() {
    const QPoint mainArea = Preview(kMainPreviewId)->geometry().center();
    Drop(MainFixture(), mainArea);
    QCOMPARE(MixEngine().m_mainPicture.m_path, MainFixture());
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("main_320x240_bgr24_pcm.avi - Corvane"));
    const QPoint topArea = Preview(kTopPreviewId)->geometry().center();
    Drop(TopFixture(), topArea);
    QCOMPARE(MixEngine().m_topPicture.m_path, TopFixture());
    QCOMPARE(MixEngine().m_mainPicture.m_path, MainFixture());
    QCOMPARE(m_dialog->windowTitle(),
             QStringLiteral("main_320x240_bgr24_pcm.avi + top_160x120_bgr24_green.avi - Corvane"));
  }

  // With remembering on, the next dialog starts from the last one's settings; values a field
  // would not take are dropped for the built-in ones.
  void theSettingsAreRememberedBetweenRuns() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(m_folder.Path("settings")));
    EnableStoredSettings(true);
    m_dialog->SetControlText(kRedId, QStringLiteral("12"));
    m_dialog->SetControlText(kLeftId, QStringLiteral("34"));
    m_dialog->SetControlText(kAlphaId, QStringLiteral("127.5"));
    qobject_cast<QCheckBox*>(m_dialog->Control(kLoopTopLayerId))->setChecked(true);
    qobject_cast<QCheckBox*>(m_dialog->Control(kUseTransparencyId))->setChecked(false);
    CPlacement& placement = MixEngine().m_placement;
    placement.m_corner = ECorner::kBottomRight;
    placement.m_margin = 24;
    QVERIFY(ParseScale("15%w", placement.m_scale));
    placement.m_from = 1.5;
    placement.m_to = 64.25;
    placement.m_fadeIn = 0.5;
    Drop(MainFixture(), Preview(kMainPreviewId)->geometry().center());
    m_dialog.reset();
    MixEngine().m_placement = CPlacement{};
    StoreValue(QStringLiteral("mix/green"), QStringLiteral("999"));
    m_dialog = std::make_unique<CMainDialog>();
    const QString folder = StoredFolder();
    EnableStoredSettings(false);
    QCOMPARE(folder, QFileInfo(QString::fromStdString(MainFixture())).absolutePath());
    const CPlacement& remembered = MixEngine().m_placement;
    QCOMPARE(remembered.m_corner, ECorner::kBottomRight);
    QCOMPARE(remembered.m_margin, 24);
    QCOMPARE(ScaleText(remembered.m_scale), std::string("15%w"));
    QCOMPARE(remembered.m_from, 1.5);
    QCOMPARE(remembered.m_to, 64.25);
    QCOMPARE(remembered.m_fadeIn, 0.5);
    QVERIFY(remembered.m_fadeOut <= 0.0);
    QCOMPARE(m_dialog->ControlText(kRedId), QStringLiteral("12"));
    QCOMPARE(m_dialog->ControlText(kGreenId), QStringLiteral("0"));
    // Under the remembered preset the field shows the preset's offset; the user's own waits.
    QCOMPARE(m_dialog->OffsetText(kLeftId), QStringLiteral("34"));
    QCOMPARE(m_dialog->ControlText(kAlphaId), QStringLiteral("127.5"));
    QVERIFY(m_dialog->IsChecked(kLoopTopLayerId));
    QVERIFY(!m_dialog->IsChecked(kUseTransparencyId));
  }
};

QTEST_MAIN(CCompositeTest)
#include "composite_test.moc"
