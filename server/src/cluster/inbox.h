// What NATS delivers for the network thread (floor events, messages to this node), waiting
// there in the order it came. The delivery thread hands a drain to the network thread only
// when the inbox was empty, so a burst crosses in one hand-off; at most `bound` messages
// wait, the rest are dropped and counted.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace talkhub_server {

class Inbox {
public:
    explicit Inbox(std::size_t bound) : bound_(bound) {}

    // What became of a message handed in: it waits, it is the first to wait (a drain is to be
    // posted), or it found the inbox full.
    enum class Added { kWaiting, kDrainDue, kDropped };
    // Delivery thread.
    Added add(std::function<void()> event);
    // Network thread: runs everything waiting, in order.
    void drain();

private:
    const std::size_t bound_;
    std::mutex lock_;
    std::vector<std::function<void()>> waiting_;
    // The network thread's: the batch being drained, kept to reuse its capacity.
    std::vector<std::function<void()>> draining_;
};

}  // namespace talkhub_server
