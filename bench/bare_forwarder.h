// The least a relay can do, as a baseline for the server's: a child process that takes
// datagrams in batches (recvmmsg) and sends each to the fixed listeners of its sender
// (sendmmsg), with no sessions, no parsing and no floor. It runs until it is killed, and
// dies with the benchmark.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <map>
#include <vector>

#include "wire_client.h"

namespace bench {

class BareForwarder {
public:
    // `routes`: for each sender's port on loopback, the ports of its listeners.
    explicit BareForwarder(std::map<uint16_t, std::vector<uint16_t>> routes) {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            forward(routes);
            ::_exit(0);
        }
    }
    ~BareForwarder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(socket_);
    }
    BareForwarder(const BareForwarder&) = delete;
    BareForwarder& operator=(const BareForwarder&) = delete;

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    static constexpr unsigned kBatch = 32;

    void forward(const std::map<uint16_t, std::vector<uint16_t>>& routes) const {
        std::map<uint16_t, std::vector<sockaddr_in>> listeners;
        for (const auto& [sender, ports] : routes) {
            for (uint16_t port : ports) listeners[sender].push_back(loopback(port));
        }
        std::vector<std::array<unsigned char, 2048>> buffers(kBatch);
        std::array<iovec, kBatch> vectors{};
        std::array<sockaddr_in, kBatch> senders{};
        std::array<mmsghdr, kBatch> received{};
        std::vector<iovec> sendVectors;
        std::vector<mmsghdr> sends;
        while (true) {
            for (unsigned i = 0; i < kBatch; ++i) {
                vectors[i] = {buffers[i].data(), buffers[i].size()};
                received[i] = {};
                received[i].msg_hdr.msg_name = &senders[i];
                received[i].msg_hdr.msg_namelen = sizeof senders[i];
                received[i].msg_hdr.msg_iov = &vectors[i];
                received[i].msg_hdr.msg_iovlen = 1;
            }
            const int count = ::recvmmsg(socket_, received.data(), kBatch, MSG_WAITFORONE, nullptr);
            if (count <= 0) continue;
            sendVectors.clear();
            sends.clear();
            for (int i = 0; i < count; ++i) {
                const auto found = listeners.find(ntohs(senders[static_cast<unsigned>(i)].sin_port));
                if (found == listeners.end()) continue;
                for (const sockaddr_in& to : found->second) {
                    sendVectors.push_back(
                        {buffers[static_cast<unsigned>(i)].data(), received[static_cast<unsigned>(i)].msg_len});
                    mmsghdr message{};
                    message.msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
                    message.msg_hdr.msg_namelen = sizeof to;
                    sends.push_back(message);
                }
            }
            for (std::size_t i = 0; i < sends.size(); ++i) {
                sends[i].msg_hdr.msg_iov = &sendVectors[i];
                sends[i].msg_hdr.msg_iovlen = 1;
            }
            for (std::size_t done = 0; done < sends.size();) {
                const int sent =
                    ::sendmmsg(socket_, sends.data() + done, static_cast<unsigned>(sends.size() - done), 0);
                if (sent <= 0) break;
                done += static_cast<std::size_t>(sent);
            }
        }
    }

    int socket_ = -1;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace bench
