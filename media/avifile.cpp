#include "media/avifile.h"

#include <cstring>
#include <fstream>

#include "media/avi/aviopen.h"
#include "media/demux/demuxfile.h"

namespace corvane {
namespace {

// Whether libavformat should have a go: a readable, non-empty file that does not start as a
// RIFF AVI does. AVI files are ours to read, damaged or not; a missing, empty or unreadable
// path is nobody's.
bool ForLibavformat(const std::string& path) {
  char head[12] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(head, sizeof head)) return false;
  return std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "AVI ", 4) != 0;
}

thread_local std::string t_lastOpenFailure;

}  // namespace

HRESULT CAviFile::Open(const std::string& path, uint32_t mode, PAVIFILE& file) {
  file.reset();
  if (mode & (OF_WRITE | OF_CREATE)) return OpenAviWriter(path, mode, file);
  t_lastOpenFailure.clear();
  const HRESULT result = OpenAviReader(path, file);
  if (result == AVIERR_OK || !ForLibavformat(path)) return result;
  return OpenDemuxFile(path, file, &t_lastOpenFailure) == AVIERR_OK ? AVIERR_OK : result;
}

std::string CAviFile::LastOpenFailure() {
  return t_lastOpenFailure;
}

}  // namespace corvane
