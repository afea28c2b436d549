#include "media/demux/demuxfile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "media/codec/codecutil.h"
#include "media/demux/decodedaudio.h"
#include "media/demux/demuxdata.h"
#include "media/demux/demuxstream.h"
#include "media/host.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
}

namespace corvane {
namespace {

// The clockwise turn, 0, 90, 180 or 270 degrees, that stands the stream's pictures upright, from
// its display matrix (what ffmpeg's own autorotation reads). Mirrored or odd angles: none.
int32_t UprightTurn(const AVStream& stream) {
  const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (!matrix) return 0;
  const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (std::isnan(angle)) return 0;
  long turn = std::lround(-angle) % 360;
  if (turn < 0) turn += 360;
  return turn % 90 == 0 ? static_cast<int32_t>(turn) : 0;
}

// How long the header says the video stream lasts: its own duration, or Matroska's DURATION
// tag (h:mm:ss.fraction); 0 when neither is there. Not the file's: its sound may last longer.
double StatedSeconds(const AVStream& stream) {
  if (stream.duration > 0 && stream.time_base.den > 0)
    return static_cast<double>(stream.duration) * av_q2d(stream.time_base);
  const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "DURATION", nullptr, 0);
  int hours = 0;
  int minutes = 0;
  double seconds = 0.0;
  if (tag && std::sscanf(tag->value, "%d:%d:%lf", &hours, &minutes, &seconds) == 3 && hours >= 0 &&
      minutes >= 0 && seconds >= 0.0)
    return hours * 3600.0 + minutes * 60.0 + seconds;
  return 0.0;
}

// libavcodec's own VP8 and VP9 decoders leave out the alpha a stream keeps beside its pictures;
// libvpx's read it.
const char* AlphaDecoderFor(const AVStream& stream) {
  const AVDictionaryEntry* mode = av_dict_get(stream.metadata, "alpha_mode", nullptr, 0);
  if (!mode || std::strcmp(mode->value, "1") != 0) return nullptr;
  switch (stream.codecpar->codec_id) {
    case AV_CODEC_ID_VP8:
      return "libvpx";
    case AV_CODEC_ID_VP9:
      return "libvpx-vp9";
    default:
      return nullptr;
  }
}

class CDemuxVideoStream final : public CDemuxStream {
 public:
  // `statedSeconds`: how long the file's header says it lasts (0: it does not say).
  CDemuxVideoStream(std::shared_ptr<CDemuxData> data, double statedSeconds)
      : CDemuxStream(std::move(data)), m_statedSeconds(statedSeconds) {
    const AVStream& stream = m_data->Stream();
    const AVCodecParameters& codec = *stream.codecpar;
    const uint32_t tag = FourCCForVideoCodec(codec.codec_id);
    m_rotation = UprightTurn(stream);
    m_parameters.reset(avcodec_parameters_alloc());
    if (m_parameters && avcodec_parameters_copy(m_parameters.get(), &codec) < 0)
      m_parameters.reset();
    m_alphaDecoder = AlphaDecoderFor(stream);
    const bool turned = m_rotation == 90 || m_rotation == 270;
    const int width = turned ? codec.height : codec.width;
    const int height = turned ? codec.width : codec.height;

    BITMAPINFOHEADER header{};
    header.biSize = static_cast<uint32_t>(sizeof header) + codec.extradata_size;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    // Depth matters to some decoders (QuickTime Animation: 32 bits carry alpha). Palettes are
    // not carried here, so depths of 8 bits and less stay 24.
    header.biBitCount = codec.bits_per_coded_sample > 8 && codec.bits_per_coded_sample <= 64
                            ? static_cast<uint16_t>(codec.bits_per_coded_sample)
                            : 24;
    header.biCompression = tag;
    header.biSizeImage = static_cast<uint32_t>(int64_t{codec.width} * codec.height * 3);
    m_format.resize(sizeof header);
    std::memcpy(m_format.data(), &header, sizeof header);
    if (codec.extradata_size > 0)
      m_format.insert(m_format.end(), codec.extradata, codec.extradata + codec.extradata_size);

    m_timeBase = stream.time_base;
    AVRational rate = stream.avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream.r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
    av_reduce(&rate.num, &rate.den, rate.num, rate.den, std::numeric_limits<int32_t>::max());
    m_info.fccType = streamtypeVIDEO;
    m_info.fccHandler = tag;
    m_info.dwScale = static_cast<uint32_t>(rate.den);
    m_info.dwRate = static_cast<uint32_t>(rate.num);
    m_info.dwLength = static_cast<uint32_t>(m_data->Samples().size());
    int32_t largest = 0;
    for (const SSample& sample : m_data->Samples()) largest = std::max(largest, sample.m_size);
    m_info.dwSuggestedBufferSize = static_cast<uint32_t>(largest);
    m_info.dwQuality = static_cast<uint32_t>(-1);
    m_info.rcFrame = {0, 0, width, height};
  }

  int32_t Length() const override { return static_cast<int32_t>(m_data->Samples().size()); }

  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    const HRESULT checked = ReadArguments(start, samples, bytesRead, samplesRead);
    if (checked != AVIERR_OK || samples == 0) return checked;
    const int32_t size = m_data->Samples()[start].m_size;
    if (buffer) {
      if (bufferSize < size) return AVIERR_BUFFERTOOSMALL;
      if (!m_data->ReadSample(start, static_cast<uint8_t*>(buffer))) return AVIERR_FILEREAD;
    }
    if (bytesRead) *bytesRead = size;
    if (samplesRead) *samplesRead = 1;
    return AVIERR_OK;
  }

  const char* AlphaDecoder() const override { return m_alphaDecoder; }
  bool SampleAlpha(int32_t position, std::vector<uint8_t>& alpha) const override {
    return m_data->LastAlpha(position, alpha);
  }

  bool PresentationTimes(SPresentationTimes& times) const override {
    const auto& samples = m_data->Samples();
    times.m_starts.clear();
    if (samples.empty()) return false;
    std::vector<int64_t> starts(samples.size());
    int64_t last = 0;  // how long the last picture lasts: what its packet says, else the average
    for (size_t i = 0; i < samples.size(); ++i) {
      const int32_t shown = m_data->ShownAt(static_cast<int32_t>(i));
      if (shown < 0) return false;
      starts[static_cast<size_t>(shown)] = samples[i].m_pts;
      if (static_cast<size_t>(shown) + 1 == samples.size()) last = samples[i].m_duration;
    }
    const int64_t first = starts.front();
    for (int64_t& start : starts) start -= first;
    if (last <= 0 && starts.size() > 1)
      last = starts.back() / static_cast<int64_t>(starts.size() - 1);
    if (last <= 0) {
      const AVRational picture{static_cast<int>(m_info.dwScale), static_cast<int>(m_info.dwRate)};
      last = std::max<int64_t>(1, av_rescale_q(1, picture, m_timeBase));
    }
    times.m_starts = std::move(starts);
    times.m_duration = times.m_starts.back() + last;
    times.m_unitNum = m_timeBase.num;
    times.m_unitDen = m_timeBase.den;
    times.m_statedSeconds = m_statedSeconds;
    return true;
  }

  int32_t Rotation() const override { return m_rotation; }
  const AVCodecParameters* StoredParameters() const override { return m_parameters.get(); }

  int32_t ShownAt(int32_t position) const override {
    return position >= 0 && position < Length() ? m_data->ShownAt(position) : -1;
  }

  int32_t FindSample(int32_t position, uint32_t flags) const override {
    const auto& samples = m_data->Samples();
    const int64_t length = static_cast<int64_t>(samples.size());
    if (length == 0) return -1;
    const bool next = (flags & FIND_NEXT) && !(flags & FIND_PREV);
    int64_t index = position;
    if (next && index < 0) index = 0;
    if (!next && index >= length) index = length - 1;
    if (index < 0 || index >= length) return -1;
    if (!(flags & FIND_KEY)) return static_cast<int32_t>(index);
    for (; index >= 0 && index < length; index += next ? 1 : -1) {
      if (samples[index].m_key) return static_cast<int32_t>(index);
    }
    return -1;
  }

 private:
  struct CParametersDeleter {
    void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
  };
  AVRational m_timeBase{1, 1};
  std::unique_ptr<AVCodecParameters, CParametersDeleter> m_parameters;  // null without memory
  int32_t m_rotation = 0;
  const char* m_alphaDecoder = nullptr;  // see AlphaDecoder
  double m_statedSeconds = 0.0;
};

// The first audio stream, its packets as the samples. Codecs whose packets stand alone (AAC,
// MP3, AC-3...) give one sample a packet, as AVI carries them; PCM counts sample frames, as an
// AVI PCM stream does, and reads a packet's frames at a time.
class CDemuxAudioStream final : public CDemuxStream {
 public:
  CDemuxAudioStream(std::shared_ptr<CDemuxData> data, const AVStream& stream)
      : CDemuxStream(std::move(data)) {
    const AVCodecParameters& codec = *stream.codecpar;
    const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
    const uint32_t tag = av_codec_get_tag(tags, codec.codec_id);
    const int channels = codec.ch_layout.nb_channels;
    const int bits = av_get_bits_per_sample(codec.codec_id);
    m_pcm = bits > 0 && av_get_exact_bits_per_sample(codec.codec_id) == bits &&
            codec.codec_id >= AV_CODEC_ID_PCM_S16LE && codec.codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
    int blockAlign = codec.block_align;
    if (m_pcm) blockAlign = channels * bits / 8;
    m_frameBytes = m_pcm ? std::max(blockAlign, 1) : 0;

    m_info.fccType = streamtypeAUDIO;
    m_info.dwQuality = static_cast<uint32_t>(-1);
    const auto& samples = m_data->Samples();
    if (m_pcm) {
      m_info.dwScale = static_cast<uint32_t>(m_frameBytes);
      m_info.dwRate = static_cast<uint32_t>(codec.sample_rate * m_frameBytes);
      m_info.dwSampleSize = static_cast<uint32_t>(m_frameBytes);
      int64_t frames = 0;
      m_firstFrame.reserve(samples.size());
      for (const SSample& sample : samples) {
        m_firstFrame.push_back(frames);
        frames += sample.m_size / m_frameBytes;
      }
      m_length = static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX));
    } else {
      // Compressed audio in the way AVI players expect it: a sample is a packet, its duration
      // the codec's frame size at the sample rate.
      int frameSize = codec.frame_size;
      if (frameSize <= 0 && !samples.empty() && samples.front().m_duration > 0)
        frameSize = static_cast<int>(av_rescale_q(samples.front().m_duration, stream.time_base,
                                                  AVRational{1, codec.sample_rate}));
      m_info.dwScale = static_cast<uint32_t>(std::max(frameSize, 1));
      m_info.dwRate = static_cast<uint32_t>(codec.sample_rate);
      m_length = static_cast<int32_t>(samples.size());
      // An MPEG audio layer II frame's size in bytes, as players of AVI (GStreamer's among
      // them) take nBlockAlign for it; with the sample count instead they double its length.
      if (blockAlign <= 0 && codec.codec_id == AV_CODEC_ID_MP2 && codec.bit_rate > 0)
        blockAlign = static_cast<int>((144 * codec.bit_rate - 1) / codec.sample_rate + 1);
      if (blockAlign <= 0) blockAlign = std::max(frameSize, 1);
    }
    m_info.dwLength = static_cast<uint32_t>(m_length);
    int32_t largest = 0;
    for (const SSample& sample : samples) largest = std::max(largest, sample.m_size);
    m_info.dwSuggestedBufferSize = static_cast<uint32_t>(largest);

    // WAVEFORMATEX: tag, channels, rate, bytes a second, block align, bits, extra size, extra.
    const int64_t byteRate = m_pcm ? int64_t{codec.sample_rate} * m_frameBytes : codec.bit_rate / 8;
    const uint8_t* extra = codec.extradata;
    const int extraSize = codec.extradata_size > 0 ? codec.extradata_size : 0;
    m_format.resize(18 + static_cast<size_t>(extraSize));
    auto put16 = [&](size_t at, uint32_t value) { PutLittleEndian16(m_format, at, value); };
    auto put32 = [&](size_t at, uint32_t value) { PutLittleEndian32(m_format, at, value); };
    put16(0, tag);
    put16(2, static_cast<uint32_t>(channels));
    put32(4, static_cast<uint32_t>(codec.sample_rate));
    put32(8, static_cast<uint32_t>(std::max<int64_t>(byteRate, 0)));
    put16(12, static_cast<uint32_t>(blockAlign));
    put16(14, static_cast<uint32_t>(bits > 0 ? bits : codec.bits_per_coded_sample));
    put16(16, static_cast<uint32_t>(extraSize));
    if (extraSize > 0) std::memcpy(m_format.data() + 18, extra, static_cast<size_t>(extraSize));
  }

  // Whether AVI can carry the codec as players expect it: it has an AVI audio tag. Opus, Vorbis
  // and FLAC have tags of their own making that players do not know: they are decoded instead.
  static bool Carriable(const AVCodecParameters& codec) {
    if (codec.codec_id == AV_CODEC_ID_OPUS || codec.codec_id == AV_CODEC_ID_VORBIS ||
        codec.codec_id == AV_CODEC_ID_FLAC)
      return false;
    const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
    return av_codec_get_tag(tags, codec.codec_id) != 0 && codec.sample_rate > 0 &&
           codec.ch_layout.nb_channels > 0;
  }

  int32_t Length() const override { return m_length; }

  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    const HRESULT checked = ReadArguments(start, samples, bytesRead, samplesRead);
    if (checked != AVIERR_OK || samples == 0) return checked;
    int32_t packet = start, skip = 0, count = 1;
    if (m_pcm) {
      // The packet holding sample frame `start`, and the frames of it from there on.
      packet = static_cast<int32_t>(
          std::upper_bound(m_firstFrame.begin(), m_firstFrame.end(), int64_t{start}) -
          m_firstFrame.begin() - 1);
      const int64_t inPacket = m_data->Samples()[packet].m_size / m_frameBytes;
      skip = static_cast<int32_t>(start - m_firstFrame[packet]);
      count = static_cast<int32_t>(inPacket - skip);
      if (samples != AVISTREAMREAD_CONVENIENT) count = std::min(count, samples);
    }
    const int32_t size = m_pcm ? count * m_frameBytes : m_data->Samples()[packet].m_size;
    if (buffer) {
      if (bufferSize < size) return AVIERR_BUFFERTOOSMALL;
      m_bytes.resize(static_cast<size_t>(m_data->Samples()[packet].m_size));
      if (!m_data->ReadSample(packet, m_bytes.data())) return AVIERR_FILEREAD;
      std::memcpy(buffer, m_bytes.data() + static_cast<size_t>(skip) * m_frameBytes,
                  static_cast<size_t>(size));
    }
    if (bytesRead) *bytesRead = size;
    if (samplesRead) *samplesRead = count;
    return AVIERR_OK;
  }

  int32_t FindSample(int32_t position, uint32_t) const override {
    return position >= 0 && position < m_length ? position : -1;
  }

 private:
  bool m_pcm = false;
  int32_t m_frameBytes = 0;
  int32_t m_length = 0;
  std::vector<int64_t> m_firstFrame;  // PCM: the first sample frame of each packet
  std::vector<uint8_t> m_bytes;
};

class CDemuxFile final : public CAviFile {
 public:
  CDemuxFile(PAVISTREAM video, PAVISTREAM audio, bool audioLeftOut, const AVIFILEINFOW& info)
      : m_video(std::move(video)),
        m_audio(std::move(audio)),
        m_audioLeftOut(audioLeftOut),
        m_info(info) {}

  HRESULT Info(AVIFILEINFOW& info) const override {
    info = m_info;
    return AVIERR_OK;
  }

  HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) override {
    stream.reset();
    if (index != 0) return AVIERR_NODATA;
    if (fccType == 0 || fccType == streamtypeVIDEO)
      stream = m_video;
    else if (fccType == streamtypeAUDIO)
      stream = m_audio;
    if (!stream && fccType == streamtypeAUDIO && m_audioLeftOut) return AVIERR_UNSUPPORTED;
    return stream ? AVIERR_OK : AVIERR_NODATA;
  }

  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA&) override {
    stream.reset();
    return AVIERR_READONLY;
  }

 private:
  PAVISTREAM m_video;
  PAVISTREAM m_audio;
  bool m_audioLeftOut;  // the file has audio, in a codec AVI cannot carry
  AVIFILEINFOW m_info;
};

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int32_t> g_openingReportDelay{500};  // milliseconds

// The packet facts of `stream` from the table of its packets that hold data.
SAudioPacketFacts AudioFactsOf(const AVStream& stream, const std::vector<SSample>& packets) {
  SAudioPacketFacts facts;
  const AVCodecParameters& codec = *stream.codecpar;
  facts.m_codec = codec.codec_id;
  if (codec.frame_size > 0 && codec.sample_rate > 0)
    facts.m_frameSeconds = static_cast<double>(codec.frame_size) / codec.sample_rate;
  facts.m_packets = static_cast<int64_t>(packets.size());
  int64_t durations = 0;
  for (const SSample& packet : packets) durations += std::max<int64_t>(packet.m_duration, 0);
  const int64_t length = stream.duration > 0 ? stream.duration : durations;
  facts.m_seconds = static_cast<double>(length) * av_q2d(stream.time_base);
  return facts;
}

// The work of OpenDemuxFile; `why` is set on each failure. With `facts`, the first audio stream's
// packet facts are taken from the opening scan (`*audioFound` says whether there was one).
HRESULT OpenDemux(const std::string& path, PAVIFILE& file, std::string& why,
                  SAudioPacketFacts* facts = nullptr, bool* audioFound = nullptr) {
  FormatContextPtr context = OpenDemuxer(path, &why);
  if (!context) return AVIERR_FILEOPEN;
  const int video = FirstVideoStream(*context);
  if (video < 0) {
    why = "no video stream";
    return AVIERR_NODATA;
  }
  const AVCodecParameters& picture = *context->streams[video]->codecpar;
  if (picture.width <= 0 || picture.height <= 0) {
    why = "the picture's size cannot be read";
    return AVIERR_BADFORMAT;
  }
  // What libavcodec itself would refuse to decode, refused before any buffer is sought.
  if (av_image_check_size(static_cast<unsigned>(picture.width),
                          static_cast<unsigned>(picture.height), 0, nullptr) < 0) {
    why = Format("the picture is too large (%d x %d)", picture.width, picture.height);
    return AVIERR_BADFORMAT;
  }
  const int audio = FirstAudioStream(*context);
  try {
    std::vector<SSample> videoSamples, audioSamples;
    const auto started = Clock::now();
    auto due = started + std::chrono::milliseconds(g_openingReportDelay.load());
    auto progress = [&](int32_t permille) {
      const auto now = Clock::now();
      if (now < due) return true;
      due = now + std::chrono::milliseconds(100);
      return Host().OpeningProgress(path, permille);
    };
    const EScanResult scanned =
        ScanPackets(*context, video, audio, videoSamples, audioSamples, progress);
    if (scanned == EScanResult::kStopped) {
      why = "opening was cancelled";
      return AVIERR_USERABORT;
    }
    if (scanned != EScanResult::kDone) {
      why = "not enough memory";
      return AVIERR_MEMORY;
    }
    if (facts && audio >= 0) {
      *facts = AudioFactsOf(*context->streams[audio], audioSamples);
      if (audioFound) *audioFound = true;
    }
    if (videoSamples.empty()) {
      why = "the video stream holds no pictures";
      return AVIERR_NODATA;
    }
    // Audio AVI has no tag for is decoded to PCM; where no decoder is at hand it is left out,
    // and the file says so when its audio is asked for.
    PAVISTREAM audioStream;
    bool audioLeftOut = false;
    if (audio >= 0 && CDemuxAudioStream::Carriable(*context->streams[audio]->codecpar)) {
      auto data = std::make_shared<CDemuxData>(path, nullptr, audio, std::move(audioSamples));
      if (!data->Init()) return AVIERR_MEMORY;
      audioStream = std::make_shared<CDemuxAudioStream>(std::move(data), *context->streams[audio]);
    } else if (audio >= 0) {
      audioStream = MakeDecodedAudioStream(path, *context->streams[audio], audioSamples);
      audioLeftOut = !audioStream;
    }
    AVIFILEINFOW info{};
    const char* name = context->iformat->name;
    for (size_t i = 0; name[i] && i + 1 < std::size(info.szFileType); ++i)
      info.szFileType[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
    const double stated = StatedSeconds(*context->streams[video]);
    auto data =
        std::make_shared<CDemuxData>(path, std::move(context), video, std::move(videoSamples));
    if (!data->Init()) return AVIERR_MEMORY;
    auto videoStream = std::make_shared<CDemuxVideoStream>(std::move(data), stated);
    AVISTREAMINFOA stream{};
    videoStream->Info(stream);
    info.dwStreams = audioStream ? 2 : 1;
    info.dwWidth = static_cast<uint32_t>(stream.rcFrame.right);
    info.dwHeight = static_cast<uint32_t>(stream.rcFrame.bottom);
    info.dwScale = stream.dwScale;
    info.dwRate = stream.dwRate;
    info.dwLength = stream.dwLength;
    info.dwSuggestedBufferSize = stream.dwSuggestedBufferSize;
    file = std::make_shared<CDemuxFile>(std::move(videoStream), std::move(audioStream),
                                        audioLeftOut, info);
    return AVIERR_OK;
  } catch (const std::bad_alloc&) {
    why = "not enough memory";
    return AVIERR_MEMORY;
  }
}

}  // namespace

void SetOpeningReportDelay(int32_t milliseconds) {
  g_openingReportDelay = std::max(milliseconds, 0);
}

HRESULT OpenDemuxFile(const std::string& path, PAVIFILE& file, std::string* why) {
  file.reset();
  std::string reason;
  CLibavErrors errors;
  const HRESULT result = OpenDemux(path, file, reason);
  // libavformat's own words, where it gave any, say what exactly is wrong.
  if (result != AVIERR_OK && !errors.m_first.empty()) reason += " (" + errors.m_first + ")";
  if (why) *why = result == AVIERR_OK ? std::string() : reason;
  return result;
}

bool ReadAudioPacketFacts(const std::string& path, SAudioPacketFacts& facts) {
  facts = SAudioPacketFacts{};
  FormatContextPtr context = OpenDemuxer(path);
  if (!context) return false;
  const int audio = FirstAudioStream(*context);
  if (audio < 0) return false;
  const AVStream& stream = *context->streams[audio];
  const AVCodecParameters& codec = *stream.codecpar;
  facts.m_codec = codec.codec_id;
  if (codec.frame_size > 0 && codec.sample_rate > 0)
    facts.m_frameSeconds = static_cast<double>(codec.frame_size) / codec.sample_rate;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return false;
  int64_t durations = 0;
  while (av_read_frame(context.get(), packet.get()) >= 0) {
    if (packet->stream_index == audio) {
      ++facts.m_packets;
      durations += std::max<int64_t>(packet->duration, 0);
    }
    av_packet_unref(packet.get());
  }
  const int64_t length = stream.duration > 0 ? stream.duration : durations;
  facts.m_seconds = static_cast<double>(length) * av_q2d(stream.time_base);
  return true;
}

HRESULT OpenWithAudioPacketFacts(const std::string& path, PAVIFILE& file, SAudioPacketFacts* facts,
                                 bool* audioFound) {
  file.reset();
  if (facts) *facts = SAudioPacketFacts{};
  if (audioFound) *audioFound = false;
  // What CAviFile::Open gives our own reader: an AVI, and the few bytes no reader takes.
  char head[12] = {};
  std::FILE* in = std::fopen(path.c_str(), "rb");
  const size_t got = in ? std::fread(head, 1, sizeof head, in) : 0;
  if (in) std::fclose(in);
  if (got == sizeof head && !IsAviFile(path)) {
    std::string why;
    CLibavErrors quiet;  // as OpenDemuxFile: libav* says nothing on stderr
    const HRESULT demuxed = OpenDemux(path, file, why, facts, audioFound);
    if (demuxed != AVIERR_OK) {
      if (facts) *facts = SAudioPacketFacts{};
      if (audioFound) *audioFound = false;
    }
    return demuxed;
  }
  const HRESULT opened = CAviFile::Open(path, OF_SHARE_DENY_WRITE, file);
  if (opened != AVIERR_OK || !facts) return opened;
  FormatContextPtr context = OpenDemuxer(path);
  const int audio = context ? FirstAudioStream(*context) : -1;
  if (audio < 0) return opened;
  std::vector<SSample> none, packets;
  if (ScanPackets(*context, -1, audio, none, packets, {}) != EScanResult::kDone) return opened;
  *facts = AudioFactsOf(*context->streams[audio], packets);
  if (audioFound) *audioFound = true;
  return opened;
}

}  // namespace corvane
