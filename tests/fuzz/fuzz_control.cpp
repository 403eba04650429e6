// Hostile control traffic: the frame decoder and packet_decode on a raw byte stream, every
// parser on the raw bytes as a body, and a framing round trip of the input as a message.
#include <talkwire.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void parseEverything(const unsigned char* body, uint32_t length) {
    tw_login_ack login;
    on_login_ack(&login, body, length);
    tw_group_list* list = nullptr;
    if (on_query_group_ack(&list, body, length) == TW_OK) {
        ptt_ack_free_groups(list);
    }
    tw_join_group_ack join;
    on_join_group_ack(&join, body, length);
    tw_result_ack result;
    on_set_group_option_ack(&result, body, length);
    on_leave_group_ack(&result, body, length);
    on_call_ack(&result, body, length);
    on_request_mic_ack(&result, body, length);
    tw_meeting_call_ack meeting;
    on_meeting_call_ack(&meeting, body, length);
    free_meeting_call_ack(&meeting);
    tw_member_get_mic got;
    on_mem_get_mic(&got, body, length);
    tw_member_lost_mic lost;
    on_mem_lost_mic(&lost, body, length);
    tw_temp_call_release ended;
    on_tmp_call_rel(&ended, body, length);
    tw_temp_call_arrived arrived;
    on_tmp_call_arrived(&arrived, body, length);
    tw_meeting_call_release released;
    on_meeting_call_release(&released, body, length);
    tw_login_request request;
    srv_parse_login(&request, body, length);
    tw_id_request id;
    srv_parse_id_request(&id, body, length);
    tw_group_option_request option;
    srv_parse_group_option(&option, body, length);
    static tw_call_request call;
    srv_parse_call_request(&call, body, length);
    srv_parse_empty(body, length);
}

// Feeds a stream to a fresh decoder; returns the messages of the completed frames.
std::vector<std::vector<unsigned char>> unframe(const unsigned char* data, std::size_t size, uint32_t capacity) {
    std::vector<unsigned char> buffer(capacity, 0);
    std::vector<std::vector<unsigned char>> messages;
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(buffer.data(), capacity, data[i], &frame);
        if (frame == nullptr) {
            continue;
        }
        const uint32_t frameSize = static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2;
        if (frameSize > capacity) {
            std::abort();
        }
        tw_packet packet;
        if (packet_decode(buffer.data(), frameSize, &packet) > 0) {
            parseEverything(packet.body, packet.bodyLength);
            messages.emplace_back(packet.header, packet.body + packet.bodyLength);
        }
    }
    return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unframe(data, size, 1024);
    parseEverything(data, static_cast<uint32_t>(size));

    // Any input of a valid header framed and unframed comes back exactly.
    if (size >= 2 && size <= 4096 && data[1] == TW_PROTOCOL_VERSION) {
        std::vector<unsigned char> framed(2 * size + 10);
        const uint16_t length = encode_tcp_packet_hdlc(data, static_cast<uint16_t>(size), framed.data(),
                                                       static_cast<uint16_t>(framed.size()));
        if (length == 0) {
            std::abort();
        }
        const auto messages = unframe(framed.data(), length, 10240);
        if (messages.size() != 1 || messages[0].size() != size || std::memcmp(messages[0].data(), data, size) != 0) {
            std::abort();
        }
    }
    return 0;
}
