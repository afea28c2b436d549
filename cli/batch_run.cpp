#include "cli/batch_run.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "cli/batch_child.h"
#include "cli/batch_file.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;

void OnStop(int) {
  g_stop = 1;
}

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

// What to do with a row before running it: nothing (run it), or its report as it stands.
bool Settled(const CBatchRow& row, const std::vector<CReportRow>& earlier, CReportRow& report) {
  report = CReportRow{};
  report.m_row = row.m_number;
  report.m_output = row.m_output;
  report.m_text = row.m_text;
  std::error_code error;
  const bool exists = fs::exists(fs::symlink_status(row.m_output, error));
  if (exists) {
    for (const CReportRow& last : earlier) {
      if (last.m_text == row.m_text && last.m_output == row.m_output &&
          (last.m_status == "done" || last.m_status == "skipped")) {
        report.m_status = "skipped";
        report.m_frames = last.m_frames;
        report.m_message = "done in an earlier run";
        return true;
      }
    }
    report.m_status = "failed";
    report.m_message =
        row.m_output + " exists, and no earlier run of this row wrote it: not replaced";
    return true;
  }
  return false;
}

// The parts a row's stitch joins, once its output is complete: nothing else needs them.
void RemoveParts(const CBatchRow& row) {
  std::error_code error;
  for (int32_t part = 1; part <= row.m_segments; ++part)
    fs::remove(PartPath(row.m_output, part, row.m_segments), error);
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // a closed terminal or a dropped connection
}

// Waits for a task's or stitch's one mix to end, passing a stop on to it.
CReportRow RunToEnd(CMixChild& child) {
  bool stopping = false;
  for (;;) {
    if (g_stop && !stopping) {
      stopping = true;
      child.Stop();
    }
    pollfd watched{child.ErrorsFd(), POLLIN, 0};
    if (::poll(&watched, 1, 250) < 0 && errno != EINTR) break;
    if ((watched.revents & (POLLIN | POLLHUP | POLLERR)) && !child.ReadMessages()) break;
  }
  return child.Finish(g_stop != 0);
}

// The rows that have ended so far, as the report gives them.
std::vector<CReportRow> Ended(const std::vector<CReportRow>& reports) {
  std::vector<CReportRow> ended;
  for (const CReportRow& report : reports)
    if (!report.m_status.empty()) ended.push_back(report);
  return ended;
}

int ExitStatus(const std::vector<CReportRow>& reports) {
  return ExitStatusOf(reports, g_stop != 0);
}

// What earlier runs of the batch recorded: its report, and the results of every task and stitch
// in the results folder and, for a submission's own folder (BATCH-NAME.tasks/submitted-...),
// those of the other submissions beside it, whose jobs may have been killed before any report
// was written.
std::vector<CReportRow> EarlierResults(const CBatchSettings& settings) {
  std::vector<CReportRow> earlier = ReadReport(ReportPathOf(settings));
  const fs::path results(ResultsDirOf(settings));
  std::vector<fs::path> folders{results};
  std::error_code error;
  // A submission's folder: the others beside it; the batch's own: every submission's in it.
  const fs::path around =
      results.parent_path().extension() == ".tasks" ? results.parent_path() : results;
  for (fs::directory_iterator it(around, error), end; !error && it != end; it.increment(error)) {
    if (it->is_directory(error) && it->path() != results) folders.push_back(it->path());
  }
  error.clear();
  for (const fs::path& folder : folders) {
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (it->path().extension() != ".csv" ||
          (name.rfind("task-", 0) != 0 && name.rfind("stitch-", 0) != 0))
        continue;
      for (CReportRow& row : ReadReport(it->path().string())) earlier.push_back(std::move(row));
    }
    error.clear();
  }
  return earlier;
}

std::string Clock24(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

}  // namespace

int64_t TaskIndexFromEnvironment() {
  for (const char* name :
       {"SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    char* end = nullptr;
    const long long index = std::strtoll(value, &end, 10);
    return *end == '\0' && index >= 0 ? index : -2;
  }
  return -1;
}

int ExitStatusOf(const std::vector<CReportRow>& reports, bool stopped) {
  if (stopped) return 130;
  for (const CReportRow& report : reports) {
    if (report.m_status != "done" && report.m_status != "skipped") return 1;
  }
  return 0;
}

std::string ResultsDirOf(const CBatchSettings& settings) {
  if (!settings.m_resultsDir.empty()) return settings.m_resultsDir;
  const fs::path batch(settings.m_batchPath);
  return (batch.parent_path() / (batch.stem().string() + ".tasks")).string();
}

std::string ReportPathOf(const CBatchSettings& settings) {
  return settings.m_reportPath.empty() ? ReportPathFor(settings.m_batchPath)
                                       : settings.m_reportPath;
}

std::string TaskResultPath(const std::string& resultsDir, int64_t index) {
  return (fs::path(resultsDir) / ("task-" + std::to_string(index) + ".csv")).string();
}

int RunBatch(const CBatchSettings& settings) {
  std::vector<CBatchRow> rows;
  std::string error;
  if (!ReadBatchFile(settings.m_batchPath, rows, error)) {
    std::fprintf(stderr, "corvane-batch: %s\n", error.c_str());
    return 2;
  }
  const std::string reportPath = ReportPathOf(settings);
  // Its report, and the results of tasks submitted to a scheduler that wrote none.
  const std::vector<CReportRow> earlier = EarlierResults(settings);
  std::vector<CReportRow> reports(rows.size());
  std::deque<size_t> waiting;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!Settled(rows[i], earlier, reports[i])) waiting.push_back(i);
  }
  InstallStopHandlers();
  const size_t jobs = size_t(settings.m_jobs > 0 ? settings.m_jobs : UsableProcessors());
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  const auto started = Clock::now();
  std::map<size_t, std::unique_ptr<CMixChild>> running;
  auto lastShown = Clock::now() - std::chrono::seconds(10);
  bool stopping = false;
  while (!waiting.empty() || !running.empty()) {
    if (g_stop && !stopping) {
      stopping = true;
      for (auto& [row, child] : running) child->Stop();
      for (const size_t row : waiting) {
        reports[row].m_row = rows[row].m_number;
        reports[row].m_output = rows[row].m_output;
        reports[row].m_text = rows[row].m_text;
        reports[row].m_status = "stopped";
        reports[row].m_message = "not started";
      }
      waiting.clear();
    }
    while (!stopping && running.size() < jobs && !waiting.empty()) {
      const size_t row = waiting.front();
      waiting.pop_front();
      auto child = std::make_unique<CMixChild>();
      if (!child->Start(settings.m_mixProgram, rows[row])) {
        reports[row] = child->Report();
        reports[row].m_status = "failed";
        continue;
      }
      running.emplace(row, std::move(child));
    }
    std::vector<pollfd> watched;
    std::vector<size_t> owners;
    for (const auto& [row, child] : running) {
      watched.push_back({child->ErrorsFd(), POLLIN, 0});
      owners.push_back(row);
    }
    if (watched.empty()) continue;
    if (::poll(watched.data(), watched.size(), 250) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < watched.size(); ++i) {
      if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      CMixChild& child = *running.at(owners[i]);
      if (child.ReadMessages()) continue;
      reports[owners[i]] = child.Finish(g_stop != 0);
      const CReportRow& ended = reports[owners[i]];
      if (ended.m_status == "done") RemoveParts(rows[owners[i]]);  // of an earlier submission
      std::fprintf(stderr, "%scorvane-batch: row %d, %s: %s%s%s\n", terminal ? "\r\033[K" : "",
                   ended.m_row, ended.m_output.c_str(), ended.m_status.c_str(),
                   ended.m_message.empty() ? "" : ": ", ended.m_message.c_str());
      running.erase(owners[i]);
      // Kept as each row ends, so that a run killed later still knows what it finished.
      WriteReport(reportPath, Ended(reports));
    }
    // One line for the whole batch: rows ended and running, frames a second, time left.
    if (Clock::now() - lastShown >= std::chrono::seconds(terminal ? 1 : 10)) {
      lastShown = Clock::now();
      int done = 0, failed = 0;
      int64_t frames = 0, left = 0;
      for (const CReportRow& report : reports) {
        done += report.m_status == "done" || report.m_status == "skipped";
        failed += report.m_status == "failed";
        if (report.m_status == "done") frames += report.m_frames;
      }
      for (const auto& [row, child] : running) {
        frames += child->Frames();
        left += std::max<int64_t>(child->Total() - child->Frames(), 0);
      }
      const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
      const double fps = elapsed > 0 ? frames / elapsed : 0.0;
      const std::string eta =
          fps > 0 && waiting.empty() ? Clock24(left / fps) : std::string("--:--");
      std::fprintf(
          stderr,
          "%scorvane-batch: %d done, %d failed, %zu running, %zu waiting; %.1f fps; ETA %s%s",
          terminal ? "\r\033[K" : "", done, failed, running.size(), waiting.size(), fps,
          eta.c_str(), terminal ? "" : "\n");
    }
  }
  if (terminal) std::fprintf(stderr, "\r\033[K");
  if (!WriteReport(reportPath, reports)) {
    std::fprintf(stderr, "corvane-batch: the report %s cannot be written\n", reportPath.c_str());
    return 1;
  }
  const int status = ExitStatus(reports);
  std::fprintf(stderr, "corvane-batch: %s; the report is %s\n",
               status == 0     ? "every row is done"
               : status == 130 ? "stopped"
                               : "a row failed",
               reportPath.c_str());
  return status;
}

std::vector<CTaskSlot> TaskSlots(const std::vector<CBatchRow>& rows) {
  std::vector<CTaskSlot> slots;
  for (size_t row = 0; row < rows.size(); ++row) {
    if (rows[row].m_segments <= 1) {
      slots.push_back({row, 0});
      continue;
    }
    for (int32_t part = 1; part <= rows[row].m_segments; ++part) slots.push_back({row, part});
  }
  return slots;
}

std::string PartPath(const std::string& output, int32_t part, int32_t parts) {
  const fs::path path(output);
  return (path.parent_path() / ("." + path.stem().string() + ".part-" + std::to_string(part) +
                                "-of-" + std::to_string(parts) + path.extension().string()))
      .string();
}

std::string StitchResultPath(const std::string& resultsDir, int32_t rowNumber) {
  return (fs::path(resultsDir) / ("stitch-" + std::to_string(rowNumber) + ".csv")).string();
}

int RunTask(const CBatchSettings& settings, int64_t index) {
  std::vector<CBatchRow> rows;
  std::string error;
  if (!ReadBatchFile(settings.m_batchPath, rows, error)) {
    std::fprintf(stderr, "corvane-batch: %s\n", error.c_str());
    return 2;
  }
  const std::vector<CTaskSlot> slots = TaskSlots(rows);
  if (index < 0 || index >= int64_t(slots.size())) {
    std::fprintf(stderr, "corvane-batch: task %lld: the batch has tasks 0 to %zu\n",
                 static_cast<long long>(index), slots.size() - 1);
    return 2;
  }
  const CTaskSlot& slot = slots[size_t(index)];
  const CBatchRow& row = rows[slot.m_row];
  std::error_code made;
  fs::create_directories(ResultsDirOf(settings), made);
  const std::string resultPath = TaskResultPath(ResultsDirOf(settings), index);
  // Done by this task before, or by a run of the batch on one machine.
  const std::vector<CReportRow> earlier = EarlierResults(settings);
  CReportRow report;
  bool settled = false;
  if (slot.m_part > 0) {
    // A part: nothing to do once the row's output is done; otherwise it stands as its own
    // output would.
    settled = Settled(row, earlier, report) && report.m_status == "skipped";
    CBatchRow part = row;
    part.m_output = PartPath(row.m_output, slot.m_part, row.m_segments);
    if (!settled) settled = Settled(part, earlier, report);
  } else {
    settled = Settled(row, earlier, report);
  }
  if (!settled) {
    InstallStopHandlers();
    CMixChild child;
    if (child.Start(settings.m_mixProgram, row, CTaskPart{slot.m_part, false, {}})) {
      report = RunToEnd(child);
    } else {
      report = child.Report();
      report.m_status = "failed";
    }
  }
  std::fprintf(stderr, "corvane-batch: task %lld, row %d, %s: %s%s%s\n",
               static_cast<long long>(index), report.m_row, report.m_output.c_str(),
               report.m_status.c_str(), report.m_message.empty() ? "" : ": ",
               report.m_message.c_str());
  if (!WriteReport(resultPath, {report})) {
    std::fprintf(stderr, "corvane-batch: the result %s cannot be written\n", resultPath.c_str());
    return 1;
  }
  return ExitStatus({report});
}

}  // namespace corvane::cli

namespace corvane::cli {

int StitchRow(const CBatchSettings& settings, int32_t rowNumber) {
  std::vector<CBatchRow> rows;
  std::string error;
  if (!ReadBatchFile(settings.m_batchPath, rows, error)) {
    std::fprintf(stderr, "corvane-batch: %s\n", error.c_str());
    return 2;
  }
  const std::vector<CTaskSlot> slots = TaskSlots(rows);
  const auto found = std::find_if(slots.begin(), slots.end(), [&](const CTaskSlot& slot) {
    return rows[slot.m_row].m_number == rowNumber;
  });
  if (found == slots.end() || found->m_part == 0) {
    std::fprintf(stderr, "corvane-batch: the batch has no row %d cut into segments\n", rowNumber);
    return 2;
  }
  const CBatchRow& row = rows[found->m_row];
  const std::string resultsDir = ResultsDirOf(settings);
  std::error_code made;
  fs::create_directories(resultsDir, made);
  const std::string resultPath = StitchResultPath(resultsDir, rowNumber);
  const std::vector<CReportRow> earlier = EarlierResults(settings);
  CReportRow report;
  if (!Settled(row, earlier, report)) {
    // Every part's task must have ended well; one that said otherwise is named with its reason.
    const auto firstTask = found - slots.begin();
    CTaskPart join{0, true, {}};
    for (int32_t part = 1; part <= row.m_segments && report.m_status.empty(); ++part) {
      const std::vector<CReportRow> result =
          ReadReport(TaskResultPath(resultsDir, firstTask + part - 1));
      if (result.size() != 1) continue;  // the join names a part that is not there
      if (result[0].m_status != "done" && result[0].m_status != "skipped") {
        report.m_status = "failed";
        report.m_message = "part " + std::to_string(part) + " of " +
                           std::to_string(row.m_segments) + " " + result[0].m_status +
                           (result[0].m_message.empty() ? "" : ": " + result[0].m_message);
      } else if (std::error_code missing;
                 result[0].m_frames == 0 &&
                 !fs::exists(PartPath(row.m_output, part, row.m_segments), missing)) {
        join.m_empty.push_back(part);  // a part with no frames to hold: no file
      }
    }
    if (report.m_status.empty()) {
      InstallStopHandlers();
      CMixChild child;
      if (child.Start(settings.m_mixProgram, row, join)) {
        report = RunToEnd(child);
      } else {
        report = child.Report();
        report.m_status = "failed";
      }
      if (report.m_status == "done") RemoveParts(row);
    }
  }
  std::fprintf(stderr, "corvane-batch: stitch of row %d, %s: %s%s%s\n", rowNumber,
               report.m_output.c_str(), report.m_status.c_str(),
               report.m_message.empty() ? "" : ": ", report.m_message.c_str());
  if (!WriteReport(resultPath, {report})) {
    std::fprintf(stderr, "corvane-batch: the result %s cannot be written\n", resultPath.c_str());
    return 1;
  }
  return ExitStatus({report});
}

}  // namespace corvane::cli
