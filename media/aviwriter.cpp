#include "media/aviopen.h"

namespace corvane {

// Placeholder until the RIFF writer lands.
HRESULT OpenAviWriter(const std::string&, uint32_t, PAVIFILE&) {
  return AVIERR_UNSUPPORTED;
}

}  // namespace corvane
