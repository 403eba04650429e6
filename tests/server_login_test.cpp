// Logins that cannot be replayed: a proof seen on the network is good for no second login,
// neither at once nor later, and a proof made with a clock far from the server's is refused.
#include <ctime>

#include "replay_guard.h"
#include "server_test_support.h"

namespace {

using namespace server_test;
using talkhub_server::ReplayGuard;

std::string proofMadeAt(const char* account, const char* password, int64_t unixTime) {
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    EXPECT_EQ(derive_login_key(account, password, key.data()), TW_OK);
    char proof[TW_ENCODED_PASSWORD_SIZE] = {};
    EXPECT_GT(encode_login_proof(account, key.data(), unixTime, proof), 0);
    return proof;
}

uint8_t resultOf(const RunningServer& server, const char* account, const std::string& proof) {
    Client client(server.tcpPort(), server.udpPort());
    return logInWithProof(client, account, proof.c_str()).result;
}

TEST(ServerLogin, ACapturedLoginIsRefusedReplayedAtOnceAndAfterTheServerHasForgottenIt) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.loginClockWindowS = 1;  // nonces are remembered for 3 s
    RunningServer server(config);
    char captured[TW_ENCODED_PASSWORD_SIZE] = {};
    ASSERT_GT(encode_login_passwd("alice", "alice", captured), 0);
    EXPECT_EQ(resultOf(server, "alice", captured), 0);
    EXPECT_EQ(resultOf(server, "alice", captured), talkhub_server::kStaleLogin) << "replayed at once";
    EXPECT_EQ(resultOf(server, "bob", captured), talkhub_server::kWrongPassword) << "bound to its account";

    // Past the time the nonce is remembered, the proof's own time refuses it.
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(resultOf(server, "alice", captured), talkhub_server::kStaleLogin) << "replayed later";
    Client alice(server.tcpPort(), server.udpPort());
    EXPECT_EQ(alice.login("alice", "alice").result, 0) << "the real user logs in with a fresh proof";
}

TEST(ServerLogin, AProofFromAClockBeyondTheWindowIsRefusedAndOneInsideItIsTaken) {
    RunningServer server;  // a window of 60 s
    const int64_t now = std::time(nullptr);
    EXPECT_EQ(resultOf(server, "alice", proofMadeAt("alice", "alice", now - 63)), talkhub_server::kStaleLogin);
    EXPECT_EQ(resultOf(server, "bob", proofMadeAt("bob", "bob", now + 63)), talkhub_server::kStaleLogin);
    EXPECT_EQ(resultOf(server, "carol", proofMadeAt("carol", "carol", now - 57)), 0);
    EXPECT_EQ(resultOf(server, "dave", proofMadeAt("dave", "dave", now + 57)), 0);
    // A wrong password is told as such whatever the time, and what is no proof as malformed.
    EXPECT_EQ(resultOf(server, "dave", proofMadeAt("dave", "x", now)), talkhub_server::kWrongPassword);
    EXPECT_EQ(resultOf(server, "dave", proofMadeAt("dave", "x", now - 600)), talkhub_server::kWrongPassword);
    EXPECT_EQ(resultOf(server, "dave", "v1$" + std::string(64, '0')), talkhub_server::kMalformedLogin);
}

TEST(ReplayGuard, RemembersEachNonceForTwiceTheWindowAndRefusesNewOnesWhenFull) {
    using namespace std::chrono_literals;
    ReplayGuard guard(10s, 2);
    const ReplayGuard::Clock::time_point start{};
    const ReplayGuard::Nonce first{1}, second{2}, third{3};
    EXPECT_EQ(guard.use(first, start), ReplayGuard::Verdict::kFirstUse);
    EXPECT_EQ(guard.use(first, start + 1s), ReplayGuard::Verdict::kReplayed);
    EXPECT_EQ(guard.use(second, start + 2s), ReplayGuard::Verdict::kFirstUse) << "exactly at capacity";
    EXPECT_EQ(guard.use(third, start + 3s), ReplayGuard::Verdict::kFull) << "one past it";
    EXPECT_EQ(guard.use(first, start + 20s), ReplayGuard::Verdict::kReplayed) << "still inside 2 x 10 s + 1 s";
    EXPECT_EQ(guard.use(third, start + 21s), ReplayGuard::Verdict::kFirstUse) << "the first has expired";
    EXPECT_EQ(guard.remembered(), 2u);
}

// The throttle's records are bounded. Names that are no account cost none; at exactly its
// bound every failing address has its record; one past it, the quietest unpaused record
// makes room; with every record paused, a newcomer's failure goes uncounted and the paused
// stay paused.
TEST(LoginThrottle, RecordsStayWithinTheirBoundAndPausedOnesAreNeverPushedOut) {
    using namespace std::chrono_literals;
    talkhub_server::LoginThrottle throttle(1, 60s, 4);
    const talkhub_server::LoginThrottle::Clock::time_point start{};
    const auto address = [](uint32_t i) {
        return boost::asio::ip::address(boost::asio::ip::address_v4(0x0a000000 + i));
    };
    for (int i = 0; i < 100; ++i) throttle.failed(address(0), "", start);
    EXPECT_EQ(throttle.records(), 1u) << "made-up names are counted against the address alone";
    EXPECT_GT(throttle.pauseLeft(address(0), "anyone", start).count(), 0);
    for (uint32_t i = 1; i <= 3; ++i) throttle.failed(address(i), "", start + i * 1s);
    EXPECT_EQ(throttle.records(), 4u) << "exactly at the bound";
    throttle.failed(address(4), "", start + 10s);
    EXPECT_EQ(throttle.records(), 4u) << "one past it";
    for (uint32_t i = 2; i <= 4; ++i) {
        for (int k = 0; k < 5; ++k) throttle.failed(address(i), "", start + 20s);
        EXPECT_GT(throttle.pauseLeft(address(i), "alice", start + 20s).count(), 0) << "address " << i;
    }
    throttle.failed(address(5), "", start + 20s);
    EXPECT_EQ(throttle.records(), 4u);
    EXPECT_EQ(throttle.uncounted(), 1u) << "a failure with every record paused";
    EXPECT_GT(throttle.pauseLeft(address(0), "alice", start + 20s).count(), 0) << "a paused address was pushed out";
    EXPECT_EQ(throttle.pauseLeft(address(5), "alice", start + 20s).count(), 0);
}

}  // namespace
