// Process-wide state of the mix thread control, shared by the UI thread and the mix worker.
#pragma once

#include <mutex>

namespace corvane {

// Serialises stopping a mix. Exists from before the main dialog until the process ends.
std::mutex& MixerLock();

}  // namespace corvane
