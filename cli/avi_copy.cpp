#include <cstdio>

#include "cli/avi_commands.h"

namespace corvane::cli {

// Placeholder until the command lands.
int RunCopy(int, char**) {
  std::fputs("corvane-avi: copy is not available yet\n", stderr);
  return 1;
}

}  // namespace corvane::cli
