// Building blocks of the AVI writer: little-endian record building and an output file that
// reports every failed write.
//
// COutputFile owns one file descriptor. Appends go at the end of what has been written so
// far; a failed append cuts the file back to where it was, so the file never holds half a
// chunk. A write that the system refuses (disk full, file size limit, I/O error) is always
// reported as AVIERR_FILEWRITE: SIGXFSZ is ignored while writers exist so that exceeding
// the file size limit shows up as a failed write(2) instead of ending the process.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/avidefs.h"

namespace corvane {

// A file descriptor that closes itself.
class CUniqueFd {
 public:
  CUniqueFd() = default;
  explicit CUniqueFd(int fd) : m_fd(fd) {}
  ~CUniqueFd() { Reset(); }
  CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
  CUniqueFd& operator=(CUniqueFd&& other) noexcept;
  CUniqueFd(const CUniqueFd&) = delete;
  CUniqueFd& operator=(const CUniqueFd&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  int Release();
  // Closes the descriptor; false when close(2) reported a failure (data may be lost).
  bool Reset();

 private:
  int m_fd = -1;
};

// Little-endian bytes, appended field by field.
class CByteBuilder {
 public:
  void U8(uint8_t value) { m_bytes.push_back(value); }
  void U16(uint16_t value);
  void U32(uint32_t value);
  void U64(uint64_t value);
  void Bytes(const void* data, size_t size);
  void Zeros(size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
  // Overwrites four bytes written earlier (a size field filled in once known).
  void PatchU32(size_t at, uint32_t value);
  // Opens a chunk: id and a size to be filled by EndChunk. Returns the chunk's offset.
  size_t BeginChunk(uint32_t id);
  size_t BeginList(uint32_t listType, uint32_t id = MakeFourCC('L', 'I', 'S', 'T'));
  // Sets the size of the chunk opened at `at` and pads it to an even length.
  void EndChunk(size_t at);

  size_t Size() const { return m_bytes.size(); }
  const uint8_t* Data() const { return m_bytes.data(); }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }
  void Clear() { m_bytes.clear(); }

 private:
  std::vector<uint8_t> m_bytes;
};

// Reads a little-endian field from a byte block (no bounds check: callers check sizes).
uint16_t LoadU16(const uint8_t* at);
uint32_t LoadU32(const uint8_t* at);

// An output file written at the end and patched in place.
class COutputFile {
 public:
  // Creates `path` (truncating a file that exists). AVIERR_FILEOPEN on failure.
  HRESULT Create(const std::string& path);
  // Takes over an open, empty file (a scratch file made elsewhere).
  void Adopt(CUniqueFd fd);
  // Opens an existing regular file for reading and writing, without changing it; appends
  // go after its last byte. AVIERR_FILEOPEN (AVIERR_READONLY when writing is refused).
  HRESULT OpenExisting(const std::string& path);
  // Cuts the file back to `size` bytes (no more than End()).
  HRESULT Truncate(uint64_t size);
  bool IsOpen() const { return m_fd.IsOpen(); }
  int Descriptor() const { return m_fd.Get(); }

  // Appends the parts as one piece at the end. On failure the file is cut back and End()
  // stays where it was.
  HRESULT Append(const iovec* parts, int count);
  HRESULT Append(const CByteBuilder& bytes);
  // Overwrites bytes inside what has been written.
  HRESULT WriteAt(uint64_t offset, const void* data, size_t size);
  // Closes the file; AVIERR_FILEWRITE when the system reports that data may be lost.
  HRESULT Close();

  uint64_t End() const { return m_end; }

 private:
  CUniqueFd m_fd;
  uint64_t m_end = 0;
};

// Reads exactly `count` bytes at `offset` of an open descriptor; false on a short read or an
// error.
bool ReadFullyAt(int fd, uint64_t offset, void* buffer, size_t count);

// Ignores SIGXFSZ for the rest of the process unless someone installed a handler.
void IgnoreFileSizeSignal();

}  // namespace corvane
