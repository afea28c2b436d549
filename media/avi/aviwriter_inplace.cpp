#include "media/avi/aviwriter_inplace.h"

#include <algorithm>
#include <cstring>

#include "media/avi/aviwriter_core.h"
#include "media/avi/riffsource.h"

namespace corvane {
namespace {

constexpr uint32_t kAvifIsInterleaved = 0x00000100;
constexpr size_t kAvihFields = 56;
constexpr size_t kAvihFlags = 12;
constexpr size_t kAvihStreams = 24;
constexpr size_t kAvihSuggestedBuffer = 28;
constexpr uint32_t kIndexEntry = 16;
// New parts a file may get; each takes 16 bytes of the header room per new stream.
constexpr int kMaxNewParts = 16;

// The list type of a LIST chunk, 0 for other chunks.
uint32_t ListType(const CRiffSource& source, const SRiffChunk& chunk) {
  uint8_t type[4];
  if (chunk.m_id != kFccList || chunk.m_size < 4 || !source.ReadAt(chunk.DataOffset(), type, 4))
    return 0;
  return LoadU32(type);
}

void StoreU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Whether a strl list carries an OpenDML index, which readers would prefer to idx1.
bool HasSuperIndex(const CRiffSource& source, const SRiffChunk& strl) {
  for (uint64_t at = strl.DataOffset() + 4; at < strl.DataEnd();) {
    SRiffChunk child;
    if (!ReadChunkHeader(source, at, strl.DataEnd(), child)) return false;
    if (child.m_id == kFccIndx) return true;
    at = child.PaddedEnd();
  }
  return false;
}

}  // namespace

HRESULT CInPlaceAppender::Open(const std::string& path, int existingStreams,
                               const CAviWriterOptions& options) {
  CRiffSource source;
  if (source.Open(path) != AVIERR_OK) return AVIERR_FILEOPEN;
  const uint64_t size = source.Size();
  // RIFF 'AVI ', then any 'AVIX' parts, the last ending the file: no trailing bytes of
  // unknown use.
  SRiffChunk riff;
  int parts = 0;
  for (uint64_t at = 0; at < size; ++parts) {
    SRiffChunk part;
    uint8_t form[4];
    if (!ReadChunkHeader(source, at, size, part) || part.m_id != kFccRiff || part.m_size < 4 ||
        !source.ReadAt(at + 8, form, 4) || LoadU32(form) != (parts == 0 ? kFccAvi : kFccAvix) ||
        part.PaddedEnd() > size) {
      return AVIERR_UNSUPPORTED;
    }
    if (parts == 0) riff = part;
    at = part.PaddedEnd();
  }
  if (parts == 0 || (size & 1)) return AVIERR_UNSUPPORTED;
  m_mode = parts == 1 ? EMode::kOnePart : EMode::kNewParts;

  SRiffChunk hdrl, movi, idx1;
  bool haveHdrl = false, haveMovi = false, haveIdx1 = false;
  for (uint64_t at = 12; at < riff.DataEnd();) {
    SRiffChunk chunk;
    if (!ReadChunkHeader(source, at, riff.DataEnd(), chunk) || chunk.PaddedEnd() > size)
      return AVIERR_UNSUPPORTED;
    if (haveIdx1) return AVIERR_UNSUPPORTED;  // idx1 must be the last chunk
    const uint32_t type = ListType(source, chunk);
    if (type == kFccHdrl && !haveHdrl && !haveMovi) {
      hdrl = chunk;
      haveHdrl = true;
    } else if (type == kFccMovi && !haveMovi) {
      movi = chunk;
      haveMovi = true;
    } else if (chunk.m_id == kFccIdx1 && haveMovi && chunk.m_offset == movi.PaddedEnd()) {
      idx1 = chunk;
      haveIdx1 = true;
    } else if (haveMovi) {
      return AVIERR_UNSUPPORTED;  // something between movi and idx1
    }
    at = chunk.PaddedEnd();
  }
  if (!haveHdrl || !haveMovi) return AVIERR_UNSUPPORTED;
  if (m_mode == EMode::kOnePart &&
      (!haveIdx1 || idx1.PaddedEnd() != size || idx1.m_size % kIndexEntry != 0)) {
    return AVIERR_UNSUPPORTED;
  }

  // The header list: avih, the strl lists, and a JUNK room after the last of them.
  // A file of one part is read through idx1, so its streams must have no OpenDML index
  // (readers would prefer it); the new parts are found through OpenDML indexes, so then
  // every stream must have one (or readers would leave idx1 unread for it).
  int strls = 0, indexed = 0;
  bool haveAvih = false, haveRoom = false;
  for (uint64_t at = hdrl.DataOffset() + 4; at < hdrl.DataEnd();) {
    SRiffChunk chunk;
    if (!ReadChunkHeader(source, at, hdrl.DataEnd(), chunk) || chunk.PaddedEnd() > hdrl.DataEnd())
      return AVIERR_UNSUPPORTED;
    if (chunk.m_id == kFccAvih && chunk.m_size >= kAvihFields && !haveAvih) {
      m_avihData = chunk.DataOffset();
      haveAvih = true;
    } else if (ListType(source, chunk) == kFccStrl) {
      indexed += HasSuperIndex(source, chunk) ? 1 : 0;
      ++strls;
      haveRoom = false;  // a room before a strl would put the new stream out of order
    } else if (chunk.m_id == kFccJunk && strls > 0 && !haveRoom) {
      m_roomOffset = chunk.m_offset;
      m_roomBytes = chunk.PaddedEnd() - chunk.m_offset;
      haveRoom = true;
    }
    at = chunk.PaddedEnd();
  }
  if (!haveAvih || !haveRoom || strls != existingStreams) return AVIERR_UNSUPPORTED;
  if (indexed != (m_mode == EMode::kOnePart ? 0 : strls)) return AVIERR_UNSUPPORTED;

  // Which base the old entries count from: the 'movi' list type, or the start of the file.
  if (m_mode == EMode::kOnePart && idx1.m_size >= kIndexEntry) {
    uint8_t entry[kIndexEntry];
    if (!source.ReadAt(idx1.DataOffset(), entry, sizeof entry)) return AVIERR_UNSUPPORTED;
    const uint32_t ckid = LoadU32(entry);
    const uint64_t offset = LoadU32(entry + 8);
    SRiffChunk target;
    if (ReadChunkHeader(source, movi.m_offset + 8 + offset, size, target) && target.m_id == ckid) {
      m_absoluteOffsets = false;
    } else if (ReadChunkHeader(source, offset, size, target) && target.m_id == ckid) {
      m_absoluteOffsets = true;
    } else {
      return AVIERR_UNSUPPORTED;
    }
  }
  if (m_mode == EMode::kOnePart && size + 8 > options.m_inPlaceLimit) return AVIERR_UNSUPPORTED;

  const HRESULT hr = m_out.OpenExisting(path);
  if (hr != AVIERR_OK) return hr;
  if (m_out.End() != size) {
    m_out.Close();
    return AVIERR_UNSUPPORTED;
  }
  m_existingStreams = existingStreams;
  m_sizeLimit = options.m_inPlaceLimit;
  m_partLimit = options.m_partLimit;
  m_originalSize = size;
  m_moviOffset = movi.m_offset;
  m_idx1Offset = idx1.m_offset;
  m_idx1Size = idx1.m_size;
  return AVIERR_OK;
}

bool CInPlaceAppender::Fits(uint32_t size) const {
  const uint64_t chunk = 8 + uint64_t{size} + (size & 1u);
  if (!IsOpen()) return false;
  if (m_mode == EMode::kNewParts) return !NeedsNewPart(chunk) || m_partsOpened < kMaxNewParts;
  const uint64_t index = 8 + uint64_t{m_idx1Size} + kIndexEntry * (m_entries.size() + 1);
  return m_out.End() + chunk + index <= m_sizeLimit;
}

uint64_t CInPlaceAppender::StandardIndexBytes(size_t extraEntries) const {
  // One ix## chunk per stream in the part: a 32-byte header and 8 bytes an entry.
  return 32 * (m_partCkids.size() + 1) + 8 * (m_entries.size() + extraEntries);
}

bool CInPlaceAppender::NeedsNewPart(uint64_t chunk) const {
  return !m_partOpen || (!m_entries.empty() &&
                         m_out.End() - m_partOffset + chunk + StandardIndexBytes(1) > m_partLimit);
}

HRESULT CInPlaceAppender::OpenPart() {
  CByteBuilder header;
  header.BeginList(kFccAvix, kFccRiff);  // sizes set when the part closes
  header.BeginList(kFccMovi);
  const uint64_t at = m_out.End();
  const HRESULT hr = m_out.Append(header);
  if (hr != AVIERR_OK) return hr;
  m_partOffset = at;
  m_partOpen = true;
  ++m_partsOpened;
  m_entries.clear();
  m_partCkids.clear();
  return AVIERR_OK;
}

HRESULT CInPlaceAppender::ClosePart() {
  if (!m_partOpen) return AVIERR_OK;
  // The standard indexes end the movi list; their entries count from the start of the part.
  CByteBuilder out;
  const uint64_t at = m_out.End();
  std::vector<CSuperEntry> super;
  for (const uint32_t ckid : m_partCkids) {
    CSuperEntry entry{ckid, at + out.Size(), 0, 0, 0};
    const size_t ix = out.BeginChunk(MakeFourCC('i', 'x', static_cast<char>(ckid & 0xFF),
                                                static_cast<char>((ckid >> 8) & 0xFF)));
    const auto count = std::count_if(m_entries.begin(), m_entries.end(),
                                     [ckid](const CNewEntry& e) { return e.m_ckid == ckid; });
    out.U16(2);  // longs per entry
    out.U8(0);   // sub type
    out.U8(1);   // an index of chunks
    out.U32(static_cast<uint32_t>(count));
    out.U32(ckid);
    out.U64(m_partOffset);
    out.U32(0);
    for (const CNewEntry& e : m_entries) {
      if (e.m_ckid != ckid) continue;
      out.U32(static_cast<uint32_t>(e.m_chunkOffset + 8 - m_partOffset));
      // The top bit marks a chunk that is not a key frame.
      out.U32(e.m_size | ((e.m_flags & AVIIF_KEYFRAME) ? 0u : 0x80000000u));
      ++entry.m_chunks;
      entry.m_bytes += e.m_size;
    }
    out.EndChunk(ix);
    entry.m_size = static_cast<uint32_t>(at + out.Size() - entry.m_offset);
    super.push_back(entry);
  }
  HRESULT hr = m_out.Append(out);
  uint8_t field[4];
  StoreU32(field, static_cast<uint32_t>(m_out.End() - m_partOffset - 20));
  if (hr == AVIERR_OK) hr = m_out.WriteAt(m_partOffset + 16, field, 4);  // movi
  StoreU32(field, static_cast<uint32_t>(m_out.End() - m_partOffset - 8));
  if (hr == AVIERR_OK) hr = m_out.WriteAt(m_partOffset + 4, field, 4);  // RIFF
  if (hr != AVIERR_OK) return hr;
  m_super.insert(m_super.end(), super.begin(), super.end());
  m_partOpen = false;
  m_entries.clear();
  m_partCkids.clear();
  return AVIERR_OK;
}

HRESULT CInPlaceAppender::AppendChunk(uint32_t ckid, const void* data, uint32_t size,
                                      uint32_t flags, uint64_t& dataOffset) {
  if (!Fits(size)) return AVIERR_FILEWRITE;
  if (m_mode == EMode::kNewParts && NeedsNewPart(8 + uint64_t{size} + (size & 1u))) {
    HRESULT hr = ClosePart();
    if (hr == AVIERR_OK) hr = OpenPart();
    if (hr != AVIERR_OK) return hr;
  }
  uint8_t header[8];
  StoreU32(header, ckid);
  StoreU32(header + 4, size);
  uint8_t pad = 0;
  const iovec parts[3] = {{header, sizeof header},
                          {const_cast<void*>(data), size},
                          {&pad, static_cast<size_t>(size & 1u)}};
  const uint64_t at = m_out.End();
  m_entries.reserve(m_entries.size() + 1);
  m_partCkids.reserve(m_partCkids.size() + 1);
  const HRESULT hr = m_out.Append(parts, 3);
  if (hr != AVIERR_OK) return hr;
  m_entries.push_back({ckid, flags, at, size});
  if (m_mode == EMode::kNewParts &&
      std::find(m_partCkids.begin(), m_partCkids.end(), ckid) == m_partCkids.end()) {
    m_partCkids.push_back(ckid);
  }
  dataOffset = at + 8;
  return AVIERR_OK;
}

void CInPlaceAppender::BuildStreamLists(const std::vector<CInPlaceStream>& streams,
                                        CByteBuilder& out) const {
  for (size_t i = 0; i < streams.size(); ++i) {
    const CInPlaceStream& stream = streams[i];
    const size_t strl = out.BeginList(kFccStrl);
    const size_t strh = out.BeginChunk(kFccStrh);
    BuildStreamHeader(stream.m_info, stream.m_length, stream.m_maxChunk, out);
    out.EndChunk(strh);
    const size_t strf = out.BeginChunk(kFccStrf);
    out.Bytes(stream.m_format.data(), stream.m_format.size());
    out.EndChunk(strf);
    const size_t nameLength = strnlen(stream.m_info.szName, sizeof stream.m_info.szName);
    if (nameLength > 0 && nameLength < sizeof stream.m_info.szName) {
      const size_t strn = out.BeginChunk(kFccStrn);
      out.Bytes(stream.m_info.szName, nameLength + 1);
      out.EndChunk(strn);
    }
    if (m_mode == EMode::kNewParts) BuildSuperIndex(stream, static_cast<int>(i), out);
    out.EndChunk(strl);
  }
}

void CInPlaceAppender::BuildSuperIndex(const CInPlaceStream& stream, int index,
                                       CByteBuilder& out) const {
  const uint32_t ckid = StreamChunkId(m_existingStreams + index, stream.m_info, stream.m_format);
  std::vector<CSuperEntry> entries;
  for (const CSuperEntry& entry : m_super)
    if (entry.m_ckid == ckid) entries.push_back(entry);
  // A part still open gets its entry at completion: count it already.
  if (m_partOpen && std::find(m_partCkids.begin(), m_partCkids.end(), ckid) != m_partCkids.end())
    entries.push_back({ckid, 0, 0, 0, 0});
  const uint32_t sampleSize =
      stream.m_info.fccType == streamtypeVIDEO ? 0 : stream.m_info.dwSampleSize;
  const size_t indx = out.BeginChunk(kFccIndx);
  out.U16(4);  // longs per entry
  out.U8(0);   // sub type
  out.U8(0);   // an index of indexes
  out.U32(static_cast<uint32_t>(entries.size()));
  out.U32(ckid);
  out.Zeros(12);
  for (const CSuperEntry& entry : entries) {
    out.U64(entry.m_offset);
    out.U32(entry.m_size);
    const uint64_t duration = sampleSize ? entry.m_bytes / sampleSize : entry.m_chunks;
    out.U32(static_cast<uint32_t>(std::min<uint64_t>(duration, UINT32_MAX)));
  }
  out.EndChunk(indx);
}

bool CInPlaceAppender::RoomFor(const std::vector<CInPlaceStream>& streams) const {
  CByteBuilder lists;
  BuildStreamLists(streams, lists);
  // The room is either filled exactly or keeps a smaller JUNK chunk (8 bytes at least).
  return lists.Size() == m_roomBytes || lists.Size() + 8 <= m_roomBytes;
}

HRESULT CInPlaceAppender::Patch(uint64_t offset, const void* data, size_t size) {
  CPatch patch{offset, std::vector<uint8_t>(size)};
  if (!ReadFullyAt(m_out.Descriptor(), offset, patch.m_before.data(), size)) return AVIERR_FILEREAD;
  m_patches.push_back(std::move(patch));
  return m_out.WriteAt(offset, data, size);
}

HRESULT CInPlaceAppender::Undo() {
  HRESULT result = AVIERR_OK;
  for (auto patch = m_patches.rbegin(); patch != m_patches.rend(); ++patch) {
    const HRESULT hr =
        m_out.WriteAt(patch->m_offset, patch->m_before.data(), patch->m_before.size());
    if (hr != AVIERR_OK) result = hr;
  }
  m_patches.clear();
  return result;
}

HRESULT CInPlaceAppender::Complete(const std::vector<CInPlaceStream>& streams) {
  if (!IsOpen()) return AVIERR_BADHANDLE;
  if (!RoomFor(streams)) return AVIERR_UNSUPPORTED;
  const auto fail = [&](HRESULT hr) {
    Abandon();
    return hr;
  };

  HRESULT hr = AVIERR_OK;
  uint64_t indexAt = 0;
  if (m_mode == EMode::kNewParts) {
    // The last new part gets its indexes; the streams' super indexes list every new part.
    hr = ClosePart();
    if (hr != AVIERR_OK) return fail(hr);
  } else {
    // The new idx1 goes after everything appended, where no reader looks yet.
    CByteBuilder index;
    const size_t idx1 = index.BeginChunk(kFccIdx1);
    std::vector<uint8_t> old(m_idx1Size);
    if (!ReadFullyAt(m_out.Descriptor(), m_idx1Offset + 8, old.data(), old.size()))
      return fail(AVIERR_FILEREAD);
    index.Bytes(old.data(), old.size());
    const uint64_t base = m_absoluteOffsets ? 0 : m_moviOffset + 8;
    for (const CNewEntry& entry : m_entries) {
      index.U32(entry.m_ckid);
      index.U32(entry.m_flags);
      index.U32(static_cast<uint32_t>(entry.m_chunkOffset - base));
      index.U32(entry.m_size);
    }
    index.EndChunk(idx1);
    indexAt = m_out.End();
    if (indexAt + index.Size() > m_sizeLimit) return fail(AVIERR_FILEWRITE);
    hr = m_out.Append(index);
    if (hr != AVIERR_OK) return fail(hr);
  }

  // The strl lists take the room; what is left of it stays JUNK.
  CByteBuilder lists;
  BuildStreamLists(streams, lists);
  if (lists.Size() > m_roomBytes) return fail(AVIERR_UNSUPPORTED);
  const uint64_t left = m_roomBytes - lists.Size();
  if (left >= 8) {
    lists.U32(kFccJunk);
    lists.U32(static_cast<uint32_t>(left - 8));
  }
  hr = Patch(m_roomOffset, lists.Data(), lists.Size());

  // avih: more streams, no longer interleaved, a buffer for the largest new chunk.
  uint8_t avih[kAvihFields];
  if (hr == AVIERR_OK && !ReadFullyAt(m_out.Descriptor(), m_avihData, avih, sizeof avih))
    hr = AVIERR_FILEREAD;
  if (hr == AVIERR_OK) {
    uint32_t suggested = LoadU32(avih + kAvihSuggestedBuffer);
    for (const CInPlaceStream& stream : streams) suggested = std::max(suggested, stream.m_maxChunk);
    StoreU32(avih + kAvihFlags, LoadU32(avih + kAvihFlags) & ~kAvifIsInterleaved);
    StoreU32(avih + kAvihStreams,
             LoadU32(avih + kAvihStreams) + static_cast<uint32_t>(streams.size()));
    StoreU32(avih + kAvihSuggestedBuffer, suggested);
    hr = Patch(m_avihData, avih, sizeof avih);
  }

  // The old idx1 becomes JUNK inside the movi list, which now reaches the new index.
  uint8_t field[4];
  if (hr == AVIERR_OK && m_mode == EMode::kOnePart) {
    StoreU32(field, kFccJunk);
    hr = Patch(m_idx1Offset, field, 4);
  }
  if (hr == AVIERR_OK && m_mode == EMode::kOnePart) {
    StoreU32(field, static_cast<uint32_t>(indexAt - m_moviOffset - 8));
    hr = Patch(m_moviOffset + 4, field, 4);
  }
  if (hr == AVIERR_OK && m_mode == EMode::kOnePart) {
    StoreU32(field, static_cast<uint32_t>(m_out.End() - 8));
    hr = Patch(4, field, 4);
  }
  if (hr != AVIERR_OK) return fail(hr);
  m_patches.clear();
  return m_out.Close();
}

HRESULT CInPlaceAppender::Abandon() {
  if (!IsOpen()) return AVIERR_OK;
  HRESULT hr = Undo();
  const HRESULT cut = m_out.Truncate(m_originalSize);
  if (hr == AVIERR_OK) hr = cut;
  const HRESULT closed = m_out.Close();
  m_entries.clear();
  m_partCkids.clear();
  m_super.clear();
  m_partOpen = false;
  return hr != AVIERR_OK ? hr : closed;
}

}  // namespace corvane
