// Streams copied chunk by chunk into the streams of a file being written, in time order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/avifile.h"

namespace corvane {

struct CSourceChunk {
  int64_t m_position = 0;
  int32_t m_samples = 0;
  uint32_t m_flags = 0;
  std::vector<uint8_t> m_data;  // reused from chunk to chunk
  // Palette changes ('##pc' chunks, SPaletteChange bytes) to be written before this chunk.
  std::vector<std::vector<uint8_t>> m_paletteChanges;
};

// One stream's chunks in order.
class CChunkSource {
 public:
  CChunkSource(uint32_t scale, uint32_t rate)
      : m_scale(scale ? scale : 1), m_rate(rate ? rate : 1) {}
  virtual ~CChunkSource() = default;
  CChunkSource(const CChunkSource&) = delete;
  CChunkSource& operator=(const CChunkSource&) = delete;

  // Fills `chunk` with the next chunk and sets `more`; `more` false at the end.
  virtual HRESULT Next(CSourceChunk& chunk, bool& more) = 0;

  uint32_t m_scale;
  uint32_t m_rate;
};

// The chunks of a readable stream, as its reader delivers them.
std::unique_ptr<CChunkSource> MakeStreamChunkSource(const PAVISTREAM& stream);

// Writes the chunks of sources[i] to targets[i], always taking the chunk that starts
// earliest in time next (the lower stream first on a tie). Counts go to chunks and bytes.
HRESULT WriteInterleaved(std::vector<std::unique_ptr<CChunkSource>>& sources,
                         const std::vector<PAVISTREAM>& targets, int64_t* chunks = nullptr,
                         int64_t* bytes = nullptr);

// Adds a stream to `file` with the header and format of `source` (its samples not copied).
HRESULT CreateStreamLike(const PAVIFILE& file, const PAVISTREAM& source, PAVISTREAM& created);

}  // namespace corvane
