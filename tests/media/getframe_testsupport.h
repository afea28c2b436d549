// Shared by the codec tests: an in-memory video stream (for pictures no fixture has: top-down
// rows, 16/32-bit samples, absurd sizes, unknown FourCCs) and the peer decodes by the ffmpeg
// command line, as Frame-buffer-sized frames.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/avifile.h"
#include "support/testsupport.h"

namespace corvane::test {

class CFakeVideoStream final : public CAviStream {
 public:
  CFakeVideoStream(const BITMAPINFOHEADER& header, std::vector<uint8_t> extra = {}) {
    m_format.resize(sizeof header);
    std::memcpy(m_format.data(), &header, sizeof header);
    m_format.insert(m_format.end(), extra.begin(), extra.end());
    m_info.fccType = streamtypeVIDEO;
    m_info.fccHandler = header.biCompression;
    m_info.dwScale = 1;
    m_info.dwRate = 10;
  }
  void Add(std::vector<uint8_t> sample, bool key = true) {
    m_samples.push_back(std::move(sample));
    m_keys.push_back(key);
  }

  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = m_info;
    info.dwLength = static_cast<uint32_t>(m_samples.size());
    return AVIERR_OK;
  }
  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!format) {
      *size = static_cast<int32_t>(m_format.size());
      return AVIERR_OK;
    }
    *size = std::min<int32_t>(*size, static_cast<int32_t>(m_format.size()));
    std::memcpy(format, m_format.data(), *size);
    return AVIERR_OK;
  }
  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return m_start; }
  int32_t Length() const override { return static_cast<int32_t>(m_samples.size()); }
  HRESULT Read(int32_t start, int32_t, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    const int64_t index = static_cast<int64_t>(start) - m_start;
    if (index < 0 || index >= static_cast<int64_t>(m_samples.size())) return AVIERR_NODATA;
    const std::vector<uint8_t>& sample = m_samples[index];
    const int32_t size = static_cast<int32_t>(sample.size());
    if (buffer) {
      if (bufferSize < size) return AVIERR_BUFFERTOOSMALL;
      std::memcpy(buffer, sample.data(), size);
      ++m_reads;
    }
    if (bytesRead) *bytesRead = size;
    if (samplesRead) *samplesRead = 1;
    return AVIERR_OK;
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }
  int32_t FindSample(int32_t position, uint32_t flags) const override {
    const int32_t step = (flags & FIND_NEXT) ? 1 : -1;
    for (int64_t at = position; at >= m_start && at < m_start + Length(); at += step) {
      if (!(flags & FIND_KEY) || m_keys[at - m_start]) return static_cast<int32_t>(at);
    }
    return -1;
  }

  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;
  std::vector<std::vector<uint8_t>> m_samples;
  std::vector<bool> m_keys;
  int32_t m_start = 0;
  int m_reads = 0;
};

inline BITMAPINFOHEADER BitmapHeader(int32_t width, int32_t height, uint16_t bits,
                                     uint32_t compression = BI_RGB) {
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = bits;
  header.biCompression = compression;
  return header;
}

// Every frame ffmpeg decodes from the first video stream, as bgr24 (top row first, no row
// padding), one vector per frame. `filters` goes to -vf when not empty. Empty on failure.
inline std::vector<std::vector<uint8_t>> PeerFrames(const std::string& path, int width, int height,
                                                    const std::string& filters = "") {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -i " +
                              ShellQuote(path) + " -map 0:v:0 " +
                              (filters.empty() ? "" : "-vf " + ShellQuote(filters) + " ") +
                              "-fps_mode passthrough -f rawvideo -pix_fmt bgr24 -";
  const CCommandResult result = RunCommand(command);
  std::vector<std::vector<uint8_t>> frames;
  const size_t frameBytes = static_cast<size_t>(width) * height * 3;
  if (result.m_exitCode != 0 || frameBytes == 0) return frames;
  for (size_t at = 0; at + frameBytes <= result.m_output.size(); at += frameBytes) {
    frames.emplace_back(result.m_output.begin() + at, result.m_output.begin() + at + frameBytes);
  }
  return frames;
}

// A Frame buffer (bottom-up, padded rows) as ffmpeg lays bgr24 out: top row first, unpadded.
inline std::vector<uint8_t> TopDownUnpadded(const uint8_t* frame, int width, int height) {
  const int stride = FrameStride(width);
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> out(rowBytes * height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(out.data() + rowBytes * y, frame + static_cast<size_t>(stride) * (height - 1 - y),
                rowBytes);
  }
  return out;
}

// Largest difference between two byte runs of the same length (256 when lengths differ).
inline int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int largest = 0;
  for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

}  // namespace corvane::test
