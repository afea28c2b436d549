// The compositing rules against plain per-pixel references written here, independent of the
// fast paths: the reference checks bounds pixel by pixel and blends with the written formula.
#include "mix/composite.h"

// The reference blend must stay separate multiplies and an add, whatever the target.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace {

constexpr double kK = std::bit_cast<double>(uint64_t{0x3F70101010101010});
constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// A Frame buffer with guard bytes on both sides, addressed by picture rows (0 = top).
class CFrame {
 public:
  CFrame(int32_t width, int32_t height)
      : m_width(width),
        m_height(height),
        m_stride(((width * 24 + 31) >> 3) & ~3),
        m_bytes(kGuardBytes * 2 + size_t(m_stride) * height, kGuard) {}

  uint8_t* Data() { return m_bytes.data() + kGuardBytes; }
  const uint8_t* Data() const { return m_bytes.data() + kGuardBytes; }
  uint8_t* Pixel(int32_t x, int32_t yFromTop) {
    return Data() + size_t(m_height - 1 - yFromTop) * m_stride + 3 * x;
  }
  void Fill(std::mt19937& rng) {
    for (size_t i = 0; i < size_t(m_stride) * m_height; ++i) Data()[i] = uint8_t(rng());
  }
  void SetPixel(int32_t x, int32_t y, uint8_t b, uint8_t g, uint8_t r) {
    uint8_t* p = Pixel(x, y);
    p[0] = b;
    p[1] = g;
    p[2] = r;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (m_bytes[i] != kGuard || m_bytes[m_bytes.size() - 1 - i] != kGuard) return false;
    }
    return true;
  }
  std::vector<uint8_t> Bytes() const { return {Data(), Data() + size_t(m_stride) * m_height}; }

  int32_t m_width, m_height, m_stride;

 private:
  std::vector<uint8_t> m_bytes;
};

uint8_t ReferenceBlend(uint8_t t, uint8_t m, double alpha) {
  const double s = alpha * kK;
  const double a = 1.0 - s;
  const double p = t * a;
  const double q = m * s;
  const double v = p + q;
  return uint8_t(int(v));
}

// Per-pixel reference of both rules: every top pixel whose landing spot is inside the main
// picture is keyed or blended there.
void ReferenceComposite(CFrame& out, CFrame& topFrame, int32_t left, int32_t top, uint32_t key,
                        bool alphaRule, bool keyed, double alpha) {
  for (int32_t y = 0; y < topFrame.m_height; ++y) {
    for (int32_t x = 0; x < topFrame.m_width; ++x) {
      const int64_t ox = int64_t{left} + x, oy = int64_t{top} + y;
      if (ox < 0 || oy < 0 || ox >= out.m_width || oy >= out.m_height) continue;
      const uint8_t* t = topFrame.Pixel(x, y);
      uint8_t* o = out.Pixel(int32_t(ox), int32_t(oy));
      const bool isKey = uint32_t(t[2] | t[1] << 8 | t[0] << 16) == key;
      if (!alphaRule) {
        if (!isKey) std::memcpy(o, t, 3);
      } else if (!(keyed && isKey)) {
        for (int c = 0; c < 3; ++c) o[c] = ReferenceBlend(t[c], o[c], alpha);
      }
    }
  }
}

// Tests run on every code path of the rules (on a processor that lacks a path, the widest it
// has stands in).
class CompositePathTest : public ::testing::TestWithParam<ECompositePath> {
 protected:
  void SetUp() override { LimitCompositePath(GetParam()); }
  void TearDown() override { LimitCompositePath(ECompositePath::kBest); }
};

std::string PathName(const ::testing::TestParamInfo<ECompositePath>& info) {
  static const char* const kNames[] = {"Plain", "Sse41", "Avx2", "Avx512", "Best"};
  return kNames[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, CompositePathTest,
                         ::testing::Values(ECompositePath::kPlain, ECompositePath::kSse41,
                                           ECompositePath::kAvx2, ECompositePath::kBest),
                         PathName);

// ---- PackKeyColour and the colour-key rule

TEST(CompositeKeyTest, PackKeyColourPutsRedLowAndKeepsEightBitsPerChannel) {
  EXPECT_EQ(PackKeyColour(0x12, 0x34, 0x56), 0x563412u);
  EXPECT_EQ(PackKeyColour(256, 300, 0x1FF), 0xFF2C00u);
}

TEST(CompositeKeyTest, OnlyAnExactKeyPixelIsTransparent) {
  CFrame out(8, 1), topFrame(8, 1);
  std::memset(out.Data(), 0x77, size_t(out.m_stride));
  const uint8_t pixels[8][3] = {{0x56, 0x34, 0x12}, {0x57, 0x34, 0x12}, {0x56, 0x33, 0x12},
                                {0x56, 0x34, 0x13}, {0x56, 0x34, 0x12}, {0x12, 0x34, 0x56},
                                {0, 0, 0},          {0x56, 0x34, 0x12}};
  for (int x = 0; x < 8; ++x) topFrame.SetPixel(x, 0, pixels[x][0], pixels[x][1], pixels[x][2]);

  CompositeColourKey(out.Data(), 8, 1, topFrame.Data(), 8, 1, 0, 0,
                     PackKeyColour(0x12, 0x34, 0x56));

  for (int x = 0; x < 8; ++x) {
    const bool key = x == 0 || x == 4 || x == 7;
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(out.Pixel(x, 0)[c], key ? 0x77 : pixels[x][c]) << "pixel " << x << " byte " << c;
    }
  }
}

// The key is compared in all 32 bits: one with bits above the colour (here black's, 0x00000000,
// with bit 24 set) keys no pixel, black ones included, in either rule.
TEST_P(CompositePathTest, AKeyWithBitsAboveTheColourMatchesNoPixel) {
  std::mt19937 rng(3);
  CFrame out(67, 5), topFrame(67, 5);
  topFrame.Fill(rng);
  for (int x = 0; x < 67; x += 3) topFrame.SetPixel(x, 2, 0, 0, 0);
  for (const bool alphaRule : {false, true}) {
    out.Fill(rng);
    CFrame expected = out;
    ReferenceComposite(expected, topFrame, 0, 0, 0xFFFFFFFFu, alphaRule, false, 0.0);
    if (alphaRule) {
      CompositeAlpha(out.Data(), 67, 5, topFrame.Data(), 67, 5, 0, 0, 0x01000000u, 1, 0.0);
    } else {
      CompositeColourKey(out.Data(), 67, 5, topFrame.Data(), 67, 5, 0, 0, 0x01000000u);
    }
    EXPECT_EQ(out.Bytes(), expected.Bytes()) << (alphaRule ? "alpha rule" : "colour key");
  }
}

TEST_P(CompositePathTest, SameSizeWithUnusedKeyCopiesTheTopFrameAndKeepsPadding) {
  std::mt19937 rng(1);
  CFrame out(321, 7), topFrame(321, 7);
  out.Fill(rng);
  topFrame.Fill(rng);
  const auto before = out.Bytes();
  const auto topBytes = topFrame.Bytes();

  CompositeColourKey(out.Data(), 321, 7, topFrame.Data(), 321, 7, 0, 0, 0x01000000);

  ASSERT_EQ(out.m_stride, 964);
  const auto after = out.Bytes();
  for (int32_t row = 0; row < 7; ++row) {
    for (int32_t b = 0; b < 964; ++b) {
      const size_t i = size_t(row) * 964 + b;
      EXPECT_EQ(after[i], b < 963 ? topBytes[i] : before[i]) << "row " << row << " byte " << b;
    }
  }
}

TEST(CompositeKeyTest, PlacementLandsTopRowsAtTheirPictureRows) {
  CFrame out(320, 240), topFrame(100, 50);
  std::memset(out.Data(), 0, out.Bytes().size());
  for (int32_t y = 0; y < 50; ++y) {
    for (int32_t x = 0; x < 100; ++x) topFrame.SetPixel(x, y, uint8_t(x), uint8_t(y), 200);
  }

  CompositeColourKey(out.Data(), 320, 240, topFrame.Data(), 100, 50, 10, 20, 0);

  // Top memory row 49 (its top row) lands on output memory row 219; memory row 0 on 170.
  const uint8_t* topLeft = out.Data() + 219 * 960 + 3 * 10;
  const uint8_t* bottomLeft = out.Data() + 170 * 960 + 3 * 10;
  EXPECT_EQ(topLeft[1], 0);
  EXPECT_EQ(topLeft[2], 200);
  EXPECT_EQ(bottomLeft[1], 49);
  EXPECT_EQ(out.Pixel(109, 69)[0], 99);
  EXPECT_EQ(out.Pixel(110, 69)[2], 0);  // one column right of the layer: untouched
  EXPECT_EQ(out.Pixel(10, 70)[2], 0);   // one row below: untouched
  EXPECT_EQ(out.Pixel(9, 20)[2], 0);
  EXPECT_EQ(out.Pixel(10, 19)[2], 0);
}

// Random sizes (widths off multiples of four), offsets inside, across and outside every
// edge, and top frames with many key pixels: both rules equal the per-pixel reference,
// padding included, and nothing is written outside the output frame.
TEST_P(CompositePathTest, EveryPlacementMatchesThePerPixelReference) {
  std::mt19937 rng(42);
  const double alphas[] = {0.0, 1.0, 77.25, 128.0, 255.0};
  for (int round = 0; round < 600; ++round) {
    // Every third round: wide frames with long runs of key pixels.
    const bool wide = round % 3 == 0;
    const int32_t mw = 1 + int32_t(rng() % (wide ? 150 : 41)), mh = 1 + int32_t(rng() % 23);
    const int32_t tw = 1 + int32_t(rng() % (wide ? 160 : 45)), th = 1 + int32_t(rng() % 27);
    const int32_t left = int32_t(rng() % 100) - 50, top = int32_t(rng() % 60) - 30;
    const bool alphaRule = round % 2 == 1;
    const bool keyed = round % 4 == 1;
    const double alpha = alphas[round % 5];
    CFrame out(mw, mh), expected(mw, mh), topFrame(tw, th);
    out.Fill(rng);
    std::memcpy(expected.Data(), out.Data(), out.Bytes().size());
    topFrame.Fill(rng);
    for (int32_t y = 0; y < th; ++y) {
      for (int32_t x = 0; x < tw; ++x) {
        if (rng() % 100 < (wide ? 97u : 33u)) topFrame.SetPixel(x, y, 0, 255, 0);
      }
    }
    const uint32_t key = PackKeyColour(0, 255, 0);

    if (alphaRule) {
      CompositeAlpha(out.Data(), mw, mh, topFrame.Data(), tw, th, left, top, key, keyed ? 1 : 0,
                     alpha);
    } else {
      CompositeColourKey(out.Data(), mw, mh, topFrame.Data(), tw, th, left, top, key);
    }
    ReferenceComposite(expected, topFrame, left, top, key, alphaRule, keyed, alpha);

    ASSERT_EQ(out.Bytes(), expected.Bytes())
        << "main " << mw << "x" << mh << " top " << tw << "x" << th << " at " << left << "," << top
        << (alphaRule ? " alpha" : " key");
    ASSERT_TRUE(out.GuardsIntact());
  }
}

TEST(CompositeClipTest, ExtremeOffsetsAndEmptyFramesChangeNothing) {
  std::mt19937 rng(7);
  CFrame out(5, 3), topFrame(5, 3);
  out.Fill(rng);
  topFrame.Fill(rng);
  const auto before = out.Bytes();
  const int32_t far[][2] = {{INT32_MIN, 0}, {INT32_MAX, 0}, {0, INT32_MIN}, {0, INT32_MAX},
                            {5, 0},         {-5, 0},        {0, 3},         {0, -3}};

  for (const auto& at : far) {
    CompositeColourKey(out.Data(), 5, 3, topFrame.Data(), 5, 3, at[0], at[1], 0x01000000);
    CompositeAlpha(out.Data(), 5, 3, topFrame.Data(), 5, 3, at[0], at[1], 0, 0, 10.0);
  }
  CompositeColourKey(out.Data(), 5, 3, topFrame.Data(), 0, 3, 0, 0, 0x01000000);
  CompositeColourKey(out.Data(), 5, 3, topFrame.Data(), 5, -1, 0, 0, 0x01000000);
  CompositeAlpha(out.Data(), 5, 3, topFrame.Data(), -4, 3, 0, 0, 0, 0, 10.0);

  EXPECT_EQ(out.Bytes(), before);
  EXPECT_TRUE(out.GuardsIntact());
}

// ---- The alpha rule

// Every (top, main) byte pair on each channel: blue (y, x), green (x, y), red (x + y, x).
void ExpectAllPairsExact(double alpha) {
  CFrame out(256, 256), topFrame(256, 256);
  for (int32_t y = 0; y < 256; ++y) {
    for (int32_t x = 0; x < 256; ++x) {
      topFrame.SetPixel(x, y, uint8_t(y), uint8_t(x), uint8_t(x + y));
      out.SetPixel(x, y, uint8_t(x), uint8_t(y), uint8_t(x));
    }
  }

  CompositeAlpha(out.Data(), 256, 256, topFrame.Data(), 256, 256, 0, 0, 0x01000000, 0, alpha);

  int mismatches = 0;
  for (int32_t y = 0; y < 256; ++y) {
    for (int32_t x = 0; x < 256; ++x) {
      const uint8_t* p = out.Pixel(x, y);
      const uint8_t want[3] = {ReferenceBlend(uint8_t(y), uint8_t(x), alpha),
                               ReferenceBlend(uint8_t(x), uint8_t(y), alpha),
                               ReferenceBlend(uint8_t(x + y), uint8_t(x), alpha)};
      for (int c = 0; c < 3; ++c) {
        if (p[c] != want[c] && ++mismatches <= 5) {
          ADD_FAILURE() << "alpha " << alpha << " pixel " << x << "," << y << " channel " << c
                        << ": " << int(p[c]) << " want " << int(want[c]);
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "alpha " << alpha;
}

TEST_P(CompositePathTest, AllByteRangesEqualTheFormulaAtFixedLevels) {
  for (const double alpha : {0.0, 1.0, 127.5, 128.0, 254.0, 255.0}) ExpectAllPairsExact(alpha);
}

TEST_P(CompositePathTest, AllByteRangesEqualTheFormulaAtEveryWholeLevel) {
  // Whole levels take the fast forms: no wrong pair, one or two put right as constants, or
  // the margin test; each level is checked on every pair.
  for (int alpha = 0; alpha <= 255; ++alpha) ExpectAllPairsExact(alpha);
}

TEST_P(CompositePathTest, AllByteRangesEqualTheFormulaAtRandomLevels) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> level(0.0, 255.0);
  for (int i = 0; i < 5; ++i) ExpectAllPairsExact(level(rng));
  ExpectAllPairsExact(0.0);  // back to a level used before: no stale results
}

TEST(CompositeAlphaTest, KnownValuesTruncateTowardZero) {
  struct {
    double alpha;
    uint8_t t, m, want;
  } const cases[] = {{128, 255, 0, 127}, {128, 0, 255, 128}, {127.5, 200, 100, 150},
                     {254, 255, 0, 0},   {1, 1, 0, 0},       {0, 13, 200, 13},
                     {255, 13, 200, 200}};
  for (const auto& c : cases) {
    CFrame out(1, 1), topFrame(1, 1);
    out.SetPixel(0, 0, c.m, c.m, c.m);
    topFrame.SetPixel(0, 0, c.t, c.t, c.t);

    CompositeAlpha(out.Data(), 1, 1, topFrame.Data(), 1, 1, 0, 0, 0x01000000, 0, c.alpha);

    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(out.Pixel(0, 0)[ch], c.want) << "alpha " << c.alpha << " t " << int(c.t);
    }
  }
}

TEST(CompositeAlphaTest, KeyPixelsStayUnblendedOnlyWhenTransparencyIsOne) {
  for (const uint8_t use : {uint8_t(0), uint8_t(1), uint8_t(2)}) {
    CFrame out(2, 1), topFrame(2, 1);
    out.SetPixel(0, 0, 100, 100, 100);
    out.SetPixel(1, 0, 100, 100, 100);
    topFrame.SetPixel(0, 0, 0, 255, 0);  // key
    topFrame.SetPixel(1, 0, 0, 254, 0);  // one step away

    CompositeAlpha(out.Data(), 2, 1, topFrame.Data(), 2, 1, 0, 0, PackKeyColour(0, 255, 0), use,
                   128.0);

    const uint8_t keyGreen = use == 1 ? 100 : ReferenceBlend(255, 100, 128.0);
    EXPECT_EQ(out.Pixel(0, 0)[1], keyGreen) << "use transparency " << int(use);
    EXPECT_EQ(out.Pixel(0, 0)[0], use == 1 ? 100 : ReferenceBlend(0, 100, 128.0));
    EXPECT_EQ(out.Pixel(1, 0)[1], ReferenceBlend(254, 100, 128.0));
  }
}

TEST(CompositeAlphaTest, LevelsOutsideTheRangeAreClampedAndNotANumberChangesNothing) {
  CFrame out(1, 1), topFrame(1, 1);
  out.SetPixel(0, 0, 10, 20, 30);
  topFrame.SetPixel(0, 0, 200, 210, 220);

  CompositeAlpha(out.Data(), 1, 1, topFrame.Data(), 1, 1, 0, 0, 0x01000000, 0, std::nan(""));
  CompositeAlpha(out.Data(), 1, 1, topFrame.Data(), 1, 1, 0, 0, 0x01000000, 0, 1e9);
  EXPECT_EQ(out.Pixel(0, 0)[2], 30);

  CompositeAlpha(out.Data(), 1, 1, topFrame.Data(), 1, 1, 0, 0, 0x01000000, 0, -3.0);
  EXPECT_EQ(out.Pixel(0, 0)[0], 200);
  EXPECT_EQ(out.Pixel(0, 0)[2], 220);
}

// ---- The top layer's schedule

std::vector<int32_t> Reads(TopFrameCursor cursor, int frames) {
  std::vector<int32_t> reads;
  for (int i = 0; i < frames; ++i) {
    int32_t index = -99;
    reads.push_back(cursor.Step(index) ? index : -1);
  }
  return reads;
}

TEST(TopFrameCursorTest, LoopingRestartsWithoutRepeatingTheSeam) {
  EXPECT_EQ(Reads({0, 3, 0, 1}, 8), (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0, 1}));
  EXPECT_EQ(Reads({5, 7, 5, 1}, 5), (std::vector<int32_t>{5, 6, 5, 6, 5}));
}

TEST(TopFrameCursorTest, WithoutLoopingTheLastFrameIsReadOnce) {
  EXPECT_EQ(Reads({0, 3, 0, 0}, 6), (std::vector<int32_t>{0, 1, 2, -1, -1, -1}));
  EXPECT_EQ(Reads({0, 3, 0, 2}, 5), (std::vector<int32_t>{0, 1, 2, -1, -1}));  // 2 is not 1
}

TEST(TopFrameCursorTest, AStreamWithoutFramesIsNeverRead) {
  EXPECT_EQ(Reads({4, 4, 4, 1}, 3), (std::vector<int32_t>{-1, -1, -1}));
  EXPECT_EQ(Reads({4, 4, 4, 0}, 3), (std::vector<int32_t>{-1, -1, -1}));
}

// Top layers with presentation times follow the clock: on output frame N, the last picture that
// starts at or before N main frames' time (-1: the picture of the frame before stays).
TEST(TopFrameCursorTest, ATimedTopLayerShowsThePictureOfItsTime) {
  struct CCase {
    const char* m_name;
    std::vector<int64_t> m_starts;
    int64_t m_duration, m_unitNum, m_unitDen, m_mainScale, m_mainRate;
    int32_t m_start;
    uint8_t m_loop;
    std::vector<int32_t> m_reads;
  };
  const CCase cases[] = {
      {"10 fps over 25",
       {0, 1, 2, 3},
       4,
       1,
       10,
       1,
       25,
       0,
       0,
       {0, -1, -1, 1, -1, 2, -1, -1, 3, -1, -1, -1}},
      {"10 fps over 25, looped",
       {0, 1, 2, 3},
       4,
       1,
       10,
       1,
       25,
       0,
       1,
       {0, -1, -1, 1, -1, 2, -1, -1, 3, -1, 0, -1}},
      {"60 fps over 25",
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
       12,
       1,
       60,
       1,
       25,
       0,
       0,
       {0, 2, 4, 7, 9, 11, -1}},
      {"equal NTSC rates, from frame 2, looped",
       {0, 3003, 6006, 9009},
       12012,
       1,
       90000,
       1001,
       30000,
       2,
       1,
       {2, 3, 4, 5, 2, 3}},
      {"equal rates on a millisecond clock (rounded times)",
       {0, 33, 67, 100, 133, 167},
       200,
       1,
       1000,
       1,
       30,
       0,
       0,
       {0, 1, 2, 3, 4, 5, -1}},
      {"NTSC over NTSC on a millisecond clock",
       {0, 33, 67, 100, 133, 167},
       200,
       1,
       1000,
       1001,
       30000,
       0,
       0,
       {0, 1, 2, 3, 4, 5, -1}},
      {"variable picture times",
       {0, 10, 50},
       60,
       1,
       100,
       1,
       25,
       0,
       1,
       {0, -1, -1, 1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, -1, 0}},
  };
  for (const CCase& test : cases) {
    SCOPED_TRACE(test.m_name);
    auto times = std::make_shared<SPresentationTimes>();
    times->m_starts = test.m_starts;
    times->m_duration = test.m_duration;
    times->m_unitNum = test.m_unitNum;
    times->m_unitDen = test.m_unitDen;
    TopFrameCursor cursor{test.m_start, test.m_start + static_cast<int32_t>(test.m_starts.size()),
                          test.m_start, test.m_loop};
    cursor.times = times;
    cursor.mainScale = test.m_mainScale;
    cursor.mainRate = test.m_mainRate;
    EXPECT_EQ(Reads(cursor, static_cast<int>(test.m_reads.size())), test.m_reads);
  }
}

TEST(TopFrameCursorTest, NextAdvancesEveryFrameAndNeverWraps) {
  TopFrameCursor cursor{0, 2, 0, 0};
  int32_t index = 0;
  for (int i = 0; i < 5; ++i) cursor.Step(index);
  EXPECT_EQ(cursor.next, 5);

  TopFrameCursor last{0, 2, INT32_MAX - 1, 0};
  last.Step(index);
  last.Step(index);
  EXPECT_FALSE(last.Step(index));
  EXPECT_EQ(last.next, INT32_MAX);
}

}  // namespace
}  // namespace corvane
