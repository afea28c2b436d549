#include "media/mux/muxfile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "media/codec/codecutil.h"
#include "media/host.h"
#include "media/mux/muxaudio.h"
#include "media/mux/muxoutput.h"
#include "media/mux/muxplain.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {
namespace {

constexpr int64_t kWrittenEveryMs = 900;

class CMuxFile final : public CAviFile, public std::enable_shared_from_this<CMuxFile> {
 public:
  CMuxFile(OutputPtr output, const CContainerInfo& container, std::string path)
      : m_output(std::move(output)), m_container(container), m_path(std::move(path)) {}
  ~CMuxFile() override {
    if (!m_finished) End(false, false);
  }

  HRESULT Info(AVIFILEINFOW& info) const override {
    info = AVIFILEINFOW{};
    return AVIERR_OK;
  }
  HRESULT GetStream(PAVISTREAM& stream, uint32_t, int32_t) override {
    stream.reset();
    return AVIERR_NODATA;
  }
  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA& info) override;
  bool TakesAudioWithVideo() const override { return true; }
  HRESULT CarryAudioFrom(const std::string& mainPath) override {
    if (m_audio || m_headerWritten) return AVIERR_UNSUPPORTED;
    try {
      auto audio = std::make_unique<CMuxAudio>();
      const HRESULT opened = audio->Open(mainPath, m_container, *m_output,
                                         [this](AVPacket& packet) { return Write(packet); });
      // Sound that can be neither kept nor decoded.
      if (opened == AVIERR_UNSUPPORTED) return AVIERR_BADFORMAT;
      if (opened != AVIERR_OK) return opened;
      m_audio = std::move(audio);
      m_audioSource = mainPath;
    } catch (const std::bad_alloc&) {
      return AVIERR_MEMORY;
    }
    return AVIERR_OK;
  }
  HRESULT Finish(bool whole) override { return End(whole, true); }
  HRESULT End(bool whole, bool report) {
    if (m_finished) return m_finishResult;
    m_finished = true;
    HRESULT result = WriteHeader();
    if (result == AVIERR_OK && m_audio && !m_audio->Finish(whole ? -1.0 : m_videoEnd))
      result = AVIERR_FILEWRITE;
    if (m_audio) SayAudioFaults(report);
    if (m_headerWritten && av_write_trailer(m_output.get()) < 0 && result == AVIERR_OK)
      result = AVIERR_FILEWRITE;
    if (m_output->pb && avio_closep(&m_output->pb) < 0 && result == AVIERR_OK)
      result = AVIERR_FILEWRITE;
    // Fragments that all reached the disk become one plain file; a file whose writing failed
    // stays as it is, playable up to its last whole fragment.
    if (result == AVIERR_OK && Fragmented()) {
      m_log.KeepStreams(*m_output);
      std::string why;
      if (!MakePlain(m_path, m_container, &m_log, why) && report)
        ShowMessage(why, MB_ICONINFORMATION);
    }
    m_finishResult = result;
    return result;
  }

  HRESULT CarriedAudioResult() const override { return m_audioResult; }

  // For the video stream.
  SWriterNeeds Needs() const {
    SWriterNeeds needs;
    needs.m_globalHeader = (m_output->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    needs.m_playerPictures = true;
    needs.m_noReordering = m_times != nullptr;
    return needs;
  }
  HRESULT SetFrameTimes(const SPresentationTimes& times) {
    if (m_video || times.m_starts.empty() || times.m_unitNum <= 0 || times.m_unitDen <= 0 ||
        times.m_unitNum > INT32_MAX || times.m_unitDen > INT32_MAX)
      return AVIERR_BADPARAM;
    try {
      m_times = std::make_shared<SPresentationTimes>(times);
    } catch (const std::bad_alloc&) {
      return AVIERR_MEMORY;
    }
    return AVIERR_OK;
  }
  HRESULT AddVideo(const AVCodecContext& encoder) {
    if (m_video || m_headerWritten) return AVIERR_UNSUPPORTED;
    m_video = avformat_new_stream(m_output.get(), nullptr);
    if (!m_video) return AVIERR_MEMORY;
    if (avcodec_parameters_from_context(m_video->codecpar, &encoder) < 0) return AVIERR_MEMORY;
    m_video->codecpar->codec_tag = 0;
    // Frames with times of their own are written on the main's clock.
    m_video->time_base = m_times ? AVRational{static_cast<int>(m_times->m_unitNum),
                                              static_cast<int>(m_times->m_unitDen)}
                                 : encoder.time_base;
    m_video->avg_frame_rate = encoder.framerate;
    m_encoderTimeBase = encoder.time_base;
    return AVIERR_OK;
  }
  HRESULT WriteVideo(int64_t presentation, int64_t decoding, const void* data, int32_t size,
                     uint32_t flags) {
    if (!m_video || m_finished) return AVIERR_UNSUPPORTED;
    const HRESULT header = WriteHeader();
    if (header != AVIERR_OK) return header;
    if (!m_packet) m_packet.reset(av_packet_alloc());
    AVPacket* packet = m_packet.get();
    if (!packet || av_new_packet(packet, size) < 0) return AVIERR_MEMORY;
    std::memcpy(packet->data, data, static_cast<size_t>(size));
    AVRational clock = m_encoderTimeBase;
    double end = static_cast<double>(presentation + 1) * av_q2d(m_encoderTimeBase);
    packet->pts = presentation;
    packet->dts = decoding;
    packet->duration = 1;
    const auto frames = m_times ? static_cast<int64_t>(m_times->m_starts.size()) : 0;
    if (m_times && presentation >= 0 && presentation < frames) {
      // Without B-frames a packet is shown when it is decoded: both at the frame's own time.
      const auto& starts = m_times->m_starts;
      clock =
          AVRational{static_cast<int>(m_times->m_unitNum), static_cast<int>(m_times->m_unitDen)};
      const int64_t next =
          presentation + 1 < frames ? starts[presentation + 1] : m_times->m_duration;
      packet->pts = starts[presentation];
      packet->dts = packet->pts;
      packet->duration = std::max<int64_t>(next - starts[presentation], 1);
      end = static_cast<double>(next) * av_q2d(clock);
    }
    if (flags & AVIIF_KEYFRAME) packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = m_video->index;
    av_packet_rescale_ts(packet, clock, m_video->time_base);
    // The muxer takes the packet's data and leaves it empty for the next frame.
    if (!Write(*packet)) return AVIERR_FILEWRITE;
    // The sound up to the end of the latest picture follows it.
    m_videoEnd = std::max(m_videoEnd, end);
    if (m_audio && !m_audio->WriteUntil(m_videoEnd)) return AVIERR_FILEWRITE;
    return AVIERR_OK;
  }

 private:
  HRESULT WriteHeader() {
    if (m_headerWritten) return AVIERR_OK;
    if (m_headerFailed) return AVIERR_FILEWRITE;
    AVDictionary* options = nullptr;
    // A fragment (MP4, MOV) or cluster (Matroska, WebM) about every second, each handed to the
    // file as it closes, so that a kill or a full disk loses at most the last second. Just under
    // a second: a unit closes only when the frame after it comes, and the encoder's reordering
    // may keep a frame or two of those counted as written behind.
    if (Fragmented()) {
      // An index without samples first, so that players take the length from the fragments
      // that made it to the disk. Each track of it starts at time 0: the B-frames' delay and
      // the sound's priming samples are not kept there (a frame or two), only in the plain copy.
      av_dict_set(&options, "movflags", "+empty_moov+default_base_moof", 0);
      av_dict_set_int(&options, "frag_duration", kWrittenEveryMs * 1000, 0);
    } else {
      av_dict_set_int(&options, "cluster_time_limit", kWrittenEveryMs, 0);
    }
    m_output->flush_packets = 1;
    const int written = avformat_write_header(m_output.get(), &options);
    av_dict_free(&options);
    if (written < 0) {
      m_headerFailed = true;
      return AVIERR_FILEWRITE;
    }
    m_headerWritten = true;
    return AVIERR_OK;
  }
  // Every packet of either stream goes to the muxer here; those of a fragmented file are logged
  // for its plain copy.
  bool Write(AVPacket& packet) {
    if (Fragmented()) m_log.Add(packet);
    return av_interleaved_write_frame(m_output.get(), &packet) >= 0;
  }
  // A sound that was not all written is never passed over in silence.
  void SayAudioFaults(bool report) {
    const CMuxAudio::CFaults& faults = m_audio->Faults();
    if (faults.m_damagedPackets > 0) {
      m_audioResult = AVIERR_BADFORMAT;
      if (report)
        ShowMessage(Format(faults.m_damagedPackets == 1
                               ? "%lld damaged audio packet of %s could not be decoded and was "
                                 "left out of %s"
                               : "%lld damaged audio packets of %s could not be decoded and were "
                                 "left out of %s",
                           static_cast<long long>(faults.m_damagedPackets), m_audioSource.c_str(),
                           m_path.c_str()),
                    MB_ICONINFORMATION);
    }
    if (faults.m_readError != 0) {
      m_audioResult = AVIERR_FILEREAD;
      char reason[AV_ERROR_MAX_STRING_SIZE] = {};
      av_strerror(faults.m_readError, reason, sizeof reason);
      if (report)
        ShowMessage(Format("The audio of %s could not be read after %.2f s (%s): the sound of %s "
                           "ends there",
                           m_audioSource.c_str(), faults.m_soundEnd, reason, m_path.c_str()),
                    MB_ICONINFORMATION);
    }
  }
  bool Fragmented() const {
    return m_container.m_kind == EContainer::kMp4 || m_container.m_kind == EContainer::kMov;
  }

  OutputPtr m_output;
  const CContainerInfo& m_container;
  std::string m_path;
  CPacketLog m_log;  // fragmented files: every packet's times, as handed to the muxer
  std::unique_ptr<CMuxAudio> m_audio;
  std::string m_audioSource;  // the main whose sound m_audio takes
  HRESULT m_audioResult = AVIERR_OK;
  AVStream* m_video = nullptr;  // owned by m_output
  AVRational m_encoderTimeBase{1, 25};
  std::shared_ptr<SPresentationTimes> m_times;  // the main's frame times, when kept
  PacketPtr m_packet;                           // each video frame's, in turn
  double m_videoEnd = 0.0;                      // seconds: the end of the latest picture written
  bool m_headerWritten = false;
  bool m_headerFailed = false;
  bool m_finished = false;
  HRESULT m_finishResult = AVIERR_OK;
};

class CMuxVideoStream final : public CAviStream {
 public:
  CMuxVideoStream(std::shared_ptr<CMuxFile> file, const AVISTREAMINFOA& info)
      : m_file(std::move(file)), m_info(info) {}

  HRESULT Info(AVISTREAMINFOA& info) const override {
    info = m_info;
    info.dwLength = static_cast<uint32_t>(m_written);
    return AVIERR_OK;
  }
  HRESULT ReadFormat(int32_t, void*, int32_t* size) override {
    if (size) *size = 0;
    return AVIERR_NODATA;
  }
  // Full frames have no place in these containers: only an encoder's packets are taken.
  HRESULT SetFormat(int32_t, const void* format, int32_t size) override {
    if (!format || size < static_cast<int32_t>(sizeof(BITMAPINFOHEADER))) return AVIERR_BADFORMAT;
    BITMAPINFOHEADER header;
    std::memcpy(&header, format, sizeof header);
    return header.biCompression == BI_RGB ? AVIERR_UNSUPPORTED : AVIERR_OK;
  }
  int32_t Start() const override { return 0; }
  int32_t Length() const override { return m_written; }
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t* bytesRead,
               int32_t* samplesRead) override {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    return AVIERR_UNSUPPORTED;
  }
  HRESULT Write(int32_t, int32_t, const void*, int32_t, uint32_t, int32_t* samplesWritten,
                int32_t* bytesWritten) override {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    return AVIERR_UNSUPPORTED;
  }
  int32_t FindSample(int32_t, uint32_t) const override { return -1; }
  SWriterNeeds WriterNeeds() const override { return m_file->Needs(); }
  HRESULT SetFrameTimes(const SPresentationTimes& times) override {
    return m_file->SetFrameTimes(times);
  }
  HRESULT SetEncoder(const AVCodecContext& encoder) override { return m_file->AddVideo(encoder); }
  HRESULT WritePacket(int32_t position, int64_t presentation, int64_t decoding, const void* data,
                      int32_t size, uint32_t flags) override {
    const HRESULT written = m_file->WriteVideo(presentation, decoding, data, size, flags);
    if (written == AVIERR_OK) m_written = std::max(m_written, position + 1);
    return written;
  }

 private:
  std::shared_ptr<CMuxFile> m_file;
  AVISTREAMINFOA m_info;
  int32_t m_written = 0;
};

HRESULT CMuxFile::CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA& info) {
  stream.reset();
  if (info.fccType != streamtypeVIDEO || m_video) return AVIERR_UNSUPPORTED;
  try {
    stream = std::make_shared<CMuxVideoStream>(shared_from_this(), info);
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  }
  return AVIERR_OK;
}

}  // namespace

HRESULT OpenMuxWriter(const std::string& path, const CContainerInfo& container, PAVIFILE& file) {
  file.reset();
  QuietCodecLogging();
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, container.m_muxer, path.c_str()) < 0 || !raw)
    return AVIERR_FILEOPEN;
  OutputPtr output(raw);
  if (avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return AVIERR_FILEOPEN;
  try {
    file = std::make_shared<CMuxFile>(std::move(output), container, path);
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  }
  return AVIERR_OK;
}

}  // namespace corvane
