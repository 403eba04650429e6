// The media engine: the voice UDP socket with its heartbeat and talk markers, capture and
// send, receive per speaker, playback with volume and group selection, and recording.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "detection/audio_detection.h"
#include "device/audio_device.h"
#include "outside/harbor.h"
#include "talkhub.h"

class CVoiceTalk;
class CUserDataTransform;
class CPttAudioBuffer;

class CAudioMedia {
public:
    // One captured PCM block on its way to the encoder.
    struct _BUFFER_INFO {
        // Held as samples so the detector can work on them in place; `data` is the bytes.
        std::unique_ptr<int16_t[]> samples;
        unsigned int size = 0;
        unsigned char* data() { return reinterpret_cast<unsigned char*>(samples.get()); }
    };

    // The capture queue holds at most this much audio (2 s); beyond it the oldest blocks go.
    static constexpr std::size_t kCaptureQueueLimitBytes = 2 * 16000;
    static constexpr int kFramesPerPacket = 5;

    CAudioMedia(CVoiceTalk* talk, std::shared_ptr<CUserDataTransform> users);
    ~CAudioMedia();
    CAudioMedia(const CAudioMedia&) = delete;
    CAudioMedia& operator=(const CAudioMedia&) = delete;

    void setAudioDetectionStateCallback(std::function<bool(bool)> callback);

    // Voice network.
    void setServerInfo(const std::string& address, unsigned int port, unsigned int heartbeatIntervalMs);
    // 0 when running (also when it already was); negative when no local UDP port could be
    // bound, the network then stays stopped.
    int startNetwork(unsigned int ownUserId);
    void stopNetwork();
    bool isNetworkRunning() const;
    // The local port of the bound voice socket, 0 while stopped.
    unsigned int localPort() const;
    void sendTalkStart(const char* markerText, unsigned int markerId);
    void sendTalkStop(const char* markerText, unsigned int markerId);
    // Voice from anywhere but the voice server is dropped (counted, one log line when such
    // an episode begins and one with the count once a second has passed without any).
    int onVoiceDataCallback(harbor::IUdpSocket* socket, int length, const void* data,
                            const harbor::CTSocketAddress& from);
    // Another member took the floor: the detector pauses, so the user's own speech does not
    // ask for it. It resumes when a member leaves the floor.
    void onMemberGetMic(unsigned int userId);
    void onMemberLostMic(unsigned int userId);
    // The speaker's receive buffer, made if there is none; never null.
    std::shared_ptr<CPttAudioBuffer> findUserAudioBuffer(unsigned int userId);

    // Devices.
    int openAudioPlay();
    void closeAudioPlay();
    // Whether the caller runs on this engine's play thread (inside a record notice).
    bool onPlayThread() const;
    // Opens capture and starts the encode thread; 0 when already open, else the device's
    // result (the thread keeps waiting after a failed device open, until the close).
    int openRecordAudio();
    void closeRecordAudio();
    // The capture device's handler: copies the block into the queue and returns.
    void onAudioRecordDataCallback(const unsigned char* data, unsigned int size);

    // Settings read by the worker threads.
    int volume() const;
    void setVolume(int value);
    int micVolume() const;
    void setMicVolume(int value);
    bool highQuality() const;
    void setHighQuality(bool on);
    bool mute() const;
    void setMute(bool on);
    bool defaultAllPlay() const;
    void setDefaultAllPlay(bool on);

    // Audible groups; group 0 in close empties the set.
    void openCanPlayGroup(unsigned int groupId);
    bool testGroupCanPlay(unsigned int groupId);
    void closeCanPlayGroup(unsigned int groupId);

    // Recording.
    void setRecordSavePath(const std::string& path);
    void openGroupRecord(unsigned int groupId);
    bool testGroupRecord(unsigned int groupId);
    void closeGroupRecord(unsigned int groupId);
    void setAudioRecordFinishCallback(RecordFinishCallback callback);

    CAudioDetection& audioDetection() { return detection; }

private:
    class VoicePacker;

    void onRtpHeartbeatThread();
    void onAudioPlayThread();
    void endEveryTurn();
    void startRecordingIfChosen(CPttAudioBuffer& buffer);
    // A recording ended: tells the host, when it asked to be told.
    void onAudioRecordFinish(unsigned int userId, unsigned long long durationMs, const std::string& filePath);
    // Whether voice from a speaker of this group is heard: never for group 0.
    bool isAudible(unsigned int groupId);
    void onAudioEncodeThread();
    // Waits until `wanted` blocks are queued (or a while longer than they take to come),
    // then takes every queued block.
    std::deque<std::shared_ptr<_BUFFER_INFO>> takeCapturedBlocks(std::size_t wanted);
    void encodeBlock(_BUFFER_INFO& block, bool& talking, VoicePacker& packer);
    // The talk decision for one block: whether it is sent. Flushes the gathered frames
    // when the decision falls.
    bool talkDecision(_BUFFER_INFO& block, bool& talking, VoicePacker& packer, unsigned char mode);
    void sendGathered(VoicePacker& packer, unsigned char mode);
    void sendMarker(const char* markerText, unsigned int markerId, int start);
    harbor::CTSocketAddress voiceServer();
    bool addGroup(std::set<unsigned int>& groups, unsigned int groupId);
    bool hasGroup(std::set<unsigned int>& groups, unsigned int groupId);
    void removeGroup(std::set<unsigned int>& groups, unsigned int groupId);

    CVoiceTalk* talkController;
    std::shared_ptr<CUserDataTransform> userDirectory;

    std::atomic<bool> networkStopped{true};
    // Start runs on the network thread, stop on host threads too.
    std::recursive_mutex networkLock;
    // A login answer may replace the server while the heartbeat thread reads it.
    std::mutex serverAddressLock;
    harbor::CTSocketAddress serverAddress;
    std::atomic<harbor::IUdpSocket*> udpSocket{nullptr};
    // The voice server as datagrams from it are addressed, and the datagrams from anywhere
    // else dropped in the current episode; set by startNetwork and read by the receive
    // callback, both on the network thread.
    std::string expectedSenderAddress;
    unsigned int expectedSenderPort = 0;
    unsigned long long strayDatagrams = 0;
    std::chrono::steady_clock::time_point lastStrayDatagram;
    std::atomic<unsigned int> boundPort{0};
    std::atomic<unsigned int> ownUserId{0};
    // 8000 ms until a voice server names its own: never 0, which would send without pause.
    std::atomic<unsigned int> heartbeatInterval{8000};
    std::thread heartbeatThread;
    std::recursive_mutex heartbeatLock;
    std::condition_variable_any heartbeatWake;

    CAudioDevice device;
    std::atomic<float> playGain{1.0F};
    std::atomic<float> microphoneGain{1.0F};
    std::atomic<bool> highQualityOn{false};
    std::atomic<bool> muteOn{false};

    std::atomic<bool> captureOpen{false};
    std::thread encodeThread;
    std::deque<std::shared_ptr<_BUFFER_INFO>> captureQueue;
    std::size_t captureQueueBytes = 0;
    bool captureOverflowing = false;
    // The queue length at which a queued block wakes the encode thread.
    std::size_t encodeWakeBlocks = 1;
    // Never taken twice by one thread, so a plain mutex and its condition variable: the
    // cheapest hand-over for fifty blocks a second.
    std::mutex captureLock;
    std::condition_variable captureWake;

    std::atomic<bool> playOpen{false};
    std::map<unsigned int, std::shared_ptr<CPttAudioBuffer>> speakerBuffers;
    std::thread playThread;
    std::recursive_mutex buffersLock;
    std::condition_variable_any playWake;

    std::atomic<bool> defaultAllPlayOn{true};
    std::set<unsigned int> audibleGroups;
    std::recursive_mutex groupsLock;
    std::set<unsigned int> recordGroups;
    std::string recordSavePath;
    std::atomic<RecordFinishCallback> recordFinishCallback{nullptr};

    CAudioDetection detection;
    // Read and written by the encode thread only.
    bool lastDetectionState = false;
    std::function<bool(bool)> detectionStateCallback;
};
