// libFuzzer target for the audio copy: the input plays the main video, and its first audio
// stream is copied chunk by chunk into a small finished output (one raw video stream), which
// is then opened again and read through. A crash, sanitizer report or oversized allocation is
// a finding; failures that the copy reports are not.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "media/audiocopy.h"
#include "media/avi/aviopen.h"
#include "media/avifile.h"

namespace {

using namespace corvane;

// The output as a video pass leaves it: a 4 x 2 raw video stream of two frames.
bool WriteVideoOnly(const std::string& path) {
  PAVIFILE file;
  if (CAviFile::Open(path, OF_CREATE | OF_WRITE, file) != AVIERR_OK) return false;
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 1;
  info.dwRate = 30;
  info.dwQuality = 0xFFFFFFFFu;
  info.rcFrame = {0, 0, 4, 2};
  PAVISTREAM stream;
  if (file->CreateStream(stream, info) != AVIERR_OK) return false;
  BITMAPINFOHEADER format{};
  format.biSize = 40;
  format.biWidth = 4;
  format.biHeight = 2;
  format.biPlanes = 1;
  format.biBitCount = 24;
  format.biSizeImage = 12 * 2;
  if (stream->SetFormat(0, &format, sizeof(format)) != AVIERR_OK) return false;
  const std::vector<uint8_t> frame(format.biSizeImage, 0x40);
  for (int32_t i = 0; i < 2; ++i) {
    if (stream->Write(i, 1, frame.data(), static_cast<int32_t>(frame.size()), AVIIF_KEYFRAME,
                      nullptr, nullptr) < 0)
      return false;
  }
  return true;
}

// The output lives in a folder in /dev/shm (memory), made once for the process: the writer
// may put a scratch file beside it and rename a new file over it, which a memory file reached
// through /proc cannot take. The video-only file is written once by the engine; each input
// starts from a copy of its bytes.
class COutput {
 public:
  COutput() {
    char folder[] = "/dev/shm/corvane-fuzz-audio-XXXXXX";
    if (!mkdtemp(folder)) return;
    m_folder = folder;
    m_path = m_folder + "/out.avi";
    const std::string first = m_folder + "/video.avi";
    if (!WriteVideoOnly(first)) return;
    std::ifstream in(first, std::ios::binary);
    m_video.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ::unlink(first.c_str());
  }
  ~COutput() {
    ::unlink(m_path.c_str());
    ::rmdir(m_folder.c_str());
  }
  COutput(const COutput&) = delete;
  COutput& operator=(const COutput&) = delete;

  // The output as the video pass left it, or an empty path when it cannot be had.
  std::string Fresh() const {
    if (m_video.empty()) return {};
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return {};
    const bool written =
        ::write(fd, m_video.data(), m_video.size()) == static_cast<ssize_t>(m_video.size());
    ::close(fd);
    return written ? m_path : std::string();
  }

 private:
  std::string m_folder;
  std::string m_path;
  std::vector<char> m_video;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CQuietHost host;
  // Only inputs that start as an AVI: the others go to libavformat, which is not what this
  // target is about.
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "AVI ", 4) != 0)
    return 0;
  const std::string input = fuzz::InputFile("corvane-fuzz-audio", data, size);
  if (input.empty()) return 0;
  static const COutput place;
  const std::string output = place.Fresh();
  if (output.empty()) return 0;

  EngineState().m_mixing = 1;
  CopyAudioTrack(input, output);
  EngineState().m_mixing = 0;

  // What the copy left must read back: every stream, every chunk.
  PAVIFILE file;
  if (OpenAviReader(output, file) != AVIERR_OK) abort();
  PAVISTREAM stream;
  std::vector<uint8_t> buffer;
  for (int32_t i = 0; file->GetStream(stream, 0, i) == AVIERR_OK; ++i) {
    for (int64_t at = stream->Start(), end = at + stream->Length(); at < end;) {
      int32_t bytes = 0, samples = 0;
      if (stream->Read(static_cast<int32_t>(at), AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes,
                       &samples) != AVIERR_OK ||
          samples <= 0)
        break;
      buffer.resize(static_cast<size_t>(bytes) + 1);
      stream->Read(static_cast<int32_t>(at), samples, buffer.data(), bytes, nullptr, nullptr);
      at += samples;
    }
  }
  return 0;
}
