// The Windows build of the library in a Windows host under Wine, against the reference
// server in this process: the host's microphone is WinMM's wave input, fed by a sound server
// of the test's own. Run from the Windows build's tests, which say where its programs are
// (TALKHUB_WINDOWS_BIN) and how to start them (TALKHUB_UNDER_WINE).
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "capture_source.h"
#include "server_test_support.h"
#include "sound_server.h"
#include "speech_sample.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;

struct Finished {
    int exitCode = -1;
    std::string output;
};

Finished runUnderWine(const SoundServer& sound, const std::string& program, const std::string& arguments) {
    const std::string command = sound.environment() + " " + std::getenv("TALKHUB_UNDER_WINE") + " '" +
                                std::getenv("TALKHUB_WINDOWS_BIN") + "/" + program + "' " + arguments + " 2>&1";
    Finished result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) result.output += line;
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class WindowsHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("TALKHUB_WINDOWS_BIN") == nullptr || std::getenv("TALKHUB_UNDER_WINE") == nullptr) {
            GTEST_SKIP() << "run by the Windows build's tests";
        }
        ASSERT_TRUE(sound.running()) << "pulseaudio and pactl are needed";
    }

    SoundServer sound;
};

TEST_F(WindowsHost, TalksThroughWaveInputAndALinuxListenerHearsTheSpeech) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    const std::string wave = (capture_source::folder() / "speech.wav").string();
    std::filesystem::create_directories(capture_source::folder());
    ASSERT_EQ(std::system(("espeak-ng -s 150 -w '" + wave + "' '" + speech_sample::kSentence + "'").c_str()), 0);

    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    // The sentence, over and over, for as long as the host may take to start and reach its
    // turn (it listens 2 s, then talks 3 s).
    sound.play(wave, 4);
    auto alice = std::async(std::launch::async, [&] {
        return runUnderWine(sound, "talkhub_example.exe",
                            "127.0.0.1 " + std::to_string(server.tcpPort()) + " alice alice 1");
    });

    std::vector<int16_t> heard;
    bool ended = false;
    auto wait = 60000ms;  // Wine's first start makes its prefix
    while (auto datagram = bob.datagram(wait)) {
        wait = 5000ms;
        _AUDIO_PACKET packet{};
        if (ptt_process_rx_udp(datagram->data(), static_cast<int>(datagram->size()), &packet) != TW_OK) continue;
        if (packet.senderId != 1001) continue;
        if (packet.kind == TW_KIND_END_OF_TALK) {
            ended = true;
            break;
        }
        std::vector<int16_t> pcm(TW_FRAME_SAMPLES * 8);
        const int bytes = ptt_voice_decode(packet.payload, static_cast<int>(packet.payloadLength),
                                           reinterpret_cast<unsigned char*>(pcm.data()),
                                           static_cast<int>(pcm.size() * 2), packet.mode);
        if (bytes > 0) heard.insert(heard.end(), pcm.begin(), pcm.begin() + bytes / 2);
    }
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ended) << result.output;
    EXPECT_GT(heard.size(), 8000U * 2) << "about 3 s of voice";
    // The turn may span the end of one reading of the sentence and the start of the next.
    std::vector<int16_t> twice = speech;
    twice.insert(twice.end(), speech.begin(), speech.end());
    const double match = speech_sample::envelopeCorrelation(twice, heard);
    std::printf("speech match of the Windows host's turn: %.3f over %.2f s\n", match,
                static_cast<double>(heard.size()) / 8000.0);
    EXPECT_GT(match, 0.8);
}

}  // namespace
