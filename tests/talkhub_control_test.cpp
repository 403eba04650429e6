// The control channel and the voice network against a scripted peer: framing across
// chunks, unknown commands, bytes after logout, heartbeat pacing and the UDP port search.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// A valid message whose command id no handler knows.
Bytes unknownCommandFrame() {
    unsigned char message[64];
    const int length = srv_build_result_ack(message, sizeof message, TW_CMD_QUIT_GROUP_ACK, 0);
    message[0] = 0x83;
    return test_support::frame(message, length);
}

class ControlChannel : public Service {
protected:
    // Logs in to the peer and returns the peer's end, once the login request arrived.
    std::unique_ptr<FramedStream> connect() { return loginAt(peer); }

    // Logs in to the peer and answers with an accepted login whose voice server is on
    // loopback at voicePort.
    std::unique_ptr<FramedStream> connectAccepted(uint16_t voicePort, uint32_t heartbeatMs) {
        auto stream = connect();
        if (stream) {
            stream->answerLogin(acceptedLogin(voicePort, heartbeatMs));
            EXPECT_TRUE(stream->awaitKeys());
        }
        return stream;
    }

    // Pings that arrive within the window.
    static int pingsWithin(FramedStream& stream, std::chrono::milliseconds window) {
        const auto until = std::chrono::steady_clock::now() + window;
        int pings = 0;
        while (true) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !stream.expect(TW_CMD_PING, left)) return pings;
            ++pings;
        }
    }

    ScriptedPeer peer;
};

TEST_F(ControlChannel, FramesAreHandledOnceWhateverTheChunkBoundaries) {
    auto stream = connect();
    ASSERT_NE(stream, nullptr);
    LogTail log;
    const Bytes frame = unknownCommandFrame();
    const std::size_t half = frame.size() / 2;

    EXPECT_EQ(talk().onVoiceCtrlDataCallback(nullptr, static_cast<int>(half), frame.data()), 0);
    EXPECT_FALSE(log.contains("not handle funtion"));
    const int rest = static_cast<int>(frame.size() - half);
    EXPECT_EQ(talk().onVoiceCtrlDataCallback(nullptr, rest, frame.data() + half), rest - 1);
    EXPECT_EQ(log.count("[CVoiceTalk::onVoiceCtrlDataCallback] command:[83] not handle funtion."), 1U);

    Bytes two = frame;
    two.insert(two.end(), frame.begin(), frame.end());
    EXPECT_EQ(talk().onVoiceCtrlDataCallback(nullptr, static_cast<int>(two.size()), two.data()),
              static_cast<int>(two.size()) - 1);
    EXPECT_EQ(log.count("command:[83] not handle funtion."), 3U);

    // The same through the socket, split across two writes.
    stream->sendRaw(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(half)));
    std::this_thread::sleep_for(50ms);
    stream->sendRaw(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(half), frame.end()));
    EXPECT_TRUE(eventually([&] { return log.count("command:[83] not handle funtion.") == 4; }));
}

TEST_F(ControlChannel, BytesAfterLogoutAreDropped) {
    auto stream = connect();
    ASSERT_NE(stream, nullptr);
    loginout();
    LogTail log;
    const Bytes frame = unknownCommandFrame();
    EXPECT_EQ(talk().onVoiceCtrlDataCallback(nullptr, static_cast<int>(frame.size()), frame.data()), 0);
    stream->sendRaw(frame);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(log.contains("not handle funtion"));
}

TEST_F(ControlChannel, HeartbeatGoesOutAtOnceThenEveryIntervalInWholeSteps) {
    VoiceServer voice;
    auto stream = connectAccepted(voice.port(), 250);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(stream->expect(TW_CMD_PING, 1000ms).has_value()) << "the first heartbeat goes out at once";
    // 250 ms is taken up to three 100 ms steps: about three more within 950 ms.
    const int pings = pingsWithin(*stream, 950ms);
    EXPECT_GE(pings, 2);
    EXPECT_LE(pings, 4);

    auto rtp = voice.next();
    ASSERT_TRUE(rtp.has_value()) << "the voice heartbeat goes out as the network starts";
    EXPECT_EQ(rtp->first.kind, static_cast<uint32_t>(TW_KIND_HEARTBEAT));
    EXPECT_EQ(rtp->first.senderId, 1001U);
    EXPECT_EQ(rtp->second, talk().media()->localPort());
}

TEST_F(ControlChannel, HeartbeatIntervalOfZeroFallsBackToTheDefault) {
    VoiceServer voice;
    auto stream = connectAccepted(voice.port(), 0);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(stream->expect(TW_CMD_PING, 1000ms).has_value());
    EXPECT_EQ(pingsWithin(*stream, 1000ms), 0) << "no heartbeat storm";
}

TEST_F(ControlChannel, VoiceSocketTakesTheNextFreePortAboveTheServersPort) {
    VoiceServer voice;  // holds the server's port locally
    auto stream = connectAccepted(voice.port(), 8000);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(eventually([] { return talk().media()->isNetworkRunning(); }));
    EXPECT_GT(talk().media()->localPort(), voice.port());
    auto rtp = voice.next();
    ASSERT_TRUE(rtp.has_value());
    EXPECT_EQ(rtp->second, talk().media()->localPort());
}

TEST_F(ControlChannel, NoFreeVoicePortFailsTheLoginWithoutEndingTheProcess) {
    VoiceServer last(65534);  // the search starts, and ends, at the last port
    LogTail log;
    auto stream = connectAccepted(65534, 8000);
    ASSERT_NE(stream, nullptr);
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_LT(done->value, 0);
    EXPECT_EQ(done->text, "");
    EXPECT_TRUE(log.contains("[CAudioMedia::startNetwork] current udp network not available."));
    EXPECT_FALSE(log.contains("open audio play finish."));
    EXPECT_FALSE(talk().media()->isNetworkRunning());
    EXPECT_EQ(talk().getLoginState(), 2);
    loginout();
    EXPECT_EQ(talk().getLoginState(), 0);
}

// Requests from several host threads and the heartbeat share one connection: every frame
// must arrive whole.
TEST_F(ControlChannel, RequestsFromManyThreadsArriveAsWholeFrames) {
    VoiceServer voice;
    auto stream = connectAccepted(voice.port(), 100);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(eventually([] { return talk().getLoginState() == 2; }));
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                setGroupOption(static_cast<unsigned int>(t), static_cast<unsigned int>(i), talkhub_test::onResult);
            }
        });
    }
    for (std::thread& sender : senders) sender.join();
    std::vector<int> next(kThreads, 0);
    int received = 0;
    while (received < kThreads * kEach) {
        auto body = stream->expect(TW_CMD_SET_GROUP_OPTION, 3000ms);
        ASSERT_TRUE(body.has_value()) << received << " of " << kThreads * kEach;
        tw_group_option_request request{};
        ASSERT_EQ(srv_parse_group_option(&request, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
        ASSERT_LT(request.first, static_cast<uint32_t>(kThreads));
        EXPECT_EQ(request.second, static_cast<uint32_t>(next[request.first]++)) << "in order per thread";
        ++received;
    }
}

// Tearing the service down while the peer keeps sending must leave no callback behind that
// reaches the destroyed service.
TEST_F(ControlChannel, UnInitializeWhileThePeerKeepsSending) {
    for (int round = 0; round < 5; ++round) {
        auto stream = connect();
        ASSERT_NE(stream, nullptr);
        std::atomic<bool> sending{true};
        std::thread flood([&] {
            const Bytes frame = unknownCommandFrame();
            for (int i = 0; i < 2000 && sending; ++i) stream->sendRaw(frame);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
        unInitialize();
        sending = false;
        flood.join();
        initialize();
    }
}

// A message cut one byte short of its body: its parser fails.
template <class Build>
Bytes truncated(Build build) {
    unsigned char message[10240];
    const int length = build(message, static_cast<int>(sizeof message));
    return Bytes(message, message + std::max(length - 1, 0));
}

// A server that does not hold alice's record: told that its answer did not prove it, it
// refuses again, accepts again or goes away; each ends the login as a server not proven,
// and nothing but the login and that word went to it.
TEST_F(ControlChannel, AServerWithoutTheAccountsRecordIsNotProvenWhateverItAnswersNext) {
    enum class Then { kAcceptsAgain, kCloses };
    for (Then then : {Then::kAcceptsAgain, Then::kCloses}) {
        auto stream = connect();
        ASSERT_NE(stream, nullptr);
        stream->answerLogin(acceptedLogin(13002, 8000), "not alice's password");
        auto notice = stream->expect(TW_CMD_LOGIN_CONFIRM);
        ASSERT_TRUE(notice.has_value());
        tw_login_confirm word{};
        ASSERT_EQ(srv_parse_login_confirm(&word, notice->data(), static_cast<uint32_t>(notice->size())), TW_OK);
        EXPECT_EQ(word.confirmed, 0) << "no confirmation goes to a server not proven";
        if (then == Then::kAcceptsAgain) {
            stream->answerLogin(acceptedLogin(13002, 8000), "not alice's password");
        } else {
            stream->closeTcp();
        }
        auto done = HostEvents::instance().take(HostEvent::kLogin);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->value, TALKHUB_LOGIN_SERVER_NOT_PROVEN);
        EXPECT_EQ(talk().getLoginState(), 0);
        if (then == Then::kAcceptsAgain) {
            EXPECT_FALSE(stream->next(300ms).has_value()) << "something more went to it";
        }
        loginout();
    }
}

// Once logged in, a message that does not open under the connection's keys (one injected in
// plain) ends the connection as a broken one.
TEST_F(ControlChannel, AMessageInjectedAfterTheLoginEndsTheConnection) {
    VoiceServer voice;
    setNotifyCallback(talkhub_test::onNotify);
    auto stream = connectAccepted(voice.port(), 8000);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(eventually([] { return talk().getLoginState() == 2; }));
    LogTail log;
    const tw_member_get_mic forged{1, 1002, "Bob"};
    stream->sendRaw(
        test_support::framed([&](unsigned char* b, int c) { return srv_build_member_get_mic(b, c, &forged); }));
    auto notice = HostEvents::instance().take(HostEvent::kNotify);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->value, TALKHUB_NOTIFY_NETWORK_EXCEPTION);
    EXPECT_TRUE(log.contains("a message did not open"));
    EXPECT_TRUE(eventually([] { return talk().getLoginState() == 0; }));
}

TEST_F(ControlChannel, LoginAnswersTheReferenceServerNeverSends) {
    auto stream = connect();
    ASSERT_NE(stream, nullptr);
    tw_login_ack refused{};
    refused.result = 0xFF;
    stream->sendRaw(loginAnswer(refused));
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, -1);
    EXPECT_EQ(done->text, "");
    EXPECT_EQ(talk().getLoginState(), 0);
    loginout();

    LogTail log;
    stream = connect();
    ASSERT_NE(stream, nullptr);
    refused.result = 1;
    stream->sendRaw(loginAnswer(refused));
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value()) << "1..127 reach the callback too";
    EXPECT_EQ(done->value, -1);
    EXPECT_TRUE(log.contains("[CVoiceTalk::onLoginAck] login fail:[1]."));
    EXPECT_EQ(talk().getLoginState(), 0);
    loginout();

    stream = connect();
    ASSERT_NE(stream, nullptr);
    const tw_login_ack accepted = acceptedLogin(13002, 8000);
    stream->sendMessage(truncated([&](unsigned char* b, int c) { return srv_build_login_ack(b, c, &accepted); }));
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TW_ERR_TRUNCATED);
    EXPECT_EQ(done->text, "");
    EXPECT_EQ(talk().getLoginState(), 1) << "an unreadable answer leaves the login waiting";
}

TEST_F(ControlChannel, ServersThatKeepRedirectingEndTheLoginAfterFourMovesAndAnEmptyGroupListCompletesIt) {
    tw_login_ack redirect{};
    std::strcpy(redirect.redirectAddress, "127.0.0.1");
    redirect.redirectPort = peer.port();
    std::strcpy(redirect.voiceAddress, "127.0.0.1");
    redirect.voicePort = 13002;
    LogTail log;
    auto stream = connect();
    int logins = 0;
    while (stream && logins < 10) {
        ++logins;
        stream->sendRaw(loginAnswer(redirect));
        stream = peer.accept(1000ms);
        if (stream && !stream->expect(TW_CMD_LOGIN)) break;
    }
    EXPECT_EQ(logins, 1 + CVoiceTalk::kMaxRedirects) << "the first login and four moves";
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TALKHUB_LOGIN_TOO_MANY_REDIRECTS);
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_TRUE(log.contains("login redirected more than 4 times, last to [127.0.0.1:" + std::to_string(peer.port())));
    EXPECT_TRUE(eventually([] { return !talk().hasSocket(); }));

    // A new login counts its moves afresh; an account without groups hears of it.
    VoiceServer voice;
    stream = connect();
    ASSERT_NE(stream, nullptr);
    stream->sendRaw(loginAnswer(redirect));
    stream = peer.acceptLogin();
    ASSERT_NE(stream, nullptr);
    stream->answerLogin(acceptedLogin(voice.port(), 8000));
    ASSERT_TRUE(stream->expect(TW_CMD_QUERY_GROUPS).has_value());
    stream->send([](unsigned char* b, int c) { return srv_build_group_list(b, c, nullptr, 0); });
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value()) << "the login completes without a group";
    EXPECT_EQ(done->value, TALKHUB_LOGIN_NO_GROUP);
    EXPECT_EQ(done->text, "");
    EXPECT_EQ(talk().getLoginState(), 2) << "still logged in: calls can reach the account";
}

TEST_F(ControlChannel, UnreadableAnswersReachTheirCallbacksAndUnreadableEventsNobody) {
    VoiceServer voice;
    setNotifyCallback(talkhub_test::onNotify);
    auto stream = connectAccepted(voice.port(), 8000);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(stream->expect(TW_CMD_QUERY_GROUPS).has_value());
    const tw_group_entry groups[2] = {{5, "a"}, {9, "b"}};
    stream->sendMessage(truncated([&](unsigned char* b, int c) { return srv_build_group_list(b, c, groups, 2); }));
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, 0);
    EXPECT_EQ(done->text, "0");
    EXPECT_FALSE(stream->expect(TW_CMD_ACTIVATE_GROUP, 200ms).has_value()) << "no group is entered";

    enterGroup(5, talkhub_test::onLoginResult);
    ASSERT_TRUE(stream->expect(TW_CMD_ACTIVATE_GROUP).has_value());
    const tw_join_group_ack joined{0, 0, 5, 77};
    stream->sendMessage(truncated([&](unsigned char* b, int c) { return srv_build_join_group_ack(b, c, &joined); }));
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->value, TW_ERR_TRUNCATED);
    EXPECT_EQ(done->text, "");

    LogTail log;
    tw_member_get_mic got{5, 1002, "Bob"};
    stream->sendMessage(truncated([&](unsigned char* b, int c) { return srv_build_member_get_mic(b, c, &got); }));
    ASSERT_TRUE(eventually([&] { return log.contains("recv member get mic notify packet parse:[-2]."); }));
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kNotify, 200ms).has_value());

    const tw_meeting_member members[2] = {{1001, "x"}, {1002, "y"}};
    meetingCall(true, "1001,1002", talkhub_test::onLoginResult);
    ASSERT_TRUE(stream->expect(TW_CMD_MEETING_CALL).has_value());
    stream->send([&](unsigned char* b, int c) { return srv_build_meeting_call_ack(b, c, 0, 12, members, 2); });
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->text, "12@1001:x;1002:y");
    meetingCall(true, "1001", talkhub_test::onLoginResult);
    stream->send([&](unsigned char* b, int c) { return srv_build_meeting_call_ack(b, c, 0, 13, nullptr, 0); });
    done = HostEvents::instance().take(HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->text, "13@");
}

TEST_F(ControlChannel, FloorAnswersSendTheTalkMarkers) {
    VoiceServer voice;
    setNotifyCallback(talkhub_test::onNotify);
    auto stream = connectAccepted(voice.port(), 8000);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(voice.next().has_value());  // the first voice heartbeat
    ASSERT_TRUE(eventually([] { return talk().getLoginState() == 2; }));
    const tw_join_group_ack joined{0, 0, 5, 77};
    stream->send([&](unsigned char* b, int c) { return srv_build_join_group_ack(b, c, &joined); });
    ASSERT_TRUE(eventually([] { return talk().getCurrentGroupId() == 5; }));

    requestMic(talkhub_test::onResult);
    auto request = stream->expect(TW_CMD_REQUEST_MIC);
    ASSERT_TRUE(request.has_value());
    tw_id_request asked{};
    ASSERT_EQ(srv_parse_id_request(&asked, request->data(), static_cast<uint32_t>(request->size())), TW_OK);
    EXPECT_EQ(asked.id, 5U);
    stream->send([](unsigned char* b, int c) { return srv_build_result_ack(b, c, TW_CMD_REQUEST_MIC_ACK, 0); });
    auto marker = voice.next();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(marker->first.kind, static_cast<uint32_t>(TW_KIND_TALK_START));
    EXPECT_STREQ(marker->first.markerText, "Alice");
    EXPECT_EQ(marker->first.markerId, 77U) << "the marker id of the last group entered";

    stream->send([](unsigned char* b, int c) { return srv_build_release_mic_ack(b, c, 5); });
    marker = voice.next();
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(marker->first.kind, static_cast<uint32_t>(TW_KIND_TALK_STOP));

    stream->send([](unsigned char* b, int c) { return srv_build_self_lost_mic(b, c, 5); });
    auto notice = HostEvents::instance().take(HostEvent::kNotify);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->value, TALKHUB_NOTIFY_MIC_LOST);
    EXPECT_FALSE(notice->textNull);
    EXPECT_FALSE(voice.next(200ms).has_value()) << "losing the floor sends no stop marker";
}

TEST_F(ControlChannel, MeetingCallIdsAreConvertedSafelyAndTheirNumberBounded) {
    VoiceServer voice;
    auto stream = connectAccepted(voice.port(), 8000);
    ASSERT_NE(stream, nullptr);
    voice.keysOf(*stream);
    ASSERT_TRUE(eventually([] { return talk().getLoginState() == 2; }));

    meetingCall(true, " 42,abc,99999999999,-1,7x,", talkhub_test::onLoginResult);
    auto body = stream->expect(TW_CMD_MEETING_CALL);
    ASSERT_TRUE(body.has_value());
    tw_call_request request{};
    ASSERT_EQ(srv_parse_call_request(&request, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
    EXPECT_EQ(request.flag, 1U);
    ASSERT_EQ(request.count, 5U);
    EXPECT_EQ(request.ids[0], 42U);
    EXPECT_EQ(request.ids[1], 0U);
    EXPECT_EQ(request.ids[2], 0U) << "out of range gives 0";
    EXPECT_EQ(request.ids[3], 0xFFFFFFFFU);
    EXPECT_EQ(request.ids[4], 7U);

    std::string many;
    for (int i = 0; i < TW_MAX_CALL_IDS + 1; ++i) many += std::to_string(1000 + i) + ",";
    LogTail log;
    meetingCall(false, many.c_str(), talkhub_test::onLoginResult);
    EXPECT_TRUE(log.contains("meeting call user list too long:[513] ids, at most [512]."));
    EXPECT_FALSE(stream->expect(TW_CMD_MEETING_CALL, 200ms).has_value());
}

}  // namespace
