// corvane-avi: a small tool over Corvane's AVI layer.
#include <cstdio>
#include <cstring>

#include "cli/avi_commands.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "Usage: corvane-avi COMMAND ...\n"
      "  info [--json] FILE     file and stream headers, formats, sample counts, index kind\n"
      "  copy IN OUT            rewrite every stream of IN into OUT (repairs truncated files;\n"
      "                         an MP4 or MOV OUT: a plain copy of a fragmented IN)\n"
      "  frame FILE N OUT.bmp   frame N of the first video stream as a 24-bit BMP\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const char* command = argv[1];
  if (!std::strcmp(command, "--help") || !std::strcmp(command, "-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (!std::strcmp(command, "info")) return corvane::cli::RunInfo(argc - 2, argv + 2);
  if (!std::strcmp(command, "copy")) return corvane::cli::RunCopy(argc - 2, argv + 2);
  if (!std::strcmp(command, "frame")) return corvane::cli::RunFrame(argc - 2, argv + 2);
  std::fprintf(stderr, "corvane-avi: unknown command '%s'\n", command);
  PrintUsage(stderr);
  return 2;
}
