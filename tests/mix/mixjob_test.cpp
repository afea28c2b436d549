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
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CClip;
using test::CMixCase;
using test::CRecordingHost;
using test::CTempDir;
using test::Decode;
using test::Fixture;
using test::Reference;
using test::RunCommand;
using test::ShellQuote;

const char* const kMain = "main_320x240_bgr24_pcm.avi";
const char* const kTop = "top_160x120_bgr24_green.avi";

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

TEST_F(MixJobTest, AStopMidwayLeavesAValidFileWithTheFramesWrittenAndTheirSound) {
  const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
  m_host.m_onStatus = [](const std::string& text) {
    if (text == "Processing frame 10\\60") EngineState().m_mixing = 0;
  };

  const CMixOutcome outcome = Run(mix);

  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kStopped);
  EXPECT_EQ(outcome.m_video.m_framesWritten, 10);
  EXPECT_FALSE(outcome.Complete());
  EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kStopped);
  EXPECT_EQ(m_host.Status().back().rfind("Audio Chunk ", 0), 0u) << "the copy shows its chunks";
  ExpectFramesMatchReference(mix, 10);
  const auto probe = RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,channels -of csv=p=0 " +
      ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "pcm_s16le,44100,2\n");
  // The sound of the 10 frames (1/3 s at 30 a second): the main's, from its start, ending
  // within one chunk of the last frame's end.
  const std::string sound = test::DecodedAudio(m_output);
  EXPECT_EQ(test::DecodedAudio(Fixture(kMain)).compare(0, sound.size(), sound), 0);
  const double seconds = double(sound.size()) / (44100 * 2 * 2);
  EXPECT_GE(seconds, 10 / 30.0);
  EXPECT_LT(seconds, 10 / 30.0 + 0.1);
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
