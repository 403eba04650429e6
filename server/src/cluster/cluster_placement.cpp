// Placement: every node's record in the nodes bucket says where it takes logins and how
// loaded it is, so that a node that is full or draining can send a login on to another.
#include <sstream>

#include "cluster/cluster.h"

namespace talkhub_server {

// "<address> <tcp port> <voice address> <voice port> <sessions> <limit> <draining 0|1> <run>"
std::string NodeLoad::encode() const {
    return address + " " + std::to_string(tcpPort) + " " + voiceAddress + " " + std::to_string(voicePort) + " " +
           std::to_string(sessions) + " " + std::to_string(limit) + " " + (draining ? "1" : "0") + " " + run;
}

std::optional<NodeLoad> NodeLoad::parse(const std::string& node, const std::string& text) {
    if (text.size() > 256) return std::nullopt;
    std::istringstream in(text);
    NodeLoad load;
    load.node = node;
    int draining = 0;
    if (!(in >> load.address >> load.tcpPort >> load.voiceAddress >> load.voicePort >> load.sessions >> load.limit >>
          draining >> load.run) ||
        load.address.size() >= 16 || load.tcpPort == 0 || (draining != 0 && draining != 1) || load.run.size() > 32) {
        return std::nullopt;
    }
    load.draining = draining == 1;
    return load;
}

bool Cluster::departed(const std::string& node) const {
    std::lock_guard lock(loadsLock_);
    return departed_.count(node) != 0;
}

void Cluster::describeSelf(const NodeLoad& self) {
    std::lock_guard lock(loadsLock_);
    self_ = self;
    self_.run = run_;
}

void Cluster::setLoad(uint32_t sessions, bool draining) {
    std::lock_guard lock(loadsLock_);
    self_.sessions = sessions;
    self_.draining = draining;
}

std::optional<NodeLoad> Cluster::leastLoadedPeer() const {
    std::lock_guard lock(loadsLock_);
    const NodeLoad* best = nullptr;
    const auto share = [](const NodeLoad& load) { return static_cast<double>(load.sessions) / load.limit; };
    for (const NodeLoad& peer : peers_) {
        if (peer.draining || peer.limit == 0 || peer.sessions >= peer.limit) continue;
        if (best == nullptr || share(peer) < share(*best)) best = &peer;
    }
    return best != nullptr ? std::optional<NodeLoad>(*best) : std::nullopt;
}

std::string Cluster::nodeKey(const std::string& node) { return "node." + node; }

std::string Cluster::rangeKey(uint32_t range) { return "range." + std::to_string(range); }

// The subjects the bucket's stream holds, in one request: listing the keys through a
// watcher never ends while keys expire and are put again under it (the renewals do both).
// A key deleted shows here until its marker expires; the read of its value tells.
std::optional<std::vector<std::string>> Cluster::otherNodeNames() {
    const std::string prefix = std::string("$KV.") + kNodesBucket + ".node.";
    const std::string filter = prefix + ">";
    jsOptions options;
    jsOptions_Init(&options);
    options.Stream.Info.SubjectsFilter = filter.c_str();
    jsStreamInfo* info = nullptr;
    jsErrCode error{};
    if (js_GetStreamInfo(&info, jetStream_.get(), (std::string("KV_") + kNodesBucket).c_str(), &options, &error) !=
        NATS_OK) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (const jsStreamStateSubjects* subjects = info->State.Subjects) {
        for (int i = 0; i < subjects->Count; ++i) {
            const std::string_view subject = subjects->List[i].Subject;
            if (subject.substr(0, prefix.size()) != prefix) continue;
            const std::string_view name = subject.substr(prefix.size());
            if (name != config_.node) names.emplace_back(name);
        }
    }
    jsStreamInfo_Destroy(info);
    return names;
}

// A bucket out of reach leaves the last list as it was.
void Cluster::exchangeLoads() {
    std::string record;
    {
        std::lock_guard lock(loadsLock_);
        record = self_.encode();
    }
    uint64_t revision = 0;
    kvStore_PutString(&revision, nodes_.get(), nodeKey(config_.node).c_str(), record.c_str());
    kvStore_PutString(&revision, nodes_.get(), rangeKey(callRangeOf(config_.node)).c_str(), config_.node.c_str());
    const auto names = otherNodeNames();
    if (!names) return;
    std::vector<NodeLoad> peers;
    std::set<std::string> alive;
    for (const std::string& name : *names) {
        kvEntry* raw = nullptr;
        const natsStatus status = kvStore_Get(&raw, nodes_.get(), nodeKey(name).c_str());
        if (status == NATS_NOT_FOUND) continue;  // deleted: that node stopped
        alive.insert(name);
        if (status != NATS_OK) continue;
        const nats::Entry entry(raw);
        if (auto load = NodeLoad::parse(name, kvEntry_ValueString(raw))) peers.push_back(*load);
    }
    std::lock_guard lock(loadsLock_);
    // Gone: alive at the last reading, without a key now. A key read but not understood is
    // still a live node.
    for (const std::string& before : liveNodes_) {
        if (alive.count(before) == 0) departed_.insert(before);
    }
    for (const std::string& now : alive) departed_.erase(now);
    liveNodes_ = std::move(alive);
    peers_ = std::move(peers);
}

}  // namespace talkhub_server
