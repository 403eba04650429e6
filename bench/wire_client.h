// The client side of the control connection for benchmarks: a blocking socket, messages
// framed and read back, sealed once logged in with keys of the client's own
// (test_kit::WireEnd), so that a benchmark may run the library in the same process.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <talkwire.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framing.h"
#include "loopback_wire.h"
#include "wire_end.h"

namespace bench {

using test_kit::frame;
using test_kit::loopback;

class WireClient {
public:
    explicit WireClient(int fd) : fd_(fd), buffer_(10240, 0) {}

    // Sends one message, sealed once logged in.
    void send(const unsigned char* message, int length) {
        const std::vector<unsigned char> framed = wire_.frame(message, length);
        ::send(fd_, framed.data(), framed.size(), MSG_NOSIGNAL);
    }

    // Blocks until one message arrives; returns its command id, 0 when the connection ends.
    unsigned char next() {
        while (true) {
            for (; position_ < filled_; ++position_) {
                unsigned char* done = nullptr;
                talkwire::framing::decode(buffer_.data(), static_cast<uint32_t>(buffer_.size()), chunk_[position_],
                                          &done);
                if (done == nullptr) continue;
                auto message = wire_.read(buffer_.data(), static_cast<uint32_t>(done[1] | done[2] << 8) + 2);
                if (!message) continue;
                ++position_;
                last_ = std::move(*message);
                return last_[0];
            }
            const ssize_t size = ::recv(fd_, chunk_, sizeof chunk_, 0);
            if (size <= 0) return 0;
            position_ = 0;
            filled_ = static_cast<std::size_t>(size);
        }
    }

    // Logs in with the share a wire().startLogin made: true when the server accepted and
    // proved itself (the confirmation then goes out).
    bool logIn(const char* account, const std::string& share) {
        unsigned char message[512];
        send(message, cp_login(message, sizeof message, account, share.c_str(), 0));
        if (next() != TW_CMD_LOGIN_ACK) return false;
        tw_login_ack answer{};
        std::vector<unsigned char> confirmation;
        if (test_kit::parseLoginAnswer(answer, last_.data() + 2, static_cast<uint32_t>(last_.size() - 2)) != TW_OK ||
            !wire_.finishLogin(answer, confirmation)) {
            return false;
        }
        ::send(fd_, confirmation.data(), confirmation.size(), MSG_NOSIGNAL);
        return true;
    }

    // A plain datagram sealed for the server.
    std::vector<unsigned char> seal(const unsigned char* datagram, int length) {
        return wire_.sealDatagram(std::vector<unsigned char>(datagram, datagram + std::max(length, 0)));
    }

    test_kit::WireEnd& wire() { return wire_; }
    int fd() const { return fd_; }

private:
    int fd_;
    test_kit::WireEnd wire_;
    std::vector<unsigned char> buffer_;
    std::vector<unsigned char> last_;
    unsigned char chunk_[4096] = {};
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
};

}  // namespace bench
