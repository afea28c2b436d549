#include "media/codec/codecutil.h"

#include <cstring>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

namespace {
constexpr uint32_t kCodecIdMark = '#';
}  // namespace

AVCodecID VideoCodecForFourCC(uint32_t compression, uint32_t handler) {
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  for (uint32_t tag : {compression, handler}) {
    if (tag == 0) continue;
    const AVCodecID id = av_codec_get_id(tables, tag);
    if (id != AV_CODEC_ID_NONE) return id;
    if ((tag & 0xFF) == kCodecIdMark && avcodec_descriptor_get(static_cast<AVCodecID>(tag >> 8)))
      return static_cast<AVCodecID>(tag >> 8);
  }
  return AV_CODEC_ID_NONE;
}

uint32_t FourCCForVideoCodec(AVCodecID codec) {
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  const uint32_t tag = av_codec_get_tag(tables, codec);
  if (tag != 0) return tag;
  if (codec == AV_CODEC_ID_NONE || static_cast<uint32_t>(codec) >= (1u << 24)) return 0;
  return static_cast<uint32_t>(codec) << 8 | kCodecIdMark;
}

void QuietCodecLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  });
}

bool SetExtradata(AVCodecContext& context, const uint8_t* data, size_t size) {
  av_freep(&context.extradata);
  context.extradata_size = 0;
  if (size == 0) return true;
  if (size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return false;
  context.extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!context.extradata) return false;
  std::memcpy(context.extradata, data, size);
  context.extradata_size = static_cast<int>(size);
  return true;
}

}  // namespace corvane
