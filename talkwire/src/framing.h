// The control stream's framing, apart from any connection's protection: what the server,
// test peers and the library's own framing functions share. A sealed message is framed as
// any other; opening it is the caller's part, between unframe and readMessage.
#pragma once

#include <cstdint>
#include <span>

#include "talkwire.h"

namespace talkwire::framing {

// Two flags, the length field and the CRC.
inline constexpr uint32_t kOverhead = 6;

// Frames one message; the framed length, 0 when it does not fit in cap.
uint16_t frame(const void* message, uint16_t length, unsigned char* out, uint16_t cap);
// Feeds one received byte (as decode_tcp_packet_hdlc).
void decode(unsigned char* buffer, uint32_t capacity, unsigned char byte, unsigned char** frame);
// Checks a completed frame of `size` bytes and sets `message` to the bytes it carries,
// inside the buffer: TW_OK or a TW_ERR_* code.
int unframe(unsigned char* buffer, uint32_t size, std::span<unsigned char>& message);
// Points the record at a plain message (command id, version, body): its length, or a
// TW_ERR_* code for one too short or of another protocol version.
int readMessage(std::span<const unsigned char> message, tw_packet* record);

}  // namespace talkwire::framing
