// The concrete sockets behind ITcpSocket and IUdpSocket, and the registry that owns them.
#pragma once

#include <harbor/harbor.h>

// Boost 1.74's Asio uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "callback_guard.h"
#include "native_send.h"

namespace harbor {

// Registry of live sockets; a socket leaves it once all its callbacks are cleared.
class SocketRegistry {
public:
    virtual ~SocketRegistry() = default;
    virtual void release(const void* socket) = 0;
};

class TcpSocket final : public ITcpSocket, public std::enable_shared_from_this<TcpSocket> {
public:
    static constexpr std::size_t maxQueuedBytes = 1 << 20;

    TcpSocket(boost::asio::io_context& context, SocketRegistry& registry);
    ~TcpSocket() override = default;

    void start(const CTSocketAddress& server);
    void close() override;
    void setConnectCallback(const TcpConnectCallback& callback) override;
    void setDataCallback(const TcpDataCallback& callback) override;
    int send(const void* data, int length) override;
    void setUnacknowledgedLimit(unsigned int milliseconds) override;

private:
    void applyUnacknowledgedLimit();
    void onResolved(const boost::system::error_code& error, boost::asio::ip::tcp::resolver::results_type results);
    void finishConnect(int status);
    void readMore();
    void writeMore();
    void reportClosed(int status);
    void releaseIfUnused();

    boost::asio::io_context& context_;
    SocketRegistry& registry_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer connectTimer_;
    std::array<char, 16384> readBuffer_{};

    CallbackGuard guard_;
    TcpConnectCallback connectCallback_;
    TcpDataCallback dataCallback_;
    bool released_ = false;
    bool closeReported_ = false;

    std::mutex pendingMutex_;
    bool connectCallbackSet_ = false;
    bool dataCallbackSet_ = false;
    bool readWaiting_ = false;
    std::optional<int> pendingConnect_;

    std::mutex sendMutex_;
    std::deque<std::vector<char>> sendQueue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool open_ = true;
    bool connected_ = false;
    NativeSocket descriptor_ = kNoSocket;  // the connected socket's descriptor while send() may write on it
    std::atomic<unsigned int> unacknowledgedLimitMs_{0};  // 0: the system's own
};

class UdpSocket final : public IUdpSocket, public std::enable_shared_from_this<UdpSocket> {
public:
    UdpSocket(SocketRegistry& registry, boost::asio::ip::udp::socket socket);

    void start();
    void shutdown();
    void setReceiveCallback(const UdpReceiveCallback& callback) override;
    int sendTo(const CTSocketAddress& to, const void* data, int length) override;

private:
    static constexpr int maxDrainedPerWakeup = 64;

    void receiveMore();
    void deliver(std::size_t size);

    SocketRegistry& registry_;
    boost::asio::ip::udp::socket socket_;
    const NativeSocket descriptor_;
    const bool v6_;
    // Senders on other threads hold this shared while they use descriptor_; closing takes it
    // exclusively, so no send can reach a descriptor number the system has handed out again.
    std::shared_mutex descriptorMutex_;
    bool closed_ = false;
    boost::asio::ip::udp::endpoint sender_;
    boost::asio::ip::udp::endpoint lastSender_;
    CTSocketAddress lastFrom_;
    std::array<char, 65536> receiveBuffer_{};
    CallbackGuard guard_;
    UdpReceiveCallback receiveCallback_;
    bool released_ = false;
    bool everSet_ = false;
};

}  // namespace harbor
