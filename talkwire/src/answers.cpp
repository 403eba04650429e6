// Answers and events: the server's builders and the client's parsers.
#include <cstdlib>
#include <new>

#include "client_connection.h"
#include "messages.h"

using namespace talkwire;

namespace {

// Smallest encoded size of one group entry and of one meeting member: id and empty name.
constexpr uint32_t kMinimumListItemSize = 5;

void freeGroupList(tw_group_list* list) {
    if (list == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < list->count; ++i) {
        delete list->entries[i];
    }
    delete[] list->entries;
    delete list;
}

int parseGroupList(tw_group_list** out, const void* body, uint32_t length) {
    Reader reader(body, length);
    uint16_t count = 0;
    reader.u16(count);
    if (reader.error() != TW_OK) {
        return reader.error();
    }
    if (count > TW_MAX_GROUPS) {
        return TW_ERR_RANGE;
    }
    if (reader.remaining() / kMinimumListItemSize < count) {
        return TW_ERR_TRUNCATED;
    }
    auto* list = new (std::nothrow) tw_group_list{0, nullptr};
    if (list == nullptr) {
        return TW_ERR_MEMORY;
    }
    list->entries = new (std::nothrow) tw_group_entry*[count == 0 ? 1 : count];
    if (list->entries == nullptr) {
        delete list;
        return TW_ERR_MEMORY;
    }
    for (uint16_t i = 0; i < count; ++i) {
        auto* entry = new (std::nothrow) tw_group_entry{};
        if (entry == nullptr) {
            freeGroupList(list);
            return TW_ERR_MEMORY;
        }
        list->entries[list->count++] = entry;
        reader.u32(entry->groupId);
        reader.text(entry->name);
    }
    const int result = reader.finish();
    if (result != TW_OK) {
        freeGroupList(list);
        return result;
    }
    *out = list;
    return TW_OK;
}

}  // namespace

extern "C" {

int on_login_ack(tw_login_ack* record, const void* body, uint32_t length) {
    const int parsed = parseRecord(record, body, length, loginAckFields);
    if (parsed != TW_OK) return parsed;
    const int verdict = talkwire::client::finishLogin(*record);
    if (verdict != TW_OK) *record = tw_login_ack{};
    return verdict;
}

int on_query_group_ack(tw_group_list** list, const void* body, uint32_t length) {
    if (list == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *list = nullptr;
    return parseGroupList(list, body, length);
}

void ptt_ack_free_groups(tw_group_list* list) { freeGroupList(list); }

int on_join_group_ack(tw_join_group_ack* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, joinGroupAckFields);
}

int on_set_group_option_ack(tw_result_ack* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, resultAckFields);
}

int on_leave_group_ack(tw_result_ack* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, resultAckFields);
}

int on_call_ack(tw_result_ack* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, resultAckFields);
}

int on_request_mic_ack(tw_result_ack* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, resultAckFields);
}

int on_meeting_call_ack(tw_meeting_call_ack* record, const void* body, uint32_t length) {
    if (record == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *record = tw_meeting_call_ack{};
    Reader reader(body, length);
    int32_t result = 0;
    uint32_t meetingId = 0;
    uint16_t count = 0;
    reader.i32(result);
    reader.u32(meetingId);
    reader.u16(count);
    if (reader.error() != TW_OK) {
        return reader.error();
    }
    if (count > TW_MAX_MEETING_MEMBERS) {
        return TW_ERR_RANGE;
    }
    if (reader.remaining() / kMinimumListItemSize < count) {
        return TW_ERR_TRUNCATED;
    }
    tw_meeting_member* members = nullptr;
    if (count > 0) {
        members = new (std::nothrow) tw_meeting_member[count]{};
        if (members == nullptr) {
            return TW_ERR_MEMORY;
        }
        for (uint16_t i = 0; i < count; ++i) {
            reader.u32(members[i].userId);
            reader.text(members[i].name);
        }
    }
    const int status = reader.finish();
    if (status != TW_OK) {
        delete[] members;
        return status;
    }
    record->result = result;
    record->meetingId = meetingId;
    record->memberCount = count;
    record->members = members;
    return TW_OK;
}

void free_meeting_call_ack(tw_meeting_call_ack* record) {
    if (record == nullptr) {
        return;
    }
    delete[] record->members;
    record->members = nullptr;
    record->memberCount = 0;
}

int on_mem_get_mic(tw_member_get_mic* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, memberGetMicFields);
}

int on_mem_lost_mic(tw_member_lost_mic* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, memberLostMicFields);
}

int on_tmp_call_rel(tw_temp_call_release* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, tempCallReleaseFields);
}

int on_tmp_call_arrived(tw_temp_call_arrived* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, tempCallArrivedFields);
}

int on_meeting_call_release(tw_meeting_call_release* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, meetingCallReleaseFields);
}

int srv_build_login_ack(unsigned char* buf, int cap, const tw_login_ack* record) {
    return buildRecord(buf, cap, TW_CMD_LOGIN_ACK, record, loginAckFields);
}

int srv_build_old_login_refusal(unsigned char* buf, int cap, uint8_t result) {
    tw_login_ack refusal{};
    refusal.result = result;
    const int length = buildRecord(buf, cap, TW_CMD_LOGIN_ACK, &refusal, oldLoginAckFields);
    if (length > 0) buf[1] = kOldProtocolVersion;
    return length;
}

int srv_build_group_list(unsigned char* buf, int cap, const tw_group_entry* entries, uint32_t count) {
    if (count > TW_MAX_GROUPS) {
        return TW_ERR_RANGE;
    }
    if (count > 0 && entries == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Writer writer = beginMessage(buf, cap, TW_CMD_QUERY_GROUP_ACK);
    writer.u16(static_cast<uint16_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        writer.u32(entries[i].groupId);
        writer.text(entries[i].name);
    }
    return writer.result();
}

int srv_build_join_group_ack(unsigned char* buf, int cap, const tw_join_group_ack* record) {
    return buildRecord(buf, cap, TW_CMD_ENTER_GROUP_ACK, record, joinGroupAckFields);
}

int srv_build_result_ack(unsigned char* buf, int cap, unsigned char command, int32_t result) {
    if (command != TW_CMD_QUIT_GROUP_ACK && command != TW_CMD_REQUEST_MIC_ACK && command != TW_CMD_TEMP_CALL_ACK &&
        command != TW_CMD_SET_GROUP_OPTION_ACK) {
        return TW_ERR_ARGUMENT;
    }
    const tw_result_ack record{result};
    return buildRecord(buf, cap, command, &record, resultAckFields);
}

int srv_build_release_mic_ack(unsigned char* buf, int cap, uint32_t groupId) {
    const tw_temp_call_release record{groupId};
    return buildRecord(buf, cap, TW_CMD_RELEASE_MIC_ACK, &record, tempCallReleaseFields);
}

int srv_build_logout_ack(unsigned char* buf, int cap) { return beginMessage(buf, cap, TW_CMD_LOGOUT_ACK).result(); }

int srv_build_meeting_call_ack(unsigned char* buf, int cap, int32_t result, uint32_t meetingId,
                               const tw_meeting_member* members, uint32_t count) {
    if (count > TW_MAX_MEETING_MEMBERS) {
        return TW_ERR_RANGE;
    }
    if (count > 0 && members == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Writer writer = beginMessage(buf, cap, TW_CMD_MEETING_CALL_ACK);
    writer.i32(result);
    writer.u32(meetingId);
    writer.u16(static_cast<uint16_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        writer.u32(members[i].userId);
        writer.text(members[i].name);
    }
    return writer.result();
}

int srv_build_self_lost_mic(unsigned char* buf, int cap, uint32_t groupId) {
    const tw_temp_call_release record{groupId};
    return buildRecord(buf, cap, TW_CMD_SELF_LOST_MIC, &record, tempCallReleaseFields);
}

int srv_build_member_get_mic(unsigned char* buf, int cap, const tw_member_get_mic* record) {
    return buildRecord(buf, cap, TW_CMD_MEMBER_GET_MIC, record, memberGetMicFields);
}

int srv_build_member_lost_mic(unsigned char* buf, int cap, const tw_member_lost_mic* record) {
    return buildRecord(buf, cap, TW_CMD_MEMBER_LOST_MIC, record, memberLostMicFields);
}

int srv_build_temp_call_release(unsigned char* buf, int cap, uint32_t groupId) {
    const tw_temp_call_release record{groupId};
    return buildRecord(buf, cap, TW_CMD_SELF_QUIT_TEMP_CALL, &record, tempCallReleaseFields);
}

int srv_build_temp_call_arrived(unsigned char* buf, int cap, const tw_temp_call_arrived* record) {
    return buildRecord(buf, cap, TW_CMD_TEMP_CALL_ARRIVED, record, tempCallArrivedFields);
}

int srv_build_meeting_call_release(unsigned char* buf, int cap, const tw_meeting_call_release* record) {
    return buildRecord(buf, cap, TW_CMD_MEETING_CALL_RELEASE, record, meetingCallReleaseFields);
}

}  // extern "C"
