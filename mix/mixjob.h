// One mix job: the main video and its layers in, a new video out. A colour-key or alpha mix is
// a job of one layer. The drivers check the sources, open them (each layer into its own unit,
// mix/layerunit.h), run the video pass (mix/videopass.h: decode, lay the layers on, compress
// and write one sample per main frame) and have the main video's first audio stream copied into the
// result: after the pass for an AVI, within it for the other containers (the output name's
// extension chooses). A stopped pass keeps the sound of the frames it wrote (a second stop ends
// that copy early).
//
// Everything runs on the calling thread (the mix worker) and talks to the user through the
// host: message boxes with the caption "Corvane", the progress text "Processing frame %ld\%ld"
// once per frame, the compressor chosen through Host().ChooseCompression. A job stops at the
// next frame boundary once EngineState().m_mixing is no longer 1, and the output it leaves is
// still a complete, valid file. Sources are only ever read; an output that is the same file as
// any source is refused before anything is deleted or opened for writing. Nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "media/audiocopy.h"
#include "media/avifile.h"
#include "media/mux/container.h"
#include "mix/layerunit.h"
#include "mix/placement.h"
#include "mix/screenkey.h"
#include "mix/videopass.h"

namespace corvane {

struct CMixOutcome {
  CVideoPassOutcome m_video;
  bool m_videoOnly = false;  // a part of a mix (CFrameRange), which takes no sound
  bool m_audioRan = false;
  EAudioCopyResult m_audio = EAudioCopyResult::kFailed;

  // Every frame asked for and, for a whole mix of a main with audio, all of its audio.
  bool Complete() const {
    return m_video.m_result == EVideoPassResult::kComplete &&
           (m_videoOnly || (m_audioRan && (m_audio == EAudioCopyResult::kCopied ||
                                           m_audio == EAudioCopyResult::kNoAudio)));
  }
};

// How the sound that went in with the pictures fared (outcome.m_audioWithVideo), said as the
// audio copy says it.
EAudioCopyResult AudioWithVideoResult(const CVideoPassOutcome& video, const std::string& mainPath);

// What a mix left in `output`, for the status line: "Done: 250 frames and the audio in out.avi",
// "Stopped at frame 88 of 250: the file holds frames 1-88" (an en dash), a failure's frame;
// empty when no output was made.
std::string OutcomeSummary(const CMixOutcome& outcome, const std::string& output);

// The colour-key mix of `mainPath` and `topPath` (empty: not specified) into `output`. Top
// pixels equal to the key colour let the main video through. `top` and `left` place the top
// layer's top-left pixel; a placement that does not fit is clipped. The top layer loops only
// when `loop` is 1. With `layerAlpha` the top layer's own alpha weighs each of its pixels
// (CompositeLayerAlpha); a top layer without alpha is then said to be taken as opaque.
// `placement` may put the top layer in a corner (instead of at left, top), resize it and show
// it on part of the main video with fades; `keying` chooses the keyer (mix/screenkey.h). The
// defaults of both leave the mix as described above. The screen keyer with an automatic key
// that finds no screen colour ends the job before the output is touched.
CMixOutcome MixColourKey(const std::string& mainPath, const std::string& topPath,
                         const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                         int32_t top, int32_t left, uint8_t loop, bool layerAlpha = false,
                         const CPlacement& placement = {}, const CKeyerSettings& keying = {});

// The alpha mix: `alpha` (0..255) is the weight of the main video; the key colour is
// transparent only when `useTransparency` is 1. Leaves "Time taken: Video=%ldms, Audio=%ldms,
// Total=%ldms" in EngineState().m_summary (a stopped job: its OutcomeSummary).
CMixOutcome MixAlpha(const std::string& mainPath, const std::string& topPath,
                     const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue,
                     int32_t top, int32_t left, uint8_t useTransparency, uint8_t loop, double alpha,
                     bool layerAlpha = false, const CPlacement& placement = {},
                     const CKeyerSettings& keying = {});

// Several layers over `mainPath`, laid on one after another in order (the first lowest), each
// by its own rule and placement exactly as a mix of that layer alone would lay it on the frame
// below. One layer is the colour-key or alpha mix above, byte for byte. A layer that cannot be
// opened or placed ends the job before the output is touched, naming its number (from 1).
CMixOutcome MixLayers(const std::string& mainPath, const std::vector<CLayerSpec>& layers,
                      const CMixOutput& output);

// One-layer video passes on open streams (the caller keeps them), as RunVideoPass.
CVideoPassOutcome WriteColourKeyVideo(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                      const std::string& output, uint32_t key, int32_t top,
                                      int32_t left, uint8_t loop);
CVideoPassOutcome WriteAlphaVideo(const PAVISTREAM& mainStream, const PAVISTREAM& topStream,
                                  const std::string& output, uint32_t key, int32_t top,
                                  int32_t left, uint8_t useTransparency, uint8_t loop,
                                  double alpha);

}  // namespace corvane
