// The send path: captured blocks are queued by the device's thread and turned into voice
// packets by the encode thread, which decides per block whether the user is talking.
//
// The encode thread wakes twice per packet rather than once per block: for the first four
// blocks together, which it encodes back to back, and for the fifth, which completes the
// packet. The packet still leaves one frame's encoding after its last block was captured,
// while the thread's wake-ups (and the cold start of the encoder after each) drop from five
// to two.
#include <chrono>
#include <cstring>
#include <vector>

#include "media/audio_media.h"
#include "media/scale_volume.h"
#include "outside/talkwire.h"
#include "platform/thread_name.h"
#include "signalling/voice_talk.h"

namespace {

constexpr auto kBlockTime = std::chrono::milliseconds(20);
// How much longer than its blocks take to come the encode thread waits for them.
constexpr auto kEncodeWait = std::chrono::milliseconds(50);
constexpr std::size_t kFrameBufferSize = 1024;
constexpr std::size_t kPacketBufferSize = 10240;

}  // namespace

// Encoded frames gathered back to back until they are wrapped into one voice packet. The
// buffers live as long as the encode thread.
class CAudioMedia::VoicePacker {
public:
    // Encodes one block and appends the frame; the frame's length, 0 or less on failure.
    int add(const unsigned char* pcm, unsigned int size, unsigned char mode) {
        const int length =
            ptt_voice_audio_encode(pcm, static_cast<int>(size), frame_.data(), static_cast<int>(frame_.size()), mode);
        if (length <= 0 || bytes_ + static_cast<std::size_t>(length) > frames_.size()) return length <= 0 ? length : 0;
        std::memcpy(frames_.data() + bytes_, frame_.data(), static_cast<std::size_t>(length));
        bytes_ += static_cast<std::size_t>(length);
        ++count_;
        return length;
    }

    int count() const { return count_; }

    // Wraps the gathered frames into the packet buffer and starts over; the packet's length
    // (0 or less when nothing could be built).
    int pack(unsigned char mode) {
        const int length = ptt_voice_packet_encode(frames_.data(), static_cast<int>(bytes_), count_, packet_.data(),
                                                   static_cast<int>(packet_.size()), mode);
        count_ = 0;
        bytes_ = 0;
        return length;
    }

    const unsigned char* packet() const { return packet_.data(); }

private:
    std::vector<unsigned char> frame_ = std::vector<unsigned char>(kFrameBufferSize);
    std::vector<unsigned char> frames_ = std::vector<unsigned char>(kPacketBufferSize);
    std::vector<unsigned char> packet_ = std::vector<unsigned char>(kPacketBufferSize);
    std::size_t bytes_ = 0;
    int count_ = 0;
};

int CAudioMedia::openRecordAudio() {
    harbor::logInfo("CAudioMedia::openRecordAudio", "open audio record finish.");
    std::lock_guard lock(networkLock);
    if (captureOpen) return 0;
    captureOpen = true;
    encodeThread = std::thread([this] {
        talkhub::platform::nameThisThread("talkhub-encode");
        onAudioEncodeThread();
    });
    return device.openRecord(
        [this](const unsigned char* data, unsigned int size) { onAudioRecordDataCallback(data, size); });
}

void CAudioMedia::closeRecordAudio() {
    std::lock_guard lock(networkLock);
    const bool wasOpen = captureOpen.exchange(false);
    device.closeRecord();
    {
        std::lock_guard queueLock(captureLock);
        captureQueue.clear();
        captureQueueBytes = 0;
        captureOverflowing = false;
        captureWake.notify_all();
    }
    if (encodeThread.joinable()) encodeThread.join();
    ptt_clear_send();
    if (wasOpen) harbor::logInfo("CAudioMedia::closeRecordAudio", "close audio record finish.");
}

// Runs on the device's thread: copies and queues, nothing more. When the encode thread
// has fallen 2 s behind, the oldest audio goes, so memory stays bounded; one line tells of
// each episode, which lasts until the encoder is back under half the queue.
void CAudioMedia::onAudioRecordDataCallback(const unsigned char* data, unsigned int size) {
    if (!captureOpen || data == nullptr || size == 0) return;
    auto block = std::make_shared<_BUFFER_INFO>();
    block->samples.reset(new int16_t[(size + 1) / 2]);
    std::memcpy(block->data(), data, size);
    block->size = size;
    bool overflowBegins = false;
    bool wakes = false;
    {
        std::lock_guard lock(captureLock);
        bool dropped = false;
        while (!captureQueue.empty() && captureQueueBytes + size > kCaptureQueueLimitBytes) {
            captureQueueBytes -= captureQueue.front()->size;
            captureQueue.pop_front();
            dropped = true;
        }
        overflowBegins = dropped && !captureOverflowing;
        captureOverflowing = captureOverflowing || dropped;
        captureQueue.push_back(std::move(block));
        captureQueueBytes += size;
        wakes = captureQueue.size() >= encodeWakeBlocks;
    }
    // Woken after the lock is released, so the encode thread does not wake only to wait
    // for it.
    if (wakes) captureWake.notify_one();
    if (overflowBegins) {
        harbor::logWarning("CAudioMedia::onAudioRecordDataCallback",
                           "encoder behind, capture queue full:[%zu] bytes, dropping the oldest audio.",
                           kCaptureQueueLimitBytes);
    }
}

std::deque<std::shared_ptr<CAudioMedia::_BUFFER_INFO>> CAudioMedia::takeCapturedBlocks(std::size_t wanted) {
    std::unique_lock lock(captureLock);
    encodeWakeBlocks = wanted;
    captureWake.wait_for(lock, kBlockTime * static_cast<int>(wanted) + kEncodeWait,
                         [&] { return captureQueue.size() >= wanted || !captureOpen; });
    std::deque<std::shared_ptr<_BUFFER_INFO>> taken;
    taken.swap(captureQueue);
    captureQueueBytes = 0;
    // An overflow episode ends once the encoder has caught up.
    captureOverflowing = false;
    return taken;
}

// Wraps the gathered frames into one packet and sends it; nothing when none are gathered.
void CAudioMedia::sendGathered(VoicePacker& packer, unsigned char mode) {
    if (packer.count() == 0) return;
    const int length = packer.pack(mode);
    harbor::IUdpSocket* socket = udpSocket;
    if (socket == nullptr || length <= 0) return;
    socket->sendTo(voiceServer(), packer.packet(), length);
}

// With the detector on, its state decides: every change goes to the detection state
// callback, whose answer decides the block of the change; the following blocks are sent
// while the state stays active. Without it the held floor decides. Either way, when the
// decision falls the gathered frames go out at once as one short packet, so the end of a
// turn is neither lost nor sent at the start of the next one.
bool CAudioMedia::talkDecision(_BUFFER_INFO& block, bool& talking, VoicePacker& packer, unsigned char mode) {
    if (detection.isEnable()) {
        talking = false;
        const bool state = detection.process(block.samples.get(), block.size / 2);
        bool answer = state;
        if (state != lastDetectionState) {
            lastDetectionState = state;
            if (detectionStateCallback) answer = detectionStateCallback(state);
            if (!state) sendGathered(packer, mode);
        }
        return lastDetectionState && answer;
    }
    // Switched off while it heard speech, the detector gives back the floor it took, as the
    // end of speech would have: otherwise the floor stays held with nobody to release it.
    if (lastDetectionState) {
        lastDetectionState = false;
        if (detectionStateCallback) detectionStateCallback(false);
        sendGathered(packer, mode);
        talking = false;
        return false;
    }
    const bool holding = talkController->getMicState() == 2;
    if (talking && !holding) sendGathered(packer, mode);
    talking = holding;
    return holding;
}

void CAudioMedia::encodeBlock(_BUFFER_INFO& block, bool& talking, VoicePacker& packer) {
    const unsigned char mode = highQualityOn ? 2 : 1;
    if (!talkDecision(block, talking, packer, mode)) return;
    scaleVolume(block.data(), block.size, microphoneGain);
    const int length = packer.add(block.data(), block.size, mode);
    if (length <= 0) {
        harbor::logError("CAudioMedia::onAudioEncodeThread", "encode fail:[%p] data len:[%d] result:[%d].",
                         static_cast<void*>(block.data()), static_cast<int>(block.size), length);
        return;
    }
    if (packer.count() == kFramesPerPacket) sendGathered(packer, mode);
}

void CAudioMedia::onAudioEncodeThread() {
    VoicePacker packer;
    bool talking = false;
    while (!networkStopped && captureOpen) {
        // Up to the block before the one that completes the packet, then that block alone.
        const int missing = kFramesPerPacket - packer.count();
        const auto wanted = static_cast<std::size_t>(missing > 1 ? missing - 1 : 1);
        for (const std::shared_ptr<_BUFFER_INFO>& block : takeCapturedBlocks(wanted)) {
            encodeBlock(*block, talking, packer);
        }
    }
}
