#include "media/aviopen.h"

namespace corvane {

// Placeholder until the RIFF reader lands.
HRESULT OpenAviReader(const std::string&, PAVIFILE&) {
  return AVIERR_UNSUPPORTED;
}

}  // namespace corvane
