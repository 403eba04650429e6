#include "cluster/inbox.h"

namespace talkhub_server {

Inbox::Added Inbox::addVoice(uint32_t groupId, const unsigned char* data, std::size_t size) {
    return add({groupId, 0, size, {}}, data);
}

Inbox::Added Inbox::addEvent(std::function<void()> event) { return add({0, 0, 0, std::move(event)}, nullptr); }

Inbox::Added Inbox::add(Entry entry, const unsigned char* data) {
    std::lock_guard guard(lock_);
    if (waiting_.size() >= bound_) return Added::kDropped;
    const bool wasEmpty = waiting_.empty();
    entry.offset = waitingBytes_.size();
    if (data != nullptr) waitingBytes_.insert(waitingBytes_.end(), data, data + entry.size);
    waiting_.push_back(std::move(entry));
    return wasEmpty ? Added::kDrainDue : Added::kWaiting;
}

void Inbox::drain(const Sink& sink) {
    {
        std::lock_guard guard(lock_);
        waiting_.swap(draining_);
        waitingBytes_.swap(drainingBytes_);
    }
    bool voiceQueued = false;
    for (Entry& entry : draining_) {
        if (entry.event) {
            if (voiceQueued) sink.voiceDone();
            voiceQueued = false;
            entry.event();
        } else {
            sink.voice(entry.groupId, drainingBytes_.data() + entry.offset, entry.size);
            voiceQueued = true;
        }
    }
    if (voiceQueued) sink.voiceDone();
    draining_.clear();
    drainingBytes_.clear();
}

}  // namespace talkhub_server
