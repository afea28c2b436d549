// A file past 2.2 GB: the writer goes on in OpenDML parts, and both our reader and ffprobe
// find every frame and every audio chunk in it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "media/avi/aviwriter_tools.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

constexpr int32_t kWidth = 640;
constexpr int32_t kHeight = 480;
constexpr int32_t kFrames = 2600;  // 2600 x 921600 bytes: about 2.4 GB of video
constexpr int32_t kAudioRate = 30720;
constexpr int32_t kAudioPerFrame = 1024;  // one 4096-byte chunk per frame: one ffmpeg packet
constexpr int32_t kAudioBlock = 4;        // 16-bit stereo

void Stamp(std::vector<uint8_t>& frame, int32_t n) {
  std::memcpy(frame.data(), &n, sizeof n);
  std::memcpy(frame.data() + frame.size() - sizeof n, &n, sizeof n);
}

TEST(AviWriterLarge, AFilePast2GigabytesKeepsEveryFrameForOurReaderAndFfprobe) {
  test::CTempDir dir;
  const std::string path = dir.Path("large.avi");
  const int32_t frameSize = FrameStride(kWidth) * kHeight;
  std::vector<uint8_t> frame(static_cast<size_t>(frameSize));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> sound(kAudioPerFrame * kAudioBlock, 0x11);
  {
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
    AVISTREAMINFOA video{};
    video.fccType = streamtypeVIDEO;
    video.dwScale = 1;
    video.dwRate = 30;
    video.rcFrame = {0, 0, kWidth, kHeight};
    AVISTREAMINFOA audio{};
    audio.fccType = streamtypeAUDIO;
    audio.fccHandler = 1;
    audio.dwScale = 1;
    audio.dwRate = kAudioRate;
    audio.dwSampleSize = kAudioBlock;
    PAVISTREAM videoStream, audioStream;
    ASSERT_EQ(file->CreateStream(videoStream, video), AVIERR_OK);
    ASSERT_EQ(file->CreateStream(audioStream, audio), AVIERR_OK);
    BITMAPINFOHEADER format{40, kWidth, kHeight, 1, 24, BI_RGB, static_cast<uint32_t>(frameSize),
                            0,  0,      0,       0};
    ASSERT_EQ(videoStream->SetFormat(0, &format, sizeof format), AVIERR_OK);
    CByteBuilder wave;
    for (uint32_t value : {0x00020001u, uint32_t{kAudioRate}, kAudioRate * 4u, 0x00100004u})
      wave.U32(value);
    ASSERT_EQ(audioStream->SetFormat(0, wave.Data(), static_cast<int32_t>(wave.Size())), AVIERR_OK);
    for (int32_t n = 0; n < kFrames; ++n) {
      Stamp(frame, n);
      ASSERT_EQ(videoStream->Write(n, 1, frame.data(), frameSize, AVIIF_KEYFRAME, nullptr, nullptr),
                AVIERR_OK);
      ASSERT_EQ(
          audioStream->Write(n * kAudioPerFrame, kAudioPerFrame, sound.data(),
                             static_cast<int32_t>(sound.size()), AVIIF_KEYFRAME, nullptr, nullptr),
          AVIERR_OK);
    }
    videoStream.reset();
    audioStream.reset();
    ASSERT_EQ(FinishAviFile(file), AVIERR_OK);
  }
  ASSERT_GT(std::filesystem::file_size(path), 2200000000u);
  // A second RIFF part follows the first.
  {
    std::FILE* raw = std::fopen(path.c_str(), "rb");
    ASSERT_NE(raw, nullptr);
    uint8_t header[12] = {};
    ASSERT_EQ(std::fread(header, 1, 8, raw), 8u);
    const long next = static_cast<long>(LoadU32(header + 4)) + 8;
    ASSERT_EQ(std::fseek(raw, next, SEEK_SET), 0);
    ASSERT_EQ(std::fread(header, 1, 12, raw), 12u);
    std::fclose(raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 4), "RIFF");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header + 8), 4), "AVIX");
  }

  // Our reader: every frame at its position with its own stamp.
  {
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
    PAVISTREAM video, audio;
    ASSERT_EQ(file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
    ASSERT_EQ(file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
    EXPECT_EQ(video->Length(), kFrames);
    EXPECT_EQ(audio->Length(), kFrames * kAudioPerFrame);
    std::vector<uint8_t> read(frame.size());
    for (int32_t n = 0; n < kFrames; ++n) {
      int32_t bytes = 0;
      ASSERT_EQ(video->Read(n, 1, read.data(), frameSize, &bytes, nullptr), AVIERR_OK) << n;
      ASSERT_EQ(bytes, frameSize);
      int32_t head, tail;
      std::memcpy(&head, read.data(), sizeof head);
      std::memcpy(&tail, read.data() + read.size() - sizeof tail, sizeof tail);
      ASSERT_EQ(head, n);
      ASSERT_EQ(tail, n);
    }
  }

  // ffprobe: every packet of both streams.
  const auto probe = test::RunCommand(
      "ffprobe -v error -count_packets -show_entries stream=codec_type,nb_read_packets -of "
      "csv=p=0 " +
      test::ShellQuote(path));
  EXPECT_EQ(probe.m_output,
            "video," + std::to_string(kFrames) + "\naudio," + std::to_string(kFrames) + "\n")
      << probe.m_errors;
}

}  // namespace
}  // namespace corvane
