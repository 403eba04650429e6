// One direction of a protected connection: ChaCha20-Poly1305 (RFC 8439) under a key of its
// own, each message under the next value of a 64-bit counter, which is the nonce's last eight
// bytes (little-endian, after four zero bytes). Control messages carry no counter: both ends
// count, and a message that fails to open ends the connection. Datagrams carry theirs, and
// the receiver's ReplayWindow takes each counter once.
//
// A key seals at most kMessagesPerKey messages; after that it refuses, and the connection
// must change keys (ProtectedLink does). The key is wiped when its holder goes.
#pragma once

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace talkwire {

class Sealer {
public:
    static constexpr std::size_t kKeyBytes = crypto_aead_chacha20poly1305_IETF_KEYBYTES;
    static constexpr std::size_t kTagBytes = crypto_aead_chacha20poly1305_IETF_ABYTES;
    // Far below the counter's wrap and the cipher's limits for one key, far above what a
    // session sends: 2^32 messages is 13 years of voice at ten datagrams a second.
    static constexpr uint64_t kMessagesPerKey = uint64_t{1} << 32;

    // A smaller `messagesPerKey` lets a test reach the limit.
    explicit Sealer(std::span<const uint8_t, kKeyBytes> key, uint64_t messagesPerKey = kMessagesPerKey);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    // Seals `message` into `out` (message.size() + kTagBytes), bound to `associated`, under
    // the next counter, which it returns; empty once the key is spent.
    std::optional<uint64_t> seal(std::span<const uint8_t> message, std::span<const uint8_t> associated, uint8_t* out);
    // Opens what was sealed under `counter` into `out` (sealed.size() − kTagBytes); false for
    // anything altered, sealed under another key or counter, or shorter than a tag.
    bool open(uint64_t counter, std::span<const uint8_t> sealed, std::span<const uint8_t> associated,
              uint8_t* out) const;

    uint64_t sealed() const { return next_; }
    bool spent() const { return next_ >= limit_; }

private:
    std::array<uint8_t, kKeyBytes> key_{};
    uint64_t limit_;
    uint64_t next_ = 0;
};

}  // namespace talkwire
