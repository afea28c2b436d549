// A top layer larger than the main picture, or placed partly (or wholly) outside it, is clipped
// to the overlap: the output equals ffmpeg's overlay filter of the same two files frame for
// frame, and nothing is written outside the output frame.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "reliabilitysupport.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

// The md5 column of ffmpeg's framemd5 output for the first video stream as 24-bit BGR.
std::vector<std::string> FrameMd5s(const std::string& input, const std::string& filter = "") {
  const std::string command = "ffmpeg -v error -i " + ShellQuote(input) +
                              (filter.empty() ? " -map 0:v:0" : filter) +
                              " -pix_fmt bgr24 -f framemd5 -";
  std::istringstream lines(RunCommand(command).m_output);
  std::vector<std::string> md5s;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.rfind(',') + 1));
  }
  return md5s;
}

struct CPlacement {
  int m_left;
  int m_top;
};

void PrintTo(const CPlacement& at, std::ostream* out) {
  *out << "at " << at.m_left << "," << at.m_top;
}

class PlacementTest : public ::testing::TestWithParam<CPlacement> {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg's overlay is the reference";
    m_program = test::BuiltProgram("cli/corvane-mix");
    if (!std::filesystem::exists(m_program)) GTEST_SKIP() << "corvane-mix is not built";
  }
  CTempDir m_dir;
  std::string m_program;
};

TEST_P(PlacementTest, ALargerTopLayerIsClippedToTheMainPicture) {
  // 64 x 48 main video (10 frames) under a 321 x 241 top layer (3 frames, then frozen). The key
  // colour (1, 2, 3) is nowhere in the top layer, whose blue values are multiples of 4.
  const std::string main = Fixture("ff_bgr24_64x48_dibhandler.avi");
  const std::string top = Fixture("ff_bgr24_321x241.avi");
  const std::string output = m_dir.Path("out.avi");
  const CPlacement at = GetParam();
  const std::string placement = std::to_string(at.m_left) + "," + std::to_string(at.m_top);

  const test::CChildRun run = test::RunChild({m_program, "--codec", "uncompressed", "--key",
                                              "1,2,3", "--at", placement, main, top, output});

  ASSERT_TRUE(run.m_exited) << "signal " << run.m_signal;
  EXPECT_EQ(run.m_exitCode, 0) << run.m_errors;
  const std::string overlay =
      " -i " + ShellQuote(top) + " -filter_complex \"[0:v]format=gbrp[m];[1:v]format=gbrp[t];" +
      "[m][t]overlay=x=" + std::to_string(at.m_left) + ":y=" + std::to_string(at.m_top) +
      ":format=gbrp:eof_action=repeat\" -frames:v 10";
  const std::vector<std::string> expected = FrameMd5s(main, overlay);
  ASSERT_EQ(expected.size(), 10u);
  EXPECT_EQ(FrameMd5s(output), expected);
  test::AddTableRow("placement", "321 x 241 top layer over a 64 x 48 main video at " + placement,
                    "clipped; all 10 frames equal ffmpeg's overlay", !HasFailure());
}

INSTANTIATE_TEST_SUITE_P(Offsets, PlacementTest,
                         ::testing::Values(CPlacement{0, 0}, CPlacement{-50, -30},
                                           CPlacement{40, 30}, CPlacement{-300, 20},
                                           CPlacement{63, 47}, CPlacement{5000, -5000}));

}  // namespace
}  // namespace corvane
