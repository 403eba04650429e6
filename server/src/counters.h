// What the server counts, printed every stats interval and at shutdown.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace talkhub_server {

// How long relays take: from a batch's arrival on the voice socket to its relays' send,
// counted once per datagram of the batch.
struct LatencyHistogram {
    static constexpr std::array<double, 10> kBoundsSeconds{10e-6,  25e-6, 50e-6,  100e-6, 250e-6,
                                                           500e-6, 1e-3,  2.5e-3, 5e-3,   10e-3};
    std::array<uint64_t, kBoundsSeconds.size() + 1> counts{};  // the last one: beyond every bound
    uint64_t total = 0;
    double sumSeconds = 0;

    void observe(double seconds, uint64_t times) {
        std::size_t bucket = 0;
        while (bucket < kBoundsSeconds.size() && seconds > kBoundsSeconds[bucket]) ++bucket;
        counts[bucket] += times;
        total += times;
        sumSeconds += seconds * static_cast<double>(times);
    }
};

struct Counters {
    uint64_t sessionsOpened = 0;
    uint64_t sessionsClosed = 0;
    uint64_t connectionsRefused = 0;
    uint64_t loginsAccepted = 0;
    uint64_t loginsRefused = 0;
    uint64_t loginsRedirected = 0;
    uint64_t requestsDropped = 0;
    uint64_t floorGrants = 0;
    uint64_t floorDenials = 0;
    uint64_t floorPreemptions = 0;
    uint64_t datagramsIn = 0;
    uint64_t datagramsRelayed = 0;  // copies sent to listeners
    uint64_t droppedMalformed = 0;
    uint64_t droppedUnknownEndpoint = 0;
    uint64_t droppedNotOpened = 0;  // altered, not the sender's keys, replayed or older than the window
    uint64_t droppedNotFloorHolder = 0;
    uint64_t droppedSendBuffer = 0;  // relays not sent: the socket's send buffer was full
    uint64_t markers = 0;
    uint64_t clusterVoiceOut = 0;  // datagrams published to the other nodes
    uint64_t clusterVoiceIn = 0;   // datagrams of other nodes' talkers received
    LatencyHistogram relayLatency;

    std::string summary(std::size_t sessionsOnline) const {
        return "sessions online " + std::to_string(sessionsOnline) + " opened " + std::to_string(sessionsOpened) +
               " closed " + std::to_string(sessionsClosed) + " refused " + std::to_string(connectionsRefused) +
               "; logins ok " + std::to_string(loginsAccepted) + " refused " + std::to_string(loginsRefused) +
               " redirected " + std::to_string(loginsRedirected) + "; requests dropped " +
               std::to_string(requestsDropped) + "; floor grants " + std::to_string(floorGrants) + " denials " +
               std::to_string(floorDenials) + " preemptions " + std::to_string(floorPreemptions) + "; datagrams in " +
               std::to_string(datagramsIn) + " relayed " + std::to_string(datagramsRelayed) + " markers " +
               std::to_string(markers) + " dropped malformed " + std::to_string(droppedMalformed) +
               " unknown endpoint " + std::to_string(droppedUnknownEndpoint) + " not opened " +
               std::to_string(droppedNotOpened) + " not floor holder " + std::to_string(droppedNotFloorHolder) +
               " send buffer full " + std::to_string(droppedSendBuffer) + "; cluster voice out " +
               std::to_string(clusterVoiceOut) + " in " + std::to_string(clusterVoiceIn);
    }
};

}  // namespace talkhub_server
