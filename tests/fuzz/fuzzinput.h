// Shared by the libFuzzer targets: each input becomes one in-memory file reached by a path
// (the engine opens paths), and a host that swallows messages so that a run stays quiet.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "media/host.h"

namespace corvane::fuzz {

// Writes `data` into a memory file named `name` (one per name for the process) and returns its
// /proc path, or an empty string when that fails.
inline std::string InputFile(const char* name, const uint8_t* data, size_t size) {
  static int memory = memfd_create(name, 0);
  if (memory < 0 || ftruncate(memory, 0) != 0) return {};
  if (size > 0 && pwrite(memory, data, size, 0) != static_cast<ssize_t>(size)) return {};
  return "/proc/self/fd/" + std::to_string(memory);
}

// Answers every box with OK and chooses no compressor; remembers nothing.
class CQuietHost final : public CHost {
 public:
  CQuietHost() { SetHost(this); }
  ~CQuietHost() override { SetHost(nullptr); }
  int MessageBox(const std::string&, const std::string&, uint32_t) override { return IDOK; }
  void SetStatusText(const std::string&) override {}
  bool ChooseCompression(AVICOMPRESSOPTIONS&) override { return false; }
};

}  // namespace corvane::fuzz
