#include "media/avi/aviwriter_core.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace corvane {
namespace {

constexpr uint32_t kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t kJunk = MakeFourCC('J', 'U', 'N', 'K');
constexpr uint32_t kAvifHasIndex = 0x00000010;
constexpr uint32_t kAvifIsInterleaved = 0x00000100;
constexpr size_t kDmlhSize = 248;
constexpr size_t kSuperIndexHeader = 24;
// An audio strl (strh, a WAVEFORMATEX with its extra bytes, strn) takes 100 to 300 bytes.
constexpr size_t kAddedStreamRoom = 1024;
// A RIFF part's size field is 32 bits, and so are the offsets of its indexes.
constexpr uint64_t kPartHardLimit = 0xFFFFFFF0ull;
// Gaps larger than these are taken for a caller's mistake, not for a pause in the stream.
constexpr uint64_t kMaxGapChunks = uint64_t{1} << 20;
constexpr uint64_t kMaxGapBytes = uint64_t{256} << 20;
constexpr uint32_t kFillPiece = 1u << 20;
constexpr int kMaxStreams = 100;  // chunk ids carry two decimal digits
constexpr int32_t kMaxFormatSize = 1 << 20;

uint32_t ClampU32(uint64_t value) {
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

int16_t ClampI16(int32_t value) {
  return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

bool IsVideo(const AVISTREAMINFOA& info) {
  return info.fccType == streamtypeVIDEO;
}

// Silence for the filler of an audio gap: 8-bit PCM is centred on 0x80.
uint8_t FillByte(const AVISTREAMINFOA& info, const std::vector<uint8_t>& format) {
  if (info.fccType != streamtypeAUDIO || format.size() < 16) return 0;
  const bool pcm = LoadU16(format.data()) == 1;
  return pcm && LoadU16(format.data() + 14) == 8 ? 0x80 : 0;
}

}  // namespace

uint32_t PaletteChunkId(uint32_t sampleChunkId) {
  return (sampleChunkId & 0xFFFFu) | uint32_t{'p'} << 16 | uint32_t{'c'} << 24;
}

uint32_t StreamChunkId(int index, const AVISTREAMINFOA& info, const std::vector<uint8_t>& format) {
  char code[2] = {'d', 'c'};
  if (info.fccType == streamtypeAUDIO) {
    code[0] = 'w', code[1] = 'b';
  } else if (info.fccType == streamtypeTEXT) {
    code[0] = 't', code[1] = 'x';
  } else if (IsVideo(info) && format.size() >= 20 && LoadU32(format.data() + 16) == BI_RGB) {
    code[1] = 'b';  // uncompressed frames
  }
  return MakeFourCC(static_cast<char>('0' + index / 10), static_cast<char>('0' + index % 10),
                    code[0], code[1]);
}

void BuildStreamHeader(const AVISTREAMINFOA& info, uint64_t length, uint32_t maxChunk,
                       CByteBuilder& out) {
  out.U32(info.fccType);
  out.U32(info.fccHandler);
  out.U32(info.dwFlags);
  out.U16(info.wPriority);
  out.U16(info.wLanguage);
  out.U32(info.dwInitialFrames);
  out.U32(info.dwScale);
  out.U32(info.dwRate);
  out.U32(info.dwStart);
  out.U32(ClampU32(length));
  out.U32(maxChunk ? maxChunk : info.dwSuggestedBufferSize);
  out.U32(info.dwQuality);
  out.U32(info.dwSampleSize);
  out.U16(static_cast<uint16_t>(ClampI16(info.rcFrame.left)));
  out.U16(static_cast<uint16_t>(ClampI16(info.rcFrame.top)));
  out.U16(static_cast<uint16_t>(ClampI16(info.rcFrame.right)));
  out.U16(static_cast<uint16_t>(ClampI16(info.rcFrame.bottom)));
}

int64_t CStreamClock::Length() const {
  if (m_sampleSize > 0) return static_cast<int64_t>(m_bytes / m_sampleSize);
  return static_cast<int64_t>(m_chunks);
}

HRESULT CStreamClock::Plan(int64_t position, int32_t samples, int32_t size, CStreamGap& gap) const {
  gap = {};
  if (samples < 0 || size < 0) return AVIERR_BADPARAM;
  if (m_sampleSize == 0 && samples > 1) return AVIERR_BADPARAM;
  const int64_t end = End();
  if (position < end) return AVIERR_BADPARAM;
  if (m_sampleSize == 0) {
    gap.m_chunks = static_cast<uint64_t>(position - end);
  } else {
    const uint64_t wanted = static_cast<uint64_t>(position - m_start) * m_sampleSize;
    if (wanted > m_bytes) gap.m_bytes = wanted - m_bytes;
  }
  if (gap.m_chunks > kMaxGapChunks || gap.m_bytes > kMaxGapBytes) return AVIERR_BADPARAM;
  return AVIERR_OK;
}

void CStreamClock::Advance(const CStreamGap& gap, int32_t size) {
  if (m_sampleSize == 0) {
    m_chunks += gap.m_chunks + 1;
  } else {
    m_bytes += gap.m_bytes;
    m_chunks += size > 0 ? 1 : 0;
  }
  m_bytes += static_cast<uint64_t>(std::max(0, size));
}

CStreamClock CStreamClock::For(const AVISTREAMINFOA& info) {
  CStreamClock clock;
  clock.m_start = info.dwStart;
  clock.m_sampleSize = IsVideo(info) ? 0 : info.dwSampleSize;
  return clock;
}

CAviWriterCore::CAviWriterCore(const CAviWriterOptions& options) : m_options(options) {
  m_options.m_superIndexEntries = std::max<uint32_t>(1, m_options.m_superIndexEntries);
}

CAviWriterCore::~CAviWriterCore() {
  try {
    Finish();
  } catch (...) {
    // Completion failed for lack of memory; the file keeps what reached the disk.
  }
}

HRESULT CAviWriterCore::Create(const std::string& path) {
  return m_out.Create(path);
}

void CAviWriterCore::Fail(HRESULT hr) {
  if (m_result == AVIERR_OK) m_result = hr;
}

HRESULT CAviWriterCore::AddStream(const AVISTREAMINFOA& info, int& index) {
  if (m_finished || m_headersWritten) return AVIERR_UNSUPPORTED;
  if (StreamCount() >= kMaxStreams) return AVIERR_UNSUPPORTED;
  CStream stream;
  stream.m_info = info;
  stream.m_info.szName[sizeof stream.m_info.szName - 1] = 0;
  stream.m_clock = CStreamClock::For(info);
  stream.m_partStart = stream.m_clock;
  m_streams.push_back(std::move(stream));
  index = StreamCount() - 1;
  return AVIERR_OK;
}

HRESULT CAviWriterCore::SetFormat(int index, const void* format, int32_t size) {
  if (size < 0 || size > kMaxFormatSize || (size > 0 && !format)) return AVIERR_BADPARAM;
  CStream& stream = m_streams[index];
  const auto* bytes = static_cast<const uint8_t*>(format);
  if (m_finished || m_headersWritten) {
    // The headers are on disk: only the format already there is accepted again.
    const bool same = stream.m_format.size() == static_cast<size_t>(size) &&
                      (size == 0 || std::memcmp(stream.m_format.data(), bytes, size) == 0);
    return same ? AVIERR_OK : AVIERR_UNSUPPORTED;
  }
  stream.m_format.assign(bytes, bytes + size);
  return AVIERR_OK;
}

HRESULT CAviWriterCore::SetHandler(int index, uint32_t fccHandler) {
  if (m_finished) return AVIERR_UNSUPPORTED;
  m_streams[index].m_info.fccHandler = fccHandler;
  return AVIERR_OK;
}

void CAviWriterCore::StreamInfo(int index, AVISTREAMINFOA& info) const {
  const CStream& stream = m_streams[index];
  info = stream.m_info;
  info.dwLength = ClampU32(static_cast<uint64_t>(stream.m_clock.Length()));
  info.dwSuggestedBufferSize = std::max(stream.m_maxChunk, stream.m_info.dwSuggestedBufferSize);
}

int CAviWriterCore::FirstVideo() const {
  for (int i = 0; i < StreamCount(); ++i)
    if (IsVideo(m_streams[i].m_info)) return i;
  return -1;
}

uint32_t CAviWriterCore::ChunkId(int index) const {
  return StreamChunkId(index, m_streams[index].m_info, m_streams[index].m_format);
}

void CAviWriterCore::FileInfo(AVIFILEINFOW& info) const {
  info = {};
  uint64_t bytesPerSec = 0;
  for (const CStream& stream : m_streams) {
    info.dwSuggestedBufferSize = std::max(info.dwSuggestedBufferSize, stream.m_maxChunk);
    const double seconds = stream.m_info.dwRate ? static_cast<double>(stream.m_clock.Length()) *
                                                      stream.m_info.dwScale / stream.m_info.dwRate
                                                : 0.0;
    if (seconds > 0)
      bytesPerSec +=
          static_cast<uint64_t>(std::min(std::ceil(stream.m_clock.m_bytes / seconds), 4e9));
  }
  info.dwMaxBytesPerSec = ClampU32(bytesPerSec);
  info.dwFlags = kAvifHasIndex | kAvifIsInterleaved;
  info.dwStreams = static_cast<uint32_t>(StreamCount());
  const int video = FirstVideo();
  const int lead = video >= 0 ? video : (StreamCount() > 0 ? 0 : -1);
  if (lead >= 0) {
    const CStream& stream = m_streams[lead];
    info.dwScale = stream.m_info.dwScale;
    info.dwRate = stream.m_info.dwRate;
    info.dwLength = ClampU32(static_cast<uint64_t>(stream.m_clock.Length()));
  }
  if (video >= 0) {
    const CStream& stream = m_streams[video];
    if (stream.m_format.size() >= 12) {
      info.dwWidth = ClampU32(
          static_cast<uint64_t>(std::llabs(static_cast<int32_t>(LoadU32(&stream.m_format[4])))));
      info.dwHeight = ClampU32(
          static_cast<uint64_t>(std::llabs(static_cast<int32_t>(LoadU32(&stream.m_format[8])))));
    } else {
      const RECT& frame = stream.m_info.rcFrame;
      info.dwWidth =
          ClampU32(static_cast<uint64_t>(std::max<int64_t>(0, int64_t{frame.right} - frame.left)));
      info.dwHeight =
          ClampU32(static_cast<uint64_t>(std::max<int64_t>(0, int64_t{frame.bottom} - frame.top)));
    }
  }
  const char16_t type[] = u"AVI file";
  std::copy(std::begin(type), std::end(type), info.szFileType);
}

void CAviWriterCore::BuildAvih(bool indexed, CByteBuilder& out) const {
  AVIFILEINFOW totals;
  FileInfo(totals);
  const int video = FirstVideo();
  uint32_t usPerFrame = 0;
  uint64_t frames = 0;
  if (video >= 0) {
    const AVISTREAMINFOA& info = m_streams[video].m_info;
    if (info.dwRate)
      usPerFrame = ClampU32(static_cast<uint64_t>(
          std::llround(1e6 * static_cast<double>(info.dwScale) / info.dwRate)));
    frames = m_partCount > 1 ? m_firstPartFrames
                             : static_cast<uint64_t>(m_streams[video].m_clock.Length());
  }
  out.U32(usPerFrame);
  out.U32(totals.dwMaxBytesPerSec);
  out.U32(0);  // padding granularity
  out.U32((indexed ? kAvifHasIndex : 0) | kAvifIsInterleaved);
  out.U32(ClampU32(frames));
  out.U32(0);  // initial frames
  out.U32(totals.dwStreams);
  out.U32(totals.dwSuggestedBufferSize);
  out.U32(totals.dwWidth);
  out.U32(totals.dwHeight);
  out.Zeros(16);
}

void CAviWriterCore::BuildStrh(const CStream& stream, CByteBuilder& out) const {
  BuildStreamHeader(stream.m_info, static_cast<uint64_t>(stream.m_clock.Length()),
                    stream.m_maxChunk, out);
}

void CAviWriterCore::BuildSuperIndex(const CStream& stream, CByteBuilder& out) const {
  const size_t chunk = out.BeginChunk(MakeFourCC('i', 'n', 'd', 'x'));
  out.U16(4);  // longs per entry
  out.U8(0);   // sub type
  out.U8(0);   // an index of indexes
  out.U32(static_cast<uint32_t>(stream.m_super.size()));
  out.U32(stream.m_ckid);
  out.Zeros(12);
  for (const CSuperEntry& entry : stream.m_super) {
    out.U64(entry.m_offset);
    out.U32(entry.m_size);
    out.U32(entry.m_duration);
  }
  out.Zeros((m_options.m_superIndexEntries - stream.m_super.size()) * 16);
  out.EndChunk(chunk);
}

HRESULT CAviWriterCore::WriteHeaders() {
  CByteBuilder out;
  out.BeginList(MakeFourCC('A', 'V', 'I', ' '), kRiff);  // size set at completion
  const size_t hdrl = out.BeginList(MakeFourCC('h', 'd', 'r', 'l'));
  const size_t avih = out.BeginChunk(MakeFourCC('a', 'v', 'i', 'h'));
  m_avihOffset = out.Size();
  BuildAvih(true, out);
  out.EndChunk(avih);
  for (int i = 0; i < StreamCount(); ++i) {
    CStream& stream = m_streams[i];
    stream.m_ckid = ChunkId(i);
    const size_t strl = out.BeginList(MakeFourCC('s', 't', 'r', 'l'));
    const size_t strh = out.BeginChunk(MakeFourCC('s', 't', 'r', 'h'));
    stream.m_strhOffset = out.Size();
    BuildStrh(stream, out);
    out.EndChunk(strh);
    const size_t strf = out.BeginChunk(MakeFourCC('s', 't', 'r', 'f'));
    out.Bytes(stream.m_format.data(), stream.m_format.size());
    out.EndChunk(strf);
    if (stream.m_info.szName[0]) {
      const size_t strn = out.BeginChunk(MakeFourCC('s', 't', 'r', 'n'));
      out.Bytes(stream.m_info.szName, std::strlen(stream.m_info.szName) + 1);
      out.EndChunk(strn);
    }
    // Room for the super index, in case the file grows past one RIFF part.
    stream.m_indxOffset = out.Size();
    const size_t junk = out.BeginChunk(kJunk);
    out.Zeros(kSuperIndexHeader + size_t{16} * m_options.m_superIndexEntries);
    out.EndChunk(junk);
    out.EndChunk(strl);
  }
  // Room for a stream added later by reopening the file, so that it goes in place.
  const size_t room = out.BeginChunk(kJunk);
  out.Zeros(kAddedStreamRoom);
  out.EndChunk(room);
  const size_t odml = out.BeginList(MakeFourCC('o', 'd', 'm', 'l'));
  const size_t dmlh = out.BeginChunk(MakeFourCC('d', 'm', 'l', 'h'));
  m_dmlhOffset = out.Size();
  out.Zeros(kDmlhSize);
  out.EndChunk(dmlh);
  out.EndChunk(odml);
  out.EndChunk(hdrl);
  m_moviOffset = out.Size();
  out.BeginList(MakeFourCC('m', 'o', 'v', 'i'));  // size set when the part closes
  const HRESULT hr = m_out.Append(out);
  if (hr != AVIERR_OK) return hr;
  m_headersWritten = true;
  m_riffOffset = 0;
  m_partCount = 1;
  return AVIERR_OK;
}

bool CAviWriterCore::FitsInPart(uint64_t need) const {
  const uint64_t entries = m_entries.size() + 1;
  uint64_t indexes = m_streams.size() * 32 + 8 * entries;
  if (m_partCount == 1) indexes += 8 + 16 * entries;
  return (m_out.End() - m_riffOffset) + need + indexes <= kPartHardLimit;
}

HRESULT CAviWriterCore::AppendChunk(int index, const void* data, uint32_t size, uint32_t flags,
                                    bool palette) {
  const uint64_t need = 8 + uint64_t{size} + (size & 1);
  if (!m_entries.empty() && m_partCount < m_options.m_superIndexEntries &&
      m_out.End() - m_riffOffset + need > m_options.m_partLimit) {
    const HRESULT hr = StartNextPart();
    if (hr != AVIERR_OK) return hr;
  }
  // With every part the super index can list in use, the last part grows up to what its
  // size field can describe; past that the file refuses more samples but stays valid.
  if (!FitsInPart(need)) return AVIERR_FILEWRITE;
  CStream& stream = m_streams[index];
  CByteBuilder header;
  header.U32(palette ? PaletteChunkId(stream.m_ckid) : stream.m_ckid);
  header.U32(size);
  static const uint8_t pad = 0;
  const iovec parts[3] = {{const_cast<uint8_t*>(header.Data()), header.Size()},
                          {const_cast<void*>(data), size},
                          {const_cast<uint8_t*>(&pad), size & 1u}};
  const uint64_t at = m_out.End();
  m_entries.reserve(m_entries.size() + 1);
  const HRESULT hr = m_out.Append(parts, 3);
  if (hr != AVIERR_OK) return hr;
  m_entries.push_back({at + 8, size, static_cast<uint16_t>(index),
                       static_cast<uint16_t>(flags & (AVIIF_KEYFRAME | AVIIF_NOTIME)), palette});
  if (palette) return AVIERR_OK;  // no sample: the stream's clock stays
  stream.m_clock.m_chunks += 1;
  stream.m_clock.m_bytes += size;
  stream.m_maxChunk = std::max(stream.m_maxChunk, size);
  return AVIERR_OK;
}

HRESULT CAviWriterCore::WriteFiller(int index, const CStreamGap& gap) {
  CStream& stream = m_streams[index];
  for (uint64_t i = 0; i < gap.m_chunks; ++i) {
    // An empty video chunk repeats the previous picture; before any picture it is a start.
    const bool key = !IsVideo(stream.m_info) || stream.m_clock.m_chunks == 0;
    const HRESULT hr = AppendChunk(index, nullptr, 0, key ? AVIIF_KEYFRAME : 0);
    if (hr != AVIERR_OK) return hr;
  }
  if (gap.m_bytes == 0) return AVIERR_OK;
  const uint32_t sampleSize = std::max<uint32_t>(1, stream.m_clock.m_sampleSize);
  const uint32_t piece = std::max(sampleSize, kFillPiece / sampleSize * sampleSize);
  std::vector<uint8_t> fill(std::min<uint64_t>(piece, gap.m_bytes),
                            FillByte(stream.m_info, stream.m_format));
  for (uint64_t left = gap.m_bytes; left > 0;) {
    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(fill.size(), left));
    const HRESULT hr = AppendChunk(index, fill.data(), size, AVIIF_KEYFRAME);
    if (hr != AVIERR_OK) return hr;
    left -= size;
  }
  return AVIERR_OK;
}

HRESULT CAviWriterCore::WritePaletteChange(int index, const void* data, int32_t size) {
  if (m_finished || !m_out.IsOpen()) return AVIERR_BADHANDLE;
  if (index < 0 || index >= StreamCount()) return AVIERR_BADHANDLE;
  if (size < 4 || !data) return AVIERR_BADPARAM;
  HRESULT hr = m_headersWritten ? AVIERR_OK : WriteHeaders();
  if (hr == AVIERR_OK)
    hr = AppendChunk(index, data, static_cast<uint32_t>(size), AVIIF_NOTIME, true);
  if (hr != AVIERR_OK) Fail(hr);
  return hr;
}

HRESULT CAviWriterCore::Write(int index, int32_t start, int32_t samples, const void* data,
                              int32_t size, uint32_t flags, int32_t* samplesWritten,
                              int32_t* bytesWritten) {
  if (samplesWritten) *samplesWritten = 0;
  if (bytesWritten) *bytesWritten = 0;
  if (m_finished || !m_out.IsOpen()) return AVIERR_BADHANDLE;
  if (index < 0 || index >= StreamCount()) return AVIERR_BADHANDLE;
  if (size > 0 && !data) return AVIERR_BADPARAM;
  CStream& stream = m_streams[index];
  CStreamGap gap;
  HRESULT hr = stream.m_clock.Plan(start, samples, size, gap);
  if (hr != AVIERR_OK) return hr;
  if (!m_headersWritten) hr = WriteHeaders();
  if (hr == AVIERR_OK) hr = WriteFiller(index, gap);
  const bool counted = stream.m_clock.m_sampleSize > 0;
  if (hr == AVIERR_OK && (size > 0 || !counted))
    hr = AppendChunk(index, data, static_cast<uint32_t>(size), flags);
  if (hr != AVIERR_OK) {
    Fail(hr);
    return hr;
  }
  if (samplesWritten)
    *samplesWritten = counted ? size / static_cast<int32_t>(stream.m_clock.m_sampleSize) : 1;
  if (bytesWritten) *bytesWritten = size;
  return AVIERR_OK;
}

}  // namespace corvane
