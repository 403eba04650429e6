// Logging in through the exports against the reference server running in this process.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "media/audio_media.h"
#include "server_test_support.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;

using server_test::loopbackConfig;
using server_test::RunningServer;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::LogTail;
using talkhub_test::Service;

class Login : public Service {
protected:
    static std::string loginAs(const RunningServer& server, const char* account) {
        return loginTo(server.tcpPort(), account);
    }
};

TEST_F(Login, ReachesTheFirstGroupAndLogsOutCleanly) {
    RunningServer server;
    LogTail log;
    EXPECT_EQ(loginAs(server, "alice"), "1:Dispatch");
    EXPECT_EQ(talk().getLoginState(), 2);
    EXPECT_EQ(talk().getCurrentGroupId(), 1U);
    EXPECT_EQ(talk().getOwnUserId(), 1001U);
    EXPECT_TRUE(talk().media()->isNetworkRunning());
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 200ms).has_value()) << "called once only";

    EXPECT_TRUE(log.contains("[CVoiceTalk::login] tcp connect to server:[127.0.0.1] port:[" +
                             std::to_string(server.tcpPort()) + "]."));
    EXPECT_TRUE(log.contains("connect audio server:[127.0.0.1] succeed."));
    EXPECT_TRUE(log.contains("send login user:[alice] password:[******] message."));
    EXPECT_FALSE(log.contains("password:[alice]"));
    EXPECT_TRUE(log.contains("recv login ack packet parse:[0]."));
    EXPECT_TRUE(log.contains("[CVoiceTalk::onLoginAck] login succeed."));
    EXPECT_TRUE(log.contains("[CAudioMedia::startNetwork] start voice talk media network finish."));
    EXPECT_TRUE(log.contains("login success open audio record."));
    EXPECT_TRUE(log.contains("[CVoiceTalk::queryGroup] send query group message."));
    EXPECT_TRUE(log.contains("[CVoiceTalk::enterGroup] send enter group:[1] message."));
    EXPECT_TRUE(log.contains("recv enter group ack packet parse:[0]."));

    // Both heartbeat threads beat every 8 s here: they must end with the session, not at
    // their next beat.
    const auto loggingOut = std::chrono::steady_clock::now();
    loginout();
    EXPECT_LT(std::chrono::steady_clock::now() - loggingOut, 2s);
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_EQ(talk().getCurrentGroupId(), 0U);
    EXPECT_FALSE(talk().media()->isNetworkRunning());
    EXPECT_TRUE(log.contains("send logout message and close socket connect."));
    EXPECT_TRUE(log.contains("[CVoiceTalk::onLogoutAck] recv logout ack"));
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kNotify, 300ms).has_value())
        << "the server closing after a logout is no network exception";
    EXPECT_TRUE(eventually([] { return !talk().hasSocket(); }));
    EXPECT_TRUE(log.contains("connection closed after logout:[0]."));
    EXPECT_FALSE(log.contains("[error]")) << "an ordinary session logs no error:\n" << log.text();
    for (const char* line : {"close audio play finish.", "close audio record finish.", "close wave input finish."}) {
        EXPECT_EQ(log.count(line), 1U) << line << " once, however often the logout closes";
    }

    EXPECT_EQ(loginAs(server, "bob"), "1:Dispatch") << "a second login after logout";
}

TEST_F(Login, SecondLoginWhileTheFirstRunsIsRefused) {
    RunningServer server;
    setServerInfo("127.0.0.1", server.tcpPort());
    LogTail log;
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    EXPECT_EQ(login("alice", "alice", talkhub_test::onLoginResult), -1);
    EXPECT_TRUE(log.contains("[CVoiceTalk::login] current voice talk login state error:["));
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->text, "1:Dispatch");
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 200ms).has_value());
}

TEST_F(Login, AWrongPasswordReachesTheCallbackAsAFailureAndLeavesTheServiceIdle) {
    RunningServer server;
    setServerInfo("127.0.0.1", server.tcpPort());
    LogTail log;
    ASSERT_EQ(login("alice", "wrong", talkhub_test::onLoginResult), 0);
    auto refused = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->value, TALKHUB_LOGIN_WRONG_PASSWORD) << "the server's refusal code 2, as a failure";
    EXPECT_EQ(refused->text, "");
    EXPECT_TRUE(log.contains("login fail:[2]."));
    EXPECT_TRUE(log.contains("login failed: wrong password [-2]."));
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_FALSE(talk().media()->isNetworkRunning());
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 200ms).has_value()) << "called once";
    EXPECT_EQ(loginAs(server, "alice"), "1:Dispatch") << "the next login starts afresh";
}

TEST_F(Login, AFullServerReachesTheCallbackAsServerFullAndTheServiceStaysIdle) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.maxSessions = 1;
    RunningServer server(config);
    server_test::Client bob(server.tcpPort(), server.udpPort());
    ASSERT_EQ(bob.login("bob", "bob").result, 0);
    setServerInfo("127.0.0.1", server.tcpPort());
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto refused = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->value, TALKHUB_LOGIN_SERVER_FULL);
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_FALSE(talk().media()->isNetworkRunning());
}

TEST_F(Login, RefusedConnectionReachesTheCallbackOnceAndHoldsUntilLogout) {
    uint16_t closedPort = 0;
    {
        talkhub_test::ScriptedPeer nobody;
        closedPort = nobody.port();
    }
    setServerInfo("127.0.0.1", closedPort);
    LogTail log;
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TALKHUB_LOGIN_SERVER_UNREACHABLE) << "never a server's refusal code";
    EXPECT_EQ(done->text, "connect audio server fail.");
    EXPECT_TRUE(log.contains("connect server address:[127.0.0.1] port:[" + std::to_string(closedPort) + "] fail:["));
    EXPECT_TRUE(log.contains("login failed: server unreachable [-1004]."));
    EXPECT_EQ(talk().getLoginState(), 1);
    EXPECT_TRUE(eventually([] { return !talk().hasSocket(); }));
    EXPECT_EQ(login("alice", "alice", talkhub_test::onLoginResult), -1);
    EXPECT_TRUE(log.contains("current voice talk login state error:[1]."));

    loginout();
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_FALSE(log.contains("send logout message")) << "nothing to log out of on a connection never made";
    EXPECT_FALSE(log.contains("send voice talk ctrl data param error"));
    EXPECT_FALSE(log.contains("close audio play finish.")) << "nothing was open";
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 100ms).has_value());
}

TEST_F(Login, AServerNameThatDoesNotResolveIsToldApartFromAnUnreachableServer) {
    // The reserved top-level name never resolves.
    setServerInfo("no-such-host.invalid", 13001);
    LogTail log;
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto done = HostEvents::instance().take(HostEvent::kLogin, 20s);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TALKHUB_LOGIN_HOST_NOT_FOUND);
    EXPECT_EQ(done->text, "connect audio server fail.");
    EXPECT_TRUE(log.contains("login failed: host name not found [-1005]."));
}

TEST_F(Login, ASpeakerThatDoesNotOpenHasItsOwnResultAndTheSoundLibrarysReason) {
    RunningServer server;
    const char* before = std::getenv("SDL_AUDIODRIVER");
    const std::string kept = before != nullptr ? before : "";
    ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    setServerInfo("127.0.0.1", server.tcpPort());
    LogTail log;
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    if (before != nullptr) {
        ::setenv("SDL_AUDIODRIVER", kept.c_str(), 1);
    } else {
        ::unsetenv("SDL_AUDIODRIVER");
    }
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TALKHUB_LOGIN_SPEAKER_FAILED) << "never the unknown account's -1";
    EXPECT_TRUE(log.contains("init sdl audio fail:[-1] ") && log.contains("no-such-driver"))
        << "SDL names the driver it could not find:\n"
        << log.text();
    EXPECT_TRUE(log.contains("login failed: speaker did not open [-1006]."));
}

TEST_F(Login, InvalidServerAddressFailsAtOnce) {
    setServerInfo("", 13001);
    LogTail log;
    EXPECT_LT(login("alice", "alice", talkhub_test::onLoginResult), 0);
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_TRUE(log.contains("tcp connect to server:[] port:[13001] fail:["));
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 100ms).has_value());
}

TEST_F(Login, ServerGoingAwayNotifiesNetworkExceptionAndLogsOut) {
    auto server = std::make_unique<RunningServer>();
    EXPECT_EQ(loginAs(*server, "alice"), "1:Dispatch");
    setNotifyCallback(talkhub_test::onNotify);
    server.reset();
    auto notice = HostEvents::instance().take(HostEvent::kNotify);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->value, TALKHUB_NOTIFY_NETWORK_EXCEPTION);
    EXPECT_EQ(notice->text, "network exception.");
    EXPECT_TRUE(eventually([] { return talk().getLoginState() == 0 && !talk().hasSocket(); }));
    EXPECT_FALSE(talk().media()->isNetworkRunning());
}

TEST_F(Login, RedirectMovesTheLoginToTheSecondServer) {
    RunningServer target;
    talkhub_server::ServerConfig config = loopbackConfig();
    config.redirects.push_back({"alice", "127.0.0.1", target.tcpPort()});
    RunningServer first(config);
    LogTail log;
    EXPECT_EQ(loginAs(first, "alice"), "1:Dispatch");
    EXPECT_TRUE(
        log.contains("login to new server address:[127.0.0.1] port:[" + std::to_string(target.tcpPort()) + "]"));
    EXPECT_EQ(log.count("connect audio server:[127.0.0.1] succeed."), 2U);
    EXPECT_EQ(talk().getLoginState(), 2);
}

TEST(ServiceLifecycle, RepeatedInitializeLoginUnInitializeLeavesNothingBehind) {
    RunningServer server;
    for (int round = 0; round < 20; ++round) {
        HostEvents::instance().clear();
        initialize();
        setServerInfo("127.0.0.1", server.tcpPort());
        ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
        if (round % 2 == 0) {
            // Half the rounds end in the middle of the login.
            auto done = HostEvents::instance().take(HostEvent::kLogin);
            ASSERT_TRUE(done.has_value());
            EXPECT_EQ(done->text, "1:Dispatch");
        }
        unInitialize();
        EXPECT_EQ(talkhub::serviceInstance(), nullptr);
        EXPECT_EQ(harbor::CTSocketService::instance().socketCount(), 0U);
    }
}

// The example host, plain C linking only the shared library and its header: it logs in,
// enters its group, takes the floor and logs out, printing each callback.
TEST(ExampleHost, LogsInEntersTakesTheFloorAndLogsOutThroughTheSharedLibrary) {
    RunningServer server;
    const std::string command =
        std::string(TALKHUB_EXAMPLE_PATH) + " 127.0.0.1 " + std::to_string(server.tcpPort()) + " alice alice 2 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    for (const char* expected :
         {"login 0 \"1:Dispatch\"", "enter group 0 \"2:Field team\"", "floor 0 (granted)", "logged out"}) {
        EXPECT_NE(output.find(expected), std::string::npos) << expected << " in:\n" << output;
    }
}

}  // namespace
