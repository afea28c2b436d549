// Structures the fixture writers do not make, built here byte by byte and read both by the
// reader and by ffmpeg: 'LIST rec ' groups, OpenDML files with RIFF 'AVIX' parts, super and
// standard indexes, and such files without their indexes or cut short.
#include <gtest/gtest.h>

#include <sstream>

#include "avireader_peers.h"
#include "media/avi/avireader_types.h"
#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane {
namespace {

using test::CRiffBuilder;

struct SLayout {
  int m_frames = 12;
  int m_parts = 1;                 // RIFF parts (more than one: OpenDML)
  bool m_recLists = false;         // each frame with its audio in a 'LIST rec '
  bool m_idx1 = true;              // idx1 over the first part, offsets from 'movi'
  bool m_odml = false;             // indx super indexes and one ix## per stream and part
  int m_keyEvery = 1;              // key-frame flag on every n-th frame
  uint32_t m_audioSampleSize = 2;  // strh dwSampleSize of the audio (nBlockAlign is 2)
  uint32_t m_audioLength = 0;      // strh dwLength of the audio; 0: the samples written
};

constexpr int kAudioPerFrame = 100;  // 16-bit mono samples at 8000 Hz, 10 frames/s: 800 ...

std::vector<uint8_t> Payload(int stream, int index, size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(stream * 97 + index * 13 + i);
  return data;
}

struct SChunkPlace {
  int m_stream;
  size_t m_data;
  uint32_t m_size;
  bool m_key;
};

// A 2x2 24-bit raw video stream (16-byte frames) and a 16-bit mono PCM stream.
std::vector<uint8_t> BuildAvi(const SLayout& layout) {
  CRiffBuilder b;
  const size_t riff = b.Begin("RIFF", "AVI ");
  const size_t hdrl = b.Begin("LIST", "hdrl");
  b.PutId("avih");
  b.PutU32(56);
  for (uint32_t v : {100000u, 0u, 0u, 0x10u, static_cast<uint32_t>(layout.m_frames), 0u, 2u, 0u, 2u,
                     2u, 0u, 0u, 0u, 0u})
    b.PutU32(v);
  size_t indx[2] = {0, 0};
  for (int s = 0; s < 2; ++s) {
    const size_t strl = b.Begin("LIST", "strl");
    b.PutId("strh");
    b.PutU32(56);
    b.PutId(s == 0 ? "vids" : "auds");
    b.PutU32(s == 0 ? 0 : 1);
    b.PutU32(0);
    b.PutU32(0);
    b.PutU32(0);  // initial frames
    b.PutU32(1);
    b.PutU32(s == 0 ? 10 : 8000);
    b.PutU32(0);
    const uint32_t audioLength = layout.m_audioLength
                                     ? layout.m_audioLength
                                     : static_cast<uint32_t>(layout.m_frames * kAudioPerFrame);
    b.PutU32(s == 0 ? static_cast<uint32_t>(layout.m_frames) : audioLength);
    b.PutU32(0);
    b.PutU32(0xFFFFFFFFu);
    b.PutU32(s == 0 ? 0 : layout.m_audioSampleSize);
    for (int i = 0; i < 4; ++i) b.PutU16(s == 0 && i >= 2 ? 2 : 0);
    if (s == 0) {
      b.PutId("strf");
      b.PutU32(40);
      for (uint32_t v : {40u, 2u, 2u}) b.PutU32(v);
      b.PutU16(1);
      b.PutU16(24);
      // Raw frames, or (for key-frame tests) frames labelled with an inter-frame codec: ffmpeg
      // marks every packet of an intra-only codec as a key frame whatever the index says.
      b.PutId(layout.m_keyEvery > 1 ? "MP42" : "\0\0\0\0");
      for (uint32_t v : {16u, 0u, 0u, 0u, 0u}) b.PutU32(v);
    } else {
      b.PutId("strf");
      b.PutU32(18);
      b.PutU16(1);
      b.PutU16(1);
      b.PutU32(8000);
      b.PutU32(16000);
      b.PutU16(2);
      b.PutU16(16);
      b.PutU16(0);
    }
    if (layout.m_odml) {
      b.PutId("indx");
      b.PutU32(24 + 16 * 8);
      indx[s] = b.m_bytes.size();
      b.PutU16(4);
      b.m_bytes.push_back(0);
      b.m_bytes.push_back(0);  // index of indexes
      b.PutU32(0);
      b.PutId(s == 0 ? "00dc" : "01wb");
      b.m_bytes.resize(b.m_bytes.size() + 12 + 16 * 8, 0);
    }
    b.End(strl);
  }
  if (layout.m_odml) {
    const size_t odml = b.Begin("LIST", "odml");
    b.Add("dmlh", std::vector<uint8_t>{static_cast<uint8_t>(layout.m_frames), 0, 0, 0});
    b.End(odml);
  }
  b.End(hdrl);

  std::vector<SChunkPlace> firstPart;
  size_t firstMovi = 0;
  size_t riffStart = riff;
  uint32_t superEntries[2] = {0, 0};
  for (int part = 0; part < layout.m_parts; ++part) {
    if (part > 0) {
      b.End(riffStart);
      riffStart = b.Begin("RIFF", "AVIX");
    }
    const size_t movi = b.Begin("LIST", "movi");
    if (part == 0) firstMovi = movi + 8;
    std::vector<SChunkPlace> placed;
    const int from = layout.m_frames * part / layout.m_parts;
    const int to = layout.m_frames * (part + 1) / layout.m_parts;
    for (int f = from; f < to; ++f) {
      const size_t rec = layout.m_recLists ? b.Begin("LIST", "rec ") : 0;
      placed.push_back({0, b.Add("00dc", Payload(0, f, 16)), 16, f % layout.m_keyEvery == 0});
      placed.push_back(
          {1, b.Add("01wb", Payload(1, f, kAudioPerFrame * 2)), kAudioPerFrame * 2, true});
      if (layout.m_recLists) {
        b.End(rec);
        // idx1 lists a group as the writers of such files do: a LIST-flagged entry first.
        placed.insert(placed.end() - 2,
                      {-1, rec + 8, static_cast<uint32_t>(b.m_bytes.size() - rec - 8), false});
      }
    }
    if (layout.m_odml) {
      for (int s = 0; s < 2; ++s) {
        const size_t ixAt = b.m_bytes.size();
        std::vector<SChunkPlace> mine;
        for (const SChunkPlace& c : placed)
          if (c.m_stream == s) mine.push_back(c);
        b.PutId(s == 0 ? "ix00" : "ix01");
        b.PutU32(static_cast<uint32_t>(24 + 8 * mine.size()));
        b.PutU16(2);
        b.m_bytes.push_back(0);
        b.m_bytes.push_back(1);  // index of chunks
        b.PutU32(static_cast<uint32_t>(mine.size()));
        b.PutId(s == 0 ? "00dc" : "01wb");
        b.PutU64(movi);  // base offset
        b.PutU32(0);
        for (const SChunkPlace& c : mine) {
          b.PutU32(static_cast<uint32_t>(c.m_data - movi));
          b.PutU32(c.m_size | (c.m_key ? 0 : 0x80000000u));
        }
        const size_t entry = indx[s] + 24 + 16 * superEntries[s]++;
        b.Patch32(entry, static_cast<uint32_t>(ixAt));
        b.Patch32(entry + 8, static_cast<uint32_t>(b.m_bytes.size() - ixAt));
        b.Patch32(entry + 12,
                  static_cast<uint32_t>(s == 0 ? mine.size() : mine.size() * kAudioPerFrame));
        b.Patch32(indx[s] + 4, superEntries[s]);
      }
    }
    b.End(movi);
    if (part == 0) {
      firstPart = placed;
      if (layout.m_idx1) {
        std::vector<uint8_t> entries;
        CRiffBuilder idx;
        for (const SChunkPlace& c : placed) {
          idx.PutId(c.m_stream < 0 ? "rec " : c.m_stream == 0 ? "00dc" : "01wb");
          idx.PutU32(c.m_stream < 0 ? AVIIF_LIST : c.m_key ? AVIIF_KEYFRAME : 0);
          idx.PutU32(static_cast<uint32_t>(c.m_data - 8 - firstMovi));
          idx.PutU32(c.m_size);
        }
        b.Add("idx1", idx.m_bytes);
      }
    }
  }
  b.End(riffStart);
  return b.m_bytes;
}

class AviReaderSynthTest : public testing::Test {
 protected:
  // Writes the file, opens it, and checks every stream against ffmpeg's packets of it.
  void BuildAndCompare(const SLayout& layout, const char* kind) {
    m_path = m_dir.Path("synth.avi");
    m_bytes = BuildAvi(layout);
    ASSERT_TRUE(test::WriteFileBytes(m_path, m_bytes));
    ASSERT_EQ(CAviFile::Open(m_path, OF_SHARE_DENY_WRITE, m_file), AVIERR_OK);
    std::shared_ptr<const SAviFileData> data;
    ASSERT_TRUE(DescribeAviReader(*m_file, data));
    EXPECT_STREQ(IndexKindText(data->m_indexKind), kind);
    EXPECT_EQ(data->m_riffParts, static_cast<uint32_t>(layout.m_parts));
    CompareWithFfmpeg();
  }

  void CompareWithFfmpeg() {
    for (int s = 0; s < 2; ++s) {
      SCOPED_TRACE("stream " + std::to_string(s));
      PAVISTREAM stream;
      ASSERT_EQ(m_file->GetStream(stream, 0, s), AVIERR_OK);
      const test::SReadStream read = test::ReadWholeStream(*stream);
      ASSERT_TRUE(read.m_ok);
      if (s == 0) {
        EXPECT_EQ(read.m_nonEmpty, test::FfmpegPackets(m_path, 0, false));
      } else {
        EXPECT_EQ(test::Md5(read.m_bytes.data(), read.m_bytes.size()),
                  test::FfmpegStreamMd5(m_path, 1, false));
      }
    }
  }

  test::CTempDir m_dir;
  std::string m_path;
  std::vector<uint8_t> m_bytes;
  PAVIFILE m_file;
};

TEST_F(AviReaderSynthTest, RecListsAreEnteredAndTheirIdx1Entries) {
  SLayout layout;
  layout.m_recLists = true;
  BuildAndCompare(layout, "idx1 (relative offsets)");
  PAVISTREAM video;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(video->Length(), layout.m_frames);
}

TEST_F(AviReaderSynthTest, OpenDmlPartsAreReadThroughTheirIndexes) {
  SLayout layout;
  layout.m_frames = 30;
  layout.m_parts = 3;
  layout.m_odml = true;
  BuildAndCompare(layout, "OpenDML");
  PAVISTREAM video, audio;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(m_file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(video->Length(), 30);
  EXPECT_EQ(audio->Length(), 30 * kAudioPerFrame);
}

TEST_F(AviReaderSynthTest, OpenDmlKeyFlagsAgreeWithFfprobe) {
  SLayout layout;
  layout.m_frames = 20;
  layout.m_parts = 2;
  layout.m_odml = true;
  layout.m_idx1 = false;
  layout.m_keyEvery = 4;
  BuildAndCompare(layout, "OpenDML");
  const auto probe = test::RunCommand(
      "ffprobe -v error -select_streams 0 -show_entries packet=flags -of csv=p=0 " +
      test::ShellQuote(m_path));
  std::istringstream lines(probe.m_output);
  PAVISTREAM video;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  int32_t position = 0, keys = 0;
  for (std::string line; std::getline(lines, line); ++position) {
    const bool key = !line.empty() && line[0] == 'K';
    keys += key;
    EXPECT_EQ(video->FindSample(position, FIND_PREV | FIND_KEY) == position, key) << position;
  }
  EXPECT_EQ(position, 20);
  EXPECT_EQ(keys, 5);
}

TEST_F(AviReaderSynthTest, PartsWithoutAnyIndexAreScanned) {
  SLayout layout;
  layout.m_frames = 24;
  layout.m_parts = 3;
  layout.m_idx1 = false;
  layout.m_recLists = true;
  BuildAndCompare(layout, "rebuilt");
  PAVISTREAM video;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(video->Length(), 24);
}

TEST_F(AviReaderSynthTest, OpenDmlFileCutInItsSecondPartKeepsEveryCompleteChunk) {
  SLayout layout;
  layout.m_frames = 20;
  layout.m_parts = 2;
  layout.m_odml = true;
  m_bytes = BuildAvi(layout);
  // Cut through the 15th frame's audio chunk (frames 10.. are in the second part).
  const size_t second = test::FindId(m_bytes, "AVIX");
  ASSERT_NE(second, std::string::npos);
  size_t cut = second;
  for (int i = 0; i < 5; ++i) cut = test::FindId(m_bytes, "01wb", cut + 1);
  m_bytes.resize(cut + 50);
  m_path = m_dir.Path("cut.avi");
  ASSERT_TRUE(test::WriteFileBytes(m_path, m_bytes));
  ASSERT_EQ(CAviFile::Open(m_path, OF_SHARE_DENY_WRITE, m_file), AVIERR_OK);
  PAVISTREAM video, audio;
  ASSERT_EQ(m_file->GetStream(video, streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(m_file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(video->Length(), 15);
  EXPECT_EQ(audio->Length(), 14 * kAudioPerFrame);
  const auto packets = test::FfmpegPackets(m_path, 0, false);
  EXPECT_EQ(test::ReadWholeStream(*video).m_nonEmpty, packets);
}

TEST_F(AviReaderSynthTest, AudioSampleSizeFollowsBlockAlignWhenTheLengthSaysSo) {
  SLayout layout;
  layout.m_audioSampleSize = 1;  // with 2-byte blocks and a length counted in blocks
  BuildAndCompare(layout, "idx1 (relative offsets)");
  PAVISTREAM audio;
  ASSERT_EQ(m_file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(audio->Length(), layout.m_frames * kAudioPerFrame);
  int32_t bytes = 0, samples = 0;
  ASSERT_EQ(audio->Read(150, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples), AVIERR_OK);
  EXPECT_EQ(samples, 50);
  EXPECT_EQ(bytes, 100);
  // The header given out states the size the positions count in, so that a writer given it
  // (the audio copy) places the samples where the reader does.
  AVISTREAMINFOA info{};
  ASSERT_EQ(audio->Info(info), AVIERR_OK);
  EXPECT_EQ(info.dwSampleSize, 2u);
}

TEST_F(AviReaderSynthTest, AudioSampleSizeOfTheHeaderStandsWhenItsLengthAgrees) {
  SLayout layout;
  layout.m_audioSampleSize = 1;
  layout.m_audioLength = static_cast<uint32_t>(layout.m_frames * kAudioPerFrame * 2);
  BuildAndCompare(layout, "idx1 (relative offsets)");
  PAVISTREAM audio;
  ASSERT_EQ(m_file->GetStream(audio, streamtypeAUDIO, 0), AVIERR_OK);
  EXPECT_EQ(audio->Length(), layout.m_frames * kAudioPerFrame * 2);
  AVISTREAMINFOA info{};
  ASSERT_EQ(audio->Info(info), AVIERR_OK);
  EXPECT_EQ(info.dwSampleSize, 1u);
}

}  // namespace
}  // namespace corvane
