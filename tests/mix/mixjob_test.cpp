// End-to-end mixes of the reference clips, checked frame for frame against a reference made
// here: the inputs and the output decoded by the ffmpeg CLI, the composite computed by plain
// code in this file. Stream headers are read with a plain RIFF walk, packets with framemd5.
#include "mix/mixjob.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CRecordingHost;
using test::CTempDir;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

const char* const kMain = "main_320x240_bgr24_pcm.avi";
const char* const kTop = "top_160x120_bgr24_green.avi";

// Frames of the first video stream as ffmpeg decodes them: bgr24, top row first, no padding.
struct CClip {
  int m_width = 0;
  int m_height = 0;
  std::vector<std::vector<uint8_t>> m_frames;
};

CClip Decode(const std::string& path) {
  CClip clip;
  const auto size = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=width,height -of csv=p=0 " +
      ShellQuote(path));
  if (std::sscanf(size.m_output.c_str(), "%d,%d", &clip.m_width, &clip.m_height) != 2) return clip;
  const auto raw = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                              " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
  const size_t frameBytes = static_cast<size_t>(clip.m_width) * clip.m_height * 3;
  for (size_t at = 0; frameBytes && at + frameBytes <= raw.m_output.size(); at += frameBytes) {
    clip.m_frames.emplace_back(raw.m_output.begin() + at, raw.m_output.begin() + at + frameBytes);
  }
  return clip;
}

struct CMixCase {
  const char* m_name;
  bool m_alpha;
  bool m_loop;
  int32_t m_left;
  int32_t m_top;
  double m_alphaLevel;
  uint8_t m_useTransparency;
  const char* m_codec;
};

void PrintTo(const CMixCase& mix, std::ostream* out) {
  *out << mix.m_name;
}

// The output frame `n` as the mix must make it, from the decoded inputs: top frame `k` (by
// default the one of output frame n's turn), key colour 0,`keyGreen`,0.
std::vector<uint8_t> Reference(const CClip& main, const CClip& top, size_t n, const CMixCase& mix,
                               size_t k = SIZE_MAX, uint8_t keyGreen = 255) {
  std::vector<uint8_t> out = main.m_frames[n];
  const size_t count = top.m_frames.size();
  if (k == SIZE_MAX) k = mix.m_loop ? n % count : std::min(n, count - 1);
  const std::vector<uint8_t>& layer = top.m_frames[k];
  const double s = mix.m_alphaLevel * (1.0 / 255.0);
  for (int r = 0; r < top.m_height; ++r) {
    const int y = mix.m_top + r;
    if (y < 0 || y >= main.m_height) continue;
    for (int c = 0; c < top.m_width; ++c) {
      const int x = mix.m_left + c;
      if (x < 0 || x >= main.m_width) continue;
      const uint8_t* t = &layer[(static_cast<size_t>(r) * top.m_width + c) * 3];
      uint8_t* o = &out[(static_cast<size_t>(y) * main.m_width + x) * 3];
      const bool keyed = t[0] == 0 && t[1] == keyGreen && t[2] == 0;  // b,g,r
      if (!mix.m_alpha) {
        if (!keyed) std::memcpy(o, t, 3);
      } else if (!(keyed && mix.m_useTransparency == 1)) {
        for (int ch = 0; ch < 3; ++ch) {
          o[ch] = static_cast<uint8_t>(t[ch] * (1.0 - s) + o[ch] * s);
        }
      }
    }
  }
  return out;
}

std::vector<std::string> PacketLines(const std::string& path, const char* stream) {
  const auto result = RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -map 0:" + stream +
                                 " -c copy -f framemd5 -");
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < result.m_output.size()) {
    size_t end = result.m_output.find('\n', from);
    if (end == std::string::npos) end = result.m_output.size();
    if (result.m_output[from] != '#') lines.push_back(result.m_output.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

uint32_t Field(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}

void WalkHeaders(const std::vector<uint8_t>& file, size_t from, size_t to,
                 std::vector<std::vector<uint8_t>>& headers) {
  while (from + 8 <= to) {
    const std::string id(file.begin() + from, file.begin() + from + 4);
    const size_t size = Field(file, from + 4);
    const size_t body = from + 8;
    if (body + size > to) return;
    if (id == "LIST" && size >= 4) {
      const std::string type(file.begin() + body, file.begin() + body + 4);
      if (type == "hdrl" || type == "strl") WalkHeaders(file, body + 4, body + size, headers);
      if (type == "movi") return;
    } else if (id == "strh") {
      headers.emplace_back(file.begin() + body, file.begin() + body + size);
    }
    from = body + size + (size & 1);
  }
}

// The strh chunk of each stream, in stream order (a plain walk of the header lists).
std::vector<std::vector<uint8_t>> StreamHeaders(const std::string& path) {
  const std::vector<uint8_t> file = test::ReadFileBytes(path);
  std::vector<std::vector<uint8_t>> headers;
  if (file.size() >= 12) WalkHeaders(file, 12, file.size(), headers);
  return headers;
}
class MixJobTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    s_main.reset();
    s_top.reset();
  }

  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe")) {
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    }
    m_mainBytes = test::ReadFileBytes(Fixture(kMain));
    m_topBytes = test::ReadFileBytes(Fixture(kTop));
    m_output = m_dir.Path("mixed.avi");
    EngineState().m_mixing = 1;
  }
  void TearDown() override {
    EngineState().m_mixing = 0;
    if (IsSkipped()) return;
    EXPECT_EQ(test::ReadFileBytes(Fixture(kMain)), m_mainBytes) << "main source changed";
    EXPECT_EQ(test::ReadFileBytes(Fixture(kTop)), m_topBytes) << "top source changed";
  }

  CMixOutcome Run(const CMixCase& mix) {
    const CCompressorInfo* codec = FindCompressor(mix.m_codec);
    EXPECT_NE(codec, nullptr) << mix.m_codec;
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = codec ? codec->m_fourCC : 0;
    options.dwQuality = 0xFFFFFFFFu;
    m_host.m_compression = options;
    if (mix.m_alpha) {
      return MixAlpha(Fixture(kMain), Fixture(kTop), m_output, 0, 255, 0, mix.m_top, mix.m_left,
                      mix.m_useTransparency, mix.m_loop ? 1 : 0, mix.m_alphaLevel);
    }
    return MixColourKey(Fixture(kMain), Fixture(kTop), m_output, 0, 255, 0, mix.m_top, mix.m_left,
                        mix.m_loop ? 1 : 0);
  }

  void ExpectFramesMatchReference(const CMixCase& mix, size_t count) {
    // The sources are decoded once per process, by the first test that needs them.
    if (!s_main) s_main = std::make_unique<CClip>(Decode(Fixture(kMain)));
    if (!s_top) s_top = std::make_unique<CClip>(Decode(Fixture(kTop)));
    ASSERT_EQ(s_main->m_frames.size(), 60u);
    ASSERT_EQ(s_top->m_frames.size(), 30u);
    const CClip out = Decode(m_output);
    ASSERT_EQ(out.m_width, 320);
    ASSERT_EQ(out.m_height, 240);
    ASSERT_EQ(out.m_frames.size(), count);
    for (size_t n = 0; n < count; ++n) {
      ASSERT_EQ(out.m_frames[n], Reference(*s_main, *s_top, n, mix)) << "output frame " << n;
    }
  }

  static inline std::unique_ptr<CClip> s_main;
  static inline std::unique_ptr<CClip> s_top;
  CTempDir m_dir;
  CRecordingHost m_host;
  std::string m_output;
  std::vector<uint8_t> m_mainBytes;
  std::vector<uint8_t> m_topBytes;
};

class MixReferenceTest : public MixJobTest, public ::testing::WithParamInterface<CMixCase> {};

TEST_P(MixReferenceTest, EveryOutputFrameEqualsTheReferenceComposite) {
  const CMixCase& mix = GetParam();

  const CMixOutcome outcome = Run(mix);

  EXPECT_TRUE(m_host.Messages().empty());
  EXPECT_TRUE(outcome.Complete());
  EXPECT_EQ(outcome.m_video.m_framesWritten, 60);
  ExpectFramesMatchReference(mix, 60);
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, MixReferenceTest,
    ::testing::Values(CMixCase{"KeyLoopedFfv1", false, true, 100, 50, 0, 0, "ffv1"},
                      CMixCase{"KeyFrozenClippedRaw", false, false, 170, 130, 0, 0, "uncompressed"},
                      CMixCase{"AlphaKeyedLooped", true, true, 100, 50, 128.0, 1, "ffv1"},
                      CMixCase{"AlphaBlendAllNegativeOffset", true, false, -30, -20, 77.5, 0,
                               "uncompressed"}),
    [](const auto& info) { return std::string(info.param.m_name); });

// Mains of other containers, made by ffmpeg: every output frame is the composite of ffmpeg's
// decode of the same main, and the audio is the main's own packets (PCM: its own samples).
TEST_F(MixJobTest, MainsOfOtherContainersMixFrameForFrameWithTheirAudio) {
  struct CSource {
    const char* m_file;
    const char* m_encode;
    const char* m_audioCheck;  // what ffmpeg compares: the packets or the decoded samples
  };
  const CSource sources[] = {
      {"h264_aac.mp4", "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -b:a 96k", "packets"},
      {"mpeg2_mp2.ts", "-c:v mpeg2video -q:v 3 -bf 2 -c:a mp2", "packets"},
      {"mjpeg_pcm.mov", "-c:v mjpeg -q:v 3 -c:a pcm_s16le", "samples"},
  };
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  const CClip top = Decode(Fixture(kTop));
  for (const CSource& source : sources) {
    SCOPED_TRACE(source.m_file);
    const std::string main = m_dir.Path(source.m_file);
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240:r=25:d=1.6 -f "
                         "lavfi -i sine=f=440:r=44100:d=1.6 " +
                         std::string(source.m_encode) + " " + ShellQuote(main))
                  .m_exitCode,
              0);
    const CCompressorInfo* codec = FindCompressor("ffv1");
    ASSERT_NE(codec, nullptr);
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = codec->m_fourCC;
    options.dwQuality = 0xFFFFFFFFu;
    m_host.m_compression = options;
    std::remove(m_output.c_str());

    const CMixOutcome outcome =
        MixColourKey(main, Fixture(kTop), m_output, 0, 255, 0, mix.m_top, mix.m_left, 1);

    EXPECT_TRUE(outcome.Complete());
    const CClip decodedMain = Decode(main);
    const CClip out = Decode(m_output);
    ASSERT_EQ(out.m_frames.size(), decodedMain.m_frames.size());
    ASSERT_EQ(out.m_frames.size(), 40u);
    for (size_t n = 0; n < out.m_frames.size(); ++n)
      ASSERT_EQ(out.m_frames[n], Reference(decodedMain, top, n, mix)) << "output frame " << n;
    if (std::string(source.m_audioCheck) == "packets") {
      // What ffprobe's demuxers give: each packet's size and checksum (side data, which
      // breaks a packet's line in two, left out).
      auto packets = [](const std::string& path) {
        std::string lines = RunCommand(
                                "ffprobe -v error -select_streams a:0 -show_data_hash md5 "
                                "-show_entries packet=size,data_hash -of csv=p=0 " +
                                ShellQuote(path))
                                .m_output;
        for (size_t at; (at = lines.find(",\n,")) != std::string::npos;) lines.erase(at, 2);
        return lines;
      };
      const std::string want = packets(main);
      EXPECT_GT(want.size(), 100u);
      EXPECT_EQ(packets(m_output), want);
    } else {
      auto samples = [](const std::string& path) {
        return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                          " -map 0:a:0 -f s16le -c:a pcm_s16le - | md5sum")
            .m_output;
      };
      EXPECT_EQ(samples(m_output), samples(main));
    }
  }
}

TEST_F(MixJobTest, AMainWhoseAudioAviCannotCarryGivesItsVideoAndSaysTheSoundIsMissing) {
  const std::string main = m_dir.Path("vp9_opus.webm");
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240:r=25:d=0.4 -f "
                       "lavfi -i sine=d=0.4 -c:v libvpx-vp9 -deadline realtime -c:a libopus " +
                       ShellQuote(main))
                .m_exitCode,
            0);
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.fccHandler = FindCompressor("ffv1")->m_fourCC;
  m_host.m_compression = options;

  const CMixOutcome outcome = MixColourKey(main, Fixture(kTop), m_output, 0, 255, 0, 50, 100, 1);

  EXPECT_EQ(outcome.m_video.m_framesWritten, 10);
  EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kFailed);
  EXPECT_FALSE(outcome.Complete());
  const auto messages = m_host.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().m_text, "The audio of " + main +
                                        " is in a format an AVI file cannot carry: the output "
                                        "has no sound");
  const CClip decodedMain = Decode(main);
  const CClip top = Decode(Fixture(kTop));
  const CClip out = Decode(m_output);
  ASSERT_EQ(out.m_frames.size(), 10u);
  for (size_t n = 0; n < out.m_frames.size(); ++n)
    ASSERT_EQ(out.m_frames[n], Reference(decodedMain, top, n, mix)) << n;
}

// Top layers of other kinds follow their own time over a 25 fps main: a 10 fps animated GIF,
// looped, shows its picture k on output frame n when k = floor(n * 10 / 25) mod 10; a still
// PNG stays on every frame.
TEST_F(MixJobTest, TopLayersOfOtherKindsFollowTheirOwnTime) {
  struct CTop {
    const char* m_file;
    const char* m_encode;
    uint8_t m_keyGreen;  // the GIF palette keeps 252 of the key's 255
    size_t (*m_picture)(size_t n);
  };
  const char* const layer =
      "color=c=0x00FF00:s=160x120:r=10:d=1,format=rgb24[bg];color=c=0xFF0000:s=30x30:r=10:d=1,"
      "format=rgb24[sq];[bg][sq]overlay=x='10+n*12':y='20+n*5':eval=frame:format=rgb";
  const CTop tops[] = {
      {"layer.gif", "-c:v gif", 252, [](size_t n) { return n * 10 / 25 % 10; }},
      {"logo.png", "-frames:v 1 -c:v png -pix_fmt rgb24", 255, [](size_t) { return size_t{0}; }},
  };
  const std::string main = m_dir.Path("main.mp4");
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240:r=25:d=1.6 "
                       "-c:v libx264 -bf 2 -pix_fmt yuv420p " +
                       ShellQuote(main))
                .m_exitCode,
            0);
  const CClip decodedMain = Decode(main);
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.fccHandler = FindCompressor("ffv1")->m_fourCC;
  options.dwQuality = 0xFFFFFFFFu;
  m_host.m_compression = options;
  for (const CTop& source : tops) {
    SCOPED_TRACE(source.m_file);
    const std::string top = m_dir.Path(source.m_file);
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -f lavfi -i " + ShellQuote(layer) + " " +
                         source.m_encode + " " + ShellQuote(top))
                  .m_exitCode,
              0);
    std::remove(m_output.c_str());

    const CMixOutcome outcome =
        MixColourKey(main, top, m_output, 0, source.m_keyGreen, 0, mix.m_top, mix.m_left, 1);

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

TEST_F(MixJobTest, OutputVideoFollowsTheMainVideosTimingAndFrame) {
  const CMixCase mix{"", false, true, 0, 0, 0, 0, "uncompressed"};

  Run(mix);

  const auto main = StreamHeaders(Fixture(kMain));
  const auto out = StreamHeaders(m_output);
  ASSERT_EQ(out.size(), 2u);
  ASSERT_GE(out[0].size(), 56u);
  EXPECT_EQ(std::memcmp(out[0].data(), "vids", 4), 0);
  EXPECT_EQ(Field(out[0], 20), Field(main[0], 20)) << "scale";
  EXPECT_EQ(Field(out[0], 24), Field(main[0], 24)) << "rate";
  EXPECT_EQ(Field(out[0], 28), Field(main[0], 28)) << "start";
  EXPECT_EQ(Field(out[0], 32), Field(main[0], 32)) << "length";
  EXPECT_EQ(std::vector<uint8_t>(out[0].begin() + 48, out[0].begin() + 56),
            std::vector<uint8_t>(main[0].begin() + 48, main[0].begin() + 56))
      << "rcFrame";
  const auto probe = RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 "
      "-show_entries stream=codec_name,pix_fmt,r_frame_rate,"
      "nb_read_frames,start_time -of csv=p=0 " +
      ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "rawvideo,bgr24,30/1,0.000000,60\n");
  // Every sample at the main video's position: pts 0..59 in frame units.
  const auto packets = PacketLines(m_output, "v:0");
  ASSERT_EQ(packets.size(), 60u);
  for (size_t i = 0; i < packets.size(); ++i) {
    long long dts = -1;
    long long pts = -1;
    ASSERT_EQ(std::sscanf(packets[i].c_str(), "%*d, %lld, %lld", &dts, &pts), 2) << packets[i];
    EXPECT_EQ(pts, static_cast<long long>(i));
  }
}

TEST_F(MixJobTest, OutputAudioIsTheMainVideosFirstAudioStreamUnchanged) {
  Run(CMixCase{"", true, true, 100, 50, 128.0, 1, "ffv1"});

  EXPECT_EQ(PacketLines(m_output, "a:0"), PacketLines(Fixture(kMain), "a:0"));
  const auto main = StreamHeaders(Fixture(kMain));
  const auto out = StreamHeaders(m_output);
  ASSERT_EQ(out.size(), 2u);
  ASSERT_EQ(out[1].size(), main[1].size());
  // The header as the source has it, the writer's suggested buffer size aside.
  std::vector<uint8_t> want = main[1];
  std::vector<uint8_t> got = out[1];
  std::memset(want.data() + 36, 0, 4);
  std::memset(got.data() + 36, 0, 4);
  EXPECT_EQ(got, want);
}

TEST_F(MixJobTest, ProgressCountsEveryFrameThenTheAudioChunks) {
  Run(CMixCase{"", false, true, 100, 50, 0, 0, "uncompressed"});

  const auto status = m_host.Status();
  ASSERT_EQ(status.size(), 60u + 87u);
  for (size_t i = 0; i < 60; ++i) {
    EXPECT_EQ(status[i], "Processing frame " + std::to_string(i + 1) + "\\60");
  }
  EXPECT_EQ(status[60], "Audio Chunk 1");
  EXPECT_EQ(status.back(), "Audio Chunk 87");
}

TEST_F(MixJobTest, AlphaMixLeavesItsTimeSummary) {
  Run(CMixCase{"", true, false, 10, 10, 200.0, 1, "uncompressed"});

  const long video = EngineState().m_videoTime.load();
  const long audio = EngineState().m_audioTime.load();
  std::lock_guard lock(EngineState().m_summaryLock);
  EXPECT_EQ(EngineState().m_summary, "Time taken: Video=" + std::to_string(video) +
                                         "ms, Audio=" + std::to_string(audio) +
                                         "ms, Total=" + std::to_string(video + audio) + "ms");
}

TEST_F(MixJobTest, AStopMidwayLeavesAValidFileWithTheFramesWrittenAndAnEmptyAudioStream) {
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  m_host.m_onStatus = [](const std::string& text) {
    if (text == "Processing frame 10\\60") EngineState().m_mixing = 0;
  };

  const CMixOutcome outcome = Run(mix);

  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kStopped);
  EXPECT_EQ(outcome.m_video.m_framesWritten, 10);
  EXPECT_FALSE(outcome.Complete());
  EXPECT_EQ(m_host.Status().back(), "Processing frame 10\\60") << "the copy shows no chunk";
  ExpectFramesMatchReference(mix, 10);
  const auto probe = RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,channels -of csv=p=0 " +
      ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "pcm_s16le,44100,2\n");
  EXPECT_TRUE(PacketLines(m_output, "a:0").empty());
  const auto main = StreamHeaders(Fixture(kMain));
  const auto out = StreamHeaders(m_output);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(out[1].begin(), out[1].begin() + 32),
            std::vector<uint8_t>(main[1].begin(), main[1].begin() + 32));
}

TEST_F(MixJobTest, AFlagAlreadyDownGivesAVideoStreamWithoutFrames) {
  EngineState().m_mixing = 0;

  const CMixOutcome outcome = Run(CMixCase{"", false, true, 0, 0, 0, 0, "uncompressed"});

  EXPECT_EQ(outcome.m_video.m_framesWritten, 0);
  EXPECT_TRUE(m_host.Status().empty());
  const auto probe = RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " +
                                ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "video\naudio\n");
  EXPECT_TRUE(PacketLines(m_output, "v:0").empty());
  EXPECT_TRUE(PacketLines(m_output, "a:0").empty());
}

TEST_F(MixJobTest, AMainVideoWithoutAudioGivesTheMessageAndAVideoOnlyOutput) {
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  m_host.m_compression = options;
  const std::string main = Fixture(kTop);
  const std::string top = Fixture("ff_bgr24_64x48_dibhandler.avi");

  const CMixOutcome outcome = MixColourKey(main, top, m_output, 0, 0, 0, 5, 5, 1);

  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Cannot get AVI audio stream for " + main);
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kNoAudio);
  EXPECT_TRUE(outcome.Complete());
  EXPECT_EQ(EngineState().m_audioTime.load(), 0);
  const auto probe = RunCommand(
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_type,width,height,nb_read_frames -of csv=p=0 " +
      ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "video,160,120,30\n");
}

}  // namespace
}  // namespace corvane
