// Shared by the libFuzzer targets: each input becomes one in-memory file reached by a path
// (the engine opens paths), and a host that swallows messages so that a run stays quiet.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "media/codec/codecutil.h"
#include "media/host.h"

extern "C" {
#include <libavutil/log.h>
}

namespace corvane::fuzz {

// Writes `data` into a memory file named `name` (one for the process) and returns its
// /proc path, or an empty string when that fails. The file is cut to size after the write, so
// the pages of the previous input are reused instead of freed and faulted in again.
inline std::string InputFile(const char* name, const uint8_t* data, size_t size) {
  static int memory = memfd_create(name, MFD_CLOEXEC);
  if (memory < 0) return {};
  if (size > 0 && pwrite(memory, data, size, 0) != static_cast<ssize_t>(size)) return {};
  if (ftruncate(memory, static_cast<off_t>(size)) != 0) return {};
  return "/proc/self/fd/" + std::to_string(memory);
}

// Answers every box with OK and chooses no compressor; remembers nothing. Made once per process
// before the first input, it also quiets libav*: the engine's own log callback goes in first
// (it drops everything but the first error, which the demuxer's messages quote and the targets
// reach), then the level is set to quiet for the libav* code that asks for it before it does
// work for a report.
class CQuietHost final : public CHost {
 public:
  CQuietHost() {
    SetHost(this);
    QuietCodecLogging();
    av_log_set_level(AV_LOG_QUIET);
  }
  ~CQuietHost() override { SetHost(nullptr); }
  int MessageBox(const std::string&, const std::string&, uint32_t) override { return IDOK; }
  void SetStatusText(const std::string&) override {}
  bool ChooseCompression(AVICOMPRESSOPTIONS&) override { return false; }
};

}  // namespace corvane::fuzz
