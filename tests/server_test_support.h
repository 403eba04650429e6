// A server running inside the test process, and a small blocking client written on
// talkwire that speaks to it over loopback.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "server.h"

namespace server_test {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

inline talkhub_server::ServerConfig loopbackConfig() {
    talkhub_server::ServerConfig config = talkhub_server::defaultConfig();
    config.bindAddress = "127.0.0.1";
    config.tcpPort = 0;
    config.udpPort = 0;
    return config;
}

class RunningServer {
public:
    explicit RunningServer(talkhub_server::ServerConfig config = loopbackConfig()) : server_(io_, std::move(config)) {
        server_.start();
        tcpPort_ = server_.tcpPort();
        udpPort_ = server_.udpPort();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~RunningServer() {
        boost::asio::post(io_, [this] {
            server_.stop();
            io_.stop();
        });
        thread_.join();
    }
    uint16_t tcpPort() const { return tcpPort_; }
    uint16_t udpPort() const { return udpPort_; }

private:
    boost::asio::io_context io_;
    talkhub_server::Server server_;
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
    std::thread thread_;
};

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline bool readable(int fd, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) == 1;
}

class Client {
public:
    // receiveBuffer > 0 shrinks the kernel's receive buffer, to play a slow reader.
    Client(uint16_t tcpPort, uint16_t udpPort, int receiveBuffer = 0) : udpPort_(udpPort), buffer_(10240, 0) {
        tcp_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(tcp_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        const sockaddr_in server = loopback(tcpPort);
        connected_ = ::connect(tcp_, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
        udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in any = loopback(0);
        ::bind(udp_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    ~Client() {
        closeTcp();
        ::close(udp_);
    }

    bool connected() const { return connected_; }
    void closeTcp() {
        if (tcp_ >= 0) {
            ::close(tcp_);
            tcp_ = -1;
        }
    }

    void sendRaw(const Bytes& bytes) const { ::send(tcp_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    template <class Build>
    void send(Build build) const {
        unsigned char message[10240];
        const int length = build(message, static_cast<int>(sizeof message));
        ASSERT_GT(length, 0);
        Bytes framed(2 * static_cast<std::size_t>(length) + 8);
        framed.resize(encode_tcp_packet_hdlc(message, static_cast<uint16_t>(length), framed.data(),
                                             static_cast<uint16_t>(framed.size())));
        sendRaw(framed);
    }

    // The next whole message (header and body), or nothing within the wait.
    std::optional<Bytes> next(std::chrono::milliseconds wait = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (true) {
            if (!pending_.empty()) {
                Bytes message = pending_.front();
                pending_.erase(pending_.begin());
                return message;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || tcp_ < 0 || !readable(tcp_, left)) {
                return std::nullopt;
            }
            unsigned char chunk[4096];
            const ssize_t size = ::recv(tcp_, chunk, sizeof chunk, 0);
            if (size <= 0) {
                peerClosed = true;
                return std::nullopt;
            }
            for (ssize_t i = 0; i < size; ++i) {
                unsigned char* frame = nullptr;
                decode_tcp_packet_hdlc(buffer_.data(), 10240, chunk[i], &frame);
                tw_packet packet{};
                if (frame != nullptr &&
                    packet_decode(buffer_.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2, &packet) > 0) {
                    pending_.emplace_back(packet.header, packet.body + packet.bodyLength);
                }
            }
        }
    }

    // The next message with this command id; others on the way are skipped.
    std::optional<Bytes> expect(unsigned char command, std::chrono::milliseconds wait = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < until) {
            auto message =
                next(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
            if (!message) {
                return std::nullopt;
            }
            if ((*message)[0] == command) {
                message->erase(message->begin(), message->begin() + 2);  // the body
                return message;
            }
        }
        return std::nullopt;
    }

    tw_login_ack login(const char* account, const char* password) {
        char encoded[TW_ENCODED_PASSWORD_SIZE] = {};
        encode_login_passwd(account, password, encoded);
        send([&](unsigned char* b, int c) { return cp_login(b, c, account, encoded, 0); });
        tw_login_ack ack{};
        auto body = expect(TW_CMD_LOGIN_ACK);
        EXPECT_TRUE(body.has_value());
        if (body) {
            EXPECT_EQ(on_login_ack(&ack, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
        }
        return ack;
    }

    // Logs in, registers the voice endpoint and enters a group.
    void join(const char* account, uint32_t groupId) {
        const tw_login_ack ack = login(account, account);
        ASSERT_EQ(ack.result, 0);
        userId = ack.userId;
        heartbeat();
        send([&](unsigned char* b, int c) { return cp_activate_group(b, c, groupId); });
        auto body = expect(TW_CMD_ENTER_GROUP_ACK);
        ASSERT_TRUE(body.has_value());
        tw_join_group_ack joined{};
        ASSERT_EQ(on_join_group_ack(&joined, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
        ASSERT_EQ(joined.result, 0);
    }

    void heartbeat() {
        unsigned char datagram[TW_DATAGRAM_SIZE];
        sendDatagram(Bytes(datagram, datagram + cp_rtp_heartbeat(datagram, sizeof datagram, userId)));
        std::this_thread::sleep_for(20ms);  // the server learns the endpoint
    }

    void sendDatagram(const Bytes& datagram) const {
        const sockaddr_in server = loopback(udpPort_);
        ::sendto(udp_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    }

    std::optional<Bytes> datagram(std::chrono::milliseconds wait = 2000ms) const {
        if (!readable(udp_, wait)) {
            return std::nullopt;
        }
        Bytes data(2048);
        const ssize_t size = ::recv(udp_, data.data(), data.size(), 0);
        data.resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
        return data;
    }

    int32_t requestMic(uint32_t groupId) {
        send([&](unsigned char* b, int c) { return cp_request_mic(b, c, groupId); });
        auto body = expect(TW_CMD_REQUEST_MIC_ACK);
        tw_result_ack ack{};
        if (!body || on_request_mic_ack(&ack, body->data(), static_cast<uint32_t>(body->size())) != TW_OK) {
            return INT32_MIN;
        }
        return ack.result;
    }

    uint32_t userId = 0;
    bool peerClosed = false;

private:
    int tcp_ = -1;
    int udp_ = -1;
    uint16_t udpPort_;
    bool connected_ = false;
    Bytes buffer_;
    std::vector<Bytes> pending_;
};

}  // namespace server_test
