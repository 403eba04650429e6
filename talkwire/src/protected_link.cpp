#include "protected_link.h"

#include <sodium.h>

#include "hkdf.h"

namespace talkwire {

namespace {

constexpr const char* kNextKey = "talkhub next key";

void writeCounter(uint8_t* out, uint64_t counter) {
    for (int i = 0; i < 8; ++i, counter >>= 8) out[i] = static_cast<uint8_t>(counter & 0xff);
}

uint64_t readCounter(const uint8_t* in) {
    uint64_t counter = 0;
    for (int i = 7; i >= 0; --i) counter = counter << 8 | in[i];
    return counter;
}

}  // namespace

ProtectedLink::Keys::Keys(const login::SessionKeys::Key& first, uint64_t messagesPerKey)
    : key_(first), limit_(messagesPerKey), sealer_(std::make_unique<Sealer>(key_, limit_)) {}

ProtectedLink::Keys::~Keys() { sodium_memzero(key_.data(), key_.size()); }

Sealer* ProtectedLink::Keys::sealing() {
    if (sealer_ && sealer_->spent()) advance();
    return sealer_.get();
}

void ProtectedLink::Keys::advance() {
    login::SessionKeys::Key next{};
    const bool made = hkdf(key_.data(), key_.size(), kNextKey, next.data(), next.size());
    key_ = next;
    sodium_memzero(next.data(), next.size());
    ++epoch_;
    sealer_ = made ? std::make_unique<Sealer>(key_, limit_) : nullptr;
}

std::unique_ptr<ProtectedLink::Keys> ProtectedLink::Keys::following() const {
    auto next = std::make_unique<Keys>(key_, limit_);
    next->epoch_ = epoch_;
    next->advance();
    return next;
}

ProtectedLink::ProtectedLink(End end, const login::SessionKeys& keys, uint64_t messagesPerKey)
    : messagesPerKey_(messagesPerKey),
      controlOut_(end == End::kClient ? keys.controlUp : keys.controlDown, messagesPerKey),
      controlIn_(end == End::kClient ? keys.controlDown : keys.controlUp, messagesPerKey),
      voiceOut_(end == End::kClient ? keys.voiceUp : keys.voiceDown, messagesPerKey),
      voiceIn_(std::make_unique<Keys>(end == End::kClient ? keys.voiceDown : keys.voiceUp, messagesPerKey)) {}

ProtectedLink::~ProtectedLink() = default;

bool ProtectedLink::sealControl(std::span<const uint8_t> message, uint8_t* out) {
    Sealer* sealer = controlOut_.sealing();
    return sealer != nullptr && sealer->seal(message, {}, out).has_value();
}

bool ProtectedLink::openControl(std::span<const uint8_t> sealed, uint8_t* out) {
    if (controlOpened_ == messagesPerKey_) {
        controlIn_.advance();
        controlOpened_ = 0;
    }
    Sealer* sealer = controlIn_.sealer();
    if (sealer == nullptr || !sealer->open(controlOpened_, sealed, {}, out)) return false;
    ++controlOpened_;
    return true;
}

std::size_t ProtectedLink::sealDatagram(std::span<const uint8_t> datagram, uint8_t* out, std::size_t capacity) {
    Sealer* sealer = voiceOut_.sealing();
    if (capacity < datagram.size() + kDatagramOverhead || sealer == nullptr) return 0;
    out[0] = kDatagramMagic;
    out[1] = kDatagramVersion;
    writeCounter(out + 2, voiceOut_.epoch() * messagesPerKey_ + sealer->sealed());
    return sealer->seal(datagram, {out, kDatagramHeader}, out + kDatagramHeader) ? datagram.size() + kDatagramOverhead
                                                                                 : 0;
}

std::optional<std::size_t> ProtectedLink::openDatagram(std::span<const uint8_t> sealed, uint8_t* out,
                                                       std::size_t capacity) {
    if (sealed.size() < kDatagramOverhead || sealed[0] != kDatagramMagic || sealed[1] != kDatagramVersion ||
        capacity < sealed.size() - kDatagramOverhead) {
        return std::nullopt;
    }
    const uint64_t counter = readCounter(sealed.data() + 2);
    if (!window_.fresh(counter)) return std::nullopt;
    const uint64_t epoch = counter / messagesPerKey_;
    const std::span<const uint8_t> header = sealed.first(kDatagramHeader);
    const std::span<const uint8_t> body = sealed.subspan(kDatagramHeader);
    const auto opens = [&](Keys& keys) {
        return keys.sealer() != nullptr && keys.sealer()->open(counter % messagesPerKey_, body, header, out);
    };
    if (epoch == voiceIn_->epoch()) {
        if (!opens(*voiceIn_)) return std::nullopt;
    } else if (voiceInBefore_ && epoch == voiceInBefore_->epoch()) {
        if (!opens(*voiceInBefore_)) return std::nullopt;
    } else if (epoch == voiceIn_->epoch() + 1) {
        // Only a datagram that opens under the next key moves the keys on.
        std::unique_ptr<Keys> next = voiceIn_->following();
        if (!opens(*next)) return std::nullopt;
        voiceInBefore_ = std::move(voiceIn_);
        voiceIn_ = std::move(next);
    } else {
        return std::nullopt;
    }
    window_.take(counter);
    return body.size() - Sealer::kTagBytes;
}

}  // namespace talkwire
