#include "media/mux/muxaudio.h"

#include <algorithm>
#include <cstring>

#include "media/codec/codecutil.h"
#include "media/demux/demuxdata.h"
#include "media/host.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace corvane {
namespace {

struct CSwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
struct CFifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

// Whether the container's players take the codec as it is. Matroska takes whatever its muxer
// can write; WebM Opus and Vorbis; MP4 and MOV the codecs players decode there (not PCM or MP2).
bool KeepsCodec(const CContainerInfo& container, AVCodecID codec) {
  switch (container.m_kind) {
    case EContainer::kWebm:
      return codec == AV_CODEC_ID_OPUS || codec == AV_CODEC_ID_VORBIS;
    case EContainer::kMp4:
    case EContainer::kMov:
      return codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_MP3 || codec == AV_CODEC_ID_AC3 ||
             codec == AV_CODEC_ID_EAC3;
    default: {
      const AVOutputFormat* muxer = av_guess_format(container.m_muxer, nullptr, nullptr);
      if (muxer && avformat_query_codec(muxer, codec, FF_COMPLIANCE_NORMAL) == 1) return true;
      // Sound with a WAVE format tag but no Matroska codec id (ADPCM and the like) goes in as
      // its WAVE header (A_MS/ACM), as players read it from AVI.
      const AVCodecTag* const riff[] = {avformat_get_riff_audio_tags(), nullptr};
      return muxer && av_codec_get_tag(riff, codec) != 0;
    }
  }
}

// The codec audio is encoded to where it cannot be kept, and its name for the notice.
const char* EncoderFor(const CContainerInfo& container, const char** shown) {
  switch (container.m_kind) {
    case EContainer::kWebm:
      *shown = "Opus";
      return "libopus";
    case EContainer::kMp4:
    case EContainer::kMov:
      *shown = "AAC";
      return "aac";
    default:
      *shown = "FLAC";
      return "flac";
  }
}

std::string ContainerWord(const CContainerInfo& container) {
  return container.m_kind == EContainer::kMov ? "MOV" : container.m_displayName;
}

}  // namespace

struct CMuxAudio::CState {
  FormatContextPtr input;
  int inIndex = -1;
  AVRational inTimeBase{1, 1};
  int64_t offset = 0;  // the main video's start, in the audio's time base
  AVFormatContext* output = nullptr;
  CMuxAudio::PacketWriter write;
  AVStream* outStream = nullptr;
  PacketPtr packet;
  bool pending = false;  // `packet` holds the next packet, not yet written
  bool inputEnded = false;
  CMuxAudio::CFaults faults;

  // Encoding only.
  CodecContextPtr decoder;
  CodecContextPtr encoder;
  std::unique_ptr<SwrContext, CSwrDeleter> converter;
  std::unique_ptr<AVAudioFifo, CFifoDeleter> fifo;
  FramePtr decoded;
  FramePtr chunk;
  PacketPtr encoded;
  int64_t samplesOut = 0;

  double Seconds(const AVPacket& p) const {
    const int64_t at = p.pts != AV_NOPTS_VALUE ? p.pts : p.dts;
    if (at == AV_NOPTS_VALUE) return 0.0;
    return static_cast<double>(at - offset) * av_q2d(inTimeBase);
  }
  bool ReadNext() {
    while (!inputEnded) {
      av_packet_unref(packet.get());
      const int read = av_read_frame(input.get(), packet.get());
      if (read < 0) {
        // Only the end of the file is the end of the sound; anything else is said.
        if (read != AVERROR_EOF) faults.m_readError = read;
        inputEnded = true;
        return false;
      }
      if (packet->stream_index == inIndex) return true;
    }
    return false;
  }
  bool WriteCopy(AVPacket& p) {
    if (p.pts != AV_NOPTS_VALUE) p.pts -= offset;
    if (p.dts != AV_NOPTS_VALUE) p.dts -= offset;
    av_packet_rescale_ts(&p, inTimeBase, outStream->time_base);
    p.stream_index = outStream->index;
    p.pos = -1;
    return write(p);
  }
  bool EncodeFromFifo(bool last) {
    const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    const bool smallLast = encoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    while (av_audio_fifo_size(fifo.get()) >= frameSize ||
           (last && av_audio_fifo_size(fifo.get()) > 0)) {
      const int available = av_audio_fifo_size(fifo.get());
      const int take = std::min(available, frameSize);
      av_frame_unref(chunk.get());
      chunk->format = encoder->sample_fmt;
      chunk->sample_rate = encoder->sample_rate;
      if (av_channel_layout_copy(&chunk->ch_layout, &encoder->ch_layout) < 0) return false;
      chunk->nb_samples = take < frameSize && !smallLast ? frameSize : take;
      if (av_frame_get_buffer(chunk.get(), 0) < 0) return false;
      if (chunk->nb_samples > take)
        av_samples_set_silence(chunk->extended_data, 0, chunk->nb_samples,
                               encoder->ch_layout.nb_channels, encoder->sample_fmt);
      if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(chunk->extended_data), take) !=
          take)
        return false;
      chunk->pts = samplesOut;
      samplesOut += chunk->nb_samples;
      if (avcodec_send_frame(encoder.get(), chunk.get()) < 0 || !WriteEncoded()) return false;
    }
    return true;
  }
  bool WriteEncoded() {
    for (;;) {
      const int got = avcodec_receive_packet(encoder.get(), encoded.get());
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
      if (got < 0) return false;
      av_packet_rescale_ts(encoded.get(), encoder->time_base, outStream->time_base);
      encoded->stream_index = outStream->index;
      if (!write(*encoded)) return false;
    }
  }
  // Decoded frames into the FIFO, in the encoder's format.
  bool Decoded() {
    for (;;) {
      const int got = avcodec_receive_frame(decoder.get(), decoded.get());
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
      if (got < 0) return false;
      const int room = swr_get_out_samples(converter.get(), decoded->nb_samples);
      if (room < 0) return false;
      uint8_t** planes = nullptr;
      if (av_samples_alloc_array_and_samples(&planes, nullptr, encoder->ch_layout.nb_channels,
                                             std::max(room, 1), encoder->sample_fmt, 0) < 0)
        return false;
      const int converted =
          swr_convert(converter.get(), planes, room,
                      const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
      const bool stored =
          converted >= 0 &&
          av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(planes), converted) == converted;
      av_freep(&planes[0]);
      av_freep(&planes);
      av_frame_unref(decoded.get());
      if (!stored) return false;
    }
  }
  bool WriteEncodedFrom(AVPacket& p) {
    const int sent = avcodec_send_packet(decoder.get(), &p);
    if (sent == AVERROR_INVALIDDATA) {
      // A damaged packet is left out (counted, and said once at the end); the rest goes on.
      ++faults.m_damagedPackets;
      return true;
    }
    if (sent < 0) return false;
    return Decoded() && EncodeFromFifo(false);
  }
};

CMuxAudio::CMuxAudio() : m_state(std::make_unique<CState>()) {}
CMuxAudio::~CMuxAudio() = default;

HRESULT CMuxAudio::Open(const std::string& mainPath, const CContainerInfo& container,
                        AVFormatContext& output, PacketWriter write) {
  CState& s = *m_state;
  s.input = OpenDemuxer(mainPath);
  if (!s.input) return AVIERR_FILEOPEN;
  s.inIndex = FirstAudioStream(*s.input);
  if (s.inIndex < 0) return AVIERR_NODATA;
  const AVStream& in = *s.input->streams[s.inIndex];
  s.inTimeBase = in.time_base;
  const int video = FirstVideoStream(*s.input);
  if (video >= 0 && s.input->streams[video]->start_time != AV_NOPTS_VALUE)
    s.offset = av_rescale_q(s.input->streams[video]->start_time, s.input->streams[video]->time_base,
                            in.time_base);
  s.output = &output;
  s.write = std::move(write);
  s.packet.reset(av_packet_alloc());
  if (!s.packet) return AVIERR_MEMORY;
  // The output stream is added only once everything else is ready: a stream libavformat has
  // taken cannot be taken back.
  const AVCodecParameters& source = *in.codecpar;
  if (KeepsCodec(container, source.codec_id)) {
    s.outStream = avformat_new_stream(&output, nullptr);
    if (!s.outStream || avcodec_parameters_copy(s.outStream->codecpar, &source) < 0)
      return AVIERR_MEMORY;
    s.outStream->codecpar->codec_tag = 0;
    s.outStream->time_base = in.time_base;
    return AVIERR_OK;
  }

  // Encoded: decoded, converted to the encoder's format and rate, and encoded in its frames.
  const char* shown = "";
  const AVCodec* target = avcodec_find_encoder_by_name(EncoderFor(container, &shown));
  const AVCodec* codec = avcodec_find_decoder(source.codec_id);
  if (!target || !codec || source.sample_rate <= 0 || source.ch_layout.nb_channels <= 0)
    return AVIERR_UNSUPPORTED;
  s.decoder.reset(avcodec_alloc_context3(codec));
  s.encoder.reset(avcodec_alloc_context3(target));
  s.decoded.reset(av_frame_alloc());
  s.chunk.reset(av_frame_alloc());
  s.encoded.reset(av_packet_alloc());
  if (!s.decoder || !s.encoder || !s.decoded || !s.chunk || !s.encoded) return AVIERR_MEMORY;
  if (avcodec_parameters_to_context(s.decoder.get(), &source) < 0) return AVIERR_MEMORY;
  s.decoder->pkt_timebase = in.time_base;
  if (avcodec_open2(s.decoder.get(), codec, nullptr) < 0) return AVIERR_UNSUPPORTED;

  AVCodecContext& encoder = *s.encoder;
  encoder.sample_fmt = target->sample_fmts ? target->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  int rate = source.sample_rate;
  if (target->supported_samplerates) {
    bool supported = false;
    for (const int* r = target->supported_samplerates; *r; ++r) supported |= *r == rate;
    if (!supported) rate = 48000;
  }
  encoder.sample_rate = rate;
  const int channels = std::min(source.ch_layout.nb_channels, 2);
  av_channel_layout_default(&encoder.ch_layout, channels);
  encoder.bit_rate = channels > 1 ? 160000 : 96000;
  encoder.time_base = AVRational{1, rate};
  if (output.oformat->flags & AVFMT_GLOBALHEADER) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(s.encoder.get(), target, nullptr) < 0) return AVIERR_UNSUPPORTED;

  SwrContext* converter = nullptr;
  AVChannelLayout inLayout{};
  if (av_channel_layout_copy(&inLayout, &s.decoder->ch_layout) < 0) return AVIERR_MEMORY;
  if (inLayout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&inLayout, inLayout.nb_channels);
  const int made =
      swr_alloc_set_opts2(&converter, &encoder.ch_layout, encoder.sample_fmt, rate, &inLayout,
                          s.decoder->sample_fmt, source.sample_rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  if (made < 0) return AVIERR_MEMORY;
  s.converter.reset(converter);
  if (swr_init(converter) < 0) return AVIERR_UNSUPPORTED;
  s.fifo.reset(av_audio_fifo_alloc(encoder.sample_fmt, channels, 4096));
  if (!s.fifo) return AVIERR_MEMORY;
  s.outStream = avformat_new_stream(&output, nullptr);
  if (!s.outStream || avcodec_parameters_from_context(s.outStream->codecpar, s.encoder.get()) < 0)
    return AVIERR_MEMORY;
  s.outStream->time_base = encoder.time_base;

  ShowMessage(Format("The audio of %s is %s, which %s players do not play: it is encoded as %s",
                     mainPath.c_str(), CodecCommonName(source.codec_id).c_str(),
                     ContainerWord(container).c_str(), shown),
              MB_ICONINFORMATION);
  return AVIERR_OK;
}

bool CMuxAudio::WriteUntil(double until) {
  CState& s = *m_state;
  for (;;) {
    if (!s.pending && !s.ReadNext()) return true;
    s.pending = true;
    if (until >= 0.0 && s.Seconds(*s.packet) >= until) return true;
    s.pending = false;
    const double end =
        s.Seconds(*s.packet) + static_cast<double>(s.packet->duration) * av_q2d(s.inTimeBase);
    s.faults.m_soundEnd = std::max(s.faults.m_soundEnd, end);
    const bool written = s.encoder ? s.WriteEncodedFrom(*s.packet) : s.WriteCopy(*s.packet);
    av_packet_unref(s.packet.get());
    if (!written) return false;
  }
}

const CMuxAudio::CFaults& CMuxAudio::Faults() const {
  return m_state->faults;
}

bool CMuxAudio::Finish(double until) {
  CState& s = *m_state;
  if (!WriteUntil(until)) return false;
  if (!s.encoder) return true;
  if (until < 0.0) {
    if (avcodec_send_packet(s.decoder.get(), nullptr) < 0 || !s.Decoded()) return false;
  }
  if (!s.EncodeFromFifo(true)) return false;
  return avcodec_send_frame(s.encoder.get(), nullptr) >= 0 && s.WriteEncoded();
}

}  // namespace corvane
