// A node's link to the other nodes of its cluster, all through NATS:
// - the voice of a group crosses on "talkhub.voice.<group id>": the talker's node publishes
//   each relayed datagram once, sender already stamped; a node subscribes to a group's
//   subject while it has members of that group online, and fans out what comes locally;
// - who holds a group's floor is a message on "talkhub.claim.<group id>" in the JetStream
//   stream "TALKHUB_FLOOR", which keeps one message per subject and refuses a second: two
//   nodes claiming at once are decided in the order of the stream's replicated log. The
//   holder's node deletes its claim when the floor ends;
// - each node keeps its key "node.<name>" alive in the key-value bucket "talkhub_nodes",
//   renewed every third of the lease. A claim whose node's key has expired (the node died)
//   is deleted by the next node that claims that floor;
// - floor events (held, repeated with each renewal; freed) cross on
//   "talkhub.floor.<group id>", so that other nodes tell their members, and forget a holder
//   whose node went silent.
//
// Threads. The NATS client runs its own (the connection's, and one that delivers every
// subscription's messages); the link adds one worker for JetStream's blocking calls and
// the renewals. Neither touches the server: every event is posted to the network thread,
// and a post that runs after stop() does nothing. Everything public is called on the
// network thread. start() connects, finds or makes the stream and the bucket, and starts
// the worker;
// stop() ends the worker (its last act frees the floors it holds), unsubscribes, and
// returns once no message callback can run any more.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cluster/floor_event.h"
#include "cluster/nats_handles.h"
#include "config.h"

namespace talkhub_server {

class Cluster {
public:
    // What the other nodes do, delivered on the network thread.
    struct Events {
        // A datagram of another node's talker in a group this node listens to.
        std::function<void(uint32_t groupId, const unsigned char* data, std::size_t size)> voice;
        // Another node's member holds a group's floor (taken or renewed), or freed it.
        std::function<void(const FloorEvent& event)> floor;
        // A floor this node held could not be kept: another node holds the key now.
        std::function<void(uint32_t groupId, uint32_t holder)> floorLost;
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

    // Claims a group's floor for `holder`; `done` runs on the network thread with the
    // verdict. A claim the stream cannot decide (NATS unreachable) is refused.
    void claimFloor(uint32_t groupId, uint32_t holder, const std::string& holderName, std::function<void(bool)> done);
    // Gives up a floor this node holds for `holder` and tells the other nodes.
    void releaseFloor(uint32_t groupId, uint32_t holder);

    // Messages on the cluster's subjects that were no voice or floor event.
    uint64_t malformedDropped() const { return malformedDropped_; }
    const ClusterConfig& config() const { return config_; }

private:
    static constexpr const char* kFloorStream = "TALKHUB_FLOOR";
    static constexpr const char* kClaimSubjects = "talkhub.claim.*";
    static constexpr const char* kNodesBucket = "talkhub_nodes";

    // A floor this node holds: its claim's place in the stream. The worker's alone.
    struct Lease {
        uint32_t holder = 0;
        std::string holderName;
        uint64_t sequence = 0;
        std::chrono::steady_clock::time_point confirmed;
    };

    void connect();
    void bindFloorStore();
    natsSubscription* subscribe(const std::string& subject);
    void unsubscribe(natsSubscription* subscription);
    static void onMessage(natsConnection* connection, natsSubscription* subscription, natsMsg* message, void* closure);
    static void onSubscriptionComplete(void* closure);
    // Runs `event` on the network thread unless the link has stopped by then.
    void post(std::function<void()> event);

    void runWorker();
    void queueJob(std::function<void()> job);
    void claim(uint32_t groupId, uint32_t holder, const std::string& holderName, std::function<void(bool)> done);
    // Publishes a claim; its sequence in the stream, 0 when the subject holds one already
    // or the stream could not be reached.
    uint64_t publishClaim(uint32_t groupId, const std::string& value);
    // Deletes the group's current claim when it is stale: its node's key has expired, or it
    // names this node but no floor this node holds (left from before a restart).
    bool clearStaleClaim(uint32_t groupId);
    void release(uint32_t groupId, uint32_t holder);
    void renew();
    void publishFloor(const FloorEvent& event);

    boost::asio::io_context& io_;
    const ClusterConfig config_;
    Events events_;
    std::atomic<uint64_t> malformedDropped_{0};
    nats::Connection connection_;
    nats::JetStream jetStream_;
    nats::KeyValue nodes_;
    // Posts hold the token weakly: once stop() lets it go, they do nothing. The weak handle
    // is set once at start, so other threads only ever read it.
    std::shared_ptr<int> alive_;
    std::weak_ptr<int> aliveToken_;

    // Voice subscriptions by group, with their listener count (network thread).
    std::map<uint32_t, std::pair<int, natsSubscription*>> voiceSubscriptions_;
    natsSubscription* floorSubscription_ = nullptr;
    // Subscriptions whose message callback may still run.
    std::mutex subscriptionsLock_;
    std::condition_variable subscriptionsDone_;
    int liveSubscriptions_ = 0;

    // The worker and its queue. Lock order: jobsLock_ is never held while calling NATS.
    std::thread worker_;
    std::mutex jobsLock_;
    std::condition_variable jobsWake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::map<uint32_t, Lease> leases_;
};

}  // namespace talkhub_server
