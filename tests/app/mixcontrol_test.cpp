// Mixing from the main dialog: whole mixes started from the menu and read back with ffprobe
// and ffmpeg, the menu through choosing the output, mixing and after, Stop during a long mix,
// the alpha range check, and how the dialog's texts become the mix settings.
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "mixtestsupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// The reference clips' pixels, from their recipe: main frame n at (x, y) counted from the top.
QColor MainPixel(int x, int y, int frame) {
  return QColor(x % 256, y % 256, (4 * frame) % 256);
}
// Top-left corner of the top layer's red square in top frame k.
QPoint SquareCorner(int k) {
  return QPoint(12 + 4 * k, 11 + 3 * k);
}
// The alpha rule: main weight alpha/255, truncated.
int Blend(int top, int main, double alpha) {
  const double s = alpha * (1.0 / 255.0);
  return static_cast<int>(top * (1.0 - s) + main * s);
}
bool Near(const QColor& seen, const QColor& expected) {
  return std::abs(seen.red() - expected.red()) <= 1 &&
         std::abs(seen.green() - expected.green()) <= 1 &&
         std::abs(seen.blue() - expected.blue()) <= 1;
}
QString Describe(const QColor& colour) {
  return QStringLiteral("(%1,%2,%3)").arg(colour.red()).arg(colour.green()).arg(colour.blue());
}

}  // namespace

class CMixControlTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CTempDir> m_folder;
  std::string m_longMain;

  // A rig with both reference clips open and the key colour, offset and switches set.
  static void PrepareReferenceMix(CMixRig& rig, bool loop) {
    rig.OpenSources(MainFixture(), TopFixture());
    rig.SetText(kRedId, "0");
    rig.SetText(kGreenId, "255");
    rig.SetText(kBlueId, "0");
    rig.SetText(kLeftId, "100");
    rig.SetText(kTopId, "50");
    rig.SetChecked(kLoopTopLayerId, loop);
  }

  // The output against the main clip as ffprobe reads both: every frame, the same audio.
  static void VerifyWholeOutput(const std::string& output) {
    const std::vector<CPeerStream> main = PeerStreams(MainFixture());
    const std::vector<CPeerStream> mixed = PeerStreams(output);
    const std::optional<CPeerStream> mainVideo = PeerStream(main, "video");
    const std::optional<CPeerStream> mainAudio = PeerStream(main, "audio");
    const std::optional<CPeerStream> video = PeerStream(mixed, "video");
    const std::optional<CPeerStream> audio = PeerStream(mixed, "audio");
    QVERIFY(mainVideo && mainAudio);
    QVERIFY2(video && audio, "ffprobe finds no video or no audio in the output");
    QCOMPARE(video->at("nb_read_frames"), mainVideo->at("nb_read_frames"));
    QCOMPARE(video->at("width"), mainVideo->at("width"));
    QCOMPARE(video->at("height"), mainVideo->at("height"));
    for (const char* field : {"codec_name", "sample_rate", "channels", "nb_frames"})
      QCOMPARE(audio->at(field), mainAudio->at(field));
  }

 private slots:
  void initTestCase() {
    QVERIFY(HaveProgram("ffprobe") && HaveProgram("ffmpeg"));
    m_folder = std::make_unique<CTempDir>();
    m_longMain = m_folder->Path("long-main.avi");
    QVERIFY(MakeLongMain(m_longMain, 600));
  }
  void cleanup() {
    SetStopWait(std::chrono::milliseconds(5000));
    SetThreadLauncher(nullptr);
    SetCompletionEventMaker(nullptr);
  }

  void colourKeyMixFromTheMenuWritesEveryFrameAndTheAudio_data() {
    QTest::addColumn<bool>("loop");
    QTest::newRow("top layer held on its last frame") << false;
    QTest::newRow("top layer looped") << true;
  }
  void colourKeyMixFromTheMenuWritesEveryFrameAndTheAudio() {
    QFETCH(bool, loop);
    CMixRig rig;
    PrepareReferenceMix(rig, loop);
    CTempDir folder;
    const std::string output = folder.Path("keyed.avi");
    rig.SaveAs(output);
    std::optional<CMenuState> whileChoosing;
    std::optional<CMenuState> whileMixing;
    bool eventOpenWhileChoosing = false;
    bool barShownWhileMixing = false;
    rig.m_onFileRequest = [&](const CFileRequest& request) {
      if (request.m_kind != EFileKind::kSave) return;
      whileChoosing = MenuState(rig.Dialog());
      eventOpenWhileChoosing = CompletionEventOpen();
    };
    rig.m_onCompression = [&] {
      whileMixing = MenuState(rig.Dialog());
      barShownWhileMixing = rig.Dialog().ProgressBar()->isVisible();
    };

    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());

    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
    QCOMPARE(rig.m_requests.size(), size_t(3));
    QCOMPARE(rig.m_requests[2].m_title, QStringLiteral("Save AVI"));
    // The containers an output can be, AVI first as the default.
    QCOMPARE(rig.m_requests[2].m_filter, OutputFilter());
    QCOMPARE(rig.m_requests[2].m_filter.front(), AviFilter().front());
    QCOMPARE(rig.m_requests[2].m_owner, static_cast<QWidget*>(&rig.Dialog()));
    QVERIFY(whileChoosing && whileMixing);
    QCOMPARE(*whileChoosing, kIdleMenu);
    QVERIFY(eventOpenWhileChoosing);
    QCOMPARE(*whileMixing, kMixingMenu);
    QVERIFY(barShownWhileMixing);
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(!CompletionEventOpen());
    QCOMPARE(int(EngineState().m_mixing.load()), 0);
    QVERIFY(!rig.Dialog().ProgressBar()->isVisible());
    VerifyWholeOutput(output);

    // Frame 40 shows top frame 29 when held, 10 when looped.
    const int shownTop = loop ? 10 : 29;
    const int otherTop = loop ? 29 : 10;
    const CPeerFrame frame = PeerFrameAt(output, 40);
    QVERIFY(frame.m_width == 320 && frame.m_height == 240);
    const QPoint square = QPoint(100, 50) + SquareCorner(shownTop);
    const QPoint elsewhere = QPoint(100, 50) + SquareCorner(otherTop) + QPoint(1, 1);
    QCOMPARE(Describe(frame.At(square.x() + 1, square.y() + 1)), Describe(QColor(255, 0, 0)));
    QCOMPARE(Describe(frame.At(square.x() + 7, square.y() + 7)), Describe(QColor(0, 254, 0)));
    QCOMPARE(Describe(frame.At(elsewhere.x(), elsewhere.y())),
             Describe(MainPixel(elsewhere.x(), elsewhere.y(), 40)));
    QCOMPARE(Describe(frame.At(10, 10)), Describe(MainPixel(10, 10, 40)));

    // The status control showed every progress text in order, then the audio chunks (one per
    // chunk ffprobe counts), then what was written.
    const int chunks =
        std::stoi(PeerStream(PeerStreams(MainFixture()), "audio")->at("nb_read_frames"));
    QStringList expected;
    for (int index = 1; index <= 60; ++index)
      expected << QStringLiteral("Processing frame %1\\60").arg(index);
    for (int index = 1; index <= chunks; ++index)
      expected << QStringLiteral("Audio Chunk %1").arg(index);
    expected << QStringLiteral("Done: 60 frames and the audio in keyed.avi");
    QCOMPARE(rig.m_shown, expected);
    QCOMPARE(rig.Dialog().ControlText(kStatusId), expected.last());
  }

  void alphaMixFromTheMenuBlendsAndShowsTheTimeSummary() {
    CMixRig rig;
    PrepareReferenceMix(rig, false);
    rig.SetText(kAlphaId, "128");
    CTempDir folder;
    const std::string output = folder.Path("blended.avi");
    rig.SaveAs(output);

    rig.Dialog().MenuCommand(kAlphaMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());

    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    VerifyWholeOutput(output);

    const CPeerFrame frame = PeerFrameAt(output, 40);
    QVERIFY(frame.m_width == 320 && frame.m_height == 240);
    const QPoint square = QPoint(100, 50) + SquareCorner(29);
    const QPoint red = square + QPoint(1, 1);
    const QColor mainRed = MainPixel(red.x(), red.y(), 40);
    const QColor blendedRed(Blend(255, mainRed.red(), 128), Blend(0, mainRed.green(), 128),
                            Blend(0, mainRed.blue(), 128));
    QVERIFY2(Near(frame.At(red.x(), red.y()), blendedRed),
             qPrintable(Describe(frame.At(red.x(), red.y())) + " vs " + Describe(blendedRed)));
    const QPoint patch = square + QPoint(7, 7);
    const QColor mainPatch = MainPixel(patch.x(), patch.y(), 40);
    const QColor blendedPatch(Blend(0, mainPatch.red(), 128), Blend(254, mainPatch.green(), 128),
                              Blend(0, mainPatch.blue(), 128));
    QVERIFY(Near(frame.At(patch.x(), patch.y()), blendedPatch));
    // "Use transparency" is checked: the key colour keeps the main video as it is.
    const QPoint keyed(105, 55);
    QCOMPARE(Describe(frame.At(keyed.x(), keyed.y())),
             Describe(MainPixel(keyed.x(), keyed.y(), 40)));

    static const QRegularExpression summary(
        QStringLiteral("^Time taken: Video=(\\d+)ms, Audio=(\\d+)ms, Total=(\\d+)ms$"));
    const QRegularExpressionMatch match = summary.match(rig.Dialog().ControlText(kStatusId));
    QVERIFY2(match.hasMatch(), qPrintable(rig.Dialog().ControlText(kStatusId)));
    QCOMPARE(match.captured(3).toLongLong(),
             match.captured(1).toLongLong() + match.captured(2).toLongLong());
    QCOMPARE(rig.m_shown.last(), rig.Dialog().ControlText(kStatusId));
  }

  void cancellingTheSaveDialogChangesNothing() {
    CMixRig rig;
    SetStatus("before the mix");
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(rig.m_requests.size(), size_t(1));
    QCOMPARE(rig.m_requests[0].m_kind, EFileKind::kSave);
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QCOMPARE(rig.Dialog().ControlText(kStatusId), QStringLiteral("before the mix"));
    QVERIFY(!CompletionEventOpen());
    QVERIFY(rig.m_boxes.empty());
    QCOMPARE(rig.m_compressionChoices, 0);
  }

  void alphaTextsOutsideTheRangeAreRefusedBeforeTheSaveDialog_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<double>("alpha");
    QTest::newRow("255") << "255" << false << 255.0;
    QTest::newRow("0") << "0" << false << 0.0;
    QTest::newRow("255.5") << "255.5" << true << 255.5;
    QTest::newRow("256") << "256" << true << 256.0;
    QTest::newRow("-1") << "-1" << true << -1.0;
    QTest::newRow("abc") << "abc" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("1e2") << "1e2" << false << 100.0;
    QTest::newRow("1e999") << "1e999" << true << HUGE_VAL;
  }
  void alphaTextsOutsideTheRangeAreRefusedBeforeTheSaveDialog() {
    QFETCH(QString, text);
    QFETCH(bool, refused);
    QFETCH(double, alpha);
    CMixRig rig;
    rig.SetText(kAlphaId, text);
    rig.Dialog().MenuCommand(kAlphaMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(MixSettings().m_alpha, alpha);
    QVERIFY(!CompletionEventOpen());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    if (refused) {
      QCOMPARE(rig.m_boxes.size(), size_t(1));
      QCOMPARE(rig.m_boxes[0].m_text, std::string("Alpha level must be 0-255"));
      QCOMPARE(rig.m_boxes[0].m_caption, std::string("Corvane"));
      QCOMPARE(rig.m_boxes[0].m_flags, MB_ICONERROR);
      QVERIFY(rig.m_requests.empty());
    } else {
      QVERIFY(rig.m_boxes.empty());
      QCOMPARE(rig.m_requests.size(), size_t(1));
      QCOMPARE(rig.m_requests[0].m_kind, EFileKind::kSave);
    }
  }

  void theDialogTextsBecomeTheMixSettings() {
    CMixRig rig;
    rig.SetText(kRedId, "300");
    rig.SetText(kGreenId, "256");
    rig.SetText(kBlueId, "511");
    rig.SetText(kLeftId, " 12abc");
    rig.SetText(kTopId, "-5");
    rig.SetText(kAlphaId, "12abc");
    rig.SetChecked(kUseTransparencyId, false);
    rig.SetChecked(kLoopTopLayerId, true);
    rig.Dialog().ReadMixSettings();
    const CMixSettings& settings = MixSettings();
    QCOMPARE(int(settings.m_red), 44);
    QCOMPARE(int(settings.m_green), 0);
    QCOMPARE(int(settings.m_blue), 255);
    QCOMPARE(settings.m_left, 12);
    QCOMPARE(settings.m_top, -5);
    QCOMPARE(settings.m_alpha, 12.0);
    QCOMPARE(int(settings.m_useTransparency), 0);
    QCOMPARE(int(settings.m_loop), 1);

    rig.SetText(kLeftId, "4294967295");
    rig.SetText(kTopId, "4294967296");
    rig.SetText(kAlphaId, "  -3.5e1x");
    rig.SetChecked(kUseTransparencyId, true);
    rig.SetChecked(kLoopTopLayerId, false);
    rig.Dialog().ReadMixSettings();
    // Past a signed 32-bit number: 0, never wrapped round (the mix commands refuse it first).
    QCOMPARE(settings.m_left, 0);
    QCOMPARE(settings.m_top, 0);
    QCOMPARE(settings.m_alpha, -35.0);
    QCOMPARE(int(settings.m_useTransparency), 1);
    QCOMPARE(int(settings.m_loop), 0);
  }

  void decimalTextsReadAsTheCLibraryReadsTheirNumberPrefix() {
    // Forms the C library reads but a dialog's decimal reading does not.
    QCOMPARE(ReadDecimalText("0x1A"), 0.0);
    QCOMPARE(ReadDecimalText("inf"), 0.0);
    QCOMPARE(ReadDecimalText("nan"), 0.0);
    QCOMPARE(ReadDecimalText("1e"), 1.0);
    QCOMPARE(ReadDecimalText("+.5e+1"), 5.0);
    QCOMPARE(ReadDecimalText(QString(40, '1')), std::strtod(std::string(31, '1').c_str(), nullptr));
    // Everything else: the same value as strtod (C locale) over random texts of number parts.
    std::setlocale(LC_NUMERIC, "C");
    QRandomGenerator random(20061);
    const QString alphabet = QStringLiteral("0123456789+-.eE ab\t");
    for (int round = 0; round < 3000; ++round) {
      QString text;
      const int length = random.bounded(0, 31);
      for (int at = 0; at < length; ++at) text += alphabet[random.bounded(alphabet.size())];
      const double peer = std::strtod(text.toLatin1().constData(), nullptr);
      const double ours = ReadDecimalText(text);
      QVERIFY2(ours == peer || (std::isnan(ours) && std::isnan(peer)),
               qPrintable(QStringLiteral("'%1': %2 vs %3").arg(text).arg(ours).arg(peer)));
    }
  }

  void unsignedTextsReadAsTheCLibraryReadsUnsignedDigits() {
    QCOMPARE(ReadUnsignedText("-1"), 0u);
    QCOMPARE(ReadUnsignedText("+1"), 0u);
    QCOMPARE(ReadUnsignedText("99999999999"), 0u);
    QRandomGenerator random(1995);
    const QString alphabet = QStringLiteral("0123456789 ab");
    for (int round = 0; round < 3000; ++round) {
      QString text;
      const int length = random.bounded(0, 14);
      for (int at = 0; at < length; ++at) text += alphabet[random.bounded(alphabet.size())];
      errno = 0;
      const unsigned long long parsed = std::strtoull(text.toLatin1().constData(), nullptr, 10);
      const uint32_t peer = (errno == ERANGE || parsed > 0xFFFFFFFFull) ? 0u : uint32_t(parsed);
      QVERIFY2(ReadUnsignedText(text) == peer, qPrintable(text));
    }
  }

  void stopDuringALongMixReturnsToIdleWithoutATimeOut() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("stopped.avi");
    rig.SaveAs(output);
    const std::string frame20 = "Processing frame 20\\600";
    rig.m_gate.HoldAt(frame20, true);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame20), 30000);
    QCOMPARE(MenuState(rig.Dialog()), kMixingMenu);
    QVERIFY(rig.Dialog().ProgressBar()->isVisible());
    QCOMPARE(rig.Dialog().ProgressBar()->maximum(), 600);

    // Esc stops as "Stop" does.
    rig.Dialog().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.Dialog()));
    QTest::keyClick(&rig.Dialog(), Qt::Key_Escape);

    // Stop has returned: the worker signalled in time, and the controller is Idle.
    QVERIFY(rig.BoxesWith("Timed out waiting for mixer thread to stop").empty());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(!CompletionEventOpen());
    QVERIFY(rig.WaitForIdle());
    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    // The frame under way when Stop came was finished: frames 1 to 20, a complete file.
    const std::vector<CPeerStream> streams = PeerStreams(output);
    const std::optional<CPeerStream> video = PeerStream(streams, "video");
    QVERIFY2(video, "ffprobe cannot read the stopped output");
    QCOMPARE(video->at("nb_read_frames"), std::string("20"));
    QCOMPARE(rig.m_gate.FramesSeen(), 20);
    // It keeps the sound of those frames: the main's sound from its start, as ffmpeg decodes
    // both, up to the end of frame 20 (2/3 s) within a chunk.
    const std::string sound = DecodedAudio(output);
    QVERIFY(!sound.empty());
    QVERIFY(DecodedAudio(m_longMain).compare(0, sound.size(), sound) == 0);
    const std::optional<CPeerStream> audio = PeerStream(streams, "audio");
    QVERIFY2(audio, "no audio stream");
    // PCM in an AVI counts its samples as frames.
    const double seconds = std::stod(audio->at("nb_frames")) / std::stod(audio->at("sample_rate"));
    QVERIFY2(seconds > 20 / 30.0 - 0.1 && seconds < 20 / 30.0 + 0.1,
             audio->at("nb_frames").c_str());
    const QString summary =
        QStringLiteral("Stopped at frame 20 of 600: the file holds frames 1\u201320");
    QCOMPARE(rig.Dialog().ControlText(kStatusId), summary);
    // From the stop to the end the status line said what was going on, and nothing the worker
    // said meanwhile (its sound's progress) came over it.
    const qsizetype stopping =
        rig.m_shown.lastIndexOf(QStringLiteral("Stopping\u2026 (finishing the file)"));
    QVERIFY2(stopping >= 0, qPrintable(rig.m_shown.join(QLatin1Char('|'))));
    for (qsizetype at = stopping + 1; at < rig.m_shown.size(); ++at)
      QCOMPARE(rig.m_shown[at], summary);
  }

  void aBoxTheWorkerShowsWhileStopWaitsIsAnswered() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    rig.SaveAs(folder.Path("box.avi"));
    const std::string frame5 = "Processing frame 5\\600";
    rig.m_gate.HoldAt(frame5, true);
    rig.m_gate.AfterStop([] { ShowMessage("A note from the worker", MB_ICONINFORMATION); });
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame5), 30000);

    rig.Dialog().MenuCommand(kStopCommand)->trigger();

    QCOMPARE(rig.BoxesWith("A note from the worker").size(), size_t(1));
    QVERIFY(rig.BoxesWith("Timed out waiting for mixer thread to stop").empty());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(rig.m_boxes.size(), size_t(1));
  }

  void aRealMessageBoxFromTheWorkerWhileStopWaitsCanBeDismissed() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    rig.SaveAs(folder.Path("realbox.avi"));
    const std::string frame5 = "Processing frame 5\\600";
    rig.m_gate.HoldAt(frame5, true);
    rig.m_gate.AfterStop([] { ShowMessage("A note from the worker", MB_ICONINFORMATION); });
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame5), 30000);
    // The Qt message box itself this time, dismissed as the user would.
    rig.Dialog().Host().m_answerBox = nullptr;
    QStringList seen;
    QTimer clicker;
    connect(&clicker, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen << box->text();
      box->button(QMessageBox::Ok)->click();
    });
    clicker.start(10);

    rig.Dialog().MenuCommand(kStopCommand)->trigger();

    QCOMPARE(seen, QStringList{QStringLiteral("A note from the worker")});
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(!CompletionEventOpen());
    QVERIFY(rig.WaitForIdle());
  }

  void aWorkerThatOutlastsTheWaitGivesTheTimeOutMessageAndIdle() {
    SetStopWait(std::chrono::milliseconds(200));
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("late.avi");
    rig.SaveAs(output);
    const std::string frame10 = "Processing frame 10\\600";
    rig.m_gate.HoldAt(frame10, false);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame10), 30000);

    rig.Dialog().MenuCommand(kStopCommand)->trigger();

    const std::vector<CBox> timedOut = rig.BoxesWith("Timed out waiting for mixer thread to stop");
    QCOMPARE(timedOut.size(), size_t(1));
    QCOMPARE(timedOut[0].m_flags, MB_ICONERROR);
    QCOMPARE(timedOut[0].m_caption, std::string("Corvane"));
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(!CompletionEventOpen());
    QVERIFY(rig.Dialog().MixRunning());

    // The worker, let go, ends its frame and its job; its own stop leaves the menu alone.
    rig.m_gate.Release(frame10);
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QCOMPARE(rig.m_boxes.size(), size_t(1));
    const std::optional<CPeerStream> video = PeerStream(PeerStreams(output), "video");
    QVERIFY(video);
    QCOMPARE(video->at("nb_read_frames"), std::string("10"));
  }

  void aMixCommandWhileAMixRunsStartsNothing() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    rig.SaveAs(folder.Path("first.avi"));
    const std::string frame3 = "Processing frame 3\\600";
    rig.m_gate.HoldAt(frame3, true);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame3), 30000);
    const size_t requests = rig.m_requests.size();
    QCOMPARE(rig.Dialog().OnAlphaMix(), -1);
    QCOMPARE(rig.m_requests.size(), requests);
    rig.Dialog().OnStop();
    QVERIFY(rig.WaitForIdle());
    QVERIFY(rig.m_boxes.empty());
  }

  void aFailedThreadStartReleasesTheEventAndTellsTheUser() {
    CMixRig rig;
    SetThreadLauncher([](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    QCOMPARE(rig.Dialog().OnMix(), -1);
    QCOMPARE(rig.m_boxes.size(), size_t(1));
    QCOMPARE(rig.m_boxes[0].m_text, std::string("Unable to start the mix thread"));
    QCOMPARE(rig.m_boxes[0].m_flags, MB_ICONERROR);
    QVERIFY(!CompletionEventOpen());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
    QVERIFY(rig.m_requests.empty());

    // Nothing is left over: the next command starts a worker that asks for the output.
    SetThreadLauncher(nullptr);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(rig.m_requests.size(), size_t(1));
  }

  void noCompletionEventMeansNothingIsReadStartedOrShown() {
    CMixRig rig;
    SetCompletionEventMaker([]() -> std::shared_ptr<CCompletionEvent> { return nullptr; });
    MixSettings().m_red = 77;
    rig.SetText(kRedId, "5");
    QCOMPARE(rig.Dialog().OnMix(), -1);
    QCOMPARE(int(MixSettings().m_red), 77);
    QVERIFY(!rig.Dialog().MixRunning());
    QVERIFY(rig.m_boxes.empty());
    QVERIFY(rig.m_requests.empty());
    QCOMPARE(MenuState(rig.Dialog()), kIdleMenu);
  }

  void theCompletionEventLetsExactlyOneWaitThrough() {
    CCompletionEvent event;
    QVERIFY(!event.Wait(std::chrono::milliseconds(0)));
    // Set while nobody waits: the next wait takes it, the one after does not.
    event.Set();
    event.Set();
    QVERIFY(event.Wait(std::chrono::milliseconds(0)));
    QVERIFY(!event.Wait(std::chrono::milliseconds(0)));
    std::thread setter([&] { event.Set(); });
    QVERIFY(event.Wait(std::chrono::seconds(10)));
    setter.join();
  }
};

QTEST_MAIN(CMixControlTest)
#include "mixcontrol_test.moc"
