#include "datagram_format.h"

#include <cstring>

#include "endian.h"
#include "voice_frames.h"

namespace talkwire::datagrams {

namespace {
constexpr unsigned char kMagic = 0xA5;
constexpr std::size_t kHeaderSize = 14;
}  // namespace

int write(unsigned char* buf, int cap, const Header& header) {
    if (buf == nullptr || cap < 0) {
        return TW_ERR_ARGUMENT;
    }
    const std::size_t total = kHeaderSize + header.payloadSize;
    if (total > static_cast<std::size_t>(cap)) {
        return TW_ERR_SPACE;
    }
    buf[0] = kMagic;
    buf[1] = kVersion;
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

int read(const void* datagram, int length, Header& header) {
    if (datagram == nullptr || length < 0) {
        return TW_ERR_ARGUMENT;
    }
    const auto* bytes = static_cast<const unsigned char*>(datagram);
    const auto size = static_cast<std::size_t>(length);
    if (size < kHeaderSize) {
        return TW_ERR_TRUNCATED;
    }
    if (bytes[0] != kMagic || bytes[1] != kVersion) {
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

int heartbeat(unsigned char* buf, int cap, uint32_t userId) {
    Header header;
    header.kind = TW_KIND_HEARTBEAT;
    header.sender = userId;
    return write(buf, cap, header);
}

int marker(const char* markerText, uint32_t markerId, uint32_t sender, bool start, unsigned char* buf, int cap) {
    unsigned char payload[kMarkerPayloadSize] = {};
    storeU32(payload, markerId);
    if (markerText != nullptr) {
        std::memcpy(payload + 4, markerText, strnlen(markerText, TW_MARKER_TEXT_SIZE));
    }
    Header header;
    header.kind = start ? TW_KIND_TALK_START : TW_KIND_TALK_STOP;
    header.sender = sender;
    header.payload = payload;
    header.payloadSize = sizeof payload;
    return write(buf, cap, header);
}

int voice(const unsigned char* frames, int length, int count, unsigned char mode, uint32_t sender, uint16_t sequence,
          unsigned char* out, int cap) {
    if (frames == nullptr || length < 2 || static_cast<std::size_t>(length) > kMaxFramesSize || count < 1 ||
        count > TW_MAX_FRAMES_PER_PACKET || (mode != 1 && mode != 2) ||
        countFrames(frames, static_cast<std::size_t>(length)) != count) {
        return TW_ERR_ARGUMENT;
    }
    if (out == nullptr || cap < static_cast<int>(kHeaderSize) + length) {
        return TW_ERR_SPACE;
    }
    Header header;
    header.kind = TW_KIND_VOICE;
    header.mode = mode;
    header.sender = sender;
    header.sequence = sequence;
    header.frameCount = static_cast<unsigned>(count);
    header.payload = frames;
    header.payloadSize = static_cast<std::size_t>(length);
    return write(out, cap, header);
}

uint32_t talkSender(const void* datagram, int length) {
    Header header;
    return read(datagram, length, header) == TW_OK && carriesTalk(header) ? header.sender : 0;
}

int readTalk(const void* datagram, int length, _AUDIO_PACKET* packet) {
    if (packet == nullptr) {
        return TW_ERR_ARGUMENT;
    }
    Header header;
    int result = read(datagram, length, header);
    if (result == TW_OK && !carriesTalk(header)) {
        result = TW_ERR_FORMAT;
    }
    if (result != TW_OK) {
        packet->kind = TW_KIND_INVALID;
        packet->payloadLength = 0;
        return result;
    }
    packet->sequence = header.sequence;
    packet->version = kVersion;
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

}  // namespace talkwire::datagrams
