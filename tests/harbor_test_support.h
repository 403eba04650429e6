// Loopback helpers shared by the harbor socket tests.
#pragma once

#include <gtest/gtest.h>
#include <harbor/harbor.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace harbor_test {

using namespace std::chrono_literals;

// The system's own sockets, for the peers the tests drive by hand.
#ifdef _WIN32
using PlainSocket = SOCKET;
inline constexpr PlainSocket kNoPlainSocket = INVALID_SOCKET;
inline constexpr int kNoSignal = 0;
inline constexpr int kShutBoth = SD_BOTH;
using AddressLength = int;
inline void closePlain(PlainSocket socket) { ::closesocket(socket); }
#else
using PlainSocket = int;
inline constexpr PlainSocket kNoPlainSocket = -1;
inline constexpr int kNoSignal = MSG_NOSIGNAL;
inline constexpr int kShutBoth = SHUT_RDWR;
using AddressLength = socklen_t;
inline void closePlain(PlainSocket socket) { ::close(socket); }
#endif

// A plain blocking listener on loopback that the tests drive by hand.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 1024);
        AddressLength size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { closePlain(fd_); }
    unsigned int port() const { return port_; }
    PlainSocket accept() { return ::accept(fd_, nullptr, nullptr); }

private:
    PlainSocket fd_;
    unsigned int port_;
};

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = 5000ms) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class HarborSockets : public ::testing::Test {
protected:
    void SetUp() override { harbor::CTSocketService::instance().messageLoop(false, 1); }
    void TearDown() override { harbor::CTSocketService::instance().stop(); }
    harbor::CTSocketService& service() { return harbor::CTSocketService::instance(); }

    // A harbor socket connected to `peer`, accepted from the listener; null when the
    // connect failed. The caller clears its connect callback at the end, which lets harbor
    // free it.
    harbor::ITcpSocket* connectedTo(Listener& listener, PlainSocket& peer) {
        harbor::ITcpSocket* socket = nullptr;
        if (service().tcpConnect({"127.0.0.1", listener.port()}, &socket) < 0) return nullptr;
        auto connected = std::make_shared<std::atomic<bool>>(false);
        socket->setConnectCallback([connected](harbor::ITcpSocket*, int status) { *connected = status == 0; });
        peer = listener.accept();
        return waitFor([&] { return connected->load(); }) ? socket : nullptr;
    }
};

}  // namespace harbor_test
