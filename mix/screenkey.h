// The keyers of a mix, and the screen keyer for camera footage shot on a green or blue screen.
//
// The exact keyer (the default) lets the main video through where a top pixel equals the key
// colour; the None keyer keys nothing. The screen keyer turns each top frame, once, into a
// 32-bit picture that the layer-alpha rule lays on with no key: its alpha is a soft matte and
// its colour the foreground recovered from the screen. All of it is whole-number arithmetic, so
// the result is the same on every machine. The steps, in the frame's own row order:
//
// 1. Distance. A colour (R, G, B) is the point x = 2R - G - B, y = G - B of a chroma plane that
//    forgets its luma, so that noise shared by the three channels and changes of brightness
//    weigh nothing. For a pixel p and a screen colour s, with dot = xp*xs + 3*yp*ys and
//    cross = xp*ys - yp*xs, the screen share is N(p) = dot - 7 * |cross| / 4 (whole-number
//    division; out of D = xs^2 + 3*ys^2, N(s)): the share of s's chroma in p, less what p has
//    across it. r = N / D is 1 on the screen, 0 for grey and for a colour 45 degrees off the
//    screen's hue, so that a teal or a yellow-green prop stands apart from a green screen.
//    Chroma comes at half the resolution in most video, so the luma speaks too, where it says
//    more: with Y = 54R + 183G + 19B, L is how far the pixel's Y lies from the screen's toward
//    black (Ys - Yp) / Ys, or toward white (Yp - Ys) / (255 * 256 - Ys). d = max(1 - r, L), in
//    1/4096ths, clamped to [-4, 8]. A fine dark strand and a pale prop of nearly the screen's
//    hue stand out by their lightness; a shadow on the screen is in the plate.
// 2. Clean plate. Pixels of about the key's hue (r >= 0.4 against the key, within about 15
//    degrees of its hue in the plane, and within about 14.5 degrees of it in full colour, as a
//    shadow is and a pale veil is not) are surely screen. Their colours are averaged in blocks
//    of kPlateBlock / 2 pixels; a block with fewer than kPlateMinimum of them takes the mean of
//    its filled neighbours, round after round; the plate at each pixel is the bilinear blend of
//    the four nearest block means. The plate is made twice; the second time leaves out the
//    pixels with r < 0.85 or more than 15 % darker against the first (screen dimmed by hair).
//    So a vignette, a gradient or a shadow on the screen keys as screen. d is measured from it.
// 3. Tolerance t: given in percent, or by default 5/4 of the 95th percentile of d over the
//    surely-screen pixels of the frame (its noise), kept within [6 %, 35 %].
// 4. Softness: given in percent, a single level u; by default it follows the subject. Surely
//    subject are the pixels with d >= max(0.6, t + 0.2) whose four neighbours are so too, that
//    either have d >= 0.85 or lie at least 30 degrees off the plate's hue (nearer and of the
//    screen's hue is a veil or a blur over the screen as often as a subject), and the pixels
//    with d >= 0.3 whose d stays within 0.25 of level between the pixels two to either side (a
//    soft edge ramps) and that lie at least 19 degrees off the plate's hue (a teal prop on
//    green) or are lighter than it by at least 0.2 of the way to white and at least as
//    saturated (a pale yellow-green prop on a lime screen; a veil or a blur over the screen has
//    less of its chroma, not more). Their d (at most 2) is averaged in blocks of kPlateBlock
//    as in step 2 (fallback 1), and P at a pixel is the lowest of the four block means around
//    it, so that a teal prop beside a skin tone keeps its own. u is 15/16 of P (below the subject's
//    noise) kept within [t + 0.1, 1.25].
// 5. Matte: A = 0 for d <= t, 255 for d >= u, else round(255 * (d - t) / (u - t)).
// 6. Foreground: in 0 < A < 255, F = round((255 * C - (255 - A) * S) / A) per channel with S
//    the plate, clamped to 0..255: the screen's share of the pixel is taken out.
// 7. Spill: within kSpillReach pixels (city-block) of a pixel with A < 255, the screen's cast
//    on the subject is taken out as in step 6. With H the highest of the four block means of
//    step 4 (the subject's d without its cast), the part of the pixel that is screen beyond the
//    subject's own share (1 - H) is lambda = (r(F) - (1 - H)) / H, at most 1/2, nothing when
//    negative (r(F) against the plate); it is scaled by the despill strength and by
//    (kSpillReach + 1 - distance) / (kSpillReach + 1), and F = (F - lambda * S) / (1 - lambda).
//    A teal or green object keeps its colour: its own share is what the plate holds.
// 8. With the layer's own alpha La, the picture's alpha is round(A * La / 255).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mix/blockplate.h"

namespace corvane {

enum class EKeyer : uint8_t {
  kExact,   // top pixels equal to the key colour let the main video through
  kScreen,  // the screen keyer above
  kNone,    // nothing is keyed: only the layer's own alpha and the mix's alpha weigh
};

constexpr int32_t kAutoLevel = -1;

// The keyer of a mix and its settings. The key colour itself travels in the mix rule.
struct CKeyerSettings {
  EKeyer m_keyer = EKeyer::kExact;
  bool m_autoKey = false;            // screen keyer: the key is estimated from the top layer
  int32_t m_tolerance = kAutoLevel;  // 0..100 (percent of the screen's chroma), or automatic
  int32_t m_softness = kAutoLevel;   // 0..100, above the tolerance, or automatic
  int32_t m_despill = 100;           // 0..100

  bool operator==(const CKeyerSettings&) const = default;
};

// What is wrong with the settings (empty when nothing): levels out of range, tolerance not
// below softness. Both front ends check with it.
const char* KeyerSettingsError(const CKeyerSettings& settings);

// The keyer's name as the command line and the settings spell it ("exact", "screen", "none"),
// and back; nullopt for an unknown name.
const char* KeyerName(EKeyer keyer);
std::optional<EKeyer> KeyerNamed(const char* name);

struct CRgb {
  uint8_t m_red = 0;
  uint8_t m_green = 0;
  uint8_t m_blue = 0;
};

// The screen colour of a picture (blue, green, red pixels, with a fourth byte with `withAlpha`;
// rows `stride` bytes apart, in either order): the hue shared by most saturated pixels (max -
// min of the channels at least 48), in bins of 10 degrees taken three at a time, when that hue
// holds at least a fifth of the picture's pixels; the colour is the per-channel median of those
// pixels. nullopt when no hue holds that many.
std::optional<CRgb> EstimateScreenColour(const uint8_t* pixels, int32_t width, int32_t height,
                                         int64_t stride, bool withAlpha);

// How much of a keyed picture lets the main video through.
struct CMatteCount {
  int64_t m_transparent = 0;  // A = 0
  int64_t m_partial = 0;      // 0 < A < 255
  int64_t m_opaque = 0;       // A = 255
};

// The user's line for a count: "matte: T transparent, P partly transparent, O opaque top
// pixels" (%lld each).
const char* MatteCountFormat();

// Keys top frames of one size. Owns its plates, working rows and the picture it gives. Not
// thread-safe; one job thread uses it.
class CScreenKeyer {
 public:
  static constexpr int32_t kPlateBlock = 16;
  static constexpr int32_t kPlateMinimum = 16;
  static constexpr int32_t kSpillReach = 6;

  // For top frames of width x height (32-bit rows when `fromAlpha`, else the 24-bit Frame
  // buffer). False when memory cannot be had.
  bool Setup(int32_t width, int32_t height, bool fromAlpha);
  bool IsSetUpFor(int32_t width, int32_t height, bool fromAlpha) const {
    return m_width > 0 && width == m_width && height == m_height && fromAlpha == m_fromAlpha;
  }

  // Keys one top frame against `key` by `settings`; with `layerAlpha` the frame's fourth bytes
  // weigh the matte (step 8).
  void Key(const uint8_t* topFrame, CRgb key, const CKeyerSettings& settings, bool layerAlpha);

  // 32-bit blue-green-red-alpha rows in the top frame's row order, 4 * Width() bytes each.
  const uint8_t* Picture() const { return m_picture.data(); }
  int64_t PictureBytes() const { return static_cast<int64_t>(m_picture.size()); }
  int32_t Width() const { return m_width; }
  int32_t Height() const { return m_height; }
  // The tolerance the last frame was keyed with, in 1/4096ths of the screen's chroma.
  int32_t Tolerance() const { return m_tolerance; }
  CMatteCount Count() const;

 private:
  int32_t m_width = 0;
  int32_t m_height = 0;
  bool m_fromAlpha = false;
  int32_t m_tolerance = 0;
  std::vector<int32_t> m_distance;  // d per pixel, 1/4096ths
  std::vector<uint8_t> m_reach;     // city-block distance to a pixel not fully opaque, capped
  std::vector<uint8_t> m_sure;      // 1 where a pixel is surely screen
  std::vector<uint8_t> m_plate;     // the clean plate at each pixel: R, G, B
  CBlockPlate m_screen;             // the clean plate: R, G, B
  CBlockPlate m_subject;            // the subject's d
  std::vector<uint8_t> m_picture;
};

}  // namespace corvane
