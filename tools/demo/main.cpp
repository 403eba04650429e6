// talkhub-demo: a whole intercom session on this machine, headless, with what happened
// shown and kept. The reference server with its built-in directory; alice and bob, each a
// talkhub-cli whose microphone is a FIFO this program speaks into (espeak-ng sentences) and
// whose speaker is SDL's disk driver writing a WAV. Both enter the group "Field team" and
// record it; alice speaks, bob answers, then alice calls bob on a temporary call and speaks
// again. The recordings are converted to WAV through the library's own transcoding export.
// Leaves in the output folder: what each side heard, the recordings and their conversions,
// a picture of the waveforms, the timeline and a summary with the measured floor access
// and mouth-to-ear times. Exits with 1 when anything did not happen.
// Usage: talkhub-demo [--out FOLDER] [--server PATH] [--cli PATH]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli_child.h"
#include "fifo_microphone.h"
#include "server_process.h"
#include "speaker_clock.h"
#include "speech_sample.h"
#include "talkhub.h"
#include "timeline.h"
#include "waveform_picture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace talkhub_demo;

constexpr int kSteps = 9;
constexpr unsigned int kGroup = 2;  // "Field team": alice and bob
constexpr double kDesignFloorMs = 100 + 500;
constexpr double kDeviceCallbackMs = 128;
constexpr std::size_t kMatchWindow = 80;  // 10 ms: the resolution of finding speech in what was heard

const char* const kAliceSays = "Bob, this is Alice. The delivery for dock four is ready.";
const char* const kBobSays = "Alice, Bob here. Confirmed, I am on my way to dock four.";
const char* const kAliceCalls = "Thanks Bob. Call me when you get there.";

double millis(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// One side of the session: its microphone, its program, what its speaker wrote.
struct Host {
    Host(std::string who, const fs::path& work, const fs::path& out)
        : name(std::move(who)),
          microphone(work, name),
          heardWave(out / (name + "-heard.wav")),
          recordings(out / "recordings" / name) {}

    std::string name;
    FifoMicrophone microphone;
    fs::path heardWave;
    fs::path recordings;
    std::optional<CliChild> cli;
    std::optional<SpeakerWatch> speakerWatch;
    std::vector<SpeakerWatch::Growth> growths;
    int exitStatus = -1;
};

// One turn: who spoke to whom, and when each thing happened.
struct Turn {
    std::string label;
    Host* speaker;
    Host* listener;
    std::vector<int16_t> utterance;
    Clock::time_point requested, granted, mouth, released;
    std::optional<speech_sample::EnvelopeFit> match;  // offset in kMatchWindow windows
    std::optional<double> mouthToEarMs;
};

// Makes the output folder, clearing what an earlier run left there, and opens the timeline.
std::FILE* openTimeline(const fs::path& out) {
    fs::create_directories(out);
    for (const char* earlier : {"recordings", "alice-heard.wav", "bob-heard.wav", "waveforms.png", "summary.txt"}) {
        std::error_code ignored;
        fs::remove_all(out / earlier, ignored);
    }
    return std::fopen((out / "timeline.txt").c_str(), "w");
}

// The samples of a 16-bit mono WAV as talkhub-cli writes it (a 44-byte header).
std::vector<int16_t> readWave(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() < 44) return {};
    std::vector<int16_t> samples((static_cast<std::size_t>(in.tellg()) - 44) / 2);
    in.seekg(44);
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    return samples;
}

// Where `utterance` lies in what a speaker played, by loudness, which a voice codec keeps
// while it changes the samples themselves.
speech_sample::EnvelopeFit locate(const std::vector<int16_t>& utterance, const std::vector<int16_t>& heard) {
    const std::vector<double> said = speech_sample::envelope(utterance, kMatchWindow);
    const std::vector<double> played = speech_sample::envelope(heard, kMatchWindow);
    if (said.size() < 10 || played.size() < said.size()) return {};
    return speech_sample::bestEnvelopeFit(played, said, said.size());
}

// Whether `wanted` occurs in `codes` in this order, other codes in between allowed.
bool inOrder(const std::vector<int>& codes, const std::vector<int>& wanted) {
    auto at = codes.begin();
    for (int code : wanted) {
        at = std::find(at, codes.end(), code);
        if (at == codes.end()) return false;
        ++at;
    }
    return true;
}

std::string joined(const std::vector<int>& codes) {
    std::string text;
    for (int code : codes) text += (text.empty() ? "" : " ") + std::to_string(code);
    return text;
}

class Demo {
public:
    Demo(fs::path out, std::string server, std::string cli)
        : out_(std::move(out)),
          server_(std::move(server)),
          cli_(std::move(cli)),
          work_(fs::temp_directory_path() / ("talkhub-demo-" + std::to_string(::getpid()))),
          timelineFile_(openTimeline(out_)),
          timeline_(timelineFile_ != nullptr ? std::vector<std::FILE*>{stdout, timelineFile_}
                                             : std::vector<std::FILE*>{stdout}) {}
    ~Demo() {
        if (timelineFile_ != nullptr) std::fclose(timelineFile_);
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }
    Demo(const Demo&) = delete;
    Demo& operator=(const Demo&) = delete;

    int run();

private:
    void step(int number, const std::string& text) {
        timeline_.add("demo", "[" + std::to_string(number) + "/" + std::to_string(kSteps) + "] " + text);
    }
    bool check(bool ok, const std::string& what) {
        if (!ok) {
            failures_.push_back(what);
            timeline_.add("demo", "FAILED: " + what);
        }
        return ok;
    }
    std::optional<Entry> expect(const Host& host, const std::vector<std::string>& needles, Clock::time_point since,
                                std::chrono::milliseconds timeout, const std::string& what) {
        auto entry = timeline_.waitFor(host.name, needles, since, timeout);
        check(entry.has_value(), host.name + ": " + what);
        return entry;
    }
    void startHost(Host& host, uint16_t port);
    std::optional<Turn> speak(const std::string& label, Host& speaker, Host& listener, std::vector<int16_t> utterance,
                              bool recorded);
    int finish();
    void convertRecordings();
    void analyse();
    void drawPicture();
    void writeSummary();

    fs::path out_;
    std::string server_, cli_;
    fs::path work_;
    std::FILE* timelineFile_;
    Timeline timeline_;
    std::vector<std::string> failures_;
    std::vector<Turn> turns_;
    std::vector<std::pair<fs::path, fs::path>> conversions_;
    std::unique_ptr<Host> alice_, bob_;
};

void Demo::startHost(Host& host, uint16_t port) {
    fs::create_directories(host.recordings);
    host.cli.emplace(host.name, timeline_, cli_,
                     std::vector<std::string>{"-u", host.name, "-p", std::to_string(port), "--json", "--speaker-file",
                                              host.heardWave.string(), "--record-dir", host.recordings.string()},
                     std::map<std::string, std::string>{{"ALSA_CONFIG_PATH", host.microphone.alsaConfig()}},
                     (out_ / (host.name + ".log")).string());
}

std::optional<Turn> Demo::speak(const std::string& label, Host& speaker, Host& listener, std::vector<int16_t> utterance,
                                bool recorded) {
    Turn turn{label, &speaker, &listener, std::move(utterance), {}, {}, {}, {}, {}, {}};
    const double seconds = static_cast<double>(turn.utterance.size()) / 8000 + 0.5;
    char command[32];
    std::snprintf(command, sizeof command, "talk %.1f", seconds);
    turn.requested = speaker.cli->command(command);
    const auto granted =
        expect(speaker, {"\"event\":\"result\"", "\"result\":0"}, turn.requested, 5s, "the floor was not granted");
    if (!granted) return std::nullopt;
    turn.granted = granted->at;
    turn.mouth = speaker.microphone.say(turn.utterance);
    expect(listener, {"\"code\":3"}, turn.requested, 5s, "not told that " + speaker.name + " took the floor");
    const auto released =
        expect(speaker, {"floor released"}, turn.requested,
               std::chrono::milliseconds(static_cast<int>(seconds * 1000)) + 5s, "the floor was not released");
    speaker.microphone.silence();
    turn.released = released ? released->at : Clock::now();
    expect(listener, {"\"code\":4"}, turn.requested, 5s, "not told that " + speaker.name + " left the floor");
    if (recorded) {
        expect(listener, {"\"event\":\"record\""}, turn.requested, 10s, "no recording of " + speaker.name + "'s turn");
    } else {
        std::this_thread::sleep_for(1500ms);  // the reserve plays out
    }
    return turn;
}

int Demo::run() {
    if (timelineFile_ == nullptr) {
        std::fprintf(stderr, "talkhub-demo: cannot write to %s\n", out_.c_str());
        return 1;
    }
    fs::create_directories(work_);

    step(1, "speech for alice and bob, made by espeak-ng");
    std::vector<int16_t> aliceSays = speech_sample::make(kAliceSays);
    std::vector<int16_t> bobSays = speech_sample::make(kBobSays);
    std::vector<int16_t> aliceCalls = speech_sample::make(kAliceCalls);
    if (!check(!aliceSays.empty() && !bobSays.empty() && !aliceCalls.empty(), "espeak-ng and sox made no speech")) {
        return 1;
    }

    step(2, "talkhub-server with its built-in directory, on loopback");
    bench::ServerProcess server(server_.c_str(), {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0"},
                                (out_ / "server.log").c_str());
    if (!check(server.running(), "the server did not start (" + server_ + ")")) return 1;

    step(3, "alice and bob log in");
    alice_ = std::make_unique<Host>("alice", work_, out_);
    bob_ = std::make_unique<Host>("bob", work_, out_);
    if (!check(alice_->microphone.ready() && bob_->microphone.ready(), "no FIFO microphone in " + work_.string())) {
        return 1;
    }
    const Clock::time_point begin = Clock::now();
    for (Host* host : {alice_.get(), bob_.get()}) startHost(*host, server.tcpPort());
    for (Host* host : {alice_.get(), bob_.get()}) {
        if (!expect(*host, {"\"event\":\"login\"", "\"result\":0"}, begin, 10s, "did not log in")) return finish();
        host->microphone.start();
        host->speakerWatch.emplace(host->heardWave.string() + ".raw");
    }

    step(4, "both enter the group Field team and record it");
    for (Host* host : {alice_.get(), bob_.get()}) {
        const Clock::time_point since = host->cli->command("enter " + std::to_string(kGroup));
        expect(*host, {"\"result\":0", "Field team"}, since, 5s, "did not enter Field team");
        const Clock::time_point record = host->cli->command("record " + std::to_string(kGroup));
        expect(*host, {"recording groups 2"}, record, 5s, "did not choose Field team for recording");
    }

    step(5, "alice takes the floor and speaks; bob hears and records it");
    if (auto turn = speak("alice to bob, group", *alice_, *bob_, aliceSays, true)) turns_.push_back(*turn);

    step(6, "bob answers; alice hears and records it");
    if (auto turn = speak("bob to alice, group", *bob_, *alice_, bobSays, true)) turns_.push_back(*turn);

    step(7, "alice calls bob on a temporary call, speaks, hangs up");
    const Clock::time_point call = alice_->cli->command("call 1002");
    expect(*alice_, {"\"event\":\"result\"", "\"result\":0"}, call, 5s, "the call was not accepted");
    expect(*bob_, {"\"code\":5", "1001:Alice"}, call, 5s, "not told of alice's call");
    if (auto turn = speak("alice to bob, call", *alice_, *bob_, aliceCalls, false)) turns_.push_back(*turn);
    const Clock::time_point hangup = alice_->cli->command("hangup");
    for (Host* host : {alice_.get(), bob_.get()}) {
        expect(*host, {"\"code\":6"}, hangup, 5s, "not told that the call ended");
    }
    return finish();
}

// Logs both out, then converts, analyses, draws and sums up what there is.
int Demo::finish() {
    step(8, "both log out; the recordings become WAV through the library's transcoding");
    for (Host* host : {alice_.get(), bob_.get()}) {
        if (!host->cli) continue;
        host->exitStatus = host->cli->finish();
        check(host->exitStatus == 0,
              host->name + "'s talkhub-cli ended with status " + std::to_string(host->exitStatus));
        if (host->speakerWatch) host->growths = host->speakerWatch->stop();
    }
    convertRecordings();

    step(9, "results");
    analyse();
    drawPicture();
    writeSummary();
    return failures_.empty() ? 0 : 1;
}

void Demo::convertRecordings() {
    for (Host* host : {alice_.get(), bob_.get()}) {
        std::vector<fs::path> recordings;
        std::error_code unreadable;
        for (const auto& entry : fs::directory_iterator(host->recordings, unreadable)) {
            if (entry.path().extension() == ".mp3") recordings.push_back(entry.path());
        }
        check(recordings.size() == 1, host->name + " has " + std::to_string(recordings.size()) +
                                          " recordings of the one turn heard in a recorded group");
        for (const fs::path& mp3 : recordings) {
            fs::path wave = mp3;
            wave.replace_extension(".wav");
            mediaTranscoding(mp3.c_str(), wave.c_str(), false);
            conversions_.emplace_back(mp3, wave);
        }
    }
    for (const auto& [mp3, wave] : conversions_) {
        const Clock::time_point deadline = Clock::now() + 30s;
        while (!checkMediaTranscodingFinish(mp3.c_str()) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
        std::error_code error;
        check(fs::file_size(wave, error) > 1000, "no WAV converted from " + mp3.string());
    }
}

// Finds each utterance in what its listener heard, and dates it there.
void Demo::analyse() {
    for (Turn& turn : turns_) {
        const std::vector<int16_t> heard = readWave(turn.listener->heardWave);
        turn.match = locate(turn.utterance, heard);
        if (!check(turn.match->correlation >= 0.7, turn.label + ": the speech heard does not match what was said (" +
                                                       std::to_string(turn.match->correlation) + ")")) {
            continue;
        }
        const BufferClock clock(turn.listener->growths);
        if (const auto ear = clock.sampleTime(turn.match->offset * kMatchWindow))
            turn.mouthToEarMs = millis(*ear - turn.mouth);
    }
    const std::vector<int> bobHeard = timeline_.notifications("bob");
    const std::vector<int> aliceHeard = timeline_.notifications("alice");
    check(inOrder(bobHeard, {3, 4, 5, 3, 4, 6}), "bob's notifications out of order: " + joined(bobHeard));
    check(inOrder(aliceHeard, {3, 4, 6}), "alice's notifications out of order: " + joined(aliceHeard));
}

// What each said and what the other heard, one above the other, on the demo's clock.
void Demo::drawPicture() {
    const auto heardTrack = [](const Host& host, Rgb color) {
        Track track{readWave(host.heardWave), {}, color, ""};
        const BufferClock clock(host.growths);
        for (std::size_t buffer = 0; buffer * BufferClock::kBufferSamples < track.samples.size(); ++buffer) {
            if (const auto at = clock.bufferTime(buffer)) {
                track.start = *at - std::chrono::microseconds(125 * buffer * BufferClock::kBufferSamples);
                break;
            }
        }
        return track;
    };
    constexpr Rgb kAliceColor{30, 80, 200};
    constexpr Rgb kBobColor{200, 100, 20};
    Track aliceHeard = heardTrack(*bob_, kAliceColor);
    aliceHeard.label = "bob hears alice (his speaker)";
    Track bobHeard = heardTrack(*alice_, kBobColor);
    bobHeard.label = "alice hears bob (her speaker)";
    const std::vector<Track> tracks = {
        {alice_->microphone.written(), alice_->microphone.startedAt(), kAliceColor, "alice says (her microphone)"},
        aliceHeard,
        {bob_->microphone.written(), bob_->microphone.startedAt(), kBobColor, "bob says (his microphone)"},
        bobHeard,
    };
    std::vector<Span> spans;
    for (const Turn& turn : turns_) {
        const Rgb shade = turn.label.find("call") != std::string::npos ? Rgb{215, 245, 215}
                          : turn.speaker == alice_.get()               ? Rgb{215, 228, 255}
                                                                       : Rgb{255, 228, 205};
        spans.push_back({turn.granted, turn.released + 1s, shade});
    }
    const Clock::time_point from = std::min(alice_->microphone.startedAt(), bob_->microphone.startedAt());
    const std::string error =
        writeWaveformPicture((out_ / "waveforms.png").string(), tracks, spans, from, Clock::now());
    check(error.empty(), error);
}

void Demo::writeSummary() {
    std::ofstream out(out_ / "summary.txt");
    char line[256];
    out << "TalkHub demo: alice (1001) and bob (1002) through talkhub-server on 127.0.0.1\n"
           "Protected: each login is a key exchange (SPAKE2+) that proves the password to the server and the\n"
           "server to the client; every control message and voice datagram after it goes sealed\n"
           "(ChaCha20-Poly1305), hop by hop through the server.\n\n";
    std::snprintf(line, sizeof line, "%-22s %14s %14s %12s\n", "turn", "floor access", "mouth to ear", "speech match");
    out << line;
    for (const Turn& turn : turns_) {
        std::snprintf(line, sizeof line, "%-22s %11.1f ms %11.0f ms %12.2f\n", turn.label.c_str(),
                      millis(turn.granted - turn.requested), turn.mouthToEarMs.value_or(0),
                      turn.match ? turn.match->correlation : 0.0);
        out << line;
    }
    std::snprintf(line, sizeof line,
                  "\nThe design's window for mouth to ear: 100 ms packet + 500 ms until the 600 ms reserve is queued"
                  "\n+ 0 to 128 ms until the device's next callback = %.0f to %.0f ms."
                  "\nFloor access: from the request to the grant, as the host saw them.\n",
                  kDesignFloorMs, kDesignFloorMs + kDeviceCallbackMs);
    out << line;
    out << "\nRecordings, and their conversions made through the library's transcoding export:\n";
    for (const auto& [mp3, wave] : conversions_) {
        out << "  " << fs::relative(mp3, out_).string() << " -> " << fs::relative(wave, out_).string() << "\n";
    }
    out << "\nFiles: alice-heard.wav, bob-heard.wav (what each speaker played), waveforms.png (rows from the top:\n"
           "what alice said, what bob heard, what bob said, what alice heard; shaded: alice's turn blue, bob's\n"
           "orange, the call green), timeline.txt, server.log, alice.log, bob.log.\n\n";
    if (failures_.empty()) {
        out << "Every check passed: logins, notifications in order, speech heard and matched, one recording per\n"
               "recorded turn, conversions, picture.\n";
    } else {
        out << "FAILED:\n";
        for (const std::string& failure : failures_) out << "  " << failure << "\n";
    }
    out.close();
    std::ifstream in(out_ / "summary.txt");
    std::printf("\n%s\nEverything is in %s/\n", std::string(std::istreambuf_iterator<char>(in), {}).c_str(),
                out_.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    fs::path out = "demo-out";
    std::string server = TALKHUB_SERVER_PATH;
    std::string cli = TALKHUB_CLI_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--out") == 0) {
            out = argv[i + 1];
        } else if (std::strcmp(argv[i], "--server") == 0) {
            server = argv[i + 1];
        } else if (std::strcmp(argv[i], "--cli") == 0) {
            cli = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: %s [--out FOLDER] [--server PATH] [--cli PATH]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Demo demo(out, server, cli);
    return demo.run();
}
