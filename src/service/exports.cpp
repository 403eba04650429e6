// The exported functions: thin doors into the one service instance.
#include <atomic>
#include <cstdio>
#include <string>

#include "media/audio_media.h"
#include "outside/harbor.h"
#include "outside/talkwire.h"
#include "platform/module_path.h"
#include "platform/user_folders.h"
#include "service/instance.h"
#include "signalling/voice_talk.h"
#include "talkhub.h"
#include "transcoding/media_transcoding.h"

namespace {

// Taken out before the service is destroyed: a callback that the teardown still delivers
// (a recording ending at the logout) finds the library uninitialised.
std::atomic<CVoiceTalk*> instance{nullptr};

CAudioMedia* engine() {
    CVoiceTalk* service = instance;
    return service != nullptr ? service->media() : nullptr;
}

// The log goes beside the library; where that folder cannot be written (an installed
// library belongs to the system), into the user's own state folder. Either way one line
// says where it went, since whoever looks beside the library finds nothing there.
void openLog() {
    const std::string besideLibrary =
        talkhub::platform::moduleFolder(talkhub::platform::moduleFileName()) + "/log/TalkHub";
    if (harbor::logInit(besideLibrary, true)) return;
    const std::string userFolder = talkhub::platform::userStateFolder();
    const std::string own = userFolder.empty() ? "" : userFolder + "/log/TalkHub";
    if (!own.empty() && harbor::logInit(own, true)) {
        std::fprintf(stderr, "TalkHub: the log folder %s cannot be written: the log goes to %s\n",
                     besideLibrary.c_str(), own.c_str());
        harbor::logWarning("initialize", "log folder:[%s] cannot be written, log written here instead.",
                           besideLibrary.c_str());
        return;
    }
    std::fprintf(stderr, "TalkHub: neither %s nor %s can be written: no log is kept\n", besideLibrary.c_str(),
                 own.empty() ? "a user state folder" : own.c_str());
}

}  // namespace

CVoiceTalk* talkhub::serviceInstance() { return instance; }

extern "C" {

TALKHUB_API void initialize(void) {
    openLog();
    proto_init();
    char version[TW_VERSION_TEXT_SIZE] = {};
    ptt_init(version);
    harbor::logInfo("initialize", "init ptt library finish version:[%s].", version);
    instance = new CVoiceTalk();
    harbor::CTSocketService::instance().messageLoop(false, 1);
    harbor::logInfo("initialize", "init audio service finish.");
}

TALKHUB_API void unInitialize(void) {
    if (CAudioMedia* media = engine(); media != nullptr && media->onPlayThread()) {
        harbor::logError("unInitialize", "called from a record notice: refused, it waits for the play thread.");
        return;
    }
    delete instance.exchange(nullptr);
    harbor::CTSocketService::instance().stop();
}

TALKHUB_API void setServerInfo(const char* address, unsigned int port) {
    CVoiceTalk* service = instance;
    if (service == nullptr || address == nullptr) return;
    service->setServerInfo(address, port);
}

TALKHUB_API void setNotifyCallback(NotifyCallback callback) {
    if (CVoiceTalk* service = instance) service->setNotifyCallback(callback);
}

TALKHUB_API int login(const char* account, const char* password, ResultTextCallback callback) {
    CVoiceTalk* service = instance;
    if (service == nullptr || account == nullptr || password == nullptr) {
        harbor::logError("login", "login input param error: talk object[%p], account:[%p] password:[%p].",
                         static_cast<void*>(service), static_cast<const void*>(account),
                         static_cast<const void*>(password));
        return -1;
    }
    return service->login(account, password, callback);
}

TALKHUB_API void loginout(void) {
    if (CVoiceTalk* service = instance) service->logout();
}

TALKHUB_API void tempCall(unsigned int userId, ResultCallback callback) {
    if (CVoiceTalk* service = instance) service->tempCall(userId, callback);
}

TALKHUB_API void handupTempCall(void) {
    if (CVoiceTalk* service = instance) service->handupTempCall();
}

TALKHUB_API void meetingCall(bool flag, const char* userList, ResultTextCallback callback) {
    CVoiceTalk* service = instance;
    if (service == nullptr || userList == nullptr) return;
    service->meetingCall(flag, userList, callback);
}

TALKHUB_API void handupMeetingCall(unsigned int id) {
    if (CVoiceTalk* service = instance) service->handupMeetingCall(id);
}

TALKHUB_API void enterGroup(unsigned int groupId, ResultTextCallback callback) {
    if (CVoiceTalk* service = instance) service->enterGroup(groupId, callback);
}

TALKHUB_API void setGroupOption(unsigned int first, unsigned int second, ResultCallback callback) {
    if (CVoiceTalk* service = instance) service->setGroupOption(first, second, callback);
}

TALKHUB_API void requestMic(ResultCallback callback) {
    if (CVoiceTalk* service = instance) service->requestMic(callback);
}

TALKHUB_API void releaseMic(void) {
    if (CVoiceTalk* service = instance) service->releaseMic();
}

TALKHUB_API bool highQuality(void) { return engine() != nullptr && engine()->highQuality(); }

TALKHUB_API void setHighQuality(bool on) {
    if (CAudioMedia* media = engine()) media->setHighQuality(on);
}

TALKHUB_API int volume(void) { return engine() != nullptr ? engine()->volume() : 0; }

TALKHUB_API void setVolume(int value) {
    if (CAudioMedia* media = engine()) media->setVolume(value);
}

TALKHUB_API int micVolume(void) { return engine() != nullptr ? engine()->micVolume() : 0; }

TALKHUB_API void setMicVolume(int value) {
    if (CAudioMedia* media = engine()) media->setMicVolume(value);
}

TALKHUB_API bool mute(void) { return engine() != nullptr && engine()->mute(); }

TALKHUB_API void setMute(bool on) {
    if (CAudioMedia* media = engine()) media->setMute(on);
}

TALKHUB_API bool defaultAllPlay(void) { return engine() != nullptr && engine()->defaultAllPlay(); }

TALKHUB_API void setDefaultAllPlay(bool on) {
    if (CAudioMedia* media = engine()) media->setDefaultAllPlay(on);
}

TALKHUB_API void openCanPlayGroup(unsigned int groupId) {
    if (CAudioMedia* media = engine()) media->openCanPlayGroup(groupId);
}

TALKHUB_API bool testGroupCanPlay(unsigned int groupId) {
    return engine() != nullptr && engine()->testGroupCanPlay(groupId);
}

TALKHUB_API void closeCanPlayGroup(unsigned int groupId) {
    if (CAudioMedia* media = engine()) media->closeCanPlayGroup(groupId);
}

TALKHUB_API void setRecordSavePath(const char* path) {
    if (path == nullptr) return;
    if (CAudioMedia* media = engine()) media->setRecordSavePath(path);
}

TALKHUB_API void openGroupRecord(unsigned int groupId) {
    if (CAudioMedia* media = engine()) media->openGroupRecord(groupId);
}

TALKHUB_API bool testGroupRecord(unsigned int groupId) {
    return engine() != nullptr && engine()->testGroupRecord(groupId);
}

TALKHUB_API void closeGroupRecord(unsigned int groupId) {
    if (CAudioMedia* media = engine()) media->closeGroupRecord(groupId);
}

TALKHUB_API void setAudioRecordFinishCallback(RecordFinishCallback callback) {
    if (CAudioMedia* media = engine()) media->setAudioRecordFinishCallback(callback);
}

TALKHUB_API void mediaTranscoding(const char* sourcePath, const char* targetPath, bool deleteSource) {
    if (sourcePath == nullptr || targetPath == nullptr) {
        harbor::logError("mediaTranscoding", "media transcoding needs a source and a target path.");
        return;
    }
    CMediaTranscoding::instance().addTranscodingTask(sourcePath, targetPath, deleteSource);
}

TALKHUB_API bool checkMediaTranscodingFinish(const char* sourcePath) {
    return sourcePath == nullptr || CMediaTranscoding::instance().checkTranscodingFinish(sourcePath);
}

TALKHUB_API bool isEnableAudioDetection(void) {
    CVoiceTalk* service = instance;
    return service != nullptr && service->isEnableAudioDetection();
}

TALKHUB_API void enableAudioDetection(bool on) {
    if (CVoiceTalk* service = instance) service->enableAudioDetection(on);
}

TALKHUB_API bool isPauseAudioDetection(void) { return engine() != nullptr && engine()->audioDetection().isPause(); }

TALKHUB_API void setPauseAudioDetection(bool pause) {
    if (CAudioMedia* media = engine()) media->audioDetection().setPause(pause);
}

TALKHUB_API int audioActivateThreshold(void) {
    return engine() != nullptr ? engine()->audioDetection().activateThreshold() : 0;
}

TALKHUB_API void setAudioActivateThreshold(int value) {
    if (CAudioMedia* media = engine()) media->audioDetection().setActivateThreshold(value);
}

TALKHUB_API long long muteDurationMs(void) {
    return engine() != nullptr ? engine()->audioDetection().muteDurationMs() : 0;
}

TALKHUB_API void setMuteDurationMs(long long ms) {
    if (CAudioMedia* media = engine()) media->audioDetection().setMuteDurationMs(ms);
}

}  // extern "C"
