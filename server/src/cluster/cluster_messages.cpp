#include "cluster/cluster_messages.h"

#include <talkwire.h>

namespace talkhub_server {

namespace {

constexpr std::size_t kFixedBytes = 9;  // kind, group id, holder
constexpr std::size_t kLongestName = TW_MEMBER_NAME_SIZE - 1;
constexpr std::size_t kNodeFixedBytes = 14;  // kind, user, group, caller, caller name's length

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

std::vector<unsigned char> encodeNodeMessage(const NodeMessage& message) {
    std::vector<unsigned char> out;
    out.push_back(static_cast<unsigned char>(message.kind));
    storeU32(out, message.userId);
    storeU32(out, message.groupId);
    storeU32(out, message.caller);
    const std::size_t nameBytes = std::min(message.callerName.size(), kLongestName);
    out.push_back(static_cast<unsigned char>(nameBytes));
    out.insert(out.end(), message.callerName.begin(),
               message.callerName.begin() + static_cast<std::ptrdiff_t>(nameBytes));
    const std::size_t nodeBytes = std::min(message.node.size(), kLongestName);
    out.insert(out.end(), message.node.begin(), message.node.begin() + static_cast<std::ptrdiff_t>(nodeBytes));
    return out;
}

std::optional<NodeMessage> parseNodeMessage(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < kNodeFixedBytes) return std::nullopt;
    NodeMessage message;
    switch (data[0]) {
        case static_cast<unsigned char>(NodeMessage::Kind::kReplaced):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallOffer):
        case static_cast<unsigned char>(NodeMessage::Kind::kCallEnd):
            message.kind = static_cast<NodeMessage::Kind>(data[0]);
            break;
        default:
            return std::nullopt;
    }
    message.userId = loadU32(data + 1);
    message.groupId = loadU32(data + 5);
    message.caller = loadU32(data + 9);
    const std::size_t nameBytes = data[13];
    const std::size_t nodeBytes = size - kNodeFixedBytes - std::min(nameBytes, size - kNodeFixedBytes);
    if (nameBytes > kLongestName || kNodeFixedBytes + nameBytes > size || nodeBytes > kLongestName) {
        return std::nullopt;
    }
    message.callerName.assign(reinterpret_cast<const char*>(data + kNodeFixedBytes), nameBytes);
    message.node.assign(reinterpret_cast<const char*>(data + kNodeFixedBytes + nameBytes), nodeBytes);
    return message;
}

}  // namespace talkhub_server
