// A Windows host that listens: logs in, enters a group, records it into a folder, and
// prints each event as one UTF-8 line until the first recording is reported or the time
// runs out; then logs out.
//
//   listening_host ADDRESS PORT ACCOUNT PASSWORD GROUP RECORD_FOLDER SECONDS
//
// The arguments are read from the system's UTF-16 command line, as a Windows host gets
// them, so the folder may be named in any script. Lines: "login RESULT TEXT", "group RESULT
// TEXT", "notify CODE TEXT", "record USER_ID TEXT", "logged out". Exit status 0 when a
// recording was reported.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "talkhub.h"

namespace {

std::mutex lock;
std::condition_variable changed;
bool loggedIn = false;
bool entered = false;
bool recorded = false;

std::string utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

void print(const char* kind, long long number, const char* text) {
    std::lock_guard held(lock);
    std::printf("%s %lld %s\n", kind, number, text != nullptr ? text : "");
    std::fflush(stdout);
}

void onLogin(int result, const char* text) {
    print("login", result, text);
    std::lock_guard held(lock);
    loggedIn = result == TALKHUB_OK;
    changed.notify_all();
}

void onGroup(int result, const char* text) {
    print("group", result, text);
    std::lock_guard held(lock);
    entered = result == TALKHUB_OK;
    changed.notify_all();
}

void onNotify(int code, const char* text) { print("notify", code, text); }

void onRecord(unsigned int userId, const char* text) {
    print("record", userId, text);
    std::lock_guard held(lock);
    recorded = true;
    changed.notify_all();
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || count != 8) {
        std::fprintf(stderr, "usage: listening_host ADDRESS PORT ACCOUNT PASSWORD GROUP RECORD_FOLDER SECONDS\n");
        return 64;
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(utf8(wide[i]));
    LocalFree(wide);
    const unsigned int group = static_cast<unsigned int>(std::strtoul(arguments[5].c_str(), nullptr, 10));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(arguments[7].c_str()));

    initialize();
    setNotifyCallback(onNotify);
    setAudioRecordFinishCallback(onRecord);
    setRecordSavePath(arguments[6].c_str());
    setServerInfo(arguments[1].c_str(), static_cast<unsigned int>(std::strtoul(arguments[2].c_str(), nullptr, 10)));
    bool ok = login(arguments[3].c_str(), arguments[4].c_str(), onLogin) == TALKHUB_OK;
    {
        std::unique_lock held(lock);
        ok = ok && changed.wait_until(held, deadline, [] { return loggedIn; });
    }
    if (ok) {
        openGroupRecord(group);
        enterGroup(group, onGroup);
        std::unique_lock held(lock);
        ok = changed.wait_until(held, deadline, [] { return entered; }) &&
             changed.wait_until(held, deadline, [] { return recorded; });
    }
    loginout();
    std::printf("logged out\n");
    unInitialize();
    return ok ? 0 : 1;
}
