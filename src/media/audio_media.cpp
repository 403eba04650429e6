#include "media/audio_media.h"

#include <cassert>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>

#include "media/ptt_audio_buffer.h"
#include "outside/talkwire.h"
#include "platform/files.h"
#include "platform/thread_name.h"

namespace {

constexpr unsigned int kDefaultHeartbeatMs = 8000;
constexpr unsigned int kLastLocalPort = 65534;

// Truncates toward zero like a plain conversion, but saturates where the value leaves int
// (a gain set from a huge volume would otherwise convert out of range).
int truncateToInt(double value) {
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    return static_cast<int>(value < lowest ? lowest : value > highest ? highest : value);
}

}  // namespace

CAudioMedia::CAudioMedia(CVoiceTalk* talk, std::shared_ptr<CUserDataTransform> users)
    : talkController(talk), userDirectory(std::move(users)) {
    assert(talkController != nullptr && userDirectory != nullptr);
}

// Stopping the network closes playback, whose thread ends every recording still under way.
CAudioMedia::~CAudioMedia() { stopNetwork(); }

void CAudioMedia::setAudioDetectionStateCallback(std::function<bool(bool)> callback) {
    detectionStateCallback = std::move(callback);
}

// ---- Voice network ---------------------------------------------------------------------

void CAudioMedia::setServerInfo(const std::string& address, unsigned int port, unsigned int heartbeatIntervalMs) {
    bool valid = false;
    {
        std::lock_guard lock(serverAddressLock);
        serverAddress.setAddress(address);
        serverAddress.setPort(port);
        valid = serverAddress.isValid();
    }
    if (!valid) {
        harbor::logError("CAudioMedia::setServerInfo", "remote voice server address info error:[%s:%d].",
                         address.c_str(), port);
    }
    heartbeatInterval = heartbeatIntervalMs == 0 ? kDefaultHeartbeatMs : heartbeatIntervalMs;
}

harbor::CTSocketAddress CAudioMedia::voiceServer() {
    std::lock_guard lock(serverAddressLock);
    return serverAddress;
}

int CAudioMedia::startNetwork(unsigned int userId) {
    std::lock_guard lock(networkLock);
    if (!networkStopped) return 0;
    const harbor::CTSocketAddress server = voiceServer();
    if (server.address().empty()) {
        // Nobody named a voice server: there is nowhere to send voice or heartbeats.
        harbor::logError("CAudioMedia::startNetwork", "voice server address not set, network not started.");
        return -1;
    }
    // The voice socket speaks the server's address family; datagrams go to an address, so
    // a host name (which would need resolving for every datagram) is refused here.
    const int family = server.literalFamily();
    if (family == 0) {
        harbor::logError("CAudioMedia::startNetwork",
                         "voice server address:[%s] is no IPv4 or IPv6 address, network not started.",
                         server.address().c_str());
        return -1;
    }
    const char* const anyLocal = family == 6 ? "::" : "0.0.0.0";
    // Voice is taken from the voice server alone; its senders come written this way.
    expectedSenderAddress = server.canonicalAddress();
    expectedSenderPort = server.port();
    strayDatagrams = 0;
    unsigned int port = server.port();
    ownUserId = userId;
    harbor::IUdpSocket* socket = nullptr;
    for (; socket == nullptr && port <= kLastLocalPort; ++port) {
        harbor::CTSocketService::instance().newUdpInstance(harbor::CTSocketAddress(anyLocal, port), &socket);
        if (socket != nullptr) boundPort = port;
    }
    if (socket == nullptr) {
        // Without a voice socket the login goes on without voice; the caller reports it.
        harbor::logError("CAudioMedia::startNetwork", "current udp network not available.");
        return -1;
    }
    socket->setReceiveCallback(
        [this](harbor::IUdpSocket* from, int length, const void* data, const harbor::CTSocketAddress& sender) {
            return onVoiceDataCallback(from, length, data, sender);
        });
    udpSocket = socket;
    networkStopped = false;
    heartbeatThread = std::thread([this] {
        talkhub::platform::nameThisThread("talkhub-rtp-hb");
        onRtpHeartbeatThread();
    });
    harbor::logInfo("CAudioMedia::startNetwork", "start voice talk media network finish.");
    return 0;
}

void CAudioMedia::onRtpHeartbeatThread() {
    unsigned char datagram[TW_DATAGRAM_SIZE] = {};
    // The first heartbeat goes at once, each next one an interval later.
    auto due = std::chrono::steady_clock::now();
    while (!networkStopped) {
        {
            std::unique_lock lock(heartbeatLock);
            if (heartbeatWake.wait_until(lock, due, [this] { return networkStopped.load(); })) break;
        }
        const int length = cp_rtp_heartbeat(datagram, sizeof datagram, ownUserId);
        if (length > 0) {
            udpSocket.load()->sendTo(voiceServer(), datagram, length);
        }
        due = std::chrono::steady_clock::now() + std::chrono::milliseconds(heartbeatInterval.load());
    }
}

void CAudioMedia::stopNetwork() {
    std::lock_guard lock(networkLock);
    networkStopped = true;
    if (heartbeatThread.joinable()) {
        {
            std::lock_guard lock(heartbeatLock);
            heartbeatWake.notify_all();
        }
        heartbeatThread.join();
    }
    closeAudioPlay();
    closeRecordAudio();
    if (harbor::IUdpSocket* socket = udpSocket.exchange(nullptr)) {
        socket->setReceiveCallback({});
    }
    boundPort = 0;
}

bool CAudioMedia::isNetworkRunning() const { return !networkStopped; }

unsigned int CAudioMedia::localPort() const { return boundPort; }

void CAudioMedia::sendTalkStart(const char* markerText, unsigned int markerId) { sendMarker(markerText, markerId, 1); }

void CAudioMedia::sendTalkStop(const char* markerText, unsigned int markerId) {
    if (markerText == nullptr) return;
    sendMarker(markerText, markerId, 0);
}

void CAudioMedia::sendMarker(const char* markerText, unsigned int markerId, int start) {
    if (networkStopped) return;
    harbor::IUdpSocket* socket = udpSocket;
    if (socket == nullptr) return;
    unsigned char datagram[TW_DATAGRAM_SIZE] = {};
    const int length = ptt_fake_voice_send(markerText, markerId, datagram, start);
    socket->sendTo(voiceServer(), datagram, length);
}

// ---- Settings --------------------------------------------------------------------------

int CAudioMedia::volume() const {
    const float scaled = static_cast<float>(static_cast<double>(playGain.load()) * 5.0);
    if (scaled > 100.0F) return 100;
    if (!(scaled > 0.0F)) return 0;
    return static_cast<int>(scaled);
}

void CAudioMedia::setVolume(int value) { playGain = static_cast<float>(value / 5.0); }

int CAudioMedia::micVolume() const { return truncateToInt(static_cast<double>(microphoneGain.load()) * 100.0); }

void CAudioMedia::setMicVolume(int value) { microphoneGain = static_cast<float>(value / 100.0); }

bool CAudioMedia::highQuality() const { return highQualityOn; }

void CAudioMedia::setHighQuality(bool on) { highQualityOn = on; }

bool CAudioMedia::mute() const { return muteOn; }

void CAudioMedia::setMute(bool on) { muteOn = on; }

bool CAudioMedia::defaultAllPlay() const { return defaultAllPlayOn; }

void CAudioMedia::setDefaultAllPlay(bool on) { defaultAllPlayOn = on; }

// ---- Groups ----------------------------------------------------------------------------

// The audible groups and the record groups follow one rule: 0 is never a member, closing
// 0 empties the set. Both live under the groups lock.
bool CAudioMedia::addGroup(std::set<unsigned int>& groups, unsigned int groupId) {
    if (groupId == 0) return false;
    std::lock_guard lock(groupsLock);
    return groups.insert(groupId).second;
}

bool CAudioMedia::hasGroup(std::set<unsigned int>& groups, unsigned int groupId) {
    if (groupId == 0) return false;
    std::lock_guard lock(groupsLock);
    return groups.count(groupId) != 0;
}

void CAudioMedia::removeGroup(std::set<unsigned int>& groups, unsigned int groupId) {
    std::lock_guard lock(groupsLock);
    if (groupId == 0) {
        groups.clear();
    } else {
        groups.erase(groupId);
    }
}

void CAudioMedia::openCanPlayGroup(unsigned int groupId) {
    if (addGroup(audibleGroups, groupId)) {
        harbor::logDebug("CAudioMedia::openCanPlayGroup", "open group audio play id:[%d]", groupId);
    }
}

bool CAudioMedia::testGroupCanPlay(unsigned int groupId) { return hasGroup(audibleGroups, groupId); }

void CAudioMedia::closeCanPlayGroup(unsigned int groupId) {
    removeGroup(audibleGroups, groupId);
    harbor::logDebug("CAudioMedia::closeCanPlayGroup", "close group audio play id:[%d]", groupId);
}

// ---- Recording -------------------------------------------------------------------------

void CAudioMedia::setRecordSavePath(const std::string& path) {
    std::string stored = path;
    if (!stored.empty()) {
        const std::filesystem::path folder = talkhub::platform::pathFromUtf8(stored);
        std::error_code error;
        const bool exists = std::filesystem::exists(folder, error);
        if (error) {
            harbor::logError("CAudioMedia::setRecordSavePath", "audio record save path check fail:[%d]", error.value());
            stored.clear();
        } else if (!exists) {
            std::filesystem::create_directories(folder, error);
            if (error) {
                harbor::logError("CAudioMedia::setRecordSavePath", "audio record save path create fail:[%d]",
                                 error.value());
                stored.clear();
            }
        }
    }
    {
        std::lock_guard lock(groupsLock);
        recordSavePath = stored;
    }
    harbor::logDebug("CAudioMedia::setRecordSavePath", "set audio record save path:[%s]", stored.c_str());
}

void CAudioMedia::openGroupRecord(unsigned int groupId) {
    if (addGroup(recordGroups, groupId)) {
        harbor::logDebug("CAudioMedia::openGroupRecord", "open group audio record id:[%d]", groupId);
    }
}

bool CAudioMedia::testGroupRecord(unsigned int groupId) { return hasGroup(recordGroups, groupId); }

void CAudioMedia::closeGroupRecord(unsigned int groupId) {
    removeGroup(recordGroups, groupId);
    harbor::logDebug("CAudioMedia::closeGroupRecord", "close group audio record id:[%d]", groupId);
}

void CAudioMedia::setAudioRecordFinishCallback(RecordFinishCallback callback) { recordFinishCallback = callback; }
