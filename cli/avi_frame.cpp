#include <cstdio>

#include "cli/avi_commands.h"

namespace corvane::cli {

// Placeholder until the command lands.
int RunFrame(int, char**) {
  std::fputs("corvane-avi: frame is not available yet\n", stderr);
  return 1;
}

}  // namespace corvane::cli
