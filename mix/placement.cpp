#include "mix/placement.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "media/host.h"

namespace corvane {
namespace {

// The whole text as a finite number.
bool ParseNumber(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool ParseWhole(const std::string& text, int32_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || parsed < -1000000 || parsed > 1000000)
    return false;
  value = static_cast<int32_t>(parsed);
  return true;
}

// Halves away from zero, within int64_t.
int64_t RoundToWhole(double value) {
  return static_cast<int64_t>(std::llround(std::clamp(value, -9.0e18, 9.0e18)));
}

std::string SecondsText(double seconds) {
  return Format("%.3f s", seconds);
}

}  // namespace

bool ParseCorner(const std::string& text, ECorner& corner) {
  static const struct {
    const char* m_name;
    ECorner m_corner;
  } kNames[] = {{"custom", ECorner::kCustom},  {"tl", ECorner::kTopLeft},
                {"tr", ECorner::kTopRight},    {"bl", ECorner::kBottomLeft},
                {"br", ECorner::kBottomRight}, {"c", ECorner::kCentre}};
  for (const auto& name : kNames) {
    if (text == name.m_name) {
      corner = name.m_corner;
      return true;
    }
  }
  return false;
}

std::string CornerName(ECorner corner) {
  switch (corner) {
    case ECorner::kTopLeft:
      return "tl";
    case ECorner::kTopRight:
      return "tr";
    case ECorner::kBottomLeft:
      return "bl";
    case ECorner::kBottomRight:
      return "br";
    case ECorner::kCentre:
      return "c";
    default:
      return "custom";
  }
}

bool ParseScale(const std::string& text, CScale& scale) {
  CScale parsed;
  if (text.size() >= 3 && text.compare(text.size() - 2, 2, "%w") == 0) {
    parsed.m_kind = CScale::EKind::kMainWidth;
    if (!ParseNumber(text.substr(0, text.size() - 2), parsed.m_percent)) return false;
  } else if (text.size() >= 2 && text.back() == '%') {
    parsed.m_kind = CScale::EKind::kPercent;
    if (!ParseNumber(text.substr(0, text.size() - 1), parsed.m_percent)) return false;
    if (parsed.m_percent == 100.0) parsed = CScale{};
  } else {
    const size_t x = text.find('x');
    if (x == std::string::npos) return false;
    parsed.m_kind = CScale::EKind::kPixels;
    if (!ParseWhole(text.substr(0, x), parsed.m_width) ||
        !ParseWhole(text.substr(x + 1), parsed.m_height)) {
      return false;
    }
  }
  scale = parsed;
  return true;
}

std::string ScaleText(const CScale& scale) {
  switch (scale.m_kind) {
    case CScale::EKind::kPercent:
      return Format("%g%%", scale.m_percent);
    case CScale::EKind::kPixels:
      return Format("%dx%d", scale.m_width, scale.m_height);
    case CScale::EKind::kMainWidth:
      return Format("%g%%w", scale.m_percent);
    default:
      return "100%";
  }
}

bool ScaleIsPositive(const CScale& scale) {
  if (scale.m_kind != CScale::EKind::kPixels) return scale.m_percent > 0.0;
  return (scale.m_width > 0 || scale.m_width == -1) &&
         (scale.m_height > 0 || scale.m_height == -1) && (scale.m_width > 0 || scale.m_height > 0);
}

bool ParseTime(const std::string& text, double& seconds) {
  // [[h:]m:]s with the seconds (only) taking decimals.
  double total = 0.0;
  size_t from = 0;
  int fields = 0;
  for (;;) {
    const size_t colon = text.find(':', from);
    const std::string field = text.substr(from, colon - from);
    if (colon == std::string::npos) {
      double value = 0.0;
      if (!ParseNumber(field, value) || value < 0.0) return false;
      if (fields > 0 && value >= 60.0) return false;
      seconds = total + value;
      return true;
    }
    int32_t whole = 0;
    if (++fields > 2 || field.empty() || field[0] == '-' || !ParseWhole(field, whole)) return false;
    if (fields == 2 && whole >= 60) return false;  // the minutes of h:mm:ss
    total = (total + whole) * 60.0;
    from = colon + 1;
  }
}

double CLayerPlan::Fade(int64_t frame) const {
  double fade = 1.0;
  const int64_t shown = frame - m_firstShown;     // k
  const int64_t toLast = m_endShown - 1 - frame;  // j
  if (shown >= 0 && shown < m_fadeInFrames)
    fade = std::min(fade, double(shown + 1) / double(m_fadeInFrames + 1));
  if (toLast >= 0 && toLast < m_fadeOutFrames)
    fade = std::min(fade, double(toLast + 1) / double(m_fadeOutFrames + 1));
  return fade;
}

std::string PlanLayer(const CPlacement& placement, const CPlanInput& input, CLayerPlan& plan) {
  plan = CLayerPlan{};
  const int64_t ownWidth = input.m_topWidth;
  const int64_t ownHeight = input.m_topHeight;
  int64_t width = ownWidth;
  int64_t height = ownHeight;
  const CScale& scale = placement.m_scale;
  if (!ScaleIsPositive(scale)) {
    return scale.m_kind == CScale::EKind::kPixels
               ? "The scale of the top layer must be above zero (-1 on one side keeps its aspect "
                 "ratio)"
               : "The scale of the top layer must be above zero";
  }
  // Sides kept in proportion round half away from zero; a side is at least one pixel.
  const auto keepAspect = [](int64_t side, int64_t to, int64_t from) {
    return from > 0 ? std::max<int64_t>(1, RoundToWhole(double(side) * double(to) / double(from)))
                    : 1;
  };
  switch (scale.m_kind) {
    case CScale::EKind::kOwnSize:
      break;
    case CScale::EKind::kPercent:
      width = std::max<int64_t>(1, RoundToWhole(double(ownWidth) * scale.m_percent / 100.0));
      height = std::max<int64_t>(1, RoundToWhole(double(ownHeight) * scale.m_percent / 100.0));
      break;
    case CScale::EKind::kMainWidth:
      width =
          std::max<int64_t>(1, RoundToWhole(double(input.m_mainWidth) * scale.m_percent / 100.0));
      height = keepAspect(ownHeight, width, ownWidth);
      break;
    case CScale::EKind::kPixels:
      width = scale.m_width == -1 ? keepAspect(ownWidth, scale.m_height, ownHeight) : scale.m_width;
      height =
          scale.m_height == -1 ? keepAspect(ownHeight, scale.m_width, ownWidth) : scale.m_height;
      break;
  }
  if (width > kLargestScaledSide || height > kLargestScaledSide) {
    return Format("The scaled top layer would be %lldx%lld pixels: its sides can be at most %d",
                  static_cast<long long>(width), static_cast<long long>(height),
                  kLargestScaledSide);
  }
  plan.m_width = static_cast<int32_t>(width);
  plan.m_height = static_cast<int32_t>(height);
  plan.m_scaled = width != ownWidth || height != ownHeight;

  // Offsets may be negative (a top layer larger than the picture); 64-bit until clamped.
  const int64_t margin = placement.m_margin;
  const int64_t right = int64_t{input.m_mainWidth} - width - margin;
  const int64_t bottom = int64_t{input.m_mainHeight} - height - margin;
  int64_t left = input.m_customLeft;
  int64_t top = input.m_customTop;
  switch (placement.m_corner) {
    case ECorner::kTopLeft:
      left = margin;
      top = margin;
      break;
    case ECorner::kTopRight:
      left = right;
      top = margin;
      break;
    case ECorner::kBottomLeft:
      left = margin;
      top = bottom;
      break;
    case ECorner::kBottomRight:
      left = right;
      top = bottom;
      break;
    case ECorner::kCentre: {
      // Halves rounded toward minus infinity.
      const auto half = [](int64_t value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); };
      left = half(int64_t{input.m_mainWidth} - width);
      top = half(int64_t{input.m_mainHeight} - height);
      break;
    }
    case ECorner::kCustom:
      break;
  }
  const auto clampOffset = [](int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, -1000000000, 1000000000));
  };
  plan.m_left = clampOffset(left);
  plan.m_top = clampOffset(top);
  // A custom offset outside the picture is today's clipping and no news; a preset or a scale
  // that puts the layer there is.
  const bool moved = placement.m_corner != ECorner::kCustom || plan.m_scaled;
  plan.m_outside =
      moved && (plan.m_left >= input.m_mainWidth || plan.m_top >= input.m_mainHeight ||
                int64_t{plan.m_left} + width <= 0 || int64_t{plan.m_top} + height <= 0);

  // The range in frames: N = round(seconds * rate).
  const double rate = input.m_rateDen > 0 ? double(input.m_rateNum) / double(input.m_rateDen) : 0.0;
  const auto frameAt = [&](double seconds) {
    return std::clamp<int64_t>(RoundToWhole(seconds * rate), 0, int64_t{INT32_MAX});
  };
  const bool hasFrom = placement.m_from >= 0.0;
  const bool hasTo = placement.m_to >= 0.0;
  const double from = hasFrom ? placement.m_from : 0.0;
  if (hasTo && from >= placement.m_to) {
    return Format("The top layer's range must start before it ends (from %s to %s)",
                  SecondsText(from).c_str(), SecondsText(placement.m_to).c_str());
  }
  const int64_t first = hasFrom ? frameAt(placement.m_from) : 0;
  const int64_t end =
      hasTo ? std::min<int64_t>(frameAt(placement.m_to), input.m_frames) : input.m_frames;
  if (hasFrom && first >= input.m_frames) {
    plan.m_neverShown = true;
    return Format(
        "The top layer's range starts at %s, which is frame %lld; the main video's frames run "
        "from 0 to %d (%s)",
        SecondsText(placement.m_from).c_str(), static_cast<long long>(first), input.m_frames - 1,
        SecondsText(rate > 0.0 ? input.m_frames / rate : 0.0).c_str());
  }
  // Two times closer than a frame can round to the same one: such a range shows nothing.
  if (hasTo && end <= first) {
    plan.m_neverShown = true;
    return Format(
        "The top layer's range from %s to %s holds no frame of the main video (both round to "
        "frame %lld)",
        SecondsText(from).c_str(), SecondsText(placement.m_to).c_str(),
        static_cast<long long>(first));
  }
  plan.m_firstShown = static_cast<int32_t>(first);
  plan.m_endShown = static_cast<int32_t>(std::max(first, end));

  const int64_t shown = int64_t{plan.m_endShown} - plan.m_firstShown;
  const int64_t fadeIn = std::max<int64_t>(0, frameAt(std::max(0.0, placement.m_fadeIn)));
  const int64_t fadeOut = std::max<int64_t>(0, frameAt(std::max(0.0, placement.m_fadeOut)));
  plan.m_fadesShortened = fadeIn > shown || fadeOut > shown;
  plan.m_fadeInFrames = static_cast<int32_t>(std::min(fadeIn, shown));
  plan.m_fadeOutFrames = static_cast<int32_t>(std::min(fadeOut, shown));
  return {};
}

std::string PlanNotices(const CLayerPlan& plan) {
  std::string notices;
  if (plan.m_fadesShortened) {
    notices += Format(
        "The fades are longer than the %d frames the top layer is shown: they are "
        "shortened to fade in over %d and out over %d frames",
        plan.m_endShown - plan.m_firstShown, plan.m_fadeInFrames, plan.m_fadeOutFrames);
  }
  if (plan.m_outside) {
    if (!notices.empty()) notices += "\n";
    notices += Format(
        "The top layer (%dx%d at %d,%d) lies wholly outside the main picture: it is "
        "not seen",
        plan.m_width, plan.m_height, plan.m_left, plan.m_top);
  }
  return notices;
}

}  // namespace corvane
