#include "cli_child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

extern char** environ;

namespace talkhub_demo {

CliChild::CliChild(std::string name, Timeline& timeline, const std::string& program,
                   const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                   const std::string& errorLog)
    : name_(std::move(name)), timeline_(timeline) {
    // Its standard input is a socket, so that a line sent to a program that has gone (or
    // never started) fails with EPIPE instead of killing this process with SIGPIPE.
    int in[2];
    int out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> argumentText{program};
    argumentText.insert(argumentText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentText) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environmentText;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (environment.count(entry.substr(0, entry.find('='))) == 0) environmentText.push_back(entry);
    }
    for (const auto& [key, value] : environment) environmentText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : environmentText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    const int output = out[0];
    reader_ = std::thread([this, output] { read(output); });
}

CliChild::~CliChild() { finish(); }

Clock::time_point CliChild::command(const std::string& line) {
    const std::string text = line + "\n";
    const Clock::time_point at = Clock::now();
    if (input_ >= 0 && ::send(input_, text.data(), text.size(), MSG_NOSIGNAL) < 0) {
        ::close(std::exchange(input_, -1));
    }
    return at;
}

int CliChild::finish() {
    if (input_ >= 0) {
        command("quit");
        ::close(std::exchange(input_, -1));
    }
    if (pid_ > 0) {
        int status = 0;
        pid_t ended = 0;
        for (int waited = 0; waited < 1500 && (ended = ::waitpid(pid_, &status, WNOHANG)) == 0; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status_ = -1;
        } else {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return status_;
}

void CliChild::read(int fd) {
    std::FILE* stream = ::fdopen(fd, "r");
    if (stream == nullptr) {
        ::close(fd);
        return;
    }
    char buffer[4096];
    std::string line;
    while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
        line += buffer;
        if (line.back() != '\n') continue;
        line.pop_back();
        timeline_.add(name_, line);
        line.clear();
    }
    std::fclose(stream);
}

}  // namespace talkhub_demo
