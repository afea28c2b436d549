#include "media/audiocopy.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>

#include "media/avi/aviwriter_tools.h"
#include "media/errortext.h"
#include "media/host.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

int32_t MillisecondsSince(Clock::time_point started) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  return static_cast<int32_t>(std::min<int64_t>(elapsed, std::numeric_limits<int32_t>::max()));
}

// Allocates `size` bytes, or null when there is no memory for them.
std::unique_ptr<uint8_t[]> TryAllocate(int32_t size) {
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

bool SameFile(const std::string& first, const std::string& second) {
  if (first.empty() || second.empty()) return false;
  struct stat firstStat {};
  struct stat secondStat {};
  if (::stat(first.c_str(), &firstStat) == 0 && ::stat(second.c_str(), &secondStat) == 0 &&
      firstStat.st_dev == secondStat.st_dev && firstStat.st_ino == secondStat.st_ino) {
    return true;
  }
  std::error_code firstError;
  std::error_code secondError;
  const auto firstPath = std::filesystem::weakly_canonical(first, firstError);
  const auto secondPath = std::filesystem::weakly_canonical(second, secondError);
  return !firstError && !secondError && firstPath == secondPath;
}

EAudioCopyResult CopyAudioTrack(const std::string& mainPath, const std::string& outputPath,
                                const CAudioCopyEnd& end) {
  CEngineState& state = EngineState();
  state.m_audioTime = 0;
  const auto started = Clock::now();

  PAVIFILE mainFile;
  if (CAviFile::Open(mainPath, OF_SHARE_DENY_WRITE, mainFile) != AVIERR_OK || !mainFile) {
    ShowMessage(UnableToOpenText(mainPath), MB_ICONINFORMATION);
    return EAudioCopyResult::kFailed;
  }
  PAVISTREAM audio;
  const HRESULT found = mainFile->GetStream(audio, streamtypeAUDIO, 0);
  if (found == AVIERR_UNSUPPORTED) {
    ShowMessage(Format("The audio of %s is in a format an AVI file cannot carry: the output has "
                       "no sound",
                       mainPath.c_str()),
                MB_ICONINFORMATION);
    return EAudioCopyResult::kFailed;
  }
  if (found != AVIERR_OK || !audio) {
    ShowMessage(Format("Cannot get AVI audio stream for %s", mainPath.c_str()), MB_ICONINFORMATION);
    return found == AVIERR_NODATA ? EAudioCopyResult::kNoAudio : EAudioCopyResult::kFailed;
  }

  if (const char* codec = audio->DecodedFrom()) {
    ShowMessage(Format("The audio of %s is %s, which an AVI file cannot carry: it is written as "
                       "16-bit PCM",
                       mainPath.c_str(), codec),
                MB_ICONINFORMATION);
  }

  // The output is reopened for writing: it must never be the file we read from.
  EAudioCopyResult result = EAudioCopyResult::kFailed;
  if (SameFile(mainPath, outputPath)) {
    ShowMessage("The output file cannot be the main AVI or the top layer AVI", MB_ICONERROR);
  } else {
    result = CopyAudioStream(audio, outputPath, end);
  }
  state.m_audioTime = MillisecondsSince(started);

  audio.reset();
  mainFile.reset();
  return result;
}

EAudioCopyResult CopyAudioStream(const PAVISTREAM& stream, const std::string& outputPath,
                                 const CAudioCopyEnd& copyEnd) {
  PAVIFILE output;
  if (CAviFile::Open(outputPath, OF_WRITE, output) != AVIERR_OK || !output) {
    return EAudioCopyResult::kFailed;
  }
  AVISTREAMINFOA info{};
  if (!stream || stream->Info(info) != AVIERR_OK) {
    ShowMessage("No audio info", MB_OK);
    return EAudioCopyResult::kFailed;
  }
  PAVISTREAM target;
  if (output->CreateStream(target, info) != AVIERR_OK || !target) return EAudioCopyResult::kFailed;

  // Streams are released before their file on every path below.
  auto release = [&]() {
    target.reset();
    output.reset();
  };

  const int32_t start = stream->Start();
  int64_t end = std::min<int64_t>(static_cast<int64_t>(start) + stream->Length(),
                                  std::numeric_limits<int32_t>::max());
  // After a stop: the chunks that start before the end of the last frame written.
  const bool bounded = copyEnd.m_afterStop && info.dwRate > 0 && info.dwScale > 0;
  const double unitsPerSecond = bounded ? double(info.dwRate) / info.dwScale : 0.0;

  int32_t formatSize = 0;
  if (stream->ReadFormat(start, nullptr, &formatSize) != AVIERR_OK || formatSize < 0) {
    ShowMessage("Unable to set stream read format", MB_OK);
    release();
    return EAudioCopyResult::kFailed;
  }
  {
    std::unique_ptr<uint8_t[]> format = TryAllocate(formatSize);
    if (!format) {
      ShowMessage("Unable to allocate memory for format", MB_OK);
      release();
      return EAudioCopyResult::kFailed;
    }
    if (stream->ReadFormat(start, format.get(), &formatSize) != AVIERR_OK) {
      ShowMessage("Unable to set stream read format", MB_OK);
      release();
      return EAudioCopyResult::kFailed;
    }
    if (target->SetFormat(0, format.get(), formatSize) != AVIERR_OK) {
      release();
      return EAudioCopyResult::kFailed;
    }
  }

  // A size query for one sample before copying. Position 0 lies outside a stream that starts
  // later, so such a stream is probed at its own start; an empty stream has nothing to probe.
  int32_t probeBytes = 0;
  const int32_t probeAt = start > 0 ? start : 0;
  if (stream->Read(probeAt, 1, nullptr, 0, &probeBytes, nullptr) != AVIERR_OK && start < end) {
    ShowMessage("AVIStreamRead failed", MB_OK);
    release();
    return EAudioCopyResult::kFailed;
  }

  CEngineState& state = EngineState();
  EAudioCopyResult result = EAudioCopyResult::kCopied;
  std::unique_ptr<uint8_t[]> buffer;
  int32_t capacity = 0;
  long chunk = 1;
  int64_t position = start;
  if (copyEnd.m_afterStop) result = EAudioCopyResult::kStopped;
  while (position < end) {
    if (bounded && double(position - start) >= copyEnd.m_seconds * unitsPerSecond) break;
    const bool stopped =
        copyEnd.m_afterStop ? state.m_stopRequests.load() >= 2 : state.m_mixing.load() != 1;
    if (stopped) {
      if (result == EAudioCopyResult::kCopied) result = EAudioCopyResult::kStopped;
      break;
    }
    SetStatus(Format("Audio Chunk %ld", chunk));
    ++chunk;

    int32_t bytes = 0;
    int32_t samples = 0;
    const auto at = static_cast<int32_t>(position);
    if (stream->Read(at, AVISTREAMREAD_CONVENIENT, nullptr, 0, &bytes, &samples) != AVIERR_OK ||
        bytes < 0 || samples < 0) {
      ShowMessage("AVIStreamRead failed", MB_OK);
      release();
      return EAudioCopyResult::kFailed;
    }
    // A chunk of no samples would leave the position where it is: the source has no more.
    if (samples == 0) break;

    // One buffer for the whole copy; it grows to exactly the largest chunk and never shrinks.
    if (!buffer || bytes > capacity) {
      buffer.reset();
      capacity = 0;
      buffer = TryAllocate(bytes);
      if (!buffer) {
        ShowMessage("Unable to allocate audio read buffer", MB_OK);
        release();
        return EAudioCopyResult::kFailed;
      }
      capacity = bytes;
    }

    // A failed read is written all the same, as the chunk's slot must stay filled.
    Trace("R");
    stream->Read(at, samples, buffer.get(), bytes, nullptr, nullptr);
    Trace("W");
    if (target->Write(at, samples, buffer.get(), bytes, AVIIF_KEYFRAME, nullptr, nullptr) < 0) {
      Trace("AVIStreamWrite failed!\n");
      result = EAudioCopyResult::kFailed;
    }
    position += samples;
    ++state.m_audioChunksCopied;
  }
  // Completing the file puts the new stream in place; when that fails the file is put back as
  // it was, without the sound, and the copy did not happen.
  target.reset();
  const HRESULT finished = FinishAviFile(output);
  output.reset();
  if (finished != AVIERR_OK) {
    ShowMessage(Format("The audio could not be added to %s: the file keeps its video without it",
                       outputPath.c_str()),
                MB_OK);
    return EAudioCopyResult::kFailed;
  }
  return result;
}

}  // namespace corvane
