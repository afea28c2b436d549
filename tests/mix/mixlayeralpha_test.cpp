// Mixes with the top layer's own alpha, into lossless FFV1, against the composite this test
// computes by the rule from ffmpeg's decode of the sources (bgra for the top layer): a PNG with
// an alpha ramp in the colour-key mix, a QuickTime Animation MOV with per-pixel alpha in the
// alpha mix, looped and partly outside; and a layer that is opaque everywhere, byte for byte
// today's mix.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CClip;
using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

std::string VideoMd5(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -map 0:v:0 -f md5 -").m_output;
}

struct CLayerCase {
  bool m_alphaMix;
  double m_level;
  bool m_keys;
  bool m_loop;
  int32_t m_left;
  int32_t m_top;
};

// Output frame n by the rule, from the decoded main (bgr24) and top (bgra) frames; the top
// layer's frame n % count when looped, else its last once past it; the key 0,255,0.
std::vector<uint8_t> LayerReference(const CClip& main, const CClip& top, size_t n,
                                    const CLayerCase& mix) {
  std::vector<uint8_t> out = main.m_frames[n];
  const size_t count = top.m_frames.size();
  const std::vector<uint8_t>& layer = top.m_frames[mix.m_loop ? n % count : std::min(n, count - 1)];
  for (int r = 0; r < top.m_height; ++r) {
    const int y = mix.m_top + r;
    if (y < 0 || y >= main.m_height) continue;
    for (int c = 0; c < top.m_width; ++c) {
      const int x = mix.m_left + c;
      if (x < 0 || x >= main.m_width) continue;
      const uint8_t* t = &layer[(static_cast<size_t>(r) * top.m_width + c) * 4];
      uint8_t* o = &out[(static_cast<size_t>(y) * main.m_width + x) * 3];
      if (mix.m_keys && t[0] == 0 && t[1] == 255 && t[2] == 0) continue;
      for (int ch = 0; ch < 3; ++ch)
        o[ch] = test::LayerAlphaReference(t[ch], o[ch], t[3], mix.m_alphaMix, mix.m_level);
    }
  }
  return out;
}

class MixLayerAlphaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    EngineState().m_mixing = 1;
    m_host.m_compression = test::Ffv1Compression();
    m_output = m_dir.Path("mixed.avi");
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  CMixOutcome Mix(const std::string& top, const CLayerCase& mix, bool layerAlpha,
                  const std::string& output) {
    std::remove(output.c_str());
    const std::string main = test::Fixture("main_320x240_bgr24_pcm.avi");
    if (mix.m_alphaMix)
      return MixAlpha(main, top, output, 0, 255, 0, mix.m_top, mix.m_left, mix.m_keys ? 1 : 0,
                      mix.m_loop ? 1 : 0, mix.m_level, layerAlpha);
    return MixColourKey(main, top, output, 0, 255, 0, mix.m_top, mix.m_left, mix.m_loop ? 1 : 0,
                        layerAlpha);
  }

  void ExpectRule(const std::string& top, const CLayerCase& mix, const std::string& decoder = "") {
    ASSERT_TRUE(Mix(top, mix, true, m_output).Complete());
    const CClip main = test::Decode(test::Fixture("main_320x240_bgr24_pcm.avi"));
    const CClip layer = test::DecodeWithAlpha(top, decoder);
    const CClip output = test::Decode(m_output);
    ASSERT_EQ(output.m_frames.size(), main.m_frames.size());
    ASSERT_FALSE(layer.m_frames.empty());
    for (size_t n = 0; n < main.m_frames.size(); ++n) {
      ASSERT_TRUE(output.m_frames[n] == LayerReference(main, layer, n, mix)) << "frame " << n;
    }
  }

  CTempDir m_dir;
  test::CRecordingHost m_host;
  std::string m_output;
};

// A still logo with alpha rising across it and down it, and a key-green stripe, in the
// colour-key mix.
TEST_F(MixLayerAlphaTest, APngWithAnAlphaRampFollowsTheRuleInTheColourKeyMix) {
  const std::string logo = m_dir.Path("ramp.png");
  ASSERT_TRUE(
      test::MakeWithFfmpeg("-f lavfi -i nullsrc=s=96x64,format=rgba -vf "
                           "\"geq=r='if(lt(X,6),0,X*2)':g='if(lt(X,6),255,Y*4)':b='90':"
                           "a='min(255,X*3+Y)'\" -frames:v 1",
                           logo));
  ExpectRule(logo, CLayerCase{false, 0.0, true, false, 100, 50});
}

// A moving QuickTime Animation layer (argb) at the main video's rate, whose alpha changes from
// pixel to pixel and frame to frame, blended at level 64 without transparency, looped and
// reaching past the right and bottom edges.
TEST_F(MixLayerAlphaTest, AQuickTimeAnimationLayerFollowsTheRuleInTheAlphaMix) {
  const std::string layer = m_dir.Path("layer.mov");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc=s=80x60:r=30:d=0.5 -vf "
      "\"format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='mod(X*5+Y*3+N*40,256)'\" "
      "-c:v qtrle -pix_fmt argb",
      layer));
  ExpectRule(layer, CLayerCase{true, 64.0, false, true, 270, 200});
}

// A VP9 WebM keeps its alpha beside the pictures, where only libvpx's decoder reads it.
TEST_F(MixLayerAlphaTest, AVp9WebmLayerKeepsItsAlpha) {
  const std::string layer = m_dir.Path("layer.webm");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc=s=80x60:r=30:d=0.5 -vf "
      "\"format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='mod(X*5+Y*3+N*40,256)'\" "
      "-c:v libvpx-vp9 -pix_fmt yuva420p -deadline realtime",
      layer));
  const CClip decoded = test::DecodeWithAlpha(layer, "libvpx-vp9");
  ASSERT_FALSE(decoded.m_frames.empty());
  ASSERT_NE(decoded.m_frames[0][3], 255) << "ffmpeg decodes the alpha";
  ExpectRule(layer, CLayerCase{true, 64.0, false, true, 270, 200}, "libvpx-vp9");
}

// Opaque everywhere, the rule is today's mix: a top layer without alpha (with the notice that
// says so), and a PNG whose alpha is 255 throughout against the same picture without alpha.
TEST_F(MixLayerAlphaTest, AnOpaqueLayerGivesTodaysMixByteForByte) {
  const std::string withAlpha = m_dir.Path("opaque.png");
  const std::string withoutAlpha = m_dir.Path("plain.png");
  ASSERT_TRUE(
      test::MakeWithFfmpeg("-f lavfi -i testsrc=s=64x48 -vf format=rgba -frames:v 1", withAlpha));
  ASSERT_TRUE(test::MakeWithFfmpeg("-f lavfi -i testsrc=s=64x48 -vf format=rgb24 -frames:v 1",
                                   withoutAlpha));
  const std::string today = m_dir.Path("today.avi");
  for (const bool alphaMix : {false, true}) {
    const CLayerCase mix{alphaMix, 100.0, true, true, -10, 30};
    ASSERT_TRUE(Mix(withoutAlpha, mix, false, today).Complete());
    ASSERT_TRUE(Mix(withAlpha, mix, true, m_output).Complete());
    EXPECT_EQ(VideoMd5(m_output), VideoMd5(today)) << (alphaMix ? "alpha mix" : "colour key");

    const std::string green = test::Fixture("top_160x120_bgr24_green.avi");
    m_host.Clear();
    ASSERT_TRUE(Mix(green, mix, false, today).Complete());
    ASSERT_TRUE(Mix(green, mix, true, m_output).Complete());
    EXPECT_EQ(VideoMd5(m_output), VideoMd5(today));
    int notices = 0;
    for (const auto& message : m_host.Messages())
      notices +=
          message.m_text == green + " has no alpha channel: every pixel of it is taken as opaque";
    EXPECT_EQ(notices, 1);
  }
}

}  // namespace
}  // namespace corvane
