#include "mix/segments.h"

#include <algorithm>

namespace corvane {

std::vector<int32_t> PartStarts(CAviStream& main, int32_t start, int32_t frames, bool longGroups,
                                const CCopyPlan& copy) {
  std::vector<int32_t> starts;
  if (!longGroups) return starts;
  if (copy.m_closedRuns) {
    starts = copy.m_entries;
  } else {
    constexpr uint32_t kNextKey = FIND_NEXT | FIND_KEY;
    for (int32_t k = main.FindSample(start, kNextKey); k >= start && k - start < frames;
         k = main.FindSample(k + 1, kNextKey)) {
      starts.push_back(k - start);
      if (k == INT32_MAX) break;
    }
  }
  // A part always begins at the first frame, whatever the stream calls it.
  if (starts.empty() || starts.front() != 0) starts.insert(starts.begin(), 0);
  return starts;
}

std::vector<int32_t> CutIntoParts(int32_t frames, int32_t parts,
                                  const std::vector<int32_t>& starts) {
  std::vector<int32_t> cuts{0};
  for (int32_t part = 1; part < parts; ++part) {
    const auto share = static_cast<int32_t>(int64_t{frames} * part / parts);
    int32_t cut = share;
    if (!starts.empty()) {
      // The nearest place after the last cut; none left: the parts from here are empty.
      const auto after = std::upper_bound(starts.begin(), starts.end(), cuts.back());
      if (after == starts.end()) {
        cut = frames;
      } else {
        auto at = std::lower_bound(after, starts.end(), share);
        if (at == starts.end() || (at != after && share - *(at - 1) <= *at - share)) --at;
        cut = *at;
      }
    }
    cuts.push_back(std::clamp(cut, cuts.back(), frames));
  }
  cuts.push_back(frames);
  return cuts;
}

}  // namespace corvane
