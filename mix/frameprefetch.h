// Reading ahead for a mix job: a helper thread reads the main video's next frame and steps the
// lowest layer to it while the job composites, compresses and writes the current one.
//
// The job sees exactly what it would see reading in turn on its own thread: the helper reads
// frame after frame in the job's order and steps the layer in that order, and everything a
// read would tell the user (the "R" traces, a failed read's message) is held back with the
// frame and passed to the host by the job's thread when it takes that frame, after the frame's
// progress text. At most one frame is read ahead; a job that stops drops it unseen.
//
// CFramePrefetcher owns the helper thread and two frame slots (each a main-sized output frame
// and a copy of the layer's picture). It borrows the main reader and the layer, which the caller
// must not use between Start and Stop (but for laying on the slot's copy). No exception leaves it:
// without a thread it reads on the caller's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/host.h"
#include "media/videoreader.h"
#include "mix/composite.h"
#include "mix/layerunit.h"
#include "mix/smartcopy.h"

namespace corvane {

// Records the host calls of one thread and passes them on later, in the same order.
class CDeferredHost final : public CHost {
 public:
  int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
  void SetStatusText(const std::string& text) override;
  bool ChooseCompression(AVICOMPRESSOPTIONS& options) override;
  void DebugTrace(const std::string& text) override;

  // Passes every recorded call to the calling thread's host, then forgets them.
  void Replay();
  void Clear() { m_events.clear(); }

 private:
  enum class EKind { kMessage, kStatus, kTrace };
  struct CEvent {
    EKind m_kind;
    std::string m_text;
    std::string m_caption;
    uint32_t m_flags;
  };
  std::vector<CEvent> m_events;
};

// One frame as the job gets it.
struct CPrefetchSlot {
  std::unique_ptr<uint8_t[]> m_output;  // the main frame (black before the first good read)
  std::unique_ptr<uint8_t[]> m_top;     // the lowest layer's picture for it, when m_haveTop
  bool m_haveTop = false;               // the layer is shown on this frame and has a picture
  // A frame copied from the main video: its sample as stored, not decoded (m_output unset).
  bool m_copied = false;
  std::vector<uint8_t> m_sample;
  bool m_sampleKey = true;  // the copied sample is a key frame
  CDeferredHost m_events;   // what reading this frame told the user, not yet shown
};

class CFramePrefetcher {
 public:
  enum class EAllocation { kOk, kNoOutputFrame, kNoTopFrame };

  CFramePrefetcher() = default;
  ~CFramePrefetcher() { Stop(); }
  CFramePrefetcher(const CFramePrefetcher&) = delete;
  CFramePrefetcher& operator=(const CFramePrefetcher&) = delete;

  // Decode the main video's frames with this second reader (open on the same stream) too, two
  // at a time. Call before Allocate; the main stream must read concurrently and decode each
  // frame on its own.
  void AddMainReader(std::unique_ptr<CVideoReader> reader);
  // How many helpers read frames (1, or 2 with a second main reader).
  int Helpers() const { return m_second ? 2 : 1; }

  // Zero-filled slots for frames of `outputBytes` and top frames of `topBytes`.
  EAllocation Allocate(int64_t outputBytes, int64_t topBytes);

  // Frames `plan` copies are read from `mainStream` (borrowed, the main reader's stream) as
  // stored instead of being decoded; a frame whose sample cannot be read is decoded after all.
  // Call before Start.
  void SetCopied(const CCopyPlan* plan, CAviStream* mainStream) {
    m_copyPlan = plan;
    m_mainStream = mainStream;
  }

  // Starts reading frames first..end-1 of `mainReader` (positions in its stream) and stepping
  // `lowest` (borrowed; may be null) to each, its picture copied into the slot. Call once, after
  // Allocate succeeded.
  void Start(CVideoReader& mainReader, CLayerUnit* lowest, int32_t first, int32_t end);

  // The next frame in order, once it has been read. Valid until Release. Only after Start, and
  // never more often than there are frames.
  CPrefetchSlot& Next();
  // The job is done with the frame Next gave; its slot may be read into again.
  void Release();

  // Ends the helper threads (a frame being read is finished and dropped). Safe to repeat.
  void Stop();

 private:
  void Run(int helper);
  // The sample of frame `index` into the slot, when the frame is copied and it reads.
  bool ReadSample(int64_t index, CPrefetchSlot& slot);
  // Reads frame `index` (from 0) into its slot with the helper's main reader; the in-order part
  // (the top layer, a failed read's stand-in) waits for the frame's turn when `ordered`.
  void Fill(int64_t index, int helper, bool ordered);
  CPrefetchSlot& SlotOf(int64_t index) { return m_slots[size_t(index % int64_t(m_slots.size()))]; }

  std::vector<CPrefetchSlot> m_slots;
  int64_t m_outputBytes = 0;
  int64_t m_topBytes = 0;
  CVideoReader* m_main = nullptr;
  std::unique_ptr<CVideoReader> m_second;
  CLayerUnit* m_lowest = nullptr;
  const CCopyPlan* m_copyPlan = nullptr;
  CAviStream* m_mainStream = nullptr;
  int64_t m_lastGood = -1;  // the last main frame read well (in frame order)
  int32_t m_first = 0;
  int32_t m_end = 0;
  int64_t m_firstNumber = 0;  // main frame m_first, counted from 0 as the plans count them

  std::mutex m_lock;
  std::condition_variable m_changed;
  int64_t m_turn = 0;      // the frame whose in-order part may run
  int64_t m_filled = 0;    // frames read so far
  int64_t m_taken = 0;     // frames handed to the job
  int64_t m_released = 0;  // frames the job is done with
  bool m_stopping = false;
  bool m_threaded = false;
  std::vector<std::thread> m_threads;
};

}  // namespace corvane
