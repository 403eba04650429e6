// The library logged in, for fuzz targets that feed it what a hostile server could send:
// the real service with its real threads (network, play, capture, heartbeats), a speaker on
// SDL's dummy driver and ALSA's null microphone, logged in as alice at a small peer on
// loopback that answers the login (with the key exchange), the group list, the group entry
// and the logout, and reads (and drops) everything else. An input's messages reach the
// library sealed by the peer, as a hostile server would seal them. Members 1002 (group 1) and 1003 (group 2) have taken
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
#include <mutex>
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
    // Never destroyed: the peer's threads run until the process is gone, after the statics.
    static LoggedInService& instance() {
        static LoggedInService* const service = new LoggedInService;
        return *service;
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

    // A datagram as the voice server sends it to the library: sealed by the peer.
    Bytes sealedDatagram(const Bytes& plain) {
        std::lock_guard lock(wireLock_);
        return wire_ ? wire_->sealDatagram(plain) : plain;
    }

    // The messages framed in the bytes, sealed by the peer, as the signalling connection
    // delivers them, after two escapes that discard any frame a previous input left half
    // done: each input is judged on its own.
    void receive(const Bytes& bytes) { receive(bytes.data(), bytes.size()); }
    void receive(const unsigned char* data, std::size_t size) {
        static const unsigned char reset[2] = {0x7D, 0x7D};
        talk().onVoiceCtrlDataCallback(nullptr, sizeof reset, reset);
        Bytes sealed;
        {
            std::lock_guard lock(wireLock_);
            if (wire_) sealed = resealed(*wire_, data, size);
        }
        if (!sealed.empty()) talk().onVoiceCtrlDataCallback(nullptr, static_cast<int>(sealed.size()), sealed.data());
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
            {
                std::lock_guard lock(wireLock_);
                wire_ = std::make_unique<test_kit::WireEnd>();
            }
            Bytes buffer(10240);
            unsigned char chunk[4096];
            while (true) {
                const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
                if (got <= 0) break;
                for (ssize_t i = 0; i < got; ++i) {
                    unsigned char* frame = nullptr;
                    talkwire::framing::decode(buffer.data(), static_cast<uint32_t>(buffer.size()), chunk[i], &frame);
                    if (frame == nullptr) continue;
                    std::lock_guard lock(wireLock_);
                    const auto message =
                        wire_->read(buffer.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2);
                    if (message) answer(connection, *message);
                }
            }
            ::close(connection);
        }
    }

    // Under the wire's lock.
    void answer(int connection, const Bytes& message) {
        const unsigned char command = message[0];
        unsigned char built[4096];
        int length = 0;
        if (command == TW_CMD_LOGIN) {
            tw_login_request request{};
            srv_parse_login(&request, message.data() + 2, static_cast<uint32_t>(message.size() - 2));
            tw_login_ack ack{};
            std::strcpy(ack.voiceAddress, "127.0.0.1");
            ack.voicePort = voicePort_;
            ack.heartbeatInterval = 8000;
            ack.voiceHeartbeatInterval = 8000;
            ack.userId = 1001;
            ack.markerId = 1001;
            wire_->answerLogin(request.account, request.account, request.encodedPassword, ack);
            length = srv_build_login_ack(built, sizeof built, &ack);
        } else if (command == TW_CMD_QUERY_GROUPS) {
            const tw_group_entry groups[2] = {{1, "alpha"}, {2, "bravo"}};
            length = srv_build_group_list(built, sizeof built, groups, 2);
        } else if (command == TW_CMD_ACTIVATE_GROUP) {
            const tw_join_group_ack joined{0, 0, 1, 1001};
            length = srv_build_join_group_ack(built, sizeof built, &joined);
        } else if (command == TW_CMD_LOGOUT) {
            length = srv_build_logout_ack(built, sizeof built);
        }
        const Bytes reply = length > 0 ? wire_->frame(built, length) : Bytes{};
        if (!reply.empty()) ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    void drainVoice() {
        unsigned char datagram[2048];
        while (::recv(voice_, datagram, sizeof datagram, 0) >= 0 || errno == EINTR) {
        }
    }

    std::mutex wireLock_;
    // The peer's end of the library's present connection.
    std::unique_ptr<test_kit::WireEnd> wire_;
    int listener_ = -1;
    int voice_ = -1;
    uint16_t port_ = 0;
    uint16_t voicePort_ = 0;
};

}  // namespace fuzz_support
