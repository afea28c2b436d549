// corvane-mix: runs one mix job from the command line, without the desktop program.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>

#include "cli/mix_host.h"
#include "cli/mix_options.h"
#include "cli/mix_preview.h"
#include "media/avifile.h"
#include "media/demux/demuxfile.h"
#include "media/host.h"
#include "mix/mixjob.h"

extern "C" {
#include <libavutil/log.h>
}

namespace corvane::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// Ctrl-C stops the job the way the desktop program's Stop does: the mixing flag drops and the
// job finishes the frame it is on, copies the sound of the frames written, completes the file
// and returns. A second Ctrl-C ends that copy at the next chunk; a third kills.
void OnInterrupt(int) {
  g_interrupted = 1;
  EngineState().m_mixing.store(0);
  if (++EngineState().m_stopRequests >= 2) std::signal(SIGINT, SIG_DFL);
}

// Length and start of a file's first stream of `type`, and its duration in seconds; false when
// it has none.
// `ourAvi`: whether the file is read by our own AVI reader; `fewestSeconds`: the shortest the
// stream can be, where its length is only a bound until decoded.
bool StreamExtent(const std::string& path, uint32_t type, int32_t& start, int32_t& length,
                  double* seconds = nullptr, bool* ourAvi = nullptr,
                  double* fewestSeconds = nullptr) {
  PAVIFILE file;
  if (CAviFile::Open(path, OF_SHARE_DENY_WRITE, file) != AVIERR_OK || !file) return false;
  AVIFILEINFOW fileInfo{};
  if (ourAvi)
    *ourAvi = file->Info(fileInfo) == AVIERR_OK && std::u16string(fileInfo.szFileType) == u"AVI";
  PAVISTREAM stream;
  if (file->GetStream(stream, type, 0) != AVIERR_OK || !stream) return false;
  start = stream->Start();
  length = stream->Length();
  AVISTREAMINFOA info{};
  if (stream->Info(info) == AVIERR_OK && info.dwRate > 0) {
    if (seconds) *seconds = static_cast<double>(length) * info.dwScale / info.dwRate;
    if (fewestSeconds)
      *fewestSeconds = static_cast<double>(stream->LengthAtLeast()) * info.dwScale / info.dwRate;
  }
  return true;
}

// Reads the finished output back: it must hold every main frame and all of the main audio.
bool OutputIsComplete(const CMixOptions& options, const CMixOutcome& outcome) {
  int32_t start = 0;
  int32_t length = 0;
  if (!StreamExtent(options.m_output, streamtypeVIDEO, start, length) ||
      length < outcome.m_video.m_frameTotal) {
    std::fprintf(stderr, "corvane-mix: %s does not hold every frame of %s\n",
                 options.m_output.c_str(), options.m_main.c_str());
    return false;
  }
  int32_t mainStart = 0;
  int32_t mainLength = 0;
  double mainSeconds = 0.0;
  double seconds = 0.0;
  bool mainIsAvi = false;
  double mainFewestSeconds = 0.0;
  if (!StreamExtent(options.m_main, streamtypeAUDIO, mainStart, mainLength, &mainSeconds,
                    &mainIsAvi, &mainFewestSeconds))
    return true;
  const bool found = StreamExtent(options.m_output, streamtypeAUDIO, start, length, &seconds);
  // An AVI into our AVI keeps the main's samples one for one. Otherwise the packets are kept or
  // the sound is decoded or encoded (a decoded main's length is known only within bounds until
  // it is decoded), so the sound must last as long, within an audio frame or two.
  const bool whole =
      options.m_container->m_kind == EContainer::kAvi && mainIsAvi
          ? found && start == mainStart && length == mainLength
          : found && seconds <= mainSeconds + 0.1 && seconds >= mainFewestSeconds - 0.1;
  if (!whole) {
    std::fprintf(stderr, "corvane-mix: %s does not hold all of the audio of %s\n",
                 options.m_output.c_str(), options.m_main.c_str());
    return false;
  }
  // Sound the container kept as it was (the same codec: what is encoded never is) must be there
  // packet for packet.
  SAudioPacketFacts source, written;
  if (options.m_container->m_kind != EContainer::kAvi &&
      ReadAudioPacketFacts(options.m_main, source) &&
      (!ReadAudioPacketFacts(options.m_output, written) ||
       (written.m_codec == source.m_codec && written.m_packets != source.m_packets))) {
    std::fprintf(stderr, "corvane-mix: %s does not hold every audio packet of %s\n",
                 options.m_output.c_str(), options.m_main.c_str());
    return false;
  }
  return true;
}

bool RefusesToReplace(const CMixOptions& options) {
  struct stat existing {};
  if (options.m_overwrite || ::lstat(options.m_output.c_str(), &existing) != 0) return false;
  std::fprintf(stderr, "corvane-mix: %s exists; use --overwrite to replace it\n",
               options.m_output.c_str());
  return true;
}

int RunPicture(const CMixOptions& options) {
  if (RefusesToReplace(options)) return 2;
  av_log_set_level(AV_LOG_ERROR);
  CCliHost host(AVICOMPRESSOPTIONS{}, ::isatty(STDERR_FILENO) == 1);
  SetHost(&host);
  const int status = RunPreviewFrame(options);
  host.EndProgressLine();
  SetHost(nullptr);
  return status;
}

int Run(const CMixOptions& options) {
  if (options.m_previewFrame) return RunPicture(options);
  if (RefusesToReplace(options)) return 2;
  const auto compression = CompressionFor(options);
  if (!compression) {
    std::fprintf(stderr, "corvane-mix: unknown codec %s\n", options.m_codec.c_str());
    return 2;
  }

  // A write past the file size limit must fail and be reported, not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // The codec library's notes would break up the progress line; its errors still show.
  av_log_set_level(AV_LOG_ERROR);
  CCliHost host(*compression, ::isatty(STDERR_FILENO) == 1);
  SetHost(&host);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGINT, &action, &previous);

  if (!options.m_alphaMode && options.m_keying.m_keyer == EKeyer::kExact) {
    WarnOfNearKeyPixels(options);
    host.EndProgressLine();
  }
  // A name without an extension is written as --format asks.
  EngineState().m_outputContainer.store(
      static_cast<int32_t>(options.m_container - Containers().data()));
  EngineState().m_stopRequests.store(0);
  EngineState().m_mixing.store(1);
  const auto started = std::chrono::steady_clock::now();
  const CMixOutcome outcome =
      options.m_alphaMode
          ? MixAlpha(options.m_main, options.m_topLayer, options.m_output, options.m_red,
                     options.m_green, options.m_blue, options.m_top, options.m_left,
                     options.m_noTransparency ? 0 : 1, options.m_loop ? 1 : 0, options.m_alpha,
                     options.m_layerAlpha, options.m_placement, options.m_keying)
          : MixColourKey(options.m_main, options.m_topLayer, options.m_output, options.m_red,
                         options.m_green, options.m_blue, options.m_top, options.m_left,
                         options.m_loop ? 1 : 0, options.m_layerAlpha, options.m_placement,
                         options.m_keying);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EngineState().m_mixing.store(0);
  sigaction(SIGINT, &previous, nullptr);
  host.EndProgressLine();
  SetHost(nullptr);

  const CVideoPassOutcome& video = outcome.m_video;
  if (video.m_outputCreated) {
    const int32_t videoMs = EngineState().m_videoTime.load();
    const double fps = videoMs > 0 ? video.m_framesWritten * 1000.0 / videoMs : 0.0;
    std::fprintf(stderr,
                 "corvane-mix: %s: %d of %d frames, %.1f fps (video %d ms, audio %d ms, "
                 "total %.0f ms)\n",
                 options.m_output.c_str(), video.m_framesWritten, video.m_frameTotal, fps, videoMs,
                 EngineState().m_audioTime.load(), seconds * 1000.0);
  }
  if (g_interrupted) {
    std::fprintf(stderr, "corvane-mix: stopped; %s holds the frames written so far\n",
                 options.m_output.c_str());
    return 130;
  }
  if (video.m_placementRefused) {
    // The job said why; the placement asked for is the caller's to change.
    std::fprintf(stderr, "corvane-mix: %s was not written\n", options.m_output.c_str());
    return 2;
  }
  if (!outcome.Complete()) {
    if (video.m_result == EVideoPassResult::kNoOutput) {
      std::fprintf(stderr, "corvane-mix: %s was not written\n", options.m_output.c_str());
    }
    return 1;
  }
  if (outcome.m_audio == EAudioCopyResult::kNoAudio) {
    std::fprintf(stderr, "corvane-mix: warning: %s has no audio; %s holds the video alone\n",
                 options.m_main.c_str(), options.m_output.c_str());
  }
  return OutputIsComplete(options, outcome) ? 0 : 1;
}

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  using namespace corvane::cli;
  CMixOptions options;
  const std::string error = ParseMixOptions(argc - 1, argv + 1, options);
  if (!error.empty()) {
    std::fprintf(stderr, "corvane-mix: %s\ncorvane-mix: try 'corvane-mix --help'\n", error.c_str());
    return 2;
  }
  if (options.m_help) {
    PrintMixUsage(stdout);
    return 0;
  }
  if (options.m_listCodecs) {
    PrintCodecList(stdout);
    return 0;
  }
  return Run(options);
}
