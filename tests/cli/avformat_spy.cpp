// Loaded into corvane-mix with LD_PRELOAD by the command-line tests, between the program and
// libavformat:
// - CORVANE_TEST_DROP_AUDIO_PACKET=N drops the Nth audio packet (from 1) handed to the muxer, as
//   a muxer that lost it would, so that the read-back of the finished file can be seen to notice;
// - CORVANE_TEST_OUTPUT=PATH and CORVANE_TEST_MAIN=PATH count how often each is opened for
//   reading, the main only from the output's first opening on (the read-back: the mix itself
//   never reads its output), and say so on stderr at exit: "spy: output read N, main read M".
// Everything else goes through unchanged.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

const char* Setting(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

struct CReads {
  const char* m_output = Setting("CORVANE_TEST_OUTPUT");
  const char* m_main = Setting("CORVANE_TEST_MAIN");
  int m_outputReads = 0;
  int m_mainReads = 0;
  ~CReads() {
    if (m_output)
      std::fprintf(stderr, "spy: output read %d, main read %d\n", m_outputReads, m_mainReads);
  }
};

CReads g_reads;

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int avformat_open_input(AVFormatContext** context, const char* url,
                                   const AVInputFormat* format, AVDictionary** options) {
  using Open = int (*)(AVFormatContext**, const char*, const AVInputFormat*, AVDictionary**);
  static const Open open = Next<Open>("avformat_open_input");
  if (url && g_reads.m_output && std::strcmp(url, g_reads.m_output) == 0) ++g_reads.m_outputReads;
  if (url && g_reads.m_main && g_reads.m_outputReads > 0 && std::strcmp(url, g_reads.m_main) == 0)
    ++g_reads.m_mainReads;
  return open ? open(context, url, format, options) : AVERROR(ENOSYS);
}

extern "C" int av_interleaved_write_frame(AVFormatContext* context, AVPacket* packet) {
  using Write = int (*)(AVFormatContext*, AVPacket*);
  static const Write write = Next<Write>("av_interleaved_write_frame");
  static const long drop = [] {
    const char* number = Setting("CORVANE_TEST_DROP_AUDIO_PACKET");
    return number ? std::atol(number) : 0L;
  }();
  static long audioPackets = 0;
  if (context && packet && packet->stream_index >= 0 &&
      static_cast<unsigned>(packet->stream_index) < context->nb_streams &&
      context->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
      ++audioPackets == drop) {
    av_packet_unref(packet);  // the muxer owns what it is given, written or not
    return 0;
  }
  return write ? write(context, packet) : AVERROR(ENOSYS);
}
