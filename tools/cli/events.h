// What the library tells the host, printed as it arrives (a line of text, or one JSON object
// per line) and kept for the commands that wait for an answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace talkhub_cli {

struct Event {
    // kBroken: the connection to the server broke (the library has logged out).
    enum Kind { kLogin, kNotify, kResult, kText, kRecord, kBroken } kind;
    long long value = 0;
    std::string text;
};

class Events {
public:
    static Events& instance();

    void setJson(bool json) { json_ = json; }

    // Installs the notification and record callbacks; the request callbacks below are
    // handed to the requests themselves.
    void install();
    static void onLogin(int result, const char* text);
    static void onResult(int result);
    static void onText(int result, const char* text);

    // The next event of this kind (or of either kind), waiting at most `wait`; earlier events
    // of other kinds stay for their own waiters.
    std::optional<Event> take(Event::Kind kind, std::chrono::milliseconds wait) { return take(kind, kind, wait); }
    std::optional<Event> take(Event::Kind one, Event::Kind other, std::chrono::milliseconds wait);
    // Forgets the events of this kind kept so far: what an earlier connection left.
    void discard(Event::Kind kind);

    // A line of the program's own (text mode) or a JSON object {"event": name, ...fields}.
    void say(const std::string& event, const std::string& text, const std::string& jsonFields = "");

    static std::string quoted(const std::string& text);

    // Prints the event as say() does and keeps it for take().
    void record(Event event, const std::string& name, const std::string& line, const std::string& fields);

private:
    double elapsed() const;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Event> events_;
    bool json_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The meaning of a notification code, in words.
const char* notificationMeaning(int code);

}  // namespace talkhub_cli
