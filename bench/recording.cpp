// What recording one speaker costs: 60 s of espeak-ng speech, encoded as a talker sends it,
// goes through a speaker's receive buffer twice, packet by packet as the play thread takes
// it: once only decoded, once decoded and recorded to MP3. The difference in thread CPU
// time, against the 60 s of audio, is the recording's share of one core.
// Usage: recording [SECONDS]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "figure.h"
#include "media/ptt_audio_buffer.h"
#include "speech_sample.h"
#include "thread_cpu.h"

namespace {

using bench::threadCpuSeconds;

// The speech as received packets of five 20 ms frames.
std::vector<std::shared_ptr<_AUDIO_PACKET>> packetsOf(const std::vector<int16_t>& speech) {
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    cp_rtp_heartbeat(heartbeat, sizeof heartbeat, 1003);
    ptt_clear_send();
    std::vector<std::shared_ptr<_AUDIO_PACKET>> packets;
    const std::size_t packetSamples = 5 * TW_FRAME_SAMPLES;
    for (std::size_t at = 0; at + packetSamples <= speech.size(); at += packetSamples) {
        std::vector<unsigned char> frames;
        for (std::size_t frame = 0; frame < 5; ++frame) {
            unsigned char encoded[1024];
            const int size = ptt_voice_audio_encode(speech.data() + at + frame * TW_FRAME_SAMPLES, TW_FRAME_BYTES,
                                                    encoded, sizeof encoded, 1);
            frames.insert(frames.end(), encoded, encoded + std::max(size, 0));
        }
        unsigned char datagram[TW_DATAGRAM_SIZE];
        const int length =
            ptt_voice_packet_encode(frames.data(), static_cast<int>(frames.size()), 5, datagram, sizeof datagram, 1);
        auto packet = std::make_shared<_AUDIO_PACKET>();
        if (length > 0 && ptt_process_rx_udp(datagram, length, packet.get()) == TW_OK) packets.push_back(packet);
    }
    return packets;
}

// CPU seconds of one pass of every packet through a buffer, recording into `folder` when
// it is not empty.
double pass(const std::vector<std::shared_ptr<_AUDIO_PACKET>>& packets, const std::string& folder) {
    std::vector<unsigned char> pcm(10240);
    const double start = threadCpuSeconds();
    {
        CPttAudioBuffer buffer;
        buffer.setUserId(1003);
        if (!folder.empty()) {
            buffer.setRecordPath(folder);
            buffer.startRecord();
        }
        for (const auto& packet : packets) {
            buffer.pushPacket(packet);
            buffer.decode(pcm.data(), static_cast<unsigned int>(pcm.size()), true);
        }
        buffer.setTalkEnd(true);
        while (buffer.decode(pcm.data(), static_cast<unsigned int>(pcm.size()), true) > 0) {
        }
    }
    return threadCpuSeconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const std::vector<int16_t> sentence = speech_sample::make(speech_sample::kSentence);
    if (sentence.empty()) {
        std::fprintf(stderr, "espeak-ng and sox are needed\n");
        return 1;
    }
    std::vector<int16_t> speech;
    while (speech.size() < static_cast<std::size_t>(seconds) * 8000) {
        speech.insert(speech.end(), sentence.begin(), sentence.end());
    }
    speech.resize(static_cast<std::size_t>(seconds) * 8000);
    const auto packets = packetsOf(speech);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-recording-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    pass(packets, "");  // warms the decoder and the caches
    const double decodeOnly = pass(packets, "");
    const double recorded = pass(packets, folder.string());
    std::uintmax_t bytes = 0;
    for (const auto& file : std::filesystem::directory_iterator(folder)) bytes += file.file_size();
    std::filesystem::remove_all(folder);

    const double audio = static_cast<double>(packets.size()) * 0.1;
    std::printf("%zu packets, %.0f s of speech\n", packets.size(), audio);
    std::printf("decode only:        %.3f s CPU, %.2f%% of one core\n", decodeOnly, 100 * decodeOnly / audio);
    std::printf("decode and record:  %.3f s CPU, %.2f%% of one core\n", recorded, 100 * recorded / audio);
    std::printf("recording one speaker (MP3 encoding and writing): %.2f%% of one core; %.1f kbit/s of MP3\n",
                100 * (recorded - decodeOnly) / audio, static_cast<double>(bytes) * 8 / audio / 1000);
    bench::report({"recording one speaker to MP3", 100 * (recorded - decodeOnly) / audio, "% of a core", "≤ 1 %",
                   "decoding that speaker", 100 * decodeOnly / audio});
    return 0;
}
