#include "timeline.h"

#include <algorithm>
#include <cstdlib>

namespace talkhub_demo {

void Timeline::add(const std::string& who, const std::string& line) {
    std::lock_guard lock(mutex_);
    entries_.push_back({Clock::now(), who, line});
    print(entries_.back());
    added_.notify_all();
}

void Timeline::print(const Entry& entry) {
    if (outputs_.empty()) return;
    const std::string message = entry.who == "demo" ? entry.line : jsonText(entry.line, "message");
    if (message.empty()) return;
    for (std::FILE* out : outputs_) {
        std::fprintf(out, "[%7.3f s] %-5s %s\n", seconds(entry.at), entry.who.c_str(), message.c_str());
        std::fflush(out);
    }
}

std::optional<Entry> Timeline::waitFor(const std::string& who, const std::vector<std::string>& needles,
                                       Clock::time_point since, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Entry> found;
    added_.wait_for(lock, timeout, [&] {
        for (const Entry& entry : entries_) {
            if (entry.who != who || entry.at < since) continue;
            if (std::all_of(needles.begin(), needles.end(),
                            [&](const std::string& needle) { return entry.line.find(needle) != std::string::npos; })) {
                found = entry;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<int> Timeline::notifications(const std::string& who) const {
    std::lock_guard lock(mutex_);
    std::vector<int> codes;
    for (const Entry& entry : entries_) {
        const auto at = entry.line.find("\"code\":");
        if (entry.who == who && at != std::string::npos) codes.push_back(std::atoi(entry.line.c_str() + at + 7));
    }
    return codes;
}

std::string jsonText(const std::string& line, const std::string& field) {
    const std::string key = "\"" + field + "\":\"";
    auto at = line.find(key);
    if (at == std::string::npos) return "";
    std::string text;
    for (at += key.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) {
            ++at;
            text += line[at] == 'n' ? '\n' : line[at] == 't' ? '\t' : line[at];
        } else {
            text += line[at];
        }
    }
    return text;
}

}  // namespace talkhub_demo
