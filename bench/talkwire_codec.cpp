// Voice codec cost and quality on real speech: CPU time to encode and to decode one second
// of audio per mode, as a fraction of real time on one core, and the waveform correlation
// with continuous decoder state against a decoder reset before every packet.
#include <talkwire.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "figure.h"
#include "speech_sample.h"

namespace {

using Samples = std::vector<int16_t>;
constexpr std::size_t kPacketSamples = TW_FRAME_SAMPLES * TW_MAX_FRAMES_PER_PACKET;
const int kRepeats = bench::scaled(20);

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::vector<std::vector<unsigned char>> encodeAll(const Samples& speech, unsigned char mode) {
    ptt_clear_send();
    std::vector<std::vector<unsigned char>> datagrams;
    for (std::size_t at = 0; at + kPacketSamples <= speech.size(); at += kPacketSamples) {
        std::vector<unsigned char> frames;
        for (int f = 0; f < TW_MAX_FRAMES_PER_PACKET; ++f) {
            unsigned char frame[1024];
            const int size =
                ptt_voice_audio_encode(&speech[at + f * TW_FRAME_SAMPLES], TW_FRAME_BYTES, frame, 1024, mode);
            frames.insert(frames.end(), frame, frame + size);
        }
        std::vector<unsigned char> datagram(2048);
        const int size =
            ptt_voice_packet_encode(frames.data(), static_cast<int>(frames.size()), TW_MAX_FRAMES_PER_PACKET,
                                    datagram.data(), static_cast<int>(datagram.size()), mode);
        datagram.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        datagrams.push_back(datagram);
    }
    return datagrams;
}

// Decodes every datagram; with resetEach, each packet is relabelled with a new sender so
// that its decoder starts from a reset state.
Samples decodeAll(const std::vector<std::vector<unsigned char>>& datagrams, bool resetEach) {
    static uint32_t stranger = 1000000;
    Samples pcm;
    std::vector<int16_t> out(5120);
    for (std::vector<unsigned char> datagram : datagrams) {
        if (resetEach) {
            srv_stamp_sender(datagram.data(), static_cast<int>(datagram.size()), ++stranger);
        }
        _AUDIO_PACKET packet{};
        ptt_process_rx_udp(datagram.data(), static_cast<int>(datagram.size()), &packet);
        const int bytes = ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength),
                                           reinterpret_cast<unsigned char*>(out.data()), 10240, packet.mode);
        if (bytes > 0) {
            pcm.insert(pcm.end(), out.begin(), out.begin() + bytes / 2);
        }
    }
    return pcm;
}

}  // namespace

int main() {
    Samples speech = speech_sample::make(speech_sample::kSentence);
    speech.resize(speech.size() / kPacketSamples * kPacketSamples);
    if (speech.empty()) {
        std::fprintf(stderr, "talkwire_codec: espeak-ng and sox are needed to make the speech\n");
        return 1;
    }
    const double audioSeconds = static_cast<double>(speech.size()) / 8000 * kRepeats;
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    cp_rtp_heartbeat(heartbeat, sizeof heartbeat, 4242);
    std::printf("speech: %.1f s, coded %d times per figure\n", audioSeconds / kRepeats, kRepeats);
    for (unsigned char mode : {1, 2}) {
        std::vector<std::vector<unsigned char>> datagrams;
        double start = threadSeconds();
        for (int i = 0; i < kRepeats; ++i) {
            datagrams = encodeAll(speech, mode);
        }
        const double encode = (threadSeconds() - start) / audioSeconds;
        start = threadSeconds();
        Samples continuous;
        for (int i = 0; i < kRepeats; ++i) {
            continuous = decodeAll(datagrams, false);
        }
        const double decode = (threadSeconds() - start) / audioSeconds;
        const Samples reset = decodeAll(datagrams, true);
        std::printf(
            "mode %d: encode %.3f%%, decode %.3f%%, together %.3f%% of one core; "
            "correlation continuous %.3f, reset per packet %.3f\n",
            mode, 100 * encode, 100 * decode, 100 * (encode + decode),
            speech_sample::alignedCorrelation(speech, continuous), speech_sample::alignedCorrelation(speech, reset));
        bench::report({mode == 1 ? "Opus encode + decode, mode 1" : "Opus encode + decode, mode 2",
                       100 * (encode + decode), "% of a core", "≤ 1 %", "real time", 100});
    }
    return 0;
}
