// Voice datagrams over UDP.
//
//   0 magic 0xA5 | 1 version | 2 kind | 3 mode | 4 sequence (u16 LE) | 6 sender id (u32 LE)
//   10 frame count | 11 reserved (0) | 12 payload length (u16 LE) | 14 payload
//
// Voice carries 1 to 5 length-prefixed frames, end of talk and heartbeat nothing, the
// talk-start and talk-stop markers the marker id (u32 LE) and the 64-byte marker text.
// The sending side learns its user id from the heartbeat, which is sent before any voice.
#include <atomic>
#include <cstring>

#include "endian.h"
#include "voice_frames.h"

namespace {

using namespace talkwire;

constexpr unsigned char kMagic = 0xA5;
constexpr unsigned char kDatagramVersion = 1;
constexpr std::size_t kHeaderSize = 14;
constexpr std::size_t kMarkerPayloadSize = 4 + TW_MARKER_TEXT_SIZE;

std::atomic<uint32_t> ownUserId{0};
std::atomic<uint16_t> nextSequence{0};

struct Header {
    unsigned kind = 0;
    unsigned mode = 0;
    uint16_t sequence = 0;
    uint32_t sender = 0;
    unsigned frameCount = 0;
    const unsigned char* payload = nullptr;
    std::size_t payloadSize = 0;
};

// Writes a whole datagram; its length, or TW_ERR_SPACE when it does not fit.
int writeDatagram(unsigned char* buf, int cap, const Header& header) {
    if (buf == nullptr || cap < 0) {
        return TW_ERR_ARGUMENT;
    }
    const std::size_t total = kHeaderSize + header.payloadSize;
    if (total > static_cast<std::size_t>(cap)) {
        return TW_ERR_SPACE;
    }
    buf[0] = kMagic;
    buf[1] = kDatagramVersion;
    buf[2] = static_cast<unsigned char>(header.kind);
    buf[3] = static_cast<unsigned char>(header.mode);
    storeU16(buf + 4, header.sequence);
    storeU32(buf + 6, header.sender);
    buf[10] = static_cast<unsigned char>(header.frameCount);
    buf[11] = 0;
    storeU16(buf + 12, static_cast<uint16_t>(header.payloadSize));
    if (header.payloadSize > 0) {
        std::memmove(buf + kHeaderSize, header.payload, header.payloadSize);
    }
    return static_cast<int>(total);
}

// Reads and checks a datagram of any kind: the header, the payload length against the
// datagram, and the payload against what its kind carries.
int readDatagram(const void* datagram, int length, Header& header) {
    if (datagram == nullptr || length < 0) {
        return TW_ERR_ARGUMENT;
    }
    const auto* bytes = static_cast<const unsigned char*>(datagram);
    const auto size = static_cast<std::size_t>(length);
    if (size < kHeaderSize) {
        return TW_ERR_TRUNCATED;
    }
    if (bytes[0] != kMagic || bytes[1] != kDatagramVersion) {
        return TW_ERR_FORMAT;
    }
    header.kind = bytes[2];
    header.mode = bytes[3];
    header.sequence = loadU16(bytes + 4);
    header.sender = loadU32(bytes + 6);
    header.frameCount = bytes[10];
    header.payload = bytes + kHeaderSize;
    header.payloadSize = loadU16(bytes + 12);
    if (header.payloadSize != size - kHeaderSize) {
        return header.payloadSize > size - kHeaderSize ? TW_ERR_TRUNCATED : TW_ERR_TRAILING;
    }
    switch (header.kind) {
        case TW_KIND_VOICE: {
            if (header.payloadSize > kMaxFramesSize || header.frameCount < 1 ||
                header.frameCount > TW_MAX_FRAMES_PER_PACKET) {
                return TW_ERR_RANGE;
            }
            const int frames = countFrames(header.payload, header.payloadSize);
            return frames == static_cast<int>(header.frameCount) ? TW_OK : TW_ERR_FORMAT;
        }
        case TW_KIND_END_OF_TALK:
        case TW_KIND_HEARTBEAT:
            return header.payloadSize == 0 && header.frameCount == 0 ? TW_OK : TW_ERR_FORMAT;
        case TW_KIND_TALK_START:
        case TW_KIND_TALK_STOP:
            return header.payloadSize == kMarkerPayloadSize && header.frameCount == 0 ? TW_OK : TW_ERR_FORMAT;
        default:
            return TW_ERR_FORMAT;
    }
}

bool carriesTalk(const Header& header) {
    return (header.kind == TW_KIND_VOICE || header.kind == TW_KIND_END_OF_TALK) && header.sender != 0;
}

}  // namespace

extern "C" {

int cp_rtp_heartbeat(unsigned char* buf, int cap, uint32_t userId) {
    Header header;
    header.kind = TW_KIND_HEARTBEAT;
    header.sender = userId;
    const int length = writeDatagram(buf, cap, header);
    if (length > 0) {
        ownUserId.store(userId, std::memory_order_relaxed);
    }
    return length;
}

int ptt_fake_voice_send(const char* markerText, uint32_t markerId, unsigned char* buf, int start) {
    unsigned char marker[kMarkerPayloadSize] = {};
    storeU32(marker, markerId);
    if (markerText != nullptr) {
        std::memcpy(marker + 4, markerText, strnlen(markerText, TW_MARKER_TEXT_SIZE));
    }
    Header header;
    header.kind = start != 0 ? TW_KIND_TALK_START : TW_KIND_TALK_STOP;
    header.sender = ownUserId.load(std::memory_order_relaxed);
    header.payload = marker;
    header.payloadSize = sizeof marker;
    return writeDatagram(buf, TW_DATAGRAM_SIZE, header);
}

int ptt_voice_packet_encode(const unsigned char* frames, int length, int count, unsigned char* out, int cap,
                            unsigned char mode) {
    if (frames == nullptr || length < 2 || static_cast<std::size_t>(length) > kMaxFramesSize || count < 1 ||
        count > TW_MAX_FRAMES_PER_PACKET || (mode != 1 && mode != 2) ||
        countFrames(frames, static_cast<std::size_t>(length)) != count) {
        return TW_ERR_ARGUMENT;
    }
    Header header;
    header.kind = TW_KIND_VOICE;
    header.mode = mode;
    header.sender = ownUserId.load(std::memory_order_relaxed);
    header.frameCount = static_cast<unsigned>(count);
    header.payload = frames;
    header.payloadSize = static_cast<std::size_t>(length);
    if (out == nullptr || cap < static_cast<int>(kHeaderSize) + length) {
        return TW_ERR_SPACE;
    }
    header.sequence = nextSequence.fetch_add(1, std::memory_order_relaxed);
    return writeDatagram(out, cap, header);
}

void ptt_clear_send(void) {
    nextSequence.store(0, std::memory_order_relaxed);
    talkwire::resetVoiceEncoders();
}

uint32_t ptt_get_rx_udp_uid(const void* datagram, int length) {
    Header header;
    return readDatagram(datagram, length, header) == TW_OK && carriesTalk(header) ? header.sender : 0;
}

int ptt_process_rx_udp(const void* datagram, int length, _AUDIO_PACKET* packet) {
    if (packet == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Header header;
    int result = readDatagram(datagram, length, header);
    if (result == TW_OK && !carriesTalk(header)) {
        result = TW_ERR_FORMAT;
    }
    if (result != TW_OK) {
        packet->kind = TW_KIND_INVALID;
        packet->payloadLength = 0;
        return result;
    }
    packet->sequence = header.sequence;
    packet->version = kDatagramVersion;
    packet->senderId = header.sender;
    packet->datagramLength = static_cast<uint32_t>(length);
    packet->kind = header.kind;
    packet->frameCount = header.frameCount;
    packet->mode = static_cast<uint8_t>(header.mode);
    packet->payloadLength = 0;
    if (header.kind == TW_KIND_VOICE) {
        storeU32(packet->payload, header.sender);
        storeU16(packet->payload + 4, header.sequence);
        std::memcpy(packet->payload + TW_STREAM_HEADER_SIZE, header.payload, header.payloadSize);
        packet->payloadLength = static_cast<uint32_t>(TW_STREAM_HEADER_SIZE + header.payloadSize);
    }
    return TW_OK;
}

int srv_parse_datagram(const void* datagram, int length, tw_datagram_info* info) {
    if (info == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    *info = tw_datagram_info{};
    Header header;
    const int result = readDatagram(datagram, length, header);
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
    Header header;
    const int result = readDatagram(datagram, length, header);
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
    Header header;
    header.kind = TW_KIND_END_OF_TALK;
    header.sender = senderId;
    header.sequence = sequence;
    return writeDatagram(buf, cap, header);
}

}  // extern "C"
