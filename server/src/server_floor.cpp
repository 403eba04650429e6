// The floors' decisions carried out: answers and notices to this node's sessions, end-of-talk
// datagrams to the listeners, claims to the cluster. What a floor goes through is FloorControl's.
#include <spdlog/spdlog.h>
#include <talkwire.h>

#include <algorithm>

#include "message.h"
#include "server.h"

namespace talkhub_server {

void Server::floorRequest(Session& session, unsigned char command, const unsigned char* body, uint32_t length) {
    tw_id_request request{};
    if (srv_parse_id_request(&request, body, length) != TW_OK) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed mic {} dropped", session.id(),
                     command == TW_CMD_REQUEST_MIC ? "request" : "release");
        return;
    }
    floors_.command(session.account->id,
                    command == TW_CMD_REQUEST_MIC ? FloorControl::Command::kRequest : FloorControl::Command::kRelease,
                    request.id);
}

// The user's call while one is active, else the group named.
uint32_t Server::floorGroup(uint32_t user, uint32_t requested) {
    const Session* session = online(user);
    return session != nullptr && session->callGroup != 0 ? session->callGroup : requested;
}

int32_t Server::floorRefusal(uint32_t user, uint32_t groupId) {
    const auto* members = membersOf(groupId);
    if (members == nullptr || std::find(members->begin(), members->end(), user) == members->end()) return kNotAMember;
    auto call = calls_.find(groupId);
    if (call != calls_.end() && call->second.offered) return kFloorBusy;  // the other nodes have not answered yet
    return 0;
}

// A configured group's floor is the cluster's to give, and so is that of a call with a user
// on another node; any other call's stays on this node.
bool Server::floorClustered(uint32_t groupId) { return clustered(groupId); }

namespace {

// Sends one built message to the user's session, if it is here.
template <typename Build>
void sendTo(Session* session, Build build) {
    if (session == nullptr) return;
    Message message;
    message.length = build(message.bytes.data());
    session->send(message.bytes.data(), message.length);
}

}  // namespace

void Server::answerFloorRequest(uint32_t user, int32_t result) {
    sendTo(online(user), [result](unsigned char* out) {
        return srv_build_result_ack(out, kMessageCapacity, TW_CMD_REQUEST_MIC_ACK, result);
    });
}

void Server::answerFloorRelease(uint32_t user, uint32_t requested) {
    sendTo(online(user),
           [requested](unsigned char* out) { return srv_build_release_mic_ack(out, kMessageCapacity, requested); });
}

void Server::floorTakenBack(uint32_t groupId, uint32_t holder) {
    sendTo(online(holder),
           [groupId](unsigned char* out) { return srv_build_self_lost_mic(out, kMessageCapacity, groupId); });
}

void Server::floorGranted(uint32_t groupId, uint32_t holder) {
    if (const Session* session = online(holder)) tellFloorTaken(groupId, holder, session->account->displayName);
}

void Server::floorHeldElsewhere(const FloorEvent& event) {
    tellFloorTaken(event.groupId, event.holder, event.holderName);
}

void Server::tellFloorTaken(uint32_t groupId, uint32_t holder, const std::string& holderName) {
    tw_member_get_mic event{};
    event.groupId = groupId;
    event.userId = holder;
    copyText(event.userName, sizeof event.userName, holderName);
    Message notice;
    notice.length = srv_build_member_get_mic(notice.bytes.data(), kMessageCapacity, &event);
    notifyMembers(groupId, holder, notice.bytes.data(), notice.length);
}

void Server::floorFreed(uint32_t groupId, uint32_t holder) {
    Message message;
    const tw_member_lost_mic event{groupId, holder};
    message.length = srv_build_member_lost_mic(message.bytes.data(), kMessageCapacity, &event);
    notifyMembers(groupId, holder, message.bytes.data(), message.length);

    unsigned char endOfTalk[64];
    const int size = srv_build_end_of_talk(endOfTalk, sizeof endOfTalk, holder, endOfTalkSequence_[holder]++);
    if (const auto* members = membersOf(groupId)) {
        for (uint32_t member : *members) {
            if (member != holder) relayTo(member, endOfTalk, static_cast<std::size_t>(size));
        }
        flushDatagrams();
    }
}

void Server::claimFloor(uint32_t groupId, uint32_t holder, uint64_t token) {
    const Session* session = online(holder);
    cluster_->claimFloor(
        groupId, holder, session != nullptr ? session->account->displayName : std::string(), token,
        [this, groupId, holder, token](bool granted) { floors_.onVerdict(groupId, holder, token, granted); });
}

void Server::giveBackFloor(uint32_t groupId, uint64_t token) { cluster_->releaseFloor(groupId, token); }

void Server::onClusterFloor(const FloorEvent& event) {
    if (membersOf(event.groupId) == nullptr) return;  // a call of other nodes
    floors_.onClusterFloor(event);
}

}  // namespace talkhub_server
