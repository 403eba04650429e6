// The server as a node of a cluster: floors claimed through the cluster, and the voice and
// floor events of the other nodes' members, on the network thread like everything else.
#include <spdlog/spdlog.h>
#include <talkwire.h>

#include <algorithm>

#include "message.h"
#include "server.h"

namespace talkhub_server {

void Server::startCluster() {
    cluster_ = std::make_unique<Cluster>(io_, *config_.cluster);
    Cluster::Events events;
    events.voice = [this](uint32_t groupId, const unsigned char* data, std::size_t size) {
        onClusterVoice(groupId, data, size);
    };
    events.voiceDone = [this] { flushDatagrams(); };
    events.floor = [this](const FloorEvent& event) { onClusterFloor(event); };
    events.floorLost = [this](uint32_t groupId, uint64_t token) { floors_.onLostInCluster(groupId, token); };
    events.replaced = [this](uint32_t userId) { onReplacedElsewhere(userId); };
    events.callOffered = [this](const NodeMessage& offer, const std::string& reply) { onCallOffered(offer, reply); };
    events.callEnded = [this](uint32_t groupId, uint32_t reason, const std::string& node) {
        onCallEndedBy(node, groupId, reason, true);
    };
    events.callWithdrawn = [this](uint32_t groupId, const std::string& node) {
        onCallEndedBy(node, groupId, 0, false);
    };
    events.callChecked = [this](uint32_t groupId, const std::string& node, const std::string& reply) {
        onCallChecked(groupId, node, reply);
    };
    // Described before the start: the worker's first renewal puts this record at once.
    const ClusterConfig& cluster = *config_.cluster;
    NodeLoad self;
    self.node = cluster.node;
    self.address = cluster.publicAddress.empty() ? config_.bindAddress : cluster.publicAddress;
    self.tcpPort = tcpPort();
    self.voiceAddress = config_.voiceAddress.empty() ? self.address : config_.voiceAddress;
    self.voicePort = config_.voicePort != 0 ? config_.voicePort : udpPort();
    self.limit = config_.limits.maxSessions;
    cluster_->describeSelf(self);
    cluster_->start(std::move(events));
}

void Server::setDraining(bool draining) {
    if (draining == draining_) return;
    draining_ = draining;
    spdlog::info("{}", draining ? "draining: new logins go to other nodes while one takes them"
                                : "draining ended: new logins are taken here");
    if (cluster_) reportLoad();
}

void Server::reportLoad() { cluster_->setLoad(static_cast<uint32_t>(byAccount_.size()), draining_); }

// A node that is full, or draining, sends a new session on to the live node with the most
// room; the second login of a user logged in here stays, as it replaces the first.
std::optional<NodeLoad> Server::placeElsewhere(bool newSession) const {
    if (!cluster_ || !newSession || (!draining_ && byAccount_.size() < config_.limits.maxSessions)) {
        return std::nullopt;
    }
    return cluster_->leastLoadedPeer();
}

bool Server::clustered(uint32_t groupId) const {
    if (!cluster_) return false;
    const auto call = calls_.find(groupId);
    return call != calls_.end() ? call->second.acrossNodes : groupId < kTempGroupBase;
}

void Server::onReplacedElsewhere(uint32_t userId) {
    Session* session = online(userId);
    if (session == nullptr) return;
    spdlog::info("session {}: user {} logged in on another node, session replaced", session->id(), userId);
    Message answer;
    answer.length = srv_build_logout_ack(answer.bytes.data(), kMessageCapacity);
    session->send(answer.bytes.data(), answer.length);
    session->closeAfterSending("replaced by a login on another node");
    onClosed(*session, "replaced by a login on another node");
}

void Server::listenToGroupsOf(uint32_t accountId, bool listen) {
    for (const Group* group : config_.groupsOf(accountId)) {
        if (listen) {
            cluster_->listen(group->id);
        } else {
            cluster_->unlisten(group->id);
        }
    }
}

// The user's session on the other node has ended, and with it their place in the meeting;
// this node would otherwise relay the meeting's voice to their new session.
void Server::leaveMeetingsElsewhere(uint32_t accountId) {
    for (auto& [groupId, call] : calls_) {
        if (call.temporary || !call.acrossNodes || call.owner == accountId) continue;
        call.members.erase(std::remove(call.members.begin(), call.members.end(), accountId), call.members.end());
    }
}

// Another node's talker: fanned out to this node's members of the group, as the talker's
// own node does for its members. That node checked the floor and stamped the sender.
void Server::onClusterVoice(uint32_t groupId, const unsigned char* data, std::size_t size) {
    ++counters_.clusterVoiceIn;
    tw_datagram_info info{};
    if (srv_parse_datagram(data, static_cast<int>(size), &info) != TW_OK ||
        (info.kind != TW_KIND_VOICE && info.kind != TW_KIND_END_OF_TALK)) {
        ++counters_.droppedMalformed;
        return;
    }
    // Only the holder's voice, as this node knows the holder: nobody else's node relays it.
    if (!floors_.holdsElsewhere(groupId, info.senderId)) {
        ++counters_.droppedNotFloorHolder;
        return;
    }
    const auto* members = membersOf(groupId);
    if (members == nullptr) return;
    for (uint32_t member : *members) {
        if (member != info.senderId) relayTo(member, data, size);
    }
}

// A call whose owner's node has gone ends here: nothing more will come from there, and its
// members here would stay in it; so does a temporary call whose other side's node has gone.
// A meeting owned here just loses the members of a node that has gone.
void Server::endCallsOfDepartedNodes() {
    std::vector<uint32_t> orphaned;
    const auto gone = [this](const std::string& node) { return cluster_->departed(node); };
    for (auto& [groupId, call] : calls_) {
        auto& others = call.otherNodes;
        if ((!call.ownerNode.empty() && gone(call.ownerNode)) ||
            (call.temporary && std::any_of(others.begin(), others.end(), gone))) {
            orphaned.push_back(groupId);
        } else if (std::any_of(others.begin(), others.end(), gone)) {
            spdlog::warn("meeting {}: a node taking part has gone, its members with it", call.meetingId);
            others.erase(std::remove_if(others.begin(), others.end(), gone), others.end());
        }
    }
    for (uint32_t groupId : orphaned) {
        spdlog::warn("group {}: call ended, a node taking part has gone", groupId);
        endCallFromElsewhere(groupId, 1);
    }
}

// A call ended by, or with, another node: it ends here without telling the other nodes
// again; the owner's node has told them, or they have gone.
void Server::endCallFromElsewhere(uint32_t groupId, uint32_t reason, bool tellMembers) {
    auto call = calls_.find(groupId);
    if (call == calls_.end() || !call->second.acrossNodes) return;
    call->second.otherNodes.clear();
    endCall(groupId, reason, tellMembers);
}

void Server::onCallEndedBy(const std::string& node, uint32_t groupId, uint32_t reason, bool tellMembers) {
    const auto call = calls_.find(groupId);
    if (call == calls_.end()) return;
    const auto& others = call->second.otherNodes;
    if (call->second.ownerNode != node && std::find(others.begin(), others.end(), node) == others.end()) {
        spdlog::warn("group {}: end of the call from node {}, which takes no part in it, dropped", groupId, node);
        return;
    }
    endCallFromElsewhere(groupId, reason, tellMembers);
}

// A call is owned here while its offer is out too: the asking node may have taken it first.
void Server::onCallChecked(uint32_t groupId, const std::string& node, const std::string& reply) {
    const auto call = calls_.find(groupId);
    const bool goesOn =
        call != calls_.end() && call->second.ownerNode.empty() &&
        (call->second.offered || std::find(call->second.otherNodes.begin(), call->second.otherNodes.end(), node) !=
                                     call->second.otherNodes.end());
    cluster_->answerOffer(reply, goesOn ? 0 : 1);
}

void Server::checkCallsWithOwners(Session::Clock::time_point now) {
    if (now < nextCallCheck_) return;
    nextCallCheck_ = now + std::chrono::milliseconds(config_.cluster->floorLeaseMs);
    for (const auto& [groupId, call] : calls_) {
        if (call.ownerNode.empty()) continue;
        cluster_->checkCall(call.ownerNode, groupId, [this, groupId = groupId, owner = call.ownerNode](bool goesOn) {
            const auto held = calls_.find(groupId);
            if (goesOn || held == calls_.end() || held->second.ownerNode != owner) return;
            spdlog::warn("group {}: call ended, its owner's node {} no longer has it", groupId, owner);
            endCallFromElsewhere(groupId, 1);
        });
    }
}

}  // namespace talkhub_server
