// The Windows build of the library in a Windows host under Wine, against the reference
// server in this process: the host's microphone is WinMM's wave input, fed by a sound server
// of the test's own. Run from the Windows build's tests, which say where its programs are
// (TALKHUB_WINDOWS_BIN) and how to start them (TALKHUB_UNDER_WINE).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "capture_source.h"
#include "cli_run.h"
#include "command_output.h"
#include "server_test_support.h"
#include "sound_server.h"
#include "speech_sample.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;

using command_output::Finished;

// Runs a Windows program of the build under Wine, speaking to `sound`; `onLine` sees each
// line of its output as it comes.
Finished runUnderWine(const SoundServer& sound, const std::string& program, const std::string& arguments,
                      const std::string& environment = "",
                      const std::function<void(const std::string&)>& onLine = nullptr) {
    return command_output::run(sound.environment() + " " + environment + " " + std::getenv("TALKHUB_UNDER_WINE") +
                                   " '" + std::getenv("TALKHUB_WINDOWS_BIN") + "/" + program + "' " + arguments +
                                   " 2>&1",
                               onLine);
}

// The same file as Wine names it: the Unix root is drive Z:.
std::string windowsName(const std::filesystem::path& path) { return "Z:" + path.string(); }

// The stretch of a recording from its first to its last loud sample.
std::vector<int16_t> loudPart(const std::vector<int16_t>& samples) {
    const auto loud = [](int16_t sample) { return sample > 300 || sample < -300; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base();
    return first < last ? std::vector<int16_t>(first, last) : std::vector<int16_t>{};
}

std::vector<int16_t> readSamples(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

class WindowsHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("TALKHUB_WINDOWS_BIN") == nullptr || std::getenv("TALKHUB_UNDER_WINE") == nullptr) {
            GTEST_SKIP() << "run by the Windows build's tests";
        }
        ASSERT_TRUE(sound.running()) << "pulseaudio and pactl are needed";
    }
    void TearDown() override { std::filesystem::remove_all(capture_source::folder()); }

    SoundServer sound;
};

TEST_F(WindowsHost, TalksThroughWaveInputAndALinuxListenerHearsTheSpeech) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    const std::string wave = (capture_source::folder() / "speech.wav").string();
    std::filesystem::create_directories(capture_source::folder());
    ASSERT_TRUE(speech_sample::writeWave(wave, speech_sample::kSentence));

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

    // Wine's first start makes its prefix.
    const Client::HeardTurn turn = bob.hearTurn(1001, 60000ms);
    const std::vector<int16_t>& heard = turn.pcm;
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(turn.ended) << result.output;
    EXPECT_GT(heard.size(), 8000U * 2) << "about 3 s of voice";
    // The turn may span the end of one reading of the sentence and the start of the next.
    std::vector<int16_t> twice = speech;
    twice.insert(twice.end(), speech.begin(), speech.end());
    const double match = speech_sample::envelopeCorrelation(twice, heard);
    std::printf("speech match of the Windows host's turn: %.3f over %.2f s\n", match,
                static_cast<double>(heard.size()) / 8000.0);
    EXPECT_GT(match, 0.8);
}

TEST_F(WindowsHost, HearsALinuxTalkerThroughSdlAndRecordsTheTurnIntoAFolderNamedInAnyScript) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    const std::filesystem::path scratch = capture_source::folder();
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
    const std::string wave = (scratch / "speech.wav").string();
    ASSERT_TRUE(speech_sample::writeWave(wave, speech_sample::kSentence));
    const std::filesystem::path records = scratch / std::filesystem::path(u8"Записи 🎙");
    const std::filesystem::path heard = scratch / "heard.raw";

    RunningServer server;
    const std::string port = std::to_string(server.tcpPort());
    std::promise<void> listening;
    auto bob = std::async(std::launch::async, [&] {
        bool told = false;
        return runUnderWine(
            sound, "listening_host.exe", "127.0.0.1 " + port + " bob bob 1 '" + windowsName(records) + "' 90",
            "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE='" + windowsName(heard) + "'", [&](const std::string& line) {
                if (!told && line.rfind("group 0 ", 0) == 0) {
                    told = true;
                    listening.set_value();
                }
            });
    });
    ASSERT_EQ(listening.get_future().wait_for(90s), std::future_status::ready) << "the Windows host entered group 1";
    const Finished alice = runCli("-u alice --mic-file " + wave + " -p " + port, "talk 3\\nquit\\n");
    EXPECT_EQ(alice.exitCode, 0) << alice.output;
    const Finished result = bob.get();
    ASSERT_EQ(result.exitCode, 0) << result.output;

    // "record 1001 1:Dispatch,1001:Alice,<duration ms>,<path>", the path in the folder as named.
    const std::string prefix = "record 1001 1:Dispatch,1001:Alice,";
    const std::size_t at = result.output.find(prefix);
    ASSERT_NE(at, std::string::npos) << result.output;
    const std::string notice =
        result.output.substr(at + prefix.size(), result.output.find('\n', at) - at - prefix.size());
    const std::size_t comma = notice.find(',');
    const long durationMs = std::atol(notice.substr(0, comma).c_str());
    const std::string path = notice.substr(comma + 1);
    // From the turn's first packet until it has been played out: its 3 s, and up to the
    // listener's reserve (600 ms) more when the turn ends by draining it rather than by the
    // floor's notice (each ends it first in some runs: 3.0 s or 3.4 s).
    EXPECT_GE(durationMs, 3000 - 400) << notice;
    EXPECT_LE(durationMs, 3000 + 600 + 200) << notice;
    const std::string folderName = windowsName(records);
    ASSERT_EQ(path.rfind(folderName, 0), 0U) << notice;
    const std::filesystem::path recording = records / std::filesystem::path(path.substr(folderName.size() + 1));
    ASSERT_TRUE(std::filesystem::exists(recording)) << recording;

    // The recording decodes to the speech, and so does what the speaker played.
    const std::filesystem::path decoded = scratch / "recording.raw";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + recording.string() + "' -f s16le -ac 1 -ar 8000 '" +
                           decoded.string() + "'")
                              .c_str()),
              0);
    const double recordedMatch = speech_sample::envelopeCorrelation(speech, loudPart(readSamples(decoded)));
    const std::vector<int16_t> played = loudPart(readSamples(heard));
    const double playedMatch = speech_sample::envelopeCorrelation(speech, played);
    std::printf("speech match of the Linux talker's turn on Windows: played %.3f over %.2f s, recorded %.3f\n",
                playedMatch, static_cast<double>(played.size()) / 8000.0, recordedMatch);
    EXPECT_GT(playedMatch, 0.8);
    EXPECT_GT(recordedMatch, 0.8);
}

}  // namespace
