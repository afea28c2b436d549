// Ending the program during a mix: the close box asks, No keeps mixing and Yes stops the mix
// and ends; Exit stops the mix without a question and ends; a worker still running after a
// timed-out stop is waited for before the dialog goes, so its output is complete.
#include <QTimer>
#include <cmath>

#include "mixtestsupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr const char* kQuestion = "Mix in progress. Do you really want to exit?";
constexpr const char* kTimedOut = "Timed out waiting for mixer thread to stop";

// Runs the application's event loop with `action` as its first work; returns the loop's code,
// or 99 when nothing ended it within a minute.
int RunLoopWith(const std::function<void()>& action) {
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(60000);
  QTimer::singleShot(0, action);
  return QCoreApplication::exec();
}

int VideoFrames(const std::string& path) {
  const std::optional<CPeerStream> video = PeerStream(PeerStreams(path), "video");
  if (!video || !video->count("nb_read_frames")) return -1;
  return std::stoi(video->at("nb_read_frames"));
}

// Whether the output keeps the sound of its `frames` frames (30 a second): the main's sound from
// its start, as ffmpeg decodes both, lasting as long as those frames within a chunk.
bool KeepsTheSoundOf(const std::string& output, const std::string& main, int frames) {
  const std::string sound = DecodedAudio(output);
  if (sound.empty() || DecodedAudio(main).compare(0, sound.size(), sound) != 0) return false;
  const std::optional<CPeerStream> audio = PeerStream(PeerStreams(output), "audio");
  if (!audio || !audio->count("nb_frames") || !audio->count("sample_rate")) return false;
  // PCM in an AVI counts its samples as frames.
  const double seconds = std::stod(audio->at("nb_frames")) / std::stod(audio->at("sample_rate"));
  return std::abs(seconds - frames / 30.0) < 0.1;
}

}  // namespace

class CMixCloseTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CTempDir> m_folder;
  std::string m_longMain;

 private slots:
  void initTestCase() {
    QVERIFY(HaveProgram("ffprobe") && HaveProgram("ffmpeg"));
    m_folder = std::make_unique<CTempDir>();
    m_longMain = m_folder->Path("long-main.avi");
    QVERIFY(MakeLongMain(m_longMain, 600));
  }
  void cleanup() { SetStopWait(std::chrono::milliseconds(5000)); }

  void closingDuringAMixAsksNoKeepsMixingYesStopsAndEnds() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("closed.avi");
    rig.SaveAs(output);
    const std::string frame10 = "Processing frame 10\\600";
    const std::string frame30 = "Processing frame 30\\600";
    rig.m_gate.HoldAt(frame10, false);
    rig.m_gate.HoldAt(frame30, true);
    int questions = 0;
    rig.m_answer = [&](const CBox& box) {
      if (box.m_text != kQuestion) return IDOK;
      return ++questions == 1 ? IDNO : IDYES;
    };
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame10), 30000);

    rig.Dialog().close();
    QCOMPARE(questions, 1);
    QVERIFY(!rig.Dialog().IsDestroyed());
    QVERIFY(rig.Dialog().isVisible());
    QCOMPARE(int(EngineState().m_mixing.load()), 1);
    QCOMPARE(MenuState(rig.Dialog()), kMixingMenu);

    // The mix goes on after No.
    rig.m_gate.Release(frame10);
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame30), 30000);

    QCOMPARE(RunLoopWith([&] { rig.Dialog().close(); }), 0);
    QCOMPARE(questions, 2);
    QVERIFY(rig.Dialog().IsDestroyed());
    const std::vector<CBox> asked = rig.BoxesWith(kQuestion);
    QCOMPARE(asked.size(), size_t(2));
    QCOMPARE(asked[1].m_caption, std::string("Corvane"));
    QCOMPARE(asked[1].m_flags, MB_YESNO | MB_ICONQUESTION);
    QVERIFY(rig.BoxesWith(kTimedOut).empty());
    QCOMPARE(rig.m_boxes.size(), size_t(2));
    QVERIFY(!CompletionEventOpen());
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(VideoFrames(output), 30);
    QVERIFY(KeepsTheSoundOf(output, m_longMain, 30));
  }

  void exitDuringAMixStopsItWithoutAQuestionThenEnds() {
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("exited.avi");
    rig.SaveAs(output);
    const std::string frame20 = "Processing frame 20\\600";
    rig.m_gate.HoldAt(frame20, true);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame20), 30000);

    QCOMPARE(RunLoopWith([&] { rig.Dialog().MenuCommand(kExitCommand)->trigger(); }), 0);

    QVERIFY(rig.Dialog().IsDestroyed());
    QVERIFY2(rig.m_boxes.empty(), rig.m_boxes.empty() ? "" : rig.m_boxes[0].m_text.c_str());
    QCOMPARE(int(EngineState().m_mixing.load()), 0);
    QVERIFY(!CompletionEventOpen());
    // The job had finished its file before Exit went on.
    QCOMPARE(VideoFrames(output), 20);
    QVERIFY(KeepsTheSoundOf(output, m_longMain, 20));
    QVERIFY(rig.WaitForIdle());
  }

  void closingAfterACancelledSaveEndsAtOnce() {
    CMixRig rig;
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QVERIFY(rig.WaitForIdle());
    QCOMPARE(rig.m_requests.size(), size_t(1));
    QCOMPARE(RunLoopWith([&] { rig.Dialog().close(); }), 0);
    QVERIFY(rig.Dialog().IsDestroyed());
    QVERIFY(rig.m_boxes.empty());
  }

  void aWorkerLeftRunningByATimedOutExitIsWaitedForBeforeTheDialogGoes() {
    SetStopWait(std::chrono::milliseconds(100));
    CMixRig rig;
    rig.OpenSources(m_longMain, TopFixture());
    CTempDir folder;
    const std::string output = folder.Path("late.avi");
    rig.SaveAs(output);
    const std::string frame10 = "Processing frame 10\\600";
    rig.m_gate.HoldAt(frame10, false);
    rig.Dialog().MenuCommand(kMixCommand)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(rig.m_gate.Held(frame10), 30000);

    QCOMPARE(RunLoopWith([&] { rig.Dialog().MenuCommand(kExitCommand)->trigger(); }), 0);
    QCOMPARE(rig.BoxesWith(kTimedOut).size(), size_t(1));
    QVERIFY(rig.Dialog().MixRunning());

    // The worker is let go only while the dialog is being destroyed.
    QTimer::singleShot(50, [&] { rig.m_gate.Release(frame10); });
    rig.DestroyDialog();
    QCOMPARE(VideoFrames(output), 10);
  }
};

QTEST_MAIN(CMixCloseTest)
#include "mixclose_test.moc"
