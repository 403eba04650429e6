// What nodes tell each other, a few bytes each, read with every length checked, since
// anything on the bus could have sent them: about a group's floor, on the group's floor
// subject (held, by whom, renewed while the turn lasts; or freed), and to one node, on its
// own subject (a user logged in elsewhere; a temporary call or a meeting offered, withdrawn
// or ended).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talkhub_server {

// The subjects they travel on, each prefix followed by a group id or a node's name; a group's
// voice datagrams travel on its voice subject.
inline constexpr std::string_view kVoicePrefix = "talkhub.voice.";
inline constexpr std::string_view kFloorPrefix = "talkhub.floor.";
inline constexpr std::string_view kNodePrefix = "talkhub.node.";

struct FloorEvent {
    enum class Kind : uint8_t { kHeld = 'H', kFreed = 'F' };
    Kind kind = Kind::kHeld;
    uint32_t groupId = 0;
    uint32_t holder = 0;
    std::string holderName;  // at most 63 bytes, as the member notice carries it
};

std::vector<unsigned char> encodeFloorEvent(const FloorEvent& event);
// Empty for bytes that are no floor event.
std::optional<FloorEvent> parseFloorEvent(const unsigned char* data, std::size_t size);

struct NodeMessage {
    enum class Kind : uint8_t {
        kReplaced = 'R',       // `userId` logged in on another node: the session here ends
        kCallOffer = 'O',      // `caller` on `node` calls `userId` in the temporary group `groupId`
        kMeetingOffer = 'M',   // `caller` on `node` opens meeting `meetingId` in `groupId` with `members`
        kCallEnd = 'E',        // the call in `groupId` has ended, for `reason`
        kCallWithdrawn = 'W',  // the meeting offered in `groupId` does not take place; nobody is told
        kCallCheck = 'C',      // does `node`'s call in `groupId` go on? answered 0 (it does) or 1
    };
    Kind kind = Kind::kReplaced;
    uint32_t userId = 0;
    uint32_t groupId = 0;
    uint32_t caller = 0;
    std::string callerName;  // at most 63 bytes
    std::string node;        // the sender's node, at most 63 bytes
    uint32_t meetingId = 0;
    uint32_t reason = 0;  // why a meeting ended, as its members are told
    // The receiving node's users invited to a meeting, at most TW_MAX_MEETING_MEMBERS.
    std::vector<uint32_t> members{};
};

std::vector<unsigned char> encodeNodeMessage(const NodeMessage& message);
// Empty for bytes that are no node message.
std::optional<NodeMessage> parseNodeMessage(const unsigned char* data, std::size_t size);

}  // namespace talkhub_server
