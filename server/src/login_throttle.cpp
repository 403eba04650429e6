#include "login_throttle.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace talkhub_server {

namespace {

constexpr auto kFirstPause = std::chrono::seconds(1);
constexpr uint32_t kAddressShare = 4;
// A record this long past its last failure and its pause is forgotten.
constexpr auto kMemory = std::chrono::minutes(10);

}  // namespace

LoginThrottle::LoginThrottle(uint32_t freeFailures, std::chrono::milliseconds longestPause, std::size_t maxRecords)
    : freeFailures_(freeFailures), longestPause_(longestPause), maxRecords_(maxRecords) {}

LoginThrottle::Clock::duration LoginThrottle::pauseLeft(const boost::asio::ip::address& from,
                                                        const std::string& account, Clock::time_point now) const {
    Clock::duration left{};
    for (const Key& key : {Key{from, account}, Key{from, ""}}) {
        const auto found = records_.find(key);
        if (found != records_.end() && found->second.pausedUntil > now) {
            left = std::max(left, found->second.pausedUntil - now);
        }
    }
    return left;
}

void LoginThrottle::failed(const boost::asio::ip::address& from, const std::string& account, Clock::time_point now) {
    if (!account.empty()) count({from, account}, freeFailures_, now);
    count({from, ""}, freeFailures_ * kAddressShare, now);
}

void LoginThrottle::count(const Key& key, uint32_t free, Clock::time_point now) {
    if (records_.count(key) == 0 && records_.size() >= maxRecords_ && !makeRoom(now)) {
        ++uncounted_;
        if (now - lastUncountedLine_ >= std::chrono::seconds(1)) {
            spdlog::warn("failed logins uncounted: all {} throttle records are paused ({} uncounted so far)",
                         maxRecords_, uncounted_);
            lastUncountedLine_ = now;
        }
        return;
    }
    Record& record = records_[key];
    record.lastFailure = now;
    if (++record.failures <= free) return;
    // 1 s for the first failure past the free ones, doubling, never past the ceiling.
    const uint32_t doublings = std::min<uint32_t>(record.failures - free - 1, 16);
    const Clock::duration pause = std::min<Clock::duration>(kFirstPause * (1U << doublings), longestPause_);
    record.pausedUntil = now + pause;
}

void LoginThrottle::succeeded(const boost::asio::ip::address& from, const std::string& account) {
    records_.erase({from, account});
}

bool LoginThrottle::makeRoom(Clock::time_point now) {
    auto quietest = records_.end();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->second.pausedUntil > now) continue;
        if (quietest == records_.end() || it->second.lastFailure < quietest->second.lastFailure) quietest = it;
    }
    if (quietest == records_.end()) return false;
    records_.erase(quietest);
    return true;
}

void LoginThrottle::prune(Clock::time_point now) {
    std::erase_if(records_, [&](const auto& entry) {
        const Record& record = entry.second;
        return now - record.lastFailure > kMemory && now > record.pausedUntil;
    });
}

}  // namespace talkhub_server
