#include <cstdio>

#include "cli/avi_commands.h"

namespace corvane::cli {

// Placeholder until the command lands.
int RunInfo(int, char**) {
  std::fputs("corvane-avi: info is not available yet\n", stderr);
  return 1;
}

}  // namespace corvane::cli
