// Hostile clients at the reference server: each input is a chunk of a logged-in member's
// signalling stream (first byte even) or a datagram from its voice endpoint (odd), handled
// by the real server, on loopback sockets, on this thread; with the first byte's second bit
// set, as it is (what a stranger on the path could send), else its messages or its datagram
// sealed by the member (what a member could send). A second member of the same group hears
// what is relayed. A member the server closes logs in again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "datagram_format.h"
#include "fuzz_wire.h"
#include "server.h"

namespace {

using fuzz_support::Bytes;
using fuzz_support::framed;
using fuzz_support::loopback;

class ServerUnderFire {
public:
    struct Member {
        const char* account;
        uint32_t userId;
        int tcp = -1;
        int udp = -1;
        std::unique_ptr<test_kit::WireEnd> wire;
    };

    static ServerUnderFire& instance() {
        static ServerUnderFire server;
        return server;
    }

    void stream(const unsigned char* data, std::size_t size, bool raw) {
        ensureJoined(alice_);
        // Two escapes discard a frame that an earlier input left half done.
        static const unsigned char reset[2] = {0x7D, 0x7D};
        ::send(alice_.tcp, reset, sizeof reset, MSG_NOSIGNAL);
        const Bytes bytes = raw ? Bytes(data, data + size) : fuzz_support::resealed(*alice_.wire, data, size);
        if (!bytes.empty()) ::send(alice_.tcp, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        settle();
    }

    void datagram(const unsigned char* data, std::size_t size, bool raw) {
        ensureJoined(alice_);
        const Bytes bytes = raw ? Bytes(data, data + size) : alice_.wire->sealDatagram(Bytes(data, data + size));
        const sockaddr_in server = loopback(server_.udpPort());
        ::sendto(alice_.udp, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        settle();
    }

private:
    ServerUnderFire() : server_(io_, config()) {
        server_.start();
        ensureJoined(alice_);
        ensureJoined(bob_);
    }

    static talkhub_server::ServerConfig config() {
        spdlog::set_level(spdlog::level::off);
        talkhub_server::ServerConfig config = talkhub_server::defaultConfig();
        config.bindAddress = "127.0.0.1";
        config.tcpPort = 0;
        config.udpPort = 0;
        config.limits.floorGraceMs = 0;
        return config;
    }

    // Runs the server until it has nothing left to do, and empties both members' sockets.
    void settle() {
        for (int round = 0; round < 8 && io_.poll() > 0; ++round) {
        }
        drain(alice_);
        drain(bob_);
    }

    static void drain(Member& member) {
        unsigned char bytes[65536];
        for (int fd : {member.tcp, member.udp}) {
            while (fd >= 0) {
                const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
                if (got > 0) continue;
                if (got == 0 && fd == member.tcp) {
                    ::close(member.tcp);
                    member.tcp = -1;
                }
                break;
            }
        }
    }

    // Waits, running the server, until the member's connection has something to read.
    bool answered(const Member& member) {
        for (int round = 0; round < 2000; ++round) {
            io_.poll();
            pollfd ready{member.tcp, POLLIN, 0};
            if (::poll(&ready, 1, 1) > 0) return true;
        }
        return false;
    }

    // Logs the member in and enters group 1, when the server has closed its connection.
    void ensureJoined(Member& member) {
        if (member.tcp >= 0) return;
        if (member.udp < 0) {
            member.udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const sockaddr_in any = loopback(0);
            ::bind(member.udp, reinterpret_cast<const sockaddr*>(&any), sizeof any);
        }
        member.tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in server = loopback(server_.tcpPort());
        ::connect(member.tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        member.wire = std::make_unique<test_kit::WireEnd>();
        const std::string share = member.wire->startLogin(member.account, member.account);
        const Bytes login =
            framed([&](unsigned char* b, int c) { return cp_login(b, c, member.account, share.c_str(), 0); });
        ::send(member.tcp, login.data(), login.size(), MSG_NOSIGNAL);
        if (!answered(member)) std::abort();
        Bytes answer(4096);
        answer.resize(static_cast<std::size_t>(
            std::max<ssize_t>(::recv(member.tcp, answer.data(), answer.size(), MSG_DONTWAIT), 0)));
        Bytes confirmation;
        if (!member.wire->finishLogin(answerIn(*member.wire, answer), confirmation)) std::abort();
        ::send(member.tcp, confirmation.data(), confirmation.size(), MSG_NOSIGNAL);
        // The voice endpoint, then the group.
        unsigned char heartbeat[TW_DATAGRAM_SIZE];
        const int length = talkwire::datagrams::heartbeat(heartbeat, sizeof heartbeat, member.userId);
        const Bytes sealed = member.wire->sealDatagram(Bytes(heartbeat, heartbeat + length));
        const sockaddr_in voice = loopback(server_.udpPort());
        ::sendto(member.udp, sealed.data(), sealed.size(), 0, reinterpret_cast<const sockaddr*>(&voice), sizeof voice);
        unsigned char message[64];
        const Bytes enter = member.wire->frame(message, cp_activate_group(message, sizeof message, 1));
        ::send(member.tcp, enter.data(), enter.size(), MSG_NOSIGNAL);
        if (!answered(member)) std::abort();
        settle();
    }

    // The login answer framed in `bytes`, read as the member's end reads.
    static tw_login_ack answerIn(test_kit::WireEnd& wire, const Bytes& bytes) {
        tw_login_ack answer{};
        Bytes buffer(10240, 0);
        for (unsigned char byte : bytes) {
            unsigned char* frame = nullptr;
            talkwire::framing::decode(buffer.data(), static_cast<uint32_t>(buffer.size()), byte, &frame);
            const auto message = frame != nullptr
                                     ? wire.read(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2)
                                     : std::nullopt;
            if (message && (*message)[0] == TW_CMD_LOGIN_ACK) {
                test_kit::parseLoginAnswer(answer, message->data() + 2, static_cast<uint32_t>(message->size() - 2));
            }
        }
        return answer;
    }

    boost::asio::io_context io_;
    talkhub_server::Server server_;
    Member alice_{"alice", 1001, -1, -1, nullptr};
    Member bob_{"bob", 1002, -1, -1, nullptr};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ServerUnderFire& server = ServerUnderFire::instance();
    const bool raw = (data[0] & 2) != 0;
    if ((data[0] & 1) == 0) {
        server.stream(data + 1, size - 1, raw);
    } else {
        server.datagram(data + 1, size - 1, raw);
    }
    return 0;
}
