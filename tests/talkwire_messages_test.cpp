// Control messages: every builder against its parser, hostile bodies, small buffers.
#include <cstring>
#include <memory>
#include <string>

#include "talkwire_test_support.h"

namespace {

using namespace talkwire_test;

// One message kind: how to build a sample and how its receiver parses the body.
struct MessageCase {
    const char* name;
    unsigned char command;
    Builder build;
    std::function<int(const void*, uint32_t)> parse;
};

tw_login_ack sampleLoginAck() {
    tw_login_ack ack{};
    ack.result = 0;
    std::strcpy(ack.redirectAddress, "192.168.100.200");
    std::strcpy(ack.voiceAddress, "voice.example.net");
    ack.redirectPort = 13001;
    ack.voicePort = 13002;
    ack.heartbeatInterval = 8000;
    ack.voiceHeartbeatInterval = 7000;
    ack.userId = 1001;
    for (int i = 0; i < TW_MARKER_TEXT_SIZE; ++i) {
        ack.markerText[i] = static_cast<char>(i % 2 == 0 ? 0x7E : 0x7D);  // framing bytes, stuffed
    }
    ack.markerId = 77;
    return ack;
}

std::vector<tw_group_entry> sampleGroups(uint32_t count) {
    std::vector<tw_group_entry> groups(count);
    for (uint32_t i = 0; i < count; ++i) {
        groups[i].groupId = 100 + i;
        std::snprintf(groups[i].name, sizeof groups[i].name, "group %u", i);
    }
    return groups;
}

std::vector<tw_meeting_member> sampleMembers(uint32_t count) {
    std::vector<tw_meeting_member> members(count);
    for (uint32_t i = 0; i < count; ++i) {
        members[i].userId = 2000 + i;
        std::snprintf(members[i].name, sizeof members[i].name, "member %u", i);
    }
    return members;
}

template <class Record, class Parser>
std::function<int(const void*, uint32_t)> into(Parser parser) {
    return [parser](const void* body, uint32_t length) {
        Record record{};
        return parser(&record, body, length);
    };
}

std::vector<MessageCase> allMessages() {
    static const uint32_t ids[3] = {1001, 1002, 1003};
    static const auto groups = sampleGroups(3);
    static const auto members = sampleMembers(2);
    return {
        {"login", TW_CMD_LOGIN, [](auto* b, int c) { return cp_login(b, c, "alice", "v1$00ff", 0); },
         into<tw_login_request>(srv_parse_login)},
        {"logout", TW_CMD_LOGOUT, cp_logout, srv_parse_empty},
        {"query groups", TW_CMD_QUERY_GROUPS, cp_query_groups, srv_parse_empty},
        {"ping", TW_CMD_PING, [](auto* b, int c) { return cp_ping(b, c, 1001); },
         into<tw_id_request>(srv_parse_id_request)},
        {"activate group", TW_CMD_ACTIVATE_GROUP, [](auto* b, int c) { return cp_activate_group(b, c, 5); },
         into<tw_id_request>(srv_parse_id_request)},
        {"request mic", TW_CMD_REQUEST_MIC, [](auto* b, int c) { return cp_request_mic(b, c, 5); },
         into<tw_id_request>(srv_parse_id_request)},
        {"release mic", TW_CMD_RELEASE_MIC, [](auto* b, int c) { return cp_release_mic(b, c, 5); },
         into<tw_id_request>(srv_parse_id_request)},
        {"group option", TW_CMD_SET_GROUP_OPTION, [](auto* b, int c) { return cp_set_group_option(b, c, 5, 255); },
         into<tw_group_option_request>(srv_parse_group_option)},
        {"temp call", TW_CMD_TEMP_GROUP_CALL, [](auto* b, int c) { return cp_temp_group_call(b, c, ids, 1); },
         into<tw_call_request>(srv_parse_call_request)},
        {"meeting call", TW_CMD_MEETING_CALL, [](auto* b, int c) { return cp_meeting_call(b, c, 1, ids, 3); },
         into<tw_call_request>(srv_parse_call_request)},
        {"hang up meeting", TW_CMD_HANDUP_MEETING_CALL,
         [](auto* b, int c) { return cp_handup_meeting_call(b, c, ids, 1); },
         into<tw_call_request>(srv_parse_call_request)},
        {"login ack", TW_CMD_LOGIN_ACK,
         [](auto* b, int c) {
             const tw_login_ack ack = sampleLoginAck();
             return srv_build_login_ack(b, c, &ack);
         },
         into<tw_login_ack>(on_login_ack)},
        {"group list", TW_CMD_QUERY_GROUP_ACK,
         [](auto* b, int c) { return srv_build_group_list(b, c, groups.data(), 3); },
         [](const void* body, uint32_t length) {
             tw_group_list* list = nullptr;
             const int result = on_query_group_ack(&list, body, length);
             EXPECT_EQ(result == TW_OK, list != nullptr);
             ptt_ack_free_groups(list);
             return result;
         }},
        {"join group ack", TW_CMD_ENTER_GROUP_ACK,
         [](auto* b, int c) {
             const tw_join_group_ack ack{0, 4, 5, 9};
             return srv_build_join_group_ack(b, c, &ack);
         },
         into<tw_join_group_ack>(on_join_group_ack)},
        {"quit group ack", TW_CMD_QUIT_GROUP_ACK,
         [](auto* b, int c) { return srv_build_result_ack(b, c, TW_CMD_QUIT_GROUP_ACK, 0); },
         into<tw_result_ack>(on_leave_group_ack)},
        {"mic ack", TW_CMD_REQUEST_MIC_ACK,
         [](auto* b, int c) { return srv_build_result_ack(b, c, TW_CMD_REQUEST_MIC_ACK, -1); },
         into<tw_result_ack>(on_request_mic_ack)},
        {"temp call ack", TW_CMD_TEMP_CALL_ACK,
         [](auto* b, int c) { return srv_build_result_ack(b, c, TW_CMD_TEMP_CALL_ACK, 0); },
         into<tw_result_ack>(on_call_ack)},
        {"option ack", TW_CMD_SET_GROUP_OPTION_ACK,
         [](auto* b, int c) { return srv_build_result_ack(b, c, TW_CMD_SET_GROUP_OPTION_ACK, 0); },
         into<tw_result_ack>(on_set_group_option_ack)},
        {"meeting ack", TW_CMD_MEETING_CALL_ACK,
         [](auto* b, int c) { return srv_build_meeting_call_ack(b, c, 0, 12, members.data(), 2); },
         [](const void* body, uint32_t length) {
             tw_meeting_call_ack ack{};
             const int result = on_meeting_call_ack(&ack, body, length);
             EXPECT_EQ(result == TW_OK, ack.members != nullptr);
             free_meeting_call_ack(&ack);
             return result;
         }},
        {"member got mic", TW_CMD_MEMBER_GET_MIC,
         [](auto* b, int c) {
             tw_member_get_mic event{5, 1002, "bob"};
             return srv_build_member_get_mic(b, c, &event);
         },
         into<tw_member_get_mic>(on_mem_get_mic)},
        {"member lost mic", TW_CMD_MEMBER_LOST_MIC,
         [](auto* b, int c) {
             const tw_member_lost_mic event{5, 1002};
             return srv_build_member_lost_mic(b, c, &event);
         },
         into<tw_member_lost_mic>(on_mem_lost_mic)},
        {"temp call ended", TW_CMD_SELF_QUIT_TEMP_CALL,
         [](auto* b, int c) { return srv_build_temp_call_release(b, c, 88); },
         into<tw_temp_call_release>(on_tmp_call_rel)},
        {"temp call arrived", TW_CMD_TEMP_CALL_ARRIVED,
         [](auto* b, int c) {
             const tw_temp_call_arrived event{"carol", 1003};
             return srv_build_temp_call_arrived(b, c, &event);
         },
         into<tw_temp_call_arrived>(on_tmp_call_arrived)},
        {"meeting ended", TW_CMD_MEETING_CALL_RELEASE,
         [](auto* b, int c) {
             const tw_meeting_call_release event{1, 12};
             return srv_build_meeting_call_release(b, c, &event);
         },
         into<tw_meeting_call_release>(on_meeting_call_release)},
    };
}

TEST(TalkwireMessages, EveryMessageCrossesFramingParsesExactlyAndRefusesEveryTruncationAndExtraByte) {
    for (const MessageCase& message : allMessages()) {
        SCOPED_TRACE(message.name);
        const Bytes whole = build(message.build);
        ASSERT_GE(whole.size(), 2u);
        EXPECT_EQ(whole[0], message.command);
        const Bytes framed = frame(whole);
        for (std::size_t split = 0; split <= framed.size(); ++split) {
            Receiver receiver;
            receiver.feed(Bytes(framed.begin(), framed.begin() + static_cast<long>(split)));
            receiver.feed(Bytes(framed.begin() + static_cast<long>(split), framed.end()));
            ASSERT_EQ(receiver.messages, std::vector<Bytes>{whole}) << "split at " << split;
        }
        const Bytes body = bodyOf(whole);
        EXPECT_EQ(message.parse(body.data(), static_cast<uint32_t>(body.size())), TW_OK);
        for (std::size_t prefix = 0; prefix < body.size(); ++prefix) {
            // An exact-size copy, so that reading one byte too far is caught by the sanitizer.
            std::unique_ptr<unsigned char[]> copy(new unsigned char[prefix + 1]);
            std::memcpy(copy.get(), body.data(), prefix);
            EXPECT_LT(message.parse(copy.get(), static_cast<uint32_t>(prefix)), 0) << "prefix " << prefix;
        }
        Bytes inflated = body;
        inflated.push_back(0);
        EXPECT_EQ(message.parse(inflated.data(), static_cast<uint32_t>(inflated.size())), TW_ERR_TRAILING);
    }
}

TEST(TalkwireMessages, EveryBuilderStaysInsideItsBuffer) {
    for (const MessageCase& message : allMessages()) {
        SCOPED_TRACE(message.name);
        const std::size_t size = build(message.build).size();
        for (std::size_t cap = 0; cap < size; ++cap) {
            Bytes buffer(cap + 16, 0xCC);
            EXPECT_LE(message.build(buffer.data(), static_cast<int>(cap)), 0) << "cap " << cap;
            EXPECT_TRUE(
                std::all_of(buffer.begin() + static_cast<long>(cap), buffer.end(), [](auto b) { return b == 0xCC; }));
        }
    }
}

TEST(TalkwireMessages, RecordsCarryEveryFieldAcross) {
    const tw_login_ack sent = sampleLoginAck();
    Bytes body = bodyOf(build([&](auto* b, int c) { return srv_build_login_ack(b, c, &sent); }));
    tw_login_ack got{};
    ASSERT_EQ(on_login_ack(&got, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(std::memcmp(&got, &sent, sizeof got), 0);

    const auto groups = sampleGroups(TW_MAX_GROUPS);
    body = bodyOf(build([&](auto* b, int c) { return srv_build_group_list(b, c, groups.data(), TW_MAX_GROUPS); }));
    tw_group_list* list = nullptr;
    ASSERT_EQ(on_query_group_ack(&list, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    ASSERT_EQ(list->count, static_cast<uint64_t>(TW_MAX_GROUPS));
    for (uint32_t i = 0; i < TW_MAX_GROUPS; ++i) {
        EXPECT_EQ(list->entries[i]->groupId, groups[i].groupId);
        EXPECT_STREQ(list->entries[i]->name, groups[i].name);
    }
    ptt_ack_free_groups(list);

    const auto members = sampleMembers(TW_MAX_MEETING_MEMBERS);
    body = bodyOf(build([&](auto* b, int c) {
        return srv_build_meeting_call_ack(b, c, 0, 12, members.data(), TW_MAX_MEETING_MEMBERS);
    }));
    tw_meeting_call_ack meeting{};
    ASSERT_EQ(on_meeting_call_ack(&meeting, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(meeting.meetingId, 12u);
    ASSERT_EQ(meeting.memberCount, static_cast<uint64_t>(TW_MAX_MEETING_MEMBERS));
    EXPECT_EQ(std::memcmp(meeting.members, members.data(), members.size() * sizeof members[0]), 0);
    free_meeting_call_ack(&meeting);
    EXPECT_EQ(meeting.members, nullptr);

    std::vector<uint32_t> ids(TW_MAX_CALL_IDS);
    for (uint32_t i = 0; i < ids.size(); ++i) {
        ids[i] = 0xFFFF0000u + i;
    }
    body = bodyOf(build([&](auto* b, int c) { return cp_meeting_call(b, c, 1, ids.data(), TW_MAX_CALL_IDS); }));
    tw_call_request call{};
    ASSERT_EQ(srv_parse_call_request(&call, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(call.flag, 1u);
    ASSERT_EQ(call.count, static_cast<uint32_t>(TW_MAX_CALL_IDS));
    EXPECT_EQ(std::memcmp(call.ids, ids.data(), ids.size() * 4), 0);

    body = bodyOf(build([](auto* b, int c) { return cp_login(b, c, "alice", "v1$abc", 0); }));
    tw_login_request login{};
    ASSERT_EQ(srv_parse_login(&login, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_STREQ(login.account, "alice");
    EXPECT_STREQ(login.encodedPassword, "v1$abc");
}

TEST(TalkwireMessages, CountsAndTextsBeyondTheirLimitsAreRefused) {
    Bytes buffer(20000);
    const int cap = static_cast<int>(buffer.size());
    const auto groups = sampleGroups(TW_MAX_GROUPS + 1);
    EXPECT_EQ(srv_build_group_list(buffer.data(), cap, groups.data(), TW_MAX_GROUPS + 1), TW_ERR_RANGE);
    const auto members = sampleMembers(TW_MAX_MEETING_MEMBERS + 1);
    EXPECT_EQ(srv_build_meeting_call_ack(buffer.data(), cap, 0, 1, members.data(), TW_MAX_MEETING_MEMBERS + 1),
              TW_ERR_RANGE);
    std::vector<uint32_t> ids(TW_MAX_CALL_IDS + 1, 7);
    EXPECT_LT(cp_meeting_call(buffer.data(), cap, 0, ids.data(), TW_MAX_CALL_IDS + 1), 0);
    EXPECT_LT(cp_temp_group_call(buffer.data(), cap, ids.data(), 0), 0);
    EXPECT_LT(cp_meeting_call(buffer.data(), cap, 2, ids.data(), 1), 0);
    EXPECT_LT(cp_login(buffer.data(), cap, std::string(64, 'a').c_str(), "x", 0), 0);
    EXPECT_GT(cp_login(buffer.data(), cap, std::string(63, 'a').c_str(), "x", 0), 0);
    EXPECT_LT(cp_login(buffer.data(), cap, nullptr, "x", 0), 0);
    EXPECT_LT(srv_build_result_ack(buffer.data(), cap, TW_CMD_LOGIN_ACK, 0), 0);

    // A hostile group list: a count far beyond the body, then a text length beyond the field.
    const unsigned char hugeCount[] = {0xFF, 0xFF, 1, 0, 0, 0, 0};
    tw_group_list* list = reinterpret_cast<tw_group_list*>(1);
    EXPECT_LT(on_query_group_ack(&list, hugeCount, sizeof hugeCount), 0);
    EXPECT_EQ(list, nullptr);
    unsigned char longName[2 + 4 + 1 + 80] = {1, 0, 1, 0, 0, 0, 80};
    EXPECT_EQ(on_query_group_ack(&list, longName, sizeof longName), TW_ERR_RANGE);
    EXPECT_EQ(list, nullptr);

    // A member-got-mic whose name claims more bytes than the 68-byte field holds.
    unsigned char event[4 + 4 + 1 + 100] = {5, 0, 0, 0, 1, 0, 0, 0, 100};
    tw_member_get_mic got{};
    EXPECT_EQ(on_mem_get_mic(&got, event, sizeof event), TW_ERR_RANGE);
    EXPECT_EQ(got.userId, 0u);

    // A call request with 513 ids.
    unsigned char call[3] = {0, 0x01, 0x02};
    tw_call_request request{};
    EXPECT_EQ(srv_parse_call_request(&request, call, sizeof call), TW_ERR_RANGE);
}

// Each limit is tried at exactly its value (accepted) and one past it (refused).
TEST(TalkwireMessages, EveryLimitTakesExactlyItsValueAndRefusesOneMore) {
    // A text must leave room for its NUL: 63 bytes in a 64-byte group name, 67 in a
    // 68-byte member name.
    for (const uint8_t length : {63, 64}) {
        Bytes body = {1, 0, 9, 0, 0, 0, length};
        body.insert(body.end(), length, 'g');
        tw_group_list* list = nullptr;
        const int parsed = on_query_group_ack(&list, body.data(), static_cast<uint32_t>(body.size()));
        EXPECT_EQ(parsed, length == 63 ? TW_OK : TW_ERR_RANGE) << int(length);
        if (list != nullptr) {
            EXPECT_EQ(std::strlen(list->entries[0]->name), 63u);
            ptt_ack_free_groups(list);
        }
    }
    for (const uint8_t length : {67, 68}) {
        Bytes body = {1, 0, 0, 0, 5, 0, 0, 0, length};
        body.insert(body.end(), length, 'm');
        tw_member_get_mic got{};
        EXPECT_EQ(on_mem_get_mic(&got, body.data(), static_cast<uint32_t>(body.size())),
                  length == 67 ? TW_OK : TW_ERR_RANGE)
            << int(length);
    }
    // 512 ids in a call, not 513.
    Bytes buffer(4096);
    const int cap = static_cast<int>(buffer.size());
    std::vector<uint32_t> ids(TW_MAX_CALL_IDS + 1, 7);
    const int length = cp_meeting_call(buffer.data(), cap, 0, ids.data(), TW_MAX_CALL_IDS);
    ASSERT_GT(length, 0);
    tw_call_request request{};
    ASSERT_EQ(srv_parse_call_request(&request, buffer.data() + 2, static_cast<uint32_t>(length - 2)), TW_OK);
    EXPECT_EQ(request.count, static_cast<uint32_t>(TW_MAX_CALL_IDS));
    EXPECT_LT(cp_meeting_call(buffer.data(), cap, 0, ids.data(), TW_MAX_CALL_IDS + 1), 0);
    Bytes tooMany = {0, 0x01, 0x02};
    tooMany.resize(3 + 4 * (TW_MAX_CALL_IDS + 1), 7);
    EXPECT_EQ(srv_parse_call_request(&request, tooMany.data(), static_cast<uint32_t>(tooMany.size())), TW_ERR_RANGE);
    // A datagram of exactly its header (a heartbeat) is whole; one byte less is truncated.
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    const int size = cp_rtp_heartbeat(heartbeat, sizeof heartbeat, 42);
    ASSERT_EQ(size, 14);
    tw_datagram_info info{};
    EXPECT_EQ(srv_parse_datagram(heartbeat, size, &info), TW_OK);
    EXPECT_EQ(srv_parse_datagram(heartbeat, size - 1, &info), TW_ERR_TRUNCATED);
}

TEST(TalkwireMessages, TextsComeBackTerminatedInsideTheirFields) {
    tw_temp_call_arrived event{};
    std::memset(event.callerName, 'x', sizeof event.callerName - 1);
    const Bytes body = bodyOf(build([&](auto* b, int c) { return srv_build_temp_call_arrived(b, c, &event); }));
    tw_temp_call_arrived got{};
    std::memset(&got, 0x55, sizeof got);
    ASSERT_EQ(on_tmp_call_arrived(&got, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    EXPECT_EQ(std::strlen(got.callerName), sizeof got.callerName - 1);
}

}  // namespace
