#include "media/codec/compressedstream.h"

#include <algorithm>
#include <cstring>

#include "media/codec/encoderinput.h"
#include "media/codec/streamsplice.h"
#include "media/host.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace corvane {
namespace {

constexpr int kEncoderThreads = 2;
constexpr int kDefaultH264Crf = 23;

const char* EncoderName(const CCompressorInfo& compressor) {
  if (compressor.m_name == "h264") return "libx264";
  if (compressor.m_name == "vp9") return "libvpx-vp9";
  if (compressor.m_name == "av1") return "libsvtav1";
  return compressor.m_name.c_str();
}

// A constant-quality level from the dialog's quality (0..10000, best at 10000) on a codec's own
// scale from `best` to `worst`; `standard` when the compressor's default is asked for.
int QualityLevel(const AVICOMPRESSOPTIONS& options, int best, int worst, int standard) {
  if (options.dwQuality == 0xFFFFFFFFu) return standard;
  const int64_t quality = std::min<uint32_t>(options.dwQuality, 10000);
  return static_cast<int>(best + ((worst - best) * (10000 - quality) + 5000) / 10000);
}

// Codecs whose lossy pictures are 4:2:0, which players expect in MP4, MOV and WebM.
bool PlayerFourTwoZero(const CCompressorInfo& compressor) {
  const std::string& name = compressor.m_name;
  return name == "h264" || name == "vp9" || name == "av1" || name == "mpeg4";
}

// The pixel format each encoder gets: lossless ones an exact rearrangement of 24-bit RGB,
// lossy ones 4:2:0 (4:4:4 for H.264 at odd sizes, which 4:2:0 cannot carry).
AVPixelFormat EncoderInput(const CCompressorInfo& compressor, int width, int height) {
  const std::string& name = compressor.m_name;
  if (name == "ffv1") return AV_PIX_FMT_BGR0;
  if (name == "huffyuv") return AV_PIX_FMT_RGB24;
  if (name == "utvideo" || name == "magicyuv") return AV_PIX_FMT_GBRP;
  if (name == "mjpeg") return AV_PIX_FMT_YUVJ420P;
  if (name == "h264" && ((width | height) & 1)) return AV_PIX_FMT_YUV444P;
  return AV_PIX_FMT_YUV420P;
}

}  // namespace

CCompressedStream::CCompressedStream(PAVISTREAM target, const AVICOMPRESSOPTIONS& options,
                                     const CCompressorInfo& compressor, CEncoderMatch match)
    : m_target(std::move(target)),
      m_options(options),
      m_compressor(compressor),
      m_match(std::move(match)) {}

CCompressedStream::~CCompressedStream() {
  // Release: the frames the encoder still holds go out now. Nothing can be reported here.
  if (m_encoder && m_failure == AVIERR_OK && !m_flushed) Drain(true);
}

HRESULT CCompressedStream::Info(AVISTREAMINFOA& info) const {
  const HRESULT result = m_target->Info(info);
  if (result == AVIERR_OK) info.fccHandler = m_compressor.m_fourCC;
  return result;
}

HRESULT CCompressedStream::ReadFormat(int32_t, void* format, int32_t* size) {
  if (!size) return AVIERR_BADPARAM;
  if (m_format.empty()) return AVIERR_NODATA;
  const int32_t total = static_cast<int32_t>(m_format.size());
  if (!format) {
    *size = total;
    return AVIERR_OK;
  }
  const int32_t copied = std::clamp(*size, 0, total);
  std::memcpy(format, m_format.data(), copied);
  *size = copied;
  return AVIERR_OK;
}

HRESULT CCompressedStream::Read(int32_t, int32_t, void*, int32_t, int32_t* bytesRead,
                                int32_t* samplesRead) {
  if (bytesRead) *bytesRead = 0;
  if (samplesRead) *samplesRead = 0;
  return AVIERR_UNSUPPORTED;
}

HRESULT CCompressedStream::SetFormat(int32_t, const void* format, int32_t size) {
  if (!m_format.empty()) return AVIERR_UNSUPPORTED;  // once, before the first frame
  if (!format || size < static_cast<int32_t>(sizeof(BITMAPINFOHEADER))) return AVIERR_BADFORMAT;
  BITMAPINFOHEADER input;
  std::memcpy(&input, format, sizeof input);
  if (input.biBitCount != 24 || input.biCompression != BI_RGB || input.biWidth <= 0 ||
      input.biHeight <= 0 || input.biWidth > (INT32_MAX - 31) / 24) {
    return AVIERR_BADFORMAT;
  }
  const int64_t frameBytes = static_cast<int64_t>(FrameStride(input.biWidth)) * input.biHeight;
  if (frameBytes > INT32_MAX) return AVIERR_BADFORMAT;
  m_width = input.biWidth;
  m_height = input.biHeight;
  m_frameBytes = static_cast<int32_t>(frameBytes);

  std::vector<uint8_t> strf;
  if (m_compressor.m_fourCC == 0) {
    const BITMAPINFOHEADER header =
        FrameHeader(m_width, m_height, static_cast<uint32_t>(m_frameBytes));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    strf.assign(bytes, bytes + sizeof header);
  } else {
    const HRESULT opened = OpenEncoder(input);
    if (opened != AVIERR_OK) {
      m_failure = opened;
      return opened;
    }
    // The codec's own header, then its set-up data (Huffman tables, slice layout, ...).
    BITMAPINFOHEADER header{};
    header.biSize = static_cast<uint32_t>(sizeof header + m_encoder->extradata_size);
    header.biWidth = m_width;
    header.biHeight = m_height;
    header.biPlanes = 1;
    header.biBitCount =
        m_encoder->bits_per_coded_sample > 0 ? m_encoder->bits_per_coded_sample : 24;
    header.biCompression = m_compressor.m_fourCC;
    header.biSizeImage =
        static_cast<uint32_t>(static_cast<int64_t>(m_width) * m_height * header.biBitCount / 8);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    strf.assign(bytes, bytes + sizeof header);
    strf.insert(strf.end(), m_encoder->extradata, m_encoder->extradata + m_encoder->extradata_size);
  }
  HRESULT result = m_target->SetFormat(0, strf.data(), static_cast<int32_t>(strf.size()));
  if (result != AVIERR_OK) {
    m_failure = result;
    return result;
  }
  // Not every stream can rename its handler; the format still names the codec then.
  result = m_target->SetHandler(m_compressor.m_fourCC);
  if (result != AVIERR_OK && result != AVIERR_UNSUPPORTED) {
    m_failure = result;
    return result;
  }
  m_format = std::move(strf);
  return AVIERR_OK;
}

HRESULT CCompressedStream::OpenEncoder(const BITMAPINFOHEADER& input) {
  QuietCodecLogging();
  m_picture.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_picture || !m_packet) return AVIERR_MEMORY;
  const SWriterNeeds needs = m_target->WriterNeeds();
  const bool player = needs.m_playerPictures && PlayerFourTwoZero(m_compressor);
  // 4:2:0 for players: an odd last column or row is left out, and the user told so.
  m_encodeWidth = player ? input.biWidth & ~1 : input.biWidth;
  m_encodeHeight = player ? input.biHeight & ~1 : input.biHeight;
  if (m_encodeWidth <= 0 || m_encodeHeight <= 0) return AVIERR_CANTCOMPRESS;
  if (m_encodeWidth != input.biWidth || m_encodeHeight != input.biHeight) {
    const char* lost = m_encodeWidth != input.biWidth && m_encodeHeight != input.biHeight
                           ? "last column and last row are"
                       : m_encodeWidth != input.biWidth ? "last column is"
                                                        : "last row is";
    ShowMessage(Format("The picture is %dx%d, and %s needs even sizes: its %s left out (%dx%d)",
                       input.biWidth, input.biHeight, m_compressor.m_displayName.c_str(), lost,
                       m_encodeWidth, m_encodeHeight),
                MB_ICONINFORMATION);
  }
  // Spliced among copied packets, each run's encoder carries its parameter sets in its own key
  // frames; the header the container stores is made apart.
  const HRESULT opened = ConfigureEncoder(m_encoder, needs.m_globalHeader && !Spliced());
  if (opened != AVIERR_OK) return opened;
  const AVCodecContext& encoder = *m_encoder;
  HRESULT taken;
  if (Spliced()) {
    CodecContextPtr header;
    taken = SplicedHeader(header);
    if (taken == AVIERR_OK) taken = m_target->SetEncoder(*header);
  } else {
    taken = m_target->SetEncoder(encoder);
  }
  if (taken != AVIERR_OK && taken != AVIERR_UNSUPPORTED) return taken;

  m_picture->format = encoder.pix_fmt;
  m_picture->width = encoder.width;
  m_picture->height = encoder.height;
  if (av_frame_get_buffer(m_picture.get(), 0) < 0) return AVIERR_MEMORY;
  // Motion JPEG and FFV1 input have a fast converter; libswscale's full-range path is slow.
  if (HasFastFrameConversion(encoder.pix_fmt)) return AVIERR_OK;
  m_scaler = MakeEncoderScaler(encoder.width, encoder.height, encoder.pix_fmt);
  if (!m_scaler) return AVIERR_CANTCOMPRESS;
  if (player && !SetScalerMatrix(*m_scaler, encoder.colorspace == AVCOL_SPC_BT709))
    return AVIERR_CANTCOMPRESS;
  return AVIERR_OK;
}

HRESULT CCompressedStream::ConfigureEncoder(CodecContextPtr& made, bool globalHeader) const {
  const AVCodec* codec = avcodec_find_encoder_by_name(EncoderName(m_compressor));
  if (!codec) return AVIERR_NOCOMPRESSOR;
  made.reset(avcodec_alloc_context3(codec));
  if (!made) return AVIERR_MEMORY;

  AVISTREAMINFOA info{};
  m_target->Info(info);
  AVCodecContext& encoder = *made;
  const SWriterNeeds needs = m_target->WriterNeeds();
  const bool player = needs.m_playerPictures && PlayerFourTwoZero(m_compressor);
  encoder.width = m_encodeWidth;
  encoder.height = m_encodeHeight;
  encoder.pix_fmt =
      player ? AV_PIX_FMT_YUV420P : EncoderInput(m_compressor, encoder.width, encoder.height);
  if (!player && !m_match.m_pixelFormat.empty()) {
    const AVPixelFormat matched = av_get_pix_fmt(m_match.m_pixelFormat.c_str());
    for (const AVPixelFormat* taken = codec->pix_fmts; taken && *taken != AV_PIX_FMT_NONE;
         ++taken) {
      if (*taken == matched) encoder.pix_fmt = matched;
    }
  }
  if (player) {
    // Limited range, with the matrix players assume for the size (or the one a copied source
    // names), and tagged with it.
    bool hd = encoder.height >= 720;
    if (Spliced() && m_match.m_source->color_space == AVCOL_SPC_BT709) hd = true;
    if (Spliced() && (m_match.m_source->color_space == AVCOL_SPC_SMPTE170M ||
                      m_match.m_source->color_space == AVCOL_SPC_BT470BG)) {
      hd = false;
    }
    encoder.colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    encoder.color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    encoder.color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    encoder.color_range = AVCOL_RANGE_MPEG;
  }
  if (globalHeader) encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (needs.m_noReordering) encoder.max_b_frames = 0;
  encoder.time_base =
      (info.dwScale && info.dwRate)
          ? AVRational{static_cast<int>(std::min<uint32_t>(info.dwScale, INT32_MAX)),
                       static_cast<int>(std::min<uint32_t>(info.dwRate, INT32_MAX))}
          : AVRational{1, 25};
  encoder.framerate = av_inv_q(encoder.time_base);
  encoder.sample_aspect_ratio = {1, 1};
  encoder.codec_tag = m_compressor.m_fourCC;
  encoder.thread_count = kEncoderThreads;
  // Slices, not frames: frame threads add delay and upset MJPEG's rate control. x264 is the
  // exception: its own frame threads and lookahead, as many as it picks for the processors, keep
  // two cores far busier than its sliced mode does.
  encoder.thread_type = FF_THREAD_SLICE;
  if (m_compressor.m_name == "h264") {
    encoder.thread_type = FF_THREAD_FRAME;
    encoder.thread_count = 0;
  }

  const bool setQuality = m_compressor.m_honoursQuality && m_options.dwQuality != 0xFFFFFFFFu;
  if (m_compressor.m_name == "mjpeg" || m_compressor.m_name == "mpeg4") {
    if (setQuality) {
      encoder.flags |= AV_CODEC_FLAG_QSCALE;
      encoder.global_quality = QualityToQuantiser(m_options.dwQuality) * FF_QP2LAMBDA;
    }
  } else if (m_compressor.m_name == "h264") {
    const int crf =
        setQuality
            ? static_cast<int>(
                  (51 * (10000 - std::min<uint32_t>(m_options.dwQuality, 10000)) + 5000) / 10000)
            : kDefaultH264Crf;
    av_opt_set_int(encoder.priv_data, "crf", crf, 0);
    if (SplicedH264()) {
      // Among copied packets: the source's profile, parameter-set ids it leaves free, and no
      // deeper reordering than its own (one B-frame level without a pyramid reorders by one).
      if (!m_match.m_profile.empty())
        av_opt_set(encoder.priv_data, "profile", m_match.m_profile.c_str(), 0);
      av_opt_set(encoder.priv_data, "x264-params",
                 Format("sps-id=%d", m_match.m_parameterSetId).c_str(), 0);
      if (m_match.m_reorderDepth <= 0) encoder.max_b_frames = 0;
      if (m_match.m_reorderDepth == 1) av_opt_set(encoder.priv_data, "b-pyramid", "none", 0);
    }
  } else if (m_compressor.m_name == "vp9") {
    // Constant quality at a speed that keeps up with the mix, rows coded in parallel.
    av_opt_set_int(encoder.priv_data, "crf", QualityLevel(m_options, 4, 63, 32), 0);
    av_opt_set(encoder.priv_data, "deadline", "good", 0);
    av_opt_set_int(encoder.priv_data, "cpu-used", 5, 0);
    av_opt_set_int(encoder.priv_data, "row-mt", 1, 0);
    encoder.bit_rate = 0;
  } else if (m_compressor.m_name == "av1") {
    av_opt_set_int(encoder.priv_data, "crf", QualityLevel(m_options, 10, 63, 35), 0);
    av_opt_set_int(encoder.priv_data, "preset", 8, 0);
  } else if (m_compressor.m_name == "ffv1") {
    // Version 3 codes slices (threads) and carries a CRC per slice.
    av_opt_set_int(encoder.priv_data, "level", 3, 0);
    av_opt_set_int(encoder.priv_data, "slicecrc", 1, 0);
  }
  if (m_compressor.m_honoursKeyFrames && (m_options.dwFlags & AVICOMPRESSF_KEYFRAMES) &&
      m_options.dwKeyFrameEvery > 0) {
    encoder.gop_size = static_cast<int>(std::min<uint32_t>(m_options.dwKeyFrameEvery, 100000));
  }
  if (m_compressor.m_honoursDataRate && (m_options.dwFlags & AVICOMPRESSF_DATARATE) &&
      m_options.dwBytesPerSecond > 0 && !setQuality) {
    encoder.bit_rate = int64_t{m_options.dwBytesPerSecond} * 8;
  }
  if (avcodec_open2(made.get(), codec, nullptr) < 0) return AVIERR_CANTCOMPRESS;
  return AVIERR_OK;
}

HRESULT CCompressedStream::SplicedHeader(CodecContextPtr& header) const {
  header.reset(avcodec_alloc_context3(nullptr));
  if (!header || avcodec_parameters_to_context(header.get(), m_match.m_source) < 0)
    return AVIERR_MEMORY;
  header->time_base = m_encoder->time_base;
  header->framerate = m_encoder->framerate;
  header->codec_tag = 0;
  if (!SplicedH264()) return AVIERR_OK;
  // The encoder's parameter sets as it would store them, beside the source's.
  CodecContextPtr probe;
  const HRESULT opened = ConfigureEncoder(probe, true);
  if (opened != AVIERR_OK) return opened;
  CAvcConfig config;
  if (!ReadAvcConfig(header->extradata, size_t(std::max(header->extradata_size, 0)), config))
    return AVIERR_BADFORMAT;
  for (NalUnit& unit :
       SplitStartCodes(probe->extradata, size_t(std::max(probe->extradata_size, 0)))) {
    const int type = unit.empty() ? 0 : unit[0] & 0x1F;
    if (type == 7) config.m_sequenceSets.push_back(std::move(unit));
    if (type == 8) config.m_pictureSets.push_back(std::move(unit));
  }
  const std::vector<uint8_t> stored = WriteAvcConfig(config);
  if (stored.empty()) return AVIERR_BADFORMAT;
  auto* bytes = static_cast<uint8_t*>(av_mallocz(stored.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!bytes) return AVIERR_MEMORY;
  std::copy(stored.begin(), stored.end(), bytes);
  av_freep(&header->extradata);
  header->extradata = bytes;
  header->extradata_size = static_cast<int>(stored.size());
  return AVIERR_OK;
}

HRESULT CCompressedStream::Write(int32_t start, int32_t samples, const void* data, int32_t size,
                                 uint32_t flags, int32_t* samplesWritten, int32_t* bytesWritten) {
  (void)flags;  // the encoder places key frames
  if (samplesWritten) *samplesWritten = 0;
  if (bytesWritten) *bytesWritten = 0;
  if (m_failure != AVIERR_OK) return m_failure;
  if (m_format.empty() || m_flushed) return AVIERR_UNSUPPORTED;
  if (!data || samples <= 0 || start < 0 || start <= m_lastPosition) return AVIERR_BADPARAM;
  if (static_cast<int64_t>(samples) * m_frameBytes > size) return AVIERR_BUFFERTOOSMALL;
  const auto* frames = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < samples; ++i) {
    const int64_t position = static_cast<int64_t>(start) + i;
    if (position > INT32_MAX) return AVIERR_BADPARAM;
    const uint8_t* frame = frames + static_cast<int64_t>(i) * m_frameBytes;
    HRESULT result;
    if (m_compressor.m_fourCC == 0) {
      result = m_target->Write(static_cast<int32_t>(position), 1, frame, m_frameBytes,
                               AVIIF_KEYFRAME, nullptr, nullptr);
      if (result < 0) m_failedPosition = static_cast<int32_t>(position);
    } else {
      result = EncodeFrame(static_cast<int32_t>(position), frame);
    }
    if (result < 0) {
      m_failure = result;
      return result;
    }
    m_lastPosition = position;
    if (samplesWritten) ++*samplesWritten;
    if (bytesWritten) *bytesWritten += m_frameBytes;
  }
  return AVIERR_OK;
}

HRESULT CCompressedStream::EncodeFrame(int32_t position, const uint8_t* frame) {
  if (!av_frame_is_writable(m_picture.get())) {
    // The encoder still holds the last picture (FFV1 keeps one back): take the spare, and only
    // when that is held too a fresh buffer. Every byte is about to be written, so nothing is
    // copied, and two pictures taking turns need no allocation per frame.
    std::swap(m_picture, m_spare);
    if (!m_picture) m_picture.reset(av_frame_alloc());
    if (!m_picture) return AVIERR_MEMORY;
    if (!m_picture->buf[0] || !av_frame_is_writable(m_picture.get())) {
      av_frame_unref(m_picture.get());
      m_picture->format = m_encoder->pix_fmt;
      m_picture->width = m_encodeWidth;
      m_picture->height = m_encodeHeight;
      if (av_frame_get_buffer(m_picture.get(), 0) < 0) return AVIERR_MEMORY;
    }
  }
  const bool converted = m_scaler ? ScaleFrameToPicture(*m_scaler, frame, m_width, m_height,
                                                        *m_picture, m_encodeWidth, m_encodeHeight)
                                  : FrameToPicture(frame, m_width, m_height, *m_picture);
  if (!converted) return AVIERR_COMPRESSOR;
  m_picture->pts = position;
  if (m_runStart < 0) m_runStart = position;
  // A fixed quantiser is taken from each picture, not from the context.
  m_picture->quality = m_encoder->global_quality;
  m_picture->pict_type = AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(m_encoder.get(), m_picture.get()) < 0) return AVIERR_COMPRESSOR;
  m_positions.push_back(position);
  return Drain(false);
}

HRESULT CCompressedStream::EndOfStream() {
  if (m_failure != AVIERR_OK) return m_failure;
  if (!m_encoder || m_flushed) return AVIERR_OK;
  m_flushed = true;
  const HRESULT drained = Drain(true);
  if (drained < 0) m_failure = drained;
  return drained < 0 ? drained : AVIERR_OK;
}

HRESULT CCompressedStream::EndRun() {
  if (m_failure != AVIERR_OK) return m_failure;
  if (!m_encoder || m_flushed || m_runStart < 0) return AVIERR_OK;
  HRESULT result = Drain(true);
  // The next run: a fresh encoder, whose first frame is a key frame nothing before it is needed
  // for.
  if (result >= 0) result = ConfigureEncoder(m_encoder, false);
  if (result < 0) {
    m_failure = result;
    return result;
  }
  m_runStart = -1;
  m_runPackets = 0;
  return AVIERR_OK;
}

HRESULT CCompressedStream::Drain(bool flush) {
  if (flush) {
    if (avcodec_send_frame(m_encoder.get(), nullptr) < 0) return AVIERR_COMPRESSOR;
  }
  for (;;) {
    const int result = avcodec_receive_packet(m_encoder.get(), m_packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return AVIERR_OK;
    if (result < 0) return AVIERR_COMPRESSOR;
    // Packets come in decoding order; they take the written positions in turn, so that
    // a delayed encoder still fills exactly the positions it was given.
    int32_t position;
    if (!m_positions.empty()) {
      position = m_positions.front();
      m_positions.pop_front();
    } else {
      position = static_cast<int32_t>(m_lastPosition + 1);
    }
    const uint32_t keyFlag = (m_packet->flags & AV_PKT_FLAG_KEY) ? AVIIF_KEYFRAME : 0;
    const uint8_t* data = m_packet->data;
    int32_t size = m_packet->size;
    int64_t decoding = m_packet->dts;
    if (SplicedH264()) {
      // As the copied packets: length-prefixed like the source's, decoded at their place in
      // decoding order less the source's reorder depth.
      decoding = m_runStart + m_runPackets - m_match.m_reorderDepth;
      if (!ToLengthPrefixed(data, size_t(size), m_match.m_nalLengthSize, m_lengthPrefixed) ||
          m_lengthPrefixed.size() > size_t(INT32_MAX)) {
        av_packet_unref(m_packet.get());
        m_failedPosition = position;
        return AVIERR_COMPRESSOR;
      }
      data = m_lengthPrefixed.data();
      size = static_cast<int32_t>(m_lengthPrefixed.size());
    }
    ++m_runPackets;
    const HRESULT written =
        m_target->WritePacket(position, m_packet->pts, decoding, data, size, keyFlag);
    av_packet_unref(m_packet.get());
    if (written < 0) {
      m_failedPosition = position;
      return written;
    }
  }
}

}  // namespace corvane
