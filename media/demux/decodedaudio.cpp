#include "media/demux/decodedaudio.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "media/codec/codecutil.h"
#include "media/demux/demuxstream.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace corvane {
namespace {

struct CCodecParametersDeleter {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
struct CSwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CCodecParametersDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, CSwrDeleter>;

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

class CDecodedAudioStream final : public CDemuxStream {
 public:
  CDecodedAudioStream(std::string path, int streamIndex, CodecParametersPtr codec,
                      int64_t lengthAtLeast, int64_t lengthBound)
      : CDemuxStream(nullptr),
        m_path(std::move(path)),
        m_streamIndex(streamIndex),
        m_codec(std::move(codec)),
        m_codecName(CodecCommonName(m_codec->codec_id)) {
    const int channels = m_codec->ch_layout.nb_channels;
    const int rate = m_codec->sample_rate;
    m_frameBytes = channels * 2;
    m_length = static_cast<int32_t>(std::clamp<int64_t>(lengthBound, 0, INT32_MAX));
    m_lengthAtLeast = static_cast<int32_t>(std::clamp<int64_t>(lengthAtLeast, 0, m_length));

    m_info.fccType = streamtypeAUDIO;
    m_info.dwQuality = static_cast<uint32_t>(-1);
    m_info.dwScale = static_cast<uint32_t>(m_frameBytes);
    m_info.dwRate = static_cast<uint32_t>(rate * m_frameBytes);
    m_info.dwSampleSize = static_cast<uint32_t>(m_frameBytes);
    m_info.dwLength = static_cast<uint32_t>(m_length);
    m_info.dwSuggestedBufferSize = static_cast<uint32_t>(rate * m_frameBytes / 10);

    // More than two channels need the extensible header, with its speaker mask, as players
    // expect of multichannel PCM.
    const bool extensible = channels > 2;
    m_format.assign(extensible ? 40 : 18, 0);
    auto put16 = [&](size_t at, uint32_t value) { PutLittleEndian16(m_format, at, value); };
    auto put32 = [&](size_t at, uint32_t value) { PutLittleEndian32(m_format, at, value); };
    put16(0, extensible ? kWaveFormatExtensible : kWaveFormatPcm);
    put16(2, static_cast<uint32_t>(channels));
    put32(4, static_cast<uint32_t>(rate));
    put32(8, static_cast<uint32_t>(rate * m_frameBytes));
    put16(12, static_cast<uint32_t>(m_frameBytes));
    put16(14, 16);
    if (extensible) {
      put16(16, 22);
      put16(18, 16);  // valid bits
      const AVChannelLayout& layout = m_codec->ch_layout;
      put32(20, layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<uint32_t>(layout.u.mask) : 0);
      // KSDATAFORMAT_SUBTYPE_PCM
      static constexpr uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      std::memcpy(m_format.data() + 24, kPcmGuid, sizeof kPcmGuid);
    }
  }

  int32_t Length() const override { return m_length; }
  int32_t LengthAtLeast() const override { return m_lengthAtLeast; }

  const char* DecodedFrom() const override { return m_codecName.c_str(); }

  int32_t FindSample(int32_t position, uint32_t) const override {
    return position >= 0 && position < m_length ? position : -1;
  }

  // Gives the sample frames from `start` to the end of the decoded block that holds it (or
  // `samples` of them, when fewer). Past the decoded end: no samples.
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    const HRESULT checked = ReadArguments(start, samples, bytesRead, samplesRead);
    if (checked != AVIERR_OK || samples == 0) return checked;
    try {
      if (start < m_blockStart || !m_decoder) {
        if (!Restart()) return AVIERR_FILEREAD;
      }
      while (start >= m_blockStart + BlockFrames()) {
        if (m_ended) return AVIERR_OK;  // past the decoded end
        if (!DecodeNext()) return AVIERR_FILEREAD;
      }
    } catch (const std::bad_alloc&) {
      return AVIERR_MEMORY;
    }
    const int64_t skip = start - m_blockStart;
    int64_t count = BlockFrames() - skip;
    if (samples != AVISTREAMREAD_CONVENIENT) count = std::min<int64_t>(count, samples);
    const int32_t size = static_cast<int32_t>(count * m_frameBytes);
    if (buffer) {
      if (bufferSize < size) return AVIERR_BUFFERTOOSMALL;
      std::memcpy(buffer, m_block.data() + skip * m_frameBytes, static_cast<size_t>(size));
    }
    if (bytesRead) *bytesRead = size;
    if (samplesRead) *samplesRead = static_cast<int32_t>(count);
    return AVIERR_OK;
  }

 private:
  int64_t BlockFrames() const { return static_cast<int64_t>(m_block.size()) / m_frameBytes; }

  // A fresh demuxer, decoder and converter, standing before the first sample frame.
  bool Restart() {
    m_decoder.reset();
    m_block.clear();
    m_blockStart = 0;
    m_ended = false;
    m_draining = false;
    m_context = OpenDemuxer(m_path);
    if (!m_context || m_streamIndex >= static_cast<int>(m_context->nb_streams)) return false;
    const AVCodec* codec = avcodec_find_decoder(m_codec->codec_id);
    CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder || avcodec_parameters_to_context(decoder.get(), m_codec.get()) < 0) return false;
    decoder->pkt_timebase = m_context->streams[m_streamIndex]->time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return false;
    if (!m_packet) m_packet.reset(av_packet_alloc());
    if (!m_frame) m_frame.reset(av_frame_alloc());
    if (!m_packet || !m_frame) return false;
    m_converter.reset();
    m_decoder = std::move(decoder);
    return true;
  }

  // Replaces the block with the next decoded one; at the end of the stream leaves it empty and
  // sets m_ended. False on a failure that ends the stream early.
  bool DecodeNext() {
    m_blockStart += BlockFrames();
    m_block.clear();
    for (;;) {
      const int received = avcodec_receive_frame(m_decoder.get(), m_frame.get());
      if (received == 0) {
        const bool converted = Convert(*m_frame);
        av_frame_unref(m_frame.get());
        if (!converted) return false;
        if (!m_block.empty()) return true;
        continue;
      }
      if (received == AVERROR_EOF) {
        m_ended = true;
        return true;
      }
      if (received != AVERROR(EAGAIN)) return false;
      if (m_draining) {
        m_ended = true;
        return true;
      }
      if (!SendNextPacket()) return false;
    }
  }

  // Feeds the decoder the stream's next packet, or the end of the stream. A packet the decoder
  // rejects as damaged is skipped, as players do.
  bool SendNextPacket() {
    for (;;) {
      av_packet_unref(m_packet.get());
      const int read = av_read_frame(m_context.get(), m_packet.get());
      if (read < 0) {
        m_draining = true;
        return avcodec_send_packet(m_decoder.get(), nullptr) >= 0;
      }
      if (m_packet->stream_index != m_streamIndex) continue;
      const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
      if (sent == AVERROR_INVALIDDATA) continue;
      return sent >= 0;
    }
  }

  // Appends `frame` to the block as interleaved 16-bit samples.
  bool Convert(const AVFrame& frame) {
    if (frame.nb_samples <= 0) return true;
    if (frame.ch_layout.nb_channels * 2 != m_frameBytes ||
        frame.sample_rate != m_codec->sample_rate)
      return false;  // a stream whose layout changes midway cannot be one PCM stream
    if (!m_converter) {
      // libswresample only copies the layouts it is given, though its signature takes them
      // writable.
      auto* layout = const_cast<AVChannelLayout*>(&frame.ch_layout);
      SwrContext* raw = nullptr;
      if (swr_alloc_set_opts2(&raw, layout, AV_SAMPLE_FMT_S16, frame.sample_rate, layout,
                              static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0,
                              nullptr) < 0)
        return false;
      m_converter.reset(raw);
      if (swr_init(m_converter.get()) < 0) return false;
    }
    const size_t at = m_block.size();
    m_block.resize(at + static_cast<size_t>(frame.nb_samples) * m_frameBytes);
    uint8_t* out[] = {m_block.data() + at};
    const int converted =
        swr_convert(m_converter.get(), out, frame.nb_samples,
                    const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    if (converted < 0) return false;
    m_block.resize(at + static_cast<size_t>(converted) * m_frameBytes);
    return true;
  }

  std::string m_path;
  int m_streamIndex;
  CodecParametersPtr m_codec;
  std::string m_codecName;
  int32_t m_frameBytes = 0;
  int32_t m_length = 0;
  int32_t m_lengthAtLeast = 0;

  FormatContextPtr m_context;
  CodecContextPtr m_decoder;
  SwrContextPtr m_converter;
  PacketPtr m_packet;
  FramePtr m_frame;
  std::vector<uint8_t> m_block;  // the decoded frames from m_blockStart on
  int64_t m_blockStart = 0;
  bool m_draining = false;
  bool m_ended = false;
};

}  // namespace

PAVISTREAM MakeDecodedAudioStream(const std::string& path, const AVStream& stream,
                                  const std::vector<SSample>& samples) {
  const AVCodecParameters& source = *stream.codecpar;
  const int rate = source.sample_rate;
  const int channels = source.ch_layout.nb_channels;
  if (!avcodec_find_decoder(source.codec_id) || rate <= 0 || channels <= 0 ||
      channels > std::numeric_limits<int16_t>::max() / 2 || rate > INT32_MAX / (channels * 2))
    return nullptr;
  CodecParametersPtr codec(avcodec_parameters_alloc());
  if (!codec || avcodec_parameters_copy(codec.get(), &source) < 0) return nullptr;

  // An upper bound on the decoded length: every packet's duration, as the container gives it
  // (encoder delay and end padding are trimmed off when decoding), else the stream's duration.
  // Where the container gives no trimming (Vorbis in Matroska) the decoder gives up to a packet
  // or so more than the durations add up to: two of the longest packets are allowed for.
  int64_t total = 0;
  int64_t longest = 0;
  for (const SSample& sample : samples) {
    total += std::max<int64_t>(sample.m_duration, 0);
    longest = std::max<int64_t>(longest, sample.m_duration);
  }
  if (total == 0 && stream.duration > 0) total = stream.duration;
  // At least: the durations less what a decoder trims (its delay and the end's padding), taken
  // as at most two of the longest packets too.
  const int64_t atLeast = av_rescale_q(std::max<int64_t>(total - 2 * longest, 0), stream.time_base,
                                       AVRational{1, rate});
  if (total > 0) total += 2 * longest;
  int64_t bound = av_rescale_q_rnd(total, stream.time_base, AVRational{1, rate},
                                   static_cast<AVRounding>(AV_ROUND_UP));
  if (bound <= 0) bound = std::numeric_limits<int32_t>::max();
  try {
    return std::make_shared<CDecodedAudioStream>(path, stream.index, std::move(codec), atLeast,
                                                 bound);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace corvane
