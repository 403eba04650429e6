// The server's counters for operators, in Prometheus' text format on an HTTP port of their
// own ("/metrics"). The HTTP threads never read the counters themselves: a scrape asks the
// network thread for a copy and waits for it (at most a second; a server too busy to
// answer by then is scraped as it was last seen). Made and ended on the network thread; a
// copy asked for after the end is never made.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "counters.h"

namespace prometheus {
class Exposer;
}

namespace talkhub_server {

struct MetricsReading {
    Counters counters;
    std::size_t sessionsOnline = 0;
    bool clustered = false;
    // Messages from the other nodes dropped: not understood, or too many waiting.
    uint64_t clusterMalformed = 0;
    uint64_t clusterOverflow = 0;
};

class MetricsEndpoint {
public:
    // `listen` is "ADDRESS:PORT" (port 0: any free one); throws std::runtime_error when it
    // cannot be bound. `read` runs on the network thread.
    MetricsEndpoint(boost::asio::io_context& io, const std::string& listen, std::function<MetricsReading()> read);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    uint16_t port() const;

private:
    class Collector;
    std::shared_ptr<Collector> collector_;
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace talkhub_server
