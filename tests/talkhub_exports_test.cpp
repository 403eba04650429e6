// The exported functions: their guards without a service, the settings they read and
// write, and what the shared library exposes.
#include <climits>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;

using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::LogTail;
using talkhub_test::Service;

// Every export with a result answers 0, false or -1, and every other one does nothing.
void expectInertExports() {
    setServerInfo("127.0.0.1", 13001);
    setServerInfo(nullptr, 1);
    setNotifyCallback(talkhub_test::onNotify);
    EXPECT_EQ(login("alice", "alice", talkhub_test::onLoginResult), -1);
    loginout();
    tempCall(1002, talkhub_test::onResult);
    handupTempCall();
    meetingCall(true, "1001,1002", talkhub_test::onLoginResult);
    handupMeetingCall(5);
    enterGroup(1, talkhub_test::onLoginResult);
    setGroupOption(5, 255, talkhub_test::onResult);
    requestMic(talkhub_test::onResult);
    releaseMic();
    setHighQuality(true);
    EXPECT_FALSE(highQuality());
    setVolume(50);
    EXPECT_EQ(volume(), 0);
    setMicVolume(50);
    EXPECT_EQ(micVolume(), 0);
    setMute(true);
    EXPECT_FALSE(mute());
    setDefaultAllPlay(true);
    EXPECT_FALSE(defaultAllPlay());
    openCanPlayGroup(3);
    EXPECT_FALSE(testGroupCanPlay(3));
    closeCanPlayGroup(3);
    setRecordSavePath("/nonexistent/never-created");
    openGroupRecord(3);
    EXPECT_FALSE(testGroupRecord(3));
    closeGroupRecord(3);
    setAudioRecordFinishCallback(nullptr);
    enableAudioDetection(true);
    EXPECT_FALSE(isEnableAudioDetection());
    setPauseAudioDetection(true);
    EXPECT_FALSE(isPauseAudioDetection());
    setAudioActivateThreshold(4);
    EXPECT_EQ(audioActivateThreshold(), 0);
    setMuteDurationMs(300);
    EXPECT_EQ(muteDurationMs(), 0);
    EXPECT_TRUE(checkMediaTranscodingFinish("/tmp/source.wav"));
    EXPECT_FALSE(std::filesystem::exists("/nonexistent/never-created"));
    EXPECT_EQ(HostEvents::instance().count(HostEvent::kLogin) + HostEvents::instance().count(HostEvent::kNotify) +
                  HostEvents::instance().count(HostEvent::kResult),
              0U);
}

TEST(ExportsWithoutService, DoNothingBeforeInitializeAndAfterUnInitialize) {
    HostEvents::instance().clear();
    unInitialize();  // without initialize: stops the network service only
    expectInertExports();
    initialize();
    unInitialize();
    expectInertExports();
    unInitialize();
}

TEST(SharedLibrary, ExportsExactlyTheFortyTwoFunctions) {
    const std::string command = std::string("nm -D --defined-only ") + TALKHUB_LIBRARY_PATH;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char address[64];
        char type[8];
        char name[256];
        if (std::sscanf(line, "%63s %7s %255s", address, type, name) == 3) exported.insert(name);
    }
    ASSERT_EQ(::pclose(pipe), 0);
    const std::set<std::string> expected = {"initialize",
                                            "unInitialize",
                                            "setServerInfo",
                                            "setNotifyCallback",
                                            "login",
                                            "loginout",
                                            "tempCall",
                                            "handupTempCall",
                                            "meetingCall",
                                            "handupMeetingCall",
                                            "enterGroup",
                                            "setGroupOption",
                                            "requestMic",
                                            "releaseMic",
                                            "highQuality",
                                            "setHighQuality",
                                            "volume",
                                            "setVolume",
                                            "micVolume",
                                            "setMicVolume",
                                            "mute",
                                            "setMute",
                                            "defaultAllPlay",
                                            "setDefaultAllPlay",
                                            "openCanPlayGroup",
                                            "testGroupCanPlay",
                                            "closeCanPlayGroup",
                                            "setRecordSavePath",
                                            "openGroupRecord",
                                            "testGroupRecord",
                                            "closeGroupRecord",
                                            "setAudioRecordFinishCallback",
                                            "mediaTranscoding",
                                            "checkMediaTranscodingFinish",
                                            "isEnableAudioDetection",
                                            "enableAudioDetection",
                                            "isPauseAudioDetection",
                                            "setPauseAudioDetection",
                                            "audioActivateThreshold",
                                            "setAudioActivateThreshold",
                                            "muteDurationMs",
                                            "setMuteDurationMs"};
    EXPECT_EQ(expected.size(), 42U);
    EXPECT_EQ(exported, expected);
}

// The header's version is the one the build gives the library's file and its packages.
TEST(SharedLibrary, TheHeadersVersionIsTheBuildsVersion) {
    EXPECT_STREQ(TALKHUB_VERSION_TEXT, TALKHUB_PROJECT_VERSION);
    EXPECT_EQ(std::to_string(TALKHUB_VERSION_MAJOR) + "." + std::to_string(TALKHUB_VERSION_MINOR) + "." +
                  std::to_string(TALKHUB_VERSION_PATCH),
              TALKHUB_VERSION_TEXT);
    EXPECT_TRUE(std::filesystem::exists(
        std::string(TALKHUB_LIBRARY_PATH).substr(0, std::string(TALKHUB_LIBRARY_PATH).rfind(".so")) +
        ".so." TALKHUB_VERSION_TEXT));
}

TEST_F(Service, InitializeWritesItsLinesIntoTheLogBesideTheModule) {
    EXPECT_TRUE(std::filesystem::exists(LogTail::todaysFile())) << LogTail::todaysFile();
    std::ifstream file(LogTail::todaysFile());
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("[initialize] init ptt library finish version:[talkwire "), std::string::npos);
    EXPECT_NE(all.find("[initialize] init audio service finish."), std::string::npos);
}

TEST_F(Service, VolumesReadBackThroughTheirGains) {
    EXPECT_EQ(volume(), 5);
    EXPECT_EQ(micVolume(), 100);
    setVolume(250);
    EXPECT_EQ(volume(), 100);
    setVolume(-5);
    EXPECT_EQ(volume(), 0);
    setVolume(37);
    EXPECT_EQ(volume(), 37);
    for (int value = 0; value <= 100; ++value) {
        setVolume(value);
        EXPECT_EQ(volume(), value);
    }
    setMicVolume(150);
    EXPECT_EQ(micVolume(), 150);
    // 0.29, 0.57 and 0.01 held as floats lie just below their decimal values.
    setMicVolume(29);
    EXPECT_EQ(micVolume(), 28);
    setMicVolume(57);
    EXPECT_EQ(micVolume(), 56);
    setMicVolume(1);
    EXPECT_EQ(micVolume(), 0);
    setMicVolume(INT_MAX);
    EXPECT_GT(micVolume(), 2000000000);
    setMicVolume(INT_MIN);
    EXPECT_LT(micVolume(), -2000000000);
}

TEST_F(Service, FlagsGroupsAndDetectorSettingsAreStoredAsGiven) {
    EXPECT_FALSE(highQuality());
    EXPECT_FALSE(mute());
    EXPECT_TRUE(defaultAllPlay());
    setHighQuality(true);
    setMute(true);
    setDefaultAllPlay(false);
    EXPECT_TRUE(highQuality());
    EXPECT_TRUE(mute());
    EXPECT_FALSE(defaultAllPlay());

    LogTail log;
    openCanPlayGroup(0);
    EXPECT_FALSE(testGroupCanPlay(0));
    openCanPlayGroup(7);
    openCanPlayGroup(7);
    openCanPlayGroup(9);
    EXPECT_TRUE(testGroupCanPlay(7));
    EXPECT_EQ(log.count("open group audio play id:[7]"), 1U);
    closeCanPlayGroup(7);
    EXPECT_FALSE(testGroupCanPlay(7));
    EXPECT_TRUE(testGroupCanPlay(9));
    closeCanPlayGroup(0);
    EXPECT_FALSE(testGroupCanPlay(9));
    EXPECT_TRUE(log.contains("close group audio play id:[0]"));

    openGroupRecord(0);
    EXPECT_FALSE(testGroupRecord(0));
    openGroupRecord(4);
    openGroupRecord(5);
    closeGroupRecord(4);
    EXPECT_FALSE(testGroupRecord(4));
    EXPECT_TRUE(testGroupRecord(5));
    closeGroupRecord(0);
    EXPECT_FALSE(testGroupRecord(5));

    EXPECT_EQ(audioActivateThreshold(), 6);
    setAudioActivateThreshold(4);
    EXPECT_EQ(audioActivateThreshold(), 94);
    setAudioActivateThreshold(INT_MAX);
    EXPECT_EQ(audioActivateThreshold(), INT_MAX);
    EXPECT_EQ(muteDurationMs(), 1500);
    setMuteDurationMs(250);
    EXPECT_EQ(muteDurationMs(), 250);
    setPauseAudioDetection(true);
    EXPECT_TRUE(isPauseAudioDetection());
    EXPECT_FALSE(isEnableAudioDetection());
    enableAudioDetection(true);
    EXPECT_TRUE(isEnableAudioDetection());
    enableAudioDetection(false);
    EXPECT_FALSE(isEnableAudioDetection());
}

TEST_F(Service, RecordSavePathIsCreatedOrRefused) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-records-" + std::to_string(::getpid())) / "a" / "b";
    std::filesystem::remove_all(folder.parent_path().parent_path());
    LogTail log;
    setRecordSavePath(folder.c_str());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(log.contains("set audio record save path:[" + folder.string() + "]"));
    setRecordSavePath(folder.c_str());  // existing: kept
    EXPECT_EQ(log.count("set audio record save path:[" + folder.string() + "]"), 2U);

    // A path under a regular file cannot be created: the path is cleared.
    const std::filesystem::path file = folder / "plain-file";
    std::ofstream(file) << "x";
    setRecordSavePath((file / "below").c_str());
    EXPECT_TRUE(log.contains("audio record save path create fail:["));
    EXPECT_TRUE(log.contains("set audio record save path:[]"));
    std::filesystem::remove_all(folder.parent_path().parent_path());
}

TEST_F(Service, LoginWithNullArgumentsIsRefusedWithTheParameterLine) {
    LogTail log;
    EXPECT_EQ(login(nullptr, "alice", talkhub_test::onLoginResult), -1);
    EXPECT_EQ(login("alice", nullptr, talkhub_test::onLoginResult), -1);
    EXPECT_EQ(log.count("[login] login input param error: talk object[0x"), 2U);
    EXPECT_TRUE(log.contains("account:[(nil)] password:[0x"));
    EXPECT_EQ(talk().getLoginState(), 0);
    EXPECT_FALSE(HostEvents::instance().take(HostEvent::kLogin, 100ms).has_value());
}

}  // namespace
