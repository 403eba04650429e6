// What the fuzz programs' own peers and members send with: talkwire messages framed for
// the stream, and loopback addresses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <talkwire.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace fuzz_support {

using Bytes = std::vector<unsigned char>;

// A message built by talkwire, framed for the stream.
template <typename Build>
Bytes framed(Build build) {
    Bytes message(4096);
    const int length = build(message.data(), static_cast<int>(message.size()));
    Bytes frame(2 * message.size() + 8);
    frame.resize(encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(std::max(length, 0)), frame.data(),
                                        static_cast<uint16_t>(frame.size())));
    return frame;
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace fuzz_support
