#include <cctype>
#include <limits>

#include "media/audio_media.h"
#include "signalling/voice_talk.h"

namespace {

// Decimal like the C library's atoi for ordinary input (leading blanks skipped, an optional
// sign, stops at the first non-digit, no digits gives 0), but 0 when the value leaves int
// instead of undefined behaviour.
int decimalOrZero(const std::string& text) {
    std::size_t position = 0;
    while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position])) != 0) ++position;
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    long long value = 0;
    for (; position < text.size() && std::isdigit(static_cast<unsigned char>(text[position])) != 0; ++position) {
        value = value * 10 + (text[position] - '0');
        if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return 0;
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) return 0;
    return static_cast<int>(value);
}

}  // namespace

bool CVoiceTalk::loginCheck(const char* tag) {
    const int state = loginState;
    if (state == 2) return true;
    harbor::logError(tag, "current voice talk login state error:[%d].", state);
    return false;
}

bool CVoiceTalk::micCheck(const char* tag) {
    const int state = micState;
    if (state == 0) return true;
    harbor::logError(tag, "current mic state error:[%d].", state);
    return false;
}

void CVoiceTalk::queryGroup() {
    if (!loginCheck("CVoiceTalk::queryGroup")) return;
    harbor::logInfo("CVoiceTalk::queryGroup", "send query group message.");
    buildAndSend([](unsigned char* buffer, int capacity) { return cp_query_groups(buffer, capacity); });
}

void CVoiceTalk::enterGroup(unsigned int groupId, ResultTextCallback callback) {
    constexpr const char* tag = "CVoiceTalk::enterGroup";
    if (!loginCheck(tag) || !micCheck(tag)) return;
    currentGroupId = groupId;
    harbor::logInfo(tag, "send enter group:[%d] message.", groupId);
    enterGroupCallback = callback;
    buildAndSend(
        [groupId](unsigned char* buffer, int capacity) { return cp_activate_group(buffer, capacity, groupId); });
}

void CVoiceTalk::setGroupOption(unsigned int first, unsigned int second, ResultCallback callback) {
    constexpr const char* tag = "CVoiceTalk::setGroupOption";
    if (!loginCheck(tag)) return;
    harbor::logInfo(tag, "send set group option:[%u:%x] message.", first, second);
    setGroupOptionCallback = callback;
    buildAndSend([first, second](unsigned char* buffer, int capacity) {
        return cp_set_group_option(buffer, capacity, first, second);
    });
}

void CVoiceTalk::requestMic(ResultCallback callback) {
    constexpr const char* tag = "CVoiceTalk::requestMic";
    if (!loginCheck(tag)) return;
    if (isEnableAudioDetection()) {
        audioMedia->audioDetection().setActivate(true);
        return;
    }
    if (!micCheck(tag)) return;
    micState = 1;
    requestMicCallback = callback;
    const uint32_t group = currentGroupId;
    buildAndSend([group](unsigned char* buffer, int capacity) { return cp_request_mic(buffer, capacity, group); });
}

void CVoiceTalk::releaseMic() {
    constexpr const char* tag = "CVoiceTalk::releaseMic";
    if (!loginCheck(tag)) return;
    if (isEnableAudioDetection()) {
        audioMedia->audioDetection().setActivate(false);
        return;
    }
    if (micState == 0) {
        harbor::logError(tag, "current mic state error:[%d].", micState.load());
        return;
    }
    harbor::logInfo(tag, "send release mic message.");
    const uint32_t group = currentGroupId;
    buildAndSend([group](unsigned char* buffer, int capacity) { return cp_release_mic(buffer, capacity, group); });
}

void CVoiceTalk::tempCall(unsigned int userId, ResultCallback callback) {
    constexpr const char* tag = "CVoiceTalk::tempCall";
    if (!loginCheck(tag) || !micCheck(tag)) return;
    harbor::logInfo(tag, "send temp call userId:[%d] message.", userId);
    tempCallCallback = callback;
    const uint32_t ids[1] = {userId};
    buildAndSend([&ids](unsigned char* buffer, int capacity) { return cp_temp_group_call(buffer, capacity, ids, 1); });
}

void CVoiceTalk::handupTempCall() {
    constexpr const char* tag = "CVoiceTalk::handupTempCall";
    if (!loginCheck(tag)) return;
    const uint32_t ids[1] = {0};
    harbor::logInfo(tag, "send handup temp call message.");
    buildAndSend([&ids](unsigned char* buffer, int capacity) { return cp_temp_group_call(buffer, capacity, ids, 1); });
    releaseMic();
}

void CVoiceTalk::meetingCall(bool flag, const std::string& userList, ResultTextCallback callback) {
    constexpr const char* tag = "CVoiceTalk::meetingCall";
    if (userList.empty()) return;
    if (!loginCheck(tag)) return;
    std::vector<std::string> pieces;
    const std::size_t count = splitText(userList, ",", pieces);
    if (count > TW_MAX_CALL_IDS) {
        harbor::logError(tag, "meeting call user list too long:[%zu] ids, at most [%d].", count, TW_MAX_CALL_IDS);
        return;
    }
    std::vector<uint32_t> ids;
    ids.reserve(count);
    for (const std::string& piece : pieces) ids.push_back(static_cast<uint32_t>(decimalOrZero(piece)));
    harbor::logInfo(tag, "send meeting call user list:[%s] message uid:[%d].", userList.c_str(), ids.at(0));
    meetingCallCallback = callback;
    buildAndSend([&](unsigned char* buffer, int capacity) {
        return cp_meeting_call(buffer, capacity, flag ? 1 : 0, ids.data(), static_cast<int>(ids.size()));
    });
}

void CVoiceTalk::handupMeetingCall(unsigned int meetingId) {
    if (!loginCheck("CVoiceTalk::handupMeetingCall")) return;
    const uint32_t ids[1] = {meetingId};
    buildAndSend(
        [&ids](unsigned char* buffer, int capacity) { return cp_handup_meeting_call(buffer, capacity, ids, 1); });
}

std::size_t CVoiceTalk::splitText(const std::string& text, const std::string& separator,
                                  std::vector<std::string>& pieces) {
    pieces.clear();
    if (separator.empty()) {
        if (!text.empty()) pieces.push_back(text);
        return pieces.size();
    }
    std::size_t start = 0;
    bool found = false;
    for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
        found = true;
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    if (found && start < text.size()) pieces.push_back(text.substr(start));
    if (pieces.empty() && !text.empty()) pieces.push_back(text);
    return pieces.size();
}
