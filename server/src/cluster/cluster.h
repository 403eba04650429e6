// A node's link to the other nodes of its cluster, all through NATS:
// - the voice of a group crosses on "talkhub.voice.<group id>": the talker's node publishes
//   each relayed datagram once, sender already stamped; a node subscribes to a group's
//   subject while it has members of that group online, and fans out what comes locally.
//   Voice and the floor events below have a connection of their own, read and written by
//   the network thread (VoiceBus), which keeps a turn's "held" ahead of its voice;
//   everything else shares the other connection;
// - who holds a group's floor is a message on "talkhub.claim.<group id>" in the JetStream
//   stream "TALKHUB_FLOOR", which keeps one message per subject and refuses a second: two
//   nodes claiming at once are decided in the order of the stream's replicated log. The
//   holder's node deletes its claim when the floor ends;
// - each node keeps its key "node.<name>" alive in the key-value bucket "talkhub_nodes",
//   renewed every third of the lease. The key names the node's run, drawn at each start, and
//   is taken create-if-absent, so that two live nodes never share a name. A claim names the
//   node's run too: one whose node's key has expired (the node died) or names another run
//   (the node was started again) is deleted by the next node that claims that floor;
// - floor events (held, repeated with each renewal; freed) cross on
//   "talkhub.floor.<group id>", so that other nodes tell their members, and forget a holder
//   whose node went silent;
// - which node each user is logged in on is kept in the bucket "talkhub_presence" (key
//   "user.<id>"); a login on one node ends the user's session on another, and temporary
//   calls and meetings reach users on other nodes, through messages on each node's own
//   subject, "talkhub.node.<name>" (an offer is a request there, answered with its result).
//
// Threads. For the connection that carries all but voice, the NATS client runs its own (the
// connection's reader, and one that delivers every subscription's messages); the link adds
// two for the blocking round trips, so that the slow ones never hold up the node's liveness:
// - "talkhub-floor": the renewal beat (this node's key, the others' loads, the leases'
//   checks, the store made again after a NATS restart lost it) and floor claims and
//   releases, in the order they were made;
// - "talkhub-calls": presence, read and written in the bucket (an offer's lookup of where
//   its callees are among it). Requests to other nodes (offers, call checks) wait on no
//   thread: their answers, or their 2 s running out, are taken on the network thread.
// None touches the server: every event is posted to the network thread, and a post that
// runs after stop() does nothing. Everything public is called on the network thread.
// start() connects both connections, finds or makes the stream and the buckets, takes the
// node's name and starts both threads; stop() ends them (the floor thread's last act frees
// the floors it holds and gives the name up), unsubscribes, and returns once no message
// callback can run any more. Lock order: a job thread's queue lock is never held while
// calling NATS, nor loadsLock_.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cluster/cluster_messages.h"
#include "cluster/inbox.h"
#include "cluster/job_thread.h"
#include "cluster/nats_handles.h"
#include "cluster/voice_bus.h"
#include "config.h"

namespace talkhub_server {

// A node as the others see it, for sending logins on: where it takes them, and its load.
struct NodeLoad {
    std::string node;
    std::string address;
    uint16_t tcpPort = 0;
    std::string voiceAddress;
    uint16_t voicePort = 0;
    uint32_t sessions = 0;
    uint32_t limit = 0;
    bool draining = false;
    // The node's run: drawn at each start, so that what a dead run left behind (its claims)
    // is told apart from what a run of the same name holds now.
    std::string run;

    std::string encode() const;
    static std::optional<NodeLoad> parse(const std::string& node, const std::string& text);
};

class Cluster {
public:
    // What the other nodes do, delivered on the network thread.
    struct Events {
        // A datagram of another node's talker in a group this node listens to; a run of them
        // ends with voiceDone, when what they queued is to go out.
        std::function<void(uint32_t groupId, const unsigned char* data, std::size_t size)> voice;
        std::function<void()> voiceDone;
        // Another node's member holds a group's floor (taken or renewed), or freed it.
        std::function<void(const FloorEvent& event)> floor;
        // The floor this node held under claim `token` could not be kept: another node holds
        // it now.
        std::function<void(uint32_t groupId, uint64_t token)> floorLost;
        // A user of this node logged in on another node.
        std::function<void(uint32_t userId)> replaced;
        // A temporary call or a meeting for users of this node; answered with
        // answerOffer(reply, result).
        std::function<void(const NodeMessage& offer, const std::string& reply)> callOffered;
        // Node `node`, taking part in a call, ended it.
        std::function<void(uint32_t groupId, uint32_t reason, const std::string& node)> callEnded;
        // A meeting offered here by `node` does not take place after all: its members are
        // not told.
        std::function<void(uint32_t groupId, const std::string& node)> callWithdrawn;
        // Node `node` asks whether the call it takes part in, owned here, goes on; answered
        // with answerOffer(reply, 0) when it does, 1 when not.
        std::function<void(uint32_t groupId, const std::string& node, const std::string& reply)> callChecked;
    };
    Cluster(boost::asio::io_context& io, ClusterConfig config);
    ~Cluster();
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // Throws std::runtime_error when NATS, the stream or the bucket cannot be reached in the
    // start timeout.
    void start(Events events);
    void stop();

    // Counted: the group's voice reaches this node while one of its members here listens.
    void listen(uint32_t groupId);
    void unlisten(uint32_t groupId);
    void publishVoice(uint32_t groupId, const unsigned char* data, std::size_t size);

    // Claims a group's floor for `holder`; `token` names this claim, `done` runs on the
    // network thread with its verdict. A claim the stream cannot decide (NATS unreachable)
    // is refused. Claims and releases are decided in the order they are made.
    void claimFloor(uint32_t groupId, uint32_t holder, const std::string& holderName, uint64_t token,
                    std::function<void(bool)> done);
    // Gives up the floor claimed with `token`, if this node holds it, and tells the other
    // nodes; a token no longer held does nothing.
    void releaseFloor(uint32_t groupId, uint64_t token);

    // Presence: the user is on this node now (one on another node is told to end its
    // session), or no longer.
    void userOnline(uint32_t userId);
    void userOffline(uint32_t userId);
    // Offers a temporary call in `groupId` to a user on another node; `done` gets 0 or a
    // call refusal, and the callee's node.
    void offerCall(uint32_t groupId, uint32_t caller, const std::string& callerName, uint32_t callee,
                   std::function<void(int32_t result, const std::string& node)> done);
    // Offers meeting `meetingId` in `groupId` to the nodes of the `invited` users (none of
    // them here); `done` gets 0 and the nodes that took it, or the first refusal (the nodes
    // that had taken it are told it is withdrawn).
    void offerMeeting(uint32_t groupId, uint32_t meetingId, uint32_t owner, const std::string& ownerName,
                      std::vector<uint32_t> invited,
                      std::function<void(int32_t result, const std::vector<std::string>& nodes)> done);
    void answerOffer(const std::string& reply, int32_t result);
    // Asks the owner's node of a call taken part in here whether it goes on; `done` runs
    // only with an answer, so a node that does not answer is left to its lease.
    void checkCall(const std::string& owner, uint32_t groupId, std::function<void(bool goesOn)> done);
    void endCall(const std::string& node, uint32_t groupId, uint32_t reason);
    // What this node tells the others of itself; the sessions and draining change as they
    // go and reach the others with the next renewal.
    void describeSelf(const NodeLoad& self);
    void setLoad(uint32_t sessions, bool draining);
    // The live node with the most room that takes logins, as last read; empty when none.
    std::optional<NodeLoad> leastLoadedPeer() const;
    // Whether a node seen alive before has gone since (its key expired or was deleted).
    bool departed(const std::string& node) const;

    // Each node numbers its calls in a range of its own, picked by its name: 1 << 20
    // temporary groups from callGroupBase(), as many meeting ids from meetingIdBase().
    static constexpr uint32_t kCallRangeSize = 1U << 20;
    static uint32_t callRangeOf(const std::string& node);
    uint32_t callGroupBase() const;
    uint32_t meetingIdBase() const;

    // Messages on the cluster's subjects that were no voice or floor event, and messages
    // dropped because too many waited for the network thread.
    uint64_t malformedDropped() const { return malformedDropped_ + voice_.malformed(); }
    uint64_t overflowDropped() const { return overflowDropped_ + voice_.dropped(); }
    const ClusterConfig& config() const { return config_; }

private:
    static constexpr const char* kFloorStream = "TALKHUB_FLOOR";
    static constexpr const char* kClaimSubjects = "talkhub.claim.*";
    static constexpr const char* kNodesBucket = "talkhub_nodes";
    static constexpr const char* kPresenceBucket = "talkhub_presence";

    // A floor this node holds: its claim's place in the stream. The worker's alone.
    struct Lease {
        uint64_t token = 0;
        uint32_t holder = 0;
        std::string holderName;
        uint64_t sequence = 0;
        std::chrono::steady_clock::time_point confirmed;
    };

    // The options both connections share: servers, reconnection, credentials and TLS.
    nats::Options options(const std::string& name) const;
    void connect();
    // Connects, trying again until the start timeout; refused credentials end it at once.
    nats::Connection connectWith(natsOptions* options) const;
    // Finds or makes the floor stream and the buckets, at start (retried until the start
    // timeout) and whenever they were found missing (a NATS server without storage
    // restarted): the floor thread tries again at each beat until they are back.
    void bindFloorStore();
    bool makeFloorStore();
    void restoreFloorStore();
    // Takes this node's key, create-if-absent, waiting for a dead run's key
    // to expire.
    void takeOwnName();
    // Refuses to start with a lease other than the one the cluster's bucket keeps.
    void checkLease();
    natsSubscription* subscribe(const std::string& subject);
    void unsubscribe(natsSubscription* subscription);
    static void onMessage(natsConnection* connection, natsSubscription* subscription, natsMsg* message, void* closure);
    static void onSubscriptionComplete(void* closure);
    static void onDisconnected(natsConnection* connection, void* closure);
    static void onReconnected(natsConnection* connection, void* closure);
    static void onClosed(natsConnection* connection, void* closure);
    void onFloorEvent(std::string_view subject, const unsigned char* data, std::size_t size);
    // Counts (and logs the first) message that is no floor event or message to this node.
    void droppedAsMalformed(std::string_view subject);
    // A message to this node, on the network thread.
    void deliver(const NodeMessage& message, const std::string& reply);
    // Runs `event` on the network thread unless the link has stopped by then.
    void post(std::function<void()> event);
    // Messages to this node go through the inbox: at most kWaitingFromNats wait at once, the
    // rest are dropped and counted; a drain is posted when the inbox was empty.
    static constexpr std::size_t kWaitingFromNats = 8192;
    void tookFromNats(Inbox::Added added);
    // Sets the node's credentials and TLS on the connection's options.
    void proveSelf(natsOptions* options) const;

    // The floor thread's beat, and its last act.
    void beat();
    void leave();
    void claim(uint32_t groupId, uint32_t holder, const std::string& holderName, uint64_t token,
               std::function<void(bool)> done);
    // Publishes a claim; its sequence in the stream, 0 when the subject holds one already
    // or the stream could not be reached. A publish whose acknowledgement was lost is ours
    // when the stream holds our very text.
    uint64_t publishClaim(uint32_t groupId, const std::string& value);
    // Deletes the group's current claim when it is stale: its node's key has expired or
    // names another run, or it is this run's but no floor this node holds.
    bool clearStaleClaim(uint32_t groupId);
    void release(uint32_t groupId, uint64_t token);
    // Deletes a claim from the stream; one that could not be deleted is tried again at each
    // renewal, so that it does not hold the floor while this node lives.
    void deleteClaim(uint32_t groupId, uint64_t sequence);
    // Deletes a claim from the stream once: whether it is gone.
    bool removeClaim(uint64_t sequence);
    void renew();
    void publishFloor(const FloorEvent& event);
    void sendToNode(const std::string& node, const NodeMessage& message);
    // A request to a node, from any thread: `answered` runs on the network thread with its
    // one-byte answer, or with nothing once it has not come in time.
    void ask(const std::string& node, const NodeMessage& message, std::function<void(std::optional<int32_t>)> answered);
    // Network thread: the answer to request `token` (nothing: its time ran out).
    void takeAnswer(uint64_t token, std::optional<int32_t> answer);
    bool nodeAlive(const std::string& node);
    // The run a node's key names now: empty when it has no key, nothing when the bucket
    // cannot be read.
    std::optional<std::string> runOf(const std::string& node);
    // The node a user is logged in on, empty when none (or its node is gone).
    std::string presence(uint32_t userId);
    // Queues a job on the calls thread; one refused there is counted and logged.
    bool queueCallJob(std::function<void()> job, const char* what);
    void putPresenceAgain();
    // Puts this node's record and reads the others' (worker).
    void exchangeLoads();
    // A node's key in the nodes bucket, and the key of the range of call ids it numbers in.
    static std::string nodeKey(const std::string& node);
    static std::string rangeKey(uint32_t range);
    // The names of the other live nodes, as the bucket's keys list them; none when the
    // bucket cannot be read.
    std::optional<std::vector<std::string>> otherNodeNames();

    boost::asio::io_context& io_;
    const ClusterConfig config_;
    Events events_;
    std::atomic<uint64_t> malformedDropped_{0};
    std::atomic<uint64_t> overflowDropped_{0};
    Inbox inbox_{kWaitingFromNats};
    nats::Connection connection_;
    nats::JetStream jetStream_;
    nats::KeyValue nodes_;
    nats::KeyValue presence_;
    // Posts hold the token weakly: once stop() lets it go, they do nothing. The weak handle
    // is set once at start, so other threads only ever read it.
    std::shared_ptr<int> alive_;
    std::weak_ptr<int> aliveToken_;

    VoiceBus voice_{io_, config_.node};
    natsSubscription* nodeSubscription_ = nullptr;
    // Subscriptions whose message callback may still run, and whether the connection has
    // reported its close, under subscriptionsLock_.
    std::mutex subscriptionsLock_;
    std::condition_variable subscriptionsDone_;
    int liveSubscriptions_ = 0;
    bool closed_ = false;
    std::atomic<bool> closing_{false};

    // Claims waiting beyond kClaimsWaiting are refused at once, offers beyond kCallJobsWaiting
    // answered unavailable; presence changes beyond it are dropped (and logged).
    static constexpr std::size_t kClaimsWaiting = 256;
    static constexpr std::size_t kCallJobsWaiting = 1024;
    JobThread floorThread_{"talkhub-floor", kClaimsWaiting};
    JobThread callsThread_{"talkhub-calls", kCallJobsWaiting};
    // The floor thread's alone.
    std::map<uint32_t, Lease> leases_;
    std::map<uint64_t, uint32_t> undeleted_;  // claims to delete again: sequence, group
    // Set by the NATS client's thread on a reconnection, and by a call that found the store
    // missing; the floor thread makes it again.
    std::atomic<bool> storeLost_{false};
    // The users online here, so that presence lost with the store is put again (the calls
    // thread's alone).
    std::set<uint32_t> present_;
    // Requests waiting for their answers, by token, each with the timer that ends its wait;
    // answers come to "<replyPrefix_><token>" (network thread).
    struct Ask {
        std::function<void(std::optional<int32_t>)> answered;
        std::unique_ptr<boost::asio::steady_timer> timer;
    };
    std::map<uint64_t, Ask> asks_;
    uint64_t lastAsk_ = 0;
    std::string replyPrefix_;
    natsSubscription* replySubscription_ = nullptr;
    // When each node last left a call's check unanswered (network thread).
    std::map<std::string, std::chrono::steady_clock::time_point> unansweredChecks_;
    // Presence changes and offers the calls thread had no room for (network thread).
    uint64_t callJobsRefused_ = 0;
    const std::string run_;

    // This node's record (set on the network thread) and the others' (read by the worker).
    mutable std::mutex loadsLock_;
    NodeLoad self_;
    std::vector<NodeLoad> peers_;
    std::set<std::string> liveNodes_;
    std::set<std::string> departed_;
};

}  // namespace talkhub_server
