#include "floor_control.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <vector>

namespace talkhub_server {

FloorControl::FloorControl(boost::asio::io_context& io, FloorTimes times, FloorEffects& effects, Counters& counters)
    : io_(io), times_(times), effects_(effects), counters_(counters) {}

void FloorControl::command(uint32_t user, Command command, uint32_t requested) {
    if (!waitsForClaim(user, command, requested)) take(user, command, requested);
}

bool FloorControl::waitsForClaim(uint32_t user, Command command, uint32_t requested) {
    auto waiting = waiting_.find(user);
    if (waiting == waiting_.end() || waiting->second.claim == 0) return false;
    if (command == Command::kRelease) {
        // Released before the verdict: the claim ends, and the verdict answers it refused.
        auto floor = floors_.find(effects_.floorGroup(user, requested));
        if (floor != floors_.end() && floor->second.claim == waiting->second.claim) floor->second.ending = true;
    }
    auto& commands = waiting->second.commands;
    if (commands.size() >= kCommandsWaiting) {
        ++counters_.requestsDropped;
        spdlog::warn("user {}: floor {} dropped: {} commands wait for the cluster's verdict already", user,
                     command == Command::kRequest ? "request" : "release", commands.size());
        return true;
    }
    commands.emplace_back(command, requested);
    return true;
}

void FloorControl::take(uint32_t user, Command command, uint32_t requested) {
    if (command == Command::kRequest) {
        ask(user, requested);
    } else {
        giveUp(user, requested);
    }
}

void FloorControl::ask(uint32_t user, uint32_t requested) {
    const uint32_t groupId = effects_.floorGroup(user, requested);
    int32_t result = effects_.floorRefusal(user, groupId);
    auto found = floors_.find(groupId);
    if (result == 0 && found != floors_.end() && (found->second.holder != user || found->second.ending)) {
        result = kFloorBusy;
    }
    if (result != 0) {
        ++counters_.floorDenials;
        effects_.answerFloorRequest(user, result);
        return;
    }
    if (found != floors_.end()) {
        // Asked again while holding it: granted again, nothing changes. While the claim is
        // out, its verdict answers.
        if (!found->second.claiming) effects_.answerFloorRequest(user, 0);
        return;
    }
    // Claiming until granted: should the answer close the session, nobody was told of it.
    Floor& floor = floors_[groupId];
    floor.holder = user;
    floor.claiming = true;
    if (effects_.floorClustered(groupId)) {
        floor.claim = nextClaim_++;
        waiting_[user].claim = floor.claim;
        effects_.claimFloor(groupId, user, floor.claim);
        return;
    }
    effects_.answerFloorRequest(user, 0);
    grant(groupId, user);
}

void FloorControl::grant(uint32_t groupId, uint32_t user) {
    auto found = floors_.find(groupId);
    // The answer may have closed a session that reads too slowly, and ended its floors.
    if (found == floors_.end() || found->second.holder != user || found->second.remote) return;
    found->second.claiming = false;
    ++counters_.floorGrants;
    startTimer(found->second, times_.talkLimit, groupId, false);
    spdlog::info("group {}: floor granted to user {}", groupId, user);
    effects_.floorGranted(groupId, user);
}

void FloorControl::giveUp(uint32_t user, uint32_t requested) {
    const uint32_t groupId = effects_.floorGroup(user, requested);
    effects_.answerFloorRelease(user, requested);
    endIfHeldBy(groupId, user, End::kReleased);
}

void FloorControl::endIfHeldBy(uint32_t groupId, uint32_t user, End how) {
    auto found = floors_.find(groupId);
    if (found != floors_.end() && found->second.holder == user && !found->second.remote) end(groupId, how);
}

void FloorControl::userGone(uint32_t user) {
    waiting_.erase(user);
    std::vector<uint32_t> held;
    for (const auto& [groupId, floor] : floors_) {
        if (floor.holder == user && !floor.remote) held.push_back(groupId);
    }
    for (uint32_t groupId : held) end(groupId, End::kGone);
}

void FloorControl::groupGone(uint32_t groupId) {
    if (floors_.count(groupId) != 0) end(groupId, End::kGone);
}

void FloorControl::end(uint32_t groupId, End how) {
    auto found = floors_.find(groupId);
    if (found == floors_.end()) return;
    if (found->second.claiming) {
        // Nobody was told of a floor still claimed: its verdict answers the request refused
        // and gives the claim back. A holder gone is answered no more.
        if (how == End::kGone) {
            free(groupId);
        } else {
            found->second.ending = true;
        }
        return;
    }
    const uint32_t holder = found->second.holder;
    const auto grace = how == End::kGone ? std::chrono::milliseconds(0) : times_.grace;
    if (found->second.ending && grace.count() != 0) return;
    if (found->second.timer) found->second.timer->cancel();
    if (how == End::kTakenBack && !found->second.ending) {
        effects_.floorTakenBack(groupId, holder);
        // Telling a holder that reads too slowly closes its session, which frees the floor.
        found = floors_.find(groupId);
        if (found == floors_.end() || found->second.holder != holder) return;
    }
    if (grace.count() == 0) {
        free(groupId);
        return;
    }
    found->second.ending = true;
    startTimer(found->second, grace, groupId, true);
}

void FloorControl::startTimer(Floor& floor, std::chrono::milliseconds after, uint32_t groupId, bool ending) {
    floor.timer = std::make_unique<boost::asio::steady_timer>(io_, after);
    floor.timer->async_wait([this, groupId, holder = floor.holder, ending](const boost::system::error_code& error) {
        if (error) return;
        auto current = floors_.find(groupId);
        if (current == floors_.end() || current->second.holder != holder || current->second.ending != ending) return;
        if (ending) {
            free(groupId);
            return;
        }
        ++counters_.floorPreemptions;
        spdlog::info("group {}: floor of user {} taken back after {} s", groupId, holder,
                     std::chrono::duration_cast<std::chrono::seconds>(times_.talkLimit).count());
        end(groupId, End::kTakenBack);
    });
}

void FloorControl::free(uint32_t groupId) {
    auto found = floors_.find(groupId);
    if (found == floors_.end()) return;
    const uint32_t holder = found->second.holder;
    const bool claiming = found->second.claiming;
    const bool remote = found->second.remote;
    const uint64_t claim = found->second.claim;
    floors_.erase(found);
    // The claim is given up after the grace period, so the floor stays busy on every node
    // until then; a claim still out is given up as soon as its verdict is in.
    if (!remote && claim != 0) effects_.giveBackFloor(groupId, claim);
    if (claiming) return;  // nobody was told of it
    spdlog::info("group {}: floor of user {} ended{}", groupId, holder, remote ? " on its node" : "");
    effects_.floorFreed(groupId, holder);
}

// The verdict grants the floor only while its claim is the floor's current one, not ended,
// and its user still waits for it; otherwise a floor won goes back at once. The user's
// commands that came after the request are then taken.
void FloorControl::onVerdict(uint32_t groupId, uint32_t user, uint64_t token, bool granted) {
    auto found = floors_.find(groupId);
    const bool current = found != floors_.end() && found->second.claiming && found->second.claim == token;
    auto waiting = waiting_.find(user);
    const bool awaited = waiting != waiting_.end() && waiting->second.claim == token;
    if (awaited) waiting->second.claim = 0;
    if (current && awaited && granted && !found->second.ending) {
        effects_.answerFloorRequest(user, 0);
        grant(groupId, user);
    } else {
        if (granted) effects_.giveBackFloor(groupId, token);
        std::optional<FloorEvent> winner;
        if (current) {
            if (!granted) winner = found->second.heldElsewhere;
            floors_.erase(found);
        }
        if (awaited) {
            ++counters_.floorDenials;
            effects_.answerFloorRequest(user, kFloorBusy);
        }
        // Told after the refusal, as a member who asks while another holds the floor is.
        if (winner) holdFromElsewhere(*winner);
        if (!awaited) return;
    }
    takeWaiting(user);
}

void FloorControl::takeWaiting(uint32_t user) {
    for (;;) {
        auto waiting = waiting_.find(user);
        if (waiting == waiting_.end() || waiting->second.claim != 0) return;
        if (waiting->second.commands.empty()) {
            waiting_.erase(waiting);
            return;
        }
        const auto [command, requested] = waiting->second.commands.front();
        waiting->second.commands.pop_front();
        take(user, command, requested);
    }
}

void FloorControl::onClusterFloor(const FloorEvent& event) {
    auto found = floors_.find(event.groupId);
    if (event.kind == FloorEvent::Kind::kFreed) {
        if (found == floors_.end()) return;
        if (found->second.remote && found->second.holder == event.holder) {
            free(event.groupId);
        } else if (found->second.heldElsewhere && found->second.heldElsewhere->holder == event.holder) {
            found->second.heldElsewhere.reset();
        }
        return;
    }
    if (found != floors_.end()) {
        Floor& floor = found->second;
        if (floor.remote && floor.holder == event.holder) {
            floor.remoteUntil = Clock::now() + times_.lease;
            return;
        }
        if (!floor.remote) {
            // Our own claim loses in the stream; a floor we hold is checked at its renewal.
            if (floor.claiming) {
                floor.heldElsewhere = event;
            } else {
                spdlog::warn("group {}: user {} on another node claims the floor user {} holds here", event.groupId,
                             event.holder, floor.holder);
            }
            return;
        }
        free(event.groupId);  // a holder whose free event was lost
    }
    holdFromElsewhere(event);
}

void FloorControl::holdFromElsewhere(const FloorEvent& event) {
    Floor& floor = floors_[event.groupId];
    floor.holder = event.holder;
    floor.remote = true;
    floor.remoteUntil = Clock::now() + times_.lease;
    spdlog::info("group {}: floor held by user {} on another node", event.groupId, event.holder);
    effects_.floorHeldElsewhere(event);
}

void FloorControl::onLostInCluster(uint32_t groupId, uint64_t token) {
    auto found = floors_.find(groupId);
    if (found != floors_.end() && !found->second.remote && found->second.claim == token) {
        ++counters_.floorPreemptions;
        end(groupId, End::kTakenBack);
    }
}

void FloorControl::expireElsewhere(Clock::time_point now) {
    std::vector<std::pair<uint32_t, uint32_t>> expired;
    for (const auto& [groupId, floor] : floors_) {
        if (floor.remote && floor.remoteUntil <= now) expired.emplace_back(groupId, floor.holder);
    }
    for (const auto& [groupId, holder] : expired) {
        spdlog::warn("group {}: floor of user {} expired: its node stopped renewing it", groupId, holder);
        free(groupId);
    }
}

void FloorControl::stop() {
    for (auto& [groupId, floor] : floors_) {
        if (floor.timer) floor.timer->cancel();
    }
}

std::optional<uint32_t> FloorControl::voiceGroupOf(uint32_t sender) const {
    const auto holds = [sender](const auto& entry) {
        return entry.second.holder == sender && !entry.second.claiming && !entry.second.remote;
    };
    auto floor = std::find_if(floors_.begin(), floors_.end(),
                              [&](const auto& entry) { return holds(entry) && !entry.second.ending; });
    if (floor == floors_.end()) floor = std::find_if(floors_.begin(), floors_.end(), holds);
    if (floor == floors_.end()) return std::nullopt;
    return floor->first;
}

bool FloorControl::holdsElsewhere(uint32_t groupId, uint32_t sender) const {
    const auto found = floors_.find(groupId);
    if (found == floors_.end()) return false;
    const Floor& floor = found->second;
    return (floor.remote && floor.holder == sender) || (floor.heldElsewhere && floor.heldElsewhere->holder == sender);
}

}  // namespace talkhub_server
