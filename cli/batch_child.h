// corvane-batch: one corvane-mix child process of a row (its whole mix, one part of it, or the
// join of its parts), written under a temporary name beside the output and renamed into place
// when it ended well. The child's stderr is read as it comes, for the progress ("frame N/M")
// and the messages of its report.
//
// Owns the child's stderr pipe; the process is waited for by Finish. Not thread-safe: one
// thread starts, reads and finishes a child.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

#include "cli/batch_file.h"
#include "cli/batch_run.h"

namespace corvane::cli {

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

class CMixChild {
 public:
  // Starts `program` (corvane-mix) on the row's mix (or the part of it, or the join of its
  // parts), written to a temporary name beside its output; false (with the reason in
  // Report()) when it cannot start.
  bool Start(const std::string& program, const CBatchRow& row, const CTaskPart& part = {});

  int ErrorsFd() const { return m_errors.Get(); }

  // Reads what the mix has said; false once its end has been read.
  bool ReadMessages();

  // Waits for the mix to end; its output renamed into place when it ended well. A mix that
  // failed while the batch was being stopped (`batchStopped`) is reported as stopped.
  CReportRow Finish(bool batchStopped);

  // Asks the mix to stop (SIGINT): it finishes its file, which Finish then removes.
  void Stop() const;

  // The report so far (no status).
  CReportRow Report() const;
  int64_t Frames() const { return m_frames; }
  int64_t Total() const { return m_total; }

 private:
  void TakeLine(const std::string& line);

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
  std::chrono::steady_clock::time_point m_started;
  std::error_code m_removeError;
};

}  // namespace corvane::cli
