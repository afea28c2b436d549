// A host that records what the engine shows, for tests: every message box (text, caption,
// flags), every status text, and compression choices answered from a preset.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/codec/compress.h"
#include "media/host.h"

namespace corvane::test {

struct CRecordedMessage {
  std::string m_text;
  std::string m_caption;
  uint32_t m_flags;
};

class CRecordingHost final : public CHost {
 public:
  // Installs itself as the process host; the previous (stderr) host comes back on destruction.
  CRecordingHost() { SetHost(this); }
  ~CRecordingHost() override { SetHost(nullptr); }

  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override {
    std::lock_guard lock(m_lock);
    m_messages.push_back({text, caption, flags});
    return m_answer;
  }
  void SetStatusText(const std::string& text) override {
    {
      std::lock_guard lock(m_lock);
      m_status.push_back(text);
    }
    if (m_onStatus) m_onStatus(text);
  }
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override {
    std::lock_guard lock(m_lock);
    ++m_compressionRequests;
    if (!m_compression) return false;
    options = *m_compression;
    return true;
  }
  void DebugTrace(const std::string& text) override {
    std::lock_guard lock(m_lock);
    m_traces.push_back(text);
  }

  std::vector<CRecordedMessage> Messages() const {
    std::lock_guard lock(m_lock);
    return m_messages;
  }
  std::vector<std::string> Status() const {
    std::lock_guard lock(m_lock);
    return m_status;
  }
  std::vector<std::string> Traces() const {
    std::lock_guard lock(m_lock);
    return m_traces;
  }
  // Forgets what was shown so far.
  void Clear() {
    std::lock_guard lock(m_lock);
    m_messages.clear();
    m_status.clear();
    m_traces.clear();
  }
  int CompressionRequests() const {
    std::lock_guard lock(m_lock);
    return m_compressionRequests;
  }

  // What ChooseCompression answers: the options, or nullopt for Cancel.
  std::optional<AVICOMPRESSOPTIONS> m_compression;
  // What a message box answers.
  int m_answer = IDOK;
  // Called after each status text is recorded (e.g. to stop a job after N frames).
  std::function<void(const std::string&)> m_onStatus;

 private:
  mutable std::mutex m_lock;
  std::vector<CRecordedMessage> m_messages;
  std::vector<std::string> m_status;
  std::vector<std::string> m_traces;
  int m_compressionRequests = 0;
};

}  // namespace corvane::test
