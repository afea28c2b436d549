#include "mix/videopass.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "media/codec/compress.h"
#include "media/errortext.h"
#include "media/host.h"
#include "media/videoreader.h"
#include "mix/frameprefetch.h"
#include "mix/segments.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

// The shortest and longest steps between the pictures; false when they come at one rate. Steps
// that differ by one unit of the stream's clock are rounding (29.97 fps in milliseconds), not
// change. The step to the last picture does not count: a clip cut without re-encoding often ends
// on a picture of its own time, and one odd picture at the end is no changing rate.
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

// The main video as the pass reads it, and what planning found out about it.
struct CPassPlan {
  CVideoReader m_main;
  int32_t m_imageSize = 0;  // bytes of one output frame
  SPresentationTimes m_times;
  bool m_variableRate = false;  // the frames keep their own times where the container can
  CCopyPlan m_copy;             // the frames written as the main's own samples
  // The main frames (from 0) mixed: all, or a part's. Output frame k is main frame m_first + k.
  int32_t m_first = 0;
  int32_t m_end = 0;
};

// The frame times of main frames first..end-1 alone, from the first one's start.
SPresentationTimes TimesOfPart(const SPresentationTimes& times, int32_t first, int32_t end) {
  SPresentationTimes part = times;
  const auto count = static_cast<int32_t>(times.m_starts.size());
  first = std::clamp(first, 0, count);
  end = std::clamp(end, first, count);
  const int64_t origin = first < count ? times.m_starts[size_t(first)] : times.m_duration;
  part.m_starts.assign(times.m_starts.begin() + first, times.m_starts.begin() + end);
  for (int64_t& start : part.m_starts) start -= origin;
  part.m_duration = (end < count ? times.m_starts[size_t(end)] : times.m_duration) - origin;
  part.m_statedSeconds = 0.0;
  return part;
}

// The part of the main a part of a mix takes, once the output's codec and copying are known.
void PlacePart(const CPassInput& input, const AVICOMPRESSOPTIONS& options, CPassPlan& plan,
               CVideoPassOutcome& outcome) {
  const CFrameRange& range = input.m_output.m_frames;
  if (range.m_parts > 0) {
    const CCompressorInfo* codec = FindCompressor(options.fccHandler);
    const bool longGroups = codec && codec->m_honoursKeyFrames;
    const int32_t frames = plan.m_end;
    const std::vector<int32_t> cuts = CutIntoParts(
        frames, range.m_parts,
        PartStarts(*input.m_main, plan.m_main.m_startFrame, frames, longGroups, plan.m_copy));
    const int32_t part = std::clamp(range.m_part, 1, range.m_parts);
    plan.m_first = cuts[size_t(part - 1)];
    plan.m_end = cuts[size_t(part)];
  }
  if (!range.Whole()) plan.m_copy.Restrict(plan.m_first, plan.m_end);
  outcome.m_firstFrame = plan.m_first;
  outcome.m_frameTotal = plan.m_end - plan.m_first;
}

// The output while it is written. Streams go before their file: the file is completed on its
// last release.
struct CPassWriter {
  PAVIFILE m_file;
  PAVISTREAM m_raw;
  PAVISTREAM m_compressed;

  ~CPassWriter() { Release(); }
  void Release() {
    m_raw.reset();
    m_compressed.reset();
    m_file.reset();
  }
};

// Opens the main reader and plans every layer over it; false (the outcome says how it ended)
// when the pass cannot run. Nothing is written.
bool PlanPass(const CPassInput& input, CPassPlan& plan, CVideoPassOutcome& outcome) {
  if (!input.m_main || plan.m_main.Open(input.m_main) != 0) return false;
  const int64_t imageBytes = plan.m_main.FrameBytes();
  if (imageBytes < 0) return false;
  plan.m_imageSize = static_cast<int32_t>(imageBytes);
  outcome.m_frameTotal = plan.m_main.m_endFrame - plan.m_main.m_startFrame;
  const CFrameRange& range = input.m_output.m_frames;
  plan.m_first = range.m_parts > 0 ? 0 : range.m_first;
  plan.m_end = range.m_parts > 0 || range.m_end < 0 ? outcome.m_frameTotal : range.m_end;
  const bool given = range.m_parts == 0 && !range.Whole();
  if (given &&
      (plan.m_first < 0 || plan.m_first >= plan.m_end || plan.m_end > outcome.m_frameTotal)) {
    ShowMessage(
        Format("The main video has %d frames, 0 to %d: frames %d to %d cannot be mixed",
               outcome.m_frameTotal, outcome.m_frameTotal - 1, plan.m_first, plan.m_end - 1),
        MB_ICONINFORMATION);
    outcome.m_rangeRefused = true;
    outcome.m_result = EVideoPassResult::kNotRun;
    return false;
  }
  try {
    for (CLayerUnit* layer : input.m_layers) {
      switch (layer->Plan(plan.m_main)) {
        case CLayerUnit::EReady::kReady:
          continue;
        case CLayerUnit::EReady::kNoReader:
          return false;
        case CLayerUnit::EReady::kPlacementRefused:
          outcome.m_placementRefused = true;
          [[fallthrough]];
        case CLayerUnit::EReady::kRefused:
          outcome.m_result = EVideoPassResult::kNotRun;
          return false;
      }
    }
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the layers", MB_ICONINFORMATION);
    return false;
  }
  // A main whose pictures come at changing intervals keeps their times where the container can
  // (AVI has one rate: the average). Times that cannot be kept in memory end the job here: mixed
  // at an average rate, picture and sound would drift apart.
  try {
    plan.m_variableRate = VariableFrameTimes(*input.m_main, plan.m_times);
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the frame times of the main video", MB_ICONINFORMATION);
    return false;
  }
  return true;
}

// Replaces the output with a new file and sets up its compressed video stream; false (the
// outcome says how it ended) with the message shown.
bool OpenOutput(const CPassInput& input, CPassPlan& plan, CPassWriter& writer,
                CVideoPassOutcome& outcome) {
  const std::string& output = input.m_output.m_path;
  // A folder of that name is no output to replace (and an empty one would be removed).
  std::error_code error;
  if (!std::filesystem::is_directory(output, error)) std::remove(output.c_str());
  if (CAviFile::Open(output, OF_CREATE | OF_WRITE, writer.m_file, input.m_output.m_container) !=
          AVIERR_OK ||
      !writer.m_file) {
    return false;
  }
  outcome.m_outputCreated = true;
  outcome.m_result = EVideoPassResult::kFailed;

  AVISTREAMINFOA header = plan.m_main.m_streamInfo;
  header.fccType = streamtypeVIDEO;
  header.fccHandler = 0;
  header.dwSuggestedBufferSize = 0;
  header.dwQuality = 0xFFFFFFFFu;
  if (writer.m_file->CreateStream(writer.m_raw, header) != AVIERR_OK || !writer.m_raw) {
    ShowMessage("Failed to create stream", MB_ICONINFORMATION);
    return false;
  }
  AVICOMPRESSOPTIONS options{};
  if (!Host().ChooseCompression(options)) {
    ShowMessage("AVISaveOptions failed", MB_ICONINFORMATION);
    return false;
  }
  plan.m_copy = PlanCopying(input.m_output.m_copyUnchanged,
                            OutputContainer(output, input.m_output.m_container), *input.m_main,
                            plan.m_main, input.m_layers, plan.m_variableRate, options);
  PlacePart(input, options, plan, outcome);
  if (input.m_output.m_frames.m_parts > 0 && plan.m_first == plan.m_end) {
    // A main with fewer places to cut than parts leaves the last parts empty: they are no file.
    writer.Release();
    std::remove(output.c_str());
    outcome.m_outputCreated = false;
    outcome.m_emptyPart = true;
    outcome.m_result = EVideoPassResult::kComplete;
    const CFrameRange& range = input.m_output.m_frames;
    ShowMessage(Format("Part %d of %d holds no frames: the main video has too few places to cut "
                       "it into %d parts for this output (its key frames); %s is not written",
                       range.m_part, range.m_parts, range.m_parts, output.c_str()),
                MB_ICONINFORMATION);
    return false;
  }
  try {
    if (plan.m_variableRate &&
        writer.m_raw->SetFrameTimes(input.m_output.m_frames.Whole()
                                        ? plan.m_times
                                        : TimesOfPart(plan.m_times, plan.m_first, plan.m_end)) ==
            AVIERR_MEMORY) {
      throw std::bad_alloc();
    }
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the frame times of the main video", MB_ICONINFORMATION);
    return false;
  }
  if (AVIMakeCompressedStream(writer.m_compressed, writer.m_raw, options, plan.m_copy.m_match) !=
          AVIERR_OK ||
      !writer.m_compressed) {
    ShowMessage("Couldn't create compressed stream", MB_ICONINFORMATION);
    return false;
  }
  const BITMAPINFOHEADER format = FrameHeader(plan.m_main.m_width, plan.m_main.m_height,
                                              static_cast<uint32_t>(plan.m_imageSize));
  const HRESULT formatResult = writer.m_compressed->SetFormat(0, &format, sizeof(format));
  if (formatResult != AVIERR_OK) {
    CErrorText text(formatResult);
    if (const std::optional<std::string> said = text.Text())
      ShowMessage("Failed to set stream format.\nError is: " + *said, MB_ICONINFORMATION);
    return false;
  }
  // Containers other than AVI take the sound with the pictures, in this pass.
  if (!input.m_audioSource.empty() && writer.m_file->TakesAudioWithVideo()) {
    outcome.m_audioWithVideo = true;
    outcome.m_audioCarried = writer.m_file->CarryAudioFrom(input.m_audioSource);
  }
  return true;
}

// The frame buffers and the reading ahead: the lowest layer's pictures are read beside the main
// frames, one pair for the frame being mixed and one for each frame read ahead. False with the
// message shown.
bool StartReading(const CPassInput& input, CPassPlan& plan, CFramePrefetcher& prefetcher) {
  CLayerUnit* lowest = input.m_layers.empty() ? nullptr : input.m_layers.front();
  if (std::unique_ptr<CVideoReader> second = SecondMainReader(input.m_main, plan.m_main))
    prefetcher.AddMainReader(std::move(second));
  const CFramePrefetcher::EAllocation allocated =
      prefetcher.Allocate(plan.m_imageSize, lowest ? lowest->PictureBytes() : 0);
  if (allocated == CFramePrefetcher::EAllocation::kNoOutputFrame)
    ShowMessage("Cannot allocate output frame buffer", MB_ICONINFORMATION);
  if (allocated != CFramePrefetcher::EAllocation::kOk) return false;
  if (plan.m_copy.Copies()) prefetcher.SetCopied(&plan.m_copy, input.m_main.get());
  // A part of a mix: each layer stands where the whole mix would have it at the part's start.
  if (plan.m_first > 0) {
    for (CLayerUnit* layer : input.m_layers) layer->SkipTo(plan.m_first);
  }
  // The frames are read in order one frame ahead; each frame's reads (their traces and
  // messages) reach the host after its progress text, as if read here.
  prefetcher.Start(plan.m_main, lowest, plan.m_main.m_startFrame + plan.m_first,
                   plan.m_main.m_startFrame + plan.m_end);
  return true;
}

// Writes the main's own sample in `slot` in the turn of main frame `frame` (number `number` from
// 0), which the copy plan copies: the sample at that place in decoding order, shown where the
// main shows it. False, said, when it cannot be written.
bool WriteCopiedFrame(const CPassInput& input, const CPassPlan& plan, CPassWriter& writer,
                      const CPrefetchSlot& slot, int32_t frame, int64_t number,
                      CVideoPassOutcome& outcome) {
  const int32_t shownAt = input.m_main->ShownAt(frame);
  // A part of a mix begins its output at its first frame.
  const int32_t first = plan.m_first;
  const HRESULT copied = writer.m_raw->WritePacket(
      frame - first, int64_t{shownAt >= 0 ? shownAt : frame} - first,
      int64_t{frame} - first - plan.m_copy.m_reorderDepth, slot.m_sample.data(),
      static_cast<int32_t>(slot.m_sample.size()), slot.m_sampleKey ? AVIIF_KEYFRAME : 0);
  if (copied < 0) {
    ShowMessage(Format("Failed to write frame %ld", static_cast<long>(number - first + 1)),
                MB_ICONINFORMATION);
    outcome.m_result = EVideoPassResult::kWriteFailed;
    return false;
  }
  // The layers above the lowest step too, so that one past its range closes its reader.
  for (size_t i = 1; i < input.m_layers.size(); ++i) input.m_layers[i]->Advance(number);
  ++outcome.m_framesWritten;
  ++outcome.m_framesCopied;
  const auto startFrame = static_cast<int32_t>(frame - number);
  ReportFramesInFile(std::max(writer.m_raw->Length() - startFrame, 0));
  return true;
}

// Mixes and writes every frame of the main video, until a stop or a failed write.
void MixFrames(const CPassInput& input, CPassPlan& plan, CPassWriter& writer,
               CFramePrefetcher& prefetcher, CVideoPassOutcome& outcome) {
  CEngineState& state = EngineState();
  const CVideoReader& main = plan.m_main;
  CAviStream& compressed = *writer.m_compressed;
  const long total = static_cast<long>(plan.m_end) - plan.m_first;
  // Written at its place in the output, which a part of a mix begins at its first frame.
  const int32_t first = plan.m_first;
  outcome.m_result = EVideoPassResult::kComplete;
  bool runOpen = false;  // frames encoded since the last copied one
  for (int32_t frame = main.m_startFrame + plan.m_first; frame < main.m_startFrame + plan.m_end;
       ++frame) {
    if (state.m_mixing.load() != 1) {
      outcome.m_result = EVideoPassResult::kStopped;
      return;
    }
    const int64_t number = int64_t{frame} - main.m_startFrame;  // from 0
    SetStatus(Format("Processing frame %ld\\%ld", static_cast<long>(number - first + 1), total));

    // The slot holds the main frame (black until the main video has given one; after a failed
    // read the reader's previous frame) and the lowest layer's picture, when it shows one.
    CPrefetchSlot& slot = prefetcher.Next();
    slot.m_events.Replay();
    if (slot.m_copied) {
      // The encoder gives up the run before it: its packets come before the copied ones.
      if (runOpen && plan.m_copy.m_closedRuns && compressed.EndRun() < 0) {
        prefetcher.Release();
        ShowMessage(
            Format("Failed to write frame %ld",
                   FailedFrame(compressed, static_cast<long>(number - first), main.m_startFrame)),
            MB_ICONINFORMATION);
        outcome.m_result = EVideoPassResult::kWriteFailed;
        outcome.m_framesWritten =
            FramesBefore(compressed, outcome.m_framesWritten, main.m_startFrame);
        return;
      }
      runOpen = false;
      const bool written = WriteCopiedFrame(input, plan, writer, slot, frame, number, outcome);
      prefetcher.Release();
      if (!written) return;
      continue;
    }
    uint8_t* outputFrame = slot.m_output.get();
    for (size_t i = 0; i < input.m_layers.size(); ++i) {
      CLayerUnit& layer = *input.m_layers[i];
      if (i > 0) {
        layer.LayOn(number, outputFrame, main.m_width, main.m_height);
      } else if (slot.m_haveTop) {
        layer.LayOn(number, slot.m_top.get(), outputFrame, main.m_width, main.m_height);
      }
    }

    Trace("W");
    runOpen = true;
    const HRESULT written = compressed.Write(frame - first, 1, outputFrame, plan.m_imageSize,
                                             AVIIF_KEYFRAME, nullptr, nullptr);
    prefetcher.Release();
    if (written < 0) {
      ShowMessage(
          Format("Failed to write frame %ld",
                 FailedFrame(compressed, static_cast<long>(number - first + 1), main.m_startFrame)),
          MB_ICONINFORMATION);
      outcome.m_result = EVideoPassResult::kWriteFailed;
      outcome.m_framesWritten =
          FramesBefore(compressed, outcome.m_framesWritten, main.m_startFrame);
      return;
    }
    ++outcome.m_framesWritten;
    ReportFramesInFile(std::max(compressed.Length() - main.m_startFrame, 0));
  }
}

// The encoder gives up what it holds (a write that fails then is the pass's own failure), then
// a muxed file is ended: the rest of the sound (up to the last frame after a stop), its index
// and trailer. AVI files end on release.
void FinishPass(const CPassInput& input, const CPassPlan& plan, CPassWriter& writer,
                CVideoPassOutcome& outcome) {
  const int32_t startFrame = plan.m_main.m_startFrame;
  if (outcome.m_result != EVideoPassResult::kWriteFailed &&
      writer.m_compressed->EndOfStream() < 0) {
    ShowMessage(Format("Failed to write frame %ld",
                       FailedFrame(*writer.m_compressed, outcome.m_framesWritten, startFrame)),
                MB_ICONINFORMATION);
    outcome.m_result = EVideoPassResult::kWriteFailed;
    outcome.m_framesWritten =
        FramesBefore(*writer.m_compressed, outcome.m_framesWritten, startFrame);
  }
  writer.m_compressed.reset();
  writer.m_raw.reset();
  const HRESULT finished = writer.m_file->Finish(outcome.m_result == EVideoPassResult::kComplete);
  outcome.m_audioFinished = writer.m_file->CarriedAudioResult();
  if (finished != AVIERR_OK && finished != AVIERR_UNSUPPORTED) {
    ShowMessage(Format("Failed to finish %s", input.m_output.m_path.c_str()), MB_ICONINFORMATION);
    outcome.m_finishFailed = true;
    if (outcome.m_result == EVideoPassResult::kComplete)
      outcome.m_result = EVideoPassResult::kWriteFailed;
  }
  writer.Release();
  const AVISTREAMINFOA& info = plan.m_main.m_streamInfo;
  if (info.dwRate > 0)
    outcome.m_secondsWritten = double(outcome.m_framesWritten) * info.dwScale / info.dwRate;
}

}  // namespace

CVideoPassOutcome RunVideoPass(const CPassInput& input) {
  CEngineState& state = EngineState();
  CVideoPassOutcome outcome;
  outcome.m_result = EVideoPassResult::kNoOutput;
  // A pass that ends early must not leave another job's time standing.
  state.m_videoTime = 0;

  CPassPlan plan;
  if (!PlanPass(input, plan, outcome)) return outcome;
  CPassWriter writer;
  if (!OpenOutput(input, plan, writer, outcome)) return outcome;
  const auto started = Clock::now();
  {
    CFramePrefetcher prefetcher;
    if (!StartReading(input, plan, prefetcher)) return outcome;
    MixFrames(input, plan, writer, prefetcher, outcome);
  }
  FinishPass(input, plan, writer, outcome);
  state.m_videoTime = MillisecondsSince(started);
  return outcome;
}

bool VariableFrameTimes(const CAviStream& main, SPresentationTimes& times) {
  int64_t shortest = 0;
  int64_t longest = 0;
  return main.PresentationTimes(times) && VariableSteps(times, shortest, longest);
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

}  // namespace corvane
