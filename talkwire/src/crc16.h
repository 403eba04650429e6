// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace talkwire {

inline constexpr std::array<uint16_t, 256> kCrc16Table = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        uint16_t crc = static_cast<uint16_t>(value << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[value] = crc;
    }
    return table;
}();

inline constexpr uint16_t kCrc16Initial = 0xFFFF;

inline uint16_t crc16Update(uint16_t crc, unsigned char byte) {
    return static_cast<uint16_t>(crc << 8 ^ kCrc16Table[(crc >> 8 ^ byte) & 0xFF]);
}

inline uint16_t crc16(const unsigned char* data, std::size_t size, uint16_t crc = kCrc16Initial) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = crc16Update(crc, data[i]);
    }
    return crc;
}

}  // namespace talkwire
