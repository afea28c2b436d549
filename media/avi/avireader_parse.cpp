// The RIFF walk: top-level parts, hdrl with its stream lists, movi ranges and idx1.
#include "media/avi/avireader_parse.h"

#include <algorithm>
#include <cstring>

namespace corvane {
namespace {

// Walks the chunks of [begin, end) and calls visit(chunk, end of its data within `end`).
// Stops at the first header that is not a printable id: what follows cannot be trusted.
template <typename Visit>
void ForEachChunk(const CRiffSource& source, uint64_t begin, uint64_t end, Visit visit) {
  SRiffChunk chunk;
  uint64_t offset = begin;
  while (ReadChunkHeader(source, offset, end, chunk)) {
    if (!IsPrintableFourCC(chunk.m_id)) break;
    const uint64_t dataEnd = std::min<uint64_t>(chunk.DataEnd(), end);
    if (!visit(chunk, dataEnd)) break;
    offset = chunk.PaddedEnd();
  }
}

bool ReadListType(const CRiffSource& source, const SRiffChunk& chunk, uint64_t dataEnd,
                  uint32_t& type) {
  uint8_t bytes[4];
  if (dataEnd < chunk.DataOffset() + 4 || !source.ReadAt(chunk.DataOffset(), bytes, 4))
    return false;
  type = LoadU32(bytes);
  return true;
}

HRESULT ParseMainHeader(const CRiffSource& source, const SRiffChunk& chunk, uint64_t dataEnd,
                        SAviMainHeader& main) {
  uint8_t bytes[40] = {};
  const uint64_t available = dataEnd - chunk.DataOffset();
  const size_t count = static_cast<size_t>(std::min<uint64_t>(available, sizeof bytes));
  if (!source.ReadAt(chunk.DataOffset(), bytes, count)) return AVIERR_FILEREAD;
  main.m_microSecPerFrame = LoadU32(bytes);
  main.m_maxBytesPerSec = LoadU32(bytes + 4);
  main.m_paddingGranularity = LoadU32(bytes + 8);
  main.m_flags = LoadU32(bytes + 12);
  main.m_totalFrames = LoadU32(bytes + 16);
  main.m_initialFrames = LoadU32(bytes + 20);
  main.m_streams = LoadU32(bytes + 24);
  main.m_suggestedBufferSize = LoadU32(bytes + 28);
  main.m_width = LoadU32(bytes + 32);
  main.m_height = LoadU32(bytes + 36);
  return AVIERR_OK;
}

// strh: the 56-byte stream header (48 bytes in old files, without rcFrame).
bool ParseStreamHeader(const CRiffSource& source, const SRiffChunk& chunk, uint64_t dataEnd,
                       AVISTREAMINFOA& info) {
  const uint64_t available = dataEnd - chunk.DataOffset();
  if (available < 48) return false;
  uint8_t b[56] = {};
  const size_t count = static_cast<size_t>(std::min<uint64_t>(available, sizeof b));
  if (!source.ReadAt(chunk.DataOffset(), b, count)) return false;
  info.fccType = LoadU32(b);
  info.fccHandler = LoadU32(b + 4);
  info.dwFlags = LoadU32(b + 8);
  info.wPriority = LoadU16(b + 12);
  info.wLanguage = LoadU16(b + 14);
  info.dwInitialFrames = LoadU32(b + 16);
  info.dwScale = LoadU32(b + 20);
  info.dwRate = LoadU32(b + 24);
  info.dwStart = LoadU32(b + 28);
  info.dwLength = LoadU32(b + 32);
  info.dwSuggestedBufferSize = LoadU32(b + 36);
  info.dwQuality = LoadU32(b + 40);
  info.dwSampleSize = LoadU32(b + 44);
  if (count >= 56) {
    info.rcFrame.left = static_cast<int16_t>(LoadU16(b + 48));
    info.rcFrame.top = static_cast<int16_t>(LoadU16(b + 50));
    info.rcFrame.right = static_cast<int16_t>(LoadU16(b + 52));
    info.rcFrame.bottom = static_cast<int16_t>(LoadU16(b + 54));
  }
  return true;
}

HRESULT ParseStreamList(const CRiffSource& source, uint64_t begin, uint64_t end,
                        SAviStreamData& stream) {
  bool haveHeader = false;
  HRESULT result = AVIERR_OK;
  ForEachChunk(source, begin, end, [&](const SRiffChunk& chunk, uint64_t dataEnd) {
    const uint64_t available = dataEnd - chunk.DataOffset();
    if (chunk.m_id == kFccStrh && !haveHeader) {
      haveHeader = ParseStreamHeader(source, chunk, dataEnd, stream.m_info);
    } else if (chunk.m_id == kFccStrf && stream.m_format.empty()) {
      // A format cut short by the end of the file is kept as far as it goes.
      if (available > kMaxFormatSize) {
        result = AVIERR_BADFORMAT;
        return false;
      }
      stream.m_format.resize(static_cast<size_t>(available));
      if (!source.ReadAt(chunk.DataOffset(), stream.m_format.data(), stream.m_format.size())) {
        result = AVIERR_FILEREAD;
        return false;
      }
    } else if (chunk.m_id == kFccStrn) {
      char name[sizeof stream.m_info.szName] = {};
      const size_t count = static_cast<size_t>(std::min<uint64_t>(available, sizeof name - 1));
      if (source.ReadAt(chunk.DataOffset(), name, count))
        std::memcpy(stream.m_info.szName, name, sizeof name);
    } else if (chunk.m_id == kFccIndx && !stream.m_hasIndx) {
      stream.m_indx = chunk;
      stream.m_hasIndx = true;
    }
    return true;
  });
  if (result != AVIERR_OK) return result;
  return haveHeader ? AVIERR_OK : AVIERR_BADFORMAT;
}

HRESULT ParseHeaderList(SAviFileData& data, uint64_t begin, uint64_t end) {
  const CRiffSource& source = data.m_source;
  HRESULT result = AVIERR_OK;
  ForEachChunk(source, begin, end, [&](const SRiffChunk& chunk, uint64_t dataEnd) {
    uint32_t type = 0;
    if (chunk.m_id == kFccAvih) {
      result = ParseMainHeader(source, chunk, dataEnd, data.m_main);
    } else if (chunk.m_id == kFccList && ReadListType(source, chunk, dataEnd, type)) {
      if (type == kFccStrl) {
        if (data.m_streams.size() >= kMaxStreams) return true;
        SAviStreamData stream;
        result = ParseStreamList(source, chunk.DataOffset() + 4, dataEnd, stream);
        // A stream list cut off by the end of the file ends the headers without failing.
        if (result != AVIERR_OK && chunk.DataEnd() > end) {
          result = AVIERR_OK;
          return false;
        }
        if (result == AVIERR_OK) data.m_streams.push_back(std::move(stream));
      } else if (type == kFccOdml) {
        ForEachChunk(source, chunk.DataOffset() + 4, dataEnd,
                     [&](const SRiffChunk& inner, uint64_t innerEnd) {
                       uint8_t frames[4];
                       if (inner.m_id == kFccDmlh && innerEnd - inner.DataOffset() >= 4 &&
                           source.ReadAt(inner.DataOffset(), frames, 4)) {
                         data.m_hasOdmlHeader = true;
                         data.m_odmlTotalFrames = LoadU32(frames);
                       }
                       return true;
                     });
      }
    }
    return result == AVIERR_OK;
  });
  return result;
}

// The chunks of one RIFF part: hdrl (first part only), movi and idx1.
HRESULT ParsePart(SAviFileData& data, SAviLayout& layout, uint64_t begin, uint64_t end, bool first,
                  bool& sawHeaders) {
  const CRiffSource& source = data.m_source;
  HRESULT result = AVIERR_OK;
  bool sawMovi = false;
  ForEachChunk(source, begin, end, [&](const SRiffChunk& chunk, uint64_t dataEnd) {
    uint32_t type = 0;
    // A writer that was killed leaves its list sizes at 0: the type is still there to read.
    const bool unsized = chunk.m_size < 4;
    if (chunk.m_id == kFccList && ReadListType(source, chunk, unsized ? end : dataEnd, type)) {
      if (type == kFccHdrl && first && !sawHeaders && !unsized) {
        sawHeaders = true;
        result = ParseHeaderList(data, chunk.DataOffset() + 4, dataEnd);
      } else if (type == kFccMovi && !sawMovi) {
        sawMovi = true;
        // A movi list whose size was never written (0) runs to the end of the part.
        const uint64_t moviEnd = chunk.m_size < 4 ? end : dataEnd;
        layout.m_movi.push_back({chunk.DataOffset(), moviEnd});
        if (chunk.m_size < 4) return false;
      }
    } else if (chunk.m_id == kFccIdx1 && first && !layout.m_hasIdx1) {
      layout.m_hasIdx1 = true;
      layout.m_idx1 = chunk;
      layout.m_idx1.m_size = static_cast<uint32_t>(dataEnd - chunk.DataOffset());
    }
    return result == AVIERR_OK;
  });
  return result;
}

}  // namespace

HRESULT ParseAviLayout(SAviFileData& data, SAviLayout& layout) {
  const CRiffSource& source = data.m_source;
  const uint64_t fileSize = source.Size();
  SRiffChunk riff;
  uint32_t type = 0;
  if (!ReadChunkHeader(source, 0, fileSize, riff) || riff.m_id != kFccRiff ||
      !ReadListType(source, riff, fileSize, type) || type != kFccAvi)
    return AVIERR_BADFORMAT;
  // A size that was never written (0) or runs past the end (a cut file) means "to the end".
  const uint64_t firstEnd = riff.m_size < 4 ? fileSize : std::min(riff.DataEnd(), fileSize);
  bool sawHeaders = false;
  HRESULT result = ParsePart(data, layout, 12, firstEnd, true, sawHeaders);
  if (result != AVIERR_OK) return result;
  if (!sawHeaders) return AVIERR_BADFORMAT;
  data.m_riffParts = 1;

  // OpenDML continuation parts follow the first RIFF.
  uint64_t offset = riff.m_size < 4 ? fileSize : riff.PaddedEnd();
  SRiffChunk part;
  while (ReadChunkHeader(source, offset, fileSize, part)) {
    if (part.m_id == kFccRiff) {
      if (!ReadListType(source, part, fileSize, type)) break;
      const uint64_t partEnd = std::min(part.DataEnd(), fileSize);
      if (type == kFccAvix) {
        ++data.m_riffParts;
        result = ParsePart(data, layout, part.DataOffset() + 4, partEnd, false, sawHeaders);
        if (result != AVIERR_OK) return result;
      }
    } else if (!IsPrintableFourCC(part.m_id)) {
      break;
    }
    offset = part.PaddedEnd();
  }
  return AVIERR_OK;
}

int StreamOfChunkId(uint32_t id) {
  const char a = static_cast<char>(id & 0xFF), b = static_cast<char>((id >> 8) & 0xFF);
  const char c = static_cast<char>((id >> 16) & 0xFF), d = static_cast<char>(id >> 24);
  if (a == 'i' && b == 'x') {
    if (c >= '0' && c <= '9' && d >= '0' && d <= '9') return (c - '0') * 10 + (d - '0');
    return -1;
  }
  if (a >= '0' && a <= '9' && b >= '0' && b <= '9') return (a - '0') * 10 + (b - '0');
  return -1;
}

bool IsPaletteChunkId(uint32_t id) {
  return StreamOfChunkId(id) >= 0 && (id >> 16) == (uint32_t{'p'} | uint32_t{'c'} << 8);
}

bool IsSampleChunkId(uint32_t id) {
  const char a = static_cast<char>(id & 0xFF), b = static_cast<char>((id >> 8) & 0xFF);
  const char c = static_cast<char>((id >> 16) & 0xFF), d = static_cast<char>(id >> 24);
  if (!(a >= '0' && a <= '9' && b >= '0' && b <= '9')) return false;
  if (c == 'p' && d == 'c') return false;  // palette change, not a sample
  auto isLetter = [](char x) { return (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z'); };
  return isLetter(c) && isLetter(d);
}

}  // namespace corvane
