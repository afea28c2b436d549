// Sources read through libavformat, checked against the ffmpeg command line: every frame, in
// presentation order, equals ffmpeg's decode byte for byte, and reading the frames in any
// order gives the bytes of reading them in order. The sources are made by ffmpeg per case.
#include "media/demux/demuxfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <numeric>
#include <random>
#include <sstream>

#include "getframe_testsupport.h"
#include "media/codec/getframe.h"
#include "media/host.h"

extern "C" {
#include <libavcodec/codec_desc.h>
}

namespace corvane {
namespace {

struct CSourceCase {
  const char* m_name;
  const char* m_file;
  const char* m_encode;   // ffmpeg output options
  const char* m_encoder;  // needed in ffmpeg's encoder list
};

void PrintTo(const CSourceCase& source, std::ostream* out) {
  *out << source.m_name;
}

const CSourceCase kSources[] = {
    {"H264BFramesMp4", "clip.mp4", "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p", "libx264"},
    {"H264BFramesMkv", "clip.mkv", "-c:v libx264 -bf 3 -g 10 -pix_fmt yuv420p", "libx264"},
    {"HevcMov", "clip.mov", "-c:v libx265 -x265-params bframes=2:keyint=12 -tag:v hvc1", "libx265"},
    {"Mpeg2Ts", "clip.ts", "-c:v mpeg2video -bf 2 -g 12 -q:v 4", "mpeg2video"},
    {"Vp9Webm", "clip.webm", "-c:v libvpx-vp9 -g 12 -deadline realtime -b:v 300k", "libvpx-vp9"},
    {"MjpegMov", "clip.mov", "-c:v mjpeg -q:v 4", "mjpeg"},
    {"StillPng", "still.png", "-frames:v 1 -c:v png", "png"},
};

class DemuxSourceTest : public ::testing::TestWithParam<CSourceCase> {
 protected:
  // Makes the case's source: 30 frames of 160x120 test pattern at 25 fps.
  std::string MakeSource() {
    const CSourceCase& source = GetParam();
    const std::string encoders = test::RunCommand("ffmpeg -hide_banner -encoders").m_output;
    if (encoders.find(std::string(" ") + source.m_encoder + " ") == std::string::npos) return "";
    const std::string path = m_dir.Path(source.m_file);
    const auto made =
        test::RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=160x120:r=25:d=1.2 " +
                         std::string(source.m_encode) + " " + test::ShellQuote(path));
    EXPECT_EQ(made.m_exitCode, 0) << made.m_errors;
    return path;
  }

  test::CTempDir m_dir;
};

TEST_P(DemuxSourceTest, FramesEqualFfmpegsInPresentationOrderAndAtRandom) {
  const std::string path = MakeSource();
  if (path.empty()) GTEST_SKIP() << "ffmpeg has no " << GetParam().m_encoder << " encoder";
  PAVIFILE file;
  ASSERT_EQ(OpenDemuxFile(path, file), AVIERR_OK);
  PAVISTREAM stream;
  ASSERT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_OK);
  auto frames = CGetFrame::Open(stream);
  ASSERT_TRUE(frames) << "no decoder";
  const int width = frames->Width(), height = frames->Height();
  ASSERT_EQ(width, 160);
  ASSERT_EQ(height, 120);

  const auto peer = test::PeerFrames(path, width, height);
  ASSERT_EQ(static_cast<size_t>(stream->Length()), peer.size());
  const size_t bytes = static_cast<size_t>(FrameStride(width)) * height;
  std::vector<std::vector<uint8_t>> inOrder;
  for (int32_t i = 0; i < stream->Length(); ++i) {
    std::vector<uint8_t> frame(bytes);
    ASSERT_EQ(frames->GetFrameInto(i, frame.data()), EFrameStatus::kOk) << "frame " << i;
    EXPECT_EQ(test::MaxDifference(test::TopDownUnpadded(frame.data(), width, height), peer[i]), 0)
        << "frame " << i;
    inOrder.push_back(std::move(frame));
  }

  std::vector<int32_t> order(stream->Length());
  std::iota(order.rbegin(), order.rend(), 0);
  std::vector<int32_t> shuffled(order);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(77));
  order.insert(order.end(), shuffled.begin(), shuffled.end());
  auto random = CGetFrame::Open(stream);
  ASSERT_TRUE(random);
  std::vector<uint8_t> frame(bytes);
  for (int32_t index : order) {
    ASSERT_EQ(random->GetFrameInto(index, frame.data()), EFrameStatus::kOk) << "frame " << index;
    EXPECT_EQ(frame, inOrder[index]) << "frame " << index << " read at random";
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, DemuxSourceTest, ::testing::ValuesIn(kSources),
                         [](const auto& info) { return std::string(info.param.m_name); });

// A phone's rotation tag (the track's display matrix, written here into an MP4's tkhd) turns
// the frames upright, as ffmpeg's own autorotation does: the same bytes, the size turned too.
TEST(DemuxFileTest, RotatedClipsComeOutUpright) {
  struct CTurn {
    int m_degrees;         // clockwise, as ffmpeg turns the picture
    uint32_t m_matrix[4];  // a, b, c, d of the tkhd matrix (16.16)
  };
  const CTurn turns[] = {{90, {0, 0x10000, 0xFFFF0000, 0}},
                         {180, {0xFFFF0000, 0, 0, 0xFFFF0000}},
                         {270, {0, 0xFFFF0000, 0x10000, 0}}};
  test::CTempDir dir;
  const std::string plain = dir.Path("plain.mp4");
  // 4:4:4, so that turning before or after the colour conversion gives the same bytes.
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=160x120:r=25:d=0.4 "
                             "-c:v libx264 -pix_fmt yuv444p " +
                             test::ShellQuote(plain))
                .m_exitCode,
            0);
  const std::vector<uint8_t> bytes = test::ReadFileBytes(plain);
  const uint8_t tkhd[] = {'t', 'k', 'h', 'd'};
  const auto box = std::search(bytes.begin(), bytes.end(), std::begin(tkhd), std::end(tkhd));
  ASSERT_NE(box, bytes.end());
  const size_t matrixAt = static_cast<size_t>(box - bytes.begin()) - 4 + 48;  // version 0 layout
  ASSERT_EQ(bytes[matrixAt - 40], 0) << "tkhd version";
  for (const CTurn& turn : turns) {
    SCOPED_TRACE(turn.m_degrees);
    std::vector<uint8_t> turned = bytes;
    const uint32_t fields[] = {
        turn.m_matrix[0], turn.m_matrix[1], 0, turn.m_matrix[2], turn.m_matrix[3], 0, 0, 0,
        0x40000000};
    for (size_t i = 0; i < 9; ++i)
      for (size_t b = 0; b < 4; ++b)
        turned[matrixAt + 4 * i + b] = static_cast<uint8_t>(fields[i] >> (24 - 8 * b));
    const std::string path = dir.Path("turned" + std::to_string(turn.m_degrees) + ".mp4");
    ASSERT_TRUE(test::WriteFileBytes(path, turned));

    PAVIFILE file;
    ASSERT_EQ(OpenDemuxFile(path, file), AVIERR_OK);
    PAVISTREAM stream;
    ASSERT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_OK);
    EXPECT_EQ(stream->Rotation(), turn.m_degrees);
    auto frames = CGetFrame::Open(stream);
    ASSERT_TRUE(frames);
    const int width = frames->Width(), height = frames->Height();
    EXPECT_EQ(width, turn.m_degrees == 180 ? 160 : 120);
    const auto peer = test::PeerFrames(path, width, height);
    ASSERT_EQ(peer.size(), 10u);
    std::vector<uint8_t> frame(static_cast<size_t>(FrameStride(width)) * height);
    for (int32_t i = 0; i < 10; ++i) {
      ASSERT_EQ(frames->GetFrameInto(i, frame.data()), EFrameStatus::kOk);
      EXPECT_EQ(test::MaxDifference(test::TopDownUnpadded(frame.data(), width, height), peer[i]), 0)
          << "frame " << i;
    }
  }
}

TEST(DemuxFileTest, FilesWithoutVideoOrNotMediaAreRefused) {
  test::CTempDir dir;
  const std::string text = dir.Path("notes.mp4");
  ASSERT_TRUE(test::WriteFileBytes(text, {'h', 'e', 'l', 'l', 'o', '\n'}));
  const std::string notes = dir.Path("notes.txt");  // libavformat's tty demuxer would take it
  ASSERT_TRUE(test::WriteFileBytes(notes, std::vector<uint8_t>(4000, 'x')));
  const std::string sound = dir.Path("tone.m4a");
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i sine=d=0.5 -c:a aac " +
                             test::ShellQuote(sound))
                .m_exitCode,
            0);
  PAVIFILE file;
  std::string why;
  for (const std::string& path : {text, notes}) {
    EXPECT_EQ(OpenDemuxFile(path, file, &why), AVIERR_FILEOPEN) << path;
    // libavformat's own words may follow in brackets (an .mp4 is read as one: "moov atom...").
    EXPECT_EQ(why.substr(0, why.find(" (")), "unknown format, or a damaged file");
  }
  EXPECT_EQ(OpenDemuxFile(dir.Path("missing.mkv"), file, &why), AVIERR_FILEOPEN);
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_EQ(OpenDemuxFile(sound, file, &why), AVIERR_NODATA);
  EXPECT_EQ(why, "no video stream");
  EXPECT_FALSE(file);
}

// A host that hears of an opening's progress and answers with `m_goOn`.
class COpeningHost final : public CHost {
 public:
  COpeningHost() { SetHost(this); }
  ~COpeningHost() override { SetHost(nullptr); }
  int MessageBox(const std::string&, const std::string&, uint32_t) override { return IDOK; }
  void SetStatusText(const std::string&) override {}
  bool ChooseCompression(AVICOMPRESSOPTIONS&) override { return false; }
  bool OpeningProgress(const std::string& path, int32_t permille) override {
    m_paths.push_back(path);
    m_permille.push_back(permille);
    return m_goOn;
  }
  bool m_goOn = true;
  std::vector<std::string> m_paths;
  std::vector<int32_t> m_permille;
};

// With the half-second wait taken away, opening a clip of many packets tells the host how far
// it has come; a host that says stop makes the opening fail as cancelled, whoever opens.
TEST(DemuxFileTest, TheOpeningScanReportsItsProgressAndStopsWhenTheHostSaysSo) {
  test::CTempDir dir;
  const std::string path = dir.Path("long.mkv");
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=64x48:r=100:d=3 "
                             "-c:v mpeg2video " +
                             test::ShellQuote(path))
                .m_exitCode,
            0);
  COpeningHost host;
  SetOpeningReportDelay(0);
  PAVIFILE file;
  EXPECT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  ASSERT_FALSE(host.m_permille.empty());
  EXPECT_EQ(host.m_paths.front(), path);
  EXPECT_TRUE(std::is_sorted(host.m_permille.begin(), host.m_permille.end()));
  EXPECT_GT(host.m_permille.front(), 0);
  EXPECT_LE(host.m_permille.back(), 1000);

  host.m_goOn = false;
  EXPECT_EQ(CAviFile::Open(path, OF_SHARE_DENY_WRITE, file), AVIERR_USERABORT);
  EXPECT_FALSE(file);
  EXPECT_EQ(CAviFile::LastOpenFailure(), "opening was cancelled");
  SetOpeningReportDelay(500);
}

// What ffprobe reads of a file's streams: the first video stream's frames (as its header states
// them, an AVI's empty chunks included, else its packets), the first audio stream's packets, codec
// and duration (its stated one, else the sum of its packets').
struct CPeerStreams {
  int64_t m_videoFrames = -1;
  int64_t m_audioPackets = -1;
  std::string m_audioCodec;
  double m_audioSeconds = 0.0;
};

CPeerStreams PeerStreams(const std::string& path) {
  CPeerStreams peer;
  const std::string quoted = test::ShellQuote(path);
  std::istringstream lines(test::RunCommand("ffprobe -v error -count_packets -show_entries "
                                            "stream=codec_type,codec_name,nb_frames,duration,"
                                            "nb_read_packets " +
                                            quoted)
                               .m_output);
  std::map<std::string, std::string> stream;
  bool videoSeen = false;
  bool audioSeen = false;
  auto number = [](const std::string& text) {
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
  };
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) {
      stream[line.substr(0, equals)] = line.substr(equals + 1);
      continue;
    }
    if (line != "[/STREAM]") continue;
    if (stream["codec_type"] == "video" && !videoSeen) {
      videoSeen = true;
      peer.m_videoFrames =
          std::stoll(stream[number(stream["nb_frames"]) ? "nb_frames" : "nb_read_packets"]);
    } else if (stream["codec_type"] == "audio" && !audioSeen) {
      audioSeen = true;
      peer.m_audioPackets = std::stoll(stream["nb_read_packets"]);
      peer.m_audioCodec = stream["codec_name"];
      const std::string summed =
          number(stream["duration"])
              ? stream["duration"]
              : test::RunCommand(
                    "ffprobe -v error -select_streams a:0 -show_entries "
                    "packet=duration_time -of csv=p=0 " +
                    quoted + " | awk '{ s += $1 } END { printf \"%.6f\", s }'")
                    .m_output;
      peer.m_audioSeconds = std::atof(summed.c_str());
    }
    stream.clear();
  }
  return peer;
}

// The read-back's one opening of a file gives the file as CAviFile::Open does (our reader for an
// AVI) and the first audio stream's packets as ffprobe counts them: libavformat's own packets,
// which for PCM in AVI are not the file's chunks (each of its 8,820-byte chunks is five), and one
// fewer in a copy that lost one.
TEST(DemuxFileTest, OneOpeningGivesTheFileAndItsAudioPacketsAsFfprobeReadsThem) {
  test::CTempDir dir;
  const struct {
    const char* m_file;
    const char* m_encode;  // after a 1 s test picture and tone
    bool m_ourAvi;
  } cases[] = {
      {"aac.mp4", "-c:v libx264 -c:a aac", false},
      {"opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", false},
      {"mp3.mkv", "-c:v mjpeg -c:a libmp3lame", false},
      {"pcm.avi", "-c:v mjpeg -c:a pcm_s16le", true},
      {"mp3.avi", "-c:v mjpeg -c:a libmp3lame", true},
      {"silent.mov", "-c:v mjpeg -an", false},
      {"lost.mp4", "", false},  // aac.mp4 copied without its sixth audio packet
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.m_file);
    const std::string path = dir.Path(c.m_file);
    const std::string made = *c.m_encode ? "-f lavfi -i testsrc2=s=96x64:r=25:d=1 -f lavfi -i "
                                           "sine=r=44100:d=1:samples_per_frame=4410 " +
                                               std::string(c.m_encode)
                                         : "-i " + test::ShellQuote(dir.Path("aac.mp4")) +
                                               " -c copy -bsf:a " +
                                               test::ShellQuote("noise=drop=eq(n\\,5)");
    ASSERT_TRUE(test::MakeWithFfmpeg(made, path));
    const CPeerStreams peer = PeerStreams(path);
    if (!*c.m_encode)
      ASSERT_EQ(peer.m_audioPackets + 1, PeerStreams(dir.Path("aac.mp4")).m_audioPackets)
          << "the copy must lose one packet";

    PAVIFILE file;
    SAudioPacketFacts facts;
    facts.m_packets = -1;
    bool found = true;
    ASSERT_EQ(OpenWithAudioPacketFacts(path, file, &facts, &found), AVIERR_OK);
    ASSERT_TRUE(file);

    AVIFILEINFOW info{};
    ASSERT_EQ(file->Info(info), AVIERR_OK);
    EXPECT_EQ(std::u16string(info.szFileType) == u"AVI", c.m_ourAvi);
    PAVISTREAM video;
    ASSERT_EQ(file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
    EXPECT_EQ(video->Length(), peer.m_videoFrames);
    EXPECT_EQ(found, peer.m_audioPackets >= 0);
    if (peer.m_audioPackets < 0) {
      EXPECT_EQ(facts.m_packets, 0);
      continue;
    }
    EXPECT_EQ(facts.m_packets, peer.m_audioPackets);
    const AVCodecDescriptor* codec = avcodec_descriptor_get_by_name(peer.m_audioCodec.c_str());
    ASSERT_NE(codec, nullptr) << peer.m_audioCodec;
    EXPECT_EQ(facts.m_codec, codec->id);
    EXPECT_NEAR(facts.m_seconds, peer.m_audioSeconds, 0.002);
  }
}

}  // namespace
}  // namespace corvane
