// Helpers for the desktop program's Qt Test suites: real mouse events, the trace lines, file
// dialogs answered from a script, and what the independent peers (ffmpeg, ffprobe) read from
// the fixtures.
#pragma once

#include <QApplication>
#include <QColor>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QSize>
#include <QStringList>
#include <QWidget>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/fileselect.h"
#include "support/testsupport.h"

namespace corvane::test {

// A mouse event at `pos` (widget coordinates, also outside the widget) sent to the widget.
inline void SendMouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button, QPoint pos) {
  const Qt::MouseButtons held =
      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::MouseButtons();
  QMouseEvent event(type, QPointF(pos), QPointF(widget->mapToGlobal(pos)), button, held,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}
inline void Hover(QWidget* widget, QPoint pos) {
  SendMouse(widget, QEvent::MouseMove, Qt::NoButton, pos);
}
inline void Press(QWidget* widget, Qt::MouseButton button, QPoint pos) {
  SendMouse(widget, QEvent::MouseButtonPress, button, pos);
}
inline void Release(QWidget* widget, Qt::MouseButton button, QPoint pos) {
  SendMouse(widget, QEvent::MouseButtonRelease, button, pos);
}

// Collects the lines of the program's trace category while it lives (and enables it).
class CTraceCapture {
 public:
  CTraceCapture() {
    QLoggingCategory::setFilterRules(QStringLiteral("corvane.trace.debug=true"));
    m_previous = qInstallMessageHandler(&CTraceCapture::Handle);
    Instance() = this;
  }
  ~CTraceCapture() {
    qInstallMessageHandler(m_previous);
    QLoggingCategory::setFilterRules(QString());
    Instance() = nullptr;
  }
  QStringList Lines() const {
    std::lock_guard lock(m_lock);
    return m_lines;
  }
  void Clear() {
    std::lock_guard lock(m_lock);
    m_lines.clear();
  }

 private:
  static CTraceCapture*& Instance() {
    static CTraceCapture* instance = nullptr;
    return instance;
  }
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    CTraceCapture* self = Instance();
    if (self && context.category && QByteArray(context.category) == "corvane.trace") {
      std::lock_guard lock(self->m_lock);
      self->m_lines.push_back(text);
      return;
    }
    if (self && self->m_previous) self->m_previous(type, context, text);
  }

  QtMessageHandler m_previous = nullptr;
  mutable std::mutex m_lock;
  QStringList m_lines;
};

// Answers file dialogs from a queue (an empty queue cancels) and records what was asked.
class CScriptedFiles {
 public:
  CScriptedFiles() {
    SetFileDialogRunner([this](const CFileRequest& request) {
      m_requests.push_back(request);
      if (m_answers.empty()) return CFileAnswer{};
      CFileAnswer answer = m_answers.front();
      m_answers.pop_front();
      return answer;
    });
  }
  ~CScriptedFiles() { SetFileDialogRunner(nullptr); }
  void Choose(const std::string& name) { m_answers.push_back(CFileAnswer{name, 0, {}}); }
  void Cancel() { m_answers.push_back(CFileAnswer{}); }
  void Fail(long code) { m_answers.push_back(CFileAnswer{std::string(), code, {}}); }
  const std::vector<CFileRequest>& Requests() const { return m_requests; }

 private:
  std::deque<CFileAnswer> m_answers;
  std::vector<CFileRequest> m_requests;
};

// The first video frame of a file as ffmpeg decodes it: RGB triplets, top row first.
struct CPeerFrame {
  int m_width = 0;
  int m_height = 0;
  std::vector<uint8_t> m_rgb;
  QColor At(int x, int y) const {
    const size_t offset = (static_cast<size_t>(y) * m_width + x) * 3;
    return QColor(m_rgb[offset], m_rgb[offset + 1], m_rgb[offset + 2]);
  }
};

// The picture size of the first video stream as ffprobe reports it; empty when it fails.
inline QSize PeerSize(const std::string& path) {
  const CCommandResult result = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of "
      "csv=p=0:s=x " +
      ShellQuote(path));
  const QStringList parts = QString::fromStdString(result.m_output).trimmed().split('x');
  if (result.m_exitCode != 0 || parts.size() != 2) return QSize();
  return QSize(parts[0].toInt(), parts[1].toInt());
}

inline CPeerFrame PeerFirstFrame(const std::string& path) {
  CPeerFrame frame;
  const QSize size = PeerSize(path);
  const CCommandResult result = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                           " -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
  if (result.m_exitCode != 0 || size.isEmpty() ||
      result.m_output.size() != static_cast<size_t>(size.width() * size.height() * 3)) {
    return frame;
  }
  frame.m_width = size.width();
  frame.m_height = size.height();
  frame.m_rgb.assign(result.m_output.begin(), result.m_output.end());
  return frame;
}

inline std::string MainFixture() {
  return Fixture("main_320x240_bgr24_pcm.avi");
}
inline std::string TopFixture() {
  return Fixture("top_160x120_bgr24_green.avi");
}

}  // namespace corvane::test
