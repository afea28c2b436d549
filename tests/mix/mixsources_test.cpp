// Mixes of sources other than AVI, all made here by ffmpeg: every output frame equals the
// composite of ffmpeg's decode of the same sources, the top frame chosen by time, and the sound is
// the main's own packets, or the PCM ffmpeg decodes where AVI cannot carry the codec.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::AudioPackets;
using test::CClip;
using test::CMixCase;
using test::CRecordingHost;
using test::CTempDir;
using test::Decode;
using test::Fixture;
using test::Reference;
using test::RunCommand;
using test::ShellQuote;

// Green ground with a red square that moves a step a frame; `rate` frames a second for 1 s.
std::string LayerGraph(int rate) {
  const std::string r = std::to_string(rate);
  return "color=c=0x00FF00:s=160x120:r=" + r +
         ":d=1,format=rgb24[bg];color=c=0xFF0000:s=30x30:r=" + r +
         ":d=1,format=rgb24[sq];[bg][sq]overlay=x='10+n*3':y='20+n':eval=frame:format=rgb";
}

bool Make(const std::string& inputs, const std::string& encode, const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v error " + inputs + " " + encode + " " + ShellQuote(path))
             .m_exitCode == 0;
}

// The first audio stream decoded by ffmpeg to 16-bit PCM: its byte count and checksum.
std::string AudioSamples(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                    " -map 0:a:0 -f s16le -c:a pcm_s16le - | wc -c; ffmpeg -v error -i " +
                    ShellQuote(path) + " -map 0:a:0 -f s16le -c:a pcm_s16le - | md5sum")
      .m_output;
}

class MixSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    EngineState().m_mixing = 1;
    m_host.m_compression = test::Ffv1Compression();
    m_output = m_dir.Path("mixed.avi");
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  CMixOutcome Mix(const std::string& main, const std::string& top, const CMixCase& mix,
                  uint8_t keyGreen) {
    std::remove(m_output.c_str());
    if (mix.m_alpha)
      return MixAlpha(main, top, m_output, 0, keyGreen, 0, mix.m_top, mix.m_left,
                      mix.m_useTransparency, mix.m_loop ? 1 : 0, mix.m_alphaLevel);
    return MixColourKey(main, top, m_output, 0, keyGreen, 0, mix.m_top, mix.m_left,
                        mix.m_loop ? 1 : 0);
  }

  CTempDir m_dir;
  CRecordingHost m_host;
  std::string m_output;
};

TEST_F(MixSourcesTest, MainsAndTopsOfOtherContainersMixFrameForFrameWithTheirSound) {
  enum class EAudio { kPackets, kSamples, kDecoded };
  struct CCase {
    const char* m_main;
    const char* m_mainEncode;
    int m_sampleRate;
    const char* m_top;
    const char* m_topEncode;
    int m_topRate;       // frames a second; 0 for a still picture
    uint8_t m_keyGreen;  // GIF's palette keeps 252 of the key's 255
    CMixCase m_mix;
    EAudio m_audio;
  };
  const CCase cases[] = {
      {"h264_aac.mp4", "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -b:a 96k", 44100,
       "logo.png", "-frames:v 1 -c:v png -pix_fmt rgb24", 0, 255,
       CMixCase{"", false, true, 100, 50, 0, 0, "ffv1"}, EAudio::kPackets},
      {"mpeg2_mp2.ts", "-c:v mpeg2video -q:v 3 -bf 2 -c:a mp2", 44100, "layer.gif", "-c:v gif", 10,
       252, CMixCase{"", false, true, 170, 130, 0, 0, "ffv1"}, EAudio::kPackets},
      {"vp9_opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", 48000, "layer.mov",
       "-c:v qtrle -pix_fmt rgb24", 10, 255, CMixCase{"", true, true, -20, 40, 100.0, 1, "ffv1"},
       EAudio::kDecoded},
      {"mjpeg_pcm.mov", "-c:v mjpeg -q:v 3 -c:a pcm_s16le", 44100, "layer.mp4",
       "-c:v libx264 -bf 2 -pix_fmt yuv420p", 50, 255,
       CMixCase{"", false, false, 100, 50, 0, 0, "ffv1"}, EAudio::kSamples},
  };
  for (const CCase& source : cases) {
    SCOPED_TRACE(source.m_main);
    const std::string main = m_dir.Path(source.m_main);
    const std::string top = m_dir.Path(source.m_top);
    ASSERT_TRUE(Make("-f lavfi -i testsrc2=s=320x240:r=25:d=1.6 -f lavfi -i sine=f=440:r=" +
                         std::to_string(source.m_sampleRate) + ":d=1.6",
                     source.m_mainEncode, main));
    ASSERT_TRUE(
        Make("-f lavfi -i " + ShellQuote(LayerGraph(source.m_topRate ? source.m_topRate : 1)),
             source.m_topEncode, top));
    m_host.Clear();

    const CMixOutcome outcome = Mix(main, top, source.m_mix, source.m_keyGreen);

    EXPECT_TRUE(outcome.Complete());
    const CClip decodedMain = Decode(main);
    const CClip decodedTop = Decode(top);
    const CClip out = Decode(m_output);
    ASSERT_EQ(decodedMain.m_frames.size(), 40u);
    ASSERT_EQ(out.m_frames.size(), decodedMain.m_frames.size());
    for (size_t n = 0; n < out.m_frames.size(); ++n) {
      // Main frame n is at n/25 s: the top's picture of that moment, looped or held at its last.
      const size_t count = decodedTop.m_frames.size();
      size_t k = n * static_cast<size_t>(source.m_topRate) / 25;
      k = source.m_mix.m_loop ? k % count : std::min(k, count - 1);
      ASSERT_EQ(out.m_frames[n],
                Reference(decodedMain, decodedTop, n, source.m_mix, k, source.m_keyGreen))
          << "output frame " << n;
    }
    const auto messages = m_host.Messages();
    switch (source.m_audio) {
      case EAudio::kPackets: {
        EXPECT_TRUE(messages.empty());
        EXPECT_GT(AudioPackets(main).size(), 100u);
        EXPECT_EQ(AudioPackets(m_output), AudioPackets(main));
        // GStreamer reads the copied sound's header as lasting as long as the pictures.
        const auto gst = RunCommand("gst-discoverer-1.0 -t 120 " + ShellQuote(m_output));
        EXPECT_NE(gst.m_output.find("Duration: 0:00:01.6"), std::string::npos) << gst.m_output;
        break;
      }
      case EAudio::kSamples:
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(AudioSamples(m_output), AudioSamples(main));
        break;
      case EAudio::kDecoded:
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].m_text, "The audio of " + main +
                                          " is Opus, which an AVI file cannot carry: it is "
                                          "written as 16-bit PCM");
        EXPECT_EQ(RunCommand("ffprobe -v error -select_streams a:0 -show_entries "
                             "stream=codec_name,sample_rate,channels -of csv=p=0 " +
                             ShellQuote(m_output))
                      .m_output,
                  "pcm_s16le,48000,1\n");
        EXPECT_EQ(AudioSamples(m_output), AudioSamples(main));
        break;
    }
  }
}

// A still PNG stays on every frame; a 10 fps GIF, looped, shows its picture
// k = floor(n * 10 / 30) mod 10 on output frame n of a 30 fps main.
TEST_F(MixSourcesTest, TopLayersOfOtherKindsFollowTheirOwnTime) {
  struct CTop {
    const char* m_file;
    const char* m_encode;
    uint8_t m_keyGreen;
    size_t (*m_picture)(size_t n);
  };
  const CTop tops[] = {
      {"layer.gif", "-c:v gif", 252, [](size_t n) { return n * 10 / 30 % 10; }},
      {"logo.png", "-frames:v 1 -c:v png -pix_fmt rgb24", 255, [](size_t) { return size_t{0}; }},
  };
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");
  const CClip decodedMain = Decode(main);
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  for (const CTop& source : tops) {
    SCOPED_TRACE(source.m_file);
    const std::string top = m_dir.Path(source.m_file);
    ASSERT_TRUE(Make("-f lavfi -i " + ShellQuote(LayerGraph(10)), source.m_encode, top));

    const CMixOutcome outcome = Mix(main, top, mix, source.m_keyGreen);

    EXPECT_TRUE(outcome.Complete());
    const CClip decodedTop = Decode(top);
    const CClip out = Decode(m_output);
    ASSERT_EQ(out.m_frames.size(), decodedMain.m_frames.size());
    for (size_t n = 0; n < out.m_frames.size(); ++n) {
      ASSERT_EQ(out.m_frames[n],
                Reference(decodedMain, decodedTop, n, mix, source.m_picture(n), source.m_keyGreen))
          << "output frame " << n;
    }
  }
}

// A clip cut without re-encoding may end on a picture of its own time: that one odd step is no
// changing rate and gets no warning; one odd step inside the clip still does.
TEST_F(MixSourcesTest, OnlyAStepInsideTheClipMakesItsRateVariable) {
  const std::string top = m_dir.Path("logo.png");
  ASSERT_TRUE(Make("-f lavfi -i " + ShellQuote(LayerGraph(1)), "-frames:v 1 -c:v png", top));
  const struct {
    int m_odd;  // the picture whose time is 20 ms late
    bool m_warned;
  } cases[] = {{9, false}, {4, true}};
  for (const auto& c : cases) {
    const std::string main = m_dir.Path("odd" + std::to_string(c.m_odd) + ".mkv");
    ASSERT_TRUE(
        Make("-f lavfi -i testsrc=s=64x48:r=25:d=0.4",
             "-c:v mjpeg -bsf:v " +
                 ShellQuote("setts=ts=if(eq(N\\," + std::to_string(c.m_odd) + ")\\,PTS+20\\,PTS)"),
             main));
    m_host.Clear();
    const CMixOutcome outcome = Mix(main, top, CMixCase{"", false, true, 0, 0, 0, 0, "ffv1"}, 255);
    EXPECT_EQ(outcome.m_video.m_framesWritten, 10) << c.m_odd;
    bool warned = false;
    for (const auto& message : m_host.Messages())
      warned |= message.m_text.find("has a variable frame rate") != std::string::npos;
    EXPECT_EQ(warned, c.m_warned) << "picture " << c.m_odd << " late";
  }
}

// A main whose pictures come at changing intervals (25 fps, then 50) is mixed picture for picture
// into an output at the average rate ffprobe reads, with one line naming the rates.
TEST_F(MixSourcesTest, AVariableRateMainKeepsItsAverageRateInAviAndItsOwnTimesInMp4WithOneWarning) {
  const std::string main = m_dir.Path("variable.mp4");
  const std::string top = m_dir.Path("logo.png");
  ASSERT_TRUE(Make("-f lavfi -i testsrc2=s=320x240:r=50:d=1.2",
                   "-vf " + ShellQuote("setpts='if(lt(N,20),N*2,N+20)/(50*TB)'") +
                       " -fps_mode passthrough -c:v libx264 -pix_fmt yuv420p",
                   main));
  ASSERT_TRUE(Make("-f lavfi -i " + ShellQuote(LayerGraph(1)), "-frames:v 1 -c:v png", top));
  const CMixCase mix{"", false, true, 10, 10, 0, 0, "ffv1"};

  const CMixOutcome outcome = Mix(main, top, mix, 255);

  EXPECT_EQ(outcome.m_video.m_framesWritten, 60);
  const auto messages = m_host.Messages();
  ASSERT_GE(messages.size(), 1u);
  auto rate = [](const std::string& path, const char* field) {
    return RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=" +
                      std::string(field) + " -of csv=p=0 " + ShellQuote(path))
        .m_output;
  };
  const std::string average = rate(main, "avg_frame_rate");
  EXPECT_EQ(rate(m_output, "r_frame_rate"), average);
  int num = 0, den = 1;
  ASSERT_EQ(std::sscanf(average.c_str(), "%d/%d", &num, &den), 2);
  char averageText[32];
  std::snprintf(averageText, sizeof averageText, "%.4g", static_cast<double>(num) / den);
  EXPECT_EQ(messages[0].m_text, main +
                                    " has a variable frame rate, from 25 to 50 frames a "
                                    "second: it is mixed frame by frame at its average "
                                    "rate, " +
                                    averageText + " frames a second");
  const CClip decodedMain = Decode(main);
  const CClip out = Decode(m_output);
  ASSERT_EQ(out.m_frames.size(), 60u);
  ASSERT_EQ(decodedMain.m_frames.size(), 60u);
  const CClip decodedTop = Decode(top);
  for (size_t n = 0; n < out.m_frames.size(); ++n)
    ASSERT_EQ(out.m_frames[n], Reference(decodedMain, decodedTop, n, mix, 0)) << n;

  // A container with frame times keeps the main's: each frame shown when the main shows it.
  const std::string kept = m_dir.Path("kept.mp4");
  AVICOMPRESSOPTIONS h264{};
  h264.fccType = streamtypeVIDEO;
  h264.fccHandler = FindCompressor("h264")->m_fourCC;
  h264.dwQuality = 0xFFFFFFFFu;
  m_host.m_compression = h264;
  m_host.Clear();
  EXPECT_EQ(MixColourKey(main, top, kept, 0, 255, 0, 10, 10, 1).m_video.m_result,
            EVideoPassResult::kComplete);
  ASSERT_FALSE(m_host.Messages().empty());
  EXPECT_EQ(m_host.Messages()[0].m_text, main +
                                             " has a variable frame rate, from 25 to 50 frames "
                                             "a second: it is mixed frame by frame, each frame "
                                             "at its own time");
  auto times = [](const std::string& path) {
    return RunCommand(
               "ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of "
               "csv=p=0 " +
               ShellQuote(path))
        .m_output;
  };
  EXPECT_GT(times(main).size(), 60u * 2);
  EXPECT_EQ(times(kept), times(main));
}

// A phone's clip, turned by its track's matrix, is mixed upright as ffmpeg's autorotation shows
// it: as the main (the output takes its turned size) and as the top layer (laid on turned).
TEST_F(MixSourcesTest, TurnedClipsAreMixedUprightAsFfmpegShowsThem) {
  const struct {
    const char* m_name;
    int m_mainTurn;  // clockwise; 0: not turned
    int m_topTurn;
  } cases[] = {{"turned main", 90, 0}, {"both turned", 180, 270}};
  const CMixCase mix{"", false, false, 6, 10, 0, 0, "ffv1"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.m_name);
    const std::string main = m_dir.Path("main.mp4");
    const std::string top = m_dir.Path("top.mp4");
    ASSERT_TRUE(
        Make("-y -f lavfi -i testsrc2=s=96x64:r=25:d=0.4", "-c:v libx264 -pix_fmt yuv420p", main));
    ASSERT_TRUE(Make("-y -f lavfi -i " + ShellQuote(LayerGraph(25)) + " -vf scale=48:32",
                     "-c:v libx264 -pix_fmt yuv444p -frames:v 10", top));
    for (const auto& [path, turn] : {std::pair{main, c.m_mainTurn}, std::pair{top, c.m_topTurn}}) {
      if (!turn) continue;
      ASSERT_TRUE(test::TurnFirstTrack(path, turn));
      ASSERT_FALSE(test::PeerRotation(path).empty()) << "the clip is not turned";
    }

    const CMixOutcome outcome = Mix(main, top, mix, 255);

    EXPECT_TRUE(outcome.Complete());
    const CClip decodedMain = test::DecodeUpright(main);
    const CClip decodedTop = test::DecodeUpright(top);
    const CClip out = Decode(m_output);
    ASSERT_EQ(decodedMain.m_frames.size(), 10u);
    ASSERT_EQ(decodedTop.m_frames.size(), 10u);
    EXPECT_EQ(decodedMain.m_width, c.m_mainTurn % 180 ? 64 : 96);
    EXPECT_EQ(decodedTop.m_width, c.m_topTurn % 180 ? 32 : 48);
    ASSERT_EQ(out.m_width, decodedMain.m_width);
    ASSERT_EQ(out.m_height, decodedMain.m_height);
    ASSERT_EQ(out.m_frames.size(), decodedMain.m_frames.size());
    for (size_t n = 0; n < out.m_frames.size(); ++n)
      ASSERT_EQ(out.m_frames[n], Reference(decodedMain, decodedTop, n, mix)) << "frame " << n;
  }
}

}  // namespace
}  // namespace corvane
