// The main dialog as the user meets it: initial state, template layout, keyboard, the menu's
// Exit and close box, and the layout of the previews around the opened pictures.
#include "app/maindialog.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

#include "app/dialogunits.h"
#include "app/qthost.h"
#include "guitestsupport.h"
#include "preview/mixengine.h"

using namespace corvane;
using namespace corvane::test;

class CMainDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> ShownDialog() {
    auto dialog = std::make_unique<CMainDialog>();
    dialog->show();
    dialog->activateWindow();
    if (!QTest::qWaitForWindowActive(dialog.get())) return nullptr;
    return dialog;
  }
  static void EmptyPictures() {
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
  }

 private slots:
  void init() { EmptyPictures(); }

  void startsWithTheInitialSettings() {
    CMainDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Corvane"));
    for (const int id : {kRedId, kGreenId, kBlueId, kLeftId, kTopId})
      QCOMPARE(dialog.ControlText(id), QStringLiteral("0"));
    QCOMPARE(dialog.ControlText(kAlphaId), QStringLiteral("128"));
    QVERIFY(dialog.IsChecked(kUseTransparencyId));
    QVERIFY(!dialog.IsChecked(kLoopTopLayerId));
    QVERIFY(dialog.ControlText(kProbeLineId).isEmpty());
    QVERIFY(dialog.ControlText(kStatusId).isEmpty());
    QVERIFY(!dialog.MenuCommand(kStopCommand)->isEnabled());
    for (const int id : {kOpenMainCommand, kOpenTopCommand, kMixCommand, kAlphaMixCommand,
                         kExitCommand, kAboutCommand})
      QVERIFY2(dialog.MenuCommand(id)->isEnabled(), qPrintable(QString::number(id)));
  }

  void menuHasTheCommandsInOrderWithTheirIds() {
    CMainDialog dialog;
    const QList<QAction*> menus = dialog.MenuBar()->actions();
    QCOMPARE(menus.size(), 3);
    QCOMPARE(menus[0]->text(), QStringLiteral("&File"));
    QCOMPARE(menus[1]->text(), QStringLiteral("&View"));
    QCOMPARE(menus[2]->text(), QStringLiteral("&Help"));
    QStringList file;
    QList<int> ids;
    for (QAction* item : menus[0]->menu()->actions()) {
      file << (item->isSeparator() ? QStringLiteral("-") : item->text());
      if (!item->isSeparator()) ids << item->data().toInt();
    }
    QCOMPARE(file, (QStringList{"&Open main AVI...", "&Open top AVI...", "&Add layer...", "-",
                                "Open &recipe...", "Sa&ve recipe...", "-", "&Mix...", "Apha mix...",
                                "&Stop", "-", "E&xit"}));
    QCOMPARE(ids, (QList<int>{32773, 32774, 32781, 32782, 32783, 32775, 32776, 32778, 32777}));
    const QList<QAction*> view = menus[1]->menu()->actions();
    QCOMPARE(view.size(), 2);
    QCOMPARE(view[0]->text(), QStringLiteral("&Preview mix..."));
    QCOMPARE(view[0]->data().toInt(), 32779);
    QCOMPARE(view[1]->text(), QStringLiteral("Placement and &timing..."));
    QCOMPARE(view[1]->data().toInt(), 32780);
    const QList<QAction*> help = menus[2]->menu()->actions();
    QCOMPARE(help.size(), 1);
    QCOMPARE(help[0]->text(), QStringLiteral("&About..."));
    QCOMPARE(help[0]->data().toInt(), 32772);
  }

  void dialogUnitsRoundLikeTheDialogManager() {
    // A font 6 pixels wide and 13 high on average: the classic 8-point dialog font.
    const CDialogUnits units(6, 13);
    QCOMPARE(units.Rect(65, 7, 16, 12), QRect(98, 11, 24, 20));
    QCOMPARE(units.Rect(7, 121, 194, 10), QRect(11, 197, 291, 16));
    QCOMPARE(MulDiv(-5, 3, 2), -8);
    QCOMPARE(MulDiv(5, 3, 0), -1);
  }

  void controlsStandAtTheirTemplatePlaces() {
    CMainDialog dialog;
    const QFontMetrics metrics(dialog.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const CDialogUnits units((letters / 26 + 1) / 2, metrics.height());
    QCOMPARE(dialog.Control(kRedId)->geometry(), units.Rect(65, 7, 16, 12));
    QCOMPARE(dialog.Control(kTopId)->geometry(), units.Rect(196, 7, 22, 12));
    QCOMPARE(dialog.Control(kAlphaId)->geometry(), units.Rect(65, 26, 32, 12));
    QCOMPARE(dialog.Control(kLoopTopLayerId)->geometry(), units.Rect(155, 36, 80, 10));
    // The hint and placement line take a row of their own above the previews.
    QCOMPARE(dialog.Control(kFieldHintId)->geometry(), units.Rect(7, 47, 133, 10));
    QCOMPARE(dialog.Control(kPlacementLineId)->geometry(), units.Rect(142, 47, 188, 10));
    QCOMPARE(dialog.Control(kMainPreviewId)->geometry(), units.Rect(7, 70, 128, 64));
    QCOMPARE(dialog.Control(kStatusId)->geometry(), units.Rect(7, 133, 194, 10));
    QCOMPARE(dialog.Control(kTopPreviewId)->geometry(), units.Rect(7, 154, 128, 64));
    QCOMPARE(dialog.size(), QSize(units.X(334), units.Y(236)));
  }

  void tabVisitsTheEditsAndCheckBoxesInTemplateOrder() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    QCOMPARE(QApplication::focusWidget(), dialog->Control(kRedId));
    const QList<int> order{kGreenId,           kBlueId,         kLeftId,  kTopId, kAlphaId,
                           kUseTransparencyId, kLoopTopLayerId, kKeyerId, kRedId};
    for (const int id : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), dialog->Control(id));
    }
  }

  void mnemonicsReachTheirControls() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    QTest::keyClick(dialog.get(), Qt::Key_A, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog->Control(kAlphaId));
    QTest::keyClick(dialog.get(), Qt::Key_T, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog->Control(kRedId));
    QTest::keyClick(dialog.get(), Qt::Key_L, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), dialog->Control(kLoopTopLayerId));
    QTRY_VERIFY(dialog->IsChecked(kLoopTopLayerId));
  }

  void escapeAndEnterDoNotCloseTheDialog() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QTest::qWait(0);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->IsDestroyed());
    QCOMPARE(dialog->ControlText(kRedId), QStringLiteral("0"));
  }

  void exitEndsTheDialogWithoutAQuestion() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    int boxes = 0;
    dialog->Host().m_answerBox = [&](const std::string&, const std::string&, uint32_t) {
      ++boxes;
      return IDYES;
    };
    dialog->MenuCommand(kExitCommand)->trigger();
    QVERIFY(dialog->IsDestroyed());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(boxes, 0);
  }

  void exitAndTheCloseBoxEndTheEventLoopWithCodeZero_data() {
    QTest::addColumn<bool>("useExit");
    QTest::newRow("Exit") << true;
    QTest::newRow("close box") << false;
  }
  void exitAndTheCloseBoxEndTheEventLoopWithCodeZero() {
    QFETCH(bool, useExit);
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    QTimer::singleShot(0, dialog.get(), [&] {
      if (useExit)
        dialog->MenuCommand(kExitCommand)->trigger();
      else
        dialog->close();
    });
    // A guard that ends a loop the dialog failed to end, with a code the check refuses.
    QTimer::singleShot(30000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(dialog->IsDestroyed());
  }

  void closeBoxEndsAnIdleDialog() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    dialog->close();
    QVERIFY(dialog->IsDestroyed());
    QVERIFY(!dialog->isVisible());
  }

  void statusTextFromTheHostReachesTheStatusControl() {
    CMainDialog dialog;
    SetStatus("Processing frame 3");
    QCOMPARE(dialog.ControlText(kStatusId), QStringLiteral("Processing frame 3"));
  }

  // The settings controls stay whole: the client is as wide as the wider picture with both
  // margins, or as the controls above the previews with the right margin, whichever is more.
  // This gives the right edge of those controls (everything above the main preview's top).
  static int ControlsRight(const CMainDialog& dialog, int previewTop) {
    int right = 0;
    for (QWidget* child : dialog.Client()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (child->y() >= previewTop) continue;  // previews, status line, label and progress bar
      right = std::max(right, child->geometry().right() + 1);
    }
    return right;
  }

  void cancelledOpenLaysOutEmptyPictures() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    CScriptedFiles files;
    files.Cancel();
    const QRect mainBefore = dialog->Control(kMainPreviewId)->geometry();
    const int statusX = dialog->Control(kStatusId)->x();
    dialog->MenuCommand(kOpenMainCommand)->trigger();

    const QPoint corner = mainBefore.topLeft();
    QCOMPARE(dialog->Control(kMainPreviewId)->geometry(), QRect(corner, QSize(0, 0)));
    QCOMPARE(dialog->Control(kTopPreviewId)->geometry(),
             QRect(corner + QPoint(0, 32), QSize(0, 0)));
    QCOMPARE(dialog->Control(kStatusId)->pos(), QPoint(statusX, corner.y()));
    QCOMPARE(dialog->Control(kTopLayerLabelId)->pos(), corner + QPoint(0, 16));
    QCOMPARE(dialog->Client()->size(),
             QSize(std::max(2 * corner.x(), ControlsRight(*dialog, corner.y()) + corner.x()),
                   corner.y() + 64));
  }

  void layoutFollowsTheOpenedPictures_data() {
    QTest::addColumn<QString>("main");
    QTest::addColumn<QString>("top");
    QTest::newRow("main wider") << QString::fromStdString(MainFixture())
                                << QString::fromStdString(TopFixture());
    QTest::newRow("top wider") << QString::fromStdString(TopFixture())
                               << QString::fromStdString(MainFixture());
  }
  void layoutFollowsTheOpenedPictures() {
    QFETCH(QString, main);
    QFETCH(QString, top);
    const QSize mainSize = PeerSize(main.toStdString());
    const QSize topSize = PeerSize(top.toStdString());
    QVERIFY(!mainSize.isEmpty() && !topSize.isEmpty());
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    const QPoint corner = dialog->Control(kMainPreviewId)->pos();
    const int statusX = dialog->Control(kStatusId)->x();
    CScriptedFiles files;
    files.Choose(main.toStdString());
    files.Choose(top.toStdString());
    dialog->MenuCommand(kOpenMainCommand)->trigger();
    dialog->MenuCommand(kOpenTopCommand)->trigger();

    const int below = corner.y() + mainSize.height();
    QCOMPARE(dialog->Control(kMainPreviewId)->geometry(), QRect(corner, mainSize));
    QCOMPARE(dialog->Control(kTopPreviewId)->geometry(),
             QRect(QPoint(corner.x(), below + 32), topSize));
    QCOMPARE(dialog->Control(kStatusId)->pos(), QPoint(statusX, below));
    QCOMPARE(dialog->Control(kTopLayerLabelId)->pos(), QPoint(corner.x(), below + 16));
    const int controlsRight = ControlsRight(*dialog, corner.y());
    QCOMPARE(dialog->Client()->size(),
             QSize(std::max(std::max(mainSize.width(), topSize.width()) + 2 * corner.x(),
                            controlsRight + corner.x()),
                   corner.y() + mainSize.height() + topSize.height() + 64));
    QCOMPARE(dialog->height(), dialog->Client()->height() + dialog->Client()->y());
  }

  void openFailureShowsTheEngineMessageOwnedByTheDialog() {
    auto dialog = ShownDialog();
    QVERIFY(dialog);
    CTempDir folder;
    const std::string missing = folder.Path("missing.avi");
    std::vector<std::string> texts;
    QWidget* owner = nullptr;
    dialog->Host().m_answerBox = [&](const std::string& text, const std::string& caption,
                                     uint32_t) {
      texts.push_back(caption + ": " + text);
      owner = dialog->Host().Owner();
      return IDOK;
    };
    CScriptedFiles files;
    files.Choose(missing);
    dialog->MenuCommand(kOpenMainCommand)->trigger();
    QCOMPARE(texts.size(), size_t(1));
    QCOMPARE(QString::fromStdString(texts[0]),
             QStringLiteral("Corvane: Unable to open %1\nno such file")
                 .arg(QString::fromStdString(missing)));
    QCOMPARE(owner, dialog.get());
  }
};

QTEST_MAIN(CMainDialogTest)
#include "maindialog_test.moc"
