#include "media/mux/muxplain.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "media/codec/codecutil.h"
#include "media/demux/demuxdata.h"
#include "media/host.h"
#include "media/mux/muxoutput.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {
namespace {

// The reason a failed libav call gives, in its own words.
std::string Reason(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

bool StartsWithStartCode(const uint8_t* data, int size) {
  return size >= 3 && data[0] == 0 && data[1] == 0 &&
         (data[2] == 1 || (size >= 4 && data[2] == 0 && data[3] == 1));
}

bool CopyExtradata(const AVCodecParameters& from, AVCodecParameters& to) {
  av_freep(&to.extradata);
  to.extradata_size = 0;
  if (from.extradata_size <= 0) return true;
  to.extradata = static_cast<uint8_t*>(
      av_mallocz(static_cast<size_t>(from.extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!to.extradata) return false;
  std::memcpy(to.extradata, from.extradata, static_cast<size_t>(from.extradata_size));
  to.extradata_size = from.extradata_size;
  return true;
}

HRESULT CopyPackets(AVFormatContext& input, AVFormatContext& output, const std::vector<int>& mapped,
                    const CPacketLog* log, int& error) {
  PacketPtr packet(av_packet_alloc());
  if (!packet) return AVIERR_MEMORY;
  // Each stream's packets come back in the order they were written.
  std::vector<size_t> counts(mapped.size(), 0);
  for (;;) {
    const int read = av_read_frame(&input, packet.get());
    if (read == AVERROR_EOF) return AVIERR_OK;
    if (read < 0) {
      error = read;
      return AVIERR_FILEREAD;
    }
    const int index = packet->stream_index;
    if (index < 0 || index >= static_cast<int>(mapped.size()) || mapped[index] < 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const bool logged = log && log->Restore(mapped[index], counts[index]++, *packet);
    packet->stream_index = mapped[index];
    if (!logged)
      av_packet_rescale_ts(packet.get(), input.streams[index]->time_base,
                           output.streams[mapped[index]]->time_base);
    packet->pos = -1;
    const int written = av_interleaved_write_frame(&output, packet.get());
    if (written < 0) {
      error = written;
      return AVIERR_FILEWRITE;
    }
  }
}

HRESULT CopyToPlainFile(const std::string& from, const std::string& to,
                        const CContainerInfo& container, const CPacketLog* log, int& error) {
  FormatContextPtr input = OpenDemuxer(from);
  if (!input) {
    error = AVERROR_INVALIDDATA;
    return AVIERR_FILEREAD;
  }
  AVFormatContext* rawOutput = nullptr;
  error = avformat_alloc_output_context2(&rawOutput, nullptr, container.m_muxer, to.c_str());
  if (error < 0 || !rawOutput) return AVIERR_MEMORY;
  OutputPtr output(rawOutput);

  // Every stream the fragments hold, with the clock it was written on, so that each packet's
  // times come out as they went in.
  std::vector<int> mapped(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* source = input->streams[i];
    const AVMediaType type = source->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
    const int index = static_cast<int>(i);
    const AVCodecParameters* kept = log ? log->Parameters(index) : nullptr;
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    if (!stream || avcodec_parameters_copy(stream->codecpar, kept ? kept : source->codecpar) < 0)
      return AVIERR_MEMORY;
    // An encoder's start codes (H.264, HEVC) were turned into the container's form of the
    // codec's configuration, as its packets were: the copy takes them as the fragments hold
    // them.
    if (kept && StartsWithStartCode(kept->extradata, kept->extradata_size) &&
        !CopyExtradata(*source->codecpar, *stream->codecpar))
      return AVIERR_MEMORY;
    stream->codecpar->codec_tag = 0;
    stream->time_base = kept ? log->TimeBase(index) : source->time_base;
    stream->avg_frame_rate = source->avg_frame_rate;
    stream->disposition = source->disposition;
    mapped[i] = stream->index;
  }
  error = avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE);
  if (error < 0) return AVIERR_FILEWRITE;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+faststart", 0);
  error = avformat_write_header(output.get(), &options);
  av_dict_free(&options);
  if (error < 0) return AVIERR_FILEWRITE;
  const HRESULT copied = CopyPackets(*input, *output, mapped, log, error);
  if (copied != AVIERR_OK) return copied;
  error = av_write_trailer(output.get());
  if (error < 0) return AVIERR_FILEWRITE;
  error = avio_closep(&output->pb);
  return error < 0 ? AVIERR_FILEWRITE : AVIERR_OK;
}

}  // namespace

struct CPacketLog::CStream {
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> m_parameters{
      nullptr, [](AVCodecParameters* p) { avcodec_parameters_free(&p); }};
  AVRational m_timeBase{1, 1};
};

CPacketLog::CPacketLog() = default;
CPacketLog::~CPacketLog() = default;

bool CPacketLog::KeepStreams(const AVFormatContext& output) {
  try {
    m_kept.clear();
    for (unsigned i = 0; i < output.nb_streams; ++i) {
      CStream kept;
      kept.m_parameters.reset(avcodec_parameters_alloc());
      if (!kept.m_parameters ||
          avcodec_parameters_copy(kept.m_parameters.get(), output.streams[i]->codecpar) < 0) {
        m_kept.clear();
        return false;
      }
      kept.m_timeBase = output.streams[i]->time_base;
      m_kept.push_back(std::move(kept));
    }
  } catch (const std::bad_alloc&) {
    m_kept.clear();
    return false;
  }
  return true;
}

const AVCodecParameters* CPacketLog::Parameters(int stream) const {
  if (stream < 0 || static_cast<size_t>(stream) >= m_kept.size()) return nullptr;
  return m_kept[static_cast<size_t>(stream)].m_parameters.get();
}

AVRational CPacketLog::TimeBase(int stream) const {
  if (stream < 0 || static_cast<size_t>(stream) >= m_kept.size()) return AVRational{1, 1};
  return m_kept[static_cast<size_t>(stream)].m_timeBase;
}

bool CPacketLog::Add(const AVPacket& packet) {
  if (!m_whole) return false;
  try {
    const auto stream = static_cast<size_t>(packet.stream_index);
    if (m_streams.size() <= stream) m_streams.resize(stream + 1);
    m_streams[stream].push_back({packet.pts, packet.dts, packet.duration, packet.flags});
  } catch (const std::bad_alloc&) {
    m_streams.clear();
    m_whole = false;
  }
  return m_whole;
}

bool CPacketLog::Restore(int stream, size_t index, AVPacket& packet) const {
  if (!m_whole || stream < 0 || static_cast<size_t>(stream) >= m_streams.size() ||
      index >= m_streams[static_cast<size_t>(stream)].size())
    return false;
  const CTimes& times = m_streams[static_cast<size_t>(stream)][index];
  packet.pts = times.m_pts;
  packet.dts = times.m_dts;
  packet.duration = times.m_duration;
  packet.flags = times.m_flags;
  return true;
}

HRESULT CopyToPlainFile(const std::string& from, const std::string& to,
                        const CContainerInfo& container, const CPacketLog* log) {
  QuietCodecLogging();
  int error = 0;
  return CopyToPlainFile(from, to, container, log, error);
}

bool MakePlain(const std::string& path, const CContainerInfo& container, const CPacketLog* log,
               std::string& why) {
  QuietCodecLogging();
  namespace fs = std::filesystem;
  const fs::path target(path);
  // Beside the file, so that the rename is within one file system and takes no copy.
  const fs::path temporary =
      target.parent_path() / ("." + target.filename().string() + ".corvane-plain");
  int error = 0;
  HRESULT copied = AVIERR_MEMORY;
  try {
    copied = CopyToPlainFile(path, temporary.string(), container, log, error);
  } catch (const std::bad_alloc&) {
    copied = AVIERR_MEMORY;
  }
  std::error_code ignored;
  if (copied == AVIERR_OK && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  const int renameError = errno;
  fs::remove(temporary, ignored);
  std::string reason;
  if (copied == AVIERR_OK)
    reason = std::generic_category().message(renameError);
  else if (error == AVERROR(ENOSPC) || error == AVERROR(EFBIG))
    reason = "no room for the copy";
  else if (copied == AVIERR_MEMORY)
    reason = "out of memory";
  else
    reason = Reason(error);
  why = Format(
      "%s is kept as it was written, in fragments of about a second: it could not be rewritten "
      "with its index at the front (%s). It plays as it is; corvane-avi copy %s NEW makes a plain "
      "copy of it.",
      path.c_str(), reason.c_str(), path.c_str());
  return false;
}

}  // namespace corvane
