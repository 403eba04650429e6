// What protection costs per login and per message, on one core: the server's side of a
// login's key exchange (its answer, then the client's confirmation checked); sealing and
// opening a control message and a voice datagram.
#include <benchmark/benchmark.h>
#include <talkwire.h>

#include <array>
#include <string>
#include <vector>

#include "figure.h"
#include "login_exchange.h"
#include "protected_link.h"
#include "rate_figures.h"

namespace {

namespace sp = talkwire::spake2plus;
namespace login = talkwire::login;

constexpr const char* kAccount = "alice";
constexpr std::size_t kVoiceDatagramBytes = 14 + 5 * 31;  // five frames of speech at mode 1
constexpr std::size_t kControlMessageBytes = 40;

struct Account {
    std::array<uint8_t, login::kLoginKeyBytes> key{};
    sp::ProverSecret secret;
    sp::VerifierRecord record;
    Account() {
        derive_login_key(kAccount, "correct horse", key.data());
        login::proverSecret(key, secret);
        sp::verifierRecord(secret, record);
    }
};

const Account& account() {
    static const Account made;
    return made;
}

void ServerLoginExchange(benchmark::State& state) {
    int finished = 0;
    for (auto _ : state) {
        state.PauseTiming();
        login::ClientLogin client(kAccount, account().secret);
        const std::string share = *client.start();
        state.ResumeTiming();
        login::ServerLogin server(kAccount, account().record);
        sp::Share shareV{};
        sp::Confirmation confirmV{};
        server.respond(share, shareV, confirmV);
        state.PauseTiming();
        sp::Confirmation confirmP{};
        login::SessionKeys clientKeys;
        client.finish(shareV, confirmV, confirmP, clientKeys);
        state.ResumeTiming();
        login::SessionKeys serverKeys;
        finished += server.finish(confirmP, serverKeys);
    }
    benchmark::DoNotOptimize(finished);
    state.SetItemsProcessed(state.iterations());
}

login::SessionKeys linkKeys() {
    login::SessionKeys keys;
    keys.controlUp.fill(1);
    keys.controlDown.fill(2);
    keys.voiceUp.fill(3);
    keys.voiceDown.fill(4);
    return keys;
}

// Both ends of one link, and a message of `bytes` with room for it sealed and opened.
struct LinkedEnds {
    LinkedEnds(std::size_t bytes, std::size_t overhead) : plain(bytes, 7), sealed(bytes + overhead), opened(bytes) {}
    talkwire::ProtectedLink client{talkwire::ProtectedLink::End::kClient, linkKeys(), 7};
    talkwire::ProtectedLink server{talkwire::ProtectedLink::End::kServer, linkKeys(), 7};
    std::vector<uint8_t> plain;
    std::vector<uint8_t> sealed;
    std::vector<uint8_t> opened;
};

void SealAndOpenControlMessage(benchmark::State& state) {
    LinkedEnds ends(kControlMessageBytes, talkwire::ProtectedLink::kControlOverhead);
    int ok = 0;
    for (auto _ : state) {
        ok += ends.client.sealControl(ends.plain, ends.sealed.data()) &&
              ends.server.openControl(ends.sealed, ends.opened.data());
    }
    benchmark::DoNotOptimize(ok);
    state.SetItemsProcessed(state.iterations());
}

void SealAndOpenVoiceDatagram(benchmark::State& state) {
    LinkedEnds ends(kVoiceDatagramBytes, talkwire::ProtectedLink::kDatagramOverhead);
    std::size_t total = 0;
    for (auto _ : state) {
        const std::size_t size = ends.client.sealDatagram(ends.plain, ends.sealed.data(), ends.sealed.size());
        total +=
            ends.server.openDatagram({ends.sealed.data(), size}, ends.opened.data(), ends.opened.size()).value_or(0);
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(ServerLoginExchange);
BENCHMARK(SealAndOpenControlMessage);
BENCHMARK(SealAndOpenVoiceDatagram);

// Each benchmark's cost as a figure for the summary table: the exchange, the sealing per
// message and per datagram.
int main(int argc, char** argv) {
    return bench::runRated(argc, argv, [&](const std::string& name, double itemsPerSecond) {
        if (itemsPerSecond <= 0) return;
        const double microseconds = 1e6 / itemsPerSecond;
        if (name == "ServerLoginExchange") {
            bench::report({"talkwire: server CPU per login's key exchange", microseconds, "µs", "≤ 400 µs", "–", 0});
        } else {
            bench::report({("talkwire: " + name).c_str(), microseconds, "µs", "–", "–", 0});
        }
    });
}
