// Framing of control messages over a byte stream: round trips, resynchronisation and
// hostile input against a receive buffer that must never be overrun.
#include <random>

#include "talkwire_test_support.h"

namespace {

using namespace talkwire_test;

Bytes sampleMessage(std::size_t bodySize, unsigned char fill) {
    Bytes message = {TW_CMD_LOGIN_ACK, TW_PROTOCOL_VERSION};
    for (std::size_t i = 0; i < bodySize; ++i) {
        message.push_back(static_cast<unsigned char>(fill + i));
    }
    return message;
}

// Messages of many sizes whose bytes include the flag and escape values.
std::vector<Bytes> sampleMessages() {
    std::vector<Bytes> messages;
    for (std::size_t size : {0, 1, 2, 5, 100, 1000, 5000}) {
        messages.push_back(sampleMessage(size, 0x70));
    }
    messages.push_back({TW_CMD_PING, TW_PROTOCOL_VERSION, 0x7E, 0x7D, 0x7E, 0x7E, 0x7D, 0x5E, 0x5D});
    return messages;
}

TEST(TalkwireFraming, MessagesSurviveFramingWhateverTheChunking) {
    const auto messages = sampleMessages();
    Bytes stream;
    for (const Bytes& message : messages) {
        const Bytes framed = frame(message);
        EXPECT_EQ(std::count(framed.begin(), framed.end(), 0x7E), 2) << "flags only at the ends";
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    // Any chunking of the stream gives the same messages: try every single split point and
    // a run of random chunk sizes.
    for (std::size_t split = 0; split <= stream.size(); split += 1 + split / 64) {
        Receiver receiver;
        receiver.feed(Bytes(stream.begin(), stream.begin() + static_cast<long>(split)));
        receiver.feed(Bytes(stream.begin() + static_cast<long>(split), stream.end()));
        ASSERT_EQ(receiver.messages, messages) << "split at " << split;
    }
    std::mt19937 random(7);
    Receiver receiver;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + random() % 300);
        receiver.feed(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + size)));
        at += size;
    }
    EXPECT_EQ(receiver.messages, messages);
    EXPECT_TRUE(receiver.canaryIntact());
}

TEST(TalkwireFraming, GarbageAndDamagedFramesAreSkippedAndTheNextFrameDecodes) {
    const Bytes good = sampleMessage(40, 0x10);
    const Bytes framed = frame(good);
    // Damage each byte between the flags in turn: the damaged frame never comes out, the
    // good frame after it always does.
    for (std::size_t at = 1; at + 1 < framed.size(); ++at) {
        for (unsigned char flip : {0x01, 0x80, 0xFF}) {
            Bytes damaged = framed;
            damaged[at] ^= flip;
            Receiver receiver;
            receiver.feed({0x00, 0x7D, 0x7E, 0x7E, 0x41, 0x42});
            receiver.feed(damaged);
            receiver.feed(framed);
            ASSERT_EQ(receiver.messages.size(), 1u) << "byte " << at << " flip " << int(flip);
            EXPECT_EQ(receiver.messages[0], good);
            // The frame decoder itself drops the damaged frame (its CRC, length or
            // stuffing): nothing damaged reaches packet_decode.
            EXPECT_EQ(receiver.undecodable, 0) << "byte " << at << " flip " << int(flip);
        }
    }
}

TEST(TalkwireFraming, LengthsBeyondTheBufferAndOverlongFramesAreRefused) {
    const uint32_t capacity = 256;
    const Bytes fits = sampleMessage(capacity - 8 - 6 - 2, 0);  // exactly the usable space
    const Bytes tooBig = sampleMessage(capacity - 8 - 6 - 1, 0);
    Receiver receiver(capacity);
    receiver.feed(frame(tooBig));
    receiver.feed(frame(fits));
    ASSERT_EQ(receiver.messages.size(), 1u);
    EXPECT_EQ(receiver.messages[0], fits);

    // A length field that claims less than the frame holds: data where the closing flag
    // belongs. The frame is dropped; the next one decodes.
    Bytes overlong = frame(sampleMessage(10, 0x20));
    overlong.insert(overlong.end() - 3, 0x33);
    // A length field below the smallest message.
    const Bytes tiny = {0x7E, 0x03, 0x00, 0x01, 0x02, 0x7E};
    receiver.feed(overlong);
    receiver.feed(tiny);
    receiver.feed(frame(fits));
    EXPECT_EQ(receiver.messages.size(), 2u);
    EXPECT_EQ(receiver.undecodable, 0);
    EXPECT_TRUE(receiver.canaryIntact());
}

TEST(TalkwireFraming, RandomBytesNeverOverrunTheBufferNorPassAsFrames) {
    std::mt19937 random(11);
    for (uint32_t capacity : {0u, 8u, 15u, 16u, 64u, 1024u}) {
        Receiver receiver(capacity);
        Bytes noise(200000);
        for (auto& byte : noise) {
            // Many flags and escapes, so that frame starts and stuffing are exercised.
            const unsigned value = random() % 8;
            byte = value == 0 ? 0x7E : value == 1 ? 0x7D : static_cast<unsigned char>(random());
        }
        receiver.feed(noise);
        EXPECT_TRUE(receiver.canaryIntact()) << capacity;
        EXPECT_EQ(receiver.undecodable, 0) << capacity;
    }
}

TEST(TalkwireFraming, EncoderAndPacketDecodeRefuseWhatDoesNotFit) {
    const Bytes message = sampleMessage(20, 0x7D);
    const Bytes framed = frame(message);
    for (std::size_t cap = 0; cap < framed.size(); ++cap) {
        Bytes out(cap + 8, 0xCC);
        EXPECT_EQ(encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(message.size()), out.data(),
                                         static_cast<uint16_t>(cap)),
                  0);
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(cap), out.end(), [](auto b) { return b == 0xCC; }));
    }
    Bytes out(64);
    EXPECT_EQ(encode_tcp_packet_hdlc(message.data(), 1, out.data(), 64), 0);

    // packet_decode checks the size it is given, the flags, the CRC and the version.
    Bytes unstuffed = {0x7E, 10, 0, TW_CMD_PING, TW_PROTOCOL_VERSION, 1, 2, 3, 4};
    Receiver receiver;
    receiver.feed(frame({TW_CMD_PING, TW_PROTOCOL_VERSION, 1, 2, 3, 4}));
    ASSERT_EQ(receiver.messages.size(), 1u);
    tw_packet packet{};
    EXPECT_LT(packet_decode(unstuffed.data(), static_cast<uint32_t>(unstuffed.size()), &packet), 0);
    EXPECT_EQ(packet.header, nullptr);
    EXPECT_LT(packet_decode(nullptr, 12, &packet), 0);
    // packet_decode checks the CRC itself, whatever decoded the frame before it.
    Bytes plain = frame({TW_CMD_PING, TW_PROTOCOL_VERSION, 1, 2, 3, 4});
    ASSERT_EQ(plain.size(), 12u) << "no byte of this frame needs stuffing";
    EXPECT_GT(packet_decode(plain.data(), static_cast<uint32_t>(plain.size()), &packet), 0);
    for (std::size_t at : {5u, 8u, 9u, 10u}) {
        Bytes damaged = plain;
        damaged[at] ^= 0x01;
        EXPECT_LT(packet_decode(damaged.data(), static_cast<uint32_t>(damaged.size()), &packet), 0) << at;
    }
    Bytes wrongVersion = frame({TW_CMD_PING, TW_OLD_PROTOCOL_VERSION, 1, 2, 3, 4});
    Receiver strict;
    strict.feed(wrongVersion);
    EXPECT_TRUE(strict.messages.empty());
    EXPECT_EQ(strict.undecodable, 1);
}

}  // namespace
