// One speaker's receive buffer: voice packets in sequence order, a 600 ms reserve gathered
// before a turn plays, and one decoded packet at a time for the play thread, taken only as
// the speaker's playback is about to run dry. The reserve is what bridges a late packet, and
// the packets waiting here are what keeps a burst after a stall whole. When its
// group is recorded, the buffer also writes what it decodes to an MP3 file of its own.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "outside/talkwire.h"

struct lame_global_struct;

class CPttAudioBuffer {
public:
    using RecordFinishHandler =
        std::function<void(unsigned int userId, unsigned long long durationMs, const std::string& filePath)>;
    // The jitter reserve kept while the speaker talks.
    static constexpr unsigned int kReserveMs = 600;
    // At most 5 s of audio waits; beyond it the oldest packets go.
    static constexpr unsigned int kLimitFrames = 5000 / 20;
    // Decoded PCM is encoded 400 ms at a time, into a block above the encoder's worst case.
    static constexpr unsigned int kPcmBatchSize = 6400;
    static constexpr unsigned int kMp3BlockSize = 15200;

    CPttAudioBuffer() = default;
    // Ends the recording.
    ~CPttAudioBuffer();
    CPttAudioBuffer(const CPttAudioBuffer&) = delete;
    CPttAudioBuffer& operator=(const CPttAudioBuffer&) = delete;

    void setUserId(unsigned int id) { userId = id; }
    unsigned int getUserId() const { return userId; }

    // Queues a voice packet in sequence order; one that comes after a later or equal packet
    // was already played is too late and goes, and so does a second copy of one queued. An
    // end-of-talk packet ends the talk; any other kind is ignored.
    void pushPacket(std::shared_ptr<_AUDIO_PACKET> packet);
    // Ends the talk, or (false) begins a new turn, whose sequence numbers count afresh.
    void setTalkEnd(bool ended);
    // The talk has ended and every packet has been decoded.
    bool isPlayFinish();
    // Only while the speaker's stream is short of the device's next callback (`streamShort`),
    // so that what waits stays here as packets (bounded at 5 s) rather than in the stream
    // (bounded at 2 s): once the talk has ended, any packet; while it goes on, the reserve
    // is queued, or the oldest packet follows (or repeats) the one played last.
    bool canDecode(bool streamShort);
    // Decodes the oldest packet into `out`: the PCM bytes (16-bit mono 8000 Hz), 0 or less
    // when nothing was decoded.
    int decode(unsigned char* out, unsigned int outSize, bool streamShort);

    // The recording folder; a path separator is added when missing.
    void setRecordPath(const std::string& directory);
    // Told once, when a recording that began ends, after its file is complete and closed.
    void setRecordFinishCallback(RecordFinishHandler handler);
    // Opens the MP3 encoder and a file of its own, "<user id>_<local time>.mp3" (with "_1",
    // "_2", ... when a file of that name exists); logs and records nothing on a failure.
    void startRecord();
    // Encodes the PCM batch into the file.
    void encodeMp3();
    // Encodes what is left, completes and closes the file, then tells the finish handler.
    void stopRecord();

    // Whether sequence number `a` comes after `b`: serial-number order, which survives the
    // wrap from 65535 to 0 (and equals the plain order while they are less than 32768 apart).
    static bool isAfter(uint16_t a, uint16_t b) { return static_cast<int16_t>(static_cast<uint16_t>(a - b)) > 0; }

private:
    void dropOldestBeyondLimit();
    // A packet of this turn was played and `sequence` follows (or repeats) it.
    bool followsLastDecoded(uint16_t sequence) const;
    // Hands decoded PCM to the encoder in whole batches, keeping the remainder.
    void feedRecorder(const unsigned char* pcm, unsigned int length);
    std::FILE* createRecordFile(const std::string& stem);
    // Writes the first `bytes` of the MP3 block; a failure abandons the recording.
    void writeMp3(int bytes);
    // Logs the failed step with the path and errno, closes and removes the partial file;
    // no notice follows.
    void abandonRecord(const char* step);

    unsigned int userId = 0;
    std::list<std::shared_ptr<_AUDIO_PACKET>> packets;
    std::recursive_mutex lock;
    bool talkEnded = false;
    unsigned int framesPerPacket = 0;
    // The sequence number of the packet decoded last, once one was.
    std::optional<uint16_t> lastDecoded;
    // Frames of the queued packets, to keep the list within its limit.
    unsigned int queuedFrames = 0;
    // Set while packets are dropped for the limit; one log line tells of each episode.
    bool overflowing = false;

    // The recording: made by the thread that creates the buffer, fed by the play thread,
    // ended by whichever thread lets the buffer go.
    std::string recordDirectory;
    RecordFinishHandler finishHandler;
    std::string recordFilePath;
    lame_global_struct* encoder = nullptr;
    std::FILE* file = nullptr;
    std::unique_ptr<int16_t[]> pcmBatch;
    unsigned int pcmBatchLength = 0;  // bytes
    std::unique_ptr<unsigned char[]> mp3Block;
    std::chrono::steady_clock::time_point startTime;
    unsigned long long duration = 0;
};
