// corvane-mix as scripts use it: options, exit status, messages on stderr, and the files it
// leaves, read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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
  for (const char* option :
       {"--mode",      "--key",         "--at",       "--alpha",          "--no-transparency",
        "--loop",      "--codec",       "--quality",  "--keyframe-every", "--data-rate",
        "--overwrite", "--list-codecs", "--help",     "--layer-alpha",    "--preview-frame",
        "--format",    "--corner",      "--margin",   "--scale",          "--from",
        "--to",        "--fade-in",     "--fade-out", "MAIN TOP OUTPUT",  "Exit status",
        "--keyer",     "--tolerance",   "--softness", "--despill"}) {
    EXPECT_NE(result.m_output.find(option), std::string::npos) << option;
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
TEST_F(MixCliTest, AnAutomaticKeyWithoutAScreenFailsAndWritesNothing) {
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

}  // namespace
}  // namespace corvane
