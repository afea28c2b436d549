// Cutting one mix into parts that machines of their own mix (CFrameRange), to be joined in
// order afterwards (mix/stitch.h). A part begins where its pictures can be mixed alone as the
// whole mix would: at any frame for an output whose pictures stand alone (Motion JPEG); for
// one coded in long groups of pictures, at a key frame of the main, where decoding starts
// cheaply, and, where unchanged groups are copied, at the start of a group, so that no group
// is cut.
#pragma once

#include <cstdint>
#include <vector>

#include "media/avifile.h"
#include "mix/smartcopy.h"

namespace corvane {

// Where parts of a mix of `frames` main frames may begin (from 0, rising, 0 first): empty when
// any frame will do (`longGroups` false: the output's pictures stand alone). Otherwise the
// group starts of `copy` when it copies groups, else the key frames of `main` (positions from
// `start`, its first frame).
std::vector<int32_t> PartStarts(CAviStream& main, int32_t start, int32_t frames, bool longGroups,
                                const CCopyPlan& copy);

// The first main frame of each of `parts` parts and then `frames`: the place allowed by
// `starts` (empty: every frame) nearest to each even share, rising. With fewer places than
// parts the last parts are empty (two equal numbers). Same numbers on every machine.
std::vector<int32_t> CutIntoParts(int32_t frames, int32_t parts,
                                  const std::vector<int32_t>& starts);

}  // namespace corvane
