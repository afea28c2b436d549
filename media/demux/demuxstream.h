// The read-only stream base the demuxed streams share: a header and a format held by value, no
// writes, and the argument checks every Read starts with. Internal to media/demux.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "media/avifile.h"

namespace corvane {

class CDemuxData;

// Little-endian fields of a header being built (a WAVEFORMATEX).
inline void PutLittleEndian16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
inline void PutLittleEndian32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  PutLittleEndian16(bytes, at, value & 0xFFFF);
  PutLittleEndian16(bytes, at + 2, value >> 16);
}

// What every demuxed stream shares: the data it reads (may be null), its header and format, and
// being read-only.
class CDemuxStream : public CAviStream {
 public:
  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = m_info;
    return AVIERR_OK;
  }
  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const int32_t total = static_cast<int32_t>(m_format.size());
    if (!format) {
      *size = total;
      return AVIERR_OK;
    }
    *size = std::clamp(*size, 0, total);
    std::memcpy(format, m_format.data(), static_cast<size_t>(*size));
    return AVIERR_OK;
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return 0; }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }

 protected:
  explicit CDemuxStream(std::shared_ptr<CDemuxData> data) : m_data(std::move(data)) {}

  // The checks every Read starts with; AVIERR_OK with nothing to do when `samples` is 0.
  HRESULT ReadArguments(int32_t start, int32_t samples, int32_t* bytesRead,
                        int32_t* samplesRead) const {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    if (samples < 0 && samples != AVISTREAMREAD_CONVENIENT) return AVIERR_BADPARAM;
    if (start < 0 || start >= Length()) return AVIERR_NODATA;
    return AVIERR_OK;
  }

  std::shared_ptr<CDemuxData> m_data;
  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;
};

}  // namespace corvane
