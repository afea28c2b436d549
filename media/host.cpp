#include "media/host.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "media/codec/compress.h"

namespace corvane {
namespace {

// Stands in until a front end installs its own host: messages to stderr, no compressor.
class CStderrHost final : public CHost {
 public:
  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return (flags & MB_YESNO) ? IDNO : IDOK;
  }
  void SetStatusText(const std::string& text) override { (void)text; }
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override {
    (void)options;
    return false;
  }
};

CStderrHost g_stderrHost;
std::atomic<CHost*> g_host{&g_stderrHost};
thread_local CHost* t_threadHost = nullptr;

}  // namespace

CEngineState& EngineState() {
  static CEngineState state;
  return state;
}

CHost& Host() {
  return t_threadHost ? *t_threadHost : *g_host.load();
}

CThreadHostScope::CThreadHostScope(CHost* host) : m_previous(t_threadHost) {
  t_threadHost = host;
}

CThreadHostScope::~CThreadHostScope() {
  t_threadHost = m_previous;
}

void SetHost(CHost* host) {
  g_host.store(host ? host : &g_stderrHost);
}

int ShowMessage(const std::string& text, uint32_t flags, const std::string& caption) {
  return Host().MessageBox(text, caption, flags);
}

void SetStatus(const std::string& text) {
  Host().SetStatusText(text);
}

void ReportFramesInFile(int32_t frames) {
  Host().FramesInFile(frames);
}

void Trace(const char* text) {
  Host().DebugTrace(text);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

}  // namespace corvane
