// What a mix job says when it cannot run, and what it must never do: write over a source,
// touch an output it refused, or report a failed frame write as success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CRecordedMessage;
using test::CRecordingHost;
using test::CTempDir;
using test::Fixture;

const std::vector<uint8_t> kOldOutput = {'o', 'l', 'd'};
const char* const kSameFile = "The output file cannot be the main AVI or the top layer AVI";

class MixMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineState().m_mixing = 1;
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.dwQuality = 0xFFFFFFFFu;
    m_host.m_compression = options;
    m_output = m_dir.Path("out.avi");
    ASSERT_TRUE(test::WriteFileBytes(m_output, kOldOutput));
    // Small sources copied into the test's folder, so that nothing can harm the fixtures.
    m_main = m_dir.Path("main.avi");
    m_top = m_dir.Path("top.avi");
    std::filesystem::copy_file(Fixture("men_mjpeg_dupframes_pcmu8.avi"), m_main);
    std::filesystem::copy_file(Fixture("ff_bgr24_64x48_dibhandler.avi"), m_top);
    m_mainBytes = test::ReadFileBytes(m_main);
    m_topBytes = test::ReadFileBytes(m_top);
  }
  void TearDown() override {
    EngineState().m_mixing = 0;
    EXPECT_EQ(test::ReadFileBytes(m_main), m_mainBytes) << "main source changed";
    EXPECT_EQ(test::ReadFileBytes(m_top), m_topBytes) << "top source changed";
  }

  // The one message the job showed; fails the test when there was not exactly one.
  CRecordedMessage OnlyMessage() {
    const auto messages = m_host.Messages();
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? CRecordedMessage{} : messages[0];
  }
  // The job stopped before its video pass: no dialog, no progress, the old output untouched.
  void ExpectNothingTouched(const CMixOutcome& outcome) {
    EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kNotRun);
    EXPECT_FALSE(outcome.m_audioRan);
    EXPECT_EQ(m_host.CompressionRequests(), 0);
    EXPECT_TRUE(m_host.Status().empty());
    EXPECT_EQ(test::ReadFileBytes(m_output), kOldOutput);
  }

  CTempDir m_dir;
  CRecordingHost m_host;
  std::string m_output;
  std::string m_main;
  std::string m_top;
  std::vector<uint8_t> m_mainBytes;
  std::vector<uint8_t> m_topBytes;
};

TEST_F(MixMessagesTest, MissingMainVideoIsNamedFirst) {
  const CMixOutcome outcome = MixColourKey("", "", m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Main AVI has not been specified");
  EXPECT_EQ(message.m_caption, "Corvane");
  EXPECT_EQ(message.m_flags, MB_ICONERROR);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, MissingTopLayerIsNamed) {
  const CMixOutcome outcome = MixAlpha(m_main, "", m_output, 0, 0, 0, 0, 0, 1, 0, 128.0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Top layer AVI has not been specified");
  EXPECT_EQ(message.m_flags, MB_ICONERROR);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, AMainVideoThatCannotBeOpenedIsNamed) {
  const std::string missing = m_dir.Path("missing.avi");

  const CMixOutcome outcome = MixColourKey(missing, m_top, m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Unable to open " + missing + "\nno such file");
  EXPECT_EQ(message.m_caption, "Corvane");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, AMainVideoWithoutVideoIsNamed) {
  const std::string audioOnly = Fixture("ff_audio_only_pcm.avi");

  const CMixOutcome outcome = MixColourKey(audioOnly, m_top, m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Cannot get AVI video stream for " + audioOnly);
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, ATopLayerThatCannotBeOpenedIsNamed) {
  const std::string missing = m_dir.Path("nothing-here.avi");

  const CMixOutcome outcome = MixAlpha(m_main, missing, m_output, 0, 0, 0, 0, 0, 1, 1, 10.0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Unable to open " + missing + "\nno such file");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, ATopLayerWithoutVideoGivesTheCodecMessageWithoutAName) {
  const CMixOutcome outcome =
      MixColourKey(m_main, Fixture("gst_audio_only_mp3vbr.avi"), m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "No data for the required FOURCC codec");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  ExpectNothingTouched(outcome);
}

TEST_F(MixMessagesTest, CancelledCompressionIsReportedAndTheAudioCopyStillRuns) {
  m_host.m_compression.reset();

  const CMixOutcome outcome = MixColourKey(m_main, m_top, m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "AVISaveOptions failed");
  EXPECT_EQ(message.m_caption, "Corvane");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kFailed);
  EXPECT_TRUE(outcome.m_audioRan);
  EXPECT_FALSE(outcome.Complete());
  EXPECT_NE(test::ReadFileBytes(m_output), kOldOutput) << "the old output is replaced";
  const auto status = m_host.Status();
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Audio Chunk 1");
}

TEST_F(MixMessagesTest, ACompressorThatCannotBeMadeIsReported) {
  m_host.m_compression->fccHandler = MakeFourCC('Z', 'Z', 'Z', '9');

  const CMixOutcome outcome = MixColourKey(m_main, m_top, m_output, 0, 0, 0, 0, 0, 0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, "Couldn't create compressed stream");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kFailed);
}

TEST_F(MixMessagesTest, ASourceThatCannotBeDecodedLeavesAnOldOutputAlone) {
  // The top layer's codec renamed to one nobody decodes.
  std::vector<uint8_t> bytes = test::ReadFileBytes(Fixture("ff_mjpeg_5x3.avi"));
  for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (std::memcmp(&bytes[at], "MJPG", 4) == 0) std::memcpy(&bytes[at], "ZZZZ", 4);
  }
  const std::string top = m_dir.Path("undecodable.avi");
  ASSERT_TRUE(test::WriteFileBytes(top, bytes));

  const CMixOutcome outcome = MixColourKey(m_main, top, m_output, 0, 0, 0, 0, 0, 0);

  EXPECT_FALSE(m_host.Messages().empty()) << "the reader says why";
  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kNoOutput);
  EXPECT_FALSE(outcome.m_audioRan);
  EXPECT_FALSE(outcome.Complete());
  EXPECT_EQ(m_host.CompressionRequests(), 0);
  EXPECT_EQ(test::ReadFileBytes(m_output), kOldOutput);
}

TEST_F(MixMessagesTest, AFolderNamedAsTheOutputIsNeitherRemovedNorWritten) {
  const std::string folder = m_dir.Path("empty-folder");
  std::filesystem::create_directory(folder);

  const CMixOutcome outcome = MixColourKey(m_main, m_top, folder, 0, 0, 0, 0, 0, 0);

  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kNoOutput);
  EXPECT_FALSE(outcome.m_audioRan);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// Each way of naming a source as the output must be refused before the output is touched.
class MixSameFileTest : public MixMessagesTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(MixSameFileTest, AnOutputThatIsASourceIsRefusedBeforeAnythingIsWritten) {
  const std::string how = GetParam();
  std::string output;
  if (how == "main") output = m_main;
  if (how == "top") output = m_top;
  if (how == "dotted main") output = m_dir.Path("sub/../main.avi");
  if (how == "symlink to main") {
    output = m_dir.Path("link.avi");
    std::filesystem::create_symlink(m_main, output);
  }
  if (how == "hard link to top") {
    output = m_dir.Path("hard.avi");
    std::filesystem::create_hard_link(m_top, output);
  }
  std::filesystem::create_directory(m_dir.Path("sub"));

  const CMixOutcome outcome = MixAlpha(m_main, m_top, output, 0, 0, 0, 0, 0, 1, 1, 128.0);

  const CRecordedMessage message = OnlyMessage();
  EXPECT_EQ(message.m_text, kSameFile);
  EXPECT_EQ(message.m_caption, "Corvane");
  EXPECT_EQ(message.m_flags, MB_ICONERROR);
  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kNotRun);
  EXPECT_EQ(m_host.CompressionRequests(), 0);
  EXPECT_TRUE(std::filesystem::exists(output));
}

INSTANTIATE_TEST_SUITE_P(Names, MixSameFileTest,
                         ::testing::Values("main", "top", "dotted main", "symlink to main",
                                           "hard link to top"));

// Writes fail once the file reaches the process's file size limit, as on a full disk.
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_saved);
    m_savedHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~CFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_saved);
    signal(SIGXFSZ, m_savedHandler);
  }

 private:
  rlimit m_saved{};
  sighandler_t m_savedHandler;
};

TEST_F(MixMessagesTest, AFailedFrameWriteEndsTheJobWithAMessageNamingTheFrame) {
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");
  const std::string top = Fixture("top_160x120_bgr24_green.avi");
  CMixOutcome outcome;
  {
    // Room for a few uncompressed 320 x 240 frames (230,400 bytes each), not for 60.
    CFileSizeLimit limit(1'000'000);
    outcome = MixColourKey(main, top, m_output, 0, 255, 0, 0, 0, 1);
  }

  ASSERT_FALSE(m_host.Messages().empty());
  const CRecordedMessage message = m_host.Messages()[0];
  const int failed = outcome.m_video.m_framesWritten + 1;
  EXPECT_EQ(message.m_text, "Failed to write frame " + std::to_string(failed));
  EXPECT_EQ(message.m_caption, "Corvane");
  EXPECT_EQ(message.m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kWriteFailed);
  EXPECT_GT(outcome.m_video.m_framesWritten, 0);
  EXPECT_LT(outcome.m_video.m_framesWritten, 5);
  EXPECT_FALSE(outcome.Complete());
  // No frame after the failed one was started.
  std::string lastFrame;
  for (const std::string& text : m_host.Status()) {
    if (text.rfind("Processing frame", 0) == 0) lastFrame = text;
  }
  EXPECT_EQ(lastFrame, "Processing frame " + std::to_string(failed) + "\\60");
}

}  // namespace
}  // namespace corvane
