// A login that ends while it is still under way, an accepted login without a voice server,
// and a redirect whose old chunk carries more: against a scripted peer on loopback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "command_output.h"
#include "hearing_support.h"
#include "media/audio_media.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;

using talkhub_test::acceptedLogin;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::loginAnswer;
using talkhub_test::LogTail;
using talkhub_test::ScriptedPeer;
using talkhub_test::Service;
using talkhub_test::VoiceServer;
using test_support::Bytes;
using test_support::FramedStream;

// A listener whose accept queue is full: a new connect stays pending (its SYN is dropped)
// until the queued connection is taken, then completes at the next retransmission.
class FullListener {
public:
    FullListener() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = test_support::loopback(0);
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_, 0);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(filler_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~FullListener() {
        ::close(filler_);
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

    // Makes room, then returns the pending connection once it has completed.
    std::unique_ptr<FramedStream> admit() {
        ::close(::accept(listener_, nullptr, nullptr));
        if (!test_support::readable(listener_, 5000ms)) return nullptr;
        return std::make_unique<FramedStream>(::accept(listener_, nullptr, nullptr));
    }

private:
    int listener_ = -1;
    int filler_ = -1;
    uint16_t port_ = 0;
};

using Lifecycle = Service;

TEST_F(Lifecycle, AConnectThatCompletesAfterTheLogoutIsDroppedUnused) {
    FullListener listener;
    LogTail log;
    setServerInfo("127.0.0.1", listener.port());
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    EXPECT_EQ(talk().getLoginState(), 1);
    loginout();

    auto late = listener.admit();
    ASSERT_NE(late, nullptr) << "the connect never completed";
    EXPECT_FALSE(late->next(1000ms).has_value()) << "no login is sent on it";
    EXPECT_TRUE(late->peerClosed) << "the connection is dropped";
    EXPECT_TRUE(log.contains("[CVoiceTalk::onConnectServerCallback] connect finished in login state:[0]"));
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 0ms).has_value());
    EXPECT_EQ(talk().getLoginState(), 0);
}

TEST_F(Lifecycle, ALoginAnswerThatArrivesDuringTheLogoutStartsNothing) {
    ScriptedPeer peer;
    VoiceServer voice;
    LogTail log;
    auto stream = loginAt(peer);
    ASSERT_NE(stream, nullptr);

    // The answer leaves as soon as the logout request comes in, while the logout runs.
    std::thread logout([] { loginout(); });
    EXPECT_TRUE(stream->expect(TW_CMD_LOGOUT).has_value());
    stream->answerLogin(acceptedLogin(voice.port(), 8000));
    logout.join();

    EXPECT_TRUE(talkhub_test::Service::eventually(
        [&] { return log.contains("[CVoiceTalk::onLoginAck] login ack in login state:[0] ignored"); }));
    EXPECT_FALSE(stream->expect(TW_CMD_QUERY_GROUPS, 500ms).has_value()) << "the login went on";
    EXPECT_TRUE(stream->peerClosed) << "the connection is dropped";
    EXPECT_FALSE(voice.next(300ms).has_value()) << "a voice heartbeat: the voice network started";
    EXPECT_FALSE(talk().media()->isNetworkRunning());
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 0ms).has_value());
}

TEST_F(Lifecycle, AnAcceptedLoginWithoutAVoiceServerFailsWithoutStartingTheVoiceNetwork) {
    ScriptedPeer peer;
    LogTail log;
    auto stream = loginAt(peer);
    ASSERT_NE(stream, nullptr);
    tw_login_ack ack = acceptedLogin(0, 8000);
    ack.voiceAddress[0] = '\0';
    ack.voiceHeartbeatInterval = 0;
    stream->answerLogin(ack);

    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TALKHUB_LOGIN_NO_VOICE_SOCKET) << "never the unknown account's -1";
    EXPECT_TRUE(log.contains("[CAudioMedia::startNetwork] voice server address not set, network not started."));
    EXPECT_TRUE(log.contains("login failed: no voice socket [-1007]."));
    EXPECT_FALSE(talk().media()->isNetworkRunning());
}

TEST_F(Lifecycle, ARedirectLeavesTheRestOfTheOldServersChunkUnread) {
    ScriptedPeer first;
    ScriptedPeer second;
    VoiceServer voice;
    setNotifyCallback(talkhub_test::onNotify);
    auto old = loginAt(first);
    ASSERT_NE(old, nullptr);

    // One chunk: the redirect, then an accepted login and an event that are the old
    // server's and must not count for the login at the new one.
    tw_login_ack redirect = acceptedLogin(voice.port(), 8000);
    std::strcpy(redirect.redirectAddress, "127.0.0.1");
    redirect.redirectPort = second.port();
    Bytes chunk = loginAnswer(redirect);
    const Bytes accepted = loginAnswer(acceptedLogin(voice.port(), 8000));
    chunk.insert(chunk.end(), accepted.begin(), accepted.end());
    const tw_member_get_mic event{1, 1002, "Bob"};
    const Bytes notice =
        test_support::framed([&](unsigned char* b, int c) { return srv_build_member_get_mic(b, c, &event); });
    chunk.insert(chunk.end(), notice.begin(), notice.end());
    old->sendRaw(chunk);

    auto moved = second.acceptLogin();
    ASSERT_NE(moved, nullptr);
    EXPECT_FALSE(moved->expect(TW_CMD_QUERY_GROUPS, 300ms).has_value()) << "logged in by the old server's answer";
    EXPECT_EQ(talk().getLoginState(), 1);
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kNotify, 0ms).has_value()) << "the old server's event";

    moved->answerLogin(acceptedLogin(voice.port(), 8000));
    EXPECT_TRUE(moved->expect(TW_CMD_QUERY_GROUPS).has_value());
    EXPECT_EQ(talk().getLoginState(), 2);
}

// A redirect and unInitialize at nearly the same moment, over and over at staggered
// delays: the redirect's new connection stays pending (its target's queue is full), so
// callbacks of it that outlived the service would run on freed memory, which the
// sanitizers report, or keep its socket alive.
TEST(LifecycleRace, UnInitializeDuringARedirectLeavesNoSocketAndNoCallbackBehind) {
    FullListener target;
    ScriptedPeer peer;
    tw_login_ack redirect{};
    std::strcpy(redirect.redirectAddress, "127.0.0.1");
    redirect.redirectPort = target.port();
    std::strcpy(redirect.voiceAddress, "127.0.0.1");
    redirect.voicePort = 13002;
    for (int round = 0; round < 30; ++round) {
        initialize();
        setServerInfo("127.0.0.1", peer.port());
        ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
        auto stream = peer.acceptLogin();
        ASSERT_NE(stream, nullptr);
        stream->sendRaw(loginAnswer(redirect));
        std::this_thread::sleep_for(std::chrono::microseconds(20 * round));
        unInitialize();
        EXPECT_EQ(harbor::CTSocketService::instance().socketCount(), 0U) << "round " << round;
    }
    HostEvents::instance().clear();
}

// loginout or unInitialize at every moment of a login (connecting, the answer, the group
// list, the group entry, the devices opening) and of a turn heard and spoken, round after
// round at delays that step through them: nothing hangs, nothing is left behind, and a
// login after a loginout works.
TEST(LifecycleRace, LogoutAndUnInitializeAtEveryMomentOfALoginAndATurn) {
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.limits.floorGraceMs = 0;
    server_test::RunningServer server(config);
    server_test::Client carol(server.tcpPort(), server.udpPort());
    carol.join("carol", 1);
    const Bytes voice = hearing_test::tonePacket(500, 4000);
    for (int round = 0; round < 24; ++round) {
        HostEvents::instance().clear();
        initialize();
        setServerInfo("127.0.0.1", server.tcpPort());
        const bool duringTurn = round % 2 == 1;
        ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
        if (duringTurn) {
            ASSERT_TRUE(HostEvents::instance().take(HostEvent::kLogin).has_value());
            // Carol talks to alice while alice asks for the floor, which is busy.
            ASSERT_EQ(carol.requestMic(1), 0);
            for (int k = 0; k < 3; ++k) carol.sendDatagram(voice);
            requestMic(talkhub_test::onResult);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * (round / 2)));
        if (round % 4 < 2) {
            loginout();
            EXPECT_EQ(talkhub::serviceInstance()->getLoginState(), 0) << "round " << round;
            loginout();
        }
        unInitialize();
        EXPECT_EQ(harbor::CTSocketService::instance().socketCount(), 0U) << "round " << round;
        if (duringTurn) carol.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    }
    HostEvents::instance().clear();
}

// Runs in a network namespace of its own (started by the test below), whose loopback link
// goes down while alice is logged in: the server neither answers nor closes, as when a
// link is cut or the server's machine is switched off.
using HalfOpenInside = Service;

TEST_F(HalfOpenInside, DISABLED_InsideTheNamespace) {
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.heartbeatMs = 300;
    server_test::RunningServer server(config);
    setNotifyCallback(talkhub_test::onNotify);
    setServerInfo("127.0.0.1", server.tcpPort());
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    ASSERT_EQ(done->value, 0);

    ASSERT_EQ(std::system("ip link set lo down"), 0);
    const auto cut = std::chrono::steady_clock::now();
    auto broken = HostEvents::instance().take(HostEvent::kNotify, 10000ms);
    const auto noticed = std::chrono::steady_clock::now() - cut;
    ASSERT_TRUE(broken.has_value()) << "the silent server was never noticed";
    EXPECT_EQ(broken->text, TALKHUB_TEXT_NETWORK_EXCEPTION);
    EXPECT_LT(noticed, 3s) << "three heartbeats of 300 ms without acknowledgement";
    // The notice comes first, then the logout.
    EXPECT_TRUE(talkhub_test::eventually([] { return talkhub::serviceInstance()->getLoginState() == 0; }));

    ASSERT_EQ(std::system("ip link set lo up"), 0);
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, 0) << "logged in again once the link is back";
}

TEST(HalfOpen, AServerThatGoesSilentWithoutClosingEndsTheSessionAfterThreeHeartbeats) {
    const command_output::Finished run =
        command_output::runDisabledTestInNamespaces("--net", "HalfOpenInside.DISABLED_InsideTheNamespace");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
}

}  // namespace
