// The demuxing under media/demux: a file opened with libavformat, one pass over its packets
// into sample tables, and CDemuxData, which reads any sample of one stream again. Internal to
// media/demux.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/codec/codecutil.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

struct CFormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, CFormatContextDeleter>;

// A packet as the scan saw it: enough to find it again after a seek.
struct SSample {
  int64_t m_position = -1;  // byte position in the file, -1 where the demuxer gives none
  int64_t m_dts = AV_NOPTS_VALUE;
  int64_t m_pts = AV_NOPTS_VALUE;
  int64_t m_duration = 0;
  int32_t m_size = 0;
  bool m_key = false;

  bool IsSame(const AVPacket& packet) const {
    return packet.size == m_size && packet.dts == m_dts && packet.pts == m_pts &&
           (m_position < 0 || packet.pos < 0 || packet.pos == m_position);
  }
};

// Opens `path` and reads its stream facts; null on failure, with the reason in `why` when given
// ("unknown format, or a damaged file", the system's text for a missing file...). Text files,
// which libavformat would render as ANSI art, are refused.
FormatContextPtr OpenDemuxer(const std::string& path, std::string* why = nullptr);

// The first video stream (attached cover pictures are not video) and the first audio stream;
// -1 when there is none.
int FirstVideoStream(const AVFormatContext& context);
int FirstAudioStream(const AVFormatContext& context);

// Reads every packet header once into the tables of the wanted streams (index -1: none). A read
// error ends the scan there: a damaged tail ends the streams where it starts. `progress`, when
// given, is told the share of the file read (in thousandths) every so often; the scan stops when
// it returns false.
enum class EScanResult { kDone, kOutOfMemory, kStopped };
EScanResult ScanPackets(AVFormatContext& context, int video, int audio,
                        std::vector<SSample>& videoSamples, std::vector<SSample>& audioSamples,
                        const std::function<bool(int32_t permille)>& progress = nullptr);

// One stream's demuxer and sample table, shared by the file and the stream. Owns its demuxer:
// each stream has one of its own, so reading the video and the audio in turn never makes them
// seek. A sample is read by going on from the last one read, or by seeking to the key frame
// before it; where a seek cannot be placed exactly, the file is opened again and read from the
// start. Used by one thread at a time.
class CDemuxData {
 public:
  // `context` may be null: the demuxer is then opened on the first read.
  CDemuxData(std::string path, FormatContextPtr context, int streamIndex,
             std::vector<SSample> samples);

  // Allocates the packet reads go through; false when memory runs out.
  bool Init();

  // Reads sample `index` into `buffer` (at least its size). False when it cannot be read.
  bool ReadSample(int32_t index, uint8_t* buffer);
  // The alpha data the container keeps beside sample `index` (Matroska's BlockAdditional),
  // when `index` was the last sample read.
  bool LastAlpha(int32_t index, std::vector<uint8_t>& alpha) const {
    if (index != m_alphaIndex) return false;
    alpha = m_alpha;
    return true;
  }

  // Where sample `index` is shown; -1 when the packets carry no presentation times.
  int32_t ShownAt(int32_t index) const {
    return m_shownAt.empty() ? -1 : m_shownAt[static_cast<size_t>(index)];
  }

  const std::vector<SSample>& Samples() const { return m_samples; }
  // The stream's facts; only while the demuxer given at construction is open.
  const AVStream& Stream() const { return *m_context->streams[m_streamIndex]; }

 private:
  bool ReadNext();
  bool SeekTo(int32_t index);
  bool Restart();
  void OrderByTime();

  std::string m_path;
  FormatContextPtr m_context;
  int m_streamIndex;
  std::vector<SSample> m_samples;
  std::vector<int32_t> m_shownAt;  // by sample: its place in presentation order
  PacketPtr m_packet;
  int64_t m_next = -1;           // the sample the next read gives; -1 when not known
  bool m_pending = false;        // m_packet already holds sample m_next
  std::vector<uint8_t> m_alpha;  // beside the sample read last, m_alphaIndex
  int32_t m_alphaIndex = -1;
};

}  // namespace corvane
