// What the AVI writer offers beyond CAviFile: completing a file on demand, choosing the
// size of its RIFF parts, and copying every stream of one file into a new one.
#pragma once

#include <cstdint>
#include <string>

#include "media/avi/aviwriter_core.h"
#include "media/avifile.h"

namespace corvane {

// Completes a file opened with OF_CREATE or OF_WRITE now, instead of at its last release,
// and reports whether everything reached the disk (AVIERR_FILEWRITE when any write was
// refused). Streams of the file that are still held can no longer be written. For a file
// opened for reading it does nothing and returns AVIERR_OK.
HRESULT FinishAviFile(const PAVIFILE& file);

// OF_CREATE | OF_WRITE with a chosen RIFF part size and super index capacity.
HRESULT CreateAviFile(const std::string& path, const CAviWriterOptions& options, PAVIFILE& file);

struct CCopyTotals {
  int32_t m_streams = 0;
  int64_t m_chunks = 0;
  int64_t m_bytes = 0;
};

// Writes every stream of `source` (header, format, each chunk with its key flag at its
// position) into a new file at `path`, interleaving the streams by time, and completes it.
HRESULT CopyAviFile(const PAVIFILE& source, const std::string& path, CCopyTotals* totals = nullptr);

}  // namespace corvane
