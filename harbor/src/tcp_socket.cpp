#include <cstring>
#include <optional>
#include <utility>

#include "sockets.h"

namespace harbor {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
constexpr auto connectTimeout = std::chrono::seconds(5);
}

TcpSocket::TcpSocket(asio::io_context& context, SocketRegistry& registry)
    : context_(context), registry_(registry), resolver_(context), socket_(context), connectTimer_(context) {}

void TcpSocket::start(const CTSocketAddress& server) {
    auto self = shared_from_this();
    connectTimer_.expires_after(connectTimeout);
    connectTimer_.async_wait([self](const boost::system::error_code& error) {
        if (error) return;
        self->resolver_.cancel();
        boost::system::error_code ignored;
        self->socket_.close(ignored);
    });
    resolver_.async_resolve(server.address(), std::to_string(server.port()),
                            [self](const boost::system::error_code& error, tcp::resolver::results_type results) {
                                self->onResolved(error, std::move(results));
                            });
}

void TcpSocket::onResolved(const boost::system::error_code& error, tcp::resolver::results_type results) {
    if (error) {
        finishConnect(kConnectNameNotResolved);
        return;
    }
    auto self = shared_from_this();
    asio::async_connect(socket_, results, [self](const boost::system::error_code& failure, const tcp::endpoint&) {
        self->finishConnect(failure ? kConnectFailed : 0);
    });
}

void TcpSocket::finishConnect(int status) {
    connectTimer_.cancel();
    {
        std::lock_guard lock(sendMutex_);
        connected_ = status == 0 && open_;
        if (!connected_) open_ = false;
        if (connected_) descriptor_ = socket_.native_handle();
        if (connected_ && !sendQueue_.empty()) {
            writing_ = true;
            asio::post(context_, [self = shared_from_this()] { self->writeMore(); });
        }
    }
    if (status == 0 && !connected_) status = kConnectClosed;
    // The connect may finish before the user installed its callbacks: the status then waits
    // for a connect callback, and reading waits for a data callback.
    bool deliver = false;
    bool read = false;
    {
        std::lock_guard lock(pendingMutex_);
        deliver = connectCallbackSet_;
        if (!deliver) pendingConnect_ = status;
        read = status == 0 && dataCallbackSet_;
        readWaiting_ = status == 0 && !read;
    }
    if (deliver) guard_.invoke(connectCallback_, this, status);
    if (status == 0) {
        boost::system::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        applyUnacknowledgedLimit();
    }
    if (read) readMore();
}

void TcpSocket::setUnacknowledgedLimit(unsigned int milliseconds) {
    unacknowledgedLimitMs_ = milliseconds;
    asio::post(context_, [self = shared_from_this()] { self->applyUnacknowledgedLimit(); });
}

// On the loop thread, which alone opens and closes the socket.
void TcpSocket::applyUnacknowledgedLimit() {
    const unsigned int milliseconds = unacknowledgedLimitMs_;
    if (milliseconds == 0 || !socket_.is_open()) return;
    std::lock_guard lock(sendMutex_);
    if (connected_) limitUnacknowledged(socket_.native_handle(), milliseconds);
}

void TcpSocket::readMore() {
    auto self = shared_from_this();
    socket_.async_read_some(
        asio::buffer(readBuffer_), [self](const boost::system::error_code& error, std::size_t size) {
            if (error) {
                self->reportClosed(error == asio::error::eof ? 0 : -1);
                return;
            }
            self->guard_.invoke(self->dataCallback_, self.get(), static_cast<int>(size), self->readBuffer_.data());
            self->readMore();
        });
}

void TcpSocket::reportClosed(int status) {
    {
        std::lock_guard lock(sendMutex_);
        open_ = false;
        descriptor_ = kNoSocket;
    }
    boost::system::error_code ignored;
    socket_.close(ignored);
    if (closeReported_) return;
    closeReported_ = true;
    guard_.invoke(dataCallback_, this, status, static_cast<const void*>(nullptr));
}

void TcpSocket::close() {
    {
        // From now on nothing is sent, and the descriptor is never used again by send().
        std::lock_guard lock(sendMutex_);
        open_ = false;
        descriptor_ = kNoSocket;
    }
    asio::post(context_, [self = shared_from_this()] {
        self->resolver_.cancel();
        boost::system::error_code ignored;
        self->socket_.close(ignored);
    });
}

void TcpSocket::setConnectCallback(const TcpConnectCallback& callback) {
    // Clearing the last callback hands the socket back, which may free it on the loop
    // thread while the guard is still held here.
    const auto keepAlive = shared_from_this();
    guard_.assign(connectCallback_, callback, [this] { releaseIfUnused(); });
    if (!callback) return;
    std::lock_guard lock(pendingMutex_);
    connectCallbackSet_ = true;
    if (const std::optional<int> status = std::exchange(pendingConnect_, std::nullopt)) {
        asio::post(context_, [self = shared_from_this(), value = *status] {
            self->guard_.invoke(self->connectCallback_, self.get(), value);
        });
    }
}

void TcpSocket::setDataCallback(const TcpDataCallback& callback) {
    const auto keepAlive = shared_from_this();
    guard_.assign(dataCallback_, callback, [this] { releaseIfUnused(); });
    if (!callback) return;
    std::lock_guard lock(pendingMutex_);
    dataCallbackSet_ = true;
    if (std::exchange(readWaiting_, false)) {
        asio::post(context_, [self = shared_from_this()] { self->readMore(); });
    }
}

// Runs under the guard: once nobody listens, the socket is closed and handed back.
void TcpSocket::releaseIfUnused() {
    if (released_ || connectCallback_ || dataCallback_) return;
    released_ = true;
    close();
    registry_.release(this);
}

int TcpSocket::send(const void* data, int length) {
    if (!data || length <= 0) return -1;
    std::lock_guard lock(sendMutex_);
    if (!open_) return -2;
    if (queuedBytes_ + static_cast<std::size_t>(length) > maxQueuedBytes) return -3;
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    if (connected_ && !writing_ && sendQueue_.empty() && descriptor_ != kNoSocket) {
        // Nothing is waiting: write on the caller's thread, without a trip through the loop.
        // The descriptor stays open while it is set (every close clears it first, under this
        // lock). Whatever the kernel does not take now is queued.
        sent = static_cast<int>(sendWithoutWaiting(descriptor_, bytes, static_cast<std::size_t>(length)));
        if (sent == length) return length;
    }
    sendQueue_.emplace_back(bytes + sent, bytes + length);
    queuedBytes_ += static_cast<std::size_t>(length - sent);
    if (connected_ && !writing_) {
        writing_ = true;
        asio::post(context_, [self = shared_from_this()] { self->writeMore(); });
    }
    return length;
}

void TcpSocket::writeMore() {
    std::lock_guard lock(sendMutex_);
    if (sendQueue_.empty() || !open_) {
        writing_ = false;
        return;
    }
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(sendQueue_.front()),
                      [self](const boost::system::error_code& error, std::size_t) {
                          {
                              std::lock_guard lock(self->sendMutex_);
                              if (!self->sendQueue_.empty()) {
                                  self->queuedBytes_ -= self->sendQueue_.front().size();
                                  self->sendQueue_.pop_front();
                              }
                              if (error) {
                                  self->writing_ = false;
                                  return;
                              }
                          }
                          self->writeMore();
                      });
}

}  // namespace harbor
