#include <gtest/gtest.h>
#include <harbor/harbor.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "harbor_test_support.h"

namespace {

using namespace std::chrono_literals;
using harbor_test::HarborSockets;
using harbor_test::Listener;
using harbor_test::waitFor;

// A peer that writes until told to stop or until the connection breaks.
class Flooder {
public:
    explicit Flooder(harbor_test::PlainSocket peer)
        : peer_(peer), thread_([this] {
              char chunk[1024] = {};
              while (!stop_ && ::send(peer_, chunk, sizeof chunk, harbor_test::kNoSignal) > 0) {
              }
          }) {}
    ~Flooder() {
        stop_ = true;
        ::shutdown(peer_, harbor_test::kShutBoth);
        thread_.join();
        harbor_test::closePlain(peer_);
    }

private:
    harbor_test::PlainSocket peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(HarborSockets, ClearingTheDataCallbackDuringTrafficEndsEveryCall) {
    Listener listener;
    for (int round = 0; round < 200; ++round) {
        harbor::ITcpSocket* socket = nullptr;
        ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
        auto alive = std::make_shared<std::atomic<bool>>(true);
        std::atomic<int> chunks{0};
        std::atomic<bool> lateCall{false};
        socket->setDataCallback([alive, &chunks, &lateCall](harbor::ITcpSocket*, int, const void*) {
            if (!alive->load()) lateCall = true;
            ++chunks;
            // The result of a data callback means nothing to harbor.
            return -12345;
        });
        Flooder flooder(listener.accept());
        ASSERT_TRUE(waitFor([&] { return chunks.load() > 0; }));
        std::this_thread::sleep_for(std::chrono::microseconds(round * 5));
        socket->setDataCallback({});
        alive->store(false);
        EXPECT_FALSE(lateCall.load());
    }
    EXPECT_TRUE(waitFor([&] { return service().socketCount() == 0; }));
}

TEST_F(HarborSockets, ACallbackMayClearItselfAndItsSocket) {
    Listener listener;
    for (int round = 0; round < 100; ++round) {
        harbor::ITcpSocket* socket = nullptr;
        ASSERT_GE(service().tcpConnect({"127.0.0.1", listener.port()}, &socket), 0);
        std::atomic<int> calls{0};
        socket->setConnectCallback([](harbor::ITcpSocket*, int) {});
        socket->setDataCallback([&calls](harbor::ITcpSocket* self, int, const void*) {
            ++calls;
            // Clearing from inside must not wait for the running call, nor free the
            // function while it is still on the stack.
            self->setConnectCallback({});
            self->setDataCallback({});
            return 0;
        });
        Flooder flooder(listener.accept());
        ASSERT_TRUE(waitFor([&] { return calls.load() > 0; }));
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(calls.load(), 1);
    }
    EXPECT_TRUE(waitFor([&] { return service().socketCount() == 0; }));
}

TEST_F(HarborSockets, ClearingAUdpCallbackDuringAFloodEndsEveryCall) {
    harbor::IUdpSocket* sender = nullptr;
    ASSERT_GE(service().newUdpInstance({"127.0.0.1", 0}, &sender), 0);
    sender->setReceiveCallback(
        [](harbor::IUdpSocket*, int length, const void*, const harbor::CTSocketAddress&) { return length; });
    for (int round = 0; round < 50; ++round) {
        harbor::IUdpSocket* sink = nullptr;
        unsigned int port = 42000 + static_cast<unsigned int>(round) * 7;
        while (!sink && port < 43000) service().newUdpInstance({"127.0.0.1", port++}, &sink);
        ASSERT_NE(sink, nullptr);
        --port;
        auto alive = std::make_shared<std::atomic<bool>>(true);
        std::atomic<int> received{0};
        std::atomic<bool> lateCall{false};
        sink->setReceiveCallback([alive, &received, &lateCall](harbor::IUdpSocket*, int length, const void*,
                                                               const harbor::CTSocketAddress&) {
            if (!alive->load()) lateCall = true;
            ++received;
            return length;
        });
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            for (int sent = 0; !stop && sent < 1000000; ++sent) sender->sendTo({"127.0.0.1", port}, "voice", 5);
        });
        ASSERT_TRUE(waitFor([&] { return received.load() > 20; }));
        sink->setReceiveCallback({});
        alive->store(false);
        stop = true;
        flood.join();
        EXPECT_FALSE(lateCall.load());
    }
    sender->setReceiveCallback({});
    EXPECT_TRUE(waitFor([&] { return service().socketCount() == 0; }));
}

TEST(HarborLibrary, ExportsItsOwnApiAndNothingElse) {
    std::string command = std::string("nm -DC --defined-only ") + HARBOR_LIBRARY_PATH;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        auto name = text.substr(text.find(' ', text.find(' ') + 1) + 1);
        EXPECT_EQ(name.rfind("harbor::", 0), 0u) << name;
        names.insert(name.substr(0, name.find('(')));
    }
    ::pclose(pipe);
    for (const char* expected :
         {"harbor::logInit", "harbor::logInfo", "harbor::logWarning", "harbor::logError", "harbor::logDebug",
          "harbor::CTSocketService::instance", "harbor::CTSocketService::messageLoop", "harbor::CTSocketService::stop",
          "harbor::CTSocketService::tcpConnect", "harbor::CTSocketService::newUdpInstance",
          "harbor::CTSocketAddress::isValid"})
        EXPECT_EQ(names.count(expected), 1u) << expected;
}

}  // namespace
