// One client's control connection: reads and unframes requests, frames and queues answers,
// and once the login's exchange has given the connection its keys, opens every request and
// seals every answer (a request that does not open ends the connection). Runs on the
// server's single network thread.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <boost/asio.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "login_exchange.h"
#include "protected_link.h"

namespace talkhub_server {

class Session : public std::enable_shared_from_this<Session> {
public:
    using Clock = std::chrono::steady_clock;
    // Called with each whole message (header and body) that passed the rate limit; a login
    // of the previous protocol version comes too (its header's second byte tells).
    using MessageHandler =
        std::function<void(Session&, const unsigned char* header, const unsigned char* body, uint32_t bodyLength)>;
    using CloseHandler = std::function<void(Session&, const std::string& reason)>;

    Session(boost::asio::ip::tcp::socket socket, uint64_t id, const Limits& limits);

    void start(MessageHandler onMessage, CloseHandler onClose);
    // Frames one message built by talkwire and queues it; a queue over its bound closes
    // the session (a client that does not read is not allowed to grow memory).
    void send(const unsigned char* message, int length);
    // Closes once the queued answers are written.
    void closeAfterSending(const std::string& reason);
    void close(const std::string& reason);

    uint64_t id() const { return id_; }
    bool open() const { return open_; }
    const boost::asio::ip::tcp::endpoint& remote() const { return remote_; }
    const boost::asio::ip::tcp::endpoint& local() const { return local_; }

    // From the next message on, requests are opened and answers sealed with these keys.
    void protect(const talkwire::login::SessionKeys& keys, uint32_t linkId);
    talkwire::ProtectedLink* link() const { return link_.get(); }

    // Protocol state, kept by the server.
    // The login's exchange, from the server's answer to the client's confirmation.
    std::unique_ptr<talkwire::login::ServerLogin> exchange;
    const Account* confirming = nullptr;  // the account that exchange is for
    // The newest datagram that came for that account before its confirmation, and whence.
    std::vector<unsigned char> earlyDatagram;
    boost::asio::ip::udp::endpoint earlyFrom;
    const Account* account = nullptr;
    uint32_t currentGroup = 0;
    uint32_t callGroup = 0;  // the group of the temporary call or meeting the user is in
    const Clock::time_point opened = Clock::now();
    Clock::time_point lastHeard = opened;
    std::optional<boost::asio::ip::udp::endpoint> voiceEndpoint;
    bool released = false;  // the server has let go of this session's account and floors
    bool inLogin = false;   // counted among the connections that have not logged in yet

    uint64_t droppedRequests() const { return dropped_; }

private:
    void readMore();
    void onBytes(std::size_t size);
    bool admit();
    void writeMore();
    void onFrame(unsigned char* frame, uint32_t size);

    boost::asio::ip::tcp::socket socket_;
    uint64_t id_;
    const Limits& limits_;
    boost::asio::ip::tcp::endpoint remote_;
    boost::asio::ip::tcp::endpoint local_;
    MessageHandler onMessage_;
    CloseHandler onClose_;
    std::array<unsigned char, 4096> readBuffer_{};
    std::vector<unsigned char> frameBuffer_;
    std::deque<std::vector<unsigned char>> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool open_ = true;
    bool closing_ = false;
    std::string closeReason_;
    Clock::time_point windowStart_ = Clock::now();
    uint32_t requestsInWindow_ = 0;
    uint64_t dropped_ = 0;
    // Bytes read since the last whole frame, and frames that did not decode: a stream of
    // neither gets the connection closed.
    std::size_t bytesSinceFrame_ = 0;
    uint32_t undecodable_ = 0;
    std::unique_ptr<talkwire::ProtectedLink> link_;
    std::vector<unsigned char> sealed_;
};

}  // namespace talkhub_server
