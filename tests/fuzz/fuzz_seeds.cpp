// Writes starting inputs for the fuzz targets: framed control messages and voice datagrams
// made by talkwire itself, so that fuzzing starts from inputs that pass the first checks.
#include <talkwire.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cluster/cluster_messages.h"

namespace {

void write(const std::filesystem::path& folder, int index, const unsigned char* data, int size) {
    std::ofstream(folder / ("seed" + std::to_string(index)), std::ios::binary)
        .write(reinterpret_cast<const char*>(data), size);
}

}  // namespace

// What a server sends a logged-in client: each answer and event, framed, one per seed, and
// all of them in one chunk.
void writeServerStream(const std::filesystem::path& folder) {
    std::vector<unsigned char> message(4096);
    std::vector<unsigned char> framed(8192);
    std::vector<unsigned char> all;
    const int cap = static_cast<int>(message.size());
    const tw_login_ack redirect{0, "127.0.0.1", "127.0.0.1", 13001, 13002, 8000, 8000, 1001, "marker", 5, {}, {}};
    const tw_group_entry groups[3] = {{1, "alpha"}, {2, "bravo"}, {7, "x"}};
    const tw_join_group_ack joined{0, 1, 2, 1001};
    const tw_meeting_member members[2] = {{1001, "alice"}, {1002, "bob"}};
    const tw_member_get_mic got{1, 1002, "bob"};
    const tw_member_lost_mic lost{1, 1002};
    const tw_temp_call_arrived arrived{"carol", 1003};
    const tw_meeting_call_release released{0, 4};
    int index = 0;
    const auto emit = [&](int length) {
        const uint16_t size = encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(length), framed.data(),
                                                     static_cast<uint16_t>(framed.size()));
        write(folder, index++, framed.data(), size);
        all.insert(all.end(), framed.begin(), framed.begin() + size);
    };
    emit(srv_build_login_ack(message.data(), cap, &redirect));
    emit(srv_build_group_list(message.data(), cap, groups, 3));
    emit(srv_build_join_group_ack(message.data(), cap, &joined));
    emit(srv_build_result_ack(message.data(), cap, TW_CMD_REQUEST_MIC_ACK, 0));
    emit(srv_build_result_ack(message.data(), cap, TW_CMD_TEMP_CALL_ACK, 0));
    emit(srv_build_result_ack(message.data(), cap, TW_CMD_SET_GROUP_OPTION_ACK, 1));
    emit(srv_build_release_mic_ack(message.data(), cap, 1));
    emit(srv_build_meeting_call_ack(message.data(), cap, 0, 9, members, 2));
    emit(srv_build_self_lost_mic(message.data(), cap, 1));
    emit(srv_build_member_get_mic(message.data(), cap, &got));
    emit(srv_build_member_lost_mic(message.data(), cap, &lost));
    emit(srv_build_temp_call_release(message.data(), cap, 9));
    emit(srv_build_temp_call_arrived(message.data(), cap, &arrived));
    emit(srv_build_meeting_call_release(message.data(), cap, &released));
    emit(srv_build_logout_ack(message.data(), cap));
    write(folder, index, all.data(), static_cast<int>(all.size()));
}

// Voice of members 1002 and 1003 (known to the logged-in library), in order, out of order,
// and their ends of talk, each after a 0 that has the server seal it.
void writeSpeakerVoice(const std::filesystem::path& folder) {
    unsigned char seed[2049] = {0};
    unsigned char* const datagram = seed + 1;
    int index = 0;
    for (uint32_t sender : {1002U, 1003U}) {
        cp_rtp_heartbeat(datagram, 2048, sender);
        ptt_clear_send();
        for (int packet = 0; packet < 4; ++packet) {
            std::vector<unsigned char> frames;
            for (int f = 0; f < TW_MAX_FRAMES_PER_PACKET; ++f) {
                int16_t pcm[TW_FRAME_SAMPLES];
                for (int i = 0; i < TW_FRAME_SAMPLES; ++i) {
                    pcm[i] = static_cast<int16_t>(6000 * std::sin((f * TW_FRAME_SAMPLES + i) * 0.2 * (packet + 1)));
                }
                unsigned char frame[1024];
                const int size = ptt_voice_audio_encode(pcm, TW_FRAME_BYTES, frame, sizeof frame, 1);
                frames.insert(frames.end(), frame, frame + size);
            }
            const int size = ptt_voice_packet_encode(frames.data(), static_cast<int>(frames.size()),
                                                     TW_MAX_FRAMES_PER_PACKET, datagram, 2048, 1);
            write(folder, index++, seed, size + 1);
        }
        write(folder, index++, seed, srv_build_end_of_talk(datagram, 2048, sender, 4) + 1);
    }
}

// What a logged-in member sends the server: each request framed, after a 0 that makes it
// stream bytes, and its voice, after a 1 that makes it a datagram.
void writeClientTraffic(const std::filesystem::path& folder) {
    std::vector<unsigned char> message(4096);
    std::vector<unsigned char> seed(8192);
    const int cap = static_cast<int>(message.size());
    const uint32_t ids[3] = {1002, 1003, 1004};
    int index = 0;
    const auto request = [&](int length) {
        seed[0] = 0;
        const uint16_t size = encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(length), seed.data() + 1,
                                                     static_cast<uint16_t>(seed.size() - 1));
        write(folder, index++, seed.data(), size + 1);
    };
    request(cp_query_groups(message.data(), cap));
    request(cp_ping(message.data(), cap, 1001));
    request(cp_activate_group(message.data(), cap, 2));
    request(cp_request_mic(message.data(), cap, 1));
    request(cp_release_mic(message.data(), cap, 1));
    request(cp_set_group_option(message.data(), cap, 3, 4));
    request(cp_temp_group_call(message.data(), cap, ids, 1));
    request(cp_meeting_call(message.data(), cap, 1, ids, 3));
    request(cp_handup_meeting_call(message.data(), cap, ids, 1));
    request(cp_logout(message.data(), cap));
    unsigned char datagram[2048];
    const auto voice = [&](int length) {
        seed[0] = 1;
        std::copy(datagram, datagram + length, seed.begin() + 1);
        write(folder, index++, seed.data(), length + 1);
    };
    voice(cp_rtp_heartbeat(datagram, sizeof datagram, 1001));
    voice(ptt_fake_voice_send("marker", 1001, datagram, 1));
    voice(ptt_fake_voice_send("marker", 1001, datagram, 0));
    voice(srv_build_end_of_talk(datagram, sizeof datagram, 1001, 3));
}

// What nodes of a cluster tell each other: floor events and each kind of node message.
void writeClusterMessages(const std::filesystem::path& folder) {
    using talkhub_server::NodeMessage;
    std::vector<std::vector<unsigned char>> messages;
    messages.push_back(talkhub_server::encodeFloorEvent({talkhub_server::FloorEvent::Kind::kHeld, 1, 1001, "alice"}));
    messages.push_back(talkhub_server::encodeFloorEvent({talkhub_server::FloorEvent::Kind::kFreed, 1, 1001, ""}));
    NodeMessage meeting{NodeMessage::Kind::kMeetingOffer, 0, 0x80000009, 1001, "alice", "node-a"};
    meeting.meetingId = 9;
    meeting.members = {1002, 1003};
    messages.push_back(talkhub_server::encodeNodeMessage(meeting));
    messages.push_back(
        talkhub_server::encodeNodeMessage({NodeMessage::Kind::kCallOffer, 1003, 0x40000001, 1001, "alice", "node-a"}));
    messages.push_back(talkhub_server::encodeNodeMessage({NodeMessage::Kind::kCallEnd, 0, 0x40000001, 0, {}, "b"}));
    messages.push_back(talkhub_server::encodeNodeMessage({NodeMessage::Kind::kCallCheck, 0, 0x40000001, 0, {}, "b"}));
    int index = 0;
    for (const auto& bytes : messages) {
        write(folder, index++, bytes.data(), static_cast<int>(bytes.size()));
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_DIR\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path control = root / "control";
    const std::filesystem::path voice = root / "voice";
    for (const char* name : {"control", "voice", "service_control", "service_voice", "server", "cluster"}) {
        std::filesystem::create_directories(root / name);
    }
    writeServerStream(root / "service_control");
    writeClientTraffic(root / "server");
    writeSpeakerVoice(root / "service_voice");
    writeClusterMessages(root / "cluster");

    std::vector<unsigned char> message(4096);
    std::vector<unsigned char> framed(8192);
    const int cap = static_cast<int>(message.size());
    const uint32_t ids[2] = {1001, 1002};
    const tw_login_ack login{0, "", "127.0.0.1", 0, 13002, 8000, 8000, 1001, "marker", 5, {}, {}};
    const tw_group_entry groups[2] = {{1, "alpha"}, {2, "bravo"}};
    const tw_meeting_member members[2] = {{1001, "alice"}, {1002, "bob"}};
    const tw_member_get_mic got{1, 1002, "bob"};
    // Each message is kept both framed (for the stream) and as a bare body (for the parsers).
    int index = 0;
    const auto emit = [&](int length) {
        const uint16_t size = encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(length), framed.data(),
                                                     static_cast<uint16_t>(framed.size()));
        write(control, index++, framed.data(), size);
        write(control, index++, message.data() + 2, length - 2);
    };
    emit(cp_login(message.data(), cap, "alice", "v1$0123", 0));
    emit(srv_build_login_ack(message.data(), cap, &login));
    emit(srv_build_group_list(message.data(), cap, groups, 2));
    emit(srv_build_meeting_call_ack(message.data(), cap, 0, 9, members, 2));
    emit(srv_build_member_get_mic(message.data(), cap, &got));
    emit(cp_meeting_call(message.data(), cap, 1, ids, 2));

    unsigned char datagram[2048];
    write(voice, 0, datagram, cp_rtp_heartbeat(datagram, sizeof datagram, 1001));
    write(voice, 1, datagram, ptt_fake_voice_send("marker", 5, datagram, 1));
    write(voice, 2, datagram, srv_build_end_of_talk(datagram, sizeof datagram, 1001, 3));
    for (int mode = 1; mode <= 2; ++mode) {
        std::vector<unsigned char> frames;
        for (int f = 0; f < TW_MAX_FRAMES_PER_PACKET; ++f) {
            int16_t pcm[TW_FRAME_SAMPLES];
            for (int i = 0; i < TW_FRAME_SAMPLES; ++i) {
                pcm[i] = static_cast<int16_t>(8000 * std::sin((f * TW_FRAME_SAMPLES + i) * 0.3));
            }
            unsigned char frame[1024];
            const int size =
                ptt_voice_audio_encode(pcm, TW_FRAME_BYTES, frame, sizeof frame, static_cast<unsigned char>(mode));
            frames.insert(frames.end(), frame, frame + size);
        }
        const int size =
            ptt_voice_packet_encode(frames.data(), static_cast<int>(frames.size()), TW_MAX_FRAMES_PER_PACKET, datagram,
                                    sizeof datagram, static_cast<unsigned char>(mode));
        write(voice, 2 + mode, datagram, size);
    }
    return 0;
}
