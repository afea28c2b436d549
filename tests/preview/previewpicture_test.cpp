// Opening sources for preview: the picture's states and messages through a recording host,
// and the pixel triplets against frames decoded by the ffmpeg CLI and the fixtures' formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "preview/mixengine.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Fixture;

// Frame 0 as the ffmpeg CLI decodes it: top row first, blue, green, red, no padding.
std::string PeerFirstFrame(const std::string& path) {
  const test::CCommandResult result =
      test::RunCommand("ffmpeg -nostdin -v error -i " + test::ShellQuote(path) +
                       " -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
  EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
  return result.m_output;
}

std::string Triplets(const CPreviewPicture& picture) {
  if (!picture.m_pixels) return {};
  return {reinterpret_cast<const char*>(picture.m_pixels.get()),
          size_t(picture.m_width) * picture.m_height * 3};
}

// A copy of `fixture` in `dir` with the file header's picture size replaced.
std::string WithHeaderSize(const test::CTempDir& dir, const std::string& fixture, uint32_t width,
                           uint32_t height) {
  std::vector<uint8_t> bytes = test::ReadFileBytes(Fixture(fixture));
  const uint8_t tag[] = {'a', 'v', 'i', 'h'};
  const auto at = std::search(bytes.begin(), bytes.end(), std::begin(tag), std::end(tag));
  EXPECT_NE(at, bytes.end());
  const size_t sizeField = size_t(at - bytes.begin()) + 8 + 32;  // dwWidth, then dwHeight
  std::memcpy(bytes.data() + sizeField, &width, 4);
  std::memcpy(bytes.data() + sizeField + 4, &height, 4);
  const std::string path = dir.Path("resized.avi");
  EXPECT_TRUE(test::WriteFileBytes(path, bytes));
  return path;
}

class PreviewPictureTest : public ::testing::Test {
 protected:
  test::CRecordingHost m_host;
  CMixEngine m_engine;  // OpenPreview uses nothing of the engine but the picture it is given
};

TEST_F(PreviewPictureTest, FirstFrameOfTheMainClipFollowsTheGradientFormula) {
  CPreviewPicture& picture = m_engine.m_mainPicture;

  m_engine.OpenPreview(Fixture("main_320x240_bgr24_pcm.avi"), &picture);

  EXPECT_TRUE(m_host.Messages().empty());
  ASSERT_EQ(picture.m_loaded, 1);
  EXPECT_EQ(picture.m_width, 320);
  EXPECT_EQ(picture.m_height, 240);
  EXPECT_EQ(picture.m_path, Fixture("main_320x240_bgr24_pcm.avi"));
  ASSERT_NE(picture.m_frame, nullptr);
  EXPECT_EQ(picture.m_frame->biWidth, 320);
  EXPECT_EQ(picture.m_frame->biBitCount, 24);
  int wrong = 0;
  for (int y = 0; y < 240; ++y) {
    for (int x = 0; x < 320; ++x) {
      const uint8_t* p = picture.m_pixels.get() + (size_t(y) * 320 + x) * 3;
      // Frame 0: blue 0, green = row from the top, red = column.
      if ((p[0] != 0 || p[1] != y % 256 || p[2] != x % 256) && ++wrong <= 3) {
        ADD_FAILURE() << "pixel " << x << "," << y << ": " << int(p[0]) << " " << int(p[1]) << " "
                      << int(p[2]);
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(PreviewPictureTest, APureRedPixelIsStoredBlueGreenRed) {
  CPreviewPicture& picture = m_engine.m_topPicture;

  m_engine.OpenPreview(Fixture("top_160x120_bgr24_green.avi"), &picture);

  ASSERT_EQ(picture.m_loaded, 1);
  // Frame 0: the red square's top-left pixel is at (12, 11); the background is key green.
  const uint8_t* red = picture.m_pixels.get() + (11 * 160 + 12) * 3;
  EXPECT_EQ(red[0], 0);
  EXPECT_EQ(red[1], 0);
  EXPECT_EQ(red[2], 255);
  const uint8_t* green = picture.m_pixels.get();
  EXPECT_EQ(green[0], 0);
  EXPECT_EQ(green[1], 255);
  EXPECT_EQ(green[2], 0);
}

// Raw, palettised and lossless RGB sources decode to the same pixels as the ffmpeg CLI gives,
// odd widths (row padding in the frame, none in the triplets) and two writers included.
TEST_F(PreviewPictureTest, TripletsEqualTheFirstFrameDecodedByFfmpeg) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not on the PATH";
  for (const char* name :
       {"top_160x120_bgr24_green.avi", "ff_bgr24_321x241.avi", "ff_bgr24_5x3.avi",
        "ff_bgr24_1x1.avi", "gst_bgr_161x121.avi", "ff_pal8_61x45.avi", "ff_ffv1_161x121.avi",
        "ff_huffyuv_rgb_adpcm_ima.avi"}) {
    CPreviewPicture picture;

    m_engine.OpenPreview(Fixture(name), &picture);

    ASSERT_EQ(picture.m_loaded, 1) << name;
    const std::string peer = PeerFirstFrame(Fixture(name));
    EXPECT_EQ(peer.size(), size_t(picture.m_width) * picture.m_height * 3) << name;
    EXPECT_TRUE(Triplets(picture) == peer) << name;
  }
  EXPECT_TRUE(m_host.Messages().empty());
}

// Frame 0 is the first picture shown, not the first decoded (B-frames), and stands upright (a
// phone's rotation, in the track's matrix), as ffmpeg gives it after its own autorotation.
TEST_F(PreviewPictureTest, SourcesOfOtherKindsShowFrameZeroAsFfmpegDecodesIt) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not on the PATH";
  test::CTempDir dir;
  const struct {
    const char* m_file;
    const char* m_encode;
    int m_turn;  // clockwise, set in the track's matrix after ffmpeg has written it
  } sources[] = {
      {"bframes.mp4", "-c:v libx264 -bf 3 -pix_fmt yuv420p", 0},
      {"portrait.mp4", "-c:v libx264 -pix_fmt yuv420p", 90},
      {"upsidedown.mov", "-c:v libx264 -pix_fmt yuv420p", 180},
      {"portrait270.mp4", "-c:v mjpeg -q:v 3", 270},
      {"animation.mov", "-c:v qtrle", 0},
      {"vp9.webm", "-c:v libvpx-vp9 -deadline realtime", 0},
      {"anim.gif", "-c:v gif", 0},
      {"still.png", "-frames:v 1", 0},
  };
  for (const auto& source : sources) {
    SCOPED_TRACE(source.m_file);
    const std::string path = dir.Path(source.m_file);
    ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=96x64:r=25:d=0.5 " +
                               std::string(source.m_encode) + " " + test::ShellQuote(path))
                  .m_exitCode,
              0);
    if (source.m_turn) {
      ASSERT_TRUE(test::TurnFirstTrack(path, source.m_turn));
      // ffprobe gives the matrix's angle counter-clockwise, from -180 to 180.
      const int angle = source.m_turn > 180 ? 360 - source.m_turn : -source.m_turn;
      ASSERT_EQ(test::PeerRotation(path), std::to_string(angle)) << "the clip is not turned";
    }
    CPreviewPicture picture;

    m_engine.OpenPreview(path, &picture);

    ASSERT_EQ(picture.m_loaded, 1);
    const bool across = source.m_turn == 90 || source.m_turn == 270;
    EXPECT_EQ(picture.m_width, across ? 64 : 96);
    EXPECT_EQ(picture.m_height, across ? 96 : 64);
    const std::string peer = PeerFirstFrame(path);
    EXPECT_EQ(peer.size(), size_t(picture.m_width) * picture.m_height * 3);
    EXPECT_TRUE(Triplets(picture) == peer);
  }
  EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(PreviewPictureTest, CompressedSourcesLoadAtTheHeaderSize) {
  for (const char* name : {"ff_mjpeg_321x241_pcmu8.avi", "ff_h264_adpcm_ms.avi",
                           "ff_mpeg4_bframes_mp3cbr.avi", "men_h264_pcm.avi"}) {
    CPreviewPicture picture;

    m_engine.OpenPreview(Fixture(name), &picture);

    ASSERT_EQ(picture.m_loaded, 1) << name;
    EXPECT_EQ(picture.m_frame->biWidth, picture.m_width) << name;
    EXPECT_EQ(picture.m_frame->biHeight, picture.m_height) << name;
  }
  EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(PreviewPictureTest, AFileThatDoesNotOpenLeavesThePreviousPicture) {
  CPreviewPicture& picture = m_engine.m_mainPicture;
  m_engine.OpenPreview(Fixture("ff_bgr24_5x3.avi"), &picture);
  ASSERT_EQ(picture.m_loaded, 1);
  const uint8_t* pixels = picture.m_pixels.get();
  const BITMAPINFOHEADER* frame = picture.m_frame;
  const test::CTempDir dir;
  const std::string missing = dir.Path("no_such_file.avi");

  m_engine.OpenPreview(missing, &picture);

  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Unable to open " + missing + "\nno such file");
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(picture.m_path, Fixture("ff_bgr24_5x3.avi"));
  EXPECT_EQ(picture.m_width, 5);
  EXPECT_EQ(picture.m_height, 3);
  EXPECT_EQ(picture.m_loaded, 1);
  EXPECT_EQ(picture.m_pixels.get(), pixels);
  EXPECT_EQ(picture.m_frame, frame);
}

TEST_F(PreviewPictureTest, AFileWithoutVideoIsNamedButNotLoaded) {
  CPreviewPicture& picture = m_engine.m_topPicture;
  m_engine.OpenPreview(Fixture("ff_bgr24_5x3.avi"), &picture);
  const std::string audioOnly = Fixture("ff_audio_only_pcm.avi");

  m_engine.OpenPreview(audioOnly, &picture);

  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Cannot get AVI file video stream number as stream number 0");
  EXPECT_EQ(messages[0].m_caption, "Corvane");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(picture.m_path, audioOnly);  // a mix still sees the source as specified
  EXPECT_EQ(picture.m_width, 0);         // the file header says 0 x 0
  EXPECT_EQ(picture.m_height, 0);
  EXPECT_EQ(picture.m_loaded, 0);
  EXPECT_EQ(picture.m_pixels, nullptr);
  EXPECT_EQ(picture.m_getFrame, nullptr);
}

TEST_F(PreviewPictureTest, ASecondOpenReplacesThePicture) {
  CPreviewPicture& picture = m_engine.m_mainPicture;
  m_engine.OpenPreview(Fixture("main_320x240_bgr24_pcm.avi"), &picture);
  ASSERT_EQ(picture.m_loaded, 1);

  m_engine.OpenPreview(Fixture("ff_bgr24_5x3.avi"), &picture);

  ASSERT_EQ(picture.m_loaded, 1);
  EXPECT_EQ(picture.m_width, 5);
  EXPECT_EQ(picture.m_height, 3);
  EXPECT_EQ(picture.m_path, Fixture("ff_bgr24_5x3.avi"));
  EXPECT_EQ(picture.m_frame->biWidth, 5);
  // Gradient formula of the 5 x 3 clip, frame 0: bottom-right pixel green 2, red 4.
  const uint8_t* last = picture.m_pixels.get() + (2 * 5 + 4) * 3;
  EXPECT_EQ(last[1], 2);
  EXPECT_EQ(last[2], 4);
  EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(PreviewPictureTest, AHeaderLargerThanTheFrameKeepsTheFrameAtTheTopLeft) {
  test::CTempDir dir;
  const std::string path = WithHeaderSize(dir, "ff_bgr24_5x3.avi", 7, 4);
  CPreviewPicture picture;

  m_engine.OpenPreview(path, &picture);

  ASSERT_EQ(picture.m_loaded, 1);
  ASSERT_EQ(picture.m_width, 7);
  ASSERT_EQ(picture.m_height, 4);
  const uint8_t* p = picture.m_pixels.get();
  EXPECT_EQ(p[(2 * 7 + 4) * 3 + 2], 4);  // frame pixel (4, 2): red = column
  EXPECT_EQ(p[(2 * 7 + 4) * 3 + 1], 2);  // green = row
  EXPECT_EQ(p[(0 * 7 + 6) * 3 + 2], 0);  // column 6 is outside the frame
  EXPECT_EQ(p[(3 * 7 + 0) * 3 + 1], 0);  // and so is row 3
}

TEST_F(PreviewPictureTest, AnImpossibleHeaderSizeFailsLikeAnAllocation) {
  test::CTempDir dir;
  const std::string path = WithHeaderSize(dir, "ff_bgr24_5x3.avi", 0x7FFFFFFF, 0x7FFFFFFF);
  CPreviewPicture picture;

  m_engine.OpenPreview(path, &picture);

  const auto messages = m_host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].m_text, "Could not create dib section or memory allocation failure");
  EXPECT_EQ(messages[0].m_flags, MB_ICONINFORMATION);
  EXPECT_EQ(picture.m_loaded, 0);
  EXPECT_EQ(picture.m_path, path);
}

TEST_F(PreviewPictureTest, ANullPictureIsIgnored) {
  const test::CTempDir dir;
  m_engine.OpenPreview(dir.Path("no_such_file.avi"), nullptr);

  EXPECT_TRUE(m_host.Messages().empty());
}

TEST_F(PreviewPictureTest, ResetEmptiesThePictureButKeepsTheProbe) {
  CPreviewPicture picture;
  m_engine.OpenPreview(Fixture("ff_bgr24_5x3.avi"), &picture);
  picture.m_probeRed = 1;
  picture.m_probeGreen = 2;
  picture.m_probeBlue = 3;
  picture.m_probeX = 4;
  picture.m_probeY = 5;

  picture.Reset();

  EXPECT_EQ(picture.m_loaded, 0);
  EXPECT_EQ(picture.m_width, 0);
  EXPECT_EQ(picture.m_height, 0);
  EXPECT_TRUE(picture.m_path.empty());
  EXPECT_EQ(picture.m_pixels, nullptr);
  EXPECT_EQ(picture.m_getFrame, nullptr);
  EXPECT_EQ(picture.m_probeRed, 1);
  EXPECT_EQ(picture.m_probeGreen, 2);
  EXPECT_EQ(picture.m_probeBlue, 3);
  EXPECT_EQ(picture.m_probeX, 4);
  EXPECT_EQ(picture.m_probeY, 5);
}

TEST(MixEngineTest, TheProcessEngineIsOneObjectAndStartsEmpty) {
  CMixEngine& engine = MixEngine();

  EXPECT_EQ(&engine, &MixEngine());
  EXPECT_EQ(engine.m_mainPicture.m_loaded, 0);
  EXPECT_TRUE(engine.m_mainPicture.m_path.empty());
  EXPECT_EQ(engine.m_topPicture.m_loaded, 0);
  EXPECT_EQ(engine.m_topPicture.m_pixels, nullptr);
}

}  // namespace
}  // namespace corvane
