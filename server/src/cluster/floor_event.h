// What one node tells the others about a group's floor: held (by whom, renewed while the
// turn lasts) or freed. A few bytes on the group's floor subject; a node reads them with
// every length checked, since anything on the bus could have sent them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talkhub_server {

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

}  // namespace talkhub_server
