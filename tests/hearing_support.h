// What the hearing and recording tests share: tones as a talker's voice packets, and a
// fixture with the reference server and bob, the listener, logged in through the library
// (speaker: SDL's disk driver), optionally behind an impairment proxy.
#pragma once

#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "impairment_proxy.h"
#include "playback_sink.h"
#include "server_test_support.h"
#include "talkhub_test_support.h"

namespace hearing_test {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;
using talkhub_test::Service;
using test_support::Bytes;
using test_support::ImpairmentProxy;

constexpr double kPi = 3.14159265358979323846;

inline std::vector<int16_t> tone(double frequency, double amplitude, std::size_t samples, std::size_t from = 0) {
    std::vector<int16_t> out(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int16_t>(amplitude * std::sin(2 * kPi * frequency * static_cast<double>(from + i) / 8000));
    }
    return out;
}

// What a talker's client keeps between its datagrams: its user id and the next sequence
// (the library's own are the process's, which the library under test owns).
struct ToneTalker {
    uint32_t sender = 0;
    uint16_t sequence = 0;
};
inline ToneTalker& toneTalker() {
    static ToneTalker talker;
    return talker;
}
// A new turn from a fresh encoder, its datagrams from `sender`.
inline void freshTalker(uint32_t sender = 0) {
    ptt_clear_send();
    toneTalker() = {sender, 0};
}

// A talker's voice datagram (plain, as before sealing): `frames` 20 ms frames of a tone,
// encoded by talkwire.
inline Bytes tonePacket(double frequency, double amplitude, int frames = 5) {
    Bytes encoded;
    for (int f = 0; f < frames; ++f) {
        const std::vector<int16_t> pcm = tone(frequency, amplitude, TW_FRAME_SAMPLES, f * TW_FRAME_SAMPLES);
        unsigned char frame[1024];
        const int size = ptt_voice_audio_encode(pcm.data(), TW_FRAME_BYTES, frame, sizeof frame, 1);
        encoded.insert(encoded.end(), frame, frame + std::max(size, 0));
    }
    Bytes datagram(TW_DATAGRAM_SIZE);
    const int size =
        talkwire::datagrams::voice(encoded.data(), static_cast<int>(encoded.size()), frames, 1, toneTalker().sender,
                                   toneTalker().sequence++, datagram.data(), static_cast<int>(datagram.size()));
    datagram.resize(static_cast<std::size_t>(std::max(size, 0)));
    return datagram;
}

// One talker's turn from a fresh encoder: `packets` datagrams of a tone, stamped as
// `sender` when one is given (as the server stamps what it relays).
inline std::vector<Bytes> toneTurn(double frequency, double amplitude, int packets, uint32_t sender = 0) {
    freshTalker(toneTalker().sender);
    std::vector<Bytes> turn;
    for (int k = 0; k < packets; ++k) {
        turn.push_back(tonePacket(frequency, amplitude));
        if (sender != 0) srv_stamp_sender(turn.back().data(), static_cast<int>(turn.back().size()), sender);
    }
    return turn;
}

// A received packet of `frames` frames (it decodes to frames × 320 bytes, which tells the
// packets apart) under the sequence number given. Each comes as the first packet of a
// stream of its own, so the decoder conceals nothing between them.
inline std::shared_ptr<_AUDIO_PACKET> receivedPacket(uint16_t sequence, int frames, uint32_t kind = TW_KIND_VOICE) {
    static uint32_t stream = 70000;
    toneTalker().sender = 4000;
    const Bytes datagram = tonePacket(600, 3000, std::max(frames, 1));
    auto packet = std::make_shared<_AUDIO_PACKET>();
    EXPECT_EQ(talkwire::datagrams::readTalk(datagram.data(), static_cast<int>(datagram.size()), packet.get()), TW_OK);
    packet->sequence = sequence;
    packet->kind = kind;
    ++stream;
    for (int byte = 0; byte < 4; ++byte) packet->payload[byte] = static_cast<uint8_t>(stream >> (8 * byte));
    return packet;
}

// The strength of one frequency in a stretch of samples (Goertzel), per sample.
inline double strengthAt(const int16_t* samples, std::size_t count, double frequency) {
    const double coefficient = 2 * std::cos(2 * kPi * frequency / 8000);
    double previous = 0, older = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double current = samples[i] + coefficient * previous - older;
        older = previous;
        previous = current;
    }
    if (count == 0) return 0;
    return std::sqrt(previous * previous + older * older - coefficient * previous * older) / static_cast<double>(count);
}

inline double rms(const int16_t* samples, std::size_t count) {
    double energy = 0;
    for (std::size_t i = 0; i < count; ++i) energy += static_cast<double>(samples[i]) * samples[i];
    return count > 0 ? std::sqrt(energy / static_cast<double>(count)) : 0;
}

// The reference server with bob, the listener, logged in through the library. With a proxy,
// the server names the proxy as its voice port, so bob's voice goes through it.
class Hearing : public Service {
protected:
    void TearDown() override {
        loginout();
        talkers.clear();
        server.reset();
        proxy.reset();
        Service::TearDown();
    }

    void start(std::optional<ImpairmentProxy::Pattern> impairment = std::nullopt) {
        talkhub_server::ServerConfig config = server_test::loopbackConfig();
        config.limits.floorGraceMs = 0;
        if (impairment) {
            proxy = std::make_unique<ImpairmentProxy>();
            config.voicePort = proxy->port();
        }
        server = std::make_unique<RunningServer>(config);
        if (proxy) proxy->start(server->udpPort(), *impairment);
        loginTo(server->tcpPort(), "bob");
        // The voice heartbeat tells the server where bob listens.
        std::this_thread::sleep_for(100ms);
    }

    Client& talker(const char* account, uint32_t groupId) {
        talkers.push_back(std::make_unique<Client>(server->tcpPort(), server->udpPort()));
        talkers.back()->join(account, groupId);
        return *talkers.back();
    }

    // One turn at the pace of a talker, a packet every 100 ms; `between` runs after each
    // packet. Returns once bob has had time to play it all.
    template <typename Between>
    static void talk(Client& who, uint32_t groupId, const std::vector<Bytes>& packets, Between between) {
        ASSERT_EQ(who.requestMic(groupId), 0);
        for (const Bytes& packet : packets) {
            who.sendDatagram(packet);
            between();
            std::this_thread::sleep_for(100ms);
        }
        who.send([&](unsigned char* b, int c) { return cp_release_mic(b, c, groupId); });
        std::this_thread::sleep_for(1100ms);
    }
    static void talk(Client& who, uint32_t groupId, const std::vector<Bytes>& packets) {
        talk(who, groupId, packets, [] {});
    }

    // Logs bob out, which closes his speaker, and returns what it played.
    static std::vector<int16_t> heard() {
        loginout();
        return playback_sink::played();
    }

    std::unique_ptr<ImpairmentProxy> proxy;
    std::unique_ptr<RunningServer> server;
    std::vector<std::unique_ptr<Client>> talkers;
};

}  // namespace hearing_test
