// Files of the containers libavformat demuxes (MP4, MOV, Matroska, WebM, MPEG-TS, images...),
// read through the same stream interface as our AVI files, so the frame reader and its decoders
// treat both alike.
//
// The file offers its first video stream (attached cover pictures are not video) and its first
// audio stream where AVI can carry its codec. The video's samples are its packets in file order,
// which is decode order as in an AVI, and the stream tells where each is shown, so the decoder
// puts the pictures in presentation order. Its header carries the average frame rate, its format
// a bitmap header naming the codec (by its AVI tag where it has one) and the codec set-up data.
// The audio stream has the header and wave format an AVI of the same audio has: a sample a packet
// for compressed audio, sample frames for PCM. Audio in a codec AVI cannot carry (Opus, Vorbis,
// FLAC...) is offered as the 16-bit PCM it decodes to (the stream's DecodedFrom names the codec);
// where no decoder is at hand, asking for it gives AVIERR_UNSUPPORTED.
//
// Opening reads every packet once (libavformat hands each out with its data) to build the sample
// table: position in the file, size, key flag and timestamps. Reading a sample later continues from
// the last one read or seeks to the key frame before it and reads forward.
//
// Ownership: the file owns the demuxer; each stream keeps the file alive. Read-only: writes
// give AVIERR_READONLY. No call throws. A file and its streams are used by one thread at a time.
#pragma once

#include <string>

#include "media/avifile.h"

namespace corvane {

// Opens `path` with libavformat. AVIERR_FILEOPEN when it cannot be opened or demuxed,
// AVIERR_NODATA when it has no video stream, AVIERR_MEMORY when memory runs out,
// AVIERR_USERABORT when the host stopped the opening scan (see CHost::OpeningProgress). On
// failure `why`, when given, says so in a few words ("unknown format", "no video stream"...).
HRESULT OpenDemuxFile(const std::string& path, PAVIFILE& file, std::string* why = nullptr);

// How long an opening scan runs before the host is told its progress (500 ms; tests lower it).
void SetOpeningReportDelay(int32_t milliseconds);

// The first audio stream of a file as libavformat reads it, to check a finished output against
// its main: its codec, its packets, how long it lasts (its stated length, else its packets'
// durations) and how long one of its coded frames lasts (0 when the codec has no fixed frame).
struct SAudioPacketFacts {
  int m_codec = 0;  // an AVCodecID
  int64_t m_packets = 0;
  double m_seconds = 0.0;
  double m_frameSeconds = 0.0;
};
// False when `path` has no audio stream libavformat reads.
bool ReadAudioPacketFacts(const std::string& path, SAudioPacketFacts& facts);

// For a read-back that must not read a long file twice: opens `path` for reading as
// CAviFile::Open does and, where `facts` is given, fills it from the same pass over the packets
// (`*audioFound`: whether libavformat reads a first audio stream), counting the packets that hold
// data. A file libavformat demuxes is scanned once for both; a RIFF AVI is opened by our own
// reader from its index, and its packets are read once, by libavformat, only for `facts`.
HRESULT OpenWithAudioPacketFacts(const std::string& path, PAVIFILE& file,
                                 SAudioPacketFacts* facts = nullptr, bool* audioFound = nullptr);

}  // namespace corvane
