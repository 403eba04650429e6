// The send path: what a talker's microphone becomes at a listener. End to end through the
// real capture device, the reference server and a talkwire listener; and with blocks
// handed to the engine one by one where the exact packet pattern is the point.
#include <cmath>
#include <cstring>
#include <future>
#include <numeric>
#include <vector>

#include "capture_source.h"
#include "media/audio_media.h"
#include "media/scale_volume.h"
#include "server_test_support.h"
#include "speech_sample.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;
using talkhub_test::acceptedLogin;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::loginAnswer;
using talkhub_test::LogTail;
using talkhub_test::ScriptedPeer;
using talkhub_test::Service;
using talkhub_test::VoiceServer;
using test_support::FramedStream;

// One turn as a listener receives it.
struct Turn {
    std::vector<uint32_t> frames;  // frames per voice packet, in arrival order
    std::vector<uint16_t> sequences;
    std::vector<int16_t> pcm;  // the decoded voice
    bool ended = false;        // the end-of-talk datagram came (after every voice packet)
    std::chrono::steady_clock::duration firstToLast{};
};

// Voice datagrams of one sender up to its end of talk, decoded as a listener does.
Turn listen(Client& listener, std::chrono::milliseconds wait) {
    Turn turn;
    const auto until = std::chrono::steady_clock::now() + wait;
    std::chrono::steady_clock::time_point first;
    while (!turn.ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        auto datagram = listener.datagram(left);
        if (!datagram) break;
        _AUDIO_PACKET packet{};
        if (talkwire::datagrams::readTalk(datagram->data(), static_cast<int>(datagram->size()), &packet) != TW_OK)
            continue;
        if (packet.kind == TW_KIND_END_OF_TALK) {
            turn.ended = true;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (turn.frames.empty()) first = now;
        turn.firstToLast = now - first;
        turn.frames.push_back(packet.frameCount);
        turn.sequences.push_back(packet.sequence);
        server_test::appendDecoded(packet, turn.pcm);
    }
    return turn;
}

double rms(const std::vector<int16_t>& pcm, std::size_t skip = 0) {
    double energy = 0;
    for (std::size_t i = skip; i < pcm.size(); ++i) energy += static_cast<double>(pcm[i]) * pcm[i];
    return pcm.size() > skip ? std::sqrt(energy / static_cast<double>(pcm.size() - skip)) : 0;
}

class SendPath : public Service {
protected:
    void TearDown() override {
        Service::TearDown();
        capture_source::speak({});
    }

    static int nextResult() {
        auto result = HostEvents::instance().take(HostEvent::kResult);
        return result ? result->value : INT32_MIN;
    }

    // Takes the floor, asking again while the server still closes the last turn.
    static int takeFloor() {
        int result = INT32_MIN;
        for (int attempt = 0; attempt < 40; ++attempt) {
            requestMic(talkhub_test::onResult);
            result = nextResult();
            if (result != talkhub_server::kFloorBusy) break;
            std::this_thread::sleep_for(50ms);
        }
        return result;
    }

    // A turn of about `length` by push-to-talk, as the listener hears it.
    static Turn talkFor(Client& listener, std::chrono::milliseconds length) {
        auto heard = std::async(std::launch::async, [&] { return listen(listener, length + 5000ms); });
        EXPECT_EQ(takeFloor(), 0);
        std::this_thread::sleep_for(length);
        releaseMic();
        return heard.get();
    }
};

TEST_F(SendPath, AHeldFloorCarriesTheSpeechInPacketsOfFiveFramesTenASecond) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 5) << "espeak-ng and sox are needed";
    capture_source::speak(speech);
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "1:Dispatch");
    EXPECT_FALSE(bob.datagram(300ms).has_value()) << "voice without the floor";

    const Turn turn = talkFor(bob, 3000ms);
    ASSERT_TRUE(turn.ended);
    ASSERT_GE(turn.frames.size(), 25U);
    EXPECT_LE(turn.frames.size(), 36U);
    for (std::size_t i = 0; i + 1 < turn.frames.size(); ++i) EXPECT_EQ(turn.frames[i], 5U) << "packet " << i;
    EXPECT_GE(turn.frames.back(), 1U);
    for (std::size_t i = 1; i < turn.sequences.size(); ++i) {
        EXPECT_EQ(static_cast<uint16_t>(turn.sequences[i] - turn.sequences[i - 1]), 1U) << "packet " << i;
    }
    // Ten packets a second: the whole turn took about one packet time per packet.
    const double seconds = std::chrono::duration<double>(turn.firstToLast).count();
    EXPECT_NEAR(seconds, 0.1 * static_cast<double>(turn.frames.size() - 1), 0.5);
    EXPECT_GT(speech_sample::envelopeCorrelation(speech, turn.pcm), 0.85) << "the listener hears other sound";
}

TEST_F(SendPath, MicrophoneVolumeScalesWhatIsSentAndClipsAtFullScale) {
    // scaleVolume itself, at the edges: clipping, truncation, the untouched cases.
    int16_t samples[4] = {20000, -3, -20000, 7};
    scaleVolume(reinterpret_cast<unsigned char*>(samples), sizeof samples, 2.0F);
    EXPECT_EQ(samples[0], 32767);
    EXPECT_EQ(samples[2], -32768);
    scaleVolume(reinterpret_cast<unsigned char*>(samples), sizeof samples, 0.5F);
    EXPECT_EQ(samples[1], -3) << "-6 halved";
    EXPECT_EQ(samples[3], 7) << "14 halved";
    scaleVolume(reinterpret_cast<unsigned char*>(samples), 3, 0.5F);
    EXPECT_EQ(samples[0], 8191) << "16383 halved, truncated";
    EXPECT_EQ(samples[1], -3) << "only whole samples";
    scaleVolume(reinterpret_cast<unsigned char*>(samples), sizeof samples, -1.0F);
    scaleVolume(reinterpret_cast<unsigned char*>(samples), sizeof samples, 1.0F);
    EXPECT_EQ(samples[0], 8191);
    EXPECT_EQ(samples[3], 7);

    // A steady tone at 90% of full scale through three turns.
    std::vector<int16_t> tone(8000 * 20);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>(0.9 * 32767 * std::sin(2 * M_PI * 400.0 * static_cast<double>(i) / 8000));
    }
    capture_source::speak(tone);
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "1:Dispatch");
    std::vector<double> loudness;
    for (int volume : {100, 0, 200}) {
        setMicVolume(volume);
        const Turn turn = talkFor(bob, 1000ms);
        ASSERT_GE(turn.pcm.size(), 4000U) << "volume " << volume;
        loudness.push_back(rms(turn.pcm, 800));
    }
    EXPECT_NEAR(loudness[0], 0.9 * 32767 / std::sqrt(2.0), 0.15 * 32767);
    EXPECT_LT(loudness[1], 0.01 * loudness[0]) << "volume 0 is silence";
    // Doubled and clipped at full scale: louder, but far from twice (a wrapped sample
    // would sound as noise of no particular loudness).
    EXPECT_GT(loudness[2], 1.15 * loudness[0]);
    EXPECT_LT(loudness[2], 1.5 * loudness[0]);
}

TEST_F(SendPath, WithVoiceActivationSpeechAloneTakesAndGivesBackTheFloor) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 5) << "espeak-ng and sox are needed";
    std::vector<int16_t> microphone = speech_sample::roomNoise(8000 * 3 / 2);
    microphone.insert(microphone.end(), speech.begin(), speech.end());
    const std::vector<int16_t> after = speech_sample::roomNoise(8000 * 4, 11);
    microphone.insert(microphone.end(), after.begin(), after.end());
    capture_source::speak(microphone);
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    setAudioActivateThreshold(0);
    enableAudioDetection(true);
    EXPECT_EQ(loginTo(server.tcpPort(), "alice"), "1:Dispatch");
    setNotifyCallback(talkhub_test::onNotify);

    auto granted = HostEvents::instance().take(HostEvent::kNotify, 6000ms);
    ASSERT_TRUE(granted.has_value()) << "speech did not take the floor";
    EXPECT_EQ(granted->value, TALKHUB_NOTIFY_VOICE_GET_MIC);
    ASSERT_TRUE(bob.expect(TW_CMD_MEMBER_GET_MIC).has_value());
    const Turn turn = listen(bob, 15000ms);
    ASSERT_TRUE(turn.ended) << "silence did not give the floor back";
    auto released = HostEvents::instance().take(HostEvent::kNotify);
    ASSERT_TRUE(released.has_value());
    EXPECT_EQ(released->value, TALKHUB_NOTIFY_MIC_LOST);
    EXPECT_EQ(talk().getMicState(), 0);

    ASSERT_GE(turn.frames.size(), 20U);
    for (std::size_t i = 0; i + 1 < turn.frames.size(); ++i) EXPECT_EQ(turn.frames[i], 5U) << "packet " << i;
    EXPECT_GT(speech_sample::envelopeCorrelation(microphone, turn.pcm), 0.8);
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kResult, 0ms).has_value()) << "no request callback here";
}

// Blocks handed to the engine one by one: the machine has no microphone, so the encode
// thread sees exactly these (the capture stays open for them after a failed device open).
class HandedBlocks : public Service {
protected:
    void SetUp() override {
        Service::SetUp();
        capture_source::setPresent(false);
        stream = loginAt(peer);
        ASSERT_NE(stream, nullptr);
        stream->answerLogin(acceptedLogin(voice.port(), 8000));
        voice.keysOf(*stream);
        auto done = HostEvents::instance().take(HostEvent::kLogin);
        capture_source::setPresent(true);
        ASSERT_TRUE(done.has_value());
        ASSERT_EQ(static_cast<unsigned int>(done->value), 0xC0000000U | MMSYSERR_BADDEVICEID);
        ASSERT_EQ(talk().getLoginState(), 2);
    }

    static void feed(int blocks, unsigned int bytes = TW_FRAME_BYTES) {
        const std::vector<int16_t> noise = speech_sample::roomNoise(TW_FRAME_SAMPLES, 5);
        std::vector<int16_t> block(TW_FRAME_SAMPLES);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>(noise[i] * 100);
        for (int i = 0; i < blocks; ++i) {
            talk().media()->onAudioRecordDataCallback(reinterpret_cast<const unsigned char*>(block.data()), bytes);
        }
    }

    // A block the encoder refuses: once its error line is written, every block fed before
    // it has been through the encode thread.
    void settle() {
        feed(1, 100);
        ++refused;
        ASSERT_TRUE(eventually([&] { return log.count("data len:[100] result:[0].") == refused; }));
    }

    void grant() {
        requestMic(talkhub_test::onResult);
        ASSERT_TRUE(stream->expect(TW_CMD_REQUEST_MIC).has_value());
        stream->send([](unsigned char* b, int c) { return srv_build_result_ack(b, c, TW_CMD_REQUEST_MIC_ACK, 0); });
        ASSERT_TRUE(eventually([] { return talk().getMicState() == 2; }));
    }

    // Frames per voice packet until none comes for a while.
    std::vector<uint32_t> packets() {
        std::vector<uint32_t> frames;
        while (auto voicePacket = voice.nextVoice(300ms)) frames.push_back(voicePacket->frameCount);
        return frames;
    }

    ScriptedPeer peer;
    VoiceServer voice;
    std::unique_ptr<FramedStream> stream;
    LogTail log;
    std::size_t refused = 0;
};

TEST_F(HandedBlocks, TheEndOfAPushToTalkTurnGoesOutWhenTheFloorFallsNotWithTheNextTurn) {
    grant();
    feed(7);
    settle();
    EXPECT_EQ(packets(), std::vector<uint32_t>{5});

    stream->send([](unsigned char* b, int c) { return srv_build_release_mic_ack(b, c, 0); });
    ASSERT_TRUE(eventually([] { return talk().getMicState() == 0; }));
    feed(1);  // the first block after the fall flushes the two gathered frames
    EXPECT_EQ(packets(), std::vector<uint32_t>{2});
    feed(5);
    EXPECT_TRUE(packets().empty()) << "voice without the floor";

    grant();
    feed(3);
    settle();
    EXPECT_TRUE(packets().empty()) << "frames of the last turn went out with this one";
    feed(2);
    EXPECT_EQ(packets(), std::vector<uint32_t>{5});
}

TEST_F(HandedBlocks, TheDetectorsEdgesGiveFiveFramesThenTheRestAtTheFall) {
    setMuteDurationMs(0);
    enableAudioDetection(true);  // at the initial threshold every full block is speech
    feed(7);
    feed(1, TW_FRAME_BYTES - 2);  // judged silent: the decision falls
    EXPECT_TRUE(stream->expect(TW_CMD_REQUEST_MIC).has_value());
    EXPECT_TRUE(stream->expect(TW_CMD_RELEASE_MIC).has_value());
    EXPECT_EQ(packets(), (std::vector<uint32_t>{5, 2}));

    // The request is still unanswered: the callback refuses the next rise, so its block is
    // dropped and only the four after it go out, at the next fall.
    feed(5);
    feed(1, TW_FRAME_BYTES - 2);
    EXPECT_EQ(packets(), std::vector<uint32_t>{4});
    EXPECT_TRUE(log.contains("[CVoiceTalk::onAudioDetectionStateCallback] current mic state error:[1]."));
}

TEST_F(HandedBlocks, AStalledEncoderLosesTheOldestAudioNotMemory) {
    grant();
    std::size_t lines = 0;
    for (int burst = 0; burst < 2; ++burst) {
        // Far faster than real time: the encode thread falls behind at once.
        feed(400);
        settle();
        const std::vector<uint32_t> frames = packets();
        const uint32_t sent = std::accumulate(frames.begin(), frames.end(), 0U);
        EXPECT_LT(sent, 400U) << "nothing was dropped";
        EXPECT_GE(sent, 95U) << "the newest 2 s must survive";
        // A line per episode, not per lost block (a scheduler pause in the middle of a
        // burst may let the encoder catch up once and start a second episode).
        const std::size_t now = log.count("capture queue full");
        EXPECT_GE(now, lines + 1) << "burst " << burst;
        EXPECT_LE(now, lines + 3) << "burst " << burst;
        lines = now;
    }
}

}  // namespace
