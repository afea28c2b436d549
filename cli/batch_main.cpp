// corvane-batch: many mixes from one CSV batch file, on this machine or as a scheduler's array
// tasks.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cli/batch_run.h"
#include "cli/batch_slurm.h"

namespace {

using corvane::cli::CBatchSettings;

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: corvane-batch run BATCH [--jobs N]\n"
      "       corvane-batch slurm BATCH [--wait] [--throttle K] [--sbatch-arg ARG]...\n"
      "       corvane-batch task BATCH [--index I] [--results DIR] [--report FILE]\n"
      "       corvane-batch stitch BATCH ROW [--results DIR] [--report FILE]\n"
      "\n"
      "BATCH is a CSV file with a header row: main, output, and either recipe or top with\n"
      "options (corvane-mix options, split as shell words), e.g.\n"
      "  main,output,top,options\n"
      "  talk.mp4,out/talk.mp4,logo.png,\"--corner br --layer-alpha --keyer none\"\n"
      "Paths are relative to the batch file. Each output is written under a temporary name\n"
      "and renamed when its mix is complete. A column 'segments' (default 1) cuts a row's\n"
      "mix into that many parts, each mixed by a task of its own (corvane-mix --segment)\n"
      "and joined by 'stitch'; run mixes such a row whole.\n"
      "\n"
      "  run    mixes every row, up to N at once (default: one a processor), and writes\n"
      "         BATCH-NAME.report.csv beside the batch file. A rerun skips the rows the last\n"
      "         report lists as done; an output that exists without such a record fails its\n"
      "         row and is not replaced. Exit status 0 when every row is done, 1 when one\n"
      "         failed, 2 for a usage error, 130 when stopped (Ctrl-C; a rerun resumes).\n"
      "  slurm  submits one Slurm job array, a task a row, each running 'corvane-batch task'\n"
      "         on a copy of BATCH taken now (at most K tasks at once; ARG passed to sbatch).\n"
      "         With --wait, follows it to its end and writes the report as run does.\n"
      "  task   mixes the row of one array task: its index from SLURM_ARRAY_TASK_ID,\n"
      "         JOB_COMPLETION_INDEX (Kubernetes) or AWS_BATCH_JOB_ARRAY_INDEX, or --index;\n"
      "         the result goes to DIR/task-I.csv (default BATCH-NAME.tasks/task-I.csv); rows\n"
      "         FILE (default the batch's report) lists as done are skipped. Tasks are\n"
      "         numbered from 0 in row order, N consecutive ones for a row of N segments.\n"
      "  stitch joins the parts of row ROW (from 1, as in the report) once every part's task\n"
      "         ended well, adds the main's audio once, and leaves DIR/stitch-ROW.csv. slurm\n"
      "         submits it as a job that waits for the row's tasks.\n",
      out);
}

// This program's absolute path: the tasks run it, and corvane-mix is beside it.
std::filesystem::path SelfPath() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("corvane-batch") : self;
}

// A whole number from `text`, within [low, high]; -1 when it is none.
long long WholeNumber(const char* text, long long low, long long high) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  return *text && *end == '\0' && value >= low && value <= high ? value : -1;
}

int Usage(const std::string& error) {
  std::fprintf(stderr, "corvane-batch: %s\ncorvane-batch: try 'corvane-batch --help'\n",
               error.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc < 3) return Usage("give a command (run, slurm, task or stitch) and a batch file");
  const std::string command = argv[1];
  if (command != "run" && command != "task" && command != "slurm" && command != "stitch")
    return Usage("unknown command " + command);
  long long stitchRow = -1;
  int firstOption = 3;
  if (command == "stitch") {
    if (argc < 4 || (stitchRow = WholeNumber(argv[3], 1, INT32_MAX)) < 0)
      return Usage("stitch needs a batch file and a row number (from 1)");
    firstOption = 4;
  }
  corvane::cli::CSlurmSettings slurm;
  CBatchSettings& settings = slurm.m_batch;
  settings.m_batchPath = argv[2];
  settings.m_mixProgram = (SelfPath().parent_path() / "corvane-mix").string();
  slurm.m_self = SelfPath().string();
  long long index = -1;
  bool indexGiven = false;
  const bool taskLike = command == "task" || command == "stitch";
  for (int i = firstOption; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--jobs" && command == "run" && i + 1 < argc) {
      const long long jobs = WholeNumber(argv[++i], 1, 1024);
      if (jobs < 0) return Usage(std::string("--jobs takes 1 to 1024, not ") + argv[i]);
      settings.m_jobs = static_cast<int>(jobs);
    } else if (option == "--wait" && command == "slurm") {
      slurm.m_wait = true;
    } else if (option == "--throttle" && command == "slurm" && i + 1 < argc) {
      const long long throttle = WholeNumber(argv[++i], 1, 100000);
      if (throttle < 0) return Usage(std::string("--throttle takes 1 to 100000, not ") + argv[i]);
      slurm.m_throttle = static_cast<int>(throttle);
    } else if (option == "--sbatch-arg" && command == "slurm" && i + 1 < argc) {
      slurm.m_sbatchArguments.push_back(argv[++i]);
    } else if (option.rfind("--sbatch-arg=", 0) == 0 && command == "slurm") {
      slurm.m_sbatchArguments.push_back(option.substr(std::strlen("--sbatch-arg=")));
    } else if (option == "--results" && taskLike && i + 1 < argc) {
      settings.m_resultsDir = argv[++i];
    } else if (option == "--report" && taskLike && i + 1 < argc) {
      settings.m_reportPath = argv[++i];
    } else if (option == "--index" && command == "task" && i + 1 < argc) {
      index = WholeNumber(argv[++i], 0, INT32_MAX);
      if (index < 0) return Usage(std::string("--index takes a whole number, not ") + argv[i]);
      indexGiven = true;
    } else {
      return Usage("unknown option " + option + " for " + command);
    }
  }
  if (command == "run") return corvane::cli::RunBatch(settings);
  if (command == "slurm") return corvane::cli::SubmitToSlurm(slurm);
  if (command == "stitch") return corvane::cli::StitchRow(settings, static_cast<int>(stitchRow));
  if (!indexGiven) {
    index = corvane::cli::TaskIndexFromEnvironment();
    if (index == -1) {
      return Usage(
          "no task index: none of SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX and "
          "AWS_BATCH_JOB_ARRAY_INDEX is set, and no --index is given");
    }
    if (index < 0) return Usage("the task index in the environment is no whole number");
  }
  return corvane::cli::RunTask(settings, index);
}
