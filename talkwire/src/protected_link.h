// One end of a logged-in connection's protection, from the keys its login's exchange gave:
// - control messages are sealed in strict order each way under counters both ends keep, so
//   a message altered, dropped, reordered or injected fails to open, and the connection
//   ends;
// - voice datagrams carry the link's id and their counter in a small header ahead of the
//   sealed datagram and are opened through a replay window, so that reordering within the
//   window loses nothing and a datagram taken once is never taken again. The id tells a
//   server whose keys open the datagram (the user's id: who talks is no secret).
// Each direction of each kind has its own key. A key that has sealed its share of messages
// gives way to the next one, HKDF of it, at the same message on both ends (a datagram's key
// is told by its counter); every key is wiped when it goes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "login_exchange.h"
#include "replay_window.h"
#include "sealing.h"

namespace talkwire {

class ProtectedLink {
public:
    enum class End : uint8_t { kClient, kServer };
    static constexpr std::size_t kControlOverhead = Sealer::kTagBytes;
    // A sealed datagram: magic, version, the link's id (u32) and the 64-bit counter (both
    // little-endian), then the datagram sealed under it, the header bound in.
    static constexpr uint8_t kDatagramMagic = 0xA6;
    static constexpr uint8_t kDatagramVersion = 2;
    static constexpr std::size_t kDatagramHeader = 2 + 4 + 8;
    static constexpr std::size_t kDatagramOverhead = kDatagramHeader + Sealer::kTagBytes;

    // `linkId` goes into every datagram this end seals.
    ProtectedLink(End end, const login::SessionKeys& keys, uint32_t linkId,
                  uint64_t messagesPerKey = Sealer::kMessagesPerKey);
    ~ProtectedLink();
    ProtectedLink(const ProtectedLink&) = delete;
    ProtectedLink& operator=(const ProtectedLink&) = delete;

    // Seals the next control message into `out` (message.size() + kControlOverhead bytes);
    // false when no key can seal it (the next key could not be made): the connection is to
    // end, and nothing is to be sent.
    bool sealControl(std::span<const uint8_t> message, uint8_t* out);
    // The same into `out`, sized to the sealed message.
    bool sealControl(std::span<const uint8_t> message, std::vector<uint8_t>& out);
    // Opens the peer's next control message into `out` (sealed.size() − kControlOverhead
    // bytes); false when it is not the next one unaltered: the connection is to end.
    bool openControl(std::span<const uint8_t> sealed, uint8_t* out);
    // Opens it where it lies (a frame's message, as received) and shortens `message` to the
    // plain message; false as openControl, and for one shorter than a tag.
    bool openControlInPlace(std::span<uint8_t>& message);

    // Seals a datagram into `out`; its size, 0 when `capacity` is short or no key can seal it.
    std::size_t sealDatagram(std::span<const uint8_t> datagram, uint8_t* out, std::size_t capacity);
    // Opens a datagram of the peer into `out`: its size, or nothing for one altered, not this
    // link's, taken before or older than the window. A look (`kLook`) opens without taking
    // it, so that it opens once more.
    enum class Opening : uint8_t { kTake, kLook };
    std::optional<std::size_t> openDatagram(std::span<const uint8_t> sealed, uint8_t* out, std::size_t capacity,
                                            Opening opening = Opening::kTake);
    // The id in a sealed datagram's header, read without opening it.
    static std::optional<uint32_t> linkIdOf(std::span<const uint8_t> sealed);

private:
    // One direction's key and what follows from it.
    class Keys {
    public:
        Keys(const login::SessionKeys::Key& first, uint64_t messagesPerKey);
        ~Keys();
        // This epoch's sealer; none once a key could not be made, so that nothing seals or
        // opens under a key that is not the one both ends derive.
        Sealer* sealer() { return sealer_.get(); }
        // The sealer for the next message sent: the key moves on when this one is spent.
        Sealer* sealing();
        // The key of the next epoch replaces this one.
        void advance();
        // The next epoch's keys, this one's kept.
        std::unique_ptr<Keys> following() const;
        uint64_t epoch() const { return epoch_; }

    private:
        login::SessionKeys::Key key_{};
        uint64_t limit_;
        uint64_t epoch_ = 0;
        std::unique_ptr<Sealer> sealer_;
    };

    const uint64_t messagesPerKey_;
    const uint32_t linkId_;
    Keys controlOut_;
    Keys controlIn_;
    uint64_t controlOpened_ = 0;  // within controlIn_'s key
    Keys voiceOut_;
    // The peer's datagrams: the newest epoch's key, and the one before for late datagrams.
    std::unique_ptr<Keys> voiceIn_;
    std::unique_ptr<Keys> voiceInBefore_;
    ReplayWindow window_;
};

}  // namespace talkwire
