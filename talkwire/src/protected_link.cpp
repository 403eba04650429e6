#include "protected_link.h"

#include <sodium.h>

#include "hkdf.h"

namespace talkwire {

namespace {

constexpr const char* kNextKey = "talkhub next key";

constexpr std::size_t kIdAt = 2;
constexpr std::size_t kCounterAt = 6;

void writeLittleEndian(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i, value >>= 8) out[i] = static_cast<uint8_t>(value & 0xff);
}

uint64_t readLittleEndian(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
    return value;
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

ProtectedLink::ProtectedLink(End end, const login::SessionKeys& keys, uint32_t linkId, uint64_t messagesPerKey)
    : messagesPerKey_(messagesPerKey),
      linkId_(linkId),
      controlOut_(end == End::kClient ? keys.controlUp : keys.controlDown, messagesPerKey),
      controlIn_(end == End::kClient ? keys.controlDown : keys.controlUp, messagesPerKey),
      voiceOut_(end == End::kClient ? keys.voiceUp : keys.voiceDown, messagesPerKey),
      voiceIn_(std::make_unique<Keys>(end == End::kClient ? keys.voiceDown : keys.voiceUp, messagesPerKey)) {}

ProtectedLink::~ProtectedLink() = default;

bool ProtectedLink::sealControl(std::span<const uint8_t> message, uint8_t* out) {
    Sealer* sealer = controlOut_.sealing();
    return sealer != nullptr && sealer->seal(message, {}, out).has_value();
}

bool ProtectedLink::sealControl(std::span<const uint8_t> message, std::vector<uint8_t>& out) {
    out.resize(message.size() + kControlOverhead);
    return sealControl(message, out.data());
}

bool ProtectedLink::openControlInPlace(std::span<uint8_t>& message) {
    if (message.size() < kControlOverhead || !openControl(message, message.data())) return false;
    message = message.first(message.size() - kControlOverhead);
    return true;
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
    writeLittleEndian(out + kIdAt, linkId_, 4);
    writeLittleEndian(out + kCounterAt, voiceOut_.epoch() * messagesPerKey_ + sealer->sealed(), 8);
    return sealer->seal(datagram, {out, kDatagramHeader}, out + kDatagramHeader) ? datagram.size() + kDatagramOverhead
                                                                                 : 0;
}

std::optional<uint32_t> ProtectedLink::linkIdOf(std::span<const uint8_t> sealed) {
    if (sealed.size() < kDatagramOverhead || sealed[0] != kDatagramMagic || sealed[1] != kDatagramVersion) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(readLittleEndian(sealed.data() + kIdAt, 4));
}

std::optional<std::size_t> ProtectedLink::openDatagram(std::span<const uint8_t> sealed, uint8_t* out,
                                                       std::size_t capacity, Opening opening) {
    if (!linkIdOf(sealed) || capacity < sealed.size() - kDatagramOverhead) {
        return std::nullopt;
    }
    const uint64_t counter = readLittleEndian(sealed.data() + kCounterAt, 8);
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
        if (opening == Opening::kTake) {
            voiceInBefore_ = std::move(voiceIn_);
            voiceIn_ = std::move(next);
        }
    } else {
        return std::nullopt;
    }
    if (opening == Opening::kTake) window_.take(counter);
    return body.size() - Sealer::kTagBytes;
}

}  // namespace talkwire
