// The chunk table. Three sources feed it: a scan of every movi list (which finds each complete
// chunk in the file), idx1, and OpenDML standard indexes. Index entries are trusted only when
// the chunk they point at is really there; the table is the union, in file order, with key
// flags taken from the indexes. The index kind says whether one index alone described it all.
#include <algorithm>
#include <array>
#include <limits>

#include "media/avi/avireader_parse.h"

namespace corvane {
namespace {

constexpr uint8_t kFromScan = 1;
constexpr uint8_t kFromIdx1 = 2;
constexpr uint8_t kFromOdml = 4;
constexpr uint32_t kNotKeyFrameBit = 0x80000000u;
constexpr uint8_t kIndexOfIndexes = 0x00;
constexpr uint8_t kIndexOfChunks = 0x01;

// Palette changes kept per stream: a damaged file cannot make this list grow without bound.
constexpr size_t kMaxPaletteChanges = 1 << 16;

struct SRecord {
  uint64_t m_offset;  // of the data
  uint32_t m_size;
  uint32_t m_flags;
  uint16_t m_stream;
  uint8_t m_origin;
};

class CTableBuilder {
 public:
  explicit CTableBuilder(SAviFileData& data) : m_data(data), m_source(data.m_source) {}

  void ScanMovi(uint64_t begin, uint64_t end) { ScanList(begin, end, 0); }
  void ReadIdx1(const SAviLayout& layout);
  // Standard indexes met in movi, then those the strl super indexes point at.
  void ReadOpenDmlIndexes();
  HRESULT Finish(bool hadIdx1);

 private:
  void ScanList(uint64_t begin, uint64_t end, int depth);
  bool LooksLikeChunk(uint64_t offset, uint64_t end) const;
  // After damage inside movi: the next place from `from` where a sample chunk of a known
  // stream starts and is followed by another chunk header (or by the end); `end` if none.
  uint64_t Resync(uint64_t from, uint64_t end) const;
  void ReadStandardIndex(const SRiffChunk& chunk);
  // Whether a sample chunk of `stream` with `size` bytes of data starts at `dataOffset`.
  bool ChunkIsThere(uint64_t dataOffset, int stream, uint32_t size) const;
  bool Full() const { return m_records.size() >= kMaxChunkRecords; }

  SAviFileData& m_data;
  const CRiffSource& m_source;
  std::vector<SRecord> m_records;
  std::vector<uint64_t> m_standardIndexes;  // offsets of ix## chunks already read
  std::vector<SRiffChunk> m_foundIndexes;   // ix## chunks met by the scan
  size_t m_scanned = 0;                     // records [0, m_scanned) come from the scan
  uint32_t m_idx1Base = 0;                  // 1: relative to movi, 2: absolute
};

bool CTableBuilder::LooksLikeChunk(uint64_t offset, uint64_t end) const {
  SRiffChunk chunk;
  return ReadChunkHeader(m_source, offset, end, chunk) && IsPrintableFourCC(chunk.m_id) &&
         chunk.DataEnd() <= end;
}

uint64_t CTableBuilder::Resync(uint64_t from, uint64_t end) const {
  std::array<uint8_t, 64 * 1024> block;
  while (from < end && end - from >= 8) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(block.size(), end - from));
    if (!m_source.ReadAt(from, block.data(), count)) return end;
    for (size_t i = 0; i + 8 <= count; ++i) {
      const uint32_t id = LoadU32(block.data() + i);
      const int stream = StreamOfChunkId(id);
      if (!IsSampleChunkId(id) || stream < 0 ||
          static_cast<size_t>(stream) >= m_data.m_streams.size())
        continue;
      SRiffChunk candidate{from + i, id, LoadU32(block.data() + i + 4)};
      SRiffChunk next;
      if (candidate.DataEnd() > end) continue;
      if (candidate.PaddedEnd() >= end ||
          (ReadChunkHeader(m_source, candidate.PaddedEnd(), end, next) &&
           IsPrintableFourCC(next.m_id)))
        return candidate.m_offset;
    }
    from += count - 7;  // the last 7 bytes may start a header that crosses the block
  }
  return end;
}

void CTableBuilder::ScanList(uint64_t begin, uint64_t end, int depth) {
  SRiffChunk chunk;
  uint64_t offset = begin;
  while (!Full() && ReadChunkHeader(m_source, offset, end, chunk)) {
    // Damage in movi itself (not in a group inside it): skip to where chunks make sense again.
    const bool damaged =
        !IsPrintableFourCC(chunk.m_id) || (chunk.m_id != kFccList && chunk.DataEnd() > end);
    if (damaged && depth == 0) {
      offset = Resync(offset + 1, end);
      continue;
    }
    if (!IsPrintableFourCC(chunk.m_id)) break;
    if (chunk.m_id == kFccList) {
      uint8_t type[4];
      if (chunk.m_size < 4 || !m_source.ReadAt(chunk.DataOffset(), type, 4)) break;
      // 'rec ' groups (and any other list) are entered; a list cut by the end still yields
      // the complete chunks it holds.
      if (depth < kMaxRiffDepth)
        ScanList(chunk.DataOffset() + 4, std::min(chunk.DataEnd(), end), depth + 1);
      offset = chunk.PaddedEnd();
      continue;
    }
    if (chunk.DataEnd() > end) break;  // incomplete: the file was cut here
    const int stream = StreamOfChunkId(chunk.m_id);
    if ((chunk.m_id & 0xFFFFu) == MakeFourCC('i', 'x', 0, 0)) {
      m_foundIndexes.push_back(chunk);  // read once the scan is complete
    } else if (IsSampleChunkId(chunk.m_id) && stream >= 0 &&
               static_cast<size_t>(stream) < m_data.m_streams.size()) {
      m_records.push_back(
          {chunk.DataOffset(), chunk.m_size, 0, static_cast<uint16_t>(stream), kFromScan});
    } else if (IsPaletteChunkId(chunk.m_id) &&
               static_cast<size_t>(stream) < m_data.m_streams.size() &&
               m_data.m_streams[size_t(stream)].m_paletteChanges.size() < kMaxPaletteChanges) {
      m_data.m_streams[size_t(stream)].m_paletteChanges.push_back(
          {chunk.DataOffset(), chunk.m_size, 0});
    }
    offset = chunk.PaddedEnd();
    // Some writers leave out the pad byte after an odd-sized chunk.
    if ((chunk.m_size & 1u) && !LooksLikeChunk(offset, end) && LooksLikeChunk(chunk.DataEnd(), end))
      offset = chunk.DataEnd();
  }
  if (depth == 0) m_scanned = m_records.size();
}

bool CTableBuilder::ChunkIsThere(uint64_t dataOffset, int stream, uint32_t size) const {
  if (dataOffset < 8) return false;
  // Chunks found by the scan need no second look.
  const auto scannedEnd = m_records.begin() + static_cast<std::ptrdiff_t>(m_scanned);
  const auto found = std::lower_bound(
      m_records.begin(), scannedEnd, dataOffset,
      [](const SRecord& record, uint64_t offset) { return record.m_offset < offset; });
  if (found != scannedEnd && found->m_offset == dataOffset)
    return found->m_stream == stream && found->m_size == size;
  SRiffChunk chunk;
  return ReadChunkHeader(m_source, dataOffset - 8, m_source.Size(), chunk) &&
         IsSampleChunkId(chunk.m_id) && StreamOfChunkId(chunk.m_id) == stream &&
         chunk.m_size == size && chunk.DataEnd() <= m_source.Size();
}

void CTableBuilder::ReadIdx1(const SAviLayout& layout) {
  if (!layout.m_hasIdx1 || layout.m_movi.empty()) return;
  const uint64_t count = layout.m_idx1.m_size / 16;
  const uint64_t bases[2] = {layout.m_movi.front().m_fourcc, 0};
  std::array<uint8_t, 16 * 1024> block;
  uint64_t done = 0;
  while (done < count && !Full()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, block.size() / 16));
    if (!m_source.ReadAt(layout.m_idx1.DataOffset() + done * 16, block.data(), n * 16)) break;
    for (size_t i = 0; i < n && !Full(); ++i) {
      const uint8_t* entry = block.data() + i * 16;
      const uint32_t id = LoadU32(entry), flags = LoadU32(entry + 4);
      const uint32_t offset = LoadU32(entry + 8), size = LoadU32(entry + 12);
      const int stream = StreamOfChunkId(id);
      if ((flags & AVIIF_LIST) || !IsSampleChunkId(id) || stream < 0 ||
          static_cast<size_t>(stream) >= m_data.m_streams.size())
        continue;
      ++m_data.m_idx1Entries;
      // Writers disagree on the base of the offsets: find it from the first entries.
      if (m_idx1Base == 0) {
        for (uint32_t b = 0; b < 2 && m_idx1Base == 0; ++b)
          if (ChunkIsThere(bases[b] + offset + 8, stream, size)) m_idx1Base = b + 1;
        if (m_idx1Base == 0) {
          ++m_data.m_badIndexEntries;
          continue;
        }
      }
      const uint64_t dataOffset = bases[m_idx1Base - 1] + offset + 8;
      if (!ChunkIsThere(dataOffset, stream, size)) {
        ++m_data.m_badIndexEntries;
        continue;
      }
      m_records.push_back({dataOffset, size, flags, static_cast<uint16_t>(stream), kFromIdx1});
    }
    done += n;
  }
}

void CTableBuilder::ReadStandardIndex(const SRiffChunk& chunk) {
  if (std::find(m_standardIndexes.begin(), m_standardIndexes.end(), chunk.m_offset) !=
      m_standardIndexes.end())
    return;
  m_standardIndexes.push_back(chunk.m_offset);
  const uint64_t available = std::min<uint64_t>(
      chunk.m_size, m_source.Size() - std::min(m_source.Size(), chunk.DataOffset()));
  uint8_t header[24];
  if (available < sizeof header || !m_source.ReadAt(chunk.DataOffset(), header, sizeof header))
    return;
  const uint32_t stride = LoadU16(header) * 4u;
  const uint8_t type = header[3];
  const uint32_t inUse = LoadU32(header + 4);
  const int stream = StreamOfChunkId(LoadU32(header + 8));
  const uint64_t base = LoadU64(header + 12);
  if (type != kIndexOfChunks || stride < 8 || stream < 0 ||
      static_cast<size_t>(stream) >= m_data.m_streams.size())
    return;
  const uint64_t fit = (available - sizeof header) / stride;
  if (inUse > fit) ++m_data.m_badIndexEntries;  // cut short: keep what is there
  const uint64_t count = std::min<uint64_t>(inUse, fit);
  std::array<uint8_t, 16 * 1024> block;
  const size_t perBlock = block.size() / stride;
  for (uint64_t done = 0; done < count && !Full();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, perBlock));
    if (!m_source.ReadAt(chunk.DataOffset() + sizeof header + done * stride, block.data(),
                         n * stride))
      return;
    for (size_t i = 0; i < n && !Full(); ++i) {
      const uint8_t* entry = block.data() + i * stride;
      const uint64_t dataOffset = base + LoadU32(entry);
      const uint32_t rawSize = LoadU32(entry + 4);
      const uint32_t size = rawSize & ~kNotKeyFrameBit;
      ++m_data.m_odmlEntries;
      if (dataOffset < base || !ChunkIsThere(dataOffset, stream, size)) {
        ++m_data.m_badIndexEntries;
        continue;
      }
      const uint32_t flags = (rawSize & kNotKeyFrameBit) ? 0 : AVIIF_KEYFRAME;
      m_records.push_back({dataOffset, size, flags, static_cast<uint16_t>(stream), kFromOdml});
    }
    done += n;
  }
}

void CTableBuilder::ReadOpenDmlIndexes() {
  for (const SRiffChunk& chunk : m_foundIndexes) ReadStandardIndex(chunk);
  for (const SAviStreamData& stream : m_data.m_streams) {
    if (!stream.m_hasIndx) continue;
    const SRiffChunk& indx = stream.m_indx;
    const uint64_t available = std::min<uint64_t>(
        indx.m_size, m_source.Size() - std::min(m_source.Size(), indx.DataOffset()));
    uint8_t header[24];
    if (available < sizeof header || !m_source.ReadAt(indx.DataOffset(), header, sizeof header))
      continue;
    if (header[3] == kIndexOfChunks) {
      ReadStandardIndex(indx);
      continue;
    }
    if (header[3] != kIndexOfIndexes || LoadU16(header) != 4) continue;
    const uint64_t count = std::min<uint64_t>(LoadU32(header + 4), (available - 24) / 16);
    for (uint64_t i = 0; i < count && !Full(); ++i) {
      uint8_t entry[16];
      if (!m_source.ReadAt(indx.DataOffset() + 24 + i * 16, entry, sizeof entry)) break;
      SRiffChunk chunk;
      if (ReadChunkHeader(m_source, LoadU64(entry), m_source.Size(), chunk) &&
          (chunk.m_id & 0xFFFFu) == MakeFourCC('i', 'x', 0, 0))
        ReadStandardIndex(chunk);
      else
        ++m_data.m_badIndexEntries;
    }
  }
}

HRESULT CTableBuilder::Finish(bool hadIdx1) {
  std::stable_sort(m_records.begin(), m_records.end(),
                   [](const SRecord& a, const SRecord& b) { return a.m_offset < b.m_offset; });
  bool allIdx1 = true, allOdml = true;
  const size_t streamCount = m_data.m_streams.size();
  std::vector<bool> anyIndexFlags(streamCount, false);
  for (size_t i = 0; i < m_records.size();) {
    SRecord merged = m_records[i];
    uint32_t indexFlags = 0;
    bool fromIndex = merged.m_origin != kFromScan;
    if (fromIndex) indexFlags |= merged.m_flags;
    size_t j = i + 1;
    for (; j < m_records.size() && m_records[j].m_offset == merged.m_offset; ++j) {
      merged.m_origin |= m_records[j].m_origin;
      if (m_records[j].m_origin != kFromScan) {
        indexFlags |= m_records[j].m_flags;
        fromIndex = true;
      }
    }
    i = j;
    allIdx1 = allIdx1 && (merged.m_origin & kFromIdx1);
    allOdml = allOdml && (merged.m_origin & kFromOdml);
    SAviStreamData& stream = m_data.m_streams[merged.m_stream];
    stream.m_chunks.push_back(
        {merged.m_offset, merged.m_size, fromIndex ? (indexFlags & ~AVIIF_LIST) : AVIIF_KEYFRAME});
    if (stream.m_chunks.back().m_flags & AVIIF_KEYFRAME) stream.m_anyKey = true;
  }
  const bool clean = m_data.m_badIndexEntries == 0;
  if (clean && m_data.m_odmlEntries > 0 && allOdml)
    m_data.m_indexKind = EAviIndexKind::kOpenDml;
  else if (clean && hadIdx1 && m_data.m_idx1Entries > 0 && allIdx1 && m_idx1Base != 0)
    m_data.m_indexKind =
        m_idx1Base == 1 ? EAviIndexKind::kIdx1Relative : EAviIndexKind::kIdx1Absolute;
  else if (clean && hadIdx1 && m_records.empty())
    m_data.m_indexKind = EAviIndexKind::kIdx1Relative;  // an empty file with an empty index
  else
    m_data.m_indexKind = EAviIndexKind::kRebuilt;
  return AVIERR_OK;
}

// Audio that states a sample size counts its samples in blocks. When strh's sample size and
// the format's block align disagree, the one that explains the stated length wins.
uint32_t ChooseSampleSize(const SAviStreamData& stream, uint64_t totalBytes) {
  const AVISTREAMINFOA& info = stream.m_info;
  if (info.fccType == streamtypeVIDEO || info.dwSampleSize == 0) return 0;
  if (info.fccType != streamtypeAUDIO || stream.m_format.size() < 14) return info.dwSampleSize;
  const uint32_t blockAlign = LoadU16(stream.m_format.data() + 12);
  if (blockAlign == 0 || blockAlign == info.dwSampleSize) return info.dwSampleSize;
  auto distance = [&](uint32_t size) {
    const uint64_t samples = totalBytes / size;
    return samples > info.dwLength ? samples - info.dwLength : info.dwLength - samples;
  };
  return distance(blockAlign) < distance(info.dwSampleSize) ? blockAlign : info.dwSampleSize;
}

void FinishStream(SAviStreamData& stream) {
  constexpr int64_t kMaxPosition = std::numeric_limits<int32_t>::max();
  uint64_t totalBytes = 0;
  for (const SAviChunkRef& chunk : stream.m_chunks) totalBytes += chunk.m_size;
  stream.m_sampleSize = ChooseSampleSize(stream, totalBytes);
  // The header given out states the size the positions count in: a writer given the file's own
  // size takes each sample for that many bytes and fills the difference (a 12 KB file stating
  // 17,990-byte samples over 1-byte blocks made the audio copy write 333 MB).
  if (stream.m_info.fccType == streamtypeAUDIO) stream.m_info.dwSampleSize = stream.m_sampleSize;
  stream.m_start = static_cast<int32_t>(std::min<int64_t>(stream.m_info.dwStart, kMaxPosition));
  int64_t samples = 0;
  if (stream.m_sampleSize > 0) {
    stream.m_chunkFirst.reserve(stream.m_chunks.size() + 1);
    for (const SAviChunkRef& chunk : stream.m_chunks) {
      stream.m_chunkFirst.push_back(samples);
      samples += chunk.m_size / stream.m_sampleSize;
    }
    stream.m_chunkFirst.push_back(samples);
  } else {
    samples = static_cast<int64_t>(stream.m_chunks.size());
  }
  // Positions are 32-bit: a stream that would run past the largest one is cut there.
  stream.m_length = static_cast<int32_t>(std::min<int64_t>(samples, kMaxPosition - stream.m_start));
  stream.m_headerLength = stream.m_info.dwLength;
  stream.m_info.dwLength = static_cast<uint32_t>(stream.m_length);
}

}  // namespace

HRESULT BuildChunkTables(SAviFileData& data, const SAviLayout& layout) {
  CTableBuilder builder(data);
  for (const SMoviRange& movi : layout.m_movi) builder.ScanMovi(movi.m_fourcc + 4, movi.m_end);
  builder.ReadIdx1(layout);
  builder.ReadOpenDmlIndexes();
  const HRESULT result = builder.Finish(layout.m_hasIdx1);
  if (result != AVIERR_OK) return result;
  for (SAviStreamData& stream : data.m_streams) FinishStream(stream);
  return AVIERR_OK;
}

const char* IndexKindText(EAviIndexKind kind) {
  switch (kind) {
    case EAviIndexKind::kIdx1Relative:
      return "idx1 (relative offsets)";
    case EAviIndexKind::kIdx1Absolute:
      return "idx1 (absolute offsets)";
    case EAviIndexKind::kOpenDml:
      return "OpenDML";
    case EAviIndexKind::kRebuilt:
      return "rebuilt";
  }
  return "rebuilt";
}

}  // namespace corvane
