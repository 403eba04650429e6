#include "signalling/voice_talk.h"

// Every received byte goes through the frame decoder exactly once; each completed frame is
// decoded and handed to the handler of its command id.
int CVoiceTalk::onVoiceCtrlDataCallback(harbor::ITcpSocket*, int length, const void* data) {
    if (length <= 0) {
        onConnectionBroken(length);
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    int handled = 0;
    std::lock_guard lock(receiveLock);
    for (int i = 0; i < length; ++i) {
        // A host callback run by a handler may have logged out: the rest is dropped.
        if (recvBuffer.empty()) break;
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(recvBuffer.data(), recvCapacity, bytes[i], &frame);
        if (frame == nullptr) continue;
        handled = i;
        tw_packet packet{};
        const uint32_t size = static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2;
        if (packet_decode(recvBuffer.data(), size, &packet) <= 0) continue;
        const uint16_t command = packet.header[0];
        const auto found = commandHandlers.find(command);
        if (found == commandHandlers.end()) {
            harbor::logWarning("CVoiceTalk::onVoiceCtrlDataCallback", "command:[%x] not handle funtion.", command);
            continue;
        }
        (this->*found->second)(packet);
    }
    return handled;
}
