// The receive and play path: voice datagrams of audible speakers are queued per speaker on
// the network thread; the play thread decodes one packet per speaker per pass, applies the
// play volume and hands the PCM to the speaker's stream in the output device.
#include <chrono>
#include <vector>

#include "media/audio_media.h"
#include "media/ptt_audio_buffer.h"
#include "media/scale_volume.h"
#include "outside/talkwire.h"
#include "platform/thread_name.h"
#include "signalling/user_data_transform.h"

namespace {

constexpr std::size_t kPlayBufferSize = 10240;
constexpr auto kIdlePassWait = std::chrono::milliseconds(50);
// A speaker's stream that cannot serve the next output callback is about to run dry, and
// only then is the speaker's next packet decoded. The mixer takes a callback's worth every
// 128 ms and the play thread passes at least every 50 ms, so topping the stream up at this
// mark keeps it from running dry, while the rest of the speaker's audio waits as packets,
// where a late one can still take its place in order and a burst after a stall is kept
// whole (the stream's own bound is shorter).
constexpr unsigned int kStreamShortBytes = CAudioDevice::kPlayCallbackBytes;
constexpr auto kStrayEpisodeGap = std::chrono::seconds(1);

// The engine whose play thread runs here: a record notice may call back into the library,
// and what may wait for the play thread must not be waited for on it.
thread_local const CAudioMedia* playThreadOwner = nullptr;

}  // namespace

bool CAudioMedia::isAudible(unsigned int groupId) {
    // A speaker whose group is unknown is never heard, whatever the play-all setting says.
    return groupId != 0 && (defaultAllPlayOn || testGroupCanPlay(groupId));
}

// Runs on the network thread. Only the voice server's datagrams count: anyone who can
// reach the voice port could otherwise speak as the member holding the floor. The datagram
// is parsed before any lock is taken; one that talkwire rejects is dropped rather than
// queued as an empty packet, which would stall the speaker's reserve at 0 frames per packet.
int CAudioMedia::onVoiceDataCallback(harbor::IUdpSocket*, int length, const void* data,
                                     const harbor::CTSocketAddress& from) {
    constexpr const char* tag = "CAudioMedia::onVoiceDataCallback";
    const auto now = std::chrono::steady_clock::now();
    if (from.port() != expectedSenderPort || from.address() != expectedSenderAddress) {
        if (strayDatagrams++ == 0) {
            harbor::logWarning(tag, "datagram from [%s]:[%u], not the voice server [%s]:[%u]: dropped.",
                               from.address().c_str(), from.port(), expectedSenderAddress.c_str(), expectedSenderPort);
        }
        lastStrayDatagram = now;
        return length;
    }
    // An episode ends after a quiet second, so that strays mixed into real voice cannot
    // make a line of each.
    if (strayDatagrams != 0 && now - lastStrayDatagram > kStrayEpisodeGap) {
        harbor::logWarning(tag, "dropped [%llu] datagrams from elsewhere than the voice server.", strayDatagrams);
        strayDatagrams = 0;
    }
    if (!playOpen || muteOn || length <= 0 || data == nullptr) return length;
    const unsigned int sender = ptt_get_rx_udp_uid(data, length);
    if (sender == 0 || !isAudible(userDirectory->getUserGroup(sender))) return length;
    auto packet = std::make_shared<_AUDIO_PACKET>();
    if (ptt_process_rx_udp(data, length, packet.get()) != TW_OK) return length;
    {
        std::lock_guard lock(buffersLock);
        // Playback closes under this lock: a speaker found after that would outlive it.
        if (!playOpen) return length;
        // Only voice starts a buffer: an end of talk that comes after the floor notification
        // has already ended and removed the speaker's buffer would otherwise start an empty
        // one, and with recording on an empty file.
        if (packet->kind != TW_KIND_VOICE && speakerBuffers.count(sender) == 0) return length;
        findUserAudioBuffer(sender)->pushPacket(std::move(packet));
    }
    playWake.notify_one();
    return length;
}

std::shared_ptr<CPttAudioBuffer> CAudioMedia::findUserAudioBuffer(unsigned int userId) {
    std::lock_guard lock(buffersLock);
    std::shared_ptr<CPttAudioBuffer>& buffer = speakerBuffers[userId];
    if (!buffer) {
        buffer = std::make_shared<CPttAudioBuffer>();
        buffer->setUserId(userId);
        startRecordingIfChosen(*buffer);
    }
    return buffer;
}

// A new speaker is recorded when a save path is set and the speaker's group is both audible
// and chosen for recording at this moment; later changes leave the turn as it began.
void CAudioMedia::startRecordingIfChosen(CPttAudioBuffer& buffer) {
    const unsigned int userId = buffer.getUserId();
    std::lock_guard lock(groupsLock);
    if (recordSavePath.empty()) return;
    const unsigned int groupId = userDirectory->getUserGroup(userId);
    if (groupId == 0) {
        harbor::logError("CAudioMedia::findUserAudioBuffer", "user id:[%d] not found location group", userId);
        return;
    }
    if (isAudible(groupId) && testGroupRecord(groupId)) {
        buffer.setRecordPath(recordSavePath);
        buffer.setRecordFinishCallback(
            [this](unsigned int id, unsigned long long durationMs, const std::string& filePath) {
                onAudioRecordFinish(id, durationMs, filePath);
            });
        buffer.startRecord();
    }
}

// "group id:group name,user id:user name,duration ms,file path"; names unknown to the
// directory are empty, an unknown group is 0.
void CAudioMedia::onAudioRecordFinish(unsigned int userId, unsigned long long durationMs, const std::string& filePath) {
    const RecordFinishCallback callback = recordFinishCallback;
    if (callback == nullptr) return;
    const unsigned int groupId = userDirectory->getUserGroup(userId);
    const std::string text = std::to_string(groupId) + ":" + userDirectory->getGroupName(groupId) + "," +
                             std::to_string(userId) + ":" + userDirectory->getUserName(userId) + "," +
                             std::to_string(durationMs) + "," + filePath;
    callback(userId, text.c_str());
}

// A new turn: its packets are numbered afresh when the talker has logged in again since
// its last one, so the buffer forgets the number it played last.
void CAudioMedia::onMemberGetMic(unsigned int userId) {
    detection.setPause(true);
    std::lock_guard lock(buffersLock);
    if (!playOpen) return;
    findUserAudioBuffer(userId)->setTalkEnd(false);
}

// The speaker's last packets no longer wait for the reserve: the play thread is woken to
// drain them now rather than at its next idle timeout.
void CAudioMedia::onMemberLostMic(unsigned int userId) {
    detection.setPause(false);
    {
        std::lock_guard lock(buffersLock);
        const auto found = speakerBuffers.find(userId);
        if (found == speakerBuffers.end()) return;
        found->second->setTalkEnd(true);
    }
    playWake.notify_one();
}

int CAudioMedia::openAudioPlay() {
    harbor::logInfo("CAudioMedia::openAudioPlay", "open audio play finish.");
    std::lock_guard lock(networkLock);
    if (playOpen) return 0;
    // A play thread that closed playback from inside a record notice ends by itself.
    if (playThread.joinable()) playThread.join();
    {
        std::lock_guard buffers(buffersLock);
        playOpen = true;
    }
    playThread = std::thread([this] {
        talkhub::platform::nameThisThread("talkhub-play");
        playThreadOwner = this;
        onAudioPlayThread();
        endEveryTurn();
    });
    // On failure the thread goes on; the device drops what it is given until the close.
    return device.openPlay();
}

// The play thread ends every turn on its way out. Called from a record notice on the play
// thread itself, it cannot wait for that thread: the thread ends once the notice returns,
// and the next open or the engine's end joins it.
void CAudioMedia::closeAudioPlay() {
    std::lock_guard lock(networkLock);
    bool wasOpen = false;
    {
        std::lock_guard buffers(buffersLock);
        wasOpen = playOpen.exchange(false);
        playWake.notify_all();
    }
    device.closePlay();
    if (playThread.joinable() && !onPlayThread()) playThread.join();
    if (wasOpen) harbor::logInfo("CAudioMedia::closeAudioPlay", "close audio play finish.");
}

bool CAudioMedia::onPlayThread() const { return playThreadOwner == this; }

// At the close every speaker's turn ends as a turn that has played out would: its recording
// is completed and closed and the host told of it, here on the play thread; the next login
// starts every speaker afresh.
void CAudioMedia::endEveryTurn() {
    std::map<unsigned int, std::shared_ptr<CPttAudioBuffer>> ending;
    {
        std::lock_guard lock(buffersLock);
        ending.swap(speakerBuffers);
    }
}

// One pass visits the speakers in id order and decodes at most one packet of each, so they
// take turns; a speaker whose talk has ended and been played is removed in the same pass.
// A speaker's packet is decoded only while its stream is short. Passes follow each
// other while any speaker has audio; an idle pass waits for the next datagram, or 50 ms
// while a speaker is known. The buffers lock is held for a whole pass, device calls included.
void CAudioMedia::onAudioPlayThread() {
    std::vector<unsigned char> pcm(kPlayBufferSize);
    // Finished speakers leave the map in the pass but are let go after it: the end of a
    // recording (file completed, host told) runs without the buffers lock.
    std::vector<std::shared_ptr<CPttAudioBuffer>> finished;
    while (playOpen) {
        finished.clear();
        int served = 0;
        std::unique_lock lock(buffersLock);
        for (auto it = speakerBuffers.begin(); it != speakerBuffers.end();) {
            const bool streamShort = device.queuedPlayBytes(it->first) < kStreamShortBytes;
            const int length = it->second->decode(pcm.data(), static_cast<unsigned int>(pcm.size()), streamShort);
            if (length >= 1) {
                scaleVolume(pcm.data(), static_cast<unsigned int>(length), playGain);
                device.writePlayData(it->first, pcm.data(), static_cast<unsigned int>(length));
                ++served;
                ++it;
            } else if (it->second->isPlayFinish()) {
                device.finishPlayData(it->first);
                finished.push_back(std::move(it->second));
                it = speakerBuffers.erase(it);
            } else {
                ++it;
            }
        }
        if (served != 0 || !finished.empty()) continue;
        // With nobody to play the thread sleeps until a datagram or the close wakes it;
        // while a speaker is known it looks again every 50 ms, as its stream runs down.
        if (speakerBuffers.empty()) {
            playWake.wait(lock, [this] { return !playOpen || !speakerBuffers.empty(); });
        } else {
            playWake.wait_for(lock, kIdlePassWait);
        }
    }
}
