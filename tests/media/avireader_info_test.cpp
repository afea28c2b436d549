// `corvane-avi info`: its JSON read back by Python's json module and compared with ffprobe and
// the corpus's riffwalk.py; failures give a message and a non-zero exit.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "avireader_peers.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Fixture;
using test::ShellQuote;

std::string Tool() {
  return test::BuiltProgram("cli/corvane-avi");
}

// Selected facts of the JSON output for each file, "key=value" lines printed by one Python run
// (json.loads, bytes.fromhex) over all the files.
std::map<std::string, std::map<std::string, std::string>> InfoFacts(
    const std::vector<std::string>& paths) {
  const std::string script =
      "import json,subprocess,sys\n"
      "for p in sys.argv[2:]:\n"
      "  d=json.loads(subprocess.run([sys.argv[1],'info','--json',p],capture_output=True)"
      ".stdout)\n"
      "  f=lambda k,v: print('%s|%s=%s' % (p,k,v))\n"
      "  f('index', d['index']['kind'])\n"
      "  f('streams', len(d['streams']))\n"
      "  for s in d['streams']:\n"
      "    i=s['index']\n"
      "    f('type%d' % i, s['type'])\n"
      "    f('format_size%d' % i, s['format_size'])\n"
      "    f('format_ok%d' % i, int(len(bytes.fromhex(s['format'])) == s['format_size']))\n";
  std::string command = "python3 -c " + ShellQuote(script) + " " + ShellQuote(Tool());
  for (const std::string& path : paths) command += " " + ShellQuote(path);
  std::map<std::string, std::map<std::string, std::string>> facts;
  std::istringstream lines(test::RunCommand(command).m_output);
  for (std::string line; std::getline(lines, line);) {
    const size_t bar = line.find('|'), equals = line.find('=', bar);
    if (bar != std::string::npos && equals != std::string::npos)
      facts[line.substr(0, bar)][line.substr(bar + 1, equals - bar - 1)] = line.substr(equals + 1);
  }
  return facts;
}

TEST(AviInfoCommandTest, JsonAgreesWithFfprobeAndRiffwalk) {
  std::vector<std::string> paths;
  for (const std::string& name : test::AllFixtures()) paths.push_back(Fixture(name));
  const auto all = InfoFacts(paths);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ASSERT_EQ(all.count(path), 1u) << "no valid JSON";
    const auto& facts = all.at(path);
    const std::string walk = test::PeerOutput(
        "python3 " + ShellQuote(test::CorpusSource("riffwalk.py")) + " " + ShellQuote(path), path);
    std::string expectedKind = "rebuilt";
    if (walk.find("(relative to movi); entries not matching a movi chunk: 0") != std::string::npos)
      expectedKind = "idx1 (relative offsets)";
    if (walk.find("(absolute file offsets); entries not matching a movi chunk: 0") !=
        std::string::npos)
      expectedKind = "idx1 (absolute offsets)";
    EXPECT_EQ(facts.at("index"), expectedKind);
    const std::string probe = test::PeerOutput(
        "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + ShellQuote(path), path);
    std::istringstream types(probe);
    size_t count = 0;
    for (std::string type; std::getline(types, type); ++count) {
      const std::string i = std::to_string(count);
      EXPECT_EQ(facts.at("type" + i), type == "video" ? "vids" : "auds");
      EXPECT_EQ(facts.at("format_ok" + i), "1");
      const size_t at = walk.find("stream " + i + ": ");
      ASSERT_NE(at, std::string::npos);
      const size_t strf = walk.find("strf(", at);
      const size_t comma = walk.find(", ", strf);
      EXPECT_EQ(facts.at("format_size" + i),
                walk.substr(comma + 2, walk.find(' ', comma + 2) - comma - 2));
    }
    EXPECT_EQ(facts.at("streams"), std::to_string(count));
  }
}

TEST(AviInfoCommandTest, TextOutputNamesTheIndexAndEveryStream) {
  const auto result =
      test::RunCommand(ShellQuote(Tool()) + " info " + ShellQuote(Fixture("gst_h264_mp3cbr.avi")));
  ASSERT_EQ(result.m_exitCode, 0);
  EXPECT_NE(result.m_output.find("index: idx1 (absolute offsets)"), std::string::npos);
  EXPECT_NE(result.m_output.find("stream 0: type=vids handler=H264"), std::string::npos);
  EXPECT_NE(result.m_output.find("stream 1: type=auds"), std::string::npos);
}

TEST(AviInfoCommandTest, OtherContainersAreDescribedByTheStreamsAMixUses) {
  test::CTempDir dir;
  const std::string clip = dir.Path("clip.mp4");
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=176x144:r=25:d=0.8 "
                             "-f lavfi -i sine=d=0.8 -c:v libx264 -c:a aac " +
                             ShellQuote(clip))
                .m_exitCode,
            0);
  const auto info = test::RunCommand(ShellQuote(Tool()) + " info --json " + ShellQuote(clip));
  EXPECT_EQ(info.m_exitCode, 0) << info.m_errors;
  const std::string frames =
      test::RunCommand(
          "ffprobe -v error -count_packets -select_streams v:0 -show_entries "
          "stream=nb_read_packets -of csv=p=0 " +
          ShellQuote(clip))
          .m_output;
  EXPECT_NE(info.m_output.find("\"frames\":" + frames.substr(0, frames.find('\n'))),
            std::string::npos)
      << info.m_output;
  EXPECT_NE(info.m_output.find("\"width\":176,\"height\":144"), std::string::npos);
  EXPECT_NE(info.m_output.find("\"audio\":{\"tag\":255"), std::string::npos);  // AAC

  // The text names each codec, also those AVI has no tag for and sound read decoded.
  const struct {
    const char* m_name;
    const char* m_encode;
    const char* m_said;
  } clips[] = {{"anim.gif", "-c:v gif", "video: codec CompuServe GIF (gif), 176x144"},
               {"vorbis.mkv", "-c:v ffv1 -c:a libvorbis", "audio: Vorbis, read as 16-bit PCM"},
               {"mp2.ts", "-c:v mpeg2video -c:a mp2", "audio: MP2 (format tag 0x0050)"}};
  for (const auto& [name, encode, said] : clips) {
    const std::string path = dir.Path(name);
    ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=176x144:r=25:d=0.8 "
                               "-f lavfi -i sine=d=0.8 " +
                               std::string(encode) + " " + ShellQuote(path))
                  .m_exitCode,
              0);
    const auto text = test::RunCommand(ShellQuote(Tool()) + " info " + ShellQuote(path));
    EXPECT_NE(text.m_output.find(said), std::string::npos) << text.m_output;
  }
}

TEST(AviInfoCommandTest, FailuresExplainThemselvesWithANonZeroExit) {
  const auto missing = test::RunCommand(ShellQuote(Tool()) + " info /nonexistent/file.avi");
  EXPECT_EQ(missing.m_exitCode, 1);
  EXPECT_NE(missing.m_errors.find("/nonexistent/file.avi"), std::string::npos);
  EXPECT_TRUE(missing.m_output.empty());
  const auto foreign = test::RunCommand(ShellQuote(Tool()) + " info " +
                                        ShellQuote(test::CorpusSource("corpus.txt")));
  EXPECT_EQ(foreign.m_exitCode, 1);
  EXPECT_FALSE(foreign.m_errors.empty());
  const auto usage = test::RunCommand(ShellQuote(Tool()) + " info");
  EXPECT_EQ(usage.m_exitCode, 2);
  EXPECT_NE(usage.m_errors.find("Usage"), std::string::npos);
}

}  // namespace
}  // namespace corvane
