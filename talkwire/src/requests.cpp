// Requests: the client's builders and the server's parsers.
#include <algorithm>

#include "messages.h"

using namespace talkwire;

namespace {

int buildEmpty(unsigned char* buffer, int capacity, uint8_t command) {
    return beginMessage(buffer, capacity, command).result();
}

int buildId(unsigned char* buffer, int capacity, uint8_t command, uint32_t id) {
    const tw_id_request request{id};
    return buildRecord(buffer, capacity, command, &request, idRequestFields);
}

// Call requests share one body: flag byte, 16-bit count, the ids.
int buildCall(unsigned char* buffer, int capacity, uint8_t command, int flag, const uint32_t* ids, int count) {
    if (count < 1 || count > TW_MAX_CALL_IDS || ids == nullptr || (flag != 0 && flag != 1)) {
        return TW_ERR_ARGUMENT;
    }
    Writer writer = beginMessage(buffer, capacity, command);
    writer.u8(static_cast<uint8_t>(flag));
    writer.u16(static_cast<uint16_t>(count));
    for (int i = 0; i < count; ++i) {
        writer.u32(ids[i]);
    }
    return writer.result();
}

}  // namespace

extern "C" {

int cp_login(unsigned char* buf, int cap, const char* user, const char* encodedPassword, uint32_t flags) {
    if (user == nullptr || encodedPassword == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Writer writer = beginMessage(buf, cap, TW_CMD_LOGIN);
    writer.text(user, TW_MAX_ACCOUNT_LENGTH);
    writer.text(encodedPassword, sizeof(tw_login_request::encodedPassword) - 1);
    writer.u32(flags);
    return writer.result();
}

int cp_login_confirm(unsigned char* buf, int cap, const unsigned char* confirmation) {
    tw_login_confirm record{};
    if (confirmation != nullptr) {
        record.confirmed = 1;
        std::memcpy(record.confirmation, confirmation, sizeof record.confirmation);
    }
    return buildRecord(buf, cap, TW_CMD_LOGIN_CONFIRM, &record, loginConfirmFields);
}

int cp_logout(unsigned char* buf, int cap) { return buildEmpty(buf, cap, TW_CMD_LOGOUT); }

int cp_query_groups(unsigned char* buf, int cap) { return buildEmpty(buf, cap, TW_CMD_QUERY_GROUPS); }

int cp_ping(unsigned char* buf, int cap, uint32_t userId) { return buildId(buf, cap, TW_CMD_PING, userId); }

int cp_activate_group(unsigned char* buf, int cap, uint32_t groupId) {
    return buildId(buf, cap, TW_CMD_ACTIVATE_GROUP, groupId);
}

int cp_request_mic(unsigned char* buf, int cap, uint32_t groupId) {
    return buildId(buf, cap, TW_CMD_REQUEST_MIC, groupId);
}

int cp_release_mic(unsigned char* buf, int cap, uint32_t groupId) {
    return buildId(buf, cap, TW_CMD_RELEASE_MIC, groupId);
}

int cp_set_group_option(unsigned char* buf, int cap, uint32_t first, uint32_t second) {
    const tw_group_option_request request{first, second};
    return buildRecord(buf, cap, TW_CMD_SET_GROUP_OPTION, &request, groupOptionFields);
}

int cp_temp_group_call(unsigned char* buf, int cap, const uint32_t* ids, int count) {
    return buildCall(buf, cap, TW_CMD_TEMP_GROUP_CALL, 0, ids, count);
}

int cp_meeting_call(unsigned char* buf, int cap, int flag, const uint32_t* ids, int count) {
    return buildCall(buf, cap, TW_CMD_MEETING_CALL, flag, ids, count);
}

int cp_handup_meeting_call(unsigned char* buf, int cap, const uint32_t* ids, int count) {
    return buildCall(buf, cap, TW_CMD_HANDUP_MEETING_CALL, 0, ids, count);
}

int srv_parse_login(tw_login_request* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, loginRequestFields);
}

int srv_parse_login_confirm(tw_login_confirm* record, const void* body, uint32_t length) {
    const int parsed = parseRecord(record, body, length, loginConfirmFields);
    return parsed == TW_OK && record->confirmed > 1 ? TW_ERR_FORMAT : parsed;
}

int srv_parse_id_request(tw_id_request* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, idRequestFields);
}

int srv_parse_group_option(tw_group_option_request* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, groupOptionFields);
}

int srv_parse_call_request(tw_call_request* record, const void* body, uint32_t length) {
    return parseRecord(record, body, length, [](Reader& reader, tw_call_request& r) {
        uint8_t flag = 0;
        uint16_t count = 0;
        reader.u8(flag);
        reader.u16(count);
        if (reader.error() != TW_OK) {
            return;
        }
        if (flag > 1 || count < 1 || count > TW_MAX_CALL_IDS) {
            reader.fail(TW_ERR_RANGE);
            return;
        }
        if (reader.remaining() / 4 < count) {
            reader.fail(TW_ERR_TRUNCATED);
            return;
        }
        r.flag = flag;
        r.count = count;
        for (uint32_t i = 0; i < count; ++i) {
            reader.u32(r.ids[i]);
        }
    });
}

int srv_parse_empty(const void* body, uint32_t length) {
    Reader reader(body, length);
    return reader.finish();
}

}  // extern "C"
