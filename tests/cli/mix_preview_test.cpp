// corvane-mix --preview-frame: the picture of one mix frame and its keyed-pixel check, against
// the frame of the real mix output as ffmpeg decodes both; and the near-key warning on a top
// layer that went through a lossy codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

std::string Mix() {
  return ShellQuote(test::BuiltProgram("cli/corvane-mix"));
}

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

// Frame `index` of a video, or the one picture of a PNG, as ffmpeg decodes it to RGB.
std::string PeerPicture(const std::string& path, int index) {
  const std::string select =
      index < 0 ? std::string() : " -vf " + Q("select=eq(n\\," + std::to_string(index) + ")");
  return RunCommand("ffmpeg -v error -i " + Q(path) + select +
                    " -frames:v 1 -f rawvideo -pix_fmt rgb24 -")
      .m_output;
}

class MixPreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(test::BuiltProgram("cli/corvane-mix")))
      GTEST_SKIP() << "corvane-mix is not built";
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  }
  CTempDir m_dir;
};

// Every preview frame is the frame the mix writes: both mixes, looped and held, at the first,
// a middle and the last frame, for the reference AVIs (a top layer of 30 frames under a main of
// 60) and for a Matroska pair whose top layer follows time (7 frames at 10 a second under 30 at
// 25), placed partly outside the picture.
TEST_F(MixPreviewTest, APreviewFrameIsTheMixOutputsFrame) {
  const std::string ownMain = m_dir.Path("main.mkv");
  const std::string ownTop = m_dir.Path("top.mkv");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc2=size=96x64:rate=25:duration=1.2 -c:v ffv1 -pix_fmt bgr0", ownMain));
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc=size=40x30:rate=10:duration=0.7 -vf "
      "drawbox=x=8:y=6:w=12:h=10:color=0x00ff00:t=fill -c:v ffv1 -pix_fmt bgr0",
      ownTop));
  struct CPair {
    std::string m_main, m_top, m_at, m_output;
  };
  const CPair pairs[] = {
      {Fixture("main_320x240_bgr24_pcm.avi"), Fixture("top_160x120_bgr24_green.avi"), "100,50",
       "out.avi"},
      {ownMain, ownTop, "-20,44", "out.mkv"},
  };
  const std::string modes[] = {"--key 0,255,0", "--mode alpha --alpha 64 --key 0,255,0"};
  for (const CPair& pair : pairs) {
    for (const std::string& mode : modes) {
      for (const bool loop : {false, true}) {
        const std::string options =
            mode + " --at=" + pair.m_at + (loop ? " --loop" : "") + " --codec ffv1 --overwrite ";
        const std::string sources = Q(pair.m_main) + " " + Q(pair.m_top) + " ";
        const std::string output = m_dir.Path(pair.m_output);
        const std::string label = pair.m_output + " " + options;
        ASSERT_EQ(RunCommand(Mix() + " " + options + sources + Q(output)).m_exitCode, 0) << label;
        const int frames = test::PeerFrameCount(output);
        ASSERT_GT(frames, 2) << label;
        for (const int frame : {0, frames / 2, frames - 1}) {
          const std::string picture = m_dir.Path("frame.png");
          const test::CCommandResult preview =
              RunCommand(Mix() + " --preview-frame " + std::to_string(frame) + " " + options +
                         sources + Q(picture));
          ASSERT_EQ(preview.m_exitCode, 0) << label << preview.m_errors;
          EXPECT_NE(preview.m_output.find("keyed: "), std::string::npos);
          const std::string expected = PeerPicture(output, frame);
          ASSERT_FALSE(expected.empty()) << label;
          EXPECT_TRUE(PeerPicture(picture, -1) == expected) << label << " frame " << frame;
        }
      }
    }
  }
}

// An exactly keyed top layer has no near-key pixels; the same picture through lossy H.264 has
// them, and the warning says so (on --preview-frame and before a colour-key mix). The reference
// top layer holds a near-key patch on purpose.
TEST_F(MixPreviewTest, TheNearKeyWarningFiresOnALossyCopyOnly) {
  if (!test::HaveProgram("ffprobe")) GTEST_SKIP();
  const std::string exact = m_dir.Path("exact.avi");
  const std::string lossy = m_dir.Path("lossy.mp4");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i color=c=0x00ff00:size=64x48:rate=5:duration=1,format=bgr0 -vf "
      "drawbox=x=20:y=10:w=16:h=16:color=0xc02040:t=fill -c:v ffv1 -pix_fmt bgr0",
      exact));
  ASSERT_TRUE(
      test::MakeWithFfmpeg("-i " + Q(exact) + " -c:v libx264 -crf 30 -pix_fmt yuv420p", lossy));
  const std::string main = Q(Fixture("main_320x240_bgr24_pcm.avi")) + " ";
  const std::string picture = Q(m_dir.Path("p.png"));
  const std::string warning = "near the key colour but not equal";

  const test::CCommandResult onExact =
      RunCommand(Mix() + " --preview-frame 0 --key 0,255,0 " + main + Q(exact) + " " + picture);
  ASSERT_EQ(onExact.m_exitCode, 0) << onExact.m_errors;
  EXPECT_EQ(onExact.m_output, "keyed: " + std::to_string(64 * 48 - 16 * 16) + " of " +
                                  std::to_string(64 * 48) + " top pixels\n");
  EXPECT_EQ(onExact.m_errors.find(warning), std::string::npos) << onExact.m_errors;

  const test::CCommandResult onLossy = RunCommand(Mix() +
                                                  " --overwrite --preview-frame 0 "
                                                  "--key 0,255,0 " +
                                                  main + Q(lossy) + " " + picture);
  ASSERT_EQ(onLossy.m_exitCode, 0) << onLossy.m_errors;
  EXPECT_NE(onLossy.m_errors.find(warning), std::string::npos) << onLossy.m_errors;

  for (const std::string& top : {lossy, Fixture("top_160x120_bgr24_green.avi")}) {
    const test::CCommandResult mixed = RunCommand(Mix() + " --overwrite --key 0,255,0 " + main +
                                                  Q(top) + " " + Q(m_dir.Path("o.avi")));
    EXPECT_EQ(mixed.m_exitCode, 0) << mixed.m_errors;
    EXPECT_NE(mixed.m_errors.find(warning), std::string::npos) << top;
  }
  const test::CCommandResult exactMix = RunCommand(Mix() + " --overwrite --key 0,255,0 " + main +
                                                   Q(exact) + " " + Q(m_dir.Path("o.avi")));
  EXPECT_EQ(exactMix.m_errors.find(warning), std::string::npos);

  // With the layer's own alpha, near-key pixels that are wholly transparent leave no fringe;
  // the same pixels half seen do.
  for (const int alpha : {0, 128}) {
    const std::string logo = m_dir.Path("logo" + std::to_string(alpha) + ".png");
    ASSERT_TRUE(test::MakeWithFfmpeg(
        "-f lavfi -i color=c=0x00fa00:size=64x48,format=rgba -vf \"geq=r='if(between(X,20,40),200,"
        "0)':g='if(between(X,20,40),30,250)':b='0':a='if(between(X,20,40),255," +
            std::to_string(alpha) + ")'\" -frames:v 1",
        logo));
    const test::CCommandResult run =
        RunCommand(Mix() + " --overwrite --preview-frame 0 --layer-alpha --key 0,255,0 " + main +
                   Q(logo) + " " + picture);
    ASSERT_EQ(run.m_exitCode, 0) << run.m_errors;
    EXPECT_EQ(run.m_errors.find(warning) != std::string::npos, alpha != 0) << run.m_errors;
  }
}

// A picture must be a PNG, and a frame past the end is an error that writes nothing.
TEST_F(MixPreviewTest, APreviewOfAFrameThatIsNotThereWritesNothing) {
  const std::string sources = Q(Fixture("main_320x240_bgr24_pcm.avi")) + " " +
                              Q(Fixture("top_160x120_bgr24_green.avi")) + " ";
  EXPECT_EQ(RunCommand(Mix() + " --preview-frame 0 " + sources + Q(m_dir.Path("p.avi"))).m_exitCode,
            2);
  EXPECT_EQ(RunCommand(Mix() + " --preview-frame x " + sources + Q(m_dir.Path("p.png"))).m_exitCode,
            2);
  const test::CCommandResult past =
      RunCommand(Mix() + " --preview-frame 60 " + sources + Q(m_dir.Path("p.png")));
  EXPECT_EQ(past.m_exitCode, 1);
  EXPECT_NE(past.m_errors.find("has 60 frames (0 to 59)"), std::string::npos) << past.m_errors;
  EXPECT_FALSE(std::filesystem::exists(m_dir.Path("p.png")));
  EXPECT_FALSE(std::filesystem::exists(m_dir.Path("p.avi")));
}

}  // namespace
}  // namespace corvane
