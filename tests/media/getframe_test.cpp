// Frame decompression over every fixture, checked frame by frame against the ffmpeg command
// line, plus the cases no fixture holds, made in memory.
#include "media/codec/getframe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "getframe_testsupport.h"

namespace corvane {
namespace {

using test::CFakeVideoStream;

struct COpened {
  PAVIFILE m_file;
  PAVISTREAM m_stream;
};

COpened OpenVideo(const std::string& path) {
  COpened opened;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, opened.m_file) != AVIERR_OK) return opened;
  opened.m_file->GetStream(opened.m_stream, streamtypeVIDEO, 0);
  return opened;
}

int32_t SampleBytes(CAviStream& stream, int32_t position) {
  int32_t bytes = -1;
  stream.Read(position, 1, nullptr, 0, &bytes, nullptr);
  return bytes;
}

// Every position of the stream decoded in order, as Frame buffers.
std::vector<std::vector<uint8_t>> DecodeInOrder(CGetFrame& frames, CAviStream& stream) {
  std::vector<std::vector<uint8_t>> out;
  const size_t bytes = static_cast<size_t>(FrameStride(frames.Width())) * frames.Height();
  for (int32_t i = 0; i < stream.Length(); ++i) {
    std::vector<uint8_t> frame(bytes);
    if (frames.GetFrameInto(stream.Start() + i, frame.data()) != EFrameStatus::kOk) break;
    out.push_back(std::move(frame));
  }
  return out;
}

class FixtureDecodeTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FixtureDecodeTest, EveryFrameEqualsFfmpegAndEmptySamplesRepeatThePicture) {
  const std::string path = test::Fixture(GetParam());
  COpened opened = OpenVideo(path);
  if (!opened.m_stream) GTEST_SKIP() << "no video stream";
  auto frames = CGetFrame::Open(opened.m_stream);
  ASSERT_TRUE(frames);
  CAviStream& stream = *opened.m_stream;
  const int width = frames->Width();
  const int height = frames->Height();

  const auto ours = DecodeInOrder(*frames, stream);
  // ffmpeg gives one picture per non-empty sample, in display order.
  const auto peer = test::PeerFrames(path, width, height);

  ASSERT_EQ(ours.size(), static_cast<size_t>(stream.Length()));
  size_t shown = 0;
  for (int32_t i = 0; i < stream.Length(); ++i) {
    if (SampleBytes(stream, stream.Start() + i) == 0) {
      ASSERT_GT(i, 0);
      EXPECT_EQ(ours[i], ours[i - 1]) << "empty sample " << i << " must repeat the picture";
      continue;
    }
    ASSERT_LT(shown, peer.size()) << "frame " << i;
    // Raw, lossless and YUV sources alike: byte for byte (the YUV conversion is ffmpeg's own).
    EXPECT_EQ(
        test::MaxDifference(test::TopDownUnpadded(ours[i].data(), width, height), peer[shown]), 0)
        << "frame " << i;
    ++shown;
  }
  EXPECT_EQ(shown, peer.size());
}

TEST_P(FixtureDecodeTest, RandomAccessGivesTheBytesOfDecodingInOrder) {
  COpened opened = OpenVideo(test::Fixture(GetParam()));
  if (!opened.m_stream) GTEST_SKIP() << "no video stream";
  CAviStream& stream = *opened.m_stream;
  auto inOrderReader = CGetFrame::Open(opened.m_stream);
  ASSERT_TRUE(inOrderReader);
  const auto inOrder = DecodeInOrder(*inOrderReader, stream);
  ASSERT_EQ(inOrder.size(), static_cast<size_t>(stream.Length()));

  // Backwards, then shuffled, then a few jumps to the same position again.
  std::vector<int32_t> order(stream.Length());
  std::iota(order.rbegin(), order.rend(), 0);
  std::vector<int32_t> shuffled(stream.Length());
  std::iota(shuffled.begin(), shuffled.end(), 0);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1234));
  order.insert(order.end(), shuffled.begin(), shuffled.end());
  order.insert(order.end(), {stream.Length() - 1, 0, stream.Length() / 2, stream.Length() / 2});

  auto frames = CGetFrame::Open(opened.m_stream);
  std::vector<uint8_t> frame(inOrder[0].size());
  for (int32_t index : order) {
    ASSERT_EQ(frames->GetFrameInto(stream.Start() + index, frame.data()), EFrameStatus::kOk);
    EXPECT_EQ(frame, inOrder[index]) << "frame " << index;
  }
}

std::vector<std::string> VideoFixtures() {
  std::vector<std::string> names;
  for (const std::string& name : test::AllFixtures()) {
    if (name.find("audio_only") == std::string::npos) names.push_back(name);
  }
  return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(0, info.param.size() - 4);
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureDecodeTest, ::testing::ValuesIn(VideoFixtures()),
                         TestName);

TEST(GetFrameTest, PackedDibHasA24BitBottomUpHeaderAndTheFrameBuffer) {
  COpened opened = OpenVideo(test::Fixture("ff_mjpeg_321x241_pcmu8.avi"));
  ASSERT_TRUE(opened.m_stream);
  auto frames = CGetFrame::Open(opened.m_stream);
  ASSERT_TRUE(frames);
  std::vector<uint8_t> direct(FrameStride(321) * 241);
  ASSERT_EQ(frames->GetFrameInto(3, direct.data()), EFrameStatus::kOk);

  const BITMAPINFOHEADER* dib = frames->GetFrame(3);

  ASSERT_NE(dib, nullptr);
  EXPECT_EQ(dib->biSize, 40u);
  EXPECT_EQ(dib->biWidth, 321);
  EXPECT_EQ(dib->biHeight, 241);
  EXPECT_EQ(dib->biBitCount, 24);
  EXPECT_EQ(dib->biCompression, BI_RGB);
  EXPECT_EQ(dib->biSizeImage, 964u * 241);
  const auto* pixels = reinterpret_cast<const uint8_t*>(dib) + 40;
  EXPECT_TRUE(std::equal(direct.begin(), direct.end(), pixels));
}

TEST(GetFrameTest, PositionsOutsideTheStreamGiveNoFrameAndLeaveTheBufferAlone) {
  COpened opened = OpenVideo(test::Fixture("ff_bgr24_5x3.avi"));
  ASSERT_TRUE(opened.m_stream);
  auto frames = CGetFrame::Open(opened.m_stream);
  ASSERT_TRUE(frames);
  std::vector<uint8_t> frame(48, 0xA5);

  EXPECT_EQ(frames->GetFrameInto(10, frame.data()), EFrameStatus::kNoFrame);
  EXPECT_EQ(frames->GetFrameInto(-1, frame.data()), EFrameStatus::kNoFrame);
  EXPECT_EQ(frames->GetFrame(10), nullptr);

  EXPECT_EQ(frame, std::vector<uint8_t>(48, 0xA5));
}

// A stream that counts the sample reads of another one.
class CCountingStream final : public CAviStream {
 public:
  explicit CCountingStream(PAVISTREAM inner) : m_inner(std::move(inner)) {}
  HRESULT Info(AVISTREAMINFOA& info) const override { return m_inner->Info(info); }
  HRESULT ReadFormat(int32_t position, void* format, int32_t* size) override {
    return m_inner->ReadFormat(position, format, size);
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return m_inner->Start(); }
  int32_t Length() const override { return m_inner->Length(); }
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t size, int32_t* bytes,
               int32_t* count) override {
    if (buffer) ++m_reads;
    return m_inner->Read(start, samples, buffer, size, bytes, count);
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }
  int32_t FindSample(int32_t position, uint32_t flags) const override {
    return m_inner->FindSample(position, flags);
  }
  PAVISTREAM m_inner;
  int m_reads = 0;
};

TEST(GetFrameTest, ReadingInOrderDecodesEachSampleOnce) {
  COpened opened = OpenVideo(test::Fixture("ff_mpeg4_bframes_mp3cbr.avi"));
  ASSERT_TRUE(opened.m_stream);
  auto counting = std::make_shared<CCountingStream>(opened.m_stream);
  auto frames = CGetFrame::Open(counting);
  ASSERT_TRUE(frames);
  std::vector<uint8_t> frame(FrameStride(176) * 144);

  for (int32_t i = 0; i < counting->Length(); ++i) {
    ASSERT_EQ(frames->GetFrameInto(i, frame.data()), EFrameStatus::kOk);
  }
  for (int32_t i = 0; i < counting->Length(); ++i) {
    ASSERT_EQ(frames->GetFrameInto(counting->Length() - 1, frame.data()), EFrameStatus::kOk);
  }

  // One read per sample; the restart at the first key frame looks at one sample ahead.
  EXPECT_LE(counting->m_reads, counting->Length() + 1);
}

TEST(GetFrameTest, TopDownRawFileFromFfmpegIsReadUprightIntoABottomUpBuffer) {
  // ffmpeg writes raw RGB top-down (negative height) unless told otherwise.
  test::CTempDir dir;
  const std::string path = dir.Path("topdown.avi");
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=s=33x17:r=10:d=0.3 "
                             "-c:v rawvideo -pix_fmt bgr24 -y " +
                             test::ShellQuote(path))
                .m_exitCode,
            0);
  COpened opened = OpenVideo(path);
  ASSERT_TRUE(opened.m_stream);
  BITMAPINFOHEADER header{};
  int32_t size = sizeof header;
  opened.m_stream->ReadFormat(0, &header, &size);
  ASSERT_EQ(header.biHeight, -17);
  auto frames = CGetFrame::Open(opened.m_stream);
  ASSERT_TRUE(frames);
  EXPECT_EQ(frames->Height(), 17);

  const auto ours = DecodeInOrder(*frames, *opened.m_stream);
  const auto peer = test::PeerFrames(path, 33, 17);

  ASSERT_EQ(ours.size(), 3u);
  ASSERT_EQ(peer.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(test::TopDownUnpadded(ours[i].data(), 33, 17), peer[i]) << i;
  }
}

TEST(GetFrameTest, Raw32And16BitSamplesBecome24Bits) {
  // 2x2 pictures, bottom-up. 32-bit: blue, green, red, unused. 16-bit: x1 r5 g5 b5.
  CFakeVideoStream wide(test::BitmapHeader(2, 2, 32));
  wide.Add({1, 2, 3, 99, 4, 5, 6, 99, 7, 8, 9, 99, 10, 11, 12, 99});
  CFakeVideoStream narrow(test::BitmapHeader(2, 2, 16));
  // Bottom row: pure red (0x7C00), pure blue (0x001F); top row: white, black. Rows pad to 4.
  narrow.Add({0x00, 0x7C, 0x1F, 0x00, 0xFF, 0x7F, 0x00, 0x00});
  auto wideFrames = CGetFrame::Open(std::shared_ptr<CAviStream>(&wide, [](CAviStream*) {}));
  auto narrowFrames = CGetFrame::Open(std::shared_ptr<CAviStream>(&narrow, [](CAviStream*) {}));
  ASSERT_TRUE(wideFrames);
  ASSERT_TRUE(narrowFrames);
  std::vector<uint8_t> frame(16);

  ASSERT_EQ(wideFrames->GetFrameInto(0, frame.data()), EFrameStatus::kOk);
  EXPECT_EQ(frame, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}));

  ASSERT_EQ(narrowFrames->GetFrameInto(0, frame.data()), EFrameStatus::kOk);
  EXPECT_EQ(frame,
            (std::vector<uint8_t>{0, 0, 255, 255, 0, 0, 0, 0, 255, 255, 255, 0, 0, 0, 0, 0}));
}

TEST(GetFrameTest, UnusableStreamsOpenNothing) {
  CFakeVideoStream unknown(test::BitmapHeader(8, 8, 24, MakeFourCC('Z', 'Z', 'Z', 'Z')));
  unknown.Add(std::vector<uint8_t>(64));
  CFakeVideoStream fourBit(test::BitmapHeader(8, 8, 4));
  CFakeVideoStream noWidth(test::BitmapHeader(0, 8, 24));
  CFakeVideoStream shortFormat(test::BitmapHeader(8, 8, 24));
  shortFormat.m_format.resize(20);
  auto borrow = [](CAviStream& stream) {
    return std::shared_ptr<CAviStream>(&stream, [](CAviStream*) {});
  };

  EXPECT_FALSE(CGetFrame::Open(borrow(unknown)));
  EXPECT_FALSE(CGetFrame::Open(borrow(fourBit)));
  EXPECT_FALSE(CGetFrame::Open(borrow(noWidth)));
  EXPECT_FALSE(CGetFrame::Open(borrow(shortFormat)));
  EXPECT_FALSE(CGetFrame::Open(nullptr));
}

TEST(GetFrameTest, ShortOrLeadingEmptyRawSamplesGiveNoFrame) {
  CFakeVideoStream stream(test::BitmapHeader(4, 4, 24));
  stream.Add({});                           // empty, nothing before it to repeat
  stream.Add(std::vector<uint8_t>(20, 7));  // 48 bytes needed
  stream.Add(std::vector<uint8_t>(48, 9));
  auto frames = CGetFrame::Open(std::shared_ptr<CAviStream>(&stream, [](CAviStream*) {}));
  ASSERT_TRUE(frames);
  std::vector<uint8_t> frame(48, 1);

  EXPECT_EQ(frames->GetFrameInto(0, frame.data()), EFrameStatus::kNoFrame);
  EXPECT_EQ(frames->GetFrameInto(1, frame.data()), EFrameStatus::kNoFrame);
  EXPECT_EQ(frame, std::vector<uint8_t>(48, 1));
  EXPECT_EQ(frames->GetFrameInto(2, frame.data()), EFrameStatus::kOk);
  EXPECT_EQ(frame, std::vector<uint8_t>(48, 9));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// The fixture's video samples, key flags and format in a stream held in memory.
std::shared_ptr<CFakeVideoStream> CopyOfVideo(const std::string& name) {
  COpened opened = OpenVideo(test::Fixture(name));
  if (!opened.m_stream) return nullptr;
  BITMAPINFOHEADER header{};
  int32_t size = 0;
  opened.m_stream->ReadFormat(0, nullptr, &size);
  std::vector<uint8_t> format(size);
  opened.m_stream->ReadFormat(0, format.data(), &size);
  std::memcpy(&header, format.data(), sizeof header);
  auto copy = std::make_shared<CFakeVideoStream>(
      header, std::vector<uint8_t>(format.begin() + sizeof header, format.end()));
  for (int32_t i = 0; i < opened.m_stream->Length(); ++i) {
    const int32_t bytes = SampleBytes(*opened.m_stream, i);
    std::vector<uint8_t> sample(std::max(bytes, 0));
    if (bytes > 0) opened.m_stream->Read(i, 1, sample.data(), bytes, nullptr, nullptr);
    copy->Add(std::move(sample), opened.m_stream->FindSample(i, FIND_PREV | FIND_KEY) == i);
  }
  return copy;
}

TEST(GetFrameTest, DamagedSamplesNeverCrashAndIntactPicturesStillDecode) {
  struct CSource {
    const char* m_name;
    bool m_intraOnly;
  };
  for (const CSource& source :
       {CSource{"ff_mjpeg_321x241_pcmu8.avi", true}, CSource{"ff_mpeg4_bframes_mp3cbr.avi", false},
        CSource{"ff_h264_adpcm_ms.avi", false}, CSource{"gst_huffyuv_yuv422_pcm.avi", true},
        CSource{"ff_dv_pal_pcm48k.avi", true}}) {
    auto clean = CopyOfVideo(source.m_name);
    auto stream = CopyOfVideo(source.m_name);
    ASSERT_TRUE(clean && stream) << source.m_name;
    auto cleanFrames = CGetFrame::Open(clean);
    ASSERT_TRUE(cleanFrames);
    const auto expected = DecodeInOrder(*cleanFrames, *clean);
    // Every third sample intact; the others get bytes flipped or are cut short.
    std::mt19937 random(42);
    for (size_t i = 0; i < stream->m_samples.size(); ++i) {
      auto& sample = stream->m_samples[i];
      if (sample.empty() || i % 3 == 0) continue;
      if (i % 3 == 1) {
        for (int k = 0; k < 20; ++k) sample[random() % sample.size()] ^= 0x5A;
      } else {
        sample.resize(sample.size() / 3);
      }
    }
    auto frames = CGetFrame::Open(stream);
    ASSERT_TRUE(frames) << source.m_name;
    std::vector<uint8_t> frame(expected.at(0).size());
    for (int32_t i = 0; i < stream->Length(); ++i) {
      const EFrameStatus status = frames->GetFrameInto(i, frame.data());
      EXPECT_TRUE(status == EFrameStatus::kOk || status == EFrameStatus::kNoFrame);
      if (source.m_intraOnly && i % 3 == 0) {
        ASSERT_EQ(status, EFrameStatus::kOk) << source.m_name << " " << i;
        EXPECT_EQ(frame, expected[i]) << source.m_name << " " << i;
      }
    }
    // Backwards over the damage as well.
    for (int32_t i = stream->Length() - 1; i >= 0; i -= 2) frames->GetFrameInto(i, frame.data());
  }
}

}  // namespace
}  // namespace corvane
