// The library logged in, for fuzz targets that feed it what a hostile server could send:
// the real service with its real threads (network, play, capture, heartbeats), a speaker on
// SDL's dummy driver and ALSA's null microphone, logged in as alice at a small peer on
// loopback that answers the login, the group list, the group entry and the logout, and
// reads (and drops) everything else. Members 1002 (group 1) and 1003 (group 2) have taken
// the floor, so that voice datagrams from them are heard.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_wire.h"
#include "media/audio_media.h"
#include "service/instance.h"
#include "signalling/voice_talk.h"
#include "talkhub.h"

namespace fuzz_support {

inline void ignoreLogin(int, const char*) {}

class LoggedInService {
public:
    static LoggedInService& instance() {
        static LoggedInService service;
        return service;
    }

    CVoiceTalk& talk() { return *talkhub::serviceInstance(); }

    // Logs in again when an input logged the service out or dropped its connection.
    void ensureLoggedIn() {
        if (talk().getLoginState() == 2 && talk().hasSocket()) return;
        loginout();
        setServerInfo("127.0.0.1", port_);
        if (login("alice", "alice", ignoreLogin) != 0) std::abort();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (talk().getLoginState() != 2 || talk().getCurrentGroupId() == 0) {
            if (std::chrono::steady_clock::now() > until) {
                std::fprintf(stderr, "fuzz harness: the login did not complete\n");
                std::abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const tw_member_get_mic& member :
             {tw_member_get_mic{1, 1002, "bob"}, tw_member_get_mic{2, 1003, "carol"}}) {
            receive(framed([&](unsigned char* b, int c) { return srv_build_member_get_mic(b, c, &member); }));
        }
    }

    // Bytes as the signalling connection delivers them, after two escapes that discard any
    // frame a previous input left half done: each input is judged on its own.
    void receive(const Bytes& bytes) { receive(bytes.data(), bytes.size()); }
    void receive(const unsigned char* data, std::size_t size) {
        static const unsigned char reset[2] = {0x7D, 0x7D};
        talk().onVoiceCtrlDataCallback(nullptr, sizeof reset, reset);
        if (size > 0) talk().onVoiceCtrlDataCallback(nullptr, static_cast<int>(size), data);
    }

    uint16_t voicePort() const { return voicePort_; }

private:
    LoggedInService() {
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("talkhub-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "asound.conf") << "pcm.!default { type null }\n";
        ::setenv("ALSA_CONFIG_PATH", (folder / "asound.conf").c_str(), 1);
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);

        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        voice_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        address.sin_port = 0;
        ::bind(voice_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::getsockname(voice_, reinterpret_cast<sockaddr*>(&address), &length);
        voicePort_ = ntohs(address.sin_port);
        // The peer lives as long as the process: the fuzzer ends it by exiting.
        std::thread([this] { servePeer(); }).detach();
        std::thread([this] { drainVoice(); }).detach();

        initialize();
        // The fuzzer ends the process with exit(): the service ends first, as a host ends it.
        std::atexit([] { unInitialize(); });
        ensureLoggedIn();
    }

    // One connection at a time: each login opens a new one.
    void servePeer() {
        while (true) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            Bytes buffer(10240);
            unsigned char chunk[4096];
            while (true) {
                const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
                if (got <= 0) break;
                for (ssize_t i = 0; i < got; ++i) {
                    unsigned char* frame = nullptr;
                    decode_tcp_packet_hdlc(buffer.data(), static_cast<uint32_t>(buffer.size()), chunk[i], &frame);
                    if (frame != nullptr) answer(connection, frame[3]);
                }
            }
            ::close(connection);
        }
    }

    void answer(int connection, unsigned char command) {
        Bytes reply;
        if (command == TW_CMD_LOGIN) {
            tw_login_ack ack{};
            std::strcpy(ack.voiceAddress, "127.0.0.1");
            ack.voicePort = voicePort_;
            ack.heartbeatInterval = 8000;
            ack.voiceHeartbeatInterval = 8000;
            ack.userId = 1001;
            ack.markerId = 1001;
            reply = framed([&](unsigned char* b, int c) { return srv_build_login_ack(b, c, &ack); });
        } else if (command == TW_CMD_QUERY_GROUPS) {
            const tw_group_entry groups[2] = {{1, "alpha"}, {2, "bravo"}};
            reply = framed([&](unsigned char* b, int c) { return srv_build_group_list(b, c, groups, 2); });
        } else if (command == TW_CMD_ACTIVATE_GROUP) {
            const tw_join_group_ack joined{0, 0, 1, 1001};
            reply = framed([&](unsigned char* b, int c) { return srv_build_join_group_ack(b, c, &joined); });
        } else if (command == TW_CMD_LOGOUT) {
            reply = framed([](unsigned char* b, int c) { return srv_build_logout_ack(b, c); });
        }
        if (!reply.empty()) ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    void drainVoice() {
        unsigned char datagram[2048];
        while (::recv(voice_, datagram, sizeof datagram, 0) >= 0 || errno == EINTR) {
        }
    }

    int listener_ = -1;
    int voice_ = -1;
    uint16_t port_ = 0;
    uint16_t voicePort_ = 0;
};

}  // namespace fuzz_support
