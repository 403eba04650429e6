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
// Usage: mouth_to_ear PATH_TO_talkhub-server PATH_TO_talkhub-cli [TURNS]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "callback_event.h"
#include "capture_source.h"
#include "playback_sink.h"
#include "server_process.h"
#include "speech_sample.h"
#include "statistics.h"
#include "talkhub.h"
#include "thread_cpu.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kChunkSamples = 160;    // 20 ms, what the microphone hands over at once
constexpr std::size_t kBufferSamples = 1024;  // 128 ms, one mixer callback
constexpr double kPacketMs = 100;             // five 20 ms frames per packet
constexpr double kReserveMs = 600;            // the receive buffer's reserve while talking
constexpr double kCallbackMs = 128;
constexpr int16_t kOnsetLevel = 4000;

bench::CallbackEvent event;
void onLogin(int result, const char*) { event.record(result); }

double millis(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// talkhub-cli as a child process: commands go to its standard input, and its JSON event
// lines are read back.
class Talker {
public:
    Talker(const char* cli, uint16_t port, const std::string& alsaConfig) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return;
        const std::string portText = std::to_string(port);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
            ::close(in[1]);
            ::close(out[0]);
            ::setenv("ALSA_CONFIG_PATH", alsaConfig.c_str(), 1);
            ::setenv("SDL_AUDIODRIVER", "dummy", 1);
            ::execl(cli, cli, "-u", "alice", "-p", portText.c_str(), "--json", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = ::fdopen(out[0], "r");
    }
    ~Talker() {
        if (pid_ <= 0) return;
        command("quit");
        ::close(input_);
        ::waitpid(pid_, nullptr, 0);
        std::fclose(output_);
    }
    Talker(const Talker&) = delete;
    Talker& operator=(const Talker&) = delete;

    void command(const std::string& line) {
        const std::string text = line + "\n";
        if (::write(input_, text.data(), text.size()) < 0) std::perror("talker");
    }

    // Reads event lines until one holds `text`; false when the output ends first.
    bool waitFor(const char* text) {
        char line[4096];
        while (output_ != nullptr && std::fgets(line, sizeof line, output_) != nullptr) {
            if (std::strstr(line, text) != nullptr) return true;
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    FILE* output_ = nullptr;
};

// Feeds the talker's microphone FIFO at real-time pace: silence, speech when given, and
// on request a 60 ms tone burst that starts with a chunk. Made after the talker, so that it
// goes first.
class Microphone {
public:
    explicit Microphone(int fifo) : fifo_(fifo) {
        const std::vector<int16_t> tone = [] {
            std::vector<int16_t> samples(3 * kChunkSamples);
            for (std::size_t i = 0; i < samples.size(); ++i) {
                samples[i] = static_cast<int16_t>(12000 * std::sin(2 * 3.14159265358979 * 1000 * i / 8000.0));
            }
            return samples;
        }();
        burst_ = tone;
    }
    // Closing the FIFO ends the talker's reads, so that it can close its microphone.
    ~Microphone() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fifo_);
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }

    // The moment the burst's first chunk went into the FIFO.
    Clock::time_point burst() {
        std::unique_lock lock(mutex_);
        burstAt_ = 0;
        burstWritten_ = false;
        changed_.wait(lock, [this] { return burstWritten_; });
        return burstTime_;
    }

    void speak(std::vector<int16_t> speech) {
        std::lock_guard lock(mutex_);
        speech_ = std::move(speech);
        spoken_ = 0;
    }

    void silence() {
        std::lock_guard lock(mutex_);
        speech_.clear();
    }

private:
    void run() {
        auto next = Clock::now();
        std::vector<int16_t> chunk(kChunkSamples);
        while (!stop_) {
            bool burstStarts = false;
            {
                std::lock_guard lock(mutex_);
                std::fill(chunk.begin(), chunk.end(), 0);
                if (burstAt_ < burst_.size()) {
                    burstStarts = burstAt_ == 0;
                    std::copy_n(burst_.begin() + static_cast<long>(burstAt_), kChunkSamples, chunk.begin());
                    burstAt_ += kChunkSamples;
                } else if (!speech_.empty()) {
                    for (int16_t& sample : chunk) sample = speech_[spoken_++ % speech_.size()];
                }
            }
            const Clock::time_point written = Clock::now();
            if (::write(fifo_, chunk.data(), chunk.size() * 2) < 0) ++dropped_;
            if (burstStarts) {
                std::lock_guard lock(mutex_);
                burstTime_ = written;
                burstWritten_ = true;
                changed_.notify_all();
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
    }

    int fifo_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int16_t> burst_;
    std::size_t burstAt_ = SIZE_MAX;
    bool burstWritten_ = false;
    Clock::time_point burstTime_;
    std::vector<int16_t> speech_;
    std::size_t spoken_ = 0;
    unsigned dropped_ = 0;
};

// Notes every growth of the speaker's file, with its moment, polling each millisecond.
class SpeakerWatch {
public:
    struct Growth {
        std::size_t bytes;
        Clock::time_point at;
    };

    SpeakerWatch() : thread_([this] { run(); }) {}
    ~SpeakerWatch() { stop(); }

    std::vector<Growth> stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return growths_;
    }

private:
    void run() {
        std::size_t last = 0;
        while (!stop_) {
            struct stat status {};
            const auto now = Clock::now();
            if (::stat(playback_sink::file().c_str(), &status) == 0 &&
                static_cast<std::size_t>(status.st_size) != last) {
                last = static_cast<std::size_t>(status.st_size);
                growths_.push_back({last, now});
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<Growth> growths_;
    std::thread thread_;
};

// The moment the mixer produced each buffer: a growth to `bytes` came with the write of
// buffer bytes / 2048; the buffers between two growths lie evenly between them.
class BufferClock {
public:
    explicit BufferClock(const std::vector<SpeakerWatch::Growth>& growths) {
        for (const auto& growth : growths) {
            if (growth.bytes % (kBufferSamples * 2) == 0)
                anchors_.push_back({growth.bytes / (kBufferSamples * 2), growth.at});
        }
    }

    std::optional<Clock::time_point> sampleTime(std::size_t sample) const {
        const double buffer = static_cast<double>(sample / kBufferSamples);
        for (std::size_t i = 1; i < anchors_.size(); ++i) {
            const auto& [fromIndex, from] = anchors_[i - 1];
            const auto& [toIndex, to] = anchors_[i];
            if (buffer < static_cast<double>(fromIndex) || buffer > static_cast<double>(toIndex)) continue;
            const double share = (buffer - static_cast<double>(fromIndex)) / static_cast<double>(toIndex - fromIndex);
            const auto bufferStart = from + std::chrono::duration_cast<Clock::duration>((to - from) * share);
            return bufferStart + std::chrono::microseconds(static_cast<long long>(sample % kBufferSamples) * 125);
        }
        return std::nullopt;
    }

    // The mean time between buffers, in ms: 128 when the dating holds.
    double bufferPeriodMs() const {
        if (anchors_.size() < 2) return 0;
        return millis(anchors_.back().second - anchors_.front().second) /
               static_cast<double>(anchors_.back().first - anchors_.front().first);
    }

private:
    std::vector<std::pair<std::size_t, Clock::time_point>> anchors_;
};

std::string talkerMicrophone(const std::filesystem::path& folder, int& fifo) {
    const std::filesystem::path pipe = folder / "talker.fifo";
    const std::filesystem::path config = folder / "talker.conf";
    ::mkfifo(pipe.c_str(), 0600);
    // Open for writing (and reading, so that the open does not wait for the talker), and
    // only here: a child that kept it open would keep the talker from ever seeing its end.
    fifo = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
    std::ofstream(config) << capture_source::fileConfig(pipe);
    return config.string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server PATH_TO_talkhub-cli [TURNS]\n", argv[0]);
        return 2;
    }
    const int turns = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<int16_t> sentence = speech_sample::make(speech_sample::kSentence);
    if (sentence.empty()) {
        std::fprintf(stderr, "espeak-ng and sox are needed\n");
        return 1;
    }
    capture_source::install();
    playback_sink::install();
    int fifo = -1;
    const std::string alsaConfig = talkerMicrophone(capture_source::folder(), fifo);
    bench::ServerProcess server(argv[1], {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0"});
    if (!server.running() || fifo < 0) {
        std::fprintf(stderr, "the server or the talker's microphone did not start\n");
        return 1;
    }
    Talker talker(argv[2], server.tcpPort(), alsaConfig);
    if (!talker.waitFor(R"("event":"login","result":0)")) {
        std::fprintf(stderr, "the talker did not log in\n");
        return 1;
    }
    Microphone microphone(fifo);
    microphone.start();

    initialize();
    setServerInfo("127.0.0.1", server.tcpPort());
    login("bob", "bob", onLogin);
    if (!event.await()) {
        std::fprintf(stderr, "the listener did not log in\n");
        return 1;
    }
    SpeakerWatch watch;
    std::this_thread::sleep_for(500ms);

    // 1. Latency: one burst per turn, at a moment that shifts from turn to turn against the
    // talker's packets and the listener's buffers.
    std::vector<Clock::time_point> mouths;
    for (int turn = 0; turn < turns; ++turn) {
        talker.command("talk 2");
        if (!talker.waitFor(R"("message":"talking")")) break;
        std::this_thread::sleep_for(700ms + std::chrono::milliseconds(turn * 37 % 128));
        mouths.push_back(microphone.burst());
        std::fprintf(stderr, "\rturn %d of %d", turn + 1, turns);
        talker.waitFor(R"("message":"floor released")");
        std::this_thread::sleep_for(1500ms);
    }

    std::fprintf(stderr, "\rlistener CPU over a 22 s turn\n");

    // 2. CPU of the listener while one speaker talks on.
    microphone.speak(sentence);
    talker.command("talk 22");
    talker.waitFor(R"("message":"talking")");
    std::this_thread::sleep_for(2s);
    const auto cpuBefore = bench::threadCpu();
    const auto cpuFrom = Clock::now();
    std::this_thread::sleep_for(18s);
    const auto cpuAfter = bench::threadCpu();
    const double cpuWall = std::chrono::duration<double>(Clock::now() - cpuFrom).count();
    talker.waitFor(R"("message":"floor released")");
    microphone.silence();

    const std::vector<SpeakerWatch::Growth> growths = watch.stop();
    loginout();
    unInitialize();

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
    const double floorMs = kPacketMs + kReserveMs + kCallbackMs;
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
    std::printf("design floor: %.0f ms packet + %.0f ms reserve + %.0f ms device buffer = %.0f ms; p99 %+.1f ms\n",
                kPacketMs, kReserveMs, kCallbackMs, floorMs, summary.p99 - floorMs);

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
    capture_source::remove();
    playback_sink::remove();
    return 0;
}
