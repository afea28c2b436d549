#include "cli/mix_host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace corvane::cli {
namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(1);

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0.0) || seconds > 359999.0) return "--:--";
  const auto whole = static_cast<long>(seconds + 0.5);
  return whole >= 3600 ? Format("%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60)
                       : Format("%ld:%02ld", whole / 60, whole % 60);
}

}  // namespace

CCliHost::CCliHost(const AVICOMPRESSOPTIONS& compression, bool terminal)
    : m_compression(compression), m_terminal(terminal) {
  // Fault tests stand in for a slow disk under the audio copy, to stop or kill the job in it.
  if (const char* delay = std::getenv("CORVANE_SLOW_AUDIO_MS")) {
    m_chunkDelay = std::chrono::milliseconds(std::clamp(std::atol(delay), 0L, 10000L));
  }
}

void PrintLines(FILE* out, const std::string& text) {
  size_t from = 0;
  for (;;) {
    const size_t end = text.find('\n', from);
    std::fprintf(out, "corvane-mix: %s\n", text.substr(from, end - from).c_str());
    if (end == std::string::npos) break;
    from = end + 1;
  }
}

int CCliHost::MessageBox(const std::string& text, const std::string&, uint32_t flags) {
  EndProgressLine();
  m_messages.push_back(text);
  PrintLines(stderr, text);
  std::fflush(stderr);
  // Nobody is there to answer a question: the safe answer is no.
  return (flags & MB_YESNO) ? IDNO : IDOK;
}

void CCliHost::SetStatusText(const std::string& text) {
  long frame = 0;
  long total = 0;
  if (std::sscanf(text.c_str(), "Processing frame %ld\\%ld", &frame, &total) == 2) {
    const auto now = Clock::now();
    if (frame <= 1 || m_frame == 0) m_firstFrame = now;
    m_frame = static_cast<int32_t>(frame);
    m_total = static_cast<int32_t>(total);
    ShowFrameProgress(frame >= total);
    return;
  }
  long chunk = 0;
  if (std::sscanf(text.c_str(), "Audio Chunk %ld", &chunk) == 1) {
    const auto now = Clock::now();
    if (chunk == 1 || now - m_lastShown >= (m_terminal ? kTerminalInterval : kPlainInterval)) {
      ShowProgressLine(Format("audio chunk %ld", chunk));
      m_lastShown = now;
    }
    if (m_chunkDelay.count() > 0) std::this_thread::sleep_for(m_chunkDelay);
  }
}

bool CCliHost::OpeningProgress(const std::string& path, int32_t permille) {
  const auto now = Clock::now();
  if (now - m_lastShown >= (m_terminal ? kTerminalInterval : kPlainInterval)) {
    m_lastShown = now;
    ShowProgressLine(Format("opening %s: %d%%", path.c_str(), permille / 10));
  }
  return EngineState().m_mixing.load() == 1;
}

bool CCliHost::ChooseCompression(AVICOMPRESSOPTIONS& options) {
  options = m_compression;
  return true;
}

void CCliHost::EndProgressLine() {
  if (!m_lineOpen) return;
  std::fputc('\n', stderr);
  m_lineOpen = false;
}

void CCliHost::ShowFrameProgress(bool force) {
  const auto now = Clock::now();
  if (!force && now - m_lastShown < (m_terminal ? kTerminalInterval : kPlainInterval)) return;
  m_lastShown = now;
  // The frame being processed is m_frame; those before it are done.
  const double seconds = std::chrono::duration<double>(now - m_firstFrame).count();
  const int32_t done = m_frame > 0 ? m_frame - 1 : 0;
  const double fps = seconds > 0.0 ? done / seconds : 0.0;
  const double eta = fps > 0.0 ? (m_total - done) / fps : -1.0;
  const std::string line =
      Format("frame %" PRId32 "/%" PRId32 "  %.1f fps  ETA %s  %" PRId32 " in the file", m_frame,
             m_total, fps, FormatDuration(eta).c_str(), m_inFile);
  ShowProgressLine(line);
}

void CCliHost::ShowProgressLine(const std::string& line) {
  if (m_terminal) {
    std::fprintf(stderr, "\r\033[Kcorvane-mix: %s", line.c_str());
    m_lineOpen = true;
  } else {
    std::fprintf(stderr, "corvane-mix: %s\n", line.c_str());
  }
  std::fflush(stderr);
}

}  // namespace corvane::cli
