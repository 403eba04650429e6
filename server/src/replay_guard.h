// Remembers the nonces of accepted login proofs, so that a proof captured on the network is
// good for no second login. A proof is accepted only within the clock window of the time it
// names, so a nonce needs remembering only that long: each is kept for twice the window
// (and a second) from its first use, measured on the steady clock, so a change of the wall
// clock cannot forget one early. Only proofs whose MAC was genuine reach the guard, so only
// holders of a key can fill it; when it is full, logins wait until old nonces expire.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <set>

#include <talkwire.h>

namespace talkhub_server {

class ReplayGuard {
public:
    using Clock = std::chrono::steady_clock;
    using Nonce = std::array<unsigned char, TW_LOGIN_NONCE_SIZE>;
    enum class Verdict { kFirstUse, kReplayed, kFull };

    ReplayGuard(std::chrono::seconds window, std::size_t capacity);

    // Records the nonce unless it was seen (replayed) or there is no room (full).
    Verdict use(const Nonce& nonce, Clock::time_point now);
    std::size_t remembered() const { return seen_.size(); }

private:
    void forgetExpired(Clock::time_point now);

    Clock::duration keep_;
    std::size_t capacity_;
    std::set<Nonce> seen_;
    // In the order of first use, which is also the order of expiry.
    std::deque<std::pair<Clock::time_point, Nonce>> expiry_;
};

}  // namespace talkhub_server
