#include "session.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "devices.h"
#include "events.h"
#include "talkhub.h"

namespace talkhub_cli {

namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerWait = 10s;
// What goes out after the floor is given back: the last frames, flushed as it falls.
constexpr auto kTailWait = 300ms;
// Logging in again after a broken connection: the first pause, doubled after each failure.
constexpr std::chrono::steady_clock::duration kFirstReconnectPause = 1s;
constexpr std::chrono::steady_clock::duration kLongestReconnectPause = 30s;

const char* refusalReason(int result) {
    switch (result) {
        case TALKHUB_LOGIN_UNKNOWN_ACCOUNT:
            return "unknown account";
        case TALKHUB_LOGIN_WRONG_PASSWORD:
            return "wrong password";
        case TALKHUB_LOGIN_SERVER_FULL:
            return "server full";
        case TALKHUB_LOGIN_MALFORMED:
            return "login request not understood";
        case TALKHUB_LOGIN_TRY_LATER:
            return "too many failed logins: try later";
        case TALKHUB_LOGIN_STALE:
            return "this computer's clock differs from the server's (a server of the previous protocol)";
        case TALKHUB_LOGIN_OLD_PROTOCOL:
            return "the server speaks a newer protocol: update this program";
        case TALKHUB_LOGIN_SERVER_NOT_PROVEN:
            return "the server did not prove it holds the account: not the real server?";
        case TALKHUB_LOGIN_NO_GROUP:
            return "the account is in no group";
        case TALKHUB_LOGIN_TOO_MANY_REDIRECTS:
            return "the servers kept redirecting the login";
        case TALKHUB_LOGIN_NO_PROOF:
            return "the login's key exchange could not be started (out of memory)";
        default:
            return "refused";
    }
}

void holdFor(std::optional<double> seconds) {
    if (seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(*seconds));
        return;
    }
    Events::instance().say("prompt", "press Enter to stop");
    std::string ignored;
    std::getline(std::cin, ignored);
}

// Group ids from words; "all" stands for every group and comes back as an empty list.
std::optional<std::vector<unsigned int>> groupIds(const std::vector<std::string>& words) {
    std::vector<unsigned int> ids;
    for (const std::string& word : words) {
        if (word == "all") return std::vector<unsigned int>{};
        try {
            std::size_t used = 0;
            const unsigned long id = std::stoul(word, &used);
            if (used != word.size() || id == 0 || id > 0xFFFFFFFFUL) throw std::invalid_argument(word);
            ids.push_back(static_cast<unsigned int>(id));
        } catch (const std::exception&) {
            std::cerr << "talkhub-cli: not a group id: " << word << std::endl;
            return std::nullopt;
        }
    }
    return ids;
}

}  // namespace

Session::Session() {
    initialize();
    Events::instance().install();
}

Session::~Session() {
    logout();
    unInitialize();
}

std::string ServerAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::vector<ServerAddress> parseServers(const std::string& list, unsigned int port) {
    std::vector<ServerAddress> servers;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        std::string entry = list.substr(start, end - start);
        ServerAddress server{entry, port};
        std::size_t colon = entry.rfind(':');
        if (!entry.empty() && entry.front() == '[') {
            const std::size_t close = entry.find(']');
            if (close == std::string::npos || (close + 1 < entry.size() && entry[close + 1] != ':')) return {};
            server.host = entry.substr(1, close - 1);
            colon = close + 1 < entry.size() ? close + 1 : std::string::npos;
        } else if (entry.find(':') != colon) {
            colon = std::string::npos;  // a bare IPv6 address, no port
        } else if (colon != std::string::npos) {
            server.host = entry.substr(0, colon);
        }
        if (colon != std::string::npos) {
            const std::string digits = entry.substr(colon + 1);
            if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
                return {};
            server.port = static_cast<unsigned int>(std::stoul(digits));
            if (server.port == 0 || server.port > 65535) return {};
        }
        if (server.host.empty()) return {};
        servers.push_back(server);
        start = end + 1;
    }
    return servers;
}

ExitCode Session::login(const LoginOptions& options) {
    options_ = options;
    ExitCode result = kExitUnreachable;
    for (std::size_t tried = 0; tried < options_.servers.size(); ++tried) {
        result = loginTo(options_.servers[server_]);
        // A refusal or a missing device is the same on every server.
        if (result != kExitUnreachable && result != kExitFailed) return result;
        logout();
        server_ = (server_ + 1) % options_.servers.size();
    }
    return result;
}

ExitCode Session::loginTo(const ServerAddress& server) {
    if (!options_.recordDir.empty()) setRecordSavePath(options_.recordDir.c_str());
    ::setServerInfo(server.host.c_str(), server.port);
    const std::string where = server.text();
    // A break or an answer kept from an earlier connection says nothing of this one.
    Events::instance().discard(Event::kBroken);
    Events::instance().discard(Event::kLogin);
    if (::login(options_.user.c_str(), options_.password.c_str(), Events::onLogin) < 0) {
        std::cerr << "talkhub-cli: cannot connect to " << where << std::endl;
        return kExitUnreachable;
    }
    // Logged out whatever comes: a login left pending could still be taken there later,
    // and would then end the session made on the next server.
    loggedIn_ = true;
    auto answer = Events::instance().take(Event::kLogin, Event::kBroken, kAnswerWait);
    if (!answer) {
        std::cerr << "talkhub-cli: no login answer from " << where << " within 10 s" << std::endl;
        return kExitFailed;
    }
    if (answer->kind == Event::kBroken) {
        std::cerr << "talkhub-cli: the connection to " << where << " broke during the login" << std::endl;
        return kExitUnreachable;
    }
    if (answer->value >= 0) return kExitOk;
    if (answer->value == TALKHUB_LOGIN_HOST_NOT_FOUND) {
        std::cerr << "talkhub-cli: server name of " << where << " not found (" << answer->value << ")" << std::endl;
        return kExitUnreachable;
    }
    if (answer->value == TALKHUB_LOGIN_SERVER_UNREACHABLE) {
        std::cerr << "talkhub-cli: server " << where << " unreachable (" << answer->value << ")" << std::endl;
        return kExitUnreachable;
    }
    if (TALKHUB_LOGIN_CAPTURE_FAILED(answer->value)) {
        std::cerr << "talkhub-cli: no microphone: the capture device did not open (code 0x" << std::hex
                  << static_cast<unsigned int>(answer->value) << std::dec << "; see --list-devices)" << std::endl;
        return kExitNoDevice;
    }
    if (answer->value == TALKHUB_LOGIN_SPEAKER_FAILED) {
        std::cerr << "talkhub-cli: no speaker: the playback device did not open (" << speakerProblem() << ", code "
                  << answer->value << "; see --list-devices)" << std::endl;
        return kExitNoDevice;
    }
    if (answer->value == TALKHUB_LOGIN_NO_VOICE_SOCKET) {
        std::cerr << "talkhub-cli: no voice socket could be made for " << where << " (" << answer->value << ")"
                  << std::endl;
        return kExitFailed;
    }
    std::cerr << "talkhub-cli: login as " << options_.user << " failed: " << refusalReason(answer->value) << " ("
              << answer->value << ")" << std::endl;
    return kExitRefused;
}

void Session::logout() {
    if (!loggedIn_) return;
    loggedIn_ = false;
    loginout();
}

bool Session::talk(std::optional<double> seconds) {
    requestMic(Events::onResult);
    auto granted = Events::instance().take(Event::kResult, kAnswerWait);
    if (!granted || granted->value != 0) {
        Events::instance().say("talk", "floor not granted");
        return false;
    }
    Events::instance().say("talk", "talking");
    holdFor(seconds);
    releaseMic();
    std::this_thread::sleep_for(kTailWait);
    Events::instance().say("talk", "floor released");
    return true;
}

bool Session::vox(int threshold, long long hangoverMs, std::optional<double> seconds) {
    setAudioActivateThreshold(threshold);
    setMuteDurationMs(hangoverMs);
    enableAudioDetection(true);
    Events::instance().say("vox", "voice activation on");
    holdFor(seconds);
    // A floor the detector holds goes back with the next captured block.
    enableAudioDetection(false);
    std::this_thread::sleep_for(kTailWait);
    Events::instance().say("vox", "voice activation off");
    return true;
}

bool Session::enter(unsigned int groupId) {
    enterGroup(groupId, Events::onText);
    auto answer = Events::instance().take(Event::kText, kAnswerWait);
    const bool entered = answer && answer->value == 0;
    if (entered) lastGroup_ = groupId;
    return entered;
}

bool Session::call(unsigned int userId) {
    tempCall(userId, Events::onResult);
    auto answer = Events::instance().take(Event::kResult, kAnswerWait);
    return answer && answer->value == 0;
}

void Session::hangup() { handupTempCall(); }

bool Session::meeting(const std::string& userIds) {
    meetingCall(true, userIds.c_str(), Events::onText);
    auto answer = Events::instance().take(Event::kText, kAnswerWait);
    return answer && answer->value == 0;
}

void Session::endMeeting(unsigned int meetingId) { handupMeetingCall(meetingId); }

namespace {

std::string listed(const std::vector<unsigned int>& ids) {
    std::string text;
    for (unsigned int id : ids) text += (text.empty() ? "" : " ") + std::to_string(id);
    return text;
}

}  // namespace

bool Session::hear(const std::vector<std::string>& groups) {
    const auto ids = groupIds(groups);
    if (!ids) return false;
    setDefaultAllPlay(ids->empty());
    closeCanPlayGroup(0);
    for (unsigned int id : *ids) openCanPlayGroup(id);
    Events::instance().say("hear", ids->empty() ? "hearing every group" : "hearing groups " + listed(*ids));
    return true;
}

bool Session::record(const std::vector<std::string>& groups) {
    const auto ids = groupIds(groups);
    if (!ids) return false;
    closeGroupRecord(0);
    for (unsigned int id : *ids) openGroupRecord(id);
    Events::instance().say("record-groups", "recording groups " + listed(*ids));
    return true;
}

void Session::volume(int value) { setVolume(value); }

void Session::micVolume(int value) { setMicVolume(value); }

void Session::wait(double seconds) {
    const Clock::time_point until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < until) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (!Events::instance().take(Event::kBroken, left)) return;
        if (options_.reconnect) reconnectBefore(until);
    }
}

void Session::reconnectBefore(Clock::time_point until) {
    logout();
    Clock::duration pause = kFirstReconnectPause;
    for (int attempt = 1; Clock::now() + pause < until; ++attempt) {
        server_ = (server_ + 1) % options_.servers.size();
        const std::string where = options_.servers[server_].text();
        const auto pauseSeconds = std::chrono::duration_cast<std::chrono::seconds>(pause).count();
        Events::instance().say("reconnect",
                               "logging in again to " + where + " in " + std::to_string(pauseSeconds) + " s (attempt " +
                                   std::to_string(attempt) + ")",
                               "\"attempt\":" + std::to_string(attempt) +
                                   ",\"pause_s\":" + std::to_string(pauseSeconds) + ",\"server\":\"" + where + "\"");
        std::this_thread::sleep_for(pause);
        if (loginTo(options_.servers[server_]) == kExitOk) {
            Events::instance().say("reconnect", "logged in again to " + where,
                                   "\"attempt\":" + std::to_string(attempt) + ",\"server\":\"" + where + "\"");
            if (lastGroup_ != 0) enter(lastGroup_);
            return;
        }
        logout();
        pause = std::min<Clock::duration>(pause * 2, kLongestReconnectPause);
    }
    Events::instance().say("reconnect", "not logged in again before the wait ended");
}

}  // namespace talkhub_cli
