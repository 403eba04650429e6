// Floor access time through the public C interface: requestMic() to the moment its callback
// is called with result 0, against the reference server on loopback, over 500 turns. Beside it, in the same
// run: a request and its answer through the same server by a bare talkwire client (the one
// round trip the design cannot beat) and a 1-byte echo over a loopback TCP connection.
// Prints median and p99 of each and the ratios. Usage: floor PATH_TO_talkhub-server
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "callback_event.h"
#include "capture_source.h"
#include "figure.h"
#include "playback_sink.h"
#include "server_process.h"
#include "service/instance.h"
#include "signalling/voice_talk.h"
#include "statistics.h"
#include "talkhub.h"
#include "wire_client.h"

namespace {

using bench::micros;
using bench::summarise;
using bench::Summary;

using Clock = std::chrono::steady_clock;
const int kTurns = bench::scaled(500);

bench::CallbackEvent event;

void onEvent(int result) { event.record(result); }

void onLogin(int result, const char*) { event.record(result); }

// A talkwire client of its own, logged in as bob: one set-group-option request and its
// answer is one round trip through the server.
class BareClient {
public:
    explicit BareClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)), client_(fd_) {
        const sockaddr_in server = bench::loopback(port);
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return;
        ready_ = client_.logIn("bob", client_.wire().startLogin("bob", "bob"));
    }
    ~BareClient() { ::close(fd_); }
    bool ready() const { return ready_; }

    double roundTrip() {
        unsigned char message[64];
        const int length = cp_set_group_option(message, sizeof message, 5, 255);
        const auto start = Clock::now();
        client_.send(message, length);
        // Floor events of the other user's turns arrive on the way and are skipped.
        for (unsigned char command = client_.next(); command != TW_CMD_SET_GROUP_OPTION_ACK; command = client_.next()) {
            if (command == 0) return -1;
        }
        return micros(Clock::now() - start);
    }

private:
    int fd_ = -1;
    bench::WireClient client_;
    bool ready_ = false;
};

// A 1-byte echo over loopback TCP: the kernel's share of any round trip.
class Echo {
public:
    Echo() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = bench::loopback(0);
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        client_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::connect(client_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        peer_ = ::accept(listener_, nullptr, nullptr);
        ::setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        thread_ = std::thread([this] {
            char byte = 0;
            while (::recv(peer_, &byte, 1, 0) == 1 && ::send(peer_, &byte, 1, 0) == 1) {
            }
        });
    }
    ~Echo() {
        ::shutdown(client_, SHUT_RDWR);
        thread_.join();
        ::close(client_);
        ::close(peer_);
        ::close(listener_);
    }

    double roundTrip() const {
        char byte = 'x';
        const auto start = Clock::now();
        if (::send(client_, &byte, 1, 0) != 1 || ::recv(client_, &byte, 1, 0) != 1) return -1;
        return micros(Clock::now() - start);
    }

private:
    int listener_ = -1;
    int client_ = -1;
    int peer_ = -1;
    std::thread thread_;
};

void print(const char* what, const Summary& summary) {
    std::printf("%-36s median %7.1f us  p99 %7.1f us\n", what, summary.median, summary.p99);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server\n", argv[0]);
        return 2;
    }
    capture_source::install();
    playback_sink::installDiscarding();
    // Two turns a round trip each would soon meet the default per-session request limit;
    // turns follow each other at once, without the grace period that carries a tail.
    const std::string config = "/tmp/talkhub-floor-" + std::to_string(::getpid()) + ".toml";
    {
        std::ofstream out(config);
        out << "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\n"
            << "[limits]\nrequests_per_second = 100000\nfloor_grace_ms = 0\n"
            << "[[account]]\nid = 1001\nname = \"alice\"\npassword = \"alice\"\ndisplay_name = \"Alice\"\n"
            << "[[account]]\nid = 1002\nname = \"bob\"\npassword = \"bob\"\ndisplay_name = \"Bob\"\n"
            << "[[group]]\nid = 1\nname = \"Dispatch\"\nmembers = [\"alice\", \"bob\"]\n";
    }
    const bench::ServerProcess server(argv[1], {"--config", config, "--stats-interval", "0"});
    std::remove(config.c_str());
    if (!server.running()) {
        std::fprintf(stderr, "floor: the server did not start\n");
        return 1;
    }
    initialize();
    setServerInfo("127.0.0.1", server.tcpPort());
    if (login("alice", "alice", onLogin) != 0 || !event.await()) {
        std::fprintf(stderr, "floor: login failed\n");
        unInitialize();
        return 1;
    }
    BareClient bare(server.tcpPort());
    const Echo echo;
    CVoiceTalk& talk = *talkhub::serviceInstance();
    std::vector<double> turns;
    std::vector<double> bareTrips;
    std::vector<double> echoes;
    for (int turn = 0; turn < kTurns && bare.ready(); ++turn) {
        bareTrips.push_back(bare.roundTrip());
        echoes.push_back(echo.roundTrip());
        const auto start = Clock::now();
        requestMic(onEvent);
        const auto granted = event.await();
        if (!granted) {
            std::fprintf(stderr, "floor: turn %d was refused\n", turn);
            break;
        }
        turns.push_back(micros(*granted - start));
        releaseMic();
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (talk.getMicState() != 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    unInitialize();
    capture_source::remove();
    if (turns.size() != static_cast<std::size_t>(kTurns) ||
        std::any_of(bareTrips.begin(), bareTrips.end(), [](double v) { return v < 0; })) {
        std::fprintf(stderr, "floor: the run did not complete\n");
        return 1;
    }
    const Summary floorSummary = summarise(turns);
    const Summary bareSummary = summarise(bareTrips);
    const Summary echoSummary = summarise(echoes);
    std::printf("%d floor turns against talkhub-server on loopback\n", kTurns);
    print("requestMic to its callback:", floorSummary);
    print("bare request round trip (server):", bareSummary);
    print("bare TCP echo:", echoSummary);
    std::printf("ratio floor / bare request round trip (medians): %.2f\n", floorSummary.median / bareSummary.median);
    std::printf("ratio floor / TCP echo (medians): %.2f\n", floorSummary.median / echoSummary.median);
    bench::report({"requestMic to its callback, median", floorSummary.median, "µs", "≤ 2 × baseline",
                   "a bare request round trip", bareSummary.median});
    return 0;
}
