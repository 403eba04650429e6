#include "cluster/voice_bus.h"

#include <unistd.h>

#include <spdlog/spdlog.h>

#include <boost/asio/post.hpp>
#include <charconv>
#include <stdexcept>
#include <system_error>

#include "cluster/cluster_messages.h"
#include "datagram_batch.h"

namespace talkhub_server {

namespace {

// The bus publishing on this thread: the write it asks for is done right after its publish,
// so it need not be posted.
thread_local const VoiceBus* publishing = nullptr;

// "talkhub.voice.<group id>" (or another prefix's), without allocating.
struct GroupSubject {
    explicit GroupSubject(uint32_t groupId, std::string_view prefix = kVoicePrefix) {
        char* end = std::copy(prefix.begin(), prefix.end(), text);
        end = std::to_chars(end, text + sizeof text - 1, groupId).ptr;
        *end = '\0';
    }
    char text[32];
};

}  // namespace

VoiceBus::VoiceBus(boost::asio::io_context& io, std::string node) : io_(io), node_(std::move(node)) {}

VoiceBus::~VoiceBus() { stop(); }

void VoiceBus::start(natsOptions* options, const std::function<nats::Connection(natsOptions*)>& connect, Sink sink) {
    sink_ = std::move(sink);
    alive_ = std::make_shared<int>(0);
    aliveToken_ = alive_;
    natsOptions_SetEventLoop(options, this, onAttach, onRead, onWrite, onDetach);
    connection_ = connect(options);
    const std::string floorSubjects = std::string(kFloorPrefix) + "*";
    floorSubscription_ = subscribe(floorSubjects.c_str());
    if (floorSubscription_ == nullptr) {
        throw std::runtime_error("cluster: NATS subscription to " + floorSubjects + ": " + nats_GetLastError(nullptr));
    }
}

natsSubscription* VoiceBus::subscribe(const char* subject) {
    natsSubscription* subscription = nullptr;
    if (natsConnection_SubscribeSync(&subscription, connection_.get(), subject) != NATS_OK) return nullptr;
    natsSubscription_SetPendingLimits(subscription, kWaitingPerGroup,
                                      kWaitingPerGroup * static_cast<int>(DatagramBatch::kDatagramBytes));
    return subscription;
}

void VoiceBus::stop() {
    if (!connection_) return;
    for (auto& [groupId, entry] : listened_) {
        if (entry.subscription != nullptr) natsSubscription_Destroy(entry.subscription);
    }
    listened_.clear();
    natsSubscription_Destroy(floorSubscription_);
    floorSubscription_ = nullptr;
    // What is still buffered leaves if the socket takes it now; nothing is waited for, as the
    // answer to a flush would be read by this very thread.
    natsConnection_ProcessWriteEvent(connection_.get());
    alive_.reset();
    natsConnection_Close(connection_.get());
    if (watch_) watch_->descriptor.close();
    watch_.reset();
    connection_.reset();
}

void VoiceBus::listen(uint32_t groupId) {
    Listened& entry = listened_[groupId];
    if (entry.listeners++ > 0) return;
    const GroupSubject subject(groupId);
    entry.subscription = subscribe(subject.text);
    if (entry.subscription == nullptr) {
        spdlog::warn("cluster node {}: NATS subscription to {}: {}; group {} hears no other node", node_, subject.text,
                     nats_GetLastError(nullptr), groupId);
    }
}

void VoiceBus::unlisten(uint32_t groupId) {
    const auto found = listened_.find(groupId);
    if (found == listened_.end() || --found->second.listeners > 0) return;
    if (found->second.subscription != nullptr) natsSubscription_Destroy(found->second.subscription);
    listened_.erase(found);
}

void VoiceBus::publish(uint32_t groupId, const unsigned char* data, std::size_t size) {
    const GroupSubject subject(groupId);
    publishing = this;
    natsConnection_Publish(connection_.get(), subject.text, data, static_cast<int>(size));
    publishing = nullptr;
    if (writing_) write();
}

void VoiceBus::publishFloor(uint32_t groupId, const unsigned char* data, std::size_t size) {
    const GroupSubject subject(groupId, kFloorPrefix);
    natsConnection_Publish(connection_.get(), subject.text, data, static_cast<int>(size));
}

void VoiceBus::takeArrived() {
    take(floorSubscription_, floorDroppedSeen_, "floor events");
    for (natsMsg* message : taken_) {
        sink_.floor(natsMsg_GetSubject(message), reinterpret_cast<const unsigned char*>(natsMsg_GetData(message)),
                    static_cast<std::size_t>(natsMsg_GetDataLength(message)));
        natsMsg_Destroy(message);
    }
    taken_.clear();
    for (auto& [groupId, entry] : listened_) {
        const std::size_t before = taken_.size();
        if (entry.subscription != nullptr) take(entry.subscription, entry.droppedSeen, "datagrams of a group");
        for (std::size_t i = before; i < taken_.size(); ++i) {
            const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(taken_[i]));
            if (size <= DatagramBatch::kDatagramBytes) {
                sink_.voice(groupId, reinterpret_cast<const unsigned char*>(natsMsg_GetData(taken_[i])), size);
            } else {
                ++malformed_;
            }
        }
    }
    if (taken_.empty()) return;
    // The copies queued point into the messages: they go out before the messages go.
    sink_.voiceDone();
    for (natsMsg* message : taken_) natsMsg_Destroy(message);
    taken_.clear();
}

void VoiceBus::take(natsSubscription* subscription, int64_t& droppedSeen, const char* what) {
    int waiting = 0;
    int64_t dropped = 0;
    if (natsSubscription_GetStats(subscription, &waiting, nullptr, nullptr, nullptr, nullptr, &dropped) != NATS_OK) {
        return;
    }
    if (dropped != droppedSeen) {
        if (dropped_ == 0) {
            spdlog::warn("cluster node {}: more than {} {} waited; further drops are counted", node_, kWaitingPerGroup,
                         what);
        }
        dropped_ += static_cast<uint64_t>(dropped - droppedSeen);
        droppedSeen = dropped;
    }
    for (; waiting > 0; --waiting) {
        natsMsg* message = nullptr;
        natsStatus status = natsSubscription_NextMsg(&message, subscription, 0);
        // Told once after drops; the messages that were kept follow.
        if (status == NATS_SLOW_CONSUMER) status = natsSubscription_NextMsg(&message, subscription, 0);
        if (status != NATS_OK) return;
        taken_.push_back(message);
    }
}

// The client's hooks. `loop` and the user data are this bus. A socket attached is to be read
// from then on.
natsStatus VoiceBus::onAttach(void** userData, void* loop, natsConnection*, natsSock socket) {
    auto* self = static_cast<VoiceBus*>(loop);
    *userData = self;
    const int duplicate = ::dup(socket);
    if (duplicate < 0) return NATS_SYS_ERROR;
    std::shared_ptr<Watch> watch;
    try {
        watch = std::make_shared<Watch>(self->io_, duplicate);
    } catch (const boost::system::system_error& error) {
        ::close(duplicate);
        spdlog::warn("cluster node {}: the voice connection's socket cannot be watched: {}", self->node_, error.what());
        return NATS_SYS_ERROR;
    }
    self->reading_ = true;
    self->post([self, watch] { self->watch(watch); });
    return NATS_OK;
}

natsStatus VoiceBus::onRead(void* userData, bool add) {
    auto* self = static_cast<VoiceBus*>(userData);
    self->reading_ = add;
    if (add) self->post([self] { self->armRead(); });
    return NATS_OK;
}

natsStatus VoiceBus::onWrite(void* userData, bool add) {
    auto* self = static_cast<VoiceBus*>(userData);
    self->writing_ = add;
    if (add && publishing != self) {
        self->post([self] {
            if (self->writing_) self->write();
        });
    }
    return NATS_OK;
}

natsStatus VoiceBus::onDetach(void* userData) {
    auto* self = static_cast<VoiceBus*>(userData);
    self->reading_ = false;
    self->writing_ = false;
    self->post([self] {
        if (self->watch_) self->watch_->descriptor.close();
        self->watch_.reset();
    });
    return NATS_OK;
}

void VoiceBus::post(std::function<void()> action) {
    boost::asio::post(io_, [alive = aliveToken_, action = std::move(action)] {
        if (alive.lock()) action();
    });
}

// A new socket replaces the one watched before, which the client has closed.
void VoiceBus::watch(std::shared_ptr<Watch> watch) {
    if (watch_) watch_->descriptor.close();
    watch_ = std::move(watch);
    armRead();
    if (writing_) write();
}

void VoiceBus::armRead() {
    if (!watch_ || watch_->readArmed || !reading_) return;
    watch_->readArmed = true;
    watch_->descriptor.async_wait(boost::asio::posix::descriptor_base::wait_read,
                                  [this, alive = aliveToken_, watch = watch_](const boost::system::error_code& error) {
                                      watch->readArmed = false;
                                      if (error || !alive.lock() || watch != watch_) return;
                                      natsConnection_ProcessReadEvent(connection_.get());
                                      takeArrived();
                                      armRead();
                                  });
}

void VoiceBus::armWrite() {
    if (!watch_ || watch_->writeArmed) return;
    watch_->writeArmed = true;
    watch_->descriptor.async_wait(boost::asio::posix::descriptor_base::wait_write,
                                  [this, alive = aliveToken_, watch = watch_](const boost::system::error_code& error) {
                                      watch->writeArmed = false;
                                      if (error || !alive.lock() || watch != watch_) return;
                                      write();
                                  });
}

// Writes what the client buffered; what the socket did not take waits for it to drain. A
// connection that is not up writes nothing: its next socket is watched when it comes.
void VoiceBus::write() {
    natsConnection_ProcessWriteEvent(connection_.get());
    if (writing_ && natsConnection_Status(connection_.get()) == NATS_CONN_STATUS_CONNECTED) armWrite();
}

}  // namespace talkhub_server
