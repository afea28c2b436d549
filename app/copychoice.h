// "Copy unchanged frames": whether a mix writes the main video's frames that no layer shows on
// as the main's own (mix/smartcopy.h). A mix's save dialog offers the choice, because the mix
// takes it as it starts, before the compressor is chosen. Each output container starts from its
// own default (on for MP4, QuickTime, Matroska and WebM, off for AVI) and then from the user's
// last choice for it, also in the next run when the program remembers settings.
//
// Called from the UI thread and the mix worker.
#pragma once

#include "media/mux/container.h"
#include "mix/smartcopy.h"

namespace corvane {

// Where the box starts for an output of `container`.
bool CopyChoice(EContainer container);
// Keeps the user's choice for the next output of `container`.
void KeepCopyChoice(EContainer container, bool copy);
// The setting a mix into `container` takes for the box's state: the container's own where they
// agree, so that a mix left at the defaults is corvane-mix's and adds no notices.
ECopyUnchanged CopySetting(EContainer container, bool copy);

}  // namespace corvane
