#include "media/errortext.h"

#include <cstdio>

#include "media/avifile.h"

namespace corvane {
namespace {

const char* LayerText(HRESULT code) {
  switch (code) {
    case AVIERR_OK:
      return "The operation completed successfully.";
    case AVIERR_UNSUPPORTED:
      return "The operation is not supported by this file or stream.";
    case AVIERR_BADFORMAT:
      return "The data format is not valid or cannot be read.";
    case AVIERR_MEMORY:
      return "There is not enough memory to complete the operation.";
    case AVIERR_INTERNAL:
      return "An internal error occurred in the AVI file services.";
    case AVIERR_BADFLAGS:
      return "An invalid flag was passed.";
    case AVIERR_BADPARAM:
      return "An invalid parameter was passed.";
    case AVIERR_BADSIZE:
      return "A size or position is out of range.";
    case AVIERR_BADHANDLE:
      return "The file or stream handle is not valid.";
    case AVIERR_FILEREAD:
      return "A disk error occurred while reading the file.";
    case AVIERR_FILEWRITE:
      return "A disk error occurred while writing the file.";
    case AVIERR_FILEOPEN:
      return "The file could not be opened.";
    case AVIERR_COMPRESSOR:
      return "The compressor reported an error.";
    case AVIERR_NOCOMPRESSOR:
      return "No suitable compressor could be found.";
    case AVIERR_READONLY:
      return "The file or stream is read-only.";
    case AVIERR_NODATA:
      return "The file does not contain the requested stream or data.";
    case AVIERR_BUFFERTOOSMALL:
      return "The buffer is too small to hold the data.";
    case AVIERR_CANTCOMPRESS:
      return "The compressor cannot compress data in this format.";
    case AVIERR_USERABORT:
      return "The operation was cancelled by the user.";
    case AVIERR_ERROR:
      return "An unspecified error occurred.";
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<std::string> CErrorText::Text() {
  if (!m_message) {
    if (const char* text = LayerText(m_code)) {
      m_message = text;
    } else {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0X", static_cast<uint32_t>(m_code));
      m_message = buffer;
    }
  }
  return m_message;
}

std::string UnableToOpenText(const std::string& path) {
  const std::string why = CAviFile::LastOpenFailure();
  return "Unable to open " + path + (why.empty() ? "" : "\n" + why);
}

}  // namespace corvane
