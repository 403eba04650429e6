// HDLC-style framing of control messages over the TCP stream.
//
// Unstuffed frame: flag 0x7E | length L (u16 LE) | message | CRC-16 (u16 LE) | flag 0x7E,
// where L counts the bytes between the two flags (2 + message + 2), so a whole frame is
// L + 2 bytes and the CRC covers the length field and the message. On the wire every 0x7E
// or 0x7D between the flags is sent as 0x7D followed by the byte XOR 0x20.
//
// The decoder keeps the unstuffed frame at the start of the caller's buffer and its own
// state in the buffer's last kStateSize bytes, so it needs no allocation and survives
// between chunks. A zero-filled buffer is a decoder hunting for a flag.
#include "framing.h"

#include <cstring>

#include "crc16.h"
#include "endian.h"
#include "messages.h"

namespace {

using namespace talkwire;

constexpr unsigned char kFlag = 0x7E;
constexpr unsigned char kEscape = 0x7D;
constexpr unsigned char kEscapeXor = 0x20;
constexpr uint32_t kStateSize = 8;
constexpr uint32_t kMinLengthField = 4 + kMessageHeaderSize;

// Decoder state: bytes of the frame stored so far (0: hunting for a flag) and whether the
// previous byte was an escape.
struct DecoderState {
    uint32_t fill;
    uint8_t escaped;
};

DecoderState loadState(const unsigned char* buffer, uint32_t usable) {
    DecoderState state{};
    std::memcpy(&state.fill, buffer + usable, sizeof state.fill);
    state.escaped = buffer[usable + 4];
    if (state.fill > usable || state.escaped > 1) {
        state = DecoderState{};
    }
    return state;
}

void storeState(unsigned char* buffer, uint32_t usable, const DecoderState& state) {
    std::memcpy(buffer + usable, &state.fill, sizeof state.fill);
    buffer[usable + 4] = state.escaped;
}

bool crcMatches(const unsigned char* frame, uint32_t lengthField) {
    return crc16(frame + 1, lengthField - 2) == loadU16(frame + lengthField - 1);
}

// Writes one byte, stuffed when needed; false when it does not fit.
bool putStuffed(unsigned char* out, uint32_t cap, uint32_t& position, unsigned char byte) {
    if (byte == kFlag || byte == kEscape) {
        if (cap - position < 2) {
            return false;
        }
        out[position++] = kEscape;
        out[position++] = static_cast<unsigned char>(byte ^ kEscapeXor);
        return true;
    }
    if (cap - position < 1) {
        return false;
    }
    out[position++] = byte;
    return true;
}

// Advances the decoder by one byte; returns true when the byte completed a valid frame.
bool advance(unsigned char* buffer, uint32_t usable, DecoderState& state, unsigned char byte) {
    if (byte == kFlag) {
        const bool closing = state.fill >= 3 && state.escaped == 0 && state.fill == loadU16(buffer + 1) + 1u;
        if (closing && crcMatches(buffer, state.fill - 1)) {
            buffer[state.fill] = kFlag;
            // The closing flag may also open the next frame; buffer[0] already holds a flag.
            state = DecoderState{1, 0};
            return true;
        }
        // A flag anywhere else (or after a bad CRC) starts a new frame.
        buffer[0] = kFlag;
        state = DecoderState{1, 0};
        return false;
    }
    if (state.fill == 0) {
        return false;
    }
    if (byte == kEscape) {
        // Two escapes in a row never come from a stuffer: drop the frame.
        state = state.escaped == 0 ? DecoderState{state.fill, 1} : DecoderState{};
        return false;
    }
    if (state.escaped != 0) {
        byte = static_cast<unsigned char>(byte ^ kEscapeXor);
        state.escaped = 0;
    }
    if (state.fill >= 3 && state.fill == loadU16(buffer + 1) + 1u) {
        state = DecoderState{};  // data where the closing flag belongs: overlong frame
        return false;
    }
    buffer[state.fill++] = byte;
    if (state.fill == 3) {
        const uint32_t lengthField = loadU16(buffer + 1);
        if (lengthField < kMinLengthField || lengthField + 2 > usable) {
            state = DecoderState{};
        }
    }
    return false;
}

}  // namespace

namespace talkwire::framing {

uint16_t frame(const void* message, uint16_t length, unsigned char* out, uint16_t cap) {
    if (message == nullptr || out == nullptr || length < kMessageHeaderSize || length > 0xFFFF - kOverhead) {
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(message);
    const auto lengthField = static_cast<uint16_t>(length + 4);
    const unsigned char lengthBytes[2] = {static_cast<unsigned char>(lengthField),
                                          static_cast<unsigned char>(lengthField >> 8)};
    const uint16_t crc = crc16(bytes, length, crc16(lengthBytes, 2));
    const unsigned char crcBytes[2] = {static_cast<unsigned char>(crc), static_cast<unsigned char>(crc >> 8)};

    uint32_t position = 0;
    if (cap < kOverhead + length) {
        return 0;
    }
    out[position++] = kFlag;
    bool fits = putStuffed(out, cap, position, lengthBytes[0]) && putStuffed(out, cap, position, lengthBytes[1]);
    for (uint32_t i = 0; fits && i < length; ++i) {
        fits = putStuffed(out, cap, position, bytes[i]);
    }
    fits = fits && putStuffed(out, cap, position, crcBytes[0]) && putStuffed(out, cap, position, crcBytes[1]);
    if (!fits || cap - position < 1) {
        return 0;
    }
    out[position++] = kFlag;
    return static_cast<uint16_t>(position);
}

void decode(unsigned char* buffer, uint32_t capacity, unsigned char byte, unsigned char** frame) {
    if (frame != nullptr) {
        *frame = nullptr;
    }
    if (buffer == nullptr || capacity < kStateSize + kOverhead + kMessageHeaderSize) {
        return;
    }
    const uint32_t usable = capacity - kStateSize;
    DecoderState state = loadState(buffer, usable);
    const bool completed = advance(buffer, usable, state, byte);
    storeState(buffer, usable, state);
    if (completed && frame != nullptr) {
        *frame = buffer;
    }
}

int unframe(unsigned char* buffer, uint32_t size, std::span<unsigned char>& message) {
    message = {};
    if (buffer == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    if (size < kOverhead + kMessageHeaderSize) {
        return TW_ERR_TRUNCATED;
    }
    const uint32_t lengthField = loadU16(buffer + 1);
    if (buffer[0] != kFlag || lengthField + 2 != size || buffer[size - 1] != kFlag) {
        return TW_ERR_FORMAT;
    }
    if (!crcMatches(buffer, lengthField)) {
        return TW_ERR_FORMAT;
    }
    message = {buffer + 3, lengthField - 4};
    return TW_OK;
}

int readMessage(std::span<const unsigned char> message, tw_packet* record) {
    if (record == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *record = tw_packet{};
    if (message.size() < kMessageHeaderSize) {
        return TW_ERR_TRUNCATED;
    }
    if (message[1] != kProtocolVersion) {
        return TW_ERR_FORMAT;
    }
    record->header = message.data();
    record->headerLength = kMessageHeaderSize;
    record->body = message.data() + kMessageHeaderSize;
    record->bodyLength = static_cast<uint32_t>(message.size()) - kMessageHeaderSize;
    return static_cast<int>(message.size());
}

}  // namespace talkwire::framing
