// Server nodes joined through a NATS cluster of three, all on loopback: voice crosses
// nodes, the floor is one for all, and neither a dead server node nor a dead NATS server
// leaves a group stuck.
#include <algorithm>
#include <barrier>
#include <future>

#include "cluster_test_support.h"
#include "server_process.h"
#include "speech_sample.h"

namespace {

using namespace server_test;
using namespace cluster_test;

// Speech as a talker's datagrams: five 20 ms frames each, from a fresh encoder.
std::vector<Bytes> speechPackets(const std::vector<int16_t>& speech) {
    ptt_clear_send();
    std::vector<Bytes> packets;
    constexpr std::size_t kPacketSamples = 5 * TW_FRAME_SAMPLES;
    for (std::size_t at = 0; at + kPacketSamples <= speech.size(); at += kPacketSamples) {
        Bytes encoded;
        for (std::size_t f = 0; f < 5; ++f) {
            unsigned char frame[1024];
            const int size = ptt_voice_audio_encode(speech.data() + at + f * TW_FRAME_SAMPLES, TW_FRAME_BYTES, frame,
                                                    sizeof frame, 1);
            encoded.insert(encoded.end(), frame, frame + std::max(size, 0));
        }
        Bytes datagram(TW_DATAGRAM_SIZE);
        const int size = ptt_voice_packet_encode(encoded.data(), static_cast<int>(encoded.size()), 5, datagram.data(),
                                                 static_cast<int>(datagram.size()), 1);
        datagram.resize(static_cast<std::size_t>(std::max(size, 0)));
        packets.push_back(datagram);
    }
    return packets;
}

// Waits for a floor notice of `command` about `userId` in group 1, skipping other messages.
bool notified(Client& client, unsigned char command, uint32_t userId, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto body = client.expect(command, left);
        if (!body) return false;
        if (command == TW_CMD_MEMBER_GET_MIC) {
            tw_member_get_mic event{};
            if (on_mem_get_mic(&event, body->data(), static_cast<uint32_t>(body->size())) == TW_OK &&
                event.userId == userId && event.groupId == 1)
                return true;
        } else {
            tw_member_lost_mic event{};
            if (on_mem_lost_mic(&event, body->data(), static_cast<uint32_t>(body->size())) == TW_OK &&
                event.userId == userId && event.groupId == 1)
                return true;
        }
    }
    return false;
}

// Asks for the floor until it is granted or `wait` has passed.
bool grantedWithin(Client& client, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (client.requestMic(1) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// One turn of `packets` tone datagrams from `talker`, as `listener` hears it.
std::size_t datagramsHeard(Client& talker, Client& listener, int packets) {
    std::vector<Bytes> sent;
    for (int k = 0; k < packets; ++k) sent.push_back(speechPackets(std::vector<int16_t>(800, 1000))[0]);
    auto hears = std::async(std::launch::async, [&] { return listener.hearTurn(talker.userId, 5s, 2s); });
    for (const Bytes& packet : sent) {
        talker.sendDatagram(packet);
        std::this_thread::sleep_for(20ms);
    }
    talker.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    return hears.get().pcm.size() / (5 * TW_FRAME_SAMPLES);
}

void release(Client& client) {
    client.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
}

// What another node says is read with every length checked: a meeting offer of the most
// members is read whole, and one cut anywhere or with a member too many is refused.
TEST(ClusterMessages, AMeetingOfferIsReadToItsLastMemberAndNotPast) {
    talkhub_server::NodeMessage offer{
        talkhub_server::NodeMessage::Kind::kMeetingOffer, 0, 0x80000007, 1001, "Alice", "node-a"};
    offer.meetingId = 7;
    for (uint32_t i = 0; i < TW_MAX_MEETING_MEMBERS; ++i) offer.members.push_back(2000 + i);
    Bytes bytes = talkhub_server::encodeNodeMessage(offer);
    const auto read = talkhub_server::parseNodeMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->members, offer.members);
    EXPECT_EQ(read->callerName, "Alice");
    EXPECT_EQ(read->node, "node-a");
    EXPECT_EQ(read->meetingId, 7U);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(talkhub_server::parseNodeMessage(bytes.data(), cut).has_value()) << "cut to " << cut << " bytes";
    }
    bytes[bytes.size() - 4 * TW_MAX_MEETING_MEMBERS - 1] = TW_MAX_MEETING_MEMBERS + 1;
    bytes.insert(bytes.end(), {0, 0, 0x0b, 0xb8});
    EXPECT_FALSE(talkhub_server::parseNodeMessage(bytes.data(), bytes.size()).has_value()) << "a member too many";
}

// One NATS cluster of three for the whole suite: each test's nodes leave it as a cluster of
// nodes would (stopped nodes give their claims and keys up; killed ones leave what a dead
// run leaves), which is also what the next test's nodes must cope with.
class Cluster : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared_ = new test_kit::NatsCluster(3); }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(nats.ready()) << "the NATS servers did not start"; }

    static test_kit::NatsCluster* shared_;
    test_kit::NatsCluster& nats = *shared_;
};

test_kit::NatsCluster* Cluster::shared_ = nullptr;

TEST_F(Cluster, ATalkerOnOneNodeIsHeardOnTheOthersAndTheFloorIsOneForAll) {
    talkhub_server::ServerConfig withMetrics = nodeConfig(nats, "a");
    withMetrics.metricsListen = "127.0.0.1:0";
    RunningServer a(withMetrics);
    withMetrics = nodeConfig(nats, "b");
    withMetrics.metricsListen = "127.0.0.1:0";
    RunningServer b(withMetrics);
    RunningServer c(nodeConfig(nats, "c"));
    Client alice(a.tcpPort(), a.udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    Client carol(c.tcpPort(), c.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);

    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s)) << "bob, on another node, is told";
    EXPECT_TRUE(notified(carol, TW_CMD_MEMBER_GET_MIC, 1001, 2s));
    EXPECT_EQ(bob.requestMic(1), 1) << "the floor is busy on every node";

    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U);
    const std::vector<Bytes> packets = speechPackets(speech);
    auto bobHears = std::async(std::launch::async, [&] { return bob.hearTurn(1001, 5s, 3s); });
    auto carolHears = std::async(std::launch::async, [&] { return carol.hearTurn(1001, 5s, 3s); });
    for (const Bytes& packet : packets) {
        alice.sendDatagram(packet);
        std::this_thread::sleep_for(20ms);
    }
    release(alice);
    for (auto* hears : {&bobHears, &carolHears}) {
        const Client::HeardTurn turn = hears->get();
        EXPECT_TRUE(turn.ended) << "the end of talk crosses nodes";
        EXPECT_EQ(turn.pcm.size(), packets.size() * 5 * TW_FRAME_SAMPLES) << "every datagram arrives";
        EXPECT_GT(speech_sample::envelopeCorrelation(speech, turn.pcm), 0.85) << "the speech heard is what was said";
    }
    EXPECT_TRUE(notified(bob, TW_CMD_MEMBER_LOST_MIC, 1001, 2s));
    const auto packetCount = static_cast<double>(packets.size());
    EXPECT_EQ(metricValue(a.scrape(), R"(talkhub_cluster_voice_total{direction="published"})"), packetCount);
    EXPECT_EQ(metricValue(b.scrape(), R"(talkhub_cluster_voice_total{direction="delivered"})"), packetCount);
    EXPECT_EQ(bob.requestMic(1), 0) << "the floor is free again everywhere";
    EXPECT_TRUE(notified(alice, TW_CMD_MEMBER_GET_MIC, 1002, 2s));
}

// Voice on a group's subject from anyone but the member who holds that group's floor (a
// stranger on an open bus, a node with a stale view) is not relayed.
TEST_F(Cluster, VoiceFromElsewhereIsRelayedOnlyForTheFloorsHolder) {
    RunningServer b(nodeConfig(nats, "b"));
    Client bob(b.tcpPort(), b.udpPort());
    bob.join("bob", 1);
    natsConnection* stranger = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&stranger, nats.url(0).c_str()), NATS_OK);
    Bytes forged = speechPackets(std::vector<int16_t>(800, 1000))[0];
    const auto publishAs = [&](uint32_t sender) {
        srv_stamp_sender(forged.data(), static_cast<int>(forged.size()), sender);
        natsConnection_Publish(stranger, "talkhub.voice.1", forged.data(), static_cast<int>(forged.size()));
        natsConnection_Flush(stranger);
    };
    publishAs(1001);
    EXPECT_FALSE(bob.datagram(300ms).has_value()) << "voice relayed while nobody holds the floor";

    RunningServer a(nodeConfig(nats, "a"));
    Client alice(a.tcpPort(), a.udpPort());
    alice.join("alice", 1);
    ASSERT_EQ(alice.requestMic(1), 0);
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s));
    publishAs(1003);
    EXPECT_FALSE(bob.datagram(300ms).has_value()) << "voice of a member who does not hold the floor relayed";
    publishAs(1001);
    EXPECT_TRUE(bob.datagram(2s).has_value()) << "the holder's voice is not relayed";
    natsConnection_Destroy(stranger);
}

// The network thread reads the voice of other nodes itself: while it is held up, what comes
// waits in the socket, and of what one read brings at most a bound per group waits to be
// taken; the rest is dropped and counted. Tiny messages put more than the bound in one read.
TEST_F(Cluster, AFloodOnAGroupsVoiceSubjectWaitsAtMostItsBoundWhileTheNodeIsHeldUp) {
    talkhub_server::ServerConfig config = nodeConfig(nats, "b");
    config.metricsListen = "127.0.0.1:0";
    RunningServer b(config);
    Client bob(b.tcpPort(), b.udpPort());
    bob.join("bob", 1);
    natsConnection* stranger = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&stranger, nats.url(0).c_str()), NATS_OK);
    const auto metric = [&](const char* series) { return metricValue(b.scrape(), series); };
    double taken = 0;
    double dropped = 0;
    for (const int flood :
         {talkhub_server::VoiceBus::kWaitingPerGroup, talkhub_server::VoiceBus::kWaitingPerGroup + 1}) {
        b.stall(1s);
        for (int i = 0; i < flood; ++i) natsConnection_Publish(stranger, "talkhub.voice.1", "x", 1);
        ASSERT_EQ(natsConnection_Flush(stranger), NATS_OK);
        taken += talkhub_server::VoiceBus::kWaitingPerGroup;
        dropped += flood - talkhub_server::VoiceBus::kWaitingPerGroup;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (metric(R"(talkhub_datagrams_dropped_total{cause="malformed"})") < taken &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(metric(R"(talkhub_datagrams_dropped_total{cause="malformed"})"), taken) << "a flood of " << flood;
        EXPECT_EQ(metric(R"(talkhub_cluster_messages_dropped_total{cause="queue_full"})"), dropped)
            << "a flood of " << flood;
    }
    EXPECT_FALSE(bob.datagram(300ms).has_value());
    natsConnection_Destroy(stranger);
}

TEST_F(Cluster, TwoTalkersOnTwoNodesAskingAtOnceGetOneGrant) {
    RunningServer b(nodeConfig(nats, "b"));
    RunningServer c(nodeConfig(nats, "c"));
    Client bob(b.tcpPort(), b.udpPort());
    Client carol(c.tcpPort(), c.udpPort());
    bob.join("bob", 1);
    carol.join("carol", 1);
    // The loser may be told of the winner before its own answer (the winner's node was
    // quicker than the loser's request), or after it.
    struct Asked {
        int32_t result = INT32_MIN;
        bool toldOfOther = false;
    };
    for (int round = 0; round < 10; ++round) {
        std::barrier together(2);
        const auto ask = [&](Client& who) {
            together.arrive_and_wait();
            who.send([](unsigned char* m, int n) { return cp_request_mic(m, n, 1); });
            Asked asked;
            while (auto message = who.next(3s)) {
                asked.toldOfOther |= (*message)[0] == TW_CMD_MEMBER_GET_MIC;
                tw_result_ack ack{};
                if ((*message)[0] == TW_CMD_REQUEST_MIC_ACK &&
                    on_request_mic_ack(&ack, message->data() + 2, static_cast<uint32_t>(message->size() - 2)) ==
                        TW_OK) {
                    asked.result = ack.result;
                    break;
                }
            }
            return asked;
        };
        auto bobAsks = std::async(std::launch::async, ask, std::ref(bob));
        auto carolAsks = std::async(std::launch::async, ask, std::ref(carol));
        const Asked bobGot = bobAsks.get();
        const Asked carolGot = carolAsks.get();
        ASSERT_EQ((bobGot.result == 0) + (carolGot.result == 0), 1)
            << "round " << round << ": " << bobGot.result << " and " << carolGot.result;
        ASSERT_EQ(bobGot.result + carolGot.result, 1) << "the other is told the floor is busy";
        Client& winner = bobGot.result == 0 ? bob : carol;
        Client& loser = bobGot.result == 0 ? carol : bob;
        ASSERT_TRUE((bobGot.result == 0 ? carolGot : bobGot).toldOfOther ||
                    notified(loser, TW_CMD_MEMBER_GET_MIC, winner.userId, 2s))
            << "round " << round << ": the loser is not told who holds the floor";
        release(winner);
        ASSERT_TRUE(notified(loser, TW_CMD_MEMBER_LOST_MIC, winner.userId, 2s));
    }
}

TEST_F(Cluster, ACallReachesAUserOnAnotherNodeAndALoginThereEndsTheOldSession) {
    RunningServer a(nodeConfig(nats, "a"));
    RunningServer c(nodeConfig(nats, "c"));
    Client alice(a.tcpPort(), a.udpPort());
    Client carol(c.tcpPort(), c.udpPort());
    alice.join("alice", 1);
    carol.join("carol", 1);

    EXPECT_EQ(alice.tempCall(1004), talkhub_server::kUserUnavailable) << "dave is offline on every node";
    EXPECT_EQ(alice.tempCall(1003), 0);
    const auto call = carol.callArrived();
    ASSERT_TRUE(call.has_value());
    EXPECT_EQ(call->callerId, 1001U);
    EXPECT_STREQ(call->callerName, "Alice");

    // The call's floor and voice cross the nodes as a group's do.
    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_TRUE(carol.expect(TW_CMD_MEMBER_GET_MIC).has_value());
    EXPECT_EQ(carol.requestMic(1), 1) << "the call's floor is alice's";
    EXPECT_EQ(datagramsHeard(alice, carol, 5), 5U);

    // carol hangs up while alice talks: the call and its floor end on both nodes.
    ASSERT_TRUE(grantedWithin(alice, 3s));
    carol.hangUp();
    EXPECT_TRUE(carol.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value());
    EXPECT_TRUE(alice.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value()) << "the call ends on the caller's node too";
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (floorClaims(nats) != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(floorClaims(nats), 0) << "the floor of a call ended by the other node is still claimed";

    // carol logs in on alice's node: her session on her own node ends.
    Client carolAgain(a.tcpPort(), a.udpPort());
    carolAgain.join("carol", 1);
    EXPECT_TRUE(carol.expect(TW_CMD_LOGOUT_ACK).has_value()) << "the old session is told";
    EXPECT_EQ(carolAgain.requestMic(1), 0);
}

// Push-to-talk tapped: the request and its release (and, in the second case, a press again)
// leave in one write, so the release arrives while the cluster still decides the claim.
// The answers come in the order of the requests, a claim released before its verdict is
// refused and given back, and the floor is free for a user on another node at once.
TEST_F(Cluster, ATapReleasedBeforeItsClaimIsDecidedLeavesTheFloorFreeOnEveryNode) {
    AliceOnABobOnB nodes(nats);
    Client& alice = nodes.alice;
    Client& bob = nodes.bob;
    const auto press = [](unsigned char* b, int c) { return cp_request_mic(b, c, 1); };
    const auto letGo = [](unsigned char* b, int c) { return cp_release_mic(b, c, 1); };
    using Build = int (*)(unsigned char*, int);
    struct Case {
        const char* name;
        std::vector<Build> requests;
        bool holdsAfter;
    };
    for (const Case& tap :
         {Case{"a tap", {press, letGo}, false}, Case{"a tap, then a press", {press, letGo, press}, true}}) {
        Bytes written;
        for (Build request : tap.requests) {
            const Bytes sealed = alice.sealed(request);
            written.insert(written.end(), sealed.begin(), sealed.end());
        }
        alice.sendRaw(written);
        std::vector<unsigned char> answers;
        int32_t lastResult = INT32_MIN;
        while (answers.size() < tap.requests.size()) {
            auto message = alice.next(2s);
            ASSERT_TRUE(message.has_value()) << tap.name << ": " << answers.size() << " answers";
            const unsigned char command = (*message)[0];
            if (command != TW_CMD_REQUEST_MIC_ACK && command != TW_CMD_RELEASE_MIC_ACK) continue;
            answers.push_back(command);
            tw_result_ack ack{};
            if (command == TW_CMD_REQUEST_MIC_ACK &&
                on_request_mic_ack(&ack, message->data() + 2, static_cast<uint32_t>(message->size() - 2)) == TW_OK) {
                lastResult = ack.result;
            }
        }
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const unsigned char asked = tap.requests[i] == press ? TW_CMD_REQUEST_MIC_ACK : TW_CMD_RELEASE_MIC_ACK;
            EXPECT_EQ(answers[i], asked) << tap.name << ": answer " << i << " out of order";
        }
        if (tap.holdsAfter) {
            EXPECT_EQ(lastResult, 0) << tap.name << ": the press after the tap is granted";
            EXPECT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s)) << tap.name;
            EXPECT_EQ(bob.requestMic(1), talkhub_server::kFloorBusy) << tap.name;
            release(alice);
            EXPECT_TRUE(notified(bob, TW_CMD_MEMBER_LOST_MIC, 1001, 2s)) << tap.name;
        } else {
            EXPECT_EQ(lastResult, talkhub_server::kFloorBusy) << tap.name << ": a claim released undecided is refused";
        }
        EXPECT_TRUE(grantedWithin(bob, 1s)) << tap.name << ": the floor stays locked after the tap";
        release(bob);
        EXPECT_TRUE(notified(alice, TW_CMD_MEMBER_LOST_MIC, 1002, 2s)) << tap.name;
    }
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (floorClaims(nats) != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(floorClaims(nats), 0) << "a tap's claim outlives it";
}

// A meeting with members on three nodes: refused as a whole when one node's member is busy
// (a node that had taken it forgets it), then its floor and voice cross every way, and its
// owner's hang-up ends it on every node.
TEST_F(Cluster, AMeetingSpansNodesAndEndsOnEveryNode) {
    RunningServer a(nodeConfig(nats, "a"));
    RunningServer b(nodeConfig(nats, "b"));
    RunningServer c(nodeConfig(nats, "c"));
    Client alice(a.tcpPort(), a.udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    Client carol(c.tcpPort(), c.udpPort());
    Client dave(c.tcpPort(), c.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);
    dave.join("dave", 1);

    ASSERT_EQ(dave.tempCall(1003), 0);
    auto answer = alice.meetingCall({1002, 1003});
    ASSERT_TRUE(answer.has_value());
    uint32_t meetingId = 0;
    EXPECT_TRUE(meetingIds(*answer, &meetingId).empty()) << "carol is in a call";
    dave.hangUp();
    ASSERT_TRUE(carol.expect(TW_CMD_SELF_QUIT_TEMP_CALL).has_value());

    answer = alice.meetingCall({1002, 1003});
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(meetingIds(*answer, &meetingId), (std::vector<uint32_t>{1001, 1002, 1003}))
        << "bob's node forgot the refused meeting";
    EXPECT_FALSE(bob.expect(TW_CMD_MEETING_CALL_RELEASE, 200ms).has_value()) << "nobody is told of a withdrawal";

    // The meeting's floor is one for its members on all nodes; a request names any group.
    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_TRUE(bob.expect(TW_CMD_MEMBER_GET_MIC).has_value());
    EXPECT_EQ(carol.requestMic(1), talkhub_server::kFloorBusy);
    EXPECT_EQ(datagramsHeard(alice, bob, 5), 5U);
    ASSERT_TRUE(grantedWithin(carol, 3s));
    EXPECT_EQ(datagramsHeard(carol, alice, 5), 5U);
    ASSERT_TRUE(grantedWithin(bob, 3s));
    EXPECT_EQ(datagramsHeard(bob, carol, 5), 5U);

    // carol logs in on alice's node: she left the meeting with her old session.
    Client carolMoved(a.tcpPort(), a.udpPort());
    carolMoved.join("carol", 1);
    ASSERT_TRUE(carol.expect(TW_CMD_LOGOUT_ACK).has_value());
    ASSERT_TRUE(grantedWithin(alice, 3s));
    EXPECT_EQ(datagramsHeard(alice, bob, 5), 5U);
    EXPECT_FALSE(carolMoved.datagram(100ms).has_value()) << "the meeting's voice reaches carol outside it";

    alice.send([&](unsigned char* b, int n) { return cp_handup_meeting_call(b, n, &meetingId, 1); });
    for (Client* member : {&alice, &bob}) {
        EXPECT_EQ(endedMeeting(member->expect(TW_CMD_MEETING_CALL_RELEASE)), meetingId);
    }
    EXPECT_TRUE(grantedWithin(bob, 3s)) << "bob's requests are for his group again";
}

// A login at a full node, or at a draining one, is sent on to the live node with the most
// room, with that node's addresses.
TEST_F(Cluster, AFullOrDrainingNodeSendsLoginsOnToTheNodeWithTheMostRoom) {
    talkhub_server::ServerConfig small = nodeConfig(nats, "a");
    small.limits.maxSessions = 1;
    RunningServer a(small);
    talkhub_server::ServerConfig ten = nodeConfig(nats, "b");
    ten.limits.maxSessions = 10;
    RunningServer b(ten);
    ten.cluster->node = "c";
    RunningServer c(ten);
    Client dave(c.tcpPort(), c.udpPort());
    dave.join("dave", 1);
    Client alice(a.tcpPort(), a.udpPort());
    alice.join("alice", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));  // every node's load is read again

    Client bob(a.tcpPort(), a.udpPort());
    tw_login_ack ack = bob.login("bob", "bob");
    EXPECT_EQ(ack.result, 0);
    EXPECT_STREQ(ack.redirectAddress, "127.0.0.1");
    EXPECT_EQ(ack.redirectPort, b.tcpPort()) << "a full node sends the login to the emptiest one";
    EXPECT_EQ(ack.voicePort, b.udpPort());

    b.setDraining(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));
    Client carol(b.tcpPort(), b.udpPort());
    ack = carol.login("carol", "carol");
    EXPECT_EQ(ack.redirectPort, c.tcpPort()) << "a draining node sends logins on";
    b.setDraining(false);
    Client carolAgain(b.tcpPort(), b.udpPort());
    ack = carolAgain.login("carol", "carol");
    EXPECT_EQ(ack.redirectPort, 0U) << "a node that no longer drains takes logins";
    EXPECT_EQ(ack.userId, 1003U);
}

// A second live node of the same name would take the first one's floor claims for its own
// stale ones: it does not start, even when both start at once; nor does a node whose
// configuration would set it apart from the cluster.
TEST_F(Cluster, ANodeWhoseNameIsTakenByALiveNodeDoesNotStart) {
    RunningServer a(nodeConfig(nats, "a"));
    boost::asio::io_context io;
    talkhub_server::Server twin(io, nodeConfig(nats, "a"));
    try {
        twin.start();
        ADD_FAILURE() << "a second node named a started";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("another node named a is alive"), std::string::npos) << error.what();
    }
    // Nor does a node whose name picks a's range of call ids: the two would number calls alike.
    std::string alike = "n";
    for (int i = 0; talkhub_server::Cluster::callRangeOf(alike) != talkhub_server::Cluster::callRangeOf("a"); ++i) {
        alike = "n" + std::to_string(i);
    }
    talkhub_server::ServerConfig config = nodeConfig(nats, alike.c_str());
    talkhub_server::Server namesake(io, config);
    EXPECT_THROW(namesake.start(), std::runtime_error) << alike << " numbers its calls as a does";
    // Nor a node renewing on another lease: it would look dead to the others.
    config = nodeConfig(nats, "b");
    config.cluster->floorLeaseMs = kLeaseMs * 2;
    talkhub_server::Server slower(io, config);
    EXPECT_THROW(slower.start(), std::runtime_error) << "a node with its own lease started";

    // Two nodes of one name starting at the same moment: one of them starts.
    std::barrier together(2);
    const auto startTwin = [&] {
        boost::asio::io_context own;
        talkhub_server::Server twin(own, nodeConfig(nats, "z"));
        together.arrive_and_wait();
        bool started = true;
        try {
            twin.start();
        } catch (const std::runtime_error&) {
            started = false;
        }
        together.arrive_and_wait();  // both have tried while the other still runs
        twin.stop();
        return started;
    };
    auto first = std::async(std::launch::async, startTwin);
    auto second = std::async(std::launch::async, startTwin);
    EXPECT_EQ(first.get() + second.get(), 1) << "two live nodes named z";
}

// The talker's server dies with the floor held: the other nodes free it within the lease
// (their members are told), a member elsewhere takes it, and the talker, logged in again on
// a live node, talks again.
TEST_F(Cluster, AFloorWhoseNodeDiesIsFreedWithinTheLease) {
    const std::string file = nodeFile(nats, "a");
    auto a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, std::vector<std::string>{"--config", file});
    ASSERT_TRUE(a->running());
    RunningServer b(nodeConfig(nats, "b"));
    Client alice(a->tcpPort(), a->udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    ASSERT_EQ(alice.requestMic(1), 0);
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s));

    ::kill(a->pid(), SIGKILL);
    const auto died = std::chrono::steady_clock::now();
    EXPECT_TRUE(notified(bob, TW_CMD_MEMBER_LOST_MIC, 1001, std::chrono::milliseconds(kLeaseMs) + 2s))
        << "the floor of a dead node outlives its lease";
    EXPECT_TRUE(grantedWithin(bob, std::chrono::milliseconds(kLeaseMs) + 2s)) << "the floor stays taken";
    std::cerr << "floor free to take again "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - died).count()
              << " ms after its node died (lease " << kLeaseMs << " ms)\n";
    release(bob);

    Client aliceAgain(b.tcpPort(), b.udpPort());
    aliceAgain.join("alice", 1);
    EXPECT_TRUE(grantedWithin(aliceAgain, 2s));
    a.reset();
    ::unlink(file.c_str());
}

// The talker's node is killed and started again at once under its name: the new run's key
// does not keep the dead run's claim alive, so a user on another node gets the floor within
// the lease, and the new run's own user can then take it too.
TEST_F(Cluster, AFloorOfANodeKilledAndStartedAgainUnderItsNameIsFreedWithinTheLease) {
    const std::string file = nodeFile(nats, "a");
    const std::vector<std::string> arguments{"--config", file};
    auto a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, arguments);
    ASSERT_TRUE(a->running());
    RunningServer b(nodeConfig(nats, "b"));
    auto alice = std::make_unique<Client>(a->tcpPort(), a->udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    alice->join("alice", 1);
    bob.join("bob", 1);
    ASSERT_EQ(alice->requestMic(1), 0);
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s));

    ::kill(a->pid(), SIGKILL);
    const auto died = std::chrono::steady_clock::now();
    a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, arguments);
    ASSERT_TRUE(a->running()) << "node a does not start again under its name";
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(died + std::chrono::milliseconds(kLeaseMs) +
                                                                            2s - std::chrono::steady_clock::now());
    EXPECT_TRUE(grantedWithin(bob, left)) << "the dead run's claim holds the floor";
    release(bob);
    alice = std::make_unique<Client>(a->tcpPort(), a->udpPort());
    alice->join("alice", 1);
    EXPECT_TRUE(grantedWithin(*alice, 3s)) << "the new run's user cannot take the floor";
    a.reset();
    ::unlink(file.c_str());
}

// The caller's node dies during a call, and the owner's node during a meeting: the other
// node ends them once that node's key is gone, or once the node started again under its name
// says it has no such call, so nobody is left in a call nobody can end.
TEST_F(Cluster, ACallEndsWhenTheOtherSidesNodeDies) {
    const std::string file = nodeFile(nats, "a");
    const std::vector<std::string> arguments{"--config", file};
    RunningServer b(nodeConfig(nats, "b"));
    Client bob(b.tcpPort(), b.udpPort());
    Client carol(b.tcpPort(), b.udpPort());
    bob.join("bob", 1);
    carol.join("carol", 1);
    // Killed; and killed then started again at once under its name, whose key may never be
    // seen missing: the new run has none of the dead run's calls.
    for (const bool startedAgain : {false, true}) {
        auto a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, arguments);
        ASSERT_TRUE(a->running());
        Client alice(a->tcpPort(), a->udpPort());
        Client dave(a->tcpPort(), a->udpPort());
        alice.join("alice", 1);
        dave.join("dave", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));  // each node has seen the other
        ASSERT_EQ(alice.tempCall(1003), 0);
        ASSERT_TRUE(carol.callArrived().has_value());
        auto answer = dave.meetingCall({1002}, 0);
        ASSERT_TRUE(answer.has_value());
        uint32_t meetingId = 0;
        ASSERT_EQ(meetingIds(*answer, &meetingId).size(), 2U);

        ::kill(a->pid(), SIGKILL);
        if (startedAgain) a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, arguments);
        const auto bound = std::chrono::milliseconds(2 * kLeaseMs) + 2s;
        const char* how = startedAgain ? "killed and started again" : "killed";
        EXPECT_TRUE(carol.expect(TW_CMD_SELF_QUIT_TEMP_CALL, bound).has_value())
            << "the call outlives the caller's node, " << how;
        EXPECT_EQ(endedMeeting(bob.expect(TW_CMD_MEETING_CALL_RELEASE, bound)), meetingId)
            << "the meeting outlives its owner's node, " << how;
        EXPECT_EQ(carol.requestMic(1), 0) << "carol's floor requests are for her group again";
        release(carol);
        a.reset();
    }
    ::unlink(file.c_str());
}

// A node stops answering (SIGSTOP) while a user on node a calls a user there: the offer
// waits for it, but nothing else on a does, so a call between users on a and b goes on.
TEST_F(Cluster, ANodeThatStopsAnsweringHoldsUpNoOtherCall) {
    const std::string file = nodeFile(nats, "c");
    auto c = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, std::vector<std::string>{"--config", file});
    ASSERT_TRUE(c->running());
    RunningServer a(nodeConfig(nats, "a"));
    RunningServer b(nodeConfig(nats, "b"));
    Client alice(a.tcpPort(), a.udpPort());
    Client dave(a.tcpPort(), a.udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    Client carol(c->tcpPort(), c->udpPort());
    alice.join("alice", 1);
    dave.join("dave", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));  // each node has seen the others

    // dave's offer to carol waits for stopped c; alice's to bob is answered meanwhile.
    KeyRenewals renewals(nats, "a");
    ::kill(c->pid(), SIGSTOP);
    uint32_t callee = 1003;
    dave.send([&](unsigned char* b, int n) { return cp_temp_group_call(b, n, &callee, 1); });
    ASSERT_EQ(alice.tempCall(1002), 0);
    ASSERT_TRUE(bob.callArrived().has_value());
    EXPECT_FALSE(dave.expect(TW_CMD_TEMP_CALL_ACK, 10ms).has_value())
        << "alice's offer to a node that answers waited behind dave's to a stopped one";
    const auto daveAnswer = dave.expect(TW_CMD_TEMP_CALL_ACK);
    ASSERT_TRUE(daveAnswer.has_value());
    tw_result_ack refused{};
    ASSERT_EQ(on_call_ack(&refused, daveAnswer->data(), static_cast<uint32_t>(daveAnswer->size())), TW_OK);
    EXPECT_EQ(refused.result, talkhub_server::kUserUnavailable) << "a stopped node took a call";
    EXPECT_FALSE(bob.expect(TW_CMD_SELF_QUIT_TEMP_CALL, std::chrono::milliseconds(kLeaseMs)).has_value())
        << "the call between a and b ended while an offer waited for c";
    EXPECT_LT(renewals.longestGap(), std::chrono::milliseconds(kLeaseMs))
        << "node a's key expired while its offer waited";
    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_EQ(datagramsHeard(alice, bob, 5), 5U);
    ::kill(c->pid(), SIGCONT);
    c.reset();
    ::unlink(file.c_str());
}

// A burst of logins on one node: each is a few round trips to the presence bucket, and none
// of them delays the renewal of the node's key.
TEST_F(Cluster, ABurstOfLoginsDelaysNoRenewalOfTheNodesKey) {
    RunningServer a(nodeConfig(nats, "a"));
    const char* accounts[] = {"alice", "bob", "carol", "dave"};
    KeyRenewals renewals(nats, "a");
    constexpr int kLogins = 200;
    constexpr int kAtOnce = 8;  // half of what may wait in login from one address
    int accepted = 0;
    for (int first = 0; first < kLogins; first += kAtOnce) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = first; i < first + kAtOnce; ++i) {
            auto client = std::make_unique<Client>(a.tcpPort(), a.udpPort());
            const std::string share = client->wire().startLogin(accounts[i % 4], accounts[i % 4]);
            client->send([&](unsigned char* b, int n) { return cp_login(b, n, accounts[i % 4], share.c_str(), 0); });
            clients.push_back(std::move(client));
        }
        for (auto& client : clients) {
            bool proven = false;
            client->awaitLogin(3000ms, &proven);
            accepted += proven;
        }
    }
    EXPECT_EQ(accepted, kLogins);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));
    const auto gap = renewals.longestGap();
    std::cerr << kLogins << " logins: longest gap between renewals of the node's key " << gap.count() << " ms over "
              << renewals.renewals() << " renewals (one every " << kLeaseMs / 3 << " ms)\n";
    EXPECT_LT(gap, std::chrono::milliseconds(2 * kLeaseMs / 3)) << "a renewal waited for the logins";
}

// A member's node stopped (SIGSTOP) while a meeting is offered to it takes the offer late,
// when the owner has given up on it: it is withdrawn there, so that the member's push-to-talk
// goes to his group again and not to a meeting nobody else is in.
TEST_F(Cluster, AMeetingOfferTakenLateIsWithdrawn) {
    const std::string file = nodeFile(nats, "b");
    auto b = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, std::vector<std::string>{"--config", file});
    ASSERT_TRUE(b->running());
    RunningServer a(nodeConfig(nats, "a"));
    Client alice(a.tcpPort(), a.udpPort());
    Client carol(a.tcpPort(), a.udpPort());
    Client bob(b->tcpPort(), b->udpPort());
    alice.join("alice", 1);
    carol.join("carol", 1);
    bob.join("bob", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(kLeaseMs));  // each node has seen the other

    ::kill(b->pid(), SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    const auto answer = alice.meetingCall({1002}, 0);
    ASSERT_TRUE(answer.has_value());
    uint32_t meetingId = 0;
    EXPECT_TRUE(meetingIds(*answer, &meetingId).empty()) << "a meeting with a member on a stopped node";
    std::this_thread::sleep_until(stopped + 2500ms);
    ::kill(b->pid(), SIGCONT);
    EXPECT_TRUE(grantedWithin(bob, 3s));
    EXPECT_TRUE(notified(carol, TW_CMD_MEMBER_GET_MIC, 1002, 2s)) << "bob's push-to-talk goes to a dead meeting";
    b.reset();
    ::unlink(file.c_str());
}

// A meeting's end that never reaches a member's node (that node was cut off from NATS when
// the owner hung up): the member's node asks the owner's node and ends it too.
TEST_F(Cluster, AMeetingWhoseEndWasLostEndsWhenItsOwnersNodeNoLongerHasIt) {
    talkhub_server::ServerConfig onlyFirst = nodeConfig(nats, "a");
    onlyFirst.cluster->natsUrls = {nats.url(0)};
    RunningServer a(onlyFirst);
    talkhub_server::ServerConfig onlySecond = nodeConfig(nats, "b");
    onlySecond.cluster->natsUrls = {nats.url(1)};
    RunningServer b(onlySecond);
    Client alice(a.tcpPort(), a.udpPort());
    Client bob(b.tcpPort(), b.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    auto answer = alice.meetingCall({1002});
    ASSERT_TRUE(answer.has_value());
    uint32_t meetingId = 0;
    ASSERT_EQ(meetingIds(*answer, &meetingId).size(), 2U);

    nats.kill(1);  // b is cut off
    alice.send([&](unsigned char* m, int n) { return cp_handup_meeting_call(m, n, &meetingId, 1); });
    EXPECT_EQ(endedMeeting(alice.expect(TW_CMD_MEETING_CALL_RELEASE)), meetingId);
    nats.start(1);
    ASSERT_TRUE(nats.ready());
    EXPECT_EQ(endedMeeting(bob.expect(TW_CMD_MEETING_CALL_RELEASE, 10s)), meetingId)
        << "the meeting stays open on bob's node";
    // Bob's node reaches JetStream only through the NATS server just restarted, which may
    // take several seconds to catch up with the cluster's streams (once seen: 10 s).
    EXPECT_TRUE(grantedWithin(bob, 15s));
    EXPECT_TRUE(notified(alice, TW_CMD_MEMBER_GET_MIC, 1002, 2s)) << "bob's push-to-talk goes to a dead meeting";
}

// One of the three NATS servers dies: the nodes reconnect to the others, and the floor
// and the voice go on.
TEST_F(Cluster, ANatsServerLostLeavesFloorAndVoiceGoingOn) {
    AliceOnABobOnB nodes(nats);
    Client& alice = nodes.alice;
    Client& bob = nodes.bob;
    ASSERT_EQ(alice.requestMic(1), 0);
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 2s));
    EXPECT_EQ(datagramsHeard(alice, bob, 10), 10U);

    nats.kill(0);
    ASSERT_TRUE(grantedWithin(alice, 10s)) << "no floor without the first NATS server";
    // Voice from another node is relayed once that node's floor event is in: a node still
    // reconnecting learns it from the next renewal.
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_GET_MIC, 1001, 5s)) << "bob's node never hears of alice's floor";
    EXPECT_EQ(datagramsHeard(alice, bob, 10), 10U) << "voice lost without the first NATS server";
    ASSERT_TRUE(grantedWithin(bob, 5s));
    ASSERT_TRUE(notified(alice, TW_CMD_MEMBER_GET_MIC, 1002, 5s));
    EXPECT_EQ(datagramsHeard(bob, alice, 10), 10U);
    nats.start(0);
}

// A single NATS server keeps the floor stream and the buckets in memory: restarted, it has
// lost them, and the nodes make them again, so that the floor, the presence and the voice
// work again within seconds.
TEST(ClusterOnOneNatsServer, ANatsServerRestartedWithoutItsStoreIsMadeWholeAgainByTheNodes) {
    test_kit::NatsCluster nats(1);
    ASSERT_TRUE(nats.ready());
    AliceOnABobOnB nodes(nats);
    Client& alice = nodes.alice;
    Client& bob = nodes.bob;
    ASSERT_EQ(alice.requestMic(1), 0);
    release(alice);
    ASSERT_TRUE(notified(bob, TW_CMD_MEMBER_LOST_MIC, 1001, 2s));

    nats.kill(0);
    nats.start(0);
    ASSERT_TRUE(nats.ready());
    // Each node takes a floor once its link is back: then both hear each other again.
    EXPECT_TRUE(grantedWithin(alice, 5s)) << "no floor after the NATS server's restart";
    release(alice);
    EXPECT_TRUE(grantedWithin(bob, 5s)) << "no floor after the NATS server's restart";
    EXPECT_EQ(datagramsHeard(bob, alice, 5), 5U);
    EXPECT_EQ(alice.tempCall(1002), 0) << "bob's presence was not put again";
}

}  // namespace
