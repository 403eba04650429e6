// Mouth to ear: from a marked sound entering the talker's microphone to its place in what
// the listener's speaker plays, beside the floor that the design's own constants set; then
// the CPU a listener spends on one active speaker (receive, decode, mix).
//
// The talker is talkhub-cli, a child process whose microphone is ALSA's file plugin reading
// a FIFO that this program fills at real-time pace, 20 ms at a time: silence, and in each
// turn a 60 ms tone burst whose moment of writing is noted. The listener is the library in
// this process; its speaker is SDL's disk driver, which mixes one 128 ms buffer and writes it
// at once. The C library flushes that file a 4096-byte block at a time, at the write that
// follows a full block, so each growth of the file dates the buffer written with it;
// buffers in between are dated by interpolation, and a sample's moment is its buffer's plus
// its place in the buffer.
//
// With a Windows listener (the Windows build's listening_host under Wine, its microphone a
// private PulseAudio server, its speaker SDL's disk driver into the same file) the latency
// part runs the same way and the CPU part is left out.
// Usage: mouth_to_ear PATH_TO_talkhub-server PATH_TO_talkhub-cli [TURNS [UNDER_WINE listening_host.exe]]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "callback_event.h"
#include "capture_source.h"
#include "cli_child.h"
#include "command_output.h"
#include "fifo_microphone.h"
#include "figure.h"
#include "playback_sink.h"
#include "server_process.h"
#include "sound_server.h"
#include "speaker_clock.h"
#include "speech_sample.h"
#include "statistics.h"
#include "talkhub.h"
#include "thread_cpu.h"
#include "timeline.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kChunkSamples = 160;  // 20 ms, what the microphone hands over at once
constexpr double kPacketMs = 100;           // five 20 ms frames per packet
// Playback of a turn starts once its reserve (six packets, 600 ms) is queued: the sixth
// packet comes 500 ms after the first.
constexpr double kReserveWaitMs = 500;
constexpr double kCallbackMs = 128;  // the most a first buffer waits for the device's next callback
constexpr int16_t kOnsetLevel = 4000;

bench::CallbackEvent event;
void onLogin(int result, const char*) { event.record(result); }

double millis(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// A 60 ms tone burst: the marked sound of each turn.
std::vector<int16_t> toneBurst() {
    std::vector<int16_t> samples(3 * kChunkSamples);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(12000 * std::sin(2 * 3.14159265358979 * 1000 * i / 8000.0));
    }
    return samples;
}

// The Windows build's listening host under Wine, logged in as bob in group 1, playing into
// the playback sink's file; it logs out by itself after `seconds`.
class WindowsListener {
public:
    WindowsListener(const std::string& underWine, const std::string& host, uint16_t port, int seconds) {
        const std::string command = sound_.environment() +
                                    " SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE='Z:" + playback_sink::file().string() +
                                    "' " + underWine + " '" + host + "' 127.0.0.1 " + std::to_string(port) +
                                    " bob bob 1 '' " + std::to_string(seconds) + " 2>&1";
        ended_ = std::async(std::launch::async, [this, command] {
            bool told = false;
            command_output::run(command, [&](const std::string& line) {
                if (!told && line.rfind("group 0 ", 0) == 0) {
                    told = true;
                    entered_.set_value();
                }
            });
        });
    }
    ~WindowsListener() { ended_.wait(); }

    bool entered() { return sound_.running() && entered_.get_future().wait_for(90s) == std::future_status::ready; }

private:
    SoundServer sound_;
    std::promise<void> entered_;
    std::future<void> ended_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server PATH_TO_talkhub-cli [TURNS]\n", argv[0]);
        return 2;
    }
    const int turns = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    const bool windows = argc > 5;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<int16_t> sentence = speech_sample::make(speech_sample::kSentence);
    if (sentence.empty()) {
        std::fprintf(stderr, "espeak-ng and sox are needed\n");
        return 1;
    }
    capture_source::install();
    playback_sink::install();
    FifoMicrophone microphone(capture_source::folder(), "talker");
    bench::ServerProcess server(argv[1], {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0"});
    if (!server.running() || !microphone.ready()) {
        std::fprintf(stderr, "the server or the talker's microphone did not start\n");
        return 1;
    }
    // The talker: talkhub-cli, its events kept quietly.
    talkhub_demo::Timeline events({});
    const auto start = Clock::now();
    talkhub_demo::CliChild talker(
        "alice", events, argv[2], {"-u", "alice", "-p", std::to_string(server.tcpPort()), "--json"},
        {{"ALSA_CONFIG_PATH", microphone.alsaConfig()}, {"SDL_AUDIODRIVER", "dummy"}}, "/dev/null");
    const auto heard = [&](const char* text, Clock::time_point since, std::chrono::seconds timeout) {
        return events.waitFor("alice", {text}, since, timeout).has_value();
    };
    if (!heard(R"("event":"login","result":0)", start, 10s)) {
        std::fprintf(stderr, "the talker did not log in\n");
        return 1;
    }
    microphone.start();

    std::unique_ptr<WindowsListener> windowsListener;
    if (windows) {
        windowsListener = std::make_unique<WindowsListener>(argv[4], argv[5], server.tcpPort(), turns * 5 + 10);
        if (!windowsListener->entered()) {
            std::fprintf(stderr, "the Windows listener did not enter the group\n");
            return 1;
        }
    } else {
        initialize();
        setServerInfo("127.0.0.1", server.tcpPort());
        login("bob", "bob", onLogin);
        if (!event.await()) {
            std::fprintf(stderr, "the listener did not log in\n");
            return 1;
        }
    }
    SpeakerWatch watch(playback_sink::file().string());
    std::this_thread::sleep_for(500ms);

    // 1. Latency: one burst per turn, at a moment that shifts from turn to turn against the
    // talker's packets and the listener's buffers.
    std::vector<Clock::time_point> mouths;
    for (int turn = 0; turn < turns; ++turn) {
        const auto asked = talker.command("talk 2");
        if (!heard(R"("message":"talking")", asked, 10s)) break;
        std::this_thread::sleep_for(700ms + std::chrono::milliseconds(turn * 37 % 128));
        mouths.push_back(microphone.say(toneBurst()));
        std::fprintf(stderr, "\rturn %d of %d", turn + 1, turns);
        heard(R"("message":"floor released")", asked, 10s);
        std::this_thread::sleep_for(1500ms);
    }

    // 2. CPU of the listener while one speaker talks on (only of a listener in this process).
    std::map<std::string, double> cpuBefore, cpuAfter;
    double cpuWall = 0;
    if (!windows) {
        std::fprintf(stderr, "\rlistener CPU over a 22 s turn\n");
        microphone.say(sentence, true);
        const auto asked = talker.command("talk 22");
        heard(R"("message":"talking")", asked, 10s);
        std::this_thread::sleep_for(2s);
        cpuBefore = bench::threadCpu();
        const auto cpuFrom = Clock::now();
        std::this_thread::sleep_for(18s);
        cpuAfter = bench::threadCpu();
        cpuWall = std::chrono::duration<double>(Clock::now() - cpuFrom).count();
        heard(R"("message":"floor released")", asked, 30s);
        microphone.silence();
    }

    if (windows) windowsListener.reset();
    const std::vector<SpeakerWatch::Growth> growths = watch.stop();
    if (!windows) {
        loginout();
        unInitialize();
    }

    const std::vector<int16_t> played = playback_sink::played();
    const BufferClock clock(growths);
    std::vector<double> latencies;
    std::size_t from = 0;
    for (const Clock::time_point mouth : mouths) {
        // The first sample of the burst after the previous one.
        std::size_t at = from;
        while (at < played.size() && std::abs(played[at]) < kOnsetLevel) ++at;
        if (at == played.size()) break;
        from = at + 8000;
        const auto ear = clock.sampleTime(at);
        if (ear) latencies.push_back(millis(*ear - mouth));
    }
    const double floorMs = kPacketMs + kReserveWaitMs;
    std::printf("speaker buffers dated every %.2f ms (128 expected)\n", clock.bufferPeriodMs());
    if (latencies.size() < mouths.size() || latencies.empty()) {
        std::fprintf(stderr, "only %zu of %zu bursts found in the listener's output\n", latencies.size(),
                     mouths.size());
        return 1;
    }
    const bench::Summary summary = bench::summarise(latencies);
    const auto [lowest, highest] = std::minmax_element(latencies.begin(), latencies.end());
    std::printf("mouth to ear over %zu turns: median %.1f ms, p99 %.1f ms (min %.1f, max %.1f)\n", latencies.size(),
                summary.median, summary.p99, *lowest, *highest);
    std::printf(
        "design window: %.0f ms packet + %.0f ms until the reserve is queued + 0 to %.0f ms until the "
        "device's next callback = %.0f to %.0f ms; p99 %+.1f ms past its end\n",
        kPacketMs, kReserveWaitMs, kCallbackMs, floorMs, floorMs + kCallbackMs, summary.p99 - floorMs - kCallbackMs);
    bench::report({"mouth to ear (microphone -> listener's speaker), median", summary.median, "ms", "≤ 728 ms",
                   "the design's floor", floorMs});

    if (windows) {
        capture_source::remove();
        playback_sink::remove();
        return 0;
    }
    double listenerCpu = 0;
    for (const auto& [name, spent] : cpuAfter) {
        if (name != "harbor-net" && name != "talkhub-play" && name.rfind("SDLAudioP", 0) != 0) continue;
        const auto before = cpuBefore.find(name);
        const double share = 100.0 * (spent - (before == cpuBefore.end() ? 0 : before->second)) / cpuWall;
        listenerCpu += share;
        std::printf("  %-16s %.2f%% of one core\n", name.c_str(), share);
    }
    std::printf("listener CPU with one active speaker over %.0f s (receive, decode, mix): %.2f%% of one core\n",
                cpuWall, listenerCpu);
    bench::report(
        {"CPU per listener with one active speaker", listenerCpu, "% of a core", "≤ 0.5 %", "real time", 100});
    capture_source::remove();
    playback_sink::remove();
    return 0;
}
