// The sending side of the voice codec: one Opus encoder per mode, narrowband VOIP at 8 kHz.
// One talker per process, so the two encoders are shared and guarded by one lock.
#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "voice_frames.h"

namespace talkwire {

namespace {

constexpr int kSampleRate = 8000;
constexpr std::array<opus_int32, 2> kBitrate = {12000, 24000};  // modes 1 and 2

class Encoders {
public:
    int encode(const unsigned char* pcm, unsigned char* out, int cap, int mode) {
        std::array<opus_int16, TW_FRAME_SAMPLES> samples{};
        std::memcpy(samples.data(), pcm, TW_FRAME_BYTES);
        const std::lock_guard lock(mutex_);
        OpusEncoder* encoder = encoderFor(mode);
        if (encoder == nullptr) {
            return 0;
        }
        const int room = std::min(cap - 1, static_cast<int>(kMaxFrameDataSize));
        const opus_int32 size = opus_encode(encoder, samples.data(), TW_FRAME_SAMPLES, out + 1, room);
        if (size <= 0) {
            return 0;
        }
        out[0] = static_cast<unsigned char>(size);
        return size + 1;
    }

    void reset() {
        const std::lock_guard lock(mutex_);
        for (OpusEncoder* encoder : encoders_) {
            if (encoder != nullptr) {
                opus_encoder_ctl(encoder, OPUS_RESET_STATE);
            }
        }
    }

private:
    OpusEncoder* encoderFor(int mode) {
        OpusEncoder*& encoder = encoders_[static_cast<std::size_t>(mode - 1)];
        if (encoder == nullptr) {
            int error = OPUS_OK;
            encoder = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
            if (error != OPUS_OK || encoder == nullptr) {
                encoder = nullptr;
                return nullptr;
            }
            opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitrate[static_cast<std::size_t>(mode - 1)]));
            opus_encoder_ctl(encoder, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
            opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
            // Half the default's CPU for narrowband speech at the same fidelity (measured by
            // bench/talkwire_codec); a talker's whole send path stays under 1% of a core.
            opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(5));
        }
        return encoder;
    }

    std::mutex mutex_;
    std::array<OpusEncoder*, 2> encoders_{};
};

// Never destroyed: a host that exits without ending the library leaves its threads running
// while the process tears its static objects down, and they may still be using the codec.
Encoders& encoders() {
    static Encoders& instance = *new Encoders;
    return instance;
}

}  // namespace

void resetVoiceEncoders() { encoders().reset(); }

}  // namespace talkwire

extern "C" int ptt_voice_audio_encode(const void* pcm, int length, unsigned char* out, int cap, unsigned char mode) {
    if (pcm == nullptr || out == nullptr || length != TW_FRAME_BYTES || cap < 2 || (mode != 1 && mode != 2)) {
        return 0;
    }
    return talkwire::encoders().encode(static_cast<const unsigned char*>(pcm), out, cap, mode);
}
