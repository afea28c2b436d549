#include "media/avi/riffsource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace corvane {

CRiffSource::~CRiffSource() {
  if (m_fd >= 0) ::close(m_fd);
}

HRESULT CRiffSource::Open(const std::string& path) {
  if (m_fd >= 0) return AVIERR_INTERNAL;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return AVIERR_FILEOPEN;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
    ::close(fd);
    return AVIERR_FILEOPEN;
  }
  m_fd = fd;
  m_size = static_cast<uint64_t>(status.st_size);
  return AVIERR_OK;
}

bool CRiffSource::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  if (m_fd < 0 || !Contains(offset, count)) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t got = ::pread(m_fd, out, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += static_cast<uint64_t>(got);
    count -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadChunkHeader(const CRiffSource& source, uint64_t offset, uint64_t limit,
                     SRiffChunk& chunk) {
  if (offset > limit || limit - offset < 8) return false;
  uint8_t header[8];
  if (!source.ReadAt(offset, header, sizeof header)) return false;
  chunk.m_offset = offset;
  chunk.m_id = LoadU32(header);
  chunk.m_size = LoadU32(header + 4);
  return true;
}

bool IsPrintableFourCC(uint32_t fcc) {
  for (int i = 0; i < 4; ++i) {
    const uint32_t c = (fcc >> (8 * i)) & 0xFFu;
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string FourCCText(uint32_t fcc) {
  if (IsPrintableFourCC(fcc)) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((fcc >> (8 * i)) & 0xFFu);
    return text;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", fcc);
  return hex;
}

}  // namespace corvane
