// corvane-batch slurm: a batch as one Slurm job array, one task a row, each task running
// `corvane-batch task` on a copy of the batch file taken at submission.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/batch_run.h"

namespace corvane::cli {

struct CSlurmSettings {
  CBatchSettings m_batch;
  std::string m_self;  // this program's absolute path, which every task runs
  bool m_wait = false;
  int32_t m_throttle = 0;  // tasks at once; 0: as many as Slurm gives
  std::vector<std::string> m_sbatchArguments;
};

// Copies the batch file, submits the array through sbatch (no file of the batch is checked
// first: the tasks run where the files are) and says its job id. With m_wait, follows the
// array with squeue until no task is left, then writes the report from the tasks' results
// (a task without one failed) and returns as RunBatch does; SIGINT or SIGTERM while waiting
// cancels the array (130). Without, 0 once submitted; 1 when sbatch refuses; 2 for a batch file
// that cannot be read.
int SubmitToSlurm(const CSlurmSettings& settings);

}  // namespace corvane::cli
