// Helpers for the mix tests of the desktop program: a main dialog with both sources opened
// through the menu, the save dialog and the compression choice answered through their seams,
// every box recorded and answered, the shown status texts collected, the worker held at a
// chosen frame, and what ffprobe and ffmpeg read from an output.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QStringList>
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/fileselect.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/qthost.h"
#include "guitestsupport.h"
#include "media/codec/compress.h"
#include "media/host.h"
#include "preview/mixengine.h"

namespace corvane::test {

struct CBox {
  std::string m_text;
  std::string m_caption;
  uint32_t m_flags = 0;
};

// Which of the five commands a mix changes are enabled.
struct CMenuState {
  bool m_stop = false;
  bool m_openMain = false;
  bool m_openTop = false;
  bool m_mix = false;
  bool m_alphaMix = false;
  bool operator==(const CMenuState& other) const {
    return m_stop == other.m_stop && m_openMain == other.m_openMain &&
           m_openTop == other.m_openTop && m_mix == other.m_mix && m_alphaMix == other.m_alphaMix;
  }
};
constexpr CMenuState kIdleMenu{false, true, true, true, true};
constexpr CMenuState kMixingMenu{true, false, false, false, false};

inline CMenuState MenuState(const CMainDialog& dialog) {
  CMenuState state;
  state.m_stop = dialog.MenuCommand(kStopCommand)->isEnabled();
  state.m_openMain = dialog.MenuCommand(kOpenMainCommand)->isEnabled();
  state.m_openTop = dialog.MenuCommand(kOpenTopCommand)->isEnabled();
  state.m_mix = dialog.MenuCommand(kMixCommand)->isEnabled();
  state.m_alphaMix = dialog.MenuCommand(kAlphaMixCommand)->isEnabled();
  return state;
}

// Holds the worker in its status update before chosen frames until the test releases it, or
// (when asked) until a stop has cleared the mixing flag. Also counts the progress texts.
class CWorkerGate {
 public:
  // Holds before `frameText` ("Processing frame 20\600"); `untilStop` lets a stop release it.
  void HoldAt(const std::string& frameText, bool untilStop) {
    std::lock_guard lock(m_lock);
    m_holds[frameText] = CHold{untilStop, false, false};
  }
  // Run on the worker once it has been let go by a stop, before the frame goes on.
  void AfterStop(std::function<void()> work) {
    std::lock_guard lock(m_lock);
    m_afterStop = std::move(work);
  }
  void Release(const std::string& frameText) {
    {
      std::lock_guard lock(m_lock);
      m_holds[frameText].m_released = true;
    }
    m_changed.notify_all();
  }
  bool Held(const std::string& frameText) const {
    std::lock_guard lock(m_lock);
    auto found = m_holds.find(frameText);
    return found != m_holds.end() && found->second.m_held;
  }
  int FramesSeen() const { return m_frames.load(); }

  // The status tap: runs on the worker.
  void Tap(const std::string& text) {
    if (text.rfind("Processing frame ", 0) == 0) ++m_frames;
    std::unique_lock lock(m_lock);
    auto found = m_holds.find(text);
    if (found == m_holds.end()) return;
    CHold& hold = found->second;
    hold.m_held = true;
    // Bounded, so that a broken stop fails the test instead of hanging it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!hold.m_released && std::chrono::steady_clock::now() < giveUp) {
      if (hold.m_untilStop && EngineState().m_mixing.load() != 1) break;
      m_changed.wait_for(lock, std::chrono::milliseconds(1));
    }
    std::function<void()> afterStop = std::move(m_afterStop);
    m_afterStop = nullptr;
    lock.unlock();
    if (afterStop) afterStop();
  }

 private:
  struct CHold {
    bool m_untilStop = false;
    bool m_held = false;
    bool m_released = false;
  };
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<std::string, CHold> m_holds;
  std::function<void()> m_afterStop;
  std::atomic<int> m_frames{0};
};

// A shown main dialog whose file dialogs, boxes and compression choice are answered here.
class CMixRig {
 public:
  CMixRig() : m_dialog(std::make_unique<CMainDialog>()) {
    SetFileDialogRunner([this](const CFileRequest& request) {
      m_requests.push_back(request);
      if (m_onFileRequest) m_onFileRequest(request);
      if (m_answers.empty()) return CFileAnswer{};
      CFileAnswer answer{m_answers.front(), 0, {}};
      m_answers.pop_front();
      return answer;
    });
    CQtHost& host = m_dialog->Host();
    host.m_answerBox = [this](const std::string& text, const std::string& caption, uint32_t flags) {
      const CBox box{text, caption, flags};
      m_boxes.push_back(box);
      if (m_answer) return m_answer(box);
      return (flags & MB_YESNO) ? IDNO : IDOK;
    };
    m_realCompression = host.m_chooseCompression;
    host.m_chooseCompression = [this](AVICOMPRESSOPTIONS& options) {
      ++m_compressionChoices;
      if (m_onCompression) m_onCompression();
      if (!m_compression) return false;
      options = *m_compression;
      return true;
    };
    host.m_statusTap = [this](const std::string& text) { m_gate.Tap(text); };
    std::function<void(const QString&)> progress = host.m_statusShown;
    host.m_statusShown = [this, progress](const QString& text) {
      if (progress) progress(text);
      m_shown.push_back(text);
    };
    AVICOMPRESSOPTIONS fullFrames{};
    fullFrames.fccType = streamtypeVIDEO;
    fullFrames.dwQuality = 0xFFFFFFFFu;
    fullFrames.dwFlags = AVICOMPRESSF_VALID;
    m_compression = fullFrames;
    MixEngine().m_mainPicture.Reset();
    MixEngine().m_topPicture.Reset();
    m_dialog->show();
  }
  ~CMixRig() {
    m_dialog.reset();
    SetFileDialogRunner(nullptr);
  }
  CMixRig(const CMixRig&) = delete;
  CMixRig& operator=(const CMixRig&) = delete;

  CMainDialog& Dialog() { return *m_dialog; }
  // Lets the program's own compression dialog answer again.
  void UseCompressionDialog() { m_dialog->Host().m_chooseCompression = m_realCompression; }
  // Destroys the dialog now (which waits for a worker still running).
  void DestroyDialog() { m_dialog.reset(); }

  // Opens both sources through the menu.
  void OpenSources(const std::string& main, const std::string& top) {
    m_answers.push_back(main);
    m_dialog->MenuCommand(kOpenMainCommand)->trigger();
    m_answers.push_back(top);
    m_dialog->MenuCommand(kOpenTopCommand)->trigger();
  }
  // The next save dialog names `path`; with no answer queued it is cancelled.
  void SaveAs(const std::string& path) { m_answers.push_back(path); }
  void SetText(int id, const QString& text) { m_dialog->SetControlText(id, text); }
  void SetChecked(int id, bool checked) {
    static_cast<QAbstractButton*>(m_dialog->Control(id))->setChecked(checked);
  }

  // Waits until no worker is left (the mix, its stop and its status updates done).
  bool WaitForIdle(int timeoutMs = 60000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (m_dialog->MixRunning()) {
      if (deadline.hasExpired()) return false;
      QTest::qWait(5);
    }
    // The worker has ended: what it queued for the UI thread is all in the queue now.
    QCoreApplication::processEvents();
    return true;
  }

  std::vector<CBox> BoxesWith(const std::string& text) const {
    std::vector<CBox> found;
    for (const CBox& box : m_boxes) {
      if (box.m_text == text) found.push_back(box);
    }
    return found;
  }

  std::vector<CFileRequest> m_requests;
  std::function<void(const CFileRequest&)> m_onFileRequest;
  std::vector<CBox> m_boxes;
  std::function<int(const CBox&)> m_answer;
  std::optional<AVICOMPRESSOPTIONS> m_compression;
  std::function<void()> m_onCompression;
  int m_compressionChoices = 0;
  QStringList m_shown;
  CWorkerGate m_gate;

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  std::function<bool(AVICOMPRESSOPTIONS&)> m_realCompression;
  std::deque<std::string> m_answers;
};

// One stream as ffprobe reports it (key=value pairs of -show_entries stream=...).
using CPeerStream = std::map<std::string, std::string>;

inline std::vector<CPeerStream> PeerStreams(const std::string& path) {
  const CCommandResult result = RunCommand(
      "ffprobe -v error -count_frames -show_entries "
      "stream=codec_type,codec_name,width,height,nb_frames,nb_read_frames,sample_rate,channels "
      "-of compact=p=0 " +
      ShellQuote(path));
  std::vector<CPeerStream> streams;
  if (result.m_exitCode != 0) return streams;
  for (const QString& line : QString::fromStdString(result.m_output).split('\n')) {
    if (line.trimmed().isEmpty()) continue;
    CPeerStream stream;
    for (const QString& field : line.trimmed().split('|')) {
      const qsizetype equals = field.indexOf('=');
      if (equals > 0)
        stream[field.left(equals).toStdString()] = field.mid(equals + 1).toStdString();
    }
    streams.push_back(stream);
  }
  return streams;
}

// The first stream of `type` ("video", "audio"), copied out of the list.
inline std::optional<CPeerStream> PeerStream(const std::vector<CPeerStream>& streams,
                                             const std::string& type) {
  for (const CPeerStream& stream : streams) {
    auto found = stream.find("codec_type");
    if (found != stream.end() && found->second == type) return stream;
  }
  return std::nullopt;
}

// Frame `index` of a file's first video stream as ffmpeg decodes it.
inline CPeerFrame PeerFrameAt(const std::string& path, int index) {
  CPeerFrame frame;
  const QSize size = PeerSize(path);
  const CCommandResult result =
      RunCommand("ffmpeg -v error -i " + ShellQuote(path) + " -vf " +
                 ShellQuote("select=eq(n\\," + std::to_string(index) + ")") +
                 " -vsync 0 -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  if (result.m_exitCode != 0 || size.isEmpty() ||
      result.m_output.size() != static_cast<size_t>(size.width() * size.height() * 3)) {
    return frame;
  }
  frame.m_width = size.width();
  frame.m_height = size.height();
  frame.m_rgb.assign(result.m_output.begin(), result.m_output.end());
  return frame;
}

// A long main video made by ffmpeg: `frames` MJPEG frames of 320x240 at 30 fps with PCM audio.
inline bool MakeLongMain(const std::string& path, int frames) {
  const CCommandResult result = RunCommand(
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=s=320x240:r=30 -f lavfi -i "
      "sine=frequency=440:sample_rate=44100 -frames:v " +
      std::to_string(frames) + " -t " + std::to_string(frames / 30.0) +
      " -c:v mjpeg -q:v 5 -c:a pcm_s16le " + ShellQuote(path));
  return result.m_exitCode == 0;
}

}  // namespace corvane::test
