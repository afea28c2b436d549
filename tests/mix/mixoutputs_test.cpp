// Outputs in the containers other than AVI, read back by ffprobe and ffmpeg: the container and
// codecs the name chose, one frame per main frame (pixel-exact where the codec is lossless), the
// sound kept or encoded, the MP4 index before its media data, and a stop that still leaves a
// finished file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "mixreference.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CClip;
using test::CMixCase;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

const char* const kMain = "main_320x240_bgr24_pcm.avi";  // 60 frames at 30 fps, 2 s of PCM
const char* const kTop = "top_160x120_bgr24_green.avi";

std::string Probe(const std::string& path, const std::string& entries,
                  const std::string& select = "") {
  return RunCommand("ffprobe -v error " + select + " -show_entries " + entries + " -of csv=p=0 " +
                    ShellQuote(path))
      .m_output;
}

double Seconds(const std::string& text) {
  return text.empty() ? -1.0 : std::atof(text.c_str());
}

// How long the first audio stream sounds, as ffmpeg decodes it (16-bit mono at 48 kHz counted).
double AudioSeconds(const std::string& path) {
  const auto bytes = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                " -map 0:a:0 -ac 1 -ar 48000 -f s16le - | wc -c");
  return Seconds(bytes.m_output) / (2 * 48000.0);
}

// The top-level MP4 boxes in file order.
std::vector<std::string> TopBoxes(const std::string& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  std::vector<std::string> boxes;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const uint64_t size =
        uint64_t{bytes[at]} << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
    boxes.emplace_back(bytes.begin() + at + 4, bytes.begin() + at + 8);
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

class MixOutputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg") || !test::HaveProgram("ffprobe"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    EngineState().m_mixing = 1;
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  CMixOutcome Mix(const std::string& main, const std::string& output, const char* codec) {
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = FindCompressor(codec)->m_fourCC;
    options.dwQuality = 0xFFFFFFFFu;
    m_host.m_compression = options;
    return MixColourKey(main, Fixture(kTop), output, 0, 255, 0, 50, 100, 1);
  }

  test::CTempDir m_dir;
  test::CRecordingHost m_host;
};

TEST_F(MixOutputsTest, EachContainerHoldsEveryFrameInItsCodecsWithTheSound) {
  struct CCase {
    const char* m_file;
    const char* m_codec;
    const char* m_format;  // ffprobe's format_name
    const char* m_streams;
    const char* m_notice;  // what happened to the PCM sound; empty: kept
  };
  const CCase cases[] = {
      {"out.mkv", "ffv1", "matroska,webm", "ffv1\npcm_s16le\n", ""},
      {"out.mp4", "h264", "mov,mp4,m4a,3gp,3g2,mj2", "h264\naac\n",
       "MP4 players do not play: "
       "it is encoded as AAC"},
      {"out.webm", "vp9", "matroska,webm", "vp9\nopus\n",
       "WebM players do not play: it is "
       "encoded as Opus"},
      {"out.mov", "h264", "mov,mp4,m4a,3gp,3g2,mj2", "h264\naac\n",
       "MOV players do not play: "
       "it is encoded as AAC"},
  };
  const std::string main = Fixture(kMain);
  const double mainSeconds = Seconds(Probe(main, "format=duration"));
  ASSERT_NEAR(mainSeconds, 2.0, 0.01);
  for (const CCase& c : cases) {
    SCOPED_TRACE(c.m_file);
    const std::string output = m_dir.Path(c.m_file);
    m_host.Clear();

    const CMixOutcome outcome = Mix(main, output, c.m_codec);

    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(Probe(output, "format=format_name"), "\"" + std::string(c.m_format) + "\"\n");
    EXPECT_EQ(Probe(output, "stream=codec_name"), c.m_streams);
    EXPECT_EQ(Probe(output, "stream=nb_read_frames", "-count_frames -select_streams v:0"), "60\n");
    const auto messages = m_host.Messages();
    if (*c.m_notice) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].m_text, "The audio of " + main + " is PCM, which " + c.m_notice);
      EXPECT_NEAR(AudioSeconds(output), mainSeconds, 0.05);
    } else {
      EXPECT_TRUE(messages.empty());
      const auto samples = [](const std::string& path) {
        return RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                          " -map 0:a:0 -f s16le - | md5sum")
            .m_output;
      };
      EXPECT_EQ(samples(output), samples(main));
      // Lossless: every frame is the composite of ffmpeg's decode of the sources.
      const CClip mainClip = test::Decode(main);
      const CClip topClip = test::Decode(Fixture(kTop));
      const CClip out = test::Decode(output);
      ASSERT_EQ(out.m_frames.size(), 60u);
      const CMixCase mix{"", false, true, 100, 50, 0, 0, "ffv1"};
      for (size_t n = 0; n < out.m_frames.size(); ++n)
        ASSERT_EQ(out.m_frames[n], test::Reference(mainClip, topClip, n, mix)) << n;
    }
    if (std::string(c.m_format).starts_with("mov")) {
      const auto boxes = TopBoxes(output);
      const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
      const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
      EXPECT_TRUE(moov < mdat) << "the index must come before the media data";
    }
  }
}

// An Opus main keeps its packets in Matroska and WebM; an AAC main keeps them in MP4.
TEST_F(MixOutputsTest, SoundTheContainerTakesKeepsItsPackets) {
  struct CCase {
    const char* m_main;
    const char* m_encode;
    const char* m_output;
  };
  const CCase cases[] = {
      {"opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", "out.mkv"},
      {"opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", "out.webm"},
      {"aac.mp4", "-c:v libx264 -c:a aac", "out.mp4"},
      // No Matroska codec id: it goes in under its WAVE header.
      {"adpcm.avi", "-c:v ffv1 -c:a adpcm_ms", "out.mkv"},
  };
  for (const CCase& c : cases) {
    SCOPED_TRACE(c.m_output);
    const std::string main = m_dir.Path(c.m_main);
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=320x240:r=25:d=1 -f "
                         "lavfi -i sine=r=48000:d=1 " +
                         std::string(c.m_encode) + " " + ShellQuote(main))
                  .m_exitCode,
              0);
    const std::string output = m_dir.Path(c.m_output);
    m_host.Clear();

    const CMixOutcome outcome =
        Mix(main, output, std::string(c.m_output).ends_with(".webm") ? "vp9" : "h264");

    EXPECT_TRUE(outcome.Complete());
    EXPECT_TRUE(m_host.Messages().empty());
    const std::string want = test::AudioPackets(main);
    EXPECT_GT(want.size(), 100u);
    EXPECT_EQ(test::AudioPackets(output), want);
  }
}

// Sound that can be neither kept nor decoded (a WAVE format tag no one knows) is never dropped
// silently: the mix says so and does not count as complete.
TEST_F(MixOutputsTest, SoundNoContainerTakesIsReportedAndTheMixFails) {
  std::vector<uint8_t> bytes = test::ReadFileBytes(Fixture(kMain));
  const std::string text(bytes.begin(), bytes.end());
  const size_t audio = text.find("auds");
  ASSERT_NE(audio, std::string::npos);
  const size_t format = text.find("strf", audio);
  ASSERT_NE(format, std::string::npos);
  bytes[format + 8] = 0x77;  // wFormatTag
  bytes[format + 9] = 0x77;
  const std::string main = m_dir.Path("unknown.avi");
  ASSERT_TRUE(test::WriteFileBytes(main, bytes));

  for (const char* name : {"out.mp4", "out.mkv"}) {
    SCOPED_TRACE(name);
    m_host.Clear();
    const CMixOutcome outcome = Mix(main, m_dir.Path(name), "h264");
    EXPECT_FALSE(outcome.Complete());
    EXPECT_EQ(outcome.m_video.m_framesWritten, 60);
    std::string said;
    for (const auto& message : m_host.Messages()) said += message.m_text + "\n";
    EXPECT_NE(said.find("cannot be written to this container"), std::string::npos) << said;
  }
}

// Stopped at frame 10, every container is still a finished file: ffprobe reads it, ffmpeg
// decodes its ten frames, and the MP4 has its index first.
TEST_F(MixOutputsTest, AStopLeavesAFinishedFileInEveryContainer) {
  m_host.m_onStatus = [](const std::string& text) {
    if (text == "Processing frame 10\\60") EngineState().m_mixing = 0;
  };
  for (const char* file : {"stop.mkv", "stop.mp4", "stop.webm", "stop.mov"}) {
    SCOPED_TRACE(file);
    EngineState().m_mixing = 1;
    const std::string output = m_dir.Path(file);
    const std::string name = file;
    const char* codec = name.ends_with(".mkv") ? "ffv1" : name.ends_with(".webm") ? "vp9" : "h264";

    const CMixOutcome outcome = Mix(Fixture(kMain), output, codec);

    EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kStopped);
    EXPECT_EQ(outcome.m_video.m_framesWritten, 10);
    EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kStopped);
    const auto decoded = RunCommand("ffmpeg -v error -i " + ShellQuote(output) +
                                    " -map 0:v:0 -f framecrc - | grep -vc '^#'");
    EXPECT_EQ(decoded.m_output, "10\n") << decoded.m_errors;
    // The sound of the ten frames written (a third of a second), no more.
    EXPECT_NEAR(AudioSeconds(output), 10.0 / 30.0, 0.05);
    if (name.ends_with(".mp4")) {
      EXPECT_EQ(TopBoxes(output)[1], "moov");
    }
  }
}

// 4:2:0 needs even sizes: a 321x241 main into MP4 loses its last column and row, and says so.
TEST_F(MixOutputsTest, AnOddSizedPictureLosesItsLastColumnAndRowForFourTwoZeroWithANotice) {
  const std::string output = m_dir.Path("odd.mp4");

  const CMixOutcome outcome = Mix(Fixture("ff_bgr24_321x241.avi"), output, "h264");

  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kComplete);
  EXPECT_EQ(Probe(output, "stream=width,height,pix_fmt,color_space", "-select_streams v:0"),
            "320,240,yuv420p,smpte170m\n");
  const auto messages = m_host.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].m_text,
            "The picture is 321x241, and H.264 (x264) needs even sizes: its last column and last "
            "row are left out (320x240)");
}

}  // namespace
}  // namespace corvane
