// corvane-mix: runs one mix job from the command line, without the desktop program.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/mix_host.h"
#include "cli/mix_options.h"
#include "cli/mix_preview.h"
#include "media/avifile.h"
#include "media/demux/demuxfile.h"
#include "media/host.h"
#include "mix/mixjob.h"
#include "mix/recipe.h"
#include "mix/stitch.h"

extern "C" {
#include <libavutil/log.h>
}

namespace corvane::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
// What the first Ctrl-C writes at once; on a terminal it takes the progress line's place.
const char* g_stoppingLine = "corvane-mix: Stopping\u2026 (finishing the file)\n";

// Ctrl-C stops the job the way the desktop program's Stop does: the mixing flag drops and the
// job finishes the frame it is on, copies the sound of the frames written, completes the file
// and returns. A second Ctrl-C ends that copy at the next chunk; a third kills.
void OnInterrupt(int) {
  if (!g_interrupted) {
    const ssize_t ignored = ::write(STDERR_FILENO, g_stoppingLine, std::strlen(g_stoppingLine));
    (void)ignored;
  }
  g_interrupted = 1;
  EngineState().m_mixing.store(0);
  if (++EngineState().m_stopRequests >= 2) std::signal(SIGINT, SIG_DFL);
}

// What the read-back needs of one file, all from one opening of it: a long MP4 or MKV is scanned
// whole each time it is opened.
struct SReadBack {
  bool m_ourAvi = false;  // read by our own AVI reader
  bool m_hasVideo = false;
  int32_t m_videoLength = 0;
  bool m_hasAudio = false;  // its first audio stream as our readers offer it
  int32_t m_audioStart = 0;
  int32_t m_audioLength = 0;
  double m_audioSeconds = 0.0;
  // The shortest the audio can be, where its length is only a bound until decoded.
  double m_audioFewestSeconds = 0.0;
  bool m_hasPackets = false;  // libavformat reads a first audio stream: `m_packets`
  SAudioPacketFacts m_packets;
};

// `packets`: whether the audio packet facts are wanted.
SReadBack ReadBack(const std::string& path, bool packets) {
  SReadBack back;
  PAVIFILE file;
  if (OpenWithAudioPacketFacts(path, file, packets ? &back.m_packets : nullptr,
                               &back.m_hasPackets) != AVIERR_OK ||
      !file)
    return back;
  back.m_ourAvi = IsAviFile(path);
  PAVISTREAM video;
  if (file->GetStream(video, streamtypeVIDEO, 0) == AVIERR_OK && video) {
    back.m_hasVideo = true;
    back.m_videoLength = video->Length();
  }
  PAVISTREAM audio;
  if (file->GetStream(audio, streamtypeAUDIO, 0) == AVIERR_OK && audio) {
    back.m_hasAudio = true;
    back.m_audioStart = audio->Start();
    back.m_audioLength = audio->Length();
    AVISTREAMINFOA info{};
    if (audio->Info(info) == AVIERR_OK && info.dwRate > 0) {
      back.m_audioSeconds = static_cast<double>(back.m_audioLength) * info.dwScale / info.dwRate;
      back.m_audioFewestSeconds =
          static_cast<double>(audio->LengthAtLeast()) * info.dwScale / info.dwRate;
    }
  }
  return back;
}

// Reads the finished output back: it must hold every main frame and all of the main audio.
bool OutputIsComplete(const CMixOptions& options, const CMixOutcome& outcome) {
  // Packets are compared only outside AVI, whose sound is copied sample for sample.
  const bool packets = options.m_container->m_kind != EContainer::kAvi;
  const SReadBack output = ReadBack(options.m_output, packets);
  if (!output.m_hasVideo || output.m_videoLength < outcome.m_video.m_frameTotal) {
    std::fprintf(stderr, "corvane-mix: %s does not hold every frame%s of %s\n",
                 options.m_output.c_str(), outcome.m_videoOnly ? " asked for" : "",
                 options.m_main.c_str());
    return false;
  }
  // A part of a mix holds pictures alone.
  if (outcome.m_videoOnly) return true;
  const SReadBack main = ReadBack(options.m_main, packets);
  if (!main.m_hasAudio) return true;
  // An AVI into our AVI keeps the main's samples one for one. Otherwise the packets are kept or
  // the sound is decoded or encoded (a decoded main's length is known only within bounds until
  // it is decoded), so the sound must last as long, within an audio frame or two.
  const bool whole = options.m_container->m_kind == EContainer::kAvi && main.m_ourAvi
                         ? output.m_hasAudio && output.m_audioStart == main.m_audioStart &&
                               output.m_audioLength == main.m_audioLength
                         : output.m_hasAudio &&
                               output.m_audioSeconds <= main.m_audioSeconds + 0.1 &&
                               output.m_audioSeconds >= main.m_audioFewestSeconds - 0.1;
  if (!whole) {
    std::fprintf(stderr, "corvane-mix: %s does not hold all of the audio of %s\n",
                 options.m_output.c_str(), options.m_main.c_str());
    return false;
  }
  // Sound the container kept as it was (the same codec: what is encoded never is) must be there
  // packet for packet.
  if (packets && main.m_hasPackets &&
      (!output.m_hasPackets || (output.m_packets.m_codec == main.m_packets.m_codec &&
                                output.m_packets.m_packets != main.m_packets.m_packets))) {
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
  if (::isatty(STDERR_FILENO) == 1)
    g_stoppingLine = "\r\033[Kcorvane-mix: Stopping\u2026 (finishing the file)\n";
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGINT, &action, &previous);

  const bool joining = !options.m_joinParts.empty();
  if (!joining && !options.m_alphaMode && options.m_keying.m_keyer == EKeyer::kExact) {
    WarnOfNearKeyPixels(options);
    host.EndProgressLine();
  }
  EngineState().m_stopRequests.store(0);
  EngineState().m_mixing.store(1);
  // A name without an extension is written as --format asks.
  CMixOutput output(options.m_output, options.m_container);
  if (options.m_smart)
    output.m_copyUnchanged = *options.m_smart ? ECopyUnchanged::kAlways : ECopyUnchanged::kNever;
  output.m_frames = options.m_frames;
  const auto started = std::chrono::steady_clock::now();
  const CMixOutcome outcome = joining ? JoinParts(options.m_main, options.m_joinParts, output)
                                      : MixLayers(options.m_main, LayerSpecs(options), output);
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
    const std::string copied = video.m_framesCopied > 0
                                   ? Format(" (%d copied, %d encoded)", video.m_framesCopied,
                                            video.m_framesWritten - video.m_framesCopied)
                                   : std::string();
    // A part names the main frames it holds.
    const std::string part = outcome.m_videoOnly
                                 ? Format(" (main frames %d to %d)", video.m_firstFrame,
                                          video.m_firstFrame + video.m_frameTotal - 1)
                                 : std::string();
    std::fprintf(stderr,
                 "corvane-mix: %s: %d of %d frames%s%s, %.1f fps (video %d ms, audio %d ms, "
                 "total %.0f ms)\n",
                 options.m_output.c_str(), video.m_framesWritten, video.m_frameTotal, part.c_str(),
                 copied.c_str(), fps, videoMs, EngineState().m_audioTime.load(), seconds * 1000.0);
  }
  if (g_interrupted) {
    // A stop while the sources were still opening leaves no output to speak of.
    std::fprintf(stderr,
                 video.m_outputCreated
                     ? "corvane-mix: stopped; %s holds the frames written so far\n"
                     : "corvane-mix: stopped; %s was not written\n",
                 options.m_output.c_str());
    return 130;
  }
  if (video.m_placementRefused || video.m_rangeRefused) {
    // The job said why; the placement asked for is the caller's to change.
    std::fprintf(stderr, "corvane-mix: %s was not written\n", options.m_output.c_str());
    return 2;
  }
  if (video.m_emptyPart) return 0;  // said: a part with no frames is no file
  if (!outcome.Complete()) {
    if (video.m_result == EVideoPassResult::kNoOutput) {
      std::fprintf(stderr, "corvane-mix: %s was not written\n", options.m_output.c_str());
    }
    return 1;
  }
  if (!outcome.m_videoOnly && outcome.m_audio == EAudioCopyResult::kNoAudio) {
    std::fprintf(stderr, "corvane-mix: warning: %s has no audio; %s holds the video alone\n",
                 options.m_main.c_str(), options.m_output.c_str());
  }
  return OutputIsComplete(options, outcome) ? 0 : 1;
}

// The recipe asked for, read into the options; then the recipe asked to be kept, written; then
// the mix. A recipe that cannot be read or written is a usage error, before anything is mixed.
int RunWithRecipe(CMixOptions& options) {
  std::string error;
  if (!options.m_recipeFile.empty()) {
    CMixRecipe recipe;
    if (!ReadRecipeFile(options.m_recipeFile, recipe, error) ||
        !(error = ApplyRecipe(recipe, options)).empty()) {
      PrintLines(stderr, error);
      return 2;
    }
  }
  if (!options.m_saveRecipeFile.empty() &&
      !WriteRecipeFile(options.m_saveRecipeFile, MixRecipeOf(options), error)) {
    PrintLines(stderr, error);
    return 2;
  }
  return Run(options);
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
  return RunWithRecipe(options);
}
