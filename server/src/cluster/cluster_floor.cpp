// The floor's side of the cluster link: claims, releases and renewals in JetStream, all on
// the worker thread, since each is a round trip that the network thread must not wait for.
#include <spdlog/spdlog.h>

#include "cluster/cluster.h"

namespace talkhub_server {

namespace {

std::string claimSubject(uint32_t groupId) { return "talkhub.claim." + std::to_string(groupId); }

// A claim's text: "<holder>@<node>#<run>.<token>"; node names hold none of '@', '#' or '.'.
std::string claimText(uint32_t holder, const std::string& node, const std::string& run, uint64_t token) {
    return std::to_string(holder) + "@" + node + "#" + run + "." + std::to_string(token);
}

std::string messageText(const natsMsg* message) {
    return {natsMsg_GetData(message), static_cast<std::size_t>(natsMsg_GetDataLength(message))};
}

// Who made a claim: its node and that node's run (empty in a claim that names none).
struct ClaimOwner {
    std::string node;
    std::string run;
};

ClaimOwner claimOwner(const std::string& text) {
    const std::size_t at = text.find('@');
    if (at == std::string::npos) return {};
    const std::size_t hash = text.find('#', at);
    if (hash == std::string::npos) return {text.substr(at + 1), {}};
    const std::size_t dot = text.find('.', hash);
    return {text.substr(at + 1, hash - at - 1), text.substr(hash + 1, dot == std::string::npos ? dot : dot - hash - 1)};
}

}  // namespace

void Cluster::claimFloor(uint32_t groupId, uint32_t holder, const std::string& holderName, uint64_t token,
                         std::function<void(bool)> done) {
    auto job = [this, groupId, holder, holderName, token, done]() mutable {
        claim(groupId, holder, holderName, token, std::move(done));
    };
    if (floorThread_.queue(std::move(job))) return;
    spdlog::warn("cluster node {}: floor of group {} refused: {} claims wait already", config_.node, groupId,
                 kClaimsWaiting);
    post([done = std::move(done)] { done(false); });
}

void Cluster::releaseFloor(uint32_t groupId, uint64_t token) {
    floorThread_.queue([this, groupId, token] { release(groupId, token); }, false);
}

// Every third of the lease, the first at once: the store made again if it was lost, then
// this node's key and every floor it holds renewed.
void Cluster::beat() {
    if (storeLost_) restoreFloorStore();
    renew();
}

// Every floor still held is given up, so that the other nodes need not wait, and the name
// with it.
void Cluster::leave() {
    while (!leases_.empty()) release(leases_.begin()->first, leases_.begin()->second.token);
    kvStore_Delete(nodes_.get(), rangeKey(callRangeOf(config_.node)).c_str());
    kvStore_Delete(nodes_.get(), nodeKey(config_.node).c_str());
}

void Cluster::claim(uint32_t groupId, uint32_t holder, const std::string& holderName, uint64_t token,
                    std::function<void(bool)> done) {
    const std::string text = claimText(holder, config_.node, run_, token);
    uint64_t sequence = publishClaim(groupId, text);
    if (sequence == 0 && storeLost_) {
        restoreFloorStore();
        sequence = publishClaim(groupId, text);
    }
    if (sequence == 0 && clearStaleClaim(groupId)) sequence = publishClaim(groupId, text);
    if (sequence != 0) {
        leases_[groupId] = Lease{token, holder, holderName, sequence, std::chrono::steady_clock::now()};
        publishFloor({FloorEvent::Kind::kHeld, groupId, holder, holderName});
    }
    post([granted = sequence != 0, done = std::move(done)] { done(granted); });
}

uint64_t Cluster::publishClaim(uint32_t groupId, const std::string& value) {
    jsPubAck* ack = nullptr;
    jsErrCode error{};
    const natsStatus status = js_Publish(&ack, jetStream_.get(), claimSubject(groupId).c_str(), value.data(),
                                         static_cast<int>(value.size()), nullptr, &error);
    uint64_t sequence = status == NATS_OK && ack != nullptr ? ack->Sequence : 0;
    jsPubAck_Destroy(ack);
    // Nothing takes the claim subjects: the stream is gone.
    if (status == NATS_NO_RESPONDERS || error == JSStreamNotFoundErr) storeLost_ = true;
    if (status == NATS_TIMEOUT) {
        // The stream may have stored the claim and only its answer been lost: then the
        // claim is ours, and counting it refused would leave it holding the floor.
        natsMsg* stored = nullptr;
        if (js_GetLastMsg(&stored, jetStream_.get(), kFloorStream, claimSubject(groupId).c_str(), nullptr, &error) ==
                NATS_OK &&
            messageText(stored) == value) {
            sequence = natsMsg_GetSequence(stored);
        }
        natsMsg_Destroy(stored);
        if (sequence != 0) return sequence;
    }
    if (status != NATS_OK && error == 0) {
        spdlog::warn("cluster node {}: floor of group {} not decided: {} {}", config_.node, groupId,
                     natsStatus_GetText(status), nats_GetLastError(nullptr));
    }
    return sequence;
}

bool Cluster::clearStaleClaim(uint32_t groupId) {
    natsMsg* raw = nullptr;
    jsErrCode error{};
    if (js_GetLastMsg(&raw, jetStream_.get(), kFloorStream, claimSubject(groupId).c_str(), nullptr, &error) !=
        NATS_OK) {
        return false;
    }
    const std::unique_ptr<natsMsg, decltype(&natsMsg_Destroy)> message(raw, natsMsg_Destroy);
    const ClaimOwner owner = claimOwner(messageText(raw));
    const uint64_t sequence = natsMsg_GetSequence(raw);
    bool stale = false;
    if (owner.node == config_.node && owner.run == run_) {
        const auto held = leases_.find(groupId);
        stale = held == leases_.end() || held->second.sequence != sequence;
    } else {
        // A node's run changes when it starts again: the claims of the run before are dead.
        const std::optional<std::string> run = runOf(owner.node);
        stale = run && (run->empty() || (!owner.run.empty() && *run != owner.run));
    }
    if (!stale) return false;
    spdlog::info("cluster node {}: claim of group {} by node {} (run {}) is stale, deleted", config_.node, groupId,
                 owner.node.empty() ? "?" : owner.node, owner.run.empty() ? "?" : owner.run);
    return removeClaim(sequence);
}

void Cluster::release(uint32_t groupId, uint64_t token) {
    const auto found = leases_.find(groupId);
    if (found == leases_.end() || found->second.token != token) return;
    const uint32_t holder = found->second.holder;
    const uint64_t sequence = found->second.sequence;
    leases_.erase(found);
    deleteClaim(groupId, sequence);
    publishFloor({FloorEvent::Kind::kFreed, groupId, holder, {}});
}

// A sequence the stream no longer has is deleted already (or taken over by a newer claim).
bool Cluster::removeClaim(uint64_t sequence) {
    jsErrCode error{};
    return js_DeleteMsg(jetStream_.get(), kFloorStream, sequence, nullptr, &error) == NATS_OK ||
           error == JSSequenceNotFoundErr;
}

void Cluster::deleteClaim(uint32_t groupId, uint64_t sequence) {
    if (removeClaim(sequence)) {
        undeleted_.erase(sequence);
        return;
    }
    if (undeleted_.emplace(sequence, groupId).second) {
        spdlog::warn("cluster node {}: claim of group {} not deleted ({}); tried again at each renewal", config_.node,
                     groupId, nats_GetLastError(nullptr));
    }
}

// Every floor this node holds is checked to be still its claim (a node cut off for a whole
// lease may have seen its claims deleted by others) and told to the other nodes once more;
// then this node's key is put again (with its load) and the others' loads read. The floors
// come first, and a connection that is down is not waited for, so that a node cut off from
// NATS gives its floors up within the lease: at the last renewal before it ends unconfirmed.
void Cluster::renew() {
    const auto lease = std::chrono::milliseconds(config_.floorLeaseMs);
    const auto renewEvery = lease / 3;
    const bool connected = natsConnection_Status(connection_.get()) == NATS_CONN_STATUS_CONNECTED;
    for (auto it = leases_.begin(); it != leases_.end();) {
        const uint32_t groupId = it->first;
        Lease& held = it->second;
        natsMsg* raw = nullptr;
        jsErrCode error{};
        const natsStatus status = connected ? js_GetLastMsg(&raw, jetStream_.get(), kFloorStream,
                                                            claimSubject(groupId).c_str(), nullptr, &error)
                                            : NATS_CONNECTION_DISCONNECTED;
        const bool ours = status == NATS_OK && natsMsg_GetSequence(raw) == held.sequence;
        const bool taken = !ours && (status == NATS_OK || error == JSNoMessageFoundErr || error == JSStreamNotFoundErr);
        natsMsg_Destroy(raw);
        const auto now = std::chrono::steady_clock::now();
        if (ours) {
            held.confirmed = now;
            publishFloor({FloorEvent::Kind::kHeld, groupId, held.holder, held.holderName});
            ++it;
            continue;
        }
        if (!taken && now + renewEvery - held.confirmed < lease) {
            ++it;
            continue;
        }
        spdlog::warn("cluster node {}: floor of group {} lost by user {} ({})", config_.node, groupId, held.holder,
                     taken ? "its claim was deleted" : "the stream was out of reach for the whole lease");
        post([this, groupId, token = held.token] { events_.floorLost(groupId, token); });
        it = leases_.erase(it);
    }
    if (!connected) return;
    exchangeLoads();
    for (const auto& [sequence, groupId] : std::map<uint64_t, uint32_t>(undeleted_)) deleteClaim(groupId, sequence);
}

void Cluster::publishFloor(const FloorEvent& event) {
    const std::vector<unsigned char> bytes = encodeFloorEvent(event);
    voice_.publishFloor(event.groupId, bytes.data(), bytes.size());
}

}  // namespace talkhub_server
