// The service object: the signalling connection with its login state and heartbeat, the
// dispatch of control messages by command id, the host's requests and the handlers of
// the server's answers and events. It owns the media engine and the user directory.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/harbor.h"
#include "outside/talkwire.h"
#include "signalling/callbacks_in_flight.h"
#include "talkhub.h"

class CAudioMedia;
class CUserDataTransform;

class CVoiceTalk {
public:
    using CommandHandler = void (CVoiceTalk::*)(const tw_packet& packet);

    static constexpr unsigned int kDefaultServerPort = 13001;
    static constexpr uint32_t kBufferSize = 10240;
    // Servers that keep sending a login on to another give up after this many moves.
    static constexpr int kMaxRedirects = 4;
    // A login answer without an interval would make the heartbeat go out without pause.
    static constexpr uint32_t kDefaultHeartbeatMs = 8000;
    // A server that acknowledges nothing for this many heartbeat intervals is gone.
    static constexpr uint32_t kUnacknowledgedHeartbeats = 3;

    CVoiceTalk();
    ~CVoiceTalk();
    CVoiceTalk(const CVoiceTalk&) = delete;
    CVoiceTalk& operator=(const CVoiceTalk&) = delete;

    // Connection and login.
    void setServerInfo(const std::string& address, unsigned int port);
    void setNotifyCallback(NotifyCallback callback);
    int login(const std::string& account, const std::string& password, ResultTextCallback callback);
    void logout();
    void sendCtrlData(const void* data, int length);
    void onConnectServerCallback(harbor::ITcpSocket* socket, int status);
    int onVoiceCtrlDataCallback(harbor::ITcpSocket* socket, int length, const void* data);
    void onHeartbeatThread();

    // Requests.
    void queryGroup();
    void enterGroup(unsigned int groupId, ResultTextCallback callback);
    void setGroupOption(unsigned int first, unsigned int second, ResultCallback callback);
    void requestMic(ResultCallback callback);
    void releaseMic();
    void tempCall(unsigned int userId, ResultCallback callback);
    void handupTempCall();
    void meetingCall(bool flag, const std::string& userList, ResultTextCallback callback);
    void handupMeetingCall(unsigned int meetingId);

    // Voice-activated microphone.
    bool isEnableAudioDetection();
    void enableAudioDetection(bool on);
    bool onAudioDetectionStateCallback(bool active);

    // State as other threads see it.
    int getLoginState() const { return loginState; }
    int getMicState() const { return micState; }
    unsigned int getCurrentGroupId() const { return currentGroupId; }
    unsigned int getOwnUserId() const { return ownUserId; }
    bool hasSocket();
    CAudioMedia* media() const { return audioMedia.get(); }

    // Splits text at every separator (a trailing separator adds nothing, two adjacent ones
    // add an empty piece); returns the number of pieces.
    static std::size_t splitText(const std::string& text, const std::string& separator,
                                 std::vector<std::string>& pieces);

private:
    // Answers.
    void onLoginAck(const tw_packet& packet);
    // An accepted or refused login: starts what a login starts; the login callback's value.
    int onLoginUnproven();
    int onLoginVerdict(const tw_login_ack& ack);
    // Connects to the server a login answer names instead; the login callback's value.
    int onLoginRedirect(const tw_login_ack& ack);
    void onQueryGroupAck(const tw_packet& packet);
    void onEnterGroupAck(const tw_packet& packet);
    void onQuitGroupAck(const tw_packet& packet);
    void onRequestMicAck(const tw_packet& packet);
    void onReleaseMicAck(const tw_packet& packet);
    void onLogoutAck(const tw_packet& packet);
    void onTempCallAck(const tw_packet& packet);
    void onMeetingCallAck(const tw_packet& packet);
    void onSetGroupOptionAck(const tw_packet& packet);
    // Events.
    void onSelfLostMicNotify(const tw_packet& packet);
    void onMemberGetMicNotify(const tw_packet& packet);
    void onMemberLostMicNotify(const tw_packet& packet);
    void onSelfQuitTempCallNotify(const tw_packet& packet);
    void onTempCallNotify(const tw_packet& packet);
    void onMeetingCallNotify(const tw_packet& packet);

    // Connects for a login. The state moves from `fromState` to connecting only if nothing
    // changed it meanwhile (a logout, another login); otherwise the new connection is
    // dropped unused and -1 returned.
    int connectTo(const std::string& account, const std::string& password, ResultTextCallback callback, int fromState);
    void onConnectionBroken(int status);
    // Detaches the signalling socket and clears its callbacks; harbor then frees it.
    void dropSocket();
    // The login's connection was made and the login sent on it.
    bool loginSent();
    // Ends a login that failed with the library's own result: logged by name, handed to
    // the host once, with `text`.
    void failLogin(int result, const char* text = "");
    void startHeartbeat();
    void stopHeartbeat();
    bool loginCheck(const char* tag);
    bool micCheck(const char* tag);
    // Builds one message into the build buffer and sends it, as one step under the send
    // lock. `build` gets (buffer, capacity) and returns the message length.
    template <typename Build>
    void buildAndSend(Build build);

    std::atomic<harbor::ITcpSocket*> tcpSocket{nullptr};
    CallbacksInFlight callbacksInFlight;
    std::shared_ptr<CUserDataTransform> userData;
    std::unique_ptr<CAudioMedia> audioMedia;
    std::atomic<int> loginState{0};
    // Moves to another server since the host's login.
    std::atomic<int> redirects{0};
    // The server's answer did not prove it holds the account: it was told, and its verdict
    // (a wrong password) is awaited.
    std::atomic<bool> awaitingVerdict{false};

    // Written by the host and by a redirecting login answer on the network thread.
    std::mutex settingsLock;
    std::string serverAddress;
    unsigned int serverPort = kDefaultServerPort;
    std::string account;
    std::string password;

    std::atomic<uint32_t> ownUserId{0};
    std::array<char, TW_MARKER_TEXT_SIZE + 1> markerText{};
    std::atomic<uint32_t> markerId{0};
    std::atomic<uint32_t> currentGroupId{0};
    std::atomic<uint32_t> heartbeatInterval{0};
    std::thread heartbeatThread;
    // Logout runs on host threads and, for a broken connection, on the network thread; the
    // login answer starts what logout stops. This lock makes each of them one step.
    std::recursive_mutex lifecycleLock;
    std::recursive_mutex heartbeatMutex;
    std::condition_variable_any heartbeatWake;
    std::atomic<int> micState{0};

    // The reassembly buffer belongs to the network thread's data callback; logout on a
    // host thread releases it under this lock.
    std::recursive_mutex receiveLock;
    std::vector<unsigned char> recvBuffer;
    uint32_t recvCapacity = 0;
    // Building, framing and sending are serialised: requests come from host threads, the
    // handlers from the network thread, the heartbeat from its own; the socket pointer is
    // changed only under this lock, so nobody sends on a socket that is being dropped.
    std::recursive_mutex sendLock;
    std::vector<unsigned char> buildBuffer;
    std::vector<unsigned char> frameBuffer;
    uint32_t bufferCapacity = 0;

    std::map<uint16_t, CommandHandler> commandHandlers;

    std::atomic<NotifyCallback> notifyCallback{nullptr};
    std::atomic<ResultTextCallback> loginCallback{nullptr};
    std::atomic<ResultCallback> tempCallCallback{nullptr};
    std::atomic<ResultTextCallback> meetingCallCallback{nullptr};
    std::atomic<ResultTextCallback> enterGroupCallback{nullptr};
    std::atomic<ResultCallback> setGroupOptionCallback{nullptr};
    std::atomic<ResultCallback> requestMicCallback{nullptr};
};

template <typename Build>
void CVoiceTalk::buildAndSend(Build build) {
    std::lock_guard lock(sendLock);
    const int length = build(buildBuffer.data(), static_cast<int>(bufferCapacity));
    sendCtrlData(buildBuffer.data(), length);
}
