#include "media/avifile.h"

#include "media/avi/aviopen.h"

namespace corvane {

HRESULT CAviFile::Open(const std::string& path, uint32_t mode, PAVIFILE& file) {
  file.reset();
  if (mode & (OF_WRITE | OF_CREATE)) return OpenAviWriter(path, mode, file);
  return OpenAviReader(path, file);
}

}  // namespace corvane
