// A NATS cluster of its own for a test or a benchmark: `nodes` nats-server processes with
// JetStream, routed to each other on loopback ports, their data and logs in a private
// folder. A node can be killed and started again; every node ends with its owner, however
// the owner ends.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_wire.h"

namespace test_kit {

class NatsCluster {
public:
    // `extra` is added to each server's configuration (authorization, TLS).
    explicit NatsCluster(int nodes, std::string extra = {}) : extra_(std::move(extra)) {
        char folder[] = "/tmp/talkhub-nats-XXXXXX";
        folder_ = ::mkdtemp(folder) != nullptr ? folder : "";
        for (int i = 0; i < nodes; ++i) nodes_.push_back({freePort(), freePort(), -1});
        for (int i = 0; i < nodes; ++i) writeConfig(i);
        for (int i = 0; i < nodes; ++i) start(i);
    }
    ~NatsCluster() {
        for (int i = 0; i < static_cast<int>(nodes_.size()); ++i) kill(i);
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    NatsCluster(const NatsCluster&) = delete;
    NatsCluster& operator=(const NatsCluster&) = delete;

    // Whether every node takes client connections, waiting up to `wait`.
    bool ready(std::chrono::milliseconds wait = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (const Node& node : nodes_) {
            while (!accepts(node.clientPort)) {
                if (std::chrono::steady_clock::now() >= deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return true;
    }

    int size() const { return static_cast<int>(nodes_.size()); }
    std::string url(int node) const { return "nats://127.0.0.1:" + std::to_string(nodes_[node].clientPort); }
    std::vector<std::string> urls() const {
        std::vector<std::string> all;
        for (int i = 0; i < static_cast<int>(nodes_.size()); ++i) all.push_back(url(i));
        return all;
    }

    void kill(int node) {
        Node& n = nodes_[node];
        if (n.pid <= 0) return;
        ::kill(n.pid, SIGKILL);
        ::waitpid(n.pid, nullptr, 0);
        n.pid = -1;
    }

    void start(int node) {
        const std::string config = configPath(node);
        const std::string log = folder_ + "/n" + std::to_string(node) + ".log";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            std::freopen(log.c_str(), "a", stderr);
            std::freopen("/dev/null", "w", stdout);
            ::execlp("nats-server", "nats-server", "-c", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        nodes_[node].pid = pid;
    }

private:
    struct Node {
        uint16_t clientPort;
        uint16_t routePort;
        pid_t pid;
    };

    std::string configPath(int node) const { return folder_ + "/n" + std::to_string(node) + ".conf"; }

    void writeConfig(int node) const {
        std::ofstream out(configPath(node));
        out << "server_name: n" << node << "\nlisten: 127.0.0.1:" << nodes_[node].clientPort << "\n"
            << "jetstream { store_dir: \"" << folder_ << "/n" << node << "\", max_memory_store: 64MB, "
            << "max_file_store: 64MB }\n"
            << extra_ << "\n";
        if (nodes_.size() < 2) return;
        // Clients are not told of the other servers: one given a single URL stays on it, so a
        // test can cut it off by killing that server.
        out << "cluster { name: talkhub-test, no_advertise: true, listen: 127.0.0.1:" << nodes_[node].routePort
            << ", routes: [";
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            out << (i == 0 ? " " : ", ") << "\"nats-route://127.0.0.1:" << nodes_[i].routePort << "\"";
        }
        out << " ] }\n";
    }

    // A port the system hands out now; free again when the node binds it a moment later.
    static uint16_t freePort() {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        return ntohs(address.sin_port);
    }

    static bool accepts(uint16_t port) {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopback(port);
        const bool connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        return connected;
    }

    std::string extra_;
    std::string folder_;
    std::vector<Node> nodes_;
};

}  // namespace test_kit
