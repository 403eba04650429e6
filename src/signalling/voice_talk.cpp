#include "signalling/voice_talk.h"

#include <chrono>

#include "media/audio_media.h"
#include "platform/thread_name.h"
#include "signalling/login_result_name.h"
#include "signalling/user_data_transform.h"

namespace {

constexpr int kLogoutAnswerWaits = 2;
constexpr auto kLogoutAnswerWait = std::chrono::milliseconds(50);
// The password never reaches the log.
constexpr const char* kPasswordMask = "******";

}  // namespace

CVoiceTalk::CVoiceTalk() : userData(std::make_shared<CUserDataTransform>()) {
    audioMedia = std::make_unique<CAudioMedia>(this, userData);
    audioMedia->setAudioDetectionStateCallback([this](bool active) { return onAudioDetectionStateCallback(active); });
    commandHandlers = {
        {TW_CMD_LOGIN_ACK, &CVoiceTalk::onLoginAck},
        {TW_CMD_QUERY_GROUP_ACK, &CVoiceTalk::onQueryGroupAck},
        {TW_CMD_ENTER_GROUP_ACK, &CVoiceTalk::onEnterGroupAck},
        {TW_CMD_QUIT_GROUP_ACK, &CVoiceTalk::onQuitGroupAck},
        {TW_CMD_REQUEST_MIC_ACK, &CVoiceTalk::onRequestMicAck},
        {TW_CMD_RELEASE_MIC_ACK, &CVoiceTalk::onReleaseMicAck},
        {TW_CMD_LOGOUT_ACK, &CVoiceTalk::onLogoutAck},
        {TW_CMD_TEMP_CALL_ACK, &CVoiceTalk::onTempCallAck},
        {TW_CMD_MEETING_CALL_ACK, &CVoiceTalk::onMeetingCallAck},
        {TW_CMD_SET_GROUP_OPTION_ACK, &CVoiceTalk::onSetGroupOptionAck},
        {TW_CMD_SELF_LOST_MIC, &CVoiceTalk::onSelfLostMicNotify},
        {TW_CMD_MEMBER_GET_MIC, &CVoiceTalk::onMemberGetMicNotify},
        {TW_CMD_MEMBER_LOST_MIC, &CVoiceTalk::onMemberLostMicNotify},
        {TW_CMD_SELF_QUIT_TEMP_CALL, &CVoiceTalk::onSelfQuitTempCallNotify},
        {TW_CMD_TEMP_CALL_ARRIVED, &CVoiceTalk::onTempCallNotify},
        {TW_CMD_MEETING_CALL_RELEASE, &CVoiceTalk::onMeetingCallNotify},
    };
}

CVoiceTalk::~CVoiceTalk() {
    logout();
    // A connect or login answer that comes after the logout finds the state idle and
    // starts nothing. Once the callbacks are cleared no new one starts; one that dropped
    // its own socket may still be finishing.
    dropSocket();
    callbacksInFlight.waitUntilIdle();
    // A redirect that was connecting when the logout came may have installed its new
    // socket after the drop above, while it was still in flight: that socket goes now,
    // and its callbacks (which find the state idle) are waited for in turn. Nothing that
    // runs now connects again.
    dropSocket();
    callbacksInFlight.waitUntilIdle();
    audioMedia.reset();
}

void CVoiceTalk::setServerInfo(const std::string& address, unsigned int port) {
    std::lock_guard lock(settingsLock);
    serverAddress = address;
    serverPort = port;
}

void CVoiceTalk::setNotifyCallback(NotifyCallback callback) { notifyCallback = callback; }

bool CVoiceTalk::hasSocket() { return tcpSocket.load() != nullptr; }

int CVoiceTalk::login(const std::string& newAccount, const std::string& newPassword, ResultTextCallback callback) {
    if (loginState != 0) {
        harbor::logError("CVoiceTalk::login", "current voice talk login state error:[%d].", loginState.load());
        return -1;
    }
    // A login request cannot carry a longer name: it would never be sent nor answered.
    if (newAccount.size() > TW_MAX_ACCOUNT_LENGTH) {
        harbor::logError("CVoiceTalk::login", "account of [%zu] bytes, more than [%d]: login refused.",
                         newAccount.size(), TW_MAX_ACCOUNT_LENGTH);
        return -1;
    }
    if (newPassword.size() > TW_MAX_PASSWORD_LENGTH) {
        harbor::logError("CVoiceTalk::login", "password of [%zu] bytes, more than [%d]: login refused.",
                         newPassword.size(), TW_MAX_PASSWORD_LENGTH);
        return -1;
    }
    redirects = 0;
    awaitingVerdict = false;
    return connectTo(newAccount, newPassword, callback, 0);
}

int CVoiceTalk::connectTo(const std::string& newAccount, const std::string& newPassword, ResultTextCallback callback,
                          int fromState) {
    harbor::CTSocketAddress address;
    {
        std::lock_guard lock(settingsLock);
        address = harbor::CTSocketAddress(serverAddress, serverPort);
    }
    dropSocket();

    harbor::ITcpSocket* socket = nullptr;
    const int result = harbor::CTSocketService::instance().tcpConnect(address, &socket);
    if (result < 0) {
        harbor::logInfo("CVoiceTalk::login", "tcp connect to server:[%s] port:[%d] fail:[%d].",
                        address.address().c_str(), address.port(), result);
        return result;
    }
    if (int expected = fromState; !loginState.compare_exchange_strong(expected, 1)) {
        harbor::logError("CVoiceTalk::login", "login state changed to:[%d] while connecting, connection dropped.",
                         expected);
        // Clearing both callbacks lets harbor close and free the unused socket.
        socket->setConnectCallback({});
        socket->setDataCallback({});
        return -1;
    }
    {
        std::lock_guard lock(settingsLock);
        account = newAccount;
        password = newPassword;
    }
    loginCallback = callback;
    harbor::logInfo("CVoiceTalk::login", "tcp connect to server:[%s] port:[%d].", address.address().c_str(),
                    address.port());
    {
        std::lock_guard lock(sendLock);
        tcpSocket = socket;
    }
    // The data callback goes first: a failed connect drops the socket from inside the
    // connect callback, after which the socket must not be touched here any more.
    socket->setDataCallback([this](harbor::ITcpSocket* from, int length, const void* data) {
        const CallbacksInFlight::Scope running = callbacksInFlight.enter();
        return onVoiceCtrlDataCallback(from, length, data);
    });
    socket->setConnectCallback([this](harbor::ITcpSocket* from, int status) {
        const CallbacksInFlight::Scope running = callbacksInFlight.enter();
        onConnectServerCallback(from, status);
    });
    return result;
}

void CVoiceTalk::onConnectServerCallback(harbor::ITcpSocket* socket, int status) {
    // Under the lifecycle lock, so that a logout either finishes before the state is read
    // here or waits until the login has been sent.
    std::lock_guard lifecycle(lifecycleLock);
    if (loginState != 1) {
        harbor::logError("CVoiceTalk::onConnectServerCallback",
                         "connect finished in login state:[%d], connection dropped.", loginState.load());
        if (tcpSocket.load() == socket) dropSocket();
        return;
    }
    std::string host;
    unsigned int port = 0;
    std::string user;
    std::string secret;
    {
        std::lock_guard lock(settingsLock);
        host = serverAddress;
        port = serverPort;
        user = account;
        secret = password;
    }
    if (status < 0) {
        harbor::logError("CVoiceTalk::onConnectServerCallback", "connect server address:[%s] port:[%d] fail:[%d].",
                         host.c_str(), port, status);
        if (ResultTextCallback callback = loginCallback.load()) {
            harbor::logInfo("CVoiceTalk::onConnectServerCallback", "call login callback:[%p]",
                            reinterpret_cast<void*>(callback));
        }
        failLogin(connectFailureResult(status), "connect audio server fail.");
        // Both callbacks go, so that harbor can free the failed socket.
        dropSocket();
        return;
    }
    harbor::logInfo("CVoiceTalk::onConnectServerCallback", "connect audio server:[%s] succeed.", host.c_str());
    {
        std::lock_guard lock(receiveLock);
        recvCapacity = kBufferSize;
        recvBuffer.assign(kBufferSize, 0);
    }
    // The proof's key derivation is memory-hard on purpose: tens of milliseconds here.
    char encoded[TW_ENCODED_PASSWORD_SIZE] = {};
    if (const int made = encode_login_passwd(user.c_str(), secret.c_str(), encoded); made < 0) {
        harbor::logError("CVoiceTalk::onConnectServerCallback", "login key exchange of user:[%s] not started:[%d].",
                         user.c_str(), made);
        failLogin(TALKHUB_LOGIN_NO_PROOF);
        dropSocket();
        return;
    }
    std::lock_guard lock(sendLock);
    bufferCapacity = kBufferSize;
    buildBuffer.assign(kBufferSize, 0);
    frameBuffer.assign(kBufferSize, 0);
    const int length = cp_login(buildBuffer.data(), static_cast<int>(bufferCapacity), user.c_str(), encoded, 0);
    harbor::logInfo("CVoiceTalk::onConnectServerCallback", "send login user:[%s] password:[%s] message.", user.c_str(),
                    kPasswordMask);
    sendCtrlData(buildBuffer.data(), length);
}

void CVoiceTalk::sendCtrlData(const void* data, int length) {
    if (data == nullptr || length <= 0) {
        harbor::logError("CVoiceTalk::sendCtrlData", "send voice talk ctrl data param error data:[%p] len:[%d].", data,
                         length);
        return;
    }
    std::lock_guard lock(sendLock);
    harbor::ITcpSocket* socket = tcpSocket;
    if (socket == nullptr) {
        harbor::logError("CVoiceTalk::sendCtrlData", "socket state error not connect.");
        return;
    }
    const uint16_t framed = encode_tcp_packet_hdlc(data, static_cast<uint16_t>(length), frameBuffer.data(),
                                                   static_cast<uint16_t>(bufferCapacity));
    if (framed == 0) {
        harbor::logError("CVoiceTalk::sendCtrlData", "voice talk ctrl data of len:[%d] not framed or sealed.", length);
        return;
    }
    const int sent = socket->send(frameBuffer.data(), framed);
    if (sent < 0) {
        harbor::logError("CVoiceTalk::sendCtrlData", "send voice talk ctrl data fail:[%d].", sent);
    }
}

void CVoiceTalk::onHeartbeatThread() {
    std::vector<unsigned char> message(kBufferSize);
    std::vector<unsigned char> frame(kBufferSize);
    // The first ping goes at once, each next one an interval later; in between the thread
    // sleeps until it is due or the session ends.
    auto due = std::chrono::steady_clock::now();
    while (loginState == 2) {
        {
            std::unique_lock lock(heartbeatMutex);
            if (heartbeatWake.wait_until(lock, due, [this] { return loginState != 2; })) break;
        }
        const int length = cp_ping(message.data(), static_cast<int>(message.size()), ownUserId);
        if (length > 0) {
            // Framed under the send lock: messages are sealed in the order they are sent.
            std::lock_guard lock(sendLock);
            const uint16_t framed = encode_tcp_packet_hdlc(message.data(), static_cast<uint16_t>(length), frame.data(),
                                                           static_cast<uint16_t>(frame.size()));
            if (harbor::ITcpSocket* socket = tcpSocket; socket != nullptr && framed > 0) {
                const int sent = socket->send(frame.data(), framed);
                if (sent < 0) {
                    harbor::logInfo("CVoiceTalk::onHeartbeatThread", "send tcp heartbeat packet fail:[%d].", sent);
                }
            }
        }
        const uint32_t interval = heartbeatInterval == 0 ? kDefaultHeartbeatMs : heartbeatInterval.load();
        due = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval);
    }
}

void CVoiceTalk::startHeartbeat() {
    std::lock_guard lifecycle(lifecycleLock);
    if (!heartbeatThread.joinable()) {
        heartbeatThread = std::thread([this] {
            talkhub::platform::nameThisThread("talkhub-tcp-hb");
            onHeartbeatThread();
        });
    }
}

void CVoiceTalk::stopHeartbeat() {
    std::lock_guard lifecycle(lifecycleLock);
    if (!heartbeatThread.joinable()) return;
    {
        std::lock_guard lock(heartbeatMutex);
        heartbeatWake.notify_one();
    }
    heartbeatThread.join();
}

void CVoiceTalk::logout() {
    // On the play thread (a record notice) the lifecycle lock is never waited for: whoever
    // holds it may be waiting for the play thread, as a logout under way does.
    std::unique_lock lifecycle(lifecycleLock, std::defer_lock);
    if (!audioMedia->onPlayThread()) {
        lifecycle.lock();
    } else if (!lifecycle.try_lock()) {
        harbor::logInfo("CVoiceTalk::logout", "logout from a record notice while the service is busy: ignored.");
        return;
    }
    const int previous = loginState.exchange(3);
    stopHeartbeat();
    // Only a connection that carried the login is told: one still connecting, or one that
    // failed to connect, has nothing to log out of.
    if (previous != 0 && loginSent()) {
        harbor::logInfo("CVoiceTalk::logout", "send logout message and close socket connect.");
        buildAndSend([](unsigned char* buffer, int capacity) { return cp_logout(buffer, capacity); });
        for (int wait = 0; wait < kLogoutAnswerWaits && loginState != 0; ++wait) {
            std::this_thread::sleep_for(kLogoutAnswerWait);
        }
    }
    loginState = 0;
    loginCallback = nullptr;
    // A floor held at logout must not read as held after the next login.
    micState = 0;
    audioMedia->stopNetwork();
    audioMedia->closeAudioPlay();
    audioMedia->closeRecordAudio();
    {
        std::lock_guard lock(sendLock);
        buildBuffer = {};
        frameBuffer = {};
        bufferCapacity = 0;
    }
    {
        std::lock_guard lock(receiveLock);
        recvBuffer = {};
        recvCapacity = 0;
    }
    currentGroupId = 0;
}

void CVoiceTalk::onConnectionBroken(int status) {
    const int state = loginState;
    // The server closing after a logout is the ordinary end of a session.
    if (state == 1 || state == 2) {
        harbor::logError("CVoiceTalk::onVoiceCtrlDataCallback", "socket error:[%d] close connect.", status);
    } else {
        harbor::logInfo("CVoiceTalk::onVoiceCtrlDataCallback", "connection closed after logout:[%d].", status);
    }
    // The server was asked whether the password was wrong and went away instead.
    if (awaitingVerdict.exchange(false)) {
        harbor::logError("CVoiceTalk::onVoiceCtrlDataCallback", "server not proven: it did not hold the account.");
        int connecting = 1;
        loginState.compare_exchange_strong(connecting, 0);
        failLogin(TALKHUB_LOGIN_SERVER_NOT_PROVEN);
        dropSocket();
        return;
    }
    if (state == 1 || state == 2) {
        if (NotifyCallback notify = notifyCallback) {
            harbor::logInfo("CVoiceTalk::onVoiceCtrlDataCallback", "call notify callback:[%p]",
                            reinterpret_cast<void*>(notify));
            notify(0, "network exception.");
        }
        logout();
    }
    dropSocket();
}

bool CVoiceTalk::loginSent() {
    std::lock_guard lock(sendLock);
    return bufferCapacity != 0;
}

void CVoiceTalk::failLogin(int result, const char* text) {
    if (ResultTextCallback callback = loginCallback.exchange(nullptr)) {
        harbor::logError("CVoiceTalk::login", "login failed: %s [%d].", loginResultName(result), result);
        callback(result, text);
    }
}

void CVoiceTalk::dropSocket() {
    harbor::ITcpSocket* socket = nullptr;
    {
        std::lock_guard lock(sendLock);
        socket = tcpSocket.exchange(nullptr);
    }
    if (socket == nullptr) return;
    // Outside the send lock: clearing from another thread waits for a running callback,
    // which may itself be sending.
    socket->setConnectCallback({});
    socket->setDataCallback({});
}
