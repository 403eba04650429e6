// What the library's tests share: the host's callbacks recorded, the library's log read
// back, a scripted signalling peer on loopback, and a fixture that runs the service.
#pragma once

#include <gtest/gtest.h>
#include <harbor/harbor.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framed_stream.h"
#include "platform/module_path.h"
#include "service/instance.h"
#include "signalling/voice_talk.h"
#include "talkhub.h"

namespace talkhub_test {

using test_support::Bytes;
using test_support::FramedStream;
using namespace std::chrono_literals;

// One call of a host callback.
struct HostEvent {
    enum Kind { kLogin, kNotify, kResult } kind;
    int value = 0;
    std::string text;
    bool textNull = false;
};

// Records every host callback; the callbacks are plain functions as a C host has them.
class HostEvents {
public:
    static HostEvents& instance() {
        static HostEvents events;
        return events;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

    void record(HostEvent::Kind kind, int value, const char* text) {
        std::lock_guard lock(mutex_);
        events_.push_back({kind, value, text != nullptr ? text : "", text == nullptr});
        changed_.notify_all();
    }

    // The first event of this kind not yet taken, waiting at most `wait`.
    std::optional<HostEvent> take(HostEvent::Kind kind, std::chrono::milliseconds wait = 5000ms) {
        std::unique_lock lock(mutex_);
        std::optional<HostEvent> found;
        changed_.wait_for(lock, wait, [&] {
            for (auto it = events_.begin(); it != events_.end(); ++it) {
                if (it->kind == kind) {
                    found = *it;
                    events_.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::size_t count(HostEvent::Kind kind) {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const HostEvent& event : events_) n += event.kind == kind ? 1 : 0;
        return n;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HostEvent> events_;
};

inline void onLoginResult(int result, const char* text) {
    HostEvents::instance().record(HostEvent::kLogin, result, text);
}

inline void onNotify(int code, const char* text) { HostEvents::instance().record(HostEvent::kNotify, code, text); }

inline void onResult(int result) { HostEvents::instance().record(HostEvent::kResult, result, ""); }

// The library's log beside the module, read from the point where the reader was made.
class LogTail {
public:
    LogTail() : start_(size()) {}

    static std::string folder() {
        return talkhub::platform::moduleFolder(talkhub::platform::moduleFileName()) + "/log/TalkHub";
    }

    static std::string todaysFile() {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char date[16];
        std::strftime(date, sizeof date, "%Y-%m-%d", &local);
        return folder() + "/TalkHub_" + date + ".log";
    }

    std::string text() const {
        harbor::logFlush();
        std::ifstream file(todaysFile(), std::ios::binary);
        file.seekg(static_cast<std::streamoff>(start_));
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }

    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

    std::size_t count(const std::string& line) const {
        const std::string all = text();
        std::size_t n = 0;
        for (std::size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) ++n;
        return n;
    }

private:
    static std::size_t size() {
        harbor::logFlush();
        std::ifstream file(todaysFile(), std::ios::binary | std::ios::ate);
        return file ? static_cast<std::size_t>(file.tellg()) : 0;
    }

    std::size_t start_;
};

// A signalling server played by the test: it listens on loopback and the test decides
// every byte that goes back.
class ScriptedPeer {
public:
    ScriptedPeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = test_support::loopback(0);
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~ScriptedPeer() { ::close(listener_); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }

    // The next connection, or null within the wait.
    std::unique_ptr<FramedStream> accept(std::chrono::milliseconds wait = 5000ms) {
        if (!test_support::readable(listener_, wait)) return nullptr;
        return std::make_unique<FramedStream>(::accept(listener_, nullptr, nullptr));
    }

    // Accepts and reads the login request.
    std::unique_ptr<FramedStream> acceptLogin() {
        auto stream = accept();
        EXPECT_NE(stream, nullptr);
        if (stream) {
            EXPECT_TRUE(stream->expect(TW_CMD_LOGIN).has_value());
        }
        return stream;
    }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

// An accepted login answer pointing the voice channel at a loopback port.
inline tw_login_ack acceptedLogin(uint16_t voicePort, uint32_t heartbeatMs, uint32_t userId = 1001) {
    tw_login_ack ack{};
    std::strcpy(ack.voiceAddress, "127.0.0.1");
    ack.voicePort = voicePort;
    ack.heartbeatInterval = heartbeatMs;
    ack.voiceHeartbeatInterval = 8000;
    ack.userId = userId;
    std::strcpy(ack.markerText, "Alice");
    ack.markerId = userId;
    return ack;
}

// A login answer as it is, unprotected: a refusal or a redirect (an accepting answer carries
// the exchange: FramedStream::answerLogin).
inline Bytes loginAnswer(const tw_login_ack& ack) {
    return test_support::framed([&](unsigned char* b, int c) { return srv_build_login_ack(b, c, &ack); });
}

// A UDP socket on 0.0.0.0 playing the voice server.
class VoiceServer {
public:
    explicit VoiceServer(uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~VoiceServer() { ::close(fd_); }
    uint16_t port() const { return port_; }
    bool bound() const { return bound_; }

    // The control connection whose keys open what arrives (without one, datagrams are read
    // as they arrive).
    void keysOf(FramedStream& stream) { stream_ = &stream; }

    // The next datagram other than voice (the microphone is open while the floor is held),
    // or with `voice` the next voice datagram, as talkwire reads it, and the port it came
    // from.
    std::optional<std::pair<tw_datagram_info, uint16_t>> next(std::chrono::milliseconds wait = 2000ms,
                                                              bool voice = false) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (true) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() < 0 || !test_support::readable(fd_, left)) return std::nullopt;
            unsigned char datagram[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size =
                ::recvfrom(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (size <= 0) return std::nullopt;
            Bytes plain(datagram, datagram + size);
            if (stream_ != nullptr) {
                // The confirmation that gives the keys is read off the control stream first.
                while (stream_->wire().link() == nullptr && stream_->receive(100ms)) {
                }
                auto opened = stream_->wire().openDatagram(plain);
                if (!opened) return std::nullopt;
                plain = std::move(*opened);
            }
            tw_datagram_info info{};
            if (srv_parse_datagram(plain.data(), static_cast<int>(plain.size()), &info) != TW_OK) return std::nullopt;
            if ((info.kind == TW_KIND_VOICE) == voice) return std::make_pair(info, ntohs(from.sin_port));
        }
    }

    // The next voice datagram; everything else on the way is skipped.
    std::optional<tw_datagram_info> nextVoice(std::chrono::milliseconds wait = 2000ms) {
        auto got = next(wait, true);
        if (!got) return std::nullopt;
        return got->first;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    bool bound_ = false;
    FramedStream* stream_ = nullptr;
};

// Waits, in short steps, for a condition (on the service's state, or anything a test waits
// for); false when it did not hold within `wait`.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds wait = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The service started by initialize for each test and stopped by unInitialize.
class Service : public ::testing::Test {
protected:
    void SetUp() override {
        HostEvents::instance().clear();
        initialize();
    }
    void TearDown() override {
        unInitialize();
        HostEvents::instance().clear();
    }

    static CVoiceTalk& talk() { return *talkhub::serviceInstance(); }

    // Logs in to a server on loopback and waits for the login callback; returns its text.
    static std::string loginTo(uint16_t port, const char* account) {
        setServerInfo("127.0.0.1", port);
        EXPECT_EQ(login(account, account, onLoginResult), 0);
        auto done = HostEvents::instance().take(HostEvent::kLogin);
        EXPECT_TRUE(done.has_value());
        if (!done) return "";
        EXPECT_EQ(done->value, 0) << done->text;
        return done->text;
    }

    // Starts a login at a scripted peer; the peer's end once the login request arrived.
    static std::unique_ptr<FramedStream> loginAt(ScriptedPeer& peer) {
        setServerInfo("127.0.0.1", peer.port());
        EXPECT_EQ(login("alice", "alice", onLoginResult), 0);
        return peer.acceptLogin();
    }

    template <typename Condition>
    static bool eventually(Condition condition, std::chrono::milliseconds wait = 5000ms) {
        return talkhub_test::eventually(condition, wait);
    }
};

}  // namespace talkhub_test
