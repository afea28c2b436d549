#include "mix/frameprefetch.h"

#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "media/codec/frameconvert.h"

namespace corvane {

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

void CFramePrefetcher::AddMainReader(std::unique_ptr<CVideoReader> reader) {
  m_second = std::move(reader);
}

CFramePrefetcher::EAllocation CFramePrefetcher::Allocate(int64_t outputBytes, int64_t topBytes) {
  // The job's frame and one being read by each helper.
  try {
    m_slots = std::vector<CPrefetchSlot>(size_t(Helpers()) + 1);
  } catch (const std::bad_alloc&) {
    return EAllocation::kNoOutputFrame;
  }
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

void CFramePrefetcher::Start(CVideoReader& mainReader, CLayerUnit* lowest, int32_t first,
                             int32_t end) {
  m_main = &mainReader;
  m_lowest = lowest;
  m_first = first;
  m_end = end;
  m_firstNumber = int64_t{first} - mainReader.m_startFrame;
  if (first >= end) return;
  try {
    for (int helper = 0; helper < Helpers(); ++helper)
      m_threads.emplace_back([this, helper] { Run(helper); });
    m_threaded = true;
  } catch (const std::system_error&) {
    // Read on the job's thread instead, with the main reader alone, from the first frame.
    Stop();
    m_stopping = false;
    m_threaded = false;
    m_turn = m_filled = 0;
    m_lastGood = -1;
    if (m_lowest) m_lowest->Rewind();
  }
}

bool CFramePrefetcher::ReadSample(int64_t index, CPrefetchSlot& slot) {
  if (!m_copyPlan || !m_mainStream || !m_copyPlan->Copied(m_firstNumber + index)) return false;
  const auto position = static_cast<int32_t>(m_first + index);
  int32_t bytes = 0;
  if (m_mainStream->Read(position, 1, nullptr, 0, &bytes, nullptr) != AVIERR_OK || bytes <= 0)
    return false;
  try {
    slot.m_sample.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return false;
  }
  int32_t read = 0;
  // Pictures of one long group lean on those before them: only its first is a key frame.
  slot.m_sampleKey = !m_copyPlan->m_closedRuns ||
                     m_mainStream->FindSample(position, FIND_PREV | FIND_KEY) == position;
  return m_mainStream->Read(position, 1, slot.m_sample.data(), bytes, &read, nullptr) ==
             AVIERR_OK &&
         read == bytes;
}

void CFramePrefetcher::Fill(int64_t index, int helper, bool ordered) {
  CPrefetchSlot& slot = SlotOf(index);
  CVideoReader& reader = helper == 0 ? *m_main : *m_second;
  slot.m_events.Clear();
  slot.m_copied = ReadSample(index, slot);
  bool mainRead = false;
  if (!slot.m_copied) {
    CThreadHostScope scope(&slot.m_events);
    mainRead = reader.ReadFrame(static_cast<int32_t>(m_first + index)) == 0;
  }
  const auto size = static_cast<size_t>(m_outputBytes);
  if (mainRead) {
    // With two readers no reader's buffer is read again after this (a failed read reads the last
    // good frame anew), so the decoded frame changes places with the slot's instead of being
    // copied.
    if (m_second && reader.m_bufferSize == m_outputBytes) {
      std::swap(slot.m_output, reader.m_buffer);
    } else {
      std::memcpy(slot.m_output.get(), reader.m_buffer.get(), size);
    }
  }
  if (ordered) {
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [&] { return m_stopping || m_turn == index; });
    if (m_stopping) return;
  }
  // This frame's turn: what depends on the frames before it.
  CThreadHostScope scope(&slot.m_events);
  if (slot.m_copied) {
    // No layer shows on it; the step only lets a layer past its range close its reader.
    if (m_lowest) m_lowest->Advance(m_firstNumber + index);
    slot.m_haveTop = false;
    return;
  }
  if (mainRead) {
    m_lastGood = index;
  } else if (m_lastGood < 0) {
    std::memset(slot.m_output.get(), 0, size);
  } else if (!m_second) {
    // A failed read leaves the reader's previous frame in its buffer, and that one is mixed.
    std::memcpy(slot.m_output.get(), reader.m_buffer.get(), size);
  } else {
    // This reader's buffer holds another helper's frame: read the last good one again, quietly
    // (a single reader would have said nothing more).
    CDeferredHost quiet;
    CThreadHostScope silence(&quiet);
    if (reader.ReadFrame(static_cast<int32_t>(m_first + m_lastGood)) == 0) {
      std::memcpy(slot.m_output.get(), reader.m_buffer.get(), size);
    } else {
      std::memset(slot.m_output.get(), 0, size);
    }
  }
  // The job's own order: the main frame, then the layer's step to it. Its picture is copied
  // while the layer is not yet on the next one.
  const uint8_t* pixels = m_lowest ? m_lowest->Advance(m_firstNumber + index) : nullptr;
  slot.m_haveTop = pixels != nullptr;
  if (pixels) std::memcpy(slot.m_top.get(), pixels, static_cast<size_t>(m_topBytes));
}

void CFramePrefetcher::Run(int helper) {
  const int64_t count = int64_t{m_end} - m_first;
  const auto slots = static_cast<int64_t>(m_slots.size());
  for (int64_t index = helper; index < count; index += Helpers()) {
    {
      std::unique_lock lock(m_lock);
      m_changed.wait(lock, [&] { return m_stopping || index - m_released < slots; });
      if (m_stopping) return;
    }
    Fill(index, helper, true);
    {
      std::lock_guard lock(m_lock);
      if (m_stopping) return;
      m_turn = index + 1;
      m_filled = index + 1;
    }
    m_changed.notify_all();
  }
}

CPrefetchSlot& CFramePrefetcher::Next() {
  CPrefetchSlot& slot = SlotOf(m_taken);
  if (!m_threaded) {
    Fill(m_taken, 0, false);
    ++m_filled;
    ++m_turn;
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
  {
    std::lock_guard lock(m_lock);
    m_stopping = true;
  }
  m_changed.notify_all();
  for (std::thread& thread : m_threads) {
    if (thread.joinable()) thread.join();
  }
  m_threads.clear();
}

}  // namespace corvane
