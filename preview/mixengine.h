// The process-wide engine: the two preview pictures and the operations on them — opening a
// source for preview, the two mixes, the audio copy. One instance exists for the whole
// process (MixEngine()); the GUI and the command-line front end drive the same object.
//
// Threads. Pictures change only on the thread that runs the front end (the UI thread); a mix
// worker reads only the two pictures' m_path, which the front end keeps unchanged meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mix/layerunit.h"
#include "mix/mixpreview.h"
#include "mix/videopass.h"
#include "preview/previewpicture.h"

namespace corvane {

class CMixEngine {
 public:
  CMixEngine() = default;
  ~CMixEngine();  // resets the top picture, then the main one
  CMixEngine(const CMixEngine&) = delete;
  CMixEngine& operator=(const CMixEngine&) = delete;

  // Opens `path` and loads its first video frame into `picture` (nothing when null).
  // Failures show their message; a file that does not open leaves the picture unchanged.
  void OpenPreview(const std::string& path, CPreviewPicture* picture);

  // OpenPreview's reading half, for a caller that opens off the thread that draws: opens `path`
  // into `loaded`, a picture of the caller's own, from any thread. False when the file did not
  // open (its message shown, unless the user cancelled the opening); true when `loaded` names
  // the file, with its first frame where it could be had. The caller then moves it into the
  // engine's picture with CPreviewPicture::TakeFrom. `withAlpha`: the first frame's alpha is
  // read too (a top layer's; the main video is always mixed opaque).
  static bool LoadPreview(const std::string& path, CPreviewPicture& loaded, bool withAlpha = true);

  // One colour-key mix job of the two pictures' files into `output`. Runs on the mix worker.
  void MixColourKey(const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue, int32_t top,
                    int32_t left, uint8_t loop, bool layerAlpha = false,
                    const CPlacement& placement = {}, const CKeyerSettings& keying = {});
  // One alpha mix job; alpha 0..255 is the weight of the main video.
  void MixAlpha(const CMixOutput& output, uint8_t red, uint8_t green, uint8_t blue, int32_t top,
                int32_t left, uint8_t useTransparency, uint8_t loop, double alpha,
                bool layerAlpha = false, const CPlacement& placement = {},
                const CKeyerSettings& keying = {});
  // Every layer of `layers` over the main picture's file, the first lowest, each by its own rule.
  void MixLayers(const CMixOutput& output, const std::vector<CLayerSpec>& layers);
  // Appends the main video's first audio stream to `output`.
  void CopyAudioTrack(const std::string& output);

  // The composite preview of the two pictures' sources, opened on first use after they change:
  // true when it is open (a main video is loaded and its frames read).
  bool OpenComposite();
  // Either picture changed: the composite preview reopens on its next use.
  void SourcesChanged();

  CPreviewPicture m_mainPicture;
  CPreviewPicture m_topPicture;
  // Last cursor position (screen coordinates) taken by the main preview while unlocked.
  int32_t m_savedX = 0;
  int32_t m_savedY = 0;
  CMixPreview m_composite;
  // Where, how large and when the top layer is shown (UI thread; a mix takes a copy).
  CPlacement m_placement;

  // The placement box of the two pictures: the top layer's size after scaling and, for a
  // corner preset, where it lands (the custom offset is left, top). The time range is not
  // looked at. A size that cannot be made gives the layer's own size at left, top, and why it
  // cannot into `error` when there is one.
  CLayerPlan PlacementPlan(int32_t left = 0, int32_t top = 0, std::string* error = nullptr) const;

 private:
  bool m_compositeOpen = false;  // OpenComposite has tried since the sources last changed
};

// The one engine of the process.
CMixEngine& MixEngine();

}  // namespace corvane
