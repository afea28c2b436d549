// The reader's calls: reads by position (counts, the convenient chunk, size queries, small
// buffers, positions outside), key-frame search, stream lookup, the file information and the
// read-only refusals. Expected values come from the peers (ffprobe, ffmpeg) or from the
// corpus's description of each file (tests/corpus).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "avireader_peers.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Fixture;

PAVIFILE OpenFixture(const std::string& name) {
  PAVIFILE file;
  EXPECT_EQ(CAviFile::Open(Fixture(name), OF_SHARE_DENY_WRITE, file), AVIERR_OK) << name;
  return file;
}

PAVISTREAM GetStream(const PAVIFILE& file, uint32_t type, int32_t index = 0) {
  PAVISTREAM stream;
  EXPECT_EQ(file->GetStream(stream, type, index), AVIERR_OK);
  return stream;
}

// main_320x240_bgr24_pcm.avi: PCM s16 stereo (4-byte samples) in chunks of 1024 samples.
class AviReaderPcmReadTest : public testing::Test {
 protected:
  void SetUp() override {
    m_file = OpenFixture("main_320x240_bgr24_pcm.avi");
    ASSERT_TRUE(m_file);
    m_audio = GetStream(m_file, streamtypeAUDIO);
    ASSERT_TRUE(m_audio);
    // ffmpeg's byte run of the stream: the reference for every read below.
    const std::string path = Fixture("main_320x240_bgr24_pcm.avi");
    m_all = test::ReadWholeStream(*m_audio).m_bytes;
    ASSERT_EQ(test::Md5(m_all.data(), m_all.size()), test::FfmpegStreamMd5(path, 1));
  }
  PAVIFILE m_file;
  PAVISTREAM m_audio;
  std::vector<uint8_t> m_all;
};

TEST_F(AviReaderPcmReadTest, ConvenientReadGivesTheRestOfTheChunkInWholeSamples) {
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(m_audio->Read(0, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 1024);
  EXPECT_EQ(bytes, 4096);
  ASSERT_EQ(m_audio->Read(1000, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 24);
  EXPECT_EQ(bytes, 96);
  // The last chunk holds 136 sample frames (MANIFEST).
  ASSERT_EQ(m_audio->Read(88200 - 136, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples),
            AVIERR_OK);
  EXPECT_EQ(samples, 136);
}

TEST_F(AviReaderPcmReadTest, CountedReadCrossesChunksAndMatchesTheByteRun) {
  std::vector<uint8_t> buffer(400 * 4, 0xEE);
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(m_audio->Read(1000, 400, buffer.data(), static_cast<int32_t>(buffer.size()), &bytes,
                          &samples),
            AVIERR_OK);
  EXPECT_EQ(samples, 400);
  EXPECT_EQ(bytes, 1600);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), m_all.begin() + 4000));
}

TEST_F(AviReaderPcmReadTest, SizeQueryReportsWithoutReadingAndCountsAreClampedAtTheEnd) {
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(m_audio->Read(88190, 50, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 10);
  EXPECT_EQ(bytes, 40);
}

TEST_F(AviReaderPcmReadTest, SmallBufferTakesWholeSamplesOrFails) {
  std::vector<uint8_t> buffer(10, 0);
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(m_audio->Read(0, 100, buffer.data(), 10, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 2);
  EXPECT_EQ(bytes, 8);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 8, m_all.begin()));
  EXPECT_EQ(m_audio->Read(0, 1, buffer.data(), 3, &bytes, &samples), AVIERR_BUFFERTOOSMALL);
}

TEST_F(AviReaderPcmReadTest, PositionsOutsideTheStreamHaveNoData) {
  int32_t bytes = 7, samples = 7;
  EXPECT_EQ(m_audio->Read(88200, 1, nullptr, 0, &bytes, &samples), AVIERR_NODATA);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(samples, 0);
  EXPECT_EQ(m_audio->Read(-1, 1, nullptr, 0, nullptr, nullptr), AVIERR_NODATA);
  EXPECT_EQ(m_audio->Read(0, -5, nullptr, 0, nullptr, nullptr), AVIERR_BADPARAM);
}

TEST(AviReaderTest, AudioPositionsStartAtTheStreamStart) {
  // men_mpeg4_bframes_mp3cbr.avi: byte-counted MP3 with dwStart 640 (riffwalk).
  PAVIFILE file = OpenFixture("men_mpeg4_bframes_mp3cbr.avi");
  PAVISTREAM audio = GetStream(file, streamtypeAUDIO);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->Start(), 640);
  int32_t bytes = 0, samples = 0;
  EXPECT_EQ(audio->Read(639, 1, nullptr, 0, &bytes, &samples), AVIERR_NODATA);
  ASSERT_EQ(audio->Read(640, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_GT(samples, 0);
  EXPECT_EQ(bytes, samples);  // one byte per sample
  EXPECT_EQ(audio->Read(640 + audio->Length(), 1, nullptr, 0, &bytes, &samples), AVIERR_NODATA);
}

TEST(AviReaderTest, ZeroLengthVideoChunkIsAnEmptySampleAtItsOwnPosition) {
  // Frames 3, 4 and 5 are empty chunks; ffmpeg skips them, so frame 6 is its 4th packet.
  const std::string path = Fixture("ff_mjpeg_zero_length_frames.avi");
  PAVIFILE file = OpenFixture("ff_mjpeg_zero_length_frames.avi");
  PAVISTREAM video = GetStream(file, streamtypeVIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->Length(), 12);
  uint8_t byte = 0;
  int32_t bytes = -1, samples = -1;
  ASSERT_EQ(video->Read(4, 1, &byte, 1, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(samples, 1);
  ASSERT_EQ(video->Read(6, 1, nullptr, 0, &bytes, &samples), AVIERR_OK);
  std::vector<uint8_t> frame(static_cast<size_t>(bytes));
  EXPECT_EQ(video->Read(6, 1, frame.data(), bytes - 1, nullptr, nullptr), AVIERR_BUFFERTOOSMALL);
  ASSERT_EQ(video->Read(6, 1, frame.data(), bytes, &bytes, &samples), AVIERR_OK);
  const auto packets = test::FfmpegPackets(path, 0);
  ASSERT_GE(packets.size(), 4u);
  EXPECT_EQ(test::Md5(frame.data(), frame.size()), packets[3].m_md5);
  // The nearest earlier sample with data is the picture an empty one repeats.
  EXPECT_EQ(video->FindSample(5, FIND_PREV | FIND_ANY), 2);
  EXPECT_EQ(video->FindSample(3, FIND_NEXT | FIND_ANY), 6);
}

// Positions of key frames as ffprobe flags them (one packet per non-empty sample).
std::vector<int32_t> FfprobeKeyPositions(const std::string& path) {
  const std::string output = test::PeerOutput(
      "ffprobe -v error -select_streams 0 -show_entries packet=flags -of csv=p=0 " +
          test::ShellQuote(path),
      path);
  std::vector<int32_t> keys;
  std::istringstream lines(output);
  int32_t position = 0;
  for (std::string line; std::getline(lines, line); ++position)
    if (!line.empty() && line[0] == 'K') keys.push_back(position);
  return keys;
}

TEST(AviReaderTest, KeyFrameSearchFollowsTheIndexFlags) {
  for (const char* name : {"ff_mpeg4_bframes_mp3cbr.avi", "gst_h264_mp3cbr.avi"}) {
    SCOPED_TRACE(name);
    const std::vector<int32_t> keys = FfprobeKeyPositions(Fixture(name));
    ASSERT_GE(keys.size(), 2u);
    PAVIFILE file = OpenFixture(name);
    PAVISTREAM video = GetStream(file, streamtypeVIDEO);
    ASSERT_TRUE(video);
    for (int32_t position = 0; position < video->Length(); ++position) {
      int32_t previous = -1, next = -1;
      for (int32_t key : keys) {
        if (key <= position) previous = key;
        if (key >= position && next < 0) next = key;
      }
      EXPECT_EQ(video->FindSample(position, FIND_PREV | FIND_KEY), previous) << position;
      EXPECT_EQ(video->FindSample(position, FIND_NEXT | FIND_KEY), next) << position;
    }
  }
}

TEST(AviReaderTest, GetStreamCountsStreamsOfTheAskedType) {
  PAVIFILE file = OpenFixture("ff_audio_only_pcm.avi");
  PAVISTREAM stream;
  EXPECT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_NODATA);
  EXPECT_FALSE(stream);
  EXPECT_EQ(file->GetStream(stream, streamtypeAUDIO, 1), AVIERR_NODATA);
  ASSERT_EQ(file->GetStream(stream, streamtypeAUDIO, 0), AVIERR_OK);
  AVISTREAMINFOA info{};
  stream->Info(info);
  EXPECT_EQ(info.fccType, streamtypeAUDIO);

  PAVIFILE both = OpenFixture("ff_dv_pal_pcm48k.avi");
  ASSERT_EQ(both->GetStream(stream, 0, 1), AVIERR_OK);
  stream->Info(info);
  EXPECT_EQ(info.fccType, streamtypeAUDIO);
  EXPECT_EQ(both->GetStream(stream, 0, 2), AVIERR_NODATA);
}

TEST(AviReaderTest, FileInfoDescribesThePictureAndTheFirstVideoStream) {
  AVIFILEINFOW info{};
  ASSERT_EQ(OpenFixture("ff_dv_pal_pcm48k.avi")->Info(info), AVIERR_OK);
  EXPECT_EQ(info.dwWidth, 720u);
  EXPECT_EQ(info.dwHeight, 576u);
  EXPECT_EQ(info.dwStreams, 2u);
  EXPECT_EQ(info.dwRate, 25u);
  EXPECT_EQ(info.dwScale, 1u);
  EXPECT_EQ(info.dwLength, 5u);
  ASSERT_EQ(OpenFixture("ff_audio_only_pcm.avi")->Info(info), AVIERR_OK);
  EXPECT_EQ(info.dwWidth, 0u);
  EXPECT_EQ(info.dwStreams, 1u);
}

TEST(AviReaderTest, StreamNameComesFromStrn) {
  test::CTempDir dir;
  const std::string path = dir.Path("named.avi");
  const auto made = test::RunCommand(
      "ffmpeg -v error -nostdin -y -i " + test::ShellQuote(Fixture("ff_mjpeg_5x3.avi")) +
      " -c copy -metadata:s:v:0 title=Camera\\ one " + test::ShellQuote(path));
  ASSERT_EQ(made.m_exitCode, 0) << made.m_errors;
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  AVISTREAMINFOA info{};
  ASSERT_EQ(GetStream(file, streamtypeVIDEO)->Info(info), AVIERR_OK);
  EXPECT_STREQ(info.szName, "Camera one");
}

TEST(AviReaderTest, ReadFormatCopiesAsMuchAsFits) {
  PAVISTREAM video = GetStream(OpenFixture("ff_pal8_61x45.avi"), streamtypeVIDEO);
  ASSERT_TRUE(video);
  int32_t size = 0;
  ASSERT_EQ(video->ReadFormat(0, nullptr, &size), AVIERR_OK);
  EXPECT_EQ(size, 1064);
  BITMAPINFOHEADER header{};
  size = sizeof header;
  ASSERT_EQ(video->ReadFormat(0, &header, &size), AVIERR_OK);
  EXPECT_EQ(size, 40);
  EXPECT_EQ(header.biWidth, 61);
  EXPECT_EQ(header.biHeight, 45);
  EXPECT_EQ(header.biBitCount, 8);
  EXPECT_EQ(video->ReadFormat(0, nullptr, nullptr), AVIERR_BADPARAM);
}

TEST(AviReaderTest, ReadModeRefusesChangesAndLeavesTheFileAlone) {
  test::CTempDir dir;
  const std::string path = dir.Path("copy.avi");
  std::filesystem::copy_file(Fixture("ff_mjpeg_5x3.avi"), path);
  const auto before = test::ReadFileBytes(path);
  {
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
    PAVISTREAM video = GetStream(file, streamtypeVIDEO);
    ASSERT_TRUE(video);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(video->Write(0, 1, data, 4, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_READONLY);
    EXPECT_EQ(video->SetFormat(0, data, 4), AVIERR_READONLY);
    AVISTREAMINFOA info{};
    video->Info(info);
    PAVISTREAM added;
    EXPECT_EQ(file->CreateStream(added, info), AVIERR_READONLY);
    EXPECT_FALSE(added);
  }
  EXPECT_EQ(test::ReadFileBytes(path), before);
}

TEST(AviReaderTest, StreamKeepsWorkingAfterItsFileIsReleased) {
  PAVISTREAM video = GetStream(OpenFixture("ff_mjpeg_5x3.avi"), streamtypeVIDEO);
  ASSERT_TRUE(video);
  const auto packets = test::FfmpegPackets(Fixture("ff_mjpeg_5x3.avi"), 0);
  const test::SReadStream read = test::ReadWholeStream(*video);
  EXPECT_TRUE(read.m_ok);
  EXPECT_EQ(read.m_nonEmpty, packets);
}

}  // namespace
}  // namespace corvane
