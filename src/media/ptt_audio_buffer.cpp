#include "media/ptt_audio_buffer.h"

#include "outside/harbor.h"

namespace {

constexpr unsigned int kFrameMs = 20;

}  // namespace

void CPttAudioBuffer::pushPacket(std::shared_ptr<_AUDIO_PACKET> packet) {
    if (!packet) return;
    std::lock_guard guard(lock);
    if (packet->kind != TW_KIND_VOICE) {
        if (packet->kind == TW_KIND_END_OF_TALK) talkEnded = true;
        return;
    }
    // Played now it would be heard out of order: after the audio that follows it.
    if (lastDecoded && !isAfter(packet->sequence, *lastDecoded)) return;
    // Late packets are rare: the search starts from the newest end.
    auto place = packets.end();
    while (place != packets.begin() && isAfter(std::prev(place)->get()->sequence, packet->sequence)) --place;
    // A datagram the network delivered twice would be heard and recorded twice.
    if (place != packets.begin() && std::prev(place)->get()->sequence == packet->sequence) return;
    framesPerPacket = packet->frameCount;
    queuedFrames += packet->frameCount;
    packets.insert(place, std::move(packet));
    dropOldestBeyondLimit();
}

// A speaker whose packets are not played (a stalled play thread, a flood) keeps only the
// newest 5 s; the episode is told once and lasts until the list is back under half.
void CPttAudioBuffer::dropOldestBeyondLimit() {
    bool dropped = false;
    while (queuedFrames > kLimitFrames && packets.size() > 1) {
        queuedFrames -= packets.front()->frameCount;
        packets.pop_front();
        dropped = true;
    }
    if (dropped && !overflowing) {
        harbor::logWarning("CPttAudioBuffer::pushPacket",
                           "user id:[%u] receive buffer full:[%u] ms, dropping the oldest audio.", userId,
                           kLimitFrames * kFrameMs);
    }
    overflowing = overflowing ? queuedFrames >= kLimitFrames / 2 : dropped;
}

// A talk that goes on again is a new turn: the talker may have logged in again since its
// last one and number its packets from a new start, which the last number played would
// otherwise hold back as too late.
void CPttAudioBuffer::setTalkEnd(bool ended) {
    std::lock_guard guard(lock);
    talkEnded = ended;
    if (!ended) lastDecoded.reset();
}

bool CPttAudioBuffer::isPlayFinish() {
    std::lock_guard guard(lock);
    return talkEnded && packets.empty();
}

bool CPttAudioBuffer::canDecode(bool streamShort) {
    std::lock_guard guard(lock);
    if (!streamShort || packets.empty()) return false;
    if (talkEnded) return true;
    const auto queued = static_cast<unsigned int>(packets.size());
    if (queued * framesPerPacket * kFrameMs >= kReserveMs) return true;
    // The turn's first packet is played only by the reserve's rule, so a packet played in
    // this turn means its reserve was gathered. Only audio that follows what was played
    // goes early: a gap at the front may be a packet still on its way, which the reserve is
    // there to wait for.
    return followsLastDecoded(packets.front()->sequence);
}

bool CPttAudioBuffer::followsLastDecoded(uint16_t sequence) const {
    return lastDecoded && (sequence == *lastDecoded || sequence == static_cast<uint16_t>(*lastDecoded + 1));
}

int CPttAudioBuffer::decode(unsigned char* out, unsigned int outSize, bool streamShort) {
    if (out == nullptr || outSize == 0) return 0;
    std::shared_ptr<_AUDIO_PACKET> packet;
    {
        std::lock_guard guard(lock);
        if (!canDecode(streamShort)) return 0;
        packet = std::move(packets.front());
        packets.pop_front();
        queuedFrames -= packet->frameCount;
        lastDecoded = packet->sequence;
    }
    const int decoded = ptt_voice_decode(packet->payload, static_cast<int>(packet->payloadLength), out,
                                         static_cast<int>(outSize), packet->mode);
    // The recorder gets the PCM before any play volume.
    if (decoded >= 1 && pcmBatch) feedRecorder(out, static_cast<unsigned int>(decoded));
    return decoded;
}
