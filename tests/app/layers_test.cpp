// Several top layers in the desktop program: the list appears with the second layer, each row
// keeps its own settings while another is shown, the main preview outlines the other layers,
// the mix preview shows every layer as the mix lays it on, both mix commands mix every row by
// its own settings, and a recipe saved by the dialog makes the same file through corvane-mix
// and opens again as the same layers.
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "app/compositewindow.h"
#include "app/maindialog.h"
#include "mix/layerunit.h"
#include "mix/recipe.h"
#include "mixtestsupport.h"
#include "preview/render/previewcontrol.h"

using namespace corvane;
using namespace corvane::test;

class CLayersTest : public QObject {
  Q_OBJECT

 private:
  CTempDir m_folder;
  std::string m_logo;  // 80x60 magenta with a white disc

  static void SetRow(CMixRig& rig, const char* red, const char* left, const char* top, bool loop) {
    rig.SetText(kRedId, QString::fromLatin1(red));
    rig.SetText(kLeftId, QString::fromLatin1(left));
    rig.SetText(kTopId, QString::fromLatin1(top));
    rig.SetChecked(kLoopTopLayerId, loop);
  }

  // Main, the green top layer and the logo as a second layer placed at the bottom right.
  void OpenTwoLayers(CMixRig& rig) {
    rig.OpenSources(MainFixture(), TopFixture());
    SetRow(rig, "0", "12", "8", true);
    QVERIFY(rig.Dialog().AddLayerPath(m_logo));
    CPlacement placement;
    placement.m_corner = ECorner::kBottomRight;
    placement.m_margin = 4;
    rig.Dialog().SetPlacement(placement);
    rig.SetText(kRedId, QStringLiteral("255"));
    rig.SetText(kBlueId, QStringLiteral("255"));
  }

 private slots:
  void initTestCase() {
    m_logo = m_folder.Path("logo.png");
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i color=c=magenta:s=80x60,format=rgb24 -vf "
                       "\"geq=r='255':g='if(lt(hypot(X-40,Y-30),25),255,0)':b='255'\" -frames:v 1",
                       m_logo));
  }
  void init() { MixEngine().m_placement = CPlacement{}; }

  void listShowsOnlyWithSeveralLayers() {
    CMixRig rig;
    rig.OpenSources(MainFixture(), TopFixture());
    CMainDialog& dialog = rig.Dialog();
    QWidget* list = dialog.Control(kLayerListId);
    const QSize oneLayer = dialog.size();
    QCOMPARE(dialog.LayerCount(), 1);
    QVERIFY(!list->isVisible());
    QVERIFY(dialog.AddLayerPath(m_logo));
    QCOMPARE(dialog.LayerCount(), 2);
    QCOMPARE(dialog.SelectedLayer(), 1);
    QVERIFY(list->isVisible());
    // Beside the top preview, and wholly inside the window.
    const QRect top = dialog.Control(kTopPreviewId)->geometry();
    const QRect panel = list->parentWidget()->geometry();
    QVERIFY(panel.left() > top.right());
    QVERIFY(panel.right() < dialog.Client()->width());
    QVERIFY(panel.bottom() < dialog.Client()->height());
    // A file dropped on the list is one more layer, not the selected layer's new source.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_logo))});
    const QPoint at = list->mapTo(&dialog, list->rect().center());
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &drop);
    QCOMPARE(dialog.LayerCount(), 3);
    QCOMPARE(dialog.LayerPath(0), TopFixture());
    dialog.RemoveLayer();
    dialog.RemoveLayer();
    QCOMPARE(dialog.LayerCount(), 1);
    QVERIFY(!list->isVisible());
    QCOMPARE(dialog.size(), oneLayer);
    QCOMPARE(dialog.LayerPath(0), TopFixture());
  }

  void rowsKeepTheirOwnSettings() {
    CMixRig rig;
    OpenTwoLayers(rig);
    CMainDialog& dialog = rig.Dialog();
    dialog.SelectLayer(0);
    // The first row's own values are back in the fields, its placement with them.
    QCOMPARE(dialog.ControlText(kRedId), QStringLiteral("0"));
    QCOMPARE(dialog.ControlText(kLeftId), QStringLiteral("12"));
    QCOMPARE(dialog.ControlText(kTopId), QStringLiteral("8"));
    QVERIFY(dialog.IsChecked(kLoopTopLayerId));
    QCOMPARE(MixEngine().m_placement.m_corner, ECorner::kCustom);
    QCOMPARE(MixEngine().m_topPicture.m_path, TopFixture());
    const CLayerOptions second = dialog.LayerOptions(1);
    QCOMPARE(second.m_placement.m_corner, ECorner::kBottomRight);
    QCOMPARE(int(second.m_red), 255);
    QCOMPARE(int(second.m_blue), 255);
    QVERIFY(!second.m_loop);
    // Back on the second row: its preset and key, and the first row's edits kept.
    rig.SetText(kGreenId, QStringLiteral("7"));
    dialog.SelectLayer(1);
    QCOMPARE(dialog.ControlText(kRedId), QStringLiteral("255"));
    QCOMPARE(MixEngine().m_placement.m_corner, ECorner::kBottomRight);
    QCOMPARE(MixEngine().m_topPicture.m_path, m_logo);
    QCOMPARE(int(dialog.LayerOptions(0).m_green), 7);
  }

  void movingKeepsEachRowWithItsSettings() {
    CMixRig rig;
    OpenTwoLayers(rig);
    CMainDialog& dialog = rig.Dialog();
    dialog.MoveLayer(-1);
    QCOMPARE(dialog.SelectedLayer(), 0);
    QCOMPARE(dialog.LayerPath(0), m_logo);
    QCOMPARE(dialog.LayerPath(1), TopFixture());
    QCOMPARE(dialog.LayerOptions(1).m_left, 12);
    const auto* list = static_cast<QListWidget*>(dialog.Control(kLayerListId));
    QVERIFY(list->item(0)->text().contains(QStringLiteral("logo.png")));
    QCOMPARE(list->currentRow(), 0);
    dialog.MoveLayer(-1);  // already the lowest
    QCOMPARE(dialog.LayerPath(0), m_logo);
  }

  void mainPreviewOutlinesTheOtherLayers() {
    CMixRig rig;
    rig.OpenSources(MainFixture(), TopFixture());
    const auto* preview = static_cast<CPreviewControl*>(rig.Dialog().Control(kMainPreviewId));
    QVERIFY(preview->OtherBoxes().empty());
    OpenTwoLayers(rig);
    // The logo selected: the green top layer is the other box, at its own offset and size.
    QCOMPARE(preview->OtherBoxes(), (std::vector<QRect>{QRect(12, 8, 160, 120)}));
    // The selected logo's own box stands at the bottom right of 320x240, margin 4.
    QVERIFY(preview->Box());
    QCOMPARE(QRect(preview->Box()->m_x, preview->Box()->m_y, preview->Box()->m_width,
                   preview->Box()->m_height),
             QRect(236, 176, 80, 60));
    rig.Dialog().SelectLayer(0);
    // The logo at the bottom right of 320x240 with a margin of 4.
    QCOMPARE(preview->OtherBoxes(), (std::vector<QRect>{QRect(236, 176, 80, 60)}));
    QCOMPARE(preview->Box()->m_x, 12);
    QCOMPARE(preview->Box()->m_y, 8);
  }

  // The mix preview of three overlapping layers (a looped clip, a keyed logo shown from 1 s, a
  // resized still in the alpha mix over both) is frame for frame what corvane-mix writes for
  // them, as ffmpeg decodes it, whichever layer the dialog shows.
  void mixPreviewShowsEveryLayer() {
    const std::string still = m_folder.Path("still.png");
    QVERIFY(
        MakeWithFfmpeg("-f lavfi -i color=c=blue:s=64x48,format=rgb24 -vf "
                       "drawbox=x=8:y=8:w=40:h=24:color=yellow:t=fill -frames:v 1",
                       still));
    CMixRig rig;
    CMainDialog& dialog = rig.Dialog();
    const auto key = [&](const char* red, const char* green, const char* blue) {
      rig.SetText(kRedId, QString::fromLatin1(red));
      rig.SetText(kGreenId, QString::fromLatin1(green));
      rig.SetText(kBlueId, QString::fromLatin1(blue));
    };
    rig.OpenSources(MainFixture(), TopFixture());
    key("0", "0", "0");
    SetRow(rig, "0", "12", "8", true);
    QVERIFY(dialog.AddLayerPath(m_logo));
    key("255", "0", "255");
    CPlacement logo;
    logo.m_corner = ECorner::kBottomRight;
    logo.m_margin = 4;
    logo.m_from = 1.0;
    dialog.SetPlacement(logo);
    QVERIFY(dialog.AddLayerPath(still));
    key("0", "0", "255");
    SetRow(rig, "0", "120", "90", false);
    static_cast<QComboBox*>(dialog.Control(kLayerModeId))->setCurrentIndex(1);
    rig.SetText(kAlphaId, QStringLiteral("96"));
    rig.SetChecked(kUseTransparencyId, true);
    CPlacement resized;
    resized.m_scale.m_kind = CScale::EKind::kPercent;
    resized.m_scale.m_percent = 150.0;
    dialog.SetPlacement(resized);

    const std::string output = m_folder.Path("three.avi");
    const CCommandResult mixed = RunCommand(
        ShellQuote(BuiltProgram("cli/corvane-mix")) +
        " --codec ffv1 --overwrite --key 0,0,0 --at 12,8 --loop " + ShellQuote(MainFixture()) +
        " " + ShellQuote(TopFixture()) + " --layer " + ShellQuote(m_logo) +
        " --key 255,0,255 --corner br --margin 4 --from 1 --layer " + ShellQuote(still) +
        " --mode alpha --alpha 96 --key 0,0,255 --at 120,90 --scale 150% " + ShellQuote(output));
    QVERIFY2(mixed.m_exitCode == 0, mixed.m_errors.c_str());
    dialog.OnPreviewMix();
    CCompositeWindow& window = *dialog.CompositeWindow();
    for (const int selected : {2, 0}) {
      dialog.SelectLayer(selected);
      // Frame 10 is before the logo shows; at 45 the clip has looped.
      for (const int frame : {10, 45}) {
        window.SetFrame(frame);
        window.Render();
        const CPeerFrame peer = PeerFrameAt(output, frame);
        QVERIFY(!peer.m_rgb.empty());
        const QImage expected(peer.m_rgb.data(), peer.m_width, peer.m_height, peer.m_width * 3,
                              QImage::Format_RGB888);
        QCOMPARE(window.Picture(), expected);
      }
    }
  }

  // Both commands mix every row by its own mode; the desktop's output and corvane-mix's run of
  // the recipe the desktop saves are the same bytes.
  void severalLayersMixAndTheirRecipeMakesTheSameFile_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("secondAlpha");
    QTest::newRow("mix") << kMixCommand << false;
    QTest::newRow("alpha mix, second row alpha") << kAlphaMixCommand << true;
  }
  void severalLayersMixAndTheirRecipeMakesTheSameFile() {
    QFETCH(int, command);
    QFETCH(bool, secondAlpha);
    CMixRig rig;
    OpenTwoLayers(rig);
    CMainDialog& dialog = rig.Dialog();
    if (secondAlpha) {
      static_cast<QComboBox*>(dialog.Control(kLayerModeId))->setCurrentIndex(1);
      rig.SetText(kAlphaId, QStringLiteral("60"));
    }
    const std::string desktop = m_folder.Path("desktop.avi");
    rig.SaveAs(desktop);
    dialog.MenuCommand(command)->trigger();
    QVERIFY(rig.WaitForIdle());
    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes.front().m_text.c_str());
    const std::string recipePath = m_folder.Path("mix.json");
    QVERIFY(dialog.SaveRecipePath(recipePath));
    CMixRecipe recipe;
    std::string error;
    QVERIFY2(ReadRecipeFile(recipePath, recipe, error), error.c_str());
    QCOMPARE(recipe.m_layers.size(), size_t(2));
    QCOMPARE(recipe.m_layers[1].m_alphaMode, secondAlpha);
    QCOMPARE(recipe.m_codec, std::string("uncompressed"));
    QCOMPARE(recipe.m_output, desktop);

    const std::string made = m_folder.Path("made.avi");
    std::remove(made.c_str());
    const CCommandResult run =
        RunCommand(ShellQuote(BuiltProgram("cli/corvane-mix")) + " --recipe " +
                   ShellQuote(recipePath) + " " + ShellQuote(made));
    QVERIFY2(run.m_exitCode == 0, run.m_errors.c_str());
    const std::vector<uint8_t> mine = ReadFileBytes(desktop);
    QVERIFY(!mine.empty());
    QVERIFY(mine == ReadFileBytes(made));
    // The second layer counted: a mix of the first alone is another file.
    const std::string firstOnly = m_folder.Path("first.avi");
    std::remove(firstOnly.c_str());
    const CCommandResult single = RunCommand(
        ShellQuote(BuiltProgram("cli/corvane-mix")) + " --codec uncompressed --at 12,8 --loop " +
        ShellQuote(MainFixture()) + " " + ShellQuote(TopFixture()) + " " + ShellQuote(firstOnly));
    QVERIFY2(single.m_exitCode == 0, single.m_errors.c_str());
    QVERIFY(ReadFileBytes(firstOnly) != mine);
  }

  void layersStayWhileAMixReadsThem() {
    CMixRig rig;
    OpenTwoLayers(rig);
    CMainDialog& dialog = rig.Dialog();
    const std::string frame2 =
        "Processing frame 2\\" + std::to_string(PeerFrameCount(MainFixture()));
    rig.m_gate.HoldAt(frame2, false);
    rig.SaveAs(m_folder.Path("held.avi"));
    dialog.MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame2), 30000);
    dialog.SelectLayer(0);
    dialog.RemoveLayer();
    QVERIFY(!dialog.AddLayerPath(m_logo));
    QCOMPARE(dialog.SelectedLayer(), 1);
    QCOMPARE(dialog.LayerCount(), 2);
    QCOMPARE(MixEngine().m_topPicture.m_path, m_logo);
    QVERIFY(!dialog.Control(kLayerListId)->isEnabled());
    rig.m_gate.Release(frame2);
    QVERIFY(rig.WaitForIdle());
    QVERIFY(dialog.Control(kLayerListId)->isEnabled());
  }

  void openedRecipeGivesTheSameLayers() {
    const std::string recipePath = m_folder.Path("open.json");
    CMixRecipe saved;
    {
      CMixRig rig;
      OpenTwoLayers(rig);
      QVERIFY(rig.Dialog().SaveRecipePath(recipePath));
      saved = rig.Dialog().CurrentRecipe();
    }
    CMixRig rig;
    CMainDialog& dialog = rig.Dialog();
    QVERIFY(dialog.OpenRecipePath(recipePath));
    QCOMPARE(MixEngine().m_mainPicture.m_path, MainFixture());
    QCOMPARE(dialog.LayerCount(), 2);
    QCOMPARE(dialog.SelectedLayer(), 0);
    QCOMPARE(dialog.ControlText(kLeftId), QStringLiteral("12"));
    const CMixRecipe again = dialog.CurrentRecipe();
    QCOMPARE(again.m_main, saved.m_main);
    QVERIFY(again.m_layers == saved.m_layers);
    // A document that is no recipe is refused with the reader's reason, the layers kept.
    const std::string broken = m_folder.Path("broken.json");
    QVERIFY(WriteFileBytes(broken, {'{', '"', 'x', '"', ':', '1', '}'}));
    QVERIFY(!dialog.OpenRecipePath(broken));
    QCOMPARE(rig.m_boxes.size(), size_t(1));
    QCOMPARE(dialog.LayerCount(), 2);
  }
};

QTEST_MAIN(CLayersTest)
#include "layers_test.moc"
