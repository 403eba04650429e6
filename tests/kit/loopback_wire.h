// The wire as every test program, benchmark and fuzz target speaks it from outside the
// library: loopback addresses, talkwire messages framed for the control stream, and a
// bounded wait for a socket to become readable.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <talkwire.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "framing.h"

namespace test_kit {

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A message of `length` bytes framed for the stream as it is, never sealed (empty for a
// negative length).
inline std::vector<unsigned char> frame(const unsigned char* message, int length) {
    if (length < 0) return {};
    std::vector<unsigned char> framed(2 * static_cast<std::size_t>(length) + 8);
    framed.resize(talkwire::framing::frame(message, static_cast<uint16_t>(length), framed.data(),
                                           static_cast<uint16_t>(framed.size())));
    return framed;
}

inline bool readable(int fd, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
}

}  // namespace test_kit
