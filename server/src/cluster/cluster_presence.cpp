// Presence and calls across nodes: where each user is logged in, a login that ends the
// user's session on another node, and temporary calls and meetings with users on other
// nodes. The bucket's reads and writes are round trips, made on the calls thread; an offer's
// request is answered on the network thread, or runs out of time there.
#include <spdlog/spdlog.h>

#include "cluster/cluster.h"

namespace talkhub_server {

namespace {

constexpr int kOfferWaitMs = 2000;
// Refusals of a temporary call, as the server answers them.
constexpr int32_t kCallUnavailable = 1;

std::string userKey(uint32_t userId) { return "user." + std::to_string(userId); }

std::string nodeSubject(const std::string& node) { return std::string(kNodePrefix) + node; }

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
        if (node.empty() || node == config_.node) {
            post([node, done] { done(kCallUnavailable, node); });
            return;
        }
        const NodeMessage offer{NodeMessage::Kind::kCallOffer, callee, groupId, caller, callerName, config_.node};
        ask(node, offer, [this, node, groupId, done](std::optional<int32_t> answer) {
            // Unanswered here, the offer may still be taken there, late: it ends at once.
            if (!answer) endCall(node, groupId, 0);
            done(answer.value_or(kCallUnavailable), node);
        });
    };
    if (!queueCallJob(job, "a call's offer")) post([done] { done(kCallUnavailable, {}); });
}

void Cluster::offerMeeting(uint32_t groupId, uint32_t meetingId, uint32_t owner, const std::string& ownerName,
                           std::vector<uint32_t> invited,
                           std::function<void(int32_t, const std::vector<std::string>&)> done) {
    const auto job = [this, groupId, meetingId, owner, ownerName, invited, done] {
        std::map<std::string, std::vector<uint32_t>> byNode;
        for (uint32_t user : invited) {
            const std::string node = presence(user);
            if (node.empty() || node == config_.node) {
                post([done] { done(kCallUnavailable, {}); });
                return;
            }
            byNode[node].push_back(user);
        }
        if (byNode.empty()) {
            post([done] { done(0, {}); });
            return;
        }
        // Every node is asked at once; the meeting takes place only if each takes it. The
        // answers come on the network thread, one by one.
        struct Answers {
            std::size_t waiting = 0;
            int32_t result = 0;
            std::vector<std::string> asked;
            std::vector<std::string> taken;
        };
        auto answers = std::make_shared<Answers>();
        answers->waiting = byNode.size();
        for (const auto& [node, members] : byNode) answers->asked.push_back(node);
        for (const auto& [node, members] : byNode) {
            NodeMessage offer{NodeMessage::Kind::kMeetingOffer, 0, groupId, owner, ownerName, config_.node};
            offer.meetingId = meetingId;
            offer.members = members;
            ask(node, offer, [this, answers, node = node, groupId, done](std::optional<int32_t> answer) {
                const int32_t result = answer.value_or(kCallUnavailable);
                if (result == 0) {
                    answers->taken.push_back(node);
                } else if (answers->result == 0) {
                    answers->result = result;
                }
                if (--answers->waiting > 0) return;
                // A node that took the meeting, or may take it late (its answer did not come
                // in time), forgets it again.
                if (answers->result != 0) {
                    for (const std::string& asked : answers->asked) {
                        sendToNode(asked, {NodeMessage::Kind::kCallWithdrawn, 0, groupId, 0, {}, config_.node});
                    }
                    answers->taken.clear();
                }
                done(answers->result, answers->taken);
            });
        }
    };
    if (!queueCallJob(job, "a meeting's offer")) post([done] { done(kCallUnavailable, {}); });
}

// A node that left a check unanswered is not asked again for two leases.
void Cluster::checkCall(const std::string& owner, uint32_t groupId, std::function<void(bool)> done) {
    const auto now = std::chrono::steady_clock::now();
    const auto silent = unansweredChecks_.find(owner);
    if (silent != unansweredChecks_.end() &&
        now - silent->second < 2 * std::chrono::milliseconds(config_.floorLeaseMs)) {
        return;
    }
    const NodeMessage check{NodeMessage::Kind::kCallCheck, 0, groupId, 0, {}, config_.node};
    ask(owner, check, [this, owner, now, done](std::optional<int32_t> answer) {
        if (!answer) {
            unansweredChecks_[owner] = now;
            return;
        }
        unansweredChecks_.erase(owner);
        done(*answer == 0);
    });
}

// The request leaves from the network thread, where its answer (or its time running out)
// is taken: no thread waits for it.
void Cluster::ask(const std::string& node, const NodeMessage& message,
                  std::function<void(std::optional<int32_t>)> answered) {
    post([this, subject = nodeSubject(node), bytes = encodeNodeMessage(message), answered = std::move(answered)] {
        const uint64_t token = ++lastAsk_;
        auto timer = std::make_unique<boost::asio::steady_timer>(io_, std::chrono::milliseconds(kOfferWaitMs));
        timer->async_wait([this, alive = aliveToken_, token](const boost::system::error_code& error) {
            if (!error && alive.lock()) takeAnswer(token, std::nullopt);
        });
        asks_.emplace(token, Ask{answered, std::move(timer)});
        const std::string reply = replyPrefix_ + std::to_string(token);
        natsConnection_PublishRequest(connection_.get(), subject.c_str(), reply.c_str(), bytes.data(),
                                      static_cast<int>(bytes.size()));
    });
}

void Cluster::takeAnswer(uint64_t token, std::optional<int32_t> answer) {
    const auto found = asks_.find(token);
    if (found == asks_.end()) return;
    const std::function<void(std::optional<int32_t>)> answered = std::move(found->second.answered);
    asks_.erase(found);
    answered(answer);
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
