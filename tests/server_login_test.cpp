// The login as a key exchange, seen from the wire: what an observer captures logs nobody in,
// a wrong password and a client that knows only the server's record are refused, a client of
// the previous protocol is told to update, and once logged in nothing can be injected,
// altered, dropped or reordered on the control connection, nor any datagram replayed.
#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "datagram_format.h"
#include "server_test_support.h"

namespace {

using namespace server_test;

talkhub_server::ServerConfig withMetrics() {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.metricsListen = "127.0.0.1:0";
    return config;
}

// A voice datagram of one frame, plain, as alice's client builds it.
Bytes voiceOf(uint32_t sender, uint16_t sequence) {
    unsigned char frames[] = {3, 1, 2, 3};
    unsigned char datagram[64];
    const int size =
        talkwire::datagrams::voice(frames, sizeof frames, 1, 1, sender, sequence, datagram, sizeof datagram);
    return Bytes(datagram, datagram + std::max(size, 0));
}

TEST(ServerLogin, ACapturedLoginReplayedOpensNoSessionAndLeavesTheRealUserLoggedIn) {
    RunningServer server(withMetrics());
    Client alice(server.tcpPort(), server.udpPort());
    alice.recording = true;
    ASSERT_EQ(alice.login("alice", "alice").result, 0);
    ASSERT_GE(alice.recorded.size(), 2u) << "the login and its confirmation";

    test_support::FramedStream replayer(connectFrom("127.0.0.9", server.tcpPort()));
    replayer.sendRaw(alice.recorded[0]);
    auto answer = replayer.expect(TW_CMD_LOGIN_ACK);
    ASSERT_TRUE(answer.has_value()) << "a fresh answer to the captured share";
    replayer.sendRaw(alice.recorded[1]);
    EXPECT_FALSE(replayer.expect(TW_CMD_QUERY_GROUP_ACK, 500ms).has_value());
    EXPECT_TRUE(replayer.peerClosed) << "the captured confirmation does not match the fresh answer";

    alice.send([](unsigned char* b, int c) { return cp_query_groups(b, c); });
    EXPECT_TRUE(alice.expect(TW_CMD_QUERY_GROUP_ACK).has_value()) << "alice is still logged in";
    EXPECT_EQ(metricValue(server.scrape(), "talkhub_logins_total{result=\"ok\"}"), 1);
}

TEST(ServerLogin, AWrongPasswordAndTheServersRecordAloneAreRefusedAndAnOldClientIsToldToUpdate) {
    RunningServer server;
    Client guesser(server.tcpPort(), server.udpPort());
    bool proven = true;
    EXPECT_EQ(guesser.logIn("alice", "guess", 3000ms, &proven).result, talkhub_server::kWrongPassword);
    EXPECT_FALSE(proven) << "a wrong password never proves the server";

    // Who holds a copy of the server's record has w0 but not w1.
    const talkwire::spake2plus::VerifierRecord& record = test_kit::recordFor("bob", "bob");
    talkwire::spake2plus::ProverSecret stolen;
    stolen.w0 = record.w0;
    stolen.w1 = record.w0;
    talkwire::login::ClientLogin thief("bob", stolen);
    Client intruder(server.tcpPort(), server.udpPort());
    const std::string share = thief.start().value_or("");
    intruder.send([&](unsigned char* b, int c) { return cp_login(b, c, "bob", share.c_str(), 0); });
    auto body = intruder.expect(TW_CMD_LOGIN_ACK);
    ASSERT_TRUE(body.has_value());
    tw_login_ack answer{};
    ASSERT_EQ(test_kit::parseLoginAnswer(answer, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
    talkwire::spake2plus::Share shareV{};
    talkwire::spake2plus::Confirmation confirmV{};
    talkwire::spake2plus::Confirmation confirmP{};
    std::copy(std::begin(answer.serverShare), std::end(answer.serverShare), shareV.begin());
    std::copy(std::begin(answer.serverConfirmation), std::end(answer.serverConfirmation), confirmV.begin());
    talkwire::login::SessionKeys keys;
    EXPECT_FALSE(thief.finish(shareV, confirmV, confirmP, keys)) << "the record alone does not finish the exchange";
    intruder.send([&](unsigned char* b, int c) { return cp_login_confirm(b, c, confirmP.data()); });
    intruder.send([](unsigned char* b, int c) { return cp_query_groups(b, c); });
    EXPECT_FALSE(intruder.expect(TW_CMD_QUERY_GROUP_ACK, 500ms).has_value());

    // A login of protocol version 1 gets a refusal that client can read.
    test_support::FramedStream old(connectFrom("127.0.0.10", server.tcpPort()));
    unsigned char login[512];
    const int length = cp_login(login, sizeof login, "carol", "v2$00", 0);
    login[1] = TW_OLD_PROTOCOL_VERSION;
    old.sendRaw(test_support::frame(login, length));
    Bytes frame;
    unsigned char chunk[512];
    while (test_support::readable(old.fd(), 2000ms)) {
        const ssize_t got = ::recv(old.fd(), chunk, sizeof chunk, 0);
        if (got <= 0) break;
        frame.insert(frame.end(), chunk, chunk + got);
    }
    ASSERT_GE(frame.size(), 6u);
    EXPECT_EQ(frame[3], TW_CMD_LOGIN_ACK);
    EXPECT_EQ(frame[4], TW_OLD_PROTOCOL_VERSION);
    EXPECT_EQ(frame[5], talkhub_server::kOldProtocol);
}

// After the login every request opens only in order and unaltered: anything else ends the
// connection, and the user's floor with it.
TEST(ServerLogin, AControlMessageInjectedAlteredDroppedOrReorderedEndsTheConnection) {
    RunningServer server;
    struct Case {
        const char* what;
        std::function<void(Client&)> tamper;
    };
    const auto sealedQuery = [](Client& client) {
        unsigned char message[16];
        return client.wire().frame(message, cp_query_groups(message, sizeof message));
    };
    const std::vector<Case> cases = {
        {"injected in plain",
         [](Client& client) {
             client.sendRaw(test_support::framed([](unsigned char* b, int c) { return cp_query_groups(b, c); }));
         }},
        {"altered",
         [&](Client& client) {
             unsigned char message[16];
             const int length = cp_query_groups(message, sizeof message);
             Bytes sealed(static_cast<std::size_t>(length) + talkwire::ProtectedLink::kControlOverhead);
             ASSERT_TRUE(client.wire().link()->sealControl({message, static_cast<std::size_t>(length)}, sealed.data()));
             sealed[0] ^= 0x01;
             client.sendRaw(test_support::frame(sealed.data(), static_cast<int>(sealed.size())));
         }},
        {"dropped",
         [&](Client& client) {
             sealedQuery(client);
             client.sendRaw(sealedQuery(client));
         }},
        {"reordered",
         [&](Client& client) {
             const Bytes first = sealedQuery(client);
             const Bytes second = sealedQuery(client);
             client.sendRaw(second);
             client.sendRaw(first);
         }},
    };
    for (const Case& test : cases) {
        Client client(server.tcpPort(), server.udpPort());
        ASSERT_EQ(client.login("dave", "dave").result, 0) << test.what;
        test.tamper(client);
        EXPECT_FALSE(client.expect(TW_CMD_QUERY_GROUP_ACK, 1000ms).has_value()) << test.what;
        EXPECT_TRUE(client.peerClosed) << test.what;
    }
}

// The client's first heartbeat leaves as its login is confirmed and may reach the server
// before the confirmation does: it waits for it, and the endpoint it names is the one voice
// goes to.
TEST(ServerLogin, AHeartbeatThatOvertakesTheConfirmationIsTakenOnceTheLoginIsConfirmed) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    const std::string share = bob.wire().startLogin("bob", "bob");
    bob.send([&](unsigned char* b, int c) { return cp_login(b, c, "bob", share.c_str(), 0); });
    Bytes confirmation;
    bool proven = false;
    const tw_login_ack answer = bob.awaitLogin(3000ms, &proven, &confirmation);
    ASSERT_TRUE(proven);
    bob.userId = answer.userId;
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    bob.sendDatagram(Bytes(heartbeat, heartbeat + talkwire::datagrams::heartbeat(heartbeat, sizeof heartbeat, 1002)));
    std::this_thread::sleep_for(100ms);
    bob.sendRaw(confirmation);
    bob.send([](unsigned char* b, int c) { return cp_activate_group(b, c, 1); });
    ASSERT_TRUE(bob.expect(TW_CMD_ENTER_GROUP_ACK).has_value());
    ASSERT_EQ(alice.requestMic(1), 0);
    alice.sendDatagram(voiceOf(1001, 0));
    EXPECT_TRUE(bob.datagram(1000ms).has_value()) << "bob's endpoint was lost";
}

TEST(ServerLogin, VoiceReplayedInOrderOrShuffledIsNotHeardAndReorderingWithinTheWindowLosesNothing) {
    RunningServer server(withMetrics());
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    ASSERT_EQ(alice.requestMic(1), 0);
    std::vector<Bytes> captured;
    for (uint16_t n = 0; n < 20; ++n) captured.push_back(alice.wire().sealDatagram(voiceOf(1001, n)));
    std::vector<Bytes> shuffled = captured;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    for (const Bytes& datagram : shuffled) alice.sendRawDatagram(datagram);
    std::set<uint16_t> heard;
    while (auto datagram = bob.datagram(500ms)) {
        tw_datagram_info info{};
        if (srv_parse_datagram(datagram->data(), static_cast<int>(datagram->size()), &info) == TW_OK) {
            heard.insert(info.sequence);
        }
    }
    EXPECT_EQ(heard.size(), captured.size()) << "reordered within the window, every datagram is heard";

    // alice holds the floor in silence while the capture is sent again.
    const double before = metricValue(server.scrape(), "talkhub_datagrams_dropped_total{cause=\"not_opened\"}");
    for (const Bytes& datagram : captured) alice.sendRawDatagram(datagram);
    for (const Bytes& datagram : shuffled) alice.sendRawDatagram(datagram);
    EXPECT_FALSE(bob.datagram(500ms).has_value()) << "replayed voice was relayed";
    EXPECT_EQ(metricValue(server.scrape(), "talkhub_datagrams_dropped_total{cause=\"not_opened\"}"),
              before + 2 * static_cast<double>(captured.size()));
}

}  // namespace
