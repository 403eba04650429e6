// Datagrams per second received through harbor against a plain blocking recvfrom loop,
// over the same loopback traffic, in one run. Prints both rates and their ratio.
#include <arpa/inet.h>
#include <harbor/harbor.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "figure.h"
#include "thread_cpu.h"

namespace {

using Clock = std::chrono::steady_clock;
const int datagramCount = bench::scaled(400000);
constexpr int datagramSize = 172;  // one voice packet: five coded frames and a header

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Sends the traffic from a thread of its own, as fast as the kernel takes it.
std::thread startSender(unsigned short port) {
    return std::thread([port] {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to = loopback(port);
        char payload[datagramSize] = {};
        for (int i = 0; i < datagramCount; ++i)
            ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::close(fd);
    });
}

// The receiving thread sleeps in the kernel while idle, so its CPU time between the first
// and last datagram is what receiving cost.
using bench::threadCpuSeconds;

struct Rate {
    long received = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    double perSecond() const { return seconds > 0 ? received / seconds : 0; }
    double cpuMicrosPerDatagram() const { return received > 1 ? cpuSeconds * 1e6 / (received - 1) : 0; }
};

Rate measurePlain() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    timeval idle{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);

    std::thread sender = startSender(ntohs(local.sin_port));
    Rate rate;
    char buffer[65536];
    Clock::time_point first, last;
    double firstCpu = 0, lastCpu = 0;
    for (;;) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0) break;
        last = Clock::now();
        lastCpu = threadCpuSeconds();
        if (rate.received++ == 0) {
            first = last;
            firstCpu = lastCpu;
        }
    }
    sender.join();
    ::close(fd);
    rate.seconds = std::chrono::duration<double>(last - first).count();
    rate.cpuSeconds = lastCpu - firstCpu;
    return rate;
}

Rate measureHarbor() {
    auto& service = harbor::CTSocketService::instance();
    service.messageLoop(false, 1);
    harbor::IUdpSocket* socket = nullptr;
    unsigned short port = 45000;
    while (!socket && port < 46000) service.newUdpInstance({"127.0.0.1", port++}, &socket);
    if (!socket) {
        std::fprintf(stderr, "no UDP port free for harbor\n");
        std::exit(1);
    }
    --port;
    std::atomic<long> received{0};
    std::atomic<Clock::rep> first{0}, last{0};
    std::atomic<double> firstCpu{0}, lastCpu{0};
    socket->setReceiveCallback([&](harbor::IUdpSocket*, int length, const void*, const harbor::CTSocketAddress&) {
        auto now = Clock::now().time_since_epoch().count();
        double cpu = threadCpuSeconds();
        if (received.fetch_add(1, std::memory_order_relaxed) == 0) {
            first = now;
            firstCpu = cpu;
        }
        last.store(now, std::memory_order_relaxed);
        lastCpu.store(cpu, std::memory_order_relaxed);
        return length;
    });
    std::thread sender = startSender(port);
    sender.join();
    for (long seen = -1; seen != received.load();) {
        seen = received.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    socket->setReceiveCallback({});
    service.stop();
    Rate rate;
    rate.received = received.load();
    rate.seconds = std::chrono::duration<double>(Clock::duration(last.load() - first.load())).count();
    rate.cpuSeconds = lastCpu.load() - firstCpu.load();
    return rate;
}

}  // namespace

int main() {
    Rate plain = measurePlain();
    Rate harbor = measureHarbor();
    std::printf("datagrams sent per run:   %d of %d bytes\n", datagramCount, datagramSize);
    std::printf("plain recvfrom:           %ld received, %.0f datagrams/s, %.2f us CPU each\n", plain.received,
                plain.perSecond(), plain.cpuMicrosPerDatagram());
    std::printf("harbor receive callback:  %ld received, %.0f datagrams/s, %.2f us CPU each\n", harbor.received,
                harbor.perSecond(), harbor.cpuMicrosPerDatagram());
    std::printf("ratio harbor/plain:       %.2f\n", plain.perSecond() > 0 ? harbor.perSecond() / plain.perSecond() : 0);
    // The rates are bounded by the single sender on a small machine; the CPU cost per
    // datagram on the receiving thread is the steadier comparison.
    std::printf("ratio of receive cost plain/harbor: %.2f\n",
                harbor.cpuMicrosPerDatagram() > 0 ? plain.cpuMicrosPerDatagram() / harbor.cpuMicrosPerDatagram() : 0);
    bench::report({"harbor: receive CPU per datagram", harbor.cpuMicrosPerDatagram(), "µs", "≤ 1.2 × baseline",
                   "a plain recvfrom loop", plain.cpuMicrosPerDatagram()});
    return 0;
}
