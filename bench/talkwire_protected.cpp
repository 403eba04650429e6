// What protection costs per login and per message, on one core: the server's side of a
// login's key exchange (its answer, then the client's confirmation checked) beside today's
// login proof check; sealing and opening a control message and a voice datagram.
#include <benchmark/benchmark.h>
#include <talkwire.h>

#include <array>
#include <string>
#include <vector>

#include "figure.h"
#include "login_exchange.h"
#include "protected_link.h"

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

void ServerLoginProofCheck(benchmark::State& state) {
    char proof[TW_ENCODED_PASSWORD_SIZE] = {};
    encode_login_proof(kAccount, account().key.data(), 0, proof);
    int genuine = 0;
    for (auto _ : state) {
        tw_login_proof record{};
        genuine += srv_verify_login_proof(kAccount, account().key.data(), proof, &record);
    }
    benchmark::DoNotOptimize(genuine);
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

void SealAndOpenControlMessage(benchmark::State& state) {
    talkwire::ProtectedLink client(talkwire::ProtectedLink::End::kClient, linkKeys());
    talkwire::ProtectedLink server(talkwire::ProtectedLink::End::kServer, linkKeys());
    const std::vector<uint8_t> message(kControlMessageBytes, 7);
    std::vector<uint8_t> sealed(message.size() + talkwire::ProtectedLink::kControlOverhead);
    std::vector<uint8_t> opened(message.size());
    int ok = 0;
    for (auto _ : state) {
        client.sealControl(message, sealed.data());
        ok += server.openControl(sealed, opened.data());
    }
    benchmark::DoNotOptimize(ok);
    state.SetItemsProcessed(state.iterations());
}

void SealAndOpenVoiceDatagram(benchmark::State& state) {
    talkwire::ProtectedLink client(talkwire::ProtectedLink::End::kClient, linkKeys());
    talkwire::ProtectedLink server(talkwire::ProtectedLink::End::kServer, linkKeys());
    const std::vector<uint8_t> datagram(kVoiceDatagramBytes, 7);
    std::vector<uint8_t> sealed(datagram.size() + talkwire::ProtectedLink::kDatagramOverhead);
    std::vector<uint8_t> opened(datagram.size());
    std::size_t total = 0;
    for (auto _ : state) {
        const std::size_t size = client.sealDatagram(datagram, sealed.data(), sealed.size());
        total += server.openDatagram({sealed.data(), size}, opened.data(), opened.size()).value_or(0);
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations());
}

// The console's table, and each benchmark's cost as a figure for the summary table: the
// exchange beside today's proof check, the sealing per message and per datagram.
class FigureReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("items_per_second");
            if (rate == run.counters.end() || rate->second <= 0) continue;
            const double microseconds = 1e6 / rate->second;
            const std::string name = run.benchmark_name();
            if (name == "ServerLoginProofCheck") {
                proofCheck_ = microseconds;
            } else if (name == "ServerLoginExchange") {
                exchange_ = microseconds;
            } else {
                bench::report({("talkwire: " + name).c_str(), microseconds, "µs", "–", "–", 0});
            }
        }
        if (exchange_ > 0 && proofCheck_ > 0) {
            bench::report({"talkwire: server CPU per login's key exchange", exchange_, "µs", "≤ 400 µs",
                           "the login proof check", proofCheck_});
            exchange_ = proofCheck_ = 0;
        }
    }

private:
    double exchange_ = 0;
    double proofCheck_ = 0;
};

}  // namespace

BENCHMARK(ServerLoginProofCheck);
BENCHMARK(ServerLoginExchange);
BENCHMARK(SealAndOpenControlMessage);
BENCHMARK(SealAndOpenVoiceDatagram);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    FigureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
