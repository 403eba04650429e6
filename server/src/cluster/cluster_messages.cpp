#include "cluster/cluster_messages.h"

#include <talkwire.h>

namespace talkhub_server {

namespace {

constexpr std::size_t kFixedBytes = 9;  // kind, group id, holder
constexpr std::size_t kLongestName = TW_MEMBER_NAME_SIZE - 1;
constexpr std::size_t kNodeFixedBytes = 21;  // kind, user, group, caller, meeting, reason

void storeU32(std::vector<unsigned char>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

uint32_t loadU32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 | static_cast<uint32_t>(in[2]) << 8 |
           in[3];
}

}  // namespace

std::vector<unsigned char> encodeFloorEvent(const FloorEvent& event) {
    std::vector<unsigned char> out;
    out.push_back(static_cast<unsigned char>(event.kind));
    storeU32(out, event.groupId);
    storeU32(out, event.holder);
    const std::size_t nameBytes = std::min(event.holderName.size(), kLongestName);
    out.insert(out.end(), event.holderName.begin(), event.holderName.begin() + static_cast<std::ptrdiff_t>(nameBytes));
    return out;
}

std::optional<FloorEvent> parseFloorEvent(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < kFixedBytes || size > kFixedBytes + kLongestName) return std::nullopt;
    FloorEvent event;
    if (data[0] == static_cast<unsigned char>(FloorEvent::Kind::kHeld)) {
        event.kind = FloorEvent::Kind::kHeld;
    } else if (data[0] == static_cast<unsigned char>(FloorEvent::Kind::kFreed)) {
        event.kind = FloorEvent::Kind::kFreed;
    } else {
        return std::nullopt;
    }
    event.groupId = loadU32(data + 1);
    event.holder = loadU32(data + 5);
    if (event.groupId == 0 || event.holder == 0) return std::nullopt;
    event.holderName.assign(reinterpret_cast<const char*>(data + kFixedBytes), size - kFixedBytes);
    return event;
}

// kind, user, group, caller, meeting, reason; then the caller's name and the node, each after
// its length byte; then the member count and the members.
std::vector<unsigned char> encodeNodeMessage(const NodeMessage& message) {
    std::vector<unsigned char> out;
    out.push_back(static_cast<unsigned char>(message.kind));
    for (uint32_t field : {message.userId, message.groupId, message.caller, message.meetingId, message.reason}) {
        storeU32(out, field);
    }
    for (const std::string* text : {&message.callerName, &message.node}) {
        const std::size_t bytes = std::min(text->size(), kLongestName);
        out.push_back(static_cast<unsigned char>(bytes));
        out.insert(out.end(), text->begin(), text->begin() + static_cast<std::ptrdiff_t>(bytes));
    }
    const std::size_t count = std::min<std::size_t>(message.members.size(), TW_MAX_MEETING_MEMBERS);
    out.push_back(static_cast<unsigned char>(count));
    for (std::size_t i = 0; i < count; ++i) storeU32(out, message.members[i]);
    return out;
}

std::optional<NodeMessage> parseNodeMessage(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < kNodeFixedBytes + 3) return std::nullopt;
    NodeMessage message;
    switch (data[0]) {
        case static_cast<unsigned char>(NodeMessage::Kind::kReplaced):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallOffer):
        case static_cast<unsigned char>(NodeMessage::Kind::kMeetingOffer):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallEnd):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallWithdrawn):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallCheck):
            message.kind = static_cast<NodeMessage::Kind>(data[0]);
            break;
        default:
            return std::nullopt;
    }
    message.userId = loadU32(data + 1);
    message.groupId = loadU32(data + 5);
    message.caller = loadU32(data + 9);
    message.meetingId = loadU32(data + 13);
    message.reason = loadU32(data + 17);
    std::size_t at = kNodeFixedBytes;
    for (std::string* text : {&message.callerName, &message.node}) {
        // Each length byte is followed by its text and at least one more length byte.
        const std::size_t bytes = data[at++];
        if (bytes > kLongestName || size - at < bytes + 1) return std::nullopt;
        text->assign(reinterpret_cast<const char*>(data + at), bytes);
        at += bytes;
    }
    const std::size_t count = data[at++];
    if (count > TW_MAX_MEETING_MEMBERS || size - at != count * 4) return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) message.members.push_back(loadU32(data + at + i * 4));
    return message;
}

}  // namespace talkhub_server
