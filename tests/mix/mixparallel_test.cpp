// Frames decoded side by side: for a main video in each codec whose frames decode on their own,
// the mix with two processors (two readers of the main video) writes the same bytes as with one
// (one reader, the process pinned to a single processor), with every message in the same order,
// also when a frame in the middle is missing (an empty chunk shows the frame before it).
#include <gtest/gtest.h>
#include <sched.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;

std::vector<char> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `mix` pinned to the first usable processor, then lets the process run anywhere again.
template <typename Mix>
void OnOneProcessor(Mix mix) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  mix();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

TEST(MixParallelTest, TwoReadersWriteTheSameBytesAsOneForEveryIntraOnlyCodec) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  if (CPU_COUNT(&all) < 2) GTEST_SKIP() << "one processor: nothing runs side by side";
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the mains";
  CTempDir dir;
  const struct {
    const char* m_name;
    const char* m_codec;
    bool m_dropped;  // the sixth frame dropped: its chunk is empty
  } cases[] = {
      {"mjpeg", "-c:v mjpeg -q:v 4 -pix_fmt yuvj420p", false},
      {"mjpeg-dropped", "-c:v mjpeg -q:v 4 -pix_fmt yuvj420p", true},
      {"huffyuv", "-c:v huffyuv -pix_fmt rgb24", false},
      {"utvideo", "-c:v utvideo -pix_fmt gbrp", false},
      {"raw", "-c:v rawvideo -pix_fmt bgr24", false},
  };
  test::CRecordingHost host;
  host.m_compression = test::Ffv1Compression();
  EngineState().m_mixing = 1;
  for (const auto& test : cases) {
    const std::string main = dir.Path(std::string(test.m_name) + ".avi");
    ASSERT_TRUE(test::MakeWithFfmpeg(
        std::string("-f lavfi -i testsrc2=s=176x144:r=25:d=1.2 -f lavfi -i sine=r=22050:d=1.2 ") +
            (test.m_dropped ? "-vf \"select='not(eq(n,5))'\" -fps_mode passthrough " : "") +
            test.m_codec + " -c:a pcm_s16le",
        main))
        << test.m_name;
    const std::string top = test::Fixture("top_160x120_bgr24_green.avi");
    const std::string side = dir.Path("side.avi");
    const std::string alone = dir.Path("alone.avi");
    host.Clear();
    const CMixOutcome parallel = MixColourKey(main, top, side, 0, 255, 0, 10, 8, 1);
    const auto parallelMessages = host.Messages();
    host.Clear();
    CMixOutcome single;
    OnOneProcessor([&] { single = MixColourKey(main, top, alone, 0, 255, 0, 10, 8, 1); });
    const auto singleMessages = host.Messages();
    EXPECT_EQ(parallel.m_video.m_framesWritten, single.m_video.m_framesWritten) << test.m_name;
    EXPECT_EQ(parallel.m_video.m_framesWritten, 30) << test.m_name;
    EXPECT_TRUE(FileBytes(side) == FileBytes(alone)) << test.m_name << ": the outputs differ";
    ASSERT_EQ(parallelMessages.size(), singleMessages.size()) << test.m_name;
    for (size_t i = 0; i < singleMessages.size(); ++i)
      EXPECT_EQ(parallelMessages[i].m_text, singleMessages[i].m_text) << test.m_name;
  }
  EngineState().m_mixing = 0;
}

}  // namespace
}  // namespace corvane
