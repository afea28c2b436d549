// The desktop program's host: how the engine's messages, status texts, compression choice and
// traces reach the user through Qt.
//
// Message boxes are owned by the owner window and always shown on the UI thread; a thread
// that asks for one waits until it is answered. Status texts never wait: from another thread
// they are queued to the UI thread, and a text older than the one shown is dropped, so the
// status control ends on the latest text even when the UI thread set one meanwhile.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "media/codec/compress.h"
#include "media/host.h"

namespace corvane {

class CQtHost final : public QObject, public CHost {
  Q_OBJECT
 public:
  // Lives on the calling thread (the UI thread) and installs itself as the process host until
  // it is destroyed.
  CQtHost();
  ~CQtHost() override;

  void SetOwner(QWidget* owner) { m_owner = owner; }
  QWidget* Owner() const { return m_owner; }
  void SetStatusControl(QLabel* status) { m_status = status; }

  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  void SetStatusText(const std::string& text) override;
  // While a stopped mix finishes its file, the status line says so and the worker's own texts
  // (its last frames, its sound) are not shown over it; Release lets the next text show.
  void HoldStatus(const std::string& text);
  void ReleaseStatus() { m_statusHeld.store(false); }
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override;
  void DebugTrace(const std::string& text) override;
  // Goes to the opening watcher while one is set (see SetOpeningWatcher); otherwise, as when a
  // mix opens its sources, to the status line, and a Stop ends the opening.
  bool OpeningProgress(const std::string& path, int32_t permille) override;

  // Who hears of an opening's progress, on the opening thread, until reset with null; returning
  // false cancels the opening.
  void SetOpeningWatcher(std::function<bool(int32_t permille)> watcher);

  // Runs `work` on the UI thread and returns when it has run: at once on the UI thread,
  // otherwise queued there while the caller waits.
  void RunOnUiThread(const std::function<void()>& work);
  bool OnUiThread() const;

  // Seams. Each, when set, is called on the UI thread in place of the dialog it stands for.
  // Answers a message box: returns IDOK, IDYES or IDNO.
  std::function<int(const std::string& text, const std::string& caption, uint32_t flags)>
      m_answerBox;
  // Lets the user choose a compressor; unset, the choice is refused.
  std::function<bool(AVICOMPRESSOPTIONS& options)> m_chooseCompression;
  // The compression last chosen for a mix, for a recipe of it (UI thread).
  std::optional<AVICOMPRESSOPTIONS> m_lastCompression;
  // Sees every status text as it is set, on the setting thread.
  std::function<void(const std::string& text)> m_statusTap;
  // Sees each text the status control shows, on the UI thread, right after it is shown.
  std::function<void(const QString& text)> m_statusShown;

 private:
  int ShowBox(const std::string& text, const std::string& caption, uint32_t flags);
  void ApplyStatus(const QString& text, uint64_t sequence);

  std::mutex m_openingLock;
  std::function<bool(int32_t permille)> m_openingWatcher;  // guarded by m_openingLock
  QPointer<QWidget> m_owner;
  QPointer<QLabel> m_status;
  std::atomic<uint64_t> m_statusSequence{0};
  std::atomic<bool> m_statusHeld{false};
  uint64_t m_shownSequence = 0;  // UI thread only
};

}  // namespace corvane
