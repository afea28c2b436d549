// The audio copy, checked against ffmpeg's view of the packets (framemd5) and against the
// stream headers as the file holds them (read here by a plain RIFF walk, not by our reader).
#include "media/audiocopy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CRecordingHost;
using test::CTempDir;
using test::Fixture;

// The strh and strf chunks of each stream, in stream order, as bytes.
struct CRawStream {
  std::vector<uint8_t> m_strh;
  std::vector<uint8_t> m_strf;
};

uint32_t LoadU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void WalkHeaders(const std::vector<uint8_t>& file, size_t from, size_t to,
                 std::vector<CRawStream>& streams) {
  while (from + 8 <= to) {
    const std::string id(file.begin() + from, file.begin() + from + 4);
    const size_t size = LoadU32(file, from + 4);
    const size_t body = from + 8;
    if (body + size > to) return;
    if (id == "LIST" && size >= 4) {
      const std::string type(file.begin() + body, file.begin() + body + 4);
      if (type == "strl") streams.emplace_back();
      if (type == "hdrl" || type == "strl") WalkHeaders(file, body + 4, body + size, streams);
      if (type == "movi") return;
    } else if ((id == "strh" || id == "strf") && !streams.empty()) {
      std::vector<uint8_t> bytes(file.begin() + body, file.begin() + body + size);
      (id == "strh" ? streams.back().m_strh : streams.back().m_strf) = bytes;
    }
    from = body + size + (size & 1);
  }
}

std::vector<CRawStream> RawStreams(const std::string& path) {
  const std::vector<uint8_t> file = test::ReadFileBytes(path);
  std::vector<CRawStream> streams;
  if (file.size() >= 12) WalkHeaders(file, 12, file.size(), streams);
  return streams;
}

const CRawStream* FirstOfType(const std::vector<CRawStream>& streams, const char* type) {
  for (const CRawStream& stream : streams) {
    if (stream.m_strh.size() >= 56 && std::memcmp(stream.m_strh.data(), type, 4) == 0) {
      return &stream;
    }
  }
  return nullptr;
}

// ffmpeg's packet list of the first audio stream: "stream, dts, pts, duration, size, md5".
std::vector<std::string> AudioPackets(const std::string& path) {
  const auto result = test::RunCommand("ffmpeg -v error -i " + test::ShellQuote(path) +
                                       " -map 0:a:0 -c copy -f framemd5 -");
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < result.m_output.size()) {
    size_t end = result.m_output.find('\n', from);
    if (end == std::string::npos) end = result.m_output.size();
    const std::string line = result.m_output.substr(from, end - from);
    if (!line.empty() && line[0] != '#') lines.push_back(line);
    from = end + 1;
  }
  return lines;
}

// A small finished AVI holding one raw video stream of two frames, as a video pass leaves it.
void WriteVideoOnly(const std::string& path) {
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 30;
  info.dwQuality = 0xFFFFFFFFu;
  info.rcFrame = {0, 0, 4, 2};
  PAVISTREAM stream;
  ASSERT_EQ(file->CreateStream(stream, info), AVIERR_OK);
  BITMAPINFOHEADER format{};
  format.biSize = 40;
  format.biWidth = 4;
  format.biHeight = 2;
  format.biPlanes = 1;
  format.biBitCount = 24;
  format.biSizeImage = FrameStride(4) * 2;
  ASSERT_EQ(stream->SetFormat(0, &format, sizeof(format)), AVIERR_OK);
  const std::vector<uint8_t> frame(format.biSizeImage, 0x40);
  for (int32_t i = 0; i < 2; ++i) {
    ASSERT_GE(stream->Write(i, 1, frame.data(), static_cast<int32_t>(frame.size()), AVIIF_KEYFRAME,
                            nullptr, nullptr),
              0);
  }
}

class AudioCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed as the reference";
    EngineState().m_mixing = 1;
    m_output = m_dir.Path("out.avi");
    WriteVideoOnly(m_output);
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  CTempDir m_dir;
  std::string m_output;
  CRecordingHost m_host;
};

class AudioCopyFixtureTest : public AudioCopyTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(AudioCopyFixtureTest, CopiesEveryPacketByteForByteAtItsOwnPosition) {
  const std::string main = Fixture(GetParam());
  const auto before = test::ReadFileBytes(main);

  const EAudioCopyResult result = CopyAudioTrack(main, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kCopied);
  EXPECT_TRUE(m_host.Messages().empty());
  const auto expected = AudioPackets(main);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(AudioPackets(m_output), expected);
  EXPECT_EQ(test::ReadFileBytes(main), before) << "the source was changed";
}

TEST_P(AudioCopyFixtureTest, KeepsTheSourceHeaderAndFormat) {
  const std::string main = Fixture(GetParam());

  CopyAudioTrack(main, m_output);

  const auto sourceStreams = RawStreams(main);
  const auto outputStreams = RawStreams(m_output);
  const CRawStream* source = FirstOfType(sourceStreams, "auds");
  const CRawStream* copy = FirstOfType(outputStreams, "auds");
  ASSERT_NE(source, nullptr);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->m_strf, source->m_strf);
  // Everything but the suggested buffer size, which a writer sizes from what it wrote.
  std::vector<uint8_t> want = source->m_strh;
  std::vector<uint8_t> got = copy->m_strh;
  ASSERT_GE(got.size(), 40u);
  std::memset(want.data() + 36, 0, 4);
  std::memset(got.data() + 36, 0, 4);
  EXPECT_EQ(got, want);
  // The video stream written before the copy is still there, first.
  ASSERT_EQ(outputStreams.size(), 2u);
  EXPECT_EQ(std::memcmp(outputStreams[0].m_strh.data(), "vids", 4), 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AudioCopyFixtureTest,
                         ::testing::Values("main_320x240_bgr24_pcm.avi",
                                           "men_mpeg4_bframes_mp3cbr.avi", "men_h264_pcm.avi",
                                           "ff_mpeg4_bframes_mp3cbr.avi", "ff_h264_adpcm_ms.avi",
                                           "men_mjpeg_dupframes_pcmu8.avi",
                                           "ff_audio_only_pcm.avi"));

TEST_F(AudioCopyTest, ReportsEachChunkByItsCounterAndTracesEveryReadAndWrite) {
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");

  CopyAudioTrack(main, m_output);

  const auto status = m_host.Status();
  ASSERT_EQ(status.size(), 87u);  // the fixture's chunk count
  for (size_t i = 0; i < status.size(); ++i) {
    EXPECT_EQ(status[i], "Audio Chunk " + std::to_string(i + 1));
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 87; ++i) {
    expected.push_back("R");
    expected.push_back("W");
  }
  EXPECT_EQ(m_host.Traces(), expected);
}

TEST_F(AudioCopyTest, AStopBeforeTheFirstChunkLeavesHeaderAndFormatWithNoSamples) {
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");
  EngineState().m_mixing = 0;

  const EAudioCopyResult result = CopyAudioTrack(main, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kStopped);
  EXPECT_TRUE(m_host.Status().empty());
  EXPECT_TRUE(m_host.Messages().empty());
  const auto sourceStreams = RawStreams(main);
  const CRawStream* source = FirstOfType(sourceStreams, "auds");
  const auto outputStreams = RawStreams(m_output);
  const CRawStream* copy = FirstOfType(outputStreams, "auds");
  ASSERT_NE(source, nullptr);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->m_strf, source->m_strf);
  EXPECT_EQ(std::vector<uint8_t>(copy->m_strh.begin(), copy->m_strh.begin() + 32),
            std::vector<uint8_t>(source->m_strh.begin(), source->m_strh.begin() + 32));
  EXPECT_EQ(LoadU32(copy->m_strh, 32), 0u) << "no samples";
  EXPECT_TRUE(AudioPackets(m_output).empty());
  const auto probe = test::RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,channels -of csv=p=0 " +
      test::ShellQuote(m_output));
  EXPECT_EQ(probe.m_output, "pcm_s16le,44100,2\n");
}

TEST_F(AudioCopyTest, AStopMidwayKeepsTheChunksCopiedSoFar) {
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");
  m_host.m_onStatus = [](const std::string& text) {
    if (text == "Audio Chunk 10") EngineState().m_mixing = 0;
  };

  const EAudioCopyResult result = CopyAudioTrack(main, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kStopped);
  const auto source = AudioPackets(main);
  ASSERT_GE(source.size(), 10u);
  EXPECT_EQ(AudioPackets(m_output), std::vector<std::string>(source.begin(), source.begin() + 10));
  EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(AudioCopyTest, AMainVideoWithoutAudioIsReportedAndTheOutputKeepsItsVideoAlone) {
  const std::string main = Fixture("top_160x120_bgr24_green.avi");
  const auto before = test::ReadFileBytes(m_output);
  EngineState().m_audioTime = 77;

  const EAudioCopyResult result = CopyAudioTrack(main, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kNoAudio);
  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Cannot get AVI audio stream for " + main);
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(test::ReadFileBytes(m_output), before);
  EXPECT_EQ(EngineState().m_audioTime.load(), 0);
}

TEST_F(AudioCopyTest, AMainVideoThatCannotBeOpenedIsReportedByName) {
  const std::string main = m_dir.Path("missing.avi");
  EngineState().m_audioTime = 77;

  const EAudioCopyResult result = CopyAudioTrack(main, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kFailed);
  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Unable to open " + main + "\nno such file");
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(EngineState().m_audioTime.load(), 0);
}

TEST_F(AudioCopyTest, AnOutputThatCannotBeReopenedEndsTheCopyWithoutAMessage) {
  const EAudioCopyResult result =
      CopyAudioTrack(Fixture("main_320x240_bgr24_pcm.avi"), m_dir.Path("absent.avi"));

  EXPECT_EQ(result, EAudioCopyResult::kFailed);
  EXPECT_TRUE(m_host.Messages().empty());
  EXPECT_FALSE(std::filesystem::exists(m_dir.Path("absent.avi")));
}

TEST_F(AudioCopyTest, RefusesToWriteIntoTheMainVideoUnderAnotherName) {
  const std::string main = m_dir.Path("main.avi");
  std::filesystem::copy_file(Fixture("men_h264_pcm.avi"), main);
  const std::string link = m_dir.Path("link.avi");
  std::filesystem::create_hard_link(main, link);
  const auto before = test::ReadFileBytes(main);

  const EAudioCopyResult result = CopyAudioTrack(main, link);

  EXPECT_EQ(result, EAudioCopyResult::kFailed);
  ASSERT_EQ(m_host.Messages().size(), 1u);
  EXPECT_EQ(m_host.Messages()[0].m_text,
            "The output file cannot be the main AVI or the top layer AVI");
  EXPECT_EQ(m_host.Messages()[0].m_flags, MB_ICONERROR);
  EXPECT_EQ(test::ReadFileBytes(main), before);
}

TEST(SameFileTest, TellsLinksAndOtherNamesOfOneFileFromOtherFiles) {
  CTempDir dir;
  const std::string file = dir.Path("a.avi");
  ASSERT_TRUE(test::WriteFileBytes(file, {1, 2, 3}));
  ASSERT_TRUE(test::WriteFileBytes(dir.Path("b.avi"), {1, 2, 3}));
  std::filesystem::create_hard_link(file, dir.Path("hard.avi"));
  std::filesystem::create_symlink(file, dir.Path("soft.avi"));
  std::filesystem::create_directory(dir.Path("sub"));

  EXPECT_TRUE(SameFile(file, file));
  EXPECT_TRUE(SameFile(dir.Path("hard.avi"), file));
  EXPECT_TRUE(SameFile(dir.Path("soft.avi"), file));
  EXPECT_TRUE(SameFile(dir.Path("sub/../a.avi"), file));
  EXPECT_FALSE(SameFile(dir.Path("b.avi"), file));
  EXPECT_FALSE(SameFile(dir.Path("none.avi"), file));
  EXPECT_FALSE(SameFile("", file));
}

}  // namespace
}  // namespace corvane
