// libFuzzer target for the AVI reader: open the input as a file, take the file information,
// then every stream's header, format, every sample (chunk by chunk and by counts) and a few
// key-frame searches. Any crash, sanitizer report or oversized allocation is a finding.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "media/avi/aviopen.h"
#include "media/avifile.h"

namespace {

void ExerciseStream(corvane::CAviStream& stream) {
  using namespace corvane;
  AVISTREAMINFOA info{};
  stream.Info(info);
  int32_t formatSize = 0;
  if (stream.ReadFormat(0, nullptr, &formatSize) == AVIERR_OK && formatSize > 0) {
    std::vector<uint8_t> format(static_cast<size_t>(formatSize));
    stream.ReadFormat(0, format.data(), &formatSize);
  }
  std::vector<uint8_t> buffer;
  const int64_t start = stream.Start(), end = start + stream.Length();
  int steps = 0;
  for (int64_t position = start; position < end && steps < 20000; ++steps) {
    int32_t bytes = 0, samples = 0;
    const auto at = static_cast<int32_t>(position);
    if (stream.Read(at, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples) != AVIERR_OK ||
        samples <= 0)
      break;
    buffer.resize(static_cast<size_t>(bytes) + 1);
    stream.Read(at, samples, buffer.data(), bytes, &bytes, &samples);
    stream.Read(at, 7, buffer.data(), static_cast<int32_t>(buffer.size()), nullptr, nullptr);
    position += samples;
  }
  for (int32_t probe : {-1, 0, stream.Start(), stream.Start() + stream.Length() / 2,
                        stream.Start() + stream.Length(), 0x7FFFFFFF}) {
    stream.FindSample(probe, FIND_PREV | FIND_KEY);
    stream.FindSample(probe, FIND_NEXT | FIND_ANY);
    stream.Read(probe, 1, nullptr, 0, nullptr, nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  const std::string path = fuzz::InputFile("corvane-fuzz-input", data, size);
  if (path.empty()) return 0;
  PAVIFILE file;
  if (OpenAviReader(path, file) != AVIERR_OK) return 0;
  AVIFILEINFOW info{};
  file->Info(info);
  PAVISTREAM stream;
  for (int32_t i = 0; file->GetStream(stream, 0, i) == AVIERR_OK; ++i) ExerciseStream(*stream);
  file->GetStream(stream, streamtypeVIDEO, 0);
  file->GetStream(stream, streamtypeAUDIO, 3);
  return 0;
}
