// A host callback waiting for its answer is called at most once: whoever takes it from its
// slot calls it, and a second answer finds the slot empty.
#pragma once

#include <atomic>

template <typename Callback, typename... Args>
void finish(std::atomic<Callback>& slot, Args... args) {
    if (Callback callback = slot.exchange(nullptr)) callback(args...);
}
