// Joining the parts of one mix, each made alone (CFrameRange, often on machines of their own),
// into the output the whole mix would have written: every part's pictures as they are stored,
// in order, each at the frame it holds in the whole, then the main video's first audio stream
// once, carried as a mix carries it (within the file for containers other than AVI, copied
// after the pictures into an AVI).
//
// Runs on the calling thread, talks to the user through the host (progress text "Joining frame
// %ld\%ld") and stops at the next frame once EngineState().m_mixing is no longer 1, leaving a
// complete file of the frames joined. Sources are only read. Nothing throws.
#pragma once

#include <string>
#include <vector>

#include "mix/mixjob.h"

namespace corvane {

// Joins `parts` (files, first to last) of a mix of `mainPath` into `output`. Before the output
// is touched, refuses (said, naming the part by its number from 1 and its file) a part that is
// missing or cannot be read, one coded unlike the first, and parts whose frames do not add up
// to the main's. The outcome reads as a mix's: frames written (all copied) and the audio.
CMixOutcome JoinParts(const std::string& mainPath, const std::vector<std::string>& parts,
                      const CMixOutput& output);

}  // namespace corvane
