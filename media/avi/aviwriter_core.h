// The engine behind a new AVI file: lays out the headers, appends chunks as they come and
// completes the file with its totals and indexes.
//
// Layout. The headers (avih, one strl per stream with strh, strf, strn and room for an
// OpenDML super index, a JUNK room for a stream added later, odml/dmlh) are written when the
// first sample arrives, so streams and formats must be set before that. Chunks go straight to the
// disk; memory holds only the index entries of the RIFF part being written. Once a part would pass
// the part limit (1 GiB), it is closed with its ix## standard indexes (and, for the first part,
// idx1) and a RIFF 'AVIX' part follows; each stream's super index then lists every part. A file
// that stays in one part is a plain AVI 1.0 file with idx1.
//
// Completion (Finish, or destruction) writes the indexes and fills in avih, strh and dmlh.
// Any write the system refused makes Write and Finish return AVIERR_FILEWRITE; completion
// still goes as far as it can, so the file on disk stays readable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avi/aviwriter_riff.h"
#include "media/avidefs.h"

namespace corvane {

struct CAviWriterOptions {
  uint64_t m_partLimit = uint64_t{1} << 30;  // bytes of a RIFF part before the next begins
  uint32_t m_superIndexEntries = 256;        // parts a stream's super index can list
  // Size up to which a reopened file takes new streams in place (a signed 32-bit RIFF size,
  // which every reader takes); past it the file is written anew.
  uint64_t m_inPlaceLimit = (uint64_t{1} << 31) - 1;
};

// What a stream needs before a sample at some position can be written.
struct CStreamGap {
  uint64_t m_chunks = 0;  // empty chunks (streams counted in chunks)
  uint64_t m_bytes = 0;   // filler bytes (streams counted in samples of a fixed size)
};

// How far a stream has got. Streams with a sample size count samples as bytes over that
// size; the others count one sample per chunk.
struct CStreamClock {
  int64_t m_start = 0;
  uint32_t m_sampleSize = 0;
  uint64_t m_bytes = 0;
  uint64_t m_chunks = 0;

  int64_t Length() const;
  int64_t End() const { return m_start + Length(); }
  // Checks a write of `samples` samples and `size` bytes at `position`: positions already
  // written give AVIERR_BADPARAM; positions left out become `gap`.
  HRESULT Plan(int64_t position, int32_t samples, int32_t size, CStreamGap& gap) const;
  // Counts a planned write as done: its gap, then one chunk of `size` bytes.
  void Advance(const CStreamGap& gap, int32_t size);

  // The clock of a new stream with this header. Video positions are frames, one chunk
  // each, whatever the header's sample size says.
  static CStreamClock For(const AVISTREAMINFOA& info);
};

// The id of a palette change chunk of the stream whose samples have `sampleChunkId` ('##pc').
uint32_t PaletteChunkId(uint32_t sampleChunkId);

// The id of the chunks of stream `index` ("00dc", "01wb" ...).
uint32_t StreamChunkId(int index, const AVISTREAMINFOA& info, const std::vector<uint8_t>& format);
// The 56 bytes of a strh chunk's data for a stream of `length` samples whose largest chunk
// is `maxChunk` bytes (0: the header's own suggested buffer size).
void BuildStreamHeader(const AVISTREAMINFOA& info, uint64_t length, uint32_t maxChunk,
                       CByteBuilder& out);

class CAviWriterCore {
 public:
  explicit CAviWriterCore(const CAviWriterOptions& options = {});
  ~CAviWriterCore();
  CAviWriterCore(const CAviWriterCore&) = delete;
  CAviWriterCore& operator=(const CAviWriterCore&) = delete;

  HRESULT Create(const std::string& path);

  int StreamCount() const { return static_cast<int>(m_streams.size()); }
  HRESULT AddStream(const AVISTREAMINFOA& info, int& index);
  HRESULT SetFormat(int index, const void* format, int32_t size);
  // The header is written again at completion, so the handler may change at any time.
  HRESULT SetHandler(int index, uint32_t fccHandler);
  const std::vector<uint8_t>& Format(int index) const { return m_streams[index].m_format; }
  void StreamInfo(int index, AVISTREAMINFOA& info) const;
  const CStreamClock& Clock(int index) const { return m_streams[index].m_clock; }
  void FileInfo(AVIFILEINFOW& info) const;

  HRESULT Write(int index, int32_t start, int32_t samples, const void* data, int32_t size,
                uint32_t flags, int32_t* samplesWritten, int32_t* bytesWritten);
  // A '##pc' chunk for stream `index` now: listed in idx1, not a sample of the stream.
  HRESULT WritePaletteChange(int index, const void* data, int32_t size);

  // Completes the file once; later calls return the first outcome.
  HRESULT Finish();
  bool Finished() const { return m_finished; }
  int PartCount() const { return static_cast<int>(m_partCount); }

 private:
  struct CEntry {
    uint64_t m_offset;  // of the chunk's data, from the start of the file
    uint32_t m_size;
    uint16_t m_stream;
    uint16_t m_flags;
    bool m_palette = false;  // a palette change, not a sample
  };
  struct CSuperEntry {
    uint64_t m_offset;
    uint32_t m_size;
    uint32_t m_duration;
  };
  struct CStream {
    AVISTREAMINFOA m_info{};
    std::vector<uint8_t> m_format;
    CStreamClock m_clock;
    uint32_t m_ckid = 0;
    uint32_t m_maxChunk = 0;
    uint64_t m_strhOffset = 0;
    uint64_t m_indxOffset = 0;
    CStreamClock m_partStart;  // where the current part began, for the part's duration
    std::vector<CSuperEntry> m_super;
  };

  HRESULT WriteHeaders();
  HRESULT AppendChunk(int index, const void* data, uint32_t size, uint32_t flags,
                      bool palette = false);
  HRESULT WriteFiller(int index, const CStreamGap& gap);
  bool FitsInPart(uint64_t need) const;
  HRESULT StartNextPart();
  // The ix## chunks of the current part, to be appended at file offset `at`; each stream's
  // new super index entry goes to `super`.
  void BuildStandardIndexes(uint64_t at, CByteBuilder& out,
                            std::vector<std::vector<CSuperEntry>>& super) const;
  void BuildLegacyIndex(CByteBuilder& out) const;
  void KeepSuperEntries(const std::vector<std::vector<CSuperEntry>>& super);
  void PatchPartSizes(uint64_t moviEnd, uint64_t partEnd);
  void PatchHeaders(bool indexed);
  void PatchU32(uint64_t offset, uint32_t value);
  void BuildAvih(bool indexed, CByteBuilder& out) const;
  void BuildStrh(const CStream& stream, CByteBuilder& out) const;
  void BuildSuperIndex(const CStream& stream, CByteBuilder& out) const;
  uint32_t ChunkId(int index) const;
  int FirstVideo() const;
  void Fail(HRESULT hr);

  CAviWriterOptions m_options;
  COutputFile m_out;
  std::vector<CStream> m_streams;
  bool m_headersWritten = false;
  bool m_finished = false;
  HRESULT m_result = AVIERR_OK;
  uint64_t m_avihOffset = 0;
  uint64_t m_dmlhOffset = 0;
  // The RIFF part being written.
  uint32_t m_partCount = 0;
  uint64_t m_riffOffset = 0;
  uint64_t m_moviOffset = 0;
  std::vector<CEntry> m_entries;
  uint64_t m_firstPartFrames = 0;
};

}  // namespace corvane
