// One end of a framed control connection for tests: sends talkwire messages and reads
// whole messages back, with bounded waits; as a client it logs in, as a scripted server it
// answers a login, and from then on it seals and opens everything (test_kit::WireEnd).
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
#include <string>
#include <vector>

#include "loopback_wire.h"
#include "wire_end.h"

namespace test_support {

using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

using test_kit::frame;
using test_kit::loopback;
using test_kit::readable;

// A framed message made by a talkwire builder taking (buffer, capacity).
template <class Build>
Bytes framed(Build build) {
    unsigned char message[10240];
    const int length = build(message, static_cast<int>(sizeof message));
    EXPECT_GT(length, 0);
    return length > 0 ? frame(message, length) : Bytes{};
}

class FramedStream {
public:
    // Takes over a connected TCP socket (-1: not connected).
    explicit FramedStream(int tcp) : tcp_(tcp), buffer_(10240, 0) {}
    ~FramedStream() { closeTcp(); }
    FramedStream(const FramedStream&) = delete;
    FramedStream& operator=(const FramedStream&) = delete;

    bool connected() const { return tcp_ >= 0; }
    void closeTcp() {
        if (tcp_ >= 0) {
            ::close(tcp_);
            tcp_ = -1;
        }
    }

    void sendRaw(const Bytes& bytes) {
        if (recording) recorded.push_back(bytes);
        ::send(tcp_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    int fd() const { return tcp_; }
    // With `recording`, every send as it went on the wire, as an observer captures it.
    bool recording = false;
    std::vector<Bytes> recorded;

    // A message (command id, version, body) framed and sealed once the login is done.
    void sendMessage(const Bytes& message) { sendRaw(wire_.frame(message.data(), static_cast<int>(message.size()))); }

    // A message made by a talkwire builder, framed and sealed for sending now (each sealed
    // message takes the next counter: they go in the order they were made).
    template <class Build>
    Bytes sealed(Build build) {
        unsigned char message[10240];
        const int length = build(message, static_cast<int>(sizeof message));
        EXPECT_GT(length, 0);
        return length > 0 ? wire_.frame(message, length) : Bytes{};
    }

    template <class Build>
    void send(Build build) {
        sendRaw(sealed(build));
    }

    // Client: sends a login and reads its answer; an accepting one that the server proved
    // is confirmed, and the connection is protected from then on. `proven` tells which.
    tw_login_ack logIn(const char* account, const char* password, std::chrono::milliseconds wait = 3000ms,
                       bool* proven = nullptr) {
        return logInWithShare(account, wire_.startLogin(account, password), wait, proven);
    }
    // The same with the share a wire().startLogin made before.
    tw_login_ack logInWithShare(const char* account, const std::string& share, std::chrono::milliseconds wait = 3000ms,
                                bool* proven = nullptr) {
        send([&](unsigned char* b, int c) { return cp_login(b, c, account, share.c_str(), 0); });
        return awaitLogin(wait, proven);
    }
    // The second half: the answer to a login sent before, confirmed when the server proved
    // itself (with `held`, the confirmation is left there for the caller to send).
    tw_login_ack awaitLogin(std::chrono::milliseconds wait = 3000ms, bool* proven = nullptr, Bytes* held = nullptr) {
        tw_login_ack answer{};
        auto body = expect(TW_CMD_LOGIN_ACK, wait);
        EXPECT_TRUE(body.has_value());
        if (!body) return answer;
        EXPECT_EQ(test_kit::parseLoginAnswer(answer, body->data(), static_cast<uint32_t>(body->size())), TW_OK);
        Bytes confirmation;
        const bool accepted = answer.result == 0 && answer.redirectAddress[0] == '\0';
        const bool confirmed = accepted && wire_.finishLogin(answer, confirmation);
        if (proven != nullptr) *proven = confirmed;
        if (confirmed && held != nullptr) {
            *held = confirmation;
        } else if (confirmed) {
            sendRaw(confirmation);
        } else if (accepted) {
            // Not proven: as the library does, the server is told, and its verdict read.
            send([](unsigned char* b, int c) { return cp_login_confirm(b, c, nullptr); });
            answer = tw_login_ack{};
            body = expect(TW_CMD_LOGIN_ACK, wait);
            if (body) test_kit::parseLoginAnswer(answer, body->data(), static_cast<uint32_t>(body->size()));
        }
        return answer;
    }

    // Scripted server: answers the login request read last with `answer`; an accepting one
    // carries the exchange for the account's record made from `password` (by default the
    // account's name, as the tests log in).
    void answerLogin(tw_login_ack answer, const char* password = nullptr) {
        if (answer.result == 0 && answer.redirectAddress[0] == '\0') {
            EXPECT_TRUE(
                wire_.answerLogin(loginAccount_, password != nullptr ? password : loginAccount_, loginShare_, answer));
        }
        send([&](unsigned char* b, int c) { return srv_build_login_ack(b, c, &answer); });
    }

    // Scripted server: reads on until the client's confirmation has given the connection
    // its keys; false when it did not within the wait.
    bool awaitKeys(std::chrono::milliseconds wait = 3000ms) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (wire_.link() == nullptr && std::chrono::steady_clock::now() < until) {
            receive(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
        }
        return wire_.link() != nullptr;
    }

    test_kit::WireEnd& wire() { return wire_; }

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
            if (left.count() <= 0 || !receive(left)) {
                return std::nullopt;
            }
        }
    }

    // Reads what arrives within the wait into the messages still to be taken (a scripted
    // server learns the connection's keys from the client's confirmation this way); false
    // when nothing arrived.
    bool receive(std::chrono::milliseconds wait) {
        if (tcp_ < 0 || !readable(tcp_, wait)) {
            return false;
        }
        unsigned char chunk[4096];
        const ssize_t size = ::recv(tcp_, chunk, sizeof chunk, 0);
        if (size <= 0) {
            peerClosed = true;
            return false;
        }
        for (ssize_t i = 0; i < size; ++i) {
            unsigned char* completed = nullptr;
            talkwire::framing::decode(buffer_.data(), 10240, chunk[i], &completed);
            if (completed == nullptr) continue;
            auto message = wire_.read(buffer_.data(), static_cast<uint32_t>(completed[1] | completed[2] << 8) + 2);
            if (!message) continue;
            if ((*message)[0] == TW_CMD_LOGIN) rememberLogin(*message);
            pending_.push_back(std::move(*message));
        }
        return true;
    }

    // The body of the next message with this command id; others on the way are skipped.
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

    bool peerClosed = false;

private:
    void rememberLogin(const Bytes& message) {
        tw_login_request request{};
        if (srv_parse_login(&request, message.data() + 2, static_cast<uint32_t>(message.size() - 2)) == TW_OK) {
            loginAccount_ = request.account;
            loginShare_ = request.encodedPassword;
        }
    }

    test_kit::WireEnd wire_;
    std::string loginAccount_;
    std::string loginShare_;
    int tcp_ = -1;
    Bytes buffer_;
    std::vector<Bytes> pending_;
};

}  // namespace test_support
