#include "signalling/voice_talk.h"

// Every received byte goes through the frame decoder exactly once; each completed frame is
// copied out, decoded and handed to the handler of its command id. The reassembly buffer
// is locked only while bytes go into it: a handler may take other locks (or a host callback
// may log out, which releases the buffer), so none runs under it. Dispatch stops as soon as
// the connection is no longer the service's own.
int CVoiceTalk::onVoiceCtrlDataCallback(harbor::ITcpSocket*, int length, const void* data) {
    if (length <= 0) {
        onConnectionBroken(length);
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    harbor::ITcpSocket* const connection = tcpSocket;
    int handled = 0;
    std::vector<unsigned char> completed;
    std::unique_lock lock(receiveLock);
    for (int i = 0; i < length; ++i) {
        // Released at logout, or the socket dropped by a handler (a redirect, a stale
        // answer): the rest of the chunk belongs to a connection that is gone.
        if (recvBuffer.empty() || tcpSocket.load() != connection) break;
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(recvBuffer.data(), recvCapacity, bytes[i], &frame);
        if (frame == nullptr) continue;
        handled = i;
        const uint32_t size = static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2;
        if (size > recvCapacity) continue;
        completed.assign(frame, frame + size);
        lock.unlock();
        tw_packet packet{};
        const int decoded = packet_decode(completed.data(), size, &packet);
        if (decoded == TW_ERR_SEALED) {
            harbor::logError("CVoiceTalk::onVoiceCtrlDataCallback",
                             "a message did not open (altered, injected or out of order): connection ends.");
            onConnectionBroken(decoded);
            return handled;
        }
        if (decoded > 0) {
            const uint16_t command = packet.header[0];
            const auto found = commandHandlers.find(command);
            if (found == commandHandlers.end()) {
                harbor::logWarning("CVoiceTalk::onVoiceCtrlDataCallback", "command:[%x] not handle funtion.", command);
            } else {
                (this->*found->second)(packet);
            }
        }
        lock.lock();
    }
    return handled;
}
