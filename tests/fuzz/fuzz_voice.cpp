// Hostile voice traffic: datagrams through the receive path into the decoder, the server's
// datagram reader and relay stamp, and raw bytes handed to the decoder as a payload.
#include <talkwire.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int length = static_cast<int>(size);
    std::vector<unsigned char> pcm(10240);

    const uint32_t sender = ptt_get_rx_udp_uid(data, length);
    _AUDIO_PACKET packet;
    std::memset(&packet, 0, sizeof packet);
    const int processed = ptt_process_rx_udp(data, length, &packet);
    if ((processed == TW_OK) != (sender != 0) || packet.payloadLength > TW_AUDIO_PAYLOAD_SIZE) {
        std::abort();
    }
    if (processed == TW_OK && packet.kind == TW_KIND_VOICE) {
        const int bytes = ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength), pcm.data(),
                                           static_cast<int>(pcm.size()), packet.mode);
        if (bytes > static_cast<int>(pcm.size())) {
            std::abort();
        }
    }

    tw_datagram_info info;
    srv_parse_datagram(data, length, &info);
    std::vector<unsigned char> copy(data, data + size);
    srv_stamp_sender(copy.data(), length, 7);

    // The raw input as a payload, with an output size taken from the input.
    if (size > 0) {
        const int capacity = (data[0] % 33) * 320;
        std::vector<unsigned char> out(static_cast<std::size_t>(capacity));
        if (ptt_voice_decode(data, length, out.data(), capacity, 1) > capacity) {
            std::abort();
        }
    }
    return 0;
}
