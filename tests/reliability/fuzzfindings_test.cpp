// Inputs the fuzz targets found (tests/data/fuzz/, named after the target and what they do),
// each through the path that found it, with what it must give now.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "media/audiocopy.h"
#include "media/avifile.h"
#include "reliabilitysupport.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

std::string Finding(const std::string& name) {
  return (std::filesystem::path(CORVANE_FUZZ_FINDINGS) / name).string();
}

// The output as a video pass leaves it, as the audio copy's fuzz target starts it: a 4 x 2 raw
// video stream of two frames.
void WriteVideoOnly(const std::string& path) {
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 30;
  info.rcFrame = {0, 0, 4, 2};
  PAVISTREAM stream;
  ASSERT_EQ(file->CreateStream(stream, info), AVIERR_OK);
  BITMAPINFOHEADER format{};
  format.biSize = 40;
  format.biWidth = 4;
  format.biHeight = 2;
  format.biPlanes = 1;
  format.biBitCount = 24;
  format.biSizeImage = 24;
  ASSERT_EQ(stream->SetFormat(0, &format, sizeof(format)), AVIERR_OK);
  const std::vector<uint8_t> frame(format.biSizeImage, 0x40);
  for (int32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(stream->Write(i, 1, frame.data(), static_cast<int32_t>(frame.size()), AVIIF_KEYFRAME,
                            nullptr, nullptr),
              AVIERR_OK);
  }
}

// Every byte of the first audio stream of `path`, read chunk by chunk.
std::vector<uint8_t> AudioBytes(const std::string& path) {
  PAVIFILE file;
  PAVISTREAM audio;
  std::vector<uint8_t> all;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, file) != AVIERR_OK ||
      file->GetStream(audio, streamtypeAUDIO, 0) != AVIERR_OK)
    return all;
  for (int64_t at = audio->Start(), end = at + audio->Length(); at < end;) {
    int32_t bytes = 0, samples = 0;
    if (audio->Read(static_cast<int32_t>(at), AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes,
                    &samples) != AVIERR_OK ||
        samples <= 0)
      break;
    std::vector<uint8_t> chunk(static_cast<size_t>(bytes));
    audio->Read(static_cast<int32_t>(at), samples, chunk.data(), bytes, nullptr, nullptr);
    all.insert(all.end(), chunk.begin(), chunk.end());
    at += samples;
  }
  return all;
}

class FuzzFindingsTest : public ::testing::Test {
 protected:
  void TearDown() override { EngineState().m_mixing = 0; }

  test::CTempDir m_dir;
  test::CRecordingHost m_host;
};

// 12 KB: PCM with 1-byte blocks whose strh states a sample size of 17,990, and 9 KB of sound.
// The reader counts the samples in blocks, as the stated length says; the header it gave out
// kept 17,990, so the copy's writer took each sample for 17,990 bytes and filled the
// difference: 333 MB written.
TEST_F(FuzzFindingsTest, AudioCopyOfASampleSizeThatDisagreesWithItsBlocksWritesNoFiller) {
  const std::string input = Finding("audiocopy-samplesize-over-blockalign.avi");
  const std::string output = m_dir.Path("out.avi");
  WriteVideoOnly(output);
  const auto videoOnly = std::filesystem::file_size(output);
  EngineState().m_mixing = 1;

  const EAudioCopyResult result = CopyAudioTrack(input, output);

  EXPECT_EQ(result, EAudioCopyResult::kCopied);
  const std::vector<uint8_t> source = AudioBytes(input);
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(AudioBytes(output), source);
  // The sound, its index entry and the new stream's headers: nothing in proportion to the
  // stated sample size.
  const auto grown = std::filesystem::file_size(output) - videoOnly;
  EXPECT_LT(grown, source.size() + 4096);
  test::AddTableRow("fuzz finding", "audio stated as 17,990-byte samples over 1-byte blocks",
                    "copied: " + std::to_string(source.size()) + " bytes of sound, output grew " +
                        std::to_string(grown) + " bytes",
                    !HasFailure());
}

}  // namespace
}  // namespace corvane
