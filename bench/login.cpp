// Login time through the public C interface: from login() to the login callback that
// names the group entered, against the reference server on loopback, over 200 logins.
// Beside it, in the same run, the bare TCP connect time to the same server and the cost of
// the login share that every login pays (the client's key derivation, memory-hard on
// purpose). Prints median and p99 of each and the ratio. Usage: login PATH_TO_talkhub-server
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "callback_event.h"
#include "capture_source.h"
#include "figure.h"
#include "playback_sink.h"
#include "server_process.h"
#include "statistics.h"
#include "talkhub.h"
#include "wire_client.h"

namespace {

using bench::micros;
using bench::summarise;
using bench::Summary;

using Clock = std::chrono::steady_clock;
const int kRounds = bench::scaled(200);

bench::CallbackEvent loginDone;

void onLogin(int result, const char*) { loginDone.record(result); }

// One blocking connect and close.
double connectOnce(uint16_t port) {
    const sockaddr_in address = bench::loopback(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto start = Clock::now();
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const double elapsed = micros(Clock::now() - start);
    ::close(fd);
    return result == 0 ? elapsed : -1;
}

// One login through the library; negative when it did not complete.
double loginOnce() {
    const auto start = Clock::now();
    if (login("alice", "alice", onLogin) != 0) return -1;
    const auto done = loginDone.await();
    return done ? micros(*done - start) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server\n", argv[0]);
        return 2;
    }
    capture_source::install();
    playback_sink::installDiscarding();
    const bench::ServerProcess server(
        argv[1], {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0", "--stats-interval", "0"});
    if (!server.running()) {
        std::fprintf(stderr, "login: the server did not start\n");
        return 1;
    }
    initialize();
    setServerInfo("127.0.0.1", server.tcpPort());
    std::vector<double> logins;
    std::vector<double> connects;
    std::vector<double> encodings;
    for (int round = 0; round < kRounds; ++round) {
        const double connect = connectOnce(server.tcpPort());
        const auto start = Clock::now();
        char encoded[TW_ENCODED_PASSWORD_SIZE] = {};
        encode_login_passwd("alice", "alice", encoded);
        encodings.push_back(micros(Clock::now() - start));
        const double loginTime = loginOnce();
        loginout();
        if (connect < 0 || loginTime < 0) {
            std::fprintf(stderr, "login: round %d failed\n", round);
            unInitialize();
            return 1;
        }
        connects.push_back(connect);
        logins.push_back(loginTime);
    }
    unInitialize();

    const Summary loginSummary = summarise(logins);
    const Summary connectSummary = summarise(connects);
    const Summary encodingSummary = summarise(encodings);
    std::printf("%d logins against talkhub-server on loopback\n", kRounds);
    std::printf("login to group entered: median %8.1f us  p99 %8.1f us\n", loginSummary.median, loginSummary.p99);
    std::printf("bare TCP connect:       median %8.1f us  p99 %8.1f us\n", connectSummary.median, connectSummary.p99);
    std::printf("login share (client):   median %8.1f us  p99 %8.1f us (the key derivation and the exchange's share)\n",
                encodingSummary.median, encodingSummary.p99);
    std::printf("ratio login / connect (medians): %.1f\n", loginSummary.median / connectSummary.median);
    bench::report({"login to the group entered, median", loginSummary.median / 1000, "ms", "≤ 50 ms",
                   "a bare TCP connect", connectSummary.median / 1000});
    bench::report({"the client's login share (Argon2id, then SPAKE2+), median", encodingSummary.median / 1000, "ms",
                   "≤ 40 ms", "–", 0});
    capture_source::remove();
    return 0;
}
