#include "media/avi/aviwriter_riff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

namespace corvane {

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    m_fd = other.Release();
  }
  return *this;
}

int CUniqueFd::Release() {
  const int fd = m_fd;
  m_fd = -1;
  return fd;
}

bool CUniqueFd::Reset() {
  if (m_fd < 0) return true;
  const int result = ::close(m_fd);
  m_fd = -1;
  return result == 0 || errno == EINTR;
}

void CByteBuilder::U16(uint16_t value) {
  U8(static_cast<uint8_t>(value));
  U8(static_cast<uint8_t>(value >> 8));
}

void CByteBuilder::U32(uint32_t value) {
  U16(static_cast<uint16_t>(value));
  U16(static_cast<uint16_t>(value >> 16));
}

void CByteBuilder::U64(uint64_t value) {
  U32(static_cast<uint32_t>(value));
  U32(static_cast<uint32_t>(value >> 32));
}

void CByteBuilder::Bytes(const void* data, size_t size) {
  if (size == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  m_bytes.insert(m_bytes.end(), bytes, bytes + size);
}

void CByteBuilder::PatchU32(size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) m_bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

size_t CByteBuilder::BeginChunk(uint32_t id) {
  const size_t at = m_bytes.size();
  U32(id);
  U32(0);
  return at;
}

size_t CByteBuilder::BeginList(uint32_t listType, uint32_t id) {
  const size_t at = BeginChunk(id);
  U32(listType);
  return at;
}

void CByteBuilder::EndChunk(size_t at) {
  const size_t size = m_bytes.size() - at - 8;
  PatchU32(at + 4, static_cast<uint32_t>(size));
  if (size & 1) U8(0);
}

uint16_t LoadU16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t LoadU32(const uint8_t* at) {
  return static_cast<uint32_t>(LoadU16(at)) | static_cast<uint32_t>(LoadU16(at + 2)) << 16;
}

void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      sigaction(SIGXFSZ, &ignore, nullptr);
    }
  });
}

HRESULT COutputFile::Create(const std::string& path) {
  IgnoreFileSizeSignal();
  CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.IsOpen()) return AVIERR_FILEOPEN;
  m_fd = std::move(fd);
  m_end = 0;
  return AVIERR_OK;
}

void COutputFile::Adopt(CUniqueFd fd) {
  IgnoreFileSizeSignal();
  m_fd = std::move(fd);
  m_end = 0;
}

HRESULT COutputFile::OpenExisting(const std::string& path) {
  IgnoreFileSizeSignal();
  CUniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.IsOpen()) return errno == EACCES || errno == EROFS ? AVIERR_READONLY : AVIERR_FILEOPEN;
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return AVIERR_FILEOPEN;
  m_fd = std::move(fd);
  m_end = static_cast<uint64_t>(status.st_size);
  return AVIERR_OK;
}

HRESULT COutputFile::Truncate(uint64_t size) {
  if (!m_fd.IsOpen() || size > m_end) return AVIERR_FILEWRITE;
  if (::ftruncate(m_fd.Get(), static_cast<off_t>(size)) != 0) return AVIERR_FILEWRITE;
  m_end = size;
  return AVIERR_OK;
}

HRESULT COutputFile::Append(const iovec* parts, int count) {
  if (!m_fd.IsOpen()) return AVIERR_FILEWRITE;
  // Work on a copy of the vector so that partial writes can move through it.
  constexpr int kMaxParts = 8;
  if (count <= 0 || count > kMaxParts) return AVIERR_INTERNAL;
  iovec pending[kMaxParts];
  std::copy(parts, parts + count, pending);
  iovec* next = pending;
  int left = count;
  uint64_t offset = m_end;
  while (left > 0) {
    if (next->iov_len == 0) {
      ++next;
      --left;
      continue;
    }
    const ssize_t written = ::pwritev(m_fd.Get(), next, left, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // Keep the file as it was before this piece: no half chunk is left behind.
      if (::ftruncate(m_fd.Get(), static_cast<off_t>(m_end)) != 0) {
        // Nothing more can be done; the size fields written at completion still describe
        // the part that is complete.
      }
      return AVIERR_FILEWRITE;
    }
    offset += static_cast<uint64_t>(written);
    size_t done = static_cast<size_t>(written);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  m_end = offset;
  return AVIERR_OK;
}

HRESULT COutputFile::Append(const CByteBuilder& bytes) {
  iovec part{const_cast<uint8_t*>(bytes.Data()), bytes.Size()};
  return Append(&part, 1);
}

HRESULT COutputFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (!m_fd.IsOpen() || offset + size > m_end) return AVIERR_FILEWRITE;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(m_fd.Get(), bytes, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return AVIERR_FILEWRITE;
    bytes += written;
    size -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return AVIERR_OK;
}

bool ReadFullyAt(int fd, uint64_t offset, void* buffer, size_t count) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t got = ::pread(fd, bytes, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

HRESULT COutputFile::Close() {
  if (!m_fd.IsOpen()) return AVIERR_OK;
  return m_fd.Reset() ? AVIERR_OK : AVIERR_FILEWRITE;
}

}  // namespace corvane
