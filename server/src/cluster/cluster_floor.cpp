// The floor's side of the cluster link: claims, releases and renewals in JetStream, all on
// the worker thread, since each is a round trip that the network thread must not wait for.
#include <spdlog/spdlog.h>

#include "cluster/cluster.h"

namespace talkhub_server {

namespace {

std::string claimSubject(uint32_t groupId) { return "talkhub.claim." + std::to_string(groupId); }

std::string floorSubject(uint32_t groupId) { return "talkhub.floor." + std::to_string(groupId); }

// A claim's text: "<holder>@<node>".
std::string claimText(uint32_t holder, const std::string& node) { return std::to_string(holder) + "@" + node; }

std::string claimNode(const natsMsg* message) {
    const std::string text(natsMsg_GetData(message), static_cast<std::size_t>(natsMsg_GetDataLength(message)));
    const std::size_t at = text.find('@');
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

}  // namespace

void Cluster::claimFloor(uint32_t groupId, uint32_t holder, const std::string& holderName,
                         std::function<void(bool)> done) {
    queueJob([this, groupId, holder, holderName, done = std::move(done)]() mutable {
        claim(groupId, holder, holderName, std::move(done));
    });
}

void Cluster::releaseFloor(uint32_t groupId, uint32_t holder) {
    queueJob([this, groupId, holder] { release(groupId, holder); });
}

void Cluster::queueJob(std::function<void()> job) {
    {
        std::lock_guard lock(jobsLock_);
        if (stopping_) return;
        jobs_.push_back(std::move(job));
    }
    jobsWake_.notify_one();
}

// Jobs in the order they came; renewals every third of the lease, the first at once; at the
// end, every floor still held is given up, so that the other nodes need not wait.
void Cluster::runWorker() {
    const auto renewEvery = std::chrono::milliseconds(config_.floorLeaseMs / 3);
    auto nextRenewal = std::chrono::steady_clock::now();
    std::unique_lock lock(jobsLock_);
    while (!stopping_) {
        if (!jobs_.empty()) {
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        } else if (std::chrono::steady_clock::now() >= nextRenewal) {
            lock.unlock();
            renew();
            lock.lock();
            nextRenewal = std::chrono::steady_clock::now() + renewEvery;
        } else {
            jobsWake_.wait_until(lock, nextRenewal);
        }
    }
    lock.unlock();
    while (!leases_.empty()) release(leases_.begin()->first, leases_.begin()->second.holder);
    kvStore_Delete(nodes_.get(), nodeKey(config_.node).c_str());
}

void Cluster::claim(uint32_t groupId, uint32_t holder, const std::string& holderName, std::function<void(bool)> done) {
    const std::string text = claimText(holder, config_.node);
    uint64_t sequence = publishClaim(groupId, text);
    if (sequence == 0 && clearStaleClaim(groupId)) sequence = publishClaim(groupId, text);
    if (sequence != 0) {
        leases_[groupId] = Lease{holder, holderName, sequence, std::chrono::steady_clock::now()};
        publishFloor({FloorEvent::Kind::kHeld, groupId, holder, holderName});
    }
    post([granted = sequence != 0, done = std::move(done)] { done(granted); });
}

uint64_t Cluster::publishClaim(uint32_t groupId, const std::string& value) {
    jsPubAck* ack = nullptr;
    jsErrCode error{};
    const natsStatus status = js_Publish(&ack, jetStream_.get(), claimSubject(groupId).c_str(), value.data(),
                                         static_cast<int>(value.size()), nullptr, &error);
    const uint64_t sequence = status == NATS_OK && ack != nullptr ? ack->Sequence : 0;
    jsPubAck_Destroy(ack);
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
    const std::string node = claimNode(raw);
    bool stale = false;
    if (node == config_.node) {
        stale = leases_.count(groupId) == 0;
    } else {
        stale = !nodeAlive(node);
    }
    if (!stale) return false;
    spdlog::info("cluster node {}: claim of group {} by node {} is stale, deleted", config_.node, groupId,
                 node.empty() ? "?" : node);
    return js_DeleteMsg(jetStream_.get(), kFloorStream, natsMsg_GetSequence(raw), nullptr, &error) == NATS_OK;
}

void Cluster::release(uint32_t groupId, uint32_t holder) {
    const auto found = leases_.find(groupId);
    if (found == leases_.end() || found->second.holder != holder) return;
    const uint64_t sequence = found->second.sequence;
    leases_.erase(found);
    jsErrCode error{};
    js_DeleteMsg(jetStream_.get(), kFloorStream, sequence, nullptr, &error);
    publishFloor({FloorEvent::Kind::kFreed, groupId, holder, {}});
}

// This node's key is put again (with its load), the others' loads read, and every floor it holds is checked to be still
// its claim (a node cut off for a whole lease may have seen its claims deleted by others) and told to the other nodes
// once more. A check that cannot reach the stream keeps the floor until the lease has run out.
void Cluster::renew() {
    const auto now = std::chrono::steady_clock::now();
    exchangeLoads();
    for (auto it = leases_.begin(); it != leases_.end();) {
        const uint32_t groupId = it->first;
        Lease& lease = it->second;
        natsMsg* raw = nullptr;
        jsErrCode error{};
        const natsStatus status =
            js_GetLastMsg(&raw, jetStream_.get(), kFloorStream, claimSubject(groupId).c_str(), nullptr, &error);
        const bool ours = status == NATS_OK && natsMsg_GetSequence(raw) == lease.sequence;
        const bool taken = !ours && (status == NATS_OK || error == JSNoMessageFoundErr);
        natsMsg_Destroy(raw);
        if (ours) {
            lease.confirmed = now;
            publishFloor({FloorEvent::Kind::kHeld, groupId, lease.holder, lease.holderName});
            ++it;
            continue;
        }
        const bool lapsed = now - lease.confirmed >= std::chrono::milliseconds(config_.floorLeaseMs);
        if (!taken && !lapsed) {
            ++it;
            continue;
        }
        spdlog::warn("cluster node {}: floor of group {} lost by user {} ({})", config_.node, groupId, lease.holder,
                     taken ? "its claim was deleted" : "the stream was out of reach for the whole lease");
        post([this, groupId, holder = lease.holder] { events_.floorLost(groupId, holder); });
        it = leases_.erase(it);
    }
}

void Cluster::publishFloor(const FloorEvent& event) {
    const std::vector<unsigned char> bytes = encodeFloorEvent(event);
    natsConnection_Publish(connection_.get(), floorSubject(event.groupId).c_str(), bytes.data(),
                           static_cast<int>(bytes.size()));
}

}  // namespace talkhub_server
