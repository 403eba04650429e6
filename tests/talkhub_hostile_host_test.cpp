// A host that hands the library whatever it has: null, empty, huge and malformed texts,
// numbers at the ends of their ranges, and callbacks that call back into the library. The
// session lives through all of it and each call does what the header says.
#include <climits>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hearing_support.h"
#include "server_test_support.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using hearing_test::Hearing;
using hearing_test::tonePacket;
using server_test::Client;
using server_test::RunningServer;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::Service;
using test_support::Bytes;

const std::string kHuge(1 << 20, 'x');
const char* const kInvalidUtf8 = "\xff\xfe\xc3\x28 \xed\xa0\x80 \xf4\x90\x80\x80";

using HostileHost = Service;

TEST_F(HostileHost, NullEmptyHugeAndMalformedTextsAndExtremeNumbersLeaveTheSessionWorking) {
    // Sixteen failed logins from this address would otherwise pause its logins.
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.limits.freeFailedLogins = 100;
    RunningServer server(config);
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / ("talkhub-hostile-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch);

    // Logins that cannot go anywhere fail at once or through their callback, never hang.
    const std::vector<const char*> texts = {nullptr, "", kHuge.c_str(), kInvalidUtf8};
    for (const char* address : texts) {
        setServerInfo(address, UINT_MAX);
        const int started = login("alice", "alice", talkhub_test::onLoginResult);
        if (started == 0) {
            auto done = HostEvents::instance().take(HostEvent::kLogin, 10000ms);
            ASSERT_TRUE(done.has_value()) << "a login to an impossible server never ended";
            EXPECT_LT(done->value, 0);
        }
        loginout();
    }
    setServerInfo("127.0.0.1", server.tcpPort());
    for (const char* account : texts) {
        for (const char* password : texts) {
            if (login(account, password, talkhub_test::onLoginResult) == 0) {
                auto done = HostEvents::instance().take(HostEvent::kLogin, 10000ms);
                ASSERT_TRUE(done.has_value());
                EXPECT_NE(done->value, 0) << "no such account";
            }
            loginout();
        }
    }

    loginTo(server.tcpPort(), "alice");
    Client bob(server.tcpPort(), server.udpPort());
    bob.join("bob", 1);
    for (const char* text : texts) {
        meetingCall(true, text, nullptr);
        meetingCall(false, text, nullptr);
        setRecordSavePath(text);
        mediaTranscoding(text, text, true);
        mediaTranscoding((scratch / "none.mp3").c_str(), text, false);
    }
    EXPECT_TRUE(checkMediaTranscodingFinish(nullptr));
    for (unsigned int id : {0U, 1U, UINT_MAX, UINT_MAX - 1}) {
        tempCall(id, nullptr);
        handupTempCall();
        handupMeetingCall(id);
        enterGroup(id, nullptr);
        setGroupOption(id, id, nullptr);
        openCanPlayGroup(id);
        closeCanPlayGroup(id);
        openGroupRecord(id);
        closeGroupRecord(id);
    }
    for (int value : {INT_MIN, -1, 0, INT_MAX}) {
        setVolume(value);
        setMicVolume(value);
        setAudioActivateThreshold(value);
    }
    for (long long ms : {LLONG_MIN, -1LL, 0LL, LLONG_MAX}) setMuteDurationMs(ms);
    EXPECT_GE(volume(), 0);
    EXPECT_LE(volume(), 100);
    EXPECT_TRUE(eventually([] { return checkMediaTranscodingFinish((std::string(kInvalidUtf8)).c_str()); }, 10000ms));

    // Still logged in and answered: back to group 1, the floor granted, then released.
    setVolume(5);
    setMicVolume(100);
    setMuteDurationMs(1500);
    setAudioActivateThreshold(6);
    closeCanPlayGroup(0);
    // The answers to the entries above may still be on their way, and an answer goes to the
    // callback of the latest entry: ask until the answer to this one comes back.
    std::optional<HostEvent> entered;
    for (int attempt = 0; attempt < 6 && !(entered && entered->text == "1:Dispatch"); ++attempt) {
        HostEvents::instance().clear();
        enterGroup(1, talkhub_test::onLoginResult);
        entered = HostEvents::instance().take(HostEvent::kLogin);
        ASSERT_TRUE(entered.has_value());
    }
    EXPECT_EQ(entered->text, "1:Dispatch");
    requestMic(talkhub_test::onResult);
    auto granted = HostEvents::instance().take(HostEvent::kResult);
    ASSERT_TRUE(granted.has_value());
    EXPECT_EQ(granted->value, 0);
    releaseMic();
    EXPECT_EQ(talk().getLoginState(), 2);
    std::filesystem::remove_all(scratch);
}

// A login callback that asks for the floor: the request goes out from the network thread
// and its own callback follows there.
void requestTheFloorOnLogin(int result, const char* text) {
    talkhub_test::onLoginResult(result, text);
    if (result == 0) requestMic(talkhub_test::onResult);
}

// A notification callback that logs out when a member takes the floor.
void logOutOnAnyNotice(int code, const char* text) {
    talkhub_test::onNotify(code, text);
    if (code == TALKHUB_NOTIFY_MEMBER_GET_MIC) loginout();
}

std::mutex transcodedLock;
std::vector<std::string> transcodedSources;

std::vector<std::string> transcoded() {
    std::lock_guard lock(transcodedLock);
    return transcodedSources;
}

// A record callback that converts the file it was just told of.
void transcodeTheRecording(unsigned int, const char* text) {
    const std::string notice = text;
    const std::string path = notice.substr(notice.rfind(',') + 1);
    mediaTranscoding(path.c_str(), (path.substr(0, path.size() - 4) + ".wav").c_str(), false);
    std::lock_guard lock(transcodedLock);
    transcodedSources.push_back(path);
}

TEST_F(Hearing, CallbacksThatCallBackIntoTheLibraryDoWhatTheHeaderSaysAndNeverWait) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-callbacks-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    start();
    loginout();

    // The login's own callback takes the floor.
    setServerInfo("127.0.0.1", server->tcpPort());
    ASSERT_EQ(login("bob", "bob", requestTheFloorOnLogin), 0);
    ASSERT_TRUE(HostEvents::instance().take(HostEvent::kLogin).has_value());
    auto granted = HostEvents::instance().take(HostEvent::kResult);
    ASSERT_TRUE(granted.has_value()) << "the floor request from the login callback was not answered";
    EXPECT_EQ(granted->value, 0);
    releaseMic();

    // The record notice converts its file while the play thread waits for nothing.
    setAudioRecordFinishCallback(transcodeTheRecording);
    setRecordSavePath(folder.c_str());
    openGroupRecord(1);
    Client& carol = talker("carol", 1);
    std::this_thread::sleep_for(200ms);
    std::vector<Bytes> voice;
    hearing_test::freshTalker();
    for (int k = 0; k < 6; ++k) voice.push_back(tonePacket(440, 4000));
    talk(carol, 1, voice);
    ASSERT_TRUE(eventually([] { return transcoded().size() == 1; }));
    // The job ran, with the system's ffmpeg (none lies beside this program), and kept its
    // source as asked.
    const std::string source = transcoded()[0];
    EXPECT_TRUE(eventually([&] { return checkMediaTranscodingFinish(source.c_str()); }, 10000ms));
    EXPECT_TRUE(std::filesystem::exists(source.substr(0, source.size() - 4) + ".wav"));
    EXPECT_TRUE(std::filesystem::exists(source));

    // A notification that logs out: the session ends on the network thread, which goes on.
    setNotifyCallback(logOutOnAnyNotice);
    ASSERT_EQ(carol.requestMic(1), 0);
    EXPECT_TRUE(eventually([] { return talkhub::serviceInstance()->getLoginState() == 0; }));
    carol.send([](unsigned char* b, int c) { return cp_release_mic(b, c, 1); });
    setNotifyCallback(nullptr);
    loginTo(server->tcpPort(), "bob");
    EXPECT_EQ(talkhub::serviceInstance()->getLoginState(), 2) << "the network thread still serves a new login";
    setAudioRecordFinishCallback(nullptr);
    std::filesystem::remove_all(folder);
}

}  // namespace
