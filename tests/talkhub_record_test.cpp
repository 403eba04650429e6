// Recording: every turn heard in a recorded group becomes one MP3 that the host is told of
// once it is complete. Through the reference server with the library as the listener, and
// a speaker's buffer on its own where a failure or a large decode is the point. The MP3s
// are decoded with ffmpeg.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command_output.h"
#include "hearing_support.h"
#include "media/ptt_audio_buffer.h"
#include "speech_sample.h"

namespace {

using namespace std::chrono_literals;
using hearing_test::Hearing;
using hearing_test::rms;
using hearing_test::tonePacket;
using server_test::Client;
using talkhub_test::LogTail;
using test_support::Bytes;

// The MP3 decoded to 16-bit mono PCM at 8000 Hz.
std::vector<int16_t> decodeMp3(const std::string& path) {
    const std::string raw = path + ".raw";
    const std::string command = "ffmpeg -v error -y -i '" + path + "' -f s16le -ac 1 -ar 8000 '" + raw + "'";
    if (std::system(command.c_str()) != 0) return {};
    std::vector<int16_t> samples = speech_sample::readSamples(raw);
    std::filesystem::remove(raw);
    return samples;
}

std::filesystem::path recordFolder() {
    return std::filesystem::temp_directory_path() / ("talkhub-records-" + std::to_string(::getpid()));
}

// One notice as the host got it, with the file decoded inside the callback, the thread it
// came on, and whether the library, asked from inside the notice, still recorded group 1.
struct Notice {
    unsigned int userId;
    std::string text;
    std::vector<int16_t> decoded;
    std::string thread;
    bool groupOneRecorded = false;
};

std::mutex noticesLock;
std::vector<Notice> notices;
// Set by a test: the next notice logs out from inside the callback.
std::atomic<bool> logoutInNotice{false};

void onRecordFinish(unsigned int userId, const char* text) {
    const std::string value = text;
    char thread[16] = {};
    pthread_getname_np(pthread_self(), thread, sizeof thread);
    Notice notice{userId, value, decodeMp3(value.substr(value.rfind(',') + 1)), thread, testGroupRecord(1)};
    if (logoutInNotice.exchange(false)) loginout();
    std::lock_guard lock(noticesLock);
    notices.push_back(std::move(notice));
}

std::vector<Notice> takeNotices() {
    std::lock_guard lock(noticesLock);
    return std::exchange(notices, {});
}

class Recording : public Hearing {
protected:
    void SetUp() override {
        Hearing::SetUp();
        std::filesystem::remove_all(recordFolder());
        takeNotices();
        setAudioRecordFinishCallback(onRecordFinish);
    }
    void TearDown() override {
        Hearing::TearDown();
        std::filesystem::remove_all(recordFolder());
    }

    // A turn of `packets` packets of 440 Hz, sent as fast as a talker would; returns once
    // bob has had time to play it out.
    static void turn(Client& who, int packets) { talk(who, 1, hearing_test::toneTurn(440, 4000, packets)); }
};

TEST_F(Recording, EachTurnOfARecordedAudibleGroupBecomesOneCompleteMp3AndOneNotice) {
    start();
    Client& carol = talker("carol", 1);
    // No trailing separator: the library adds one.
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    // Two turns that begin in the same second keep a file each: a short one at the start of
    // a second, then, once it has played out, the next.
    std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(std::time(nullptr) + 1) + 20ms);
    ASSERT_EQ(carol.requestMic(1), 0);
    carol.sendDatagram(tonePacket(440, 4000));
    carol.sendDatagram(tonePacket(440, 4000));
    // The server runs without a grace period here; the voice goes first, as the grace
    // period would see to.
    std::this_thread::sleep_for(50ms);
    carol.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    ASSERT_TRUE(eventually([] {
        std::lock_guard lock(noticesLock);
        return notices.size() == 1;
    })) << "the first turn is told of once it has played out";
    // Shorter than one batch of the MP3 encoder: written whole all the same.
    const std::vector<Notice> first = takeNotices();
    ASSERT_EQ(first.size(), 1U);
    EXPECT_NEAR(static_cast<double>(first[0].decoded.size()), 2 * 800, 600) << "200 ms of tone";
    turn(carol, 8);
    setDefaultAllPlay(false);
    turn(carol, 3);
    setDefaultAllPlay(true);
    setRecordSavePath("");
    turn(carol, 3);

    const std::vector<Notice> later = takeNotices();
    std::string told;
    for (const Notice& notice : later) told += notice.text + " ";
    ASSERT_EQ(later.size(), 1U) << told << ": not audible, then no save path: nothing recorded";
    const auto files =
        std::distance(std::filesystem::directory_iterator(recordFolder()), std::filesystem::directory_iterator{});
    std::string names;
    for (const auto& file : std::filesystem::directory_iterator(recordFolder())) names += file.path().string() + " ";
    EXPECT_EQ(files, 2) << names;
    const Notice& second = later[0];
    EXPECT_EQ(second.userId, 1003U);
    const std::string prefix = "1:Dispatch,1003:Carol,";
    ASSERT_EQ(second.text.rfind(prefix, 0), 0U) << second.text;
    const std::string path = second.text.substr(second.text.rfind(',') + 1);
    EXPECT_EQ(path.rfind(recordFolder().string() + "/1003_", 0), 0U) << path;
    EXPECT_TRUE(path.size() > 6 && path.compare(path.size() - 6, 6, "_1.mp3") == 0)
        << names << ": the first turn's file has the plain name";
    const unsigned long durationMs = std::stoul(second.text.substr(prefix.size()));
    EXPECT_GT(durationMs, 700U) << "the time from the start of the turn to its end";
    EXPECT_LT(durationMs, 3000U);
    // The file was complete inside the notice: the whole turn decodes from it.
    EXPECT_NEAR(static_cast<double>(second.decoded.size()), 8 * 800, 1200);
    EXPECT_NEAR(rms(second.decoded.data() + 800, second.decoded.size() - 1600), 4000 / std::sqrt(2.0), 600);
}

// Half a turn: the floor taken and `packets` packets at a talker's pace, never released.
void halfTurn(Client& who, int packets) {
    hearing_test::freshTalker();
    ASSERT_EQ(who.requestMic(1), 0);
    for (int k = 0; k < packets; ++k) {
        who.sendDatagram(tonePacket(440, 4000));
        std::this_thread::sleep_for(100ms);
    }
}

// Waits for exactly `count` notices and takes them.
std::vector<Notice> awaitNotices(std::size_t count) {
    talkhub_test::eventually([&] {
        std::lock_guard lock(noticesLock);
        return notices.size() >= count;
    });
    return takeNotices();
}

// The floor notice ends a speaker's turn on its own: with every end-of-talk datagram lost,
// the turn still ends, and its recording is completed and told of.
TEST_F(Recording, ATurnWhoseEndOfTalkIsLostEndsWithTheFloorNotice) {
    start(test_support::ImpairmentProxy::Pattern{.dropEndOfTalk = true});
    Client& carol = talker("carol", 1);
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    turn(carol, 4);
    const std::vector<Notice> told = awaitNotices(1);
    ASSERT_EQ(told.size(), 1U) << "the turn never ended";
    EXPECT_NEAR(static_cast<double>(told[0].decoded.size()), 4 * 800, 800);
}

// An end-of-talk datagram that comes after its turn has ended (here held back past the
// floor notice, which ended the turn) belongs to no turn: no buffer, file nor notice.
TEST_F(Recording, AnEndOfTalkAfterItsTurnHasEndedStartsNothing) {
    start(test_support::ImpairmentProxy::Pattern{.endOfTalkDelay = 1500ms});
    Client& carol = talker("carol", 1);
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    turn(carol, 4);
    ASSERT_EQ(awaitNotices(1).size(), 1U);
    std::this_thread::sleep_for(2500ms);  // the held-back datagram arrives meanwhile
    EXPECT_TRUE(takeNotices().empty()) << "the late end of talk made a recording of its own";
    const auto files =
        std::distance(std::filesystem::directory_iterator(recordFolder()), std::filesystem::directory_iterator{});
    EXPECT_EQ(files, 1);
}

TEST_F(Recording, ATurnUnderWayAtLogoutIsCompletedAndReportedThereAndTheNextLoginHearsTheTalkerAfresh) {
    start();
    Client& carol = talker("carol", 1);
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    halfTurn(carol, 15);
    loginout();
    // Told before loginout returned, on the play thread, of a complete file.
    std::vector<Notice> told = takeNotices();
    ASSERT_EQ(told.size(), 1U) << "the turn under way ends with the login";
    EXPECT_EQ(told[0].thread, "talkhub-play");
    EXPECT_GT(told[0].decoded.size(), 5U * 800) << "what had played of 1.5 s, after the 600 ms reserve";
    carol.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });

    // Both log in again, as after a server restart: carol's packets are numbered from 0.
    loginTo(server->tcpPort(), "bob");
    std::this_thread::sleep_for(100ms);
    turn(carol, 8);
    told = awaitNotices(1);
    ASSERT_EQ(told.size(), 1U) << "the first turn after the new login is recorded";
    EXPECT_NEAR(static_cast<double>(told[0].decoded.size()), 8 * 800, 1200) << "in a file of its own, whole";
    EXPECT_NEAR(rms(told[0].decoded.data() + 800, told[0].decoded.size() - 1600), 4000 / std::sqrt(2.0), 600);

    // A turn numbered from 0 again while bob stays logged in: carol logged in anew.
    hearing_test::freshTalker();
    turn(carol, 6);
    told = awaitNotices(1);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_NEAR(static_cast<double>(told[0].decoded.size()), 6 * 800, 1200) << "not held back as late";
}

TEST_F(Recording, AServerThatDiesMidTurnEndsTheTurnsRecordingWithTheConnection) {
    start();
    setNotifyCallback(talkhub_test::onNotify);
    Client& carol = talker("carol", 1);
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    halfTurn(carol, 12);
    server.reset();
    // After carol's floor notification, the broken connection.
    std::optional<talkhub_test::HostEvent> broken;
    do {
        broken = talkhub_test::HostEvents::instance().take(talkhub_test::HostEvent::kNotify);
    } while (broken && broken->value != TALKHUB_NOTIFY_NETWORK_EXCEPTION);
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(broken->text, TALKHUB_TEXT_NETWORK_EXCEPTION);
    const std::vector<Notice> told = awaitNotices(1);
    ASSERT_EQ(told.size(), 1U) << "the turn under way is told of";
    EXPECT_EQ(told[0].thread, "talkhub-play");
    EXPECT_GT(told[0].decoded.size(), 4U * 800) << "the file is complete up to where the server died";
    setNotifyCallback(nullptr);
}

TEST_F(Recording, ANoticeThatLogsOutEndsPlaybackAndUnInitializeEndsATurnWithTheLibraryAlreadyGone) {
    start();
    Client& carol = talker("carol", 1);
    setRecordSavePath(recordFolder().c_str());
    openGroupRecord(1);
    logoutInNotice = true;
    turn(carol, 4);
    ASSERT_EQ(awaitNotices(1).size(), 1U);
    EXPECT_TRUE(eventually([] { return talkhub::serviceInstance()->getLoginState() == 0; }))
        << "the notice's loginout took effect";

    loginTo(server->tcpPort(), "bob");
    std::this_thread::sleep_for(100ms);
    halfTurn(carol, 10);
    unInitialize();
    const std::vector<Notice> told = takeNotices();
    ASSERT_EQ(told.size(), 1U) << "the turn under way ends with the library";
    EXPECT_EQ(told[0].thread, "talkhub-play");
    EXPECT_FALSE(told[0].groupOneRecorded) << "inside the teardown every function is inert";
    EXPECT_GT(told[0].decoded.size(), 2U * 800);
    // The fixture's own teardown ends the service once more.
    initialize();
}

TEST_F(Recording, ADecodeLargerThanABatchIsKeptWholeAndAStartThatFailsTellsNobody) {
    LogTail log;
    std::filesystem::create_directories(recordFolder());
    std::vector<std::string> told;
    {
        CPttAudioBuffer unwritable;
        unwritable.setUserId(7);
        unwritable.setRecordPath("/proc/no-such-folder");
        unwritable.setRecordFinishCallback(
            [&](unsigned int, unsigned long long, const std::string& path) { told.push_back(path); });
        unwritable.startRecord();
    }
    EXPECT_TRUE(told.empty()) << "no file was made";
    EXPECT_TRUE(log.contains("create record file:[/proc/no-such-folder/7_"));

    // Packets 0, 1 and 7 of one stream: the decode of 7 brings 25 concealed frames with its
    // own 5, 9600 bytes, more than a 6400-byte batch.
    hearing_test::freshTalker(4001);
    std::vector<Bytes> stream;
    for (int k = 0; k < 8; ++k) stream.push_back(tonePacket(440, 4000));
    std::size_t decodedBytes = 0;
    {
        CPttAudioBuffer buffer;
        buffer.setUserId(4001);
        buffer.setRecordPath(recordFolder().string() + "/");
        buffer.setRecordFinishCallback(
            [&](unsigned int, unsigned long long, const std::string& path) { told.push_back(path); });
        buffer.startRecord();
        for (int k : {0, 1, 7}) {
            auto packet = std::make_shared<_AUDIO_PACKET>();
            ASSERT_EQ(talkwire::datagrams::readTalk(stream[static_cast<std::size_t>(k)].data(),
                                                    static_cast<int>(stream[static_cast<std::size_t>(k)].size()),
                                                    packet.get()),
                      TW_OK);
            buffer.pushPacket(packet);
        }
        buffer.setTalkEnd(true);
        unsigned char pcm[10240];
        for (int decoded; (decoded = buffer.decode(pcm, sizeof pcm, true)) > 0;)
            decodedBytes += static_cast<std::size_t>(decoded);
    }
    EXPECT_EQ(decodedBytes, (5 + 5 + 30) * 320U);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].rfind(recordFolder().string() + "/4001_", 0), 0U) << told[0];
    // Every decoded sample is in the file; the encoder adds at most its delay and padding.
    const std::size_t recorded = decodeMp3(told[0]).size();
    EXPECT_GE(recorded, decodedBytes / 2);
    EXPECT_LE(recorded, decodedBytes / 2 + 700);
}

// A speaker's turn recorded into `folder` and played out; what the finish handler was told.
std::vector<std::string> recordTurn(const std::string& folder, int packets) {
    std::vector<std::string> told;
    // The packets come from talker 4002.
    hearing_test::freshTalker(4002);
    CPttAudioBuffer buffer;
    buffer.setUserId(4002);
    buffer.setRecordPath(folder);
    buffer.setRecordFinishCallback(
        [&](unsigned int, unsigned long long, const std::string& path) { told.push_back(path); });
    buffer.startRecord();
    unsigned char pcm[10240];
    for (int k = 0; k < packets; ++k) {
        const Bytes datagram = tonePacket(440 + 20 * (k % 7), 6000);
        auto packet = std::make_shared<_AUDIO_PACKET>();
        EXPECT_EQ(talkwire::datagrams::readTalk(datagram.data(), static_cast<int>(datagram.size()), packet.get()),
                  TW_OK);
        buffer.pushPacket(packet);
        buffer.setTalkEnd(true);
        EXPECT_GT(buffer.decode(pcm, sizeof pcm, true), 0) << "the turn plays on whatever becomes of its recording";
        buffer.setTalkEnd(false);
    }
    return told;
}

// Runs in a mount namespace of its own where TALKHUB_FULL_FOLDER is a file system of 16 KiB
// (started by the test below); on its own it has no such folder and is disabled.
TEST(RecordingOnAFullDisk, DISABLED_InsideTheNamespace) {
    const char* folder = std::getenv("TALKHUB_FULL_FOLDER");
    ASSERT_NE(folder, nullptr);
    // The library's log is started by initialize().
    initialize();
    LogTail log;
    // 20 s of audio, several times what fits.
    const std::vector<std::string> told = recordTurn(folder, 200);
    EXPECT_TRUE(told.empty()) << told.front() << " was reported complete";
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << "the partial file is removed";
    EXPECT_TRUE(log.contains(std::string("record file:[") + folder + "/4002_"));
    EXPECT_TRUE(log.contains("No space left on device"));
    EXPECT_EQ(log.count("recording dropped."), 1U);
    // A short turn that fits is recorded and reported as before.
    EXPECT_EQ(recordTurn(folder, 3).size(), 1U);
    unInitialize();
}

TEST(RecordingOnAFullDisk, ATurnWhoseFileCannotBeWrittenIsPlayedButNeitherKeptNorReported) {
    const std::filesystem::path folder = recordFolder() / "full";
    std::filesystem::create_directories(folder);
    const command_output::Finished run = command_output::runDisabledTestInNamespaces(
        "--mount", "RecordingOnAFullDisk.DISABLED_InsideTheNamespace", "TALKHUB_FULL_FOLDER='" + folder.string() + "'",
        "mount -t tmpfs -o size=16k tmpfs \"$TALKHUB_FULL_FOLDER\" && ");
    std::filesystem::remove_all(recordFolder());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
}

}  // namespace
