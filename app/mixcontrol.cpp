// Mix thread control: the completion event, StopMixer, the mixing state of the menu, the worker
// thread and the main dialog's mix, stop, exit and close handlers.
#include "app/mixcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <optional>
#include <string>
#include <system_error>

#include "app/copychoice.h"
#include "app/fileselect.h"
#include "app/maindialog.h"
#include "app/qthost.h"
#include "media/host.h"
#include "media/mux/container.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kDefaultStopWait{5000};
constexpr const char* kStoppingText = "Stopping\u2026 (finishing the file)";
// How often the UI thread looks at the event while it handles queued work.
constexpr milliseconds kPumpSlice{5};

struct CControlState {
  CMixSettings m_settings;
  // Guards the pointer only; the worker signals through its own copy, never under the mixer
  // lock (the UI thread may hold that lock while it waits for the signal).
  std::mutex m_eventLock;
  std::shared_ptr<CCompletionEvent> m_event;
  std::atomic<CMainDialog*> m_owner{nullptr};
  CEventMaker m_eventMaker;
  CThreadLauncher m_launcher;
  std::atomic<int64_t> m_stopWaitMs{kDefaultStopWait.count()};
  std::mutex m_outputLock;
  std::string m_output;          // the output of the mix under way, guarded by m_outputLock
  bool m_copyUnchanged = false;  // and whether it copies unchanged frames, the same
};

CControlState& State() {
  static CControlState state;
  return state;
}

thread_local bool t_insideStop = false;

bool OnUiThread() {
  const QCoreApplication* application = QCoreApplication::instance();
  return application && QThread::currentThread() == application->thread();
}

void SetCompletionEvent(std::shared_ptr<CCompletionEvent> event) {
  CControlState& state = State();
  std::lock_guard lock(state.m_eventLock);
  state.m_event = std::move(event);
}

// Back to Idle without a mix: the event is closed under the mixer lock.
void ReleaseCompletionEvent() {
  std::lock_guard lock(MixerLock());
  SetCompletionEvent(nullptr);
}

std::shared_ptr<CCompletionEvent> MakeCompletionEvent() {
  CControlState& state = State();
  try {
    if (state.m_eventMaker) return state.m_eventMaker();
    return std::make_shared<CCompletionEvent>();
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::thread LaunchThread(std::function<void()> body) {
  CControlState& state = State();
  if (state.m_launcher) return state.m_launcher(std::move(body));
  return std::thread(std::move(body));
}

// A name whose extension names no container ("out.flv") would be written as the container for
// names without one (an AVI) under that extension: asks whether to use the container's own
// extension instead. False when the user says No; `output` is then unchanged.
bool SettleOutputName(std::string& output) {
  // The same reading of the name as corvane-mix's, which refuses such a name.
  const CNameContainer named = ContainerOfName(output);
  if (!named.Unknown()) return true;
  const QString path = QString::fromStdString(output);
  const QFileInfo info(path);
  const QString suffix = QString::fromStdString(named.m_extension);
  const QString extension = QString::fromStdString(OutputContainer(output).m_extensions.front());
  const QString renamed = path.left(path.size() - suffix.size()) + extension;
  const QString question = QStringLiteral("%1: Corvane cannot write .%2 files. Save as %3?")
                               .arg(info.fileName(), suffix, QFileInfo(renamed).fileName());
  if (ShowMessage(question.toStdString(), MB_YESNO | MB_ICONQUESTION) != IDYES) return false;
  // The save dialog asked about the name typed, not about this one.
  if (QFileInfo::exists(renamed)) {
    const QString replace =
        QStringLiteral("%1 already exists.\nDo you want to replace it?")
            .arg(QDir::toNativeSeparators(QFileInfo(renamed).absoluteFilePath()));
    if (ShowMessage(replace.toStdString(), MB_YESNO | MB_ICONQUESTION) != IDYES) return false;
  }
  output = renamed.toStdString();
  return true;
}

void RunMixWorker(bool alpha) {
  const CMixSettings settings = State().m_settings;
  bool levelsRead = !alpha || !settings.m_layers.empty() ||
                    (settings.m_alpha >= 0.0 && settings.m_alpha <= 255.0);
  for (const CLayerSpec& layer : settings.m_layers) {
    if (layer.m_rule.m_alpha &&
        !(layer.m_rule.m_alphaLevel >= 0.0 && layer.m_rule.m_alphaLevel <= 255.0))
      levelsRead = false;
  }
  if (!levelsRead) {
    ShowMessage("Alpha level must be 0-255", MB_ICONERROR);
    ReleaseCompletionEvent();
    return;
  }
  std::optional<bool> copy;
  std::optional<std::string> output = SelectFile(
      MixOwner(), OutputFilter(), QString::fromLatin1(kSaveTitle), EFileKind::kSave, &copy);
  if (!output || !SettleOutputName(*output)) {
    // Cancelled: neither the menu nor the status control is touched.
    ReleaseCompletionEvent();
    return;
  }
  const EContainer container = OutputContainer(*output).m_kind;
  CMixOutput target(*output);
  target.m_copyUnchanged = CopySetting(container, copy.value_or(CopyChoice(container)));
  {
    std::lock_guard lock(State().m_outputLock);
    State().m_output = *output;
    State().m_copyUnchanged = target.m_copyUnchanged != ECopyUnchanged::kNever;
  }
  EnterMixingState();
  CMixEngine& engine = MixEngine();
  if (!settings.m_layers.empty()) {
    engine.MixLayers(target, settings.m_layers);
  } else if (alpha) {
    engine.MixAlpha(target, settings.m_red, settings.m_green, settings.m_blue, settings.m_top,
                    settings.m_left, settings.m_useTransparency, settings.m_loop, settings.m_alpha,
                    settings.m_layerAlpha, settings.m_placement, settings.m_keying);
  } else {
    engine.MixColourKey(target, settings.m_red, settings.m_green, settings.m_blue, settings.m_top,
                        settings.m_left, settings.m_loop, settings.m_layerAlpha,
                        settings.m_placement, settings.m_keying);
  }
  output.reset();
  if (const std::shared_ptr<CCompletionEvent> event = CompletionEvent()) event->Set();
  StopMixer(0);
}

}  // namespace

std::mutex& MixerLock() {
  static std::mutex lock;
  return lock;
}

std::string MixOutputPath() {
  std::lock_guard lock(State().m_outputLock);
  return State().m_output;
}

bool MixCopiesUnchanged() {
  std::lock_guard lock(State().m_outputLock);
  return State().m_copyUnchanged;
}

CMixSettings& MixSettings() {
  return State().m_settings;
}

void CCompletionEvent::Set() {
  {
    std::lock_guard lock(m_lock);
    m_signalled = true;
  }
  m_changed.notify_one();
}

bool CCompletionEvent::Wait(milliseconds timeout) {
  std::unique_lock lock(m_lock);
  if (!m_changed.wait_for(lock, timeout, [this] { return m_signalled; })) return false;
  m_signalled = false;
  return true;
}

std::shared_ptr<CCompletionEvent> CompletionEvent() {
  CControlState& state = State();
  std::lock_guard lock(state.m_eventLock);
  return state.m_event;
}

bool CompletionEventOpen() {
  return CompletionEvent() != nullptr;
}

bool WaitKeepingUiAlive(CCompletionEvent& event, milliseconds timeout) {
  if (!OnUiThread()) return event.Wait(timeout);
  auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto now = Clock::now();
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
    if (event.Wait(std::max(milliseconds(0), std::min(left, kPumpSlice)))) return true;
    if (Clock::now() >= deadline) return false;
    // A box the worker shows meanwhile waits for the user, not for the worker: time spent
    // handling queued work does not count against the wait.
    const auto before = Clock::now();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    deadline += Clock::now() - before;
  }
}

bool WaitWhileCopying(CCompletionEvent& event, milliseconds limit) {
  // A stopped mix copies the sound of the frames it wrote before it ends: as long as chunks keep
  // coming, the wait goes on.
  int64_t copied = EngineState().m_audioChunksCopied.load();
  for (;;) {
    if (WaitKeepingUiAlive(event, limit)) return true;
    const int64_t now = EngineState().m_audioChunksCopied.load();
    if (now == copied) return false;
    copied = now;
  }
}

void EnterMixingState() {
  if (CMainDialog* dialog = MixOwner()) {
    dialog->EnableMenuCommand(kStopCommand, true);
    EnableOpenAndMixItems(false);
  }
  EngineState().m_stopRequests.store(0);
  EngineState().m_mixing.store(1);
}

void EnableOpenAndMixItems(bool enabled) {
  CMainDialog* dialog = MixOwner();
  if (!dialog) return;
  for (const int id : {kOpenMainCommand, kOpenTopCommand, kAddLayerCommand, kOpenRecipeCommand,
                       kMixCommand, kAlphaMixCommand})
    dialog->EnableMenuCommand(id, enabled);
}

void StopMixer(uint8_t wait) {
  // A second stop while the first waits ends the copy of the stopped mix's sound.
  ++EngineState().m_stopRequests;
  // The UI thread handles queued work while it waits; a close or stop reaching it then must
  // not lock the mixer lock a second time.
  if (t_insideStop) return;
  t_insideStop = true;
  {
    std::lock_guard lock(MixerLock());
    const bool wasMixing = EngineState().m_mixing.exchange(0) == 1;
    CMainDialog* owner = MixOwner();
    if (const std::shared_ptr<CCompletionEvent> event = CompletionEvent()) {
      // Said from the moment the stop is seen until the job has finished its file.
      if (wait == 1 && wasMixing && owner) owner->Host().HoldStatus(kStoppingText);
      const milliseconds limit(State().m_stopWaitMs.load());
      if (wait == 1 && !WaitWhileCopying(*event, limit)) {
        ShowMessage("Timed out waiting for mixer thread to stop", MB_ICONERROR);
      }
      if (CMainDialog* dialog = MixOwner()) dialog->EnableMenuCommand(kStopCommand, false);
      EnableOpenAndMixItems(true);
      SetCompletionEvent(nullptr);
    }
    if (owner) owner->Host().ReleaseStatus();
    std::string summary;
    {
      CEngineState& state = EngineState();
      std::lock_guard summaryLock(state.m_summaryLock);
      summary = state.m_summary;
    }
    // Never waits: from the worker the text is queued to the UI thread.
    SetStatus(summary);
  }
  t_insideStop = false;
}

bool StoppingOnUiThread() {
  return OnUiThread() && t_insideStop;
}

void MixThreadProc() {
  RunMixWorker(false);
}

void AlphaMixThreadProc() {
  RunMixWorker(true);
}

CMixWorker::~CMixWorker() {
  if (m_running.load()) EngineState().m_mixing.store(0);
  Finish();
}

bool CMixWorker::Start(void (*procedure)()) {
  Finish();
  auto ended = std::make_shared<CCompletionEvent>();
  m_running.store(true);
  try {
    m_thread = LaunchThread([this, procedure, ended] {
      procedure();
      m_running.store(false);
      ended->Set();
    });
  } catch (const std::exception&) {
    m_running.store(false);
    return false;
  }
  if (!m_thread.joinable()) {
    m_running.store(false);
    return false;
  }
  m_ended = std::move(ended);
  return true;
}

void CMixWorker::Finish() {
  if (!m_thread.joinable()) return;
  if (m_ended) {
    while (!WaitKeepingUiAlive(*m_ended, milliseconds(1000))) {
    }
  }
  m_thread.join();
  m_ended.reset();
}

void SetCompletionEventMaker(CEventMaker maker) {
  State().m_eventMaker = std::move(maker);
}

void SetThreadLauncher(CThreadLauncher launcher) {
  State().m_launcher = std::move(launcher);
}

void SetStopWait(milliseconds wait) {
  State().m_stopWaitMs.store(wait.count());
}

void SetMixOwner(CMainDialog* dialog) {
  State().m_owner.store(dialog);
}

CMainDialog* MixOwner() {
  return State().m_owner.load();
}

// ---- CMainDialog: the mix commands, Stop, Exit and the close request ----

int CMainDialog::StartMix(void (*procedure)()) {
  // The menu grays these commands while a mix runs; a mix already under way is left alone.
  if (CompletionEventOpen() || StoppingOnUiThread()) return -1;
  // A value the fields show but the mix would take otherwise (a key channel of 300 as 44) is
  // not mixed. The alpha level has its own refusal in the worker.
  if (const QString problem = FieldProblem(false); !problem.isEmpty()) {
    ShowMessage(problem.toStdString(), MB_ICONERROR);
    return -1;
  }
  // A worker still finishing after a timed-out stop ends first, or its own stop would end
  // the new mix.
  m_worker->Finish();
  std::shared_ptr<CCompletionEvent> event = MakeCompletionEvent();
  if (!event) return -1;
  SetCompletionEvent(std::move(event));
  ReadMixSettings();
  StoreSettings();
  if (!m_worker->Start(procedure)) {
    ReleaseCompletionEvent();
    ShowMessage("Unable to start the mix thread", MB_ICONERROR);
    return -1;
  }
  LayoutPreviews();
  return 0;
}

int CMainDialog::OnMix() {
  SetLayerMode(false);
  return StartMix(&MixThreadProc);
}

int CMainDialog::OnAlphaMix() {
  SetLayerMode(true);
  return StartMix(&AlphaMixThreadProc);
}

int CMainDialog::OnStop() {
  StopMixer(1);
  return 0;
}

bool CMainDialog::MixRunning() const {
  return m_worker->Running();
}

int CMainDialog::OnExit() {
  if (StoppingOnUiThread() || m_destroyed) return 0;
  // A running mix is stopped the way a confirmed close stops it; its output stays complete.
  StopMixer(1);
  DestroyWindow();
  QCoreApplication::exit(0);
  return 0;
}

void CMainDialog::OnClose() {
  if (StoppingOnUiThread() || m_destroyed) return;
  if (EngineState().m_mixing.load() == 1 &&
      ShowMessage("Mix in progress. Do you really want to exit?", MB_YESNO | MB_ICONQUESTION) ==
          IDNO) {
    return;
  }
  StopMixer(1);
  DestroyWindow();
  QCoreApplication::exit(0);
}

}  // namespace corvane
