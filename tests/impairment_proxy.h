// A UDP proxy on loopback between one client and the voice server that spoils what the
// server sends, by a fixed pattern: it drops, duplicates, swaps neighbours and delays
// datagrams, and lets a test slip in datagrams of its own. What the client sends goes up
// unchanged. A test can also cut the link both ways for a while. Bounded: at most 64 datagrams wait in it, and its
// thread ends with the proxy.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "framed_stream.h"

namespace test_support {

class ImpairmentProxy {
public:
    // Every n-th datagram from the server (counting from 1) is spoiled; 0 turns a kind off.
    struct Pattern {
        unsigned dropEvery = 0;
        unsigned duplicateEvery = 0;
        unsigned swapEvery = 0;  // held back and sent after the next one
        unsigned delayEvery = 0;
        std::chrono::milliseconds delay{0};
        // End-of-talk datagrams: lost, or held back this long.
        bool dropEndOfTalk = false;
        std::chrono::milliseconds endOfTalkDelay{0};
    };

    ImpairmentProxy() : clientSide_(boundSocket()), serverSide_(boundSocket()) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(clientSide_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~ImpairmentProxy() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(clientSide_);
        ::close(serverSide_);
    }
    ImpairmentProxy(const ImpairmentProxy&) = delete;
    ImpairmentProxy& operator=(const ImpairmentProxy&) = delete;

    // The port the client is to send to.
    uint16_t port() const { return port_; }

    void start(uint16_t serverPort, Pattern pattern) {
        server_ = loopback(serverPort);
        pattern_ = pattern;
        thread_ = std::thread([this] { run(); });
    }

    // Sends a datagram of the test's own to the client, as if from the server.
    void inject(const Bytes& datagram) {
        std::lock_guard lock(mutex_);
        waiting_.push_back({std::chrono::steady_clock::now(), datagram});
    }

    unsigned fromClient() const { return fromClient_; }

    // While set, every datagram either way is lost, as on a cut link.
    void setBlackholed(bool on) { blackholed_ = on; }

private:
    struct Held {
        std::chrono::steady_clock::time_point due;
        Bytes datagram;
    };
    static constexpr std::size_t kMaxWaiting = 64;

    static int boundSocket() {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in any = loopback(0);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
        return fd;
    }

    static bool hits(unsigned every, unsigned count) { return every != 0 && count % every == 0; }

    void fromServer(Bytes datagram) {
        const auto now = std::chrono::steady_clock::now();
        ++count_;
        std::lock_guard lock(mutex_);
        if (hits(pattern_.dropEvery, count_) || waiting_.size() >= kMaxWaiting) return;
        if (datagram.size() > 2 && datagram[2] == TW_KIND_END_OF_TALK) {
            if (!pattern_.dropEndOfTalk) waiting_.push_back({now + pattern_.endOfTalkDelay, std::move(datagram)});
            return;
        }
        if (hits(pattern_.swapEvery, count_)) {
            swapped_ = std::move(datagram);
            return;
        }
        const auto due = hits(pattern_.delayEvery, count_) ? now + pattern_.delay : now;
        if (hits(pattern_.duplicateEvery, count_)) waiting_.push_back({due, datagram});
        waiting_.push_back({due, std::move(datagram)});
        if (!swapped_.empty()) waiting_.push_back({due, std::move(swapped_)});
        swapped_.clear();
    }

    void sendDue() {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->due > now || client_.sin_port == 0) {
                ++it;
                continue;
            }
            ::sendto(clientSide_, it->datagram.data(), it->datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&client_), sizeof client_);
            it = waiting_.erase(it);
        }
    }

    void run() {
        pollfd sockets[2] = {{clientSide_, POLLIN, 0}, {serverSide_, POLLIN, 0}};
        Bytes buffer(2048);
        while (!stop_) {
            ::poll(sockets, 2, 2);
            if (sockets[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t size = ::recvfrom(clientSide_, buffer.data(), buffer.size(), 0,
                                                reinterpret_cast<sockaddr*>(&from), &length);
                if (size > 0 && !blackholed_) {
                    {
                        std::lock_guard lock(mutex_);
                        client_ = from;
                    }
                    ::sendto(serverSide_, buffer.data(), static_cast<std::size_t>(size), 0,
                             reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
                    ++fromClient_;
                }
            }
            if (sockets[1].revents & POLLIN) {
                const ssize_t size = ::recv(serverSide_, buffer.data(), buffer.size(), 0);
                if (size > 0 && !blackholed_) fromServer(Bytes(buffer.begin(), buffer.begin() + size));
            }
            sendDue();
        }
    }

    int clientSide_;
    int serverSide_;
    uint16_t port_ = 0;
    sockaddr_in server_{};
    Pattern pattern_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> blackholed_{false};
    std::atomic<unsigned> fromClient_{0};
    unsigned count_ = 0;  // the proxy's thread only
    std::mutex mutex_;    // guards what follows
    sockaddr_in client_{};
    std::deque<Held> waiting_;
    Bytes swapped_;
};

}  // namespace test_support
