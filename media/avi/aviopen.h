// The two halves of CAviFile::Open, one per implementation file.
#pragma once

#include <string>

#include "media/avifile.h"

namespace corvane {

// Parses an existing file for reading (avireader.cpp).
HRESULT OpenAviReader(const std::string& path, PAVIFILE& file);
// Creates a new file (mode with OF_CREATE) or reopens an existing one to add streams
// (OF_WRITE alone) (aviwriter.cpp).
HRESULT OpenAviWriter(const std::string& path, uint32_t mode, PAVIFILE& file);

}  // namespace corvane
