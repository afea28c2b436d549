#include "cli/batch_slurm.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

volatile sig_atomic_t g_cancel = 0;

void OnCancel(int) {
  g_cancel = 1;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// Runs a shell command; its standard output, and whether it ended with status 0.
bool Capture(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  return ::pclose(pipe) == 0;
}

// The job id sbatch --parsable printed ("ID" or "ID;CLUSTER"), or the last one squeue listed,
// among any warnings they or a site's plugins wrote beside it: the digits that begin the last
// line that begins with one; empty when no line does.
std::string JobIdOf(const std::string& said) {
  std::string id;
  for (size_t at = 0; at < said.size();) {
    const size_t end = std::min(said.find('\n', at), said.size());
    if (std::isdigit(static_cast<unsigned char>(said[at]))) {
      size_t digits = at;
      while (digits < end && std::isdigit(static_cast<unsigned char>(said[digits]))) ++digits;
      id = said.substr(at, digits - at);
    }
    at = end + 1;
  }
  return id;
}

}  // namespace

int SubmitToSlurm(const CSlurmSettings& settings) {
  const std::string& batchPath = settings.m_batch.m_batchPath;
  std::vector<CBatchRow> rows;
  std::string error;
  if (!ReadBatchFile(batchPath, rows, error)) {
    std::fprintf(stderr, "corvane-batch: %s\n", error.c_str());
    return 2;
  }
  if (rows.empty()) {
    std::fprintf(stderr, "corvane-batch: %s holds no rows\n", batchPath.c_str());
    return 2;
  }
  // The tasks read the batch as it is now, beside the original so that its relative paths
  // hold; each submission keeps its results apart.
  const fs::path batch = fs::absolute(batchPath);
  const std::string stamp =
      std::to_string(static_cast<long long>(std::time(nullptr))) + "-" + std::to_string(::getpid());
  const fs::path copy = batch.parent_path() / ("." + batch.stem().string() + ".submitted-" + stamp +
                                               batch.extension().string());
  const fs::path results =
      batch.parent_path() / (batch.stem().string() + ".tasks") / ("submitted-" + stamp);
  std::error_code failed;
  fs::create_directories(results, failed);
  if (!failed) fs::copy_file(batch, copy, failed);
  if (failed) {
    std::fprintf(stderr, "corvane-batch: cannot keep a copy of %s for the tasks: %s\n",
                 batchPath.c_str(), failed.message().c_str());
    return 1;
  }
  const std::string report = ReportPathFor(batch.string());
  const std::string task = ShellQuoted(settings.m_self) + " task " + ShellQuoted(copy.string()) +
                           " --results " + ShellQuoted(results.string()) + " --report " +
                           ShellQuoted(report);
  const std::vector<CTaskSlot> slots = TaskSlots(rows);
  std::string array = "0-" + std::to_string(slots.size() - 1);
  if (settings.m_throttle > 0) array += "%" + std::to_string(settings.m_throttle);
  std::string command = "sbatch --parsable --array=" + array +
                        " --job-name=" + ShellQuoted("corvane-" + batch.stem().string()) +
                        " --output=" + ShellQuoted((results / "slurm-%a.out").string());
  for (const std::string& argument : settings.m_sbatchArguments)
    command += " " + ShellQuoted(argument);
  command += " --wrap=" + ShellQuoted(task);
  std::string said;
  const std::string job = Capture(command + " 2>&1", said) ? JobIdOf(said) : std::string();
  if (job.empty()) {
    std::fprintf(stderr, "corvane-batch: sbatch refused the array: %s", said.c_str());
    return 1;
  }
  std::fprintf(stderr, "corvane-batch: submitted job array %s (%zu tasks); results in %s\n",
               job.c_str(), slots.size(), results.c_str());
  // Each row cut into segments is joined by a job of its own once all its tasks ended well; a
  // task that failed leaves it never to run, and Slurm removes it.
  std::string jobs = job;
  for (size_t first = 0; first < slots.size();) {
    const CBatchRow& row = rows[slots[first].m_row];
    size_t end = first + 1;
    while (end < slots.size() && slots[end].m_row == slots[first].m_row) ++end;
    if (slots[first].m_part > 0) {
      std::string after = "afterok";
      for (size_t task = first; task < end; ++task) after += ":" + job + "_" + std::to_string(task);
      const std::string stitch = ShellQuoted(settings.m_self) + " stitch " +
                                 ShellQuoted(copy.string()) + " " + std::to_string(row.m_number) +
                                 " --results " + ShellQuoted(results.string()) + " --report " +
                                 ShellQuoted(report);
      std::string stitchCommand =
          "sbatch --parsable --dependency=" + after + " --kill-on-invalid-dep=yes --job-name=" +
          ShellQuoted("corvane-stitch-" + std::to_string(row.m_number)) + " --output=" +
          ShellQuoted(
              (results / ("slurm-stitch-" + std::to_string(row.m_number) + ".out")).string());
      for (const std::string& argument : settings.m_sbatchArguments)
        stitchCommand += " " + ShellQuoted(argument);
      stitchCommand += " --wrap=" + ShellQuoted(stitch);
      const std::string stitchJob =
          Capture(stitchCommand + " 2>&1", said) ? JobIdOf(said) : std::string();
      if (stitchJob.empty()) {
        std::fprintf(stderr, "corvane-batch: sbatch refused the stitch of row %d: %s", row.m_number,
                     said.c_str());
        std::string ignored;
        Capture("scancel " + ShellQuoted(job) + " 2>&1", ignored);
        return 1;
      }
      jobs += "," + stitchJob;
      std::fprintf(stderr, "corvane-batch: row %d: its %zu parts are joined by job %s\n",
                   row.m_number, end - first, stitchJob.c_str());
    }
    first = end;
  }
  if (!settings.m_wait) return 0;

  struct sigaction action {};
  action.sa_handler = OnCancel;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // squeue lists the array's tasks while any is pending or running; the results say the rest.
  // A controller busy or restarting fails it for a while: that is no end of the jobs.
  constexpr int kPatience = 300;
  int failures = 0;
  for (;;) {
    if (g_cancel) {
      std::string ignored;
      Capture("scancel " + ShellQuoted(jobs) + " 2>&1", ignored);
      std::fprintf(stderr, "corvane-batch: stopped; jobs %s cancelled\n", jobs.c_str());
      break;
    }
    std::string queued;
    if (Capture("squeue -h -j " + ShellQuoted(jobs) + " -o %i 2>&1", queued)) {
      failures = 0;
      if (JobIdOf(queued).empty()) break;  // none is queued
    } else if (queued.find("Invalid job id") != std::string::npos) {
      break;  // the controller forgets a job some time after it ends
    } else if (++failures > kPatience) {
      // A controller that does not answer says nothing of the jobs: they may still run.
      std::fprintf(stderr,
                   "corvane-batch: squeue has failed for %d s, so the jobs %s cannot be "
                   "followed: %sthey go on; their results are in %s\n",
                   kPatience, jobs.c_str(), queued.c_str(), results.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::vector<CReportRow> reports;
  for (size_t first = 0; first < slots.size();) {
    const CBatchRow& row = rows[slots[first].m_row];
    size_t end = first + 1;
    while (end < slots.size() && slots[end].m_row == slots[first].m_row) ++end;
    const bool cut = slots[first].m_part > 0;
    const std::vector<CReportRow> result =
        ReadReport(cut ? StitchResultPath(results.string(), row.m_number)
                       : TaskResultPath(results.string(), int64_t(first)));
    if (result.size() == 1) {
      reports.push_back(result.front());
      first = end;
      continue;
    }
    CReportRow missing;
    missing.m_row = row.m_number;
    missing.m_output = row.m_output;
    missing.m_text = row.m_text;
    missing.m_status = g_cancel ? "stopped" : "failed";
    // Why: the first of its tasks that did not end well, else its join.
    for (size_t task = first; task < end && missing.m_message.empty(); ++task) {
      const std::vector<CReportRow> part = ReadReport(TaskResultPath(results.string(), task));
      const std::string log = (results / ("slurm-" + std::to_string(task) + ".out")).string();
      if (part.size() != 1) {
        missing.m_message = "task " + std::to_string(task) + " left no result (see " + log + ")";
      } else if (part[0].m_status != "done" && part[0].m_status != "skipped") {
        missing.m_message = "part " + std::to_string(task - first + 1) + " of " +
                            std::to_string(end - first) + " " + part[0].m_status + ": " +
                            part[0].m_message;
      }
    }
    if (missing.m_message.empty()) {
      missing.m_message =
          "the join of its parts left no result (see " +
          (results / ("slurm-stitch-" + std::to_string(row.m_number) + ".out")).string() + ")";
    }
    reports.push_back(missing);
    first = end;
  }
  if (!WriteReport(report, reports)) {
    std::fprintf(stderr, "corvane-batch: the report %s cannot be written\n", report.c_str());
    return 1;
  }
  for (const CReportRow& row : reports) {
    std::fprintf(stderr, "corvane-batch: row %d, %s: %s%s%s\n", row.m_row, row.m_output.c_str(),
                 row.m_status.c_str(), row.m_message.empty() ? "" : ": ", row.m_message.c_str());
  }
  const int status = ExitStatusOf(reports, g_cancel != 0);
  std::fprintf(stderr, "corvane-batch: %s; the report is %s\n",
               status == 0     ? "every row is done"
               : status == 130 ? "stopped"
                               : "a row failed",
               report.c_str());
  return status;
}

}  // namespace corvane::cli
