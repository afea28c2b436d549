// Rewriting files: `corvane-avi copy` over every fixture, repairing a cut recording, and
// reopening a finished file to add a stream. ffmpeg, ffprobe, gst-discoverer and mediainfo
// judge the results against the sources.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "media/avifile.h"
#include "media/aviwriter_tools.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CTempDir;
using test::Fixture;
using test::RunCommand;
using test::ShellQuote;

// ffmpeg's packet lines for one stream (dts, pts, duration, size, md5), headers left out.
std::vector<std::string> PacketLines(const std::string& path, int stream) {
  const auto result = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                 " -map 0:" + std::to_string(stream) + " -c copy -f framemd5 -");
  std::vector<std::string> lines;
  std::istringstream text(result.m_output);
  for (std::string line; std::getline(text, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

std::string Probe(const std::string& path, const std::string& args) {
  return RunCommand("ffprobe -v error " + args + " -of csv=p=0 " + ShellQuote(path)).m_output;
}

int StreamCount(const std::string& path) {
  return std::atoi(Probe(path, "-show_entries format=nb_streams").c_str());
}

std::string MediaInfoCounts(const std::string& path) {
  return RunCommand("mediainfo --Inform='General;%VideoCount%|%AudioCount%' " + ShellQuote(path))
      .m_output;
}

int GstStreams(const std::string& path) {
  const auto result = RunCommand("gst-discoverer-1.0 -t 120 " + ShellQuote(path));
  if (result.m_exitCode != 0) return -1;
  int streams = 0;
  std::istringstream text(result.m_output);
  for (std::string line; std::getline(text, line);)
    if (line.find("    video #") == 0 || line.find("    audio #") == 0) ++streams;
  return streams;
}

test::CCommandResult Copy(const std::string& in, const std::string& out) {
  return RunCommand(ShellQuote(test::BuiltProgram("cli/corvane-avi")) + " copy " + ShellQuote(in) +
                    " " + ShellQuote(out));
}

// Every stream's packet lines in one ffmpeg run, grouped by stream.
std::map<int, std::vector<std::string>> AllPacketLines(const std::string& path) {
  const auto result =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -map 0 -c copy -f framemd5 -");
  std::map<int, std::vector<std::string>> streams;
  std::istringstream text(result.m_output);
  for (std::string line; std::getline(text, line);)
    if (!line.empty() && line[0] != '#') streams[std::atoi(line.c_str())].push_back(line);
  return streams;
}

class AviCopyOfFixture : public testing::TestWithParam<std::string> {};

TEST_P(AviCopyOfFixture, KeepsEveryPacketAndEveryPeerReadsTheCopy) {
  CTempDir dir;
  const std::string source = Fixture(GetParam());
  const std::string copy = dir.Path("copy.avi");
  const auto result = Copy(source, copy);
  ASSERT_EQ(result.m_exitCode, 0) << result.m_errors;

  const auto expected = AllPacketLines(source);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(AllPacketLines(copy), expected);
  // Stream types with decoded frame counts, then each stream's key flags in packet order.
  const auto summary = [](const std::string& path) {
    const auto output = RunCommand(
                            "ffprobe -v error -count_frames -show_entries "
                            "stream=codec_type,nb_read_frames:packet=stream_index,flags "
                            "-of csv " +
                            ShellQuote(path))
                            .m_output;
    std::string streams;
    std::map<std::string, std::string> flags;
    std::istringstream text(output);
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("stream,", 0) == 0) streams += line.substr(7) + "\n";
      if (line.rfind("packet,", 0) == 0) {
        const size_t comma = line.find(',', 7);
        flags[line.substr(7, comma - 7)] += line.substr(comma + 1, 1);
      }
    }
    return std::make_pair(streams, flags);
  };
  const auto [sourceCounts, sourceFlags] = summary(source);
  const auto [copyCounts, copyFlags] = summary(copy);
  EXPECT_EQ(copyCounts, sourceCounts);
  EXPECT_EQ(copyFlags, sourceFlags);
  const auto count = [&](const char* type) {
    int n = 0;
    for (size_t at = sourceCounts.find(type); at != std::string::npos;
         at = sourceCounts.find(type, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(GstStreams(copy), count("video,") + count("audio,"));
  EXPECT_EQ(MediaInfoCounts(copy), (count("video,") ? std::to_string(count("video,")) : "") + "|" +
                                       (count("audio,") ? std::to_string(count("audio,")) : "") +
                                       "\n");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AviCopyOfFixture, testing::ValuesIn(test::AllFixtures()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.find('.'));
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(AviCopy, ACutRecordingIsRepairedWithEveryCompleteChunk) {
  CTempDir dir;
  const std::string source = Fixture("main_320x240_bgr24_pcm.avi");
  auto bytes = test::ReadFileBytes(source);
  ASSERT_FALSE(bytes.empty());
  bytes.resize(bytes.size() * 3 / 5);  // no index, and a frame cut in half
  const std::string cut = dir.Path("cut.avi");
  ASSERT_TRUE(test::WriteFileBytes(cut, bytes));
  const std::string repaired = dir.Path("repaired.avi");

  const auto result = Copy(cut, repaired);

  ASSERT_EQ(result.m_exitCode, 0) << result.m_errors;
  for (int s = 0; s < 2; ++s) {
    const auto original = PacketLines(source, s);
    const auto kept = PacketLines(repaired, s);
    ASSERT_GT(kept.size(), 0u);
    ASSERT_LT(kept.size(), original.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), original.begin())) << "stream " << s;
  }
  EXPECT_EQ(RunCommand("ffprobe -v error -count_frames " + ShellQuote(repaired)).m_errors, "");
  EXPECT_EQ(GstStreams(repaired), 2);
}

TEST(AviCopy, RefusesToOverwriteItsInputAndReportsUnreadableInput) {
  CTempDir dir;
  const std::string path = dir.Path("same.avi");
  ASSERT_EQ(Copy(Fixture("ff_bgr24_5x3.avi"), path).m_exitCode, 0);
  const auto before = test::ReadFileBytes(path);

  const auto same = Copy(path, path);
  const auto missing = Copy(dir.Path("none.avi"), dir.Path("out.avi"));

  EXPECT_NE(same.m_exitCode, 0);
  EXPECT_NE(same.m_errors.find("same file"), std::string::npos) << same.m_errors;
  EXPECT_EQ(test::ReadFileBytes(path), before);
  EXPECT_NE(missing.m_exitCode, 0);
  EXPECT_NE(missing.m_errors.find("none.avi"), std::string::npos) << missing.m_errors;
  EXPECT_FALSE(std::filesystem::exists(dir.Path("out.avi")));
}

TEST(AviCopy, AFullDiskOrFileSizeLimitIsAFailureNeverASuccess) {
  CTempDir dir;
  const std::string out = dir.Path("out.avi");
  // ulimit -f counts blocks of 512 or 1024 bytes: at most 1 MiB for a 14 MB source.
  const auto result =
      RunCommand("ulimit -f 1024; " + ShellQuote(test::BuiltProgram("cli/corvane-avi")) + " copy " +
                 ShellQuote(Fixture("main_320x240_bgr24_pcm.avi")) + " " + ShellQuote(out));
  EXPECT_EQ(result.m_exitCode, 1) << result.m_errors;
  EXPECT_NE(result.m_errors.find("write failed"), std::string::npos) << result.m_errors;
  EXPECT_FALSE(std::filesystem::exists(out));
}

// Adds the first audio stream of `audioSource` to the file at `path`, as the mix job's audio
// copy does: reopen with OF_WRITE, create a stream with the source's header, copy chunks.
HRESULT AddAudioStream(const std::string& path, const std::string& audioSource) {
  PAVIFILE input, output;
  PAVISTREAM from, to;
  HRESULT hr = CAviFile::Open(audioSource, OF_SHARE_DENY_WRITE, input);
  if (hr == AVIERR_OK) hr = input->GetStream(from, streamtypeAUDIO, 0);
  if (hr == AVIERR_OK) hr = CAviFile::Open(path, OF_WRITE, output);
  AVISTREAMINFOA info{};
  if (hr == AVIERR_OK) hr = from->Info(info);
  if (hr == AVIERR_OK) hr = output->CreateStream(to, info);
  std::vector<uint8_t> format;
  int32_t size = 0;
  if (hr == AVIERR_OK) hr = from->ReadFormat(from->Start(), nullptr, &size);
  format.resize(size);
  if (hr == AVIERR_OK) hr = from->ReadFormat(from->Start(), format.data(), &size);
  if (hr == AVIERR_OK) hr = to->SetFormat(0, format.data(), size);
  std::vector<uint8_t> chunk;
  for (int32_t position = from->Start();
       hr == AVIERR_OK && position < from->Start() + from->Length();) {
    int32_t bytes = 0, samples = 0;
    hr = from->Read(position, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples);
    if (hr != AVIERR_OK || samples <= 0) break;
    chunk.resize(std::max(1, bytes));
    hr = from->Read(position, samples, chunk.data(), bytes, nullptr, nullptr);
    if (hr == AVIERR_OK)
      hr = to->Write(position, samples, chunk.data(), bytes, AVIIF_KEYFRAME, nullptr, nullptr);
    position += samples;
  }
  to.reset();
  const HRESULT finished = output ? FinishAviFile(output) : AVIERR_OK;
  return hr != AVIERR_OK ? hr : finished;
}

TEST(AviReopen, AnAddedAudioStreamJoinsTheVideoInterleavedAndBothStayIntact) {
  CTempDir dir;
  const std::string main = Fixture("main_320x240_bgr24_pcm.avi");
  const std::string path = dir.Path("mixed.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto video = PacketLines(path, 0);

  ASSERT_EQ(AddAudioStream(path, main), AVIERR_OK);

  ASSERT_EQ(StreamCount(path), 2);
  EXPECT_EQ(PacketLines(path, 0), video);
  EXPECT_EQ(PacketLines(path, 1), PacketLines(main, 1));
  EXPECT_EQ(Probe(path, "-count_frames -show_entries stream=codec_type,nb_frames,nb_read_frames"),
            "video,30,30\naudio,88200,87\n");
  EXPECT_EQ(GstStreams(path), 2);
  EXPECT_EQ(MediaInfoCounts(path), "1|1\n");
  // Interleaved: audio packets lie between the video packets, not after them all.
  const auto order = Probe(path, "-show_entries packet=stream_index,pos");
  EXPECT_LT(order.find("\n1,"), order.rfind("\n0,")) << order;
  // Nothing is left beside the file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1);
}

TEST(AviReopen, AFailedRewriteLeavesTheFileAsItWas) {
  CTempDir dir;
  const std::string path = dir.Path("video.avi");
  ASSERT_EQ(Copy(Fixture("top_160x120_bgr24_green.avi"), path).m_exitCode, 0);
  const auto before = test::ReadFileBytes(path);
  const rlim_t limit = before.size() + 4096;  // room for the scratch copy of a little audio

  const pid_t child = fork();
  if (child == 0) {
    rlimit cap{limit, limit};
    setrlimit(RLIMIT_FSIZE, &cap);
    const HRESULT hr = AddAudioStream(path, Fixture("ff_dv_pal_pcm48k.avi"));
    _exit(hr == AVIERR_FILEWRITE ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the rewrite must fail with AVIERR_FILEWRITE";
  EXPECT_EQ(test::ReadFileBytes(path), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1);
}

}  // namespace
}  // namespace corvane
