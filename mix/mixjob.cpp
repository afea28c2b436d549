#include "mix/mixjob.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "media/codec/compress.h"
#include "media/errortext.h"
#include "media/host.h"
#include "media/mux/container.h"
#include "media/videoreader.h"
#include "mix/composite.h"
#include "mix/frameprefetch.h"
#include "mix/layerscale.h"
#include "mix/layerunit.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSameFileMessage =
    "The output file cannot be the main AVI or the top layer AVI";

// What differs between the two video passes.
struct CPassSettings : CMixRule {
  std::string m_topSource;    // the top layer's name, for the notice that it has no alpha
  std::string m_audioSource;  // the main, whose sound a container other than AVI takes in
  CPlacement m_placement;
  std::vector<CLayerSpec> m_above;  // the layers over the first, lowest first
};

// How the sound that went in with the video fared, said as the audio copy says it.
EAudioCopyResult AudioWithVideoResult(const CVideoPassOutcome& video, const std::string& mainPath) {
  switch (video.m_audioCarried) {
    case AVIERR_OK:
      if (video.m_finishFailed) return EAudioCopyResult::kFailed;
      if (video.m_audioFinished != AVIERR_OK) return EAudioCopyResult::kPartial;
      return video.m_result == EVideoPassResult::kComplete ? EAudioCopyResult::kCopied
                                                           : EAudioCopyResult::kStopped;
    case AVIERR_NODATA:
      ShowMessage(Format("Cannot get AVI audio stream for %s", mainPath.c_str()),
                  MB_ICONINFORMATION);
      return EAudioCopyResult::kNoAudio;
    default:
      ShowMessage(Format("The audio of %s cannot be written to this container: the output has no "
                         "sound",
                         mainPath.c_str()),
                  MB_ICONINFORMATION);
      return EAudioCopyResult::kFailed;
  }
}

// A main video whose pictures come at changing intervals is still mixed picture by picture, into
// an output at its average rate; the user is told once, with the range of rates found. Steps that
// differ by one unit of the stream's clock are rounding (29.97 fps in milliseconds), not change.
// The shortest and longest steps between the pictures; false when they come at one rate. The
// step to the last picture does not count: a clip cut without re-encoding often ends on a picture
// of its own time, and one odd picture at the end is no changing rate.
bool VariableSteps(const SPresentationTimes& times, int64_t& shortest, int64_t& longest) {
  shortest = std::numeric_limits<int64_t>::max();
  longest = 0;
  for (size_t i = 1; i + 1 < times.m_starts.size(); ++i) {
    const int64_t step = times.m_starts[i] - times.m_starts[i - 1];
    if (step <= 0) continue;
    shortest = std::min(shortest, step);
    longest = std::max(longest, step);
  }
  return times.m_starts.size() >= 4 && longest > 0 && longest - shortest > 1 && times.m_unitNum > 0;
}

void WarnOfVariableRate(const std::string& path, const CAviStream& stream, bool keepsTimes) {
  SPresentationTimes times;
  try {
    if (!stream.PresentationTimes(times)) return;
  } catch (const std::bad_alloc&) {
    return;
  }
  int64_t shortest = 0;
  int64_t longest = 0;
  if (!VariableSteps(times, shortest, longest)) return;
  AVISTREAMINFOA info{};
  if (stream.Info(info) != AVIERR_OK || info.dwScale == 0) return;
  const double unit = static_cast<double>(times.m_unitNum) / times.m_unitDen;
  const std::string rates = Format(
      "%s has a variable frame rate, from %.4g to %.4g frames a second", path.c_str(),
      1.0 / (static_cast<double>(longest) * unit), 1.0 / (static_cast<double>(shortest) * unit));
  // An AVI has one rate for all its frames; the other containers keep each frame's time.
  ShowMessage(keepsTimes ? rates + ": it is mixed frame by frame, each frame at its own time"
                         : rates + Format(": it is mixed frame by frame at its average rate, %.4g "
                                          "frames a second",
                                          static_cast<double>(info.dwRate) / info.dwScale),
              MB_ICONINFORMATION);
}

// A file cut short (a copy that stopped, a damaged end) still mixes with the frames it holds;
// the user is told once, with what its header promised.
void WarnOfEarlyEnd(const std::string& path, const CAviStream& stream) {
  SPresentationTimes times;
  try {
    if (!stream.PresentationTimes(times) || times.m_statedSeconds <= 0.0) return;
  } catch (const std::bad_alloc&) {
    return;
  }
  const double found = static_cast<double>(times.m_duration) * times.m_unitNum /
                       static_cast<double>(times.m_unitDen);
  const double stated = times.m_statedSeconds;
  // Edit lists and the sound's own length let the two differ a little in whole files.
  if (stated - found <= std::max(0.5, 0.02 * stated)) return;
  ShowMessage(Format("%s ends early: its header says %.2f s, its pictures last %.2f s; the rest "
                     "is missing or damaged, and the frames it holds are mixed",
                     path.c_str(), stated, found),
              MB_ICONINFORMATION);
}

// The frame number (from 1) a failed write names: the frame whose data the stream could not
// write, which an encoder that holds frames back may have taken earlier than the current one.
long FailedFrame(const CAviStream& stream, long current, int32_t startFrame) {
  const int32_t position = stream.FailedPosition();
  return position >= startFrame ? static_cast<long>(position) - startFrame + 1 : current;
}

// Frames the file holds after a failed write: an encoder that holds frames back fails on an
// earlier frame than the one last handed to it, and the frames from there on never reached it.
int32_t FramesBefore(const CAviStream& stream, int32_t handedOver, int32_t startFrame) {
  const int32_t position = stream.FailedPosition();
  if (position < startFrame) return handedOver;
  return std::min(handedOver, position - startFrame);
}

int32_t MillisecondsSince(Clock::time_point started) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  return static_cast<int32_t>(std::min<int64_t>(elapsed, std::numeric_limits<int32_t>::max()));
}

// Bytes of one Frame buffer of the reader's picture; -1 when the reader has no usable frame.
int64_t FrameBytes(const CVideoReader& reader) {
  if (!reader.m_buffer || reader.m_width <= 0 || reader.m_height <= 0) return -1;
  const int64_t stride =
      reader.m_withAlpha ? int64_t{reader.m_width} * 4
                         : ((static_cast<int64_t>(reader.m_width) * 24 + 31) >> 3) & ~int64_t{3};
  const int64_t bytes = stride * reader.m_height;
  if (bytes > reader.m_bufferSize) return -1;
  return bytes;
}

// The processors this process may run on.
int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

// A second reader of the main video, for frames that decode on their own where another
// processor can decode them beside the first reader; null otherwise (quietly: the mix goes on
// with one reader).
std::unique_ptr<CVideoReader> SecondMainReader(const PAVISTREAM& mainStream,
                                               const CVideoReader& mainReader) {
  if (!mainStream || !mainStream->ReadsConcurrently() || !mainReader.IntraOnly() ||
      UsableProcessors() < 2) {
    return nullptr;
  }
  CDeferredHost quiet;
  CThreadHostScope silence(&quiet);
  auto second = std::make_unique<CVideoReader>();
  if (second->Open(mainStream) != 0 || second->m_width != mainReader.m_width ||
      second->m_height != mainReader.m_height || second->m_bufferSize != mainReader.m_bufferSize) {
    return nullptr;
  }
  return second;
}

CVideoPassOutcome RunVideoPass(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                               const CMixOutput& target, const CPassSettings& settings) {
  const std::string& output = target.m_path;
  CEngineState& state = EngineState();
  CVideoPassOutcome outcome;
  outcome.m_result = EVideoPassResult::kNoOutput;
  // A pass that ends early must not leave another job's time standing.
  state.m_videoTime = 0;

  // Declared in this order so that destruction closes the top reader, then the main one.
  CVideoReader mainReader;
  CVideoReader topReader;
  const int32_t mainOpened = mainStream ? mainReader.Open(mainStream) : -1;
  const int32_t topOpened = topStream ? topReader.Open(topStream, settings.m_layerAlpha) : -1;
  if (topOpened == 0 && topReader.m_firstFrameUnreadable) {
    const std::string name = settings.m_topSource.empty() ? "the top layer" : settings.m_topSource;
    ShowMessage(Format("The first frame of %s cannot be decoded: it is not mixed", name.c_str()),
                MB_ICONERROR);
    outcome.m_result = EVideoPassResult::kNotRun;
    return outcome;
  }
  if (topOpened == 0 && settings.m_layerAlpha && !topReader.m_hasAlpha &&
      !settings.m_topSource.empty()) {
    ShowMessage(Format("%s has no alpha channel: every pixel of it is taken as opaque",
                       settings.m_topSource.c_str()),
                MB_ICONINFORMATION);
  }
  // A reader that failed to open has no frames to give: end before the output is touched.
  const int64_t imageBytes = FrameBytes(mainReader);
  const int64_t topBytes = FrameBytes(topReader);
  if (mainOpened != 0 || topOpened != 0 || imageBytes < 0 || topBytes < 0) return outcome;
  const auto imageSize = static_cast<int32_t>(imageBytes);
  outcome.m_frameTotal = mainReader.m_endFrame - mainReader.m_startFrame;

  // Where, how large and when the top layer is shown; a placement these sources cannot take is
  // refused before the output is touched.
  CLayerPlan plan;
  const std::string refused =
      PlanLayer(settings.m_placement, PlanInputOf(mainReader, topReader, settings), plan);
  if (!refused.empty()) {
    ShowMessage(refused, MB_ICONERROR);
    outcome.m_result = EVideoPassResult::kNotRun;
    outcome.m_placementRefused = true;
    return outcome;
  }
  const std::string notices = PlanNotices(plan);
  if (!notices.empty()) ShowMessage(notices, MB_ICONINFORMATION);
  CMixRule rule = settings;
  rule.m_left = plan.m_left;
  rule.m_top = plan.m_top;
  // The screen keyer keys each top frame once, into a picture with alpha, before resizing.
  const bool screen = rule.ScreenKeys();
  CScreenKeyer keyer;
  if (screen) {
    if (!PrepareScreenKey(rule, topReader, settings.m_topSource)) {
      outcome.m_result = EVideoPassResult::kNotRun;
      return outcome;
    }
    if (!keyer.Setup(topReader.m_width, topReader.m_height, topReader.m_withAlpha)) {
      ShowMessage("Cannot allocate memory to key the top layer", MB_ICONINFORMATION);
      return outcome;
    }
  }
  CLayerScaler scaler;
  if (plan.m_scaled &&
      !scaler.Setup(topReader.m_width, topReader.m_height, topReader.m_withAlpha || screen,
                    plan.m_width, plan.m_height)) {
    ShowMessage("Cannot allocate memory to resize the top layer", MB_ICONINFORMATION);
    return outcome;
  }
  // The layers over the first, each planned and ready before the output is touched.
  std::vector<std::unique_ptr<CLayerUnit>> above;
  try {
    for (size_t i = 0; i < settings.m_above.size(); ++i) {
      above.push_back(std::make_unique<CLayerUnit>());
      if (!above.back()->Setup(settings.m_above[i], static_cast<int32_t>(i + 2), mainReader)) {
        outcome.m_result = EVideoPassResult::kNotRun;
        return outcome;
      }
    }
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the layers", MB_ICONINFORMATION);
    return outcome;
  }
  const int64_t layerBytes = plan.m_scaled ? scaler.PictureBytes()
                             : screen      ? keyer.PictureBytes()
                                           : topBytes;

  // A main whose pictures come at changing intervals keeps their times where the container can
  // (AVI has one rate: the average). Times that cannot be kept in memory end the job here, before
  // the output is touched: mixed at an average rate, picture and sound would drift apart.
  SPresentationTimes times;
  bool variableRate = false;
  try {
    int64_t shortest = 0;
    int64_t longest = 0;
    variableRate = mainStream->PresentationTimes(times) && VariableSteps(times, shortest, longest);
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the frame times of the main video", MB_ICONINFORMATION);
    return outcome;
  }

  // A folder of that name is no output to replace (and an empty one would be removed).
  std::error_code error;
  if (!std::filesystem::is_directory(output, error)) std::remove(output.c_str());
  PAVIFILE file;
  if (CAviFile::Open(output, OF_CREATE | OF_WRITE, file, target.m_container) != AVIERR_OK || !file)
    return outcome;
  outcome.m_outputCreated = true;
  outcome.m_result = EVideoPassResult::kFailed;

  AVISTREAMINFOA header = mainReader.m_streamInfo;
  header.fccType = streamtypeVIDEO;
  header.fccHandler = 0;
  header.dwSuggestedBufferSize = 0;
  header.dwQuality = 0xFFFFFFFFu;

  const BITMAPINFOHEADER format =
      FrameHeader(mainReader.m_width, mainReader.m_height, static_cast<uint32_t>(imageSize));

  PAVISTREAM raw;
  PAVISTREAM compressed;
  // Streams before their file: the file is completed on its last release.
  auto release = [&]() {
    raw.reset();
    compressed.reset();
    file.reset();
  };

  if (file->CreateStream(raw, header) != AVIERR_OK || !raw) {
    ShowMessage("Failed to create stream", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  if (variableRate && raw->SetFrameTimes(times) == AVIERR_MEMORY) {
    ShowMessage("Cannot allocate memory for the frame times of the main video", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  AVICOMPRESSOPTIONS options{};
  if (!Host().ChooseCompression(options)) {
    ShowMessage("AVISaveOptions failed", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  if (AVIMakeCompressedStream(compressed, raw, options) != AVIERR_OK || !compressed) {
    ShowMessage("Couldn't create compressed stream", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  const HRESULT formatResult = compressed->SetFormat(0, &format, sizeof(format));
  if (formatResult != AVIERR_OK) {
    CErrorText error(formatResult);
    const std::optional<std::string> text = error.Text();
    if (text) ShowMessage("Failed to set stream format.\nError is: " + *text, MB_ICONINFORMATION);
    release();
    return outcome;
  }
  // Containers other than AVI take the sound with the pictures, in this pass.
  if (!settings.m_audioSource.empty() && file->TakesAudioWithVideo()) {
    outcome.m_audioWithVideo = true;
    outcome.m_audioCarried = file->CarryAudioFrom(settings.m_audioSource);
  }
  // The output frames and top-layer working buffers, one pair for the frame being mixed and
  // one for each frame read ahead.
  CFramePrefetcher prefetcher;
  if (std::unique_ptr<CVideoReader> second = SecondMainReader(mainStream, mainReader))
    prefetcher.AddMainReader(std::move(second));
  const CFramePrefetcher::EAllocation allocated = prefetcher.Allocate(imageSize, layerBytes);
  if (allocated == CFramePrefetcher::EAllocation::kNoOutputFrame) {
    ShowMessage("Cannot allocate output frame buffer", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  if (allocated != CFramePrefetcher::EAllocation::kOk) {
    release();
    return outcome;
  }

  int32_t frame = mainReader.m_startFrame;
  const int32_t endFrame = mainReader.m_endFrame;
  TopFrameCursor cursor;
  if (!TopCursorFor(mainReader, topReader, *topStream, settings.m_loop, cursor)) {
    release();
    return outcome;
  }
  long counter = 1;
  const long total = static_cast<long>(endFrame) - frame;
  const auto started = Clock::now();
  // The frames are read in order one frame ahead; each frame's reads (their traces and
  // messages) reach the host after its progress text, as if read here.
  prefetcher.SetLayerSteps(plan.m_firstShown, plan.m_endShown, plan.m_scaled ? &scaler : nullptr,
                           rule);
  prefetcher.SetKeyer(screen ? &keyer : nullptr);
  prefetcher.Start(mainReader, topReader, cursor, frame, endFrame);

  outcome.m_result = EVideoPassResult::kComplete;
  while (frame < endFrame) {
    if (state.m_mixing.load() != 1) {
      outcome.m_result = EVideoPassResult::kStopped;
      break;
    }
    SetStatus(Format("Processing frame %ld\\%ld", counter, total));
    ++counter;

    // The slot holds the main frame (black until the main video has given one; after a failed
    // read the reader's previous frame) and, once the top layer has given a frame, its current
    // one. Until then there is nothing to lay over the main video.
    CPrefetchSlot& slot = prefetcher.Next();
    slot.m_events.Replay();
    uint8_t* outputFrame = slot.m_output.get();
    const int64_t number = int64_t{frame} - mainReader.m_startFrame;  // from 0
    if (slot.m_haveTop && plan.Shown(number)) {
      CLayerFrame layer;
      layer.m_pixels = slot.m_top.get();
      layer.m_width = plan.m_width;
      layer.m_height = plan.m_height;
      layer.m_prepared = plan.m_scaled || screen;
      layer.m_fade = plan.Fade(number);
      ApplyMixRule(rule, layer, outputFrame, mainReader.m_width, mainReader.m_height);
    }
    for (const auto& unit : above)
      unit->LayOn(number, outputFrame, mainReader.m_width, mainReader.m_height);

    Trace("W");
    const HRESULT written =
        compressed->Write(frame, 1, outputFrame, imageSize, AVIIF_KEYFRAME, nullptr, nullptr);
    prefetcher.Release();
    if (written < 0) {
      ShowMessage(Format("Failed to write frame %ld",
                         FailedFrame(*compressed, counter - 1, mainReader.m_startFrame)),
                  MB_ICONINFORMATION);
      outcome.m_result = EVideoPassResult::kWriteFailed;
      outcome.m_framesWritten =
          FramesBefore(*compressed, outcome.m_framesWritten, mainReader.m_startFrame);
      break;
    }
    ++outcome.m_framesWritten;
    ++frame;
    ReportFramesInFile(std::max(compressed->Length() - mainReader.m_startFrame, 0));
  }
  prefetcher.Stop();

  // The encoder gives up what it holds (a write that fails then is the pass's own failure), then
  // a muxed file is ended: the rest of the sound (up to the last frame after a stop), its index
  // and trailer. AVI files end on release.
  if (outcome.m_result != EVideoPassResult::kWriteFailed && compressed->EndOfStream() < 0) {
    ShowMessage(Format("Failed to write frame %ld",
                       FailedFrame(*compressed, outcome.m_framesWritten, mainReader.m_startFrame)),
                MB_ICONINFORMATION);
    outcome.m_result = EVideoPassResult::kWriteFailed;
    outcome.m_framesWritten =
        FramesBefore(*compressed, outcome.m_framesWritten, mainReader.m_startFrame);
  }
  compressed.reset();
  raw.reset();
  const HRESULT finished = file->Finish(outcome.m_result == EVideoPassResult::kComplete);
  outcome.m_audioFinished = file->CarriedAudioResult();
  if (finished != AVIERR_OK && finished != AVIERR_UNSUPPORTED) {
    ShowMessage(Format("Failed to finish %s", output.c_str()), MB_ICONINFORMATION);
    outcome.m_finishFailed = true;
    if (outcome.m_result == EVideoPassResult::kComplete)
      outcome.m_result = EVideoPassResult::kWriteFailed;
  }
  release();
  mainReader.Close();
  topReader.Close();
  state.m_videoTime = MillisecondsSince(started);
  const AVISTREAMINFOA& info = mainReader.m_streamInfo;
  if (info.dwRate > 0)
    outcome.m_secondsWritten = double(outcome.m_framesWritten) * info.dwScale / info.dwRate;
  return outcome;
}

CMixOutcome RunMix(const std::string& mainPath, const std::string& topPath,
                   const CMixOutput& target, uint8_t red, uint8_t green, uint8_t blue,
                   const CPassSettings& settings) {
  const std::string& output = target.m_path;
  CMixOutcome outcome;
  if (mainPath.empty()) {
    ShowMessage("Main AVI has not been specified", MB_ICONERROR);
    return outcome;
  }
  if (topPath.empty()) {
    ShowMessage("Top layer AVI has not been specified", MB_ICONERROR);
    return outcome;
  }
  // The output is deleted and rewritten: it must not be either source, under any name.
  if (SameFile(output, mainPath) || SameFile(output, topPath)) {
    ShowMessage(kSameFileMessage, MB_ICONERROR);
    return outcome;
  }

  PAVIFILE mainFile;
  PAVISTREAM mainStream;
  PAVIFILE topFile;
  PAVISTREAM topStream;
  // Streams before their files, the top layer's before the main video's.
  auto release = [&]() {
    topStream.reset();
    topFile.reset();
    mainStream.reset();
    mainFile.reset();
  };

  if (CAviFile::Open(mainPath, OF_SHARE_DENY_WRITE, mainFile) != AVIERR_OK || !mainFile) {
    ShowMessage(UnableToOpenText(mainPath), MB_ICONINFORMATION);
    release();
    return outcome;
  }
  mainFile->GetStream(mainStream, streamtypeVIDEO, 0);
  if (!mainStream) {
    ShowMessage(Format("Cannot get AVI video stream for %s", mainPath.c_str()), MB_ICONINFORMATION);
    release();
    return outcome;
  }
  if (CAviFile::Open(topPath, OF_SHARE_DENY_WRITE, topFile) != AVIERR_OK || !topFile) {
    ShowMessage(UnableToOpenText(topPath), MB_ICONINFORMATION);
    release();
    return outcome;
  }
  const HRESULT topFound = topFile->GetStream(topStream, streamtypeVIDEO, 0);
  if (topFound == AVIERR_NODATA) {
    ShowMessage("No data for the required FOURCC codec", MB_ICONINFORMATION);
    release();
    return outcome;
  }
  if (!topStream) {
    ShowMessage(Format("Cannot get AVI video stream for %s", topPath.c_str()), MB_ICONINFORMATION);
    release();
    return outcome;
  }

  WarnOfVariableRate(mainPath, *mainStream,
                     OutputContainer(output, target.m_container).m_kind != EContainer::kAvi);
  WarnOfEarlyEnd(mainPath, *mainStream);
  WarnOfEarlyEnd(topPath, *topStream);
  CPassSettings pass = settings;
  pass.m_key = PackKeyColour(red, green, blue);
  pass.m_audioSource = mainPath;
  pass.m_topSource = topPath;
  outcome.m_video = RunVideoPass(mainStream, topStream, target, pass);
  release();

  // Only an output this job made gets the audio: an older file of that name is left alone.
  if (outcome.m_video.m_audioWithVideo) {
    // It went in with the video.
    outcome.m_audioRan = true;
    EngineState().m_audioTime = 0;
    outcome.m_audio = AudioWithVideoResult(outcome.m_video, mainPath);
  } else if (outcome.m_video.m_outputCreated) {
    outcome.m_audioRan = true;
    // A stopped mix keeps the sound of the frames it wrote.
    CAudioCopyEnd end;
    if (outcome.m_video.m_result == EVideoPassResult::kStopped) {
      end.m_afterStop = true;
      end.m_seconds = outcome.m_video.m_secondsWritten;
    }
    outcome.m_audio = CopyAudioTrack(mainPath, output, end);
  } else {
    EngineState().m_audioTime = 0;
  }
  return outcome;
}

void SetSummary(const std::string& text) {
  CEngineState& state = EngineState();
  std::lock_guard lock(state.m_summaryLock);
  state.m_summary = text;
}

}  // namespace

std::string OutcomeSummary(const CMixOutcome& outcome, const std::string& output) {
  const CVideoPassOutcome& video = outcome.m_video;
  const std::string name = std::filesystem::path(output).filename().string();
  const int written = video.m_framesWritten;
  const int total = video.m_frameTotal;
  const std::string held =
      written > 0 ? Format("the file holds frames 1\u2013%d", written) : "the file holds no frames";
  switch (video.m_result) {
    case EVideoPassResult::kComplete:
      if (!outcome.m_audioRan) return Format("Done: %d frames in %s", written, name.c_str());
      switch (outcome.m_audio) {
        case EAudioCopyResult::kCopied:
          return Format("Done: %d frames and the audio in %s", written, name.c_str());
        case EAudioCopyResult::kNoAudio:
          return Format("Done: %d frames in %s; the main video has no audio", written,
                        name.c_str());
        case EAudioCopyResult::kPartial:
          return Format("Done: %d frames in %s, with part of the audio", written, name.c_str());
        default:
          return Format("Done: %d frames in %s, without the audio", written, name.c_str());
      }
    case EVideoPassResult::kStopped:
      return Format("Stopped at frame %d of %d: %s", written, total, held.c_str());
    case EVideoPassResult::kWriteFailed:
    case EVideoPassResult::kFailed:
      return video.m_outputCreated
                 ? Format("Failed at frame %d of %d: %s", written + 1, total, held.c_str())
                 : std::string();
    default:
      return {};
  }
}

CVideoPassOutcome WriteColourKeyVideo(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                      const std::string& output, uint32_t key, int32_t top,
                                      int32_t left, uint8_t loop) {
  CPassSettings settings;
  settings.m_key = key;
  settings.m_top = top;
  settings.m_left = left;
  settings.m_loop = loop;
  return RunVideoPass(mainStream, topStream, output, settings);
}

CVideoPassOutcome WriteAlphaVideo(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                  const std::string& output, uint32_t key, int32_t top,
                                  int32_t left, uint8_t useTransparency, uint8_t loop,
                                  double alpha) {
  CPassSettings settings;
  settings.m_alpha = true;
  settings.m_key = key;
  settings.m_top = top;
  settings.m_left = left;
  settings.m_useTransparency = useTransparency;
  settings.m_loop = loop;
  settings.m_alphaLevel = alpha;
  return RunVideoPass(mainStream, topStream, output, settings);
}

CMixOutcome MixColourKey(const std::string& mainPath, const std::string& topPath,
                         const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                         int32_t top, int32_t left, uint8_t loop, bool layerAlpha,
                         const CPlacement& placement, const CKeyerSettings& keying) {
  // A previous mix's summary must not pass for this one's.
  SetSummary({});
  CPassSettings settings;
  settings.m_keying = keying;
  settings.m_placement = placement;
  settings.m_top = top;
  settings.m_left = left;
  settings.m_loop = loop;
  settings.m_layerAlpha = layerAlpha;
  const CMixOutcome outcome = RunMix(mainPath, topPath, output, red, green, blue, settings);
  SetSummary(OutcomeSummary(outcome, output.m_path));
  return outcome;
}

CMixOutcome MixLayers(const std::string& mainPath, const std::vector<CLayerSpec>& layers,
                      const CMixOutput& output) {
  SetSummary({});
  if (layers.empty()) {
    ShowMessage("Top layer AVI has not been specified", MB_ICONERROR);
    return {};
  }
  const CLayerSpec& first = layers.front();
  for (const CLayerSpec& layer : layers) {
    // Every source is only read: the output may be none of them.
    if (SameFile(output.m_path, layer.m_source)) {
      ShowMessage(kSameFileMessage, MB_ICONERROR);
      return {};
    }
  }
  CMixOutcome outcome;
  try {
    CPassSettings settings;
    static_cast<CMixRule&>(settings) = first.m_rule;
    settings.m_placement = first.m_placement;
    settings.m_above.assign(layers.begin() + 1, layers.end());
    const uint32_t key = first.m_rule.m_key;
    outcome = RunMix(mainPath, first.m_source, output, uint8_t(key), uint8_t(key >> 8),
                     uint8_t(key >> 16), settings);
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the layers", MB_ICONINFORMATION);
    return outcome;
  }
  SetSummary(OutcomeSummary(outcome, output.m_path));
  return outcome;
}

CMixOutcome MixAlpha(const std::string& mainPath, const std::string& topPath,
                     const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                     int32_t top, int32_t left, uint8_t useTransparency, uint8_t loop, double alpha,
                     bool layerAlpha, const CPlacement& placement, const CKeyerSettings& keying) {
  CPassSettings settings;
  settings.m_keying = keying;
  settings.m_placement = placement;
  settings.m_layerAlpha = layerAlpha;
  settings.m_alpha = true;
  settings.m_top = top;
  settings.m_left = left;
  settings.m_useTransparency = useTransparency;
  settings.m_loop = loop;
  settings.m_alphaLevel = alpha;
  CMixOutcome outcome = RunMix(mainPath, topPath, output, red, green, blue, settings);
  // A stopped job says what it left; otherwise a job that got past its checks reports its times.
  if (outcome.m_video.m_result == EVideoPassResult::kStopped) {
    SetSummary(OutcomeSummary(outcome, output.m_path));
  } else if (outcome.m_video.m_result != EVideoPassResult::kNotRun) {
    CEngineState& state = EngineState();
    const long video = state.m_videoTime.load();
    const long audio = state.m_audioTime.load();
    std::lock_guard lock(state.m_summaryLock);
    state.m_summary =
        Format("Time taken: Video=%ldms, Audio=%ldms, Total=%ldms", video, audio, video + audio);
  }
  return outcome;
}

}  // namespace corvane
