// Reopening a finished file with OF_WRITE to add a stream, as the mix job's audio copy does:
// in place where the file leaves room in its header, written anew where it does not. Either
// way the old streams keep every packet and the peers read the new one; a failure leaves the
// file exactly as it was.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "avireader_peers.h"
#include "aviwriter_peers.h"
#include "media/avi/aviwriter_files.h"
#include "media/avi/aviwriter_tools.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Copy;
using test::CTempDir;
using test::Fixture;
using test::GstStreams;
using test::MediaInfoCounts;
using test::PacketLines;
using test::Probe;
using test::RunCommand;
using test::ShellQuote;
using test::StreamCount;

// Adds the first audio stream of `audioSource` to the file at `path`, as the mix job's audio
// copy does: reopen with OF_WRITE, create a stream with the source's header, copy chunks.
HRESULT AddAudioStream(const std::string& path, const std::string& audioSource,
                       const CAviWriterOptions* options = nullptr) {
  PAVIFILE input, output;
  PAVISTREAM from, to;
  HRESULT hr = CAviFile::Open(audioSource, OF_SHARE_DENY_WRITE, input);
  if (hr == AVIERR_OK) hr = input->GetStream(from, streamtypeAUDIO, 0);
  if (hr == AVIERR_OK)
    hr = options ? ReopenAviFile(path, output, *options) : CAviFile::Open(path, OF_WRITE, output);
  AVISTREAMINFOA info{};
  if (hr == AVIERR_OK) hr = from->Info(info);
  if (hr == AVIERR_OK) hr = output->CreateStream(to, info);
  std::vector<uint8_t> format;
  int32_t size = 0;
  if (hr == AVIERR_OK) hr = from->ReadFormat(from->Start(), nullptr, &size);
  format.resize(size);
  if (hr == AVIERR_OK) hr = from->ReadFormat(from->Start(), format.data(), &size);
  if (hr == AVIERR_OK) hr = to->SetFormat(0, format.data(), size);
  std::vector<uint8_t> chunk;
  for (int32_t position = from->Start();
       hr == AVIERR_OK && position < from->Start() + from->Length();) {
    int32_t bytes = 0, samples = 0;
    hr = from->Read(position, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples);
    if (hr != AVIERR_OK || samples <= 0) break;
    chunk.resize(std::max(1, bytes));
    hr = from->Read(position, samples, chunk.data(), bytes, nullptr, nullptr);
    if (hr == AVIERR_OK)
      hr = to->Write(position, samples, chunk.data(), bytes, AVIIF_KEYFRAME, nullptr, nullptr);
    position += samples;
  }
  to.reset();
  const HRESULT finished = output ? FinishAviFile(output) : AVIERR_OK;
  return hr != AVIERR_OK ? hr : finished;
}

// Where ffprobe finds each packet of a stream in the file.
std::vector<long long> PacketPositions(const std::string& path, int stream) {
  std::vector<long long> positions;
  std::istringstream text(
      Probe(path, "-select_streams " + std::to_string(stream) + " -show_entries packet=pos"));
  for (std::string line; std::getline(text, line);)
    if (!line.empty()) positions.push_back(std::atoll(line.c_str()));
  return positions;
}

std::string RiffWalk(const std::string& path) {
  return RunCommand("python3 " + ShellQuote(test::CorpusSource("riffwalk.py")) + " " +
                    ShellQuote(path))
      .m_output;
}

size_t FilesIn(const CTempDir& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}));
}

// The audio the tests add: 88200 stereo samples in 87 chunks.
const std::string kAudio = "main_320x240_bgr24_pcm.avi";

// Runs AddAudioStream in a child whose files may not grow past `limit` bytes; returns its
// outcome.
HRESULT AddAudioStreamUnderLimit(const std::string& path, rlim_t limit) {
  const pid_t child = fork();
  if (child == 0) {
    rlimit cap{limit, limit};
    setrlimit(RLIMIT_FSIZE, &cap);
    const HRESULT hr = AddAudioStream(path, Fixture(kAudio));
    _exit(hr == AVIERR_OK ? 0 : hr == AVIERR_FILEWRITE ? 1 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) return AVIERR_INTERNAL;
  return WEXITSTATUS(status) == 0   ? AVIERR_OK
         : WEXITSTATUS(status) == 1 ? AVIERR_FILEWRITE
                                    : AVIERR_ERROR;
}

TEST(AviReopen, AStreamAddedToOurOwnFileGoesInPlaceAndEveryPeerReadsBoth) {
  CTempDir dir;
  const std::string path = dir.Path("mixed.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto video = PacketLines(path, 0);
  const auto positions = PacketPositions(path, 0);

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio)), AVIERR_OK);

  ASSERT_EQ(StreamCount(path), 2);
  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  EXPECT_EQ(Probe(path, "-count_frames -show_entries stream=codec_type,nb_frames,nb_read_frames"),
            "video,30,30\naudio,88200,87\n");
  EXPECT_EQ(GstStreams(path), 2);
  EXPECT_EQ(MediaInfoCounts(path), "1|1\n");
  // In place: not one video frame was moved, and the audio follows them all.
  EXPECT_EQ(PacketPositions(path, 0), positions);
  EXPECT_GT(PacketPositions(path, 1).front(), positions.back());
  const std::string walk = RiffWalk(path);
  EXPECT_NE(walk.find("streams=2"), std::string::npos) << walk;
  EXPECT_EQ(walk.find("ISINTERLEAVED"), std::string::npos) << walk;
  EXPECT_NE(walk.find("idx1: 117 entries (relative to movi); entries not matching a movi chunk: 0"),
            std::string::npos)
      << walk;
  EXPECT_EQ(FilesIn(dir), 1u);
}

// Writes the video of `source` to a new file at `path` in RIFF parts of `partLimit` bytes.
HRESULT WriteVideoInParts(const std::string& source, const std::string& path, uint64_t partLimit) {
  PAVIFILE input, output;
  PAVISTREAM from, to;
  CAviWriterOptions options;
  options.m_partLimit = partLimit;
  HRESULT hr = CAviFile::Open(source, OF_SHARE_DENY_WRITE, input);
  if (hr == AVIERR_OK) hr = input->GetStream(from, streamtypeVIDEO, 0);
  if (hr == AVIERR_OK) hr = CreateAviFile(path, options, output);
  AVISTREAMINFOA info{};
  if (hr == AVIERR_OK) hr = from->Info(info);
  if (hr == AVIERR_OK) hr = output->CreateStream(to, info);
  std::vector<uint8_t> bytes(1 << 20);
  int32_t size = static_cast<int32_t>(bytes.size());
  if (hr == AVIERR_OK) hr = from->ReadFormat(0, bytes.data(), &size);
  if (hr == AVIERR_OK) hr = to->SetFormat(0, bytes.data(), size);
  for (int32_t frame = 0; hr == AVIERR_OK && frame < from->Length(); ++frame) {
    int32_t read = 0;
    hr = from->Read(frame, 1, bytes.data(), static_cast<int32_t>(bytes.size()), &read, nullptr);
    if (hr == AVIERR_OK)
      hr = to->Write(frame, 1, bytes.data(), read, AVIIF_KEYFRAME, nullptr, nullptr);
  }
  to.reset();
  const HRESULT finished = output ? FinishAviFile(output) : AVIERR_OK;
  return hr != AVIERR_OK ? hr : finished;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

TEST(AviReopen, AnIndexWithAbsoluteOffsetsGetsItsNewEntriesAbsoluteToo) {
  // Some writers count idx1 offsets from the start of the file instead of from 'movi'.
  CTempDir dir;
  const std::string path = dir.Path("absolute.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  const size_t movi = test::FindId(bytes, "movi");
  const size_t idx1 = test::FindId(bytes, "idx1", movi);
  ASSERT_NE(idx1, std::string::npos);
  for (size_t entry = idx1 + 8; entry + 16 <= bytes.size(); entry += 16) {
    const uint32_t offset = LoadU32(&bytes[entry + 8]) + static_cast<uint32_t>(movi);
    for (int i = 0; i < 4; ++i) bytes[entry + 8 + i] = static_cast<uint8_t>(offset >> (8 * i));
  }
  ASSERT_TRUE(test::WriteFileBytes(path, bytes));
  ASSERT_NE(RiffWalk(path).find("absolute file offsets"), std::string::npos);
  const auto positions = PacketPositions(path, 0);

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio)), AVIERR_OK);

  EXPECT_EQ(PacketPositions(path, 0), positions);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  const std::string walk = RiffWalk(path);
  EXPECT_NE(walk.find("idx1: 117 entries (absolute file offsets); entries not matching a movi "
                      "chunk: 0"),
            std::string::npos)
      << walk;
}

TEST(AviReopen, AStreamAddedToAFileOfSeveralPartsGoesInPartsOfItsOwn) {
  CTempDir dir;
  const std::string path = dir.Path("parts.avi");
  ASSERT_EQ(WriteVideoInParts(Fixture("top_160x120_bgr24_green.avi"), path, 256 * 1024), AVIERR_OK);
  const auto video = PacketLines(path, 0);
  const auto positions = PacketPositions(path, 0);
  const size_t partsBefore = Count(RiffWalk(path), "AVIX");
  ASSERT_GT(std::filesystem::file_size(path), 1024u * 1024u);
  CAviWriterOptions options;
  options.m_partLimit = 64 * 1024;  // the 352,800 bytes of audio take six parts

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio), &options), AVIERR_OK);

  EXPECT_EQ(PacketPositions(path, 0), positions);
  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  EXPECT_EQ(Probe(path, "-count_frames -show_entries stream=codec_type,nb_read_frames"),
            "video,30\naudio,87\n");
  EXPECT_EQ(GstStreams(path), 2);
  EXPECT_EQ(MediaInfoCounts(path), "1|1\n");
  const std::string walk = RiffWalk(path);
  EXPECT_GT(Count(walk, "AVIX"), partsBefore) << walk;
  PAVIFILE file;
  PAVISTREAM audio;
  ASSERT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  ASSERT_EQ(file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(audio->Length(), 88200);
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(AviReopen, AStreamAddedToAnFfmpegFileTakesTheRoomFfmpegLeavesInTheHeader) {
  CTempDir dir;
  const std::string path = dir.Path("ffmpeg.avi");
  std::filesystem::copy_file(Fixture("ff_bgr24_321x241.avi"), path);
  const auto video = PacketLines(path, 0);
  const auto positions = PacketPositions(path, 0);

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio)), AVIERR_OK);

  EXPECT_EQ(PacketPositions(path, 0), positions);
  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  EXPECT_EQ(GstStreams(path), 2);
  EXPECT_EQ(MediaInfoCounts(path), "1|1\n");
}

TEST(AviReopen, AFileWithoutRoomIsWrittenAnewWithTheStreamsInterleaved) {
  CTempDir dir;
  const std::string path = dir.Path("gstreamer.avi");
  std::filesystem::copy_file(Fixture("gst_bgr_161x121.avi"), path);
  const auto video = PacketLines(path, 0);

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio)), AVIERR_OK);

  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  EXPECT_EQ(GstStreams(path), 2);
  EXPECT_EQ(MediaInfoCounts(path), "1|1\n");
  // Interleaved: the first audio chunk lies before the last video chunk.
  EXPECT_LT(PacketPositions(path, 1).front(), PacketPositions(path, 0).back());
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(AviReopen, AFileThatWouldPassItsSizeLimitInPlaceIsWrittenAnewWithAllTheAudio) {
  CTempDir dir;
  const std::string path = dir.Path("limited.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto video = PacketLines(path, 0);
  CAviWriterOptions options;
  options.m_inPlaceLimit = std::filesystem::file_size(path) + 100000;  // a third of the audio

  ASSERT_EQ(AddAudioStream(path, Fixture(kAudio), &options), AVIERR_OK);

  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(Fixture(kAudio), 1));
  EXPECT_LT(PacketPositions(path, 1).front(), PacketPositions(path, 0).back());
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(AviReopen, AFailedRewriteLeavesTheFileAsItWas) {
  CTempDir dir;
  const std::string path = dir.Path("video.avi");
  std::filesystem::copy_file(Fixture("gst_bgr_161x121.avi"), path);
  const auto before = test::ReadFileBytes(path);

  // Room for the scratch copy of the audio, not for the file written anew.
  EXPECT_EQ(AddAudioStreamUnderLimit(path, before.size() + 4096), AVIERR_FILEWRITE);

  EXPECT_EQ(test::ReadFileBytes(path), before);
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(AviReopen, AnInPlaceAppendThatFailsLeavesTheFileAsItWas) {
  CTempDir dir;
  const std::string path = dir.Path("video.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto before = test::ReadFileBytes(path);

  EXPECT_EQ(AddAudioStreamUnderLimit(path, before.size()), AVIERR_FILEWRITE);

  EXPECT_EQ(test::ReadFileBytes(path), before);
  EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(AviReopen, AFileCutOffDuringAnAppendStillReadsAsBefore) {
  // What a process killed while adding audio in place leaves: chunks past the RIFF end.
  CTempDir dir;
  const std::string path = dir.Path("killed.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto video = PacketLines(path, 0);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    const char chunk[] = "01wb\x10\0\0\0abcdefghijklmnop01wb\x10\0\0\0abcd";  // the last one cut
    out.write(chunk, sizeof chunk - 1);
  }

  PAVIFILE file;
  PAVISTREAM stream;
  ASSERT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  ASSERT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(stream->Length(), 30);
  EXPECT_EQ(PacketLines(path, 0), video);
}

}  // namespace
}  // namespace corvane
