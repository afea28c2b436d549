// Output files of the containers libavformat writes (Matroska, WebM, MP4, MOV), behind the same
// file and stream interface as our AVI writer, so the mix job writes its frames the same way.
//
// The file takes one video stream, made over by a compressed stream that hands it the encoder
// (SetEncoder) and then each packet with its times (WritePacket); full frames are not taken. The
// main's audio goes in with the pictures (CarryAudioFrom): each frame written lets the audio up
// to its end follow, so the two are interleaved by time in one pass. Finish writes what is left
// and the trailer: for MP4 and MOV the index is then moved before the media data, so the file
// starts playing at once. A file never finished (killed, or a full disk) keeps what its
// container keeps: Matroska and WebM play as far as they got; an MP4 or MOV has no index and
// does not play.
//
// Ownership: the file owns the muxer, the output and the audio source; its stream keeps it alive.
// Released without Finish, it finishes as after a stop, reporting nothing. No call throws.
#pragma once

#include <string>

#include "media/avifile.h"
#include "media/mux/container.h"

namespace corvane {

// Creates `path` (truncating a file there) as `container`, which is not AVI. AVIERR_FILEOPEN
// when it cannot be made.
HRESULT OpenMuxWriter(const std::string& path, const CContainerInfo& container, PAVIFILE& file);

}  // namespace corvane
