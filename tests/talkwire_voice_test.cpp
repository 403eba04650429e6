// Voice: the codec on real speech, the decoder's per-sender continuity, and the voice
// datagrams as the engine and the server read them.
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "speech_sample.h"
#include "talkwire_test_support.h"

namespace {

using namespace talkwire_test;
using Samples = std::vector<int16_t>;

constexpr std::size_t kPacketSamples = TW_FRAME_SAMPLES * TW_MAX_FRAMES_PER_PACKET;
constexpr int kPcmCapacity = 10240;

const Samples& speech() {
    static const Samples samples = [] {
        Samples all = speech_sample::make(speech_sample::kSentence);
        all.resize(all.size() / kPacketSamples * kPacketSamples);
        return all;
    }();
    return samples;
}

struct Talk {
    std::vector<Bytes> datagrams;
    std::size_t frameBytes = 0;
};

// Codes the speech as the engine sends it: five frames per datagram.
Talk send(const Samples& samples, unsigned char mode, uint32_t sender) {
    unsigned char heartbeat[TW_DATAGRAM_SIZE];
    EXPECT_GT(cp_rtp_heartbeat(heartbeat, sizeof heartbeat, sender), 0);
    ptt_clear_send();
    Talk talk;
    for (std::size_t at = 0; at + kPacketSamples <= samples.size(); at += kPacketSamples) {
        Bytes frames;
        for (int f = 0; f < TW_MAX_FRAMES_PER_PACKET; ++f) {
            unsigned char frame[1024];
            const int size =
                ptt_voice_audio_encode(&samples[at + f * TW_FRAME_SAMPLES], TW_FRAME_BYTES, frame, 1024, mode);
            EXPECT_GT(size, 1);
            frames.insert(frames.end(), frame, frame + size);
        }
        talk.frameBytes += frames.size();
        Bytes datagram(10240);
        const int size =
            ptt_voice_packet_encode(frames.data(), static_cast<int>(frames.size()), TW_MAX_FRAMES_PER_PACKET,
                                    datagram.data(), static_cast<int>(datagram.size()), mode);
        EXPECT_GT(size, 0);
        datagram.erase(datagram.begin() + std::max(size, 0), datagram.end());
        talk.datagrams.push_back(datagram);
    }
    return talk;
}

// One datagram through the receive path: parse, then decode; returns the PCM bytes.
int receive(const Bytes& datagram, Samples& pcm, int capacity = kPcmCapacity) {
    _AUDIO_PACKET packet{};
    if (ptt_process_rx_udp(datagram.data(), static_cast<int>(datagram.size()), &packet) != TW_OK) {
        return TW_ERR_FORMAT;
    }
    Samples out(kPcmCapacity / 2);
    const int bytes = ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength),
                                       reinterpret_cast<unsigned char*>(out.data()), capacity, packet.mode);
    if (bytes > 0) {
        pcm.insert(pcm.end(), out.begin(), out.begin() + bytes / 2);
    }
    return bytes;
}

Bytes stamped(Bytes datagram, uint32_t sender) {
    EXPECT_EQ(srv_stamp_sender(datagram.data(), static_cast<int>(datagram.size()), sender), TW_OK);
    return datagram;
}

TEST(TalkwireVoice, SpeechComesThroughEachModeAtItsBitrate) {
    ASSERT_GT(speech().size(), 8000u * 3) << "espeak-ng and sox make the test speech";
    const double seconds = static_cast<double>(speech().size()) / 8000;
    for (unsigned char mode : {1, 2}) {
        const uint32_t sender = 500 + mode;
        const Talk talk = send(speech(), mode, sender);
        Samples decoded;
        for (const Bytes& datagram : talk.datagrams) {
            ASSERT_EQ(receive(datagram, decoded), TW_FRAME_BYTES * TW_MAX_FRAMES_PER_PACKET);
        }
        const double correlation = speech_sample::alignedCorrelation(speech(), decoded);
        const double kbits = static_cast<double>(talk.frameBytes) * 8 / seconds / 1000;
        std::cout << "mode " << int(mode) << ": " << kbits << " kbit/s of frames, correlation " << correlation << "\n";
        EXPECT_GT(correlation, mode == 1 ? 0.85 : 0.9);
        EXPECT_GT(kbits, mode == 1 ? 8 : 16);
        EXPECT_LT(kbits, mode == 1 ? 16 : 32);
    }
}

TEST(TalkwireVoice, OneSendersPacketsShareDecoderStateAndResetsCostQuality) {
    const Talk talk = send(speech(), 1, 600);
    Samples continuous;
    Samples reset;
    uint32_t stranger = 100000;
    for (const Bytes& datagram : talk.datagrams) {
        receive(datagram, continuous);
        receive(stamped(datagram, ++stranger), reset);  // a new sender each time starts afresh
    }
    const double withState = speech_sample::alignedCorrelation(speech(), continuous);
    const double withReset = speech_sample::alignedCorrelation(speech(), reset);
    std::cout << "continuous " << withState << ", reset per packet " << withReset << "\n";
    EXPECT_GT(withState, withReset);
}

TEST(TalkwireVoice, ShortGapsAreConcealedAndAnythingElseResets) {
    const Talk talk = send(speech(), 1, 700);
    ASSERT_GE(talk.datagrams.size(), 20u);
    const int packetBytes = TW_FRAME_BYTES * TW_MAX_FRAMES_PER_PACKET;
    Samples pcm;
    EXPECT_EQ(receive(talk.datagrams[0], pcm), packetBytes);
    EXPECT_EQ(receive(talk.datagrams[2], pcm), 2 * packetBytes);  // one packet lost
    EXPECT_EQ(receive(talk.datagrams[8], pcm), 6 * packetBytes);  // five lost: the most concealed
    EXPECT_EQ(receive(talk.datagrams[15], pcm), packetBytes);     // six lost: reset
    EXPECT_EQ(receive(talk.datagrams[14], pcm), packetBytes);     // out of order: reset
    EXPECT_EQ(receive(talk.datagrams[15], pcm), packetBytes);
    // Concealment never crowds out the packet's own frames.
    EXPECT_EQ(receive(talk.datagrams[17], pcm, 2 * packetBytes - 1), packetBytes + 4 * TW_FRAME_BYTES);
}

TEST(TalkwireVoice, TheLeastRecentlyUsedSenderGivesUpItsState) {
    const Talk talk = send(speech(), 1, 800);
    Samples pcm;
    const auto interleave = [&](uint32_t firstSender, int others) {
        receive(stamped(talk.datagrams[0], firstSender), pcm);
        for (int i = 0; i < others; ++i) {
            receive(stamped(talk.datagrams[0], firstSender + 1 + static_cast<uint32_t>(i)), pcm);
        }
        // Sequence 2 after 0: concealed while the state is kept, plain after an eviction.
        return receive(stamped(talk.datagrams[2], firstSender), pcm) / (TW_FRAME_BYTES * TW_MAX_FRAMES_PER_PACKET);
    };
    EXPECT_EQ(interleave(200000, 63), 2);
    EXPECT_EQ(interleave(300000, 64), 1);
}

TEST(TalkwireVoice, DecodingStaysInsideItsBufferAndSurvivesCorruptFrames) {
    const Talk talk = send(speech(), 2, 900);
    _AUDIO_PACKET packet{};
    ASSERT_EQ(ptt_process_rx_udp(talk.datagrams[0].data(), static_cast<int>(talk.datagrams[0].size()), &packet), TW_OK);
    Bytes out(TW_FRAME_BYTES + 32, 0xCC);
    EXPECT_EQ(ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength), out.data(), TW_FRAME_BYTES, 2),
              TW_FRAME_BYTES);
    EXPECT_TRUE(std::all_of(out.begin() + TW_FRAME_BYTES, out.end(), [](auto b) { return b == 0xCC; }));
    EXPECT_LT(
        ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength), out.data(), TW_FRAME_BYTES - 1, 2), 0);
    EXPECT_LT(ptt_voice_decode(packet.payload, TW_STREAM_HEADER_SIZE, out.data(), TW_FRAME_BYTES, 2), 0);
    EXPECT_LT(ptt_voice_decode(packet.payload, TW_AUDIO_PAYLOAD_SIZE + 1, out.data(), TW_FRAME_BYTES, 2), 0);
    // Garbage inside a well-formed frame chain decodes to something or fails cleanly.
    for (uint32_t seed = 0; seed < 200; ++seed) {
        _AUDIO_PACKET noisy = packet;
        for (uint32_t i = TW_STREAM_HEADER_SIZE + 1; i < noisy.payloadLength; ++i) {
            noisy.payload[i] = static_cast<uint8_t>(noisy.payload[i] * 31 + seed * 17 + i);
        }
        Bytes pcm(kPcmCapacity);
        const int bytes =
            ptt_voice_decode(noisy.payload, static_cast<int>(noisy.payloadLength), pcm.data(), kPcmCapacity, 2);
        EXPECT_LE(bytes, kPcmCapacity);
    }
}

TEST(TalkwireVoice, ListenersAndTheTalkerMayUseTheCodecFromSeveralThreads) {
    const Talk talk = send(speech(), 1, 1200);
    std::vector<std::thread> threads;
    for (uint32_t listener = 0; listener < 2; ++listener) {
        threads.emplace_back([&talk, listener] {
            Samples pcm;
            for (const Bytes& datagram : talk.datagrams) {
                EXPECT_GT(receive(stamped(datagram, 1300 + listener), pcm), 0);
            }
        });
    }
    threads.emplace_back([] {
        unsigned char frame[1024];
        for (int i = 0; i < 100; ++i) {
            EXPECT_GT(ptt_voice_audio_encode(speech().data() + i * TW_FRAME_SAMPLES, TW_FRAME_BYTES, frame, 1024, 2),
                      1);
            if (i % 10 == 0) {
                ptt_clear_send();
            }
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
}

TEST(TalkwireDatagrams, ThePacketRecordIsFilledAtItsFixedOffsets) {
    const Talk talk = send(speech(), 2, 4321);
    const Bytes& datagram = talk.datagrams[1];
    EXPECT_EQ(ptt_get_rx_udp_uid(datagram.data(), static_cast<int>(datagram.size())), 4321u);
    unsigned char raw[sizeof(_AUDIO_PACKET)] = {};
    ASSERT_EQ(sizeof raw, 1048u);
    ASSERT_EQ(
        ptt_process_rx_udp(datagram.data(), static_cast<int>(datagram.size()), reinterpret_cast<_AUDIO_PACKET*>(raw)),
        TW_OK);
    const auto u32 = [&](std::size_t at) {
        uint32_t value;
        std::memcpy(&value, raw + at, 4);
        return value;
    };
    EXPECT_EQ(raw[0] | raw[1] << 8, 1);  // the second packet since the talk began
    EXPECT_EQ(u32(12), static_cast<uint32_t>(TW_KIND_VOICE));
    EXPECT_EQ(u32(16), 5u);
    EXPECT_EQ(raw[20], 2);
    const uint32_t payloadLength = u32(1044);
    EXPECT_EQ(payloadLength, datagram.size() - 14 + TW_STREAM_HEADER_SIZE);
    EXPECT_LE(payloadLength, static_cast<uint32_t>(TW_AUDIO_PAYLOAD_SIZE));
    EXPECT_EQ(u32(21), 4321u);  // the stream header: sender, then sequence
    EXPECT_EQ(std::memcmp(raw + 21 + TW_STREAM_HEADER_SIZE, datagram.data() + 14, datagram.size() - 14), 0);

    // The server stamps the sender; listeners read the stamped id.
    Bytes relayed = stamped(datagram, 77);
    EXPECT_EQ(ptt_get_rx_udp_uid(relayed.data(), static_cast<int>(relayed.size())), 77u);
}

TEST(TalkwireDatagrams, SequenceCountsUpWrapsAndRestartsWithEachTalk) {
    const Talk first = send(speech(), 1, 42);
    tw_datagram_info info{};
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(srv_parse_datagram(first.datagrams[i].data(), static_cast<int>(first.datagrams[i].size()), &info),
                  TW_OK);
        EXPECT_EQ(info.sequence, i);
        EXPECT_EQ(info.senderId, 42u);
        EXPECT_EQ(info.frameCount, 5u);
    }
    const Talk second = send(Samples(kPacketSamples * 2), 1, 42);
    ASSERT_EQ(srv_parse_datagram(second.datagrams[0].data(), static_cast<int>(second.datagrams[0].size()), &info),
              TW_OK);
    EXPECT_EQ(info.sequence, 0) << "ptt_clear_send restarts the count";

    // A stream that crosses the 16-bit wrap keeps its decoder state: no reset, no concealment.
    Samples pcm;
    Bytes wrapped = first.datagrams[0];
    wrapped[4] = 0xFF;
    wrapped[5] = 0xFF;
    Bytes next = first.datagrams[1];
    next[4] = 0;
    next[5] = 0;
    EXPECT_EQ(receive(stamped(wrapped, 55555), pcm), TW_FRAME_BYTES * 5);
    EXPECT_EQ(receive(stamped(next, 55555), pcm), TW_FRAME_BYTES * 5);
}

TEST(TalkwireDatagrams, HeartbeatsMarkersAndEndOfTalkAreToldApartFromVoice) {
    unsigned char buffer[TW_DATAGRAM_SIZE] = {};
    const int heartbeat = cp_rtp_heartbeat(buffer, sizeof buffer, 9001);
    ASSERT_GT(heartbeat, 0);
    EXPECT_EQ(ptt_get_rx_udp_uid(buffer, heartbeat), 0u);
    tw_datagram_info info{};
    ASSERT_EQ(srv_parse_datagram(buffer, heartbeat, &info), TW_OK);
    EXPECT_EQ(info.kind, static_cast<uint32_t>(TW_KIND_HEARTBEAT));
    EXPECT_EQ(info.senderId, 9001u);

    const std::string text(TW_MARKER_TEXT_SIZE + 10, 'm');  // longer than the field: cut to 64
    for (int start : {1, 0}) {
        std::memset(buffer, 0, sizeof buffer);
        const int marker = ptt_fake_voice_send(text.c_str(), 31, buffer, start);
        ASSERT_GT(marker, 0);
        EXPECT_EQ(ptt_get_rx_udp_uid(buffer, marker), 0u);
        ASSERT_EQ(srv_parse_datagram(buffer, marker, &info), TW_OK);
        EXPECT_EQ(info.kind, static_cast<uint32_t>(start ? TW_KIND_TALK_START : TW_KIND_TALK_STOP));
        EXPECT_EQ(info.senderId, 9001u) << "learned from the heartbeat";
        EXPECT_EQ(info.markerId, 31u);
        EXPECT_EQ(std::string(info.markerText), text.substr(0, TW_MARKER_TEXT_SIZE));
        _AUDIO_PACKET packet{};
        EXPECT_LT(ptt_process_rx_udp(buffer, marker, &packet), 0);
        EXPECT_EQ(packet.kind, static_cast<uint32_t>(TW_KIND_INVALID));
    }

    const int end = srv_build_end_of_talk(buffer, sizeof buffer, 1234, 9);
    ASSERT_GT(end, 0);
    EXPECT_EQ(ptt_get_rx_udp_uid(buffer, end), 1234u);
    _AUDIO_PACKET packet{};
    ASSERT_EQ(ptt_process_rx_udp(buffer, end, &packet), TW_OK);
    EXPECT_EQ(packet.kind, static_cast<uint32_t>(TW_KIND_END_OF_TALK));
    EXPECT_EQ(packet.sequence, 9);
    EXPECT_EQ(packet.payloadLength, 0u);
}

TEST(TalkwireDatagrams, MalformedDatagramsAreRejected) {
    const Talk talk = send(speech(), 1, 1111);
    const Bytes& good = talk.datagrams[0];
    const auto rejected = [](const Bytes& datagram) {
        _AUDIO_PACKET packet{};
        const bool refused = ptt_process_rx_udp(datagram.data(), static_cast<int>(datagram.size()), &packet) < 0 &&
                             packet.kind == TW_KIND_INVALID && packet.payloadLength == 0;
        return refused && ptt_get_rx_udp_uid(datagram.data(), static_cast<int>(datagram.size())) == 0;
    };
    for (std::size_t prefix = 0; prefix < good.size(); ++prefix) {
        Bytes cut(good.begin(), good.begin() + static_cast<long>(prefix));
        EXPECT_TRUE(rejected(cut)) << prefix;
    }
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_TRUE(rejected(longer));
    Bytes badMagic = good;
    badMagic[0] ^= 1;
    EXPECT_TRUE(rejected(badMagic));
    Bytes sixFrames = good;
    sixFrames[10] = 6;
    EXPECT_TRUE(rejected(sixFrames));
    Bytes miscounted = good;
    miscounted[10] = 4;
    EXPECT_TRUE(rejected(miscounted));
    Bytes brokenChain = good;
    brokenChain[14] = 0xFF;  // first frame claims more than the payload holds
    EXPECT_TRUE(rejected(brokenChain));
    Bytes noSender = good;
    std::memset(noSender.data() + 6, 0, 4);
    EXPECT_TRUE(rejected(noSender));

    // A payload that would not fit the packet record with its stream header: frames of
    // 1017 bytes are the most, 1018 are refused.
    const auto chain = [](std::size_t total) {
        Bytes frames;
        for (int i = 0; i < 3; ++i) {
            frames.push_back(255);
            frames.insert(frames.end(), 255, 0x11);
        }
        frames.push_back(static_cast<unsigned char>(total - frames.size() - 1));
        frames.resize(total, 0x22);
        return frames;
    };
    Bytes out(2048);
    EXPECT_GT(ptt_voice_packet_encode(chain(1017).data(), 1017, 4, out.data(), 2048, 1), 0);
    EXPECT_LT(ptt_voice_packet_encode(chain(1018).data(), 1018, 4, out.data(), 2048, 1), 0);
    Bytes oversized = good;
    oversized.resize(14 + 1018, 0x01);
    oversized[12] = static_cast<unsigned char>(1018 & 0xFF);
    oversized[13] = static_cast<unsigned char>(1018 >> 8);
    EXPECT_TRUE(rejected(oversized));

    EXPECT_LT(ptt_voice_packet_encode(good.data() + 14, static_cast<int>(good.size() - 14), 5, out.data(), 2048, 3), 0);
    EXPECT_LT(ptt_voice_packet_encode(good.data() + 14, static_cast<int>(good.size() - 14), 5, out.data(), 20, 1), 0);
    EXPECT_EQ(ptt_voice_audio_encode(speech().data(), TW_FRAME_BYTES - 2, out.data(), 1024, 1), 0);
    EXPECT_EQ(ptt_voice_audio_encode(speech().data(), TW_FRAME_BYTES, out.data(), 1024, 0), 0);
}

TEST(TalkwireLibrary, ExportsExactlyTheFunctionsOfItsHeader) {
    std::set<std::string> declared;
    std::ifstream header(TALKWIRE_HEADER_PATH);
    for (std::string line; std::getline(header, line);) {
        const auto api = line.find("TALKWIRE_API ");
        const auto paren = line.find('(');
        if (api != 0 || paren == std::string::npos) {
            continue;
        }
        const auto start = line.find_last_of(" *", paren) + 1;
        declared.insert(line.substr(start, paren - start));
    }
    std::set<std::string> exported;
    FILE* pipe = ::popen((std::string("nm -D --defined-only ") + TALKWIRE_LIBRARY_PATH).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\n") + 1);
        exported.insert(text.substr(text.rfind(' ') + 1));
    }
    ::pclose(pipe);
    EXPECT_EQ(declared.size(), 65u);
    EXPECT_EQ(exported, declared);
}

}  // namespace
