// Every group floor of one node, from a request to its end, in one state machine that knows
// no sockets: the server drives it with its users' floor commands and the cluster's verdicts
// and events, and carries out what it decides through FloorEffects.
//
// A floor's life:
//   free --request--> held (talk-time limit running)          one node, or a group not shared
//   free --request--> claiming --verdict won--> held            the cluster's floor
//                     claiming --verdict lost--> free (held elsewhere, if another node said so)
//   held --release / take-back--> ending (grace period) --> free
//   claiming --release / take-back--> claiming, ending --verdict--> free, claim given back
//   free --another node's event--> held elsewhere --its free event / its renewals stop--> free
// A holder that goes away frees its floor at once (no grace: no more voice can come).
//
// A claim carries a token of its own; only the verdict for the floor's current claim can
// grant it. While a user's claim is out its later commands wait (at most kCommandsWaiting)
// and are taken in order after the verdict, so that a request is always answered before the
// release that followed it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "cluster/cluster_messages.h"
#include "counters.h"

namespace talkhub_server {

// Results of a refused floor request.
enum FloorRefusal : int32_t {
    kFloorBusy = 1,
    kNotAMember = 2,
};

// What the floor's life does outside itself. Called on the network thread. An answer or a
// notice may close a slow session, and the server then calls FloorControl::userGone from
// within it: FloorControl allows for that after every call it makes here.
class FloorEffects {
public:
    // The group a floor command of `user` naming `requested` is for.
    virtual uint32_t floorGroup(uint32_t user, uint32_t requested) = 0;
    // Why `user` may not take the floor of `groupId` (a FloorRefusal), or 0.
    virtual int32_t floorRefusal(uint32_t user, uint32_t groupId) = 0;
    // Whether the floor of `groupId` is the cluster's to give.
    virtual bool floorClustered(uint32_t groupId) = 0;
    virtual void answerFloorRequest(uint32_t user, int32_t result) = 0;
    virtual void answerFloorRelease(uint32_t user, uint32_t requested) = 0;
    // The floor is `holder`'s here, or a member's on another node: the members are told.
    virtual void floorGranted(uint32_t groupId, uint32_t holder) = 0;
    virtual void floorHeldElsewhere(const FloorEvent& event) = 0;
    // The holder is told the floor was taken from it.
    virtual void floorTakenBack(uint32_t groupId, uint32_t holder) = 0;
    // The floor is free: the members are told, the listeners sent an end of talk.
    virtual void floorFreed(uint32_t groupId, uint32_t holder) = 0;
    // Claims the floor in the cluster; the verdict comes back through FloorControl::onVerdict.
    virtual void claimFloor(uint32_t groupId, uint32_t holder, uint64_t token) = 0;
    virtual void giveBackFloor(uint32_t groupId, uint64_t token) = 0;

protected:
    ~FloorEffects() = default;
};

struct FloorTimes {
    std::chrono::milliseconds talkLimit;
    std::chrono::milliseconds grace;
    // How long a floor held on another node lasts here without that node's renewal.
    std::chrono::milliseconds lease;
};

class FloorControl {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kCommandsWaiting = 8;

    enum class Command { kRequest, kRelease };
    enum class End {
        kReleased,   // the holder released it
        kTakenBack,  // the server took it (time limit, group change); the holder is told
        kGone,       // the holder or the call is gone: no more voice can come, no grace
    };

    FloorControl(boost::asio::io_context& io, FloorTimes times, FloorEffects& effects, Counters& counters);

    // A floor request or release from `user`, naming group `requested`.
    void command(uint32_t user, Command command, uint32_t requested);
    // Ends the floor of `groupId` if `user` holds it here.
    void endIfHeldBy(uint32_t groupId, uint32_t user, End how);
    // The user's session is gone: its floors end at once, its waiting commands are dropped.
    void userGone(uint32_t user);
    // The group is gone (a call ended): its floor ends at once.
    void groupGone(uint32_t groupId);

    // The cluster's verdict on claim `token`.
    void onVerdict(uint32_t groupId, uint32_t user, uint64_t token, bool granted);
    // Another node's floor held or freed.
    void onClusterFloor(const FloorEvent& event);
    // The cluster no longer holds this node's claim `token` (its lease was lost).
    void onLostInCluster(uint32_t groupId, uint64_t token);
    // Frees the floors held from other nodes whose renewals stopped.
    void expireElsewhere(Clock::time_point now);
    void stop();

    // The group whose turn a datagram of `sender` belongs to: a floor it holds here, past
    // its claim; an ending one only when it holds no other.
    std::optional<uint32_t> voiceGroupOf(uint32_t sender) const;
    // Whether another node's datagram of `sender` in `groupId` comes from the floor's holder.
    bool holdsElsewhere(uint32_t groupId, uint32_t sender) const;

private:
    struct Floor {
        uint32_t holder = 0;
        bool ending = false;
        // Not granted yet (the holder's claim is before the other nodes): nobody was told
        // of it, no voice.
        bool claiming = false;
        uint64_t claim = 0;   // this node's claim in the cluster, 0 for a floor of this node alone
        bool remote = false;  // held by a member on another node, until `remoteUntil`
        Clock::time_point remoteUntil{};
        // While this node's claim is out: who another node says holds the floor. Should the
        // claim lose, that member holds it here from then on.
        std::optional<FloorEvent> heldElsewhere;
        // The talk-time limit while held, the grace period while ending.
        std::unique_ptr<boost::asio::steady_timer> timer;
    };
    // A user's claim that is out, and the commands that came after it.
    struct Waiting {
        uint64_t claim = 0;
        std::deque<std::pair<Command, uint32_t>> commands;
    };

    // Queues a command behind the user's claim; false when no claim is out.
    bool waitsForClaim(uint32_t user, Command command, uint32_t requested);
    void take(uint32_t user, Command command, uint32_t requested);
    void ask(uint32_t user, uint32_t requested);
    void giveUp(uint32_t user, uint32_t requested);
    void grant(uint32_t groupId, uint32_t user);
    void end(uint32_t groupId, End how);
    void free(uint32_t groupId);
    void holdFromElsewhere(const FloorEvent& event);
    // Takes the user's waiting commands while no claim of its is out.
    void takeWaiting(uint32_t user);
    void startTimer(Floor& floor, std::chrono::milliseconds after, uint32_t groupId, bool ending);

    boost::asio::io_context& io_;
    const FloorTimes times_;
    FloorEffects& effects_;
    Counters& counters_;
    std::map<uint32_t, Floor> floors_;
    std::map<uint32_t, Waiting> waiting_;  // by user
    uint64_t nextClaim_ = 1;
};

}  // namespace talkhub_server
