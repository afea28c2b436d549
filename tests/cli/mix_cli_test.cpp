// corvane-mix as scripts use it: options, exit status, messages on stderr, and the files it
// leaves, read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mix/mixreference.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::Fixture;
using test::PacketCounts;
using test::RunCommand;
using test::ShellQuote;

std::string Mix() {
  return ShellQuote(test::BuiltProgram("cli/corvane-mix"));
}

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

std::string VideoMd5(const std::string& path) {
  return RunCommand("ffmpeg -v error -i " + Q(path) + " -map 0:v:0 -f md5 -").m_output;
}

// A shell command run as a child whose stderr (and stdout) the test reads, with its own pid.
struct CChild {
  explicit CChild(const std::string& command) {
    int fds[2];
    if (pipe(fds) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(fds[1], STDOUT_FILENO);
      dup2(fds[1], STDERR_FILENO);
      close(fds[0]);
      close(fds[1]);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
  }
  ~CChild() {
    if (m_out >= 0) close(m_out);
    if (m_pid > 0) Wait();
  }
  // Appends what the child wrote next; false at its end.
  bool ReadSome(std::string& into) {
    char chunk[4096];
    const ssize_t count = read(m_out, chunk, sizeof(chunk));
    if (count <= 0) return false;
    into.append(chunk, static_cast<size_t>(count));
    return true;
  }
  int Wait() {
    int status = 0;
    if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid) m_pid = -1;
    return status;
  }

  pid_t m_pid = -1;
  int m_out = -1;
};

class MixCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(test::BuiltProgram("cli/corvane-mix"))) {
      GTEST_SKIP() << "corvane-mix is not built";
    }
    if (!test::HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe is the reference";
    m_main = Fixture("main_320x240_bgr24_pcm.avi");
    m_top = Fixture("top_160x120_bgr24_green.avi");
    m_output = m_dir.Path("out.avi");
    m_mainBytes = test::ReadFileBytes(m_main);
    m_topBytes = test::ReadFileBytes(m_top);
  }
  // Whatever a test made corvane-mix do, the sources keep their bytes.
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_EQ(test::ReadFileBytes(m_main), m_mainBytes) << "main source changed";
    EXPECT_EQ(test::ReadFileBytes(m_top), m_topBytes) << "top source changed";
  }

  // A 60 s main video with sound, long enough that a job is still running when a signal comes.
  std::string LongMain() {
    const std::string main = m_dir.Path("long.avi");
    const bool made = RunCommand(
                          "ffmpeg -v error -y -f lavfi -i testsrc=s=160x120:r=25:d=60 -f "
                          "lavfi -i sine=r=8000:d=60 -c:v mjpeg -q:v 5 -c:a pcm_s16le " +
                          Q(main))
                          .m_exitCode == 0;
    return made ? main : std::string();
  }

  CTempDir m_dir;
  std::string m_main;
  std::string m_top;
  std::string m_output;
  std::vector<uint8_t> m_mainBytes;
  std::vector<uint8_t> m_topBytes;
};

TEST_F(MixCliTest, HelpDocumentsEveryOption) {
  const auto result = RunCommand(Mix() + " --help");

  EXPECT_EQ(result.m_exitCode, 0);
  for (const char* option : {"--mode",
                             "--key",
                             "--at",
                             "--alpha",
                             "--no-transparency",
                             "--loop",
                             "--codec",
                             "--quality",
                             "--keyframe-every",
                             "--data-rate",
                             "--overwrite",
                             "--list-codecs",
                             "--help",
                             "--layer-alpha",
                             "--preview-frame",
                             "--format",
                             "--corner",
                             "--margin",
                             "--scale",
                             "--from",
                             "--to",
                             "--fade-in",
                             "--fade-out",
                             "MAIN TOP OUTPUT",
                             "Exit status",
                             "--keyer",
                             "--tolerance",
                             "--softness",
                             "--despill",
                             "--recipe",
                             "--save-recipe",
                             "--layer FILE",
                             "Example of three layers"}) {
    EXPECT_NE(result.m_output.find(option), std::string::npos) << option;
  }
}

// A command line of several layers kept with --save-recipe and run again with --recipe writes
// the same file, whose preview frames are its frames; a recipe that is no recipe, one that
// names no main or no output where the command line names none either, and a layer option given
// twice for one layer are usage errors that write nothing.
TEST_F(MixCliTest, ARecipeSavedFromACommandLineMixesTheSameFile) {
  const std::string recipe = m_dir.Path("kept.json");
  const std::string layers = " --layer " + Q(m_top) + " --corner br --scale 50% --layer " +
                             Q(m_top) + " --mode alpha --alpha 90 --at 100,20 --from 0.5 ";
  const auto saved = RunCommand(Mix() + " --codec mjpeg --key 0,255,0" + layers + "--save-recipe " +
                                Q(recipe) + " " + Q(m_main) + " " + Q(m_top) + " " + Q(m_output));
  ASSERT_EQ(saved.m_exitCode, 0) << saved.m_errors;
  const std::string again = m_dir.Path("again.avi");
  const auto replayed = RunCommand(Mix() + " --recipe " + Q(recipe) + " " + Q(again));
  ASSERT_EQ(replayed.m_exitCode, 0) << replayed.m_errors;
  EXPECT_EQ(test::ReadFileBytes(again), test::ReadFileBytes(m_output));
  // MAIN, OUTPUT and the output's options given beside the recipe replace its own.
  const std::string other = m_dir.Path("other.mkv");
  const auto overridden =
      RunCommand(Mix() + " --codec ffv1 --recipe " + Q(recipe) + " " + Q(m_main) + " " + Q(other));
  ASSERT_EQ(overridden.m_exitCode, 0) << overridden.m_errors;
  EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name "
                       "-of csv=p=0 " +
                       Q(other))
                .m_output,
            "ffv1\n");
  // Its preview frames are the lossless mix's frames, before the third layer shows and after.
  for (const int frame : {5, 40}) {
    const std::string png = m_dir.Path("frame" + std::to_string(frame) + ".png");
    const auto previewed = RunCommand(Mix() + " --recipe " + Q(recipe) + " --preview-frame " +
                                      std::to_string(frame) + " " + Q(m_main) + " " + Q(png));
    ASSERT_EQ(previewed.m_exitCode, 0) << previewed.m_errors;
    EXPECT_NE(previewed.m_output.find("layer 3: "), std::string::npos) << previewed.m_output;
    const auto rgb = [](const std::string& input) {
      return "ffmpeg -nostdin -v error -i " + input +
             " -frames:v 1 -f rawvideo -pix_fmt rgb24 - | md5sum";
    };
    EXPECT_EQ(
        RunCommand(rgb(Q(png))).m_output,
        RunCommand(rgb(Q(other) + " -vf 'select=eq(n\\," + std::to_string(frame) + ")'")).m_output)
        << frame;
  }

  const std::string broken = m_dir.Path("broken.json");
  const std::string text =
      R"({"version": 1, "main": "m.avi", "layers": [{"file": "t.avi", "scale": "big"}]})";
  ASSERT_TRUE(test::WriteFileBytes(broken, std::vector<uint8_t>(text.begin(), text.end())));
  const std::string bare = m_dir.Path("bare.json");
  const std::string mainOnly = m_dir.Path("main-only.json");
  for (const auto& [path, json] :
       {std::pair{bare, std::string(R"({"version": 1, "layers": [{"file": "t.avi"}]})")},
        std::pair{
            mainOnly,
            std::string(R"({"version": 1, "main": "m.avi", "layers": [{"file": "t.avi"}]})")}})
    ASSERT_TRUE(test::WriteFileBytes(path, std::vector<uint8_t>(json.begin(), json.end())));
  const std::string x = " " + Q(m_dir.Path("x.avi"));
  const struct {
    std::string m_arguments;
    std::string m_said;
  } refused[] = {
      {"--recipe " + Q(broken) + x, "/layers/0/scale: "},
      {"--recipe " + Q(bare) + x, "names no main video: give MAIN and OUTPUT"},
      {"--recipe " + Q(mainOnly), "names no output: give OUTPUT"},
      {"--recipe " + Q(recipe) + " --at 5,5" + x, "--at does not go with --recipe"},
      {"--layer " + Q(m_top) + " --at 1,1 --at 2,2 " + Q(m_main) + " " + Q(m_top) + x,
       "--at is given twice for --layer"},
      {"--smart --no-smart " + Q(m_main) + " " + Q(m_top) + x,
       "--smart and --no-smart do not go together"},
  };
  for (const auto& test : refused) {
    const auto result = RunCommand(Mix() + " " + test.m_arguments);
    EXPECT_EQ(result.m_exitCode, 2) << test.m_arguments;
    EXPECT_NE(result.m_errors.find(test.m_said), std::string::npos) << result.m_errors;
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("x.avi")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("x.png")));
  }
}

TEST_F(MixCliTest, ListsTheCatalogueWithTheMjpegQualityOfFfmpegsQscale3) {
  const auto result = RunCommand(Mix() + " --list-codecs");

  EXPECT_EQ(result.m_exitCode, 0);
  for (const char* codec : {"uncompressed", "mjpeg", "ffv1"}) {
    EXPECT_NE(result.m_output.find(codec), std::string::npos) << codec;
  }
  int quality = -1;
  const size_t at = result.m_output.find("q:v 3 = --quality ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(std::sscanf(result.m_output.c_str() + at, "q:v 3 = --quality %d", &quality), 1);
  EXPECT_GE(quality, 0);
  EXPECT_LE(quality, 100);
}

TEST_F(MixCliTest, UsageErrorsExitWithTwoAndWriteNothing) {
  const std::string files = " " + Q(m_main) + " " + Q(m_top) + " " + Q(m_output);
  for (const std::string& arguments :
       {std::string(""), std::string(" --bogus") + files, " --alpha 255.5" + files,
        " --key 1,2" + files, " --at 1" + files, " --codec nonesuch" + files,
        " --quality 101" + files, " --mode blend" + files, Q(m_main) + " " + Q(m_top),
        // Placement: checked before the sources are read, and (the last three) against them.
        " --corner middle" + files, " --corner br --at 1,2" + files, " --margin 4" + files,
        " --scale 0%" + files, " --scale 0x-1" + files, " --scale big" + files,
        " --from 2 --to 1.5" + files, " --from 1:75" + files, " --fade-in -1" + files,
        " --from 9" + files, " --scale 16385x-1" + files, " --scale 6000%w --to 2" + files,
        // Keyers: an automatic key only for the screen keyer, levels in range and in order.
        " --key auto" + files, " --keyer blur" + files, " --keyer screen" + files,
        " --keyer screen --key auto --tolerance 101" + files,
        " --keyer screen --key auto --softness -1" + files,
        " --keyer screen --key auto --despill auto" + files,
        " --keyer screen --key 0,177,64 --tolerance 40 --softness 40" + files,
        " --keyer none --tolerance 10" + files}) {
    const auto result = RunCommand(Mix() + " " + arguments);
    EXPECT_EQ(result.m_exitCode, 2) << arguments;
    EXPECT_NE(result.m_errors.find("corvane-mix: "), std::string::npos) << arguments;
  }
  EXPECT_FALSE(std::filesystem::exists(m_output));
}

// OUTPUT's extension (or --format, for a name without one) chooses the container, each with
// its default codec; a codec the container cannot hold and an unknown extension are usage errors.
TEST_F(MixCliTest, TheOutputNameChoosesTheContainerAndItsDefaultCodec) {
  struct CCase {
    const char* m_output;
    const char* m_options;
    const char* m_streams;  // each stream's codec, then the format, as ffprobe reads them
  };
  const CCase made[] = {
      {"out.avi", "", "ffv1 pcm_s16le avi"},
      {"out.mkv", "", "ffv1 pcm_s16le matroska,webm"},
      {"out.m4v", "", "h264 aac mov,mp4,m4a,3gp,3g2,mj2"},
      {"named", "--format webm", "vp9 opus matroska,webm"},
      {"plain", "", "ffv1 pcm_s16le avi"},
      {"out.MOV", "--codec mjpeg", "mjpeg aac mov,mp4,m4a,3gp,3g2,mj2"},
  };
  for (const CCase& c : made) {
    const std::string output = m_dir.Path(c.m_output);
    const auto result =
        RunCommand(Mix() + " " + c.m_options + " " + Q(m_main) + " " + Q(m_top) + " " + Q(output));
    EXPECT_EQ(result.m_exitCode, 0) << c.m_output << "\n" << result.m_errors;
    const auto probe = RunCommand(
        "ffprobe -v error -show_entries format=format_name:stream=codec_name -of "
        "default=nw=1:nk=1 " +
        Q(output) + " | tr '\\n' ' '");
    EXPECT_EQ(probe.m_output, std::string(c.m_streams) + " ") << c.m_output;
  }
  const CCase refused[] = {
      {"out.txt", "", "OUTPUT must end in .avi, .mkv, .webm, .mp4, .m4v or .mov"},
      {"out.mp4", "--codec ffv1", "codec ffv1 does not fit MP4 (it takes "},
      {"out.webm", "--codec h264", "codec h264 does not fit WebM (it takes vp9"},
      {"out.avi", "--codec vp9", "codec vp9 does not fit AVI"},
      {"out.mkv", "--codec uncompressed", "codec uncompressed does not fit Matroska"},
      {"out.mkv", "--format mp4", "--format mp4 disagrees with OUTPUT's extension"},
      {"out", "--format flv", "unknown format flv"},
  };
  for (const CCase& c : refused) {
    const std::string output = m_dir.Path(std::string("refused-") + c.m_output);
    const auto result =
        RunCommand(Mix() + " " + c.m_options + " " + Q(m_main) + " " + Q(m_top) + " " + Q(output));
    EXPECT_EQ(result.m_exitCode, 2) << c.m_output << " " << c.m_options;
    EXPECT_NE(result.m_errors.find(c.m_streams), std::string::npos) << result.m_errors;
    EXPECT_FALSE(std::filesystem::exists(output)) << output;
  }
}

// Sound an AVI cannot carry as players expect it is decoded to PCM of the same length, said in
// a notice, and the run is a success: the read-back allows for a decoded length that is known
// only as an upper bound until the end.
TEST_F(MixCliTest, MainsWhoseSoundAviCannotCarryMixIntoAviWithTheirSoundDecoded) {
  const struct {
    const char* m_name;
    const char* m_encode;
    const char* m_codec;
  } mains[] = {{"opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", "Opus"},
               {"vorbis.mkv", "-c:v ffv1 -c:a libvorbis", "Vorbis"},
               {"flac.mkv", "-c:v ffv1 -c:a flac", "FLAC"}};
  for (const auto& [name, encode, codec] : mains) {
    const std::string main = m_dir.Path(name);
    ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=160x120:r=25:d=1.6 "
                         "-f lavfi -i sine=r=48000:d=1.6 " +
                         std::string(encode) + " " + Q(main))
                  .m_exitCode,
              0);
    const std::string output = m_dir.Path(std::string(name) + ".avi");
    const auto result = RunCommand(Mix() + " " + Q(main) + " " + Q(m_top) + " " + Q(output));
    EXPECT_EQ(result.m_exitCode, 0) << name << "\n" << result.m_errors;
    EXPECT_NE(
        result.m_errors.find(std::string(" is ") + codec + ", which an AVI file cannot carry"),
        std::string::npos)
        << result.m_errors;
    EXPECT_EQ(RunCommand("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name "
                         "-of csv=p=0 " +
                         Q(output))
                  .m_output,
              "pcm_s16le\n")
        << name;
    const auto bytes = [](const std::string& path) {
      return RunCommand("ffmpeg -v error -i " + Q(path) + " -map 0:a:0 -f s16le - | wc -c")
          .m_output;
    };
    EXPECT_EQ(bytes(output), bytes(main)) << name;
  }
}

// A write limit ends each container with a failed exit naming the frame; Matroska keeps every
// frame written before it as a file ffmpeg decodes, MP4 (whose index is written at the end) does
// not play.
TEST_F(MixCliTest, AWriteLimitIsAFailureAndTheCountSaysWhatTheFileHolds) {
  const struct {
    const char* m_name;
    const char* m_kilobytes;  // well under the whole output
    const char* m_codec;
  } limits[] = {{"full.mkv", "300", ""},
                {"full.mp4", "40", ""},
                {"full.webm", "20", ""},
                // H.264 holds frames back: the write fails while the encoder is drained.
                {"drain.avi", "96", "--codec h264 "}};
  for (const auto& [name, kilobytes, codec] : limits) {
    const std::string output = m_dir.Path(name);
    const auto result =
        RunCommand("trap '' XFSZ; ulimit -f " + std::string(kilobytes) + "; " + Mix() +
                   " --quality 100 " + codec + Q(m_main) + " " + Q(m_top) + " " + Q(output));
    EXPECT_EQ(result.m_exitCode, 1) << name;
    EXPECT_NE(result.m_errors.find("Failed to "), std::string::npos) << result.m_errors;
    if (std::string(name).ends_with(".mp4")) continue;  // a cut MP4 has no index to read
    const auto frames =
        RunCommand("ffmpeg -v error -i " + Q(output) + " -map 0:v:0 -f framecrc - | grep -vc '^#'");
    const int held = std::atoi(frames.m_output.c_str());
    EXPECT_GT(held, 0) << name;
    if (std::string(name).ends_with(".avi")) {  // Matroska may hold back its last cluster
      EXPECT_NE(result.m_errors.find(": " + std::to_string(held) + " of 60 frames"),
                std::string::npos)
          << name << " holds " << held << " frames:\n"
          << result.m_errors;
    }
  }
}

TEST_F(MixCliTest, AnExistingOutputIsKeptWithoutOverwrite) {
  ASSERT_TRUE(test::WriteFileBytes(m_output, {1, 2, 3}));

  const auto result = RunCommand(Mix() + " " + Q(m_main) + " " + Q(m_top) + " " + Q(m_output));

  EXPECT_EQ(result.m_exitCode, 2);
  EXPECT_NE(result.m_errors.find("--overwrite"), std::string::npos);
  EXPECT_EQ(test::ReadFileBytes(m_output), std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(MixCliTest, ACompleteMixExitsZeroWithEveryFrameAndTheAudio) {
  ASSERT_TRUE(test::WriteFileBytes(m_output, {1, 2, 3}));

  const auto result = RunCommand(Mix() + " --overwrite --key 0,255,0 --at 100,50 --loop " +
                                 Q(m_main) + " " + Q(m_top) + " " + Q(m_output));

  EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
  EXPECT_EQ(PacketCounts(m_output), "video,60\naudio,87\n");
  EXPECT_NE(result.m_errors.find("fps"), std::string::npos) << "prints its own speed";
  EXPECT_NE(result.m_errors.find("frame 60/60"), std::string::npos) << "progress";
  const auto codec = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=codec_name -of csv=p=0 " +
      Q(m_output));
  EXPECT_EQ(codec.m_output, "ffv1\n") << "the default compressor";
}

// A key channel outside 0-255 is refused rather than wrapped round (300 would be 44), and a
// scale that is no size says so; every line corvane-mix writes begins with its name.
TEST_F(MixCliTest, OutOfRangeKeysAndShapelessScalesAreRefusedInTheProgramsOwnLines) {
  const std::string files = " " + Q(m_main) + " " + Q(m_top) + " " + Q(m_output);
  const struct {
    std::string m_arguments;
    std::string m_says;
  } cases[] = {
      {" --key 300,0,0", "--key values must be from 0 to 255"},
      {" --key 0,-1,0", "--key values must be from 0 to 255"},
      {" --scale abc", "--scale abc is not a size"},
      {" --scale 0%", "--scale must be above zero"},
  };
  for (const auto& c : cases) {
    const auto result = RunCommand(Mix() + c.m_arguments + files);
    EXPECT_EQ(result.m_exitCode, 2) << c.m_arguments;
    EXPECT_NE(result.m_errors.find("corvane-mix: " + c.m_says), std::string::npos)
        << result.m_errors;
    size_t from = 0;
    while (from < result.m_errors.size()) {
      EXPECT_EQ(result.m_errors.compare(from, 13, "corvane-mix: "), 0) << result.m_errors;
      const size_t end = result.m_errors.find('\n', from);
      from = end == std::string::npos ? result.m_errors.size() : end + 1;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(m_output));
}

// --key auto finds no screen in a top layer without one: a failure before OUTPUT is made.
// --key auto takes the screen from the first frame that shows one: a clip fading in from black
// is keyed by its green; a clip with no screen at all fails and writes nothing.
TEST_F(MixCliTest, AnAutomaticKeyWithoutAScreenFailsAndWritesNothing) {
  const std::string fading = m_dir.Path("fading.avi");
  ASSERT_EQ(RunCommand("ffmpeg -v error -y -f lavfi -i color=c=black:s=64x48:r=25:d=0.2 -f lavfi "
                       "-i color=c=0x00B140:s=64x48:r=25:d=0.8 -filter_complex "
                       "'[0][1]concat=n=2:v=1:a=0' -c:v rawvideo -pix_fmt bgr24 " +
                       Q(fading))
                .m_exitCode,
            0);
  const auto keyed = RunCommand(Mix() + " --keyer screen --key auto " + Q(m_main) + " " +
                                Q(fading) + " " + Q(m_output));
  ASSERT_EQ(keyed.m_exitCode, 0) << keyed.m_errors;
  EXPECT_NE(keyed.m_errors.find("the screen colour of " + fading + " is 0,17"), std::string::npos)
      << keyed.m_errors;
  EXPECT_NE(keyed.m_errors.find("the first shows no screen"), std::string::npos);
  // The green frames let the main through: frame 30 is the main's own.
  const auto frame30 = [](const std::string& path) {
    return RunCommand("ffmpeg -v error -i " + Q(path) +
                      " -vf 'select=eq(n\\,30)' -frames:v 1 -f rawvideo -pix_fmt rgb24 - | md5sum")
        .m_output;
  };
  EXPECT_EQ(frame30(m_output), frame30(m_main));
  std::filesystem::remove(m_output);

  const std::string top = m_dir.Path("grey.avi");
  ASSERT_EQ(RunCommand("ffmpeg -v error -y -f lavfi -i color=c=gray:s=64x48:d=0.2 -c:v rawvideo "
                       "-pix_fmt bgr24 " +
                       Q(top))
                .m_exitCode,
            0);
  const auto result = RunCommand(Mix() + " --keyer screen --key auto " + Q(m_main) + " " + Q(top) +
                                 " " + Q(m_output));
  EXPECT_EQ(result.m_exitCode, 1);
  EXPECT_NE(result.m_errors.find("no screen colour found in " + top + ": give --key R,G,B"),
            std::string::npos)
      << result.m_errors;
  EXPECT_FALSE(std::filesystem::exists(m_output));
}

TEST_F(MixCliTest, AlphaZeroWithTransparencyIsTheColourKeyMix) {
  const std::string files = " " + Q(m_main) + " " + Q(m_top) + " ";
  const std::string key = m_dir.Path("key.avi");
  const std::string keyed = m_dir.Path("keyed.avi");
  const std::string blended = m_dir.Path("blended.avi");

  const auto a = RunCommand(Mix() + " --codec uncompressed --key 0,255,0" + files + Q(key));
  const auto b = RunCommand(Mix() + " --codec uncompressed --key 0,255,0 --mode alpha --alpha 0" +
                            files + Q(keyed));
  const auto c = RunCommand(Mix() +
                            " --codec uncompressed --key 0,255,0 --mode alpha --alpha 0 "
                            "--no-transparency" +
                            files + Q(blended));

  ASSERT_EQ(a.m_exitCode, 0) << a.m_errors;
  ASSERT_EQ(b.m_exitCode, 0) << b.m_errors;
  ASSERT_EQ(c.m_exitCode, 0) << c.m_errors;
  EXPECT_EQ(VideoMd5(keyed), VideoMd5(key));
  EXPECT_NE(VideoMd5(blended), VideoMd5(key));
}

TEST_F(MixCliTest, AMainVideoWithoutAudioIsAWarningAndStillSuccess) {
  const auto result = RunCommand(Mix() + " --codec uncompressed " + Q(m_top) + " " +
                                 Q(Fixture("ff_bgr24_5x3.avi")) + " " + Q(m_output));

  EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
  EXPECT_NE(result.m_errors.find("Cannot get AVI audio stream for " + m_top), std::string::npos);
  EXPECT_NE(result.m_errors.find("warning"), std::string::npos);
  EXPECT_EQ(PacketCounts(m_output), "video,30\n");
}

TEST_F(MixCliTest, AMissingSourceFailsWithTheJobsMessage) {
  const std::string missing = m_dir.Path("missing.avi");

  const auto result = RunCommand(Mix() + " " + Q(missing) + " " + Q(m_top) + " " + Q(m_output));

  EXPECT_EQ(result.m_exitCode, 1);
  EXPECT_NE(result.m_errors.find("Unable to open " + missing), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(m_output));
}

TEST_F(MixCliTest, NamingASourceAsTheOutputIsRefusedAndTheSourceKept) {
  const std::string main = m_dir.Path("main.avi");
  std::filesystem::copy_file(Fixture("men_mjpeg_dupframes_pcmu8.avi"), main);
  const auto before = test::ReadFileBytes(main);

  const auto result =
      RunCommand(Mix() + " --overwrite " + Q(main) + " " + Q(m_top) + " " + Q(main));

  EXPECT_EQ(result.m_exitCode, 1);
  EXPECT_NE(result.m_errors.find("The output file cannot be the main AVI or the top layer AVI"),
            std::string::npos);
  EXPECT_EQ(test::ReadFileBytes(main), before);
}

TEST_F(MixCliTest, AFullDiskIsAFailureNamingTheFrame) {
  const auto result = RunCommand("ulimit -f 1000; " + Mix() + " --codec uncompressed " + Q(m_main) +
                                 " " + Q(m_top) + " " + Q(m_output));

  EXPECT_NE(result.m_exitCode, 0);
  EXPECT_NE(result.m_errors.find("Failed to write frame "), std::string::npos) << result.m_errors;
}

TEST_F(MixCliTest, AnOutputThatCannotBeCreatedIsAFailure) {
  const std::string output = m_dir.Path("no-such-folder/out.avi");

  const auto result = RunCommand(Mix() + " " + Q(m_main) + " " + Q(m_top) + " " + Q(output));

  EXPECT_EQ(result.m_exitCode, 1);
  EXPECT_NE(result.m_errors.find("was not written"), std::string::npos) << result.m_errors;
  EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(MixCliTest, AnOutputFolderThatCannotBeWrittenIsAFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  const std::string folder = m_dir.Path("locked");
  std::filesystem::create_directory(folder);
  std::filesystem::permissions(
      folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);

  const auto result =
      RunCommand(Mix() + " " + Q(m_main) + " " + Q(m_top) + " " + Q(folder + "/out.avi"));

  EXPECT_EQ(result.m_exitCode, 1);
  EXPECT_NE(result.m_errors.find("was not written"), std::string::npos) << result.m_errors;
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
}

TEST_F(MixCliTest, CtrlCStopsAtAFrameAndLeavesAValidFile) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the long input";
  const std::string main = LongMain();
  ASSERT_FALSE(main.empty());
  CChild child("exec " + Mix() + " --codec mjpeg " + Q(main) + " " + Q(m_top) + " " + Q(m_output));
  ASSERT_GT(child.m_pid, 0);
  // The first progress line shows that the frame loop runs; then Ctrl-C.
  std::string seen;
  while (seen.find("frame 1/1500") == std::string::npos && child.ReadSome(seen)) {
  }
  ASSERT_NE(seen.find("frame 1/1500"), std::string::npos) << seen;
  kill(child.m_pid, SIGINT);
  while (child.ReadSome(seen)) {
  }
  const int status = child.Wait();

  ASSERT_TRUE(WIFEXITED(status)) << seen;
  EXPECT_EQ(WEXITSTATUS(status), 130) << seen;
  // Said at once, before what the ending leaves is reported.
  const size_t stopping = seen.find("corvane-mix: Stopping\u2026 (finishing the file)\n");
  EXPECT_LT(stopping, seen.find("corvane-mix: stopped; ")) << seen;
  int written = -1;
  const size_t at = seen.find("out.avi: ");
  ASSERT_NE(at, std::string::npos) << seen;
  ASSERT_EQ(std::sscanf(seen.c_str() + at, "out.avi: %d of 1500 frames", &written), 1) << seen;
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 1500);
  const std::string counts = PacketCounts(m_output);
  EXPECT_EQ(counts.substr(0, counts.find('\n')), "video," + std::to_string(written));
  // With the sound of those frames: the main's sound from its start, unchanged.
  const std::string sound = test::DecodedAudio(m_output);
  EXPECT_FALSE(sound.empty());
  EXPECT_EQ(test::DecodedAudio(main).compare(0, sound.size(), sound), 0);
}

// Stopped at a frame, the job copies the sound of the frames written; a second Ctrl-C in that
// copy ends it at the next chunk, and a kill in it leaves the file as the video pass completed
// it. Either way the output opens with every video frame written, each one decoding. (Each
// audio chunk is slowed down so that the signals land in the copy.)
TEST_F(MixCliTest, ASecondCtrlCOrAKillDuringTheSoundCopyLeavesEveryFrameWritten) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the long input";
  const std::string main = LongMain();
  ASSERT_FALSE(main.empty());
  for (const int second : {SIGINT, SIGKILL}) {
    const std::string name = second == SIGINT ? "second Ctrl-C" : "kill";
    std::remove(m_output.c_str());
    CChild child("CORVANE_SLOW_AUDIO_MS=20 exec " + Mix() + " --codec mjpeg " + Q(main) + " " +
                 Q(m_top) + " " + Q(m_output));
    ASSERT_GT(child.m_pid, 0);
    std::string seen;
    while (seen.find("frame 1/1500") == std::string::npos && child.ReadSome(seen)) {
    }
    ASSERT_NE(seen.find("frame 1/1500"), std::string::npos) << seen;
    usleep(300 * 1000);  // some frames, so that their sound takes a while to copy
    kill(child.m_pid, SIGINT);
    while (seen.find("audio chunk") == std::string::npos && child.ReadSome(seen)) {
    }
    ASSERT_NE(seen.find("audio chunk"), std::string::npos) << name << ": " << seen;
    kill(child.m_pid, second);
    while (child.ReadSome(seen)) {
    }
    const int status = child.Wait();
    if (second == SIGINT) {
      ASSERT_TRUE(WIFEXITED(status)) << seen;
      EXPECT_EQ(WEXITSTATUS(status), 130) << seen;
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << seen;
    }
    // Every video frame the file lists decodes, and there are as many as were written.
    const std::string counts = PacketCounts(m_output);
    int listed = -1;
    ASSERT_EQ(std::sscanf(counts.c_str(), "video,%d", &listed), 1) << name << ": " << counts;
    EXPECT_GT(listed, 1) << name;
    const auto decoded = RunCommand("ffmpeg -v error -i " + Q(m_output) +
                                    " -map 0:v:0 -f framemd5 - | grep -vc '^#'");
    EXPECT_EQ(decoded.m_errors, "") << name;
    EXPECT_EQ(std::atoi(decoded.m_output.c_str()), listed) << name;
    if (second == SIGINT) {
      // The job said how many it wrote; the sound copied so far is the main's from its start.
      int written = -1;
      const size_t at = seen.find("out.avi: ");
      ASSERT_NE(at, std::string::npos) << seen;
      ASSERT_EQ(std::sscanf(seen.c_str() + at, "out.avi: %d of 1500 frames", &written), 1);
      EXPECT_EQ(listed, written);
      const std::string sound = test::DecodedAudio(m_output);
      EXPECT_EQ(test::DecodedAudio(main).compare(0, sound.size(), sound), 0);
    }
  }
}

size_t LineCount(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// corvane-mix with a library between it and libavformat (tests/cli/avformat_spy.cpp), `settings`
// its environment variables; its sanitizer runtime, if any, then comes second.
std::string Spied(const std::string& settings) {
  return settings + " LD_PRELOAD=" + Q(test::BuiltProgram("tests/cli/avformat_spy.so")) +
         " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" " + Mix();
}

// Sound a container keeps as it is goes in packet for packet, each packet's bytes as ffprobe
// reads them from the main; and an output that lost one packet on its way to the muxer (a
// preloaded library drops the sixth) fails the read-back with its own message, though the sound
// still lasts as long within a frame.
TEST_F(MixCliTest, KeptSoundIsCopiedPacketForPacketAndALostPacketFailsTheReadBack) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the mains";
  ASSERT_TRUE(std::filesystem::exists(test::BuiltProgram("tests/cli/avformat_spy.so")));
  const struct {
    const char* m_main;
    const char* m_encode;
    const char* m_output;
  } cases[] = {
      {"aac.mp4", "-c:v libx264 -c:a aac", "aac.mkv"},
      {"aac.mp4", "-c:v libx264 -c:a aac", "aac.mp4"},
      {"opus.webm", "-c:v libvpx-vp9 -deadline realtime -c:a libopus", "opus.webm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.m_output);
    const std::string main = m_dir.Path(std::string("main-") + c.m_main);
    ASSERT_TRUE(test::MakeWithFfmpeg(
        "-f lavfi -i testsrc2=s=160x120:r=25:d=1 -f lavfi -i sine=r=48000:d=1 " +
            std::string(c.m_encode),
        main));
    const std::string output = m_dir.Path(c.m_output);
    const std::string lost = m_dir.Path(std::string("lost-") + c.m_output);
    const std::string sources = " " + Q(main) + " " + Q(m_top) + " ";

    const auto kept = RunCommand(Mix() + sources + Q(output));
    const auto failed = RunCommand(Spied("CORVANE_TEST_DROP_AUDIO_PACKET=6") + sources + Q(lost));

    EXPECT_EQ(kept.m_exitCode, 0) << kept.m_errors;
    const std::string want = test::AudioPackets(main);
    ASSERT_GT(LineCount(want), 40u);
    EXPECT_EQ(test::AudioPackets(output), want);
    ASSERT_EQ(LineCount(test::AudioPackets(lost)) + 1, LineCount(want))
        << "the preloaded library did not drop a packet";
    EXPECT_EQ(failed.m_exitCode, 1) << failed.m_errors;
    EXPECT_NE(failed.m_errors.find("corvane-mix: " + lost +
                                   " does not hold every audio packet of " + main + "\n"),
              std::string::npos)
        << failed.m_errors;
  }
}

// The read-back opens each file once, however it reads them: a long MP4 or MKV is scanned whole
// at each opening. Counted by libavformat's openings from the first of the output on, in
// containers whose writer never reads its output (an MP4 may be read when it is made plain, an
// AVI output is our own reader's alone); an AVI main is read by our own reader, and by
// libavformat only for its sound's packets.
TEST_F(MixCliTest, TheReadBackOpensTheMainAndTheOutputOnceEach) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the main";
  const std::string mp4 = m_dir.Path("main.mp4");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc2=s=160x120:r=25:d=0.4 -f lavfi -i sine=r=48000:d=0.4 -c:v libx264 "
      "-c:a aac",
      mp4));
  const struct {
    std::string m_main;
    const char* m_output;
    const char* m_reads;
  } cases[] = {
      {mp4, "out.mkv", "spy: output read 1, main read 1\n"},
      {mp4, "out.webm", "spy: output read 1, main read 1\n"},
      {m_main, "avi.mkv", "spy: output read 1, main read 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.m_output);
    const std::string output = m_dir.Path(c.m_output);
    const auto result =
        RunCommand(Spied("CORVANE_TEST_OUTPUT=" + Q(output) + " CORVANE_TEST_MAIN=" + Q(c.m_main)) +
                   " " + Q(c.m_main) + " " + Q(m_top) + " " + Q(output));
    EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
    EXPECT_NE(result.m_errors.find(c.m_reads), std::string::npos) << result.m_errors;
  }
}

// An opening scan past half a second shows its progress, a line a second on a pipe; Ctrl-C in
// it stops the opening and the program, which says that nothing was written. The main is a
// YUV4MPEG2 clip of 3,000,000 pictures of 2 x 2 pixels (36 MB, written here at once): each is a
// packet, so its scan takes seconds and the signal lands in it.
TEST_F(MixCliTest, ASlowOpeningShowsItsProgressAndCtrlCInItStopsWithNothingWritten) {
  const std::string main = m_dir.Path("long.y4m");
  {
    std::ofstream out(main, std::ios::binary);
    out << "YUV4MPEG2 W2 H2 F25:1 Ip A1:1 C420jpeg\n";
    const std::string picture = std::string("FRAME\n") + "\x10\x10\x10\x10\x80\x80";
    std::string block;
    for (int i = 0; i < 100000; ++i) block += picture;
    for (int i = 0; i < 30; ++i) out << block;
    ASSERT_TRUE(out.good());
  }
  CChild child("exec " + Mix() + " " + Q(main) + " " + Q(m_top) + " " + Q(m_output));
  ASSERT_GT(child.m_pid, 0);
  const std::string progress = "corvane-mix: opening " + main + ": ";
  std::string seen;
  while (seen.find(progress) == std::string::npos && child.ReadSome(seen)) {
  }
  ASSERT_NE(seen.find(progress), std::string::npos) << seen;
  kill(child.m_pid, SIGINT);
  while (child.ReadSome(seen)) {
  }
  const int status = child.Wait();

  ASSERT_TRUE(WIFEXITED(status)) << seen;
  EXPECT_EQ(WEXITSTATUS(status), 130) << seen;
  int percent = -1;
  EXPECT_EQ(std::sscanf(seen.c_str() + seen.find(progress) + progress.size(), "%d%%", &percent), 1);
  EXPECT_GE(percent, 0);
  EXPECT_LT(percent, 100) << "the scan must have been stopped part way";
  EXPECT_NE(
      seen.find("corvane-mix: Unable to open " + main + "\ncorvane-mix: opening was cancelled\n"),
      std::string::npos)
      << seen;
  EXPECT_NE(seen.find("corvane-mix: stopped; " + m_output + " was not written\n"),
            std::string::npos)
      << seen;
  EXPECT_EQ(seen.find("holds the frames written"), std::string::npos) << seen;
  EXPECT_FALSE(std::filesystem::exists(m_output));
}

// Mean absolute difference of two pictures of the same size; 255 when the sizes differ.
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 255.0;
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / static_cast<double>(a.size());
}

// AV1 goes into each container that takes it: ffprobe reads AV1 4:2:0 at the main's size with
// every frame, and ffmpeg's decode is the composite of its own decode of the sources, within what
// 4:2:0 and the lossy coding take (about 5 levels on average; the picture upside down is 50 off,
// its blue and red swapped 100).
TEST_F(MixCliTest, Av1OutputsInEveryContainerThatTakesItDecodeToTheComposite) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the main";
  const std::string main = m_dir.Path("main.mp4");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc2=s=160x120:r=25:d=0.4 -f lavfi -i sine=r=48000:d=0.4 -c:v libx264 "
      "-pix_fmt yuv444p -c:a aac",
      main));
  const test::CClip decodedMain = test::Decode(main);
  const test::CClip decodedTop = test::Decode(m_top);
  ASSERT_EQ(decodedMain.m_frames.size(), 10u);
  const test::CMixCase mix{"", false, false, 40, 30, 0, 0, "av1"};
  for (const char* name : {"av1.mkv", "av1.mp4", "av1.webm"}) {
    SCOPED_TRACE(name);
    const std::string output = m_dir.Path(name);

    const auto result = RunCommand(Mix() + " --codec av1 --key 0,255,0 --at 40,30 " + Q(main) +
                                   " " + Q(m_top) + " " + Q(output));

    EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
    // The encoder's own banner does not reach stderr: every line there is ours.
    std::istringstream said(result.m_errors);
    for (std::string line; std::getline(said, line);)
      EXPECT_EQ(line.rfind("corvane-mix: ", 0), 0u) << line;
    EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                         "stream=codec_name,pix_fmt,width,height -of csv=p=0 " +
                         Q(output))
                  .m_output,
              "av1,160,120,yuv420p\n");
    const test::CClip decoded = test::Decode(output);
    ASSERT_EQ(decoded.m_frames.size(), decodedMain.m_frames.size());
    for (size_t n = 0; n < decoded.m_frames.size(); ++n) {
      EXPECT_LT(
          MeanDifference(decoded.m_frames[n], test::Reference(decodedMain, decodedTop, n, mix)),
          10.0)
          << "frame " << n;
    }
  }
}

// A VP8 WebM keeps its alpha beside the pictures (only libvpx's decoder reads it): with
// --layer-alpha each top pixel is weighed by its alpha, trunc(t·A/255 + m·(1 − A/255)), against
// ffmpeg's own decode of the layer with its alpha, the layer looped over a main four times as long
// and reaching past its right and bottom edges.
TEST_F(MixCliTest, AVp8LayerWithAlphaIsLaidOnByItsAlpha) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the layer";
  const std::string layer = m_dir.Path("layer.webm");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc=s=80x60:r=30:d=0.5 -vf "
      "\"format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='mod(X*5+Y*3+N*40,256)'\" "
      "-c:v libvpx -auto-alt-ref 0 -pix_fmt yuva420p",
      layer));
  const test::CClip top = test::DecodeWithAlpha(layer, "libvpx");
  ASSERT_EQ(top.m_frames.size(), 15u);
  ASSERT_NE(top.m_frames[0][3], 255) << "ffmpeg decodes no alpha";
  const int left = 250, down = 200;  // reaching past the right and bottom edges

  const auto result = RunCommand(Mix() + " --codec ffv1 --keyer none --layer-alpha --loop --at " +
                                 std::to_string(left) + "," + std::to_string(down) + " " +
                                 Q(m_main) + " " + Q(layer) + " " + Q(m_output));

  ASSERT_EQ(result.m_exitCode, 0) << result.m_errors;
  const test::CClip main = test::Decode(m_main);
  const test::CClip output = test::Decode(m_output);
  ASSERT_EQ(output.m_frames.size(), main.m_frames.size());
  for (size_t n = 0; n < main.m_frames.size(); ++n) {
    std::vector<uint8_t> want = main.m_frames[n];
    const std::vector<uint8_t>& picture = top.m_frames[n % top.m_frames.size()];
    for (int r = 0; r < top.m_height && down + r < main.m_height; ++r) {
      for (int c = 0; c < top.m_width && left + c < main.m_width; ++c) {
        const uint8_t* t = &picture[(static_cast<size_t>(r) * top.m_width + c) * 4];
        uint8_t* o = &want[(static_cast<size_t>(down + r) * main.m_width + left + c) * 3];
        for (int ch = 0; ch < 3; ++ch)
          o[ch] = test::LayerAlphaReference(t[ch], o[ch], t[3], false, 0.0);
      }
    }
    ASSERT_TRUE(output.m_frames[n] == want) << "frame " << n;
  }
}

// 4:2:0 outputs are converted with the BT.709 matrix from 720 lines up (counted after an odd
// last row is left out) and BT.601 below, and tagged so in every container: ffprobe reads the
// tags, and the pixels are those ffmpeg's own conversion of the main gives with the matrix the
// tags name.
TEST_F(MixCliTest, OutputsFrom720LinesUpAreBt709AndSmallerOnesBt601InTagsAndPixels) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the mains";
  const struct {
    const char* m_output;
    const char* m_codec;
    int m_width;
    int m_height;
    bool m_hd;
  } cases[] = {
      {"sd.mp4", "h264", 640, 480, false},     {"hd.mkv", "mpeg4", 1280, 720, true},
      {"hd.webm", "vp9", 1280, 720, true},     {"sd.mkv", "av1", 640, 480, false},
      {"short.mp4", "h264", 1280, 719, false}, {"odd.mov", "h264", 1281, 721, true},
  };
  const std::string top = m_dir.Path("dot.png");
  ASSERT_TRUE(test::MakeWithFfmpeg("-f lavfi -i color=c=white:s=8x8 -frames:v 1", top));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.m_output);
    const std::string size = std::to_string(c.m_width) + "x" + std::to_string(c.m_height);
    const std::string main = m_dir.Path("flat" + size + ".mkv");
    if (!std::filesystem::exists(main)) {
      ASSERT_TRUE(test::MakeWithFfmpeg(
          "-f lavfi -i color=c=0xC8283C:s=" + size + ":r=25:d=0.04 -c:v ffv1 -pix_fmt bgr0", main));
    }
    const std::string output = m_dir.Path(c.m_output);

    const auto result = RunCommand(Mix() + " --codec " + c.m_codec + " " + Q(main) + " " + Q(top) +
                                   " " + Q(output));

    EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
    const std::string space = c.m_hd ? "bt709" : "smpte170m";
    EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                         "stream=height,color_range,color_space,color_transfer,color_primaries "
                         "-of csv=p=0 " +
                         Q(output))
                  .m_output,
              std::to_string(c.m_height & ~1) + ",tv," + space + "," + space + "," + space + "\n");
    // A 2 x 2 patch in the middle, away from the top layer in the corner, as Y, Cb and Cr.
    const std::string patch =
        "crop=2:2:" + std::to_string(c.m_width / 4 * 2) + ":" + std::to_string(c.m_height / 4 * 2);
    const std::string ours = RunCommand("ffmpeg -v error -i " + Q(output) + " -frames:v 1 -vf " +
                                        patch + " -f rawvideo -pix_fmt yuv444p -")
                                 .m_output;
    const std::string peer =
        RunCommand("ffmpeg -v error -i " + Q(main) + " -frames:v 1 -vf " + patch +
                   ",scale=out_color_matrix=" + (c.m_hd ? "bt709" : "bt601") +
                   ":out_range=tv,format=yuv444p -f rawvideo -")
            .m_output;
    ASSERT_EQ(ours.size(), 12u);
    ASSERT_EQ(peer.size(), 12u);
    for (size_t i = 0; i < ours.size(); ++i)
      EXPECT_NEAR(static_cast<uint8_t>(ours[i]), static_cast<uint8_t>(peer[i]), 2)
          << "plane " << i / 4;
  }
}

// Every pairing --list-codecs offers is written: ffprobe reads the codec with every frame.
TEST_F(MixCliTest, EveryCodecWritesIntoEveryContainerTheListOffersIt) {
  if (!test::HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg makes the main";
  const std::string main = m_dir.Path("small.avi");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc2=s=128x96:r=25:d=0.2 -f lavfi -i sine=r=44100:d=0.2 -c:v mjpeg "
      "-c:a pcm_s16le",
      main));
  const std::string list = RunCommand(Mix() + " --list-codecs").m_output;
  const size_t header = list.find("containers");
  const size_t lineStart = list.rfind('\n', header) + 1;  // 0 when the header is the first line
  const size_t from = header - lineStart;
  const size_t to = list.find("honours", header) - lineStart;
  const std::map<std::string, std::string> peerNames = {{"uncompressed", "rawvideo"},
                                                        {"mjpeg", "mjpeg"},
                                                        {"ffv1", "ffv1"},
                                                        {"huffyuv", "huffyuv"},
                                                        {"utvideo", "utvideo"},
                                                        {"magicyuv", "magicyuv"},
                                                        {"mpeg4", "mpeg4"},
                                                        {"h264", "h264"},
                                                        {"vp9", "vp9"},
                                                        {"av1", "av1"}};
  std::istringstream lines(list.substr(list.find('\n', header) + 1));
  int pairs = 0;
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    const std::string codec = line.substr(0, line.find(' '));
    ASSERT_EQ(peerNames.count(codec), 1u) << codec;
    std::istringstream containers(line.substr(from, to - from));
    for (std::string container; containers >> container;) {
      SCOPED_TRACE(codec + " in " + container);
      const std::string output = m_dir.Path(codec + "." + container);
      const auto result = RunCommand(Mix() + " --codec " + codec + " " + Q(main) + " " + Q(m_top) +
                                     " " + Q(output));
      EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
      EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name "
                           "-of csv=p=0 " +
                           Q(output))
                    .m_output,
                peerNames.at(codec) + "\n");
      EXPECT_EQ(test::PeerFrameCount(output), 5);
      ++pairs;
    }
  }
  EXPECT_GT(pairs, 20);
}

}  // namespace
}  // namespace corvane
