// The datagram functions of the C API: the plain layout (datagram_format.h) with what a
// sending client keeps (its user id, learnt from the heartbeat, which is sent before any
// voice, and the voice's sequence) and, once this process has logged in, its connection:
// each datagram goes sealed and only sealed ones are read (client_connection.h).
#include <atomic>
#include <cstring>

#include "client_connection.h"
#include "datagram_format.h"
#include "endian.h"
#include "voice_frames.h"

namespace {

using namespace talkwire;

std::atomic<uint32_t> ownUserId{0};
std::atomic<uint16_t> nextSequence{0};

}  // namespace

extern "C" {

int cp_rtp_heartbeat(unsigned char* buf, int cap, uint32_t userId) {
    const int length = datagrams::heartbeat(buf, cap, userId);
    if (length > 0) {
        ownUserId.store(userId, std::memory_order_relaxed);
    }
    return client::sealDatagram(buf, length, cap);
}

int ptt_fake_voice_send(const char* markerText, uint32_t markerId, unsigned char* buf, int start) {
    const int length = datagrams::marker(markerText, markerId, ownUserId.load(std::memory_order_relaxed), start != 0,
                                         buf, TW_DATAGRAM_SIZE);
    return client::sealDatagram(buf, length, TW_DATAGRAM_SIZE);
}

int ptt_voice_packet_encode(const unsigned char* frames, int length, int count, unsigned char* out, int cap,
                            unsigned char mode) {
    // The sequence moves on only for a datagram that is made.
    uint16_t sequence = nextSequence.load(std::memory_order_relaxed);
    const int made =
        datagrams::voice(frames, length, count, mode, ownUserId.load(std::memory_order_relaxed), sequence, out, cap);
    if (made > 0) nextSequence.compare_exchange_strong(sequence, static_cast<uint16_t>(sequence + 1));
    return client::sealDatagram(out, made, cap);
}

void ptt_clear_send(void) {
    nextSequence.store(0, std::memory_order_relaxed);
    talkwire::resetVoiceEncoders();
}

uint32_t ptt_get_rx_udp_uid(const void* datagram, int length) {
    unsigned char opened[TW_DATAGRAM_SIZE];
    const auto plain = client::openDatagram(datagram, length, opened, ProtectedLink::Opening::kLook);
    return plain ? datagrams::talkSender(plain->data(), static_cast<int>(plain->size())) : 0;
}

int ptt_process_rx_udp(const void* datagram, int length, _AUDIO_PACKET* packet) {
    if (packet == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    unsigned char opened[TW_DATAGRAM_SIZE];
    const auto plain = client::openDatagram(datagram, length, opened, ProtectedLink::Opening::kTake);
    if (!plain) {
        packet->kind = TW_KIND_INVALID;
        packet->payloadLength = 0;
        return TW_ERR_SEALED;
    }
    return datagrams::readTalk(plain->data(), static_cast<int>(plain->size()), packet);
}

int srv_parse_datagram(const void* datagram, int length, tw_datagram_info* info) {
    if (info == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *info = tw_datagram_info{};
    datagrams::Header header;
    const int result = datagrams::read(datagram, length, header);
    if (result != TW_OK) {
        return result;
    }
    info->kind = header.kind;
    info->senderId = header.sender;
    info->sequence = header.sequence;
    info->frameCount = header.frameCount;
    if (header.kind == TW_KIND_TALK_START || header.kind == TW_KIND_TALK_STOP) {
        info->markerId = loadU32(header.payload);
        std::memcpy(info->markerText, header.payload + 4, TW_MARKER_TEXT_SIZE);
    }
    return TW_OK;
}

int srv_stamp_sender(unsigned char* datagram, int length, uint32_t senderId) {
    datagrams::Header header;
    const int result = datagrams::read(datagram, length, header);
    if (result != TW_OK) {
        return result;
    }
    if (header.kind != TW_KIND_VOICE && header.kind != TW_KIND_END_OF_TALK) {
        return TW_ERR_FORMAT;
    }
    storeU32(datagram + 6, senderId);
    return TW_OK;
}

int srv_build_end_of_talk(unsigned char* buf, int cap, uint32_t senderId, uint16_t sequence) {
    datagrams::Header header;
    header.kind = TW_KIND_END_OF_TALK;
    header.sender = senderId;
    header.sequence = sequence;
    return datagrams::write(buf, cap, header);
}

}  // extern "C"
