// corvane-avi copy IN OUT: every stream of IN rewritten into a new file OUT.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/avi_commands.h"
#include "media/avi/aviwriter_tools.h"
#include "media/avifile.h"
#include "media/mux/container.h"
#include "media/mux/muxplain.h"

namespace corvane::cli {
namespace {

const char* Describe(HRESULT hr) {
  switch (hr) {
    case AVIERR_FILEOPEN:
      return "cannot open the file";
    case AVIERR_FILEREAD:
      return "a read failed";
    case AVIERR_FILEWRITE:
      return "a write failed (disk full, file size limit or I/O error)";
    case AVIERR_BADFORMAT:
      return "not an AVI file, or damaged beyond repair";
    case AVIERR_MEMORY:
      return "out of memory";
    case AVIERR_NODATA:
      return "no data";
    case AVIERR_UNSUPPORTED:
      return "not supported";
    case AVIERR_BADPARAM:
      return "a sample position or size is out of order";
    default:
      return "failed";
  }
}

bool SameFile(const char* a, const char* b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace

int RunCopy(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Usage: corvane-avi copy IN OUT\n", stderr);
    return 2;
  }
  const char* in = argv[0];
  const char* out = argv[1];
  if (SameFile(in, out)) {
    std::fprintf(stderr, "corvane-avi: '%s' and '%s' are the same file\n", in, out);
    return 1;
  }
  // An MP4 or MOV that another program (or a mix that was killed) left in fragments: copied
  // packet for packet into a plain file with its index at the front.
  const CContainerInfo* target = ContainerForPath(out);
  if (!IsAviFile(in) && target &&
      (target->m_kind == EContainer::kMp4 || target->m_kind == EContainer::kMov)) {
    const HRESULT copied = CopyToPlainFile(in, out, *target);
    if (copied != AVIERR_OK) {
      std::fprintf(stderr, "corvane-avi: copying '%s' to '%s' failed: %s\n", in, out,
                   copied == AVIERR_FILEREAD ? "it cannot be read as a video" : Describe(copied));
      std::remove(out);
      return 1;
    }
    std::printf("%s: a plain %s file, its index at the front\n", out, target->m_displayName);
    return 0;
  }
  PAVIFILE source;
  HRESULT hr = CAviFile::Open(in, OF_SHARE_DENY_WRITE, source);
  if (hr != AVIERR_OK) {
    std::fprintf(stderr, "corvane-avi: cannot read '%s': %s (0x%08X)\n", in, Describe(hr),
                 static_cast<unsigned>(hr));
    return 1;
  }
  CCopyTotals totals;
  hr = CopyAviFile(source, out, &totals);
  if (hr != AVIERR_OK) {
    std::fprintf(stderr, "corvane-avi: copying '%s' to '%s' failed: %s (0x%08X)\n", in, out,
                 Describe(hr), static_cast<unsigned>(hr));
    // A half-written copy must not pass for a good one.
    std::remove(out);
    return 1;
  }
  std::printf("%s: %d streams, %lld chunks, %lld bytes\n", out, totals.m_streams,
              static_cast<long long>(totals.m_chunks), static_cast<long long>(totals.m_bytes));
  return 0;
}

}  // namespace corvane::cli
