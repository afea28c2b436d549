// The video pass of a mix job: the main video's frames decoded once each, the layers laid on in
// order, and every frame compressed and written to the output, in four steps: planning (the
// main reader and each layer's plan, before the output is touched), opening the output, the
// frame loop and finishing (the encoder drained, the file ended and, for containers other than
// AVI, the sound that went in beside the pictures accounted for).
//
// The pass borrows the main stream and the layers; it owns the main reader and the output while
// it runs. Everything runs on the calling thread but for the reading ahead of the frame
// prefetcher, and talks to the user through the host. Nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "media/avifile.h"
#include "media/mux/container.h"
#include "mix/layerunit.h"
#include "mix/smartcopy.h"

namespace corvane {

// How a video pass ended.
enum class EVideoPassResult {
  kNotRun,       // the driver stopped before the pass (message shown); no output touched
  kNoOutput,     // the pass ended before creating the output file
  kFailed,       // setting up the output failed after the file was created (message shown)
  kWriteFailed,  // a frame could not be written; the output holds the frames before it
  kStopped,      // the mixing flag dropped; the output holds the frames written so far
  kComplete,     // one sample for every frame of the main video
};

struct CVideoPassOutcome {
  EVideoPassResult m_result = EVideoPassResult::kNotRun;
  bool m_placementRefused = false;  // the placement cannot be made for these sources (said why)
  bool m_rangeRefused = false;      // the frames asked for are not all in the main (said)
  bool m_emptyPart = false;         // a part of a mix that holds no frames: nothing written (said)
  bool m_outputCreated = false;     // the output file was made by this pass
  int32_t m_framesWritten = 0;
  int32_t m_framesCopied = 0;     // of those, written as the main's own samples
  int32_t m_frameTotal = 0;       // frames of the main video (of the range, for one)
  int32_t m_firstFrame = 0;       // the main frame (from 0) the output's first one is
  double m_secondsWritten = 0.0;  // where the last frame written ends, at the output's rate
  // A container other than AVI took the main's sound in the pass: how taking it went
  // (AVIERR_NODATA: the main has none), and whether ending the file failed.
  bool m_audioWithVideo = false;
  HRESULT m_audioCarried = AVIERR_UNSUPPORTED;
  bool m_finishFailed = false;
  HRESULT m_audioFinished = AVIERR_OK;  // the sound carried: all of it, or why not (said)
};

// Part of a mix: its frames `m_first` to `m_end` - 1 (main frames from 0; -1: to the end), or
// part `m_part` (from 1) of `m_parts` when the main's frames are cut into that many for
// machines of their own (mix/segments.h). Such an output holds video only, its first frame the
// range's first; frame k of it is frame m_first + k of the whole mix.
struct CFrameRange {
  int32_t m_first = 0;
  int32_t m_end = -1;
  int32_t m_part = 0;
  int32_t m_parts = 0;  // 0: the range as given
  bool Whole() const { return m_parts == 0 && m_first == 0 && m_end < 0; }
};

// Where a mix writes: the output's name and, for a name without a known extension, the
// container it is written as (null: AVI); whether frames no layer changes are copied from
// the main video (mix/smartcopy.h); and which frames (all, by default). A name alone converts
// to one.
struct CMixOutput {
  CMixOutput(std::string path, const CContainerInfo* container = nullptr)
      : m_path(std::move(path)), m_container(container) {}
  CMixOutput(const char* path) : m_path(path) {}
  std::string m_path;
  const CContainerInfo* m_container = nullptr;
  ECopyUnchanged m_copyUnchanged = ECopyUnchanged::kByContainer;
  CFrameRange m_frames;
};

// What one video pass mixes.
struct CPassInput {
  PAVISTREAM m_main;                  // the main video's stream
  std::vector<CLayerUnit*> m_layers;  // sources open (OpenSource or Adopt), lowest first
  CMixOutput m_output;
  std::string m_audioSource;  // the main, whose sound a container other than AVI takes in
};

// Deletes and re-creates the output, writes its video stream and leaves the pass's time in
// EngineState().m_videoTime. A layer or a main video that cannot be mixed ends the pass before
// the output is touched (kNotRun or kNoOutput, said why).
CVideoPassOutcome RunVideoPass(const CPassInput& input);

// Whether the main's pictures come at changing intervals, which the output keeps where the
// container can: then `times` holds them. May throw std::bad_alloc.
bool VariableFrameTimes(const CAviStream& main, SPresentationTimes& times);

// Notices about a source, given once before its pass: a main video whose pictures come at
// changing intervals (`keepsTimes`: the output keeps each frame's time), and a file whose
// pictures end well before its header says.
void WarnOfVariableRate(const std::string& path, const CAviStream& stream, bool keepsTimes);
void WarnOfEarlyEnd(const std::string& path, const CAviStream& stream);

}  // namespace corvane
