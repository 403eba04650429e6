// Both ends of a protected connection: control opens only in order and unaltered; datagrams
// open in any order within the window, once each; keys change at their limit on both ends
// alike, and only a genuine datagram moves the receiver to the next key.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protected_link.h"

namespace {

using talkwire::ProtectedLink;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLinkId = 0x01020304;

talkwire::login::SessionKeys testKeys() {
    talkwire::login::SessionKeys keys;
    keys.controlUp.fill(1);
    keys.controlDown.fill(2);
    keys.voiceUp.fill(3);
    keys.voiceDown.fill(4);
    return keys;
}

Bytes message(int n) { return Bytes(static_cast<std::size_t>(5 + n % 7), static_cast<uint8_t>(n)); }

Bytes sealControl(ProtectedLink& link, const Bytes& plain) {
    Bytes sealed(plain.size() + ProtectedLink::kControlOverhead);
    EXPECT_TRUE(link.sealControl(plain, sealed.data()));
    return sealed;
}

std::optional<Bytes> openControl(ProtectedLink& link, const Bytes& sealed) {
    if (sealed.size() < ProtectedLink::kControlOverhead) return std::nullopt;
    Bytes plain(sealed.size() - ProtectedLink::kControlOverhead);
    if (!link.openControl(sealed, plain.data())) return std::nullopt;
    return plain;
}

Bytes sealDatagram(ProtectedLink& link, const Bytes& plain) {
    Bytes sealed(plain.size() + ProtectedLink::kDatagramOverhead);
    EXPECT_EQ(link.sealDatagram(plain, sealed.data(), sealed.size()), sealed.size());
    return sealed;
}

std::optional<Bytes> openDatagram(ProtectedLink& link, const Bytes& sealed) {
    Bytes plain(2048);
    const std::optional<std::size_t> size = link.openDatagram(sealed, plain.data(), plain.size());
    if (!size) return std::nullopt;
    plain.resize(*size);
    return plain;
}

class Link : public ::testing::Test {
protected:
    ProtectedLink client{ProtectedLink::End::kClient, testKeys(), kLinkId};
    ProtectedLink server{ProtectedLink::End::kServer, testKeys(), kLinkId};
};

TEST_F(Link, ControlOpensInOrderBothWaysAndAnythingElseEndsIt) {
    for (int n = 0; n < 20; ++n) {
        EXPECT_EQ(openControl(server, sealControl(client, message(n))), message(n));
        EXPECT_EQ(openControl(client, sealControl(server, message(n))), message(n));
    }
    const Bytes next = sealControl(client, message(20));
    const Bytes after = sealControl(client, message(21));
    EXPECT_FALSE(openControl(server, after).has_value()) << "one dropped, or two reordered";
    EXPECT_FALSE(openControl(client, next).has_value()) << "the client's own message reflected to it";
    for (std::size_t at : {std::size_t{0}, next.size() / 2, next.size() - 1}) {
        Bytes altered = next;
        altered[at] ^= 0x01;
        EXPECT_FALSE(openControl(server, altered).has_value()) << "byte " << at << " altered";
    }
    ProtectedLink stranger(ProtectedLink::End::kClient, talkwire::login::SessionKeys{}, kLinkId);
    EXPECT_FALSE(openControl(server, sealControl(stranger, message(20))).has_value()) << "injected";
    EXPECT_FALSE(openControl(server, Bytes(ProtectedLink::kControlOverhead - 1)).has_value()) << "shorter than a tag";
}

TEST_F(Link, DatagramsOpenOnceEachInAnyOrderWithinTheWindow) {
    std::vector<Bytes> sealed;
    for (int n = 0; n < 300; ++n) sealed.push_back(sealDatagram(client, message(n)));
    EXPECT_EQ(ProtectedLink::linkIdOf(sealed.front()), kLinkId);
    Bytes looked(64);
    EXPECT_EQ(server.openDatagram(sealed.front(), looked.data(), looked.size(), ProtectedLink::Opening::kLook),
              message(0).size())
        << "a look opens without taking the datagram, which then still opens";
    std::vector<std::size_t> order(sealed.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (std::size_t i : order) EXPECT_EQ(openDatagram(server, sealed[i]), message(static_cast<int>(i))) << i;

    // Sent again, in order and shuffled: none opens a second time.
    for (const Bytes& again : sealed) EXPECT_FALSE(openDatagram(server, again).has_value());
    for (std::size_t i : order) EXPECT_FALSE(openDatagram(server, sealed[i]).has_value());

    const Bytes fresh = sealDatagram(client, message(300));
    for (std::size_t at = 0; at < fresh.size(); ++at) {
        Bytes altered = fresh;
        altered[at] ^= 0x80;
        EXPECT_FALSE(openDatagram(server, altered).has_value()) << "byte " << at << " altered";
    }
    EXPECT_FALSE(openDatagram(client, fresh).has_value()) << "the client's own datagram reflected to it";
    EXPECT_FALSE(openDatagram(server, Bytes(fresh.begin(), fresh.begin() + ProtectedLink::kDatagramOverhead - 1)))
        << "shorter than header and tag";
    EXPECT_TRUE(openDatagram(server, fresh).has_value()) << "the genuine one, after all that";

    // Voice that was held back longer than the window is refused.
    const Bytes old = sealDatagram(server, message(0));
    for (uint64_t n = 0; n < talkwire::ReplayWindow::kWidth + 1; ++n) {
        ASSERT_TRUE(openDatagram(client, sealDatagram(server, message(1))).has_value());
    }
    EXPECT_FALSE(openDatagram(client, old).has_value());
}

// Four messages per key: the fourth is the last under the first key, the fifth the first
// under the next; both ends change at the same message.
TEST(LinkKeys, ChangeAtTheirLimitOnBothEndsAndOnlyAGenuineDatagramMovesThemOn) {
    constexpr uint64_t kPerKey = 4;
    ProtectedLink client(ProtectedLink::End::kClient, testKeys(), kLinkId, kPerKey);
    ProtectedLink server(ProtectedLink::End::kServer, testKeys(), kLinkId, kPerKey);
    ProtectedLink unchanged(ProtectedLink::End::kServer, testKeys(), kLinkId);
    for (int n = 0; n < 3 * static_cast<int>(kPerKey) + 1; ++n) {
        const Bytes sealed = sealControl(client, message(n));
        EXPECT_EQ(openControl(server, sealed), message(n)) << "message " << n;
        if (n == static_cast<int>(kPerKey)) {
            EXPECT_FALSE(openControl(unchanged, sealed).has_value()) << "the fifth is under another key";
        } else if (n < static_cast<int>(kPerKey)) {
            EXPECT_TRUE(openControl(unchanged, sealed).has_value()) << "the first four are under the first key";
        }
    }

    std::vector<Bytes> sealed;
    for (int n = 0; n < 3 * static_cast<int>(kPerKey); ++n) sealed.push_back(sealDatagram(client, message(n)));
    // A forged datagram claiming the next key's first counter does not move the keys on.
    Bytes forged = sealed[kPerKey];
    forged.back() ^= 0x01;
    EXPECT_FALSE(openDatagram(server, forged).has_value());
    for (std::size_t i = 0; i < kPerKey - 1; ++i) EXPECT_TRUE(openDatagram(server, sealed[i]).has_value()) << i;
    for (std::size_t i = kPerKey; i < 2 * kPerKey; ++i) EXPECT_TRUE(openDatagram(server, sealed[i]).has_value()) << i;
    EXPECT_TRUE(openDatagram(server, sealed[kPerKey - 1]).has_value()) << "late, under the key before";
    for (std::size_t i = 2 * kPerKey; i < sealed.size(); ++i) EXPECT_TRUE(openDatagram(server, sealed[i]).has_value());
}

}  // namespace
