// Several layers in one pass: each output frame is the main frame with the layers laid on one
// after another, the first lowest, each by its own rule. The reference lays them on itself, by
// the rules as written, over ffmpeg's decodes of the sources.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CClip;

class MixLayersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    EngineState().m_mixing = 1;
    m_host.m_compression = test::Ffv1Compression();
    m_main = test::Fixture("main_320x240_bgr24_pcm.avi");
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  test::CTempDir m_dir;
  test::CRecordingHost m_host;
  std::string m_main;
};

// A keyed still, a still with its own alpha in the bottom right corner and an opaque still
// blended at 128, overlapping one another.
TEST_F(MixLayersTest, ThreeLayersAreLaidOnOneAfterAnotherByTheirOwnRules) {
  const std::string keyed = m_dir.Path("keyed.png");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i nullsrc=s=96x64,format=rgb24 -vf "
      "\"geq=r='if(lt(mod(X,16),5),0,200)':g='if(lt(mod(X,16),5),255,X+Y)':b='if(lt(mod(X,16),5),"
      "0,90)'\" -frames:v 1",
      keyed));
  const std::string logo = m_dir.Path("logo.png");
  ASSERT_TRUE(
      test::MakeWithFfmpeg("-f lavfi -i nullsrc=s=80x50,format=rgba -vf "
                           "\"geq=r='X*3':g='100':b='Y*5':a='min(255,X*4+Y)'\" -frames:v 1",
                           logo));
  const std::string plain = m_dir.Path("plain.png");
  ASSERT_TRUE(test::MakeWithFfmpeg("-f lavfi -i color=c=0xE0C020:s=70x40 -frames:v 1", plain));

  std::vector<CLayerSpec> layers(3);
  layers[0].m_source = keyed;
  layers[0].m_rule.m_key = PackKeyColour(0, 255, 0);
  layers[0].m_rule.m_left = 40;
  layers[0].m_rule.m_top = 30;
  layers[1].m_source = logo;
  layers[1].m_rule.m_layerAlpha = true;
  layers[1].m_placement.m_corner = ECorner::kBottomRight;
  layers[1].m_placement.m_margin = 150;  // over the first layer's right half
  layers[2].m_source = plain;
  layers[2].m_rule.m_alpha = true;
  layers[2].m_rule.m_alphaLevel = 128.0;
  layers[2].m_rule.m_useTransparency = 1;
  layers[2].m_rule.m_left = 100;
  layers[2].m_rule.m_top = 60;
  const std::string output = m_dir.Path("three.avi");

  ASSERT_TRUE(MixLayers(m_main, layers, output).Complete());

  const CClip main = test::Decode(m_main);
  const CClip first = test::Decode(keyed);
  const CClip second = test::DecodeWithAlpha(logo);
  const CClip third = test::Decode(plain);
  const CClip mixed = test::Decode(output);
  ASSERT_EQ(mixed.m_frames.size(), main.m_frames.size());
  const int logoLeft = main.m_width - second.m_width - 150;
  const int logoTop = main.m_height - second.m_height - 150;
  ASSERT_GT(logoLeft, 40);
  ASSERT_GT(logoTop, 0);
  for (size_t n = 0; n < main.m_frames.size(); ++n) {
    std::vector<uint8_t> expected = main.m_frames[n];
    // Each layer over what the ones below it made.
    const auto lay = [&](const CClip& layer, int left, int top, int bytes, auto&& channel) {
      for (int r = 0; r < layer.m_height; ++r) {
        for (int c = 0; c < layer.m_width; ++c) {
          const int x = left + c;
          const int y = top + r;
          if (x < 0 || y < 0 || x >= main.m_width || y >= main.m_height) continue;
          const uint8_t* t = &layer.m_frames[0][(size_t(r) * layer.m_width + c) * bytes];
          uint8_t* o = &expected[(size_t(y) * main.m_width + x) * 3];
          channel(t, o);
        }
      }
    };
    lay(first, 40, 30, 3, [](const uint8_t* t, uint8_t* o) {
      if (t[0] == 0 && t[1] == 255 && t[2] == 0) return;  // keyed
      for (int ch = 0; ch < 3; ++ch) o[ch] = t[ch];
    });
    lay(second, logoLeft, logoTop, 4, [](const uint8_t* t, uint8_t* o) {
      for (int ch = 0; ch < 3; ++ch)
        o[ch] = test::LayerAlphaReference(t[ch], o[ch], t[3], false, 0);
    });
    lay(third, 100, 60, 3, [](const uint8_t* t, uint8_t* o) {
      for (int ch = 0; ch < 3; ++ch)
        o[ch] = test::LayerAlphaReference(t[ch], o[ch], 255, true, 128);
    });
    ASSERT_TRUE(mixed.m_frames[n] == expected) << "frame " << n;
  }
}

// One layer through the layers' way in is today's mix, byte for byte; a layer that cannot be
// opened ends the job before the output is touched, naming it by its number.
TEST_F(MixLayersTest, OneLayerIsTheOneLayerMixAndAMissingLayerIsNamedByNumber) {
  const std::string top = test::Fixture("top_160x120_bgr24_green.avi");
  const std::string single = m_dir.Path("single.avi");
  ASSERT_TRUE(MixColourKey(m_main, top, single, 0, 255, 0, 20, 30, 1).Complete());
  std::vector<CLayerSpec> layers(1);
  layers[0].m_source = top;
  layers[0].m_rule.m_key = PackKeyColour(0, 255, 0);
  layers[0].m_rule.m_top = 20;
  layers[0].m_rule.m_left = 30;
  layers[0].m_rule.m_loop = 1;
  const std::string through = m_dir.Path("through.avi");
  ASSERT_TRUE(MixLayers(m_main, layers, through).Complete());
  EXPECT_EQ(test::ReadFileBytes(through), test::ReadFileBytes(single));

  layers.push_back(layers[0]);
  layers.push_back(layers[0]);
  layers[2].m_source = m_dir.Path("nowhere.png");
  const std::string never = m_dir.Path("never.avi");
  const CMixOutcome outcome = MixLayers(m_main, layers, never);
  EXPECT_FALSE(outcome.m_video.m_outputCreated);
  EXPECT_FALSE(std::filesystem::exists(never));
  const auto messages = m_host.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().m_text.rfind("Layer 3: Unable to open " + layers[2].m_source, 0), 0u)
      << messages.back().m_text;
}

// A layer over others that is never in range, or lies wholly off the picture, is said once by
// its number and left out; the rest is mixed.
TEST_F(MixLayersTest, ALayerThatIsNeverSeenIsSaidOnceAndTheRestMixes) {
  const std::string top = test::Fixture("top_160x120_bgr24_green.avi");
  std::vector<CLayerSpec> layers(2);
  layers[0].m_source = layers[1].m_source = top;
  layers[0].m_rule.m_key = layers[1].m_rule.m_key = PackKeyColour(0, 255, 0);
  const std::string alone = m_dir.Path("alone.avi");
  ASSERT_TRUE(MixLayers(m_main, {layers[0]}, alone).Complete());
  const struct {
    const char* m_name;
    size_t m_layer;  // the one never seen; the other is as mixed alone
    double m_from;
    int32_t m_left;
    const char* m_said;
  } cases[] = {
      {"from after the end", 1, 3600.0, 0, "Layer 2: The top layer's range starts at "},
      {"wholly to the right", 1, -1.0, 5000, "Layer 2: The top layer (160x120 at 5000,0) lies "},
      // The lowest layer goes through the reading ahead: left out all the same.
      {"lowest, from after the end", 0, 3600.0, 0, "Layer 1: The top layer's range starts at "},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.m_name);
    std::vector<CLayerSpec> pair = layers;
    pair[test.m_layer].m_placement.m_from = test.m_from;
    pair[test.m_layer].m_rule.m_left = test.m_left;
    const std::string output = m_dir.Path("two.avi");
    const size_t before = m_host.Messages().size();
    ASSERT_TRUE(MixLayers(m_main, pair, output).Complete());
    EXPECT_EQ(test::ReadFileBytes(output), test::ReadFileBytes(alone));
    const auto messages = m_host.Messages();
    ASSERT_EQ(messages.size(), before + 1) << messages.back().m_text;
    EXPECT_EQ(messages.back().m_text.rfind(test.m_said, 0), 0u) << messages.back().m_text;
  }
}

}  // namespace
}  // namespace corvane
