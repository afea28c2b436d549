// Streams added to a finished AVI file where it lies, instead of writing the whole file anew.
//
// The header list must keep a JUNK chunk after its last strl with room for the new strl
// lists (our own files keep 1 KiB there, ffmpeg's 260 bytes). New chunks go after the old
// end of the file, and the new streams follow the old ones instead of being interleaved
// with them; players read such files through their indexes.
//
// A file of one RIFF part, whose movi list is followed only by idx1 and whose streams have
// no OpenDML index: until completion it reads exactly as before, because readers stop at the
// RIFF size. Completion appends a new idx1 (the old entries, then the new), turns the old
// idx1 into JUNK inside the grown movi list, writes the strl lists into the room and updates
// avih and the sizes.
// A file of several parts (OpenDML), whose streams all have super indexes: the new chunks go
// into new RIFF 'AVIX' parts of their own, each closed with its ix## indexes, and the new
// strl lists carry super indexes of those parts. The old parts are not touched.
//
// Owns the file descriptor it writes with. Abandon, and a completion that fails, cut the
// file back to its old length and put back every byte that was patched, so the file is
// left exactly as it was found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avi/aviwriter_core.h"
#include "media/avi/aviwriter_riff.h"
#include "media/avidefs.h"

namespace corvane {

// What completion needs to know of each added stream.
struct CInPlaceStream {
  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;
  uint64_t m_length = 0;
  uint32_t m_maxChunk = 0;
};

class CInPlaceAppender {
 public:
  // Examines the file and opens it for writing. AVIERR_UNSUPPORTED when its layout does not
  // allow streams to be added in place or it does not hold `existingStreams` streams.
  // options.m_inPlaceLimit caps a file of one part, new index included; m_partLimit is the
  // size of new parts.
  HRESULT Open(const std::string& path, int existingStreams, const CAviWriterOptions& options);
  bool IsOpen() const { return m_out.IsOpen(); }
  // For reading back what was appended.
  int Descriptor() const { return m_out.Descriptor(); }

  // Whether a chunk of `size` bytes and its index entries still fit the limits.
  bool Fits(uint32_t size) const;
  // Appends a chunk; `dataOffset` receives where its data starts in the file.
  HRESULT AppendChunk(uint32_t ckid, const void* data, uint32_t size, uint32_t flags,
                      uint64_t& dataOffset);
  // Whether the strl lists of `streams` fit the room in the header.
  bool RoomFor(const std::vector<CInPlaceStream>& streams) const;
  // Writes the index and the headers. On failure the file is as it was found.
  HRESULT Complete(const std::vector<CInPlaceStream>& streams);
  // Drops what was appended: the file is as it was found.
  HRESULT Abandon();

 private:
  enum class EMode { kOnePart, kNewParts };
  struct CSuperEntry {
    uint32_t m_ckid;
    uint64_t m_offset;  // of the ix## chunk
    uint32_t m_size;    // of the ix## chunk, header included
    uint64_t m_chunks;
    uint64_t m_bytes;
  };
  struct CPatch {
    uint64_t m_offset;
    std::vector<uint8_t> m_before;
  };
  struct CNewEntry {
    uint32_t m_ckid;
    uint32_t m_flags;
    uint64_t m_chunkOffset;  // of the chunk header
    uint32_t m_size;
  };

  bool NeedsNewPart(uint64_t chunk) const;
  uint64_t StandardIndexBytes(size_t extraEntries) const;
  HRESULT OpenPart();
  HRESULT ClosePart();
  void BuildSuperIndex(const CInPlaceStream& stream, int index, CByteBuilder& out) const;
  HRESULT Patch(uint64_t offset, const void* data, size_t size);
  HRESULT Undo();
  void BuildStreamLists(const std::vector<CInPlaceStream>& streams, CByteBuilder& out) const;

  COutputFile m_out;
  EMode m_mode = EMode::kOnePart;
  int m_existingStreams = 0;
  uint64_t m_sizeLimit = 0;
  uint64_t m_partLimit = 0;
  uint64_t m_originalSize = 0;
  uint64_t m_moviOffset = 0;  // of the movi LIST header
  uint64_t m_idx1Offset = 0;  // of the old idx1 chunk header
  uint32_t m_idx1Size = 0;    // its data size
  bool m_absoluteOffsets = false;
  uint64_t m_avihData = 0;            // where avih's fields start
  uint64_t m_roomOffset = 0;          // of the JUNK chunk header in the header list
  uint64_t m_roomBytes = 0;           // header and data of that chunk
  std::vector<CNewEntry> m_entries;   // one part: all new chunks; new parts: the open part's
  std::vector<CSuperEntry> m_super;   // the new parts closed so far, per stream
  uint64_t m_partOffset = 0;          // of the open part's RIFF header
  std::vector<uint32_t> m_partCkids;  // the streams with chunks in the open part, in order
  bool m_partOpen = false;
  int m_partsOpened = 0;
  std::vector<CPatch> m_patches;
};

}  // namespace corvane
