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
#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "datagram_format.h"
#include "framed_stream.h"
#include "server.h"

namespace server_test {

using test_support::Bytes;
using test_support::loopback;
using test_support::readable;
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
        metricsPort_ = server_.metricsPort();
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
    uint16_t metricsPort() const { return metricsPort_; }
    // Holds the server's network thread for `how long`, as a stall of the machine would.
    void stall(std::chrono::milliseconds howLong) {
        std::promise<void> held;
        boost::asio::post(io_, [&held, howLong] {
            held.set_value();
            std::this_thread::sleep_for(howLong);
        });
        held.get_future().wait();
    }
    // Hands the server a new directory, as SIGHUP does; returns what changed.
    std::string reload(talkhub_server::ServerConfig fresh) {
        std::promise<std::string> summary;
        boost::asio::post(io_, [&] { summary.set_value(server_.reload(std::move(fresh))); });
        return summary.get_future().get();
    }
    void setDraining(bool draining) {
        std::promise<void> done;
        boost::asio::post(io_, [&] {
            server_.setDraining(draining);
            done.set_value();
        });
        done.get_future().wait();
    }

    // The metrics page as a scrape reads it; empty when there is none.
    std::string scrape() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopback(metricsPort_);
        std::string response;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            char chunk[4096];
            for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
                response.append(chunk, static_cast<std::size_t>(got));
        }
        ::close(fd);
        const std::size_t body = response.find("\r\n\r\n");
        return body == std::string::npos ? std::string() : response.substr(body + 4);
    }

private:
    boost::asio::io_context io_;
    talkhub_server::Server server_;
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
    uint16_t metricsPort_ = 0;
    std::thread thread_;
};

// Decodes a voice packet's frames onto the end of `pcm`.
inline void appendDecoded(const _AUDIO_PACKET& packet, std::vector<int16_t>& pcm) {
    std::vector<int16_t> frames(TW_FRAME_SAMPLES * 8);
    const int bytes = ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength),
                                       reinterpret_cast<unsigned char*>(frames.data()),
                                       static_cast<int>(frames.size() * 2), packet.mode);
    if (bytes > 0) pcm.insert(pcm.end(), frames.begin(), frames.begin() + bytes / 2);
}

// A connection from a loopback address of the test's choosing (all of 127/8 is loopback).
inline int connectFrom(const char* source, uint16_t port) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    ::bind(tcp, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const sockaddr_in server = loopback(port);
    if (::connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        ::close(tcp);
        return -1;
    }
    return tcp;
}

// The value of the line that starts with `series` in a metrics page, -1 when there is none.
inline double metricValue(const std::string& page, const std::string& series) {
    const std::size_t at = page.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(page.substr(at + series.size() + 2));
}

// The members of a meeting's answer (none when it is a refusal); its id into `meetingId`.
inline std::vector<uint32_t> meetingIds(const Bytes& body, uint32_t* meetingId) {
    tw_meeting_call_ack ack{};
    std::vector<uint32_t> ids;
    if (on_meeting_call_ack(&ack, body.data(), static_cast<uint32_t>(body.size())) == TW_OK && ack.result == 0) {
        *meetingId = ack.meetingId;
        for (uint64_t i = 0; i < ack.memberCount; ++i) ids.push_back(ack.members[i].userId);
    }
    free_meeting_call_ack(&ack);
    return ids;
}

// The meeting id of a meeting's end, 0 for none.
inline uint32_t endedMeeting(const std::optional<Bytes>& body) {
    tw_meeting_call_release release{};
    if (!body || on_meeting_call_release(&release, body->data(), static_cast<uint32_t>(body->size())) != TW_OK) {
        return 0;
    }
    return release.meetingId;
}

class Client : public test_support::FramedStream {
public:
    // receiveBuffer > 0 shrinks the kernel's receive buffer, to play a slow reader.
    Client(uint16_t tcpPort, uint16_t udpPort, int receiveBuffer = 0)
        : FramedStream(connectTo(tcpPort, receiveBuffer)), udpPort_(udpPort) {
        udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in any = loopback(0);
        ::bind(udp_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    ~Client() { ::close(udp_); }

    tw_login_ack login(const char* account, const char* password, std::chrono::milliseconds wait = 3000ms) {
        return logIn(account, password, wait);
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
        sendDatagram(Bytes(datagram, datagram + talkwire::datagrams::heartbeat(datagram, sizeof datagram, userId)));
        std::this_thread::sleep_for(20ms);  // the server learns the endpoint
    }

    // A plain datagram, sealed once logged in.
    void sendDatagram(const Bytes& datagram) { sendRawDatagram(wire().sealDatagram(datagram)); }
    void sendRawDatagram(const Bytes& datagram) const {
        const sockaddr_in server = loopback(udpPort_);
        ::sendto(udp_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    }

    // The next datagram as it arrived.
    std::optional<Bytes> rawDatagram(std::chrono::milliseconds wait = 2000ms) const {
        if (!readable(udp_, wait)) {
            return std::nullopt;
        }
        Bytes data(2048);
        const ssize_t size = ::recv(udp_, data.data(), data.size(), 0);
        data.resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
        return data;
    }

    // The next datagram that opens, opened; those that do not are skipped and counted in
    // wire().unopened.
    std::optional<Bytes> datagram(std::chrono::milliseconds wait = 2000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (true) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            auto received = rawDatagram(std::max(left, 0ms));
            if (!received) return std::nullopt;
            if (auto plain = wire().openDatagram(*received)) return plain;
        }
    }

    // One speaker's turn as this client hears it: the voice of `senderId` decoded to PCM,
    // until its end-of-talk datagram or `quiet` without a datagram (the first may take
    // `firstWait`). `ended` tells whether the end-of-talk came.
    struct HeardTurn {
        std::vector<int16_t> pcm;
        bool ended = false;
    };
    HeardTurn hearTurn(uint32_t senderId, std::chrono::milliseconds firstWait,
                       std::chrono::milliseconds quiet = 5000ms) {
        HeardTurn turn;
        auto wait = firstWait;
        while (auto received = datagram(wait)) {
            wait = quiet;
            _AUDIO_PACKET packet{};
            if (talkwire::datagrams::readTalk(received->data(), static_cast<int>(received->size()), &packet) != TW_OK) {
                continue;
            }
            if (packet.senderId != senderId) continue;
            if (packet.kind == TW_KIND_END_OF_TALK) {
                turn.ended = true;
                break;
            }
            appendDecoded(packet, turn.pcm);
        }
        return turn;
    }

    // Calls `user`: the answer's result, INT32_MIN for none.
    int32_t tempCall(uint32_t user) {
        send([&](unsigned char* b, int c) { return cp_temp_group_call(b, c, &user, 1); });
        auto body = expect(TW_CMD_TEMP_CALL_ACK);
        tw_result_ack ack{};
        if (!body || on_call_ack(&ack, body->data(), static_cast<uint32_t>(body->size())) != TW_OK) return INT32_MIN;
        return ack.result;
    }

    // Hangs up this user's temporary call; no answer comes, the end of the call does.
    void hangUp() {
        const uint32_t none = 0;
        send([&](unsigned char* b, int c) { return cp_temp_group_call(b, c, &none, 1); });
    }

    // A temporary call arriving here, empty when none does.
    std::optional<tw_temp_call_arrived> callArrived() {
        auto body = expect(TW_CMD_TEMP_CALL_ARRIVED);
        tw_temp_call_arrived call{};
        if (!body || on_tmp_call_arrived(&call, body->data(), static_cast<uint32_t>(body->size())) != TW_OK) {
            return std::nullopt;
        }
        return call;
    }

    // Opens a meeting with `invited`: its answer, empty when none comes (in a cluster the
    // other nodes answer first).
    std::optional<Bytes> meetingCall(const std::vector<uint32_t>& invited, uint32_t flag = 1) {
        send([&](unsigned char* b, int c) {
            return cp_meeting_call(b, c, flag, invited.data(), static_cast<uint32_t>(invited.size()));
        });
        return expect(TW_CMD_MEETING_CALL_ACK, 5s);
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

private:
    static int connectTo(uint16_t tcpPort, int receiveBuffer) {
        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(tcp, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        const sockaddr_in server = loopback(tcpPort);
        if (::connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            ::close(tcp);
            return -1;
        }
        return tcp;
    }

    int udp_ = -1;
    uint16_t udpPort_;
};

}  // namespace server_test
