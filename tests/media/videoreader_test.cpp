#include "media/videoreader.h"

#include <gtest/gtest.h>

#include "getframe_testsupport.h"
#include "support/recordinghost.h"

namespace corvane {
namespace {

using test::CFakeVideoStream;
using test::CRecordingHost;

PAVISTREAM OpenFirstVideo(const std::string& name, PAVIFILE& file) {
  PAVISTREAM stream;
  if (CAviFile::Open(test::Fixture(name), OF_SHARE_DENY_WRITE, file) == AVIERR_OK) {
    file->GetStream(stream, streamtypeVIDEO, 0);
  }
  return stream;
}

PAVISTREAM Borrow(CAviStream& stream) {
  return std::shared_ptr<CAviStream>(&stream, [](CAviStream*) {});
}

TEST(VideoReaderTest, FormatLongerThanTheHeaderOpensWithTheHeadersSize) {
  CRecordingHost host;
  PAVIFILE file;
  PAVISTREAM stream = OpenFirstVideo("ff_pal8_61x45.avi", file);
  ASSERT_TRUE(stream);
  int32_t formatSize = 0;
  ASSERT_EQ(stream->ReadFormat(0, nullptr, &formatSize), AVIERR_OK);
  ASSERT_EQ(formatSize, 1064);
  CVideoReader reader;

  ASSERT_EQ(reader.Open(stream), 0);

  EXPECT_EQ(reader.m_width, 61);
  EXPECT_EQ(reader.m_height, 45);
  EXPECT_EQ(reader.m_bufferSize, 184 * 45);
  EXPECT_EQ(reader.m_startFrame, 0);
  EXPECT_EQ(reader.m_endFrame, 10);
  EXPECT_EQ(reader.m_streamInfo.fccType, streamtypeVIDEO);
  EXPECT_EQ(reader.m_frameFormat.biSize, 40u);
  EXPECT_EQ(reader.m_frameFormat.biBitCount, 24);
  EXPECT_EQ(reader.m_frameFormat.biHeight, 45);
  EXPECT_EQ(reader.m_frameFormat.biSizeImage, 184u * 45);
  EXPECT_TRUE(host.Messages().empty());

  // The palette lookup agrees with ffmpeg's.
  ASSERT_EQ(reader.ReadFrame(4), 0);
  const auto peer = test::PeerFrames(test::Fixture("ff_pal8_61x45.avi"), 61, 45);
  ASSERT_EQ(peer.size(), 10u);
  EXPECT_EQ(test::TopDownUnpadded(reader.m_buffer.get(), 61, 45), peer[4]);
}

TEST(VideoReaderTest, NoDecompressorFailsWithMinusThreeAndItsMessage) {
  CRecordingHost host;
  CFakeVideoStream stream(test::BitmapHeader(16, 16, 24, MakeFourCC('Z', 'Z', 'Z', 'Z')));
  stream.Add(std::vector<uint8_t>(100));
  CVideoReader reader;

  EXPECT_EQ(reader.Open(Borrow(stream)), -3);

  const auto messages = host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Cannot get decompression handle for input stream");
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_FALSE(reader.m_buffer);
  EXPECT_FALSE(reader.m_getFrame);
}

TEST(VideoReaderTest, PositionOutsideTheStreamFailsWithMinusOneAndKeepsTheBuffer) {
  CRecordingHost host;
  PAVIFILE file;
  PAVISTREAM stream = OpenFirstVideo("ff_mjpeg_5x3.avi", file);
  ASSERT_TRUE(stream);
  CVideoReader reader;
  ASSERT_EQ(reader.Open(stream), 0);
  ASSERT_EQ(reader.ReadFrame(9), 0);
  const std::vector<uint8_t> before(reader.m_buffer.get(),
                                    reader.m_buffer.get() + reader.m_bufferSize);

  EXPECT_EQ(reader.ReadFrame(10), -1);
  EXPECT_EQ(reader.ReadFrame(-5), -1);

  const auto messages = host.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].m_text, "AVIStreamRead failed");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), reader.m_buffer.get()));
  // Still open: a later good position reads.
  EXPECT_EQ(reader.ReadFrame(0), 0);
  // One trace per read.
  EXPECT_EQ(host.Traces().size(), 4u);
}

TEST(VideoReaderTest, CloseIsIdempotentAndANeverOpenedReaderClosesQuietly) {
  CRecordingHost host;
  CVideoReader unopened;
  EXPECT_EQ(unopened.Close(), 0);
  EXPECT_EQ(unopened.Close(), 0);

  PAVIFILE file;
  PAVISTREAM stream = OpenFirstVideo("ff_bgr24_5x3.avi", file);
  ASSERT_TRUE(stream);
  CVideoReader reader;
  ASSERT_EQ(reader.Open(stream), 0);
  EXPECT_EQ(reader.Close(), 0);
  EXPECT_FALSE(reader.m_buffer);
  EXPECT_FALSE(reader.m_getFrame);
  EXPECT_EQ(reader.Close(), 0);
  // Closed: reads fail with -1.
  EXPECT_EQ(reader.ReadFrame(0), -1);
  ASSERT_EQ(host.Messages().size(), 1u);
  EXPECT_EQ(host.Messages()[0].m_text, "AVIStreamRead failed");
}

TEST(VideoReaderTest, TopDownSourceIsReadIntoABottomUpBufferOfPositiveHeight) {
  CRecordingHost host;
  // 2x2 top-down: the first row in the sample is the top of the picture.
  CFakeVideoStream stream(test::BitmapHeader(2, -2, 24));
  stream.Add({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0});
  CVideoReader reader;

  ASSERT_EQ(reader.Open(Borrow(stream)), 0);
  ASSERT_EQ(reader.ReadFrame(0), 0);

  EXPECT_EQ(reader.m_height, 2);
  EXPECT_EQ(reader.m_bufferSize, 16);
  EXPECT_EQ(reader.m_frameFormat.biHeight, 2);
  const std::vector<uint8_t> buffer(reader.m_buffer.get(), reader.m_buffer.get() + 16);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{7, 8, 9, 10, 11, 12, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_TRUE(host.Messages().empty());
}

TEST(VideoReaderTest, AbsurdSizesFailWithMinusFourBeforeAnythingIsAllocated) {
  CRecordingHost host;
  CFakeVideoStream huge(test::BitmapHeader(100000, 100000, 24));
  CFakeVideoStream overflow(test::BitmapHeader(40000, -20000, 24));
  CFakeVideoStream zero(test::BitmapHeader(0, 10, 24));

  for (CFakeVideoStream* stream : {&huge, &overflow, &zero}) {
    CVideoReader reader;
    EXPECT_EQ(reader.Open(Borrow(*stream)), -4);
    EXPECT_FALSE(reader.m_buffer);
    EXPECT_FALSE(reader.m_getFrame);
  }
  const auto messages = host.Messages();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& message : messages) {
    EXPECT_EQ(message.m_text, "Cannot allocate memory for AVI read frame buffer");
  }
}

// A stream whose format cannot be sized, or whose header cannot be had.
class CBrokenStream final : public CAviStream {
 public:
  explicit CBrokenStream(bool formatFails) : m_formatFails(formatFails) {}
  HRESULT Info(AVISTREAMINFOA&) const override { return AVIERR_FILEREAD; }
  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (m_formatFails) return AVIERR_FILEREAD;
    if (!format) *size = 40;
    return AVIERR_OK;
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return 0; }
  int32_t Length() const override { return 0; }
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t*, int32_t*) override {
    return AVIERR_NODATA;
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }
  int32_t FindSample(int32_t, uint32_t) const override { return -1; }
  bool m_formatFails;
};

TEST(VideoReaderTest, FormatAndHeaderFailuresGiveMinusOneAndMinusTwo) {
  CRecordingHost host;
  CBrokenStream noFormat(true);
  CBrokenStream noInfo(false);
  CVideoReader reader;

  EXPECT_EQ(reader.Open(Borrow(noFormat)), -1);
  EXPECT_EQ(reader.Open(Borrow(noInfo)), -2);
  EXPECT_EQ(reader.Open(nullptr), -1);

  const auto messages = host.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].m_text, "Unable to determine stream size");
  EXPECT_EQ(messages[1].m_text, "Cannot get AVI Stream Info");
}

TEST(VideoReaderTest, EmptySamplesRepeatThePreviousPicture) {
  CRecordingHost host;
  PAVIFILE file;
  PAVISTREAM stream = OpenFirstVideo("ff_mjpeg_zero_length_frames.avi", file);
  ASSERT_TRUE(stream);
  CVideoReader reader;
  ASSERT_EQ(reader.Open(stream), 0);
  ASSERT_EQ(reader.ReadFrame(2), 0);
  const std::vector<uint8_t> second(reader.m_buffer.get(),
                                    reader.m_buffer.get() + reader.m_bufferSize);

  for (int32_t position : {3, 4, 5}) {
    ASSERT_EQ(reader.ReadFrame(position), 0);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), reader.m_buffer.get())) << position;
  }
  ASSERT_EQ(reader.ReadFrame(6), 0);
  EXPECT_FALSE(std::equal(second.begin(), second.end(), reader.m_buffer.get()));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Interpolated chroma (the screen keyer's reading) is, byte for byte, what the ffmpeg command
// line's scale filter gives with full chroma interpolation, exact rounding and the video's own
// chroma siting, for each siting H.264 can state; the default reading is not.
TEST(VideoReaderTest, InterpolatedChromaIsFfmpegsFullChromaScaleAtTheVideosSiting) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the clips and is the peer";
  struct CSiting {
    const char* m_name;
    const char* m_position;  // the scale filter's in_h_chr_pos:in_v_chr_pos
  };
  const CSiting sitings[] = {{"left", "0:in_v_chr_pos=128"},
                             {"center", "128:in_v_chr_pos=128"},
                             {"topleft", "0:in_v_chr_pos=0"}};
  test::CTempDir dir;
  for (const CSiting& siting : sitings) {
    const std::string clip = dir.Path(std::string(siting.m_name) + ".mp4");
    ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=96x64:d=0.2 -vf "
                               "format=yuv420p -chroma_sample_location " +
                               std::string(siting.m_name) +
                               " -colorspace bt709 -color_range tv -c:v libx264 -crf 18 -y " +
                               test::ShellQuote(clip))
                  .m_exitCode,
              0);
    const std::string peer =
        test::RunCommand("ffmpeg -nostdin -v error -i " + test::ShellQuote(clip) +
                         " -frames:v 1 -vf scale=flags=bicubic+full_chroma_int+accurate_rnd+"
                         "bitexact:in_h_chr_pos=" +
                         siting.m_position + " -pix_fmt bgr24 -f rawvideo -")
            .m_output;
    ASSERT_EQ(peer.size(), 96u * 64u * 3u) << siting.m_name;
    PAVIFILE file;
    PAVISTREAM stream;
    ASSERT_EQ(CAviFile::Open(clip, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
    ASSERT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_OK);
    for (const bool interpolated : {true, false}) {
      CVideoReader reader;
      reader.SetInterpolatedChroma(interpolated);
      ASSERT_EQ(reader.Open(stream), 0);
      ASSERT_EQ(reader.ReadFrame(reader.m_startFrame), 0);
      // The Frame buffer is bottom row first; 96 * 3 bytes need no padding.
      std::string ours;
      for (int y = 63; y >= 0; --y)
        ours.append(reinterpret_cast<const char*>(reader.m_buffer.get()) + y * 96 * 3, 96 * 3);
      EXPECT_EQ(ours == peer, interpolated) << siting.m_name << ", interpolated " << interpolated;
    }
  }
}

}  // namespace
}  // namespace corvane
