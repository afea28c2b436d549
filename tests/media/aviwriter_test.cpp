// The AVI writer checked against independent readers: ffmpeg/ffprobe decide whether the files
// hold what was written (packet bytes, positions, key flags, headers), and the corpus's
// riffwalk.py reports the RIFF structure.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

extern "C" {
#include <libavutil/md5.h>
}

#include "media/avi/aviwriter_tools.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

struct CPacket {
  int64_t m_dts;
  int64_t m_size;
  std::string m_md5;
};

std::string Md5(const std::vector<uint8_t>& bytes) {
  uint8_t digest[16];
  av_md5_sum(digest, bytes.data(), static_cast<int>(bytes.size()));
  std::string hex;
  char pair[3];
  for (uint8_t byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

// ffmpeg's view of one stream's packets, copied without decoding.
std::vector<CPacket> Packets(const std::string& path, int stream) {
  const auto result = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                 " -map 0:" + std::to_string(stream) + " -c copy -f framemd5 -");
  std::vector<CPacket> packets;
  std::istringstream lines(result.m_output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    for (char& c : line)
      if (c == ',') c = ' ';
    std::istringstream fields(line);
    int index;
    int64_t pts, duration;
    CPacket packet;
    fields >> index >> packet.m_dts >> pts >> duration >> packet.m_size >> packet.m_md5;
    packets.push_back(packet);
  }
  return packets;
}

std::string Probe(const std::string& path, const std::string& args) {
  return RunCommand("ffprobe -v error " + args + " -of csv=p=0 " + ShellQuote(path)).m_output;
}

std::string RiffWalk(const std::string& path) {
  return RunCommand("python3 " + ShellQuote(test::CorpusSource("riffwalk.py")) + " " +
                    ShellQuote(path))
      .m_output;
}

AVISTREAMINFOA VideoHeader(int32_t width, int32_t height, uint32_t rate = 10) {
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = rate;
  info.dwQuality = 0xFFFFFFFF;
  info.rcFrame = {0, 0, width, height};
  return info;
}

BITMAPINFOHEADER RawFormat(int32_t width, int32_t height) {
  BITMAPINFOHEADER format{};
  format.biSize = sizeof format;
  format.biWidth = width;
  format.biHeight = height;
  format.biPlanes = 1;
  format.biBitCount = 24;
  format.biSizeImage = static_cast<uint32_t>(FrameStride(width) * height);
  return format;
}

AVISTREAMINFOA PcmHeader(uint32_t rate, uint16_t blockAlign) {
  AVISTREAMINFOA info{};
  info.fccType = streamtypeAUDIO;
  info.fccHandler = 1;
  info.dwScale = 1;
  info.dwRate = rate;
  info.dwSampleSize = blockAlign;
  info.dwQuality = 0xFFFFFFFF;
  return info;
}

std::vector<uint8_t> PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  CByteBuilder out;
  out.U16(1);
  out.U16(channels);
  out.U32(rate);
  out.U32(rate * channels * bits / 8);
  out.U16(static_cast<uint16_t>(channels * bits / 8));
  out.U16(bits);
  return out.Bytes();
}

// Frame n of a test picture: every byte depends on the frame and its place.
std::vector<uint8_t> Picture(int32_t width, int32_t height, int n) {
  std::vector<uint8_t> bytes(static_cast<size_t>(FrameStride(width) * height));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + n * 31);
  return bytes;
}

std::vector<uint8_t> Tone(size_t bytes, int chunk) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 3 + chunk * 11 + 1);
  return data;
}

struct CWrittenFile {
  std::vector<std::string> m_videoMd5;
  std::vector<std::string> m_audioMd5;
};

// 20 raw frames of 16x8 and 20 PCM chunks of 441 stereo samples, interleaved by the caller.
CWrittenFile WriteVideoAndAudio(const PAVIFILE& file) {
  CWrittenFile written;
  PAVISTREAM video, audio;
  EXPECT_EQ(file->CreateStream(video, VideoHeader(16, 8)), AVIERR_OK);
  const auto format = RawFormat(16, 8);
  EXPECT_EQ(video->SetFormat(0, &format, sizeof format), AVIERR_OK);
  EXPECT_EQ(file->CreateStream(audio, PcmHeader(4410, 4)), AVIERR_OK);
  const auto wave = PcmFormat(4410, 2, 16);
  EXPECT_EQ(audio->SetFormat(0, wave.data(), static_cast<int32_t>(wave.size())), AVIERR_OK);
  for (int n = 0; n < 20; ++n) {
    const auto picture = Picture(16, 8, n);
    EXPECT_EQ(video->Write(n, 1, picture.data(), static_cast<int32_t>(picture.size()),
                           AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    written.m_videoMd5.push_back(Md5(picture));
    const auto sound = Tone(441 * 4, n);
    int32_t samples = 0, bytes = 0;
    EXPECT_EQ(audio->Write(n * 441, 441, sound.data(), static_cast<int32_t>(sound.size()),
                           AVIIF_KEYFRAME, &samples, &bytes),
              AVIERR_OK);
    EXPECT_EQ(samples, 441);
    EXPECT_EQ(bytes, 441 * 4);
    written.m_audioMd5.push_back(Md5(sound));
  }
  EXPECT_EQ(video->Length(), 20);
  EXPECT_EQ(audio->Length(), 20 * 441);
  return written;
}

void ExpectPacketsMatch(const std::vector<CPacket>& packets, const std::vector<std::string>& md5s) {
  ASSERT_EQ(packets.size(), md5s.size());
  for (size_t i = 0; i < md5s.size(); ++i) EXPECT_EQ(packets[i].m_md5, md5s[i]) << "packet " << i;
}

TEST(AviWriterNewFile, FfmpegReadsEverySampleOfEveryStream) {
  CTempDir dir;
  const std::string path = dir.Path("out.avi");
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
  const CWrittenFile written = WriteVideoAndAudio(file);
  file.reset();

  ExpectPacketsMatch(Packets(path, 0), written.m_videoMd5);
  ExpectPacketsMatch(Packets(path, 1), written.m_audioMd5);
  EXPECT_EQ(Probe(path,
                  "-count_frames -select_streams v -show_entries "
                  "stream=codec_name,width,height,r_frame_rate,nb_frames,nb_read_frames"),
            "rawvideo,16,8,10/1,20,20\n");
  EXPECT_EQ(Probe(path, "-select_streams a -show_entries stream=codec_name,sample_rate,channels"),
            "pcm_s16le,4410,2\n");
}

TEST(AviWriterNewFile, CompletionFillsInTheHeadersTotals) {
  CTempDir dir;
  const std::string path = dir.Path("out.avi");
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
  WriteVideoAndAudio(file);
  ASSERT_EQ(FinishAviFile(file), AVIERR_OK);

  const std::string walk = RiffWalk(path);
  EXPECT_NE(walk.find("avih: us_per_frame=100000 total_frames=20 streams=2 size=16x8 "
                      "flags=0x110 HASINDEX|ISINTERLEAVED"),
            std::string::npos)
      << walk;
  EXPECT_NE(walk.find("type=vids handler=0x00000000 scale=1 rate=10 start=0 length=20"),
            std::string::npos)
      << walk;
  EXPECT_NE(walk.find("type=auds handler=0x00000001 scale=1 rate=4410 start=0 length=8820 "
                      "sample_size=4"),
            std::string::npos)
      << walk;
  EXPECT_NE(walk.find("idx1: 40 entries (relative to movi); entries not matching a movi chunk: 0"),
            std::string::npos)
      << walk;
}

TEST(AviWriterNewFile, KeyFlagsReachTheIndex) {
  CTempDir dir;
  const std::string path = dir.Path("keys.avi");
  {
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
    PAVISTREAM video;
    ASSERT_EQ(file->CreateStream(video, VideoHeader(8, 8)), AVIERR_OK);
    // A codec with delta frames: peers take the key flags from the index.
    auto format = RawFormat(8, 8);
    format.biCompression = MakeFourCC('X', 'V', 'I', 'D');
    video->SetFormat(0, &format, sizeof format);
    for (int n = 0; n < 8; ++n) {
      const auto picture = Picture(8, 8, n);
      ASSERT_EQ(video->Write(n, 1, picture.data(), static_cast<int32_t>(picture.size()),
                             n % 3 == 0 ? AVIIF_KEYFRAME : 0, nullptr, nullptr),
                AVIERR_OK);
    }
  }
  EXPECT_EQ(Probe(path, "-show_entries packet=flags"), "K_\n__\n__\nK_\n__\n__\nK_\n__\n");
}

TEST(AviWriterNewFile, PositionsLeftOutAreFilledSoLaterSamplesKeepTheirPositions) {
  CTempDir dir;
  const std::string path = dir.Path("gaps.avi");
  std::vector<std::string> written;
  {
    PAVIFILE file;
    ASSERT_EQ(CAviFile::Open(path, OF_CREATE | OF_WRITE, file), AVIERR_OK);
    PAVISTREAM video, audio;
    ASSERT_EQ(file->CreateStream(video, VideoHeader(8, 8)), AVIERR_OK);
    const auto format = RawFormat(8, 8);
    video->SetFormat(0, &format, sizeof format);
    ASSERT_EQ(file->CreateStream(audio, PcmHeader(8000, 1)), AVIERR_OK);
    const auto wave = PcmFormat(8000, 1, 8);
    audio->SetFormat(0, wave.data(), static_cast<int32_t>(wave.size()));
    for (int n : {0, 1, 4, 5}) {
      const auto picture = Picture(8, 8, n);
      ASSERT_EQ(video->Write(n, 1, picture.data(), static_cast<int32_t>(picture.size()),
                             AVIIF_KEYFRAME, nullptr, nullptr),
                AVIERR_OK);
    }
    EXPECT_EQ(video->Length(), 6);
    const std::vector<uint8_t> sound(100, 0x10);
    ASSERT_EQ(audio->Write(0, 100, sound.data(), 100, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_OK);
    ASSERT_EQ(audio->Write(300, 100, sound.data(), 100, AVIIF_KEYFRAME, nullptr, nullptr),
              AVIERR_OK);
    EXPECT_EQ(audio->Length(), 400);
  }
  std::vector<int64_t> dts;
  for (const CPacket& packet : Packets(path, 0)) dts.push_back(packet.m_dts);
  EXPECT_EQ(dts, (std::vector<int64_t>{0, 1, 4, 5}));
  EXPECT_EQ(Probe(path, "-select_streams v -show_entries stream=nb_frames"), "6\n");
  // The audio gap is 8-bit silence: 200 samples of 0x80 between the two written pieces.
  const auto pcm =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                 " -map 0:1 -f u8 -c:a pcm_u8 - | od -An -v -tx1 | tr -s ' \\n' '\\n'");
  std::vector<std::string> bytes;
  std::istringstream values(pcm.m_output);
  for (std::string value; values >> value;) bytes.push_back(value);
  ASSERT_EQ(bytes.size(), 400u);
  EXPECT_EQ(bytes[99], "10");
  EXPECT_EQ(bytes[100], "80");
  EXPECT_EQ(bytes[299], "80");
  EXPECT_EQ(bytes[300], "10");
}

TEST(AviWriterNewFile, WritesBehindTheEndAndLateLayoutChangesAreRefused) {
  CTempDir dir;
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(dir.Path("order.avi"), OF_CREATE | OF_WRITE, file), AVIERR_OK);
  PAVISTREAM video, late;
  ASSERT_EQ(file->CreateStream(video, VideoHeader(8, 8)), AVIERR_OK);
  const auto format = RawFormat(8, 8);
  ASSERT_EQ(video->SetFormat(0, &format, sizeof format), AVIERR_OK);
  const auto picture = Picture(8, 8, 0);
  const auto size = static_cast<int32_t>(picture.size());
  ASSERT_EQ(video->Write(3, 1, picture.data(), size, 0, nullptr, nullptr), AVIERR_OK);

  EXPECT_EQ(video->Write(2, 1, picture.data(), size, 0, nullptr, nullptr), AVIERR_BADPARAM);
  EXPECT_EQ(file->CreateStream(late, PcmHeader(8000, 1)), AVIERR_UNSUPPORTED);
  auto other = format;
  other.biWidth = 4;
  EXPECT_EQ(video->SetFormat(0, &other, sizeof other), AVIERR_UNSUPPORTED);
  EXPECT_EQ(video->Length(), 4);
}

TEST(AviWriterOpenDml, FilesPastThePartLimitGoOnInAvixPartsThatEveryPeerReads) {
  CTempDir dir;
  const std::string path = dir.Path("parts.avi");
  CAviWriterOptions options;
  options.m_partLimit = 8 * 1024;  // 20 frames of 512 bytes plus audio: several parts
  PAVIFILE file;
  ASSERT_EQ(CreateAviFile(path, options, file), AVIERR_OK);
  const CWrittenFile written = WriteVideoAndAudio(file);
  ASSERT_EQ(FinishAviFile(file), AVIERR_OK);

  ExpectPacketsMatch(Packets(path, 0), written.m_videoMd5);
  ExpectPacketsMatch(Packets(path, 1), written.m_audioMd5);
  const std::string walk = RiffWalk(path);
  EXPECT_NE(walk.find("AVIX"), std::string::npos) << walk;
  EXPECT_NE(walk.find("type=vids handler=0x00000000 scale=1 rate=10 start=0 length=20"),
            std::string::npos)
      << walk;
  const auto media = RunCommand("mediainfo --Inform='Video;%FrameCount%' " + ShellQuote(path));
  EXPECT_EQ(media.m_output, "20\n");
  const auto gst = RunCommand("gst-discoverer-1.0 -t 120 " + ShellQuote(path));
  EXPECT_EQ(gst.m_exitCode, 0);
  EXPECT_NE(gst.m_output.find("Duration: 0:00:02.0"), std::string::npos) << gst.m_output;
}

TEST(AviWriterOpenDml, SeeksThroughTheStandardIndexesLandOnTheFramesAsked) {
  CTempDir dir;
  const std::string path = dir.Path("parts.avi");
  CAviWriterOptions options;
  options.m_partLimit = 8 * 1024;
  PAVIFILE file;
  ASSERT_EQ(CreateAviFile(path, options, file), AVIERR_OK);
  WriteVideoAndAudio(file);
  ASSERT_EQ(FinishAviFile(file), AVIERR_OK);
  // Where each frame lies, as a sequential read finds it.
  std::map<std::string, std::string> where;
  std::istringstream lines(Probe(path, "-select_streams v -show_entries packet=pts,pos"));
  for (std::string line; std::getline(lines, line);) where[line.substr(0, line.find(','))] = line;
  ASSERT_EQ(where.size(), 20u);

  // A seek takes the frame's place from the index of the part that holds it.
  for (int frame : {3, 9, 14, 19}) {
    const std::string interval = std::to_string(frame / 10) + "." + std::to_string(frame % 10);
    const std::string found = Probe(path, "-select_streams v -read_intervals " + interval +
                                              "%+#1 -show_entries packet=pts,pos");
    EXPECT_EQ(found, where[std::to_string(frame)] + "\n") << "frame " << frame;
  }
}

TEST(AviWriterOpenDml, WithEveryListedPartInUseTheLastPartGrowsAndStaysReadable) {
  CTempDir dir;
  const std::string path = dir.Path("full.avi");
  CAviWriterOptions options;
  options.m_partLimit = 4 * 1024;
  options.m_superIndexEntries = 2;
  PAVIFILE file;
  ASSERT_EQ(CreateAviFile(path, options, file), AVIERR_OK);
  const CWrittenFile written = WriteVideoAndAudio(file);
  ASSERT_EQ(FinishAviFile(file), AVIERR_OK);

  ExpectPacketsMatch(Packets(path, 0), written.m_videoMd5);
  ExpectPacketsMatch(Packets(path, 1), written.m_audioMd5);
  const std::string walk = RiffWalk(path);
  EXPECT_NE(walk.find("riff: AVI  + AVIX\n"), std::string::npos) << walk;
  EXPECT_EQ(Probe(path, "-select_streams v -read_intervals 1.9%+#1 -show_entries packet=pts"),
            "19\n");
}

TEST(AviWriterOpenDml, ReadersOfTheFirstPartAloneFindItsFramesThroughIdx1) {
  CTempDir dir;
  const std::string path = dir.Path("parts.avi");
  CAviWriterOptions options;
  options.m_partLimit = 8 * 1024;
  PAVIFILE file;
  ASSERT_EQ(CreateAviFile(path, options, file), AVIERR_OK);
  const CWrittenFile written = WriteVideoAndAudio(file);
  ASSERT_EQ(FinishAviFile(file), AVIERR_OK);

  // Cut the file after its first RIFF: what is left is a complete AVI 1.0 file.
  auto bytes = test::ReadFileBytes(path);
  ASSERT_GT(bytes.size(), 8u);
  const uint32_t firstPart = LoadU32(&bytes[4]) + 8;
  ASSERT_LT(firstPart, bytes.size());
  bytes.resize(firstPart);
  const std::string first = dir.Path("first.avi");
  ASSERT_TRUE(test::WriteFileBytes(first, bytes));
  const auto packets = Packets(first, 0);
  ASSERT_GT(packets.size(), 0u);
  ASSERT_LT(packets.size(), 20u);
  for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i].m_md5, written.m_videoMd5[i]);
  EXPECT_NE(RiffWalk(first).find("idx1: "), std::string::npos);
}

// Runs `body` in a child process whose file size limit is `limit` bytes; the child reports
// through a pipe. Exceeding the limit must give failed writes, never a killed process.
template <typename Body>
std::string RunWithFileSizeLimit(rlim_t limit, Body body) {
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    rlimit cap{limit, limit};
    setrlimit(RLIMIT_FSIZE, &cap);
    const std::string report = body();
    ssize_t ignored = write(channel[1], report.data(), report.size());
    (void)ignored;
    _exit(0);
  }
  close(channel[1]);
  std::string report;
  char buffer[256];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, got);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) report += " child killed";
  return report;
}

TEST(AviWriterFailures, WritesPastTheFileSizeLimitFailAndTheFileStaysReadable) {
  CTempDir dir;
  const std::string path = dir.Path("limited.avi");
  const std::string report = RunWithFileSizeLimit(64 * 1024, [&] {
    PAVIFILE file;
    if (CAviFile::Open(path, OF_CREATE | OF_WRITE, file) != AVIERR_OK) return std::string("open");
    PAVISTREAM video;
    file->CreateStream(video, VideoHeader(64, 32));
    const auto format = RawFormat(64, 32);
    video->SetFormat(0, &format, sizeof format);
    int ok = 0, failed = 0, other = 0;
    for (int n = 0; n < 40; ++n) {
      const auto picture = Picture(64, 32, n);
      const HRESULT hr = video->Write(n, 1, picture.data(), static_cast<int32_t>(picture.size()),
                                      AVIIF_KEYFRAME, nullptr, nullptr);
      (hr == AVIERR_OK ? ok : hr == AVIERR_FILEWRITE ? failed : other)++;
    }
    video.reset();
    const HRESULT finish = FinishAviFile(file);
    return std::to_string(ok) + " " + std::to_string(failed) + " " + std::to_string(other) + " " +
           (finish == AVIERR_FILEWRITE ? "finish-failed" : "finish-ok");
  });
  std::istringstream fields(report);
  int ok = -1, failed = -1, other = -1;
  std::string finish;
  fields >> ok >> failed >> other >> finish;
  ASSERT_GT(ok, 0) << report;
  EXPECT_EQ(ok + failed, 40) << report;
  EXPECT_GT(failed, 0) << report;
  EXPECT_EQ(other, 0) << report;
  EXPECT_EQ(finish, "finish-failed") << report;
  // The frames that fit are all there, readable by a peer; the positions of the lost ones
  // hold at most empty chunks.
  std::vector<std::string> frames;
  for (const CPacket& packet : Packets(path, 0))
    if (packet.m_size > 0) frames.push_back(packet.m_md5);
  ASSERT_EQ(frames.size(), static_cast<size_t>(ok));
  for (int n = 0; n < ok; ++n) EXPECT_EQ(frames[n], Md5(Picture(64, 32, n)));
}

}  // namespace
}  // namespace corvane
