// The reference server over loopback, driven by talkwire clients.
#include <cstring>
#include <fstream>
#include <future>

#include "datagram_batch.h"
#include "server_test_support.h"

namespace {

using namespace server_test;

tw_member_get_mic gotMic(const Bytes& body) {
    tw_member_get_mic event{};
    EXPECT_EQ(on_mem_get_mic(&event, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    return event;
}

tw_member_lost_mic lostMic(const Bytes& body) {
    tw_member_lost_mic event{};
    EXPECT_EQ(on_mem_lost_mic(&event, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    return event;
}

Bytes voicePacket(uint32_t claimedSender) {
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    cp_rtp_heartbeat(heartbeat, sizeof heartbeat, claimedSender);
    int16_t pcm[TW_FRAME_SAMPLES] = {};
    unsigned char frame[1024];
    const int frameSize = ptt_voice_audio_encode(pcm, TW_FRAME_BYTES, frame, sizeof frame, 1);
    Bytes datagram(2048);
    datagram.resize(static_cast<std::size_t>(ptt_voice_packet_encode(frame, frameSize, 1, datagram.data(), 2048, 1)));
    return datagram;
}

TEST(Server, LoginIsAcceptedRefusedOrRedirected) {
    RunningServer second;
    talkhub_server::ServerConfig config = loopbackConfig();
    config.redirects.push_back({"bob", "127.0.0.1", second.tcpPort()});
    RunningServer first(config);

    Client alice(first.tcpPort(), first.udpPort());
    const tw_login_ack ack = alice.login("alice", "alice");
    EXPECT_EQ(ack.result, 0);
    EXPECT_EQ(ack.userId, 1001u);
    EXPECT_STREQ(ack.redirectAddress, "");
    EXPECT_STREQ(ack.voiceAddress, "127.0.0.1");  // the local address of the connection
    EXPECT_EQ(ack.voicePort, first.udpPort());
    EXPECT_EQ(ack.heartbeatInterval, 8000u);
    EXPECT_EQ(ack.voiceHeartbeatInterval, 8000u);

    Client wrong(first.tcpPort(), first.udpPort());
    EXPECT_EQ(wrong.login("carol", "alice").result, talkhub_server::kWrongPassword);
    Client unknown(first.tcpPort(), first.udpPort());
    EXPECT_EQ(unknown.login("mallory", "x").result, talkhub_server::kUnknownAccount);

    Client bob(first.tcpPort(), first.udpPort());
    const tw_login_ack redirect = bob.login("bob", "bob");
    EXPECT_EQ(redirect.result, 0);
    EXPECT_STREQ(redirect.redirectAddress, "127.0.0.1");
    EXPECT_EQ(redirect.redirectPort, second.tcpPort());
    Client bobThere(static_cast<uint16_t>(redirect.redirectPort), second.udpPort());
    const tw_login_ack there = bobThere.login("bob", "bob");
    EXPECT_EQ(there.result, 0);
    EXPECT_STREQ(there.redirectAddress, "");
    EXPECT_EQ(there.userId, 1002u);

    // A second login of an account replaces the first session.
    Client aliceAgain(first.tcpPort(), first.udpPort());
    EXPECT_EQ(aliceAgain.login("alice", "alice").result, 0);
    EXPECT_TRUE(alice.expect(TW_CMD_LOGOUT_ACK).has_value());
    EXPECT_FALSE(alice.next(2000ms).has_value());
    EXPECT_TRUE(alice.peerClosed);
}

TEST(Server, GroupsAreListedAndOnlyTheUsersGroupsCanBeEntered) {
    RunningServer server;
    Client carol(server.tcpPort(), server.udpPort());
    ASSERT_EQ(carol.login("carol", "carol").result, 0);
    carol.send(cp_query_groups);
    auto body = carol.expect(TW_CMD_QUERY_GROUP_ACK);
    ASSERT_TRUE(body.has_value());
    tw_group_list* list = nullptr;
    ASSERT_EQ(on_query_group_ack(&list, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(list->entries[0]->groupId, 1u);
    EXPECT_STREQ(list->entries[1]->name, "Night shift");
    ptt_ack_free_groups(list);

    carol.send([](unsigned char* b, int c) { return cp_activate_group(b, c, 2); });
    body = carol.expect(TW_CMD_ENTER_GROUP_ACK);
    ASSERT_TRUE(body.has_value());
    tw_join_group_ack joined{};
    ASSERT_EQ(on_join_group_ack(&joined, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
    EXPECT_EQ(joined.result, talkhub_server::kNotAMember);

    carol.send([](unsigned char* b, int c) { return cp_set_group_option(b, c, 5, 255); });
    body = carol.expect(TW_CMD_SET_GROUP_OPTION_ACK);
    ASSERT_TRUE(body.has_value());
    tw_result_ack option{};
    ASSERT_EQ(on_set_group_option_ack(&option, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
    EXPECT_EQ(option.result, 0);
}

TEST(Server, OneTalkerPerGroupAndTheOthersAreTold) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 2);
    bob.join("bob", 2);

    EXPECT_EQ(alice.requestMic(2), 0);
    auto got = bob.expect(TW_CMD_MEMBER_GET_MIC);
    ASSERT_TRUE(got.has_value());
    const tw_member_get_mic event = gotMic(*got);
    EXPECT_EQ(event.groupId, 2u);
    EXPECT_EQ(event.userId, 1001u);
    EXPECT_STREQ(event.userName, "Alice");
    EXPECT_EQ(bob.requestMic(2), talkhub_server::kFloorBusy);
    EXPECT_EQ(bob.requestMic(3), talkhub_server::kNotAMember);

    alice.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 2); });
    EXPECT_TRUE(alice.expect(TW_CMD_RELEASE_MIC_ACK).has_value());
    auto lost = bob.expect(TW_CMD_MEMBER_LOST_MIC);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lostMic(*lost).userId, 1001u);

    // A talker who disconnects loses the floor.
    EXPECT_EQ(bob.requestMic(2), 0);
    ASSERT_TRUE(alice.expect(TW_CMD_MEMBER_GET_MIC).has_value());
    bob.closeTcp();
    lost = alice.expect(TW_CMD_MEMBER_LOST_MIC);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lostMic(*lost).userId, 1002u);
    EXPECT_EQ(alice.requestMic(2), 0);

    // Entering group 0 leaves the group, and with it the floor.
    alice.send([](unsigned char* b, int c) { return cp_activate_group(b, c, 0); });
    auto entered = alice.expect(TW_CMD_ENTER_GROUP_ACK);
    ASSERT_TRUE(entered.has_value());
    tw_join_group_ack left{};
    ASSERT_EQ(on_join_group_ack(&left, entered->data(), static_cast<uint32_t>(entered->size())), TW_OK);
    EXPECT_EQ(left.result, 0);
    EXPECT_EQ(left.groupId, 0u);
    EXPECT_EQ(left.previousGroupId, 2u);
    auto quit = alice.expect(TW_CMD_QUIT_GROUP_ACK);
    ASSERT_TRUE(quit.has_value());
    tw_result_ack quitAck{};
    ASSERT_EQ(on_leave_group_ack(&quitAck, quit->data(), static_cast<uint32_t>(quit->size())), TW_OK);
    EXPECT_EQ(quitAck.result, 0);
    Client bobAgain(server.tcpPort(), server.udpPort());
    bobAgain.join("bob", 2);
    ASSERT_TRUE(bobAgain.expect(TW_CMD_MEMBER_LOST_MIC).has_value()) << "once the grace period is over";
    EXPECT_EQ(bobAgain.requestMic(2), 0) << "the floor went with alice";
}

TEST(Server, TheFloorIsTakenBackAfterTheLongestTalk) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.maxTalkSeconds = 1;
    RunningServer server(config);
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 2);
    bob.join("bob", 2);
    ASSERT_EQ(alice.requestMic(2), 0);
    auto self = alice.expect(TW_CMD_SELF_LOST_MIC, 3000ms);
    ASSERT_TRUE(self.has_value());
    auto lost = bob.expect(TW_CMD_MEMBER_LOST_MIC);
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lostMic(*lost).groupId, 2u);
    auto end = bob.datagram();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(ptt_get_rx_udp_uid(end->data(), static_cast<int>(end->size())), 1001u);
}

TEST(Server, VoiceOfTheFloorHolderReachesExactlyTheOtherMembers) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    Client dave(server.tcpPort(), server.udpPort());
    alice.join("alice", 2);
    bob.join("bob", 2);
    carol.join("carol", 3);  // not in group 2
    dave.join("dave", 3);

    // Out of turn: nobody holds the floor yet.
    alice.sendDatagram(voicePacket(1001));
    EXPECT_FALSE(bob.datagram(300ms).has_value());

    ASSERT_EQ(alice.requestMic(2), 0);
    alice.sendDatagram(voicePacket(9999));  // claims another sender
    auto relayed = bob.datagram();
    ASSERT_TRUE(relayed.has_value());
    EXPECT_EQ(ptt_get_rx_udp_uid(relayed->data(), static_cast<int>(relayed->size())), 1001u) << "stamped by the server";
    EXPECT_FALSE(alice.datagram(200ms).has_value());
    EXPECT_FALSE(carol.datagram(200ms).has_value());

    // Bob has no floor; a stranger has no endpoint; a heartbeat claiming Bob from another
    // port of the same host moves Bob's endpoint only as Bob's own address allows.
    bob.sendDatagram(voicePacket(1002));
    Client stranger(server.tcpPort(), server.udpPort());
    stranger.sendDatagram(voicePacket(1001));
    stranger.sendDatagram({0x01, 0x02, 0x03});
    EXPECT_FALSE(alice.datagram(300ms).has_value());
    EXPECT_FALSE(bob.datagram(300ms).has_value());

    alice.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 2); });
    auto end = bob.datagram();
    ASSERT_TRUE(end.has_value());
    _AUDIO_PACKET packet{};
    ASSERT_EQ(ptt_process_rx_udp(end->data(), static_cast<int>(end->size()), &packet), TW_OK);
    EXPECT_EQ(packet.kind, static_cast<uint32_t>(TW_KIND_END_OF_TALK));
    EXPECT_EQ(packet.senderId, 1001u);
}

// A burst far beyond one batch of the relay, with an oversized datagram in its middle: every
// voice datagram reaches every listener once and in order, the oversized one nobody.
TEST(Server, ABurstOfVoiceIsRelayedWholeAndInOrderToEveryListener) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);
    ASSERT_EQ(alice.requestMic(1), 0);

    constexpr int kBurst = 150;
    std::vector<Bytes> burst;
    for (int i = 0; i < kBurst; ++i) burst.push_back(voicePacket(1001));
    const auto heard = [](Client& listener) {
        return std::async(std::launch::async, [&listener] {
            std::vector<uint16_t> sequences;
            while (auto datagram = listener.datagram(1s)) {
                _AUDIO_PACKET packet{};
                if (ptt_process_rx_udp(datagram->data(), static_cast<int>(datagram->size()), &packet) == TW_OK)
                    sequences.push_back(static_cast<uint16_t>(packet.sequence));
            }
            return sequences;
        });
    };
    // Sent while the server relays, and while its thread is held up: then more batches than
    // one wake-up takes wait in the socket, and nothing new arrives to wake it again.
    for (const bool stalled : {false, true}) {
        auto bobHeard = heard(bob);
        auto carolHeard = heard(carol);
        if (stalled) server.stall(300ms);
        for (int i = 0; i < kBurst; ++i) {
            if (i == kBurst / 2) alice.sendDatagram(Bytes(2100, 0x11));
            alice.sendDatagram(burst[static_cast<std::size_t>(i)]);
        }
        for (auto* listener : {&bobHeard, &carolHeard}) {
            const std::vector<uint16_t> sequences = listener->get();
            ASSERT_EQ(sequences.size(), static_cast<std::size_t>(kBurst)) << (stalled ? "after a stall" : "");
            for (std::size_t i = 1; i < sequences.size(); ++i) {
                EXPECT_EQ(static_cast<uint16_t>(sequences[i] - sequences[i - 1]), 1) << "at " << i;
            }
        }
    }
}

// A datagram the system refuses to send (here: an IPv6 address on an IPv4 socket) costs
// only itself: what was queued before and after it still goes out, in order.
TEST(DatagramBatch, ASendRefusedInTheMiddleOfABatchSkipsOnlyThatDatagram) {
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in bound = test_support::loopback(0);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<const sockaddr*>(&bound), sizeof bound), 0);
    socklen_t length = sizeof bound;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &length);
    const boost::asio::ip::udp::endpoint good(boost::asio::ip::make_address("127.0.0.1"), ntohs(bound.sin_port));
    const boost::asio::ip::udp::endpoint refused(boost::asio::ip::make_address("::1"), 9);

    talkhub_server::DatagramBatch batch;
    const std::array<unsigned char, 3> payloads{1, 2, 3};
    batch.queue(&payloads[0], 1, good);
    batch.queue(&payloads[1], 1, refused);
    batch.queue(&payloads[2], 1, good);
    const auto result = batch.flush(sender);
    EXPECT_EQ(result.sent, 2U);
    EXPECT_NE(result.error, 0);
    for (unsigned char expected : {1, 3}) {
        unsigned char got = 0;
        ASSERT_EQ(::recv(receiver, &got, 1, 0), 1);
        EXPECT_EQ(got, expected);
    }
    ::close(sender);
    ::close(receiver);
}

// A scrape of the metrics port is valid Prometheus text (by promtool) and counts what the
// server did.
TEST(ServerMetrics, AScrapeIsValidPrometheusTextAndCountsWhatHappened) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.metricsListen = "127.0.0.1:0";
    RunningServer server(config);
    ASSERT_NE(server.metricsPort(), 0);
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_EQ(bob.requestMic(1), 1);
    for (int k = 0; k < 5; ++k) {
        alice.sendDatagram(voicePacket(1001));
        ASSERT_TRUE(bob.datagram().has_value());
    }
    alice.sendDatagram(Bytes(20, 0x55));
    std::this_thread::sleep_for(100ms);

    const std::string page = server.scrape();
    const std::string file = "/tmp/talkhub-metrics-" + std::to_string(::getpid()) + ".txt";
    std::ofstream(file) << page;
    EXPECT_EQ(std::system(("promtool check metrics < " + file).c_str()), 0) << page;
    std::remove(file.c_str());
    EXPECT_EQ(metricValue(page, "talkhub_sessions"), 2);
    EXPECT_EQ(metricValue(page, R"(talkhub_logins_total{result="ok"})"), 2);
    EXPECT_EQ(metricValue(page, R"(talkhub_floor_requests_total{outcome="granted"})"), 1);
    EXPECT_EQ(metricValue(page, R"(talkhub_floor_requests_total{outcome="denied"})"), 1);
    EXPECT_EQ(metricValue(page, "talkhub_datagrams_relayed_total"), 5);
    EXPECT_EQ(metricValue(page, R"(talkhub_datagrams_dropped_total{cause="malformed"})"), 1);
    EXPECT_GE(metricValue(page, "talkhub_relay_latency_seconds_count"), 6);
    EXPECT_EQ(metricValue(page, R"(talkhub_relay_latency_seconds_bucket{le="+Inf"})"),
              metricValue(page, "talkhub_relay_latency_seconds_count"));
}

// The last packet of a turn leaves the talker after the release answer; the floor stays in
// its grace period so that packet still reaches the listeners in the same turn, and nobody
// can take the floor until the members are told it is free.
TEST(Server, AFloorEndsAfterAGracePeriodThatStillCarriesTheHoldersVoice) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.floorGraceMs = 1000;
    RunningServer server(config);
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 2);
    bob.join("bob", 2);
    ASSERT_EQ(alice.requestMic(2), 0);
    ASSERT_TRUE(bob.expect(TW_CMD_MEMBER_GET_MIC).has_value());

    alice.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 2); });
    ASSERT_TRUE(alice.expect(TW_CMD_RELEASE_MIC_ACK).has_value());
    const auto released = std::chrono::steady_clock::now();
    alice.sendDatagram(voicePacket(1001));
    auto tail = bob.datagram();
    ASSERT_TRUE(tail.has_value()) << "the tail after the release answer is relayed";
    _AUDIO_PACKET packet{};
    ASSERT_EQ(ptt_process_rx_udp(tail->data(), static_cast<int>(tail->size()), &packet), TW_OK);
    EXPECT_EQ(packet.kind, static_cast<uint32_t>(TW_KIND_VOICE));
    EXPECT_EQ(bob.requestMic(2), talkhub_server::kFloorBusy) << "another member, in the grace period";
    EXPECT_EQ(alice.requestMic(2), talkhub_server::kFloorBusy) << "the former holder, in the grace period";

    ASSERT_TRUE(bob.expect(TW_CMD_MEMBER_LOST_MIC, 3000ms).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - released, 900ms);
    auto end = bob.datagram();
    ASSERT_TRUE(end.has_value());
    ASSERT_EQ(ptt_process_rx_udp(end->data(), static_cast<int>(end->size()), &packet), TW_OK);
    EXPECT_EQ(packet.kind, static_cast<uint32_t>(TW_KIND_END_OF_TALK)) << "after the tail, never before it";
    EXPECT_EQ(bob.requestMic(2), 0);
    alice.sendDatagram(voicePacket(1001));
    EXPECT_FALSE(bob.datagram(300ms).has_value()) << "the former holder is no longer relayed";
}

TEST(Server, HostileInputOnOneConnectionLeavesTheOthersServed) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);

    Client hostile(server.tcpPort(), server.udpPort());
    hostile.send([](unsigned char* b, int c) { return cp_request_mic(b, c, 1); });  // before login
    hostile.sendRaw({0x7E, 0xFF, 0xFF, 0x01, 0x02, 0x7E, 0x00, 0x7D, 0x7D, 0x7E});
    hostile.send([](unsigned char* b, int c) {
        b[0] = 0x42;
        b[1] = 1;
        return c > 2 ? 2 : 0;
    });
    EXPECT_FALSE(hostile.next(300ms).has_value());
    EXPECT_EQ(hostile.login("alice", "wrong").result, talkhub_server::kWrongPassword);
    // A truncated login body.
    hostile.send([](unsigned char* b, int c) {
        const int length = cp_login(b, c, "bob", "v1$00", 0);
        return length - 3;
    });
    auto refused = hostile.expect(TW_CMD_LOGIN_ACK);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ((*refused)[0], talkhub_server::kMalformedLogin);

    // Bytes that form no frame at all end their connection.
    Client noisy(server.tcpPort(), server.udpPort());
    Bytes garbage(100000);
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<unsigned char>(i * 131 + i / 7);
    }
    noisy.sendRaw(garbage);
    while (noisy.next(500ms)) {
    }
    EXPECT_TRUE(noisy.peerClosed);

    EXPECT_EQ(alice.requestMic(1), 0);
}

TEST(Server, AClientThatDoesNotReadIsDisconnectedNotBuffered) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.limits.requestsPerSecond = 1000000;
    config.limits.droppedRequestsBeforeClose = 1000000;
    config.limits.sendQueueBytes = 64 * 1024;
    RunningServer server(config);
    Client slow(server.tcpPort(), server.udpPort(), 4096);
    ASSERT_EQ(slow.login("alice", "alice").result, 0);
    // 100 000 group lists (about 3 MB) asked for, none read: more than the kernel buffers hold.
    unsigned char message[64];
    Bytes request(2 * static_cast<std::size_t>(cp_query_groups(message, sizeof message)) + 8);
    request.resize(encode_tcp_packet_hdlc(message, 2, request.data(), static_cast<uint16_t>(request.size())));
    Bytes burst;
    for (int i = 0; i < 1000; ++i) {
        burst.insert(burst.end(), request.begin(), request.end());
    }
    for (int i = 0; i < 100; ++i) {
        slow.sendRaw(burst);
    }
    std::this_thread::sleep_for(500ms);
    while (slow.next(2000ms)) {
    }
    EXPECT_TRUE(slow.peerClosed);

    Client other(server.tcpPort(), server.udpPort());
    EXPECT_EQ(other.login("bob", "bob").result, 0);
}

TEST(Server, AFloodIsCutAndASilentSessionIsDropped) {
    talkhub_server::ServerConfig config = loopbackConfig();
    config.heartbeatMs = 200;
    config.limits.requestsPerSecond = 20;
    config.limits.droppedRequestsBeforeClose = 50;
    RunningServer server(config);

    Client flooder(server.tcpPort(), server.udpPort());
    ASSERT_EQ(flooder.login("bob", "bob").result, 0);
    for (int i = 0; i < 200; ++i) {
        flooder.send([](unsigned char* b, int c) { return cp_ping(b, c, 1002); });
    }
    while (flooder.next(1000ms)) {
    }
    EXPECT_TRUE(flooder.peerClosed);

    Client quiet(server.tcpPort(), server.udpPort());
    ASSERT_EQ(quiet.login("alice", "alice").result, 0);
    EXPECT_FALSE(quiet.next(3000ms).has_value());
    EXPECT_TRUE(quiet.peerClosed) << "silent for three heartbeat intervals";
}

}  // namespace

namespace {

using namespace server_test;

TEST(ServerCalls, ATemporaryCallTalksApartFromTheGroupAndEndsForBoth) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);

    EXPECT_EQ(alice.tempCall(1004), talkhub_server::kUserUnavailable) << "dave is offline";

    EXPECT_EQ(alice.tempCall(1002), 0);
    const auto call = bob.callArrived();
    ASSERT_TRUE(call.has_value());
    EXPECT_EQ(call->callerId, 1001u);
    EXPECT_STREQ(call->callerName, "Alice");

    // The floor and the voice stay between the two callers.
    EXPECT_EQ(alice.requestMic(1), 0);
    EXPECT_TRUE(bob.expect(TW_CMD_MEMBER_GET_MIC).has_value());
    EXPECT_FALSE(carol.expect(TW_CMD_MEMBER_GET_MIC, 300ms).has_value());
    EXPECT_EQ(carol.requestMic(1), 0) << "the group's own floor is still free";
    alice.sendDatagram(voicePacket(1001));
    EXPECT_TRUE(bob.datagram().has_value());

    bob.hangUp();
    EXPECT_TRUE(alice.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value());
    EXPECT_TRUE(bob.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value());
}

TEST(ServerCalls, AMeetingListsItsMembersAndEndsByItsIdOrWhenItsOwnerLeaves) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);

    auto body = alice.meetingCall({1002, 1004});
    ASSERT_TRUE(body.has_value());
    uint32_t meetingId = 0;
    EXPECT_TRUE(meetingIds(*body, &meetingId).empty()) << "dave is offline";

    body = alice.meetingCall({1002, 1003});
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(meetingIds(*body, &meetingId), (std::vector<uint32_t>{1001, 1002, 1003}));

    alice.send([&](unsigned char* b, int c) { return cp_handup_meeting_call(b, c, &meetingId, 1); });
    for (Client* member : {&alice, &bob, &carol}) {
        EXPECT_EQ(endedMeeting(member->expect(TW_CMD_MEETING_CALL_RELEASE)), meetingId);
    }

    body = bob.meetingCall({1003}, 0);
    ASSERT_TRUE(body.has_value());
    ASSERT_EQ(meetingIds(*body, &meetingId).size(), 2u);
    bob.closeTcp();
    auto ended = carol.expect(TW_CMD_MEETING_CALL_RELEASE);
    ASSERT_TRUE(ended.has_value());
}

}  // namespace
