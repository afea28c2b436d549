#include "cli/batch_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

#include "cli/batch_file.h"

extern char** environ;

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;

void OnStop(int) {
  g_stop = 1;
}

// A file descriptor, closed with its owner.
class CFd {
 public:
  explicit CFd(int fd = -1) : m_fd(fd) {}
  ~CFd() { Reset(); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_fd; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};

// Where a row's output is written until its mix has ended well: beside it, hidden, with the
// output's extension (which chooses the container).
std::string TemporaryPathFor(const std::string& output) {
  const fs::path path(output);
  const std::string extension = path.has_extension() ? path.extension().string() : ".avi";
  return (path.parent_path() / ("." + path.stem().string() + ".partial" + extension)).string();
}

// The corvane-mix command line of a row, its output the temporary one: the whole mix, one of
// its parts, or the parts joined.
std::vector<std::string> MixArguments(const std::string& program, const CBatchRow& row,
                                      const std::string& temporary, const CTaskPart& part) {
  std::vector<std::string> arguments{program};
  if (part.m_join) {
    for (int32_t i = 1; i <= row.m_segments; ++i) {
      if (std::find(part.m_empty.begin(), part.m_empty.end(), i) != part.m_empty.end()) continue;
      arguments.insert(arguments.end(), {"--join", PartPath(row.m_output, i, row.m_segments)});
    }
    arguments.insert(arguments.end(), {row.m_main, temporary});
    return arguments;
  }
  if (part.m_part > 0) {
    arguments.insert(arguments.end(), {"--segment", std::to_string(part.m_part) + "/" +
                                                        std::to_string(row.m_segments)});
  }
  if (!row.m_recipe.empty()) {
    arguments.insert(arguments.end(), {"--recipe", row.m_recipe, row.m_main, temporary});
    return arguments;
  }
  arguments.insert(arguments.end(), row.m_options.begin(), row.m_options.end());
  arguments.insert(arguments.end(), {row.m_main, row.m_top, temporary});
  return arguments;
}

// One row's corvane-mix, running: its messages read as they come.
class CMixChild {
 public:
  // Starts the mix (or the part of it, or the join of its parts), written to a temporary name
  // beside `output`; false (with the reason in `message`) when it cannot start.
  bool Start(const std::string& program, const CBatchRow& row, const CTaskPart& part = {}) {
    m_row = &row;
    m_output = part.m_part > 0 ? PartPath(row.m_output, part.m_part, row.m_segments) : row.m_output;
    m_isPart = part.m_part > 0;
    m_temporary = TemporaryPathFor(m_output);
    fs::remove(m_temporary, m_removeError);  // a leftover of a run that was killed
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
      m_message = std::string("cannot start corvane-mix: ") + std::strerror(errno);
      return false;
    }
    m_errors.Reset(pipeEnds[0]);
    CFd writeEnd(pipeEnds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), STDERR_FILENO);
    // Paths in the options (--layer FILE, --save-recipe FILE) are the batch file's relative ones.
    if (!row.m_folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, row.m_folder.c_str());
    const std::vector<std::string> arguments = MixArguments(program, row, m_temporary, part);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      m_pid = -1;
      m_message = "cannot start " + program + ": " + std::strerror(spawned);
      return false;
    }
    m_started = Clock::now();
    return true;
  }

  int ErrorsFd() const { return m_errors.Get(); }
  bool Running() const { return m_pid > 0; }

  // Reads what the mix has said; false once its end has been read.
  bool ReadMessages() {
    char buffer[4096];
    const ssize_t got = ::read(m_errors.Get(), buffer, sizeof buffer);
    if (got <= 0) return false;
    m_pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = m_pending.find_first_of("\r\n")) != std::string::npos;) {
      TakeLine(m_pending.substr(0, end));
      m_pending.erase(0, end + 1);
    }
    return true;
  }

  // Waits for the mix to end; its output renamed into place when it ended well.
  CReportRow Finish() {
    while (m_errors.Get() >= 0 && ReadMessages()) {
    }
    if (!m_pending.empty()) TakeLine(m_pending);
    int status = 0;
    while (m_pid > 0 && ::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    CReportRow report = Report();
    report.m_seconds = std::chrono::duration<double>(Clock::now() - m_started).count();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::error_code failed;
    if (code == 0 && m_isPart && !fs::exists(m_temporary, failed)) {
      // A part with no frames to hold (the mix said so) is no file.
      report.m_status = "done";
      report.m_frames = 0;
      return report;
    }
    if (code == 0) {
      fs::rename(m_temporary, m_output, failed);
      if (!failed) {
        report.m_status = "done";
        return report;
      }
      report.m_message =
          "cannot rename " + m_temporary + " to " + m_output + ": " + failed.message();
    }
    report.m_status = code == 130 || g_stop ? "stopped" : "failed";
    if (report.m_message.empty())
      report.m_message = Format("corvane-mix ended with status %d", code);
    fs::remove(m_temporary, m_removeError);
    return report;
  }

  void Stop() const {
    if (m_pid > 0) ::kill(m_pid, SIGINT);
  }

  // The report so far (no status).
  CReportRow Report() const {
    CReportRow report;
    report.m_row = m_row->m_number;
    report.m_output = m_output;
    report.m_frames = m_frames;
    report.m_message = m_message;
    report.m_text = m_row->m_text;
    return report;
  }
  int64_t Frames() const { return m_frames; }
  int64_t Total() const { return m_total; }
  const std::string& Message() const { return m_message; }

 private:
  static std::string Format(const char* format, int value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
  }
  void TakeLine(const std::string& line) {
    static const std::string kPrefix = "corvane-mix: ";
    std::string said = line.rfind(kPrefix, 0) == 0 ? line.substr(kPrefix.size()) : line;
    long long done = 0;
    long long total = 0;
    if (std::sscanf(said.c_str(), "frame %lld/%lld", &done, &total) == 2) {
      m_frames = done;
      m_total = total;
      return;
    }
    long long written = 0;
    if (std::sscanf(said.c_str(), "%*[^:]: %lld of %lld frames", &written, &total) == 2) {
      m_frames = written;
      m_total = total;
    }
    if (said.empty() || said.rfind("try '", 0) == 0) return;
    // The user knows the output by its own name.
    for (size_t at; (at = said.find(m_temporary)) != std::string::npos;)
      said.replace(at, m_temporary.size(), m_output);
    if (m_message.size() < 1000) m_message += (m_message.empty() ? "" : "; ") + said;
  }

  const CBatchRow* m_row = nullptr;
  std::string m_output;  // the row's, or its part's
  std::string m_temporary;
  bool m_isPart = false;
  pid_t m_pid = -1;
  CFd m_errors;
  std::string m_pending;
  std::string m_message;
  int64_t m_frames = 0;
  int64_t m_total = 0;
  Clock::time_point m_started;
  std::error_code m_removeError;
};

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
  const fs::path parent = results.parent_path();
  if (parent.extension() == ".tasks") {
    for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
      if (it->is_directory(error) && it->path() != results) folders.push_back(it->path());
    }
  }
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
  const std::vector<CReportRow> earlier = ReadReport(reportPath);
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
      reports[owners[i]] = child.Finish();
      const CReportRow& ended = reports[owners[i]];
      if (ended.m_status == "done") RemoveParts(rows[owners[i]]);  // of an earlier submission
      std::fprintf(stderr, "%scorvane-batch: row %d, %s: %s%s%s\n", terminal ? "\r\033[K" : "",
                   ended.m_row, ended.m_output.c_str(), ended.m_status.c_str(),
                   ended.m_message.empty() ? "" : ": ", ended.m_message.c_str());
      running.erase(owners[i]);
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
  const std::string extension = path.has_extension() ? path.extension().string() : ".avi";
  return (path.parent_path() / ("." + path.stem().string() + ".part-" + std::to_string(part) +
                                "-of-" + std::to_string(parts) + extension))
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
    if (child.Start(settings.m_mixProgram, row, CTaskPart{slot.m_part, false})) {
      report = child.Finish();
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
        report = child.Finish();
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
