#include "media/avifile.h"

#include <cstring>
#include <fstream>

#include "media/avi/aviopen.h"
#include "media/demux/demuxfile.h"

namespace corvane {
namespace {

// Whether the file starts as a RIFF AVI does. Such files are ours to read, damaged or not;
// every other file goes to libavformat.
bool LooksLikeAvi(const std::string& path) {
  char head[12] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(head, sizeof head)) return false;
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
}

}  // namespace

HRESULT CAviFile::Open(const std::string& path, uint32_t mode, PAVIFILE& file) {
  file.reset();
  if (mode & (OF_WRITE | OF_CREATE)) return OpenAviWriter(path, mode, file);
  const HRESULT result = OpenAviReader(path, file);
  if (result == AVIERR_OK || LooksLikeAvi(path)) return result;
  return OpenDemuxFile(path, file) == AVIERR_OK ? AVIERR_OK : result;
}

}  // namespace corvane
