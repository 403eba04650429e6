// Voice datagrams in batches: what waits on the voice socket is taken with one recvmmsg,
// and every relay the batch causes goes out with one sendmmsg per chunk, in the order it
// was queued. A talker's datagram fans out to every other member of the group, so at load
// the relay is mostly sends: one system call per chunk instead of one per listener.
#pragma once

#include <sys/socket.h>

#include <array>
#include <boost/asio/ip/udp.hpp>
#include <cstddef>
#include <memory>
#include <vector>

namespace talkhub_server {

class DatagramBatch {
public:
    static constexpr std::size_t kDatagrams = 32;
    static constexpr std::size_t kDatagramBytes = 2048;

    DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Takes up to kDatagrams from the non-blocking socket: their count, 0 when none waits,
    // -errno on a failure.
    int receive(int socket);
    unsigned char* data(std::size_t i) { return buffers_[i].data(); }
    std::size_t size(std::size_t i) const { return messages_[i].msg_len; }
    // A datagram longer than a buffer arrives cut short: it is not to be used.
    bool truncated(std::size_t i) const { return (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
    boost::asio::ip::udp::endpoint from(std::size_t i) const;

    // Room for `size` bytes (at most kDatagramBytes) that the caller fills and queues: it
    // stays until the next flush.
    unsigned char* space(std::size_t size);
    // Queues a send of bytes that stay unchanged until the next flush (a received datagram
    // of this batch, room from space(), or bytes of the caller's that live as long).
    void queue(const unsigned char* data, std::size_t size, const boost::asio::ip::udp::endpoint& to);
    struct Flushed {
        std::size_t sent = 0;
        std::size_t dropped = 0;  // the socket's send buffer was full
        int error = 0;            // the errno of the last other failure; its datagram is skipped
    };
    // Sends everything queued, in order.
    Flushed flush(int socket);

private:
    struct Outgoing {
        const unsigned char* data;
        std::size_t size;
        boost::asio::ip::udp::endpoint to;
    };

    std::vector<std::array<unsigned char, kDatagramBytes>> buffers_;
    std::array<iovec, kDatagrams> receiveVectors_{};
    std::array<sockaddr_storage, kDatagrams> senders_{};
    std::array<mmsghdr, kDatagrams> messages_{};
    std::vector<Outgoing> outgoing_;
    // What space() hands out: blocks kept from flush to flush, filled from the first.
    static constexpr std::size_t kBlockBytes = 64 * 1024;
    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t block_ = 0;
    std::size_t used_ = 0;
    std::vector<iovec> sendVectors_;
    std::vector<mmsghdr> sendMessages_;
};

}  // namespace talkhub_server
