// corvane-batch on one machine: a batch file checked whole before anything runs, rows mixed as
// corvane-mix mixes them alone, the report, reruns that skip what is done and never replace
// what they did not write, a stop that resumes, and array tasks picking their row by the
// scheduler's index. Outputs are checked with ffmpeg against corvane-mix run alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/batch_file.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::RunCommand;
using test::ShellQuote;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Batch() {
  return ShellQuote(test::BuiltProgram("cli/corvane-batch"));
}

// Every decoded picture's and audio packet's hash.
std::string Content(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:v:0 -f framemd5 - && ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:a? -c copy -f framemd5 -")
      .m_output;
}

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the inputs and checks";
    const std::string source =
        "ffmpeg -v error -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi "
        "-i sine=sample_rate=48000 -t 2 ";
    for (const std::string& made :
         {source + "-c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac " + At("a.mp4"),
          source + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus " + At("b.webm"),
          source + "-c:v mpeg2video -c:a mp2 " + At("c.ts"),
          source + "-c:v mjpeg -q:v 4 -c:a pcm_s16le " + At("d.avi"),
          std::string("ffmpeg -v error -f lavfi -i color=c=red:size=32x24 -frames:v 1 ") +
              At("logo.png")}) {
      ASSERT_EQ(RunCommand(made).m_exitCode, 0) << made;
    }
  }
  std::string At(const std::string& name) const { return ShellQuote(m_dir.Path(name)); }

  test::CTempDir m_dir;
};

// The reader's faults are usage errors that name their place; nothing is run or written.
TEST_F(BatchTest, AMalformedBatchIsAUsageErrorNamingItsPlace) {
  const struct {
    const char* m_text;
    const char* m_said;
  } cases[] = {
      {"main,output,top,colour\na.mp4,x.mp4,logo.png,red\n", "field 4: unknown column \"colour\""},
      {"main,output,top,recipe\na.mp4,x.mp4,logo.png,r.json\n", "a \"recipe\" column beside"},
      {"main,output,top\na.mp4,x.mp4,logo.png\nb.webm,./x.mp4,logo.png\n",
       "line 3: output ./x.mp4 is written by line 2 too"},
      {"main,output,top\na.mp4,x\"y.mp4,logo.png\n", "line 2, column 8: a quote inside"},
      {"main,output,top\n\"a.mp4\"z,x.mp4,logo.png\n", "line 2, column 8: text after a closing"},
      {"main,output,top\na.mp4,\"x.mp4,logo.png\n", "line 2, column 7: a quote that is never"},
      {"main,output,top\na.mp4,x.mp4\n", "line 2: 2 fields where the header has 3"},
      {"main,output,top,options\na.mp4,x.mp4,logo.png,\"--corner 'br\"\n",
       "line 2: options: an unclosed single quote"},
      {"main,output,top,segments\na.mp4,x.mp4,logo.png,0\n", "segments must be a whole number"},
      {"main,output\na.mp4,x.mp4\n", "neither a \"recipe\" nor a \"top\" column"},
      {"main,output,top,options\na.mp4,x,logo.png,--format mkv\n", "output x names no container"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.m_text);
    WriteText(m_dir.Path("bad.csv"), test.m_text);
    const auto ran = RunCommand(Batch() + " run " + At("bad.csv"));
    EXPECT_EQ(ran.m_exitCode, 2);
    EXPECT_NE(ran.m_errors.find(test.m_said), std::string::npos) << ran.m_errors;
    struct stat written {};
    EXPECT_NE(::stat(m_dir.Path("x.mp4").c_str(), &written), 0);
    EXPECT_NE(::stat(m_dir.Path("bad.report.csv").c_str(), &written), 0);
  }
  // Quoted fields keep commas, doubled quotes and line breaks; options split as a shell does.
  std::vector<cli::CCsvRecord> records;
  std::string error;
  ASSERT_TRUE(cli::ParseCsv("a,\"b,\"\"c\"\"\nd\"\r\ne,f\n", records, error)) << error;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].m_fields, (std::vector<std::string>{"a", "b,\"c\"\nd"}));
  EXPECT_EQ(records[1].m_line, 3);
  std::vector<std::string> words;
  ASSERT_TRUE(cli::SplitShellWords("--key 255,0,255 'a b'\\ c \"d\\\"e\" f\\\\", words, error));
  EXPECT_EQ(words, (std::vector<std::string>{"--key", "255,0,255", "a b c", "d\"e", "f\\"}));
}

TEST_F(BatchTest, RowsMixAsAloneAReportSaysHowAndARerunSkipsWhatIsDone) {
  WriteText(m_dir.Path("batch.csv"),
            "main,output,top,options\n"
            "a.mp4,out/a.mp4,logo.png,\"--corner br --from 0.5 --to 1\"\n"
            "b.webm,out/b.mkv,logo.png,--codec mjpeg\n"
            "c.ts,out/c.avi,logo.png,\"--at 10,10\"\n"
            "missing.mp4,out/m.mp4,logo.png,\n"
            "d.avi,out/d.mov,logo.png,--codec mjpeg --layer logo.png --corner bl\n");
  ASSERT_EQ(RunCommand("mkdir -p " + At("out") + " " + At("alone")).m_exitCode, 0);
  // Run from elsewhere: paths, those in options too, are the batch file's.
  const auto ran = RunCommand("cd / && " + Batch() + " run " + At("batch.csv") + " --jobs 2");
  EXPECT_EQ(ran.m_exitCode, 1) << ran.m_errors;
  const struct {
    const char* m_output;
    const char* m_alone;
  } rows[] = {
      {"out/a.mp4", "--corner br --from 0.5 --to 1 a.mp4 logo.png alone/a.mp4"},
      {"out/b.mkv", "--codec mjpeg b.webm logo.png alone/b.mkv"},
      {"out/c.avi", "--at 10,10 c.ts logo.png alone/c.avi"},
      {"out/d.mov", "--codec mjpeg --layer logo.png --corner bl d.avi logo.png alone/d.mov"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.m_output);
    ASSERT_EQ(RunCommand("cd " + At("") + " && " +
                         ShellQuote(test::BuiltProgram("cli/corvane-mix")) + " " + row.m_alone)
                  .m_exitCode,
              0);
    const std::string alone = m_dir.Path(std::string("alone/") + (row.m_output + 4));
    EXPECT_EQ(Content(m_dir.Path(row.m_output)), Content(alone));
    EXPECT_FALSE(Content(alone).empty());
  }
  // Row, output, status, frames, seconds, message, row text; no temporary file left.
  const std::string reportPath = m_dir.Path("batch.report.csv");
  std::vector<cli::CReportRow> report = cli::ReadReport(reportPath);
  ASSERT_EQ(report.size(), 5u);
  const char* statuses[] = {"done", "done", "done", "failed", "done"};
  for (size_t i = 0; i < report.size(); ++i) {
    EXPECT_EQ(report[i].m_row, int(i + 1));
    EXPECT_EQ(report[i].m_status, statuses[i]) << report[i].m_message;
  }
  EXPECT_EQ(report[0].m_frames, 50);
  EXPECT_EQ(report[1].m_text, "b.webm,out/b.mkv,logo.png,--codec mjpeg");
  EXPECT_NE(report[3].m_message.find("missing.mp4"), std::string::npos) << report[3].m_message;
  EXPECT_NE(report[3].m_message.find("no such file"), std::string::npos) << report[3].m_message;
  EXPECT_EQ(RunCommand("ls -A " + At("out") + " | grep partial").m_output, "");

  // A rerun skips the rows done, with the same text; a changed row whose output is there, and
  // an output that no run of this batch wrote, fail without being replaced.
  WriteText(m_dir.Path("out/m.mp4"), "not a mix");
  WriteText(m_dir.Path("batch.csv"),
            "main,output,top,options\n"
            "a.mp4,out/a.mp4,logo.png,\"--corner br --from 0.5 --to 1\"\n"
            "b.webm,out/b.mkv,logo.png,--codec mjpeg --quality 50\n"
            "c.ts,out/c.avi,logo.png,\"--at 10,10\"\n"
            "missing.mp4,out/m.mp4,logo.png,\n"
            "d.avi,out/d.mov,logo.png,--codec mjpeg --layer logo.png --corner bl\n");
  const std::string before = Content(m_dir.Path("out/b.mkv"));
  const auto again = RunCommand(Batch() + " run " + At("batch.csv"));
  EXPECT_EQ(again.m_exitCode, 1) << again.m_errors;
  report = cli::ReadReport(reportPath);
  ASSERT_EQ(report.size(), 5u);
  const char* rerun[] = {"skipped", "failed", "skipped", "failed", "skipped"};
  for (size_t i = 0; i < report.size(); ++i) EXPECT_EQ(report[i].m_status, rerun[i]);
  EXPECT_NE(report[1].m_message.find("not replaced"), std::string::npos);
  EXPECT_EQ(Content(m_dir.Path("out/b.mkv")), before);
  EXPECT_EQ(test::ReadFileBytes(m_dir.Path("out/m.mp4")).size(), 9u);
}

// A batch killed whole (its mixes too) keeps what it finished: the rerun skips that row. Ctrl-C
// stops the running mixes cleanly (exit 130, nothing half-written left); the rerun resumes and
// finishes. A task stopped by its scheduler (SIGTERM) stops its mix and says so.
TEST_F(BatchTest, AStoppedBatchLeavesNoHalfOutputAndItsRerunFinishes) {
  ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=25 -t 60 -c:v "
                       "mjpeg " +
                       At("long.avi"))
                .m_exitCode,
            0);
  WriteText(m_dir.Path("stop.csv"),
            "main,output,top,options\nd.avi,short.mkv,logo.png,\nlong.avi,long.mkv,logo.png,\n");
  const auto killed =
      RunCommand("setsid " + Batch() + " run " + At("stop.csv") + " --jobs 1" +
                 " 2>/dev/null & for i in $(seq 300); do [ -e " + At("short.mkv") +
                 " ] && break; sleep 0.1; done; sleep 0.5; kill -KILL -$!; wait $!");
  ASSERT_TRUE(std::filesystem::exists(m_dir.Path("short.mkv"))) << killed.m_errors;
  const auto stopped = RunCommand(Batch() + " run " + At("stop.csv") + " --jobs 1" +
                                  " & sleep 2; kill -INT $!; wait $!");
  EXPECT_EQ(stopped.m_exitCode, 130) << stopped.m_errors;
  std::vector<cli::CReportRow> report = cli::ReadReport(m_dir.Path("stop.report.csv"));
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0].m_status, "skipped") << report[0].m_message;
  EXPECT_EQ(report[1].m_status, "stopped");
  EXPECT_EQ(RunCommand("ls -A " + At("") + " | grep -c 'long\\.mkv\\|partial'").m_output, "0\n");
  const auto resumed = RunCommand(Batch() + " run " + At("stop.csv"));
  EXPECT_EQ(resumed.m_exitCode, 0) << resumed.m_errors;
  report = cli::ReadReport(m_dir.Path("stop.report.csv"));
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[1].m_status, "done");
  EXPECT_EQ(report[1].m_frames, 1500);

  WriteText(m_dir.Path("term.csv"), "main,output,top\nlong.avi,term.mkv,logo.png\n");
  const auto terminated = RunCommand(Batch() + " task " + At("term.csv") +
                                     " --index 0 & sleep 2; kill -TERM $!; wait $!");
  EXPECT_EQ(terminated.m_exitCode, 130) << terminated.m_errors;
  const std::vector<cli::CReportRow> result = cli::ReadReport(m_dir.Path("term.tasks/task-0.csv"));
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].m_status, "stopped");
  EXPECT_EQ(RunCommand("ls -A " + At("") + " | grep -c 'term\\.mkv'").m_output, "0\n");
}

// Each scheduler's index variable, and --index, picks its row; the result is a file per task.
TEST_F(BatchTest, ATaskMixesTheRowOfItsSchedulersIndex) {
  WriteText(m_dir.Path("tasks.csv"),
            "main,output,top\n"
            "a.mp4,t0.mkv,logo.png\n"
            "d.avi,t1.mkv,logo.png\n"
            "a.mp4,t2.mkv,logo.png\n"
            "d.avi,t3.mkv,logo.png\n");
  const struct {
    const char* m_how;
    int m_task;
  } cases[] = {
      {"SLURM_ARRAY_TASK_ID=2", 2},
      {"JOB_COMPLETION_INDEX=0", 0},
      {"AWS_BATCH_JOB_ARRAY_INDEX=3", 3},
      {"", 1},  // --index
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.m_how);
    const std::string task = std::to_string(test.m_task);
    const auto ran =
        RunCommand(std::string("env -u SLURM_ARRAY_TASK_ID ") + test.m_how + " " + Batch() +
                   " task " + At("tasks.csv") + (*test.m_how ? "" : " --index " + task));
    EXPECT_EQ(ran.m_exitCode, 0) << ran.m_errors;
    const std::vector<cli::CReportRow> result =
        cli::ReadReport(m_dir.Path("tasks.tasks/task-" + task + ".csv"));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].m_row, test.m_task + 1);
    EXPECT_EQ(result[0].m_status, "done");
    EXPECT_FALSE(Content(m_dir.Path("t" + task + ".mkv")).empty());
  }
  const auto past = RunCommand(Batch() + " task " + At("tasks.csv") + " --index 4");
  EXPECT_EQ(past.m_exitCode, 2);
  EXPECT_NE(past.m_errors.find("tasks 0 to 3"), std::string::npos) << past.m_errors;
}

}  // namespace
}  // namespace corvane
