#include <cstdio>
#include <cstring>
#include <string>

#include "media/audio_media.h"
#include "signalling/host_callback.h"
#include "signalling/user_data_transform.h"
#include "signalling/voice_talk.h"

namespace {

// Texts handed to the host are at most 255 characters.
constexpr std::size_t kTextSize = 256;

}  // namespace

void CVoiceTalk::onLoginAck(const tw_packet& packet) {
    constexpr const char* tag = "CVoiceTalk::onLoginAck";
    tw_login_ack ack{};
    int value = 0;
    bool redirect = false;
    {
        // A logout either ran before this (the state is no longer connecting: nothing
        // starts) or waits until the answer has been handled.
        std::lock_guard lifecycle(lifecycleLock);
        if (loginState != 1) {
            harbor::logError(tag, "login ack in login state:[%d] ignored, connection dropped.", loginState.load());
            dropSocket();
            return;
        }
        const int parsed = on_login_ack(&ack, packet.body, packet.bodyLength);
        harbor::logInfo(tag, "recv login ack packet parse:[%d].", parsed);
        redirect = parsed >= 0 && ack.redirectAddress[0] != '\0';
        if (parsed == TW_ERR_UNPROVEN) {
            value = onLoginUnproven();
            if (value == 0) return;
        } else if (parsed < 0) {
            value = parsed;
        } else if (!redirect) {
            awaitingVerdict = false;
            value = onLoginVerdict(ack);
        }
    }
    // The move to another server connects outside the lifecycle lock (it installs the new
    // socket's callbacks, which run under that socket's own guard and take the lifecycle
    // lock); the connect itself goes ahead only if no logout came in between.
    if (redirect) value = onLoginRedirect(ack);
    harbor::logInfo(tag, "call login callback:[%d: %p]", value, reinterpret_cast<void*>(loginCallback.load()));
    if (value < 0) failLogin(value);
}

// The answer accepted the login without proving that the server holds the account: the
// password is wrong, or the server is not the account's. The server is told; an honest one
// answers that the password was wrong. A second such answer, or none, ends the login as a
// server not proven. 0 while the verdict is awaited.
int CVoiceTalk::onLoginUnproven() {
    constexpr const char* tag = "CVoiceTalk::onLoginAck";
    if (awaitingVerdict.exchange(false)) {
        harbor::logError(tag, "server not proven: it did not hold the account.");
        loginState = 0;
        dropSocket();
        return TALKHUB_LOGIN_SERVER_NOT_PROVEN;
    }
    harbor::logWarning(tag, "login answer not proven: wrong password, or not the account's server; asking it.");
    awaitingVerdict = true;
    buildAndSend([](unsigned char* buffer, int capacity) { return cp_login_confirm(buffer, capacity, nullptr); });
    return 0;
}

int CVoiceTalk::onLoginVerdict(const tw_login_ack& ack) {
    constexpr const char* tag = "CVoiceTalk::onLoginAck";
    const bool accepted = ack.result == 0;
    // A thread left from an earlier login that has ended is joined before a new one.
    if (accepted && loginState != 2) stopHeartbeat();
    loginState = accepted ? 2 : 0;
    if (!accepted) {
        // Every refusal reaches the host as a failure: a byte of 1 to 127 as its negative,
        // so that a host waiting for its login is never left waiting.
        harbor::logError(tag, "login fail:[%d].", ack.result);
        const int code = static_cast<int8_t>(ack.result);
        return code > 0 ? -code : code;
    }
    harbor::logInfo(tag, "login succeed.");
    ownUserId = ack.userId;
    markerId = ack.markerId;
    std::memcpy(markerText.data(), ack.markerText, TW_MARKER_TEXT_SIZE);
    heartbeatInterval = ack.heartbeatInterval;
    // A server gone without closing (a cut link, a machine switched off) leaves the
    // heartbeats unacknowledged: the connection then breaks as a closed one does, instead
    // of after the system's many minutes of retries.
    if (harbor::ITcpSocket* socket = tcpSocket) {
        const uint32_t interval = ack.heartbeatInterval == 0 ? kDefaultHeartbeatMs : ack.heartbeatInterval;
        socket->setUnacknowledgedLimit(kUnacknowledgedHeartbeats * interval);
    }
    // The accepting server names its voice server too; without it the voice channel would
    // only ever know the one a redirect gave.
    if (ack.voiceAddress[0] != '\0') {
        audioMedia->setServerInfo(ack.voiceAddress, ack.voicePort, ack.voiceHeartbeatInterval);
        harbor::logInfo(tag, "login get udp server address:[%s] port:[%d] htInterval:[%d].", ack.voiceAddress,
                        ack.voicePort, ack.voiceHeartbeatInterval);
    }
    queryGroup();
    startHeartbeat();
    int value = audioMedia->startNetwork(ownUserId);
    if (value < 0) return TALKHUB_LOGIN_NO_VOICE_SOCKET;
    value = audioMedia->openAudioPlay();
    if (value < 0) {
        harbor::logError(tag, "open audio play device fail:[%d].", value);
        return TALKHUB_LOGIN_SPEAKER_FAILED;
    }
    harbor::logInfo(tag, "login success open audio record.");
    value = audioMedia->openRecordAudio();
    if (value < 0) harbor::logError(tag, "open local audio record fail:[%d]", value);
    return value;
}

int CVoiceTalk::onLoginRedirect(const tw_login_ack& ack) {
    constexpr const char* tag = "CVoiceTalk::onLoginAck";
    if (++redirects > kMaxRedirects) {
        harbor::logError(tag, "login redirected more than %d times, last to [%s:%u]: login failed.", kMaxRedirects,
                         ack.redirectAddress, ack.redirectPort);
        int connecting = 1;
        loginState.compare_exchange_strong(connecting, 0);
        dropSocket();
        return TALKHUB_LOGIN_TOO_MANY_REDIRECTS;
    }
    std::string user;
    std::string secret;
    {
        std::lock_guard lock(settingsLock);
        serverAddress = ack.redirectAddress;
        serverPort = ack.redirectPort;
        user = account;
        secret = password;
    }
    heartbeatInterval = ack.heartbeatInterval;
    harbor::logInfo(tag, "login to new server address:[%s] port:[%d] htInterval:[%d].", ack.redirectAddress,
                    ack.redirectPort, ack.heartbeatInterval);
    audioMedia->setServerInfo(ack.voiceAddress, ack.voicePort, ack.voiceHeartbeatInterval);
    harbor::logInfo(tag, "login get udp server address:[%s] port:[%d] htInterval:[%d].", ack.voiceAddress,
                    ack.voicePort, ack.voiceHeartbeatInterval);
    const int value = connectTo(user, secret, loginCallback, 1);
    if (value < 0) {
        int connecting = 1;
        loginState.compare_exchange_strong(connecting, 0);
    }
    return value;
}

void CVoiceTalk::onLogoutAck(const tw_packet&) {
    harbor::logInfo("CVoiceTalk::onLogoutAck", "recv logout ack");
    loginState = 0;
    audioMedia->closeRecordAudio();
}

void CVoiceTalk::onQueryGroupAck(const tw_packet& packet) {
    tw_group_list* list = nullptr;
    const int parsed = on_query_group_ack(&list, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onQueryGroupAck", "recv query group ack packet parse:[%d].", parsed);
    if (parsed != 0 || list == nullptr) {
        finish(loginCallback, 0, "0");
        return;
    }
    if (list->count > 0) {
        for (uint64_t i = 0; i < list->count; ++i) {
            userData->setGroupName(list->entries[i]->groupId, list->entries[i]->name);
        }
        enterGroup(list->entries[0]->groupId, nullptr);
    } else {
        // No group is entered, so no answer would ever complete the login.
        harbor::logError("CVoiceTalk::onQueryGroupAck", "the account is in no group.");
        failLogin(TALKHUB_LOGIN_NO_GROUP);
    }
    ptt_ack_free_groups(list);
}

void CVoiceTalk::onEnterGroupAck(const tw_packet& packet) {
    char text[kTextSize] = {};
    tw_join_group_ack ack{};
    const int parsed = on_join_group_ack(&ack, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onEnterGroupAck", "recv enter group ack packet parse:[%d].", parsed);
    int value = parsed;
    if (parsed == 0) {
        value = ack.result;
        markerId = ack.markerId;
        currentGroupId = ack.groupId;
        std::snprintf(text, sizeof text, "%d:%s", static_cast<int>(ack.groupId),
                      userData->getGroupName(ack.groupId).c_str());
    }
    if (ResultTextCallback callback = enterGroupCallback.exchange(nullptr)) {
        callback(value, text);
    } else {
        finish(loginCallback, value, static_cast<const char*>(text));
    }
}

namespace {

// The value an answer hands to its callback: the parser's failure, else the server's result.
int answerValue(int parsed, const tw_result_ack& ack) { return parsed != 0 ? parsed : ack.result; }

}  // namespace

void CVoiceTalk::onSetGroupOptionAck(const tw_packet& packet) {
    tw_result_ack ack{};
    const int parsed = on_set_group_option_ack(&ack, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onSetGroupOptionAck", "recv set group option ack packet parse:[%d].", parsed);
    finish(setGroupOptionCallback, answerValue(parsed, ack));
}

void CVoiceTalk::onQuitGroupAck(const tw_packet& packet) {
    tw_result_ack ack{};
    const int parsed = on_leave_group_ack(&ack, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onQuitGroupAck", "recv quit group ack packet parse:[%d].", parsed);
    if (parsed == 0 && ack.result == 0) currentGroupId = 0;
}

void CVoiceTalk::onTempCallAck(const tw_packet& packet) {
    tw_result_ack ack{};
    const int parsed = on_call_ack(&ack, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onTempCallAck", "recv temp call ack packet cannot parse:[%d].", parsed);
    finish(tempCallCallback, answerValue(parsed, ack));
}

void CVoiceTalk::onMeetingCallAck(const tw_packet& packet) {
    std::string text;
    tw_meeting_call_ack ack{};
    const int parsed = on_meeting_call_ack(&ack, packet.body, packet.bodyLength);
    const int value = parsed != 0 ? parsed : ack.result;
    if (value == 0) {
        harbor::logInfo("CVoiceTalk::onMeetingCallAck", "create meeting call succeed");
        text = std::to_string(ack.meetingId) + "@";
        for (uint64_t i = 0; i < ack.memberCount; ++i) {
            if (i > 0) text += ";";
            text += std::to_string(ack.members[i].userId) + ":" + ack.members[i].name;
        }
    } else {
        harbor::logError("CVoiceTalk::onMeetingCallAck", "create meeting call fail:[%d]", value);
        micState = 0;
    }
    finish(meetingCallCallback, value, text.c_str());
    free_meeting_call_ack(&ack);
}

void CVoiceTalk::onRequestMicAck(const tw_packet& packet) {
    tw_result_ack ack{};
    const int parsed = on_request_mic_ack(&ack, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onRequestMicAck", "recv request mic ack packet parse:[%d].", parsed);
    const int value = answerValue(parsed, ack);
    micState = value == 0 ? 2 : 0;
    if (value == 0) {
        audioMedia->sendTalkStart(markerText.data(), markerId);
        if (isEnableAudioDetection()) {
            if (NotifyCallback notify = notifyCallback) notify(8, nullptr);
        }
    }
    finish(requestMicCallback, value);
}

void CVoiceTalk::onReleaseMicAck(const tw_packet&) {
    harbor::logInfo("CVoiceTalk::onReleaseMicAck", "recv release mic ack close audio record.");
    micState = 0;
    audioMedia->sendTalkStop(markerText.data(), markerId);
    if (isEnableAudioDetection()) {
        if (NotifyCallback notify = notifyCallback) notify(2, nullptr);
    }
}

void CVoiceTalk::onSelfLostMicNotify(const tw_packet&) {
    harbor::logInfo("CVoiceTalk::onSelfLostMicNotify", "recv self lost mic notify close audio record.");
    micState = 0;
    audioMedia->sendTalkStop(nullptr, 0);
    if (NotifyCallback notify = notifyCallback) notify(2, "");
}

void CVoiceTalk::onMemberGetMicNotify(const tw_packet& packet) {
    constexpr const char* tag = "CVoiceTalk::onMemberGetMicNotify";
    tw_member_get_mic event{};
    const int parsed = on_mem_get_mic(&event, packet.body, packet.bodyLength);
    harbor::logInfo(tag, "recv member get mic notify packet parse:[%d].", parsed);
    if (parsed != 0) return;
    harbor::logInfo(tag, "member get mic userId:[%d] groupId:[%d]", event.userId, event.groupId);
    userData->setUserGroup(event.userId, event.groupId);
    userData->setUserName(event.userId, event.userName);
    audioMedia->onMemberGetMic(event.userId);
    char text[kTextSize] = {};
    std::snprintf(text, sizeof text, "%d:%d:%s", static_cast<int>(event.groupId), static_cast<int>(event.userId),
                  event.userName);
    if (NotifyCallback notify = notifyCallback) notify(3, text);
}

void CVoiceTalk::onMemberLostMicNotify(const tw_packet& packet) {
    tw_member_lost_mic event{};
    const int parsed = on_mem_lost_mic(&event, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onMemberLostMicNotify", "recv member lost mic notify.");
    if (parsed != 0) return;
    audioMedia->onMemberLostMic(event.userId);
    char text[kTextSize] = {};
    std::snprintf(text, sizeof text, "%d:%d", static_cast<int>(event.groupId), static_cast<int>(event.userId));
    if (NotifyCallback notify = notifyCallback) notify(4, text);
}

void CVoiceTalk::onSelfQuitTempCallNotify(const tw_packet& packet) {
    tw_temp_call_release event{};
    const int parsed = on_tmp_call_rel(&event, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onSelfQuitTempCallNotify", "recv self quit temp call notify packet parse:[%d].",
                    parsed);
    if (parsed != 0) return;
    micState = 0;
    if (NotifyCallback notify = notifyCallback) notify(6, "");
}

void CVoiceTalk::onTempCallNotify(const tw_packet& packet) {
    tw_temp_call_arrived event{};
    const int parsed = on_tmp_call_arrived(&event, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onTempCallNotify", "recv temp call notify packet parse:[%d].", parsed);
    if (parsed != 0) return;
    char text[kTextSize] = {};
    std::snprintf(text, sizeof text, "%d:%s", static_cast<int>(event.callerId), event.callerName);
    if (NotifyCallback notify = notifyCallback) notify(5, text);
}

void CVoiceTalk::onMeetingCallNotify(const tw_packet& packet) {
    tw_meeting_call_release event{};
    const int parsed = on_meeting_call_release(&event, packet.body, packet.bodyLength);
    harbor::logInfo("CVoiceTalk::onMeetingCallNotify", "recv meeting call status notify packet parse:[%d].", parsed);
    if (parsed != 0) return;
    micState = 0;
    const std::string text = std::to_string(event.meetingId);
    if (NotifyCallback notify = notifyCallback) notify(7, text.c_str());
}
