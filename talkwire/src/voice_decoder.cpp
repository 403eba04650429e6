// The receiving side of the voice codec.
//
// Opus decodes best when one decoder follows a talker from packet to packet, but a payload
// comes without a speaker handle. ptt_process_rx_udp therefore puts a stream header
// (sender id, sequence) in front of the frames, and this file keeps a small table of
// decoder states keyed by sender: a packet that follows the sender's previous one continues
// its state, a short gap of lost packets is filled with Opus's loss concealment, and
// anything else starts from a reset state. The least recently used state makes room for a
// new sender.
#include <opus/opus.h>

#include <array>
#include <cstring>
#include <mutex>

#include "endian.h"
#include "voice_frames.h"

namespace {

using namespace talkwire;

constexpr int kSampleRate = 8000;
constexpr std::size_t kSenderSlots = 64;
constexpr uint16_t kMaxConcealedPackets = 5;

struct Stream {
    uint32_t sender = 0;
    uint16_t lastSequence = 0;
    uint64_t lastUse = 0;
    OpusDecoder* decoder = nullptr;
};

// Writes decoded 20 ms blocks into the caller's buffer while room is left, and decodes the
// rest into scratch so that the decoder state still advances.
class PcmSink {
public:
    PcmSink(unsigned char* out, int cap) : out_(out), cap_(static_cast<std::size_t>(cap)) {}

    std::size_t room() const { return (cap_ - written_) / TW_FRAME_BYTES; }

    void frame(const std::array<opus_int16, TW_FRAME_SAMPLES>& samples) {
        if (room() == 0) {
            return;
        }
        std::memcpy(out_ + written_, samples.data(), TW_FRAME_BYTES);
        written_ += TW_FRAME_BYTES;
    }

    int written() const { return static_cast<int>(written_); }

private:
    unsigned char* out_;
    std::size_t cap_;
    std::size_t written_ = 0;
};

class DecoderTable {
public:
    int decode(uint32_t sender, uint16_t sequence, const unsigned char* frames, std::size_t size, int frameCount,
               unsigned char* out, int cap) {
        const std::lock_guard lock(mutex_);
        Stream* stream = streamFor(sender, sequence);
        if (stream == nullptr) {
            return TW_ERR_MEMORY;
        }
        PcmSink sink(out, cap);
        // The frames of this packet come before any concealment in the caller's buffer.
        const auto reserved = static_cast<std::size_t>(frameCount);
        std::array<opus_int16, TW_FRAME_SAMPLES> samples{};
        const uint16_t lost = lostPackets(*stream, sequence);
        for (std::size_t i = 0; i < static_cast<std::size_t>(lost) * reserved; ++i) {
            if (opus_decode(stream->decoder, nullptr, 0, samples.data(), TW_FRAME_SAMPLES, 0) == TW_FRAME_SAMPLES &&
                sink.room() > reserved) {
                sink.frame(samples);
            }
        }
        int decoded = 0;
        std::size_t position = 0;
        while (position < size) {
            const std::size_t frameSize = frames[position];
            const int result = opus_decode(stream->decoder, frames + position + 1, static_cast<opus_int32>(frameSize),
                                           samples.data(), TW_FRAME_SAMPLES, 0);
            position += 1 + frameSize;
            if (result == TW_FRAME_SAMPLES) {
                ++decoded;
            } else if (opus_decode(stream->decoder, nullptr, 0, samples.data(), TW_FRAME_SAMPLES, 0) !=
                       TW_FRAME_SAMPLES) {
                samples.fill(0);
            }
            sink.frame(samples);
        }
        stream->lastSequence = sequence;
        if (decoded == 0) {
            // Nothing in the packet was Opus: the state is not to be trusted any more.
            opus_decoder_ctl(stream->decoder, OPUS_RESET_STATE);
            return TW_ERR_CODEC;
        }
        return sink.written() > 0 ? sink.written() : TW_ERR_SPACE;
    }

private:
    // The sender's stream, or a fresh (reset) one in the least recently used slot.
    Stream* streamFor(uint32_t sender, uint16_t sequence) {
        ++clock_;
        Stream* oldest = &streams_[0];
        for (Stream& stream : streams_) {
            if (stream.decoder != nullptr && stream.sender == sender) {
                stream.lastUse = clock_;
                return &stream;
            }
            if (stream.lastUse < oldest->lastUse) {
                oldest = &stream;
            }
        }
        if (oldest->decoder == nullptr) {
            int error = OPUS_OK;
            oldest->decoder = opus_decoder_create(kSampleRate, 1, &error);
            if (error != OPUS_OK || oldest->decoder == nullptr) {
                oldest->decoder = nullptr;
                return nullptr;
            }
        } else {
            opus_decoder_ctl(oldest->decoder, OPUS_RESET_STATE);
        }
        oldest->sender = sender;
        oldest->lastUse = clock_;
        // A new stream is treated as continuing, so that it neither conceals nor resets.
        oldest->lastSequence = static_cast<uint16_t>(sequence - 1);
        return oldest;
    }

    // Packets lost since the stream's previous one, 0 when it follows directly; anything
    // that is not a short gap (repeat, reordering, long loss) resets the state.
    static uint16_t lostPackets(Stream& stream, uint16_t sequence) {
        const auto step = static_cast<uint16_t>(sequence - stream.lastSequence);
        if (step == 1) {
            return 0;
        }
        if (step >= 2 && step <= kMaxConcealedPackets + 1) {
            return static_cast<uint16_t>(step - 1);
        }
        opus_decoder_ctl(stream.decoder, OPUS_RESET_STATE);
        return 0;
    }

    std::mutex mutex_;
    std::array<Stream, kSenderSlots> streams_{};
    uint64_t clock_ = 0;
};

// Never destroyed: a host that exits without ending the library leaves its threads running
// while the process tears its static objects down, and they may still be using the codec.
DecoderTable& decoders() {
    static DecoderTable& instance = *new DecoderTable;
    return instance;
}

}  // namespace

extern "C" int ptt_voice_decode(const unsigned char* payload, int length, unsigned char* out, int cap,
                                unsigned char mode) {
    static_cast<void>(mode);  // an Opus frame describes its own bitrate and bandwidth
    if (payload == nullptr || out == nullptr || length <= TW_STREAM_HEADER_SIZE || length > TW_AUDIO_PAYLOAD_SIZE) {
        return TW_ERR_ARGUMENT;
    }
    if (cap < TW_FRAME_BYTES) {
        return TW_ERR_SPACE;
    }
    const unsigned char* frames = payload + TW_STREAM_HEADER_SIZE;
    const auto size = static_cast<std::size_t>(length - TW_STREAM_HEADER_SIZE);
    const int frameCount = countFrames(frames, size);
    if (frameCount < 1 || frameCount > TW_MAX_FRAMES_PER_PACKET) {
        return TW_ERR_FORMAT;
    }
    const uint32_t sender = loadU32(payload);
    const uint16_t sequence = loadU16(payload + 4);
    return decoders().decode(sender, sequence, frames, size, frameCount, out, cap);
}
