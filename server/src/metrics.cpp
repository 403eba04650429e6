#include "metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <boost/asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace talkhub_server {

namespace {

constexpr auto kReadingWait = std::chrono::seconds(1);

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

ClientMetric counterOf(uint64_t value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.counter.value = static_cast<double>(value);
    return metric;
}

MetricFamily family(std::string name, std::string help, MetricType type, std::vector<ClientMetric> metrics) {
    return MetricFamily{std::move(name), std::move(help), type, std::move(metrics)};
}

std::vector<MetricFamily> families(const MetricsReading& reading) {
    const Counters& c = reading.counters;
    ClientMetric sessions;
    sessions.gauge.value = static_cast<double>(reading.sessionsOnline);
    std::vector<MetricFamily> out;
    out.push_back(family("talkhub_sessions", "Sessions logged in now.", MetricType::Gauge, {sessions}));
    out.push_back(family("talkhub_connections_total", "Control connections opened.", MetricType::Counter,
                         {counterOf(c.sessionsOpened)}));
    out.push_back(
        family("talkhub_logins_total", "Login answers by result.", MetricType::Counter,
               {counterOf(c.loginsAccepted, {{"result", "ok"}}), counterOf(c.loginsRefused, {{"result", "refused"}}),
                counterOf(c.loginsRedirected, {{"result", "redirected"}})}));
    out.push_back(
        family("talkhub_floor_requests_total", "Floor requests by outcome, and floors taken back.", MetricType::Counter,
               {counterOf(c.floorGrants, {{"outcome", "granted"}}), counterOf(c.floorDenials, {{"outcome", "denied"}}),
                counterOf(c.floorPreemptions, {{"outcome", "taken_back"}})}));
    out.push_back(family("talkhub_datagrams_in_total", "Voice datagrams received.", MetricType::Counter,
                         {counterOf(c.datagramsIn)}));
    out.push_back(family("talkhub_datagrams_relayed_total", "Copies of voice datagrams sent to listeners.",
                         MetricType::Counter, {counterOf(c.datagramsRelayed)}));
    out.push_back(family("talkhub_datagrams_dropped_total", "Voice datagrams dropped, by cause.", MetricType::Counter,
                         {counterOf(c.droppedMalformed, {{"cause", "malformed"}}),
                          counterOf(c.droppedUnknownEndpoint, {{"cause", "unknown_endpoint"}}),
                          counterOf(c.droppedNotOpened, {{"cause", "not_opened"}}),
                          counterOf(c.droppedNotFloorHolder, {{"cause", "not_floor_holder"}}),
                          counterOf(c.droppedSendBuffer, {{"cause", "send_buffer_full"}})}));
    if (reading.clustered) {
        out.push_back(family("talkhub_cluster_voice_total", "Voice datagrams crossing to and from other nodes.",
                             MetricType::Counter,
                             {counterOf(c.clusterVoiceOut, {{"direction", "published"}}),
                              counterOf(c.clusterVoiceIn, {{"direction", "delivered"}})}));
        out.push_back(family("talkhub_cluster_messages_dropped_total",
                             "Messages from NATS dropped: not understood, or too many waiting for the network thread.",
                             MetricType::Counter,
                             {counterOf(reading.clusterMalformed, {{"cause", "malformed"}}),
                              counterOf(reading.clusterOverflow, {{"cause", "queue_full"}})}));
    }
    ClientMetric latency;
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < LatencyHistogram::kBoundsSeconds.size(); ++i) {
        cumulative += c.relayLatency.counts[i];
        latency.histogram.bucket.push_back({cumulative, LatencyHistogram::kBoundsSeconds[i]});
    }
    latency.histogram.bucket.push_back({c.relayLatency.total, std::numeric_limits<double>::infinity()});
    latency.histogram.sample_count = c.relayLatency.total;
    latency.histogram.sample_sum = c.relayLatency.sumSeconds;
    out.push_back(family("talkhub_relay_latency_seconds",
                         "From a voice datagram's arrival to its relays' send, on this node.", MetricType::Histogram,
                         {latency}));
    return out;
}

}  // namespace

// Called on an HTTP thread: asks the network thread for a reading, then waits for it.
class MetricsEndpoint::Collector : public prometheus::Collectable,
                                   public std::enable_shared_from_this<MetricsEndpoint::Collector> {
public:
    Collector(boost::asio::io_context& io, std::function<MetricsReading()> read) : io_(io), read_(std::move(read)) {}

    std::vector<MetricFamily> Collect() const override {
        std::unique_lock lock(lock_);
        const uint64_t asked = ++asked_;
        boost::asio::post(io_, [weak = weak_from_this(), asked] {
            if (const auto self = weak.lock()) self->fill(asked);
        });
        answered_.wait_for(lock, kReadingWait, [&] { return read_at_ >= asked; });
        return families(last_);
    }

private:
    void fill(uint64_t asked) const {
        MetricsReading reading = read_();
        {
            std::lock_guard lock(lock_);
            last_ = reading;
            read_at_ = std::max(read_at_, asked);
        }
        answered_.notify_all();
    }

    boost::asio::io_context& io_;
    std::function<MetricsReading()> read_;
    mutable std::mutex lock_;
    mutable std::condition_variable answered_;
    mutable uint64_t asked_ = 0;
    mutable uint64_t read_at_ = 0;
    mutable MetricsReading last_;
};

MetricsEndpoint::MetricsEndpoint(boost::asio::io_context& io, const std::string& listen,
                                 std::function<MetricsReading()> read)
    : collector_(std::make_shared<Collector>(io, std::move(read))) {
    try {
        exposer_ = std::make_unique<prometheus::Exposer>(listen, 1);
    } catch (const std::exception& error) {
        throw std::runtime_error("metrics: cannot listen on " + listen + ": " + error.what());
    }
    exposer_->RegisterCollectable(collector_);
}

// The HTTP threads end first; a scrape still waiting for the network thread (which runs
// this) gives up after its second.
MetricsEndpoint::~MetricsEndpoint() {
    exposer_.reset();
    collector_.reset();
}

uint16_t MetricsEndpoint::port() const {
    const std::vector<int> ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : static_cast<uint16_t>(ports.front());
}

}  // namespace talkhub_server
