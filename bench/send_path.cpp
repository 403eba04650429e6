// The send path of one talker: CPU per talker and the delay from a packet's last captured
// sample to its voice datagram.
//
// 1. CPU: the library logged in to the reference server (a child process) holds the floor
//    for SECONDS (default 60) while its microphone, ALSA's file plugin paced to real time,
//    speaks espeak-ng speech; the process's CPU time over that span, less the listener's
//    own thread, is the capture layer, the encode thread and the network thread together.
// 2. Delay: the same library with no microphone, blocks handed to the engine at 20 ms
//    intervals as the capture callback hands them; from the hand-over of each packet's
//    fifth block to the packet's arrival at a listener through the server.
// 3. The server's relay alone: datagrams from a bare talker to the same listener; the
//    difference of the two delays is the library's own share.
// Usage: send_path PATH_TO_talkhub-server [SECONDS]
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "callback_event.h"
#include "capture_source.h"
#include "datagram_format.h"
#include "figure.h"
#include "media/audio_media.h"
#include "playback_sink.h"
#include "server_process.h"
#include "service/instance.h"
#include "signalling/voice_talk.h"
#include "speech_sample.h"
#include "statistics.h"
#include "talkhub.h"
#include "thread_cpu.h"
#include "wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bench::CallbackEvent event;
void onLogin(int result, const char*) { event.record(result); }
void onResult(int result) { event.record(result); }

using bench::processCpuSeconds;
using bench::threadCpuSeconds;

// A bare talkwire member of group 1: logs in, registers its voice endpoint and keeps its
// session alive; a thread notes the arrival of every voice datagram by sender and sequence.
class Member {
public:
    Member(const bench::ServerProcess& server, const char* account)
        : tcp_(::socket(AF_INET, SOCK_STREAM, 0)),
          udp_(::socket(AF_INET, SOCK_DGRAM, 0)),
          voice_(server.udpPort()),
          client_(tcp_) {
        const sockaddr_in control = bench::loopback(server.tcpPort());
        const sockaddr_in any = bench::loopback(0);
        if (::connect(tcp_, reinterpret_cast<const sockaddr*>(&control), sizeof control) != 0 ||
            ::bind(udp_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
            return;
        }
        if (!client_.logIn(account, client_.wire().startLogin(account, account))) return;
        unsigned char message[64];
        client_.send(message, cp_activate_group(message, sizeof message, 1));
        while (client_.next() != TW_CMD_ENTER_GROUP_ACK) {
        }
        id_ = std::string(account) == "bob" ? 1002 : 1003;
        keepAlive();
        ready_ = true;
    }
    ~Member() {
        stop();
        ::close(tcp_);
        ::close(udp_);
    }

    bool ready() const { return ready_; }

    // Registers the endpoint again and pings: the server drops silent sessions.
    void keepAlive() {
        unsigned char datagram[TW_DATAGRAM_SIZE];
        send(datagram, talkwire::datagrams::heartbeat(datagram, sizeof datagram, id_));
        unsigned char message[64];
        std::lock_guard lock(wireLock_);
        client_.send(message, cp_ping(message, sizeof message, id_));
    }

    // Sends a plain datagram, sealed.
    void send(const unsigned char* datagram, int length) {
        std::vector<unsigned char> sealed;
        {
            std::lock_guard lock(wireLock_);
            sealed = client_.seal(datagram, length);
        }
        const sockaddr_in server = bench::loopback(voice_);
        ::sendto(udp_, sealed.data(), sealed.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    }

    void requestFloor() {
        unsigned char message[64];
        std::lock_guard lock(wireLock_);
        client_.send(message, cp_request_mic(message, sizeof message, 1));
    }

    void listen() {
        thread_ = std::thread([this] {
            const double cpuStart = threadCpuSeconds();
            auto lastAlive = Clock::now();
            std::vector<unsigned char> datagram(2048);
            while (!stopping_) {
                pollfd ready{udp_, POLLIN, 0};
                if (Clock::now() - lastAlive > 5s) {
                    keepAlive();
                    lastAlive = Clock::now();
                }
                if (::poll(&ready, 1, 100) <= 0) continue;
                const ssize_t size = ::recv(udp_, datagram.data(), datagram.size(), 0);
                const auto now = Clock::now();
                if (size <= 0) continue;
                std::optional<std::vector<unsigned char>> plain;
                {
                    std::lock_guard lock(wireLock_);
                    plain = client_.wire().openDatagram({datagram.begin(), datagram.begin() + size});
                }
                _AUDIO_PACKET packet{};
                if (!plain ||
                    talkwire::datagrams::readTalk(plain->data(), static_cast<int>(plain->size()), &packet) != TW_OK ||
                    packet.kind != TW_KIND_VOICE) {
                    continue;
                }
                std::lock_guard lock(mutex_);
                arrivals_[packet.senderId].push_back({packet.sequence, now});
            }
            cpuSeconds_ = threadCpuSeconds() - cpuStart;
        });
    }

    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }

    struct Arrival {
        uint16_t sequence;
        Clock::time_point at;
    };
    std::vector<Arrival> arrivals(uint32_t sender) {
        std::lock_guard lock(mutex_);
        return arrivals_[sender];
    }
    void clear() {
        std::lock_guard lock(mutex_);
        arrivals_.clear();
    }
    double cpuSeconds() const { return cpuSeconds_; }

private:
    int tcp_;
    int udp_;
    uint16_t voice_;
    bench::WireClient client_;
    std::mutex wireLock_;  // the keep-alive runs on the listening thread too
    uint32_t id_ = 0;
    bool ready_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<uint32_t, std::vector<Arrival>> arrivals_;
    double cpuSeconds_ = 0;
};

// What the design's cadence costs by itself on this machine: a thread that wakes every
// 20 ms (as capture does) and wakes a second one (as each block wakes the encoder).
double bareCadenceShare(int seconds) {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    int pending = 0;
    std::thread consumer([&] {
        std::unique_lock lock(mutex);
        while (!stopping) {
            wake.wait_for(lock, 50ms, [&] { return stopping || pending > 0; });
            pending = 0;
        }
    });
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    auto due = start;
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        due += 20ms;
        std::this_thread::sleep_until(due);
        std::lock_guard lock(mutex);
        ++pending;
        wake.notify_one();
    }
    const double cpu = processCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    {
        std::lock_guard lock(mutex);
        stopping = true;
        wake.notify_one();
    }
    consumer.join();
    return cpu / wall;
}

// What the codec costs by itself: `seconds` of the speech encoded frame by frame (mode 1),
// back to back on this thread, per second of speech.
double codecShare(const std::vector<int16_t>& speech, int seconds) {
    const std::size_t frames = std::min(speech.size() / TW_FRAME_SAMPLES, static_cast<std::size_t>(seconds) * 50);
    unsigned char frame[1024];
    ptt_clear_send();
    const double start = threadCpuSeconds();
    for (std::size_t i = 0; i < frames; ++i) {
        ptt_voice_audio_encode(speech.data() + i * TW_FRAME_SAMPLES, TW_FRAME_BYTES, frame, sizeof frame, 1);
    }
    const double cpu = threadCpuSeconds() - start;
    ptt_clear_send();
    return frames > 0 ? cpu / (static_cast<double>(frames) / 50) : 0;
}

bool logInAndTakeTheFloor(uint16_t port) {
    setServerInfo("127.0.0.1", port);
    login("alice", "alice", onLogin);
    event.await();
    // Without a microphone the login callback reports the device at once, before the
    // first group is entered.
    CVoiceTalk& talk = *talkhub::serviceInstance();
    const auto until = Clock::now() + 5s;
    while (talk.getCurrentGroupId() == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);
    if (talk.getLoginState() != 2) return false;
    requestMic(onResult);
    return event.await().has_value();
}

// From the moment each packet was due (by its place in the talker's sequence) to its
// arrival, in microseconds.
std::vector<double> delays(const std::vector<Member::Arrival>& arrivals, const std::vector<Clock::time_point>& due) {
    std::vector<double> micros;
    for (const Member::Arrival& arrival : arrivals) {
        const auto index = static_cast<uint16_t>(arrival.sequence - arrivals.front().sequence);
        if (index < due.size()) micros.push_back(bench::micros(arrival.at - due[index]));
    }
    return micros;
}

std::optional<bench::Summary> printSummary(const char* what, const std::vector<double>& micros) {
    if (micros.empty()) {
        std::printf("%-52s no samples\n", what);
        return std::nullopt;
    }
    const bench::Summary summary = bench::summarise(micros);
    std::printf("%-52s median %8.1f us   p99 %8.1f us   (%zu packets)\n", what, summary.median, summary.p99,
                micros.size());
    return summary;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    capture_source::install();
    playback_sink::installDiscarding();
    const std::vector<int16_t> sentence = speech_sample::make(speech_sample::kSentence);
    if (sentence.empty()) {
        std::fprintf(stderr, "espeak-ng and sox are needed\n");
        return 1;
    }
    std::vector<int16_t> speech;
    while (speech.size() < static_cast<std::size_t>(seconds + 10) * 8000) {
        speech.insert(speech.end(), sentence.begin(), sentence.end());
    }
    capture_source::speak(speech);
    bench::ServerProcess server(argv[1], {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0"});
    if (!server.running()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    initialize();
    Member bob(server, "bob");
    if (!bob.ready()) return 1;
    bob.listen();

    // 1. CPU of one talker.
    if (!logInAndTakeTheFloor(server.tcpPort())) {
        std::fprintf(stderr, "alice did not get the floor\n");
        return 1;
    }
    const double cpuStart = processCpuSeconds();
    const std::map<std::string, double> threadsStart = bench::threadCpu();
    const auto wallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = processCpuSeconds() - cpuStart;
    std::map<std::string, double> threads = bench::threadCpu();
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    releaseMic();
    loginout();
    const std::size_t packets = bob.arrivals(1001).size();
    bob.stop();
    const double talker = cpu - bob.cpuSeconds();
    std::printf("talker CPU over %.0f s of speech: %.3f s, %.2f%% of one core (%zu packets heard, %.1f per s)\n", wall,
                talker, 100.0 * talker / wall, packets, static_cast<double>(packets) / wall);
    for (const auto& [name, spent] : threads) {
        const auto before = threadsStart.find(name);
        const double share = 100.0 * (spent - (before == threadsStart.end() ? 0 : before->second)) / wall;
        if (name.rfind("talkhub-", 0) == 0) std::printf("  %-16s %.2f%% of one core\n", name.c_str(), share);
    }
    const double cadence = bareCadenceShare(std::min(seconds, 20));
    const double codec = codecShare(speech, std::min(seconds, 20));
    std::printf("bare cadence (a 20 ms timer thread waking a second thread): %.2f%% of one core\n", 100.0 * cadence);
    std::printf("the codec alone (the speech encoded back to back):          %.2f%% of one core\n", 100.0 * codec);
    std::printf("talker / (bare cadence + codec): %.2f\n", talker / wall / (cadence + codec));
    bench::report({"CPU per talker (capture, encode, heartbeats)", 100 * talker / wall, "% of a core", "≤ 1.0 %",
                   "a bare 20 ms cadence + the codec alone", 100 * (cadence + codec)});

    // 2. Hand-over of a packet's fifth block to the packet's arrival.
    Member listener(server, "bob");
    if (!listener.ready()) return 1;
    listener.listen();
    capture_source::setPresent(false);
    std::this_thread::sleep_for(400ms);  // the last turn's grace period
    if (!logInAndTakeTheFloor(server.tcpPort())) {
        std::fprintf(stderr, "alice did not get the floor without a microphone\n");
        return 1;
    }
    CAudioMedia* media = talkhub::serviceInstance()->media();
    const int handedPackets = std::min(seconds * 10, 600);
    std::vector<Clock::time_point> fifth;
    auto due = Clock::now();
    for (int block = 0; block < handedPackets * 5; ++block) {
        std::this_thread::sleep_until(due);
        due += 20ms;
        const auto* pcm = reinterpret_cast<const unsigned char*>(speech.data() + block * TW_FRAME_SAMPLES);
        const auto handed = Clock::now();
        media->onAudioRecordDataCallback(pcm, TW_FRAME_BYTES);
        if (block % 5 == 4) fifth.push_back(handed);
    }
    std::this_thread::sleep_for(300ms);
    releaseMic();
    const auto handedOver =
        printSummary("fifth block handed over -> packet at the listener", delays(listener.arrivals(1001), fifth));
    loginout();

    // 3. The relay alone: a bare talker's datagrams to the same listener.
    std::this_thread::sleep_for(400ms);
    Member carol(server, "carol");
    carol.requestFloor();
    std::this_thread::sleep_for(100ms);
    listener.clear();
    std::vector<unsigned char> frame(64);
    const std::vector<int16_t> silence(TW_FRAME_SAMPLES, 0);
    frame.resize(static_cast<std::size_t>(
        ptt_voice_audio_encode(silence.data(), TW_FRAME_BYTES, frame.data(), static_cast<int>(frame.size()), 1)));
    std::vector<Clock::time_point> sent;
    for (int i = 0; i < 300; ++i) {
        unsigned char datagram[TW_DATAGRAM_SIZE];
        const int length = talkwire::datagrams::voice(frame.data(), static_cast<int>(frame.size()), 1, 1, 1003,
                                                      static_cast<uint16_t>(i), datagram, sizeof datagram);
        sent.push_back(Clock::now());
        carol.send(datagram, length);
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(100ms);
    const auto bare =
        printSummary("bare datagram -> listener through the server", delays(listener.arrivals(1003), sent));
    // What the library adds before the wire: the encode thread woken by the fifth block,
    // encoding its frame and sending the packet. A wake-up it sleeps through costs up to
    // its 70 ms wait here, so this is the figure that shows one.
    if (handedOver && bare) {
        std::printf("%-52s median %8.1f us   p99 %8.1f us\n", "the library's own share (less the bare relay)",
                    handedOver->median - bare->median, handedOver->p99 - bare->p99);
        bench::report({"a packet's last block handed over -> on the wire, the library's share, median",
                       handedOver->median - bare->median, "µs", "≤ 1000 µs", "a bare datagram through the server",
                       bare->median});
    }
    listener.stop();
    unInitialize();
    capture_source::remove();
    return 0;
}
