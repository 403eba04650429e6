// Control messages per second: building and framing on the sending side, unframing and
// parsing on the receiving side, for a typical event (a member took the floor).
#include <talkwire.h>

#include <string>
#include <vector>

#include "figure.h"
#include "rate_figures.h"

namespace {

std::vector<unsigned char> framedEvents(int count) {
    const tw_member_get_mic event{7, 1002, "bob the dispatcher"};
    std::vector<unsigned char> stream;
    unsigned char message[256];
    unsigned char framed[600];
    for (int i = 0; i < count; ++i) {
        const int length = srv_build_member_get_mic(message, sizeof message, &event);
        const uint16_t size = encode_tcp_packet_hdlc(message, static_cast<uint16_t>(length), framed, sizeof framed);
        stream.insert(stream.end(), framed, framed + size);
    }
    return stream;
}

void BuildAndFrame(benchmark::State& state) {
    const tw_member_get_mic event{7, 1002, "bob the dispatcher"};
    unsigned char message[256];
    unsigned char framed[600];
    for (auto _ : state) {
        const int length = srv_build_member_get_mic(message, sizeof message, &event);
        benchmark::DoNotOptimize(encode_tcp_packet_hdlc(message, static_cast<uint16_t>(length), framed, sizeof framed));
    }
    state.SetItemsProcessed(state.iterations());
}

void UnframeAndParse(benchmark::State& state) {
    constexpr int kMessages = 1000;
    const std::vector<unsigned char> stream = framedEvents(kMessages);
    std::vector<unsigned char> buffer(10240, 0);
    int parsed = 0;
    for (auto _ : state) {
        for (unsigned char byte : stream) {
            unsigned char* frame = nullptr;
            decode_tcp_packet_hdlc(buffer.data(), 10240, byte, &frame);
            if (frame != nullptr) {
                tw_packet packet;
                packet_decode(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2, &packet);
                tw_member_get_mic event;
                parsed += on_mem_get_mic(&event, packet.body, packet.bodyLength) == TW_OK;
            }
        }
    }
    benchmark::DoNotOptimize(parsed);
    state.SetItemsProcessed(state.iterations() * kMessages);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}

}  // namespace

BENCHMARK(BuildAndFrame);
BENCHMARK(UnframeAndParse);

// Each benchmark's rate as a figure for the summary table.
int main(int argc, char** argv) {
    return bench::runRated(argc, argv, [](const std::string& name, double itemsPerSecond) {
        bench::report({("talkwire: " + name).c_str(), itemsPerSecond / 1e6, "million/s", "≥ 1 million/s", "–", 0});
    });
}
