// Reading side of the AVI layer: a parsed file (SAviFileData, shared by the file object and its
// streams so that a stream keeps everything it reads from alive) and the CAviFile / CAviStream
// implementations over it.
#include <algorithm>
#include <limits>
#include <new>

#include "media/avi/aviopen.h"
#include "media/avi/avireader_parse.h"
#include "media/avi/avireader_types.h"

namespace corvane {
namespace {

constexpr uint32_t kAviFileCapsCanRead = 0x00000001;
// avih flags that the file information passes on (they share their values).
constexpr uint32_t kPassedFileFlags =
    0x00000010 | 0x00000020 | 0x00000100 | 0x00010000 | 0x00020000;

class CAviReaderStream final : public CAviStream {
 public:
  CAviReaderStream(std::shared_ptr<const SAviFileData> data, size_t index)
      : m_data(std::move(data)), m_stream(m_data->m_streams[index]) {}

  // Positional reads of data fixed once the file is parsed.
  bool ReadsConcurrently() const override { return true; }

  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = m_stream.m_info;
    return AVIERR_OK;
  }

  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const auto formatSize = static_cast<int32_t>(m_stream.m_format.size());
    if (!format) {
      *size = formatSize;
      return AVIERR_OK;
    }
    const int32_t count = std::clamp(*size, 0, formatSize);
    std::copy_n(m_stream.m_format.begin(), count, static_cast<uint8_t*>(format));
    *size = count;
    return AVIERR_OK;
  }

  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return m_stream.m_start; }
  int32_t Length() const override { return m_stream.m_length; }

  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override;

  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t* samplesWritten,
                int32_t* bytesWritten) override {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    return AVIERR_READONLY;
  }

  int32_t FindSample(int32_t position, uint32_t flags) const override;
  bool PaletteChanges(std::vector<SPaletteChange>& changes) const override;

 private:
  HRESULT ReadFixed(int64_t first, int32_t samples, uint8_t* buffer, int32_t bufferSize,
                    int32_t& bytes, int32_t& count) const;
  bool IsKey(size_t chunk) const {
    return !m_stream.m_anyKey || (m_stream.m_chunks[chunk].m_flags & AVIIF_KEYFRAME);
  }

  std::shared_ptr<const SAviFileData> m_data;
  const SAviStreamData& m_stream;
};

bool CAviReaderStream::PaletteChanges(std::vector<SPaletteChange>& changes) const {
  changes.clear();
  // A change holds at most 256 entries of 4 bytes after its 4-byte head.
  constexpr uint32_t kLargest = 4 + 256 * 4;
  for (const SAviChunkRef& chunk : m_stream.m_paletteChanges) {
    if (chunk.m_size < 4 || chunk.m_size > kLargest) continue;
    SPaletteChange change;
    change.m_bytes.resize(chunk.m_size);
    if (!m_data->m_source.ReadAt(chunk.m_offset, change.m_bytes.data(), chunk.m_size)) continue;
    // It applies to the samples whose chunks follow it in the file.
    const auto after = std::lower_bound(
        m_stream.m_chunks.begin(), m_stream.m_chunks.end(), chunk.m_offset,
        [](const SAviChunkRef& sample, uint64_t offset) { return sample.m_offset < offset; });
    change.m_position = m_stream.m_start + static_cast<int32_t>(after - m_stream.m_chunks.begin());
    changes.push_back(std::move(change));
  }
  return !changes.empty();
}

HRESULT CAviReaderStream::Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize,
                               int32_t* bytesRead, int32_t* samplesRead) {
  if (bytesRead) *bytesRead = 0;
  if (samplesRead) *samplesRead = 0;
  if (samples < 0 && samples != AVISTREAMREAD_CONVENIENT) return AVIERR_BADPARAM;
  if (buffer && bufferSize < 0) return AVIERR_BADPARAM;
  const int64_t first = static_cast<int64_t>(start) - m_stream.m_start;
  if (first < 0 || first >= m_stream.m_length) return AVIERR_NODATA;
  int32_t bytes = 0, count = 0;
  if (m_stream.m_sampleSize > 0) {
    const HRESULT result =
        ReadFixed(first, samples, static_cast<uint8_t*>(buffer), bufferSize, bytes, count);
    if (result != AVIERR_OK) return result;
  } else {
    // One chunk is one sample, whatever count was asked for (a zero-length chunk too).
    const SAviChunkRef& chunk = m_stream.m_chunks[static_cast<size_t>(first)];
    if (chunk.m_size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
      return AVIERR_BADSIZE;
    bytes = static_cast<int32_t>(chunk.m_size);
    count = samples == 0 ? 0 : 1;
    if (count == 0) bytes = 0;
    if (buffer && bytes > 0) {
      if (bufferSize < bytes) return AVIERR_BUFFERTOOSMALL;
      if (!m_data->m_source.ReadAt(chunk.m_offset, buffer, static_cast<size_t>(bytes)))
        return AVIERR_FILEREAD;
    }
  }
  if (bytesRead) *bytesRead = bytes;
  if (samplesRead) *samplesRead = count;
  return AVIERR_OK;
}

// Fixed-size samples: `samples` from `first` (or the rest of the chunk holding it), as many
// as the buffer holds, read across chunk boundaries.
HRESULT CAviReaderStream::ReadFixed(int64_t first, int32_t samples, uint8_t* buffer,
                                    int32_t bufferSize, int32_t& bytes, int32_t& count) const {
  const uint32_t sampleSize = m_stream.m_sampleSize;
  const auto& starts = m_stream.m_chunkFirst;
  // The chunk holding `first`: the last chunk starting at or before it (empty ones skipped).
  size_t chunk = static_cast<size_t>(std::upper_bound(starts.begin(), starts.end() - 1, first) -
                                     starts.begin() - 1);
  int64_t wanted = samples == AVISTREAMREAD_CONVENIENT ? starts[chunk + 1] - first : samples;
  wanted = std::min<int64_t>(wanted, m_stream.m_length - first);
  wanted = std::min<int64_t>(wanted, std::numeric_limits<int32_t>::max() / sampleSize);
  if (buffer) {
    const int64_t fit = bufferSize / sampleSize;
    if (wanted > 0 && fit == 0) return AVIERR_BUFFERTOOSMALL;
    wanted = std::min(wanted, fit);
  }
  count = static_cast<int32_t>(wanted);
  bytes = static_cast<int32_t>(wanted * sampleSize);
  if (!buffer) return AVIERR_OK;
  int64_t position = first;
  uint8_t* out = buffer;
  for (int64_t left = wanted; left > 0; ++chunk) {
    const SAviChunkRef& ref = m_stream.m_chunks[chunk];
    const int64_t inChunk = starts[chunk + 1] - position;
    if (inChunk <= 0) continue;
    const int64_t take = std::min(left, inChunk);
    const uint64_t offset =
        ref.m_offset + static_cast<uint64_t>(position - starts[chunk]) * sampleSize;
    const auto length = static_cast<size_t>(take * sampleSize);
    if (!m_data->m_source.ReadAt(offset, out, length)) return AVIERR_FILEREAD;
    out += length;
    position += take;
    left -= take;
  }
  return AVIERR_OK;
}

int32_t CAviReaderStream::FindSample(int32_t position, uint32_t flags) const {
  const int64_t length = m_stream.m_length;
  if (length == 0) return -1;
  const bool next = (flags & FIND_NEXT) && !(flags & FIND_PREV);
  int64_t index = static_cast<int64_t>(position) - m_stream.m_start;
  if (next && index < 0) index = 0;
  if (!next && index >= length) index = length - 1;
  if (index < 0 || index >= length) return -1;
  // Fixed-size samples (audio) are all key samples and never empty.
  if (m_stream.m_sampleSize > 0) return static_cast<int32_t>(index + m_stream.m_start);
  auto matches = [&](size_t chunk) {
    if (flags & FIND_KEY) return IsKey(chunk);
    if (flags & FIND_ANY) return m_stream.m_chunks[chunk].m_size > 0;
    return true;
  };
  for (; index >= 0 && index < length; index += next ? 1 : -1)
    if (matches(static_cast<size_t>(index))) return static_cast<int32_t>(index + m_stream.m_start);
  return -1;
}

class CAviReaderFile final : public CAviFile {
 public:
  explicit CAviReaderFile(std::shared_ptr<const SAviFileData> data) : m_data(std::move(data)) {}

  HRESULT Info(AVIFILEINFOW& info) const override;
  HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) override;
  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA&) override {
    stream.reset();
    return AVIERR_READONLY;
  }

  const std::shared_ptr<const SAviFileData>& Data() const { return m_data; }

 private:
  std::shared_ptr<const SAviFileData> m_data;
};

HRESULT CAviReaderFile::Info(AVIFILEINFOW& info) const {
  info = AVIFILEINFOW{};
  const SAviMainHeader& main = m_data->m_main;
  info.dwMaxBytesPerSec = main.m_maxBytesPerSec;
  info.dwFlags = main.m_flags & kPassedFileFlags;
  info.dwCaps = kAviFileCapsCanRead;
  info.dwStreams = static_cast<uint32_t>(m_data->m_streams.size());
  info.dwSuggestedBufferSize = main.m_suggestedBufferSize;
  info.dwWidth = main.m_width;
  info.dwHeight = main.m_height;
  info.dwScale = main.m_microSecPerFrame;
  info.dwRate = 1000000;
  info.dwLength = main.m_totalFrames;
  for (const SAviStreamData& stream : m_data->m_streams) {
    if (stream.m_info.fccType != streamtypeVIDEO) continue;
    info.dwScale = stream.m_info.dwScale;
    info.dwRate = stream.m_info.dwRate;
    info.dwLength = static_cast<uint32_t>(stream.m_length);
    // Some writers leave the main header's picture size at zero; the stream's format has it.
    if ((info.dwWidth == 0 || info.dwHeight == 0) && stream.m_format.size() >= 12) {
      const auto width = static_cast<int32_t>(LoadU32(stream.m_format.data() + 4));
      const auto height = static_cast<int32_t>(LoadU32(stream.m_format.data() + 8));
      if (width > 0 && height != 0 && height != std::numeric_limits<int32_t>::min()) {
        info.dwWidth = static_cast<uint32_t>(width);
        info.dwHeight = static_cast<uint32_t>(height < 0 ? -height : height);
      }
    }
    break;
  }
  const char16_t type[] = u"AVI";
  std::copy(std::begin(type), std::end(type), info.szFileType);
  return AVIERR_OK;
}

HRESULT CAviReaderFile::GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) {
  stream.reset();
  if (index < 0) return AVIERR_NODATA;
  int32_t seen = 0;
  for (size_t i = 0; i < m_data->m_streams.size(); ++i) {
    if (fccType != 0 && m_data->m_streams[i].m_info.fccType != fccType) continue;
    if (seen++ != index) continue;
    try {
      stream = std::make_shared<CAviReaderStream>(m_data, i);
    } catch (const std::bad_alloc&) {
      return AVIERR_MEMORY;
    }
    return AVIERR_OK;
  }
  return AVIERR_NODATA;
}

}  // namespace

HRESULT OpenAviReader(const std::string& path, PAVIFILE& file) {
  file.reset();
  try {
    auto data = std::make_shared<SAviFileData>();
    HRESULT result = data->m_source.Open(path);
    if (result != AVIERR_OK) return result;
    SAviLayout layout;
    result = ParseAviLayout(*data, layout);
    if (result != AVIERR_OK) return result;
    result = BuildChunkTables(*data, layout);
    if (result != AVIERR_OK) return result;
    file = std::make_shared<CAviReaderFile>(std::move(data));
    return AVIERR_OK;
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  } catch (...) {
    return AVIERR_INTERNAL;
  }
}

bool DescribeAviReader(const CAviFile& file, std::shared_ptr<const SAviFileData>& data) {
  const auto* reader = dynamic_cast<const CAviReaderFile*>(&file);
  if (!reader) return false;
  data = reader->Data();
  return true;
}

}  // namespace corvane
