// One mix cut into parts and joined again: corvane-mix --frames and --segment write parts whose
// frames are the whole mix's, and corvane-batch's tasks and stitch join a batch row's parts
// into what corvane-mix writes alone. Checked with ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/batch_file.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Mix() {
  return ShellQuote(test::BuiltProgram("cli/corvane-mix"));
}
std::string Batch() {
  return ShellQuote(test::BuiltProgram("cli/corvane-batch"));
}

// The hash of every decoded picture, one a line, and of every audio packet.
std::string Pictures(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:v:0 -f framemd5 - | grep -v '^#' | cut -d, -f6")
      .m_output;
}
std::string AudioPackets(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:a:0 -c copy -f framemd5 - | grep -v '^#'")
      .m_output;
}

double Psnr(const std::string& reference, const std::string& path) {
  const std::string said =
      RunCommand("ffmpeg -v info -i " + ShellQuote(reference) + " -i " + ShellQuote(path) +
                 " -lavfi '[0:v][1:v]psnr' -f null - 2>&1 | "
                 "grep -o 'average:[0-9.inf]*' | cut -d: -f2")
          .m_output;
  return said.rfind("inf", 0) == 0 ? 100.0 : std::atof(said.c_str());
}

class SegmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg makes the inputs and checks";
    const std::string source =
        "ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
        "-i sine=sample_rate=48000 -t 8 ";
    for (const std::string& made :
         {source + "-c:v mjpeg -q:v 4 -c:a pcm_s16le " + At("main.avi"),
          // B-frames and key frames about every 40 frames, none where the parts' shares fall.
          source +
              "-c:v libx264 -preset veryfast -bf 2 -g 40 -keyint_min 40 -sc_threshold 0 "
              "-pix_fmt yuv420p -c:a aac " +
              At("main.mp4"),
          std::string("ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=10 -t 1.3 -c:v ffv1 ") +
              At("top.mkv"),
          std::string("ffmpeg -v error -f lavfi -i color=c=red:size=60x40 -frames:v 1 ") +
              At("logo.png")}) {
      ASSERT_EQ(RunCommand(made).m_exitCode, 0) << made;
    }
  }
  std::string At(const std::string& name) const { return ShellQuote(m_dir.Path(name)); }
  // corvane-mix run in the test's folder.
  test::CCommandResult MixHere(const std::string& arguments) const {
    return RunCommand("cd " + At("") + " && " + Mix() + " " + arguments);
  }

  test::CTempDir m_dir;
};

// A looping video layer shown across the cuts: each part's frames are the whole mix's, and a
// part of any frames, one past the end or backwards, is a usage error.
TEST_F(SegmentTest, PartsHoldTheWholeMixsFramesAndABadRangeIsAUsageError) {
  const std::string layer = "--codec mjpeg --quality 80 --at 30,30 --from 1.1 --to 6.7 --loop ";
  ASSERT_EQ(MixHere(layer + "main.avi top.mkv whole.avi").m_exitCode, 0);
  const std::string whole = Pictures(m_dir.Path("whole.avi"));
  std::string parts;
  for (int part = 1; part <= 3; ++part) {
    const std::string name = "part" + std::to_string(part) + ".avi";
    const auto ran =
        MixHere(layer + "--segment " + std::to_string(part) + "/3 main.avi top.mkv " + name);
    ASSERT_EQ(ran.m_exitCode, 0) << ran.m_errors;
    EXPECT_EQ(AudioPackets(m_dir.Path(name)), "");  // pictures alone
    parts += Pictures(m_dir.Path(name));
  }
  EXPECT_EQ(parts, whole);
  ASSERT_EQ(MixHere(layer + "--frames 37:101 main.avi top.mkv frames.avi").m_exitCode, 0);
  std::istringstream lines(whole);
  std::string line;
  std::string expected;
  for (int frame = 0; std::getline(lines, line); ++frame) {
    if (frame >= 37 && frame < 101) expected += line + "\n";
  }
  EXPECT_EQ(Pictures(m_dir.Path("frames.avi")), expected);

  const struct {
    const char* m_range;
    const char* m_said;
  } bad[] = {
      {"--frames 150:201", "has 200 frames, 0 to 199"},
      {"--frames 200:300", "has 200 frames, 0 to 199"},
      {"--frames 9:9", "FIRST below END"},
      {"--frames 9", "FIRST:END"},
      {"--segment 4/3", "from 1 to N"},
      {"--segment 1/2 --frames 0:5", "one --frames or --segment"},
  };
  for (const auto& test : bad) {
    SCOPED_TRACE(test.m_range);
    const auto ran = MixHere(layer + test.m_range + " main.avi top.mkv bad.avi");
    EXPECT_EQ(ran.m_exitCode, 2);
    EXPECT_NE(ran.m_errors.find(test.m_said), std::string::npos) << ran.m_errors;
  }
}

// A batch row of 4 Motion JPEG parts and one of 3 H.264 parts with copied groups, each part a
// task: stitched, the first equals the mix run alone frame for frame and packet for packet; the
// second decodes cleanly, has a key frame at each seam and is as close to the lossless mix as
// the mix run alone. A missing part, or a part whose task failed, refuses the stitch, named;
// `run` mixes such a row whole.
TEST_F(SegmentTest, TasksAndTheStitchMakeWhatCorvaneMixMakesAlone) {
  std::ofstream(m_dir.Path("batch.csv"))
      << "main,output,top,options,segments\n"
         "main.avi,out/a.avi,top.mkv,\"--codec mjpeg --quality 80 --at 30,30 --from 1.1 --to "
         "6.7 --loop\",4\n"
         "main.mp4,out/h.mp4,logo.png,\"--at 30,30 --from 3 --to 3.5\",3\n";
  ASSERT_EQ(RunCommand("mkdir -p " + At("out")).m_exitCode, 0);
  for (int task = 0; task < 7; ++task) {
    const auto ran =
        RunCommand(Batch() + " task " + At("batch.csv") + " --index " + std::to_string(task));
    ASSERT_EQ(ran.m_exitCode, 0) << ran.m_errors;
  }
  for (const char* row : {"1", "2"}) {
    const auto stitched = RunCommand(Batch() + " stitch " + At("batch.csv") + " " + row);
    ASSERT_EQ(stitched.m_exitCode, 0) << stitched.m_errors;
  }
  EXPECT_EQ(RunCommand("ls -A " + At("out")).m_output, "a.avi\nh.mp4\n");  // parts removed

  ASSERT_EQ(MixHere("--codec mjpeg --quality 80 --at 30,30 --from 1.1 --to 6.7 --loop main.avi "
                    "top.mkv alone.avi")
                .m_exitCode,
            0);
  EXPECT_EQ(Pictures(m_dir.Path("out/a.avi")), Pictures(m_dir.Path("alone.avi")));
  EXPECT_EQ(AudioPackets(m_dir.Path("out/a.avi")), AudioPackets(m_dir.Path("alone.avi")));
  EXPECT_NE(AudioPackets(m_dir.Path("alone.avi")), "");

  const std::string h264 = m_dir.Path("out/h.mp4");
  EXPECT_EQ(RunCommand("ffmpeg -v error -xerror -i " + ShellQuote(h264) + " -f null -").m_exitCode,
            0);
  ASSERT_EQ(MixHere("--at 30,30 --from 3 --to 3.5 main.mp4 logo.png alone.mp4").m_exitCode, 0);
  ASSERT_EQ(MixHere("--codec ffv1 --at 30,30 --from 3 --to 3.5 main.mp4 logo.png lossless.mkv")
                .m_exitCode,
            0);
  const double alone = Psnr(m_dir.Path("lossless.mkv"), m_dir.Path("alone.mp4"));
  EXPECT_GT(alone, 30.0);
  EXPECT_NEAR(Psnr(m_dir.Path("lossless.mkv"), h264), alone, 0.3);
  EXPECT_EQ(AudioPackets(h264), AudioPackets(m_dir.Path("alone.mp4")));
  // Parts 2 and 3 begin at key frames of the main, and the output has a key frame there.
  const auto keyFrames = [](const std::string& path) {
    return " " + RunCommand(
                     "ffprobe -v error -select_streams v -show_frames -show_entries "
                     "frame=key_frame -of csv=p=0 " +
                     ShellQuote(path) +
                     // A picture's side data takes a line of its own.
                     " | grep -v '^$' | cut -d, -f1 | grep -n '^1' | cut -d: -f1 | "
                     "tr '\\n' ' '")
                     .m_output;
  };
  const std::string mainKeys = keyFrames(m_dir.Path("main.mp4"));
  const std::string outputKeys = keyFrames(h264);
  for (const int task : {5, 6}) {
    const std::vector<cli::CReportRow> result =
        cli::ReadReport(m_dir.Path("batch.tasks/task-" + std::to_string(task) + ".csv"));
    ASSERT_EQ(result.size(), 1u);
    const size_t at = result[0].m_message.find("(main frames ");
    ASSERT_NE(at, std::string::npos) << result[0].m_message;
    const int first = std::atoi(result[0].m_message.c_str() + at + 13);
    ASSERT_GT(first, 0);
    const std::string line = " " + std::to_string(first + 1) + " ";
    EXPECT_NE(mainKeys.find(line), std::string::npos) << first << " in" << mainKeys;
    EXPECT_NE(outputKeys.find(line), std::string::npos) << first << " in" << outputKeys;
  }

  // The stitch refuses while a part is missing or its task failed, naming it.
  std::ofstream(m_dir.Path("again.csv"))
      << "main,output,top,options,segments\n"
         "main.avi,out/b.avi,logo.png,\"--codec mjpeg --quality 80\",2\n";
  ASSERT_EQ(RunCommand(Batch() + " task " + At("again.csv") + " --index 0").m_exitCode, 0);
  auto refused = RunCommand(Batch() + " stitch " + At("again.csv") + " 1");
  EXPECT_EQ(refused.m_exitCode, 1);
  EXPECT_NE(refused.m_errors.find("Part 2 of the mix"), std::string::npos) << refused.m_errors;
  EXPECT_NE(refused.m_errors.find("is missing"), std::string::npos) << refused.m_errors;
  std::ofstream(m_dir.Path("again.tasks/task-1.csv"))
      << "row,output,status,frames,seconds,message,row_text\n"
         "1,out/.b.part-2-of-2.avi,failed,0,1,disk full,x\n";
  refused = RunCommand(Batch() + " stitch " + At("again.csv") + " 1");
  EXPECT_EQ(refused.m_exitCode, 1);
  EXPECT_NE(refused.m_errors.find("part 2 of 2 failed: disk full"), std::string::npos)
      << refused.m_errors;
  EXPECT_EQ(RunCommand("ls -A " + At("out") + " | grep -c '^b.avi'").m_output, "0\n");

  // On one machine the row is mixed whole, and the parts left by its tasks go.
  const auto ran = RunCommand(Batch() + " run " + At("again.csv"));
  EXPECT_EQ(ran.m_exitCode, 0) << ran.m_errors;
  EXPECT_EQ(RunCommand("ls -A " + At("out") + " | grep b").m_output, "b.avi\n");
  ASSERT_EQ(MixHere("--codec mjpeg --quality 80 main.avi logo.png b-alone.avi").m_exitCode, 0);
  EXPECT_EQ(Pictures(m_dir.Path("out/b.avi")), Pictures(m_dir.Path("b-alone.avi")));
}

// A main with fewer key frames than parts (five groups, eight parts) leaves the last parts
// empty: their tasks succeed without a file, and the stitch joins the others into every frame
// of the main with its sound.
TEST_F(SegmentTest, PartsBeyondTheMainsKeyFramesAreEmptyAndTheStitchGoesOn) {
  std::ofstream(m_dir.Path("many.csv")) << "main,output,top,options,segments\n"
                                           "main.mp4,out/many.mp4,logo.png,\"--at 30,30\",8\n";
  ASSERT_EQ(RunCommand("mkdir -p " + At("out")).m_exitCode, 0);
  int empty = 0;
  for (int task = 0; task < 8; ++task) {
    const auto ran =
        RunCommand(Batch() + " task " + At("many.csv") + " --index " + std::to_string(task));
    ASSERT_EQ(ran.m_exitCode, 0) << ran.m_errors;
    empty += ran.m_errors.find("holds no frames") != std::string::npos;
  }
  EXPECT_EQ(empty, 3);
  const auto stitched = RunCommand(Batch() + " stitch " + At("many.csv") + " 1");
  ASSERT_EQ(stitched.m_exitCode, 0) << stitched.m_errors;
  EXPECT_EQ(RunCommand("ls -A " + At("out")).m_output, "many.mp4\n");
  const std::string output = m_dir.Path("out/many.mp4");
  EXPECT_EQ(RunCommand("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of "
                       "csv=p=0 -select_streams v " +
                       ShellQuote(output))
                .m_output,
            "200\n");
  EXPECT_EQ(
      RunCommand("ffmpeg -v error -xerror -i " + ShellQuote(output) + " -f null -").m_exitCode, 0);
  EXPECT_EQ(AudioPackets(output), AudioPackets(m_dir.Path("main.mp4")));
}

}  // namespace
}  // namespace corvane
