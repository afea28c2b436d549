#include "mix/mixjob.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "media/errortext.h"
#include "media/host.h"
#include "media/mux/container.h"
#include "mix/layerunit.h"
#include "mix/videopass.h"

namespace corvane {
namespace {

constexpr const char* kSameFileMessage =
    "The output file cannot be the main AVI or the top layer AVI";

// The sources opened: the main video's file and stream, then each layer's, in order; false with
// the message shown when one cannot be opened.
bool OpenSources(const std::string& mainPath, PAVIFILE& mainFile, PAVISTREAM& mainStream,
                 const std::vector<CLayerSpec>& layers,
                 std::vector<std::unique_ptr<CLayerUnit>>& units) {
  if (CAviFile::Open(mainPath, OF_SHARE_DENY_WRITE, mainFile) != AVIERR_OK || !mainFile) {
    ShowMessage(UnableToOpenText(mainPath), MB_ICONINFORMATION);
    return false;
  }
  mainFile->GetStream(mainStream, streamtypeVIDEO, 0);
  if (!mainStream) {
    ShowMessage(Format("Cannot get AVI video stream for %s", mainPath.c_str()), MB_ICONINFORMATION);
    return false;
  }
  const auto count = static_cast<int32_t>(layers.size());
  for (int32_t i = 0; i < count; ++i) {
    units.push_back(std::make_unique<CLayerUnit>());
    if (!units.back()->OpenSource(layers[size_t(i)], i + 1, count)) return false;
  }
  return true;
}

// The mix of `layers` over `mainPath`: the sources checked and opened, the video pass, and the
// main's sound carried over (after the pass into an AVI, within it for the other containers).
CMixOutcome RunMix(const std::string& mainPath, const std::vector<CLayerSpec>& layers,
                   const CMixOutput& target) {
  const std::string& output = target.m_path;
  CMixOutcome outcome;
  if (mainPath.empty()) {
    ShowMessage("Main AVI has not been specified", MB_ICONERROR);
    return outcome;
  }
  if (layers.empty() || std::any_of(layers.begin(), layers.end(), [](const CLayerSpec& layer) {
        return layer.m_source.empty();
      })) {
    ShowMessage("Top layer AVI has not been specified", MB_ICONERROR);
    return outcome;
  }
  // The output is deleted and rewritten: it must not be any source, under any name.
  const bool isSource = SameFile(output, mainPath) ||
                        std::any_of(layers.begin(), layers.end(), [&](const CLayerSpec& layer) {
                          return SameFile(output, layer.m_source);
                        });
  if (isSource) {
    ShowMessage(kSameFileMessage, MB_ICONERROR);
    return outcome;
  }

  {
    // The layers (their readers, streams and files) go before the main video's.
    PAVIFILE mainFile;
    // A part of a mix is pictures alone: its sound goes in once, when the parts are joined.
    outcome.m_videoOnly = !target.m_frames.Whole();
    CPassInput pass{nullptr, {}, target, outcome.m_videoOnly ? std::string() : mainPath};
    std::vector<std::unique_ptr<CLayerUnit>> units;
    if (!OpenSources(mainPath, mainFile, pass.m_main, layers, units)) return outcome;
    WarnOfVariableRate(mainPath, *pass.m_main,
                       OutputContainer(output, target.m_container).m_kind != EContainer::kAvi);
    WarnOfEarlyEnd(mainPath, *pass.m_main);
    for (size_t i = 0; i < units.size(); ++i) {
      WarnOfEarlyEnd(layers[i].m_source, *units[i]->Stream());
      pass.m_layers.push_back(units[i].get());
    }
    outcome.m_video = RunVideoPass(pass);
  }

  // Only an output this job made gets the audio: an older file of that name is left alone.
  if (outcome.m_video.m_audioWithVideo) {
    // It went in with the video.
    outcome.m_audioRan = true;
    EngineState().m_audioTime = 0;
    outcome.m_audio = AudioWithVideoResult(outcome.m_video, mainPath);
  } else if (outcome.m_video.m_outputCreated && !outcome.m_videoOnly) {
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

// The one layer of a colour-key or alpha mix.
CLayerSpec OneLayer(const std::string& topPath, uint32_t key, int32_t top, int32_t left,
                    uint8_t loop, bool layerAlpha, const CPlacement& placement,
                    const CKeyerSettings& keying) {
  CLayerSpec layer;
  layer.m_source = topPath;
  layer.m_rule.m_key = key;
  layer.m_rule.m_top = top;
  layer.m_rule.m_left = left;
  layer.m_rule.m_loop = loop;
  layer.m_rule.m_layerAlpha = layerAlpha;
  layer.m_rule.m_keying = keying;
  layer.m_placement = placement;
  return layer;
}

// A pass over open streams with one layer (the stream's own name unknown).
CVideoPassOutcome RunOneLayerPass(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                  const std::string& output, const CMixRule& rule) {
  if (!topStream) {
    CVideoPassOutcome outcome;
    outcome.m_result = EVideoPassResult::kNoOutput;
    return outcome;
  }
  CLayerUnit unit;
  unit.Adopt(CLayerSpec{std::string(), rule, CPlacement{}}, topStream);
  return RunVideoPass(CPassInput{mainStream, {&unit}, output, std::string()});
}

void SetSummary(const std::string& text) {
  CEngineState& state = EngineState();
  std::lock_guard lock(state.m_summaryLock);
  state.m_summary = text;
}

}  // namespace

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

std::string OutcomeSummary(const CMixOutcome& outcome, const std::string& output) {
  const CVideoPassOutcome& video = outcome.m_video;
  const std::string name = std::filesystem::path(output).filename().string();
  const int written = video.m_framesWritten;
  const int total = video.m_frameTotal;
  const std::string held =
      written > 0 ? Format("the file holds frames 1\u2013%d", written) : "the file holds no frames";
  switch (video.m_result) {
    case EVideoPassResult::kComplete: {
      // "250 frames", or with frames copied from the main "250 frames (240 copied, 10 encoded)".
      const std::string frames = video.m_framesCopied > 0
                                     ? Format("%d frames (%d copied, %d encoded)", written,
                                              video.m_framesCopied, written - video.m_framesCopied)
                                     : Format("%d frames", written);
      if (!outcome.m_audioRan) return Format("Done: %s in %s", frames.c_str(), name.c_str());
      switch (outcome.m_audio) {
        case EAudioCopyResult::kCopied:
          return Format("Done: %s and the audio in %s", frames.c_str(), name.c_str());
        case EAudioCopyResult::kNoAudio:
          return Format("Done: %s in %s; the main video has no audio", frames.c_str(),
                        name.c_str());
        case EAudioCopyResult::kPartial:
          return Format("Done: %s in %s, with part of the audio", frames.c_str(), name.c_str());
        default:
          return Format("Done: %s in %s, without the audio", frames.c_str(), name.c_str());
      }
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
  const CLayerSpec layer = OneLayer({}, key, top, left, loop, false, {}, {});
  return RunOneLayerPass(mainStream, topStream, output, layer.m_rule);
}

CVideoPassOutcome WriteAlphaVideo(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                  const std::string& output, uint32_t key, int32_t top,
                                  int32_t left, uint8_t useTransparency, uint8_t loop,
                                  double alpha) {
  CLayerSpec layer = OneLayer({}, key, top, left, loop, false, {}, {});
  layer.m_rule.m_alpha = true;
  layer.m_rule.m_useTransparency = useTransparency;
  layer.m_rule.m_alphaLevel = alpha;
  return RunOneLayerPass(mainStream, topStream, output, layer.m_rule);
}

CMixOutcome MixColourKey(const std::string& mainPath, const std::string& topPath,
                         const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                         int32_t top, int32_t left, uint8_t loop, bool layerAlpha,
                         const CPlacement& placement, const CKeyerSettings& keying) {
  // A previous mix's summary must not pass for this one's.
  SetSummary({});
  const CMixOutcome outcome = RunMix(mainPath,
                                     {OneLayer(topPath, PackKeyColour(red, green, blue), top, left,
                                               loop, layerAlpha, placement, keying)},
                                     output);
  SetSummary(OutcomeSummary(outcome, output.m_path));
  return outcome;
}

CMixOutcome MixLayers(const std::string& mainPath, const std::vector<CLayerSpec>& layers,
                      const CMixOutput& output) {
  SetSummary({});
  CMixOutcome outcome;
  try {
    outcome = RunMix(mainPath, layers, output);
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
  CLayerSpec layer = OneLayer(topPath, PackKeyColour(red, green, blue), top, left, loop, layerAlpha,
                              placement, keying);
  layer.m_rule.m_alpha = true;
  layer.m_rule.m_useTransparency = useTransparency;
  layer.m_rule.m_alphaLevel = alpha;
  CMixOutcome outcome = RunMix(mainPath, {layer}, output);
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
