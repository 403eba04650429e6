// The reference server as a child process for end-to-end benchmarks: started with the given
// arguments, its ports read from the first line it prints, its log written to `logPath`,
// stopped with SIGTERM when it goes out of scope or when the benchmark's process ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

class ServerProcess {
public:
    ServerProcess(const char* binary, std::vector<std::string> arguments, const char* logPath = "/dev/null") {
        int out[2];
        if (::pipe(out) != 0) return;
        std::vector<char*> argv{const_cast<char*>(binary)};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // The server ends with its benchmark, however that ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::dup2(::open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            ::execv(binary, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        std::sscanf(line.c_str(), "talkhub-server: signalling on 127.0.0.1:%hu (TCP), voice on 127.0.0.1:%hu",
                    &tcpPort_, &udpPort_);
    }
    ~ServerProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool running() const { return pid_ > 0 && tcpPort_ != 0; }
    pid_t pid() const { return pid_; }
    uint16_t tcpPort() const { return tcpPort_; }
    uint16_t udpPort() const { return udpPort_; }

private:
    pid_t pid_ = -1;
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
};

}  // namespace bench
