#include "mix/stitch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>

#include "media/codec/codecutil.h"
#include "media/host.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace corvane {
namespace {

constexpr int32_t kLargestFormat = 64 * 1024;

// One part, open for reading.
struct CPart {
  PAVIFILE m_file;
  PAVISTREAM m_video;
  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;  // its stored format as an AVI keeps it
  int32_t m_frames = 0;
  int m_reorderDepth = 0;  // how many places a picture is decoded before it is shown, at most
};

std::string PartName(size_t index, const std::string& path) {
  return Format("Part %d of the mix, %s,", static_cast<int>(index + 1), path.c_str());
}

// Opens part `index`; false with the reason said.
bool OpenPart(const std::string& path, size_t index, CPart& part) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    ShowMessage(PartName(index, path) + " is missing", MB_ICONINFORMATION);
    return false;
  }
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, part.m_file) != AVIERR_OK || !part.m_file) {
    const std::string why = CAviFile::LastOpenFailure();
    ShowMessage(PartName(index, path) + " cannot be read" + (why.empty() ? "" : ": " + why),
                MB_ICONINFORMATION);
    return false;
  }
  if (part.m_file->GetStream(part.m_video, streamtypeVIDEO, 0) != AVIERR_OK || !part.m_video ||
      part.m_video->Info(part.m_info) != AVIERR_OK) {
    ShowMessage(PartName(index, path) + " holds no video", MB_ICONINFORMATION);
    return false;
  }
  int32_t size = kLargestFormat;
  part.m_format.resize(size_t(size));
  if (part.m_video->ReadFormat(0, part.m_format.data(), &size) != AVIERR_OK || size <= 0 ||
      size > kLargestFormat) {
    ShowMessage(PartName(index, path) + " has no picture format", MB_ICONINFORMATION);
    return false;
  }
  part.m_format.resize(size_t(size));
  part.m_frames = part.m_video->Length();
  const int32_t start = part.m_video->Start();
  for (int32_t k = 0; k < part.m_frames; ++k) {
    const int32_t shown = part.m_video->ShownAt(start + k);
    if (shown >= 0) part.m_reorderDepth = std::max(part.m_reorderDepth, start + k - shown);
  }
  return true;
}

// Whether two parts are coded alike, so that one stream can hold the pictures of both.
bool CodedAlike(const CPart& first, const CPart& other) {
  const AVCodecParameters* a = first.m_video->StoredParameters();
  const AVCodecParameters* b = other.m_video->StoredParameters();
  if (!a || !b) return a == b && first.m_format == other.m_format;
  return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height &&
         a->format == b->format && a->extradata_size == b->extradata_size &&
         (a->extradata_size == 0 ||
          std::memcmp(a->extradata, b->extradata, size_t(a->extradata_size)) == 0);
}

// The output's video stream, set up as the first part's, on the main's clock; false, said,
// when it cannot be.
bool SetUpVideo(const CPart& first, const AVISTREAMINFOA& mainInfo, const PAVISTREAM& video,
                bool variableRate, const SPresentationTimes& times) {
  if (variableRate && video->SetFrameTimes(times) == AVIERR_MEMORY) {
    ShowMessage("Cannot allocate memory for the frame times of the main video", MB_ICONINFORMATION);
    return false;
  }
  if (video->SetFormat(0, first.m_format.data(), static_cast<int32_t>(first.m_format.size())) !=
      AVIERR_OK) {
    ShowMessage("Failed to set stream format.", MB_ICONINFORMATION);
    return false;
  }
  video->SetHandler(first.m_info.fccHandler);
  const AVCodecParameters* stored = first.m_video->StoredParameters();
  if (!stored) return true;
  CodecContextPtr coding(avcodec_alloc_context3(nullptr));
  if (!coding || avcodec_parameters_to_context(coding.get(), stored) < 0) {
    ShowMessage("Cannot allocate memory for the stream's header", MB_ICONINFORMATION);
    return false;
  }
  // The clock the mix's encoder kept: one tick a frame at the main's rate.
  coding->time_base = (mainInfo.dwScale && mainInfo.dwRate)
                          ? AVRational{int(std::min<uint32_t>(mainInfo.dwScale, INT32_MAX)),
                                       int(std::min<uint32_t>(mainInfo.dwRate, INT32_MAX))}
                          : AVRational{1, 25};
  coding->framerate = av_inv_q(coding->time_base);
  const HRESULT taken = video->SetEncoder(*coding);
  if (taken != AVIERR_OK && taken != AVIERR_UNSUPPORTED) {
    ShowMessage("Failed to create stream", MB_ICONINFORMATION);
    return false;
  }
  return true;
}

}  // namespace

CMixOutcome JoinParts(const std::string& mainPath, const std::vector<std::string>& parts,
                      const CMixOutput& target) {
  CMixOutcome outcome;
  CVideoPassOutcome& video = outcome.m_video;
  video.m_result = EVideoPassResult::kNoOutput;
  const std::string& output = target.m_path;
  EngineState().m_videoTime = 0;
  EngineState().m_audioTime = 0;
  if (parts.empty()) return outcome;
  const bool isSource = SameFile(output, mainPath) ||
                        std::any_of(parts.begin(), parts.end(),
                                    [&](const auto& part) { return SameFile(output, part); });
  if (isSource) {
    ShowMessage("The output file cannot be the main video or one of the parts", MB_ICONERROR);
    return outcome;
  }

  AVISTREAMINFOA mainInfo{};
  SPresentationTimes times;
  bool variableRate = false;
  int32_t mainFrames = 0;
  {
    PAVIFILE mainFile;
    PAVISTREAM mainVideo;
    if (CAviFile::Open(mainPath, OF_SHARE_DENY_WRITE, mainFile) != AVIERR_OK || !mainFile ||
        mainFile->GetStream(mainVideo, streamtypeVIDEO, 0) != AVIERR_OK || !mainVideo ||
        mainVideo->Info(mainInfo) != AVIERR_OK) {
      const std::string why = CAviFile::LastOpenFailure();
      ShowMessage(Format("Unable to open %s", mainPath.c_str()) + (why.empty() ? "" : ": " + why),
                  MB_ICONINFORMATION);
      return outcome;
    }
    mainFrames = mainVideo->Length();
    try {
      variableRate = VariableFrameTimes(*mainVideo, times);
    } catch (const std::bad_alloc&) {
      ShowMessage("Cannot allocate memory for the frame times of the main video",
                  MB_ICONINFORMATION);
      return outcome;
    }
  }

  std::vector<CPart> opened(parts.size());
  int64_t frames = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!OpenPart(parts[i], i, opened[i])) return outcome;
    if (i > 0 && !CodedAlike(opened[0], opened[i])) {
      ShowMessage(PartName(i, parts[i]) + " is coded unlike part 1: the parts cannot be joined",
                  MB_ICONINFORMATION);
      return outcome;
    }
    frames += opened[i].m_frames;
  }
  video.m_frameTotal = mainFrames;
  if (frames != mainFrames) {
    ShowMessage(Format("The parts hold %lld frames and the main video has %d: they are not the "
                       "parts of one mix of it",
                       static_cast<long long>(frames), mainFrames),
                MB_ICONINFORMATION);
    return outcome;
  }
  int depth = 0;
  for (const CPart& part : opened) depth = std::max(depth, part.m_reorderDepth);

  const auto started = std::chrono::steady_clock::now();
  PAVIFILE file;
  {
    std::error_code error;
    if (!std::filesystem::is_directory(output, error)) std::remove(output.c_str());
    if (CAviFile::Open(output, OF_CREATE | OF_WRITE, file, target.m_container) != AVIERR_OK ||
        !file) {
      return outcome;
    }
  }
  video.m_outputCreated = true;
  video.m_result = EVideoPassResult::kFailed;
  AVISTREAMINFOA header = mainInfo;
  header.fccType = streamtypeVIDEO;
  header.fccHandler = 0;
  header.dwSuggestedBufferSize = 0;
  header.dwQuality = 0xFFFFFFFFu;
  PAVISTREAM written;
  if (file->CreateStream(written, header) != AVIERR_OK || !written) {
    ShowMessage("Failed to create stream", MB_ICONINFORMATION);
    return outcome;
  }
  if (!SetUpVideo(opened[0], mainInfo, written, variableRate, times)) return outcome;
  if (file->TakesAudioWithVideo()) {
    video.m_audioWithVideo = true;
    video.m_audioCarried = file->CarryAudioFrom(mainPath);
  }

  video.m_result = EVideoPassResult::kComplete;
  std::vector<uint8_t> sample;
  int32_t offset = 0;  // the whole mix's frame the part begins at
  for (size_t p = 0; p < opened.size() && video.m_result == EVideoPassResult::kComplete; ++p) {
    CAviStream& part = *opened[p].m_video;
    const int32_t start = part.Start();
    for (int32_t k = 0; k < opened[p].m_frames; ++k) {
      if (EngineState().m_mixing.load() != 1) {
        video.m_result = EVideoPassResult::kStopped;
        break;
      }
      const int32_t frame = offset + k;
      SetStatus(Format("Joining frame %ld\\%ld", static_cast<long>(frame + 1),
                       static_cast<long>(mainFrames)));
      int32_t bytes = 0;
      bool read = part.Read(start + k, 1, nullptr, 0, &bytes, nullptr) == AVIERR_OK && bytes >= 0;
      try {
        sample.resize(size_t(std::max(bytes, 0)));
      } catch (const std::bad_alloc&) {
        read = false;
      }
      int32_t got = 0;
      read = read && (bytes == 0 ||
                      (part.Read(start + k, 1, sample.data(), bytes, &got, nullptr) == AVIERR_OK &&
                       got == bytes));
      if (!read) {
        ShowMessage(PartName(p, parts[p]) + Format(" cannot be read at its frame %d", k + 1),
                    MB_ICONINFORMATION);
        video.m_result = EVideoPassResult::kWriteFailed;
        break;
      }
      const int32_t shown = part.ShownAt(start + k);
      const bool key = part.FindSample(start + k, FIND_PREV | FIND_KEY) == start + k;
      if (written->WritePacket(frame, int64_t{offset} + (shown >= 0 ? shown - start : k),
                               int64_t{frame} - depth, sample.data(), bytes,
                               key ? AVIIF_KEYFRAME : 0) < 0) {
        ShowMessage(Format("Failed to write frame %ld", static_cast<long>(frame + 1)),
                    MB_ICONINFORMATION);
        video.m_result = EVideoPassResult::kWriteFailed;
        break;
      }
      ++video.m_framesWritten;
      ++video.m_framesCopied;
      ReportFramesInFile(video.m_framesWritten);
    }
    offset += opened[p].m_frames;
  }

  written.reset();
  const HRESULT finished = file->Finish(video.m_result == EVideoPassResult::kComplete);
  video.m_audioFinished = file->CarriedAudioResult();
  if (finished != AVIERR_OK && finished != AVIERR_UNSUPPORTED) {
    ShowMessage(Format("Failed to finish %s", output.c_str()), MB_ICONINFORMATION);
    video.m_finishFailed = true;
    if (video.m_result == EVideoPassResult::kComplete)
      video.m_result = EVideoPassResult::kWriteFailed;
  }
  file.reset();
  if (mainInfo.dwRate > 0)
    video.m_secondsWritten = double(video.m_framesWritten) * mainInfo.dwScale / mainInfo.dwRate;
  EngineState().m_videoTime =
      static_cast<int32_t>(std::min<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - started)
                                                 .count(),
                                             std::numeric_limits<int32_t>::max()));

  outcome.m_audioRan = true;
  if (video.m_audioWithVideo) {
    outcome.m_audio = AudioWithVideoResult(video, mainPath);
  } else {
    CAudioCopyEnd end;
    if (video.m_result == EVideoPassResult::kStopped) {
      end.m_afterStop = true;
      end.m_seconds = video.m_secondsWritten;
    }
    outcome.m_audio = CopyAudioTrack(mainPath, output, end);
  }
  return outcome;
}

}  // namespace corvane
