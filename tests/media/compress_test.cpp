// Compressed streams: every compressor of the catalogue writes a file that the ffmpeg tools
// decode with exactly the frames written.
#include "media/codec/compress.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "getframe_testsupport.h"
#include "media/errortext.h"
#include "media/mux/container.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace corvane {
namespace {

using test::CTempDir;
using test::RunCommand;
using test::ShellQuote;

// A picture that changes from frame to frame: gradients, a moving square and some noise.
std::vector<uint8_t> MakeFrame(int width, int height, int index) {
  std::vector<uint8_t> frame(static_cast<size_t>(FrameStride(width)) * height, 0);
  uint32_t noise = 12345u + index;
  for (int row = 0; row < height; ++row) {
    uint8_t* line = frame.data() + static_cast<size_t>(FrameStride(width)) * row;
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245u + 12345u;
      const bool square = x >= 4 + 3 * index && x < 20 + 3 * index && row >= 8 && row < 24;
      line[3 * x] = static_cast<uint8_t>(square ? 30 : x * 3 + index);
      line[3 * x + 1] = static_cast<uint8_t>(square ? 220 : row * 4);
      line[3 * x + 2] = static_cast<uint8_t>(square ? 40 : ((noise >> 16) & 0x3F) + 100);
    }
  }
  return frame;
}

AVICOMPRESSOPTIONS Options(uint32_t fourCC) {
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.fccHandler = fourCC;
  options.dwQuality = 0xFFFFFFFFu;
  return options;
}

struct CWritten {
  HRESULT m_result = AVIERR_OK;
  std::vector<std::vector<uint8_t>> m_frames;
};

// Writes `count` frames through a compressed stream into a new file, as the mix job does.
CWritten WriteClip(const std::string& path, const AVICOMPRESSOPTIONS& options, int width,
                   int height, int count) {
  CWritten written;
  PAVIFILE file;
  written.m_result = CAviFile::Open(path, OF_CREATE | OF_WRITE, file);
  if (written.m_result != AVIERR_OK) return written;
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 10;
  info.rcFrame = {0, 0, width, height};
  PAVISTREAM stream;
  written.m_result = file->CreateStream(stream, info);
  if (written.m_result != AVIERR_OK) return written;
  PAVISTREAM compressed;
  written.m_result = AVIMakeCompressedStream(compressed, stream, options);
  if (written.m_result != AVIERR_OK) return written;
  BITMAPINFOHEADER header = test::BitmapHeader(width, height, 24);
  header.biSizeImage = FrameStride(width) * height;
  written.m_result = compressed->SetFormat(0, &header, sizeof header);
  if (written.m_result != AVIERR_OK) return written;
  for (int i = 0; i < count; ++i) {
    written.m_frames.push_back(MakeFrame(width, height, i));
    written.m_result = compressed->Write(i, 1, written.m_frames.back().data(), header.biSizeImage,
                                         AVIIF_KEYFRAME, nullptr, nullptr);
    if (written.m_result < 0) return written;
  }
  written.m_result = AVIERR_OK;
  return written;  // releases compressed, then stream, then file
}

std::map<std::string, std::string> ProbeStream(const std::string& path) {
  const auto result = RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=codec_tag_string,width,height,nb_read_frames,nb_frames -of default=nw=1 " +
      ShellQuote(path));
  std::map<std::string, std::string> fields;
  std::istringstream lines(result.m_output);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

// Byte offsets of the packets that the index flags as key frames, and of the pictures that
// the decoder finds to be key frames (one ffprobe run: "packet,pos,flags" and
// "frame,key_frame,pkt_pos,..." lines).
std::pair<std::set<std::string>, std::set<std::string>> KeyFrames(const std::string& path) {
  std::set<std::string> indexed;
  std::set<std::string> decoded;
  const auto probe = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pos,flags:frame=key_frame,"
      "pkt_pos -of csv " +
      ShellQuote(path));
  std::istringstream lines(probe.m_output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
    if (fields.size() >= 3 && fields[0] == "packet" && fields[2].find('K') != std::string::npos) {
      indexed.insert(fields[1]);
    } else if (fields.size() >= 3 && fields[0] == "frame" && fields[1] == "1") {
      decoded.insert(fields[2]);
    }
  }
  return {indexed, decoded};
}

std::string FourCCString(uint32_t fourCC) {
  if (fourCC == 0) return "[0][0][0][0]";
  return std::string{static_cast<char>(fourCC), static_cast<char>(fourCC >> 8),
                     static_cast<char>(fourCC >> 16), static_cast<char>(fourCC >> 24)};
}

class CompressorTest : public ::testing::TestWithParam<CCompressorInfo> {};

TEST_P(CompressorTest, WritesAFileThatFfmpegDecodesFrameForFrame) {
  const CCompressorInfo& compressor = GetParam();
  CTempDir dir;
  const std::string path = dir.Path("out.avi");
  constexpr int kWidth = 64, kHeight = 48, kFrames = 12;

  const CWritten written = WriteClip(path, Options(compressor.m_fourCC), kWidth, kHeight, kFrames);

  ASSERT_EQ(written.m_result, AVIERR_OK) << *CErrorText(written.m_result).Text();
  auto probe = ProbeStream(path);
  EXPECT_EQ(probe["nb_read_frames"], std::to_string(kFrames));
  EXPECT_EQ(probe["nb_frames"], std::to_string(kFrames));
  EXPECT_EQ(probe["width"], std::to_string(kWidth));
  EXPECT_EQ(probe["height"], std::to_string(kHeight));
  EXPECT_EQ(probe["codec_tag_string"], FourCCString(compressor.m_fourCC));

  const auto peer = test::PeerFrames(path, kWidth, kHeight);
  ASSERT_EQ(peer.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    const auto expected = test::TopDownUnpadded(written.m_frames[i].data(), kWidth, kHeight);
    if (compressor.m_lossless) {
      EXPECT_EQ(peer[i], expected) << "frame " << i << " must round-trip bit-exact";
    } else {
      // Lossy: the same picture, not the same bytes. Mean error per byte stays small.
      double total = 0;
      for (size_t b = 0; b < expected.size(); ++b) total += std::abs(peer[i][b] - expected[b]);
      EXPECT_LT(total / expected.size(), 12.0) << "frame " << i;
    }
  }
}

TEST_P(CompressorTest, IndexKeyFramesAreTheEncodersKeyFramesAndTheHandlerNamesTheCodec) {
  const CCompressorInfo& compressor = GetParam();
  CTempDir dir;
  const std::string path = dir.Path("keys.avi");
  AVICOMPRESSOPTIONS options = Options(compressor.m_fourCC);
  options.dwFlags = AVICOMPRESSF_KEYFRAMES;
  options.dwKeyFrameEvery = 5;

  ASSERT_EQ(WriteClip(path, options, 48, 32, 16).m_result, AVIERR_OK);

  const auto [indexed, decoded] = KeyFrames(path);
  EXPECT_FALSE(indexed.empty());
  EXPECT_EQ(indexed, decoded);
  if (compressor.m_honoursKeyFrames) {
    // Every fifth frame at least; an encoder may add more at scene cuts, never fewer.
    EXPECT_GE(indexed.size(), 4u);
    EXPECT_LT(indexed.size(), 16u);
  }
  const auto walk = RunCommand("python3 " + ShellQuote(test::CorpusSource("riffwalk.py")) + " " +
                               ShellQuote(path));
  const std::string handler =
      compressor.m_fourCC ? "handler='" + FourCCString(compressor.m_fourCC) + "'" : "";
  EXPECT_NE(walk.m_output.find("type=vids " + handler), std::string::npos) << walk.m_output;
}

std::string CompressorName(const ::testing::TestParamInfo<CCompressorInfo>& info) {
  return info.param.m_name;
}

// The compressors an AVI takes (VP9 and AV1 go into the other containers only).
std::vector<CCompressorInfo> AviCompressors() {
  std::vector<CCompressorInfo> fitting;
  for (const CCompressorInfo& info : CompressorCatalogue())
    if (CompressorFits(info, ContainerInfo(EContainer::kAvi))) fitting.push_back(info);
  return fitting;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CompressorTest, ::testing::ValuesIn(AviCompressors()),
                         CompressorName);

TEST(CompressTest, CatalogueStartsWithFullFramesAndNamesOnlyDecodableCodecs) {
  const auto& catalogue = CompressorCatalogue();
  ASSERT_GE(catalogue.size(), 5u);
  EXPECT_EQ(catalogue[0].m_displayName, "Full Frames (Uncompressed)");
  EXPECT_EQ(catalogue[0].m_fourCC, 0u);
  EXPECT_TRUE(catalogue[0].m_lossless);
  std::set<std::string> names;
  for (const auto& entry : catalogue) {
    EXPECT_TRUE(names.insert(entry.m_name).second) << entry.m_name;
    EXPECT_EQ(FindCompressor(entry.m_name), &entry);
    EXPECT_EQ(FindCompressor(entry.m_fourCC), &entry);
  }
  for (const char* name : {"mjpeg", "ffv1", "huffyuv", "mpeg4"}) {
    EXPECT_TRUE(names.count(name)) << name;
  }
  EXPECT_EQ(names.count("h264") == 1, avcodec_find_encoder_by_name("libx264") != nullptr);
  EXPECT_EQ(FindCompressor(MakeFourCC('D', 'I', 'B', ' ')), &catalogue[0]);
  EXPECT_EQ(FindCompressor(MakeFourCC('x', 'v', 'i', 'd')), FindCompressor("mpeg4"));
  EXPECT_EQ(FindCompressor(MakeFourCC('Z', 'Z', 'Z', 'Z')), nullptr);
  EXPECT_EQ(FindCompressor("nonsense"), nullptr);
}

// The luminance quantisation table of the first JPEG picture in an AVI file.
std::vector<uint8_t> FirstLumaTable(const std::string& path) {
  const auto bytes = test::ReadFileBytes(path);
  for (size_t i = 0; i + 70 < bytes.size(); ++i) {
    // DQT marker, length 67 or more, table 0 with 8-bit entries.
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xDB && bytes[i + 4] == 0x00) {
      return std::vector<uint8_t>(bytes.begin() + i + 5, bytes.begin() + i + 69);
    }
  }
  return {};
}

TEST(CompressTest, MotionJpegQuality9300QuantisesLikeFfmpegQv3) {
  EXPECT_EQ(QualityToQuantiser(9300), 3);
  EXPECT_EQ(QualityToQuantiser(10000), 1);
  EXPECT_EQ(QualityToQuantiser(0), 31);
  CTempDir dir;
  AVICOMPRESSOPTIONS options = Options(MakeFourCC('M', 'J', 'P', 'G'));
  options.dwQuality = 9300;
  ASSERT_EQ(WriteClip(dir.Path("ours.avi"), options, 64, 48, 2).m_result, AVIERR_OK);
  options.dwQuality = 5000;
  ASSERT_EQ(WriteClip(dir.Path("coarse.avi"), options, 64, 48, 2).m_result, AVIERR_OK);
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=s=64x48:r=10:d=0.2 "
                       "-c:v mjpeg -q:v 3 -y " +
                       ShellQuote(dir.Path("peer.avi")))
                .m_exitCode,
            0);

  const auto ours = FirstLumaTable(dir.Path("ours.avi"));
  const auto peer = FirstLumaTable(dir.Path("peer.avi"));

  ASSERT_EQ(ours.size(), 64u);
  EXPECT_EQ(ours, peer);
  EXPECT_NE(FirstLumaTable(dir.Path("coarse.avi")), peer);
}

TEST(CompressTest, FormatsOtherThan24BitAreRefusedWithADescribedCode) {
  CTempDir dir;
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(dir.Path("x.avi"), OF_CREATE | OF_WRITE, file), AVIERR_OK);
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 10;
  PAVISTREAM stream;
  ASSERT_EQ(file->CreateStream(stream, info), AVIERR_OK);
  PAVISTREAM compressed;
  ASSERT_EQ(AVIMakeCompressedStream(compressed, stream, Options(MakeFourCC('F', 'F', 'V', '1'))),
            AVIERR_OK);
  const BITMAPINFOHEADER wrongDepth = test::BitmapHeader(16, 16, 32);
  const BITMAPINFOHEADER topDown = test::BitmapHeader(16, -16, 24);

  const HRESULT depth = compressed->SetFormat(0, &wrongDepth, sizeof wrongDepth);
  const HRESULT rows = compressed->SetFormat(0, &topDown, sizeof topDown);
  const uint8_t frame[16 * 16 * 3] = {};
  const HRESULT write =
      compressed->Write(0, 1, frame, sizeof frame, AVIIF_KEYFRAME, nullptr, nullptr);

  EXPECT_LT(depth, 0);
  EXPECT_LT(rows, 0);
  EXPECT_LT(write, 0);
  for (HRESULT code : {depth, rows, write}) {
    EXPECT_EQ(CErrorText(code).Text()->find("Unknown"), std::string::npos);
  }
}

TEST(CompressTest, UnknownCompressorIsRefused) {
  CTempDir dir;
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(dir.Path("x.avi"), OF_CREATE | OF_WRITE, file), AVIERR_OK);
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  PAVISTREAM stream;
  ASSERT_EQ(file->CreateStream(stream, info), AVIERR_OK);
  PAVISTREAM compressed;

  const HRESULT result =
      AVIMakeCompressedStream(compressed, stream, Options(MakeFourCC('Z', 'Z', 'Z', 'Z')));

  EXPECT_EQ(result, AVIERR_NOCOMPRESSOR);
  EXPECT_FALSE(compressed);
}

// A target whose writes fail from one position on, standing in for a disk that fills up.
class CFailingTarget final : public CAviStream {
 public:
  explicit CFailingTarget(int32_t failFrom) : m_failFrom(failFrom) {}
  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = AVISTREAMINFOA{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 1;
    info.dwRate = 25;
    return AVIERR_OK;
  }
  HRESULT ReadFormat(int32_t, void*, int32_t* size) override {
    if (size) *size = 0;
    return AVIERR_NODATA;
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_OK; }
  int32_t Start() const override { return 0; }
  int32_t Length() const override { return m_written; }
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t*, int32_t*) override {
    return AVIERR_UNSUPPORTED;
  }
  HRESULT Write(int32_t start, int32_t, const void*, int32_t, uint32_t, int32_t*,
                int32_t*) override {
    if (start >= m_failFrom) return AVIERR_FILEWRITE;
    m_written = std::max(m_written, start + 1);
    return AVIERR_OK;
  }
  int32_t FindSample(int32_t, uint32_t) const override { return -1; }
  int32_t m_written = 0;

 private:
  int32_t m_failFrom;
};

// x264 holds the frames of a short clip back for its look-ahead, so their packets are written
// only when the stream ends: a write that fails then is reported, with the frame it was for.
TEST(CompressTest, AWriteThatFailsWhileTheEncoderDrainsIsReportedWithItsFrame) {
  const CCompressorInfo* h264 = FindCompressor("h264");
  if (!h264) GTEST_SKIP() << "no H.264 encoder";
  auto target = std::make_shared<CFailingTarget>(17);
  PAVISTREAM compressed;
  ASSERT_EQ(AVIMakeCompressedStream(compressed, target, Options(h264->m_fourCC)), AVIERR_OK);
  BITMAPINFOHEADER header = test::BitmapHeader(64, 48, 24);
  header.biSizeImage = FrameStride(64) * 48;
  ASSERT_EQ(compressed->SetFormat(0, &header, sizeof header), AVIERR_OK);
  for (int32_t i = 0; i < 30; ++i) {
    const std::vector<uint8_t> frame = MakeFrame(64, 48, i);
    ASSERT_EQ(compressed->Write(i, 1, frame.data(), header.biSizeImage, 0, nullptr, nullptr),
              AVIERR_OK)
        << "frame " << i << ": the encoder was to hold it back";
  }

  EXPECT_EQ(compressed->EndOfStream(), AVIERR_FILEWRITE);
  EXPECT_EQ(compressed->FailedPosition(), 17);
  EXPECT_EQ(target->m_written, 17);
  EXPECT_EQ(compressed->EndOfStream(), AVIERR_FILEWRITE) << "a failed stream stays failed";
}

}  // namespace
}  // namespace corvane
