// Hostile inputs as the main video and as the top layer, through the three ways in: the mix
// job, corvane-mix and the preview open. None may crash, allocate what a header asks for
// unchecked, or change a source; each gives a clear message or a valid output.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "preview/mixengine.h"
#include "reliabilitysupport.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CHostileInput;
using test::CRecordingHost;
using test::CTempDir;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

// The good partner of each hostile input: a 64 x 48 MJPEG main video with audio and 12 frames
// (three of them empty chunks), or the raw 64 x 48 top layer.
const char* const kGoodMain = "ff_mjpeg_zero_length_frames.avi";
const char* const kGoodTop = "ff_bgr24_64x48_dibhandler.avi";

// What a hostile input must give. kRefused: a message and no complete output; kRecovered: the
// job completes with every frame a peer finds in the file (and gives the notice, where one is
// expected).
enum class EExpect { kRefused, kRecovered };

struct CCase {
  CHostileInput m_input;
  bool m_asMain = true;
};

// The message the job gives for each refused input, by role; empty: any of the reader's.
struct CRefusal {
  EExpect m_expect;
  std::string m_asMain;
  std::string m_asTop;
};

const std::map<std::string, CRefusal>& Expectations() {
  static const std::map<std::string, CRefusal> expectations = {
      {"empty.avi",
       {EExpect::kRefused, "Unable to open %s\nan empty file, not a video",
        "Unable to open %s\nan empty file, not a video"}},
      // Not an AVI, though named like one: libavformat has a go, and the reason is given.
      {"notes.avi",
       {EExpect::kRefused, "Unable to open %s\nunknown format, or a damaged file",
        "Unable to open %s\nunknown format, or a damaged file"}},
      {"cut.avi", {EExpect::kRecovered, "", ""}},
      {"badindex.avi", {EExpect::kRecovered, "", ""}},
      {"killed.avi", {EExpect::kRecovered, "", ""}},
      {"huge.avi", {EExpect::kRefused, "", ""}},
      {"manyframes.avi", {EExpect::kRecovered, "", ""}},
      {"topdown.avi", {EExpect::kRecovered, "", ""}},
      {"minheight.avi", {EExpect::kRefused, "", ""}},
      {"noframes.avi", {EExpect::kRecovered, "", ""}},
      {"audioonly.avi",
       {EExpect::kRefused, "Cannot get AVI video stream for %s",
        "No data for the required FOURCC codec"}},
      // Other containers: the reason libavformat gives follows ours in brackets.
      {"nomoov.mp4",
       {EExpect::kRefused, "Unable to open %s\nunknown format, or a damaged file (*",
        "Unable to open %s\nunknown format, or a damaged file (*"}},
      // Recovered, with a notice that the file ends before its header says.
      {"cut.mkv", {EExpect::kRecovered, "%s ends early: *", "%s ends early: *"}},
      {"notes.mp4",
       {EExpect::kRefused, "Unable to open %s\nunknown format, or a damaged file*",
        "Unable to open %s\nunknown format, or a damaged file*"}},
      {"empty.png",
       {EExpect::kRefused, "Unable to open %s\nthe picture's size cannot be read (*",
        "Unable to open %s\nthe picture's size cannot be read (*"}},
      {"huge.png",
       {EExpect::kRefused, "Unable to open %s\nthe picture's size cannot be read (*",
        "Unable to open %s\nthe picture's size cannot be read (*"}},
      {"folder.avi",
       {EExpect::kRefused, "Unable to open %s\na folder, not a video",
        "Unable to open %s\na folder, not a video"}},
      {"plain/x.avi",
       {EExpect::kRefused, "Unable to open %s\nno such file", "Unable to open %s\nno such file"}},
  };
  return expectations;
}

// Whether `text` is the expected message: the same, or where the expectation ends in "*" (a
// peer's own words follow) starting with the same; a trailing newline asks for the line's end.
bool Says(const std::string& text, std::string expected) {
  const bool newline = !expected.empty() && expected.back() == '\n';
  if (newline) expected.pop_back();
  if (!expected.empty() && expected.back() == '*') {
    expected.pop_back();
    return text.compare(0, expected.size(), expected) == 0;
  }
  if (newline) expected += '\n';
  return newline ? text.compare(0, expected.size(), expected) == 0 : text == expected;
}

std::string WithPath(std::string text, const std::string& path) {
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, path);
  return text;
}

// A video stream figure from ffprobe: nb_read_packets (counted) or nb_frames (the header's).
int FfprobeVideoCount(const std::string& path, const std::string& entry) {
  const auto result = RunCommand(
      "ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=" + entry +
      " -of csv=p=0 " + ShellQuote(path));
  if (result.m_exitCode != 0) return -1;
  if (result.m_output.empty()) return 0;
  return std::atoi(result.m_output.c_str());
}

// Video packets ffprobe finds in a file; -1 when it cannot say.
int VideoPackets(const std::string& path) {
  return FfprobeVideoCount(path, "nb_read_packets");
}

std::vector<CCase> AllCases() {
  std::vector<CCase> cases;
  for (const CHostileInput& input : test::HostileInputs()) {
    cases.push_back({input, true});
    cases.push_back({input, false});
  }
  return cases;
}

std::vector<CCase> MainCases() {
  std::vector<CCase> cases;
  for (const CHostileInput& input : test::HostileInputs()) cases.push_back({input, true});
  return cases;
}

void PrintTo(const CCase& param, std::ostream* out) {
  *out << param.m_input.m_name << (param.m_asMain ? " as main" : " as top");
}

std::string CaseName(const ::testing::TestParamInfo<CCase>& info) {
  const std::string file = info.param.m_input.m_fileName;
  std::string name = file.substr(0, file.find_first_of("./"));
  // Files of other containers are told apart by their extension: cutMkv, emptyPng.
  const size_t dot = file.rfind('.');
  if (dot != std::string::npos && file.compare(dot, std::string::npos, ".avi") != 0 &&
      dot + 1 < file.size()) {
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(file[dot + 1])));
    name += file.substr(dot + 2);
  }
  return name + (info.param.m_asMain ? "AsMain" : "AsTop");
}

class BadInputTest : public ::testing::TestWithParam<CCase> {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe is the reference";
    const CCase& param = GetParam();
    m_hostile = m_dir.Path(param.m_input.m_fileName);
    ASSERT_TRUE(param.m_input.m_make(m_hostile)) << "could not make " << m_hostile;
    m_partner = m_dir.Path("partner.avi");
    std::filesystem::copy_file(Fixture(param.m_asMain ? kGoodTop : kGoodMain), m_partner);
    m_main = param.m_asMain ? m_hostile : m_partner;
    m_top = param.m_asMain ? m_partner : m_hostile;
    m_expect = Expectations().at(param.m_input.m_fileName);
    m_hostileBytes = Bytes(m_hostile);
    m_partnerBytes = Bytes(m_partner);
    // A recovered main video gives every complete chunk it holds (counted by walking the file,
    // not by our reader); the output of a good main video has one frame per header frame,
    // empty chunks included, as ffprobe reads the header.
    // A recovered file of another container gives every packet ffprobe reads in it.
    const bool avi = m_hostile.ends_with(".avi");
    m_expectedFrames = !param.m_asMain ? FfprobeVideoCount(m_partner, "nb_frames")
                       : avi           ? test::CompleteVideoChunks(m_hostileBytes)
                                       : VideoPackets(m_hostile);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_EQ(Bytes(m_hostile), m_hostileBytes) << "hostile source changed";
    EXPECT_EQ(Bytes(m_partner), m_partnerBytes) << "partner source changed";
    const std::string role = GetParam().m_asMain ? "main" : "top";
    for (const auto& [area, result] : m_rows) {
      test::AddTableRow(area, GetParam().m_input.m_name + " as " + role, result, !HasFailure());
    }
  }
  // A file's bytes; a folder has none (and stays a folder).
  static std::vector<uint8_t> Bytes(const std::string& path) {
    if (std::filesystem::is_directory(path)) return {'d', 'i', 'r'};
    return test::ReadFileBytes(path);
  }
  std::string ExpectedMessage() const {
    const std::string& text = GetParam().m_asMain ? m_expect.m_asMain : m_expect.m_asTop;
    return WithPath(text, m_hostile);
  }

  CTempDir m_dir;
  std::string m_hostile;
  std::string m_partner;
  std::string m_main;
  std::string m_top;
  CRefusal m_expect{};
  int m_expectedFrames = -1;
  std::vector<uint8_t> m_hostileBytes;
  std::vector<uint8_t> m_partnerBytes;
  std::vector<std::pair<std::string, std::string>> m_rows;
};

TEST_P(BadInputTest, TheMixJobGivesAMessageOrEveryFrameAPeerFinds) {
  CRecordingHost host;
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.dwQuality = 0xFFFFFFFFu;
  host.m_compression = options;
  const std::string output = m_dir.Path("out.avi");
  EngineState().m_mixing = 1;

  const CMixOutcome outcome = MixColourKey(m_main, m_top, output, 0, 0, 0, 0, 0, 0);
  EngineState().m_mixing = 0;

  const auto messages = host.Messages();
  std::string said = messages.empty() ? "" : messages.front().m_text;
  if (m_expect.m_expect == EExpect::kRefused) {
    ASSERT_FALSE(messages.empty()) << "refused without a word";
    EXPECT_EQ(messages.front().m_caption, "Corvane");
    if (!ExpectedMessage().empty()) {
      EXPECT_TRUE(Says(said, ExpectedMessage())) << said;
    }
    EXPECT_FALSE(outcome.Complete());
    EXPECT_NE(outcome.m_video.m_result, EVideoPassResult::kComplete);
    m_rows.push_back({"mix job", "refused: \"" + said + "\""});
  } else {
    ASSERT_EQ(outcome.m_video.m_result, EVideoPassResult::kComplete) << said;
    const int written = VideoPackets(output);
    const int expected = m_expectedFrames;
    EXPECT_EQ(written, expected);
    EXPECT_EQ(outcome.m_video.m_framesWritten, expected);
    std::string notice;
    for (const auto& message : messages) {
      if (ExpectedMessage().empty() || !Says(message.m_text, ExpectedMessage())) continue;
      std::string shown = message.m_text;  // the file's name, not its temporary folder
      shown.replace(0, m_hostile.size(), std::filesystem::path(m_hostile).filename().string());
      notice = ", notice \"" + shown + "\"";
    }
    EXPECT_EQ(notice.empty(), ExpectedMessage().empty()) << said;
    m_rows.push_back({"mix job", "mixed: " + std::to_string(written) + " of " +
                                     std::to_string(expected) + " frames (ffprobe)" + notice});
  }
}

TEST_P(BadInputTest, CorvaneMixExitsNonZeroWithTheMessageOrMixesEveryFrame) {
  const std::string program = test::BuiltProgram("cli/corvane-mix");
  if (!std::filesystem::exists(program)) GTEST_SKIP() << "corvane-mix is not built";
  const std::string output = m_dir.Path("cli.avi");
  const bool sanitized = test::BuiltWithAddressSanitizer();

  // A header that asks for a huge picture must be refused before its buffer is sought: the
  // child gets 3 GB of address space (the sanitizer build, which reserves its shadow memory
  // up front, caps each allocation at 1 GB instead).
  const test::CChildRun run =
      test::RunChild({program, "--codec", "uncompressed", m_main, m_top, output}, [sanitized]() {
        if (sanitized) {
          setenv("ASAN_OPTIONS", "max_allocation_size_mb=1024:allocator_may_return_null=0", 1);
        } else {
          const rlimit limit{3ull << 30, 3ull << 30};
          setrlimit(RLIMIT_AS, &limit);
        }
      });

  ASSERT_TRUE(run.m_exited) << "signal " << run.m_signal << "\n" << run.m_errors;
  EXPECT_EQ(run.m_errors.find("Sanitizer"), std::string::npos) << run.m_errors;
  if (m_expect.m_expect == EExpect::kRefused) {
    EXPECT_NE(run.m_exitCode, 0);
    // Every line corvane-mix writes begins with its name; the job's message is the first that
    // is no warning of the program's own.
    constexpr const char* kPrefix = "corvane-mix: ";
    size_t said = run.m_errors.find(kPrefix);
    while (said != std::string::npos &&
           run.m_errors.compare(said, std::strlen(kPrefix) + 9,
                                std::string(kPrefix) + "warning: ") == 0) {
      said = run.m_errors.find(kPrefix, said + 1);
    }
    EXPECT_NE(said, std::string::npos) << run.m_errors;
    if (!ExpectedMessage().empty() && said != std::string::npos) {
      std::string expected = ExpectedMessage();
      for (size_t at = expected.find('\n'); at != std::string::npos;
           at = expected.find('\n', at + 1)) {
        expected.insert(at + 1, kPrefix);
      }
      EXPECT_TRUE(Says(run.m_errors.substr(said + std::strlen(kPrefix)), expected + "\n"))
          << run.m_errors;
    }
    const size_t at = said;
    const std::string line =
        at == std::string::npos ? "" : run.m_errors.substr(at, run.m_errors.find('\n', at) - at);
    m_rows.push_back(
        {"corvane-mix", "exit " + std::to_string(run.m_exitCode) + ", \"" + line + "\""});
  } else {
    const int expected = m_expectedFrames;
    const int written = VideoPackets(output);
    EXPECT_EQ(written, expected) << run.m_errors;
    // A main video without audio is a warning, not a failure; with its audio it is a success.
    EXPECT_EQ(run.m_exitCode, 0) << run.m_errors;
    m_rows.push_back({"corvane-mix", "exit " + std::to_string(run.m_exitCode) + ", " +
                                         std::to_string(written) + " of " +
                                         std::to_string(expected) + " frames (ffprobe)"});
  }
}

// Both open commands of the desktop program hand the chosen name to OpenPreview.
class BadInputPreviewTest : public BadInputTest {};

TEST_P(BadInputPreviewTest, ThePreviewOpenShowsAMessageOrTheFirstFrame) {
  CRecordingHost host;
  CMixEngine engine;
  CPreviewPicture picture;

  engine.OpenPreview(m_hostile, &picture);

  const auto messages = host.Messages();
  const std::string said = messages.empty() ? "" : messages.front().m_text;
  if (m_expect.m_expect == EExpect::kRefused) {
    ASSERT_FALSE(messages.empty()) << "refused without a word";
    EXPECT_EQ(messages.front().m_caption, "Corvane");
    EXPECT_EQ(picture.m_loaded, 0);
    m_rows.push_back({"preview open", "refused: \"" + said + "\""});
  } else if (m_expectedFrames > 0) {
    EXPECT_TRUE(messages.empty()) << said;
    ASSERT_EQ(picture.m_loaded, 1);
    EXPECT_EQ(picture.m_width, 64);
    EXPECT_EQ(picture.m_height, 48);
    m_rows.push_back({"preview open", "first frame, 64 x 48"});
  } else {
    // Nothing to show: a message or an empty picture, never a frame.
    EXPECT_EQ(picture.m_loaded, 0);
    m_rows.push_back(
        {"preview open", messages.empty() ? "no frame" : "no frame: \"" + said + "\""});
  }
  EXPECT_EQ(picture.m_pixels == nullptr, picture.m_loaded == 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, BadInputTest, ::testing::ValuesIn(AllCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Inputs, BadInputPreviewTest, ::testing::ValuesIn(MainCases()), CaseName);

}  // namespace
}  // namespace corvane
