#include "datagram_batch.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace talkhub_server {

namespace {

// The most messages one sendmmsg takes.
constexpr std::size_t kSendChunk = UIO_MAXIOV;

}  // namespace

DatagramBatch::DatagramBatch() : buffers_(kDatagrams) {
    for (std::size_t i = 0; i < kDatagrams; ++i) receiveVectors_[i] = {buffers_[i].data(), kDatagramBytes};
}

int DatagramBatch::receive(int socket) {
    for (std::size_t i = 0; i < kDatagrams; ++i) {
        messages_[i] = {};
        messages_[i].msg_hdr.msg_name = &senders_[i];
        messages_[i].msg_hdr.msg_namelen = sizeof senders_[i];
        messages_[i].msg_hdr.msg_iov = &receiveVectors_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
    }
    const int got = ::recvmmsg(socket, messages_.data(), kDatagrams, MSG_DONTWAIT, nullptr);
    if (got >= 0) return got;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -errno;
}

boost::asio::ip::udp::endpoint DatagramBatch::from(std::size_t i) const {
    boost::asio::ip::udp::endpoint endpoint;
    const std::size_t length = std::min<std::size_t>(messages_[i].msg_hdr.msg_namelen, endpoint.capacity());
    std::memcpy(endpoint.data(), &senders_[i], length);
    endpoint.resize(length);
    return endpoint;
}

void DatagramBatch::queue(const unsigned char* data, std::size_t size, const boost::asio::ip::udp::endpoint& to) {
    outgoing_.push_back({data, size, to});
}

DatagramBatch::Flushed DatagramBatch::flush(int socket) {
    Flushed result;
    const std::size_t count = outgoing_.size();
    sendVectors_.resize(count);
    sendMessages_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        Outgoing& out = outgoing_[i];
        sendVectors_[i] = {const_cast<unsigned char*>(out.data), out.size};
        sendMessages_[i] = {};
        sendMessages_[i].msg_hdr.msg_name = out.to.data();
        sendMessages_[i].msg_hdr.msg_namelen = static_cast<socklen_t>(out.to.size());
        sendMessages_[i].msg_hdr.msg_iov = &sendVectors_[i];
        sendMessages_[i].msg_hdr.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < count) {
        const auto chunk = static_cast<unsigned int>(std::min(count - done, kSendChunk));
        const int sent = ::sendmmsg(socket, &sendMessages_[done], chunk, MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            result.sent += static_cast<std::size_t>(sent);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A full send buffer drops what is left, as a full network queue would.
            result.dropped += count - done;
            break;
        } else if (errno != EINTR) {
            // The first datagram of the chunk failed (an unreachable address): it alone goes.
            result.error = errno;
            ++done;
        }
    }
    outgoing_.clear();
    block_ = 0;
    used_ = 0;
    return result;
}

unsigned char* DatagramBatch::space(std::size_t size) {
    if (size > kDatagramBytes) return nullptr;
    if (blocks_.empty() || used_ + size > kBlockBytes) {
        if (!blocks_.empty()) ++block_;
        used_ = 0;
        if (block_ == blocks_.size()) blocks_.push_back(std::make_unique<unsigned char[]>(kBlockBytes));
    }
    unsigned char* room = blocks_[block_].get() + used_;
    used_ += size;
    return room;
}

}  // namespace talkhub_server
