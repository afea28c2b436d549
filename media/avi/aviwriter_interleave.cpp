#include "media/avi/aviwriter_interleave.h"

#include <algorithm>
#include <limits>

#include "media/avi/aviwriter_tools.h"

namespace corvane {
namespace {

constexpr int32_t kMaxChunkBytes = std::numeric_limits<int32_t>::max() - 16;

class CStreamChunkSource final : public CChunkSource {
 public:
  CStreamChunkSource(PAVISTREAM stream, const AVISTREAMINFOA& info)
      : CChunkSource(info.dwScale, info.dwRate),
        m_stream(std::move(stream)),
        // Frames and variable-size samples are one chunk each; fixed-size samples come in
        // the chunks the reader finds them in.
        m_oneByOne(info.fccType == streamtypeVIDEO || info.dwSampleSize == 0),
        m_position(m_stream->Start()),
        m_end(static_cast<int64_t>(m_stream->Start()) + m_stream->Length()) {
    m_stream->PaletteChanges(m_palettes);
  }

  HRESULT Next(CSourceChunk& chunk, bool& more) override {
    more = false;
    if (m_position >= m_end) return AVIERR_OK;
    if (m_position > INT32_MAX) return AVIERR_BADFORMAT;
    const auto position = static_cast<int32_t>(m_position);
    const int32_t wanted = m_oneByOne ? 1 : AVISTREAMREAD_CONVENIENT;
    int32_t bytes = 0;
    int32_t samples = 0;
    HRESULT hr = m_stream->Read(position, wanted, nullptr, 0, &bytes, &samples);
    if (hr != AVIERR_OK) return hr;
    // A chunk that moves the position nowhere would never end the copy.
    if (samples <= 0 || bytes < 0 || bytes > kMaxChunkBytes) return AVIERR_BADFORMAT;
    chunk.m_data.resize(static_cast<size_t>(bytes));
    if (bytes > 0) {
      int32_t got = 0;
      int32_t gotSamples = 0;
      hr = m_stream->Read(position, samples, chunk.m_data.data(), bytes, &got, &gotSamples);
      if (hr != AVIERR_OK) return hr;
      if (got != bytes || gotSamples != samples) return AVIERR_FILEREAD;
    }
    chunk.m_position = m_position;
    chunk.m_samples = samples;
    // The palette changes that come before this chunk go with it.
    chunk.m_paletteChanges.clear();
    for (; m_nextPalette < m_palettes.size() && m_palettes[m_nextPalette].m_position <= position;
         ++m_nextPalette) {
      chunk.m_paletteChanges.push_back(m_palettes[m_nextPalette].m_bytes);
    }
    chunk.m_flags =
        m_stream->FindSample(position, FIND_KEY | FIND_PREV) == position ? AVIIF_KEYFRAME : 0;
    m_position += samples;
    more = true;
    return AVIERR_OK;
  }

 private:
  PAVISTREAM m_stream;
  std::vector<SPaletteChange> m_palettes;
  size_t m_nextPalette = 0;
  bool m_oneByOne;
  int64_t m_position;
  int64_t m_end;
};

// Whether chunk a starts before chunk b in time: a.position * a.scale / a.rate compared
// exactly.
bool StartsBefore(const CSourceChunk& a, const CChunkSource& as, const CSourceChunk& b,
                  const CChunkSource& bs) {
  const __int128 left = static_cast<__int128>(a.m_position) * as.m_scale * bs.m_rate;
  const __int128 right = static_cast<__int128>(b.m_position) * bs.m_scale * as.m_rate;
  return left < right;
}

}  // namespace

std::unique_ptr<CChunkSource> MakeStreamChunkSource(const PAVISTREAM& stream) {
  AVISTREAMINFOA info{};
  if (!stream || stream->Info(info) != AVIERR_OK) return nullptr;
  return std::make_unique<CStreamChunkSource>(stream, info);
}

HRESULT WriteInterleaved(std::vector<std::unique_ptr<CChunkSource>>& sources,
                         const std::vector<PAVISTREAM>& targets, int64_t* chunks, int64_t* bytes) {
  if (chunks) *chunks = 0;
  if (bytes) *bytes = 0;
  if (sources.size() != targets.size()) return AVIERR_BADPARAM;
  const size_t count = sources.size();
  std::vector<CSourceChunk> pending(count);
  std::vector<bool> live(count, false);
  for (size_t i = 0; i < count; ++i) {
    bool more = false;
    const HRESULT hr = sources[i]->Next(pending[i], more);
    if (hr != AVIERR_OK) return hr;
    live[i] = more;
  }
  for (;;) {
    size_t next = count;
    for (size_t i = 0; i < count; ++i) {
      if (!live[i]) continue;
      if (next == count || StartsBefore(pending[i], *sources[i], pending[next], *sources[next]))
        next = i;
    }
    if (next == count) return AVIERR_OK;
    const CSourceChunk& chunk = pending[next];
    for (const std::vector<uint8_t>& palette : chunk.m_paletteChanges) {
      const HRESULT written =
          targets[next]->WritePaletteChange(palette.data(), static_cast<int32_t>(palette.size()));
      if (written < 0) return written;
    }
    HRESULT hr = targets[next]->Write(
        static_cast<int32_t>(chunk.m_position), chunk.m_samples, chunk.m_data.data(),
        static_cast<int32_t>(chunk.m_data.size()), chunk.m_flags, nullptr, nullptr);
    if (hr < 0) return hr;
    if (chunks) ++*chunks;
    if (bytes) *bytes += static_cast<int64_t>(chunk.m_data.size());
    bool more = false;
    hr = sources[next]->Next(pending[next], more);
    if (hr != AVIERR_OK) return hr;
    live[next] = more;
  }
}

HRESULT CreateStreamLike(const PAVIFILE& file, const PAVISTREAM& source, PAVISTREAM& created) {
  AVISTREAMINFOA info{};
  HRESULT hr = source->Info(info);
  if (hr != AVIERR_OK) return hr;
  int32_t size = 0;
  hr = source->ReadFormat(source->Start(), nullptr, &size);
  if (hr != AVIERR_OK) return hr;
  if (size < 0) return AVIERR_BADFORMAT;
  std::vector<uint8_t> format(static_cast<size_t>(size));
  if (size > 0) {
    hr = source->ReadFormat(source->Start(), format.data(), &size);
    if (hr != AVIERR_OK) return hr;
    format.resize(static_cast<size_t>(std::max(0, size)));
  }
  hr = file->CreateStream(created, info);
  if (hr != AVIERR_OK) return hr;
  return created->SetFormat(0, format.data(), static_cast<int32_t>(format.size()));
}

HRESULT CopyAviFile(const PAVIFILE& source, const std::string& path, CCopyTotals* totals) {
  try {
    if (totals) *totals = {};
    if (!source) return AVIERR_BADHANDLE;
    PAVIFILE output;
    HRESULT hr = CAviFile::Open(path, OF_CREATE | OF_WRITE, output);
    if (hr != AVIERR_OK) return hr;
    std::vector<std::unique_ptr<CChunkSource>> sources;
    std::vector<PAVISTREAM> targets;
    for (int32_t i = 0; i < 100; ++i) {
      PAVISTREAM stream;
      if (source->GetStream(stream, 0, i) != AVIERR_OK || !stream) break;
      PAVISTREAM created;
      hr = CreateStreamLike(output, stream, created);
      if (hr != AVIERR_OK) break;
      auto chunkSource = MakeStreamChunkSource(stream);
      if (!chunkSource) {
        hr = AVIERR_BADFORMAT;
        break;
      }
      sources.push_back(std::move(chunkSource));
      targets.push_back(std::move(created));
    }
    int64_t chunks = 0;
    int64_t bytes = 0;
    if (hr == AVIERR_OK) hr = WriteInterleaved(sources, targets, &chunks, &bytes);
    targets.clear();
    const HRESULT finished = FinishAviFile(output);
    if (hr == AVIERR_OK) hr = finished;
    if (totals) *totals = {static_cast<int32_t>(sources.size()), chunks, bytes};
    return hr;
  } catch (...) {
    return AVIERR_MEMORY;
  }
}

}  // namespace corvane
