#include "cluster/inbox.h"

namespace talkhub_server {

bool Inbox::addVoice(uint32_t groupId, const unsigned char* data, std::size_t size, bool& dropped) {
    return add({groupId, 0, size, {}}, data, dropped);
}

bool Inbox::addEvent(std::function<void()> event, bool& dropped) {
    return add({0, 0, 0, std::move(event)}, nullptr, dropped);
}

bool Inbox::add(Entry entry, const unsigned char* data, bool& dropped) {
    std::lock_guard guard(lock_);
    dropped = waiting_.size() >= bound_;
    if (dropped) return false;
    const bool wasEmpty = waiting_.empty();
    entry.offset = waitingBytes_.size();
    if (data != nullptr) waitingBytes_.insert(waitingBytes_.end(), data, data + entry.size);
    waiting_.push_back(std::move(entry));
    return wasEmpty;
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
