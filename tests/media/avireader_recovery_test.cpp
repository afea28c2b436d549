// Bad input: empty, foreign, cut, corrupted and absurd files give an error code or a file
// recovered from what is really there; never a crash (run these under the sanitizer build).
// Recovered samples are checked against ffmpeg's packets of the intact file and against
// riffwalk.py's count of the chunks in the damaged one.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "avireader_peers.h"
#include "media/avi/avireader_types.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::Fixture;

uint32_t LoadU32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class AviReaderRecoveryTest : public testing::Test {
 protected:
  HRESULT OpenBytes(const std::vector<uint8_t>& bytes) {
    m_path = m_dir.Path("damaged.avi");
    EXPECT_TRUE(test::WriteFileBytes(m_path, bytes));
    m_file.reset();
    return CAviFile::Open(m_path, OF_SHARE_DENY_WRITE, m_file);
  }

  // Opens and reads every sample of every stream; the code of the open.
  HRESULT OpenAndReadAll(const std::vector<uint8_t>& bytes) {
    const HRESULT result = OpenBytes(bytes);
    if (result != AVIERR_OK) {
      EXPECT_LT(result, 0);
      EXPECT_FALSE(m_file);
      return result;
    }
    AVIFILEINFOW info{};
    EXPECT_EQ(m_file->Info(info), AVIERR_OK);
    PAVISTREAM stream;
    for (int32_t i = 0; m_file->GetStream(stream, 0, i) == AVIERR_OK; ++i) {
      EXPECT_TRUE(test::ReadWholeStream(*stream).m_ok);
      int32_t size = 0;
      EXPECT_EQ(stream->ReadFormat(0, nullptr, &size), AVIERR_OK);
      stream->FindSample(stream->Start() + stream->Length() / 2, FIND_PREV | FIND_KEY);
      stream->FindSample(-5, FIND_NEXT | FIND_ANY);
    }
    return result;
  }

  std::string IndexKind() {
    std::shared_ptr<const SAviFileData> data;
    return m_file && DescribeAviReader(*m_file, data) ? IndexKindText(data->m_indexKind) : "";
  }

  test::CTempDir m_dir;
  std::string m_path;
  PAVIFILE m_file;
};

TEST_F(AviReaderRecoveryTest, FilesThatAreNotAviAreRefused) {
  EXPECT_EQ(OpenAndReadAll({}), AVIERR_BADFORMAT);
  const std::string text = "Just a text file, not a video.\n";
  EXPECT_EQ(OpenAndReadAll(std::vector<uint8_t>(text.begin(), text.end())), AVIERR_BADFORMAT);
  const std::string wave = "RIFF\x24\0\0\0WAVEfmt ";
  EXPECT_EQ(OpenAndReadAll(std::vector<uint8_t>(wave.begin(), wave.end())), AVIERR_BADFORMAT);
  PAVIFILE file;
  EXPECT_EQ(CAviFile::Open(m_dir.Path("missing.avi"), OF_SHARE_DENY_WRITE, file), AVIERR_FILEOPEN);
  EXPECT_EQ(CAviFile::Open(m_dir.Dir().string(), OF_SHARE_DENY_WRITE, file), AVIERR_FILEOPEN);
}

// Complete chunks per stream of damaged files, as riffwalk.py counts them: its chunk count
// less a chunk it reports running past the end of the file. One run for all the files.
std::map<std::string, std::vector<size_t>> RiffwalkCompleteChunks(
    const std::vector<std::string>& paths) {
  std::string command = "python3 " + test::ShellQuote(test::CorpusSource("riffwalk.py"));
  for (const std::string& path : paths) command += " " + test::ShellQuote(path);
  const std::string output = test::RunCommand(command).m_output;
  std::map<std::string, std::vector<size_t>> counts;
  static const std::regex file(R"(file: (.*) \(\d+ bytes\))");
  static const std::regex count(R"((\d\d)(?:dc|db|wb)=(\d+))");
  static const std::regex pastEnd(R"(chunk '(\d\d)(?:dc|db|wb)' at .* runs past)");
  std::vector<size_t>* current = nullptr;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, file)) {
      current = &counts[m[1]];
      current->assign(2, 0);
    } else if (!current) {
      continue;
    } else if (line.rfind("movi lists:", 0) == 0) {
      for (std::sregex_iterator it(line.begin(), line.end(), count), end; it != end; ++it)
        if (std::stoul((*it)[1]) < 2) (*current)[std::stoul((*it)[1])] = std::stoul((*it)[2]);
    } else if (std::regex_search(line, m, pastEnd) && std::stoul(m[1]) < 2) {
      --(*current)[std::stoul(m[1])];
    }
  }
  return counts;
}

TEST_F(AviReaderRecoveryTest, CutFilesOpenWithEveryCompleteChunk) {
  struct SCut {
    std::string m_fixture;
    size_t m_at;
    bool m_pastHeaders;
    std::string m_path;
  };
  std::vector<SCut> cuts;
  for (const char* name : {"ff_mjpeg_zero_length_frames.avi", "gst_h264_mp3cbr.avi",
                           "men_mjpeg_dupframes_pcmu8.avi"}) {
    const std::vector<uint8_t> whole = test::ReadFileBytes(Fixture(name));
    const size_t movi = test::FindId(whole, "movi");
    ASSERT_NE(movi, std::string::npos);
    for (int step = 1; step <= 6; ++step) {
      const size_t at = whole.size() * step / 7;
      const std::string path = m_dir.Path("cut" + std::to_string(cuts.size()) + ".avi");
      ASSERT_TRUE(test::WriteFileBytes(
          path, std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(at))));
      cuts.push_back({name, at, at > movi + 4, path});
    }
  }
  std::vector<std::string> paths;
  for (const SCut& cut : cuts) paths.push_back(cut.m_path);
  const auto complete = RiffwalkCompleteChunks(paths);

  for (const SCut& cut : cuts) {
    SCOPED_TRACE(cut.m_fixture + " cut at " + std::to_string(cut.m_at));
    m_file.reset();
    const HRESULT result = CAviFile::Open(cut.m_path, OF_SHARE_DENY_WRITE, m_file);
    if (!cut.m_pastHeaders) {
      EXPECT_TRUE(result == AVIERR_OK || result == AVIERR_BADFORMAT);
      continue;
    }
    ASSERT_EQ(result, AVIERR_OK);
    EXPECT_EQ(IndexKind(), "rebuilt");
    ASSERT_EQ(complete.count(cut.m_path), 1u);
    for (size_t s = 0; s < 2; ++s) {
      PAVISTREAM stream;
      ASSERT_EQ(m_file->GetStream(stream, 0, static_cast<int32_t>(s)), AVIERR_OK);
      AVISTREAMINFOA info{};
      stream->Info(info);
      const test::SReadStream read = test::ReadWholeStream(*stream);
      ASSERT_TRUE(read.m_ok);
      if (info.dwSampleSize != 0) continue;
      const auto packets = test::FfmpegPackets(Fixture(cut.m_fixture), s);
      EXPECT_EQ(read.m_nonEmpty.size() + read.m_empty, complete.at(cut.m_path)[s]) << s;
      ASSERT_LE(read.m_nonEmpty.size(), packets.size());
      EXPECT_TRUE(std::equal(read.m_nonEmpty.begin(), read.m_nonEmpty.end(), packets.begin()))
          << "stream " << s;
    }
  }
}

TEST_F(AviReaderRecoveryTest, CorruptIdx1IsReplacedByAScanOfMovi) {
  const std::string name = "ff_mjpeg_zero_length_frames.avi";
  const std::vector<uint8_t> whole = test::ReadFileBytes(Fixture(name));
  const size_t idx1 = test::FindId(whole, "idx1");
  ASSERT_NE(idx1, std::string::npos);
  const uint32_t entries = LoadU32At(whole, idx1 + 4) / 16;
  const auto video = test::FfmpegPackets(Fixture(name), 0);
  const std::string audio = test::FfmpegStreamMd5(Fixture(name), 1);

  auto check = [&](std::vector<uint8_t> bytes, const char* what, const char* kind) {
    SCOPED_TRACE(what);
    ASSERT_EQ(OpenAndReadAll(bytes), AVIERR_OK);
    EXPECT_EQ(IndexKind(), kind);
    PAVISTREAM stream;
    ASSERT_EQ(m_file->GetStream(stream, 0, 0), AVIERR_OK);
    EXPECT_EQ(stream->Length(), 12);
    EXPECT_EQ(test::ReadWholeStream(*stream).m_nonEmpty, video);
    ASSERT_EQ(m_file->GetStream(stream, 0, 1), AVIERR_OK);
    const auto read = test::ReadWholeStream(*stream);
    EXPECT_EQ(test::Md5(read.m_bytes.data(), read.m_bytes.size()), audio);
  };
  std::vector<uint8_t> bytes = whole;
  for (uint32_t i = 0; i < entries; i += 3) bytes[idx1 + 8 + i * 16 + 8] ^= 0x5A;
  check(bytes, "offsets scrambled", "rebuilt");
  bytes = whole;
  for (uint32_t i = 0; i < entries; i += 2) bytes[idx1 + 8 + i * 16 + 12] += 7;
  check(bytes, "sizes wrong", "rebuilt");
  bytes = whole;
  for (uint32_t i = 0; i < entries; ++i)
    for (int k = 8; k < 16; ++k) bytes[idx1 + 8 + i * 16 + k] = 0xFF;
  check(bytes, "offsets and sizes past the end", "rebuilt");
  bytes = whole;
  bytes.resize(idx1 + 8 + 16 * (entries / 2) + 5);
  check(bytes, "idx1 cut in half", "rebuilt");
  bytes = whole;
  for (int k = 4; k < 8; ++k) bytes[idx1 + k] = 0xFF;
  // Only the size is wrong: the entries that are there describe the file completely.
  check(bytes, "idx1 size past the end", "idx1 (relative offsets)");
}

TEST_F(AviReaderRecoveryTest, DamagedChunkHeaderInMoviCostsOnlyThatChunk) {
  // No idx1 to fall back on: the file ends with movi, and one video chunk's header is garbage.
  const std::string name = "ff_mjpeg_zero_length_frames.avi";
  std::vector<uint8_t> bytes = test::ReadFileBytes(Fixture(name));
  const size_t idx1 = test::FindId(bytes, "idx1");
  ASSERT_NE(idx1, std::string::npos);
  bytes.resize(idx1);
  size_t damaged = test::FindId(bytes, "movi");
  for (int i = 0; i < 8; ++i) damaged = test::FindId(bytes, "00dc", damaged + 1);
  ASSERT_NE(damaged, std::string::npos);
  for (int k = 0; k < 8; ++k) bytes[damaged + k] = 0xFF;
  ASSERT_EQ(OpenAndReadAll(bytes), AVIERR_OK);
  PAVISTREAM video;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(video->Length(), 11);
  // The 8th chunk is frame 7, ffmpeg's 5th packet (frames 3 to 5 are empty).
  std::vector<test::SPacket> expected = test::FfmpegPackets(Fixture(name), 0);
  ASSERT_EQ(expected.size(), 9u);
  expected.erase(expected.begin() + 4);
  EXPECT_EQ(test::ReadWholeStream(*video).m_nonEmpty, expected);
  PAVISTREAM audio;
  ASSERT_EQ(m_file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  const auto read = test::ReadWholeStream(*audio);
  EXPECT_EQ(test::Md5(read.m_bytes.data(), read.m_bytes.size()),
            test::FfmpegStreamMd5(Fixture(name), 1));
}

// Offset of the data of the n-th chunk with this id.
size_t ChunkData(const std::vector<uint8_t>& bytes, const char* id, int n = 0) {
  size_t at = test::FindId(bytes, id);
  for (int i = 0; i < n && at != std::string::npos; ++i) at = test::FindId(bytes, id, at + 1);
  return at == std::string::npos ? at : at + 8;
}

TEST_F(AviReaderRecoveryTest, AbsurdHeaderValuesNeitherCrashNorDriveAllocations) {
  const std::vector<uint8_t> whole = test::ReadFileBytes(Fixture("ff_mjpeg_321x241_pcmu8.avi"));
  const size_t avih = ChunkData(whole, "avih");
  const size_t videoHeader = ChunkData(whole, "strh", 0);
  const size_t audioHeader = ChunkData(whole, "strh", 1);
  const size_t videoFormat = ChunkData(whole, "strf", 0);
  ASSERT_NE(audioHeader, std::string::npos);
  struct SPatch {
    const char* m_what;
    size_t m_at;
    uint32_t m_value;
  };
  const SPatch patches[] = {
      {"avih width", avih + 32, 100000},
      {"avih height", avih + 36, 100000},
      {"avih total frames", avih + 16, 0x80000000u},
      {"avih streams", avih + 24, 0xFFFFFFFFu},
      {"video length", videoHeader + 32, 0x80000000u},
      {"video start", videoHeader + 28, 0xFFFFFFF0u},
      {"audio start", audioHeader + 28, 0x7FFFFFFFu},
      {"audio sample size", audioHeader + 44, 0x7FFFFFFFu},
      {"audio sample size zero", audioHeader + 44, 0},
      {"video scale zero", videoHeader + 20, 0},
      {"format size", videoFormat - 4, 0x7FFFFFF0u},
      {"format width", videoFormat + 4, 0x7FFFFFFFu},
      {"format height", videoFormat + 8, 0x80000000u},
      {"strh size", videoHeader - 4, 0xFFFFFFF0u},
      {"strh size small", videoHeader - 4, 3},
      {"hdrl size", test::FindId(whole, "hdrl") - 4, 0xFFFFFFF0u},
      {"movi size", test::FindId(whole, "movi") - 4, 0xFFFFFFF0u},
      {"movi size zero", test::FindId(whole, "movi") - 4, 0},
      {"riff size", 4, 0},
      {"riff size huge", 4, 0xFFFFFFFFu},
      {"first chunk size", test::FindId(whole, "00dc") + 4, 0x7FFFFFFFu},
  };
  for (const SPatch& patch : patches) {
    SCOPED_TRACE(patch.m_what);
    std::vector<uint8_t> bytes = whole;
    for (int i = 0; i < 4; ++i)
      bytes[patch.m_at + i] = static_cast<uint8_t>(patch.m_value >> (8 * i));
    const HRESULT result = OpenAndReadAll(bytes);
    EXPECT_TRUE(result == AVIERR_OK || result == AVIERR_BADFORMAT) << std::hex << result;
    if (result != AVIERR_OK) continue;
    PAVISTREAM stream;
    for (int32_t i = 0; m_file->GetStream(stream, 0, i) == AVIERR_OK; ++i) {
      // Lengths follow the chunks in the file, never the header's claims.
      EXPECT_LE(stream->Length(), 11025);
      EXPECT_GE(stream->Start(), 0);
    }
  }
}

TEST_F(AviReaderRecoveryTest, EveryHeaderByteFlippedStillOpensOrFails) {
  // The header chunks before the writer's JUNK space, and the start of movi.
  const std::vector<uint8_t> whole = test::ReadFileBytes(Fixture("ff_mjpeg_5x3.avi"));
  const size_t junk = test::FindId(whole, "JUNK"), movi = test::FindId(whole, "movi");
  ASSERT_LT(junk, movi);
  std::vector<size_t> places;
  for (size_t at = 0; at < junk + 8; ++at) places.push_back(at);
  for (size_t at = movi - 8; at < movi + 40; ++at) places.push_back(at);
  for (size_t at : places) {
    for (uint8_t value : {uint8_t{0xFF}, static_cast<uint8_t>(whole[at] ^ 0x81)}) {
      std::vector<uint8_t> bytes = whole;
      bytes[at] = value;
      const HRESULT result = OpenAndReadAll(bytes);
      EXPECT_TRUE(result == AVIERR_OK || result < 0) << "byte " << at;
    }
  }
}

TEST_F(AviReaderRecoveryTest, DeeplyNestedListsAreNotFollowedForever) {
  test::CRiffBuilder b;
  const size_t riff = b.Begin("RIFF", "AVI ");
  const size_t hdrl = b.Begin("LIST", "hdrl");
  b.Add("avih", std::vector<uint8_t>(56, 0));
  b.End(hdrl);
  std::vector<size_t> open{b.Begin("LIST", "movi")};
  for (int i = 0; i < 20000; ++i) open.push_back(b.Begin("LIST", "rec "));
  while (!open.empty()) {
    b.End(open.back());
    open.pop_back();
  }
  b.End(riff);
  ASSERT_EQ(OpenAndReadAll(b.m_bytes), AVIERR_OK);
  AVIFILEINFOW info{};
  m_file->Info(info);
  EXPECT_EQ(info.dwStreams, 0u);
}

}  // namespace
}  // namespace corvane
