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
#include "relay_load.h"
#include "server_process.h"

namespace {

using bench::PhaseResult;
using bench::Relay;
using bench::User;

constexpr int kGroups = 100;
constexpr int kGroupSize = 10;
constexpr int kUsers = kGroups * kGroupSize;
const auto kPhase = std::chrono::milliseconds(bench::brief() ? 1000 : 3000);
const int kHighestRate = bench::brief() ? 20 : 640;

// Runs the nominal load, then doubles the rate until the relay falls behind; the results
// in that order.
std::vector<PhaseResult> sweepRates(std::vector<User>& users, Relay relay, int epoll) {
    std::vector<PhaseResult> results;
    for (int rate = 10; rate <= kHighestRate; rate *= 2) {
        const PhaseResult result = bench::runPhase(users, kGroupSize, relay, rate, epoll, kPhase);
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
    bench::raiseFileLimit();

    const std::string config = "/tmp/talkhub-server-load-" + std::to_string(::getpid()) + ".toml";
    bench::writeDirectory(config,
                          "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\nheartbeat_ms = 600000\n"
                          "[limits]\nsessions = 2000\nmax_talk_seconds = 3600\n",
                          kUsers, kGroupSize);
    const bench::ServerProcess server(argv[1], {"--config", config, "--stats-interval", "0"});
    if (!server.running()) {
        std::fprintf(stderr, "server_load: the server did not start\n");
        return 1;
    }
    std::vector<User> users(kUsers);
    const int epoll = ::epoll_create1(0);
    bool ready = true;
    for (int i = 0; i < kUsers && ready; ++i) {
        ready = bench::logIn(users[static_cast<std::size_t>(i)], server.tcpPort(), server.udpPort(), i, kGroupSize);
        if (i % kGroupSize != 0) {
            bench::watchListener(epoll, users[static_cast<std::size_t>(i)]);
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
        const std::vector<PhaseResult> relayed = sweepRates(users, {server.udpPort(), {server.pid()}}, epoll);
        std::printf("a bare batched forwarder (recvmmsg, sendmmsg; no sessions, parsing or floor):\n");
        const bench::BareForwarder forwarder(groupRoutes(users));
        const std::vector<PhaseResult> bare = sweepRates(users, {forwarder.port(), {forwarder.pid()}, false}, epoll);
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
