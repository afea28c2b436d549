// Existing AVI files reopened with OF_WRITE to add streams.
//
// Where the file's layout allows (see aviwriter_inplace.h), new chunks go straight after its
// end and completion adds them in place, so a long video is not copied for a little audio.
// Otherwise, and from the first write that cannot go in place (a gap to fill, a file grown
// to its size limit), samples go to a scratch file beside it (removed from the folder at
// once, so nothing is left behind), and on completion the whole file is written anew under a
// temporary name, every stream interleaved by time, and renamed over the original. Either
// way, if anything fails the original stays as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "media/avi/aviopen.h"
#include "media/avi/aviwriter_core.h"
#include "media/avi/aviwriter_files.h"
#include "media/avi/aviwriter_inplace.h"
#include "media/avi/aviwriter_interleave.h"
#include "media/avi/aviwriter_tools.h"

namespace corvane {
namespace {

constexpr int kMaxStreams = 100;

struct CSpooledWrite {
  int64_t m_position;
  int32_t m_samples;
  int32_t m_size;
  uint32_t m_flags;
  uint64_t m_offset;  // of the data, in the file itself or in the scratch file
  bool m_inPlace;     // which of the two holds it
};

struct CAddedStream {
  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;
  CStreamClock m_clock;
  uint32_t m_maxChunk = 0;
  std::vector<CSpooledWrite> m_writes;
};

// A temporary file name beside `path`, made with mkstemp; the file exists and is empty.
HRESULT MakeScratchFile(const std::string& path, const char* tag, std::string& name,
                        CUniqueFd& fd) {
  const std::filesystem::path target(path);
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string pattern = (folder / ("." + target.filename().string() + tag + "XXXXXX")).string();
  fd = CUniqueFd(::mkstemp(pattern.data()));
  if (!fd.IsOpen()) return AVIERR_FILEWRITE;
  name = pattern;
  return AVIERR_OK;
}

class CAppendState {
 public:
  CAppendState(std::string path, const CAviWriterOptions& options)
      : m_path(std::move(path)), m_options(options) {}
  ~CAppendState() {
    Guarded([&] { return Finish(); });
  }
  CAppendState(const CAppendState&) = delete;
  CAppendState& operator=(const CAppendState&) = delete;

  HRESULT Open() {
    struct stat status {};
    if (::stat(m_path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return AVIERR_FILEOPEN;
    if (::access(m_path.c_str(), W_OK) != 0) return AVIERR_READONLY;
    m_mode = status.st_mode & 07777;
    HRESULT hr = OpenAviReader(m_path, m_source);
    if (hr != AVIERR_OK) return hr;
    for (int32_t i = 0; i < kMaxStreams; ++i) {
      PAVISTREAM stream;
      if (m_source->GetStream(stream, 0, i) != AVIERR_OK || !stream) break;
      m_existing.push_back(std::move(stream));
    }
    // A layout that does not allow adding in place only means a rewrite at completion.
    const int existing = static_cast<int>(m_existing.size());
    if (m_inPlace.Open(m_path, existing, m_options) != AVIERR_OK) m_allInPlace = false;
    return AVIERR_OK;
  }

  HRESULT AddStream(const AVISTREAMINFOA& info, int& index) {
    if (m_finished) return AVIERR_BADHANDLE;
    if (m_existing.size() + m_added.size() >= kMaxStreams) return AVIERR_UNSUPPORTED;
    CAddedStream stream;
    stream.m_info = info;
    stream.m_info.szName[sizeof stream.m_info.szName - 1] = 0;
    stream.m_clock = CStreamClock::For(info);
    m_added.push_back(std::move(stream));
    index = static_cast<int>(m_added.size()) - 1;
    return AVIERR_OK;
  }

  HRESULT SetFormat(int index, const void* format, int32_t size) {
    if (size < 0 || size > (1 << 20) || (size > 0 && !format)) return AVIERR_BADPARAM;
    CAddedStream& stream = m_added[index];
    const auto* bytes = static_cast<const uint8_t*>(format);
    if (m_finished || !stream.m_writes.empty()) {
      const bool same = stream.m_format.size() == static_cast<size_t>(size) &&
                        (size == 0 || std::memcmp(stream.m_format.data(), bytes, size) == 0);
      return same ? AVIERR_OK : AVIERR_UNSUPPORTED;
    }
    stream.m_format.assign(bytes, bytes + size);
    return AVIERR_OK;
  }

  HRESULT SetHandler(int index, uint32_t fccHandler) {
    if (m_finished) return AVIERR_UNSUPPORTED;
    m_added[index].m_info.fccHandler = fccHandler;
    return AVIERR_OK;
  }

  HRESULT Write(int index, int32_t start, int32_t samples, const void* data, int32_t size,
                uint32_t flags, int32_t* samplesWritten, int32_t* bytesWritten) {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    if (m_finished) return AVIERR_BADHANDLE;
    if (size > 0 && !data) return AVIERR_BADPARAM;
    CAddedStream& stream = m_added[index];
    CStreamGap gap;
    HRESULT hr = stream.m_clock.Plan(start, samples, size, gap);
    if (hr != AVIERR_OK) return hr;
    const bool chunk = size > 0 || stream.m_clock.m_sampleSize == 0;
    const bool noGap = gap.m_chunks == 0 && gap.m_bytes == 0;
    m_allInPlace = m_allInPlace && noGap && (!chunk || m_inPlace.Fits(static_cast<uint32_t>(size)));
    if (m_allInPlace) {
      uint64_t offset = 0;
      if (chunk) {
        const int streamIndex = static_cast<int>(m_existing.size()) + index;
        const uint32_t ckid = StreamChunkId(streamIndex, stream.m_info, stream.m_format);
        hr = m_inPlace.AppendChunk(ckid, data, static_cast<uint32_t>(size),
                                   flags & (AVIIF_KEYFRAME | AVIIF_NOTIME), offset);
        if (hr != AVIERR_OK) return Fail(hr);
      }
      stream.m_writes.push_back({start, samples, size, flags, offset, true});
      return Counted(stream, gap, size, samplesWritten, bytesWritten);
    }
    if (!m_spool.IsOpen()) {
      std::string name;
      CUniqueFd fd;
      hr = MakeScratchFile(m_path, ".spool-", name, fd);
      if (hr != AVIERR_OK) return Fail(hr);
      ::unlink(name.c_str());
      m_spool.Adopt(std::move(fd));
    }
    const uint64_t offset = m_spool.End();
    const iovec part{const_cast<void*>(data), static_cast<size_t>(size)};
    if (size > 0) {
      hr = m_spool.Append(&part, 1);
      if (hr != AVIERR_OK) return Fail(hr);
    }
    stream.m_writes.push_back({start, samples, size, flags, offset, false});
    return Counted(stream, gap, size, samplesWritten, bytesWritten);
  }

  HRESULT Finish() {
    if (m_finished) return m_result;
    m_finished = true;
    HRESULT hr = AVIERR_OK;
    if (m_added.empty()) {
      m_inPlace.Abandon();
    } else if (const auto streams = InPlaceStreams(); m_allInPlace && m_inPlace.RoomFor(streams)) {
      hr = m_inPlace.Complete(streams);
    } else {
      hr = Combine();
      // Whether the rewrite took the file's place or failed, what was added to the old file
      // goes: a failed rewrite leaves the original as it was.
      m_inPlace.Abandon();
    }
    if (hr != AVIERR_OK) Fail(hr);
    m_existing.clear();
    m_source.reset();
    m_spool.Close();
    return m_result;
  }

  const std::vector<PAVISTREAM>& Existing() const { return m_existing; }
  const std::vector<CAddedStream>& Added() const { return m_added; }
  const PAVIFILE& Source() const { return m_source; }

 private:
  class CSpoolSource;

  HRESULT Fail(HRESULT hr) {
    if (m_result == AVIERR_OK) m_result = hr;
    return hr;
  }

  HRESULT Combine();

  static HRESULT Counted(CAddedStream& stream, const CStreamGap& gap, int32_t size,
                         int32_t* samplesWritten, int32_t* bytesWritten) {
    stream.m_clock.Advance(gap, size);
    stream.m_maxChunk = std::max(stream.m_maxChunk, static_cast<uint32_t>(size));
    const uint32_t sampleSize = stream.m_clock.m_sampleSize;
    if (samplesWritten) *samplesWritten = sampleSize ? size / static_cast<int32_t>(sampleSize) : 1;
    if (bytesWritten) *bytesWritten = size;
    return AVIERR_OK;
  }

  std::vector<CInPlaceStream> InPlaceStreams() const {
    std::vector<CInPlaceStream> streams;
    for (const CAddedStream& added : m_added) {
      streams.push_back({added.m_info, added.m_format,
                         static_cast<uint64_t>(std::max<int64_t>(0, added.m_clock.Length())),
                         added.m_maxChunk});
    }
    return streams;
  }

  std::string m_path;
  CAviWriterOptions m_options;
  CInPlaceAppender m_inPlace;
  bool m_allInPlace = true;
  PAVIFILE m_source;
  std::vector<PAVISTREAM> m_existing;
  std::vector<CAddedStream> m_added;
  COutputFile m_spool;
  mode_t m_mode = 0644;
  bool m_finished = false;
  HRESULT m_result = AVIERR_OK;
};

// The writes of an added stream, replayed from the scratch file.
class CAppendState::CSpoolSource final : public CChunkSource {
 public:
  CSpoolSource(const CAddedStream& stream, int inPlaceFd, int spoolFd)
      : CChunkSource(stream.m_info.dwScale, stream.m_info.dwRate),
        m_stream(stream),
        m_inPlaceFd(inPlaceFd),
        m_spoolFd(spoolFd) {}

  HRESULT Next(CSourceChunk& chunk, bool& more) override {
    more = false;
    if (m_next >= m_stream.m_writes.size()) return AVIERR_OK;
    const CSpooledWrite& write = m_stream.m_writes[m_next++];
    chunk.m_position = write.m_position;
    chunk.m_samples = write.m_samples;
    chunk.m_flags = write.m_flags;
    chunk.m_data.resize(static_cast<size_t>(write.m_size));
    if (!ReadFullyAt(write.m_inPlace ? m_inPlaceFd : m_spoolFd, write.m_offset, chunk.m_data.data(),
                     chunk.m_data.size())) {
      return AVIERR_FILEREAD;
    }
    more = true;
    return AVIERR_OK;
  }

 private:
  const CAddedStream& m_stream;
  int m_inPlaceFd;
  int m_spoolFd;
  size_t m_next = 0;
};

HRESULT CAppendState::Combine() {
  std::string temporary;
  CUniqueFd placeholder;
  HRESULT hr = MakeScratchFile(m_path, ".new-", temporary, placeholder);
  if (hr != AVIERR_OK) return hr;
  placeholder.Reset();
  {
    PAVIFILE output;
    hr = CreateAviFile(temporary, CAviWriterOptions{}, output);
    std::vector<std::unique_ptr<CChunkSource>> sources;
    std::vector<PAVISTREAM> targets;
    for (size_t i = 0; hr == AVIERR_OK && i < m_existing.size(); ++i) {
      PAVISTREAM created;
      hr = CreateStreamLike(output, m_existing[i], created);
      auto source = MakeStreamChunkSource(m_existing[i]);
      if (hr == AVIERR_OK && !source) hr = AVIERR_BADFORMAT;
      sources.push_back(std::move(source));
      targets.push_back(std::move(created));
    }
    for (size_t i = 0; hr == AVIERR_OK && i < m_added.size(); ++i) {
      const CAddedStream& added = m_added[i];
      PAVISTREAM created;
      hr = output->CreateStream(created, added.m_info);
      if (hr == AVIERR_OK)
        hr = created->SetFormat(0, added.m_format.data(),
                                static_cast<int32_t>(added.m_format.size()));
      sources.push_back(
          std::make_unique<CSpoolSource>(added, m_inPlace.Descriptor(), m_spool.Descriptor()));
      targets.push_back(std::move(created));
    }
    if (hr == AVIERR_OK) hr = WriteInterleaved(sources, targets);
    targets.clear();
    if (output) {
      const HRESULT finished = FinishAviFile(output);
      if (hr == AVIERR_OK) hr = finished;
    }
  }
  if (hr == AVIERR_OK && ::chmod(temporary.c_str(), m_mode) != 0) hr = AVIERR_FILEWRITE;
  if (hr == AVIERR_OK) {
    m_existing.clear();
    m_source.reset();
    if (std::rename(temporary.c_str(), m_path.c_str()) != 0) hr = AVIERR_FILEWRITE;
  }
  if (hr != AVIERR_OK) ::unlink(temporary.c_str());
  return hr;
}

class CAppendStream final : public CAviStream {
 public:
  CAppendStream(std::shared_ptr<CAppendState> state, int index)
      : m_state(std::move(state)), m_index(index) {}

  HRESULT Info(AVISTREAMINFOA& info) const override {
    const CAddedStream& stream = Stream();
    info = stream.m_info;
    info.dwLength =
        static_cast<uint32_t>(std::clamp<int64_t>(stream.m_clock.Length(), 0, UINT32_MAX));
    info.dwSuggestedBufferSize = std::max(info.dwSuggestedBufferSize, stream.m_maxChunk);
    return AVIERR_OK;
  }

  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const std::vector<uint8_t>& bytes = Stream().m_format;
    if (!format) {
      *size = static_cast<int32_t>(bytes.size());
      return AVIERR_OK;
    }
    const auto count = static_cast<size_t>(std::clamp<int64_t>(*size, 0, bytes.size()));
    std::memcpy(format, bytes.data(), count);
    *size = static_cast<int32_t>(count);
    return AVIERR_OK;
  }

  HRESULT SetFormat(int32_t, const void* format, int32_t size) override {
    return Guarded([&] { return m_state->SetFormat(m_index, format, size); });
  }

  HRESULT SetHandler(uint32_t fccHandler) override {
    return m_state->SetHandler(m_index, fccHandler);
  }

  int32_t Start() const override { return static_cast<int32_t>(Stream().m_clock.m_start); }
  int32_t Length() const override {
    return static_cast<int32_t>(std::min<int64_t>(Stream().m_clock.Length(), INT32_MAX));
  }

  // Samples being added are only kept for the rewrite; they are not read back.
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t* bytesRead,
               int32_t* samplesRead) override {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    return AVIERR_UNSUPPORTED;
  }

  HRESULT Write(int32_t start, int32_t samples, const void* data, int32_t size, uint32_t flags,
                int32_t* samplesWritten, int32_t* bytesWritten) override {
    return Guarded([&] {
      return m_state->Write(m_index, start, samples, data, size, flags, samplesWritten,
                            bytesWritten);
    });
  }

  int32_t FindSample(int32_t, uint32_t) const override { return -1; }

 private:
  const CAddedStream& Stream() const { return m_state->Added()[m_index]; }

  std::shared_ptr<CAppendState> m_state;
  int m_index;
};

class CAppendFile final : public CWritingFile {
 public:
  explicit CAppendFile(std::shared_ptr<CAppendState> state) : m_state(std::move(state)) {}

  HRESULT Info(AVIFILEINFOW& info) const override {
    if (!m_state->Source()) return AVIERR_BADHANDLE;
    const HRESULT hr = m_state->Source()->Info(info);
    info.dwStreams = static_cast<uint32_t>(m_state->Existing().size() + m_state->Added().size());
    return hr;
  }

  HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) override {
    return Guarded([&] {
      stream.reset();
      int32_t seen = 0;
      for (const PAVISTREAM& existing : m_state->Existing()) {
        AVISTREAMINFOA info{};
        if (existing->Info(info) != AVIERR_OK) continue;
        if (fccType != 0 && info.fccType != fccType) continue;
        if (seen++ == index) {
          stream = existing;
          return AVIERR_OK;
        }
      }
      const auto& added = m_state->Added();
      for (size_t i = 0; i < added.size(); ++i) {
        if (fccType != 0 && added[i].m_info.fccType != fccType) continue;
        if (seen++ == index) {
          stream = std::make_shared<CAppendStream>(m_state, static_cast<int>(i));
          return AVIERR_OK;
        }
      }
      return AVIERR_NODATA;
    });
  }

  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA& info) override {
    return Guarded([&] {
      stream.reset();
      int index = -1;
      const HRESULT hr = m_state->AddStream(info, index);
      if (hr != AVIERR_OK) return hr;
      stream = std::make_shared<CAppendStream>(m_state, index);
      return AVIERR_OK;
    });
  }

  HRESULT Finish() override {
    return Guarded([&] { return m_state->Finish(); });
  }

 private:
  std::shared_ptr<CAppendState> m_state;
};

}  // namespace

HRESULT ReopenAviFile(const std::string& path, PAVIFILE& file, const CAviWriterOptions& options) {
  return Guarded([&] {
    file.reset();
    auto state = std::make_shared<CAppendState>(path, options);
    const HRESULT hr = state->Open();
    if (hr != AVIERR_OK) return hr;
    file = std::make_shared<CAppendFile>(std::move(state));
    return AVIERR_OK;
  });
}

}  // namespace corvane
