// The relay across cluster nodes beside a single node, in one run on loopback: 20 groups of
// 10, one talker each. First every user on one server without a cluster; then the talkers
// on node A and their listeners on node B of a cluster joined through three NATS servers,
// so that every datagram crosses once per group. Prints the relay latency (p50, p99) and
// the CPU per datagram of each node.
// Usage: cluster PATH_TO_talkhub-server
#include <sys/epoll.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nats_cluster.h"
#include "relay_load.h"
#include "server_process.h"

namespace {

constexpr int kGroups = 20;
constexpr int kGroupSize = 10;
constexpr int kUsers = kGroups * kGroupSize;
constexpr int kRatePerTalker = 25;  // 500 datagrams in, 4500 relayed a second
const auto kPhase = std::chrono::milliseconds(bench::brief() ? 1000 : 10000);

const char* kServerHead =
    "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\nheartbeat_ms = 600000\n"
    "[limits]\nsessions = 2000\nmax_talk_seconds = 3600\n";

std::string clusterHead(const test_kit::NatsCluster& nats, const char* node) {
    std::string head = kServerHead;
    head += "[cluster]\nnats = [";
    for (const std::string& url : nats.urls()) head += "\"" + url + "\", ";
    head += "]\nnode = \"" + std::string(node) + "\"\nreplicas = 3\nplain_nats = true\n";
    return head;
}

// Logs every user in, the talkers (first of each group) at `talkers`, the others at
// `listeners`, whose voice sockets go into `epoll`.
bool logInAll(std::vector<bench::User>& users, const bench::ServerProcess& talkers,
              const bench::ServerProcess& listeners, int epoll) {
    for (int i = 0; i < kUsers; ++i) {
        const bench::ServerProcess& server = i % kGroupSize == 0 ? talkers : listeners;
        if (!bench::logIn(users[static_cast<std::size_t>(i)], server.tcpPort(), server.udpPort(), i, kGroupSize)) {
            return false;
        }
        if (i % kGroupSize != 0) {
            bench::watchListener(epoll, users[static_cast<std::size_t>(i)]);
        }
    }
    // The voice heartbeats and the cluster's subscriptions settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return true;
}

void closeAll(std::vector<bench::User>& users) {
    for (bench::User& user : users) {
        ::close(user.tcp);
        ::close(user.udp);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: cluster PATH_TO_talkhub-server\n");
        return 2;
    }
    bench::raiseFileLimit();
    const std::string stem = "/tmp/talkhub-cluster-bench-" + std::to_string(::getpid());
    const double talkerRate = kGroups * kRatePerTalker;
    std::printf(
        "%d sessions in %d groups of %d, talkers at %d/s: %.0f datagrams in and %.0f relayed a second, %.0f s "
        "per phase\n",
        kUsers, kGroups, kGroupSize, kRatePerTalker, talkerRate, talkerRate * (kGroupSize - 1),
        std::chrono::duration<double>(kPhase).count());

    bench::writeDirectory(stem + "-single.toml", kServerHead, kUsers, kGroupSize);
    bench::PhaseResult single;
    {
        const bench::ServerProcess server(argv[1], {"--config", stem + "-single.toml", "--stats-interval", "0"});
        std::vector<bench::User> users(kUsers);
        const int epoll = ::epoll_create1(0);
        if (!server.running() || !logInAll(users, server, server, epoll)) {
            std::fprintf(stderr, "cluster: the single server did not take the users\n");
            return 1;
        }
        single = bench::runPhase(users, kGroupSize, {server.udpPort(), {server.pid()}}, kRatePerTalker, epoll, kPhase);
        closeAll(users);
        ::close(epoll);
    }

    test_kit::NatsCluster nats(3);
    if (!nats.ready()) {
        std::fprintf(stderr, "cluster: the NATS servers did not start\n");
        return 1;
    }
    bench::writeDirectory(stem + "-a.toml", clusterHead(nats, "a"), kUsers, kGroupSize);
    bench::writeDirectory(stem + "-b.toml", clusterHead(nats, "b"), kUsers, kGroupSize);
    bench::PhaseResult crossing;
    {
        const bench::ServerProcess a(argv[1], {"--config", stem + "-a.toml", "--stats-interval", "0"},
                                     (stem + "-a.log").c_str());
        const bench::ServerProcess b(argv[1], {"--config", stem + "-b.toml", "--stats-interval", "0"},
                                     (stem + "-b.log").c_str());
        std::vector<bench::User> users(kUsers);
        const int epoll = ::epoll_create1(0);
        if (!a.running() || !b.running() || !logInAll(users, a, b, epoll)) {
            std::fprintf(stderr, "cluster: the nodes did not take the users\n");
            return 1;
        }
        crossing = bench::runPhase(users, kGroupSize, {a.udpPort(), {a.pid(), b.pid()}}, kRatePerTalker, epoll, kPhase);
        closeAll(users);
        ::close(epoll);
    }
    for (const char* suffix : {"-single.toml", "-a.toml", "-b.toml"}) std::remove((stem + suffix).c_str());

    const double in = talkerRate;
    const double delivered = crossing.relayedPerSecond;
    std::printf(
        "single node: relayed %.0f/s, latency p50 %.0f us p99 %.0f us, CPU %.1f%% of a core (%.2f us per "
        "datagram in, %.2f us per copy relayed)\n",
        single.relayedPerSecond, single.p50, single.p99, 100 * single.cpuShare, 1e6 * single.cpuShare / in,
        1e6 * single.cpuShare / single.relayedPerSecond);
    std::printf(
        "across nodes: relayed %.0f/s, latency p50 %.0f us p99 %.0f us; node A (publishes) CPU %.1f%% (%.2f us "
        "per datagram in), node B (fans out) CPU %.1f%% (%.2f us per copy relayed)\n",
        delivered, crossing.p50, crossing.p99, 100 * crossing.cpuShares[0], 1e6 * crossing.cpuShares[0] / in,
        100 * crossing.cpuShares[1], 1e6 * crossing.cpuShares[1] / delivered);
    bench::report({"cluster: relay latency p99 across nodes", crossing.p99, "µs", "≤ single node + 2000 µs",
                   "a single node", single.p99});
    bench::report({"cluster: CPU per datagram in, publishing node", 1e6 * crossing.cpuShares[0] / in, "µs",
                   "≤ 2 × single node", "a single node", 1e6 * single.cpuShare / in});
    bench::report({"cluster: CPU per copy relayed, receiving node", 1e6 * crossing.cpuShares[1] / delivered, "µs",
                   "≤ 2 × single node", "a single node", 1e6 * single.cpuShare / single.relayedPerSecond});
    return 0;
}
