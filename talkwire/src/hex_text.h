// Bytes as lowercase hex digits in the texts talkwire writes (login proofs, keys, records,
// shares), and read back exactly.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace talkwire {

// Writes 2 × bytes.size() digits and a NUL at `out`, and moves `out` to that NUL.
inline void writeHex(char*& out, std::span<const uint8_t> bytes) {
    sodium_bin2hex(out, 2 * bytes.size() + 1, bytes.data(), bytes.size());
    out += 2 * bytes.size();
}

// Exactly 2 × out.size() hex digits, nothing else.
inline bool readHex(std::string_view text, std::span<uint8_t> out) {
    if (text.size() != 2 * out.size()) return false;
    std::size_t written = 0;
    const char* end = nullptr;
    return sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &written, &end) == 0 &&
           written == out.size() && end == text.data() + text.size();
}

}  // namespace talkwire
