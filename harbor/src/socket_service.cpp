#if defined(__linux__)
#include <pthread.h>
#endif

#include <map>
#include <thread>

#include "sockets.h"

namespace harbor {

namespace asio = boost::asio;

struct CTSocketService::Impl final : SocketRegistry {
    mutable std::mutex mutex;
    asio::io_context context;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread loop;
    bool running = false;
    std::map<const void*, std::shared_ptr<TcpSocket>> tcpSockets;
    std::map<const void*, std::shared_ptr<UdpSocket>> udpSockets;

    void release(const void* socket) override {
        std::shared_ptr<UdpSocket> udp;
        {
            std::lock_guard lock(mutex);
            tcpSockets.erase(socket);
            auto found = udpSockets.find(socket);
            if (found != udpSockets.end()) {
                udp = std::move(found->second);
                udpSockets.erase(found);
            }
        }
        if (udp) asio::post(context, [udp] { udp->shutdown(); });
    }
};

CTSocketService::CTSocketService() : impl_(new Impl) {}

CTSocketService::~CTSocketService() {
    stop();
    delete impl_;
}

CTSocketService& CTSocketService::instance() {
    static CTSocketService service;
    return service;
}

int CTSocketService::messageLoop(bool block, int) {
    std::unique_lock lock(impl_->mutex);
    if (impl_->running) return 0;
    impl_->running = true;
    impl_->context.restart();
    impl_->work =
        std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(impl_->context.get_executor());
    if (block) {
        lock.unlock();
        impl_->context.run();
        return 0;
    }
    impl_->loop = std::thread([this] {
    // Named, so that a profile or a thread listing tells the network thread apart.
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "harbor-net");
#endif
        impl_->context.run();
    });
    return 0;
}

bool CTSocketService::running() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

void CTSocketService::stop() {
    std::map<const void*, std::shared_ptr<TcpSocket>> tcp;
    std::map<const void*, std::shared_ptr<UdpSocket>> udp;
    std::thread loop;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->running) return;
        impl_->running = false;
        tcp.swap(impl_->tcpSockets);
        udp.swap(impl_->udpSockets);
        loop.swap(impl_->loop);
        impl_->work.reset();
    }
    // Closing on the loop thread lets every pending operation finish with an error
    // before the loop runs out of work.
    asio::post(impl_->context, [tcp, udp] {
        for (auto& [key, socket] : tcp) socket->close();
        for (auto& [key, socket] : udp) socket->shutdown();
    });
    tcp.clear();
    udp.clear();
    if (loop.joinable() && loop.get_id() != std::this_thread::get_id()) {
        loop.join();
    } else if (loop.joinable()) {
        loop.detach();
    }
    impl_->context.stop();
}

int CTSocketService::tcpConnect(const CTSocketAddress& server, ITcpSocket** out) {
    if (!out) return -1;
    if (server.port() == 0 || server.port() > 65535 || server.address().empty()) return -2;
    std::lock_guard lock(impl_->mutex);
    if (!impl_->running) return -3;
    auto socket = std::make_shared<TcpSocket>(impl_->context, *impl_);
    impl_->tcpSockets.emplace(socket.get(), socket);
    *out = socket.get();
    asio::post(impl_->context, [socket, server] { socket->start(server); });
    return 0;
}

int CTSocketService::newUdpInstance(const CTSocketAddress& local, IUdpSocket** out) {
    if (!out) return -1;
    boost::system::error_code error;
    auto address = asio::ip::make_address(local.address(), error);
    if (error || local.port() > 65535) return -2;
    std::lock_guard lock(impl_->mutex);
    if (!impl_->running) return -3;
    asio::ip::udp::socket socket(impl_->context);
    asio::ip::udp::endpoint endpoint(address, static_cast<unsigned short>(local.port()));
    socket.open(endpoint.protocol(), error);
    if (!error) socket.bind(endpoint, error);
    if (error) return -4;
    auto udp = std::make_shared<UdpSocket>(*impl_, std::move(socket));
    impl_->udpSockets.emplace(udp.get(), udp);
    *out = udp.get();
    asio::post(impl_->context, [udp] { udp->start(); });
    return 0;
}

std::size_t CTSocketService::socketCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->tcpSockets.size() + impl_->udpSockets.size();
}

}  // namespace harbor
