// Where, how large and when the top layer is shown: a corner preset with a margin, a scale, a
// time range and fades. CPlacement is what the user asked for; PlanLayer turns it into a
// CLayerPlan for one pair of sources (pixel sizes and offsets, frame numbers), which the mix job
// and its preview follow frame by frame.
//
// The defaults (custom offset, own size, every frame, no fades) plan today's mix exactly: no
// scaling step, the top layer on every frame, a fade factor of 1 everywhere.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

enum class ECorner { kCustom, kTopLeft, kTopRight, kBottomLeft, kBottomRight, kCentre };

// How the top layer's size is chosen.
struct CScale {
  enum class EKind {
    kOwnSize,    // as it is
    kPercent,    // m_percent of its own width and height
    kPixels,     // m_width x m_height; -1 on one side keeps the aspect ratio
    kMainWidth,  // its width m_percent of the main picture's width, aspect kept
  };
  EKind m_kind = EKind::kOwnSize;
  double m_percent = 100.0;
  int32_t m_width = -1;
  int32_t m_height = -1;
};

struct CPlacement {
  ECorner m_corner = ECorner::kCustom;
  int32_t m_margin = 16;  // pixels from the corner's two edges (not used by kCentre)
  CScale m_scale;
  double m_from = -1.0;  // seconds; below 0: from the first frame
  double m_to = -1.0;    // seconds; below 0: to the last frame
  double m_fadeIn = 0.0;
  double m_fadeOut = 0.0;
};

// The largest side of a scaled top layer, in pixels.
constexpr int32_t kLargestScaledSide = 16384;

// Texts as the command line and the dialog take them. Each returns false, leaving the result
// alone, for text it does not take.
// "tl", "tr", "bl", "br", "c" (and "custom").
bool ParseCorner(const std::string& text, ECorner& corner);
std::string CornerName(ECorner corner);
// "50%", "200x-1", "-1x120", "15%w"; "100%" is the own size. Zero or negative sizes are taken
// here and refused by PlanLayer, which says why.
bool ParseScale(const std::string& text, CScale& scale);
std::string ScaleText(const CScale& scale);
// Whether the scale names a size above zero (-1 on one side of a size in pixels keeps the
// aspect ratio; not on both).
bool ScaleIsPositive(const CScale& scale);
// Seconds with decimals ("12.5") or h:mm:ss.fff / m:ss.fff.
bool ParseTime(const std::string& text, double& seconds);

// The placement for a main picture of mainWidth x mainHeight at rateNum / rateDen frames a
// second with `frames` frames, and a top layer of topWidth x topHeight.
struct CLayerPlan {
  bool m_scaled = false;  // the top layer is resized (to m_width x m_height)
  int32_t m_width = 0;
  int32_t m_height = 0;
  int32_t m_left = 0;
  int32_t m_top = 0;
  int32_t m_firstShown = 0;  // main frames m_firstShown <= N < m_endShown show the top layer
  int32_t m_endShown = 0;
  int32_t m_fadeInFrames = 0;
  int32_t m_fadeOutFrames = 0;
  bool m_fadesShortened = false;  // the fades asked for were longer than the range shown
  // Refused because the range holds no frame of the main video (it starts after its end, or
  // both ends round to one frame); a layer over others may be left out for it instead.
  bool m_neverShown = false;
  bool m_outside = false;  // no pixel of the top layer lands on the main picture

  bool Shown(int64_t frame) const { return frame >= m_firstShown && frame < m_endShown; }
  // The fade factor f of main frame `frame` (1 outside the fades; only for shown frames).
  double Fade(int64_t frame) const;
};

struct CPlanInput {
  int32_t m_mainWidth = 0;
  int32_t m_mainHeight = 0;
  int32_t m_topWidth = 0;
  int32_t m_topHeight = 0;
  uint32_t m_rateNum = 0;  // frames a second = rateNum / rateDen
  uint32_t m_rateDen = 1;
  int32_t m_frames = 0;
  int32_t m_customLeft = 0;  // today's offset, for ECorner::kCustom
  int32_t m_customTop = 0;
};

// Fills `plan`; returns an empty text, or what is wrong with the placement (the sizes or the
// range cannot be made), in one line for the user.
std::string PlanLayer(const CPlacement& placement, const CPlanInput& input, CLayerPlan& plan);

// The notices a plan calls for (fades shortened, a top layer wholly outside the picture), one
// line each; empty when there are none.
std::string PlanNotices(const CLayerPlan& plan);

}  // namespace corvane
