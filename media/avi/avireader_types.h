// What the AVI reader learns from a file: the main header, each stream's header and format,
// and the table of every sample chunk. Shared by the reader's parsing, index and stream code,
// and readable by tools (corvane-avi info) through DescribeAviReader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/avi/riffsource.h"
#include "media/avifile.h"

namespace corvane {

// How the chunk table was obtained.
enum class EAviIndexKind {
  kIdx1Relative,  // idx1, offsets from the 'movi' list
  kIdx1Absolute,  // idx1, offsets from the start of the file
  kOpenDml,       // ix## standard indexes (through indx super indexes or found in movi)
  kRebuilt,       // no usable index: every complete chunk found by scanning movi
};
const char* IndexKindText(EAviIndexKind kind);

// One sample chunk: where its data starts, how many bytes it holds, its index flags.
struct SAviChunkRef {
  uint64_t m_offset = 0;
  uint32_t m_size = 0;
  uint32_t m_flags = 0;
};

// The fields of 'avih'.
struct SAviMainHeader {
  uint32_t m_microSecPerFrame = 0;
  uint32_t m_maxBytesPerSec = 0;
  uint32_t m_paddingGranularity = 0;
  uint32_t m_flags = 0;
  uint32_t m_totalFrames = 0;
  uint32_t m_initialFrames = 0;
  uint32_t m_streams = 0;
  uint32_t m_suggestedBufferSize = 0;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
};

struct SAviStreamData {
  AVISTREAMINFOA m_info{};      // as in strh/strn, except dwLength (set to m_length)
  uint32_t m_headerLength = 0;  // dwLength as the header states it
  std::vector<uint8_t> m_format;
  // Bytes per sample; 0 when every chunk is one sample (video, variable-size audio).
  uint32_t m_sampleSize = 0;
  std::vector<SAviChunkRef> m_chunks;          // in file order
  std::vector<SAviChunkRef> m_paletteChanges;  // '##pc' chunks, in file order
  // With m_sampleSize > 0: first sample (counted from m_start) of each chunk, plus the total.
  std::vector<int64_t> m_chunkFirst;
  int32_t m_start = 0;
  int32_t m_length = 0;
  bool m_anyKey = false;  // false: no chunk is flagged, so every sample counts as a key frame
  SRiffChunk m_indx{};    // the strl 'indx' chunk, when m_hasIndx
  bool m_hasIndx = false;
};

struct SAviFileData {
  CRiffSource m_source;
  SAviMainHeader m_main;
  bool m_hasOdmlHeader = false;
  uint32_t m_odmlTotalFrames = 0;
  std::vector<SAviStreamData> m_streams;
  EAviIndexKind m_indexKind = EAviIndexKind::kRebuilt;
  uint32_t m_riffParts = 0;  // 1 + number of RIFF 'AVIX' parts
  uint64_t m_idx1Entries = 0;
  uint64_t m_odmlEntries = 0;
  uint64_t m_badIndexEntries = 0;  // index entries that did not match a chunk in the file
};

// Reader facts for tools. False when `file` was not opened by the reader.
bool DescribeAviReader(const CAviFile& file, std::shared_ptr<const SAviFileData>& data);

}  // namespace corvane
