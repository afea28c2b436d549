// The reader against independent peers, fixture by fixture: stream headers against ffprobe and
// the corpus's riffwalk.py, format bytes against ffprobe's fields and extradata, and
// every sample's bytes against the packets of `ffmpeg -c copy -f framemd5`.
//
// How samples line up with ffmpeg's packets:
// - A stream without a fixed sample size has one sample per chunk. ffmpeg drops zero-length
//   chunks; the reader keeps each one as a sample of 0 bytes (a repeated frame), so the
//   non-empty samples in order are exactly ffmpeg's packets, and Length() is ffmpeg's packet
//   count plus the zero-length chunks riffwalk.py counts.
// - A stream with a fixed sample size (PCM, ADPCM, byte-counted MP3) is compared as one byte
//   run: ffmpeg re-splits such chunks into packets of its own choosing.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "avireader_peers.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Fixture;
using test::PeerOutput;
using test::ShellQuote;
using test::SPacket;

// What ffprobe, riffwalk.py and ffmpeg say about one stream.
struct SPeerStream {
  std::map<std::string, std::string> m_probe;  // ffprobe -of flat keys, without the prefix
  std::vector<uint8_t> m_extradata;
  std::map<std::string, std::string> m_walk;  // riffwalk "key=value" of the stream line
  size_t m_walkFormatSize = 0;
  size_t m_walkZeroLength = 0;
  std::vector<SPacket> m_packets;
  std::string m_allMd5;  // md5 of all packet bytes in order
};

std::vector<uint8_t> ParseHexDump(const std::string& text) {
  // ffprobe prints extradata as "\n00000000: 4018 2000 ...  ascii" lines (escaped newlines).
  std::vector<uint8_t> bytes;
  static const std::regex line(R"((?:^|\\n)([0-9a-f]{8}): ((?:[0-9a-f]{2,4} ?){1,8}))");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    if (std::stoul((*it)[1].str(), nullptr, 16) != bytes.size()) continue;
    std::string hex = (*it)[2].str();
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<SPeerStream> LoadPeers(const std::string& path) {
  std::vector<SPeerStream> streams;
  const std::string probe =
      PeerOutput("ffprobe -v error -show_streams -show_data -of flat " + ShellQuote(path), path);
  static const std::regex probeLine(R"(streams\.stream\.(\d+)\.([a-z_]+)=(.*))");
  std::istringstream probeText(probe);
  for (std::string text; std::getline(probeText, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, probeLine)) continue;
    const size_t index = std::stoul(m[1]);
    if (streams.size() <= index) streams.resize(index + 1);
    std::string value = m[3];
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    if (m[2] == "extradata")
      streams[index].m_extradata = ParseHexDump(value);
    else
      streams[index].m_probe[m[2]] = value;
  }
  const std::string walk = PeerOutput(
      "python3 " + ShellQuote(test::CorpusSource("riffwalk.py")) + " " + ShellQuote(path), path);
  static const std::regex streamLine(R"(stream (\d+): (.*))");
  static const std::regex formatLine(R"(\s+strf\([A-Z]+, (\d+) bytes\).*)");
  static const std::regex pair(R"((\w+)=('[^']*'|\S+))");
  static const std::regex zeroEntry(R"((\d\d)[a-z]{2}=(\d+))");
  std::istringstream walkText(walk);
  SPeerStream* current = nullptr;
  for (std::string text; std::getline(walkText, text);) {
    std::smatch m;
    if (std::regex_match(text, m, streamLine)) {
      const size_t index = std::stoul(m[1]);
      current = index < streams.size() ? &streams[index] : nullptr;
      const std::string fields = m[2];
      for (std::sregex_iterator it(fields.begin(), fields.end(), pair), end; it != end; ++it)
        if (current) current->m_walk[(*it)[1]] = (*it)[2];
    } else if (current && std::regex_match(text, m, formatLine)) {
      current->m_walkFormatSize = std::stoul(m[1]);
    } else if (text.rfind("zero-length chunks:", 0) == 0) {
      for (std::sregex_iterator it(text.begin(), text.end(), zeroEntry), end; it != end; ++it)
        if (std::stoul((*it)[1]) < streams.size())
          streams[std::stoul((*it)[1])].m_walkZeroLength = std::stoul((*it)[2]);
    }
  }
  for (size_t i = 0; i < streams.size(); ++i) {
    streams[i].m_packets = test::FfmpegPackets(path, i);
    streams[i].m_allMd5 = test::FfmpegStreamMd5(path, i);
  }
  return streams;
}

// Peer output is cached per fixture: each file's peers run once per test binary.
const std::vector<SPeerStream>& Peers(const std::string& name) {
  static std::mutex lock;
  static std::map<std::string, std::vector<SPeerStream>> cache;
  std::lock_guard guard(lock);
  auto found = cache.find(name);
  if (found == cache.end()) found = cache.emplace(name, LoadPeers(Fixture(name))).first;
  return found->second;
}

uint32_t WalkFourCC(const std::string& text) {
  if (text.size() == 6 && text.front() == '\'')
    return MakeFourCC(text[1], text[2], text[3], text[4]);
  return static_cast<uint32_t>(std::stoul(text, nullptr, 0));
}

uint32_t FormatU32(const std::vector<uint8_t>& f, size_t at) {
  return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}

class AviReaderPeerTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::HaveProgram("ffprobe") && test::HaveProgram("ffmpeg"));
    ASSERT_EQ(CAviFile::Open(Fixture(GetParam()), OF_SHARE_DENY_WRITE, m_file), AVIERR_OK);
    m_peers = &Peers(GetParam());
    ASSERT_FALSE(m_peers->empty()) << "ffprobe saw no stream";
  }

  PAVISTREAM Stream(size_t index) {
    PAVISTREAM stream;
    EXPECT_EQ(m_file->GetStream(stream, 0, static_cast<int32_t>(index)), AVIERR_OK);
    return stream;
  }

  PAVIFILE m_file;
  const std::vector<SPeerStream>* m_peers = nullptr;
};

TEST_P(AviReaderPeerTest, StreamCountAndHeadersAgreeWithFfprobeAndRiffwalk) {
  AVIFILEINFOW fileInfo{};
  ASSERT_EQ(m_file->Info(fileInfo), AVIERR_OK);
  EXPECT_EQ(fileInfo.dwStreams, m_peers->size());
  for (size_t i = 0; i < m_peers->size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const SPeerStream& peer = (*m_peers)[i];
    PAVISTREAM stream = Stream(i);
    ASSERT_TRUE(stream);
    AVISTREAMINFOA info{};
    ASSERT_EQ(stream->Info(info), AVIERR_OK);
    const std::string type = peer.m_probe.at("codec_type");
    EXPECT_EQ(info.fccType, type == "video" ? streamtypeVIDEO : streamtypeAUDIO);
    EXPECT_EQ(info.fccType, WalkFourCC("'" + peer.m_walk.at("type") + "'"));
    EXPECT_EQ(info.fccHandler, WalkFourCC(peer.m_walk.at("handler")));
    EXPECT_EQ(info.dwScale, std::stoul(peer.m_walk.at("scale")));
    EXPECT_EQ(info.dwRate, std::stoul(peer.m_walk.at("rate")));
    EXPECT_EQ(info.dwSampleSize, std::stoul(peer.m_walk.at("sample_size")));
    EXPECT_EQ(info.dwStart, std::stoul(peer.m_walk.at("start")));
    EXPECT_EQ(stream->Start(), static_cast<int32_t>(info.dwStart));
    if (type == "video") {
      // ffprobe gives rate/scale reduced: compare as a cross product.
      const std::string rate = peer.m_probe.at("r_frame_rate");
      const uint64_t num = std::stoull(rate), den = std::stoull(rate.substr(rate.find('/') + 1));
      EXPECT_EQ(uint64_t{info.dwRate} * den, uint64_t{info.dwScale} * num);
      EXPECT_EQ(fileInfo.dwWidth, std::stoul(peer.m_probe.at("width")));
      EXPECT_EQ(fileInfo.dwHeight, std::stoul(peer.m_probe.at("height")));
    }
  }
}

TEST_P(AviReaderPeerTest, LengthCountsSamplesAsTheFileHoldsThem) {
  for (size_t i = 0; i < m_peers->size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const SPeerStream& peer = (*m_peers)[i];
    PAVISTREAM stream = Stream(i);
    ASSERT_TRUE(stream);
    AVISTREAMINFOA info{};
    stream->Info(info);
    EXPECT_EQ(info.dwLength, static_cast<uint32_t>(stream->Length()));
    int64_t held = 0;
    if (info.dwSampleSize == 0) {
      held = static_cast<int64_t>(peer.m_packets.size() + peer.m_walkZeroLength);
    } else {
      size_t bytes = 0;
      for (const SPacket& packet : peer.m_packets) bytes += packet.m_size;
      held = static_cast<int64_t>(bytes / info.dwSampleSize);
    }
    // ffprobe's nb_frames is the header's count, which some writers get wrong (gst_ files
    // state one MP3 frame less than they hold): the reader counts what the file holds.
    EXPECT_EQ(stream->Length(), held) << "header states " << peer.m_probe.at("nb_frames");
  }
}

TEST_P(AviReaderPeerTest, FormatBytesMatchFfprobeFieldsAndExtradata) {
  for (size_t i = 0; i < m_peers->size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const SPeerStream& peer = (*m_peers)[i];
    PAVISTREAM stream = Stream(i);
    ASSERT_TRUE(stream);
    int32_t size = -1;
    ASSERT_EQ(stream->ReadFormat(0, nullptr, &size), AVIERR_OK);
    EXPECT_EQ(static_cast<size_t>(size), peer.m_walkFormatSize);
    std::vector<uint8_t> format(static_cast<size_t>(size));
    ASSERT_EQ(stream->ReadFormat(0, format.data(), &size), AVIERR_OK);
    ASSERT_EQ(static_cast<size_t>(size), format.size());
    const uint32_t tag =
        static_cast<uint32_t>(std::stoul(peer.m_probe.at("codec_tag"), nullptr, 16));
    size_t header = 0;
    if (peer.m_probe.at("codec_type") == "video") {
      ASSERT_GE(format.size(), 40u);
      header = 40;
      EXPECT_EQ(FormatU32(format, 4), std::stoul(peer.m_probe.at("width")));
      EXPECT_EQ(FormatU32(format, 8), std::stoul(peer.m_probe.at("height")));
      EXPECT_EQ(FormatU32(format, 16), tag);
    } else {
      ASSERT_GE(format.size(), 16u);
      header = format.size() > 18 ? 18 : format.size();
      EXPECT_EQ(format[0] | format[1] << 8, static_cast<int>(tag));
      EXPECT_EQ(format[2] | format[3] << 8, std::stoi(peer.m_probe.at("channels")));
      EXPECT_EQ(FormatU32(format, 4), std::stoul(peer.m_probe.at("sample_rate")));
    }
    // What follows the fixed header is ffmpeg's extradata (ffmpeg may add bytes of its own).
    const std::vector<uint8_t> tail(format.begin() + static_cast<std::ptrdiff_t>(header),
                                    format.end());
    ASSERT_LE(tail.size(), peer.m_extradata.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), peer.m_extradata.begin()));
  }
}

TEST_P(AviReaderPeerTest, EverySampleEqualsFfmpegPackets) {
  for (size_t i = 0; i < m_peers->size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const SPeerStream& peer = (*m_peers)[i];
    PAVISTREAM stream = Stream(i);
    ASSERT_TRUE(stream);
    AVISTREAMINFOA info{};
    stream->Info(info);
    const test::SReadStream read = test::ReadWholeStream(*stream);
    ASSERT_TRUE(read.m_ok);
    EXPECT_EQ(test::Md5(read.m_bytes.data(), read.m_bytes.size()), peer.m_allMd5);
    if (info.dwSampleSize == 0) {
      EXPECT_EQ(read.m_empty, peer.m_walkZeroLength);
      EXPECT_EQ(read.m_nonEmpty, peer.m_packets);
    }
  }
}

std::string TestName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(0, info.param.rfind('.'));
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AviReaderPeerTest, testing::ValuesIn(test::AllFixtures()),
                         TestName);

}  // namespace
}  // namespace corvane
