// Server nodes of a cluster for tests: in the test's process, or as a program of its own
// that a test can kill, joined through a NATS cluster the test started.
#pragma once

#include <nats/nats.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "nats_cluster.h"
#include "server_test_support.h"

namespace cluster_test {

constexpr uint32_t kLeaseMs = 1500;

// The NATS library's own threads end before the process does, so that none of them is still
// in OpenSSL (which the library sets up) while the process tears OpenSSL down. One for the
// whole program, however many files include this.
class NatsLibrary : public ::testing::Environment {
public:
    void TearDown() override { nats_CloseAndWait(5000); }
};
inline const ::testing::Environment* const natsLibrary = ::testing::AddGlobalTestEnvironment(new NatsLibrary);

inline talkhub_server::ServerConfig nodeConfig(const test_kit::NatsCluster& nats, const char* node) {
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    talkhub_server::ClusterConfig cluster;
    cluster.natsUrls = nats.urls();
    cluster.node = node;
    cluster.floorLeaseMs = kLeaseMs;
    cluster.replicas = static_cast<uint32_t>(nats.size());
    cluster.plainNats = true;  // the test's NATS is on loopback
    config.cluster = cluster;
    return config;
}

// A node as a program of its own, which a test can kill: the demo directory's accounts and
// groups (a plain password each, as an old configuration may still give), in a cluster.
inline std::string nodeFile(const test_kit::NatsCluster& nats, const char* node) {
    const std::string path = "/tmp/talkhub-node-" + std::string(node) + "-" + std::to_string(::getpid()) + ".toml";
    std::ofstream out(path);
    out << "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\n";
    const char* names[] = {"alice", "bob", "carol", "dave"};
    for (int i = 0; i < 4; ++i) {
        out << "[[account]]\nid = " << 1001 + i << "\nname = \"" << names[i] << "\"\npassword = \"" << names[i]
            << "\"\n";
    }
    out << "[[group]]\nid = 1\nname = \"Dispatch\"\nmembers = [\"alice\", \"bob\", \"carol\", \"dave\"]\n";
    out << "[cluster]\nnats = [";
    for (const std::string& url : nats.urls()) out << "\"" << url << "\", ";
    out << "]\nnode = \"" << node << "\"\nfloor_lease_ms = " << kLeaseMs << "\nreplicas = " << nats.size()
        << "\nplain_nats = true\n";
    return path;
}

// How many floor claims the cluster's stream holds, as NATS itself reports them; -1 when it
// cannot be asked.
inline int64_t floorClaims(const test_kit::NatsCluster& nats) {
    natsConnection* connection = nullptr;
    if (natsConnection_ConnectTo(&connection, nats.url(0).c_str()) != NATS_OK) return -1;
    jsCtx* jetStream = nullptr;
    jsStreamInfo* info = nullptr;
    int64_t claims = -1;
    if (natsConnection_JetStream(&jetStream, connection, nullptr) == NATS_OK &&
        js_GetStreamInfo(&info, jetStream, "TALKHUB_FLOOR", nullptr, nullptr) == NATS_OK) {
        claims = static_cast<int64_t>(info->State.Msgs);
    }
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(jetStream);
    natsConnection_Destroy(connection);
    return claims;
}

// Two nodes, a and b, with alice logged in on a and bob on b, both in group 1.
struct AliceOnABobOnB {
    AliceOnABobOnB(talkhub_server::ServerConfig forA, talkhub_server::ServerConfig forB)
        : a(std::move(forA)), b(std::move(forB)), alice(a.tcpPort(), a.udpPort()), bob(b.tcpPort(), b.udpPort()) {
        alice.join("alice", 1);
        bob.join("bob", 1);
    }
    explicit AliceOnABobOnB(const test_kit::NatsCluster& nats)
        : AliceOnABobOnB(nodeConfig(nats, "a"), nodeConfig(nats, "b")) {}

    server_test::RunningServer a;
    server_test::RunningServer b;
    server_test::Client alice;
    server_test::Client bob;
};

// Watches a node's key in the nodes bucket from outside, as NATS carries each renewal, and
// tells the longest gap between two of them.
class KeyRenewals {
public:
    KeyRenewals(const test_kit::NatsCluster& nats, const std::string& node) {
        natsConnection_ConnectTo(&connection_, nats.url(0).c_str());
        const std::string subject = "$KV.talkhub_nodes.node." + node;
        if (connection_ != nullptr) natsConnection_Subscribe(&subscription_, connection_, subject.c_str(), onPut, this);
    }
    ~KeyRenewals() {
        natsSubscription_Unsubscribe(subscription_);
        natsSubscription_Destroy(subscription_);
        natsConnection_Destroy(connection_);
    }
    KeyRenewals(const KeyRenewals&) = delete;
    KeyRenewals& operator=(const KeyRenewals&) = delete;

    std::size_t renewals() const {
        std::lock_guard lock(lock_);
        return puts_.size();
    }
    std::chrono::milliseconds longestGap() const {
        std::lock_guard lock(lock_);
        std::chrono::steady_clock::duration longest{};
        for (std::size_t i = 1; i < puts_.size(); ++i) longest = std::max(longest, puts_[i] - puts_[i - 1]);
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    }

private:
    static void onPut(natsConnection*, natsSubscription*, natsMsg* message, void* closure) {
        auto* self = static_cast<KeyRenewals*>(closure);
        std::lock_guard lock(self->lock_);
        self->puts_.push_back(std::chrono::steady_clock::now());
        natsMsg_Destroy(message);
    }

    natsConnection* connection_ = nullptr;
    natsSubscription* subscription_ = nullptr;
    mutable std::mutex lock_;
    std::vector<std::chrono::steady_clock::time_point> puts_;
};

}  // namespace cluster_test
