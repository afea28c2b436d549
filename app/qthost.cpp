#include "app/qthost.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QThread>

#include "media/codec/compress.h"

namespace corvane {
namespace {

// Off unless enabled, e.g. QT_LOGGING_RULES="corvane.trace.debug=true".
Q_LOGGING_CATEGORY(lcTrace, "corvane.trace", QtInfoMsg)

QMessageBox::Icon BoxIcon(uint32_t flags) {
  if (flags & MB_ICONERROR) return QMessageBox::Critical;
  if (flags & MB_ICONQUESTION) return QMessageBox::Question;
  if (flags & MB_ICONINFORMATION) return QMessageBox::Information;
  return QMessageBox::NoIcon;
}

}  // namespace

CQtHost::CQtHost() {
  SetHost(this);
}

CQtHost::~CQtHost() {
  if (&Host() == this) SetHost(nullptr);
}

bool CQtHost::OnUiThread() const {
  return QThread::currentThread() == thread();
}

void CQtHost::RunOnUiThread(const std::function<void()>& work) {
  if (OnUiThread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(this, work, Qt::BlockingQueuedConnection);
}

int CQtHost::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  int answer = IDOK;
  RunOnUiThread([&] { answer = ShowBox(text, caption, flags); });
  return answer;
}

int CQtHost::ShowBox(const std::string& text, const std::string& caption, uint32_t flags) {
  if (m_answerBox) return m_answerBox(text, caption, flags);
  const bool question = (flags & MB_YESNO) != 0;
  QMessageBox box(BoxIcon(flags), QString::fromStdString(caption), QString::fromStdString(text),
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, m_owner);
  const int result = box.exec();
  if (!question) return IDOK;
  return result == QMessageBox::Yes ? IDYES : IDNO;
}

void CQtHost::HoldStatus(const std::string& text) {
  m_statusHeld.store(false);
  SetStatusText(text);
  m_statusHeld.store(true);
}

void CQtHost::SetStatusText(const std::string& text) {
  if (m_statusTap) m_statusTap(text);
  if (m_statusHeld.load()) return;
  const uint64_t sequence = ++m_statusSequence;
  const QString shown = QString::fromStdString(text);
  if (OnUiThread()) {
    ApplyStatus(shown, sequence);
    return;
  }
  // Never wait here: the UI thread may itself be waiting for this thread.
  QMetaObject::invokeMethod(
      this, [this, shown, sequence] { ApplyStatus(shown, sequence); }, Qt::QueuedConnection);
}

void CQtHost::ApplyStatus(const QString& text, uint64_t sequence) {
  if (sequence < m_shownSequence) return;
  m_shownSequence = sequence;
  if (m_status) m_status->setText(text);
  if (m_statusShown) m_statusShown(text);
}

bool CQtHost::OpeningProgress(const std::string& path, int32_t permille) {
  std::function<bool(int32_t)> watcher;
  {
    std::lock_guard lock(m_openingLock);
    watcher = m_openingWatcher;
  }
  if (watcher) return watcher(permille);
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  SetStatusText(Format("Opening %s: %d%%", name.c_str(), permille / 10));
  return EngineState().m_mixing.load() == 1;
}

void CQtHost::SetOpeningWatcher(std::function<bool(int32_t permille)> watcher) {
  std::lock_guard lock(m_openingLock);
  m_openingWatcher = std::move(watcher);
}

bool CQtHost::ChooseCompression(AVICOMPRESSOPTIONS& options) {
  bool chosen = false;
  RunOnUiThread([&] {
    if (m_chooseCompression) chosen = m_chooseCompression(options);
    if (chosen) m_lastCompression = options;
  });
  return chosen;
}

void CQtHost::DebugTrace(const std::string& text) {
  if (!lcTrace().isDebugEnabled()) return;
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  qCDebug(lcTrace).noquote() << QString::fromStdString(line);
}

}  // namespace corvane
