#include "cluster/inbox.h"

namespace talkhub_server {

Inbox::Added Inbox::add(std::function<void()> event) {
    std::lock_guard guard(lock_);
    if (waiting_.size() >= bound_) return Added::kDropped;
    const bool wasEmpty = waiting_.empty();
    waiting_.push_back(std::move(event));
    return wasEmpty ? Added::kDrainDue : Added::kWaiting;
}

void Inbox::drain() {
    {
        std::lock_guard guard(lock_);
        waiting_.swap(draining_);
    }
    for (std::function<void()>& event : draining_) event();
    draining_.clear();
}

}  // namespace talkhub_server
