// Serialises the callbacks of one socket and makes clearing them safe.
//
// Every callback of a socket runs with `running` held, so two never overlap. A setter on
// another thread takes the same mutex, so it waits for a running call to end and no call
// can start on the old function afterwards. A setter inside a callback of the same socket
// (the owner thread already holds the mutex) replaces the function at once; the running
// call finishes on a moved-out copy so the callable is never destroyed under itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace harbor {

class CallbackGuard {
public:
    // Installs `value` in `slot`, from any thread, including from inside a callback.
    // Returns with the guard released; `after` runs under the guard once the slot is set.
    template <typename Function, typename After>
    void assign(Function& slot, const Function& value, After&& after) {
        if (insideCallback()) {
            if (static_cast<void*>(&slot) == invoking_) invokingReplaced_ = true;
            slot = value;
            after();
            return;
        }
        std::lock_guard lock(running_);
        slot = value;
        after();
    }

    // Invokes `slot` under the guard on the loop thread. Returns false when it was empty.
    template <typename Function, typename... Args>
    bool invoke(Function& slot, Args&&... args) {
        std::lock_guard lock(running_);
        if (!slot) return false;
        Function call = std::move(slot);
        slot = nullptr;
        void* outer = invoking_;
        bool outerReplaced = invokingReplaced_;
        invoking_ = &slot;
        invokingReplaced_ = false;
        std::thread::id outerOwner = owner_.exchange(std::this_thread::get_id(), std::memory_order_relaxed);
        call(std::forward<Args>(args)...);
        owner_.store(outerOwner, std::memory_order_relaxed);
        if (!invokingReplaced_) slot = std::move(call);
        invoking_ = outer;
        invokingReplaced_ = outerReplaced;
        return true;
    }

private:
    bool insideCallback() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

    std::recursive_mutex running_;
    std::atomic<std::thread::id> owner_{};
    void* invoking_ = nullptr;
    bool invokingReplaced_ = false;
};

}  // namespace harbor
