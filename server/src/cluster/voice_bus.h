// The voice that crosses between nodes, and the floor events that say whose voice it is, on
// a NATS connection of their own that the network thread reads and writes itself, through
// the NATS client's hooks for an outside event loop: a datagram from another node is read,
// taken from its group's subscription and sent on to the listeners here in one wake-up of
// the network thread, with no thread of the client's in between (each such hand-off costs
// a context switch per datagram, more than the relay itself). A talker's datagram is
// published and written to the socket in the call that relays it.
//
// Order. A node publishes a floor's "held" before it grants the floor, so before any voice
// of that turn, and its "freed" after the turn's last voice; one connection keeps that order
// to every other node. Each group listened to is a synchronous subscription, so that its
// datagrams stay in order, and the floor events are one more; after each read, the floor
// events are taken first, then what arrived in each group (one lock per group, so a read
// costs a little more per group listened to). So the first voice of a turn is never taken
// before the event that makes its talker the holder. Of what one read brings, at most
// kWaitingPerGroup messages wait in a subscription; more are dropped by the client and
// counted.
//
// Threads. The client calls its hooks from the network thread (a read, a publish), from its
// reconnection thread (a new socket to watch), from its timer thread (a ping to write) and
// from the floor thread (a floor event to write): each hook only sets a flag or posts to the
// network thread, which alone touches the watched socket and the subscriptions. The socket
// is watched through a duplicate of the client's descriptor, so that the client closing its
// own at a disconnection never leaves the network thread's epoll set holding a number that
// a new connection may reuse. Everything public but publishFloor is called on the network
// thread; a post that runs after stop() does nothing.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <nats/nats.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/nats_handles.h"

namespace talkhub_server {

class VoiceBus {
public:
    struct Sink {
        // A message on a group's floor subject, read before the voice of the same read.
        std::function<void(std::string_view subject, const unsigned char* data, std::size_t size)> floor;
        // A datagram of a group listened to; its bytes stay as they are until voiceDone.
        std::function<void(uint32_t groupId, const unsigned char* data, std::size_t size)> voice;
        // After the datagrams of one read: what they queued is to go out.
        std::function<void()> voiceDone;
    };
    static constexpr int kWaitingPerGroup = 512;

    VoiceBus(boost::asio::io_context& io, std::string node);
    ~VoiceBus();
    VoiceBus(const VoiceBus&) = delete;
    VoiceBus& operator=(const VoiceBus&) = delete;

    // Connects with `options` (servers, credentials and TLS already set) once `connect`
    // succeeds; `connect` is the link's own retrying connect.
    void start(natsOptions* options, const std::function<nats::Connection(natsOptions*)>& connect, Sink sink);
    void stop();

    void listen(uint32_t groupId);
    void unlisten(uint32_t groupId);
    void publish(uint32_t groupId, const unsigned char* data, std::size_t size);
    // Any thread: an event on the group's floor subject.
    void publishFloor(uint32_t groupId, const unsigned char* data, std::size_t size);

    // Messages the client dropped because too many waited in a subscription, and datagrams
    // too long for a voice datagram.
    uint64_t dropped() const { return dropped_; }
    uint64_t malformed() const { return malformed_; }

private:
    // One socket the client asked to have watched; a reconnection brings another.
    struct Watch {
        Watch(boost::asio::io_context& io, int descriptor) : descriptor(io, descriptor) {}
        boost::asio::posix::stream_descriptor descriptor;
        bool readArmed = false;
        bool writeArmed = false;
    };
    struct Listened {
        natsSubscription* subscription = nullptr;
        int listeners = 0;
        int64_t droppedSeen = 0;
    };

    static natsStatus onAttach(void** userData, void* loop, natsConnection* connection, natsSock socket);
    static natsStatus onRead(void* userData, bool add);
    static natsStatus onWrite(void* userData, bool add);
    static natsStatus onDetach(void* userData);

    // Runs `action` on the network thread unless the bus has stopped by then.
    void post(std::function<void()> action);
    void watch(std::shared_ptr<Watch> watch);
    void armRead();
    void armWrite();
    void write();
    // Takes the floor events that arrived, then the voice of every group listened to.
    void takeArrived();
    // A synchronous subscription holding at most kWaitingPerGroup messages; null when NATS
    // refuses it.
    natsSubscription* subscribe(const char* subject);
    // Moves what waits in one subscription to taken_.
    void take(natsSubscription* subscription, int64_t& droppedSeen, const char* what);

    boost::asio::io_context& io_;
    const std::string node_;
    Sink sink_;
    nats::Connection connection_;
    std::shared_ptr<int> alive_;
    std::weak_ptr<int> aliveToken_;
    // What the client asked for, set from any of its threads.
    std::atomic<bool> reading_{false};
    std::atomic<bool> writing_{false};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> malformed_{0};
    // The network thread's alone.
    std::shared_ptr<Watch> watch_;
    natsSubscription* floorSubscription_ = nullptr;
    int64_t floorDroppedSeen_ = 0;
    std::map<uint32_t, Listened> listened_;
    // The messages of one read, kept until the copies that point into them have gone.
    std::vector<natsMsg*> taken_;
};

}  // namespace talkhub_server
