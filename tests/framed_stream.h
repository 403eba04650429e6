// One end of a framed control connection for tests: sends talkwire messages and reads
// whole messages back, with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <vector>

#include "loopback_wire.h"

namespace test_support {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

using test_kit::frame;
using test_kit::loopback;
using test_kit::readable;

// A framed message made by a talkwire builder taking (buffer, capacity).
template <class Build>
Bytes framed(Build build) {
    unsigned char message[10240];
    const int length = build(message, static_cast<int>(sizeof message));
    EXPECT_GT(length, 0);
    return length > 0 ? frame(message, length) : Bytes{};
}

class FramedStream {
public:
    // Takes over a connected TCP socket (-1: not connected).
    explicit FramedStream(int tcp) : tcp_(tcp), buffer_(10240, 0) {}
    ~FramedStream() { closeTcp(); }
    FramedStream(const FramedStream&) = delete;
    FramedStream& operator=(const FramedStream&) = delete;

    bool connected() const { return tcp_ >= 0; }
    void closeTcp() {
        if (tcp_ >= 0) {
            ::close(tcp_);
            tcp_ = -1;
        }
    }

    void sendRaw(const Bytes& bytes) const { ::send(tcp_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    template <class Build>
    void send(Build build) const {
        sendRaw(framed(build));
    }

    // The next whole message (header and body), or nothing within the wait.
    std::optional<Bytes> next(std::chrono::milliseconds wait = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (true) {
            if (!pending_.empty()) {
                Bytes message = pending_.front();
                pending_.erase(pending_.begin());
                return message;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || tcp_ < 0 || !readable(tcp_, left)) {
                return std::nullopt;
            }
            unsigned char chunk[4096];
            const ssize_t size = ::recv(tcp_, chunk, sizeof chunk, 0);
            if (size <= 0) {
                peerClosed = true;
                return std::nullopt;
            }
            for (ssize_t i = 0; i < size; ++i) {
                unsigned char* completed = nullptr;
                decode_tcp_packet_hdlc(buffer_.data(), 10240, chunk[i], &completed);
                tw_packet packet{};
                if (completed != nullptr &&
                    packet_decode(buffer_.data(), static_cast<uint32_t>(completed[1] | completed[2] << 8) + 2,
                                  &packet) > 0) {
                    pending_.emplace_back(packet.header, packet.body + packet.bodyLength);
                }
            }
        }
    }

    // The body of the next message with this command id; others on the way are skipped.
    std::optional<Bytes> expect(unsigned char command, std::chrono::milliseconds wait = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < until) {
            auto message =
                next(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
            if (!message) {
                return std::nullopt;
            }
            if ((*message)[0] == command) {
                message->erase(message->begin(), message->begin() + 2);  // the body
                return message;
            }
        }
        return std::nullopt;
    }

    bool peerClosed = false;

private:
    int tcp_ = -1;
    Bytes buffer_;
    std::vector<Bytes> pending_;
};

}  // namespace test_support
