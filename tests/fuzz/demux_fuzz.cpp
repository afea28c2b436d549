// libFuzzer target for the sources read through libavformat (MP4, Matroska, WebM, MPEG-TS,
// images...): the input is opened as a demuxed file, its video decoded through the frame reader
// in order, then at the ends and outside them, and its audio read chunk by chunk as the audio
// copy reads it (decoded to PCM where AVI cannot carry the codec). A crash, sanitizer report or
// oversized allocation is a finding; failures that the source reports are not.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "media/avifile.h"
#include "media/demux/demuxfile.h"
#include "media/videoreader.h"

namespace {

constexpr int32_t kMaxFramesRead = 48;
constexpr int32_t kMaxAudioChunks = 64;
// Pictures this large are read well but would make each run slow and big; the limits on size
// are the reliability tests' concern.
constexpr int64_t kMaxPixels = 2048 * 2048;

void ReadAudio(corvane::CAviFile& file) {
  using namespace corvane;
  PAVISTREAM audio;
  if (file.GetStream(audio, streamtypeAUDIO, 0) != AVIERR_OK || !audio) return;
  std::vector<uint8_t> buffer;
  int32_t position = audio->Start();
  for (int32_t chunk = 0; chunk < kMaxAudioChunks && position < audio->Length(); ++chunk) {
    int32_t bytes = 0, samples = 0;
    if (audio->Read(position, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples) !=
            AVIERR_OK ||
        samples <= 0 || bytes < 0 || bytes > (64 << 20))
      return;
    buffer.resize(static_cast<size_t>(bytes));
    audio->Read(position, samples, buffer.data(), bytes, nullptr, nullptr);
    position += samples;
  }
  audio->Read(0, 1, nullptr, 0, nullptr, nullptr);  // back to the start: decoded audio restarts
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  static fuzz::CQuietHost host;
  const std::string path = fuzz::InputFile("corvane-fuzz-demux", data, size);
  if (path.empty()) return 0;
  PAVIFILE file;
  if (OpenDemuxFile(path, file) != AVIERR_OK || !file) return 0;
  AVIFILEINFOW info{};
  file->Info(info);
  if (int64_t{info.dwWidth} * info.dwHeight > kMaxPixels) return 0;

  PAVISTREAM stream;
  if (file->GetStream(stream, streamtypeVIDEO, 0) == AVIERR_OK && stream) {
    CVideoReader reader;
    if (reader.Open(stream) == 0) {
      const int64_t end = std::min<int64_t>(
          reader.m_endFrame, static_cast<int64_t>(reader.m_startFrame) + kMaxFramesRead);
      for (int64_t frame = reader.m_startFrame; frame < end; ++frame)
        reader.ReadFrame(static_cast<int32_t>(frame));
      for (int32_t frame : {reader.m_endFrame - 1, reader.m_startFrame, reader.m_endFrame,
                            reader.m_startFrame - 1, int32_t{-1}, int32_t{0x7FFFFFFF}})
        reader.ReadFrame(frame);
      reader.Close();
    }
  }
  ReadAudio(*file);
  return 0;
}
