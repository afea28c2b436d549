// The reader's two passes over a file: the RIFF layout with its headers, then the chunk table
// of every stream (from idx1, from OpenDML indexes, or by scanning movi).
#pragma once

#include <cstdint>
#include <vector>

#include "media/avi/avireader_types.h"

namespace corvane {

// Nesting deeper than this (LIST in LIST ...) is not followed.
constexpr int kMaxRiffDepth = 8;
// Stream numbers are two decimal digits in chunk ids.
constexpr size_t kMaxStreams = 100;
// Largest stream format accepted; real ones are a few hundred bytes.
constexpr uint32_t kMaxFormatSize = 1u << 20;
// Most chunk records kept for one file (a guard against files made of empty chunks).
constexpr size_t kMaxChunkRecords = size_t{1} << 23;

struct SMoviRange {
  uint64_t m_fourcc = 0;  // offset of the 'movi' list type, the base of relative idx1 offsets
  uint64_t m_end = 0;     // end of the list's data, within the file
};

struct SAviLayout {
  std::vector<SMoviRange> m_movi;  // the first RIFF's movi, then each AVIX part's
  bool m_hasIdx1 = false;
  SRiffChunk m_idx1{};
};

// Reads the RIFF structure and the headers into `data`. AVIERR_BADFORMAT when the file is not
// a RIFF AVI or its headers cannot be read.
HRESULT ParseAviLayout(SAviFileData& data, SAviLayout& layout);

// Fills every stream's chunk table, sample positions and length.
HRESULT BuildChunkTables(SAviFileData& data, const SAviLayout& layout);

// Stream number of a chunk id such as "01wb" or "ix01"; -1 when the id carries none.
int StreamOfChunkId(uint32_t id);
// Whether the id names a sample chunk ("##dc", "##db", "##wb", ..., not "##pc" or "ix##").
bool IsSampleChunkId(uint32_t id);
// A palette change chunk of a stream: '##pc'.
bool IsPaletteChunkId(uint32_t id);

}  // namespace corvane
