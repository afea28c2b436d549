#include "mix/screenkey.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include "media/avidefs.h"

namespace corvane {
namespace {

constexpr int32_t kOne = 4096;  // d = 1 in the keyer's fixed point
constexpr int32_t kDistanceMin = -4 * kOne;
constexpr int32_t kDistanceMax = 8 * kOne;

// The chroma plane of step 1.
struct CChroma {
  int64_t m_x;
  int64_t m_y;
};

CChroma ChromaOf(int32_t red, int32_t green, int32_t blue) {
  return {2 * red - green - blue, green - blue};
}

// N(p) against screen chroma s.
int64_t ScreenShare(CChroma p, CChroma s) {
  const int64_t dot = p.m_x * s.m_x + 3 * p.m_y * s.m_y;
  const int64_t cross = p.m_x * s.m_y - p.m_y * s.m_x;
  return dot - 7 * std::llabs(cross) / 4;
}

int64_t ScreenNorm(CChroma s) {
  return s.m_x * s.m_x + 3 * s.m_y * s.m_y;
}

// d = 1 - N / D in 1/4096ths, rounded toward zero and clamped; a grey screen (D = 0) is no
// screen at all: every pixel is subject.
int32_t DistanceOf(int64_t share, int64_t norm) {
  if (norm <= 0) return kDistanceMax;
  const int64_t d = (norm - share) * kOne / norm;
  return static_cast<int32_t>(std::clamp<int64_t>(d, kDistanceMin, kDistanceMax));
}

// Luma in 256ths: 54 R + 183 G + 19 B, of a pixel (blue, green, red) or of the plate (R, G, B).
int64_t LumaOf(const uint8_t* bgr) {
  return 54 * int64_t{bgr[2]} + 183 * int64_t{bgr[1]} + 19 * int64_t{bgr[0]};
}
int64_t LumaOf(const int32_t* rgb) {
  return 54 * int64_t{rgb[0]} + 183 * int64_t{rgb[1]} + 19 * int64_t{rgb[2]};
}

// How far a pixel's luma lies from the plate's toward black or white, as a part of the way
// (1/4096ths). Chroma comes at half the resolution in most video: a fine dark strand over the
// screen keeps its full depth only in the luma, and a pale prop of nearly the screen's hue
// stands out by its lightness; a shadow is already in the plate.
int32_t LumaAway(const uint8_t* bgr, const int32_t* plate) {
  const int64_t screen = LumaOf(plate);
  const int64_t pixel = LumaOf(bgr);
  constexpr int64_t kWhite = 256 * 255;
  if (pixel < screen) return static_cast<int32_t>((screen - pixel) * kOne / screen);
  if (pixel > screen) return static_cast<int32_t>((pixel - screen) * kOne / (kWhite - screen));
  return 0;
}

// How much darker than the plate a pixel is (LumaAway toward black; 0 when not darker).
int32_t DarkerBy(const uint8_t* bgr, const int32_t* plate) {
  return LumaOf(bgr) < LumaOf(plate) ? LumaAway(bgr, plate) : 0;
}

// Surely screen for the plate: r >= 0.4 against the key, within about 15 degrees of its hue
// (tan 15 = 0.268; the cross term carries a factor sqrt(3) / 6 against dot's 1 / 6), and in
// full colour within about 14.5 degrees of the key (sin = 1/4): a screen in shadow is the key
// scaled, while a pale veil over it keeps its hue but not its proportions.
bool SurelyScreen(const uint8_t* bgr, CChroma key, int64_t keyNorm, const int32_t* keyRgb,
                  int64_t keyLength) {
  const CChroma p = ChromaOf(bgr[2], bgr[1], bgr[0]);
  const int64_t dot = p.m_x * key.m_x + 3 * p.m_y * key.m_y;
  const int64_t cross = std::llabs(p.m_x * key.m_y - p.m_y * key.m_x);
  if (dot <= 0 || 5 * (dot - 7 * cross / 4) < 2 * keyNorm || 13 * cross > 2 * dot) return false;
  const int64_t r = bgr[2];
  const int64_t g = bgr[1];
  const int64_t b = bgr[0];
  const int64_t cx = g * keyRgb[2] - b * keyRgb[1];
  const int64_t cy = b * keyRgb[0] - r * keyRgb[2];
  const int64_t cz = r * keyRgb[1] - g * keyRgb[0];
  return 16 * (cx * cx + cy * cy + cz * cz) <= (r * r + g * g + b * b) * keyLength;
}

int32_t Percent(int32_t level) {
  return level * kOne / 100;
}

uint8_t ClampByte(int64_t value) {
  return static_cast<uint8_t>(std::clamp<int64_t>(value, 0, 255));
}

// Rounded quotient of a non-negative numerator by a positive denominator.
int64_t RoundedDivide(int64_t numerator, int64_t denominator) {
  return (2 * numerator + denominator) / (2 * denominator);
}

}  // namespace

const char* KeyerSettingsError(const CKeyerSettings& settings) {
  const auto inRange = [](int32_t level) {
    return level == kAutoLevel || (level >= 0 && level <= 100);
  };
  if (!inRange(settings.m_tolerance)) return "--tolerance must be from 0 to 100, or auto";
  if (!inRange(settings.m_softness)) return "--softness must be from 0 to 100, or auto";
  if (settings.m_despill < 0 || settings.m_despill > 100) return "--despill must be from 0 to 100";
  if (settings.m_tolerance != kAutoLevel && settings.m_softness != kAutoLevel &&
      settings.m_tolerance >= settings.m_softness) {
    return "--tolerance must be below --softness";
  }
  if (settings.m_autoKey && settings.m_keyer != EKeyer::kScreen)
    return "--key auto needs --keyer screen";
  return "";
}

const char* KeyerName(EKeyer keyer) {
  switch (keyer) {
    case EKeyer::kScreen:
      return "screen";
    case EKeyer::kNone:
      return "none";
    default:
      return "exact";
  }
}

std::optional<EKeyer> KeyerNamed(const char* name) {
  for (const EKeyer keyer : {EKeyer::kExact, EKeyer::kScreen, EKeyer::kNone}) {
    if (std::strcmp(name, KeyerName(keyer)) == 0) return keyer;
  }
  return std::nullopt;
}

std::optional<CRgb> EstimateScreenColour(const uint8_t* pixels, int32_t width, int32_t height,
                                         int64_t stride, bool withAlpha) {
  if (!pixels || width <= 0 || height <= 0) return std::nullopt;
  constexpr int kBins = 36;
  const int pixelBytes = withAlpha ? 4 : 3;
  // Hue in degrees (0..359) of a saturated pixel, -1 for the others.
  const auto hueOf = [](int r, int g, int b) {
    const int high = std::max({r, g, b});
    const int low = std::min({r, g, b});
    const int span = high - low;
    if (span < 48 || high < 48) return -1;
    int hue = 0;
    if (high == r) {
      hue = 60 * (g - b) / span;
    } else if (high == g) {
      hue = 120 + 60 * (b - r) / span;
    } else {
      hue = 240 + 60 * (r - g) / span;
    }
    return (hue + 360) % 360;
  };
  std::array<int64_t, kBins> bins{};
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* px = pixels + y * stride;
    for (int32_t x = 0; x < width; ++x, px += pixelBytes) {
      const int hue = hueOf(px[2], px[1], px[0]);
      if (hue >= 0) ++bins[size_t(hue / 10)];
    }
  }
  int best = 0;
  int64_t bestCount = -1;
  for (int b = 0; b < kBins; ++b) {
    const int64_t count =
        bins[size_t((b + kBins - 1) % kBins)] + bins[size_t(b)] + bins[size_t((b + 1) % kBins)];
    if (count > bestCount) {
      best = b;
      bestCount = count;
    }
  }
  if (bestCount * 5 < int64_t{width} * height) return std::nullopt;
  std::array<std::array<int64_t, 256>, 3> histograms{};
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* px = pixels + y * stride;
    for (int32_t x = 0; x < width; ++x, px += pixelBytes) {
      const int hue = hueOf(px[2], px[1], px[0]);
      if (hue < 0) continue;
      const int offset = (hue / 10 - best + kBins) % kBins;
      if (offset > 1 && offset < kBins - 1) continue;
      for (int c = 0; c < 3; ++c) ++histograms[size_t(c)][px[c]];
    }
  }
  uint8_t median[3] = {};
  for (int c = 0; c < 3; ++c) {
    int64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += histograms[size_t(c)][size_t(v)];
      if (2 * seen >= bestCount) {
        median[c] = static_cast<uint8_t>(v);
        break;
      }
    }
  }
  return CRgb{median[2], median[1], median[0]};
}

bool CScreenKeyer::Setup(int32_t width, int32_t height, bool fromAlpha) {
  m_width = 0;
  if (width <= 0 || height <= 0) return false;
  const size_t pixels = size_t(width) * size_t(height);
  try {
    m_distance.assign(pixels, 0);
    m_reach.assign(pixels, 0);
    m_sure.assign(pixels, 0);
    m_plate.assign(pixels * 3, 0);
    m_picture.assign(pixels * 4, 0);
  } catch (const std::bad_alloc&) {
    m_distance = {};
    m_reach = {};
    m_sure = {};
    m_plate = {};
    m_picture = {};
    return false;
  }
  if (!m_screen.Reset(width, height, kPlateBlock / 2, 3) ||
      !m_subject.Reset(width, height, kPlateBlock, 1)) {
    return false;
  }
  m_width = width;
  m_height = height;
  m_fromAlpha = fromAlpha;
  return true;
}

void CScreenKeyer::Key(const uint8_t* topFrame, CRgb key, const CKeyerSettings& settings,
                       bool layerAlpha) {
  if (!topFrame || m_width <= 0) return;
  const int pixelBytes = m_fromAlpha ? 4 : 3;
  const int64_t stride = m_fromAlpha ? int64_t{m_width} * 4 : FrameStride(m_width);
  const auto pixel = [&](int32_t x, int32_t y) { return topFrame + y * stride + x * pixelBytes; };
  const CChroma keyChroma = ChromaOf(key.m_red, key.m_green, key.m_blue);
  const int64_t keyNorm = ScreenNorm(keyChroma);

  const int32_t keyRgb[3] = {key.m_red, key.m_green, key.m_blue};
  const int64_t keyLength = int64_t{keyRgb[0]} * keyRgb[0] + int64_t{keyRgb[1]} * keyRgb[1] +
                            int64_t{keyRgb[2]} * keyRgb[2];
  // Step 2: the clean plate from the surely-screen pixels, made a row at a time into m_plate.
  const size_t width = size_t(m_width);
  const auto fillPlate = [&] {
    for (int32_t y = 0; y < m_height; ++y) m_screen.SampleRow(y, &m_plate[size_t(y) * width * 3]);
  };
  const auto plateAt = [&](int32_t x, int32_t y, int32_t* plate) {
    const uint8_t* at = &m_plate[(size_t(y) * width + size_t(x)) * 3];
    plate[0] = at[0];
    plate[1] = at[1];
    plate[2] = at[2];
  };
  m_screen.Clear();
  for (int32_t y = 0; y < m_height; ++y) {
    uint8_t* sure = &m_sure[size_t(y) * width];
    for (int32_t x = 0; x < m_width; ++x) {
      const uint8_t* p = pixel(x, y);
      sure[x] = SurelyScreen(p, keyChroma, keyNorm, keyRgb, keyLength) ? 1 : 0;
      if (!sure[x]) continue;
      const int32_t rgb[3] = {p[2], p[1], p[0]};
      m_screen.Add(x, y, rgb);
    }
  }
  m_screen.Finish(kPlateMinimum, keyRgb);
  fillPlate();
  // Once more, without what the first plate shows to be screen dimmed by something over it:
  // fine dark hair keeps the key's proportions as a shadow does, but not the screen's level.
  m_screen.Clear();
  for (int32_t y = 0; y < m_height; ++y) {
    const uint8_t* sure = &m_sure[size_t(y) * width];
    for (int32_t x = 0; x < m_width; ++x) {
      if (!sure[x]) continue;
      const uint8_t* p = pixel(x, y);
      int32_t plate[3];
      plateAt(x, y, plate);
      const CChroma s = ChromaOf(plate[0], plate[1], plate[2]);
      if (20 * ScreenShare(ChromaOf(p[2], p[1], p[0]), s) < 17 * ScreenNorm(s) ||
          DarkerBy(p, plate) > kOne * 3 / 20) {
        continue;
      }
      const int32_t rgb[3] = {p[2], p[1], p[0]};
      m_screen.Add(x, y, rgb);
    }
  }
  m_screen.Finish(kPlateMinimum, keyRgb);
  fillPlate();

  // Step 1 against the plate, and step 3: the noise of the surely-screen pixels.
  constexpr int kHistogramBins = 256;  // d from 0 to 1 in steps of 16/4096
  std::array<int64_t, kHistogramBins> noise{};
  int64_t screenPixels = 0;
  for (int32_t y = 0; y < m_height; ++y) {
    const uint8_t* sure = &m_sure[size_t(y) * width];
    for (int32_t x = 0; x < m_width; ++x) {
      const uint8_t* p = pixel(x, y);
      int32_t plate[3];
      plateAt(x, y, plate);
      const CChroma s = ChromaOf(plate[0], plate[1], plate[2]);
      const CChroma c = ChromaOf(p[2], p[1], p[0]);
      const int32_t d = std::max(DistanceOf(ScreenShare(c, s), ScreenNorm(s)), LumaAway(p, plate));
      m_distance[size_t(y) * width + size_t(x)] = d;
      if (sure[x]) {
        ++noise[size_t(std::clamp(d, 0, kOne - 1) / (kOne / kHistogramBins))];
        ++screenPixels;
      }
    }
  }
  int32_t tolerance = Percent(10);
  if (settings.m_tolerance != kAutoLevel) {
    tolerance = Percent(settings.m_tolerance);
  } else if (screenPixels > 0) {
    int64_t seen = 0;
    int bin = 0;
    for (; bin < kHistogramBins; ++bin) {
      seen += noise[size_t(bin)];
      if (20 * seen >= 19 * screenPixels) break;
    }
    const int32_t p95 = (bin + 1) * (kOne / kHistogramBins);
    tolerance = std::clamp(p95 * 5 / 4, Percent(6), Percent(35));
  }
  m_tolerance = tolerance;

  // Step 4: the subject's own distance, for the automatic softness and the spill.
  const int32_t surelySubject = std::max(kOne * 6 / 10, tolerance + Percent(20));
  // A prop of a colour near the screen's (teal on green) is nearer than that, but it lies off
  // the screen's hue and its distance stays level, where a soft edge ramps and a pale veil keeps
  // the screen's hue: at least 0.3 away, at least 19 degrees off the plate's hue, and within
  // 0.25 of level between the pixels two to either side.
  // At least atan(sqrt(3) / ratio) off the plate's hue (ratio 3: 30 degrees; 5: 19).
  const auto hueOff = [&](int32_t x, int32_t y, int64_t ratio) {
    const uint8_t* p = pixel(x, y);
    int32_t plate[3];
    plateAt(x, y, plate);
    const CChroma c = ChromaOf(p[2], p[1], p[0]);
    const CChroma sc = ChromaOf(plate[0], plate[1], plate[2]);
    const int64_t dot = c.m_x * sc.m_x + 3 * c.m_y * sc.m_y;
    const int64_t cross = std::llabs(c.m_x * sc.m_y - c.m_y * sc.m_x);
    return ratio * cross >= dot;
  };
  // Lighter than the plate and at least as saturated: a mix with anything paler or greyer
  // (a veil, a blur, a strand) has less of the screen's chroma, not more.
  const auto richer = [&](int32_t x, int32_t y) {
    const uint8_t* p = pixel(x, y);
    int32_t plate[3];
    plateAt(x, y, plate);
    return DarkerBy(p, plate) == 0 && LumaAway(p, plate) >= Percent(20) &&
           ScreenNorm(ChromaOf(p[2], p[1], p[0])) >=
               ScreenNorm(ChromaOf(plate[0], plate[1], plate[2]));
  };
  const auto offHueAndFlat = [&](int32_t x, int32_t y) {
    if (x < 2 || y < 2 || x + 2 >= m_width || y + 2 >= m_height) return false;
    const int32_t* at = m_distance.data() + size_t(y) * size_t(m_width) + size_t(x);
    if (at[0] < Percent(30) || at[0] >= surelySubject) return false;
    const int64_t across = std::abs(at[2] - at[-2]);
    const int64_t down = std::abs(at[2 * m_width] - at[-2 * m_width]);
    return across + down <= Percent(25) && (hueOff(x, y, 5) || richer(x, y));
  };
  m_subject.Clear();
  for (int32_t y = 0; y < m_height; ++y) {
    const int32_t* row = m_distance.data() + size_t(y) * size_t(m_width);
    for (int32_t x = 0; x < m_width; ++x) {
      // Pixels at the subject's edge are partly screen: they say nothing of the subject.
      const bool inside = x > 0 && x + 1 < m_width && y > 0 && y + 1 < m_height;
      const bool far = inside && row[x] >= surelySubject && row[x - 1] >= surelySubject &&
                       row[x + 1] >= surelySubject && row[x - m_width] >= surelySubject &&
                       row[x + m_width] >= surelySubject;
      // Nearer than 0.85 and within 30 degrees of the screen's hue is a veil, smoke or a blur
      // over the screen as often as a subject: left to the plate's neighbours.
      const bool subject = far && (row[x] >= kOne * 85 / 100 || hueOff(x, y, 3));
      if (!subject && !(inside && offHueAndFlat(x, y))) continue;
      const int32_t d = std::min(row[x], 2 * kOne);
      m_subject.Add(x, y, &d);
    }
  }
  const int32_t plainSubject = kOne;
  m_subject.Finish(kPlateMinimum, &plainSubject);
  const bool autoSoftness = settings.m_softness == kAutoLevel;
  const int32_t fixedSoftness = autoSoftness ? 0 : Percent(settings.m_softness);
  const auto softnessAt = [&](int32_t x, int32_t y) {
    if (!autoSoftness) return fixedSoftness;
    // A little below the subject's mean, so that its own noise does not let the main through.
    return std::max(std::min(m_subject.Lowest(x, y) * 15 / 16, kOne * 5 / 4),
                    tolerance + Percent(10));
  };

  // Step 5: the matte, into the picture's alpha.
  for (int32_t y = 0; y < m_height; ++y) {
    const int32_t* row = m_distance.data() + size_t(y) * size_t(m_width);
    uint8_t* out = m_picture.data() + size_t(y) * size_t(m_width) * 4;
    for (int32_t x = 0; x < m_width; ++x) {
      const int32_t d = row[x];
      uint8_t alpha = 0;
      if (d > tolerance) {
        const int32_t softness = softnessAt(x, y);
        alpha = d >= softness ? 255
                              : ClampByte(RoundedDivide(int64_t{d - tolerance} * 255,
                                                        int64_t{softness} - tolerance));
      }
      out[4 * x + 3] = alpha;
    }
  }

  // How far each pixel lies from one that is not fully opaque, in city blocks (capped): along
  // each row both ways, then along each column both ways, whole rows at a time.
  const uint8_t far = kSpillReach + 1;
  for (int32_t y = 0; y < m_height; ++y) {
    uint8_t* reach = &m_reach[size_t(y) * width];
    const uint8_t* picture = &m_picture[size_t(y) * width * 4];
    uint8_t run = far;
    for (int32_t x = 0; x < m_width; ++x) {
      run = picture[4 * x + 3] < 255 ? 0 : std::min<uint8_t>(run + 1, far);
      reach[x] = run;
    }
    run = far;
    for (int32_t x = m_width - 1; x >= 0; --x) {
      run = std::min<uint8_t>(reach[x], std::min<uint8_t>(run + 1, far));
      reach[x] = run;
    }
  }
  for (int32_t y = 1; y < m_height; ++y) {
    uint8_t* reach = &m_reach[size_t(y) * width];
    const uint8_t* above = reach - width;
    for (int32_t x = 0; x < m_width; ++x) reach[x] = std::min<uint8_t>(reach[x], above[x] + 1);
  }
  for (int32_t y = m_height - 2; y >= 0; --y) {
    uint8_t* reach = &m_reach[size_t(y) * width];
    const uint8_t* below = reach + width;
    for (int32_t x = 0; x < m_width; ++x) reach[x] = std::min<uint8_t>(reach[x], below[x] + 1);
  }

  // Steps 6 to 8: the foreground, its spill, and the layer's own alpha.
  for (int32_t y = 0; y < m_height; ++y) {
    uint8_t* out = m_picture.data() + size_t(y) * size_t(m_width) * 4;
    for (int32_t x = 0; x < m_width; ++x, out += 4) {
      const uint8_t* p = pixel(x, y);
      const int64_t alpha = out[3];
      if (alpha == 0) {
        out[0] = out[1] = out[2] = 0;
        continue;
      }
      int32_t plate[3];
      plateAt(x, y, plate);
      int64_t f[3] = {p[2], p[1], p[0]};
      if (alpha < 255) {
        for (int c = 0; c < 3; ++c) {
          const int64_t n = 255 * f[c] - (255 - alpha) * plate[c];
          f[c] = n <= 0 ? 0 : std::min<int64_t>(255, RoundedDivide(n, alpha));
        }
      }
      const uint8_t reach = m_reach[size_t(y) * size_t(m_width) + size_t(x)];
      if (reach <= kSpillReach && settings.m_despill > 0) {
        const CChroma s = ChromaOf(plate[0], plate[1], plate[2]);
        const int64_t norm = ScreenNorm(s);
        // The screen's share beyond the subject's own, as a part of the pixel: the cast.
        const int64_t subject = m_subject.Highest(x, y);  // the subject's d; its share 1 - d
        if (norm > 0 && subject > 0) {
          const int64_t share =
              ScreenShare(ChromaOf(int32_t(f[0]), int32_t(f[1]), int32_t(f[2])), s) * kOne / norm;
          int64_t cast = std::min<int64_t>((share - (kOne - subject)) * kOne / subject, kOne / 2);
          if (cast > 0) {
            cast = RoundedDivide(cast * settings.m_despill * (kSpillReach + 1 - reach),
                                 int64_t{100} * (kSpillReach + 1));
            for (int c = 0; c < 3; ++c) {
              const int64_t n = kOne * f[c] - cast * plate[c];
              f[c] = n <= 0 ? 0 : std::min<int64_t>(255, RoundedDivide(n, kOne - cast));
            }
          }
        }
      }
      out[0] = uint8_t(f[2]);
      out[1] = uint8_t(f[1]);
      out[2] = uint8_t(f[0]);
      if (layerAlpha && m_fromAlpha) out[3] = uint8_t((alpha * p[3] + 127) / 255);
    }
  }
}

const char* MatteCountFormat() {
  return "matte: %lld transparent, %lld partly transparent, %lld opaque top pixels";
}

CMatteCount CScreenKeyer::Count() const {
  CMatteCount count;
  for (size_t i = 3; i < m_picture.size(); i += 4) {
    const uint8_t a = m_picture[i];
    if (a == 0) {
      ++count.m_transparent;
    } else if (a == 255) {
      ++count.m_opaque;
    } else {
      ++count.m_partial;
    }
  }
  return count;
}

}  // namespace corvane
