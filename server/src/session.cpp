#include "session.h"

#include <spdlog/spdlog.h>
#include <talkwire.h>

#include "framing.h"

namespace talkhub_server {

namespace asio = boost::asio;

namespace {
constexpr uint32_t kFrameBufferSize = 10240;
// A frame, every byte escaped, with its two flags: more bytes than this without a frame
// are no framing at all.
constexpr std::size_t kLongestStuffedFrame = 2 * kFrameBufferSize + 2;
}  // namespace

Session::Session(asio::ip::tcp::socket socket, uint64_t id, const Limits& limits)
    : socket_(std::move(socket)), id_(id), limits_(limits), frameBuffer_(kFrameBufferSize, 0) {
    boost::system::error_code ignored;
    remote_ = socket_.remote_endpoint(ignored);
    local_ = socket_.local_endpoint(ignored);
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
}

void Session::start(MessageHandler onMessage, CloseHandler onClose) {
    onMessage_ = std::move(onMessage);
    onClose_ = std::move(onClose);
    readMore();
}

void Session::readMore() {
    socket_.async_read_some(asio::buffer(readBuffer_),
                            [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                if (!self->open_) {
                                    return;
                                }
                                if (error) {
                                    self->close(error == asio::error::eof ? "peer closed" : error.message());
                                    return;
                                }
                                self->onBytes(size);
                                if (self->open_) {
                                    self->readMore();
                                }
                            });
}

void Session::onBytes(std::size_t size) {
    for (std::size_t i = 0; i < size && open_; ++i) {
        unsigned char* frame = nullptr;
        decode_tcp_packet_hdlc(frameBuffer_.data(), kFrameBufferSize, readBuffer_[i], &frame);
        if (frame == nullptr) {
            if (++bytesSinceFrame_ > kLongestStuffedFrame) close("bytes that form no frame");
            continue;
        }
        bytesSinceFrame_ = 0;
        onFrame(frameBuffer_.data(), static_cast<uint32_t>(frame[1] | frame[2] << 8) + 2);
    }
}

void Session::onFrame(unsigned char* frame, uint32_t size) {
    namespace framing = talkwire::framing;
    std::span<unsigned char> message;
    if (framing::unframe(frame, size, message) != TW_OK) {
        spdlog::warn("session {} ({}): undecodable frame dropped", id_, remote_.address().to_string());
        if (++undecodable_ >= limits_.undecodableFramesBeforeClose) close("frames that do not decode");
        return;
    }
    if (link_ && !link_->openControlInPlace(message)) {
        close("a request did not open: altered, injected, dropped or out of order");
        return;
    }
    tw_packet packet{};
    const bool oldLogin =
        !link_ && message.size() >= 2 && message[0] == TW_CMD_LOGIN && message[1] == TW_OLD_PROTOCOL_VERSION;
    if (oldLogin) {
        packet = {message.data(), 2, message.data() + 2, static_cast<uint32_t>(message.size() - 2)};
    } else if (framing::readMessage(message, &packet) <= 0) {
        spdlog::warn("session {} ({}): undecodable frame dropped", id_, remote_.address().to_string());
        if (++undecodable_ >= limits_.undecodableFramesBeforeClose) close("frames that do not decode");
        return;
    }
    if (admit()) {
        onMessage_(*this, packet.header, packet.body, packet.bodyLength);
    }
}

void Session::protect(const talkwire::login::SessionKeys& keys, uint32_t linkId) {
    link_ = std::make_unique<talkwire::ProtectedLink>(talkwire::ProtectedLink::End::kServer, keys, linkId);
}

// A per-second request budget; requests over it are dropped, and a session that keeps
// flooding is closed.
bool Session::admit() {
    const auto now = Clock::now();
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        requestsInWindow_ = 0;
    }
    if (++requestsInWindow_ <= limits_.requestsPerSecond) {
        return true;
    }
    ++dropped_;
    spdlog::warn("session {} ({}): over {} requests per second, request dropped", id_, remote_.address().to_string(),
                 limits_.requestsPerSecond);
    if (dropped_ >= limits_.droppedRequestsBeforeClose) {
        close("request flood");
    }
    return false;
}

void Session::send(const unsigned char* message, int length) {
    if (!open_ || closing_ || length <= 0) {
        return;
    }
    if (link_) {
        if (!link_->sealControl({message, static_cast<std::size_t>(length)}, sealed_)) {
            close("no key left to seal an answer");
            return;
        }
        message = sealed_.data();
        length = static_cast<int>(sealed_.size());
    }
    std::vector<unsigned char> framed(2 * static_cast<std::size_t>(length) + 8);
    const uint16_t size = talkwire::framing::frame(message, static_cast<uint16_t>(length), framed.data(),
                                                   static_cast<uint16_t>(std::min<std::size_t>(framed.size(), 0xFFFF)));
    if (size == 0) {
        spdlog::error("session {}: answer of {} bytes could not be framed", id_, length);
        return;
    }
    framed.resize(size);
    if (queuedBytes_ + size > limits_.sendQueueBytes) {
        close("send queue over " + std::to_string(limits_.sendQueueBytes) + " bytes: client too slow");
        return;
    }
    queuedBytes_ += size;
    queue_.push_back(std::move(framed));
    writeMore();
}

void Session::writeMore() {
    if (writing_ || queue_.empty() || !open_) {
        if (queue_.empty() && closing_) {
            close(closeReason_);
        }
        return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(queue_.front()),
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                          self->writing_ = false;
                          if (!self->open_) {
                              return;
                          }
                          if (error) {
                              self->close(error.message());
                              return;
                          }
                          self->queuedBytes_ -= self->queue_.front().size();
                          self->queue_.pop_front();
                          self->writeMore();
                      });
}

void Session::closeAfterSending(const std::string& reason) {
    closing_ = true;
    closeReason_ = reason;
    writeMore();
}

void Session::close(const std::string& reason) {
    if (!open_) {
        return;
    }
    open_ = false;
    boost::system::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    if (onClose_) {
        auto handler = std::move(onClose_);
        handler(*this, reason);
    }
}

}  // namespace talkhub_server
