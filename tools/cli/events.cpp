#include "events.h"

#include <cstdio>
#include <iostream>

#include "talkhub.h"

namespace talkhub_cli {

namespace {

// A broken connection is kept for the commands that log in again after one.
void onNotify(int code, const char* text) {
    const std::string value = text != nullptr ? text : "";
    std::string line = "notify " + std::to_string(code) + " " + notificationMeaning(code);
    if (!value.empty()) line += ": " + value;
    const std::string fields = "\"code\":" + std::to_string(code) +
                               ",\"meaning\":" + Events::quoted(notificationMeaning(code)) +
                               ",\"text\":" + (text != nullptr ? Events::quoted(value) : "null");
    if (code == TALKHUB_NOTIFY_NETWORK_EXCEPTION) {
        Events::instance().record({Event::kBroken, code, value}, "notify", line, fields);
    } else {
        Events::instance().say("notify", line, fields);
    }
}

void onRecordFinish(unsigned int userId, const char* text) {
    const std::string value = text != nullptr ? text : "";
    Events::instance().say("record", "recording of user " + std::to_string(userId) + " finished: " + value,
                           "\"user\":" + std::to_string(userId) + ",\"text\":" + Events::quoted(value));
}

}  // namespace

const char* notificationMeaning(int code) {
    switch (code) {
        case TALKHUB_NOTIFY_NETWORK_EXCEPTION:
            return "connection to the server lost";
        case TALKHUB_NOTIFY_MIC_LOST:
            return "floor lost or released";
        case TALKHUB_NOTIFY_MEMBER_GET_MIC:
            return "a member took the floor";
        case TALKHUB_NOTIFY_MEMBER_LOST_MIC:
            return "a member left the floor";
        case TALKHUB_NOTIFY_TEMP_CALL:
            return "a temporary call arrived";
        case TALKHUB_NOTIFY_TEMP_CALL_END:
            return "the temporary call ended";
        case TALKHUB_NOTIFY_MEETING_END:
            return "a meeting call ended";
        case TALKHUB_NOTIFY_VOICE_GET_MIC:
            return "floor granted by voice";
        default:
            return "unknown notification";
    }
}

Events& Events::instance() {
    static Events events;
    return events;
}

void Events::install() {
    setNotifyCallback(onNotify);
    setAudioRecordFinishCallback(onRecordFinish);
}

void Events::onLogin(int result, const char* text) {
    const std::string value = text != nullptr ? text : "";
    instance().record({Event::kLogin, result, value}, "login",
                      "login result " + std::to_string(result) + (value.empty() ? "" : ": " + value),
                      "\"result\":" + std::to_string(result) + ",\"text\":" + quoted(value));
}

void Events::onResult(int result) {
    instance().record({Event::kResult, result, ""}, "result", "result " + std::to_string(result),
                      "\"result\":" + std::to_string(result));
}

void Events::onText(int result, const char* text) {
    const std::string value = text != nullptr ? text : "";
    instance().record({Event::kText, result, value}, "result",
                      "result " + std::to_string(result) + (value.empty() ? "" : ": " + value),
                      "\"result\":" + std::to_string(result) + ",\"text\":" + quoted(value));
}

void Events::record(Event event, const std::string& name, const std::string& line, const std::string& fields) {
    say(name, line, fields);
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
}

void Events::discard(Event::Kind kind) {
    std::lock_guard lock(mutex_);
    std::erase_if(events_, [kind](const Event& event) { return event.kind == kind; });
}

std::optional<Event> Events::take(Event::Kind one, Event::Kind other, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    std::optional<Event> found;
    changed_.wait_for(lock, wait, [&] {
        for (auto it = events_.begin(); it != events_.end(); ++it) {
            if (it->kind == one || it->kind == other) {
                found = *it;
                events_.erase(it);
                return true;
            }
        }
        return false;
    });
    return found;
}

double Events::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Events::say(const std::string& event, const std::string& text, const std::string& jsonFields) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f", elapsed());
    std::lock_guard lock(mutex_);
    if (json_) {
        std::cout << "{\"time\":" << stamp << ",\"event\":" << quoted(event);
        if (!jsonFields.empty()) std::cout << "," << jsonFields;
        std::cout << ",\"message\":" << quoted(text) << "}" << std::endl;
    } else {
        std::cout << "[" << stamp << "s] " << text << std::endl;
    }
}

std::string Events::quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace talkhub_cli
