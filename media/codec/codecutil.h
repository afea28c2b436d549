// Owners and small helpers for the libavcodec / libswscale objects the codec code uses.
//
// Each FFmpeg object has exactly one owner: a unique_ptr with the matching free function.
// The FourCC lookup uses libavformat's RIFF tag tables, so every tag an AVI may carry maps to
// the same decoder that other FFmpeg-based players would pick.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace corvane {

struct CCodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct CFrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct CPacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CSwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CCodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, CFrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, CPacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, CSwsDeleter>;

// Codec id for a video stream's biCompression, falling back to the stream header's handler;
// AV_CODEC_ID_NONE when neither names a codec. Upper and lower case tags both match.
AVCodecID VideoCodecForFourCC(uint32_t compression, uint32_t handler);

// The FourCC that names `codec` in a video format: its AVI tag, or for a codec AVI has no tag
// for (HEVC, ProRes, GIF...) the codec id itself behind the mark '#' in the first byte, which
// VideoCodecForFourCC reads back. 0 for AV_CODEC_ID_NONE.
uint32_t FourCCForVideoCodec(AVCodecID codec);

// Codec id for an audio format's WAVE format tag; AV_CODEC_ID_NONE when it names none.
AVCodecID AudioCodecForTag(uint32_t tag);

// A codec's common name for messages: "Opus", "FLAC", "MP2", "PCM" (its long name up to any
// explanation in brackets; every PCM variant is "PCM").
std::string CodecCommonName(AVCodecID codec);

// Keeps libav* from writing to stderr: encoders report statistics at the info level, and
// demuxers and decoders their errors, which our own messages say in the user's terms. Called by
// the code that uses libav* before its first use; safe from any thread.
void QuietCodecLogging();

// While it lives, keeps the first error libav* reports on this thread ("moov atom not found",
// "Picture size 50000x50000 is invalid"), to say why a file could not be read.
class CLibavErrors {
 public:
  CLibavErrors();
  ~CLibavErrors();
  CLibavErrors(const CLibavErrors&) = delete;
  CLibavErrors& operator=(const CLibavErrors&) = delete;

  std::string m_first;

 private:
  CLibavErrors* m_previous;
};

// Copies `size` bytes into a fresh libavcodec extradata block (zero-padded as the decoders
// require). Returns false when memory runs out; `size` 0 leaves the context without one.
bool SetExtradata(AVCodecContext& context, const uint8_t* data, size_t size);

}  // namespace corvane
