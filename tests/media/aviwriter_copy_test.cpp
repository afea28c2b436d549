// Rewriting files: `corvane-avi copy` over every fixture and repairing a cut recording.
// ffmpeg, ffprobe, gst-discoverer and mediainfo judge the results against the sources.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "aviwriter_peers.h"
#include "media/avi/aviwriter_tools.h"
#include "media/avifile.h"
#include "media/videoreader.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Copy;
using test::CTempDir;
using test::Fixture;
using test::GstStreams;
using test::MediaInfoCounts;
using test::PacketLines;
using test::RunCommand;
using test::ShellQuote;

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
  // A plain reference: clang before 16 cannot capture a structured binding.
  const std::string& counts = sourceCounts;
  const auto count = [&counts](const char* type) {
    int n = 0;
    for (size_t at = counts.find(type); at != std::string::npos; at = counts.find(type, at + 1))
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

// An 8-bit AVI whose palette changes before every frame ('##pc' chunks, as ffmpeg writes
// them): the copy keeps every change where it was (ffmpeg decodes the same frames from both),
// and the frame reader applies them (every frame as ffmpeg decodes it).
TEST(AviCopy, PaletteChangesAreKeptAndApplied) {
  CTempDir dir;
  const std::string source = dir.Path("palettes.avi");
  ASSERT_TRUE(test::MakeWithFfmpeg(
      "-f lavfi -i testsrc=s=64x48:r=5:d=2 -vf \"split[a][b];[a]palettegen=stats_mode=single:"
      "max_colors=32[p];[b][p]paletteuse=new=1\" -c:v rawvideo -pix_fmt pal8",
      source));
  const std::string copy = dir.Path("copy.avi");
  const auto result = Copy(source, copy);
  ASSERT_EQ(result.m_exitCode, 0) << result.m_errors;
  // The frames' checksums (the header lines name aspect ratios the copy does not carry).
  const auto decoded = [](const std::string& path) {
    return RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -f framemd5 - | grep -v '^#'")
        .m_output;
  };
  const std::string frames = decoded(source);
  ASSERT_NE(frames.find("0,          9,"), std::string::npos) << frames;
  EXPECT_EQ(decoded(copy), frames);

  const std::string peer =
      RunCommand("ffmpeg -v error -i " + ShellQuote(source) + " -f rawvideo -pix_fmt bgr24 -")
          .m_output;
  PAVIFILE file;
  ASSERT_EQ(CAviFile::Open(source, OF_SHARE_DENY_WRITE, file), AVIERR_OK);
  PAVISTREAM stream;
  ASSERT_EQ(file->GetStream(stream, streamtypeVIDEO, 0), AVIERR_OK);
  CVideoReader reader;
  ASSERT_EQ(reader.Open(stream), 0);
  const size_t frameBytes = 64 * 48 * 3;
  ASSERT_EQ(peer.size(), frameBytes * 10);
  // Read backwards too: a change applies wherever the reading starts.
  for (const int32_t frame : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 3, 0, 9}) {
    ASSERT_EQ(reader.ReadFrame(frame), 0);
    for (int32_t y = 0; y < 48; ++y) {
      const uint8_t* row = reader.m_buffer.get() + size_t(47 - y) * 64 * 3;
      ASSERT_EQ(std::memcmp(row, peer.data() + frame * frameBytes + size_t(y) * 64 * 3, 64 * 3), 0)
          << "frame " << frame << " row " << y;
    }
  }
}

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

}  // namespace
}  // namespace corvane
