// Reading ahead must not change what a mix job shows or writes: the host sees each frame's
// progress text, then its reads, then its write, frame after frame; a stop drops the frame
// read ahead unseen; and the frames handed out are the frames the readers give in turn.
#include "mix/frameprefetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::Fixture;

const char* const kMain = "main_320x240_bgr24_pcm.avi";  // 60 frames
const char* const kTop = "top_160x120_bgr24_green.avi";  // 30 frames

// Every host call in the order it arrived, as "S:text", "T:text" or "M:text".
class CSequenceHost final : public CHost {
 public:
  CSequenceHost() { SetHost(this); }
  ~CSequenceHost() override { SetHost(nullptr); }
  int MessageBox(const std::string& text, const std::string&, uint32_t) override {
    Add("M:" + text);
    return IDOK;
  }
  void SetStatusText(const std::string& text) override {
    Add("S:" + text);
    if (text == m_stopAt) EngineState().m_mixing = 0;
  }
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override {
    options = AVICOMPRESSOPTIONS{};
    options.fccType = streamtypeVIDEO;
    return true;  // full frames
  }
  void DebugTrace(const std::string& text) override { Add("T:" + text); }

  std::vector<std::string> Calls() {
    std::lock_guard lock(m_lock);
    return m_calls;
  }
  std::string m_stopAt;

 private:
  void Add(std::string call) {
    std::lock_guard lock(m_lock);
    m_calls.push_back(std::move(call));
  }
  std::mutex m_lock;
  std::vector<std::string> m_calls;
};

// The calls of the video pass: from the first progress text up to the audio copy.
std::vector<std::string> VideoPassCalls(const std::vector<std::string>& calls) {
  std::vector<std::string> pass;
  for (const std::string& call : calls) {
    if (call.rfind("S:Audio Chunk", 0) == 0) break;
    if (!pass.empty() || call.rfind("S:Processing frame", 0) == 0) pass.push_back(call);
  }
  return pass;
}

class FramePrefetchJobTest : public ::testing::Test {
 protected:
  void SetUp() override { EngineState().m_mixing = 1; }
  void TearDown() override { EngineState().m_mixing = 0; }

  CTempDir m_dir;
  CSequenceHost m_host;
};

TEST_F(FramePrefetchJobTest, EachFrameShowsItsProgressThenItsReadsThenItsWrite) {
  const CMixOutcome outcome =
      MixColourKey(Fixture(kMain), Fixture(kTop), m_dir.Path("out.avi"), 0, 255, 0, 10, 10, 0);

  ASSERT_EQ(outcome.m_video.m_framesWritten, 60);
  // Without looping the top layer is read for its 30 frames, then no more.
  std::vector<std::string> expected;
  for (int frame = 1; frame <= 60; ++frame) {
    expected.push_back("S:Processing frame " + std::to_string(frame) + "\\60");
    expected.push_back("T:R");
    if (frame <= 30) expected.push_back("T:R");
    expected.push_back("T:W");
  }
  EXPECT_EQ(VideoPassCalls(m_host.Calls()), expected);
}

TEST_F(FramePrefetchJobTest, AStopDropsTheFrameReadAheadUnseen) {
  m_host.m_stopAt = "Processing frame 7\\60";

  const CMixOutcome outcome =
      MixColourKey(Fixture(kMain), Fixture(kTop), m_dir.Path("out.avi"), 0, 255, 0, 10, 10, 1);

  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kStopped);
  EXPECT_EQ(outcome.m_video.m_framesWritten, 7);
  const std::vector<std::string> pass = VideoPassCalls(m_host.Calls());
  ASSERT_GE(pass.size(), 4u);
  // The frame being worked on is finished and written; nothing of frame 8 shows.
  EXPECT_EQ(std::vector<std::string>(pass.end() - 4, pass.end()),
            (std::vector<std::string>{"S:Processing frame 7\\60", "T:R", "T:R", "T:W"}));
  EXPECT_EQ(std::count(pass.begin(), pass.end(), "T:R"), 14);
}

// Opens the first video stream of a fixture into `reader`.
bool OpenReader(const std::string& name, PAVIFILE& file, PAVISTREAM& stream, CVideoReader& reader) {
  if (CAviFile::Open(Fixture(name), OF_SHARE_DENY_WRITE, file) != AVIERR_OK || !file) {
    return false;
  }
  file->GetStream(stream, streamtypeVIDEO, 0);
  return stream && reader.Open(stream) == 0;
}

int64_t Bytes(const CVideoReader& reader) {
  return static_cast<int64_t>(FrameStride(reader.m_width)) * reader.m_height;
}

class FramePrefetcherTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FramePrefetcherTest, HandsOutTheFramesTheReadersGiveInTurn) {
  CSequenceHost host;
  PAVIFILE mainFile, checkMainFile, checkTopFile;
  PAVISTREAM mainStream, checkMainStream, checkTopStream;
  CVideoReader main, checkMain, checkTop;
  ASSERT_TRUE(OpenReader(GetParam(), mainFile, mainStream, main));
  ASSERT_TRUE(OpenReader(GetParam(), checkMainFile, checkMainStream, checkMain));
  ASSERT_TRUE(OpenReader(kTop, checkTopFile, checkTopStream, checkTop));
  CLayerSpec spec;
  spec.m_source = Fixture(kTop);
  spec.m_rule.m_loop = 1;
  CLayerUnit top;
  ASSERT_TRUE(top.OpenSource(spec, 1, 1));
  ASSERT_EQ(top.Plan(main), CLayerUnit::EReady::kReady);
  TopFrameCursor checkCursor;
  checkCursor.start = checkCursor.next = checkTop.m_startFrame;
  checkCursor.end = checkTop.m_endFrame;
  checkCursor.loop = 1;
  CFramePrefetcher prefetcher;
  ASSERT_EQ(top.PictureBytes(), Bytes(checkTop));
  ASSERT_EQ(prefetcher.Allocate(Bytes(main), top.PictureBytes()),
            CFramePrefetcher::EAllocation::kOk);

  prefetcher.Start(main, &top, main.m_startFrame, main.m_endFrame);

  int differing = 0;
  for (int32_t frame = checkMain.m_startFrame; frame < checkMain.m_endFrame; ++frame) {
    CPrefetchSlot& slot = prefetcher.Next();
    slot.m_events.Replay();
    ASSERT_EQ(checkMain.ReadFrame(frame), 0);
    int32_t index = 0;
    ASSERT_TRUE(checkCursor.Step(index));
    ASSERT_EQ(checkTop.ReadFrame(index), 0);
    ASSERT_TRUE(slot.m_haveTop);
    differing += std::memcmp(slot.m_output.get(), checkMain.m_buffer.get(), Bytes(main)) != 0;
    differing += std::memcmp(slot.m_top.get(), checkTop.m_buffer.get(), Bytes(checkTop)) != 0;
    // Scribbling on the handed-out frame (as compositing does) must not reach the next one.
    std::memset(slot.m_output.get(), 0x5A, static_cast<size_t>(Bytes(main)));
    prefetcher.Release();
  }
  prefetcher.Stop();

  EXPECT_EQ(differing, 0);
  EXPECT_GT(checkMain.m_endFrame - checkMain.m_startFrame, 1);
}

INSTANTIATE_TEST_SUITE_P(Mains, FramePrefetcherTest,
                         ::testing::Values("main_320x240_bgr24_pcm.avi",
                                           "ff_mjpeg_321x241_pcmu8.avi",
                                           "ff_mpeg4_bframes_mp3cbr.avi"));

TEST(DeferredHostTest, PassesOnWhatAnotherThreadShowedInItsOrderOnlyWhenReplayed) {
  CSequenceHost host;
  CDeferredHost deferred;

  std::thread helper([&] {
    CThreadHostScope scope(&deferred);
    Trace("R");
    ShowMessage("AVIStreamRead failed", MB_ICONINFORMATION);
    SetStatus("inner");
  });
  helper.join();
  Trace("W");  // this thread still talks to the installed host
  const std::vector<std::string> before = host.Calls();
  deferred.Replay();

  EXPECT_EQ(before, std::vector<std::string>{"T:W"});
  EXPECT_EQ(host.Calls(),
            (std::vector<std::string>{"T:W", "T:R", "M:AVIStreamRead failed", "S:inner"}));
  deferred.Replay();  // replayed calls are gone
  EXPECT_EQ(host.Calls().size(), 4u);
}

}  // namespace
}  // namespace corvane
