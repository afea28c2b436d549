// The AVI writer's RIFF parts and indexes: closing a part, starting the next, completion.
#include <algorithm>

#include "media/avi/aviwriter_core.h"

namespace corvane {
namespace {

constexpr uint32_t kRiff = MakeFourCC('R', 'I', 'F', 'F');

}  // namespace

void CAviWriterCore::BuildStandardIndexes(uint64_t at, CByteBuilder& out,
                                          std::vector<std::vector<CSuperEntry>>& super) const {
  super.assign(m_streams.size(), {});
  for (int i = 0; i < StreamCount(); ++i) {
    const CStream& stream = m_streams[i];
    // Palette changes are no samples: idx1 lists them, the standard index does not.
    const auto count = std::count_if(m_entries.begin(), m_entries.end(), [i](const CEntry& e) {
      return e.m_stream == i && !e.m_palette;
    });
    if (count == 0) continue;
    const uint64_t chunkStart = at + out.Size();
    const size_t chunk = out.BeginChunk(
        MakeFourCC('i', 'x', static_cast<char>('0' + i / 10), static_cast<char>('0' + i % 10)));
    out.U16(2);  // longs per entry
    out.U8(0);   // sub type
    out.U8(1);   // an index of chunks
    out.U32(static_cast<uint32_t>(count));
    out.U32(stream.m_ckid);
    out.U64(m_riffOffset);  // entries count from the start of the part
    out.U32(0);
    for (const CEntry& entry : m_entries) {
      if (entry.m_stream != i || entry.m_palette) continue;
      out.U32(static_cast<uint32_t>(entry.m_offset - m_riffOffset));
      // The top bit marks a chunk that is not a key frame.
      out.U32(entry.m_size | ((entry.m_flags & AVIIF_KEYFRAME) ? 0u : 0x80000000u));
    }
    out.EndChunk(chunk);
    const int64_t duration = stream.m_clock.Length() - stream.m_partStart.Length();
    super[i].push_back({chunkStart, static_cast<uint32_t>(at + out.Size() - chunkStart),
                        static_cast<uint32_t>(std::max<int64_t>(0, duration))});
  }
}

void CAviWriterCore::BuildLegacyIndex(CByteBuilder& out) const {
  const size_t chunk = out.BeginChunk(MakeFourCC('i', 'd', 'x', '1'));
  // Offsets point at the chunk header and count from the 'movi' list type.
  const uint64_t base = m_moviOffset + 8;
  for (const CEntry& entry : m_entries) {
    const uint32_t ckid = m_streams[entry.m_stream].m_ckid;
    out.U32(entry.m_palette ? PaletteChunkId(ckid) : ckid);
    out.U32(entry.m_flags);
    out.U32(static_cast<uint32_t>(entry.m_offset - 8 - base));
    out.U32(entry.m_size);
  }
  out.EndChunk(chunk);
}

void CAviWriterCore::KeepSuperEntries(const std::vector<std::vector<CSuperEntry>>& super) {
  for (size_t i = 0; i < m_streams.size() && i < super.size(); ++i) {
    CStream& stream = m_streams[i];
    for (const CSuperEntry& entry : super[i])
      if (stream.m_super.size() < m_options.m_superIndexEntries) stream.m_super.push_back(entry);
    stream.m_partStart = stream.m_clock;
  }
}

void CAviWriterCore::PatchU32(uint64_t offset, uint32_t value) {
  CByteBuilder bytes;
  bytes.U32(value);
  const HRESULT hr = m_out.WriteAt(offset, bytes.Data(), bytes.Size());
  if (hr != AVIERR_OK) Fail(hr);
}

void CAviWriterCore::PatchPartSizes(uint64_t moviEnd, uint64_t partEnd) {
  PatchU32(m_moviOffset + 4, static_cast<uint32_t>(moviEnd - m_moviOffset - 8));
  PatchU32(m_riffOffset + 4, static_cast<uint32_t>(partEnd - m_riffOffset - 8));
}

HRESULT CAviWriterCore::StartNextPart() {
  // Everything that closes this part and opens the next goes out as one piece, so a
  // refused write leaves the part open and intact.
  const uint64_t at = m_out.End();
  CByteBuilder out;
  std::vector<std::vector<CSuperEntry>> super;
  BuildStandardIndexes(at, out, super);
  const uint64_t moviEnd = at + out.Size();
  const bool first = m_partCount == 1;
  if (first) BuildLegacyIndex(out);
  const uint64_t partEnd = at + out.Size();
  out.BeginList(MakeFourCC('A', 'V', 'I', 'X'), kRiff);
  out.BeginList(MakeFourCC('m', 'o', 'v', 'i'));
  const HRESULT hr = m_out.Append(out);
  if (hr != AVIERR_OK) return hr;
  PatchPartSizes(moviEnd, partEnd);
  if (first) {
    const int video = FirstVideo();
    m_firstPartFrames = video < 0 ? 0 : static_cast<uint64_t>(m_streams[video].m_clock.Length());
  }
  KeepSuperEntries(super);
  m_riffOffset = partEnd;
  m_moviOffset = partEnd + 12;
  m_entries.clear();
  ++m_partCount;
  return AVIERR_OK;
}

void CAviWriterCore::PatchHeaders(bool indexed) {
  CByteBuilder avih;
  BuildAvih(indexed, avih);
  HRESULT hr = m_out.WriteAt(m_avihOffset, avih.Data(), avih.Size());
  for (const CStream& stream : m_streams) {
    CByteBuilder strh;
    BuildStrh(stream, strh);
    if (hr == AVIERR_OK) hr = m_out.WriteAt(stream.m_strhOffset, strh.Data(), strh.Size());
    if (hr == AVIERR_OK && m_partCount > 1) {
      CByteBuilder indx;
      BuildSuperIndex(stream, indx);
      hr = m_out.WriteAt(stream.m_indxOffset, indx.Data(), indx.Size());
    }
  }
  if (hr != AVIERR_OK) Fail(hr);
  const int video = FirstVideo();
  PatchU32(m_dmlhOffset, video < 0 ? 0u
                                   : static_cast<uint32_t>(std::min<int64_t>(
                                         m_streams[video].m_clock.Length(), 0xFFFFFFFF)));
}

HRESULT CAviWriterCore::Finish() {
  if (m_finished) return m_result;
  m_finished = true;
  if (!m_out.IsOpen()) return m_result;
  if (!m_headersWritten) {
    const HRESULT hr = WriteHeaders();
    if (hr != AVIERR_OK) {
      Fail(hr);
      m_out.Close();
      return m_result;
    }
  }
  const uint64_t at = m_out.End();
  const bool multiPart = m_partCount > 1;
  CByteBuilder out;
  std::vector<std::vector<CSuperEntry>> super;
  if (multiPart) BuildStandardIndexes(at, out, super);
  uint64_t moviEnd = at + out.Size();
  if (!multiPart) BuildLegacyIndex(out);
  uint64_t partEnd = at + out.Size();
  const HRESULT hr = m_out.Append(out);
  // Without room for the index the file still closes: readers then rebuild the index
  // by scanning, as they do for a recording that was cut short.
  const bool indexed = hr == AVIERR_OK || multiPart;
  if (hr != AVIERR_OK) {
    Fail(hr);
    moviEnd = partEnd = at;
  } else {
    KeepSuperEntries(super);
  }
  PatchPartSizes(moviEnd, partEnd);
  PatchHeaders(indexed);
  const HRESULT closed = m_out.Close();
  if (closed != AVIERR_OK) Fail(closed);
  return m_result;
}

}  // namespace corvane
