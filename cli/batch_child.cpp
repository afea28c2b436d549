#include "cli/batch_child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Where a row's output is written until its mix has ended well: beside it, hidden, with the
// output's extension (which chooses the container; the batch reader requires one).
std::string TemporaryPathFor(const std::string& output) {
  const fs::path path(output);
  return (path.parent_path() /
          ("." + path.stem().string() + ".partial" + path.extension().string()))
      .string();
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

std::string Format(const char* format, int value) {
  char text[96];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

bool CMixChild::Start(const std::string& program, const CBatchRow& row, const CTaskPart& part) {
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
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    m_pid = -1;
    m_message = "cannot start " + program + ": " + std::strerror(spawned);
    return false;
  }
  m_started = Clock::now();
  return true;
}

bool CMixChild::ReadMessages() {
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(m_errors.Get(), buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  if (got <= 0) return false;
  m_pending.append(buffer, static_cast<size_t>(got));
  for (size_t end; (end = m_pending.find_first_of("\r\n")) != std::string::npos;) {
    TakeLine(m_pending.substr(0, end));
    m_pending.erase(0, end + 1);
  }
  return true;
}

CReportRow CMixChild::Finish(bool batchStopped) {
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
    report.m_message = "cannot rename " + m_temporary + " to " + m_output + ": " + failed.message();
  }
  report.m_status = code == 130 || batchStopped ? "stopped" : "failed";
  if (report.m_message.empty()) report.m_message = Format("corvane-mix ended with status %d", code);
  fs::remove(m_temporary, m_removeError);
  return report;
}

void CMixChild::Stop() const {
  if (m_pid > 0) ::kill(m_pid, SIGINT);
}

CReportRow CMixChild::Report() const {
  CReportRow report;
  report.m_row = m_row->m_number;
  report.m_output = m_output;
  report.m_frames = m_frames;
  report.m_message = m_message;
  report.m_text = m_row->m_text;
  return report;
}

void CMixChild::TakeLine(const std::string& line) {
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

}  // namespace corvane::cli
