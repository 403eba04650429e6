// Presence and calls across nodes: where each user is logged in, a login that ends the
// user's session on another node, and temporary calls to users on other nodes. The bucket
// and the call offer's request are round trips, made on the worker thread.
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

uint32_t Cluster::callGroupBase() const {
    uint32_t hash = 2166136261U;  // FNV-1a of the node's name
    for (const char c : config_.node) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    return kTempGroupBase + ((hash % 1023) << 20);
}

void Cluster::userOnline(uint32_t userId) {
    queueJob([this, userId] {
        const std::string before = presence(userId);
        uint64_t revision = 0;
        kvStore_PutString(&revision, presence_.get(), userKey(userId).c_str(), config_.node.c_str());
        if (!before.empty() && before != config_.node) {
            sendToNode(before, {NodeMessage::Kind::kReplaced, userId, 0, 0, {}, config_.node});
        }
    });
}

void Cluster::userOffline(uint32_t userId) {
    queueJob([this, userId] {
        kvEntry* raw = nullptr;
        if (kvStore_Get(&raw, presence_.get(), userKey(userId).c_str()) != NATS_OK) return;
        const nats::Entry entry(raw);
        // A login elsewhere has already taken the key over: it stays.
        if (std::string_view(kvEntry_ValueString(raw)) == config_.node) {
            kvStore_Delete(presence_.get(), userKey(userId).c_str());
        }
    });
}

void Cluster::offerCall(uint32_t groupId, uint32_t caller, const std::string& callerName, uint32_t callee,
                        std::function<void(int32_t, const std::string&)> done) {
    queueJob([this, groupId, caller, callerName, callee, done = std::move(done)] {
        const std::string node = presence(callee);
        int32_t result = kCallUnavailable;
        if (!node.empty() && node != config_.node) {
            const std::vector<unsigned char> offer =
                encodeNodeMessage({NodeMessage::Kind::kCallOffer, callee, groupId, caller, callerName, config_.node});
            natsMsg* reply = nullptr;
            if (natsConnection_Request(&reply, connection_.get(), nodeSubject(node).c_str(), offer.data(),
                                       static_cast<int>(offer.size()), kOfferWaitMs) == NATS_OK &&
                natsMsg_GetDataLength(reply) == 1) {
                result = static_cast<unsigned char>(natsMsg_GetData(reply)[0]);
            }
            natsMsg_Destroy(reply);
        }
        post([result, node, done] { done(result, node); });
    });
}

void Cluster::answerOffer(const std::string& reply, int32_t result) {
    if (reply.empty()) return;
    const auto byte = static_cast<unsigned char>(result);
    natsConnection_Publish(connection_.get(), reply.c_str(), &byte, 1);
}

void Cluster::endCall(const std::string& node, uint32_t groupId) {
    sendToNode(node, {NodeMessage::Kind::kCallEnd, 0, groupId, 0, {}, config_.node});
}

void Cluster::deliver(const NodeMessage& message, const std::string& reply) {
    switch (message.kind) {
        case NodeMessage::Kind::kReplaced:
            events_.replaced(message.userId);
            break;
        case NodeMessage::Kind::kCallOffer:
            events_.callOffered(message, reply);
            break;
        case NodeMessage::Kind::kCallEnd:
            events_.callEnded(message.groupId);
            break;
    }
}

void Cluster::sendToNode(const std::string& node, const NodeMessage& message) {
    const std::vector<unsigned char> bytes = encodeNodeMessage(message);
    natsConnection_Publish(connection_.get(), nodeSubject(node).c_str(), bytes.data(), static_cast<int>(bytes.size()));
}

bool Cluster::nodeAlive(const std::string& node) {
    kvEntry* raw = nullptr;
    // Only a key known to be gone is a dead node: a bucket out of reach says nothing.
    const bool alive = kvStore_Get(&raw, nodes_.get(), ("node." + node).c_str()) != NATS_NOT_FOUND;
    kvEntry_Destroy(raw);
    return alive;
}

std::string Cluster::presence(uint32_t userId) {
    kvEntry* raw = nullptr;
    if (kvStore_Get(&raw, presence_.get(), userKey(userId).c_str()) != NATS_OK) return {};
    const nats::Entry entry(raw);
    std::string node = kvEntry_ValueString(raw);
    return nodeAlive(node) ? node : std::string();
}

}  // namespace talkhub_server
