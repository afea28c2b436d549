// The layer-alpha rule against its definition (test::LayerAlphaReference, the same one the mix
// tests use): every (alpha, top, main) triple at several levels on every code path, clipping with
// guard bytes, and A = 255 against the two existing rules. The same for a fading top layer
// (test::FadeReference), 24-bit and 32-bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mix/composite.h"
#include "mix/composite_x86.h"
#include "mixreference.h"

namespace corvane {
namespace {

constexpr uint8_t kGuard = 0x5A;
constexpr size_t kGuardBytes = 64;

// A frame of `bytesPerPixel` (3: Frame buffer rows padded to 4 bytes; 4: rows of 4 * width)
// with guard bytes on both sides, addressed by picture rows (0 = top).
class CFrame {
 public:
  CFrame(int32_t width, int32_t height, int32_t bytesPerPixel)
      : m_width(width),
        m_height(height),
        m_pixelBytes(bytesPerPixel),
        m_stride(bytesPerPixel == 4 ? width * 4 : ((width * 24 + 31) >> 3) & ~3),
        m_bytes(kGuardBytes * 2 + size_t(m_stride) * height, kGuard) {}

  uint8_t* Data() { return m_bytes.data() + kGuardBytes; }
  uint8_t* Pixel(int32_t x, int32_t yFromTop) {
    return Data() + size_t(m_height - 1 - yFromTop) * m_stride + size_t(m_pixelBytes) * x;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (m_bytes[i] != kGuard || m_bytes[m_bytes.size() - 1 - i] != kGuard) return false;
    }
    return true;
  }
  std::vector<uint8_t> Bytes() { return {Data(), Data() + size_t(m_stride) * m_height}; }

  int32_t m_width, m_height, m_pixelBytes, m_stride;

 private:
  std::vector<uint8_t> m_bytes;
};

class LayerAlphaPathTest : public ::testing::TestWithParam<ECompositePath> {
 protected:
  void SetUp() override { LimitCompositePath(GetParam()); }
  void TearDown() override { LimitCompositePath(ECompositePath::kBest); }
};

std::string PathName(const ::testing::TestParamInfo<ECompositePath>& info) {
  static const char* const kNames[] = {"Plain", "Sse41", "Avx2", "Avx512", "Best"};
  return kNames[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, LayerAlphaPathTest,
                         ::testing::Values(ECompositePath::kPlain, ECompositePath::kSse41,
                                           ECompositePath::kAvx2, ECompositePath::kBest),
                         PathName);

// Frames of 256 x 256: on each channel every (top, main) byte pair, blue (y, x), green (x, y),
// red (x + y, x), with a 32-bit top layer's alpha changing from pixel to pixel so that over 256
// frames every pair meets every alpha (a 24-bit top layer is A = 255). The key (12, 7, 5) is the
// colour of pixel (7, 5). `composite` lays the top frame with the key; `want` is the reference
// for (top, main, alpha). Returns the number of wrong bytes, the first few reported.
template <typename Composite, typename Want>
int Mismatches(int frames, int32_t topPixelBytes, bool keys, Composite composite, Want want,
               const std::string& what) {
  const uint32_t key = PackKeyColour(12, 7, 5);
  int mismatches = 0;
  for (int frame = 0; frame < frames && mismatches < 5; ++frame) {
    CFrame out(256, 256, 3), topFrame(256, 256, topPixelBytes);
    const auto alphaAt = [&](int32_t x, int32_t y) {
      return topPixelBytes == 4 ? uint8_t(x * 7 + y * 13 + frame) : uint8_t(255);
    };
    for (int32_t y = 0; y < 256; ++y) {
      for (int32_t x = 0; x < 256; ++x) {
        uint8_t* t = topFrame.Pixel(x, y);
        t[0] = uint8_t(y);
        t[1] = uint8_t(x);
        t[2] = uint8_t(x + y);
        if (topPixelBytes == 4) t[3] = alphaAt(x, y);
        uint8_t* m = out.Pixel(x, y);
        m[0] = uint8_t(x);
        m[1] = uint8_t(y);
        m[2] = uint8_t(x);
      }
    }
    composite(out.Data(), topFrame.Data(), key);
    for (int32_t y = 0; y < 256; ++y) {
      for (int32_t x = 0; x < 256; ++x) {
        const bool keyed = keys && x == 7 && y == 5;
        const uint8_t main[3] = {uint8_t(x), uint8_t(y), uint8_t(x)};
        const uint8_t top[3] = {uint8_t(y), uint8_t(x), uint8_t(x + y)};
        for (int c = 0; c < 3; ++c) {
          const uint8_t expected = keyed ? main[c] : want(top[c], main[c], alphaAt(x, y));
          if (out.Pixel(x, y)[c] != expected && ++mismatches <= 5) {
            ADD_FAILURE() << what << " A " << int(alphaAt(x, y)) << " pixel " << x << "," << y
                          << " channel " << c << ": " << int(out.Pixel(x, y)[c]) << " want "
                          << int(expected);
          }
        }
      }
    }
    EXPECT_TRUE(out.GuardsIntact() && topFrame.GuardsIntact()) << what;
  }
  return mismatches;
}

void ExpectEveryTripleExact(bool alphaMix, double alpha, bool keys) {
  const std::string what = alphaMix ? "alpha " + std::to_string(alpha) : std::string("key");
  EXPECT_EQ(Mismatches(
                256, 4, keys,
                [&](uint8_t* out, const uint8_t* top, uint32_t key) {
                  CompositeLayerAlpha(out, 256, 256, top, 256, 256, 0, 0, key, keys, alphaMix,
                                      alpha);
                },
                [&](uint8_t t, uint8_t m, uint8_t a) {
                  return test::LayerAlphaReference(t, m, a, alphaMix, alpha);
                },
                what),
            0);
}

TEST_P(LayerAlphaPathTest, EveryAlphaTopMainTripleEqualsTheRule) {
  ExpectEveryTripleExact(false, 0.0, true);    // colour-key mix
  ExpectEveryTripleExact(true, 64.0, true);    // alpha mix with transparency
  ExpectEveryTripleExact(true, 127.5, false);  // the key colour blended too
  // At A = 255 the alpha rule's weights, 1 - S and S, not w and 1 - w: at this level 264 pairs
  // come out otherwise.
  ExpectEveryTripleExact(true, 5.0, false);
}

// Fading: every (top, main) pair at every alpha for a 32-bit layer (a 24-bit one is A = 255), at
// fade factors where the weights fall on and between whole steps, in both mixes, keyed or not.
TEST_P(LayerAlphaPathTest, EveryFadedTripleEqualsTheFadeArithmetic) {
  struct CFadeCase {
    bool m_alphaMix;
    double m_level;
    bool m_keys;
    double m_fade;
    bool m_withAlpha;
    int m_frames;  // alpha steps by frame: 256 frames meet every triple
  };
  const CFadeCase cases[] = {
      {false, 0.0, true, 1.0 / 7.0, true, 256},  {true, 64.0, true, 0.5, true, 64},
      {true, 200.0, false, 6.0 / 7.0, true, 64}, {false, 0.0, true, 0.25, false, 1},
      {true, 127.5, true, 5.0 / 6.0, false, 1},  {false, 0.0, false, 1.0 / 3.0, true, 32}};
  for (const CFadeCase& fade : cases) {
    const std::string what =
        "fade " + std::to_string(fade.m_fade) + " level " + std::to_string(fade.m_level);
    EXPECT_EQ(Mismatches(
                  fade.m_frames, fade.m_withAlpha ? 4 : 3, fade.m_keys,
                  [&](uint8_t* out, const uint8_t* top, uint32_t key) {
                    CompositeFaded(out, 256, 256, top, fade.m_withAlpha, 256, 256, 0, 0, key,
                                   fade.m_keys, fade.m_alphaMix, fade.m_level, fade.m_fade);
                  },
                  [&](uint8_t t, uint8_t m, uint8_t a) {
                    return test::FadeReference(t, m, a, fade.m_alphaMix, fade.m_level, fade.m_fade);
                  },
                  what),
              0);
  }
}

// How a test top layer's alpha runs along a row.
enum class EAlphaShape {
  kRamp,    // a step of 3 a pixel through every value, 0 and 255 included
  kRandom,  // any value at random
  kRuns,    // runs of 1 to 40 pixels all 0, all 255, all key colour or at random
};

// Top pixel (x, y) of a test layer: random colours, one in seven of the key colour, alpha by
// `shape`; pixels of the key colour get any alpha.
void FillLayer(CFrame& top, EAlphaShape shape, std::mt19937& rng, const uint8_t key[3]) {
  for (int32_t y = 0; y < top.m_height; ++y) {
    int runLeft = 0, runKind = 0;
    for (int32_t x = 0; x < top.m_width; ++x) {
      uint8_t* p = top.Pixel(x, y);
      for (int c = 0; c < top.m_pixelBytes; ++c) p[c] = uint8_t(rng());
      if (rng() % 7 == 0) std::memcpy(p, key, 3);
      if (top.m_pixelBytes == 3) continue;
      if (shape == EAlphaShape::kRamp) p[3] = uint8_t((x * 3 + y * 5) % 256);
      if (shape != EAlphaShape::kRuns) continue;
      if (runLeft-- == 0) {
        runLeft = int(rng() % 40);
        runKind = int(rng() % 4);
      }
      if (runKind == 0) p[3] = 0;
      if (runKind == 1) p[3] = 255;
      if (runKind == 2) std::memcpy(p, key, 3);
    }
  }
}

// Rows of every length around the blocks of 8 and 32 pixels, placed whole or cut on the left
// (so that a row starts inside a block), with mixed blocks next to wholly transparent, opaque and
// key-coloured ones, at the end levels and between, keyed or not, fading or not: every byte as
// the rule gives it, on every path.
TEST_P(LayerAlphaPathTest, MixedBlocksOfEveryLengthEqualTheRule) {
  struct CMixedCase {
    const char* m_name;
    EAlphaShape m_shape;
    bool m_alphaMix;
    double m_level;
    bool m_keys;
    double m_fade;  // 1: CompositeLayerAlpha, else CompositeFaded
    bool m_withAlpha = true;
  };
  const CMixedCase cases[] = {
      {"ramp, level 128", EAlphaShape::kRamp, true, 128.0, false, 1.0},
      {"ramp, level 128, keyed", EAlphaShape::kRamp, true, 128.0, true, 1.0},
      {"ramp, colour-key mix, keyed", EAlphaShape::kRamp, false, 0.0, true, 1.0},
      {"random, level 0", EAlphaShape::kRandom, true, 0.0, false, 1.0},
      {"random, level 1, keyed", EAlphaShape::kRandom, true, 1.0, true, 1.0},
      {"random, level 254", EAlphaShape::kRandom, true, 254.0, false, 1.0},
      {"random, level 255, keyed", EAlphaShape::kRandom, true, 255.0, true, 1.0},
      {"runs, level 128, keyed", EAlphaShape::kRuns, true, 128.0, true, 1.0},
      {"runs, level 1", EAlphaShape::kRuns, true, 1.0, false, 1.0},
      {"runs, level 5", EAlphaShape::kRuns, true, 5.0, false, 1.0},
      {"runs, level 254, keyed", EAlphaShape::kRuns, true, 254.0, true, 1.0},
      {"runs, colour-key mix", EAlphaShape::kRuns, false, 0.0, false, 1.0},
      {"runs, colour-key mix, keyed", EAlphaShape::kRuns, false, 0.0, true, 1.0},
      {"ramp, level 128, fade 1/3", EAlphaShape::kRamp, true, 128.0, false, 1.0 / 3.0},
      {"random, level 0, keyed, fade 0.999", EAlphaShape::kRandom, true, 0.0, true, 0.999},
      {"runs, level 255, fade 1/2", EAlphaShape::kRuns, true, 255.0, false, 0.5},
      {"runs, colour-key mix, keyed, fade 2/7", EAlphaShape::kRuns, false, 0.0, true, 2.0 / 7.0},
      {"runs, level 1, keyed, fading by 1", EAlphaShape::kRuns, true, 1.0, true, -1.0},
      {"24-bit, level 128, keyed, fade 1/2", EAlphaShape::kRandom, true, 128.0, true, 0.5, false},
      {"24-bit, colour-key mix, fade 1/9", EAlphaShape::kRandom, false, 0.0, true, 1.0 / 9.0,
       false},
  };
  const uint8_t key[3] = {9, 200, 40};  // blue, green, red
  const uint32_t packedKey = PackKeyColour(key[2], key[1], key[0]);
  std::mt19937 rng(11);
  for (const CMixedCase& test : cases) {
    // -1: CompositeFaded at a factor of 1, which does not take the alpha rule's opaque runs.
    const double fade = test.m_fade < 0.0 ? 1.0 : test.m_fade;
    const bool faded = test.m_fade != 1.0;
    for (const int32_t width : {1, 5, 8, 9, 16, 23, 31, 32, 33, 47, 63, 64, 65, 96, 101}) {
      for (const int32_t left : {0, -3, -17}) {
        if (width + left <= 0) continue;
        const int32_t height = 3, mainWidth = width + 2;
        CFrame top(width, height, test.m_withAlpha ? 4 : 3), out(mainWidth, height, 3);
        FillLayer(top, test.m_shape, rng, key);
        for (int32_t y = 0; y < height; ++y) {
          for (int32_t x = 0; x < mainWidth; ++x) {
            for (int c = 0; c < 3; ++c) out.Pixel(x, y)[c] = uint8_t(rng());
          }
        }
        CFrame before = out;
        if (faded) {
          CompositeFaded(out.Data(), mainWidth, height, top.Data(), test.m_withAlpha, width, height,
                         left, 0, packedKey, test.m_keys, test.m_alphaMix, test.m_level, fade);
        } else {
          CompositeLayerAlpha(out.Data(), mainWidth, height, top.Data(), width, height, left, 0,
                              packedKey, test.m_keys, test.m_alphaMix, test.m_level);
        }
        int wrong = 0;
        for (int32_t y = 0; y < height; ++y) {
          for (int32_t x = 0; x < mainWidth; ++x) {
            const int32_t tx = x - left;
            const uint8_t* t = tx < width ? top.Pixel(tx, y) : nullptr;
            const bool keyed = t && test.m_keys && std::memcmp(t, key, 3) == 0;
            const uint8_t a = t && test.m_withAlpha ? t[3] : 255;
            for (int c = 0; c < 3; ++c) {
              const uint8_t m = before.Pixel(x, y)[c];
              const uint8_t want = !t || keyed ? m
                                               : test::FadeReference(t[c], m, a, test.m_alphaMix,
                                                                     test.m_level, fade);
              if (out.Pixel(x, y)[c] != want && ++wrong <= 3) {
                ADD_FAILURE() << test.m_name << ", width " << width << " from " << left
                              << ": pixel " << x << "," << y << " channel " << c << " A " << int(a)
                              << ": " << int(out.Pixel(x, y)[c]) << " want " << int(want);
              }
            }
          }
        }
        ASSERT_EQ(wrong, 0) << test.m_name << ", width " << width << " from " << left;
        ASSERT_TRUE(out.GuardsIntact() && top.GuardsIntact()) << test.m_name;
      }
    }
  }
}

#ifdef CORVANE_X86
// Which row each path takes: the AVX2 path keeps the integer form, slower there in double
// precision; the tests above then cover both forms.
TEST(LayerAlphaRowChoice, EachPathTakesItsRow) {
  using composite_detail::LayerRowFor;
  const auto limited = [](ECompositePath path) {
    LimitCompositePath(path);
    const composite_detail::CLayerRow row = LayerRowFor();
    LimitCompositePath(ECompositePath::kBest);
    return row;
  };
  EXPECT_EQ(limited(ECompositePath::kPlain).m_row, nullptr);
  if (__builtin_cpu_supports("avx2")) {
    const composite_detail::CLayerRow avx2 = limited(ECompositePath::kAvx2);
    EXPECT_EQ(avx2.m_row, &composite_detail::LayerRowAvx2Fixed);
    EXPECT_TRUE(avx2.m_fixed);
  }
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512dq")) {
    const composite_detail::CLayerRow avx512 = limited(ECompositePath::kAvx512);
    EXPECT_NE(avx512.m_row, &composite_detail::LayerRowAvx2Fixed);
    EXPECT_NE(avx512.m_row, nullptr);
    EXPECT_FALSE(avx512.m_fixed);
  }
}
#endif

TEST_P(LayerAlphaPathTest, TheEndLevelsAndUnusualLevelsEqualTheRule) {
  for (const double alpha : {0.0, 1.0, 254.0, 255.0, 300.0, -3.0}) {
    CFrame out(64, 64, 3), topFrame(64, 64, 4);
    std::mt19937 rng(int(alpha * 10 + 1000));
    for (int32_t y = 0; y < 64; ++y) {
      for (int32_t x = 0; x < 64; ++x) {
        for (int c = 0; c < 4; ++c) topFrame.Pixel(x, y)[c] = uint8_t(rng());
        for (int c = 0; c < 3; ++c) out.Pixel(x, y)[c] = uint8_t(rng());
      }
    }
    CFrame before = out;
    CompositeLayerAlpha(out.Data(), 64, 64, topFrame.Data(), 64, 64, 0, 0, 0x01000000, true, true,
                        alpha);
    const double level = alpha < 0.0 ? 0.0 : alpha > 255.0 ? 255.0 : alpha;
    for (int32_t y = 0; y < 64; ++y) {
      for (int32_t x = 0; x < 64; ++x) {
        for (int c = 0; c < 3; ++c) {
          const uint8_t want = test::LayerAlphaReference(
              topFrame.Pixel(x, y)[c], before.Pixel(x, y)[c], topFrame.Pixel(x, y)[3], true, level);
          ASSERT_EQ(out.Pixel(x, y)[c], want) << "alpha " << alpha << " at " << x << "," << y;
        }
      }
    }
  }
  // A level that is not a number leaves the output as it was, like the alpha rule.
  CFrame out(8, 8, 3), topFrame(8, 8, 4);
  std::memset(topFrame.Data(), 200, size_t(topFrame.m_stride) * 8);
  const std::vector<uint8_t> before = out.Bytes();
  CompositeLayerAlpha(out.Data(), 8, 8, topFrame.Data(), 8, 8, 0, 0, 0, false, true, std::nan(""));
  EXPECT_EQ(out.Bytes(), before);
}

// Opaque everywhere, the rule is today's rules byte for byte, wherever the layer is placed
// (also partly outside, and past every edge), and nothing outside the overlap is touched.
TEST_P(LayerAlphaPathTest, AnOpaqueLayerGivesTodaysRulesAtEveryPlacement) {
  std::mt19937 rng(7);
  const int32_t mainWidth = 53, mainHeight = 37, topWidth = 29, topHeight = 19;
  CFrame top24(topWidth, topHeight, 3), top32(topWidth, topHeight, 4),
      main(mainWidth, mainHeight, 3);
  for (int32_t y = 0; y < topHeight; ++y) {
    for (int32_t x = 0; x < topWidth; ++x) {
      uint8_t colour[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
      if ((x + y) % 5 == 0) colour[0] = 1, colour[1] = 2, colour[2] = 3;  // the key
      std::memcpy(top24.Pixel(x, y), colour, 3);
      std::memcpy(top32.Pixel(x, y), colour, 3);
      top32.Pixel(x, y)[3] = 255;
    }
  }
  for (int32_t y = 0; y < mainHeight; ++y) {
    for (int32_t x = 0; x < mainWidth; ++x) {
      for (int c = 0; c < 3; ++c) main.Pixel(x, y)[c] = uint8_t(rng());
    }
  }
  const uint32_t key = PackKeyColour(3, 2, 1);
  for (const int32_t left : {-40, -7, 0, 11, 30, 52, 60}) {
    for (const int32_t top : {-30, -4, 0, 9, 25, 36, 45}) {
      for (int mode = 0; mode < 3; ++mode) {
        CFrame expected = main, actual = main;
        const bool alphaMix = mode > 0;
        const bool keys = mode != 2;
        if (!alphaMix) {
          CompositeColourKey(expected.Data(), mainWidth, mainHeight, top24.Data(), topWidth,
                             topHeight, left, top, key);
        } else {
          CompositeAlpha(expected.Data(), mainWidth, mainHeight, top24.Data(), topWidth, topHeight,
                         left, top, key, keys ? 1 : 0, 77.25);
        }
        CompositeLayerAlpha(actual.Data(), mainWidth, mainHeight, top32.Data(), topWidth, topHeight,
                            left, top, key, keys, alphaMix, 77.25);
        ASSERT_EQ(actual.Bytes(), expected.Bytes())
            << "mode " << mode << " at " << left << "," << top;
        ASSERT_TRUE(actual.GuardsIntact());
      }
    }
  }
}

}  // namespace
}  // namespace corvane
