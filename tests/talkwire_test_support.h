// Helpers shared by the talkwire tests: building, framing and unframing whole messages.
#pragma once

#include <gtest/gtest.h>
#include <talkwire.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace talkwire_test {

using Bytes = std::vector<unsigned char>;
using Builder = std::function<int(unsigned char*, int)>;

inline constexpr uint32_t kReceiveCapacity = 10240;

inline Bytes build(const Builder& builder) {
    Bytes message(10240);
    const int length = builder(message.data(), static_cast<int>(message.size()));
    EXPECT_GT(length, 0);
    message.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return message;
}

inline Bytes frame(const Bytes& message) {
    Bytes framed(2 * message.size() + 16);
    const uint16_t length = encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(message.size()), framed.data(),
                                                   static_cast<uint16_t>(framed.size()));
    EXPECT_GT(length, 0);
    framed.resize(length);
    return framed;
}

// A receiver as the service runs it: one zero-filled buffer, fed byte by byte; every
// completed frame goes through packet_decode and its whole message is kept.
class Receiver {
public:
    explicit Receiver(uint32_t capacity = kReceiveCapacity) : buffer_(capacity + kCanary, 0xCC), capacity_(capacity) {
        std::fill(buffer_.begin(), buffer_.begin() + capacity, 0);
    }

    void feed(const Bytes& chunk) {
        for (unsigned char byte : chunk) {
            unsigned char* frame = reinterpret_cast<unsigned char*>(1);
            decode_tcp_packet_hdlc(buffer_.data(), capacity_, byte, &frame);
            if (frame == nullptr) {
                continue;
            }
            const uint32_t size = static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2;
            tw_packet packet{};
            if (packet_decode(buffer_.data(), size, &packet) > 0) {
                Bytes message(packet.header, packet.body + packet.bodyLength);
                messages.push_back(message);
            } else {
                ++undecodable;
            }
        }
    }

    // The bytes beyond the capacity are never written.
    bool canaryIntact() const {
        return std::all_of(buffer_.begin() + capacity_, buffer_.end(), [](unsigned char b) { return b == 0xCC; });
    }

    std::vector<Bytes> messages;
    int undecodable = 0;

private:
    static constexpr std::size_t kCanary = 64;
    Bytes buffer_;
    uint32_t capacity_;
};

// The body of a whole message: what follows the two header bytes.
inline Bytes bodyOf(const Bytes& message) { return Bytes(message.begin() + 2, message.end()); }

}  // namespace talkwire_test
