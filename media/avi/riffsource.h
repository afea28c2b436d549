// Read-only access to a RIFF file: one open descriptor, its size, exact reads at an offset,
// and the little-endian and FourCC helpers the AVI reader parses with.
//
// CRiffSource owns the descriptor (opened O_RDONLY: reading never changes the file). Reads are
// positional (pread), so a source can be shared by a file and its streams without a cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "media/avidefs.h"

namespace corvane {

class CRiffSource {
 public:
  CRiffSource() = default;
  ~CRiffSource();
  CRiffSource(const CRiffSource&) = delete;
  CRiffSource& operator=(const CRiffSource&) = delete;

  // AVIERR_OK, or AVIERR_FILEOPEN when the path cannot be opened for reading or is not a
  // regular file.
  HRESULT Open(const std::string& path);

  uint64_t Size() const { return m_size; }
  // Whether [offset, offset + count) lies inside the file.
  bool Contains(uint64_t offset, uint64_t count) const {
    return offset <= m_size && count <= m_size - offset;
  }
  // Reads exactly `count` bytes at `offset`; false when the range leaves the file or the read
  // fails.
  bool ReadAt(uint64_t offset, void* buffer, size_t count) const;

 private:
  int m_fd = -1;
  uint64_t m_size = 0;
};

inline uint16_t LoadU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | static_cast<uint64_t>(LoadU32(p + 4)) << 32;
}

constexpr uint32_t kFccRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t kFccList = MakeFourCC('L', 'I', 'S', 'T');
constexpr uint32_t kFccAvi = MakeFourCC('A', 'V', 'I', ' ');
constexpr uint32_t kFccAvix = MakeFourCC('A', 'V', 'I', 'X');
constexpr uint32_t kFccHdrl = MakeFourCC('h', 'd', 'r', 'l');
constexpr uint32_t kFccAvih = MakeFourCC('a', 'v', 'i', 'h');
constexpr uint32_t kFccStrl = MakeFourCC('s', 't', 'r', 'l');
constexpr uint32_t kFccStrh = MakeFourCC('s', 't', 'r', 'h');
constexpr uint32_t kFccStrf = MakeFourCC('s', 't', 'r', 'f');
constexpr uint32_t kFccStrn = MakeFourCC('s', 't', 'r', 'n');
constexpr uint32_t kFccIndx = MakeFourCC('i', 'n', 'd', 'x');
constexpr uint32_t kFccOdml = MakeFourCC('o', 'd', 'm', 'l');
constexpr uint32_t kFccDmlh = MakeFourCC('d', 'm', 'l', 'h');
constexpr uint32_t kFccMovi = MakeFourCC('m', 'o', 'v', 'i');
constexpr uint32_t kFccIdx1 = MakeFourCC('i', 'd', 'x', '1');
constexpr uint32_t kFccJunk = MakeFourCC('J', 'U', 'N', 'K');

// A chunk header as found in the file: `offset` is where the 8-byte header starts.
struct SRiffChunk {
  uint64_t m_offset = 0;
  uint32_t m_id = 0;
  uint32_t m_size = 0;
  uint64_t DataOffset() const { return m_offset + 8; }
  // End of the data, and of the data plus the pad byte that keeps chunks word-aligned.
  uint64_t DataEnd() const { return DataOffset() + m_size; }
  uint64_t PaddedEnd() const { return DataEnd() + (m_size & 1u); }
};

// Reads the header at `offset`; false when fewer than 8 bytes remain before `limit`.
bool ReadChunkHeader(const CRiffSource& source, uint64_t offset, uint64_t limit, SRiffChunk& chunk);

// Whether all four characters of a FourCC are printable ASCII (space included).
bool IsPrintableFourCC(uint32_t fcc);
// "abcd" for printable codes, "0x0000000A" otherwise.
std::string FourCCText(uint32_t fcc);

}  // namespace corvane
