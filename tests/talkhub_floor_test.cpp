// Requests, answers and notifications through the exports against the reference server,
// with talkwire clients as the other members: groups, the floor, calls, and the floor taken
// by voice.
#include <string>
#include <vector>

#include "cluster_test_support.h"
#include "media/audio_media.h"
#include "server_test_support.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::loopbackConfig;
using server_test::RunningServer;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::LogTail;
using talkhub_test::Service;

class Requests : public Service {
protected:
    // Waits for the next notification and checks its code and text (null: a null text).
    static void expectNotice(int code, const char* text) {
        auto notice = HostEvents::instance().take(HostEvent::kNotify);
        ASSERT_TRUE(notice.has_value()) << "no notification " << code;
        EXPECT_EQ(notice->value, code);
        if (text == nullptr) {
            EXPECT_TRUE(notice->textNull) << notice->text;
        } else {
            EXPECT_FALSE(notice->textNull);
            EXPECT_EQ(notice->text, text);
        }
    }

    static int nextResult() {
        auto result = HostEvents::instance().take(HostEvent::kResult);
        EXPECT_TRUE(result.has_value());
        return result ? result->value : INT32_MIN;
    }

    // Logs alice in to the server's first group, with notifications recorded.
    static void loginAlice(const RunningServer& server) {
        EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "1:Dispatch");
        setNotifyCallback(talkhub_test::onNotify);
    }

    static std::optional<HostEvent> nextText() { return HostEvents::instance().take(HostEvent::kLogin); }

    static bool quietFor(std::chrono::milliseconds wait) {
        return !HostEvents::instance().take(HostEvent::kNotify, wait).has_value() &&
               !HostEvents::instance().take(HostEvent::kResult, 0ms).has_value() &&
               !HostEvents::instance().take(HostEvent::kLogin, 0ms).has_value();
    }
};

TEST_F(Requests, EveryRequestIsRefusedWhileLoggedOut) {
    LogTail log;
    enterGroup(1, talkhub_test::onLoginResult);
    setGroupOption(5, 255, talkhub_test::onResult);
    requestMic(talkhub_test::onResult);
    releaseMic();
    tempCall(1002, talkhub_test::onResult);
    handupTempCall();
    meetingCall(true, "1002,1003", talkhub_test::onLoginResult);
    handupMeetingCall(7);
    for (const char* request : {"enterGroup", "setGroupOption", "requestMic", "releaseMic", "tempCall",
                                "handupTempCall", "meetingCall", "handupMeetingCall"}) {
        EXPECT_EQ(log.count(std::string("[CVoiceTalk::") + request + "] current voice talk login state error:[0]."), 1U)
            << request;
    }
    LogTail empty;
    meetingCall(true, "", talkhub_test::onLoginResult);
    EXPECT_FALSE(empty.contains("CVoiceTalk::meetingCall")) << "an empty list ends without a line";
    EXPECT_TRUE(quietFor(200ms));
}

TEST_F(Requests, LoginEntersTheFirstListedGroupAndGroupsCanBeChanged) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.groups = {{5, "a", {1001, 1002}}, {9, "b", {1001}}};
    RunningServer server(config);
    LogTail log;
    EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "5:a");
    EXPECT_TRUE(log.contains("[CVoiceTalk::enterGroup] send enter group:[5] message."));
    EXPECT_EQ(talk().getCurrentGroupId(), 5U);

    enterGroup(9, talkhub_test::onLoginResult);
    auto entered = nextText();
    ASSERT_TRUE(entered.has_value());
    EXPECT_EQ(entered->value, 0);
    EXPECT_EQ(entered->text, "9:b");
    EXPECT_EQ(talk().getCurrentGroupId(), 9U);

    enterGroup(3, talkhub_test::onLoginResult);  // not listed for alice: refused, named empty
    entered = nextText();
    ASSERT_TRUE(entered.has_value());
    EXPECT_EQ(entered->value, talkhub_server::kNotAMember);
    EXPECT_EQ(entered->text, "9:b") << "the answer names the group the user is still in";

    setGroupOption(5, 255, talkhub_test::onResult);
    EXPECT_EQ(nextResult(), 0);
    EXPECT_TRUE(log.contains("[CVoiceTalk::setGroupOption] send set group option:[5:ff] message."));

    enterGroup(0, talkhub_test::onLoginResult);
    entered = nextText();
    ASSERT_TRUE(entered.has_value());
    EXPECT_EQ(entered->text, "0:");
    EXPECT_TRUE(eventually([&] { return log.contains("recv quit group ack packet parse:[0]."); }));
    EXPECT_EQ(talk().getCurrentGroupId(), 0U);
}

TEST_F(Requests, FloorIsGrantedReleasedRefusedAndSeenByTheOtherMember) {
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    loginAlice(server);
    LogTail log;

    requestMic(talkhub_test::onResult);
    // Pending (1) or, when the grant is already back, held (2): either way a second request is refused.
    EXPECT_NE(talk().getMicState(), 0);
    requestMic(talkhub_test::onResult);
    EXPECT_TRUE(log.contains("[CVoiceTalk::requestMic] current mic state error:[1].") ||
                log.contains("[CVoiceTalk::requestMic] current mic state error:[2]."));
    EXPECT_EQ(nextResult(), 0);
    EXPECT_EQ(talk().getMicState(), 2);
    auto got = bob.expect(TW_CMD_MEMBER_GET_MIC);
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kResult, 100ms).has_value()) << "one answer, one call";

    enterGroup(2, talkhub_test::onLoginResult);
    EXPECT_TRUE(log.contains("[CVoiceTalk::enterGroup] current mic state error:[2]."));
    EXPECT_EQ(talk().getCurrentGroupId(), 1U);

    releaseMic();
    EXPECT_TRUE(log.contains("[CVoiceTalk::releaseMic] send release mic message."));
    EXPECT_TRUE(eventually([] { return talk().getMicState() == 0; }));
    EXPECT_TRUE(bob.expect(TW_CMD_MEMBER_LOST_MIC).has_value());
    releaseMic();
    EXPECT_TRUE(log.contains("[CVoiceTalk::releaseMic] current mic state error:[0]."));

    EXPECT_EQ(bob.requestMic(1), 0);
    expectNotice(3, "1:1002:Bob");
    requestMic(talkhub_test::onResult);
    EXPECT_EQ(nextResult(), talkhub_server::kFloorBusy);
    EXPECT_EQ(talk().getMicState(), 0);
    bob.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    expectNotice(4, "1:1002");
    EXPECT_TRUE(quietFor(200ms)) << "without detection a release notifies nothing";
}

// A quick tap of the key on a node of a cluster: the request and its release leave at once,
// before the cluster has decided the claim. The floor is free for a member on another node
// right away, and the tapping host sends no voice after its release.
TEST_F(Requests, ATapOnAClusterNodeLeavesTheFloorFreeAndSendsNothingAfterItsRelease) {
    test_kit::NatsCluster nats(1);
    ASSERT_TRUE(nats.ready());
    RunningServer a(cluster_test::nodeConfig(nats, "a"));
    RunningServer b(cluster_test::nodeConfig(nats, "b"));
    Client carol(a.tcpPort(), a.udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    carol.join("carol", 1);
    bob.join("bob", 1);
    loginAlice(a);

    requestMic(talkhub_test::onResult);
    releaseMic();
    EXPECT_TRUE(nextResult() != INT32_MIN);
    EXPECT_TRUE(eventually([] { return talk().getMicState() == 0; })) << "the host holds the floor after its release";
    std::this_thread::sleep_for(300ms);  // past the grace period of a floor granted before the release
    EXPECT_EQ(bob.requestMic(1), 0) << "the tap locked the floor on every node";
    while (auto datagram = carol.datagram(1s)) {
        tw_datagram_info info{};
        ASSERT_EQ(srv_parse_datagram(datagram->data(), static_cast<int>(datagram->size()), &info), TW_OK);
        // A claim decided before the release arrived ends as a turn does, with an end of talk.
        if (info.kind == TW_KIND_VOICE) {
            EXPECT_NE(info.senderId, 1001U) << "alice's voice after her release";
        }
    }
    EXPECT_EQ(talk().getMicState(), 0);
}

TEST_F(Requests, FloorTakenBackByTheServerNotifiesAndHeldFloorDoesNotOutliveLogout) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.maxTalkSeconds = 1;
    RunningServer server(config);
    loginAlice(server);
    requestMic(talkhub_test::onResult);
    EXPECT_EQ(nextResult(), 0);
    expectNotice(2, "");
    EXPECT_EQ(talk().getMicState(), 0);

    // The server keeps the floor in its grace period for a moment after taking it back.
    int again = 1;
    for (int attempt = 0; attempt < 40 && again == 1; ++attempt) {
        std::this_thread::sleep_for(50ms);
        requestMic(talkhub_test::onResult);
        again = nextResult();
    }
    EXPECT_EQ(again, 0);
    loginout();
    EXPECT_EQ(talk().getMicState(), 0);
    EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "1:Dispatch");
    requestMic(talkhub_test::onResult);
    EXPECT_EQ(nextResult(), 0) << "a floor held at logout does not block the next login";
}

TEST_F(Requests, TemporaryCallsArriveEndAndCanBePlaced) {
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    loginAlice(server);
    LogTail log;

    const uint32_t alice[1] = {1001};
    bob.send([&](unsigned char* b, int c) { return cp_temp_group_call(b, c, alice, 1); });
    expectNotice(5, "1002:Bob");
    EXPECT_EQ(talk().getMicState(), 0);
    requestMic(talkhub_test::onResult);
    EXPECT_EQ(nextResult(), 0) << "the floor of the call";
    const uint32_t hangUp[1] = {0};
    bob.send([&](unsigned char* b, int c) { return cp_temp_group_call(b, c, hangUp, 1); });
    auto ended = HostEvents::instance().take(HostEvent::kNotify);
    while (ended && ended->value != 6) ended = HostEvents::instance().take(HostEvent::kNotify);  // floor ends first
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->value, TALKHUB_NOTIFY_TEMP_CALL_END);
    EXPECT_EQ(ended->text, "");
    EXPECT_TRUE(eventually([] { return talk().getMicState() == 0; }));

    tempCall(1002, talkhub_test::onResult);
    EXPECT_TRUE(log.contains("[CVoiceTalk::tempCall] send temp call userId:[1002] message."));
    EXPECT_EQ(nextResult(), 0);
    EXPECT_TRUE(bob.expect(TW_CMD_TEMP_CALL_ARRIVED).has_value());
    handupTempCall();
    EXPECT_TRUE(log.contains("send handup temp call message."));
    EXPECT_TRUE(bob.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value());
    expectNotice(6, "");
    EXPECT_TRUE(log.contains("[CVoiceTalk::releaseMic] current mic state error:[0]."));

    tempCall(4242, talkhub_test::onResult);
    EXPECT_EQ(nextResult(), talkhub_server::kUserUnavailable);
    EXPECT_TRUE(log.contains("recv temp call ack packet cannot parse:[0]."));
}

TEST_F(Requests, MeetingCallNamesItsMembersAndEndsForEveryone) {
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    carol.join("carol", 1);
    loginAlice(server);
    LogTail log;

    meetingCall(true, "1002,1003,", talkhub_test::onLoginResult);
    EXPECT_TRUE(log.contains("send meeting call user list:[1002,1003,] message uid:[1002]."));
    auto created = nextText();
    ASSERT_TRUE(created.has_value());
    ASSERT_EQ(created->value, 0);
    const std::string id = created->text.substr(0, created->text.find('@'));
    EXPECT_EQ(created->text, id + "@1001:Alice;1002:Bob;1003:Carol");
    EXPECT_TRUE(log.contains("create meeting call succeed"));

    handupMeetingCall(static_cast<unsigned int>(std::stoul(id)));
    expectNotice(7, id.c_str());
    EXPECT_TRUE(bob.expect(TW_CMD_MEETING_CALL_RELEASE).has_value());

    meetingCall(false, "4242", talkhub_test::onLoginResult);
    auto refused = nextText();
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->value, talkhub_server::kUserUnavailable);
    EXPECT_EQ(refused->text, "");
    EXPECT_TRUE(log.contains("create meeting call fail:[1]"));
}

// With voice activation on, the push-to-talk requests only steer the detector, and another
// member's floor pauses it (speech taking the floor is in the send path's tests).
using VoiceActivated = Requests;

TEST_F(VoiceActivated, RequestsSteerTheDetectorAndAnotherMembersFloorPausesIt) {
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    loginAlice(server);
    setAudioActivateThreshold(0);  // the silent microphone is no speech
    enableAudioDetection(true);
    LogTail log;

    requestMic(talkhub_test::onResult);
    releaseMic();
    EXPECT_FALSE(bob.expect(TW_CMD_MEMBER_GET_MIC, 300ms).has_value()) << "a request went out";
    EXPECT_FALSE(log.contains("send release mic message."));
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kResult, 0ms).has_value());

    EXPECT_EQ(bob.requestMic(1), 0);
    expectNotice(3, "1:1002:Bob");
    EXPECT_TRUE(isPauseAudioDetection());
    bob.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    expectNotice(4, "1:1002");
    EXPECT_FALSE(isPauseAudioDetection());

    loginout();
    EXPECT_FALSE(talk().onAudioDetectionStateCallback(true));
    EXPECT_TRUE(log.contains("[CVoiceTalk::onAudioDetectionStateCallback] current voice talk login state error:[0]."));
}

}  // namespace
