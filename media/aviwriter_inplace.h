// Streams added to a finished AVI file where it lies, instead of writing the whole file anew.
//
// It serves files of one RIFF part whose movi list is followed only by idx1, whose streams
// have no OpenDML index, and whose header list keeps a JUNK chunk after its last strl with
// room for the new strl lists (our own files keep 1 KiB there, ffmpeg's 260 bytes). New
// chunks go after the old end of the file; until completion the file reads exactly as
// before, because readers stop at the RIFF size. Completion appends a new idx1 (the old
// entries, then the new), turns the old idx1 into JUNK inside the grown movi list, writes
// the strl lists into the room and updates avih and the sizes. The new streams then follow
// the old ones instead of being interleaved with them; players read such files through the
// index.
//
// Owns the file descriptor it writes with. Abandon, and a completion that fails, cut the
// file back to its old length and put back every byte that was patched, so the file is
// left exactly as it was found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avidefs.h"
#include "media/aviwriter_riff.h"

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
  // allow streams to be added in place or it does not hold `existingStreams` streams;
  // `sizeLimit` caps the RIFF part, new index included.
  HRESULT Open(const std::string& path, int existingStreams, uint64_t sizeLimit);
  bool IsOpen() const { return m_out.IsOpen(); }
  // For reading back what was appended.
  int Descriptor() const { return m_out.Descriptor(); }

  // Whether a chunk of `size` bytes and its index entry still fit under the size limit.
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

  HRESULT Patch(uint64_t offset, const void* data, size_t size);
  HRESULT Undo();
  static void BuildStreamLists(const std::vector<CInPlaceStream>& streams, CByteBuilder& out);

  COutputFile m_out;
  int m_existingStreams = 0;
  uint64_t m_sizeLimit = 0;
  uint64_t m_originalSize = 0;
  uint64_t m_moviOffset = 0;  // of the movi LIST header
  uint64_t m_idx1Offset = 0;  // of the old idx1 chunk header
  uint32_t m_idx1Size = 0;    // its data size
  bool m_absoluteOffsets = false;
  uint64_t m_avihData = 0;    // where avih's fields start
  uint64_t m_roomOffset = 0;  // of the JUNK chunk header in the header list
  uint64_t m_roomBytes = 0;   // header and data of that chunk
  std::vector<CNewEntry> m_entries;
  std::vector<CPatch> m_patches;
};

}  // namespace corvane
