// One speaker's receive buffer: voice packets in sequence order, a 600 ms reserve held back
// while the speaker talks, and one decoded packet at a time for the play thread.
#pragma once

#include <list>
#include <memory>
#include <mutex>

#include "outside/talkwire.h"

class CPttAudioBuffer {
public:
    // The jitter reserve kept while the speaker talks.
    static constexpr unsigned int kReserveMs = 600;
    // At most 5 s of audio waits; beyond it the oldest packets go.
    static constexpr unsigned int kLimitFrames = 5000 / 20;

    void setUserId(unsigned int id) { userId = id; }
    unsigned int getUserId() const { return userId; }

    // Queues a voice packet in sequence order; an end-of-talk packet ends the talk; any
    // other kind is ignored.
    void pushPacket(std::shared_ptr<_AUDIO_PACKET> packet);
    void setTalkEnd(bool ended);
    // The talk has ended and every packet has been decoded.
    bool isPlayFinish();
    // While the talk goes on: the reserve is queued; once it has ended: any packet is.
    bool canDecode();
    // Decodes the oldest packet into `out`: the PCM bytes (16-bit mono 8000 Hz), 0 or less
    // when nothing was decoded.
    int decode(unsigned char* out, unsigned int outSize);

    // Whether sequence number `a` comes after `b`: serial-number order, which survives the
    // wrap from 65535 to 0 (and equals the plain order while they are less than 32768 apart).
    static bool isAfter(uint16_t a, uint16_t b) { return static_cast<int16_t>(static_cast<uint16_t>(a - b)) > 0; }

private:
    void dropOldestBeyondLimit();

    unsigned int userId = 0;
    std::list<std::shared_ptr<_AUDIO_PACKET>> packets;
    std::recursive_mutex lock;
    bool talkEnded = false;
    unsigned int framesPerPacket = 0;
    // Frames of the queued packets, to keep the list within its limit.
    unsigned int queuedFrames = 0;
    // Set while packets are dropped for the limit; one log line tells of each episode.
    bool overflowing = false;
};
