// Faults injected into a running mix: a full disk, a file size limit, a read-only output
// folder, an output that is a source under another name, stops at random frames (the mixing
// flag, Ctrl-C) and a kill. Each leaves the sources as they were and an output that the peers
// read with exactly the frames written, or a clear refusal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/codec/compress.h"
#include "mix/mixjob.h"
#include "reliabilitysupport.h"
#include "support/recordinghost.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::CRecordingHost;
using test::CTempDir;
using test::Fixture;
using test::PacketCounts;
using test::RunCommand;
using test::ShellQuote;

std::string Q(const std::string& text) {
  return ShellQuote(text);
}

// The audio stream's header and format as ffprobe reports them.
std::string AudioFormat(const std::string& path) {
  return RunCommand(
             "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,codec_tag,"
             "sample_rate,channels,bits_per_sample,block_align,time_base -of csv=p=0 " +
             Q(path))
      .m_output;
}

// The frame number in "Failed to write frame N", or -1.
// A stopped output keeps the sound of its frames: the main's decoded sound from its start,
// unchanged, ending within one source chunk (a chunk of `chunkSeconds`) of the last frame's end.
void ExpectSoundOfTheFrames(const std::string& main, const std::string& output, double seconds,
                            double bytesPerSecond, double chunkSeconds) {
  const std::string source = test::DecodedAudio(main);
  const std::string kept = test::DecodedAudio(output);
  ASSERT_FALSE(kept.empty()) << output;
  EXPECT_EQ(source.compare(0, kept.size(), kept), 0) << output << ": not the main's sound";
  EXPECT_NEAR(double(kept.size()) / bytesPerSecond, seconds, chunkSeconds + 1e-6) << output;
}

// Bytes a second of the main's sound decoded to 16 bits, and the longest of its chunks.
double SoundBytesPerSecond(const std::string& path) {
  int rate = 0;
  int channels = 0;
  std::sscanf(RunCommand("ffprobe -v error -select_streams a:0 -show_entries "
                         "stream=sample_rate,channels -of csv=p=0 " +
                         Q(path))
                  .m_output.c_str(),
              "%d,%d", &rate, &channels);
  return double(rate) * channels * 2;
}

double ChunkSeconds(const std::string& path) {
  const std::string lines = RunCommand(
                                "ffprobe -v error -select_streams a:0 -show_entries "
                                "packet=duration_time -of csv=p=0 " +
                                Q(path))
                                .m_output;
  double longest = 0.0;
  size_t from = 0;
  for (size_t to; (to = lines.find('\n', from)) != std::string::npos; from = to + 1)
    longest = std::max(longest, std::atof(lines.substr(from, to - from).c_str()));
  return longest;
}

long FailedFrame(const std::string& errors) {
  const size_t at = errors.find("Failed to write frame ");
  return at == std::string::npos ? -1 : std::atol(errors.c_str() + at + 22);
}

// Waits (up to 20 s) until `path` holds at least `bytes` bytes, then sends `signal` to `pid`.
void SignalWhenFileReaches(pid_t pid, const std::string& path, uintmax_t bytes, int signal) {
  for (int waited = 0; waited < 20000; ++waited) {
    std::error_code error;
    if (fs::file_size(path, error) >= bytes && !error) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, signal);
}

// Bytes of one uncompressed 160 x 120 output frame, chunk header included.
constexpr uintmax_t kRawFrameBytes = 160 * 120 * 3 + 8;

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveProgram("ffprobe") || !test::HaveProgram("ffmpeg"))
      GTEST_SKIP() << "ffmpeg and ffprobe are the reference";
    m_program = test::BuiltProgram("cli/corvane-mix");
    if (!fs::exists(m_program)) GTEST_SKIP() << "corvane-mix is not built";
    m_main = Fixture("main_320x240_bgr24_pcm.avi");
    m_top = Fixture("top_160x120_bgr24_green.avi");
    m_sources = {m_main, m_top};
    for (const std::string& source : m_sources)
      m_sourceBytes.push_back(test::ReadFileBytes(source));
  }
  void TearDown() override {
    for (size_t i = 0; i < m_sources.size(); ++i) {
      EXPECT_EQ(test::ReadFileBytes(m_sources[i]), m_sourceBytes[i]) << m_sources[i] << " changed";
    }
    for (const auto& [area, tried, result] : m_rows)
      test::AddTableRow(area, tried, result, !HasFailure() && !IsSkipped());
  }
  // A main video long enough (1500 MJPEG frames with audio) that a signal lands mid-mix.
  std::string LongMain() {
    const std::string main = m_dir.Path("long.avi");
    const auto made = RunCommand(
        "ffmpeg -v error -f lavfi -i testsrc=s=160x120:r=25:d=60 -f lavfi -i "
        "sine=r=8000:d=60 -c:v mjpeg -q:v 5 -c:a pcm_s16le " +
        Q(main));
    EXPECT_EQ(made.m_exitCode, 0) << made.m_errors;
    m_sources.push_back(main);
    m_sourceBytes.push_back(test::ReadFileBytes(main));
    return main;
  }
  // Runs corvane-mix with `mixArgs` inside a private mount namespace in which `folder` is a
  // fresh tmpfs mounted with `mountOptions`; the output (`folder`/out.avi) is copied to
  // `copy` before the namespace goes. False when mounts are not allowed here.
  bool MixOnTmpfs(const std::string& mountOptions, const std::string& mixArgs,
                  const std::string& copy, test::CCommandResult& result,
                  const std::string& name = "out.avi") {
    const std::string folder = m_dir.Path("mnt");
    fs::create_directory(folder);
    const std::string out = folder + "/" + name;
    const std::string script = "mount -t tmpfs -o " + mountOptions + " tmpfs " + Q(folder) +
                               " || exit 99; " + Q(m_program) + " " + mixArgs + " " + Q(out) +
                               "; status=$?; ls -A " + Q(folder) + " >&2; [ -e " + Q(out) +
                               " ] && cp " + Q(out) + " " + Q(copy) + "; exit $status";
    result = RunCommand("unshare -m sh -c " + Q(script));
    return result.m_exitCode != 99;
  }

  // corvane-mix of the two fixtures into `output`, uncompressed, with files limited to `limit`
  // bytes (a write past it fails instead of ending the process).
  test::CChildRun MixUnderSizeLimit(const std::string& output, rlim_t limit) {
    return test::RunChild({m_program, "--codec", "uncompressed", m_main, m_top, output}, [limit]() {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit rl{limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
    });
  }

  CTempDir m_dir;
  std::string m_program;
  std::string m_main;
  std::string m_top;
  std::vector<std::string> m_sources;
  std::vector<std::vector<uint8_t>> m_sourceBytes;
  std::vector<std::tuple<std::string, std::string, std::string>> m_rows;
};

TEST_F(FaultTest, AFullDiskEndsTheMixAtTheFailedFrameWithAReadableOutput) {
  const std::string copy = m_dir.Path("full.avi");
  test::CCommandResult result;
  if (!MixOnTmpfs("size=3m", "--codec uncompressed " + Q(m_main) + " " + Q(m_top), copy, result))
    GTEST_SKIP() << "no tmpfs mounts here";

  const long failed = FailedFrame(result.m_errors);
  EXPECT_NE(result.m_exitCode, 0);
  ASSERT_GT(failed, 0) << result.m_errors;
  EXPECT_LT(failed, 60);
  // The frames before the failed one are in the file, and a peer reads them all.
  EXPECT_EQ(PacketCounts(copy).substr(0, PacketCounts(copy).find('\n')),
            "video," + std::to_string(failed - 1));
  m_rows.push_back({"write fault", "disk full (3 MB tmpfs) during a 14 MB mix",
                    "exit " + std::to_string(result.m_exitCode) + ", \"Failed to write frame " +
                        std::to_string(failed) + "\", ffprobe reads " + std::to_string(failed - 1) +
                        " frames"});
}

TEST_F(FaultTest, AFileSizeLimitEndsTheMixAtTheFailedFrameWithAReadableOutput) {
  const std::string output = m_dir.Path("limited.avi");
  for (const rlim_t limit : {rlim_t{1} << 20, rlim_t{5} << 20}) {
    fs::remove(output);
    const test::CChildRun run = MixUnderSizeLimit(output, limit);

    ASSERT_TRUE(run.m_exited) << "signal " << run.m_signal;
    EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
    const long failed = FailedFrame(run.m_errors);
    ASSERT_GT(failed, 0) << run.m_errors;
    const std::string counts = PacketCounts(output);
    EXPECT_EQ(counts.substr(0, counts.find('\n')), "video," + std::to_string(failed - 1));
    m_rows.push_back({"write fault", "file size limit " + std::to_string(limit >> 20) + " MB",
                      "exit " + std::to_string(run.m_exitCode) + ", \"Failed to write frame " +
                          std::to_string(failed) + "\", ffprobe reads " +
                          std::to_string(failed - 1) + " frames"});
  }
}

// The sound is added to a finished AVI in place; a file size limit just above the video's
// size makes that completion fail. The copy says so and fails, and the file keeps every frame.
TEST_F(FaultTest, AFailedAudioAppendIsReportedAndTheFileKeepsItsVideo) {
  const std::string silent = m_dir.Path("silent.avi");
  ASSERT_EQ(RunCommand("ffmpeg -v error -i " + Q(m_main) + " -an -c copy " + Q(silent)).m_exitCode,
            0);
  const std::string videoOnly = m_dir.Path("video-only.avi");
  ASSERT_EQ(RunCommand(Q(m_program) + " --codec uncompressed " + Q(silent) + " " + Q(m_top) + " " +
                       Q(videoOnly))
                .m_exitCode,
            0);
  const rlim_t limit = rlim_t(fs::file_size(videoOnly)) + 256;
  const std::string output = m_dir.Path("appended.avi");
  const test::CChildRun run = MixUnderSizeLimit(output, limit);
  ASSERT_TRUE(run.m_exited) << "signal " << run.m_signal;
  EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
  EXPECT_NE(run.m_errors.find("The audio could not be added to " + output +
                              ": the file keeps its video without it"),
            std::string::npos)
      << run.m_errors;
  EXPECT_EQ(PacketCounts(output), "video,60\n");
  m_rows.push_back({"write fault", "file size limit while the audio is added in place",
                    "exit 1, \"The audio could not be added to ...\", ffprobe reads 60 frames and "
                    "no audio stream"});
}

// An MP4 is written in fragments and then copied into a plain file beside it; with no room for
// the copy the fragments stay, whole and playable, and the user is told.
TEST_F(FaultTest, NoRoomForThePlainCopyKeepsTheFragmentedMp4AndSaysSo) {
  const std::string made = m_dir.Path("made.mp4");
  ASSERT_EQ(RunCommand(Q(m_program) + " " + Q(m_main) + " " + Q(m_top) + " " + Q(made)).m_exitCode,
            0);
  // Room for the fragments (a little larger than the plain file) but not for a second copy.
  const auto room = static_cast<long>(fs::file_size(made) * 3 / 2 / 4096 + 2) * 4;
  const std::string copy = m_dir.Path("kept.mp4");
  test::CCommandResult result;
  if (!MixOnTmpfs("size=" + std::to_string(room) + "k", Q(m_main) + " " + Q(m_top), copy, result,
                  "out.mp4"))
    GTEST_SKIP() << "no tmpfs mounts here";

  EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
  EXPECT_NE(result.m_errors.find("out.mp4 is kept as it was written, in fragments of about a "
                                 "second: it could not be rewritten with its index at the front "
                                 "(no room for the copy)"),
            std::string::npos)
      << result.m_errors;
  // The half-made copy is gone; the file left is the fragmented one, with every frame.
  EXPECT_EQ(result.m_errors.find(".corvane-plain"), std::string::npos) << result.m_errors;
  EXPECT_NE(test::ReadFileBytes(copy).size(), 0u);
  const std::vector<uint8_t> bytes = test::ReadFileBytes(copy);
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin("moof"), std::end("moof") - 1),
            bytes.end());
  EXPECT_EQ(PacketCounts(copy).substr(0, PacketCounts(copy).find('\n')), "video,60");
  m_rows.push_back(
      {"write fault",
       "no room for the plain copy of a finished MP4 (" + std::to_string(room) + " KB tmpfs)",
       "exit 0, the fragmented file kept and said so; ffprobe reads its 60 frames"});
}

TEST_F(FaultTest, AReadOnlyOutputFolderIsAFailureAndWritesNothing) {
  const std::string copy = m_dir.Path("ro.avi");
  test::CCommandResult result;
  if (!MixOnTmpfs("ro,size=1m", Q(m_main) + " " + Q(m_top), copy, result))
    GTEST_SKIP() << "no tmpfs mounts here";

  EXPECT_EQ(result.m_exitCode, 1) << result.m_errors;
  EXPECT_NE(result.m_errors.find("was not written"), std::string::npos) << result.m_errors;
  EXPECT_FALSE(fs::exists(copy));
  m_rows.push_back({"write fault", "read-only output folder (tmpfs mounted ro)",
                    "exit " + std::to_string(result.m_exitCode) + ", output not written"});
}

TEST_F(FaultTest, AnOutputThatIsASourceUnderAnotherNameIsRefusedEvenWithOverwrite) {
  const std::string main = m_dir.Path("main.avi");
  fs::copy_file(m_main, main);
  m_sources.push_back(main);
  m_sourceBytes.push_back(test::ReadFileBytes(main));
  fs::create_symlink(main, m_dir.Path("symlink.avi"));
  fs::create_hard_link(main, m_dir.Path("hardlink.avi"));
  for (const std::string name : {"main.avi", "symlink.avi", "hardlink.avi", "./main.avi"}) {
    const auto result = RunCommand("cd " + Q(m_dir.Dir().string()) + " && " + Q(m_program) +
                                   " --overwrite " + Q(main) + " " + Q(m_top) + " " + Q(name));

    EXPECT_NE(result.m_exitCode, 0) << name;
    EXPECT_NE(result.m_errors.find("The output file cannot be the main AVI or the top layer AVI"),
              std::string::npos)
        << result.m_errors;
    EXPECT_EQ(test::ReadFileBytes(main), m_sourceBytes.back()) << name;
    m_rows.push_back({"source safety", "output named as the main video: " + std::string(name),
                      "refused, exit " + std::to_string(result.m_exitCode) + ", source intact"});
  }
}

TEST_F(FaultTest, SourcesOnAReadOnlyMountMixCompletely) {
  // Opening a source for writing fails on a read-only file system, even for root.
  const std::string folder = m_dir.Path("ro");
  const std::string output = m_dir.Path("out.avi");
  std::filesystem::create_directory(folder);
  const std::string script = "mount -t tmpfs -o size=20m tmpfs " + Q(folder) + " || exit 99; cp " +
                             Q(m_main) + " " + Q(folder + "/main.avi") + " && cp " + Q(m_top) +
                             " " + Q(folder + "/top.avi") + " && mount -o remount,ro " + Q(folder) +
                             " && " + Q(m_program) + " --codec ffv1 " + Q(folder + "/main.avi") +
                             " " + Q(folder + "/top.avi") + " " + Q(output);
  const auto result = RunCommand("unshare -m sh -c " + Q(script));
  if (result.m_exitCode == 99) GTEST_SKIP() << "no tmpfs mounts here";

  EXPECT_EQ(result.m_exitCode, 0) << result.m_errors;
  EXPECT_EQ(PacketCounts(output), "video,60\naudio,87\n");
  m_rows.push_back({"source safety", "both sources on a read-only mount",
                    "exit " + std::to_string(result.m_exitCode) +
                        ", complete mix: sources are opened read-only"});
}

TEST_F(FaultTest, StoppingAtRandomFramesLeavesExactlyTheFramesWrittenAndTheirSound) {
  std::mt19937 random(20261207);
  const std::string sourceAudio = AudioFormat(m_main);
  ASSERT_FALSE(sourceAudio.empty());
  for (int round = 0; round < 3; ++round) {
    const int stopAt = std::uniform_int_distribution<int>(1, 59)(random);
    CRecordingHost host;
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.dwQuality = 0xFFFFFFFFu;
    host.m_compression = options;
    const std::string stopText = "Processing frame " + std::to_string(stopAt) + "\\";
    host.m_onStatus = [&](const std::string& text) {
      if (text.rfind(stopText, 0) == 0) EngineState().m_mixing = 0;
    };
    const std::string output = m_dir.Path("stop" + std::to_string(round) + ".avi");
    EngineState().m_mixing = 1;

    const CMixOutcome outcome = MixColourKey(m_main, m_top, output, 0, 255, 0, 40, 80, 1);
    EngineState().m_mixing = 0;

    EXPECT_EQ(outcome.m_video.m_result, EVideoPassResult::kStopped);
    EXPECT_EQ(outcome.m_video.m_framesWritten, stopAt);
    EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kStopped);
    const std::string counts = PacketCounts(output);
    EXPECT_EQ(counts.substr(0, counts.find('\n')), "video," + std::to_string(stopAt));
    EXPECT_EQ(AudioFormat(output), sourceAudio);
    ExpectSoundOfTheFrames(m_main, output, stopAt / 30.0, SoundBytesPerSecond(m_main),
                           ChunkSeconds(m_main));
    m_rows.push_back({"stop", "mixing flag dropped at frame " + std::to_string(stopAt) + " of 60",
                      "ffprobe reads " + std::to_string(stopAt) +
                          " frames and the main's sound up to their end"});
  }
  // A second stop during that copy ends it at the next chunk: a valid file with every frame
  // and the chunks copied so far.
  CRecordingHost host;
  AVICOMPRESSOPTIONS options{};
  options.fccType = streamtypeVIDEO;
  options.dwQuality = 0xFFFFFFFFu;
  host.m_compression = options;
  host.m_onStatus = [&](const std::string& text) {
    if (text.rfind("Processing frame 50\\", 0) == 0) EngineState().m_mixing = 0;
    if (text == "Audio Chunk 10") EngineState().m_stopRequests = 2;
  };
  const std::string output = m_dir.Path("second-stop.avi");
  EngineState().m_stopRequests = 0;
  EngineState().m_mixing = 1;
  const CMixOutcome outcome = MixColourKey(m_main, m_top, output, 0, 255, 0, 40, 80, 1);
  EngineState().m_mixing = 0;
  EngineState().m_stopRequests = 0;
  EXPECT_EQ(outcome.m_audio, EAudioCopyResult::kStopped);
  EXPECT_EQ(PacketCounts(output), "video,50\naudio,10\n");
  m_rows.push_back({"stop", "a second stop while the stopped mix copies its sound",
                    "ffprobe reads the 50 frames and the 10 audio chunks copied by then"});
}

TEST_F(FaultTest, CtrlCAtRandomFramesLeavesAValidFileWithTheFramesItReports) {
  const std::string main = LongMain();
  const std::string sourceAudio = AudioFormat(main);
  std::mt19937 random(7122026);
  for (int round = 0; round < 2; ++round) {
    const int atFrame = std::uniform_int_distribution<int>(20, 1000)(random);
    const std::string output = m_dir.Path("int" + std::to_string(round) + ".avi");
    const test::CChildRun run = test::RunChild(
        {m_program, "--codec", "uncompressed", main, m_top, output}, nullptr,
        [&](pid_t pid) { SignalWhenFileReaches(pid, output, atFrame * kRawFrameBytes, SIGINT); });

    ASSERT_TRUE(run.m_exited) << run.m_errors;
    EXPECT_EQ(run.m_exitCode, 130) << run.m_errors;
    int written = -1;
    const size_t at = run.m_errors.find(".avi: ");
    ASSERT_NE(at, std::string::npos) << run.m_errors;
    ASSERT_EQ(std::sscanf(run.m_errors.c_str() + at, ".avi: %d of 1500 frames", &written), 1);
    EXPECT_GE(written, atFrame - 8);  // the writer may hold a few frames back
    EXPECT_LT(written, 1500);
    const std::string counts = PacketCounts(output);
    EXPECT_EQ(counts.substr(0, counts.find('\n')), "video," + std::to_string(written));
    EXPECT_EQ(AudioFormat(output), sourceAudio);
    ExpectSoundOfTheFrames(main, output, written / 25.0, SoundBytesPerSecond(main),
                           ChunkSeconds(main));
    m_rows.push_back({"stop",
                      "Ctrl-C to corvane-mix near frame " + std::to_string(atFrame) + " of 1500",
                      "exit 130; ffprobe reads the " + std::to_string(written) +
                          " frames reported and the main's sound up to their end"});
  }
}

TEST_F(FaultTest, AKilledMixIsRecoveredByCopyWithEveryCompleteFrame) {
  const std::string main = LongMain();
  const std::string output = m_dir.Path("killed.avi");
  std::mt19937 random(1207);
  const int atFrame = std::uniform_int_distribution<int>(20, 1000)(random);
  const test::CChildRun run = test::RunChild(
      {m_program, "--codec", "uncompressed", main, m_top, output}, nullptr,
      [&](pid_t pid) { SignalWhenFileReaches(pid, output, atFrame * kRawFrameBytes, SIGKILL); });
  ASSERT_EQ(run.m_signal, SIGKILL);
  const int complete = test::CompleteVideoChunks(test::ReadFileBytes(output));
  ASSERT_GT(complete, 0);

  const std::string recovered = m_dir.Path("recovered.avi");
  const auto copied = RunCommand(Q(test::BuiltProgram("cli/corvane-avi")) + " copy " + Q(output) +
                                 " " + Q(recovered));

  EXPECT_EQ(copied.m_exitCode, 0) << copied.m_errors;
  const std::string counts = PacketCounts(recovered);
  EXPECT_EQ(counts.substr(0, counts.find('\n')), "video," + std::to_string(complete));
  const auto decoded = RunCommand("ffmpeg -v error -i " + Q(recovered) + " -f null - 2>&1");
  EXPECT_TRUE(decoded.m_output.empty()) << decoded.m_output;
  m_rows.push_back(
      {"kill",
       "SIGKILL to corvane-mix near frame " + std::to_string(atFrame) + ", then corvane-avi copy",
       "recovered all " + std::to_string(complete) +
           " complete frames; ffprobe counts them, ffmpeg decodes them"});
}

TEST_F(FaultTest, AFullMixLeavesNoLeakForTheLeakSanitizer) {
  // valgrind cannot run the codec libraries here (libhwy's start-up uses rdtscp): the
  // sanitizer build's leak check at exit stands in for it.
  if (!test::BuiltWithAddressSanitizer()) GTEST_SKIP() << "only the sanitizer build checks leaks";
  const std::string output = m_dir.Path("full.avi");

  const test::CChildRun run =
      test::RunChild({m_program, "--codec", "mjpeg", "--loop", m_main, m_top, output},
                     []() { setenv("ASAN_OPTIONS", "detect_leaks=1", 1); });

  EXPECT_EQ(run.m_exitCode, 0) << run.m_errors;
  EXPECT_EQ(run.m_errors.find("LeakSanitizer"), std::string::npos) << run.m_errors;
  EXPECT_EQ(PacketCounts(output), "video,60\naudio,87\n");
  m_rows.push_back({"leaks", "full 60-frame mix with audio (mjpeg) in the sanitizer build",
                    "exit " + std::to_string(run.m_exitCode) + ", LeakSanitizer reports nothing"});
}

TEST_F(FaultTest, AnUnreadableSourceIsRefusedByName) {
  const std::string locked = m_dir.Path("locked.avi");
  fs::copy_file(Fixture("ff_bgr24_64x48_dibhandler.avi"), locked);
  fs::permissions(locked, fs::perms::none);
  fs::permissions(m_dir.Dir(), fs::perms::owner_all | fs::perms::group_exec |
                                   fs::perms::others_exec | fs::perms::others_read);
  // Root reads anything: the child gives up its privileges first.
  const test::CChildRun run =
      test::RunChild({m_program, locked, m_top, m_dir.Path("out.avi")}, []() {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(98);
      });
  if (run.m_exitCode == 98) GTEST_SKIP() << "cannot drop privileges here";

  EXPECT_EQ(run.m_exitCode, 1) << run.m_errors;
  EXPECT_NE(run.m_errors.find("corvane-mix: Unable to open " + locked +
                              "\ncorvane-mix: permission denied\n"),
            std::string::npos)
      << run.m_errors;
  m_rows.push_back({"corvane-mix", "unreadable main video (mode 000, run as nobody)",
                    "exit " + std::to_string(run.m_exitCode) + ", \"Unable to open ...\""});
}

}  // namespace
}  // namespace corvane
