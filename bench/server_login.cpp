// The reference server's CPU per login: logins one after another over loopback, each a new
// connection that sends its login, reads the answer and closes. The client's own work on
// the password is done before the clock starts, so only the server's share is measured:
// its CPU time, summed over its threads at nanosecond resolution, divided by the logins.
// Beside it, the same for connections that close without logging in, so the login's own
// part can be told from accepting and closing a connection.
// Usage: server_login PATH_TO_talkhub-server [LOGINS]
#include <netinet/in.h>
#include <sys/socket.h>
#include <talkwire.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "figure.h"
#include "server_process.h"
#include "thread_cpu.h"
#include "wire_client.h"

namespace {

int connectTo(uint16_t port) {
    const sockaddr_in address = bench::loopback(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits until the server has taken the connection's end, so that its CPU is counted.
void awaitClosed(int fd) {
    ::shutdown(fd, SHUT_WR);
    std::array<char, 256> rest{};
    while (::recv(fd, rest.data(), rest.size(), 0) > 0) {
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_talkhub-server [LOGINS]\n", argv[0]);
        return 2;
    }
    const int logins = argc > 2 ? std::atoi(argv[2]) : bench::scaled(2000);
    const bench::ServerProcess server(
        argv[1], {"--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0", "--stats-interval", "0"});
    if (!server.running() || logins <= 0) {
        std::fprintf(stderr, "server_login: the server did not start\n");
        return 1;
    }
    // The password's derivation is the client's, once: each login is a fresh exchange from it.
    const talkwire::spake2plus::ProverSecret& secret = test_kit::secretFor("alice", "alice");

    const double bareStart = bench::processCpuSeconds(server.pid());
    for (int i = 0; i < logins; ++i) {
        const int fd = connectTo(server.tcpPort());
        if (fd < 0) return 1;
        awaitClosed(fd);
    }
    const double bare = (bench::processCpuSeconds(server.pid()) - bareStart) / logins * 1e6;

    const double loginStart = bench::processCpuSeconds(server.pid());
    for (int i = 0; i < logins; ++i) {
        const int fd = connectTo(server.tcpPort());
        if (fd < 0) return 1;
        bench::WireClient client(fd);
        if (!client.logIn("alice", client.wire().startLogin("alice", secret))) {
            std::fprintf(stderr, "server_login: login %d was not accepted\n", i);
            return 1;
        }
        awaitClosed(fd);
    }
    const double login = (bench::processCpuSeconds(server.pid()) - loginStart) / logins * 1e6;
    std::printf("%d connections each way against talkhub-server on loopback\n", logins);
    std::printf("server CPU per connection that closes without a login: %7.1f us\n", bare);
    std::printf("server CPU per login (connect, exchange, close):       %7.1f us\n", login);
    std::printf("the login's own share:                                 %7.1f us\n", login - bare);
    bench::report({"server CPU per login (connect, key exchange, close)", login, "µs", "≤ 400 µs",
                   "a connection closed without a login", bare});
    return 0;
}
