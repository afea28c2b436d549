// corvane-mix's host: the job's messages on stderr with their own texts (every line after
// "corvane-mix: "), its progress as one
// updating line on a terminal (plain lines otherwise), and the compressor chosen up front from
// the command line instead of a dialog. CORVANE_SLOW_AUDIO_MS in the environment makes each
// audio chunk wait that long, as on a slow disk, for the fault tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "media/host.h"

namespace corvane::cli {

// Writes `text` to `out`, each of its lines after "corvane-mix: ", so that a script can tell the
// program's lines from any other's.
void PrintLines(FILE* out, const std::string& text);

class CCliHost final : public CHost {
 public:
  // `terminal`: stderr is a terminal, so the progress line is rewritten in place.
  CCliHost(const AVICOMPRESSOPTIONS& compression, bool terminal);

  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  void SetStatusText(const std::string& text) override;
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override;
  // "opening NAME: 45%", in place on a terminal, else a line a second; Ctrl-C stops it.
  bool OpeningProgress(const std::string& path, int32_t permille) override;
  // Shown on the progress line as "N in the file": what a kill would leave at least.
  void FramesInFile(int32_t frames) override { m_inFile = frames; }

  // Ends a progress line in place, so that the next output starts on a line of its own.
  void EndProgressLine();

  const std::vector<std::string>& Messages() const { return m_messages; }
  int32_t LastFrame() const { return m_frame; }
  int32_t FrameTotal() const { return m_total; }

 private:
  using Clock = std::chrono::steady_clock;
  void ShowFrameProgress(bool force);
  // Rewrites the progress line in place on a terminal; otherwise writes it as a line of its own.
  void ShowProgressLine(const std::string& line);

  AVICOMPRESSOPTIONS m_compression;
  bool m_terminal;
  bool m_lineOpen = false;
  std::vector<std::string> m_messages;
  int32_t m_frame = 0;
  int32_t m_total = 0;
  int32_t m_inFile = 0;
  Clock::time_point m_firstFrame{};
  Clock::time_point m_lastShown{};
  std::chrono::milliseconds m_chunkDelay{0};  // after each audio chunk (CORVANE_SLOW_AUDIO_MS)
};

}  // namespace corvane::cli
