// talkhub-cli as a user runs it: a separate process on the library's public header, against
// the reference server in this process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "capture_source.h"
#include "cli_run.h"
#include "cluster_test_support.h"
#include "hearing_support.h"
#include "server_process.h"
#include "server_test_support.h"
#include "speech_sample.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;

using command_output::Finished;

std::vector<std::string> jsonLines(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < output.size()) {
        const std::size_t end = output.find('\n', at);
        const std::string line = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.front() == '{' && line.back() == '}') lines.push_back(line);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(Cli, RefusalsAndMissingPiecesEndWithOneClearLineAndTheirOwnCodes) {
    RunningServer server;
    const std::string port = " -p " + std::to_string(server.tcpPort());

    Finished refused = runCli("-u alice -w wrong" + port + " wait 1");
    EXPECT_EQ(refused.exitCode, 2) << refused.output;
    EXPECT_NE(refused.output.find("talkhub-cli: login as alice failed: wrong password (-2)"), std::string::npos)
        << refused.output;

    uint16_t closed = 0;
    {
        RunningServer gone;
        closed = gone.tcpPort();
    }
    Finished unreachable = runCli("-u alice -p " + std::to_string(closed) + " wait 1");
    EXPECT_EQ(unreachable.exitCode, 3) << unreachable.output;
    EXPECT_NE(unreachable.output.find("unreachable (-1004)"), std::string::npos) << unreachable.output;
    Finished nameless = runCli("-u alice -s no-such-host.invalid wait 1");
    EXPECT_EQ(nameless.exitCode, 3) << nameless.output;
    EXPECT_NE(nameless.output.find("server name of no-such-host.invalid:13001 not found (-1005)"), std::string::npos)
        << nameless.output;

    const std::string missing = (capture_source::folder() / "missing.conf").string();
    const std::string config = "pcm.!default { type hw card 31 }\n";
    capture_source::replace(missing, config.data(), config.size());
    Finished silent = runCli("-u alice" + port + " wait 1", "", "ALSA_CONFIG_PATH=" + missing);
    EXPECT_EQ(silent.exitCode, 4) << silent.output;
    EXPECT_NE(silent.output.find("talkhub-cli: no microphone: the capture device did not open (code 0xc0000002;"),
              std::string::npos)
        << silent.output;
    EXPECT_EQ(silent.output.find("ALSA lib"), std::string::npos) << "the sound library's own noise";

    Finished mute = runCli("-u alice" + port + " wait 1", "", "SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(mute.exitCode, 4) << mute.output;
    EXPECT_NE(mute.output.find("talkhub-cli: no speaker: the playback device did not open ("), std::string::npos)
        << mute.output;

    Finished listing = runCli("--list-devices");
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    EXPECT_NE(listing.output.find("ALSA PCM devices"), std::string::npos) << listing.output;

    Finished unknown = runCli("-u alice" + port + " shout");
    EXPECT_EQ(unknown.exitCode, 1) << unknown.output;

    // Without microphone and speaker the same machine logs in: a listen-only or talk-only
    // host needs neither a device nor a file.
    Finished bare = runCli("-u alice --no-mic --no-speaker" + port + " talk 0.5", "",
                           "ALSA_CONFIG_PATH=" + missing + " SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(bare.exitCode, 0) << bare.output;
    Finished both = runCli("-u alice --no-mic --mic-file " + missing + port + " wait 1");
    EXPECT_EQ(both.exitCode, 1) << "--no-mic and --mic-file exclude each other: " << both.output;
}

// Runs `command` on a pseudo-terminal and types `line` once `question` has been shown (what
// the terminal shows before the program turns its echo off would be echoed by the terminal
// itself). Returns all the terminal showed.
std::string typeAtThePrompt(const std::string& command, const std::string& question, const std::string& line) {
    const std::string keyboard = (capture_source::folder() / "keyboard").string();
    ::unlink(keyboard.c_str());
    if (::mkfifo(keyboard.c_str(), 0600) != 0) return "no fifo";
    // Held open for writing from the start, so that the shell's open for reading returns.
    const int keys = ::open(keyboard.c_str(), O_RDWR);
    FILE* terminal =
        ::popen(("SDL_AUDIODRIVER=dummy script -qec '" + command + "' /dev/null < " + keyboard + " 2>&1").c_str(), "r");
    std::string shown;
    char c = 0;
    while (shown.find(question) == std::string::npos && ::read(::fileno(terminal), &c, 1) == 1) shown += c;
    const std::string typed = line + "\n";
    EXPECT_EQ(::write(keys, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    while (::read(::fileno(terminal), &c, 1) == 1) shown += c;
    ::pclose(terminal);
    ::close(keys);
    ::unlink(keyboard.c_str());
    return shown;
}

// A password on the command line is seen by every user of the machine: the file, the
// environment and the terminal are read in their turn, and -w is still taken with a warning.
TEST(Cli, ThePasswordComesFromAFileTheEnvironmentOrAPromptWithoutEcho) {
    RunningServer server;
    const std::string port = " -p " + std::to_string(server.tcpPort());
    const std::string file = (capture_source::folder() / "password").string();
    const auto writePassword = [&](const char* text) { std::ofstream(file) << text << "\n"; };
    const struct {
        const char* name;
        const char* filed;  // written to the file, which is named when not null
        std::string arguments;
        std::string environment;
        int exitCode;
    } cases[] = {
        {"the file's line", "alice", "", "", 0},
        {"the file before the environment", "wrong", "", "TALKHUB_PASSWORD=alice", 2},
        {"the environment", nullptr, "", "TALKHUB_PASSWORD=alice", 0},
        {"a wrong one in the environment", nullptr, "", "TALKHUB_PASSWORD=wrong", 2},
        {"-w before everything", "alice", " -w wrong", "TALKHUB_PASSWORD=alice", 2},
    };
    for (const auto& tried : cases) {
        std::string arguments = "-u alice" + port + tried.arguments;
        if (tried.filed != nullptr) {
            writePassword(tried.filed);
            arguments += " --password-file " + file;
        }
        const Finished run = runCli(arguments + " wait 0.2", "", tried.environment);
        EXPECT_EQ(run.exitCode, tried.exitCode) << tried.name << ": " << run.output;
        EXPECT_EQ(run.output.find("warning: -w shows the password") != std::string::npos, !tried.arguments.empty())
            << tried.name << ": " << run.output;
    }
    const Finished missing = runCli("-u alice --password-file " + file + ".missing" + port + " wait 0.2");
    EXPECT_EQ(missing.exitCode, 1) << missing.output;

    // On a terminal (a pseudo-terminal that script(1) opens) it asks, and what is typed
    // after the question is not shown.
    const std::string typed = typeAtThePrompt(std::string(TALKHUB_CLI_PATH) + " -u alice" + port + " wait 0.2",
                                              "password for alice: ", "secret-typed");
    EXPECT_NE(typed.find("password for alice:"), std::string::npos) << typed;
    EXPECT_NE(typed.find("wrong password (-2)"), std::string::npos) << typed;
    EXPECT_EQ(typed.find("secret-typed"), std::string::npos) << "echoed: " << typed;
}

TEST(Cli, TellsItsVersionAndACommandsArgumentsWithoutAnAccount) {
    const Finished version = runCli("--version");
    EXPECT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(version.output, "talkhub-cli " TALKHUB_VERSION_TEXT "\n");
    const Finished help = runCli("talk --help");
    EXPECT_EQ(help.exitCode, 0) << help.output;
    EXPECT_NE(help.output.find("SECONDS"), std::string::npos) << help.output;
    const Finished noAccount = runCli("wait 1");
    EXPECT_EQ(noAccount.exitCode, 1) << noAccount.output;
    EXPECT_NE(noAccount.output.find("--user is required"), std::string::npos) << noAccount.output;
}

TEST(Cli, TalksFromAWaveFileAndPrintsEveryEventAsJson) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    // espeak-ng's own WAV (22050 Hz): the program reads its header, ALSA converts the rate.
    const std::string wave = (capture_source::folder() / "speech.wav").string();
    ASSERT_TRUE(speech_sample::writeWave(wave, speech_sample::kSentence));

    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    auto alice = std::async(std::launch::async, [&] {
        return runCli("-u alice --json --mic-file " + wave + " -p " + std::to_string(server.tcpPort()),
                      "wait 2\\ntalk 2\\nquit\\n");
    });
    // Bob takes and leaves the floor while alice waits: she is told of both.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(bob.requestMic(1), 0);
    bob.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });

    const server_test::Client::HeardTurn turn = bob.hearTurn(1001, 5000ms);
    const std::vector<int16_t>& heard = turn.pcm;
    const bool ended = turn.ended;
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(ended);
    EXPECT_GT(heard.size(), 8000U) << "about 2 s of voice";
    EXPECT_GT(speech_sample::envelopeCorrelation(speech, heard), 0.8);

    const std::vector<std::string> lines = jsonLines(result.output);
    EXPECT_TRUE(hasLine(lines, R"("event":"login","result":0,"text":"1:Dispatch")")) << result.output;
    EXPECT_TRUE(hasLine(lines, R"("event":"notify","code":3,"meaning":"a member took the floor","text":"1:1002:Bob")"))
        << result.output;
    EXPECT_TRUE(hasLine(lines, R"("event":"notify","code":4,"meaning":"a member left the floor","text":"1:1002")"))
        << result.output;
    EXPECT_TRUE(hasLine(lines, R"("event":"talk","message":"talking")")) << result.output;
}

// A stereo file becomes one channel by averaging: summed, both channels of the same speech
// would reach the listener twice as loud (or wrapped past full scale).
TEST(Cli, AStereoWaveIsMixedDownToTheLevelOfEachChannel) {
    std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    for (int16_t& sample : speech) sample = static_cast<int16_t>(sample * 2 / 5);
    const std::string wave = (capture_source::folder() / "stereo.wav").string();
    {
        std::ofstream out(wave, std::ios::binary);
        const auto u32 = [&](uint32_t value) { out.write(reinterpret_cast<const char*>(&value), 4); };
        const auto u16 = [&](uint16_t value) { out.write(reinterpret_cast<const char*>(&value), 2); };
        const auto dataBytes = static_cast<uint32_t>(speech.size() * 4);
        out.write("RIFF", 4);
        u32(36 + dataBytes);
        out.write("WAVEfmt ", 8);
        u32(16);
        u16(1);
        u16(2);
        u32(8000);
        u32(8000 * 4);
        u16(4);
        u16(16);
        out.write("data", 4);
        u32(dataBytes);
        for (const int16_t sample : speech) {
            out.write(reinterpret_cast<const char*>(&sample), 2);
            out.write(reinterpret_cast<const char*>(&sample), 2);
        }
    }
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    auto alice = std::async(std::launch::async, [&] {
        return runCli("-u alice --mic-file " + wave + " -p " + std::to_string(server.tcpPort()), "talk 2\\nquit\\n");
    });
    const std::vector<int16_t> heard = bob.hearTurn(1001, 5000ms).pcm;
    EXPECT_EQ(alice.get().exitCode, 0);
    ASSERT_GT(heard.size(), 8000U);
    const std::size_t span = std::min(heard.size(), speech.size());
    const double ratio = hearing_test::rms(heard.data(), heard.size()) / hearing_test::rms(speech.data(), span);
    std::printf("heard / one channel's level: %.2f\n", ratio);
    EXPECT_GT(ratio, 0.6);
    EXPECT_LT(ratio, 1.45) << "the channels were added, not averaged";
}

// `hear 2` plays group 2 and nothing else: bob talks in group 1 (a 1000 Hz tone), then in
// group 2 (600 Hz); alice, a member of both, hears only the second.
TEST(Cli, HearPlaysTheChosenGroupsAndNoOther) {
    const std::string heardFile = (capture_source::folder() / "chosen.wav").string();
    RunningServer server;
    std::promise<void> chosen;
    auto alice = std::async(std::launch::async, [&] {
        const std::string command = "printf 'hear 2\\nwait 5\\nquit\\n' | " TALKHUB_CLI_PATH
                                    " -u alice --no-mic --speaker-file " +
                                    heardFile + " -p " + std::to_string(server.tcpPort()) + " 2>&1";
        std::promise<void>* waiting = &chosen;
        return command_output::run(command, [&](const std::string& line) {
            if (waiting != nullptr && line.find("hearing groups 2") != std::string::npos) {
                waiting->set_value();
                waiting = nullptr;
            }
        });
    });
    ASSERT_EQ(chosen.get_future().wait_for(20s), std::future_status::ready) << "the program never chose its groups";
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    for (const auto& [group, frequency] : {std::pair{1U, 1000.0}, std::pair{2U, 600.0}}) {
        hearing_test::freshTalker();
        ASSERT_EQ(bob.requestMic(group), 0) << group;
        for (int k = 0; k < 10; ++k) {
            bob.sendDatagram(hearing_test::tonePacket(frequency, 5000));
            std::this_thread::sleep_for(100ms);
        }
        bob.send([group = group](unsigned char* b, int c) { return cp_release_mic(b, c, group); });
        std::this_thread::sleep_for(600ms);
    }
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::vector<int16_t> heard = speech_sample::readSamples(heardFile);
    ASSERT_FALSE(heard.empty());
    const double chosenGroup = hearing_test::strengthAt(heard.data(), heard.size(), 600);
    const double otherGroup = hearing_test::strengthAt(heard.data(), heard.size(), 1000);
    std::printf("group 2 (chosen): %.1f, group 1: %.1f\n", chosenGroup, otherGroup);
    EXPECT_GT(chosenGroup, 50) << "the chosen group is heard";
    EXPECT_LT(otherGroup, chosenGroup / 20) << "group 1 is not chosen and must not be heard";
}

// The speaker file is written once playback has closed: it holds all the program played,
// from its login to its end, at 8000 samples a second.
TEST(Cli, TheSpeakerFileHoldsEverythingPlayedUntilTheProgramEnds) {
    const std::string heardFile = (capture_source::folder() / "everything.wav").string();
    RunningServer server;
    const auto start = std::chrono::steady_clock::now();
    const Finished result =
        runCli("-u alice --no-mic --speaker-file " + heardFile + " -p " + std::to_string(server.tcpPort()),
               "wait 3\\nquit\\n");
    const double ran = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::ifstream wave(heardFile, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(wave.good());
    const double seconds = static_cast<double>(static_cast<std::size_t>(wave.tellg()) - 44) / 16000;
    std::printf("speaker file: %.2f s of a %.2f s run\n", seconds, ran);
    EXPECT_GT(seconds, 2.9) << "the end of what was played is missing";
    EXPECT_LT(seconds, ran);
}

TEST(Cli, VoxSwitchedOffMidSpeechGivesTheFloorBackAndSendsNothingMore) {
    const std::string wave = (capture_source::folder() / "speech.wav").string();
    ASSERT_TRUE(speech_sample::writeWave(wave, speech_sample::kSentence));
    RunningServer server;
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    // The sentence lasts some 4 s: voice activation ends in the middle of it, and the
    // program then listens for 3 s more.
    auto alice = std::async(std::launch::async, [&] {
        return runCli("-u alice --json --mic-file " + wave + " -p " + std::to_string(server.tcpPort()),
                      "vox 1.5 --threshold 0 --hangover 400\\nwait 3\\nquit\\n");
    });
    const Client::HeardTurn turn = bob.hearTurn(1001, 5000ms, 1000ms);
    EXPECT_TRUE(turn.ended) << "the turn ends with the voice activation";
    EXPECT_GT(turn.pcm.size(), 8000U / 2);
    EXPECT_LT(turn.pcm.size(), 8000U * 2) << "voice went on after the voice activation ended";
    int later = 0;
    while (auto datagram = bob.datagram(500ms)) {
        _AUDIO_PACKET packet{};
        if (talkwire::datagrams::readTalk(datagram->data(), static_cast<int>(datagram->size()), &packet) == TW_OK &&
            packet.senderId == 1001 && packet.kind == TW_KIND_VOICE) {
            ++later;
        }
    }
    EXPECT_EQ(later, 0) << "voice datagrams after the floor went back";
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::vector<std::string> lines = jsonLines(result.output);
    EXPECT_TRUE(hasLine(lines, R"("event":"vox","message":"voice activation off")")) << result.output;
}

// A tone as a raw microphone file (16-bit mono PCM at 8000 Hz).
std::string toneFile(const std::string& name, double seconds) {
    const std::string path = (capture_source::folder() / name).string();
    const std::vector<int16_t> samples = hearing_test::tone(500, 6000, static_cast<std::size_t>(seconds * 8000));
    capture_source::replace(path, samples.data(), samples.size() * sizeof(int16_t));
    return path;
}

// Runs `command`; each promise is kept when the first line holding its text is printed, so
// that a test can move on at what the program says.
Finished runAwaiting(const std::string& command, std::vector<std::pair<const char*, std::promise<void>*>> awaited) {
    return command_output::run(command, [&](const std::string& line) {
        for (auto& [text, promise] : awaited) {
            if (promise != nullptr && line.find(text) != std::string::npos) {
                promise->set_value();
                promise = nullptr;
            }
        }
    });
}

// The server dies while the program holds the floor and comes back on the same ports once
// the program has failed to log in again after a pause of 1 s: it logs in after its pause
// of 2 s, and the first turns after it are heard both ways.
TEST(Cli, WaitLogsInAgainAfterTheServerRestartsAndTheFirstTurnsAreHeardBothWays) {
    const std::string microphone = toneFile("tone.raw", 30);
    const std::string heardFile = (capture_source::folder() / "heard.wav").string();
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.limits.floorGraceMs = 0;
    auto server = std::make_unique<RunningServer>(config);
    config.tcpPort = server->tcpPort();
    config.udpPort = server->udpPort();

    // The test moves on at what the program prints: its floor, its second attempt, its login.
    std::promise<void> talking;
    std::promise<void> secondAttempt;
    std::promise<void> loggedInAgain;
    auto alice = std::async(std::launch::async, [&] {
        const std::string command =
            "printf 'talk 3\\nwait 7\\ntalk 1.5\\nquit\\n' | " TALKHUB_CLI_PATH " -u alice --json --mic-file " +
            microphone + " --speaker-file " + heardFile + " -p " + std::to_string(config.tcpPort) + " 2>&1";
        return runAwaiting(command, {{R"("message":"talking")", &talking},
                                     {R"("attempt":2)", &secondAttempt},
                                     {"logged in again", &loggedInAgain}});
    });
    ASSERT_EQ(talking.get_future().wait_for(20s), std::future_status::ready) << "the program never held the floor";
    server.reset();
    // Down until the first attempt has failed and the second is under way.
    ASSERT_EQ(secondAttempt.get_future().wait_for(20s), std::future_status::ready) << "no second attempt";
    server = std::make_unique<RunningServer>(config);
    Client bob(config.tcpPort, config.udpPort);
    bob.join("bob", 1);
    ASSERT_EQ(loggedInAgain.get_future().wait_for(20s), std::future_status::ready) << "no new login";
    std::this_thread::sleep_for(300ms);
    // Bob's turn: a tone alice's speaker plays.
    hearing_test::freshTalker();
    ASSERT_EQ(bob.requestMic(1), 0);
    for (int k = 0; k < 10; ++k) {
        bob.sendDatagram(hearing_test::tonePacket(1000, 5000));
        std::this_thread::sleep_for(100ms);
    }
    bob.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    // Alice's turn after her wait: her microphone's tone reaches bob.
    const Client::HeardTurn turn = bob.hearTurn(1001, 10000ms, 2000ms);
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::vector<std::string> lines = jsonLines(result.output);
    EXPECT_TRUE(hasLine(lines, R"("code":0,"meaning":"connection to the server lost","text":"network exception.")"))
        << result.output;
    EXPECT_TRUE(hasLine(lines, R"("event":"reconnect","attempt":1,"pause_s":1,)")) << result.output;
    EXPECT_TRUE(hasLine(lines, R"("event":"reconnect","attempt":2,"pause_s":2,)")) << result.output;
    EXPECT_TRUE(turn.ended);
    EXPECT_GT(turn.pcm.size(), 8000U) << "alice is heard on her first turn after the restart";
    EXPECT_GT(hearing_test::rms(turn.pcm.data(), turn.pcm.size()), 2000);
    const std::vector<int16_t> heard = speech_sample::readSamples(heardFile);
    ASSERT_FALSE(heard.empty());
    EXPECT_GT(hearing_test::rms(heard.data(), heard.size()), 500) << "bob's turn is heard by alice";
}

// A stand-in for a server that is up but broken: it accepts each connection and closes it.
class AcceptAndClose {
public:
    AcceptAndClose()
        : thread_([this] {
              while (!stop_) peer_.accept(100ms);
          }) {}
    ~AcceptAndClose() {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return peer_.port(); }

private:
    talkhub_test::ScriptedPeer peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The first server given accepts and closes: the program logs in to the second, and that
// session is not torn down by what the broken first connection left behind.
TEST(Cli, ABrokenFirstServerLeavesTheSessionOnTheNextOneUp) {
    AcceptAndClose broken;
    RunningServer good;
    const Finished result =
        runCli("-u alice --json --no-mic --no-speaker -s 127.0.0.1:" + std::to_string(broken.port()) +
                   ",127.0.0.1:" + std::to_string(good.tcpPort()),
               "wait 3\\nquit\\n");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::vector<std::string> lines = jsonLines(result.output);
    EXPECT_FALSE(hasLine(lines, R"("event":"reconnect")")) << "a good session was logged out: " << result.output;
}

// Two server nodes of a cluster, the program given both: its node dies while it holds the
// floor; the floor is freed on the other node within the lease, and the program, after its
// pause, logs in to the other node and talks there.
TEST(Cli, AfterItsClusterNodeDiesWaitLogsInToTheNextNodeAndTalksThere) {
    test_kit::NatsCluster nats(3);
    ASSERT_TRUE(nats.ready());
    const std::string file = cluster_test::nodeFile(nats, "a");
    auto a = std::make_unique<bench::ServerProcess>(TALKHUB_SERVER_PATH, std::vector<std::string>{"--config", file});
    ASSERT_TRUE(a->running());
    RunningServer b(cluster_test::nodeConfig(nats, "b"));
    Client bob(b.tcpPort(), b.udpPort());
    bob.join("bob", 1);

    const std::string microphone = toneFile("tone.raw", 30);
    std::promise<void> talking;
    std::promise<void> loggedInAgain;
    auto alice = std::async(std::launch::async, [&] {
        const std::string command = "printf 'talk 2\\nwait 6\\ntalk 1.5\\nquit\\n' | " TALKHUB_CLI_PATH
                                    " -u alice --json --no-speaker --mic-file " +
                                    microphone + " -s 127.0.0.1:" + std::to_string(a->tcpPort()) +
                                    ",127.0.0.1:" + std::to_string(b.tcpPort()) + " 2>&1";
        return runAwaiting(command, {{R"("message":"talking")", &talking}, {"logged in again", &loggedInAgain}});
    });
    ASSERT_EQ(talking.get_future().wait_for(20s), std::future_status::ready) << "the program never held the floor";
    ASSERT_TRUE(bob.expect(TW_CMD_MEMBER_GET_MIC, 3s).has_value()) << "bob, on the other node, is told";
    std::this_thread::sleep_for(800ms);  // some of her voice is on its way
    ::kill(a->pid(), SIGKILL);
    ASSERT_TRUE(bob.expect(TW_CMD_MEMBER_LOST_MIC, std::chrono::milliseconds(cluster_test::kLeaseMs) + 2s))
        << "the dead node's floor is not freed";
    const Client::HeardTurn cut = bob.hearTurn(1001, 1000ms, 500ms);
    EXPECT_TRUE(cut.ended) << "the turn cut by the node's death is ended for its listeners";
    EXPECT_GT(cut.pcm.size(), 0U) << "alice's voice crossed from her first node";
    ASSERT_EQ(loggedInAgain.get_future().wait_for(20s), std::future_status::ready) << "no login to the next node";
    // Alice's turn after her wait, from the node she moved to.
    const Client::HeardTurn turn = bob.hearTurn(1001, 10000ms, 2000ms);
    const Finished result = alice.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const std::string second = "127.0.0.1:" + std::to_string(b.tcpPort());
    EXPECT_TRUE(hasLine(jsonLines(result.output), R"("event":"reconnect","attempt":1,"pause_s":1,"server":")" + second))
        << result.output;
    EXPECT_TRUE(turn.ended);
    EXPECT_GT(turn.pcm.size(), 8000U) << "alice is heard from her new node";
    a.reset();
    ::unlink(file.c_str());
}

}  // namespace
