// What NATS delivers, waiting for the network thread, in the order it came: voice as bytes in
// one buffer (no allocation per datagram once the buffers have grown), anything else as an
// event. The delivery thread hands a drain to the network thread only when the inbox was
// empty, so a burst crosses in one hand-off; at most `bound` messages wait, the rest are
// dropped and counted.
#pragma once

#include <cstddef>
#include <cstdint>
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
    Added addVoice(uint32_t groupId, const unsigned char* data, std::size_t size);
    Added addEvent(std::function<void()> event);

    struct Sink {
        std::function<void(uint32_t groupId, const unsigned char* data, std::size_t size)> voice;
        // After a run of voice: what was queued goes out before the next event and at the end.
        std::function<void()> voiceDone;
    };
    // Network thread: takes everything waiting, in order.
    void drain(const Sink& sink);

private:
    struct Entry {
        uint32_t groupId = 0;
        std::size_t offset = 0;
        std::size_t size = 0;
        std::function<void()> event;  // empty for voice
    };
    Added add(Entry entry, const unsigned char* data);

    const std::size_t bound_;
    std::mutex lock_;
    std::vector<Entry> waiting_;
    std::vector<unsigned char> waitingBytes_;
    // The network thread's: the batch being drained, kept to reuse its capacity.
    std::vector<Entry> draining_;
    std::vector<unsigned char> drainingBytes_;
};

}  // namespace talkhub_server
