// Relay load for the server benchmarks: users in groups with one talker each, logged in
// over the wire with made-up login keys; talkers send timed voice datagrams, sealed as
// every client's are, at a set rate
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

#include "datagram_format.h"
#include "figure.h"
#include "login_exchange.h"
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
    std::unique_ptr<WireClient> control;
};

// The users' login keys: made up, not derived from passwords, so that neither the server's
// start nor the logins spend the derivation's tens of milliseconds 1000 times over.
inline std::array<unsigned char, TW_LOGIN_KEY_SIZE> keyOf(int index) {
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(index * 31 + static_cast<int>(i));
    return key;
}

// What the client derives from user number index's made-up login key.
inline talkwire::spake2plus::ProverSecret secretOf(int index) {
    talkwire::spake2plus::ProverSecret secret;
    talkwire::login::proverSecret(keyOf(index), secret);
    return secret;
}

// Reads until the answer `command` comes: a floor notice of another member may come first.
inline bool answered(WireClient& client, unsigned char command) {
    for (int skipped = 0; skipped < 16; ++skipped) {
        const unsigned char got = client.next();
        if (got == command) return true;
        if (got == 0) return false;
    }
    return false;
}

// Logs in user number index (0-based: account "u<index+1>"), enters its group, registers
// its voice endpoint; the first user of each group takes the floor.
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
    user.control = std::make_unique<WireClient>(user.tcp);
    WireClient& client = *user.control;
    if (!client.logIn(name.c_str(), client.wire().startLogin(name, secretOf(index)))) {
        return false;
    }
    user.id = static_cast<uint32_t>(index + 1);
    const int group = index / groupSize + 1;
    unsigned char message[64];
    client.send(message, cp_activate_group(message, sizeof message, static_cast<uint32_t>(group)));
    if (!answered(client, TW_CMD_ENTER_GROUP_ACK)) {
        return false;
    }
    unsigned char datagram[TW_DATAGRAM_SIZE];
    const auto heartbeat = client.seal(datagram, talkwire::datagrams::heartbeat(datagram, sizeof datagram, user.id));
    const sockaddr_in voice = loopback(udpPort);
    ::sendto(user.udp, heartbeat.data(), heartbeat.size(), 0, reinterpret_cast<const sockaddr*>(&voice), sizeof voice);
    if (index % groupSize == 0) {  // the group's talker
        client.send(message, cp_request_mic(message, sizeof message, static_cast<uint32_t>(group)));
        return answered(client, TW_CMD_REQUEST_MIC_ACK);
    }
    return true;
}

// The offset of the send time in a plain voice datagram: after its header and the frame's
// length byte.
inline constexpr std::size_t kSendTimeAt = 15;

// A talker's voice datagram, sealed or plain, whose one frame carries the send time.
inline std::vector<unsigned char> timedVoice(User& talker, uint16_t sequence, bool sealed) {
    unsigned char frames[1 + 40] = {40};
    const int64_t now = nowNanos();
    std::memcpy(frames + 1, &now, sizeof now);
    unsigned char datagram[256];
    const int length = talkwire::datagrams::voice(frames, sizeof frames, 1, 1, talker.id, sequence, datagram, 256);
    return sealed ? talker.control->seal(datagram, length)
                  : std::vector<unsigned char>(datagram, datagram + std::max(length, 0));
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

// The relay under test: where the talkers send, the processes whose CPU counts, and whether
// it opens and seals (a server does; a bare forwarder gets plain datagrams).
struct Relay {
    uint16_t port;
    std::vector<pid_t> pids;
    bool seals = true;
};

// One phase at `ratePerTalker` datagrams a second from the first user of each group of
// `groupSize`; the listeners' sockets are in `epoll`.
inline PhaseResult runPhase(std::vector<User>& users, int groupSize, const Relay& relay, int ratePerTalker, int epoll,
                            std::chrono::milliseconds phase) {
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
        uint16_t sequence = 0;
        auto next = Clock::now();
        for (int g = 0; sending; g = (g + 1) % groups) {
            User& talker = users[static_cast<std::size_t>(g * groupSize)];
            const auto datagram = timedVoice(talker, sequence++, relay.seals);
            ::sendto(talker.udp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&voice),
                     sizeof voice);
            next += step;
            std::this_thread::sleep_until(next);
        }
    });
    epoll_event events[256];
    std::vector<unsigned char> data(2048);
    while (Clock::now() - start < phase + std::chrono::milliseconds(200)) {
        if (Clock::now() - start >= phase) {
            sending = false;
        }
        const int count = ::epoll_wait(epoll, events, 256, 50);
        for (int i = 0; i < count; ++i) {
            User& listener = *static_cast<User*>(events[i].data.ptr);
            ssize_t size = 0;
            while ((size = ::recv(listener.udp, data.data(), data.size(), MSG_DONTWAIT)) > 0) {
                const std::vector<unsigned char> arrived(data.begin(),
                                                         data.begin() + static_cast<std::ptrdiff_t>(size));
                const auto plain = relay.seals ? listener.control->wire().openDatagram(arrived) : arrived;
                if (!plain || plain->size() < kSendTimeAt + sizeof(int64_t)) continue;
                ++received;
                int64_t sent = 0;
                std::memcpy(&sent, plain->data() + kSendTimeAt, sizeof sent);
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

// A listener's voice socket, whose arrivals runPhase reads and opens.
inline void watchListener(int epoll, User& listener) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener.udp, &event);
}

// The accounts "u1".."u<users>" with their keys, in groups of `groupSize`, after `head`
// (the [server], [limits] and any [cluster] lines).
inline void writeDirectory(const std::string& path, const std::string& head, int users, int groupSize) {
    std::ofstream out(path);
    out << head;
    for (int i = 0; i < users; ++i) {
        talkwire::spake2plus::VerifierRecord record;
        talkwire::spake2plus::verifierRecord(secretOf(i), record);
        out << "[[account]]\nid = " << i + 1 << "\nname = \"u" << i + 1 << "\"\nkey = \""
            << talkwire::login::recordText(record) << "\"\n";
    }
    for (int g = 0; g < users / groupSize; ++g) {
        out << "[[group]]\nid = " << g + 1 << "\nname = \"g" << g + 1 << "\"\nmembers = [";
        for (int m = 0; m < groupSize; ++m) out << (m ? ", " : "") << "\"u" << g * groupSize + m + 1 << "\"";
        out << "]\n";
    }
}

}  // namespace bench
