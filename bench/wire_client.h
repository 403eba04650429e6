// The client side of the control connection for benchmarks: blocking sockets, messages
// framed and read back with talkwire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <talkwire.h>

#include <cstdint>
#include <vector>

#include "loopback_wire.h"

namespace bench {

using test_kit::frame;
using test_kit::loopback;

inline void sendMessage(int fd, const unsigned char* message, int length) {
    const std::vector<unsigned char> framed = frame(message, length);
    ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
}

// Reads framed messages from one blocking socket, a chunk per system call.
class MessageReader {
public:
    explicit MessageReader(int fd) : fd_(fd), buffer_(10240, 0) {}

    // Blocks until one message arrives; returns its command id, 0 when the connection ends.
    unsigned char next() {
        while (true) {
            for (; position_ < filled_; ++position_) {
                unsigned char* done = nullptr;
                decode_tcp_packet_hdlc(buffer_.data(), static_cast<uint32_t>(buffer_.size()), chunk_[position_], &done);
                tw_packet packet{};
                if (done != nullptr &&
                    packet_decode(buffer_.data(), static_cast<uint32_t>(done[1] | done[2] << 8) + 2, &packet) > 0) {
                    ++position_;
                    return packet.header[0];
                }
            }
            const ssize_t size = ::recv(fd_, chunk_, sizeof chunk_, 0);
            if (size <= 0) return 0;
            position_ = 0;
            filled_ = static_cast<std::size_t>(size);
        }
    }

private:
    int fd_;
    std::vector<unsigned char> buffer_;
    unsigned char chunk_[4096] = {};
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace bench
