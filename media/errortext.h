// Turns a failure code of the AVI layer into readable text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "media/avidefs.h"

namespace corvane {

// "Unable to open PATH", with the reason a file that is not an AVI could not be opened on a
// second line (CAviFile::LastOpenFailure) when there is one.
std::string UnableToOpenText(const std::string& path);

class CErrorText {
 public:
  explicit CErrorText(HRESULT code) : m_code(code) {}
  // The text for the code (no trailing line break), or "Unknown error 0x%0X" for a code the
  // layer does not know; nullopt when no text can be had.
  std::optional<std::string> Text();

  HRESULT m_code;
  std::optional<std::string> m_message;
};

}  // namespace corvane
