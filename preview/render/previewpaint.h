// The preview panes' behaviour: repainting, the pixel probe under the mouse, the placement
// box on the main preview and its lock. Runs on the UI thread only.
//
// Every paint composes one trace line and sends it through the host's trace (Trace()). A probe
// writes the picture's probe fields and the probe line.
#pragma once

#include <cstdint>

class QLabel;

namespace corvane {

class CMixEngine;
class CPreviewPicture;
class CPreviewControl;
enum class EPreviewMessage;

// The preview lock: 1 while the placement box is frozen at the saved position. 0 at start.
uint8_t& PreviewLock();

// The probe line (not owned; null until the dialog sets it, and again when it goes).
void SetProbeLine(QLabel* line);

// Repaints the main preview for the packed screen `position` (x low 16 bits, y high 16 bits,
// each read as signed): draws the picture (white when none is loaded), probes the pixel under
// the position, and places a box of boxWidth x boxHeight at it. While the lock is on, the
// saved position stands in for `position`; while it is off, `position` becomes the saved one.
void PaintMainPreview(CMixEngine& engine, CPreviewControl& control, uint32_t position,
                      CPreviewPicture& picture, int32_t boxWidth, int32_t boxHeight);

// Repaints the top preview for `position` and probes the pixel under it. No lock, no box.
void PaintTopPreview(CMixEngine& engine, CPreviewControl& control, uint32_t position,
                     CPreviewPicture& picture);

// The procedures of the two preview controls: repaint on every hit test; on the main preview
// a left press freezes the box and a right release frees it.
void MainPreviewProc(CPreviewControl& control, EPreviewMessage message, uint32_t position);
void TopPreviewProc(CPreviewControl& control, EPreviewMessage message, uint32_t position);

}  // namespace corvane
