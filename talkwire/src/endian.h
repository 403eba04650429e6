// Little-endian loads and stores at fixed offsets of a packet.
#pragma once

#include <cstdint>

namespace talkwire {

inline uint16_t loadU16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

inline uint32_t loadU32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

inline void storeU16(unsigned char* at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

inline void storeU32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

}  // namespace talkwire
