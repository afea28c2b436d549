// Drawing a preview picture with Qt: the held first frame, 1:1 at the painter's origin.
#pragma once

class QPainter;

namespace corvane {

class CPreviewPicture;

// Draws the picture's first frame unscaled with its top-left corner at the painter's origin.
// Does nothing when `painter` is null, the picture is not loaded or its frame is not a 24-bit
// uncompressed DIB. Reads the decoder's frame in place: nothing is decoded or copied.
void Draw(const CPreviewPicture& picture, QPainter* painter);

}  // namespace corvane
