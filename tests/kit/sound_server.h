// A PulseAudio server of the test's own: a null sink whose monitor is the default source,
// so that whatever is played into the sink is what every client of the server captures,
// at the sound server's real-time pace. Programs reach it through environment() (Wine's
// WinMM among them, through its PulseAudio driver); nothing of the user's sound setup is
// touched. Started by the constructor, stopped by the destructor.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

class SoundServer {
public:
    SoundServer() : folder_(std::filesystem::temp_directory_path() / ("talkhub-sound-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_ / "home");
        ::chmod(folder_.c_str(), 0700);
        const std::string log = (folder_ / "pulseaudio.log").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
            ::setenv("HOME", (folder_ / "home").c_str(), 1);
            if (std::freopen(log.c_str(), "w", stdout) == nullptr ||
                std::freopen(log.c_str(), "a", stderr) == nullptr) {
                ::_exit(127);
            }
            ::execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                     "-L", "module-native-protocol-unix auth-anonymous=1", "-L",
                     "module-null-sink sink_name=microphone rate=48000 channels=1", nullptr);
            ::_exit(127);
        }
        for (int tries = 0; tries < 100 && !ready(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ready_ = command("pactl set-default-sink microphone && pactl set-default-source microphone.monitor") == 0;
    }

    ~SoundServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool running() const { return ready_; }

    // The server's address, as PULSE_SERVER and ALSA's pulse plugin take it.
    std::string address() const { return "unix:" + (folder_ / "pulse/native").string(); }

    // Put before a shell command, so that it speaks to this server.
    std::string environment() const {
        return "XDG_RUNTIME_DIR='" + folder_.string() + "' PULSE_SERVER='" + address() + "'";
    }

    // Runs a shell command that speaks to this server; its exit status.
    int command(const std::string& line) const {
        const int status = std::system((environment() + " sh -c '" + line + "' > /dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Plays a sound file into the microphone, `times` over, in the background.
    void play(const std::string& file, int times = 1) const {
        std::string loop = "for i in $(seq " + std::to_string(times) + "); do paplay " + file + "; done";
        std::system((environment() + " sh -c '" + loop + "' > /dev/null 2>&1 &").c_str());
    }

private:
    bool ready() const { return command("pactl info") == 0; }

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    bool ready_ = false;
};
