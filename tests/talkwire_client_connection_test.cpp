// The process's connection behind talkwire's C functions, played against a server end of
// the test's own: the login's exchange rides in the password text and the login answer, the
// confirmation goes ahead of the first message, everything after is sealed both ways, and a
// frame or datagram that does not open is refused. (Its own program: the connection is the
// process's.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datagram_format.h"
#include "framing.h"
#include "loopback_wire.h"
#include "talkwire_test_support.h"
#include "wire_end.h"

namespace {

using talkwire_test::Bytes;

// A message framed by talkwire, as the library sends it, and read by the server's end.
std::vector<Bytes> serverReads(test_kit::WireEnd& server, const Bytes& framed) {
    std::vector<Bytes> messages;
    Bytes buffer(10240, 0);
    for (unsigned char byte : framed) {
        unsigned char* frame = nullptr;
        talkwire::framing::decode(buffer.data(), static_cast<uint32_t>(buffer.size()), byte, &frame);
        if (frame == nullptr) continue;
        if (auto message = server.read(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2)) {
            messages.push_back(*message);
        }
    }
    return messages;
}

// talkwire's reading of a framed message, as the library reads: packet_decode's result and
// the message.
std::pair<int, Bytes> clientReads(const Bytes& framed) {
    Bytes buffer(10240, 0);
    for (unsigned char byte : framed) {
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(buffer.data(), static_cast<uint32_t>(buffer.size()), byte, &frame);
        if (frame == nullptr) continue;
        tw_packet packet{};
        const int result = packet_decode(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2, &packet);
        return {result, result > 0 ? Bytes(packet.header, packet.body + packet.bodyLength) : Bytes{}};
    }
    return {TW_ERR_TRUNCATED, {}};
}

Bytes framedByTalkwire(const Bytes& message) {
    Bytes framed(2 * message.size() + 256);
    framed.resize(encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(message.size()), framed.data(),
                                         static_cast<uint16_t>(framed.size())));
    return framed;
}

// The login answer of a server end holding the record made from `password`.
tw_login_ack answerFrom(test_kit::WireEnd& server, const char* password, const std::string& share) {
    tw_login_ack answer{};
    answer.userId = 1001;
    EXPECT_TRUE(server.answerLogin("alice", password, share, answer));
    return answer;
}

Bytes bodyOfAnswer(const tw_login_ack& answer) {
    return talkwire_test::bodyOf(
        talkwire_test::build([&](unsigned char* b, int c) { return srv_build_login_ack(b, c, &answer); }));
}

TEST(ClientConnection, AWrongPasswordOrAnImpostorIsNotProvenAndTheRightOneSealsEverythingAfter) {
    char share[TW_ENCODED_PASSWORD_SIZE] = {};
    ASSERT_EQ(encode_login_passwd("alice", "wrong", share), 133);
    EXPECT_EQ(std::string(share).substr(0, 3), "v3$");
    test_kit::WireEnd server;
    tw_login_ack record{};
    Bytes body = bodyOfAnswer(answerFrom(server, "alice", share));
    EXPECT_EQ(on_login_ack(&record, body.data(), static_cast<uint32_t>(body.size())), TW_ERR_UNPROVEN);
    EXPECT_EQ(record.userId, 0u) << "a failed answer leaves the record zero";
    tw_login_ack refusal{};
    refusal.result = 2;
    body = bodyOfAnswer(refusal);
    ASSERT_EQ(on_login_ack(&record, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(record.result, 2) << "the server's verdict after the client told it";

    ASSERT_EQ(encode_login_passwd("alice", "alice", share), 133);
    test_kit::WireEnd impostor;
    body = bodyOfAnswer(answerFrom(impostor, "something else", share));
    EXPECT_EQ(on_login_ack(&record, body.data(), static_cast<uint32_t>(body.size())), TW_ERR_UNPROVEN)
        << "a server without alice's record";
    body = bodyOfAnswer(answerFrom(server, "alice", share));
    EXPECT_EQ(on_login_ack(&record, body.data(), static_cast<uint32_t>(body.size())), TW_ERR_UNPROVEN)
        << "an answer once the exchange has ended";

    ASSERT_EQ(encode_login_passwd("alice", "alice", share), 133);
    body = bodyOfAnswer(answerFrom(server, "alice", share));
    ASSERT_EQ(on_login_ack(&record, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(record.userId, 1001u);

    const Bytes query = talkwire_test::build([](unsigned char* b, int c) { return cp_query_groups(b, c); });
    const std::vector<Bytes> first = serverReads(server, framedByTalkwire(query));
    ASSERT_EQ(first.size(), 2u) << "the confirmation, then the message";
    EXPECT_EQ(first[0][0], TW_CMD_LOGIN_CONFIRM);
    EXPECT_EQ(first[1], query);
    ASSERT_NE(server.link(), nullptr) << "the server end took the confirmation";
    const std::vector<Bytes> second = serverReads(server, framedByTalkwire(query));
    ASSERT_EQ(second.size(), 1u) << "no second confirmation";
    EXPECT_EQ(second[0], query);
    EXPECT_EQ(serverReads(server, test_kit::frame(query.data(), static_cast<int>(query.size()))).size(), 0u)
        << "a plain message is not taken once the login is done";

    const Bytes event = talkwire_test::build([](unsigned char* b, int c) { return srv_build_self_lost_mic(b, c, 5); });
    EXPECT_EQ(clientReads(server.frame(event.data(), static_cast<int>(event.size()))),
              std::make_pair(int(event.size()), event));
    EXPECT_EQ(clientReads(test_kit::frame(event.data(), static_cast<int>(event.size()))).first, TW_ERR_SEALED)
        << "a plain message injected";
    Bytes sealed(event.size() + talkwire::ProtectedLink::kControlOverhead);
    ASSERT_TRUE(server.link()->sealControl(event, sealed.data()));
    for (std::size_t at : {std::size_t{0}, sealed.size() - 1}) {
        Bytes altered = sealed;
        altered[at] ^= 0x01;
        EXPECT_EQ(clientReads(test_kit::frame(altered.data(), static_cast<int>(altered.size()))).first, TW_ERR_SEALED)
            << "byte " << at << " altered";
    }
    EXPECT_GT(clientReads(test_kit::frame(sealed.data(), static_cast<int>(sealed.size()))).first, 0)
        << "the genuine one still opens";

    // Datagrams: sealed both ways, each taken once; nothing plain either way.
    unsigned char datagram[TW_DATAGRAM_SIZE] = {};
    const int heartbeat = cp_rtp_heartbeat(datagram, sizeof datagram, 1001);
    ASSERT_GT(heartbeat, 0);
    auto opened = server.openDatagram(Bytes(datagram, datagram + heartbeat));
    ASSERT_TRUE(opened.has_value());
    tw_datagram_info info{};
    ASSERT_EQ(srv_parse_datagram(opened->data(), static_cast<int>(opened->size()), &info), TW_OK);
    EXPECT_EQ(info.kind, static_cast<uint32_t>(TW_KIND_HEARTBEAT));
    EXPECT_EQ(talkwire::ProtectedLink::linkIdOf(Bytes(datagram, datagram + heartbeat)), 1001u);

    unsigned char frames[] = {3, 1, 2, 3};
    unsigned char plain[64];
    const int size = talkwire::datagrams::voice(frames, sizeof frames, 1, 1, 1002, 9, plain, sizeof plain);
    const Bytes relayed = server.sealDatagram(Bytes(plain, plain + size));
    EXPECT_EQ(ptt_get_rx_udp_uid(relayed.data(), static_cast<int>(relayed.size())), 1002u);
    _AUDIO_PACKET packet{};
    EXPECT_EQ(ptt_process_rx_udp(relayed.data(), static_cast<int>(relayed.size()), &packet), TW_OK)
        << "a look at the sender does not take the datagram";
    EXPECT_EQ(packet.sequence, 9);
    EXPECT_EQ(ptt_process_rx_udp(relayed.data(), static_cast<int>(relayed.size()), &packet), TW_ERR_SEALED)
        << "replayed";
    EXPECT_EQ(ptt_process_rx_udp(plain, size, &packet), TW_ERR_SEALED) << "plain";
    EXPECT_EQ(ptt_get_rx_udp_uid(plain, size), 0u);

    // The logout's answer is the last message: the keys go with it, and no datagram leaves
    // without them.
    const Bytes logout = talkwire_test::build([](unsigned char* b, int c) { return srv_build_logout_ack(b, c); });
    EXPECT_GT(clientReads(server.frame(logout.data(), static_cast<int>(logout.size()))).first, 0);
    EXPECT_EQ(cp_rtp_heartbeat(datagram, sizeof datagram, 1001), TW_ERR_SEALED);
}

}  // namespace
