// Hostile clients at the reference server: each input is a chunk of a logged-in member's
// signalling stream (first byte even) or a datagram from its voice endpoint (odd), handled
// by the real server, on loopback sockets, on this thread. A second member of the same
// group hears what is relayed. A member the server closes logs in again.
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
        // Derived at the first login: each later one costs only its proof.
        std::optional<std::array<unsigned char, TW_LOGIN_KEY_SIZE>> key{};
    };

    static ServerUnderFire& instance() {
        static ServerUnderFire server;
        return server;
    }

    void stream(const unsigned char* data, std::size_t size) {
        ensureJoined(alice_);
        // Two escapes discard a frame that an earlier input left half done.
        static const unsigned char reset[2] = {0x7D, 0x7D};
        ::send(alice_.tcp, reset, sizeof reset, MSG_NOSIGNAL);
        if (size > 0) ::send(alice_.tcp, data, size, MSG_NOSIGNAL);
        settle();
    }

    void datagram(const unsigned char* data, std::size_t size) {
        ensureJoined(alice_);
        const sockaddr_in server = loopback(server_.udpPort());
        ::sendto(alice_.udp, data, size, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
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
        if (!member.key) {
            member.key.emplace();
            derive_login_key(member.account, member.account, member.key->data());
        }
        char encoded[TW_ENCODED_PASSWORD_SIZE] = {};
        encode_login_proof(member.account, member.key->data(), std::time(nullptr), encoded);
        const Bytes login = framed([&](unsigned char* b, int c) { return cp_login(b, c, member.account, encoded, 0); });
        ::send(member.tcp, login.data(), login.size(), MSG_NOSIGNAL);
        if (!answered(member)) std::abort();
        unsigned char answer[4096];
        ::recv(member.tcp, answer, sizeof answer, MSG_DONTWAIT);
        // The voice endpoint, then the group.
        unsigned char heartbeat[TW_DATAGRAM_SIZE];
        const int length = cp_rtp_heartbeat(heartbeat, sizeof heartbeat, member.userId);
        const sockaddr_in voice = loopback(server_.udpPort());
        ::sendto(member.udp, heartbeat, static_cast<std::size_t>(length), 0, reinterpret_cast<const sockaddr*>(&voice),
                 sizeof voice);
        const Bytes enter = framed([](unsigned char* b, int c) { return cp_activate_group(b, c, 1); });
        ::send(member.tcp, enter.data(), enter.size(), MSG_NOSIGNAL);
        if (!answered(member)) std::abort();
        settle();
    }

    boost::asio::io_context io_;
    talkhub_server::Server server_;
    Member alice_{"alice", 1001};
    Member bob_{"bob", 1002};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ServerUnderFire& server = ServerUnderFire::instance();
    if ((data[0] & 1) == 0) {
        server.stream(data + 1, size - 1);
    } else {
        server.datagram(data + 1, size - 1);
    }
    return 0;
}
