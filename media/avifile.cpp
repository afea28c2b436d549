#include "media/avifile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "media/avi/aviopen.h"
#include "media/demux/demuxfile.h"
#include "media/host.h"
#include "media/mux/muxfile.h"

namespace corvane {
namespace {

enum class EKind { kNobodys, kAvi, kTooShort, kOther };

// Who reads `path`: AVI files are ours to read, damaged or not; a readable file that does not
// start as a RIFF AVI is libavformat's; a missing, empty or unreadable path is nobody's, and a
// few bytes that cannot even hold a header are no video of any kind.
EKind KindOf(const std::string& path) {
  char head[12] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(head, sizeof head);
  const std::streamsize got = in.gcount();
  if (got <= 0) return EKind::kNobodys;
  if (std::memcmp(head, "RIFF", static_cast<size_t>(std::min<std::streamsize>(got, 4))) == 0 &&
      (got < 12 || std::memcmp(head + 8, "AVI ", 4) == 0))
    return EKind::kAvi;
  return got < static_cast<std::streamsize>(sizeof head) ? EKind::kTooShort : EKind::kOther;
}

thread_local std::string t_lastOpenFailure;

// Why nobody can read `path`, in the system's words where it has them.
std::string UnreadableReason(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return "no such file";
    if (errno == EACCES) return "permission denied";
    return std::strerror(errno);
  }
  if (S_ISDIR(status.st_mode)) return "a folder, not a video";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return errno == EACCES ? "permission denied" : std::strerror(errno);
  std::fclose(file);
  return "an empty file, not a video";
}

}  // namespace

HRESULT CAviFile::Open(const std::string& path, uint32_t mode, PAVIFILE& file,
                       const CContainerInfo* container) {
  file.reset();
  if (mode & OF_CREATE) {
    const CContainerInfo& made = OutputContainer(path, container);
    if (made.m_kind != EContainer::kAvi) return OpenMuxWriter(path, made, file);
  }
  if (mode & (OF_WRITE | OF_CREATE)) return OpenAviWriter(path, mode, file);
  t_lastOpenFailure.clear();
  const HRESULT result = OpenAviReader(path, file);
  if (result == AVIERR_OK) return result;
  const EKind kind = KindOf(path);
  if (kind == EKind::kTooShort) t_lastOpenFailure = "unknown format, or a damaged file";
  if (kind == EKind::kNobodys) t_lastOpenFailure = UnreadableReason(path);
  if (kind != EKind::kOther) return result;
  const HRESULT demuxed = OpenDemuxFile(path, file, &t_lastOpenFailure);
  return demuxed == AVIERR_OK || demuxed == AVIERR_USERABORT ? demuxed : result;
}

bool IsAviFile(const std::string& path) {
  return KindOf(path) == EKind::kAvi;
}

std::string CAviFile::LastOpenFailure() {
  return t_lastOpenFailure;
}

}  // namespace corvane
