// The two kinds of file the AVI writer hands out: a new file, and an existing file reopened
// to add streams. Both can be completed on demand.
#pragma once

#include <string>

#include "media/avi/aviwriter_core.h"
#include "media/avifile.h"

namespace corvane {

class CWritingFile : public CAviFile {
 public:
  // Completes the file now; the outcome of the first call is kept and returned again.
  virtual HRESULT Finish() = 0;
};

// Reopens an existing file with OF_WRITE (aviwriter_append.cpp).
HRESULT ReopenAviFile(const std::string& path, PAVIFILE& file,
                      const CAviWriterOptions& options = {});

// Runs `body` and turns an escaping exception (out of memory) into an error code.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return AVIERR_MEMORY;
  }
}

}  // namespace corvane
