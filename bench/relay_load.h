// Relay load for the server benchmarks: users in groups with one talker each, logged in
// over the wire with made-up login keys; talkers send timed voice datagrams at a set rate
// and the listeners' arrivals give the relay's rate and latency, and the relaying
// processes' CPU.
#pragma once

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "figure.h"
#include "thread_cpu.h"
#include "wire_client.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct User {
    int tcp = -1;
    int udp = -1;
    uint32_t id = 0;
};

// The users' login keys: made up, not derived from passwords, so that neither the server's
// start nor the logins spend the derivation's tens of milliseconds 1000 times over.
inline std::array<unsigned char, TW_LOGIN_KEY_SIZE> keyOf(int index) {
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(index * 31 + static_cast<int>(i));
    return key;
}

// Logs in user number index (0-based: account "u<index+1>"), enters its group, registers
// its voice endpoint; the first user of each group takes the floor.
// Reads until the answer `command` comes: a floor notice of another member may come first.
inline bool answered(MessageReader& reader, unsigned char command) {
    for (int skipped = 0; skipped < 16; ++skipped) {
        const unsigned char got = reader.next();
        if (got == command) return true;
        if (got == 0) return false;
    }
    return false;
}

inline bool logIn(User& user, uint16_t tcpPort, uint16_t udpPort, int index, int groupSize) {
    user.tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    user.udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in tcp = loopback(tcpPort);
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
    MessageReader reader(user.tcp);
    if (!answered(reader, TW_CMD_LOGIN_ACK)) {
        return false;
    }
    user.id = static_cast<uint32_t>(index + 1);
    const int group = index / groupSize + 1;
    framed = frame(message, cp_activate_group(message, sizeof message, static_cast<uint32_t>(group)));
    ::send(user.tcp, framed.data(), framed.size(), 0);
    if (!answered(reader, TW_CMD_ENTER_GROUP_ACK)) {
        return false;
    }
    unsigned char datagram[TW_DATAGRAM_SIZE];
    const int size = cp_rtp_heartbeat(datagram, sizeof datagram, user.id);
    const sockaddr_in voice = loopback(udpPort);
    ::sendto(user.udp, datagram, static_cast<std::size_t>(size), 0, reinterpret_cast<const sockaddr*>(&voice),
             sizeof voice);
    if (index % groupSize == 0) {  // the group's talker
        framed = frame(message, cp_request_mic(message, sizeof message, static_cast<uint32_t>(group)));
        ::send(user.tcp, framed.data(), framed.size(), 0);
        return answered(reader, TW_CMD_REQUEST_MIC_ACK);
    }
    return true;
}

// A voice datagram whose one frame carries the send time.
inline std::vector<unsigned char> timedVoice() {
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
    double cpuPerThousand = 0;  // of the first relaying process
    double cpuShare = 0;
    std::vector<double> cpuShares;  // of each relaying process
    double p50 = 0;
    double p99 = 0;
};

// The relay under test: where the talkers send, and the processes whose CPU counts.
struct Relay {
    uint16_t port;
    std::vector<pid_t> pids;
};

// One phase at `ratePerTalker` datagrams a second from the first user of each group of
// `groupSize`; the listeners' sockets are in `epoll`.
inline PhaseResult runPhase(const std::vector<User>& users, int groupSize, const Relay& relay, int ratePerTalker,
                            int epoll, std::chrono::milliseconds phase) {
    const int groups = static_cast<int>(users.size()) / groupSize;
    std::atomic<bool> sending{true};
    std::vector<double> latencies;
    uint64_t received = 0;
    const sockaddr_in voice = loopback(relay.port);
    std::vector<double> cpuBefore;
    for (pid_t pid : relay.pids) cpuBefore.push_back(processCpuSeconds(pid));
    const auto start = Clock::now();
    // Talkers send in turn, evenly spread over each interval, as independent talkers would.
    std::thread sender([&] {
        const auto step = std::chrono::nanoseconds(1000000000 / ratePerTalker / groups);
        auto next = Clock::now();
        for (int g = 0; sending; g = (g + 1) % groups) {
            const auto datagram = timedVoice();
            ::sendto(users[static_cast<std::size_t>(g * groupSize)].udp, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&voice), sizeof voice);
            next += step;
            std::this_thread::sleep_until(next);
        }
    });
    epoll_event events[256];
    unsigned char data[2048];
    while (Clock::now() - start < phase + std::chrono::milliseconds(200)) {
        if (Clock::now() - start >= phase) {
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
    const double seconds = std::chrono::duration<double>(phase).count();
    PhaseResult result;
    result.relayedPerSecond = static_cast<double>(received) / seconds;
    result.expectedPerSecond = static_cast<double>(groups * (groupSize - 1) * ratePerTalker);
    for (std::size_t i = 0; i < relay.pids.size(); ++i) {
        result.cpuShares.push_back((processCpuSeconds(relay.pids[i]) - cpuBefore[i]) / seconds);
    }
    result.cpuShare = result.cpuShares.empty() ? 0 : result.cpuShares[0];
    result.cpuPerThousand = result.cpuShare / (result.relayedPerSecond / 1000.0);
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        result.p50 = latencies[latencies.size() / 2];
        result.p99 = latencies[latencies.size() * 99 / 100];
    }
    return result;
}

// A thousand sessions need more descriptors than a shell's default limit.
inline void raiseFileLimit() {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
}

// A listener's voice socket, whose arrivals runPhase reads.
inline void watchListener(int epoll, int socket) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = socket;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event);
}

// The accounts "u1".."u<users>" with their keys, in groups of `groupSize`, after `head`
// (the [server], [limits] and any [cluster] lines).
inline void writeDirectory(const std::string& path, const std::string& head, int users, int groupSize) {
    std::ofstream out(path);
    out << head;
    for (int i = 0; i < users; ++i) {
        char key[TW_LOGIN_KEY_TEXT_SIZE] = {};
        encode_login_key(keyOf(i).data(), key);
        out << "[[account]]\nid = " << i + 1 << "\nname = \"u" << i + 1 << "\"\nkey = \"" << key << "\"\n";
    }
    for (int g = 0; g < users / groupSize; ++g) {
        out << "[[group]]\nid = " << g + 1 << "\nname = \"g" << g + 1 << "\"\nmembers = [";
        for (int m = 0; m < groupSize; ++m) out << (m ? ", " : "") << "\"u" << g * groupSize + m + 1 << "\"";
        out << "]\n";
    }
}

}  // namespace bench
