// The field lists of the control messages. Each list is written once and used both to
// build a message (with a Writer over a const record) and to parse it (with a Reader),
// so the two sides cannot drift apart.
#pragma once

#include <cstring>

#include "wire.h"

namespace talkwire {

inline constexpr uint8_t kProtocolVersion = TW_PROTOCOL_VERSION;
inline constexpr uint8_t kOldProtocolVersion = TW_OLD_PROTOCOL_VERSION;
inline constexpr uint32_t kMessageHeaderSize = 2;

// Starts a message: command id, then the protocol version.
inline Writer beginMessage(unsigned char* buffer, int capacity, uint8_t command) {
    Writer writer(buffer, capacity);
    writer.u8(command);
    writer.u8(kProtocolVersion);
    return writer;
}

// Zero-fills a record and runs its field list over the body; 0 when the body is exactly
// the record.
template <class Record, class Fields>
int parseRecord(Record* record, const void* body, uint32_t length, Fields fields) {
    if (record == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    std::memset(static_cast<void*>(record), 0, sizeof(Record));
    Reader reader(body, length);
    fields(reader, *record);
    const int result = reader.finish();
    if (result != TW_OK) {
        std::memset(static_cast<void*>(record), 0, sizeof(Record));
    }
    return result;
}

template <class Record, class Fields>
int buildRecord(unsigned char* buffer, int capacity, uint8_t command, const Record* record, Fields fields) {
    if (record == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Writer writer = beginMessage(buffer, capacity, command);
    fields(writer, *record);
    return writer.result();
}

// The login answer as version 1 had it, without the exchange.
inline constexpr auto oldLoginAckFields = [](auto& io, auto& r) {
    io.u8(r.result);
    io.text(r.redirectAddress);
    io.text(r.voiceAddress);
    io.u32(r.redirectPort);
    io.u32(r.voicePort);
    io.u32(r.heartbeatInterval);
    io.u32(r.voiceHeartbeatInterval);
    io.u32(r.userId);
    io.raw(r.markerText);
    io.u32(r.markerId);
};

inline constexpr auto loginAckFields = [](auto& io, auto& r) {
    oldLoginAckFields(io, r);
    io.raw(r.serverShare);
    io.raw(r.serverConfirmation);
};

inline constexpr auto loginConfirmFields = [](auto& io, auto& r) {
    io.u8(r.confirmed);
    io.raw(r.confirmation);
};

inline constexpr auto joinGroupAckFields = [](auto& io, auto& r) {
    io.i32(r.result);
    io.u32(r.previousGroupId);
    io.u32(r.groupId);
    io.u32(r.markerId);
};

inline constexpr auto resultAckFields = [](auto& io, auto& r) { io.i32(r.result); };

inline constexpr auto memberGetMicFields = [](auto& io, auto& r) {
    io.u32(r.groupId);
    io.u32(r.userId);
    io.text(r.userName);
};

inline constexpr auto memberLostMicFields = [](auto& io, auto& r) {
    io.u32(r.groupId);
    io.u32(r.userId);
};

inline constexpr auto tempCallReleaseFields = [](auto& io, auto& r) { io.u32(r.groupId); };

inline constexpr auto tempCallArrivedFields = [](auto& io, auto& r) {
    io.text(r.callerName);
    io.u32(r.callerId);
};

inline constexpr auto meetingCallReleaseFields = [](auto& io, auto& r) {
    io.u32(r.reason);
    io.u32(r.meetingId);
};

inline constexpr auto loginRequestFields = [](auto& io, auto& r) {
    io.text(r.account);
    io.text(r.encodedPassword);
    io.u32(r.flags);
};

inline constexpr auto idRequestFields = [](auto& io, auto& r) { io.u32(r.id); };

inline constexpr auto groupOptionFields = [](auto& io, auto& r) {
    io.u32(r.first);
    io.u32(r.second);
};

}  // namespace talkwire
