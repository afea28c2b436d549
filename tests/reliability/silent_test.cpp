// Faults that used to pass without a word: a read error in the main's sound, damaged sound
// packets, frame times that cannot be kept in memory and a top layer whose first frame does not
// decode. Each is said, and none ends as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "mix/mixjob.h"
#include "reliabilitysupport.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

// Seconds of sound that ffmpeg decodes from `path`.
double DecodedSoundSeconds(const std::string& path) {
  const std::string lines = RunCommand(
                                "ffprobe -v error -select_streams a:0 -show_entries "
                                "frame=pkt_duration_time -of csv=p=0 " +
                                Q(path))
                                .m_output;
  double seconds = 0.0;
  size_t from = 0;
  for (size_t to; (to = lines.find('\n', from)) != std::string::npos; from = to + 1)
    seconds += std::atof(lines.substr(from, to - from).c_str());
  return seconds;
}

// A main video stream whose frame times cannot be held in memory; the rest is the real stream's.
class CTimesOutOfMemory final : public CAviStream {
 public:
  explicit CTimesOutOfMemory(PAVISTREAM stream) : m_stream(std::move(stream)) {}
  HRESULT Info(AVISTREAMINFOA& info) const override { return m_stream->Info(info); }
  HRESULT ReadFormat(int32_t position, void* format, int32_t* size) override {
    return m_stream->ReadFormat(position, format, size);
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_UNSUPPORTED; }
  int32_t Start() const override { return m_stream->Start(); }
  int32_t Length() const override { return m_stream->Length(); }
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    return m_stream->Read(start, samples, buffer, bufferSize, bytesRead, samplesRead);
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_UNSUPPORTED;
  }
  int32_t FindSample(int32_t position, uint32_t flags) const override {
    return m_stream->FindSample(position, flags);
  }
  bool PresentationTimes(SPresentationTimes&) const override { throw std::bad_alloc(); }

 private:
  PAVISTREAM m_stream;
};

class SilentFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffprobe") || !test::HaveProgram("ffmpeg"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    m_program = test::BuiltProgram("cli/corvane-mix");
    if (!fs::exists(m_program)) GTEST_SKIP() << "corvane-mix is not built";
    m_main = test::Fixture("main_320x240_bgr24_pcm.avi");
    m_top = test::Fixture("top_160x120_bgr24_green.avi");
  }
  test::CTempDir m_dir;
  std::string m_program;
  std::string m_main;
  std::string m_top;
};

// libavformat reads the main's sound for a Matroska output, our own reader its pictures: a disk
// that fails part way through the file fails the first and not the second.
TEST_F(SilentFaultTest, ASoundReadErrorEndsTheSoundThereSaysWhereAndFailsTheMix) {
  const std::string library = test::BuiltProgram("tests/libcorvane_readfault.so");
  if (!fs::exists(library)) GTEST_SKIP() << "the read fault library is not built";
  const std::string output = m_dir.Path("cut.mkv");
  const std::string at = std::to_string(fs::file_size(m_main) / 3);
  const test::CChildRun run = test::RunChild({m_program, m_main, m_top, output}, [&]() {
    setenv("CORVANE_READ_FAULT_FILE", m_main.c_str(), 1);
    setenv("CORVANE_READ_FAULT_AT", at.c_str(), 1);
    setenv("LD_PRELOAD", library.c_str(), 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
  });

  EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
  const std::string said = "corvane-mix: The audio of " + m_main + " could not be read after ";
  const size_t where = run.m_errors.find(said);
  ASSERT_NE(where, std::string::npos) << run.m_errors;
  const double seconds = std::atof(run.m_errors.c_str() + where + said.size());
  EXPECT_NE(run.m_errors.find("(Input/output error): the sound of " + output + " ends there"),
            std::string::npos)
      << run.m_errors;
  // The sound written ends where the message says, well before the main's; the pictures are all
  // there.
  EXPECT_GT(seconds, 0.0);
  EXPECT_LT(seconds, 1.5);
  EXPECT_NEAR(DecodedSoundSeconds(output), seconds, 0.05);
  EXPECT_EQ(test::PacketCounts(output).substr(0, 9), "video,60\n");
  test::AddTableRow("nothing silent", "read error (EIO) a third of the way into the main's sound",
                    "exit 1, \"The audio of ... could not be read after " +
                        std::to_string(seconds).substr(0, 4) + " s (Input/output error)\"; the " +
                        "output's sound ends there, all 60 frames kept",
                    !HasFailure());
}

// Sound that is decoded and encoded again (MP2 into MP4, as AAC): packets the decoder refuses
// are left out, counted in one notice, and the mix fails.
TEST_F(SilentFaultTest, DamagedSoundPacketsAreCountedInOneNoticeAndFailTheMix) {
  const std::string main = m_dir.Path("mp2.mkv");
  ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i testsrc=s=160x120:r=25:d=2 -f lavfi -i "
                       "sine=r=44100:d=2 -c:v mjpeg -c:a mp2 " +
                       Q(main))
                .m_exitCode,
            0);
  // Three sound packets lose their frame headers (the MP2 sync word that follows each packet's
  // position in the file, as ffprobe gives it).
  const std::string packets = RunCommand(
                                  "ffprobe -v error -select_streams a -show_entries "
                                  "packet=pos -of csv=p=0 " +
                                  Q(main))
                                  .m_output;
  std::vector<long> positions;
  size_t from = 0;
  for (size_t to; (to = packets.find('\n', from)) != std::string::npos; from = to + 1)
    positions.push_back(std::atol(packets.substr(from, to - from).c_str()));
  ASSERT_GT(positions.size(), 40u);
  std::vector<uint8_t> bytes = test::ReadFileBytes(main);
  for (const size_t index : {10u, 20u, 30u}) {
    auto at = static_cast<size_t>(positions[index]);
    while (at + 4 < bytes.size() && !(bytes[at] == 0xFF && (bytes[at + 1] & 0xE0) == 0xE0)) ++at;
    ASSERT_LT(at + 4, bytes.size());
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 4, uint8_t{0});
  }
  std::FILE* file = std::fopen(main.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  const std::string output = m_dir.Path("out.mp4");

  const auto run = RunCommand(Q(m_program) + " " + Q(main) + " " + Q(m_top) + " " + Q(output));

  EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
  const std::string notice = "corvane-mix: 3 damaged audio packets of " + main +
                             " could not be decoded and were left out of " + output + "\n";
  const size_t said = run.m_errors.find(notice);
  EXPECT_NE(said, std::string::npos) << run.m_errors;
  EXPECT_EQ(run.m_errors.find("damaged", said + notice.size()), std::string::npos)
      << "said more than once";
  test::AddTableRow("nothing silent", "three MP2 packets with their headers zeroed, into MP4",
                    "exit 1, one notice \"3 damaged audio packets of ... were left out\"",
                    !HasFailure());
}

TEST_F(SilentFaultTest, FrameTimesThatCannotBeKeptFailTheMixBeforeTheOutputIsTouched) {
  test::CRecordingHost host;
  PAVIFILE mainFile;
  PAVIFILE topFile;
  PAVISTREAM mainStream;
  PAVISTREAM topStream;
  ASSERT_EQ(CAviFile::Open(m_main, OF_SHARE_DENY_WRITE, mainFile), AVIERR_OK);
  ASSERT_EQ(CAviFile::Open(m_top, OF_SHARE_DENY_WRITE, topFile), AVIERR_OK);
  ASSERT_EQ(mainFile->GetStream(mainStream, streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(topFile->GetStream(topStream, streamtypeVIDEO, 0), AVIERR_OK);
  const auto outOfMemory = std::make_shared<CTimesOutOfMemory>(mainStream);
  const std::string output = m_dir.Path("never.mkv");

  const CVideoPassOutcome outcome =
      WriteColourKeyVideo(outOfMemory, topStream, output, 0xFF00FF00u, 0, 0, 0);

  EXPECT_EQ(outcome.m_result, EVideoPassResult::kNoOutput);
  EXPECT_FALSE(fs::exists(output));
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].m_text,
            "Cannot allocate memory for the frame times of the main video");
}

TEST_F(SilentFaultTest, ATopLayerWhoseFirstFrameDoesNotDecodeIsRefusedByName) {
  // Every picture of the top layer damaged: its first frame cannot be decoded.
  const std::string top = m_dir.Path("broken.mkv");
  ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i testsrc=s=64x48:r=25:d=1 -c:v png -bsf:v "
                       "noise=amount=1 " +
                       Q(top))
                .m_exitCode,
            0);
  const std::string output = m_dir.Path("out.mkv");

  const auto run =
      RunCommand(Q(m_program) + " --layer-alpha " + Q(m_main) + " " + Q(top) + " " + Q(output));

  EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
  EXPECT_NE(run.m_errors.find("corvane-mix: The first frame of " + top +
                              " cannot be decoded: it is not mixed"),
            std::string::npos)
      << run.m_errors;
  EXPECT_FALSE(fs::exists(output));
  test::AddTableRow("nothing silent", "a top layer with alpha whose first frame does not decode",
                    "exit 1, \"The first frame of ... cannot be decoded: it is not mixed\", no "
                    "output",
                    !HasFailure());
}

// The summary line (the desktop's status after a mix) calls the sound "the audio" only when all
// of it is in the file.
TEST(MixSummaryTest, OnlyAllOfTheSoundIsCalledTheAudio) {
  const struct {
    EAudioCopyResult m_audio;
    const char* m_summary;
  } cases[] = {
      {EAudioCopyResult::kCopied, "Done: 60 frames and the audio in out.mp4"},
      {EAudioCopyResult::kPartial, "Done: 60 frames in out.mp4, with part of the audio"},
      {EAudioCopyResult::kFailed, "Done: 60 frames in out.mp4, without the audio"},
      {EAudioCopyResult::kNoAudio, "Done: 60 frames in out.mp4; the main video has no audio"},
  };
  for (const auto& test : cases) {
    CMixOutcome outcome;
    outcome.m_video.m_result = EVideoPassResult::kComplete;
    outcome.m_video.m_framesWritten = outcome.m_video.m_frameTotal = 60;
    outcome.m_audioRan = true;
    outcome.m_audio = test.m_audio;
    EXPECT_EQ(OutcomeSummary(outcome, "/videos/out.mp4"), test.m_summary);
    EXPECT_EQ(outcome.Complete(), test.m_audio == EAudioCopyResult::kCopied ||
                                      test.m_audio == EAudioCopyResult::kNoAudio);
  }
}

}  // namespace
}  // namespace corvane
