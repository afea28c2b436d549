// "Use layer alpha" in the desktop program: when it is offered and when it turns itself on, the
// probe's alpha and the checkerboard behind a transparent top layer (against ffmpeg's bgra
// decode), and the mix preview with the rule against a real mix's frame.
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QTest>
#include <cstring>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "guitestsupport.h"
#include "preview/mixengine.h"
#include "preview/render/previewcontrol.h"
#include "preview/render/previewpaint.h"

using namespace corvane;
using namespace corvane::test;

namespace {

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

// The first frame as ffmpeg decodes it with alpha: blue, green, red, alpha; top row first.
std::string PeerBgra(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + Q(path) + " -frames:v 1 -f rawvideo -pix_fmt bgra -")
      .m_output;
}

}  // namespace

class CLayerAlphaTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  CTempDir m_folder;
  std::string m_logo;  // 64x48, alpha rising from 0 at the left to 252 at the right

  QCheckBox* LayerAlpha() const {
    return qobject_cast<QCheckBox*>(m_dialog->Control(kUseLayerAlphaId));
  }
  CPreviewControl* TopPreview() const {
    return static_cast<CPreviewControl*>(m_dialog->Control(kTopPreviewId));
  }

 private slots:
  void initTestCase() {
    m_logo = m_folder.Path("logo.png");
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i nullsrc=s=64x48,format=rgba -vf "
                       "\"geq=r='200':g='X*4':b='Y*5':a='X*4'\" -frames:v 1",
                       m_logo));
  }
  void init() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    MixEngine().SourcesChanged();
    PreviewLock() = 0;
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    m_dialog->OpenSourcePath(true, MainFixture());
  }
  void cleanup() { m_dialog.reset(); }

  // Offered only for a top layer with an alpha channel; turned on by itself only for one that
  // is not an AVI and has transparency in its first frame.
  void theCheckBoxFollowsTheTopLayersAlpha() {
    QVERIFY(!LayerAlpha()->isEnabled());
    const std::string opaqueAvi = m_folder.Path("padding.avi");  // fourth bytes all zero
    const std::string alphaAvi = m_folder.Path("alpha.avi");     // 32-bit with alpha
    const std::string opaquePng = m_folder.Path("opaque.png");   // alpha 255 everywhere
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i testsrc=s=32x24:d=0.1 -vf format=bgr0 -c:v rawvideo "
                       "-pix_fmt bgr0",
                       opaqueAvi));
    QVERIFY(MakeWithFfmpeg("-i " + Q(m_logo) + " -c:v rawvideo -pix_fmt bgra", alphaAvi));
    QVERIFY(MakeWithFfmpeg("-f lavfi -i testsrc=s=32x24 -vf format=rgba -frames:v 1", opaquePng));
    // The logo is laid on by its alpha alone: the keyer turns to None with it.
    struct CCase {
      std::string m_top;
      bool m_enabled;
      bool m_checked;
    };
    const CCase cases[] = {{TopFixture(), false, false},
                           {opaqueAvi, false, false},
                           {alphaAvi, true, false},
                           {opaquePng, true, false},
                           {m_logo, true, true}};
    auto* keyer = qobject_cast<QComboBox*>(m_dialog->Control(kKeyerId));
    for (const CCase& row : cases) {
      LayerAlpha()->setChecked(false);
      keyer->setCurrentIndex(keyer->findText(QStringLiteral("Exact")));
      m_dialog->SetControlText(kStatusId, QString());
      m_dialog->OpenSourcePath(false, row.m_top);
      QVERIFY2(LayerAlpha()->isEnabled() == row.m_enabled, row.m_top.c_str());
      QVERIFY2(LayerAlpha()->isChecked() == row.m_checked, row.m_top.c_str());
      QCOMPARE(m_dialog->ControlText(kKeyerId),
               row.m_checked ? QStringLiteral("None") : QStringLiteral("Exact"));
      QCOMPARE(m_dialog->ControlText(kStatusId),
               row.m_checked
                   ? QStringLiteral("Transparent top layer: \"Use layer alpha\" is on, Key is None")
                   : QString());
    }
    // Checked but not offered, it does not count.
    m_dialog->OpenSourcePath(false, TopFixture());
    QVERIFY(LayerAlpha()->isChecked() && !LayerAlpha()->isEnabled());
    QVERIFY(!m_dialog->PreviewRule(false).m_layerAlpha);
  }

  // The probe adds the alpha, and the preview shows the checkerboard through the transparent
  // part: both as ffmpeg decodes the logo.
  void theTopPreviewShowsAlphaOverACheckerboard() {
    m_dialog->OpenSourcePath(false, m_logo);
    const std::string bgra = PeerBgra(m_logo);
    QCOMPARE(bgra.size(), size_t(64 * 48 * 4));
    const auto peer = [&](int x, int y, int c) {
      return uint8_t(bgra[(size_t(y) * 64 + size_t(x)) * 4 + size_t(c)]);
    };
    Hover(TopPreview(), QPoint(30, 20));
    QCOMPARE(m_dialog->ControlText(kProbeLineId),
             QString::asprintf("(30,20): (%d,%d,%d,%d)->(0x%x,0x%x,0x%x,0x%x)\n", peer(30, 20, 2),
                               peer(30, 20, 1), peer(30, 20, 0), peer(30, 20, 3), peer(30, 20, 2),
                               peer(30, 20, 1), peer(30, 20, 0), peer(30, 20, 3)));
    const QImage shown = TopPreview()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Column 0 is wholly transparent: the checkerboard's two greys, square by square.
    QCOMPARE(shown.pixelColor(0, 0), QColor(204, 204, 204));
    QCOMPARE(shown.pixelColor(0, 8), QColor(153, 153, 153));
    // Column 63 is nearly opaque: the logo's colour there.
    const QColor right = shown.pixelColor(63, 40);
    QVERIFY2(std::abs(right.green() - peer(63, 40, 1)) <= 2, qPrintable(right.name()));
  }

  // The mix preview with the rule is the frame corvane-mix writes with --layer-alpha.
  void theMixPreviewShowsTheRule() {
    m_dialog->OpenSourcePath(false, m_logo);
    QVERIFY(LayerAlpha()->isChecked());
    m_dialog->SetControlText(kLeftId, QStringLiteral("290"));
    m_dialog->SetControlText(kTopId, QStringLiteral("30"));
    m_dialog->OnPreviewMix();
    CCompositeWindow& window = *m_dialog->CompositeWindow();
    window.SetAlphaMode(true);
    window.SetFrame(10);
    window.Render();
    const std::string output = m_folder.Path("mixed.mkv");
    const CCommandResult mixed =
        RunCommand(Q(BuiltProgram("cli/corvane-mix")) +
                   " --mode alpha --alpha 128 --at 290,30 --layer-alpha --codec ffv1 --overwrite " +
                   Q(MainFixture()) + " " + Q(m_logo) + " " + Q(output));
    QVERIFY2(mixed.m_exitCode == 0, mixed.m_errors.c_str());
    const std::string frame = RunCommand("ffmpeg -v error -i " + Q(output) +
                                         " -vf 'select=eq(n\\,10)' -frames:v 1 -f rawvideo "
                                         "-pix_fmt rgb24 -")
                                  .m_output;
    const QImage shown = window.Picture().convertToFormat(QImage::Format_RGB888);
    QCOMPARE(frame.size(), size_t(320 * 240 * 3));
    for (int y = 0; y < 240; ++y) {
      QVERIFY2(
          std::memcmp(shown.constScanLine(y), frame.data() + size_t(y) * 320 * 3, 320 * 3) == 0,
          qPrintable(QStringLiteral("row %1").arg(y)));
    }
  }
};

QTEST_MAIN(CLayerAlphaTest)
#include "layeralpha_test.moc"
