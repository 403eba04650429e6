// Presence and calls across nodes: where each user is logged in, a login that ends the
// user's session on another node, and temporary calls and meetings with users on other
// nodes. The bucket and the offers' requests are round trips, made on the worker thread.
#include <spdlog/spdlog.h>

#include "cluster/cluster.h"

namespace talkhub_server {

namespace {

constexpr int kOfferWaitMs = 2000;
// Refusals of a temporary call, as the server answers them.
constexpr int32_t kCallUnavailable = 1;

std::string userKey(uint32_t userId) { return "user." + std::to_string(userId); }

std::string nodeSubject(const std::string& node) { return "talkhub.node." + node; }

}  // namespace

uint32_t Cluster::callRangeOf(const std::string& node) {
    uint32_t hash = 2166136261U;  // FNV-1a of the node's name
    for (const char c : node) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    // 1023 ranges of temporary groups fit below the meetings' groups.
    return hash % ((kMeetingGroupBase - kTempGroupBase) / kCallRangeSize - 1);
}

uint32_t Cluster::callGroupBase() const { return kTempGroupBase + callRangeOf(config_.node) * kCallRangeSize; }

uint32_t Cluster::meetingIdBase() const { return callRangeOf(config_.node) * kCallRangeSize; }

bool Cluster::queueCallJob(std::function<void()> job, const char* what) {
    if (callsThread_.queue(std::move(job))) return true;
    if (callJobsRefused_++ % 100 == 0) {
        spdlog::warn("cluster node {}: {} refused: {} presence changes and offers wait already ({} refused so far)",
                     config_.node, what, kCallJobsWaiting, callJobsRefused_);
    }
    return false;
}

void Cluster::userOnline(uint32_t userId) {
    queueCallJob(
        [this, userId] {
            present_.insert(userId);
            const std::string before = presence(userId);
            uint64_t revision = 0;
            kvStore_PutString(&revision, presence_.get(), userKey(userId).c_str(), config_.node.c_str());
            if (!before.empty() && before != config_.node) {
                sendToNode(before, {NodeMessage::Kind::kReplaced, userId, 0, 0, {}, config_.node});
            }
        },
        "a login's presence");
}

void Cluster::userOffline(uint32_t userId) {
    queueCallJob(
        [this, userId] {
            present_.erase(userId);
            kvEntry* raw = nullptr;
            if (kvStore_Get(&raw, presence_.get(), userKey(userId).c_str()) != NATS_OK) return;
            const nats::Entry entry(raw);
            // A login elsewhere has already taken the key over: it stays.
            if (std::string_view(kvEntry_ValueString(raw)) == config_.node) {
                kvStore_Delete(presence_.get(), userKey(userId).c_str());
            }
        },
        "a logout's presence");
}

void Cluster::putPresenceAgain() {
    uint64_t revision = 0;
    for (uint32_t userId : present_) {
        kvStore_PutString(&revision, presence_.get(), userKey(userId).c_str(), config_.node.c_str());
    }
}

void Cluster::offerCall(uint32_t groupId, uint32_t caller, const std::string& callerName, uint32_t callee,
                        std::function<void(int32_t, const std::string&)> done) {
    const auto job = [this, groupId, caller, callerName, callee, done] {
        const std::string node = presence(callee);
        int32_t result = kCallUnavailable;
        if (!node.empty() && node != config_.node) {
            NodeMessage offer{NodeMessage::Kind::kCallOffer, callee, groupId, caller, callerName, config_.node};
            const std::optional<int32_t> answer = askNode(node, offer);
            result = answer.value_or(kCallUnavailable);
            // Unanswered here, the offer may still be taken there, late: it ends at once.
            if (!answer) endCall(node, groupId, 0);
        }
        post([result, node, done] { done(result, node); });
    };
    if (!queueCallJob(job, "a call's offer")) post([done] { done(kCallUnavailable, {}); });
}

void Cluster::offerMeeting(uint32_t groupId, uint32_t meetingId, uint32_t owner, const std::string& ownerName,
                           std::vector<uint32_t> invited,
                           std::function<void(int32_t, const std::vector<std::string>&)> done) {
    const auto job = [this, groupId, meetingId, owner, ownerName, invited, done] {
        int32_t result = 0;
        std::map<std::string, std::vector<uint32_t>> byNode;
        for (uint32_t user : invited) {
            const std::string node = presence(user);
            if (node.empty() || node == config_.node) {
                result = kCallUnavailable;
                break;
            }
            byNode[node].push_back(user);
        }
        std::vector<std::string> taken;
        std::vector<std::string> asked;
        for (const auto& [node, members] : byNode) {
            if (result != 0) break;
            NodeMessage offer{NodeMessage::Kind::kMeetingOffer, 0, groupId, owner, ownerName, config_.node};
            offer.meetingId = meetingId;
            offer.members = members;
            asked.push_back(node);
            result = askNode(node, offer).value_or(kCallUnavailable);
            if (result == 0) taken.push_back(node);
        }
        // A node that took the meeting, or may take it late (its answer did not come in
        // time), forgets it again.
        if (result != 0) {
            for (const std::string& node : asked) {
                sendToNode(node, {NodeMessage::Kind::kCallWithdrawn, 0, groupId, 0, {}, config_.node});
            }
            taken.clear();
        }
        post([result, taken = std::move(taken), done] { done(result, taken); });
    };
    if (!queueCallJob(job, "a meeting's offer")) post([done] { done(kCallUnavailable, {}); });
}

void Cluster::checkCall(const std::string& owner, uint32_t groupId, std::function<void(bool)> done) {
    queueCallJob(
        [this, owner, groupId, done] {
            // A node that left a check unanswered is not asked again for two leases: each
            // question would hold the calls thread for the whole wait.
            const auto now = std::chrono::steady_clock::now();
            const auto silent = unansweredChecks_.find(owner);
            if (silent != unansweredChecks_.end() &&
                now - silent->second < 2 * std::chrono::milliseconds(config_.floorLeaseMs)) {
                return;
            }
            const NodeMessage check{NodeMessage::Kind::kCallCheck, 0, groupId, 0, {}, config_.node};
            const std::optional<int32_t> answer = askNode(owner, check);
            if (!answer) {
                unansweredChecks_[owner] = now;
                return;
            }
            unansweredChecks_.erase(owner);
            post([done, goesOn = *answer == 0] { done(goesOn); });
        },
        "a call's check");
}

std::optional<int32_t> Cluster::askNode(const std::string& node, const NodeMessage& message) {
    const std::vector<unsigned char> bytes = encodeNodeMessage(message);
    natsMsg* reply = nullptr;
    std::optional<int32_t> result;
    if (natsConnection_Request(&reply, connection_.get(), nodeSubject(node).c_str(), bytes.data(),
                               static_cast<int>(bytes.size()), kOfferWaitMs) == NATS_OK &&
        natsMsg_GetDataLength(reply) == 1) {
        result = static_cast<unsigned char>(natsMsg_GetData(reply)[0]);
    }
    natsMsg_Destroy(reply);
    return result;
}

void Cluster::answerOffer(const std::string& reply, int32_t result) {
    if (reply.empty()) return;
    const auto byte = static_cast<unsigned char>(result);
    natsConnection_Publish(connection_.get(), reply.c_str(), &byte, 1);
}

void Cluster::endCall(const std::string& node, uint32_t groupId, uint32_t reason) {
    NodeMessage end{NodeMessage::Kind::kCallEnd, 0, groupId, 0, {}, config_.node};
    end.reason = reason;
    sendToNode(node, end);
}

void Cluster::deliver(const NodeMessage& message, const std::string& reply) {
    switch (message.kind) {
        case NodeMessage::Kind::kReplaced:
            events_.replaced(message.userId);
            break;
        case NodeMessage::Kind::kCallOffer:
        case NodeMessage::Kind::kMeetingOffer:
            events_.callOffered(message, reply);
            break;
        case NodeMessage::Kind::kCallEnd:
            events_.callEnded(message.groupId, message.reason, message.node);
            break;
        case NodeMessage::Kind::kCallWithdrawn:
            events_.callWithdrawn(message.groupId, message.node);
            break;
        case NodeMessage::Kind::kCallCheck:
            events_.callChecked(message.groupId, message.node, reply);
            break;
    }
}

void Cluster::sendToNode(const std::string& node, const NodeMessage& message) {
    const std::vector<unsigned char> bytes = encodeNodeMessage(message);
    natsConnection_Publish(connection_.get(), nodeSubject(node).c_str(), bytes.data(), static_cast<int>(bytes.size()));
}

// Only a key known to be gone is a dead node: a bucket out of reach says nothing.
bool Cluster::nodeAlive(const std::string& node) {
    const std::optional<std::string> run = runOf(node);
    return !run || !run->empty();
}

std::optional<std::string> Cluster::runOf(const std::string& node) {
    kvEntry* raw = nullptr;
    const natsStatus status = kvStore_Get(&raw, nodes_.get(), nodeKey(node).c_str());
    if (status == NATS_NOT_FOUND) return std::string();
    if (status != NATS_OK) return std::nullopt;
    const nats::Entry entry(raw);
    // A record not understood is a live node of unknown run.
    const auto load = NodeLoad::parse(node, kvEntry_ValueString(raw));
    return load ? std::optional<std::string>(load->run) : std::nullopt;
}

std::string Cluster::presence(uint32_t userId) {
    kvEntry* raw = nullptr;
    if (kvStore_Get(&raw, presence_.get(), userKey(userId).c_str()) != NATS_OK) return {};
    const nats::Entry entry(raw);
    std::string node = kvEntry_ValueString(raw);
    return nodeAlive(node) ? node : std::string();
}

}  // namespace talkhub_server
