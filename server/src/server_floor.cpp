// A group's floor, from a request to its end. On one node: a request is granted at once
// when the floor is free (the talk-time limit starts, the members are told), a release or
// a take-back ends it in a grace period that still carries the holder's last packet, and
// only then is it free (members told, listeners sent an end of talk). In a cluster the
// floor of a configured group, or of a call with users on other nodes, is the cluster's:
// the request becomes a claim with a token of its own; while it is out the session's later
// floor commands wait, so that its answers keep their order; the verdict grants the floor
// only to the current claim, not ended; a floor held by a member on another node is known
// here from that node's events, until they stop for a lease.
#include <spdlog/spdlog.h>
#include <talkwire.h>

#include <algorithm>

#include "message.h"
#include "server.h"

namespace talkhub_server {

namespace asio = boost::asio;

void Server::floorRequest(Session& session, unsigned char command, const unsigned char* body, uint32_t length) {
    tw_id_request request{};
    if (srv_parse_id_request(&request, body, length) != TW_OK) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed mic {} dropped", session.id(),
                     command == TW_CMD_REQUEST_MIC ? "request" : "release");
        return;
    }
    takeFloorCommand(session, command, request.id);
}

void Server::takeFloorCommand(Session& session, unsigned char command, uint32_t requested) {
    if (waitsForClaim(session, command, requested)) return;
    if (command == TW_CMD_REQUEST_MIC) {
        askFloor(session, requested);
    } else {
        giveUpFloor(session, requested);
    }
}

bool Server::waitsForClaim(Session& session, unsigned char command, uint32_t requested) {
    if (session.awaitedClaim == 0) return false;
    if (command == TW_CMD_RELEASE_MIC) {
        // Released before the verdict: the claim ends, and the verdict answers it refused.
        auto floor = floors_.find(floorGroup(session, requested));
        if (floor != floors_.end() && floor->second.claim == session.awaitedClaim) floor->second.ending = true;
    }
    if (session.floorCommandsWaiting.size() >= Session::kFloorCommandsWaiting) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: floor command 0x{:02x} dropped: {} wait for the cluster's verdict already",
                     session.id(), command, session.floorCommandsWaiting.size());
        return true;
    }
    session.floorCommandsWaiting.emplace_back(command, requested);
    return true;
}

void Server::askFloor(Session& session, uint32_t requested) {
    const uint32_t user = session.account->id;
    const uint32_t groupId = floorGroup(session, requested);
    const auto* members = membersOf(groupId);
    int32_t result = 0;
    if (members == nullptr || std::find(members->begin(), members->end(), user) == members->end()) {
        result = kNotAMember;
    } else if (auto busy = floors_.find(groupId);
               busy != floors_.end() && (busy->second.holder != user || busy->second.ending)) {
        result = kFloorBusy;
    } else if (auto call = calls_.find(groupId); call != calls_.end() && call->second.offered) {
        result = kFloorBusy;  // the other nodes have not answered yet
    }
    if (result != 0) {
        ++counters_.floorDenials;
        answerMic(session, result);
        return;
    }
    if (auto held = floors_.find(groupId); held != floors_.end()) {
        // Asked again while holding it: granted again, nothing changes. While the claim is
        // out, its verdict answers.
        if (!held->second.claiming) answerMic(session, 0);
        return;
    }
    // A configured group's floor is the cluster's to give, and so is that of a call with a
    // user on another node; any other call's stays on this node.
    if (clustered(groupId)) {
        Floor& floor = floors_[groupId];
        floor.holder = user;
        floor.claiming = true;
        floor.claim = nextClaim_++;
        session.awaitedClaim = floor.claim;
        cluster_->claimFloor(groupId, user, session.account->displayName, floor.claim,
                             [this, groupId, user, token = floor.claim](bool granted) {
                                 onFloorClaimed(groupId, user, token, granted);
                             });
        return;
    }
    floors_[groupId].holder = user;
    answerMic(session, 0);
    // The answer may have closed a session that reads too slowly, and ended its floors.
    if (session.account != nullptr) grantFloor(groupId, session);
}

void Server::answerMic(Session& session, int32_t result) {
    Message answer;
    answer.length = srv_build_result_ack(answer.bytes.data(), kMessageCapacity, TW_CMD_REQUEST_MIC_ACK, result);
    session.send(answer.bytes.data(), answer.length);
}

void Server::grantFloor(uint32_t groupId, Session& session) {
    const uint32_t user = session.account->id;
    Floor& floor = floors_[groupId];
    ++counters_.floorGrants;
    floor.timer = std::make_unique<asio::steady_timer>(io_, std::chrono::seconds(config_.limits.maxTalkSeconds));
    floor.timer->async_wait([this, groupId, user](const boost::system::error_code& error) {
        auto current = floors_.find(groupId);
        if (error || current == floors_.end() || current->second.holder != user || current->second.ending) {
            return;
        }
        ++counters_.floorPreemptions;
        spdlog::info("group {}: floor of user {} taken back after {} s", groupId, user, config_.limits.maxTalkSeconds);
        endFloor(groupId, FloorEnd::kTakenBack);
    });
    tw_member_get_mic event{};
    event.groupId = groupId;
    event.userId = user;
    copyText(event.userName, sizeof event.userName, session.account->displayName);
    Message notice;
    notice.length = srv_build_member_get_mic(notice.bytes.data(), kMessageCapacity, &event);
    notifyMembers(groupId, user, notice.bytes.data(), notice.length);
    spdlog::info("group {}: floor granted to user {}", groupId, user);
}

void Server::giveUpFloor(Session& session, uint32_t requested) {
    Message answer;
    answer.length = srv_build_release_mic_ack(answer.bytes.data(), kMessageCapacity, requested);
    session.send(answer.bytes.data(), answer.length);
    if (session.account == nullptr) return;
    const uint32_t groupId = floorGroup(session, requested);
    auto floor = floors_.find(groupId);
    if (floor != floors_.end() && floor->second.holder == session.account->id) {
        endFloor(groupId, FloorEnd::kReleased);
    }
}

void Server::endFloor(uint32_t groupId, FloorEnd how) {
    auto found = floors_.find(groupId);
    if (found == floors_.end()) {
        return;
    }
    Floor& floor = found->second;
    if (floor.claiming) {
        // Nobody was told of a floor still claimed: its verdict answers the request refused
        // and gives the claim back. A holder gone is answered no more.
        if (how == FloorEnd::kGone) {
            freeFloor(groupId);
        } else {
            floor.ending = true;
        }
        return;
    }
    const uint32_t holder = floor.holder;
    const uint32_t graceMs = how == FloorEnd::kGone ? 0 : config_.limits.floorGraceMs;
    if (floor.ending && graceMs != 0) {
        return;
    }
    if (floor.timer) {
        floor.timer->cancel();
    }
    if (how == FloorEnd::kTakenBack && !floor.ending) {
        if (Session* talker = online(holder)) {
            Message message;
            message.length = srv_build_self_lost_mic(message.bytes.data(), kMessageCapacity, groupId);
            talker->send(message.bytes.data(), message.length);
        }
    }
    if (graceMs == 0) {
        freeFloor(groupId);
        return;
    }
    floor.ending = true;
    floor.timer = std::make_unique<asio::steady_timer>(io_, std::chrono::milliseconds(graceMs));
    floor.timer->async_wait([this, groupId, holder](const boost::system::error_code& error) {
        auto current = floors_.find(groupId);
        if (!error && current != floors_.end() && current->second.holder == holder && current->second.ending) {
            freeFloor(groupId);
        }
    });
}

void Server::freeFloor(uint32_t groupId) {
    auto found = floors_.find(groupId);
    if (found == floors_.end()) {
        return;
    }
    const uint32_t holder = found->second.holder;
    const bool claiming = found->second.claiming;
    const bool remote = found->second.remote;
    const uint64_t claim = found->second.claim;
    floors_.erase(found);
    // The claim is given up after the grace period, so the floor stays busy on every node
    // until then; a claim still out is given up as soon as its verdict is in.
    if (!remote && claim != 0) cluster_->releaseFloor(groupId, claim);
    if (claiming) return;  // nobody was told of it
    Message message;
    const tw_member_lost_mic event{groupId, holder};
    message.length = srv_build_member_lost_mic(message.bytes.data(), kMessageCapacity, &event);
    notifyMembers(groupId, holder, message.bytes.data(), message.length);

    unsigned char endOfTalk[64];
    const int size = srv_build_end_of_talk(endOfTalk, sizeof endOfTalk, holder, endOfTalkSequence_[holder]++);
    if (const auto* members = membersOf(groupId)) {
        for (uint32_t member : *members) {
            Session* listener = online(member);
            if (member != holder && listener != nullptr && listener->voiceEndpoint) {
                sendDatagram(endOfTalk, static_cast<std::size_t>(size), *listener->voiceEndpoint);
            }
        }
    }
    spdlog::info("group {}: floor of user {} ended{}", groupId, holder, remote ? " on its node" : "");
}

// The verdict on claim `token`. It grants the floor only while that claim is the floor's
// current one, not ended, and its session still waits for it; otherwise a floor won goes
// back at once. The session's floor commands that came after the request are then taken.
void Server::onFloorClaimed(uint32_t groupId, uint32_t user, uint64_t token, bool granted) {
    auto found = floors_.find(groupId);
    const bool current = found != floors_.end() && found->second.claiming && found->second.claim == token;
    Session* session = online(user);
    const bool awaited = session != nullptr && session->awaitedClaim == token;
    if (current && awaited && granted && !found->second.ending) {
        found->second.claiming = false;
        session->awaitedClaim = 0;
        answerMic(*session, 0);
        if (session->account != nullptr) grantFloor(groupId, *session);
    } else {
        if (granted) cluster_->releaseFloor(groupId, token);
        std::optional<FloorEvent> winner;
        if (current) {
            if (!granted) winner = found->second.heldElsewhere;
            floors_.erase(found);
        }
        if (awaited) {
            session->awaitedClaim = 0;
            ++counters_.floorDenials;
            answerMic(*session, kFloorBusy);
        }
        // Told after the refusal, as a member who asks while another holds the floor is.
        if (winner) holdFromElsewhere(*winner);
        if (!awaited) return;
    }
    while (session->account != nullptr && session->awaitedClaim == 0 && !session->floorCommandsWaiting.empty()) {
        const auto [command, requested] = session->floorCommandsWaiting.front();
        session->floorCommandsWaiting.pop_front();
        takeFloorCommand(*session, command, requested);
    }
}

void Server::onClusterFloor(const FloorEvent& event) {
    if (membersOf(event.groupId) == nullptr) return;  // a call of other nodes
    auto found = floors_.find(event.groupId);
    const auto until = Session::Clock::now() + std::chrono::milliseconds(config_.cluster->floorLeaseMs);
    if (event.kind == FloorEvent::Kind::kFreed) {
        if (found != floors_.end() && found->second.remote && found->second.holder == event.holder) {
            freeFloor(event.groupId);
        } else if (found != floors_.end() && found->second.heldElsewhere &&
                   found->second.heldElsewhere->holder == event.holder) {
            found->second.heldElsewhere.reset();
        }
        return;
    }
    if (found != floors_.end()) {
        if (found->second.remote && found->second.holder == event.holder) {
            found->second.remoteUntil = until;
            return;
        }
        if (!found->second.remote) {
            // Our own claim loses in the stream; a floor we hold is checked at its renewal.
            if (found->second.claiming) {
                found->second.heldElsewhere = event;
            } else {
                spdlog::warn("group {}: user {} on another node claims the floor user {} holds here", event.groupId,
                             event.holder, found->second.holder);
            }
            return;
        }
        freeFloor(event.groupId);  // a holder whose free event was lost
    }
    holdFromElsewhere(event);
}

void Server::holdFromElsewhere(const FloorEvent& event) {
    Floor& floor = floors_[event.groupId];
    floor.holder = event.holder;
    floor.remote = true;
    floor.remoteUntil = Session::Clock::now() + std::chrono::milliseconds(config_.cluster->floorLeaseMs);
    tw_member_get_mic notice{};
    notice.groupId = event.groupId;
    notice.userId = event.holder;
    copyText(notice.userName, sizeof notice.userName, event.holderName);
    Message message;
    message.length = srv_build_member_get_mic(message.bytes.data(), kMessageCapacity, &notice);
    notifyMembers(event.groupId, event.holder, message.bytes.data(), message.length);
    spdlog::info("group {}: floor held by user {} on another node", event.groupId, event.holder);
}

void Server::onClusterFloorLost(uint32_t groupId, uint64_t token) {
    auto found = floors_.find(groupId);
    if (found != floors_.end() && !found->second.remote && found->second.claim == token) {
        ++counters_.floorPreemptions;
        endFloor(groupId, FloorEnd::kTakenBack);
    }
}

void Server::expireRemoteFloors(Session::Clock::time_point now) {
    std::vector<uint32_t> expired;
    for (const auto& [groupId, floor] : floors_) {
        if (floor.remote && floor.remoteUntil <= now) expired.push_back(groupId);
    }
    for (uint32_t groupId : expired) {
        spdlog::warn("group {}: floor of user {} expired: its node stopped renewing it", groupId,
                     floors_[groupId].holder);
        freeFloor(groupId);
    }
}

}  // namespace talkhub_server
