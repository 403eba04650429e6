#include "sockets.h"

namespace harbor {

namespace asio = boost::asio;
using asio::ip::udp;

UdpSocket::UdpSocket(SocketRegistry& registry, udp::socket socket)
    : registry_(registry),
      socket_(std::move(socket)),
      descriptor_(socket_.native_handle()),
      v6_(socket_.local_endpoint().address().is_v6()) {}

void UdpSocket::start() {
    boost::system::error_code ignored;
    socket_.non_blocking(true, ignored);
    receiveMore();
}

void UdpSocket::shutdown() {
    std::unique_lock lock(descriptorMutex_);
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void UdpSocket::deliver(std::size_t size) {
    // Voice comes from one server; keep its address text instead of formatting it again
    // for every datagram.
    if (sender_ != lastSender_) {
        lastSender_ = sender_;
        lastFrom_ = CTSocketAddress(sender_.address().to_string(), sender_.port());
    }
    guard_.invoke(receiveCallback_, this, static_cast<int>(size), static_cast<const void*>(receiveBuffer_.data()),
                  std::as_const(lastFrom_));
}

void UdpSocket::receiveMore() {
    auto self = shared_from_this();
    socket_.async_receive_from(
        asio::buffer(receiveBuffer_), sender_, [self](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted || !self->socket_.is_open()) return;
            if (!error) self->deliver(size);
            // Datagrams that are already queued are read at once, sparing a trip through
            // the reactor for each; the bound keeps other sockets served under a flood.
            for (int drained = 0; drained < maxDrainedPerWakeup && self->socket_.is_open(); ++drained) {
                boost::system::error_code again;
                std::size_t next =
                    self->socket_.receive_from(asio::buffer(self->receiveBuffer_), self->sender_, 0, again);
                if (again) break;
                self->deliver(next);
            }
            if (self->socket_.is_open()) self->receiveMore();
        });
}

void UdpSocket::setReceiveCallback(const UdpReceiveCallback& callback) {
    // Clearing the last callback hands the socket back, which may free it on the loop
    // thread while the guard is still held here.
    const auto keepAlive = shared_from_this();
    guard_.assign(receiveCallback_, callback, [this] {
        if (receiveCallback_) {
            everSet_ = true;
            return;
        }
        if (released_ || !everSet_) return;
        released_ = true;
        registry_.release(this);
    });
}

int UdpSocket::sendTo(const CTSocketAddress& to, const void* data, int length) {
    if (!data || length <= 0) return -1;
    boost::system::error_code error;
    auto address = asio::ip::make_address(to.address(), error);
    if (error || to.port() == 0 || to.port() > 65535) return -2;
    udp::endpoint target(address, static_cast<unsigned short>(to.port()));
    if (address.is_v4() && v6_)
        target = udp::endpoint(asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()), target.port());
    // A plain sendto on the descriptor: safe beside the loop thread's pending receive,
    // which Asio's own send would race with on the socket's internal state.
    std::shared_lock lock(descriptorMutex_);
    if (closed_) return -4;
    std::size_t sent = 0;
    if (!sendDatagram(descriptor_, data, static_cast<std::size_t>(length), target.data(), target.size(), sent))
        return -3;
    return static_cast<int>(sent);
}

}  // namespace harbor
