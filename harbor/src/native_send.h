// What harbor does on a socket's own handle, as each system spells it: from any thread,
// beside the loop thread's pending operations, a stream write that never waits and a
// datagram; and the limit on unacknowledged data.
#pragma once

#include <boost/asio/detail/socket_types.hpp>
#include <cstddef>
#ifndef _WIN32
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace harbor {

using NativeSocket = boost::asio::detail::socket_type;
inline constexpr NativeSocket kNoSocket = boost::asio::detail::invalid_socket;

// Writes what the system takes at once on a connected stream socket; the rest is the
// caller's to queue. Returns the bytes taken. On Windows the sockets belong to the
// completion port, which alone writes them: nothing is taken here and all goes through the
// loop.
inline std::size_t sendWithoutWaiting([[maybe_unused]] NativeSocket socket, [[maybe_unused]] const char* data,
                                      [[maybe_unused]] std::size_t length) {
#ifdef _WIN32
    return 0;
#else
    const ssize_t written = ::send(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
#endif
}

// How long sent data may wait for the peer's acknowledgement before the connection breaks.
inline void limitUnacknowledged(NativeSocket socket, unsigned int milliseconds) {
#ifdef _WIN32
    // TCP_MAXRT (5 in the system's headers, missing from MinGW's): whole seconds.
    constexpr int kMaximumRetransmissionTime = 5;
    const DWORD seconds = (milliseconds + 999) / 1000;
    ::setsockopt(socket, IPPROTO_TCP, kMaximumRetransmissionTime, reinterpret_cast<const char*>(&seconds),
                 sizeof seconds);
#else
    ::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds);
#endif
}

// Sends one datagram; false when the system refused it.
inline bool sendDatagram(NativeSocket socket, const void* data, std::size_t length, const void* address,
                         std::size_t addressLength, std::size_t& sent) {
#ifdef _WIN32
    const int result = ::sendto(socket, static_cast<const char*>(data), static_cast<int>(length), 0,
                                static_cast<const sockaddr*>(address), static_cast<int>(addressLength));
#else
    const ssize_t result =
        ::sendto(socket, data, length, 0, static_cast<const sockaddr*>(address), static_cast<socklen_t>(addressLength));
#endif
    if (result < 0) return false;
    sent = static_cast<std::size_t>(result);
    return true;
}

}  // namespace harbor
