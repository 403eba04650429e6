#include "replay_guard.h"

namespace talkhub_server {

ReplayGuard::ReplayGuard(std::chrono::seconds window, std::size_t capacity)
    : keep_(2 * window + std::chrono::seconds(1)), capacity_(capacity) {}

ReplayGuard::Verdict ReplayGuard::use(const Nonce& nonce, Clock::time_point now) {
    forgetExpired(now);
    if (seen_.count(nonce) != 0) return Verdict::kReplayed;
    if (seen_.size() >= capacity_) return Verdict::kFull;
    seen_.insert(nonce);
    expiry_.emplace_back(now + keep_, nonce);
    return Verdict::kFirstUse;
}

void ReplayGuard::forgetExpired(Clock::time_point now) {
    while (!expiry_.empty() && expiry_.front().first <= now) {
        seen_.erase(expiry_.front().second);
        expiry_.pop_front();
    }
}

}  // namespace talkhub_server
