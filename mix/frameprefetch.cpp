#include "mix/frameprefetch.h"

#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace corvane {

bool TopCursorFor(const CVideoReader& mainReader, const CVideoReader& topReader,
                  const CAviStream& topStream, uint8_t loop, TopFrameCursor& cursor) {
  cursor = TopFrameCursor{};
  cursor.start = topReader.m_startFrame;
  cursor.end = topReader.m_endFrame;
  cursor.next = topReader.m_startFrame;
  cursor.loop = loop;
  try {
    auto times = std::make_shared<SPresentationTimes>();
    if (topStream.PresentationTimes(*times)) {
      cursor.times = std::move(times);
      cursor.mainScale = mainReader.m_streamInfo.dwScale;
      cursor.mainRate = mainReader.m_streamInfo.dwRate;
    }
  } catch (const std::bad_alloc&) {
    ShowMessage("Cannot allocate memory for the top layer's frame times", MB_ICONINFORMATION);
    return false;
  }
  return true;
}
namespace {

std::unique_ptr<uint8_t[]> AllocateZeroed(int64_t size) {
  if (size < 0 || size > std::numeric_limits<int32_t>::max()) return nullptr;
  try {
    return std::make_unique<uint8_t[]>(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

int CDeferredHost::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  try {
    m_events.push_back({EKind::kMessage, text, caption, flags});
  } catch (const std::bad_alloc&) {
    // Out of memory on the helper: the message is lost, the frame is not.
  }
  // Only boxes with an OK button come from reading a frame.
  return IDOK;
}

void CDeferredHost::SetStatusText(const std::string& text) {
  try {
    m_events.push_back({EKind::kStatus, text, std::string(), 0});
  } catch (const std::bad_alloc&) {
  }
}

bool CDeferredHost::ChooseCompression(AVICOMPRESSOPTIONS& options) {
  (void)options;
  return false;  // no dialog can be deferred
}

void CDeferredHost::DebugTrace(const std::string& text) {
  try {
    m_events.push_back({EKind::kTrace, text, std::string(), 0});
  } catch (const std::bad_alloc&) {
  }
}

void CDeferredHost::Replay() {
  for (const CEvent& event : m_events) {
    switch (event.m_kind) {
      case EKind::kMessage:
        ShowMessage(event.m_text, event.m_flags, event.m_caption);
        break;
      case EKind::kStatus:
        SetStatus(event.m_text);
        break;
      case EKind::kTrace:
        Trace(event.m_text.c_str());
        break;
    }
  }
  m_events.clear();
}

CFramePrefetcher::EAllocation CFramePrefetcher::Allocate(int64_t outputBytes, int64_t topBytes) {
  for (CPrefetchSlot& slot : m_slots) {
    slot.m_output = AllocateZeroed(outputBytes);
    if (!slot.m_output) return EAllocation::kNoOutputFrame;
  }
  for (CPrefetchSlot& slot : m_slots) {
    slot.m_top = AllocateZeroed(topBytes);
    if (!slot.m_top) return EAllocation::kNoTopFrame;
  }
  m_outputBytes = outputBytes;
  m_topBytes = topBytes;
  return EAllocation::kOk;
}

void CFramePrefetcher::SetLayerSteps(int32_t firstShown, int32_t endShown, CLayerScaler* scaler,
                                     const CMixRule& rule) {
  m_firstShown = firstShown;
  m_endShown = endShown;
  m_scaler = scaler;
  m_rule = rule;
}

void CFramePrefetcher::Start(CVideoReader& mainReader, CVideoReader& topReader,
                             const TopFrameCursor& cursor, int32_t first, int32_t end) {
  m_main = &mainReader;
  m_top = &topReader;
  m_cursor = cursor;
  m_first = first;
  m_end = end;
  if (first >= end) return;
  try {
    m_thread = std::thread([this] { Run(); });
    m_threaded = true;
  } catch (const std::system_error&) {
    m_threaded = false;  // read on the job's thread instead
  }
}

void CFramePrefetcher::Fill(CPrefetchSlot& slot, int32_t frame) {
  slot.m_events.Clear();
  CThreadHostScope scope(&slot.m_events);
  // The job's own order: the main frame, then the top layer's step and read. A failed read
  // leaves the reader's previous frame in its buffer, and that one is mixed.
  if (m_main->ReadFrame(frame) == 0) m_haveMain = true;
  int32_t topIndex = 0;
  const int64_t number = int64_t{frame} - m_first;
  const bool shown = number >= m_firstShown && number < m_endShown;
  if (shown && m_cursor.Step(topIndex) && m_top->ReadFrame(topIndex) == 0) {
    slot.m_haveTop = true;
    // Once per top frame, however many output frames show it.
    if (m_scaler) m_scaler->Prepare(m_rule, m_top->m_buffer.get());
  }
  if (m_haveMain) {
    std::memcpy(slot.m_output.get(), m_main->m_buffer.get(), static_cast<size_t>(m_outputBytes));
  } else {
    std::memset(slot.m_output.get(), 0, static_cast<size_t>(m_outputBytes));
  }
}

void CFramePrefetcher::Run() {
  bool haveTop = false;
  for (int64_t index = 0; m_first + index < m_end; ++index) {
    {
      std::unique_lock lock(m_lock);
      m_changed.wait(lock, [&] { return m_stopping || m_filled - m_released < kSlots; });
      if (m_stopping) return;
    }
    CPrefetchSlot& slot = m_slots[index % kSlots];
    slot.m_haveTop = haveTop;
    Fill(slot, static_cast<int32_t>(m_first + index));
    haveTop = slot.m_haveTop;
    // The top layer's current frame, copied while the reader is not yet on the next one.
    if (haveTop) std::memcpy(slot.m_top.get(), TopPixels(), static_cast<size_t>(m_topBytes));
    {
      std::lock_guard lock(m_lock);
      ++m_filled;
    }
    m_changed.notify_all();
  }
}

CPrefetchSlot& CFramePrefetcher::Next() {
  CPrefetchSlot& slot = m_slots[m_taken % kSlots];
  if (!m_threaded) {
    const bool haveTop = m_taken > 0 && m_slots[(m_taken - 1) % kSlots].m_haveTop;
    slot.m_haveTop = haveTop;
    Fill(slot, static_cast<int32_t>(m_first + m_taken));
    if (slot.m_haveTop) {
      std::memcpy(slot.m_top.get(), TopPixels(), static_cast<size_t>(m_topBytes));
    }
    ++m_filled;
  } else {
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [&] { return m_filled > m_taken; });
  }
  ++m_taken;
  return slot;
}

void CFramePrefetcher::Release() {
  {
    std::lock_guard lock(m_lock);
    m_released = m_taken;
  }
  m_changed.notify_all();
}

void CFramePrefetcher::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard lock(m_lock);
    m_stopping = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

}  // namespace corvane
