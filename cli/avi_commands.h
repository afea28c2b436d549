// Subcommands of corvane-avi, one file each (avi_info.cpp, avi_copy.cpp, avi_frame.cpp).
// Each takes the arguments after its own name and returns the process exit status.
#pragma once

namespace corvane::cli {

int RunInfo(int argc, char** argv);
int RunCopy(int argc, char** argv);
int RunFrame(int argc, char** argv);

}  // namespace corvane::cli
