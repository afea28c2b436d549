// Where a mix cut into parts for machines of their own is cut.
#include "mix/segments.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvane {
namespace {

TEST(SegmentCuts, PartsBeginAtTheAllowedPlaceNearestAnEvenShare) {
  const struct {
    int32_t m_frames;
    int32_t m_parts;
    std::vector<int32_t> m_starts;
    std::vector<int32_t> m_cuts;
  } cases[] = {
      {200, 4, {}, {0, 50, 100, 150, 200}},                 // any frame
      {10, 3, {}, {0, 3, 6, 10}},                           // shares rounded down
      {200, 4, {0, 60, 120, 180}, {0, 60, 120, 180, 200}},  // nearest key frame
      {300, 3, {0, 88, 110, 250}, {0, 110, 250, 300}},      // 110 is nearer 100 than 88
      {300, 3, {0, 95, 105}, {0, 95, 105, 300}},            // a tie goes to the earlier
      {200, 4, {0, 150}, {0, 150, 200, 200, 200}},          // too few: the last parts empty
      {3, 5, {}, {0, 0, 1, 1, 2, 3}},                       // more parts than frames
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << test.m_frames << " frames in " << test.m_parts);
    EXPECT_EQ(CutIntoParts(test.m_frames, test.m_parts, test.m_starts), test.m_cuts);
  }
}

}  // namespace
}  // namespace corvane
