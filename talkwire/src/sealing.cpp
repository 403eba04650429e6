#include "sealing.h"

#include <algorithm>

namespace talkwire {

namespace {

using Nonce = std::array<uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES>;

Nonce nonceOf(uint64_t counter) {
    Nonce nonce{};
    for (std::size_t i = nonce.size() - 8; i < nonce.size(); ++i, counter >>= 8) {
        nonce[i] = static_cast<uint8_t>(counter & 0xff);
    }
    return nonce;
}

}  // namespace

Sealer::Sealer(std::span<const uint8_t, kKeyBytes> key, uint64_t messagesPerKey) : limit_(messagesPerKey) {
    // Picks the fastest implementation once; later calls return at once.
    if (sodium_init() < 0) next_ = limit_;
    std::copy(key.begin(), key.end(), key_.begin());
}

Sealer::~Sealer() { sodium_memzero(key_.data(), key_.size()); }

std::optional<uint64_t> Sealer::seal(std::span<const uint8_t> message, std::span<const uint8_t> associated,
                                     uint8_t* out) {
    if (spent()) return std::nullopt;
    const uint64_t counter = next_++;
    const Nonce nonce = nonceOf(counter);
    unsigned long long size = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(out, &size, message.data(), message.size(), associated.data(),
                                              associated.size(), nullptr, nonce.data(), key_.data());
    return counter;
}

bool Sealer::open(uint64_t counter, std::span<const uint8_t> sealed, std::span<const uint8_t> associated,
                  uint8_t* out) const {
    if (sealed.size() < kTagBytes) return false;
    const Nonce nonce = nonceOf(counter);
    unsigned long long size = 0;
    return crypto_aead_chacha20poly1305_ietf_decrypt(out, &size, nullptr, sealed.data(), sealed.size(),
                                                     associated.data(), associated.size(), nonce.data(),
                                                     key_.data()) == 0;
}

}  // namespace talkwire
