#include "media/demux/demuxdata.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

namespace corvane {

FormatContextPtr OpenDemuxer(const std::string& path, std::string* why) {
  AVFormatContext* raw = nullptr;
  // Local files only: a playlist or list of files inside a source may name others on this
  // machine, never a network address (libavformat's own playlist readers refuse most of those
  // already; this holds for every reader).
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) {
    if (why) {
      char text[AV_ERROR_MAX_STRING_SIZE] = {};
      av_strerror(opened, text, sizeof text);
      *why = opened == AVERROR_INVALIDDATA ? "unknown format, or a damaged file" : text;
    }
    return nullptr;
  }
  FormatContextPtr context(raw);
  // Text files are not videos, though libavformat can render them as ANSI art.
  if (std::strcmp(context->iformat->name, "tty") == 0) {
    if (why) *why = "unknown format, or a damaged file";
    return nullptr;
  }
  if (avformat_find_stream_info(context.get(), nullptr) < 0) {
    if (why) *why = "the file is damaged: its streams cannot be read";
    return nullptr;
  }
  return context;
}

int FirstVideoStream(const AVFormatContext& context) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVStream& stream = *context.streams[i];
    if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
      return static_cast<int>(i);
  }
  return -1;
}

int FirstAudioStream(const AVFormatContext& context) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    if (context.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return static_cast<int>(i);
  }
  return -1;
}

EScanResult ScanPackets(AVFormatContext& context, int video, int audio,
                        std::vector<SSample>& videoSamples, std::vector<SSample>& audioSamples,
                        const std::function<bool(int32_t permille)>& progress) {
  PacketPtr packet(av_packet_alloc());
  if (!packet) return EScanResult::kOutOfMemory;
  const int64_t fileSize = context.pb ? avio_size(context.pb) : -1;
  uint32_t packets = 0;
  while (av_read_frame(&context, packet.get()) >= 0) {
    std::vector<SSample>* table = packet->stream_index == video   ? &videoSamples
                                  : packet->stream_index == audio ? &audioSamples
                                                                  : nullptr;
    if (table && packet->size > 0) {
      table->push_back({packet->pos, packet->dts, packet->pts, packet->duration, packet->size,
                        (packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(packet.get());
    // Every 64th packet is often enough to tell the time and cheap enough not to show.
    if (progress && (++packets & 63) == 0) {
      const int64_t at = context.pb ? avio_tell(context.pb) : -1;
      const int32_t permille =
          fileSize > 0 && at >= 0
              ? static_cast<int32_t>(std::min<int64_t>(at, fileSize) * 1000 / fileSize)
              : 0;
      if (!progress(permille)) return EScanResult::kStopped;
    }
  }
  constexpr size_t kMost = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  if (videoSamples.size() > kMost || audioSamples.size() > kMost) return EScanResult::kOutOfMemory;
  return EScanResult::kDone;
}

CDemuxData::CDemuxData(std::string path, FormatContextPtr context, int streamIndex,
                       std::vector<SSample> samples)
    : m_path(std::move(path)),
      m_context(std::move(context)),
      m_streamIndex(streamIndex),
      m_samples(std::move(samples)) {
  // Without key flags (some raw and image demuxers) every packet stands alone.
  if (std::none_of(m_samples.begin(), m_samples.end(), [](const SSample& s) { return s.m_key; }))
    for (SSample& sample : m_samples) sample.m_key = true;
  OrderByTime();
}

bool CDemuxData::Init() {
  m_packet.reset(av_packet_alloc());
  return m_packet != nullptr;
}

bool CDemuxData::ReadSample(int32_t index, uint8_t* buffer) {
  if (!m_context && !Restart()) return false;
  if (m_next != index && !SeekTo(index)) return false;
  while (m_next < index) {
    if (!ReadNext()) return false;
  }
  m_alphaIndex = -1;
  if (!ReadNext()) return false;
  std::memcpy(buffer, m_packet->data, static_cast<size_t>(m_packet->size));
  size_t alphaBytes = 0;
  const uint8_t* alpha =
      av_packet_get_side_data(m_packet.get(), AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL, &alphaBytes);
  m_alpha.assign(alpha, alpha + (alpha ? alphaBytes : 0));
  m_alphaIndex = index;
  av_packet_unref(m_packet.get());
  return true;
}

// Reads the next packet of the stream into m_packet and checks it is the sample the table
// has at m_next. Leaves m_next at -1 (position unknown) on any failure.
bool CDemuxData::ReadNext() {
  if (m_pending) {  // the packet a seek landed on
    m_pending = false;
    ++m_next;
    return true;
  }
  for (;;) {
    av_packet_unref(m_packet.get());
    if (av_read_frame(m_context.get(), m_packet.get()) < 0) break;
    if (m_packet->stream_index != m_streamIndex || m_packet->size <= 0) continue;
    if (m_next < 0 || m_next >= static_cast<int64_t>(m_samples.size()) ||
        !m_samples[m_next].IsSame(*m_packet))
      break;
    ++m_next;
    return true;
  }
  m_next = -1;
  return false;
}

// Places the demuxer so that the next packet read is at or before `index`: at the key frame
// before it when a seek lands there, else at the start of the file.
bool CDemuxData::SeekTo(int32_t index) {
  m_pending = false;
  int32_t key = index;
  while (key > 0 && !m_samples[key].m_key) --key;
  const SSample& target = m_samples[key];
  const int64_t time = target.m_dts != AV_NOPTS_VALUE ? target.m_dts : target.m_pts;
  if (time != AV_NOPTS_VALUE &&
      av_seek_frame(m_context.get(), m_streamIndex, time, AVSEEK_FLAG_BACKWARD) >= 0) {
    // Find where the seek landed by the first packet it gives.
    for (;;) {
      av_packet_unref(m_packet.get());
      if (av_read_frame(m_context.get(), m_packet.get()) < 0) break;
      if (m_packet->stream_index != m_streamIndex || m_packet->size <= 0) continue;
      for (int32_t i = key; i >= 0; --i) {
        if (m_samples[i].IsSame(*m_packet)) {
          if (i > index) break;  // landed past it
          m_next = i;
          m_pending = true;
          return true;
        }
      }
      break;
    }
  }
  return Restart();
}

// Opens the file again and stands before its first packet: slow, but always right.
bool CDemuxData::Restart() {
  FormatContextPtr context = OpenDemuxer(m_path);
  if (!context) return false;
  m_context = std::move(context);
  m_next = 0;
  m_pending = false;
  return true;
}

// Ranks the samples by presentation time (file order among equal times).
void CDemuxData::OrderByTime() {
  m_shownAt.clear();
  if (std::any_of(m_samples.begin(), m_samples.end(),
                  [](const SSample& s) { return s.m_pts == AV_NOPTS_VALUE; }))
    return;
  std::vector<int32_t> order(m_samples.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int32_t a, int32_t b) { return m_samples[a].m_pts < m_samples[b].m_pts; });
  m_shownAt.resize(order.size());
  for (size_t rank = 0; rank < order.size(); ++rank)
    m_shownAt[order[rank]] = static_cast<int32_t>(rank);
}

}  // namespace corvane
