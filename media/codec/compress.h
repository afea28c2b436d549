// Compression of video streams: the options record a user's choice fills, the catalogue of
// compressors this build offers, and compressed streams that encode what is written to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/avifile.h"

namespace corvane {

// Flags of AVICOMPRESSOPTIONS::dwFlags.
constexpr uint32_t AVICOMPRESSF_INTERLEAVE = 0x01;
constexpr uint32_t AVICOMPRESSF_DATARATE = 0x02;   // dwBytesPerSecond is to be honoured
constexpr uint32_t AVICOMPRESSF_KEYFRAMES = 0x04;  // dwKeyFrameEvery is to be honoured
constexpr uint32_t AVICOMPRESSF_VALID = 0x08;

// Flags for the choice of a compressor (what the dialog lets the user set).
constexpr uint32_t ICMF_CHOOSE_KEYFRAME = 0x0001;
constexpr uint32_t ICMF_CHOOSE_DATARATE = 0x0002;

// What the user chose for one stream.
struct AVICOMPRESSOPTIONS {
  uint32_t fccType;           // streamtypeVIDEO
  uint32_t fccHandler;        // the compressor's FourCC; 0 or 'DIB ' for full frames
  uint32_t dwKeyFrameEvery;   // key frame interval in frames
  uint32_t dwQuality;         // 0..10000, or 0xFFFFFFFF for the compressor's default
  uint32_t dwBytesPerSecond;  // data rate
  uint32_t dwFlags;           // AVICOMPRESSF_*
  uint32_t dwInterleaveEvery;
};

// One compressor that can write AVI video.
struct CCompressorInfo {
  std::string m_name;         // short name for the command line: "uncompressed", "mjpeg", ...
  std::string m_displayName;  // what the compression dialog shows
  uint32_t m_fourCC;          // FourCC written to strh and biCompression; 0 for full frames
  bool m_honoursQuality;
  bool m_honoursKeyFrames;
  bool m_honoursDataRate;
  bool m_lossless;
};

// The compressors available in this build, "Full Frames (Uncompressed)" first.
const std::vector<CCompressorInfo>& CompressorCatalogue();
// Catalogue entry for a FourCC or a short name; null when unknown.
const CCompressorInfo* FindCompressor(uint32_t fourCC);
const CCompressorInfo* FindCompressor(const std::string& name);

// The quantiser (1 best .. 31 worst) that Motion JPEG and MPEG-4 Visual use for a quality of
// 0..10000: 31 - round(quality * 30 / 10000). Quality 9300 (93 on a 0..100 scale) gives 3,
// the same quantiser as ffmpeg's `-q:v 3`. 0xFFFFFFFF (the compressor's default) gives 0.
int QualityToQuantiser(uint32_t quality);

// What the encoded pictures should match, so that they sit among pictures copied from a source
// without a change of format. Empty: the encoder's own choice.
struct CEncoderMatch {
  std::string m_pixelFormat;  // libavutil's name ("yuvj422p"), where the encoder takes it
  // A long-GOP source (H.264, VP9) whose packets are copied between the encoded frames: the
  // output's header is the source's (for H.264 with the encoder's parameter sets added), and
  // the encoded frames come in closed runs, each from a key frame of its own (see
  // CAviStream::EndRun), coded like the source: same size, pixel format, colours and profile.
  // Borrowed: the source stream's, which outlives the compressed stream.
  const AVCodecParameters* m_source = nullptr;
  // H.264: the most places a picture's packet may come ahead of its turn (the source's reorder
  // depth, which the encoder's must not exceed); every packet's decoding time is its place in
  // decoding order less this, as copied packets' are.
  int m_reorderDepth = 0;
  int m_parameterSetId = 0;  // H.264: the encoder's parameter-set ids, which the source leaves free
  std::string m_profile;     // H.264: the encoder's profile ("baseline", "main", "high")
  int m_nalLengthSize = 4;   // H.264: bytes of each NAL unit's length in the source's packets
};

// Makes a stream over `source` (an uncompressed video stream of a file being written) that
// takes 24-bit bottom-up frames: SetFormat with the 40-byte 24-bit header, then one Write per
// frame. It encodes them with the chosen compressor and writes the samples to `source` at
// the same positions with the encoder's own key-frame flags; delayed frames are flushed
// when the compressed stream is released.
HRESULT AVIMakeCompressedStream(PAVISTREAM& compressed, const PAVISTREAM& source,
                                const AVICOMPRESSOPTIONS& options, const CEncoderMatch& match = {});

}  // namespace corvane
