#include "media/demux/demuxfile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "media/codec/codecutil.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace corvane {
namespace {

struct CFormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, CFormatContextDeleter>;

// A packet as the scan saw it: enough to find it again after a seek.
struct SSample {
  int64_t m_position = -1;  // byte position in the file, -1 where the demuxer gives none
  int64_t m_dts = AV_NOPTS_VALUE;
  int64_t m_pts = AV_NOPTS_VALUE;
  int32_t m_size = 0;
  bool m_key = false;

  bool IsSame(const AVPacket& packet) const {
    return packet.size == m_size && packet.dts == m_dts && packet.pts == m_pts &&
           (m_position < 0 || packet.pos < 0 || packet.pos == m_position);
  }
};

FormatContextPtr OpenDemuxer(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  FormatContextPtr context(raw);
  if (avformat_find_stream_info(context.get(), nullptr) < 0) return nullptr;
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

// The demuxer and the sample table of its video stream, shared by the file and the stream.
class CDemuxData {
 public:
  CDemuxData(std::string path, FormatContextPtr context, int streamIndex)
      : m_path(std::move(path)), m_context(std::move(context)), m_streamIndex(streamIndex) {}

  // Reads every packet header once. False on a read error before the end or out of memory.
  bool Scan(PacketPtr& packet) {
    for (;;) {
      const int result = av_read_frame(m_context.get(), packet.get());
      if (result == AVERROR_EOF) break;
      if (result < 0) return !m_samples.empty();  // a damaged tail ends the stream there
      if (packet->stream_index == m_streamIndex && packet->size > 0) {
        m_samples.push_back({packet->pos, packet->dts, packet->pts, packet->size,
                             (packet->flags & AV_PKT_FLAG_KEY) != 0});
      }
      av_packet_unref(packet.get());
    }
    if (m_samples.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
    // Without key flags (some raw and image demuxers) every packet stands alone.
    if (std::none_of(m_samples.begin(), m_samples.end(), [](const SSample& s) { return s.m_key; }))
      for (SSample& sample : m_samples) sample.m_key = true;
    m_next = -1;  // the scan ran to the end
    OrderByTime();
    return true;
  }

  // Where sample `index` is shown; -1 when the packets carry no presentation times.
  int32_t ShownAt(int32_t index) const {
    return m_shownAt.empty() ? -1 : m_shownAt[static_cast<size_t>(index)];
  }

  // Reads sample `index` into `buffer` (at least its size). False when it cannot be read.
  bool ReadSample(int32_t index, uint8_t* buffer) {
    if (m_next != index && !SeekTo(index)) return false;
    while (m_next < index) {
      if (!ReadNext()) return false;
    }
    if (!ReadNext()) return false;
    std::memcpy(buffer, m_packet->data, static_cast<size_t>(m_packet->size));
    av_packet_unref(m_packet.get());
    return true;
  }

  const std::vector<SSample>& Samples() const { return m_samples; }
  const AVStream& Stream() const { return *m_context->streams[m_streamIndex]; }
  const AVFormatContext& Context() const { return *m_context; }

  bool Init() {
    m_packet.reset(av_packet_alloc());
    return m_packet != nullptr;
  }

 private:
  // Reads the next packet of the stream into m_packet and checks it is the sample the table
  // has at m_next. Leaves m_next at -1 (position unknown) on any failure.
  bool ReadNext() {
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
  bool SeekTo(int32_t index) {
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
  bool Restart() {
    FormatContextPtr context = OpenDemuxer(m_path);
    if (!context) return false;
    m_context = std::move(context);
    m_next = 0;
    m_pending = false;
    return true;
  }

  // Ranks the samples by presentation time (file order among equal times).
  void OrderByTime() {
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

  std::string m_path;
  FormatContextPtr m_context;
  int m_streamIndex;
  std::vector<SSample> m_samples;
  std::vector<int32_t> m_shownAt;  // by sample: its place in presentation order
  PacketPtr m_packet;
  int64_t m_next = 0;      // the sample the next read gives; -1 when not known
  bool m_pending = false;  // m_packet already holds sample m_next
};

class CDemuxVideoStream final : public CAviStream {
 public:
  explicit CDemuxVideoStream(std::shared_ptr<CDemuxData> data) : m_data(std::move(data)) {
    const AVStream& stream = m_data->Stream();
    const AVCodecParameters& codec = *stream.codecpar;
    const uint32_t tag = FourCCForVideoCodec(codec.codec_id);

    BITMAPINFOHEADER header{};
    header.biSize = static_cast<uint32_t>(sizeof header) + codec.extradata_size;
    header.biWidth = codec.width;
    header.biHeight = codec.height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = tag;
    header.biSizeImage = static_cast<uint32_t>(int64_t{codec.width} * codec.height * 3);
    m_format.resize(sizeof header);
    std::memcpy(m_format.data(), &header, sizeof header);
    if (codec.extradata_size > 0)
      m_format.insert(m_format.end(), codec.extradata, codec.extradata + codec.extradata_size);

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
    m_info.rcFrame = {0, 0, codec.width, codec.height};
  }

  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = m_info;
    return AVIERR_OK;
  }

  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const int32_t total = static_cast<int32_t>(m_format.size());
    if (!format) {
      *size = total;
      return AVIERR_OK;
    }
    *size = std::clamp(*size, 0, total);
    std::memcpy(format, m_format.data(), static_cast<size_t>(*size));
    return AVIERR_OK;
  }

  HRESULT SetFormat(int32_t, const void*, int32_t) override { return AVIERR_READONLY; }
  int32_t Start() const override { return 0; }
  int32_t Length() const override { return static_cast<int32_t>(m_data->Samples().size()); }

  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t bufferSize, int32_t* bytesRead,
               int32_t* samplesRead) override {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    if (samples < 0 && samples != AVISTREAMREAD_CONVENIENT) return AVIERR_BADPARAM;
    if (start < 0 || start >= Length()) return AVIERR_NODATA;
    if (samples == 0) return AVIERR_OK;
    const int32_t size = m_data->Samples()[start].m_size;
    if (buffer) {
      if (bufferSize < size) return AVIERR_BUFFERTOOSMALL;
      if (!m_data->ReadSample(start, static_cast<uint8_t*>(buffer))) return AVIERR_FILEREAD;
    }
    if (bytesRead) *bytesRead = size;
    if (samplesRead) *samplesRead = 1;
    return AVIERR_OK;
  }

  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t*, int32_t*) override {
    return AVIERR_READONLY;
  }

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
  std::shared_ptr<CDemuxData> m_data;
  AVISTREAMINFOA m_info{};
  std::vector<uint8_t> m_format;
};

class CDemuxFile final : public CAviFile {
 public:
  explicit CDemuxFile(std::shared_ptr<CDemuxData> data) : m_data(std::move(data)) {}

  HRESULT Info(AVIFILEINFOW& info) const override {
    info = {};
    const AVCodecParameters& codec = *m_data->Stream().codecpar;
    AVISTREAMINFOA stream{};
    Video()->Info(stream);
    info.dwStreams = 1;
    info.dwWidth = static_cast<uint32_t>(codec.width);
    info.dwHeight = static_cast<uint32_t>(codec.height);
    info.dwScale = stream.dwScale;
    info.dwRate = stream.dwRate;
    info.dwLength = stream.dwLength;
    info.dwSuggestedBufferSize = stream.dwSuggestedBufferSize;
    const char* name = m_data->Context().iformat->name;
    for (size_t i = 0; name[i] && i + 1 < std::size(info.szFileType); ++i)
      info.szFileType[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
    return AVIERR_OK;
  }

  HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) override {
    stream.reset();
    if ((fccType != 0 && fccType != streamtypeVIDEO) || index != 0) return AVIERR_NODATA;
    stream = Video();
    return stream ? AVIERR_OK : AVIERR_MEMORY;
  }

  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA&) override {
    stream.reset();
    return AVIERR_READONLY;
  }

 private:
  // One stream object for the file's lifetime, made on first use.
  PAVISTREAM Video() const {
    if (!m_video) {
      try {
        m_video = std::make_shared<CDemuxVideoStream>(m_data);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
    }
    return m_video;
  }

  std::shared_ptr<CDemuxData> m_data;
  mutable PAVISTREAM m_video;
};

}  // namespace

HRESULT OpenDemuxFile(const std::string& path, PAVIFILE& file) {
  file.reset();
  QuietCodecLogging();
  FormatContextPtr context = OpenDemuxer(path);
  if (!context) return AVIERR_FILEOPEN;
  const int video = FirstVideoStream(*context);
  if (video < 0) return AVIERR_NODATA;
  try {
    auto data = std::make_shared<CDemuxData>(path, std::move(context), video);
    PacketPtr packet(av_packet_alloc());
    if (!packet || !data->Init()) return AVIERR_MEMORY;
    if (!data->Scan(packet)) return AVIERR_FILEREAD;
    if (data->Samples().empty()) return AVIERR_NODATA;
    file = std::make_shared<CDemuxFile>(std::move(data));
    return AVIERR_OK;
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  }
}

}  // namespace corvane
