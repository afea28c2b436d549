// Where, how large and when the top layer lands: worked examples of the presets, the scales, the
// range and the fades (sizes and frames computed by hand), and the inputs that must be refused.
#include "mix/placement.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

CPlanInput Input(int32_t mainWidth, int32_t mainHeight, int32_t topWidth, int32_t topHeight) {
  CPlanInput input;
  input.m_mainWidth = mainWidth;
  input.m_mainHeight = mainHeight;
  input.m_topWidth = topWidth;
  input.m_topHeight = topHeight;
  input.m_rateNum = 15;
  input.m_rateDen = 1;
  input.m_frames = 60;
  input.m_customLeft = 7;
  input.m_customTop = -3;
  return input;
}

TEST(PlacementTest, PresetsAndScalesPlaceTheLayerAsWorkedOut) {
  struct CCase {
    const char* m_corner;
    const char* m_scale;
    int32_t m_margin;
    int32_t m_topWidth, m_topHeight;
    int32_t m_width, m_height, m_left, m_top;
  };
  // Main picture 1280 x 720.
  const CCase cases[] = {
      {"custom", "100%", 16, 500, 500, 500, 500, 7, -3},
      {"br", "50%", 16, 500, 500, 250, 250, 1014, 454},
      {"tl", "50%", 16, 500, 500, 250, 250, 16, 16},
      {"tr", "15%w", 10, 500, 250, 192, 96, 1078, 10},     // 1280 * 0.15 = 192, 250 * 192 / 500
      {"bl", "200x-1", 0, 300, 101, 200, 67, 0, 653},      // 101 * 200 / 300 = 67.33
      {"br", "-1x100", 16, 300, 101, 297, 100, 967, 604},  // 300 * 100 / 101 = 297.03
      {"c", "33%", 16, 501, 333, 165, 110, 557, 305},
      // Larger than the picture: negative offsets, the centre's halves toward minus infinity.
      {"c", "100%", 16, 1281, 723, 1281, 723, -1, -2},
      {"br", "2000x1000", 16, 10, 10, 2000, 1000, -736, -296},
      {"c", "1x1", 16, 10, 10, 1, 1, 639, 359},
  };
  for (const CCase& test : cases) {
    CPlacement placement;
    ASSERT_TRUE(ParseCorner(test.m_corner, placement.m_corner)) << test.m_corner;
    ASSERT_TRUE(ParseScale(test.m_scale, placement.m_scale)) << test.m_scale;
    placement.m_margin = test.m_margin;
    CLayerPlan plan;
    const std::string error =
        PlanLayer(placement, Input(1280, 720, test.m_topWidth, test.m_topHeight), plan);
    const std::string name = std::string(test.m_corner) + " " + test.m_scale;
    ASSERT_EQ(error, "") << name;
    EXPECT_EQ(plan.m_width, test.m_width) << name;
    EXPECT_EQ(plan.m_height, test.m_height) << name;
    EXPECT_EQ(plan.m_left, test.m_left) << name;
    EXPECT_EQ(plan.m_top, test.m_top) << name;
    EXPECT_EQ(plan.m_scaled, test.m_width != test.m_topWidth || test.m_height != test.m_topHeight)
        << name;
  }
}

// 1.0 s to 2.4 s at 15 fps: frames 15..35, with 0.4 s (6-frame) fades rising and falling in
// sevenths; where the two fades meet, the smaller factor holds.
TEST(PlacementTest, TheRangeAndFadesFollowTheFrameArithmetic) {
  CPlacement placement;
  ASSERT_TRUE(ParseTime("1.0", placement.m_from));
  ASSERT_TRUE(ParseTime("0:00:02.4", placement.m_to));
  placement.m_fadeIn = 0.4;
  placement.m_fadeOut = 0.4;
  CLayerPlan plan;
  ASSERT_EQ(PlanLayer(placement, Input(320, 240, 10, 10), plan), "");
  EXPECT_EQ(plan.m_firstShown, 15);
  EXPECT_EQ(plan.m_endShown, 36);
  EXPECT_FALSE(plan.Shown(14));
  EXPECT_TRUE(plan.Shown(15));
  EXPECT_TRUE(plan.Shown(35));
  EXPECT_FALSE(plan.Shown(36));
  for (int k = 0; k < 6; ++k) {
    EXPECT_DOUBLE_EQ(plan.Fade(15 + k), (k + 1) / 7.0) << "fade-in frame " << k;
    EXPECT_DOUBLE_EQ(plan.Fade(35 - k), (k + 1) / 7.0) << "fade-out frame " << k;
  }
  for (int n = 21; n <= 29; ++n) EXPECT_EQ(plan.Fade(n), 1.0) << n;

  // Fades longer than the four frames shown are cut to four, and said so; they overlap.
  placement.m_from = 1.0;
  placement.m_to = 1.25;  // frame 18.75 rounds to 19
  placement.m_fadeIn = 2.0;
  placement.m_fadeOut = 0.2;
  ASSERT_EQ(PlanLayer(placement, Input(320, 240, 10, 10), plan), "");
  EXPECT_EQ(plan.m_endShown - plan.m_firstShown, 4);
  EXPECT_EQ(plan.m_fadeInFrames, 4);
  EXPECT_EQ(plan.m_fadeOutFrames, 3);
  EXPECT_TRUE(plan.m_fadesShortened);
  EXPECT_DOUBLE_EQ(plan.Fade(18), 1.0 / 4.0);  // the fade-out's 1/4 below the fade-in's 4/5
  EXPECT_NE(PlanNotices(plan).find("shortened"), std::string::npos);

  // A range reaching past the end ends with the main video.
  placement = CPlacement{};
  placement.m_to = 100.0;
  ASSERT_EQ(PlanLayer(placement, Input(320, 240, 10, 10), plan), "");
  EXPECT_EQ(plan.m_firstShown, 0);
  EXPECT_EQ(plan.m_endShown, 60);
  EXPECT_EQ(plan.Fade(59), 1.0);
}

TEST(PlacementTest, WhatCannotBeMadeIsRefusedOrReported) {
  const struct {
    const char* m_scale;
    double m_from, m_to;
    const char* m_error;  // a part of the message
  } refused[] = {
      {"0%", -1, -1, "above zero"},       {"-5%w", -1, -1, "above zero"},
      {"0x-1", -1, -1, "above zero"},     {"-1x-1", -1, -1, "above zero"},
      {"16385x-1", -1, -1, "16384"},      {"4000%", -1, -1, "20000x20000"},
      {"100%", 2.0, 2.0, "start before"}, {"100%", 4.0, -1, "run from 0 to 59"},
      {"100%", -1, 0.0, "start before"},  {"100%", 1.0, 1.01, "holds no frame"},
  };
  for (const auto& test : refused) {
    CPlacement placement;
    ASSERT_TRUE(ParseScale(test.m_scale, placement.m_scale)) << test.m_scale;
    placement.m_from = test.m_from;
    placement.m_to = test.m_to;
    CLayerPlan plan;
    EXPECT_NE(PlanLayer(placement, Input(1280, 720, 500, 500), plan).find(test.m_error),
              std::string::npos)
        << test.m_scale << " " << test.m_from;
  }
  // A preset or a scale that takes the whole layer off the picture is a notice; a custom offset
  // that does is today's clipping, said nothing of.
  CPlacement placement;
  placement.m_corner = ECorner::kBottomRight;
  placement.m_margin = 2000;
  CLayerPlan plan;
  ASSERT_EQ(PlanLayer(placement, Input(1280, 720, 50, 50), plan), "");
  EXPECT_NE(PlanNotices(plan).find("wholly outside"), std::string::npos);
  CPlanInput far = Input(1280, 720, 50, 50);
  far.m_customLeft = 5000;
  ASSERT_EQ(PlanLayer(CPlacement{}, far, plan), "");
  EXPECT_EQ(PlanNotices(plan), "");
}

TEST(PlacementTest, TextsParseAsTheOptionsDescribeThem) {
  const struct {
    const char* m_text;
    bool m_ok;
    double m_seconds;
  } times[] = {{"12.5", true, 12.5},      {"1:05", true, 65.0}, {"0:01:10.25", true, 70.25},
               {"2:00:00", true, 7200.0}, {"1:60", false, 0},   {"-1", false, 0},
               {"1:-5", false, 0},        {"", false, 0},       {"1::2", false, 0},
               {"1:2:3:4", false, 0},     {"abc", false, 0},    {"nan", false, 0}};
  for (const auto& test : times) {
    double seconds = -7.0;
    EXPECT_EQ(ParseTime(test.m_text, seconds), test.m_ok) << test.m_text;
    if (test.m_ok) {
      EXPECT_DOUBLE_EQ(seconds, test.m_seconds) << test.m_text;
    }
  }
  for (const char* bad : {"50", "x", "%", "%w", "12x", "ax5", "50%%", "1.5x2"}) {
    CScale scale;
    EXPECT_FALSE(ParseScale(bad, scale)) << bad;
  }
  ECorner corner = ECorner::kCustom;
  EXPECT_FALSE(ParseCorner("top-left", corner));
  for (const char* name : {"tl", "tr", "bl", "br", "c"}) {
    ASSERT_TRUE(ParseCorner(name, corner));
    EXPECT_EQ(CornerName(corner), name);
  }
}

}  // namespace
}  // namespace corvane
