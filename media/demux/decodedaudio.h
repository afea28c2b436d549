// Audio in a codec AVI cannot carry (Opus, Vorbis, FLAC...), offered as the 16-bit PCM it decodes
// to: same sample rate, same channels. Internal to media/demux.
#pragma once

#include <string>
#include <vector>

#include "media/avifile.h"
#include "media/demux/demuxdata.h"

namespace corvane {

// A PCM stream over the audio stream `streamIndex` of `path`, whose scanned packets are
// `samples`; null when no decoder for it is at hand. `stream` gives the codec and is read here
// only. The stream decodes in file order with its own demuxer, so each packet comes with the
// trimming the container asks for (encoder delay, end padding) and the sound matches what
// ffmpeg decodes. Its length is an upper bound known before decoding: reads past the decoded end
// give no samples. A read before the last one decodes again from the start.
PAVISTREAM MakeDecodedAudioStream(const std::string& path, const AVStream& stream,
                                  const std::vector<SSample>& samples);

}  // namespace corvane
