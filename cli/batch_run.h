// corvane-batch: running the rows of a batch as corvane-mix child processes, on this machine
// (`run`, several at once) or one row per array task of a scheduler (`task`).
//
// Every output is written under a temporary name beside it (".NAME.partial.EXT") and renamed
// when its mix ended well; a failed or stopped mix leaves no temporary file behind. A row is
// skipped when the last report (rewritten as each row ends) or a task's result from a
// submission lists it as done with the same row text and its output is there; an output that
// exists without such a record fails its row and is left as it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/batch_file.h"

namespace corvane::cli {

struct CBatchSettings {
  std::string m_batchPath;
  int32_t m_jobs = 0;        // rows at once; 0: one for each processor this process may use
  std::string m_mixProgram;  // corvane-mix
  // task: where its result goes (default BATCH-NAME.tasks beside the batch file) and the
  // report whose done rows it skips (default BATCH-NAME.report.csv beside it).
  std::string m_resultsDir;
  std::string m_reportPath;
};

// Runs every row; writes the report beside the batch file. Returns the exit status: 0 when
// every row is done, 1 when one failed, 2 for a batch file that cannot be read (nothing runs),
// 130 after SIGINT or SIGTERM (the running mixes are stopped and reported so).
int RunBatch(const CBatchSettings& settings);

// What one corvane-mix of a row makes: the whole mix, part m_part (from 1) of a row cut into
// segments, or (m_join) the row's output from its parts.
struct CTaskPart {
  int32_t m_part = 0;
  bool m_join = false;
  std::vector<int32_t> m_empty;  // for the join: parts whose tasks found no frames to hold
};

// The array tasks of a batch, in order: one a row, N for a row of N segments (its parts 1..N).
struct CTaskSlot {
  size_t m_row = 0;
  int32_t m_part = 0;  // 0: the whole row
};
std::vector<CTaskSlot> TaskSlots(const std::vector<CBatchRow>& rows);

// Where part `part` of `parts` of `output` is kept until it is joined: beside it, hidden.
std::string PartPath(const std::string& output, int32_t part, int32_t parts);

// Runs the row, or the part of a row, of array task `index` (from 0; see TaskSlots) and leaves
// its result in task-INDEX.csv in the results folder, a report of one row. Exit status as for
// RunBatch; an index past the batch is a usage error.
int RunTask(const CBatchSettings& settings, int64_t index);

// Joins the parts of row `rowNumber` (from 1), cut into segments, into its output with the
// main's audio, once every part's task ended well (their results in the results folder), and
// leaves the row's result in stitch-ROW.csv there; the parts are removed once joined. A part
// that is missing or failed refuses the join, naming it. Exit status as for RunTask.
int StitchRow(const CBatchSettings& settings, int32_t rowNumber);

// The result file of the stitch of row `rowNumber` in `resultsDir`.
std::string StitchResultPath(const std::string& resultsDir, int32_t rowNumber);

// The task index the scheduler gives this process: SLURM_ARRAY_TASK_ID (Slurm),
// JOB_COMPLETION_INDEX (a Kubernetes Indexed Job) or AWS_BATCH_JOB_ARRAY_INDEX (AWS Batch),
// the first set; -1 when none is, -2 when the one set is no whole number from 0.
int64_t TaskIndexFromEnvironment();

// 130 when stopped, else 0 when every row is done (or skipped as done before), else 1.
int ExitStatusOf(const std::vector<CReportRow>& reports, bool stopped);

// The results folder and report of `settings`, defaults filled in.
std::string ResultsDirOf(const CBatchSettings& settings);
std::string ReportPathOf(const CBatchSettings& settings);
// The result file of task `index` in `resultsDir`.
std::string TaskResultPath(const std::string& resultsDir, int64_t index);

}  // namespace corvane::cli
