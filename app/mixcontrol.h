// Process-wide state of the mix thread control, shared by the UI thread and the mix worker:
// the settings a mix command reads from the dialog, the completion event, the mixer lock, the
// worker thread and the operations that start and stop a mix.
//
// Threads. The UI thread writes the settings just before a worker starts and the worker copies
// them once at its start. The worker never waits on the UI thread while holding the mixer lock
// (its menu and status changes are queued), and the UI thread keeps handling queued work (the
// worker's message boxes and status texts) while it waits for the worker, so neither can block
// the other.
#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mix/layerunit.h"
#include "mix/placement.h"
#include "mix/screenkey.h"

namespace corvane {

class CMainDialog;

// Serialises stopping a mix. Exists from before the main dialog until the process ends.
std::mutex& MixerLock();

// What a mix job takes from the dialog's controls.
struct CMixSettings {
  uint8_t m_red = 0;
  uint8_t m_green = 0;
  uint8_t m_blue = 0;
  int32_t m_top = 0;
  int32_t m_left = 0;
  uint8_t m_useTransparency = 0;
  uint8_t m_loop = 0;
  double m_alpha = 0.0;
  bool m_layerAlpha = false;
  CPlacement m_placement;
  CKeyerSettings m_keying;  // the key colour is m_red, m_green, m_blue, never estimated
  // Two or more: every layer is mixed by its own settings and the fields above are not used.
  std::vector<CLayerSpec> m_layers;
};

// The output the mix under way (or the last one) writes: its name chooses the container.
std::string MixOutputPath();
// Whether that mix copies the frames no layer changes, as its save dialog said.
bool MixCopiesUnchanged();

// The settings last read by ReadMixSettings (UI thread; a worker copies them at its start).
CMixSettings& MixSettings();

// An edit's text read as an unsigned decimal number the way dialog boxes read one: leading
// blanks skipped, digits up to the first other character; 0 when there is no digit or the
// value does not fit 32 bits.
uint32_t ReadUnsignedText(const QString& text);
// The same with a minus sign allowed before the digits (the offsets): 0 when there is no digit or
// the value does not fit a signed 32-bit number.
int32_t ReadSignedText(const QString& text);
// An edit's text read as a decimal floating-point number: at most its first 31 characters,
// leading white space skipped, the longest prefix that forms a number (sign, digits, point,
// fraction, exponent; never hexadecimal, infinity or not-a-number) taken, 0.0 without one.
// Independent of the user's locale.
double ReadDecimalText(const QString& text);

// An auto-reset event: Set lets exactly one wait through, also a wait that comes later.
class CCompletionEvent {
 public:
  void Set();
  // True (and the event reset) when it was set; false after `timeout`.
  bool Wait(std::chrono::milliseconds timeout);

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_signalled = false;
};

// The completion event of the current mix, or null in Idle.
std::shared_ptr<CCompletionEvent> CompletionEvent();
bool CompletionEventOpen();

// Waits for `event` at most `timeout`. On the UI thread the queued work of other threads
// (message boxes, status texts, menu changes) goes on being handled meanwhile; the user's
// input waits until the wait is over.
bool WaitKeepingUiAlive(CCompletionEvent& event, std::chrono::milliseconds timeout);

// Waits for `event` like WaitKeepingUiAlive, `limit` at a time for as long as audio chunks are
// being copied meanwhile (a stopped mix keeps the sound of its frames).
bool WaitWhileCopying(CCompletionEvent& event, std::chrono::milliseconds limit);

// Enables "Stop", grays the open and mix commands, then sets the mixing flag to 1.
void EnterMixingState();
// Enables or grays the two open and the two mix commands.
void EnableOpenAndMixItems(bool enabled);
// Counts a stop request and clears the mixing flag; when a completion event is open, waits for
// it (only when `wait` is 1, 5000 ms, longer while a stopped mix copies its sound), restores the
// menu and releases the event; then shows the summary text.
// A call on the UI thread while that thread is already inside StopMixer returns at once.
void StopMixer(uint8_t wait);
// True while the UI thread is inside StopMixer.
bool StoppingOnUiThread();

// Worker entry points: ask for the output file, run one job, signal, stop.
void MixThreadProc();
void AlphaMixThreadProc();

// Owns the mix worker thread. Starting a worker while an earlier one is still finishing (after
// a timed-out stop) first waits for it; destruction stops the mixing flag and waits for the
// worker, so the process never ends under a running job.
class CMixWorker {
 public:
  CMixWorker() = default;
  ~CMixWorker();
  CMixWorker(const CMixWorker&) = delete;
  CMixWorker& operator=(const CMixWorker&) = delete;

  // Starts `procedure` on a new thread; false when the thread could not be started.
  bool Start(void (*procedure)());
  bool Running() const { return m_running.load(); }
  // Waits (keeping the UI alive) until the worker has ended, and joins it.
  void Finish();

 private:
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::shared_ptr<CCompletionEvent> m_ended;
};

// Seams for tests: how the completion event is made and how a thread is started. Each
// may throw, as the real ones do when the system is out of resources. Null restores the real one.
using CEventMaker = std::function<std::shared_ptr<CCompletionEvent>()>;
using CThreadLauncher = std::function<std::thread(std::function<void()>)>;
void SetCompletionEventMaker(CEventMaker maker);
void SetThreadLauncher(CThreadLauncher launcher);
// How long a stop waits for the worker (5000 ms unless changed; tests shorten it).
void SetStopWait(std::chrono::milliseconds wait);

// The dialog that owns every box and dialog a worker shows; set by the main dialog.
void SetMixOwner(CMainDialog* dialog);
CMainDialog* MixOwner();

}  // namespace corvane
