// Failed logins slow down whoever makes them. Records are kept per address and per account
// from each address: a few failures are free, each one after them doubles a pause (from
// 1 s up to a ceiling) during which logins are refused. A success clears its account's
// record from that address. Since every record names an address, an attacker's failures
// never lock the real user out from another one. A name that is no account counts against
// the address alone, so the names an attacker makes up cost no records.
//
// The records are bounded (`maxRecords`). When a failure needs a new record and there is no
// room, the record quiet longest whose pause has run out makes room; when every record is
// paused (a flood from more addresses than the table holds), the failure goes uncounted and
// is logged once per second at most: the paused stay paused, nobody is locked out who has
// not failed, and memory stays bounded.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace talkhub_server {

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kDefaultMaxRecords = 1 << 16;

    // `freeFailures` per account and address (four times as many per address, which a
    // whole office behind one router may share); pauses of at most `longestPause`.
    LoginThrottle(uint32_t freeFailures, std::chrono::milliseconds longestPause,
                  std::size_t maxRecords = kDefaultMaxRecords);

    // How much longer logins of this account from this address are refused; zero: allowed.
    Clock::duration pauseLeft(const boost::asio::ip::address& from, const std::string& account,
                              Clock::time_point now) const;
    // A failed login of `account` (empty: a name that is no account).
    void failed(const boost::asio::ip::address& from, const std::string& account, Clock::time_point now);
    // Failures that found the table full of paused records and went uncounted.
    uint64_t uncounted() const { return uncounted_; }
    void succeeded(const boost::asio::ip::address& from, const std::string& account);
    // Forgets what has been quiet for a long while, so the records stay few.
    void prune(Clock::time_point now);
    std::size_t records() const { return records_.size(); }

private:
    struct Record {
        uint32_t failures = 0;
        Clock::time_point pausedUntil{};
        Clock::time_point lastFailure{};
    };
    // An empty account name keys the address's own record.
    using Key = std::pair<boost::asio::ip::address, std::string>;

    void count(const Key& key, uint32_t free, Clock::time_point now);
    // Frees a place for a new record; false when every record is paused now.
    bool makeRoom(Clock::time_point now);

    uint32_t freeFailures_;
    Clock::duration longestPause_;
    std::size_t maxRecords_;
    std::map<Key, Record> records_;
    uint64_t uncounted_ = 0;
    Clock::time_point lastUncountedLine_{};
};

}  // namespace talkhub_server
