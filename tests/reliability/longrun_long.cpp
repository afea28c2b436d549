// Long runs: a 20,000-frame mix of small frames runs in the memory a 2,000-frame one needs,
// apart from its indexes. Label long: minutes, not seconds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "reliabilitysupport.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

// A 64 x 48 raw main video of `frames` frames at 100 fps with PCM audio, made by ffmpeg.
std::string MakeMain(const CTempDir& dir, int frames) {
  const std::string path = dir.Path("main" + std::to_string(frames) + ".avi");
  const double seconds = frames / 100.0;
  const auto made =
      RunCommand("ffmpeg -v error -f lavfi -i testsrc=s=64x48:r=100 -f lavfi -i sine=r=8000 -t " +
                 std::to_string(seconds) + " -frames:v " + std::to_string(frames) +
                 " -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le " + ShellQuote(path));
  EXPECT_EQ(made.m_exitCode, 0) << made.m_errors;
  return path;
}

int VideoPackets(const std::string& path) {
  const auto result = RunCommand(
      "ffprobe -v error -count_packets -select_streams v:0 -show_entries "
      "stream=nb_read_packets -of csv=p=0 " +
      ShellQuote(path));
  return result.m_exitCode == 0 ? std::atoi(result.m_output.c_str()) : -1;
}

class LongRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the inputs";
    m_program = test::BuiltProgram("cli/corvane-mix");
    if (!std::filesystem::exists(m_program)) GTEST_SKIP() << "corvane-mix is not built";
    m_top = test::Fixture("ff_bgr24_5x3.avi");
  }

  CTempDir m_dir;
  std::string m_program;
  std::string m_top;
};

TEST_F(LongRunTest, PeakMemoryDoesNotGrowWithTheFrameCount) {
  long peakKb[2] = {0, 0};
  const int frames[2] = {2000, 20000};
  for (int i = 0; i < 2; ++i) {
    const std::string main = MakeMain(m_dir, frames[i]);
    const std::string output = m_dir.Path("out" + std::to_string(frames[i]) + ".avi");
    const test::CChildRun run = test::RunChild(
        {m_program, "--codec", "ffv1", "--loop", "--at", "20,10", main, m_top, output});
    ASSERT_EQ(run.m_exitCode, 0) << run.m_errors;
    EXPECT_EQ(VideoPackets(output), frames[i]);
    peakKb[i] = run.m_peakKb;
    std::filesystem::remove(main);
    std::filesystem::remove(output);
  }

  // Ten times the frames may cost the indexes (the main video's chunk table with its audio
  // chunks, the output's idx1 entries) and nothing per frame beyond that: a frame-sized buffer
  // kept per frame would be 9 KB a frame.
  const long growthBytesPerFrame = (peakKb[1] - peakKb[0]) * 1024 / (frames[1] - frames[0]);
  EXPECT_LT(growthBytesPerFrame, 512) << peakKb[0] << " KB vs " << peakKb[1] << " KB";
  test::AddTableRow("long run", "20,000-frame 64 x 48 mix (ffv1) against 2,000 frames",
                    "peak RSS " + std::to_string(peakKb[1]) + " KB vs " +
                        std::to_string(peakKb[0]) + " KB (" + std::to_string(growthBytesPerFrame) +
                        " bytes per extra frame: the indexes), every frame written",
                    !HasFailure());
}

}  // namespace
}  // namespace corvane
