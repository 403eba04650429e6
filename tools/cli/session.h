// One logged-in host session over the library's exports, and the commands a user gives it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace talkhub_cli {

// Exit codes of the program.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitRefused = 2,      // the server refused the account or password
    kExitUnreachable = 3,  // the server could not be reached
    kExitNoDevice = 4,     // no microphone
    kExitFailed = 5,       // a request failed or timed out
};

// One signalling server: a host name or address and a port.
struct ServerAddress {
    std::string host;
    unsigned int port = 13001;
    std::string text() const;
};

// "HOST", "HOST:PORT" or "[IPv6]:PORT", several separated by commas; empty when any is
// malformed. A server without a port takes `port`.
std::vector<ServerAddress> parseServers(const std::string& list, unsigned int port);

struct LoginOptions {
    // Tried in order at the first login; after a broken connection, `wait` logs in to the
    // next one.
    std::vector<ServerAddress> servers{{"127.0.0.1", 13001}};
    std::string user;
    std::string password;
    std::string recordDir;
    // `wait` logs in again after a broken connection.
    bool reconnect = true;
};

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Logs in and waits for the outcome; prints a one-line reason on failure.
    ExitCode login(const LoginOptions& options);
    void logout();

    // Each returns false when its request was refused or not answered.
    bool talk(std::optional<double> seconds);
    bool vox(int threshold, long long hangoverMs, std::optional<double> seconds);
    bool enter(unsigned int groupId);
    bool call(unsigned int userId);
    void hangup();
    bool meeting(const std::string& userIds);
    void endMeeting(unsigned int meetingId);
    bool hear(const std::vector<std::string>& groups);
    bool record(const std::vector<std::string>& groups);
    void volume(int value);
    void micVolume(int value);
    // Listens for SECONDS; a connection that breaks meanwhile is logged in again (unless
    // switched off), as a host should: to the next server given, after a pause that doubles
    // from 1 s up to 30 s with each failed attempt, re-entering the group entered last.
    void wait(double seconds);

private:
    using Clock = std::chrono::steady_clock;
    void reconnectBefore(Clock::time_point until);
    ExitCode loginTo(const ServerAddress& server);

    bool loggedIn_ = false;
    LoginOptions options_;
    unsigned int lastGroup_ = 0;
    std::size_t server_ = 0;  // the server in `options_.servers` logged in to last
};

}  // namespace talkhub_cli
