// Login and floor access of the Windows build, through its public C interface, as a Windows
// host sees them: from login() to the login callback, and from requestMic() to its
// callback with 0, over ROUNDS logins (each takes and releases the floor once, then logs
// out). Prints median and p99 of each.
// Usage: host_figures ADDRESS PORT [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "callback_event.h"
#include "statistics.h"
#include "talkhub.h"

namespace {

using Clock = std::chrono::steady_clock;

bench::CallbackEvent loginDone;
bench::CallbackEvent floorDone;

void onLogin(int result, const char*) { loginDone.record(result); }
void onFloor(int result) { floorDone.record(result); }

void report(const char* what, const std::vector<double>& micros) {
    const bench::Summary summary = bench::summarise(micros);
    std::printf("%s: median %.2f ms, p99 %.2f ms over %zu\n", what, summary.median / 1000, summary.p99 / 1000,
                micros.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: host_figures ADDRESS PORT [ROUNDS]\n");
        return 64;
    }
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 50;
    initialize();
    setServerInfo(argv[1], static_cast<unsigned int>(std::atoi(argv[2])));
    std::vector<double> logins;
    std::vector<double> floors;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        if (login("alice", "alice", onLogin) != TALKHUB_OK) break;
        const auto loggedIn = loginDone.await();
        if (!loggedIn) break;
        logins.push_back(bench::micros(*loggedIn - start));
        const auto asked = Clock::now();
        requestMic(onFloor);
        const auto granted = floorDone.await();
        if (granted) floors.push_back(bench::micros(*granted - asked));
        releaseMic();
        loginout();
    }
    unInitialize();
    if (logins.size() != static_cast<std::size_t>(rounds) || floors.size() != logins.size()) {
        std::fprintf(stderr, "host_figures: %zu of %d logins and %zu floors completed\n", logins.size(), rounds,
                     floors.size());
        return 1;
    }
    report("login to its callback", logins);
    report("requestMic to its callback", floors);
    return 0;
}
