// The audio copy against a scripted source stream: the failures a real file cannot easily
// produce (no header, unreadable format, failing size queries, chunks of no samples).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/audiocopy.h"
#include "media/avifile.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CRecordingHost;
using test::CTempDir;

// A PCM-like source of `m_length` one-byte samples in chunks of `m_chunk`, with switches that
// make single steps fail.
class CScriptedStream final : public CAviStream {
 public:
  HRESULT Info(AVISTREAMINFOA& info) const override {
    if (m_failInfo) return AVIERR_FILEREAD;
    info = {};
    info.fccType = streamtypeAUDIO;
    info.dwScale = 1;
    info.dwRate = 8000;
    info.dwStart = static_cast<uint32_t>(m_start);
    info.dwLength = static_cast<uint32_t>(m_length);
    info.dwSampleSize = 1;
    return AVIERR_OK;
  }
  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (m_failFormat) return AVIERR_FILEREAD;
    const uint8_t wave[16] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0};
    if (format) std::memcpy(format, wave, std::min<size_t>(*size, sizeof(wave)));
    *size = sizeof(wave);
    return AVIERR_OK;
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_UNSUPPORTED; }
  int32_t Start() const override { return m_start; }
  int32_t Length() const override { return m_length; }
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    if (!buffer) {
      ++m_queries;
      // A runaway copy would query forever: stop it, so that the test can fail instead.
      if (m_queries > 1000) EngineState().m_mixing = 0;
      if (m_failQueryAt >= 0 && start >= m_failQueryAt) return AVIERR_FILEREAD;
      int32_t count = samples == AVISTREAMREAD_CONVENIENT
                          ? std::min(m_chunk, m_start + m_length - start)
                          : std::min(samples, m_start + m_length - start);
      if (m_emptyAt >= 0 && start >= m_emptyAt) count = 0;
      if (bytesRead) *bytesRead = count;
      if (samplesRead) *samplesRead = count;
      return AVIERR_OK;
    }
    ++m_reads;
    if (m_failReads) return AVIERR_FILEREAD;
    std::memset(buffer, static_cast<int>(start & 0xFF), static_cast<size_t>(bufferSize));
    if (bytesRead) *bytesRead = samples;
    if (samplesRead) *samplesRead = samples;
    return AVIERR_OK;
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }
  int32_t FindSample(int32_t position, uint32_t) const override { return position; }

  int32_t m_start = 0;
  int32_t m_length = 1000;
  int32_t m_chunk = 100;
  bool m_failInfo = false;
  bool m_failFormat = false;
  bool m_failReads = false;
  int32_t m_failQueryAt = -1;
  int32_t m_emptyAt = -1;
  int m_queries = 0;
  int m_reads = 0;
};

class AudioCopyScriptedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineState().m_mixing = 1;
    m_output = m_dir.Path("out.avi");
    // The output as a video pass leaves it: a finished file with one (empty) video stream.
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(m_output, OF_CREATE | OF_WRITE, file), AVIERR_OK);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 10;
    PAVISTREAM video;
    ASSERT_EQ(file->CreateStream(video, info), AVIERR_OK);
    BITMAPINFOHEADER format{40, 2, 2, 1, 24, 0, 16, 0, 0, 0, 0};
    ASSERT_EQ(video->SetFormat(0, &format, sizeof(format)), AVIERR_OK);
  }
  void TearDown() override { EngineState().m_mixing = 0; }

  // The copy's one message: text, the caption, and no icon.
  void ExpectOnlyMessage(const std::string& text) {
    const auto messages = m_host.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].m_text, text);
    EXPECT_EQ(messages[0].m_caption, "Corvane");
    EXPECT_EQ(messages[0].m_flags, MB_OK);
  }
  // Samples of the output's audio stream, read back through a fresh open.
  int32_t OutputAudioLength() {
    PAVIFILE file;
    PAVISTREAM audio;
    if (CAviFile::Open(m_output, OF_SHARE_DENY_WRITE, file) != AVIERR_OK) return -1;
    if (file->GetStream(audio, streamtypeAUDIO, 0) != AVIERR_OK) return -1;
    return audio->Length();
  }

  CTempDir m_dir;
  std::string m_output;
  CRecordingHost m_host;
  std::shared_ptr<CScriptedStream> m_source = std::make_shared<CScriptedStream>();
};

TEST_F(AudioCopyScriptedTest, CopiesChunkByChunkToTheEnd) {
  const EAudioCopyResult result = CopyAudioStream(m_source, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kCopied);
  EXPECT_TRUE(m_host.Messages().empty());
  EXPECT_EQ(m_host.Status().size(), 10u);
  EXPECT_EQ(m_source->m_reads, 10);
  EXPECT_EQ(OutputAudioLength(), 1000);
}

TEST_F(AudioCopyScriptedTest, AChunkOfNoSamplesEndsTheCopy) {
  m_source->m_emptyAt = 300;

  const EAudioCopyResult result = CopyAudioStream(m_source, m_output);

  EXPECT_LT(m_source->m_queries, 10) << "the copy kept asking";
  EXPECT_NE(result, EAudioCopyResult::kStopped);
  EXPECT_EQ(OutputAudioLength(), 300);
}

TEST_F(AudioCopyScriptedTest, NoHeaderIsReported) {
  m_source->m_failInfo = true;

  EXPECT_EQ(CopyAudioStream(m_source, m_output), EAudioCopyResult::kFailed);

  ExpectOnlyMessage("No audio info");
}

TEST_F(AudioCopyScriptedTest, AnUnreadableFormatIsReported) {
  m_source->m_failFormat = true;

  EXPECT_EQ(CopyAudioStream(m_source, m_output), EAudioCopyResult::kFailed);

  ExpectOnlyMessage("Unable to set stream read format");
}

TEST_F(AudioCopyScriptedTest, AFailingSizeQueryIsReportedAndEndsTheCopy) {
  m_source->m_failQueryAt = 500;

  EXPECT_EQ(CopyAudioStream(m_source, m_output), EAudioCopyResult::kFailed);

  ExpectOnlyMessage("AVIStreamRead failed");
  EXPECT_EQ(m_source->m_reads, 5);
  EXPECT_EQ(OutputAudioLength(), 500) << "the chunks before the failure stay";
}

TEST_F(AudioCopyScriptedTest, AFailingProbeIsReportedBeforeAnyChunk) {
  m_source->m_failQueryAt = 0;

  EXPECT_EQ(CopyAudioStream(m_source, m_output), EAudioCopyResult::kFailed);

  ExpectOnlyMessage("AVIStreamRead failed");
  EXPECT_TRUE(m_host.Status().empty());
}

TEST_F(AudioCopyScriptedTest, FailedChunkReadsAreWrittenAllTheSame) {
  m_source->m_failReads = true;

  const EAudioCopyResult result = CopyAudioStream(m_source, m_output);

  EXPECT_TRUE(m_host.Messages().empty());
  EXPECT_EQ(result, EAudioCopyResult::kCopied);
  EXPECT_EQ(OutputAudioLength(), 1000);
}

TEST_F(AudioCopyScriptedTest, AStreamThatStartsLateIsCopiedAtItsOwnPositions) {
  m_source->m_start = 640;

  const EAudioCopyResult result = CopyAudioStream(m_source, m_output);

  EXPECT_EQ(result, EAudioCopyResult::kCopied);
  EXPECT_TRUE(m_host.Messages().empty());
  PAVIFILE file;
  PAVISTREAM audio;
  ASSERT_EQ(CAviFile::Open(m_output, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  ASSERT_EQ(file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(audio->Start(), 640);
  EXPECT_EQ(audio->Length(), 1000);
}

}  // namespace
}  // namespace corvane
