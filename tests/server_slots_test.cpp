// The server's slots under abuse: connections that never log in, connections that send
// garbage, and a full server, while a real user logs in from elsewhere.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "server_test_support.h"

namespace {

using namespace server_test;

// Whether the server closed the connection within the wait.
bool closedByServer(int fd, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    unsigned char bytes[4096];
    while (std::chrono::steady_clock::now() < until) {
        if (!readable(fd, 50ms)) continue;
        const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
    }
    return false;
}

TEST(ServerSlots, ConnectionsThatNeverLogInAreBoundedPerAddressAndEndAtTheDeadline) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.pendingLoginsPerAddress = 4;
    config.limits.loginDeadlineMs = 300;
    RunningServer server(config);
    std::vector<int> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(connectFrom("127.0.0.2", server.tcpPort()));
    const int fifth = connectFrom("127.0.0.2", server.tcpPort());
    EXPECT_TRUE(closedByServer(fifth, 1000ms)) << "a fifth waiting connection from one address";
    EXPECT_FALSE(closedByServer(idle[0], 100ms)) << "the first four wait for their login";

    // Another address is not held up by them.
    Client alice(server.tcpPort(), server.udpPort());
    EXPECT_EQ(alice.login("alice", "alice").result, 0);
    for (int fd : idle) {
        EXPECT_TRUE(closedByServer(fd, 2500ms)) << "no login within 300 ms";
        ::close(fd);
    }
    ::close(fifth);
    EXPECT_EQ(alice.requestMic(1), 0) << "the logged-in session is untouched";
}

TEST(ServerSlots, GarbageEndsItsConnectionAndAFullServerSaysSo) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.maxSessions = 2;
    config.limits.undecodableFramesBeforeClose = 3;
    RunningServer server(config);

    // Bytes that never form a frame.
    const int noise = connectFrom("127.0.0.3", server.tcpPort());
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(32 * 1024);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random() & 0x7C);
    ::send(noise, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(closedByServer(noise, 2000ms));
    ::close(noise);
    // Frames whose content does not decode.
    Client spoiler(server.tcpPort(), server.udpPort());
    const unsigned char nonsense[3] = {0x01, 0x7F, 0x00};
    for (int i = 0; i < 3; ++i) spoiler.sendRaw(test_support::frame(nonsense, sizeof nonsense));
    while (spoiler.next(500ms)) {
    }
    EXPECT_TRUE(spoiler.peerClosed) << "three undecodable frames";

    Client first(server.tcpPort(), server.udpPort());
    Client second(server.tcpPort(), server.udpPort());
    ASSERT_EQ(first.login("alice", "alice").result, 0);
    ASSERT_EQ(second.login("bob", "bob").result, 0);
    Client third(server.tcpPort(), server.udpPort());
    EXPECT_EQ(third.login("carol", "carol").result, talkhub_server::kServerFull);
    while (third.next(500ms)) {
    }
    EXPECT_TRUE(third.peerClosed);
    // A user already online may log in again: the new session replaces the old.
    Client again(server.tcpPort(), server.udpPort());
    EXPECT_EQ(again.login("alice", "alice").result, 0);
}

// 1000 connections that never log in and 300 that send garbage, from two addresses, while
// a user logs in from a third.
TEST(ServerSlots, ALoginGetsThroughIdleAndGarbageFloods) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, 4096U) << "too few descriptors for the flood";
    RunningServer server;
    std::vector<int> flood;
    for (int i = 0; i < 1000; ++i) flood.push_back(connectFrom("127.0.0.4", server.tcpPort()));
    std::vector<unsigned char> garbage(24 * 1024, 0x55);
    for (int i = 0; i < 300; ++i) {
        const int fd = connectFrom("127.0.0.5", server.tcpPort());
        ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        flood.push_back(fd);
    }
    // The share is made before the clock starts: what is timed is the server's answer.
    Client alice(server.tcpPort(), server.udpPort());
    const std::string share = alice.wire().startLogin("alice", "alice");
    const auto start = std::chrono::steady_clock::now();
    // Under a sanitizer the server takes seconds to get through the flood.
    EXPECT_EQ(alice.logInWithShare("alice", share, 20000ms).result, 0);
    const auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("login during the flood: %.2f ms\n", took);
    for (int fd : flood) ::close(fd);
}

// The result of a login sent on `stream`.
int loginResult(test_support::FramedStream& stream, const char* account, const char* password) {
    return stream.logIn(account, password).result;
}

TEST(ServerSlots, FailedLoginsPauseTheirAddressButNotTheRealUserElsewhere) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.freeFailedLogins = 2;
    RunningServer server(config);
    test_support::FramedStream attacker(connectFrom("127.0.0.6", server.tcpPort()));
    EXPECT_EQ(loginResult(attacker, "alice", "guess1"), talkhub_server::kWrongPassword);
    EXPECT_EQ(loginResult(attacker, "alice", "guess2"), talkhub_server::kWrongPassword);
    EXPECT_EQ(loginResult(attacker, "alice", "guess3"), talkhub_server::kWrongPassword) << "the first paid one";
    EXPECT_EQ(loginResult(attacker, "alice", "alice"), talkhub_server::kTryLater)
        << "even the right password waits out the pause";
    EXPECT_EQ(loginResult(attacker, "bob", "bob"), 0) << "another account from the address is not paused yet";

    // The real user, from another address, is not locked out.
    Client alice(server.tcpPort(), server.udpPort());
    EXPECT_EQ(alice.login("alice", "alice").result, 0);

    // After the pause of 1 s the address may try again; a success clears its record.
    std::this_thread::sleep_for(1100ms);
    test_support::FramedStream later(connectFrom("127.0.0.6", server.tcpPort()));
    EXPECT_EQ(loginResult(later, "alice", "alice"), 0);
    test_support::FramedStream next(connectFrom("127.0.0.6", server.tcpPort()));
    EXPECT_EQ(loginResult(next, "alice", "wrong"), talkhub_server::kWrongPassword) << "counting starts afresh";
}

}  // namespace
