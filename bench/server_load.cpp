// Relay load on the reference server over loopback: 1000 sessions in 100 groups of 10,
// one talker per group. First the nominal load (10 datagrams/s per talker, about 9000
// relayed per second), then the talkers' rate doubles until the server falls behind.
// Prints relayed datagrams per second, the server's CPU per 1000 relayed per second and
// the relay latency (p50, p99); then the same for a bare batched forwarder, the baseline.
// Usage: server_load PATH_TO_talkhub-server
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <talkwire.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bare_forwarder.h"
#include "figure.h"
#include "server_process.h"
#include "thread_cpu.h"
#include "wire_client.h"

namespace {

using bench::frame;
using bench::loopback;

using Clock = std::chrono::steady_clock;
constexpr int kGroups = 100;
constexpr int kGroupSize = 10;
constexpr int kUsers = kGroups * kGroupSize;
const auto kPhase = std::chrono::milliseconds(bench::brief() ? 1000 : 3000);
const int kHighestRate = bench::brief() ? 20 : 640;

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct User {
    int tcp = -1;
    int udp = -1;
    uint32_t id = 0;
};

// The users' login keys: made up, not derived from passwords, so that neither the server's
// start nor the logins spend the derivation's tens of milliseconds 1000 times over.
std::array<unsigned char, TW_LOGIN_KEY_SIZE> keyOf(int index) {
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(index * 31 + static_cast<int>(i));
    return key;
}

// Logs in user number index (0-based: account "u<index+1>"), enters its group, registers
// its voice endpoint; the first user of each group takes the floor.
bool logIn(User& user, const bench::ServerProcess& server, int index) {
    user.tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    user.udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in tcp = loopback(server.tcpPort());
    const sockaddr_in any = loopback(0);
    if (::connect(user.tcp, reinterpret_cast<const sockaddr*>(&tcp), sizeof tcp) != 0 ||
        ::bind(user.udp, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        return false;
    }
    const std::string name = "u" + std::to_string(index + 1);
    char encoded[TW_ENCODED_PASSWORD_SIZE] = {};
    encode_login_proof(name.c_str(), keyOf(index).data(), std::time(nullptr), encoded);
    unsigned char message[512];
    auto framed = frame(message, cp_login(message, sizeof message, name.c_str(), encoded, 0));
    ::send(user.tcp, framed.data(), framed.size(), 0);
    bench::MessageReader reader(user.tcp);
    if (reader.next() != TW_CMD_LOGIN_ACK) {
        return false;
    }
    user.id = static_cast<uint32_t>(index + 1);
    const int group = index / kGroupSize + 1;
    framed = frame(message, cp_activate_group(message, sizeof message, static_cast<uint32_t>(group)));
    ::send(user.tcp, framed.data(), framed.size(), 0);
    if (reader.next() != TW_CMD_ENTER_GROUP_ACK) {
        return false;
    }
    unsigned char datagram[TW_DATAGRAM_SIZE];
    const int size = cp_rtp_heartbeat(datagram, sizeof datagram, user.id);
    const sockaddr_in voice = loopback(server.udpPort());
    ::sendto(user.udp, datagram, static_cast<std::size_t>(size), 0, reinterpret_cast<const sockaddr*>(&voice),
             sizeof voice);
    if (index % kGroupSize == 0) {  // the group's talker
        framed = frame(message, cp_request_mic(message, sizeof message, static_cast<uint32_t>(group)));
        ::send(user.tcp, framed.data(), framed.size(), 0);
        return reader.next() == TW_CMD_REQUEST_MIC_ACK;
    }
    return true;
}

// A voice datagram whose one frame carries the send time.
std::vector<unsigned char> timedVoice() {
    unsigned char frames[1 + 40] = {40};
    const int64_t now = nowNanos();
    std::memcpy(frames + 1, &now, sizeof now);
    std::vector<unsigned char> datagram(256);
    datagram.resize(
        static_cast<std::size_t>(ptt_voice_packet_encode(frames, sizeof frames, 1, datagram.data(), 256, 1)));
    return datagram;
}

struct PhaseResult {
    double relayedPerSecond = 0;
    double expectedPerSecond = 0;
    double cpuPerThousand = 0;
    double cpuShare = 0;
    double p50 = 0;
    double p99 = 0;
};

// The relay under test: where the talkers send, and the process whose CPU counts.
struct Relay {
    uint16_t port;
    pid_t pid;
};

PhaseResult runPhase(const std::vector<User>& users, Relay relay, int ratePerTalker, int epoll) {
    std::atomic<bool> sending{true};
    std::vector<double> latencies;
    uint64_t received = 0;
    const sockaddr_in voice = loopback(relay.port);
    const double cpuBefore = bench::processCpuSeconds(relay.pid);
    const auto start = Clock::now();
    // Talkers send in turn, evenly spread over each interval, as independent talkers would.
    std::thread sender([&] {
        const auto step = std::chrono::nanoseconds(1000000000 / ratePerTalker / kGroups);
        auto next = Clock::now();
        for (int g = 0; sending; g = (g + 1) % kGroups) {
            const auto datagram = timedVoice();
            ::sendto(users[static_cast<std::size_t>(g * kGroupSize)].udp, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&voice), sizeof voice);
            next += step;
            std::this_thread::sleep_until(next);
        }
    });
    epoll_event events[256];
    unsigned char data[2048];
    while (Clock::now() - start < kPhase + std::chrono::milliseconds(200)) {
        if (Clock::now() - start >= kPhase) {
            sending = false;
        }
        const int count = ::epoll_wait(epoll, events, 256, 50);
        for (int i = 0; i < count; ++i) {
            ssize_t size = 0;
            while ((size = ::recv(events[i].data.fd, data, sizeof data, MSG_DONTWAIT)) > 0) {
                ++received;
                int64_t sent = 0;
                std::memcpy(&sent, data + 15, sizeof sent);
                latencies.push_back(static_cast<double>(nowNanos() - sent) / 1000.0);
            }
        }
    }
    sending = false;
    sender.join();
    const double seconds = std::chrono::duration<double>(kPhase).count();
    PhaseResult result;
    result.relayedPerSecond = static_cast<double>(received) / seconds;
    result.expectedPerSecond = static_cast<double>(kGroups * (kGroupSize - 1) * ratePerTalker);
    const double cpu = bench::processCpuSeconds(relay.pid) - cpuBefore;
    result.cpuShare = cpu / seconds;
    result.cpuPerThousand = result.cpuShare / (result.relayedPerSecond / 1000.0);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        result.p50 = latencies[latencies.size() / 2];
        result.p99 = latencies[latencies.size() * 99 / 100];
    }
    return result;
}

// Runs the nominal load, then doubles the rate until the relay falls behind; the results
// in that order.
std::vector<PhaseResult> sweepRates(const std::vector<User>& users, Relay relay, int epoll) {
    std::vector<PhaseResult> results;
    for (int rate = 10; rate <= kHighestRate; rate *= 2) {
        const PhaseResult result = runPhase(users, relay, rate, epoll);
        results.push_back(result);
        std::printf(
            "talkers at %3d/s: relayed %7.0f/s of %7.0f expected, CPU %5.1f%% of one core "
            "(%.2f%% per 1000/s), latency p50 %.0f us p99 %.0f us\n",
            rate, result.relayedPerSecond, result.expectedPerSecond, 100 * result.cpuShare, 100 * result.cpuPerThousand,
            result.p50, result.p99);
        std::fflush(stdout);
        if (result.relayedPerSecond < 0.95 * result.expectedPerSecond) {
            std::printf("saturated: about %.0f datagrams/s relayed\n", result.relayedPerSecond);
            break;
        }
    }
    return results;
}

// For each group's talker (by its voice port), the voice ports of the other members.
std::map<uint16_t, std::vector<uint16_t>> groupRoutes(const std::vector<User>& users) {
    const auto portOf = [](int fd) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    };
    std::map<uint16_t, std::vector<uint16_t>> routes;
    for (int g = 0; g < kGroups; ++g) {
        std::vector<uint16_t>& listeners = routes[portOf(users[static_cast<std::size_t>(g * kGroupSize)].udp)];
        for (int m = 1; m < kGroupSize; ++m) {
            listeners.push_back(portOf(users[static_cast<std::size_t>(g * kGroupSize + m)].udp));
        }
    }
    return routes;
}

// The highest rate relayed: the saturated phase's, or the last one's when none saturated.
double saturation(const std::vector<PhaseResult>& results) {
    double highest = 0;
    for (const PhaseResult& result : results) highest = std::max(highest, result.relayedPerSecond);
    return highest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: server_load PATH_TO_talkhub-server\n");
        return 2;
    }
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    const std::string config = "/tmp/talkhub-server-load-" + std::to_string(::getpid()) + ".toml";
    {
        std::ofstream out(config);
        out << "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\nheartbeat_ms = 600000\n"
            << "[limits]\nsessions = 2000\nmax_talk_seconds = 3600\n";
        for (int i = 0; i < kUsers; ++i) {
            char key[TW_LOGIN_KEY_TEXT_SIZE] = {};
            encode_login_key(keyOf(i).data(), key);
            out << "[[account]]\nid = " << i + 1 << "\nname = \"u" << i + 1 << "\"\nkey = \"" << key << "\"\n";
        }
        for (int g = 0; g < kGroups; ++g) {
            out << "[[group]]\nid = " << g + 1 << "\nname = \"g" << g + 1 << "\"\nmembers = [";
            for (int m = 0; m < kGroupSize; ++m) {
                out << (m ? ", " : "") << "\"u" << g * kGroupSize + m + 1 << "\"";
            }
            out << "]\n";
        }
    }
    const bench::ServerProcess server(argv[1], {"--config", config, "--stats-interval", "0"});
    if (!server.running()) {
        std::fprintf(stderr, "server_load: the server did not start\n");
        return 1;
    }
    std::vector<User> users(kUsers);
    const int epoll = ::epoll_create1(0);
    bool ready = true;
    for (int i = 0; i < kUsers && ready; ++i) {
        ready = logIn(users[static_cast<std::size_t>(i)], server, i);
        if (i % kGroupSize != 0) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = users[static_cast<std::size_t>(i)].udp;
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, event.data.fd, &event);
        }
    }
    int status = 0;
    if (!ready) {
        std::fprintf(stderr, "server_load: logging in %d users failed\n", kUsers);
        status = 1;
    } else {
        std::printf("%d sessions in %d groups of %d, one talker per group, %.0f s per phase\n", kUsers, kGroups,
                    kGroupSize, std::chrono::duration<double>(kPhase).count());
        std::printf("talkhub-server:\n");
        const std::vector<PhaseResult> relayed = sweepRates(users, {server.udpPort(), server.pid()}, epoll);
        std::printf("a bare batched forwarder (recvmmsg, sendmmsg; no sessions, parsing or floor):\n");
        const bench::BareForwarder forwarder(groupRoutes(users));
        const std::vector<PhaseResult> bare = sweepRates(users, {forwarder.port(), forwarder.pid()}, epoll);
        if (!relayed.empty() && !bare.empty()) {
            bench::report({"server: CPU relaying 9000 datagrams/s", 100 * relayed[0].cpuShare, "% of a core", "≤ 15 %",
                           "a bare batched forwarder", 100 * bare[0].cpuShare});
            bench::report({"server: relay latency p50 at 9000 datagrams/s", relayed[0].p50, "µs", "≤ 1000 µs",
                           "a bare batched forwarder", bare[0].p50});
            bench::report({"server: datagrams relayed per second at saturation", saturation(relayed), "/s",
                           "≥ 0.8 × baseline", "a bare batched forwarder", saturation(bare)});
        }
    }
    std::remove(config.c_str());
    return status;
}
