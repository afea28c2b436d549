#include "media/codec/codecutil.h"

#include <cstdarg>
#include <cstdlib>
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

namespace {

thread_local CLibavErrors* t_errors = nullptr;

// Nothing reaches stderr; an error on a thread that listens is kept.
void KeepErrors(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR || !t_errors || !t_errors->m_first.empty()) return;
  char line[256] = {};
  int printPrefix = 0;
  av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  t_errors->m_first = text;
}

}  // namespace

AVCodecID AudioCodecForTag(uint32_t tag) {
  const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
  return av_codec_get_id(tags, tag);
}

std::string CodecCommonName(AVCodecID codec) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
  if (!descriptor) return "unknown";
  if (std::strncmp(descriptor->name, "pcm_", 4) == 0) return "PCM";
  std::string name = descriptor->long_name ? descriptor->long_name : descriptor->name;
  const size_t bracket = name.find(" (");
  if (bracket != std::string::npos && bracket > 0) name.resize(bracket);
  return name;
}

void QuietCodecLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(KeepErrors);
    // The AV1 encoder writes its own banner to stderr unless told otherwise (errors only).
    setenv("SVT_LOG", "1", 0);
  });
}

CLibavErrors::CLibavErrors() : m_previous(t_errors) {
  QuietCodecLogging();
  t_errors = this;
}

CLibavErrors::~CLibavErrors() {
  t_errors = m_previous;
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
