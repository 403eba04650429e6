// Hearing: what talkers send comes out of the listener's speaker. The receive buffer and the
// mixer with real talkwire packets and a real playback device; end to end through the
// reference server, with talkhub-cli or a wire-level client as the talker, the library in
// this process as the listener and SDL's disk driver as its speaker; and through a proxy
// that spoils the voice on its way.
#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "capture_source.h"
#include "device/audio_device.h"
#include "hearing_support.h"
#include "impairment_proxy.h"
#include "media/audio_media.h"
#include "media/ptt_audio_buffer.h"
#include "playback_sink.h"
#include "server_test_support.h"
#include "speech_sample.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using hearing_test::Hearing;
using hearing_test::receivedPacket;
using hearing_test::rms;
using hearing_test::strengthAt;
using hearing_test::tonePacket;
using hearing_test::toneTurn;
using server_test::Client;
using server_test::RunningServer;
using talkhub_test::LogTail;
using talkhub_test::Service;
using test_support::Bytes;
using test_support::ImpairmentProxy;

constexpr double kPi = hearing_test::kPi;

// Stretches of sound in what was played, as [first, last) 20 ms blocks, split by silences
// of at least 200 ms.
std::vector<std::pair<std::size_t, std::size_t>> soundStretches(const std::vector<int16_t>& played,
                                                                double threshold = 300) {
    std::vector<std::pair<std::size_t, std::size_t>> stretches;
    std::size_t quiet = 0;
    for (std::size_t block = 0; (block + 1) * 160 <= played.size(); ++block) {
        if (rms(played.data() + block * 160, 160) < threshold) {
            ++quiet;
            continue;
        }
        if (stretches.empty() || quiet >= 10) stretches.emplace_back(block, block);
        stretches.back().second = block + 1;
        quiet = 0;
    }
    return stretches;
}

// The length in 20 ms blocks of the one stretch of sound played; 0 when there is none, or
// more than one.
std::size_t soleStretchBlocks(const std::vector<int16_t>& played) {
    const auto stretches = soundStretches(played);
    return stretches.size() == 1 ? stretches[0].second - stretches[0].first : 0;
}

// The typical loudness of a stretch: the median over its sounding 20 ms blocks, so that a
// block the mixer left silent while a stream filled does not count.
double stretchLoudness(const std::vector<int16_t>& played, std::pair<std::size_t, std::size_t> stretch) {
    std::vector<double> blocks;
    for (std::size_t block = stretch.first; block < stretch.second; ++block) {
        const double loudness = rms(played.data() + block * 160, 160);
        if (loudness >= 300) blocks.push_back(loudness);
    }
    std::nth_element(blocks.begin(), blocks.begin() + static_cast<long>(blocks.size() / 2), blocks.end());
    return blocks[blocks.size() / 2];
}

// A 20 ms block's pitch from its zero crossings: exact enough for a clean tone.
double pitch(const int16_t* block) {
    int crossings = 0;
    for (int i = 1; i < 160; ++i) crossings += (block[i - 1] < 0) != (block[i] < 0);
    return crossings / 2.0 / 0.02;
}

TEST(ReceiveBuffer, PlaysInSequenceOrderAcrossTheWrapAndOnlyAsThePlaybackRunsShort) {
    CPttAudioBuffer buffer;
    unsigned char pcm[10240];
    const auto decode = [&](bool streamShort = true) { return buffer.decode(pcm, sizeof pcm, streamShort); };
    buffer.pushPacket(receivedPacket(1, 4));
    buffer.pushPacket(receivedPacket(65534, 1));
    buffer.pushPacket(receivedPacket(0, 3));
    buffer.pushPacket(receivedPacket(65535, 2));
    buffer.pushPacket(receivedPacket(1, 4));  // copies the network delivered twice: one is kept
    buffer.pushPacket(receivedPacket(0, 3));
    buffer.pushPacket(receivedPacket(2, 5));
    EXPECT_EQ(decode(), 0) << "five packets of five frames: 500 ms, short of the reserve";
    buffer.pushPacket(receivedPacket(9, 5, 1));
    EXPECT_EQ(decode(), 0) << "a control packet is not queued";
    buffer.pushPacket(receivedPacket(5, 5));
    EXPECT_EQ(decode(false), 0) << "a stream that can serve the next callback takes nothing";
    EXPECT_EQ(decode(), 320) << "the sixth packet gathers the reserve: 65534";
    EXPECT_EQ(decode(), 640) << "what follows the packet played goes on: 65535";
    buffer.pushPacket(receivedPacket(65533, 5));
    buffer.pushPacket(receivedPacket(65534, 5));
    buffer.pushPacket(receivedPacket(4, 5));
    EXPECT_EQ(decode(), 960) << "too late for what was played: neither 65533 nor 65534 is queued";
    for (int frames : {4, 5}) EXPECT_EQ(decode(), frames * 320) << "each copy is played once";
    EXPECT_EQ(decode(), 0) << "a gap at the front waits for the reserve: 3 may be on its way";
    EXPECT_FALSE(buffer.isPlayFinish());

    buffer.pushPacket(receivedPacket(3, 0, TW_KIND_END_OF_TALK));
    EXPECT_EQ(decode(false), 0) << "the end of a talk is paced by the stream too";
    EXPECT_EQ(decode(), 5 * 320) << "the talk has ended: the gap is no longer waited for";
    EXPECT_EQ(decode(), 5 * 320);
    EXPECT_EQ(decode(), 0);
    EXPECT_TRUE(buffer.isPlayFinish());
    buffer.setTalkEnd(false);
    EXPECT_FALSE(buffer.isPlayFinish()) << "the speaker talks again";
    // A new turn of a talker that logged in again counts from 0: nothing of it is late.
    for (uint16_t sequence = 0; sequence < 5; ++sequence) buffer.pushPacket(receivedPacket(sequence, 1 + sequence));
    EXPECT_EQ(decode(), 0) << "a new turn gathers its reserve again";
    buffer.pushPacket(receivedPacket(5, 1));
    buffer.setTalkEnd(true);
    for (int frames : {1, 2, 3, 4, 5, 1}) EXPECT_EQ(decode(), frames * 320);
}

// The mixer run pass by pass on an open device whose own callbacks are paused.
TEST(PlaybackMix, FullStreamsAreSummedShortOnesWaitAndFinishedOnesGiveTheirRestAndGo) {
    const auto samples = [](int16_t value, std::size_t count) {
        std::vector<int16_t> out(count, value);
        return out;
    };
    const auto write = [](CAudioDevice& device, unsigned int id, const std::vector<int16_t>& pcm, std::size_t bytes) {
        device.writePlayData(id, reinterpret_cast<const unsigned char*>(pcm.data()), static_cast<unsigned int>(bytes));
    };
    CAudioDevice device;
    std::vector<int16_t> out(1024);
    const auto pass = [&] { CAudioDevice::audioCallback(&device, reinterpret_cast<Uint8*>(out.data()), 2048); };
    write(device, 9, samples(7, 1024), 2048);  // before the open: dropped
    ASSERT_EQ(device.openPlay(), 0);
    SDL_PauseAudio(1);

    write(device, 1, samples(1000, 1024 + 50), 2048 + 100);
    write(device, 2, samples(2000, 1024), 2047);
    write(device, 3, samples(30000, 500), 1000);
    device.finishPlayData(3);
    write(device, 4, samples(30000, 2048), 4096);
    device.finishPlayData(5);  // no such stream
    pass();
    EXPECT_EQ(out[0], 32767) << "1000 + 30000 + 30000, clipped";
    EXPECT_EQ(out[499], 32767);
    EXPECT_EQ(out[500], 31000) << "the finished stream ran out; the one after it was mixed once";
    EXPECT_EQ(out[1023], 31000);

    device.finishPlayData(2);
    pass();
    EXPECT_EQ(out[0], 32000) << "the short stream, now finished, and the second half of the full one";
    EXPECT_EQ(out[1022], 32000);
    EXPECT_EQ(out[1023], 30000) << "2047 bytes hold 1023 whole samples";

    pass();
    EXPECT_EQ(out[0], 0) << "50 samples left, not finished: they wait";
    device.finishPlayData(1);
    device.finishPlayData(4);
    pass();
    EXPECT_EQ(out[0], 1000);
    EXPECT_EQ(out[49], 1000);
    EXPECT_EQ(out[50], 0);

    write(device, 6, samples(500, 1024), 2048);
    device.closePlay();
    write(device, 7, samples(300, 1024), 2048);  // after the close: dropped
    // Reopened, the device plays on its own, into the disk driver's file.
    const auto heldStreamPlayed = [] {
        const std::vector<int16_t> played = playback_sink::played();
        return std::count(played.begin(), played.end(), 500) == 1024;
    };
    ASSERT_EQ(device.openPlay(), 0);
    EXPECT_TRUE(talkhub_test::eventually(heldStreamPlayed, 5s))
        << "what a stream held before the close plays after the next open";
    device.closePlay();
    for (int16_t sample : playback_sink::played()) {
        ASSERT_TRUE(sample == 0 || sample == 500)
            << sample << ": nothing was left of streams 1 to 4, nor written to 7 or 9";
    }
}

// The audio library is the host's too: playback that closes shuts down its own audio and
// leaves the rest of the library as the host had it.
TEST(PlaybackMix, ClosingLeavesTheHostsOwnPartsOfTheAudioLibraryRunning) {
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0) << SDL_GetError();
    CAudioDevice device;
    ASSERT_EQ(device.openPlay(), 0);
    device.closePlay();
    EXPECT_NE(SDL_WasInit(SDL_INIT_EVENTS), 0U) << "the host's events still run";
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0U) << "the library's audio is shut down";
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
}

class Bounds : public Service {};

TEST_F(Bounds, AReceiveBufferKeepsFiveSecondsAndAStreamTwoDroppingTheOldestOncePerEpisode) {
    LogTail log;
    unsigned char pcm[10240];
    CPttAudioBuffer exact;
    for (uint16_t sequence = 0; sequence < 50; ++sequence) exact.pushPacket(receivedPacket(sequence, 5));
    exact.setTalkEnd(true);
    int decoded = 0;
    while (exact.decode(pcm, sizeof pcm, true) > 0) ++decoded;
    EXPECT_EQ(decoded, 50) << "exactly 5 s is kept whole";

    CPttAudioBuffer over;
    over.pushPacket(receivedPacket(0, 1));
    for (uint16_t sequence = 1; sequence <= 60; ++sequence) over.pushPacket(receivedPacket(sequence, 5));
    over.setTalkEnd(true);
    int longPackets = 0;
    while (over.decode(pcm, sizeof pcm, true) == 1600) ++longPackets;
    EXPECT_EQ(longPackets, 50) << "one frame past the limit: the oldest packets went";
    EXPECT_TRUE(over.isPlayFinish());
    EXPECT_EQ(log.count("receive buffer full:[5000] ms, dropping the oldest audio."), 1U);

    CAudioStream stream(CAudioDevice::kStreamLimitBytes);
    std::vector<int16_t> ramp(CAudioDevice::kStreamLimitBytes / 2 + 1);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i);
    const auto* bytes = reinterpret_cast<const unsigned char*>(ramp.data());
    stream.write(bytes, CAudioDevice::kStreamLimitBytes);
    EXPECT_EQ(stream.size(), CAudioDevice::kStreamLimitBytes);
    EXPECT_FALSE(log.contains("stream full"));
    stream.write(bytes + CAudioDevice::kStreamLimitBytes, 2);
    stream.write(bytes, 1000);
    EXPECT_EQ(stream.size(), CAudioDevice::kStreamLimitBytes);
    int16_t first = 0;
    std::memcpy(&first, stream.data(), 2);
    EXPECT_EQ(first, 501) << "the oldest 501 samples made room";
    EXPECT_EQ(log.count("stream full:[32000] bytes, dropping the oldest audio."), 1U);
}

TEST_F(Hearing, ASentenceSpokenIntoTalkhubCliComesOutOfTheListenersSpeakerWhole) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    const std::string microphone = (capture_source::folder() / "alice.raw").string();
    capture_source::replace(microphone, speech.data(), speech.size() * 2);
    start();
    const std::string command = "SDL_AUDIODRIVER=dummy " TALKHUB_CLI_PATH " -u alice -p " +
                                std::to_string(server->tcpPort()) + " --mic-file " + microphone +
                                " talk 3 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::this_thread::sleep_for(1000ms);
    const std::vector<int16_t> played = heard();

    // The end of the turn is heard too: the sound lasts as long as in the three seconds said.
    const std::vector<int16_t> said(speech.begin(), speech.begin() + 3 * 8000);
    const auto spoken = soundStretches(said);
    const auto sounded = soundStretches(played);
    ASSERT_FALSE(spoken.empty());
    ASSERT_FALSE(sounded.empty());
    const std::vector<int16_t> sound(played.begin() + static_cast<long>(sounded.front().first * 160),
                                     played.begin() + static_cast<long>(sounded.back().second * 160));
    // Compared piece by piece: a packet that comes late leaves one 128 ms buffer silent and
    // shifts what follows, which a single alignment of the whole would count against it.
    std::vector<double> pieces;
    for (std::size_t at = 0; at + 6400 <= sound.size(); at += 6400) {
        const std::vector<int16_t> piece(sound.begin() + static_cast<long>(at),
                                         sound.begin() + static_cast<long>(at + 6400));
        pieces.push_back(speech_sample::envelopeCorrelation(speech, piece));
    }
    ASSERT_GE(pieces.size(), 3U);
    std::sort(pieces.begin(), pieces.end());
    EXPECT_GT(pieces[pieces.size() / 2], 0.9) << "the median piece of 800 ms";
    const long spokenBlocks = static_cast<long>(spoken.back().second - spoken.front().first);
    const long soundedBlocks = static_cast<long>(sounded.back().second - sounded.front().first);
    EXPECT_NEAR(soundedBlocks, spokenBlocks, 16) << "in 20 ms blocks, a late packet's silence allowed";
}

TEST_F(Hearing, VolumeMuteAndTheAudibleGroupsDecideWhatIsHeardAndHowLoud) {
    start();
    Client& carol = talker("carol", 1);
    // Every turn starts a fresh encoder, as the listener's decoder starts afresh for turns
    // it does not hear.
    const auto turn = [] { return toneTurn(440, 4000, 6); };
    talk(carol, 1, turn());
    setVolume(10);
    talk(carol, 1, turn());
    setMute(true);
    talk(carol, 1, turn());
    setMute(false);
    setDefaultAllPlay(false);
    talk(carol, 1, turn());
    openCanPlayGroup(1);
    setVolume(5);
    talk(carol, 1, turn());
    setDefaultAllPlay(true);
    const std::vector<int16_t> played = heard();

    const auto stretches = soundStretches(played);
    ASSERT_EQ(stretches.size(), 3U) << "heard, twice as loud, muted, not audible, audible again";
    // Each turn is heard to its end, the last one too: 600 ms is no whole number of the
    // speaker's 128 ms buffers, so its rest plays only once the turn is known to be over.
    // Blocks with sound are counted, so a late packet's silent gap does not count.
    for (const auto& stretch : stretches) {
        int sounding = 0;
        for (std::size_t block = stretch.first; block < stretch.second; ++block) {
            sounding += rms(played.data() + block * 160, 160) >= 300 ? 1 : 0;
        }
        EXPECT_NEAR(sounding, 30, 2) << "600 ms of tone in 20 ms blocks";
    }
    const double unity = stretchLoudness(played, stretches[0]);
    EXPECT_NEAR(unity, 4000 / std::sqrt(2.0), 600);
    EXPECT_NEAR(stretchLoudness(played, stretches[1]) / unity, 2.0, 0.2);
    EXPECT_NEAR(stretchLoudness(played, stretches[2]) / unity, 1.0, 0.1);
}

TEST_F(Hearing, AVoiceServerOnIpv6IsHeardAndOneNamedByAHostNameIsRefusedClearly) {
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.bindAddress = "::";
    config.limits.floorGraceMs = 0;
    server = std::make_unique<RunningServer>(config);
    // Reached over ::1, the server names ::1 as its voice server.
    setServerInfo("::1", server->tcpPort());
    ASSERT_EQ(login("bob", "bob", talkhub_test::onLoginResult), 0);
    auto done = talkhub_test::HostEvents::instance().take(talkhub_test::HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    ASSERT_EQ(done->value, 0) << done->text;
    std::this_thread::sleep_for(100ms);
    Client& carol = talker("carol", 1);
    talk(carol, 1, toneTurn(440, 4000, 8));
    const std::vector<int16_t> played = heard();
    EXPECT_GT(rms(played.data(), played.size()), 800) << "the voice came over IPv6";

    server.reset();
    talkers.clear();
    config.voiceAddress = "localhost";
    server = std::make_unique<RunningServer>(config);
    LogTail log;
    setServerInfo("::1", server->tcpPort());
    ASSERT_EQ(login("bob", "bob", talkhub_test::onLoginResult), 0);
    done = talkhub_test::HostEvents::instance().take(talkhub_test::HostEvent::kLogin);
    ASSERT_TRUE(done.has_value());
    EXPECT_LT(done->value, 0);
    EXPECT_TRUE(log.contains("voice server address:[localhost] is no IPv4 or IPv6 address, network not started."));
}

// Voice from the voice server of a speaker no floor notification has named belongs to no
// known group: it is not played, even with every group audible.
TEST_F(Hearing, ASpeakerOfNoKnownGroupIsNotHeardEvenWithEveryGroupAudible) {
    start(ImpairmentProxy::Pattern{});
    setDefaultAllPlay(true);
    Client& carol = talker("carol", 1);
    const std::vector<Bytes> stranger = toneTurn(1500, 8000, 10, 4242);
    const std::vector<Bytes> voice = toneTurn(700, 5000, 10);
    std::size_t next = 0;
    talk(carol, 1, voice, [&] { proxy->inject(stranger[next++]); });
    const std::vector<int16_t> played = heard();
    ASSERT_GT(played.size(), 8000U);
    const double real = strengthAt(played.data(), played.size(), 700);
    EXPECT_GT(real, 200) << "carol's voice is heard";
    EXPECT_LT(strengthAt(played.data(), played.size(), 1500), real / 20) << "a speaker of no known group is heard";
}

TEST_F(Hearing, AVoicePathCutForFiveSecondsLosesOnlyWhatWasSaidMeanwhile) {
    start(ImpairmentProxy::Pattern{});
    Client& carol = talker("carol", 1);
    const auto turn = [&] {
        std::vector<Bytes> voice;
        for (int k = 0; k < 8; ++k) voice.push_back(tonePacket(700, 5000));
        talk(carol, 1, voice);
    };
    hearing_test::freshTalker();
    turn();
    proxy->setBlackholed(true);
    const auto cut = std::chrono::steady_clock::now();
    turn();
    std::this_thread::sleep_until(cut + 5s);
    proxy->setBlackholed(false);
    // The next voice heartbeat (every 8 s) is not needed: the server still knows the way.
    turn();
    const std::vector<int16_t> played = heard();
    const auto stretches = soundStretches(played);
    ASSERT_EQ(stretches.size(), 2U) << "the turns before and after the cut, nothing of the one during it";
    for (const auto& stretch : stretches) {
        EXPECT_NEAR(static_cast<double>(stretch.second - stretch.first), 40, 6) << "800 ms of tone, whole";
    }
}

// Every fourth datagram comes 250 ms late, well inside the reserve: the speaker must play
// the turn without a hole, taking from the reserve while the late one is on its way.
TEST_F(Hearing, LateDatagramsAreBridgedByTheReserveWithoutASilence) {
    start(ImpairmentProxy::Pattern{0, 0, 0, 4, 250ms});
    Client& carol = talker("carol", 1);
    talk(carol, 1, toneTurn(700, 5000, 30));
    const std::vector<int16_t> played = heard();
    const auto stretches = soundStretches(played);
    ASSERT_EQ(stretches.size(), 1U);
    std::size_t silent = 0;
    for (std::size_t block = stretches[0].first; block < stretches[0].second; ++block) {
        silent += rms(played.data() + block * 160, 160) < 300 ? 1 : 0;
    }
    EXPECT_EQ(silent, 0U) << "20 ms blocks of silence inside the turn";
    EXPECT_NEAR(static_cast<double>(stretches[0].second - stretches[0].first), 150, 4) << "3 s of tone, whole";
}

// A talker's uplink stalls and then delivers three seconds at once, followed by the end of
// the turn: the speaker keeps the burst as packets and plays it at its pace, whole, instead
// of pouring it into the device stream, whose two-second bound would drop the oldest.
TEST_F(Hearing, ABurstAfterAStallIsPlayedWholeAtTheSpeakersPace) {
    start();
    Client& carol = talker("carol", 1);
    const std::vector<Bytes> voice = toneTurn(700, 5000, 38);
    ASSERT_EQ(carol.requestMic(1), 0);
    for (std::size_t k = 0; k < voice.size(); ++k) {
        carol.sendDatagram(voice[k]);
        if (k < 8) std::this_thread::sleep_for(100ms);
    }
    carol.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    std::this_thread::sleep_for(4500ms);
    EXPECT_NEAR(static_cast<double>(soleStretchBlocks(heard())), 190, 4) << "3.8 s of tone, whole, in one stretch";
}

// A talker who falls silent but keeps the floor sends neither an end of talk nor a floor
// notice: nothing wakes the play thread, yet the reserve held back must still be played out.
TEST_F(Hearing, ATalkerWhoFallsSilentHoldingTheFloorIsHeardToHisLastWord) {
    start();
    Client& carol = talker("carol", 1);
    ASSERT_EQ(carol.requestMic(1), 0);
    for (const Bytes& packet : toneTurn(700, 5000, 12)) {
        carol.sendDatagram(packet);
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(1500ms);
    EXPECT_NEAR(static_cast<double>(soleStretchBlocks(heard())), 60, 4) << "1.2 s of tone, whole, in one stretch";
}

TEST_F(Hearing, VoiceForgedFromAnotherPortIsNotHeardWhileTheTalkersVoiceIs) {
    start();
    Client& carol = talker("carol", 1);
    // The forger knows the listener's voice port and who holds the floor.
    const int forger = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in listener =
        test_support::loopback(static_cast<uint16_t>(talkhub::serviceInstance()->media()->localPort()));
    const std::vector<Bytes> forged = toneTurn(1500, 8000, 30, 1003);
    const std::vector<Bytes> voice = toneTurn(700, 5000, 10);
    LogTail log;
    std::size_t next = 0;
    talk(carol, 1, voice, [&] {
        for (int i = 0; i < 3; ++i, ++next) {
            ::sendto(forger, forged[next].data(), forged[next].size(), 0, reinterpret_cast<const sockaddr*>(&listener),
                     sizeof listener);
        }
    });
    ::close(forger);
    // The next voice after a quiet second ends the episode.
    hearing_test::freshTalker();
    talk(carol, 1, {tonePacket(700, 5000)});
    const std::vector<int16_t> played = heard();
    ASSERT_GT(played.size(), 8000U);
    const double real = strengthAt(played.data(), played.size(), 700);
    const double forgedTone = strengthAt(played.data(), played.size(), 1500);
    EXPECT_GT(real, 200) << "carol's voice is heard";
    EXPECT_LT(forgedTone, real / 20) << "the forged voice is heard";
    EXPECT_EQ(log.count("not the voice server"), 1U) << "one line for the episode";
    EXPECT_TRUE(log.contains("dropped [30] datagrams from elsewhere than the voice server."));
}

TEST_F(Hearing, TwoTalkersInTwoGroupsAreMixed) {
    start();
    Client& alice = talker("alice", 2);
    Client& carol = talker("carol", 1);
    // Made one talker after the other, each from a fresh encoder as every talker has its
    // own, so that each talker's packets follow on.
    const std::vector<Bytes> low = toneTurn(500, 5000, 10);
    const std::vector<Bytes> high = toneTurn(1500, 5000, 10);
    ASSERT_EQ(alice.requestMic(2), 0);
    std::size_t next = 0;
    talk(carol, 1, high, [&] {
        alice.sendDatagram(low[next]);
        if (++next == low.size()) alice.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 2); });
    });
    const std::vector<int16_t> played = heard();

    // Somewhere the two tones sound together, each at its own strength (a sine of amplitude
    // A shows A / 2 here), with nothing between them.
    double together = 0;
    std::size_t best = 0;
    for (std::size_t at = 0; at + 1600 <= played.size(); at += 400) {
        const double both =
            std::min(strengthAt(played.data() + at, 1600, 500), strengthAt(played.data() + at, 1600, 1500));
        if (both > together) {
            together = both;
            best = at;
        }
    }
    EXPECT_NEAR(strengthAt(played.data() + best, 1600, 500), 2500, 1000);
    EXPECT_NEAR(strengthAt(played.data() + best, 1600, 1500), 2500, 1000);
    EXPECT_LT(strengthAt(played.data() + best, 1600, 1000), 300);
}

TEST_F(Hearing, SpoiledVoicePlaysInOrderAndHostileDatagramsAreDropped) {
    start(ImpairmentProxy::Pattern{7, 5, 3, 4, 150ms});
    Client& carol = talker("carol", 1);
    // Each packet a tone of its own, rising by 140 Hz, so the order heard shows. The pattern
    // drops the 7th and 14th; the last is only swapped with the one before it, and the last
    // delayed one (the 16th) is due 250 ms before the end of talk.
    constexpr int kPackets = 19;
    std::vector<Bytes> turn;
    for (int k = 0; k < kPackets; ++k) turn.push_back(tonePacket(300 + 140 * k, 5000));
    Bytes stranger = tonePacket(3700, 5000);
    ASSERT_EQ(srv_stamp_sender(stranger.data(), static_cast<int>(stranger.size()), 4242), TW_OK);
    Bytes oversized = turn[0];
    oversized.resize(1500, 0x5a);
    std::vector<Bytes> hostile = {stranger, Bytes(turn[0].begin(), turn[0].begin() + 20), oversized, Bytes(1, 0),
                                  Bytes()};
    unsigned state = 11;
    for (int i = 0; i < 20; ++i) {
        Bytes noise(1 + i * 50);
        for (unsigned char& byte : noise)
            byte = static_cast<unsigned char>((state = state * 1103515245U + 12345U) >> 16);
        hostile.push_back(noise);
    }
    std::size_t next = 0;
    talk(carol, 1, turn, [&] {
        for (int i = 0; i < 2 && next < hostile.size(); ++i) proxy->inject(hostile[next++]);
    });
    const std::vector<int16_t> played = heard();

    // The pitch of each 20 ms block of sound; 0 for silence and for the first or last block
    // of a stretch of sound.
    std::vector<double> pitches;
    for (std::size_t at = 0; at + 160 <= played.size(); at += 160) {
        const bool whole = rms(played.data() + at, 80) >= 1000 && rms(played.data() + at + 80, 80) >= 1000;
        pitches.push_back(whole ? pitch(played.data() + at) : 0);
    }
    // A tone counts where two blocks in a row agree on it: a block across a tone change or
    // across a repeated packet's seam has no steady pitch and tells nothing.
    long latest = -1;
    int outOfOrder = 0;
    std::vector<bool> tonesHeard(kPackets);
    for (std::size_t i = 0; i + 1 < pitches.size(); ++i) {
        const double frequency = pitches[i];
        EXPECT_LT(frequency, 3000) << "the stranger is never heard";
        const long k = std::lround((frequency - 300) / 140);
        if (frequency == 0 || std::abs(pitches[i + 1] - frequency) > 30 || k < 0 || k >= kPackets ||
            std::abs(frequency - (300 + 140.0 * static_cast<double>(k))) >= 40) {
            continue;
        }
        if (k < latest) ++outOfOrder;
        latest = std::max(latest, k);
        tonesHeard[static_cast<std::size_t>(k)] = true;
    }
    EXPECT_EQ(outOfOrder, 0);
    const auto count = std::count(tonesHeard.begin(), tonesHeard.end(), true);
    EXPECT_GE(count, kPackets - 2) << "every tone but the dropped ones";
}

}  // namespace
