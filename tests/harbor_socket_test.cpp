#include <gtest/gtest.h>
#include <harbor/harbor.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harbor_test_support.h"

namespace {

using namespace std::chrono_literals;
using harbor_test::closePlain;
using harbor_test::HarborSockets;
using harbor_test::kNoPlainSocket;
using harbor_test::Listener;
using harbor_test::PlainSocket;
using harbor_test::waitFor;

TEST_F(HarborSockets, ConnectsToListenerAndReportsRefusal) {
    Listener listener;
    harbor::ITcpSocket* socket = nullptr;
    std::atomic<int> status{1};
    ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
    ASSERT_NE(socket, nullptr);
    socket->setConnectCallback([&](harbor::ITcpSocket*, int result) { status = result; });
    ASSERT_TRUE(waitFor([&] { return status != 1; }));
    EXPECT_EQ(status, 0);
    socket->setConnectCallback({});

    unsigned int closedPort = listener.port();
    {
        Listener closed;
        closedPort = closed.port();
    }
    harbor::ITcpSocket* refused = nullptr;
    std::atomic<int> refusedStatus{1};
    ASSERT_GE(service().tcpConnect({"127.0.0.1", closedPort}, &refused), 0);
    refused->setConnectCallback([&](harbor::ITcpSocket*, int result) { refusedStatus = result; });
    ASSERT_TRUE(waitFor([&] { return refusedStatus != 1; }));
    EXPECT_LT(refusedStatus, 0);
}

// The connect can finish before the user has installed its callbacks; the status, and the
// bytes the peer sent at once, must still arrive.
TEST_F(HarborSockets, CallbacksInstalledAfterTheConnectFinishedStillGetStatusAndData) {
    Listener listener;
    harbor::ITcpSocket* socket = nullptr;
    ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
    const PlainSocket peer = listener.accept();
    ASSERT_NE(peer, kNoPlainSocket);
    ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
    std::this_thread::sleep_for(200ms);

    std::atomic<int> status{1};
    std::mutex mutex;
    std::string received;
    socket->setDataCallback([&](harbor::ITcpSocket*, int length, const void* data) {
        std::lock_guard lock(mutex);
        if (length > 0) received.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        return length;
    });
    socket->setConnectCallback([&](harbor::ITcpSocket*, int result) { status = result; });
    // The two deliveries are independent posts to the loop: either may come first.
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return received == "hello" && status != 1;
    }));
    EXPECT_EQ(status, 0);
    socket->setConnectCallback({});
    socket->setDataCallback({});
    closePlain(peer);
}

TEST_F(HarborSockets, RefusesInvalidAddressAndStoppedLoop) {
    harbor::ITcpSocket* socket = nullptr;
    EXPECT_LT(service().tcpConnect({"127.0.0.1", 0}, &socket), 0);
    EXPECT_LT(service().tcpConnect({"", 13001}, &socket), 0);
    EXPECT_EQ(socket, nullptr);
    service().stop();
    service().stop();
    EXPECT_LT(service().tcpConnect({"127.0.0.1", 13001}, &socket), 0);
    EXPECT_EQ(socket, nullptr);
    EXPECT_FALSE(harbor::CTSocketAddress("", 1).isValid());
    EXPECT_FALSE(harbor::CTSocketAddress("127.0.0.1", 70000).isValid());
    EXPECT_TRUE(harbor::CTSocketAddress("::1", 5).isValid());
}

TEST_F(HarborSockets, LargeTransferArrivesWholeInOrderAndCloseIsReportedOnce) {
    Listener listener;
    harbor::ITcpSocket* socket = nullptr;
    std::mutex mutex;
    std::vector<char> received;
    std::atomic<int> closes{0};
    ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
    socket->setDataCallback([&](harbor::ITcpSocket*, int length, const void* data) {
        if (length <= 0) {
            ++closes;
            return 0;
        }
        std::lock_guard lock(mutex);
        received.insert(received.end(), static_cast<const char*>(data), static_cast<const char*>(data) + length);
        return length;
    });
    PlainSocket peer = listener.accept();
    ASSERT_NE(peer, kNoPlainSocket);
    std::vector<char> payload(4 << 20);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + i / 977);
    for (std::size_t sent = 0; sent < payload.size();) {
        ssize_t n = ::send(peer, payload.data() + sent, payload.size() - sent, 0);
        ASSERT_GT(n, 0);
        sent += static_cast<std::size_t>(n);
    }
    closePlain(peer);
    ASSERT_TRUE(waitFor([&] { return closes.load() > 0; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(closes, 1);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(received == payload);
    EXPECT_LT(socket->send("x", 1), 0);
}

TEST_F(HarborSockets, SendsFromManyThreadsKeepEachMessageWholeAndOrdered) {
    Listener listener;
    PlainSocket peer = kNoPlainSocket;
    harbor::ITcpSocket* socket = connectedTo(listener, peer);
    ASSERT_NE(socket, nullptr);

    constexpr int threads = 4, messages = 500;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int m = 0; m < messages; ++m) {
                char message[16];
                std::snprintf(message, sizeof message, "<%d:%06d>", t, m);
                while (socket->send(message, 10) < 0) std::this_thread::yield();
            }
        });
    std::string stream;
    char chunk[4096];
    while (stream.size() < threads * messages * 10u) {
        ssize_t n = ::recv(peer, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0);
        stream.append(chunk, static_cast<std::size_t>(n));
    }
    for (auto& sender : senders) sender.join();
    std::vector<int> next(threads, 0);
    for (std::size_t at = 0; at < stream.size(); at += 10) {
        int t = 0, m = 0;
        ASSERT_EQ(std::sscanf(stream.c_str() + at, "<%d:%06d>", &t, &m), 2) << at;
        ASSERT_EQ(m, next[t]++);
    }
    closePlain(peer);
    socket->setConnectCallback({});
}

// A peer that does not read: once the system's buffers are full, sends queue up to 1 MiB and
// are then refused, down to a single byte; every byte taken arrives, in order, once the peer
// reads, and sending works again.
TEST_F(HarborSockets, TheSendQueueStopsAtItsBoundForAPeerThatDoesNotReadAndLosesNothing) {
    Listener listener;
    PlainSocket peer = kNoPlainSocket;
    harbor::ITcpSocket* socket = connectedTo(listener, peer);
    ASSERT_NE(socket, nullptr);

    const auto patternAt = [](std::size_t offset) { return static_cast<char>(offset * 7 % 251); };
    std::size_t taken = 0;
    const auto offer = [&](std::size_t size) {
        std::vector<char> bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = patternAt(taken + i);
        const int result = socket->send(bytes.data(), static_cast<int>(size));
        if (result > 0) taken += static_cast<std::size_t>(result);
        return result > 0;
    };
    // At most 64 MiB offered: far more than the system's buffers and the queue together.
    bool refused = false;
    for (int chunk = 0; chunk < 1024 && !refused; ++chunk) refused = !offer(64 * 1024);
    ASSERT_TRUE(refused) << taken << " bytes taken without a refusal: the queue has no bound";
    std::this_thread::sleep_for(200ms);  // whatever the system still takes, it has taken
    for (std::size_t size = 32 * 1024; size >= 1; size /= 2) {
        while (offer(size)) {
        }
    }
    EXPECT_FALSE(offer(1)) << "the queue is full to its last byte";
    EXPECT_GT(taken, std::size_t{1} << 20) << "the queue holds 1 MiB beyond what the system took";
    EXPECT_LT(taken, std::size_t{32} << 20);

    std::vector<char> received;
    char chunk[65536];
    while (received.size() < taken) {
        const auto n = ::recv(peer, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0);
        received.insert(received.end(), chunk, chunk + n);
    }
    ASSERT_EQ(received.size(), taken);
    for (std::size_t at = 0; at < taken; ++at) ASSERT_EQ(received[at], patternAt(at)) << "byte " << at;
    EXPECT_TRUE(waitFor([&] { return offer(1); })) << "a drained queue takes bytes again";
    closePlain(peer);
    socket->setConnectCallback({});
}

TEST_F(HarborSockets, UdpEchoAndBindConflict) {
    harbor::IUdpSocket* first = nullptr;
    harbor::IUdpSocket* second = nullptr;
    unsigned int port = 0;
    for (port = 40000; port < 40100 && !first; ++port) service().newUdpInstance({"127.0.0.1", port}, &first);
    --port;
    ASSERT_NE(first, nullptr);
    harbor::IUdpSocket* conflict = nullptr;
    service().newUdpInstance({"127.0.0.1", port}, &conflict);
    EXPECT_EQ(conflict, nullptr);

    first->setReceiveCallback(
        [](harbor::IUdpSocket* self, int length, const void* data, const harbor::CTSocketAddress& from) {
            self->sendTo(from, data, length);
            return length;
        });
    ASSERT_GE(service().newUdpInstance({"127.0.0.1", 0}, &second), 0);
    std::atomic<int> echoed{0};
    second->setReceiveCallback([&](harbor::IUdpSocket*, int length, const void* data, const harbor::CTSocketAddress&) {
        if (std::string(static_cast<const char*>(data), length) == "ping") ++echoed;
        return length;
    });
    second->sendTo({"127.0.0.1", port}, "ping", 4);
    ASSERT_TRUE(waitFor([&] { return echoed.load() == 1; }));
    first->setReceiveCallback({});
    second->setReceiveCallback({});
    EXPECT_TRUE(waitFor([&] { return service().socketCount() == 0; }));
}

TEST_F(HarborSockets, ClearingFromAnotherThreadWaitsForTheRunningCallback) {
    Listener listener;
    constexpr int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
        harbor::ITcpSocket* socket = nullptr;
        ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
        auto alive = std::make_shared<std::atomic<bool>>(true);
        std::atomic<int> calls{0};
        socket->setConnectCallback([alive, &calls](harbor::ITcpSocket*, int) {
            ++calls;
            EXPECT_TRUE(alive->load());
        });
        if (round % 2) std::this_thread::sleep_for(std::chrono::microseconds(round));
        // The connect callback is the only one set: clearing it releases the socket, which
        // must not be touched afterwards.
        socket->setConnectCallback({});
        alive->store(false);
        EXPECT_LE(calls.load(), 1);
    }
    EXPECT_TRUE(waitFor([&] { return service().socketCount() == 0; }));
}

TEST(HarborService, StopsAndStartsManyTimes) {
    auto& service = harbor::CTSocketService::instance();
    for (int cycle = 0; cycle < 50; ++cycle) {
        service.messageLoop(false, 1);
        service.messageLoop(false, 1);
        EXPECT_TRUE(service.running());
        harbor::IUdpSocket* socket = nullptr;
        service.newUdpInstance({"127.0.0.1", 0}, &socket);
        ASSERT_NE(socket, nullptr);
        service.stop();
        EXPECT_FALSE(service.running());
        EXPECT_EQ(service.socketCount(), 0u);
    }
}

}  // namespace
