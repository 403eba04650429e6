#include "media/audio_media.h"
#include "signalling/voice_talk.h"

bool CVoiceTalk::isEnableAudioDetection() { return audioMedia->audioDetection().isEnable(); }

void CVoiceTalk::enableAudioDetection(bool on) { audioMedia->audioDetection().enable(on); }

// Called by the encode thread whenever the detector's decision changes: speech takes the
// floor, the end of speech releases it. The answers change micState.
bool CVoiceTalk::onAudioDetectionStateCallback(bool active) {
    constexpr const char* tag = "CVoiceTalk::onAudioDetectionStateCallback";
    if (!loginCheck(tag)) return false;
    const uint32_t group = currentGroupId;
    if (active) {
        if (!micCheck(tag)) return false;
        micState = 1;
        buildAndSend([group](unsigned char* buffer, int capacity) { return cp_request_mic(buffer, capacity, group); });
        return true;
    }
    if (micState == 0) {
        harbor::logError(tag, "current mic state error:[%d].", micState.load());
        return false;
    }
    buildAndSend([group](unsigned char* buffer, int capacity) { return cp_release_mic(buffer, capacity, group); });
    return true;
}
