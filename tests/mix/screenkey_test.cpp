// The screen keyer on frames whose matte is known: an unevenly lit green screen (a gradient and
// a cast shadow) behind bands of skin, grey, dark hair, yellow-green and teal with a soft edge.
// Checked against the truth, not against the keyer's own arithmetic: the screen keys out, the
// subject stays whole and untouched, soft edges come back without a green rim, and the picture
// laid on every instruction path is the one the plain path gives.
#include "mix/screenkey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "mix/composite.h"

namespace corvane {
namespace {

constexpr int kWidth = 224;
constexpr int kHeight = 96;
constexpr int kSubjectLeft = 40;  // the soft edge ramps up over the 8 columns before it
constexpr int kSubjectTop = 24;
constexpr int kSubjectBottom = 72;
constexpr int kBand = 32;
constexpr int kRamp = 8;

struct CColour {
  double r, g, b;
};
constexpr CColour kBands[] = {{200, 150, 120}, {128, 128, 128}, {32, 26, 22},
                              {154, 205, 50},  {0, 128, 128},   {200, 150, 120}};

// The screen: a green whose brightness falls to the right, with a soft shadow in the top left.
CColour ScreenAt(int x, int y) {
  const double shadow =
      std::clamp((40.0 - x) / 24, 0.0, 1.0) * std::clamp((56.0 - y) / 24, 0.0, 1.0);
  const double light = (1.0 - 0.3 * x / kWidth) * (1.0 - 0.4 * shadow);
  return {0, 177 * light, 64 * light};
}

double TrueAlpha(int x, int y) {
  if (y < kSubjectTop || y >= kSubjectBottom || x >= kSubjectLeft + 5 * kBand) return 0.0;
  if (x >= kSubjectLeft) return 1.0;
  const double ramp = (x - (kSubjectLeft - kRamp) + 0.5) / kRamp;
  return std::clamp(ramp, 0.0, 1.0);
}

CColour SubjectAt(int x) {
  return kBands[std::clamp((x - kSubjectLeft) / kBand, 0, 5)];
}

// The frame as a 24-bit Frame buffer: row y of the picture is memory row kHeight - 1 - y.
std::vector<uint8_t> MakeFrame() {
  std::vector<uint8_t> frame(size_t(FrameStride(kWidth)) * kHeight, 0);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = frame.data() + size_t(kHeight - 1 - y) * FrameStride(kWidth);
    for (int x = 0; x < kWidth; ++x) {
      const double a = TrueAlpha(x, y);
      const CColour s = ScreenAt(x, y);
      const CColour f = SubjectAt(x);
      row[3 * x + 2] = uint8_t(std::lround(a * f.r + (1 - a) * s.r));
      row[3 * x + 1] = uint8_t(std::lround(a * f.g + (1 - a) * s.g));
      row[3 * x + 0] = uint8_t(std::lround(a * f.b + (1 - a) * s.b));
    }
  }
  return frame;
}

const uint8_t* PixelOf(const uint8_t* picture, int x, int y) {
  return picture + (size_t(kHeight - 1 - y) * kWidth + size_t(x)) * 4;
}

TEST(ScreenKeyerTest, KeysAnUnevenScreenAndKeepsTheSubjectWhole) {
  const std::vector<uint8_t> frame = MakeFrame();
  CScreenKeyer keyer;
  ASSERT_TRUE(keyer.Setup(kWidth, kHeight, false));
  keyer.Key(frame.data(), CRgb{0, 177, 64}, CKeyerSettings{EKeyer::kScreen}, false);
  int screenMisses = 0;
  int64_t screenOpacity = 0;
  int64_t screenPixels = 0;
  int subjectMisses = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* p = PixelOf(keyer.Picture(), x, y);
      const bool nearSubject = x >= kSubjectLeft - kRamp - 2 && x < kSubjectLeft + 5 * kBand + 2 &&
                               y >= kSubjectTop - 2 && y < kSubjectBottom + 2;
      if (!nearSubject) {
        screenOpacity += p[3];
        ++screenPixels;
        if (p[3] > 32) ++screenMisses;
      }
      // Well inside the subject (beyond the spill's reach): opaque and its colour as it was.
      const bool inside = x >= kSubjectLeft + 8 && x < kSubjectLeft + 5 * kBand - 8 &&
                          y >= kSubjectTop + 8 && y < kSubjectBottom - 8;
      if (inside) {
        const uint8_t* source =
            frame.data() + size_t(kHeight - 1 - y) * FrameStride(kWidth) + 3 * x;
        if (p[3] != 255 || p[0] != source[0] || p[1] != source[1] || p[2] != source[2])
          ++subjectMisses;
      }
    }
  }
  // The plate follows the shadow's soft edge closely but not exactly: at most a trace there.
  EXPECT_EQ(screenMisses, 0) << "screen pixels (the shadow and the dark side included) kept";
  EXPECT_LE(double(screenOpacity) / double(screenPixels), 0.5);
  EXPECT_EQ(subjectMisses, 0) << "subject pixels (teal and yellow-green included) changed";
  const CMatteCount count = keyer.Count();
  EXPECT_EQ(count.m_transparent + count.m_partial + count.m_opaque, int64_t{kWidth} * kHeight);
}

TEST(ScreenKeyerTest, SoftEdgesComeBackWithoutAGreenRim) {
  const std::vector<uint8_t> frame = MakeFrame();
  CScreenKeyer keyer;
  ASSERT_TRUE(keyer.Setup(kWidth, kHeight, false));
  keyer.Key(frame.data(), CRgb{0, 177, 64}, CKeyerSettings{EKeyer::kScreen}, false);
  // Laid over magenta, every edge pixel should look like the skin band over magenta at its
  // true alpha; a keyer that leaves the screen's share in the colour shows green there.
  const CColour back{255, 0, 255};
  double worst = 0.0;
  double total = 0.0;
  int64_t counted = 0;
  double greenExcess = 0.0;
  for (int y = kSubjectTop + 2; y < kSubjectBottom - 2; ++y) {
    for (int x = kSubjectLeft - kRamp; x < kSubjectLeft; ++x) {
      const uint8_t* p = PixelOf(keyer.Picture(), x, y);
      const double a = TrueAlpha(x, y);
      const double got = p[3] / 255.0;
      const CColour f = SubjectAt(kSubjectLeft);
      const double truth[3] = {a * f.b + (1 - a) * back.b, a * f.g + (1 - a) * back.g,
                               a * f.r + (1 - a) * back.r};
      const double back3[3] = {back.b, back.g, back.r};
      for (int c = 0; c < 3; ++c) {
        const double laid = got * p[c] + (1 - got) * back3[c];
        worst = std::max(worst, std::abs(laid - truth[c]));
        total += std::abs(laid - truth[c]);
        ++counted;
      }
      if (p[3] > 0) greenExcess = std::max(greenExcess, double(p[1]) - std::max(p[0], p[2]));
    }
  }
  // A keyer that only keys, leaving C as the colour, is off by (1 - a) * |S - B| here: some
  // 90 levels on average and up to 230. What remains is the matte's own error where the
  // skin's edge is taken as more opaque than it is.
  EXPECT_LE(total / double(counted), 24.0);
  EXPECT_LE(worst, 80.0);
  EXPECT_LE(greenExcess, 0.0) << "the recovered skin has more green than red or blue";
}

// A screen colour for every hue family a user shoots on, and a frame with none.
TEST(ScreenKeyerTest, EstimatesTheScreenColourOfGreenAndBlueScreens) {
  struct CCase {
    CRgb m_screen;
    bool m_found;
  };
  const CCase cases[] = {
      {{0, 177, 64}, true}, {{0, 71, 187}, true}, {{60, 200, 30}, true}, {{128, 128, 128}, false}};
  for (const CCase& c : cases) {
    std::vector<uint8_t> frame(size_t(FrameStride(64)) * 48, 0);
    for (int y = 0; y < 48; ++y) {
      for (int x = 0; x < 64; ++x) {
        uint8_t* p = frame.data() + size_t(y) * FrameStride(64) + 3 * x;
        // A skin-coloured subject over the screen; the grey "screen" leaves it the only
        // saturated colour, on a tenth of the frame: no screen there.
        const bool subject = x >= 24 && x < 40 && y >= 30;
        // +-3 of noise, a pattern that keeps the median at the colour itself.
        const int noise = (x * 7 + y * 13) % 7 - 3;
        p[2] = subject ? 200 : uint8_t(std::clamp(c.m_screen.m_red + noise, 0, 255));
        p[1] = subject ? 150 : uint8_t(std::clamp(c.m_screen.m_green + noise, 0, 255));
        p[0] = subject ? 120 : uint8_t(std::clamp(c.m_screen.m_blue + noise, 0, 255));
      }
    }
    const std::optional<CRgb> found =
        EstimateScreenColour(frame.data(), 64, 48, FrameStride(64), false);
    ASSERT_EQ(found.has_value(), c.m_found)
        << int(c.m_screen.m_red) << "," << int(c.m_screen.m_green);
    if (!found) continue;
    EXPECT_NEAR(found->m_red, c.m_screen.m_red, 3);
    EXPECT_NEAR(found->m_green, c.m_screen.m_green, 3);
    EXPECT_NEAR(found->m_blue, c.m_screen.m_blue, 3);
  }
}

TEST(ScreenKeyerTest, SettingsOutOfRangeOrCrossedAreRefused) {
  struct CCase {
    CKeyerSettings m_settings;
    bool m_ok;
  };
  const CCase cases[] = {
      {{EKeyer::kScreen, false, kAutoLevel, kAutoLevel, 100}, true},
      {{EKeyer::kScreen, true, 10, 60, 0}, true},
      {{EKeyer::kScreen, false, 60, 60, 100}, false},
      {{EKeyer::kScreen, false, 101, kAutoLevel, 100}, false},
      {{EKeyer::kScreen, false, kAutoLevel, -2, 100}, false},
      {{EKeyer::kScreen, false, kAutoLevel, kAutoLevel, 101}, false},
      {{EKeyer::kExact, true, kAutoLevel, kAutoLevel, 100}, false},
  };
  for (const CCase& c : cases) {
    EXPECT_EQ(*KeyerSettingsError(c.m_settings) == '\0', c.m_ok)
        << c.m_settings.m_tolerance << " " << c.m_settings.m_softness << " "
        << c.m_settings.m_despill;
  }
}

// The keyed picture is laid on by the layer-alpha rule: with fades, in the alpha mix and with
// the layer's own alpha, every instruction path gives the bytes the plain path gives, and the
// plain path gives what the rule says for each pixel.
class ScreenKeyPathTest : public ::testing::TestWithParam<ECompositePath> {
 protected:
  void TearDown() override { LimitCompositePath(ECompositePath::kBest); }
};

TEST_P(ScreenKeyPathTest, EveryPathLaysTheKeyedPictureAsThePlainRule) {
  // A 32-bit top frame with its own alpha, so that the matte and the layer's alpha combine.
  std::vector<uint8_t> top(size_t(kWidth) * kHeight * 4);
  const std::vector<uint8_t> frame = MakeFrame();
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* s = frame.data() + size_t(y) * FrameStride(kWidth) + 3 * x;
      uint8_t* t = top.data() + (size_t(y) * kWidth + x) * 4;
      std::copy(s, s + 3, t);
      t[3] = uint8_t(x * 255 / (kWidth - 1));
    }
  }
  const int mainWidth = kWidth + 20;
  const int mainHeight = kHeight + 10;
  std::vector<uint8_t> main(size_t(FrameStride(mainWidth)) * mainHeight);
  for (size_t i = 0; i < main.size(); ++i) main[i] = uint8_t(i * 131 + (i >> 7));

  CScreenKeyer keyer;
  ASSERT_TRUE(keyer.Setup(kWidth, kHeight, true));
  CKeyerSettings settings{EKeyer::kScreen};
  settings.m_despill = 60;
  keyer.Key(top.data(), CRgb{0, 177, 64}, settings, true);

  for (const bool alphaMix : {false, true}) {
    for (const double fade : {1.0, 0.4}) {
      CMixRule rule;
      rule.m_alpha = alphaMix;
      rule.m_alphaLevel = 77;
      rule.m_left = 13;
      rule.m_top = 5;
      rule.m_layerAlpha = true;
      rule.m_keying = settings;
      CLayerFrame layer{keyer.Picture(), kWidth, kHeight, true, fade};
      std::vector<uint8_t> plain = main;
      LimitCompositePath(ECompositePath::kPlain);
      ApplyMixRule(rule, layer, plain.data(), mainWidth, mainHeight);
      std::vector<uint8_t> fast = main;
      LimitCompositePath(GetParam());
      ApplyMixRule(rule, layer, fast.data(), mainWidth, mainHeight);
      ASSERT_EQ(plain, fast) << "alpha mix " << alphaMix << ", fade " << fade;
      // The plain path against the written rule, pixel by pixel.
      for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
          const uint8_t* t = keyer.Picture() + (size_t(y) * kWidth + x) * 4;
          const size_t at =
              size_t(y + mainHeight - kHeight - 5) * FrameStride(mainWidth) + size_t(x + 13) * 3;
          for (int c = 0; c < 3; ++c) {
            const uint8_t want = FadedChannel(t[c], main[at + c], t[3], alphaMix, 77, fade);
            ASSERT_EQ(plain[at + c], want) << x << "," << y;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ScreenKeyPathTest,
                         ::testing::Values(ECompositePath::kPlain, ECompositePath::kSse41,
                                           ECompositePath::kAvx2, ECompositePath::kBest));

// The None keyer keys nothing: a top pixel of the key colour covers the main video in the
// colour-key mix and is blended in the alpha mix with transparency on.
TEST(ScreenKeyerTest, TheNoneKeyerLaysKeyColouredPixelsToo) {
  const uint8_t key[3] = {0, 255, 0};  // blue, green, red
  std::vector<uint8_t> top(size_t(FrameStride(4)) * 2);
  for (int i = 0; i < 8; ++i)
    std::copy(key, key + 3, top.begin() + (i / 4) * FrameStride(4) + (i % 4) * 3);
  for (const bool alphaMix : {false, true}) {
    std::vector<uint8_t> out(size_t(FrameStride(4)) * 2, 100);
    CMixRule rule;
    rule.m_alpha = alphaMix;
    rule.m_useTransparency = 1;
    rule.m_alphaLevel = 0;  // the top layer alone
    rule.m_key = PackKeyColour(0, 255, 0);
    rule.m_keying.m_keyer = EKeyer::kNone;
    ApplyMixRule(rule, out.data(), 4, 2, top.data(), 4, 2);
    EXPECT_EQ(out[1], 255) << "alpha mix " << alphaMix;
    rule.m_keying.m_keyer = EKeyer::kExact;
    std::fill(out.begin(), out.end(), 100);
    ApplyMixRule(rule, out.data(), 4, 2, top.data(), 4, 2);
    EXPECT_EQ(out[1], 100) << "alpha mix " << alphaMix;
  }
}

}  // namespace
}  // namespace corvane

#include "media/avifile.h"
#include "mix/mixpreview.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

PAVISTREAM FirstVideo(const std::string& path, PAVIFILE& file) {
  PAVISTREAM stream;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, file) == AVIERR_OK)
    file->GetStream(stream, streamtypeVIDEO, 0);
  return stream;
}

// The preview keys a top frame once and lays that picture again while only the main frame
// changes; whatever changes (the top frame, the key, the levels), it shows what a preview opened
// afresh shows.
TEST(ScreenKeyPreviewTest, AKeptKeyedPictureIsAlwaysTheOneAFreshPreviewMakes) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the clips";
  test::CTempDir dir;
  const std::string main = dir.Path("main.mkv");
  const std::string top = dir.Path("top.mp4");
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=s=96x64:r=25:d=0.32 "
                             "-c:v ffv1 -y " +
                             test::ShellQuote(main))
                .m_exitCode,
            0);
  // A square that moves across a noisy green screen, so that every top frame keys differently.
  ASSERT_EQ(
      test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i "
                       "color=c=0x00B140:s=64x48:r=12.5:d=0.32,format=rgb24,drawbox=x='4+t*60':"
                       "y=10:w=20:h=20:c=0xC89678:t=fill,noise=alls=6:allf=t -c:v libx264 "
                       "-pix_fmt yuv420p -y " +
                       test::ShellQuote(top))
          .m_exitCode,
      0);
  PAVIFILE mainFile, topFile;
  const PAVISTREAM mainStream = FirstVideo(main, mainFile);
  const PAVISTREAM topStream = FirstVideo(top, topFile);
  ASSERT_TRUE(mainStream && topStream);
  CMixPreview kept;
  ASSERT_TRUE(kept.Open(mainStream, topStream));

  CMixRule green;
  green.m_key = PackKeyColour(0, 177, 64);
  green.m_keying.m_keyer = EKeyer::kScreen;
  green.m_left = 10;
  CMixRule tight = green;
  tight.m_keying.m_tolerance = 20;
  tight.m_keying.m_softness = 40;
  CMixRule other = green;
  other.m_key = PackKeyColour(20, 150, 80);
  CPlacement half;
  half.m_scale.m_kind = CScale::EKind::kPercent;
  half.m_scale.m_percent = 50;
  const struct {
    int32_t m_frame;
    const CMixRule* m_rule;
    const CPlacement* m_placement;
  } steps[] = {{0, &green, nullptr}, {1, &green, nullptr}, {1, &tight, nullptr},
               {5, &tight, nullptr}, {5, &other, nullptr}, {6, &other, &half},
               {7, &green, &half},   {7, &green, nullptr}};
  for (const auto& step : steps) {
    const CPlacement placement = step.m_placement ? *step.m_placement : CPlacement{};
    ASSERT_TRUE(kept.Render(step.m_frame, *step.m_rule, placement)) << step.m_frame;
    CMixPreview fresh;
    ASSERT_TRUE(fresh.Open(mainStream, topStream));
    ASSERT_TRUE(fresh.Render(step.m_frame, *step.m_rule, placement));
    const size_t bytes = size_t(FrameStride(kept.Width())) * size_t(kept.Height());
    EXPECT_TRUE(std::equal(kept.Composite(), kept.Composite() + bytes, fresh.Composite()))
        << "frame " << step.m_frame;
    const CMatteCount a = kept.MatteCount();
    const CMatteCount b = fresh.MatteCount();
    EXPECT_TRUE(a.m_transparent == b.m_transparent && a.m_partial == b.m_partial &&
                a.m_opaque == b.m_opaque)
        << "frame " << step.m_frame;
  }
}

}  // namespace
}  // namespace corvane
