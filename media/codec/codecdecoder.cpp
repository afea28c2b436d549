// The libavcodec-backed frame source: decodes samples in order, maps the decoder's output back
// to sample positions, and restarts at key frames for random access.
#include <algorithm>
#include <deque>
#include <new>

#include "media/codec/codecframes.h"

namespace corvane {
namespace {

// How far past the last fed sample a request may lie before a key frame in between is used
// instead of decoding everything up to it.
constexpr uint32_t kFindPrevKey = FIND_PREV | FIND_KEY;

enum class EPictureKind { kOther, kBidirectional };

// Picture type of the first picture in an MPEG-1/2 or MPEG-4 Visual sample. Only B-pictures
// matter: right after a key frame they belong to the previous group and cannot be decoded
// from the key frame on.
EPictureKind SniffPicture(AVCodecID codec, const std::vector<uint8_t>& sample, size_t size) {
  for (size_t i = 0; i + 5 < size; ++i) {
    if (sample[i] != 0 || sample[i + 1] != 0 || sample[i + 2] != 1) continue;
    const uint8_t code = sample[i + 3];
    if (codec == AV_CODEC_ID_MPEG4 && code == 0xB6) {
      return (sample[i + 4] >> 6) == 2 ? EPictureKind::kBidirectional : EPictureKind::kOther;
    }
    if ((codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO) && code == 0x00) {
      return ((sample[i + 5] >> 3) & 7) == 3 ? EPictureKind::kBidirectional : EPictureKind::kOther;
    }
  }
  return EPictureKind::kOther;
}

class CCodecGetFrame final : public CGetFrameBase {
 public:
  CCodecGetFrame(PAVISTREAM stream, const CVideoFormat& format, CodecContextPtr decoder,
                 std::vector<uint8_t> palette)
      : CGetFrameBase(std::move(stream), format),
        m_decoder(std::move(decoder)),
        m_palette(std::move(palette)) {}

  bool Init() {
    m_timed = m_stream->ShownAt(m_start) >= 0;
    m_alphaBeside = m_stream->AlphaDecoder() != nullptr;
    m_frame.reset(av_frame_alloc());
    m_picture.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    return m_frame && m_picture && m_packet;
  }

 protected:
  bool Load(int32_t shown) override;
  CPicture Current() const override { return PictureOf(*m_picture); }

 private:
  // Restarts decoding at the key frame from which `shown` can be reached.
  void Restart(int32_t shown);
  // Sends the next sample (skipping empty ones). False when the stream has run out and the
  // decoder has been told so.
  bool FeedNext();
  // The key frame to restart from for `shown`, and how many pictures after it to leave out.
  int32_t RestartPoint(int32_t shown);
  // With a known presentation order: the last key frame shown no later than `shown`. Every
  // picture shown from the key frame's on decodes exactly from it, open GOPs included; the
  // pictures before it that follow it in the file are left out.
  int32_t TimedRestartPoint(int32_t shown) const;
  bool LoadTimed(int32_t shown);
  int32_t LeadingPictures(int32_t key, int32_t* lastLeading);
  bool HasBidirectionalDecoding() const {
    const AVCodecID id = m_decoder->codec_id;
    return id == AV_CODEC_ID_MPEG4 || id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_MPEG2VIDEO;
  }

  CodecContextPtr m_decoder;
  std::vector<uint8_t> m_palette;  // AVPALETTE_SIZE bytes for 8-bit streams, else empty
  FramePtr m_frame;
  FramePtr m_picture;  // the picture shown at m_current
  PacketPtr m_packet;
  std::vector<uint8_t> m_sample;
  std::vector<uint8_t> m_alpha;   // the alpha data beside the sample being sent
  bool m_alphaBeside = false;     // the stream keeps alpha beside its samples
  std::deque<int32_t> m_pending;  // positions sent whose pictures have not come out yet
  int32_t m_current = -1;         // position of the held picture
  int32_t m_next = -1;            // next position to send; -1: no decoding under way
  int32_t m_leadingLeft = 0;      // B-pictures still to leave out after a restart
  bool m_sendPalette = false;
  bool m_drained = false;
  bool m_timed = false;      // the stream knows its presentation order (ShownAt)
  int32_t m_timedFloor = 0;  // with m_timed: where the restart's key frame is shown
};

int32_t CCodecGetFrame::LeadingPictures(int32_t key, int32_t* lastLeading) {
  *lastLeading = key;
  if (!HasBidirectionalDecoding()) return 0;
  int32_t count = 0;
  for (int32_t at = key + 1; at < m_end && count < 64; ++at) {
    const int32_t size = SampleSize(at);
    if (size < 0) break;
    if (size == 0) continue;
    int32_t bytes = 0;
    if (!ReadSample(at, m_sample, bytes) ||
        SniffPicture(m_decoder->codec_id, m_sample, bytes) != EPictureKind::kBidirectional) {
      break;
    }
    ++count;
    *lastLeading = at;
  }
  return count;
}

int32_t CCodecGetFrame::RestartPoint(int32_t shown) {
  int32_t key = m_stream->FindSample(shown, kFindPrevKey);
  for (;;) {
    if (key < m_start) return m_start;  // no key frame flagged: from the beginning
    int32_t lastLeading = key;
    m_leadingLeft = LeadingPictures(key, &lastLeading);
    // The left-out pictures are shown before the key frame; a request for one of them must
    // start from the key frame before.
    if (m_leadingLeft == 0 || shown >= lastLeading || key <= m_start) return key;
    const int32_t earlier = m_stream->FindSample(key - 1, kFindPrevKey);
    if (earlier < m_start || earlier >= key) {
      m_leadingLeft = 0;
      return m_start;
    }
    key = earlier;
  }
}

void CCodecGetFrame::Restart(int32_t shown) {
  avcodec_flush_buffers(m_decoder.get());
  m_pending.clear();
  av_frame_unref(m_picture.get());
  m_current = -1;
  m_drained = false;
  m_leadingLeft = 0;
  if (m_timed) {
    m_next = TimedRestartPoint(shown);
    m_timedFloor = m_stream->ShownAt(m_next);
  } else {
    m_next = RestartPoint(shown);
  }
  m_sendPalette = !m_palette.empty();
}

bool CCodecGetFrame::FeedNext() {
  while (m_next >= 0 && m_next < m_end) {
    const int32_t at = m_next++;
    const int32_t size = SampleSize(at);
    if (size <= 0) continue;  // empty: shows the picture before; nothing to decode
    int32_t bytes = 0;
    if (!ReadSample(at, m_sample, bytes)) continue;
    if (m_leadingLeft > 0 && !m_pending.empty() && at > m_pending.front()) {
      // A picture of the previous group: not decodable from here. Its display slot is
      // still taken, before the key frame's.
      if (SniffPicture(m_decoder->codec_id, m_sample, bytes) == EPictureKind::kBidirectional) {
        --m_leadingLeft;
        m_pending.push_back(at);
        m_pending.pop_front();
        continue;
      }
      m_leadingLeft = 0;
    }
    av_packet_unref(m_packet.get());
    if (av_new_packet(m_packet.get(), bytes) < 0) return false;
    std::copy_n(m_sample.begin(), bytes, m_packet->data);
    m_packet->pts = at;
    m_packet->dts = at;
    if (m_alphaBeside && m_stream->SampleAlpha(at, m_alpha) && !m_alpha.empty()) {
      uint8_t* side = av_packet_new_side_data(m_packet.get(), AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL,
                                              m_alpha.size());
      if (side) std::copy(m_alpha.begin(), m_alpha.end(), side);
    }
    if (m_sendPalette) {
      uint8_t* side = av_packet_new_side_data(m_packet.get(), AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
      if (side) std::copy(m_palette.begin(), m_palette.end(), side);
      m_sendPalette = false;
    }
    const int result = avcodec_send_packet(m_decoder.get(), m_packet.get());
    if (result < 0) continue;  // a damaged sample: its picture is lost
    m_pending.push_back(at);
    return true;
  }
  if (!m_drained) {
    avcodec_send_packet(m_decoder.get(), nullptr);
    m_drained = true;
    return true;
  }
  return false;
}

int32_t CCodecGetFrame::TimedRestartPoint(int32_t shown) const {
  int32_t key = m_stream->FindSample(m_end - 1, kFindPrevKey);
  while (key > m_start && m_stream->ShownAt(key) > shown)
    key = m_stream->FindSample(key - 1, kFindPrevKey);
  return key < m_start ? m_start : key;
}

bool CCodecGetFrame::LoadTimed(int32_t shown) {
  const int32_t key = TimedRestartPoint(shown);
  // Going on is right when the picture lies ahead and its key frame has been sent already.
  if (!(m_next >= 0 && shown > m_current && key < m_next)) Restart(shown);
  for (;;) {
    const int result = avcodec_receive_frame(m_decoder.get(), m_frame.get());
    if (result == 0) {
      m_pending.clear();  // the pictures' own positions place them
      // Each picture carries the position of its own sample.
      const int64_t sample = m_frame->pts;
      const int32_t slot = sample >= m_start && sample < m_end
                               ? m_stream->ShownAt(static_cast<int32_t>(sample))
                               : -1;
      // Pictures shown before the restart's key frame belong to the group before it.
      if (slot < 0 || slot < m_current || slot < m_timedFloor) continue;
      av_frame_unref(m_picture.get());
      av_frame_move_ref(m_picture.get(), m_frame.get());
      m_current = slot;
      if (slot >= shown) return slot == shown;
      continue;
    }
    if (result != AVERROR(EAGAIN) || !FeedNext()) {
      m_next = -1;
      return false;
    }
  }
}

bool CCodecGetFrame::Load(int32_t shown) {
  if (shown == m_current) return true;
  if (m_timed) return LoadTimed(shown);
  // Going on from here is right when the picture lies ahead and no key frame sits between
  // what has been sent and the picture (else restarting there is quicker).
  bool goOn = m_next >= 0 && shown > m_current;
  if (goOn) {
    const int32_t key = m_stream->FindSample(shown, kFindPrevKey);
    if (key >= m_next && key > m_current) goOn = false;
  }
  if (!goOn) Restart(shown);

  for (;;) {
    const int result = avcodec_receive_frame(m_decoder.get(), m_frame.get());
    if (result == 0) {
      int32_t slot;
      if (m_decoder->has_b_frames == 0 && m_frame->pts != AV_NOPTS_VALUE) {
        // No reordering: the picture belongs to its own sample.
        slot = static_cast<int32_t>(m_frame->pts);
        while (!m_pending.empty() && m_pending.front() <= slot) m_pending.pop_front();
      } else if (!m_pending.empty()) {
        // Pictures come out in display order and take the sent positions in turn.
        slot = m_pending.front();
        m_pending.pop_front();
      } else {
        slot = m_current + 1;
      }
      av_frame_unref(m_picture.get());
      av_frame_move_ref(m_picture.get(), m_frame.get());
      m_current = slot;
      if (slot >= shown) return true;
      continue;
    }
    if (result != AVERROR(EAGAIN) || !FeedNext()) {
      // Stream or decoder at its end without the picture.
      m_next = -1;
      return false;
    }
  }
}

}  // namespace

std::unique_ptr<CGetFrame> MakeCodecGetFrame(PAVISTREAM stream, const CVideoFormat& format) {
  AVISTREAMINFOA info{};
  if (stream->Info(info) != AVIERR_OK) return nullptr;
  const BITMAPINFOHEADER& header = format.m_header;
  const AVCodecID id = VideoCodecForFourCC(header.biCompression, info.fccHandler);
  if (id == AV_CODEC_ID_NONE) return nullptr;
  const char* alphaDecoder = stream->AlphaDecoder();
  const AVCodec* codec = alphaDecoder ? avcodec_find_decoder_by_name(alphaDecoder) : nullptr;
  if (!codec) codec = avcodec_find_decoder(id);
  if (!codec) return nullptr;
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) return nullptr;
  decoder->codec_tag = header.biCompression;
  // A turned stream's format gives the upright size; the decoder works at the stored one.
  const int32_t rotation = stream->Rotation();
  const bool turned = rotation == 90 || rotation == 270;
  decoder->width = turned ? format.m_height : format.m_width;
  decoder->height = turned ? format.m_width : format.m_height;
  decoder->coded_width = decoder->width;
  decoder->coded_height = decoder->height;
  decoder->bits_per_coded_sample = header.biBitCount;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // Under the fuzzer every input opens a decoder: starting its threads would cost more than the
  // decoding, and a finding must replay the same way.
  decoder->thread_count = 1;
#else
  decoder->thread_count = 2;
#endif
  const size_t headerBytes = sizeof(BITMAPINFOHEADER);
  const size_t extraBytes = format.m_bytes.size() - headerBytes;
  if (!SetExtradata(*decoder, format.m_bytes.data() + headerBytes, extraBytes)) return nullptr;

  std::vector<uint8_t> palette;
  if (header.biBitCount > 0 && header.biBitCount <= 8 && extraBytes > 0) {
    // The colour table sits at the end of the format, as 8-bit codecs expect it.
    const size_t tableBytes = std::min<size_t>(size_t{4} << header.biBitCount, extraBytes);
    palette.assign(AVPALETTE_SIZE, 0);
    const uint8_t* table = format.m_bytes.data() + format.m_bytes.size() - tableBytes;
    for (size_t i = 0; i + 3 < tableBytes; i += 4) {
      const uint32_t entry =
          0xFF000000u | uint32_t{table[i + 2]} << 16 | uint32_t{table[i + 1]} << 8 | table[i];
      std::copy_n(reinterpret_cast<const uint8_t*>(&entry), 4, palette.data() + i);
    }
  }
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return nullptr;
  try {
    auto source = std::make_unique<CCodecGetFrame>(std::move(stream), format, std::move(decoder),
                                                   std::move(palette));
    if (!source->Init()) return nullptr;
    return source;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace corvane
