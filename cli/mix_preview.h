// corvane-mix's picture of one mix frame (--preview-frame) and the near-key warning of a
// colour-key mix: the desktop program's composite preview and keyed-pixel check, on the command
// line.
#pragma once

#include "cli/mix_options.h"

namespace corvane::cli {

// Writes the PNG of frame options.m_previewFrame and prints the frame's keyed-pixel check on
// stdout (the near-key warning, when it fires, on stderr). The exit status: 0, or 1 when a
// source does not open, the frame is past the main video's end or the picture is not written.
int RunPreviewFrame(const CMixOptions& options);

// Says on stderr when the top layer's first frame has pixels near the key colour but not equal
// to it. Quiet when the top layer does not open: the mix says why.
void WarnOfNearKeyPixels(const CMixOptions& options);

}  // namespace corvane::cli
