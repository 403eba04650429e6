#include "cluster/cluster.h"

#include <spdlog/spdlog.h>

#include <boost/asio/post.hpp>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace talkhub_server {

namespace {

constexpr int kRequestWaitMs = 2000;
constexpr auto kRetryPause = std::chrono::milliseconds(200);
constexpr auto kSubscriptionsEndWait = std::chrono::seconds(2);

void check(natsStatus status, const std::string& what) {
    if (status != NATS_OK) throw std::runtime_error(what + ": " + nats_GetLastError(nullptr));
}

// The number that ends a subject after `prefix`; nothing when the subject is no such one.
template <typename Number>
std::optional<Number> numberAfter(std::string_view subject, std::string_view prefix) {
    if (subject.substr(0, prefix.size()) != prefix) return std::nullopt;
    const std::string_view digits = subject.substr(prefix.size());
    Number number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return number;
}

// The group id at the end of a subject, 0 when there is none.
uint32_t subjectGroup(std::string_view subject, std::string_view prefix) {
    return numberAfter<uint32_t>(subject, prefix).value_or(0);
}

nats::KeyValue bindBucket(jsCtx* jetStream, kvConfig& config) {
    kvStore* store = nullptr;
    if (js_KeyValue(&store, jetStream, config.Bucket) == NATS_OK ||
        js_CreateKeyValue(&store, jetStream, &config) == NATS_OK) {
        return nats::KeyValue(store);
    }
    return nullptr;
}

// 64 random bits, as 16 hex digits.
std::string drawRun() {
    std::random_device random;
    const uint64_t bits = static_cast<uint64_t>(random()) << 32 | random();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

}  // namespace

Cluster::Cluster(boost::asio::io_context& io, ClusterConfig config)
    : io_(io), config_(std::move(config)), run_(drawRun()) {
    self_.run = run_;
}

Cluster::~Cluster() { stop(); }

void Cluster::start(Events events) {
    events_ = std::move(events);
    alive_ = std::make_shared<int>(0);
    aliveToken_ = alive_;
    // One thread delivers the messages of every subscription, in order.
    nats_SetMessageDeliveryPoolSize(1);
    connect();
    // Both connections are up before the node's name is taken: a start that fails leaves
    // no key behind to wait for.
    nats::Options voiceOptions = options(config_.node + "-voice");
    voice_.start(voiceOptions.get(), [this](natsOptions* raw) { return connectWith(raw); },
                 {[this](std::string_view subject, const unsigned char* data, std::size_t size) {
                      onFloorEvent(subject, data, size);
                  },
                  events_.voice, events_.voiceDone});
    bindFloorStore();
    checkLease();
    takeOwnName();
    nodeSubscription_ = subscribe(std::string(kNodePrefix) + config_.node);
    char* inbox = nullptr;
    check(natsInbox_Create(&inbox), "NATS reply subject");
    replyPrefix_ = std::string(inbox) + ".";
    natsInbox_Destroy(inbox);
    replySubscription_ = subscribe(replyPrefix_ + "*");
    floorThread_.start({[this] { beat(); }, std::chrono::milliseconds(config_.floorLeaseMs / 3)}, [this] { leave(); });
    callsThread_.start();
    spdlog::info("cluster node {}: joined through NATS as run {}, floor lease {} ms", config_.node, run_,
                 config_.floorLeaseMs);
}

nats::Options Cluster::options(const std::string& name) const {
    natsOptions* raw = nullptr;
    check(natsOptions_Create(&raw), "NATS options");
    nats::Options options(raw);
    std::vector<const char*> urls;
    for (const std::string& url : config_.natsUrls) urls.push_back(url.c_str());
    check(natsOptions_SetServers(raw, urls.data(), static_cast<int>(urls.size())), "NATS servers");
    natsOptions_SetName(raw, name.c_str());
    // A node does not hear its own voice and floor events back.
    natsOptions_SetNoEcho(raw, true);
    // What is published leaves at once, in the publishing call, rather than with the
    // client's flusher, which gathers writes for about a millisecond.
    natsOptions_SetSendAsap(raw, true);
    natsOptions_SetMaxReconnect(raw, -1);
    natsOptions_SetReconnectWait(raw, 250);
    natsOptions_SetTimeout(raw, kRequestWaitMs);
    proveSelf(raw);
    return options;
}

void Cluster::connect() {
    nats::Options options = this->options(config_.node);
    natsOptions_UseGlobalMessageDelivery(options.get(), true);
    natsOptions_SetDisconnectedCB(options.get(), onDisconnected, this);
    natsOptions_SetReconnectedCB(options.get(), onReconnected, this);
    natsOptions_SetClosedCB(options.get(), onClosed, this);
    connection_ = connectWith(options.get());
    jsOptions jsOptions;
    jsOptions_Init(&jsOptions);
    // A claim undecided for a third of the lease is refused: the lease is the cluster's
    // promise of how soon a floor is free again.
    jsOptions.Wait = std::min<int64_t>(kRequestWaitMs, config_.floorLeaseMs / 3);
    jsCtx* jetStream = nullptr;
    check(natsConnection_JetStream(&jetStream, connection_.get(), &jsOptions), "NATS JetStream");
    jetStream_.reset(jetStream);
}

nats::Connection Cluster::connectWith(natsOptions* options) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.startTimeoutMs);
    for (;;) {
        natsConnection* connection = nullptr;
        const natsStatus status = natsConnection_Connect(&connection, options);
        if (status == NATS_OK) return nats::Connection(connection);
        // Credentials or a certificate refused will not be taken by trying again.
        if (status == NATS_CONNECTION_AUTH_FAILED || status == NATS_SSL_ERROR) {
            throw std::runtime_error(std::string("cluster: NATS refused this node (") + natsStatus_GetText(status) +
                                     "): " + nats_GetLastError(nullptr));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("cluster: no NATS server reachable: " + std::string(nats_GetLastError(nullptr)));
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

void Cluster::proveSelf(natsOptions* options) const {
    const ClusterConfig& c = config_;
    if (!c.natsUser.empty()) {
        check(natsOptions_SetUserInfo(options, c.natsUser.c_str(), c.natsPassword.c_str()), "NATS user");
    }
    if (!c.natsNkey.empty()) {
        check(natsOptions_SetNKeyFromSeed(options, c.natsNkey.c_str(), c.natsNkeySeedFile.c_str()),
              "NATS nkey seed in " + c.natsNkeySeedFile);
    }
    if (!c.natsCredentialsFile.empty()) {
        check(natsOptions_SetUserCredentialsFromFiles(options, c.natsCredentialsFile.c_str(), nullptr),
              "NATS credentials in " + c.natsCredentialsFile);
    }
    if (!c.natsCaFile.empty()) {
        check(natsOptions_LoadCATrustedCertificates(options, c.natsCaFile.c_str()), "NATS CA file " + c.natsCaFile);
        check(natsOptions_SetSecure(options, true), "NATS TLS");
    }
    if (!c.natsCertFile.empty()) {
        check(natsOptions_LoadCertificatesChain(options, c.natsCertFile.c_str(), c.natsKeyFile.c_str()),
              "NATS certificate " + c.natsCertFile);
    }
}

// Every node makes the stream and the buckets when they are missing: the same configuration
// from each is no conflict. A cluster that has just started may take a few seconds to elect
// its JetStream leader, hence the retries.
void Cluster::bindFloorStore() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.startTimeoutMs);
    while (!makeFloorStore()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("cluster: floor stream or node bucket not available: " +
                                     std::string(nats_GetLastError(nullptr)));
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

bool Cluster::makeFloorStore() {
    const char* subjects[] = {kClaimSubjects};
    jsStreamConfig stream;
    jsStreamConfig_Init(&stream);
    stream.Name = kFloorStream;
    stream.Subjects = subjects;
    stream.SubjectsLen = 1;
    stream.Storage = js_MemoryStorage;
    stream.Replicas = static_cast<int>(config_.replicas);
    stream.Discard = js_DiscardNew;
    stream.DiscardNewPerSubject = true;
    stream.MaxMsgsPerSubject = 1;
    kvConfig nodes;
    kvConfig_Init(&nodes);
    nodes.Bucket = kNodesBucket;
    nodes.History = 1;
    nodes.TTL = static_cast<int64_t>(config_.floorLeaseMs) * 1000000;  // nanoseconds
    nodes.StorageType = js_MemoryStorage;
    nodes.Replicas = static_cast<int>(config_.replicas);
    kvConfig presence = nodes;
    presence.Bucket = kPresenceBucket;
    presence.TTL = 0;
    jsStreamInfo* info = nullptr;
    jsErrCode error{};
    const bool streamReady = js_GetStreamInfo(&info, jetStream_.get(), kFloorStream, nullptr, &error) == NATS_OK ||
                             js_AddStream(&info, jetStream_.get(), &stream, nullptr, &error) == NATS_OK;
    jsStreamInfo_Destroy(info);
    if (!streamReady) return false;
    // The handles are bound once, at start; later the buckets are only made again.
    for (auto [handle, config] : {std::pair{&nodes_, &nodes}, std::pair{&presence_, &presence}}) {
        nats::KeyValue bound = bindBucket(jetStream_.get(), *config);
        if (!bound) return false;
        if (!*handle) *handle = std::move(bound);
    }
    return true;
}

// On the floor thread: the store made again, and this node's presence put again, since a
// bucket made anew is empty.
void Cluster::restoreFloorStore() {
    storeLost_ = false;
    if (!makeFloorStore()) {
        storeLost_ = true;
        return;
    }
    spdlog::info("cluster node {}: floor stream and buckets found or made again", config_.node);
    callsThread_.queue([this] { putPresenceAgain(); }, false);
}

// The lease is the bucket's expiry, set by the node that made the bucket: a node that
// renewed on another lease would look dead to the others, or keep a dead run alive.
void Cluster::checkLease() {
    kvStatus* raw = nullptr;
    check(kvStore_Status(&raw, nodes_.get()), "cluster: the node bucket's configuration");
    const int64_t bucketMs = kvStatus_TTL(raw) / 1000000;
    kvStatus_Destroy(raw);
    if (bucketMs != static_cast<int64_t>(config_.floorLeaseMs)) {
        throw std::runtime_error("cluster: the cluster's floor lease is " + std::to_string(bucketMs) +
                                 " ms, this node's floor_lease_ms is " + std::to_string(config_.floorLeaseMs) +
                                 "; every node needs the same");
    }
}

// Two live nodes of one name would each take the other's floor claims for stale ones of
// their own, and two whose names pick one range of call ids would number their calls alike.
// Each key is taken create-if-absent, so of two nodes starting at once only one gets it. A
// key that stays two leases is kept alive by another node: this one does not start. One that
// expires sooner was left by this node's own earlier run.
void Cluster::takeOwnName() {
    std::string record;
    {
        std::lock_guard lock(loadsLock_);
        record = self_.encode();
    }
    const std::string key = nodeKey(config_.node);
    const std::string range = rangeKey(callRangeOf(config_.node));
    // A dead run's key expires within a lease of its last renewal, later when NATS has just
    // changed its stream's leader; a live node's never does.
    const auto twinAfter = 2 * std::chrono::milliseconds(config_.floorLeaseMs) + kRetryPause * 3;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.startTimeoutMs);
    // Since when a key in the way has been seen there; a bucket out of reach is waited for
    // until the start timeout instead.
    bool inTheWay = false;
    std::chrono::steady_clock::time_point heldSince{};
    bool haveName = false;
    const auto fail = [&](const std::string& why) {
        if (haveName) kvStore_Delete(nodes_.get(), key.c_str());
        throw std::runtime_error("cluster: " + why);
    };
    for (;;) {
        uint64_t revision = 0;
        if (!haveName) {
            haveName = kvStore_Create(&revision, nodes_.get(), key.c_str(), record.data(),
                                      static_cast<int>(record.size())) == NATS_OK;
        }
        if (haveName && kvStore_CreateString(&revision, nodes_.get(), range.c_str(), config_.node.c_str()) == NATS_OK) {
            return;
        }
        kvEntry* raw = nullptr;
        const natsStatus held = kvStore_Get(&raw, nodes_.get(), (haveName ? range : key).c_str());
        const std::string holder = held == NATS_OK ? kvEntry_ValueString(raw) : "";
        kvEntry_Destroy(raw);
        if (haveName && !holder.empty() && holder != config_.node) {
            fail("the names " + holder + " and " + config_.node +
                 " pick the same range of call ids; one of the two nodes needs another name");
        }
        const auto now = std::chrono::steady_clock::now();
        if (held == NATS_OK && !inTheWay) {
            inTheWay = true;
            heldSince = now;
            spdlog::info("cluster node {}: the key of a node of this name is still there; waiting up to two leases",
                         config_.node);
        } else if (held == NATS_NOT_FOUND) {
            inTheWay = false;
        }
        if (inTheWay && now - heldSince >= twinAfter) {
            fail("another node named " + config_.node +
                 " is alive (its key outlived two leases); each node needs a name of its own");
        }
        if (now >= giveUp) {
            fail("this node's name could not be taken in the node bucket: " + std::string(nats_GetLastError(nullptr)));
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

void Cluster::stop() {
    if (!connection_) return;
    callsThread_.stop();
    floorThread_.stop();
    voice_.stop();
    for (natsSubscription** subscription : {&nodeSubscription_, &replySubscription_}) {
        if (*subscription != nullptr) unsubscribe(*subscription);
        *subscription = nullptr;
    }
    // Requests still waiting are left unanswered: the server is stopping.
    asks_.clear();
    {
        std::unique_lock lock(subscriptionsLock_);
        if (!subscriptionsDone_.wait_for(lock, kSubscriptionsEndWait, [this] { return liveSubscriptions_ == 0; })) {
            spdlog::warn("cluster node {}: {} subscriptions still delivering at stop", config_.node,
                         liveSubscriptions_);
        }
    }
    alive_.reset();
    natsConnection_FlushTimeout(connection_.get(), kRequestWaitMs);
    // The connection's own callbacks run on a thread of the client's: the closed one comes
    // last, and once it has, none can touch this link any more.
    closing_ = true;
    natsConnection_Close(connection_.get());
    {
        std::unique_lock lock(subscriptionsLock_);
        if (!subscriptionsDone_.wait_for(lock, kSubscriptionsEndWait, [this] { return closed_; })) {
            spdlog::warn("cluster node {}: the NATS connection did not report its close", config_.node);
        }
    }
    presence_.reset();
    nodes_.reset();
    jetStream_.reset();
    connection_.reset();
    spdlog::info("cluster node {}: left", config_.node);
}

natsSubscription* Cluster::subscribe(const std::string& subject) {
    natsSubscription* subscription = nullptr;
    check(natsConnection_Subscribe(&subscription, connection_.get(), subject.c_str(), onMessage, this),
          "NATS subscription to " + subject);
    {
        std::lock_guard lock(subscriptionsLock_);
        ++liveSubscriptions_;
    }
    natsSubscription_SetOnCompleteCB(subscription, onSubscriptionComplete, this);
    return subscription;
}

void Cluster::unsubscribe(natsSubscription* subscription) {
    natsSubscription_Unsubscribe(subscription);
    natsSubscription_Destroy(subscription);
}

void Cluster::onDisconnected(natsConnection*, void* closure) {
    const auto* self = static_cast<const Cluster*>(closure);
    if (!self->closing_) spdlog::warn("cluster node {}: NATS connection lost, reconnecting", self->config_.node);
}

void Cluster::onReconnected(natsConnection* connection, void* closure) {
    auto* self = static_cast<Cluster*>(closure);
    // A NATS server that restarted without storage has lost the stream and the buckets.
    self->storeLost_ = true;
    char url[256] = {};
    natsConnection_GetConnectedUrl(connection, url, sizeof url);
    spdlog::info("cluster node {}: NATS connection back, at {}", self->config_.node, url);
}

void Cluster::onClosed(natsConnection*, void* closure) {
    auto* self = static_cast<Cluster*>(closure);
    // Told under the lock: once the waiter has it, the link may be gone.
    std::lock_guard lock(self->subscriptionsLock_);
    self->closed_ = true;
    self->subscriptionsDone_.notify_all();
}

void Cluster::onSubscriptionComplete(void* closure) {
    auto* self = static_cast<Cluster*>(closure);
    std::lock_guard lock(self->subscriptionsLock_);
    --self->liveSubscriptions_;
    self->subscriptionsDone_.notify_all();
}

void Cluster::listen(uint32_t groupId) { voice_.listen(groupId); }

void Cluster::unlisten(uint32_t groupId) { voice_.unlisten(groupId); }

void Cluster::publishVoice(uint32_t groupId, const unsigned char* data, std::size_t size) {
    voice_.publish(groupId, data, size);
}

// On the network thread, before the voice that came with it.
void Cluster::onFloorEvent(std::string_view subject, const unsigned char* data, std::size_t size) {
    if (auto event = parseFloorEvent(data, size); event && subjectGroup(subject, kFloorPrefix) == event->groupId) {
        events_.floor(*event);
    } else {
        droppedAsMalformed(subject);
    }
}

// On the NATS delivery thread: the message is checked and handed to the network thread
// through the inbox.
void Cluster::onMessage(natsConnection*, natsSubscription*, natsMsg* message, void* closure) {
    auto* self = static_cast<Cluster*>(closure);
    const std::string_view subject = natsMsg_GetSubject(message);
    const auto* data = reinterpret_cast<const unsigned char*>(natsMsg_GetData(message));
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(message));
    if (subject.substr(0, self->replyPrefix_.size()) == self->replyPrefix_) {
        const std::optional<uint64_t> token = numberAfter<uint64_t>(subject, self->replyPrefix_);
        if (token && (size == 1 || natsMsg_IsNoResponders(message))) {
            // No node there to answer (NATS says so at once) is no answer.
            const std::optional<int32_t> answer = size == 1 ? std::optional<int32_t>(data[0]) : std::nullopt;
            self->tookFromNats(self->inbox_.add([self, token = *token, answer] { self->takeAnswer(token, answer); }));
        } else {
            self->droppedAsMalformed(subject);
        }
    } else if (auto direct = parseNodeMessage(data, size);
               direct && subject.substr(0, kNodePrefix.size()) == kNodePrefix) {
        const char* reply = natsMsg_GetReply(message);
        self->tookFromNats(
            self->inbox_.add([self, direct = std::move(*direct), reply = std::string(reply != nullptr ? reply : "")] {
                self->deliver(direct, reply);
            }));
    } else {
        self->droppedAsMalformed(subject);
    }
    natsMsg_Destroy(message);
}

void Cluster::droppedAsMalformed(std::string_view subject) {
    if (malformedDropped_++ == 0) {
        spdlog::warn(
            "cluster node {}: a message on {} that is no floor event or message to this node dropped (further "
            "ones are only counted)",
            config_.node, subject);
    }
}

void Cluster::post(std::function<void()> event) {
    boost::asio::post(io_, [alive = aliveToken_, event = std::move(event)] {
        if (alive.lock()) event();
    });
}

// Whatever arrives from NATS waits for the network thread in the bounded inbox: a flood on
// the bus (a stranger, or a network thread held up) costs dropped messages, counted, not
// memory.
void Cluster::tookFromNats(Inbox::Added added) {
    if (added == Inbox::Added::kDropped && overflowDropped_++ == 0) {
        spdlog::warn(
            "cluster node {}: {} messages from NATS wait for the network thread; further ones are dropped and "
            "counted until they are taken",
            config_.node, kWaitingFromNats);
    }
    if (added == Inbox::Added::kDrainDue) post([this] { inbox_.drain(); });
}

}  // namespace talkhub_server
