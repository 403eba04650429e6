// The framing functions of the C API: the stream's framing (framing.cpp) with this process's
// connection sealing and opening what it carries.
#include "client_connection.h"
#include "framing.h"

extern "C" {

uint16_t encode_tcp_packet_hdlc(const void* message, uint16_t length, unsigned char* out, uint16_t cap) {
    return talkwire::client::frame(message, length, out, cap);
}

void decode_tcp_packet_hdlc(unsigned char* buffer, uint32_t capacity, unsigned char byte, unsigned char** frame) {
    talkwire::framing::decode(buffer, capacity, byte, frame);
}

int packet_decode(unsigned char* buffer, uint32_t size, tw_packet* record) {
    if (record == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *record = tw_packet{};
    std::span<unsigned char> message;
    const int framed = talkwire::framing::unframe(buffer, size, message);
    return framed == TW_OK ? talkwire::client::readMessage(message, record) : framed;
}

}  // extern "C"
