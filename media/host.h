// How the engine talks to the user: the host interface, and the process-wide state that a
// mix job shares with the program that runs it.
//
// The engine never shows anything itself. The desktop program implements CHost with Qt
// (boxes shown on the UI thread, the calling thread waiting until they are dismissed), the
// command-line front end on a terminal, and tests with a recorder. With no host installed,
// messages go to stderr and the compression choice is refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace corvane {

// Message box flags: buttons and icon.
constexpr uint32_t MB_OK = 0x00000000;
constexpr uint32_t MB_YESNO = 0x00000004;
constexpr uint32_t MB_ICONERROR = 0x00000010;
constexpr uint32_t MB_ICONQUESTION = 0x00000020;
constexpr uint32_t MB_ICONINFORMATION = 0x00000040;

// Message box answers.
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr const char* kCaption = "Corvane";

struct AVICOMPRESSOPTIONS;

class CHost {
 public:
  virtual ~CHost() = default;

  // Shows a modal box and returns the answer (IDOK, IDYES, IDNO). Called from any thread;
  // the caller waits until the user has answered.
  virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) = 0;

  // Sets the text of the status control. Called from the mix worker once per frame or
  // audio chunk; must not wait on a thread that may be waiting for the worker.
  virtual void SetStatusText(const std::string& text) = 0;

  // Lets the user choose a compressor for one video stream. Fills `options` and returns
  // true when the user confirmed; false on cancel.
  virtual bool ChooseCompression(AVICOMPRESSOPTIONS& options) = 0;

  // How far the opening of `path` has come, in thousandths, for a file whose opening scan
  // takes a while (a long MP4 or MKV): called from the opening thread once it has taken half a
  // second, then about ten times a second. Returning false stops the opening, which then fails
  // as cancelled.
  virtual bool OpeningProgress(const std::string& path, int32_t permille) {
    (void)path;
    (void)permille;
    return true;
  }

  // How many frames of the output have reached its file so far, after each frame the mix job
  // writes: an encoder holds frames back for a while, and the file is written a second at a
  // time, so this runs behind the frame under way. What a kill leaves holds at least these.
  virtual void FramesInFile(int32_t frames) { (void)frames; }

  // Diagnostic traces ("R", "W", one line per preview paint). Off unless a host wants them.
  virtual void DebugTrace(const std::string& text) { (void)text; }
};

// Process-wide state of the engine, shared by the mix worker and the program.
struct CEngineState {
  std::atomic<uint8_t> m_mixing{0};  // 1 while a mix may run; read before every frame
  // Stops asked for since the job began (Stop, Ctrl-C): the first ends the frames, the second
  // also ends the copy of the sound of the frames written.
  std::atomic<int32_t> m_stopRequests{0};
  std::atomic<int64_t> m_audioChunksCopied{0};  // grows with every audio chunk a copy writes
  std::atomic<int32_t> m_videoTime{0};          // ms taken by the last video pass
  std::atomic<int32_t> m_audioTime{0};          // ms taken by the last audio copy
  std::mutex m_summaryLock;
  std::string m_summary;  // "Time taken: ..." after an alpha mix; empty at start
};

// The one engine state of the process.
CEngineState& EngineState();

// The installed host (never null: a stderr host stands in until one is installed).
CHost& Host();
// Installs `host` (not owned; must outlive its use) or, with null, the stderr host.
void SetHost(CHost* host);

// Sends the calling thread's host calls to `host` (not owned) while it lives, whatever host is
// installed: a helper thread that works ahead of a job records what it would have shown, and
// the job's own thread passes it on at the point where the work belongs.
class CThreadHostScope {
 public:
  explicit CThreadHostScope(CHost* host);
  ~CThreadHostScope();
  CThreadHostScope(const CThreadHostScope&) = delete;
  CThreadHostScope& operator=(const CThreadHostScope&) = delete;

 private:
  CHost* m_previous;
};

// Shortcuts through the installed host (or the thread's own, see CThreadHostScope).
int ShowMessage(const std::string& text, uint32_t flags, const std::string& caption = kCaption);
void SetStatus(const std::string& text);
void ReportFramesInFile(int32_t frames);
void Trace(const char* text);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace corvane
