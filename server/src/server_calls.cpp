// Temporary calls and meetings: each talks in a group of its own, made when the call is
// placed and removed when it ends. While a user is in a call, floor requests are for the
// call's group.
#include <spdlog/spdlog.h>
#include <talkwire.h>

#include <algorithm>
#include <cstring>

#include "message.h"
#include "server.h"

namespace talkhub_server {

namespace {

void sendResult(Session& session, unsigned char command, int32_t result) {
    Message answer;
    answer.length = srv_build_result_ack(answer.bytes.data(), kMessageCapacity, command, result);
    session.send(answer.bytes.data(), answer.length);
}

// Why a user cannot be brought into a call: not online here, or in a call already; 0 when
// they can.
int32_t callRefusal(const Session* user) {
    if (user == nullptr) return kUserUnavailable;
    return user->callGroup != 0 ? kAlreadyInCall : 0;
}

void sendMeetingRefusal(Session& session, int32_t result) {
    Message answer;
    answer.length = srv_build_meeting_call_ack(answer.bytes.data(), kMessageCapacity, result, 0, nullptr, 0);
    session.send(answer.bytes.data(), answer.length);
}

}  // namespace

const std::vector<uint32_t>* Server::membersOf(uint32_t groupId) const {
    if (auto call = calls_.find(groupId); call != calls_.end()) {
        return &call->second.members;
    }
    const Group* group = config_.findGroup(groupId);
    return group != nullptr ? &group->members : nullptr;
}

void Server::tempCall(Session& session, const unsigned char* body, uint32_t length) {
    tw_call_request request{};
    if (srv_parse_call_request(&request, body, length) != TW_OK || request.count != 1) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed temporary call", session.id());
        sendResult(session, TW_CMD_TEMP_CALL_ACK, kMalformedCall);
        return;
    }
    const uint32_t caller = session.account->id;
    if (request.ids[0] == 0) {  // hang-up
        auto call = calls_.find(session.callGroup);
        if (call != calls_.end() && call->second.temporary) {
            spdlog::info("user {}: temporary call in group {} hung up", caller, session.callGroup);
            endCall(session.callGroup, 0);
        }
        return;
    }
    const uint32_t calleeId = request.ids[0];
    Session* callee = calleeId == caller ? nullptr : online(calleeId);
    // A user who is not here may be on another node of the cluster: that node answers.
    const bool elsewhere = callee == nullptr && cluster_ && calleeId != caller && config_.findAccount(calleeId);
    if (callee == nullptr && !elsewhere) {
        sendResult(session, TW_CMD_TEMP_CALL_ACK, kUserUnavailable);
        return;
    }
    if (session.callGroup != 0 || (callee != nullptr && callee->callGroup != 0)) {
        sendResult(session, TW_CMD_TEMP_CALL_ACK, kAlreadyInCall);
        return;
    }
    const uint32_t groupId = nextTempGroupId();
    if (elsewhere) {
        Call& call = calls_[groupId];
        call.owner = caller;
        call.members = {caller, calleeId};
        call.offered = true;
        call.acrossNodes = true;
        session.callGroup = groupId;
        cluster_->offerCall(groupId, caller, session.account->displayName, calleeId,
                            [this, groupId, caller](int32_t result, const std::string& node) {
                                onCallAnswered(groupId, caller, result, node);
                            });
        return;
    }
    Call& call = calls_[groupId];
    call.owner = caller;
    call.members = {caller, callee->account->id};
    session.callGroup = groupId;
    callee->callGroup = groupId;
    sendResult(session, TW_CMD_TEMP_CALL_ACK, 0);
    tw_temp_call_arrived arrived{};
    copyText(arrived.callerName, sizeof arrived.callerName, session.account->displayName);
    arrived.callerId = caller;
    Message event;
    event.length = srv_build_temp_call_arrived(event.bytes.data(), kMessageCapacity, &arrived);
    callee->send(event.bytes.data(), event.length);
    spdlog::info("user {} called user {}: temporary group {}", caller, callee->account->id, groupId);
}

// A node of a cluster numbers its calls in a range of its own; an id still in use is
// skipped when the numbers come round.
uint32_t Server::nextTempGroupId() {
    const uint32_t base = cluster_ ? cluster_->callGroupBase() : kTempGroupBase;
    const uint32_t span = cluster_ ? Cluster::kCallRangeSize : kMeetingGroupBase - kTempGroupBase;
    uint32_t groupId = 0;
    do {
        groupId = base + tempGroupsMade_++ % span;
    } while (calls_.count(groupId) != 0);
    return groupId;
}

// Meeting ids run from 1; a meeting's group is its id above the meetings' base.
uint32_t Server::nextMeetingId() {
    const uint32_t base = cluster_ ? cluster_->meetingIdBase() : 0;
    const uint32_t span = cluster_ ? Cluster::kCallRangeSize : ~kMeetingGroupBase;
    uint32_t meetingId = 0;
    do {
        meetingId = base + meetingsMade_++ % span;
    } while (meetingId == 0 || calls_.count(kMeetingGroupBase + meetingId) != 0);
    return meetingId;
}

void Server::onCallAnswered(uint32_t groupId, uint32_t caller, int32_t result, const std::string& node) {
    auto call = calls_.find(groupId);
    Session* session = online(caller);
    const bool waiting =
        call != calls_.end() && call->second.offered && session != nullptr && session->callGroup == groupId;
    if (!waiting) {
        // The caller left (or hung up) while the other node answered.
        if (result == 0) cluster_->endCall(node, groupId, 1);
        if (call != calls_.end() && call->second.offered) endCall(groupId, 1, false);
        return;
    }
    if (result != 0) {
        endCall(groupId, 0, false);
        sendResult(*session, TW_CMD_TEMP_CALL_ACK, result);
        return;
    }
    call->second.offered = false;
    call->second.otherNodes = {node};
    cluster_->listen(groupId);
    sendResult(*session, TW_CMD_TEMP_CALL_ACK, 0);
    spdlog::info("user {} called user {} on node {}: temporary group {}", caller, call->second.members[1], node,
                 groupId);
}

void Server::onCallOffered(const NodeMessage& offer, const std::string& reply) {
    if (offer.kind == NodeMessage::Kind::kMeetingOffer) {
        onMeetingOffered(offer, reply);
        return;
    }
    Session* callee = online(offer.userId);
    int32_t result = callRefusal(callee);
    if (result == 0 &&
        (calls_.count(offer.groupId) != 0 || offer.groupId < kTempGroupBase || offer.groupId >= kMeetingGroupBase)) {
        result = kMalformedCall;
    }
    cluster_->answerOffer(reply, result);
    if (result != 0) return;
    calls_[offer.groupId] = Call{.owner = offer.caller,
                                 .members = {offer.caller, offer.userId},
                                 .acrossNodes = true,
                                 .ownerNode = offer.node,
                                 .otherNodes = {offer.node}};
    callee->callGroup = offer.groupId;
    cluster_->listen(offer.groupId);
    tw_temp_call_arrived arrived{};
    copyText(arrived.callerName, sizeof arrived.callerName, offer.callerName);
    arrived.callerId = offer.caller;
    Message event;
    event.length = srv_build_temp_call_arrived(event.bytes.data(), kMessageCapacity, &arrived);
    callee->send(event.bytes.data(), event.length);
    spdlog::info("user {} on node {} called user {}: temporary group {}", offer.caller, offer.node, offer.userId,
                 offer.groupId);
}

// A meeting's members are all online, here or (in a cluster) on other nodes, and none is in
// a call. Members elsewhere are offered the meeting through their nodes; the owner's answer
// waits for theirs.
void Server::meetingCall(Session& session, const unsigned char* body, uint32_t length) {
    tw_call_request request{};
    if (srv_parse_call_request(&request, body, length) != TW_OK) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed meeting call", session.id());
        sendMeetingRefusal(session, kMalformedCall);
        return;
    }
    const uint32_t caller = session.account->id;
    if (session.callGroup != 0) {
        sendMeetingRefusal(session, kAlreadyInCall);
        return;
    }
    std::vector<uint32_t> members{caller};
    std::vector<uint32_t> elsewhere;
    for (uint32_t i = 0; i < request.count; ++i) {
        const uint32_t id = request.ids[i];
        if (std::find(members.begin(), members.end(), id) != members.end()) {
            continue;
        }
        const Session* member = online(id);
        if (member == nullptr && cluster_ && config_.findAccount(id) != nullptr) {
            elsewhere.push_back(id);
        } else if (const int32_t refusal = callRefusal(member); refusal != 0) {
            sendMeetingRefusal(session, refusal);
            return;
        }
        members.push_back(id);
    }
    if (members.size() < 2 || members.size() > TW_MAX_MEETING_MEMBERS) {
        sendMeetingRefusal(session, members.size() < 2 ? kUserUnavailable : kMalformedCall);
        return;
    }
    const uint32_t meetingId = nextMeetingId();
    const uint32_t groupId = kMeetingGroupBase + meetingId;
    Call& call = calls_[groupId];
    call.temporary = false;
    call.owner = caller;
    call.meetingId = meetingId;
    call.members = members;
    call.offered = !elsewhere.empty();
    call.acrossNodes = !elsewhere.empty();
    for (uint32_t id : members) {
        if (Session* member = online(id)) member->callGroup = groupId;
    }
    spdlog::info("user {} opened meeting {} with {} members, {} on other nodes (flag {})", caller, meetingId,
                 members.size(), elsewhere.size(), request.flag);
    if (elsewhere.empty()) {
        answerMeeting(session, groupId);
        return;
    }
    cluster_->offerMeeting(groupId, meetingId, caller, session.account->displayName, std::move(elsewhere),
                           [this, groupId](int32_t result, const std::vector<std::string>& nodes) {
                               onMeetingAnswered(groupId, result, nodes);
                           });
}

void Server::answerMeeting(Session& owner, uint32_t groupId) {
    const Call& call = calls_.at(groupId);
    std::vector<tw_meeting_member> listed;
    for (uint32_t id : call.members) {
        tw_meeting_member entry{};
        entry.userId = id;
        copyText(entry.name, sizeof entry.name, config_.findAccount(id)->displayName);
        listed.push_back(entry);
    }
    Message answer;
    answer.length = srv_build_meeting_call_ack(answer.bytes.data(), kMessageCapacity, 0, call.meetingId, listed.data(),
                                               static_cast<uint32_t>(listed.size()));
    owner.send(answer.bytes.data(), answer.length);
}

void Server::onMeetingAnswered(uint32_t groupId, int32_t result, const std::vector<std::string>& nodes) {
    auto call = calls_.find(groupId);
    Session* owner = call != calls_.end() ? online(call->second.owner) : nullptr;
    if (call == calls_.end() || !call->second.offered || owner == nullptr || owner->callGroup != groupId) {
        // The owner left while the other nodes answered: the meeting ends there.
        for (const std::string& node : nodes) cluster_->endCall(node, groupId, 1);
        return;
    }
    if (result != 0) {
        spdlog::info("meeting {} refused by another node: {}", call->second.meetingId, result);
        endCall(groupId, 0, false);
        sendMeetingRefusal(*owner, result);
        return;
    }
    call->second.offered = false;
    call->second.otherNodes = nodes;
    cluster_->listen(groupId);
    answerMeeting(*owner, groupId);
}

// A meeting opened on another node, for members of this one: each must be online and in no
// call, or the meeting is refused.
void Server::onMeetingOffered(const NodeMessage& offer, const std::string& reply) {
    int32_t result = 0;
    if (offer.meetingId == 0 || offer.meetingId > ~kMeetingGroupBase ||
        offer.groupId != kMeetingGroupBase + offer.meetingId || calls_.count(offer.groupId) != 0 ||
        offer.members.empty()) {
        result = kMalformedCall;
    }
    for (std::size_t i = 0; result == 0 && i < offer.members.size(); ++i) {
        result = callRefusal(online(offer.members[i]));
    }
    cluster_->answerOffer(reply, result);
    if (result != 0) return;
    calls_[offer.groupId] = Call{.temporary = false,
                                 .owner = offer.caller,
                                 .meetingId = offer.meetingId,
                                 .members = offer.members,
                                 .acrossNodes = true,
                                 .ownerNode = offer.node,
                                 .otherNodes = {offer.node}};
    for (uint32_t id : offer.members) online(id)->callGroup = offer.groupId;
    cluster_->listen(offer.groupId);
    spdlog::info("user {} on node {} opened meeting {} with {} members here", offer.caller, offer.node, offer.meetingId,
                 offer.members.size());
}

void Server::hangUpMeeting(Session& session, const unsigned char* body, uint32_t length) {
    tw_call_request request{};
    if (srv_parse_call_request(&request, body, length) != TW_OK || request.count != 1) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed meeting hang-up dropped", session.id());
        return;
    }
    const uint32_t groupId = kMeetingGroupBase + (request.ids[0] & ~kMeetingGroupBase);
    auto call = calls_.find(groupId);
    if (call == calls_.end() || call->second.temporary || call->second.meetingId != request.ids[0] ||
        call->second.owner != session.account->id || !call->second.ownerNode.empty()) {
        spdlog::warn("user {}: hang-up of meeting {} that is not theirs dropped", session.account->id, request.ids[0]);
        return;
    }
    endCall(groupId, 0);
}

void Server::endCall(uint32_t groupId, uint32_t reason, bool tellMembers) {
    auto found = calls_.find(groupId);
    if (found == calls_.end()) {
        return;
    }
    const Call call = found->second;
    floors_.groupGone(groupId);
    for (const std::string& node : call.otherNodes) cluster_->endCall(node, groupId, reason);
    if (call.acrossNodes && !call.offered) cluster_->unlisten(groupId);
    calls_.erase(groupId);
    Message event;
    if (call.temporary) {
        event.length = srv_build_temp_call_release(event.bytes.data(), kMessageCapacity, groupId);
    } else {
        const tw_meeting_call_release release{reason, call.meetingId};
        event.length = srv_build_meeting_call_release(event.bytes.data(), kMessageCapacity, &release);
    }
    for (uint32_t member : call.members) {
        if (Session* session = online(member); session != nullptr && session->callGroup == groupId) {
            session->callGroup = 0;
            if (tellMembers) session->send(event.bytes.data(), event.length);
        }
    }
}

// A user who goes away ends a temporary call, and a meeting they opened; from anyone
// else's meeting they just leave.
void Server::leaveCall(Session& session) {
    const uint32_t groupId = session.callGroup;
    auto call = calls_.find(groupId);
    if (call == calls_.end()) {
        return;
    }
    const uint32_t user = session.account->id;
    if (call->second.temporary || call->second.owner == user) {
        endCall(groupId, 1);
        return;
    }
    auto& members = call->second.members;
    members.erase(std::remove(members.begin(), members.end(), user), members.end());
    session.callGroup = 0;
}

}  // namespace talkhub_server
