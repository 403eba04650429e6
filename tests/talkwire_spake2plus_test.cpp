// The login's key exchange: RFC 9383's known answers for its suite, then the two sides
// against each other with a wrong password, an impostor server, a stolen record and hostile
// shares.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "spake2plus.h"

namespace {

namespace sp = talkwire::spake2plus;

std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

template <std::size_t N>
std::array<uint8_t, N> fixed(std::string_view text) {
    const std::vector<uint8_t> bytes = hex(text);
    std::array<uint8_t, N> out{};
    EXPECT_EQ(bytes.size(), N);
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

std::span<const uint8_t> text(std::string_view value) {
    return {reinterpret_cast<const uint8_t*>(value.data()), value.size()};
}

// RFC 9383, Appendix C: the vector of P256-SHA256-HKDF-SHA256-HMAC-SHA256.
constexpr std::string_view kContext = "SPAKE2+-P256-SHA256-HKDF-SHA256-HMAC-SHA256 Test Vectors";
const sp::Identities kIdentities{text(kContext), text("client"), text("server")};
const auto kW0 = fixed<32>("bb8e1bbcf3c48f62c08db243652ae55d3e5586053fca77102994f23ad95491b3");
const auto kW1 = fixed<32>("7e945f34d78785b8a3ef44d0df5a1a97d6b3b460409a345ca7830387a74b1dba");
const auto kL = fixed<65>(
    "04eb7c9db3d9a9eb1f8adab81b5794c1f13ae3e225efbe91ea487425854c7fc00f00bfedcbd09b2400142d40a14f2064ef31dfaa903b91d1"
    "faea7093d835966efd");
const auto kX = fixed<32>("d1232c8e8693d02368976c174e2088851b8365d0d79a9eee709c6a05a2fad539");
const auto kShareP = fixed<65>(
    "04ef3bd051bf78a2234ec0df197f7828060fe9856503579bb1733009042c15c0c1de127727f418b5966afadfdd95a6e4591d171056b333da"
    "b97a79c7193e341727");
const auto kY = fixed<32>("717a72348a182085109c8d3917d6c43d59b224dc6a7fc4f0483232fa6516d8b3");
const auto kShareV = fixed<65>(
    "04c0f65da0d11927bdf5d560c69e1d7d939a05b0e88291887d679fcadea75810fb5cc1ca7494db39e82ff2f50665255d76173e09986ab467"
    "42c798a9a68437b048");
const auto kConfirmP = fixed<32>("926cc713504b9b4d76c9162ded04b5493e89109f6d89462cd33adc46fda27527");
const auto kConfirmV = fixed<32>("9747bcc4f8fe9f63defee53ac9b07876d907d55047e6ff2def2e7529089d3e68");
const auto kShared = fixed<32>("0c5f8ccd1413423a54f6c1fb26ff01534a87f893779c6e68666d772bfd91f3e7");

sp::ProverSecret vectorSecret() {
    sp::ProverSecret secret;
    secret.w0 = kW0;
    secret.w1 = kW1;
    return secret;
}

// A secret from a password hash's output made of one repeated byte.
sp::ProverSecret secretOf(uint8_t fill) {
    std::array<uint8_t, sp::kHashOutputBytes> output{};
    output.fill(fill);
    sp::ProverSecret secret;
    EXPECT_TRUE(sp::proverSecret(output, secret));
    return secret;
}

sp::VerifierRecord recordOf(const sp::ProverSecret& secret) {
    sp::VerifierRecord record;
    EXPECT_TRUE(sp::verifierRecord(secret, record));
    return record;
}

// A run with fresh randomness: the keys each side ends with, if it ends with one.
struct Outcome {
    bool proverDone = false;
    bool verifierDone = false;
    sp::Key proverKey{};
    sp::Key verifierKey{};
};

Outcome run(const sp::ProverSecret& proverSecret, const sp::VerifierRecord& record) {
    Outcome result;
    sp::Prover prover(kIdentities, proverSecret);
    sp::Verifier verifier(kIdentities, record);
    sp::Share shareP{}, shareV{};
    sp::Confirmation confirmV{}, confirmP{};
    EXPECT_TRUE(prover.start(shareP));
    EXPECT_TRUE(verifier.respond(shareP, shareV, confirmV));
    result.proverDone = prover.finish(shareV, confirmV, confirmP, result.proverKey);
    result.verifierDone = verifier.finish(confirmP, result.verifierKey);
    return result;
}

TEST(Spake2Plus, BothSidesReproduceTheRfcVectorByteForByte) {
    const sp::ProverSecret secret = vectorSecret();
    const sp::VerifierRecord record = recordOf(secret);
    EXPECT_EQ(record.L, kL);

    sp::Prover prover(kIdentities, secret);
    sp::Verifier verifier(kIdentities, record);
    sp::Share shareP{}, shareV{};
    sp::Confirmation confirmV{}, confirmP{};
    sp::Key proverKey{}, verifierKey{};
    ASSERT_TRUE(prover.start(shareP, &kX));
    EXPECT_EQ(shareP, kShareP);
    ASSERT_TRUE(verifier.respond(shareP, shareV, confirmV, &kY));
    EXPECT_EQ(shareV, kShareV);
    EXPECT_EQ(confirmV, kConfirmV);
    ASSERT_TRUE(prover.finish(shareV, confirmV, confirmP, proverKey));
    EXPECT_EQ(confirmP, kConfirmP);
    EXPECT_EQ(proverKey, kShared);
    ASSERT_TRUE(verifier.finish(confirmP, verifierKey));
    EXPECT_EQ(verifierKey, kShared);
}

// Each half of the hash's output is reduced modulo the group order n; a half that reduces
// to zero is refused. A vector's scalar, padded to 40 bytes, stays itself.
TEST(Spake2Plus, APasswordHashReducesToScalarsAndOneThatGivesZeroIsRefused) {
    const std::string order = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
    const auto halves = [](std::string_view first, std::string_view second) {
        return fixed<sp::kHashOutputBytes>("0000000000000000" + std::string(first) + "0000000000000000" +
                                           std::string(second));
    };
    sp::ProverSecret secret;
    ASSERT_TRUE(sp::proverSecret(halves("bb8e1bbcf3c48f62c08db243652ae55d3e5586053fca77102994f23ad95491b3",
                                        "7e945f34d78785b8a3ef44d0df5a1a97d6b3b460409a345ca7830387a74b1dba"),
                                 secret));
    EXPECT_EQ(secret.w0, kW0);
    EXPECT_EQ(secret.w1, kW1);

    const std::string belowOrder = order.substr(0, 63) + "0";  // n − 1 ends in ...50
    ASSERT_TRUE(sp::proverSecret(halves(belowOrder, belowOrder), secret)) << "n − 1";
    EXPECT_EQ(secret.w0, fixed<32>(belowOrder));
    EXPECT_FALSE(sp::proverSecret(halves(order, belowOrder), secret)) << "w0 = n reduces to zero";
    EXPECT_FALSE(sp::proverSecret(halves(belowOrder, order), secret)) << "w1 = n reduces to zero";
    EXPECT_FALSE(sp::proverSecret(std::array<uint8_t, sp::kHashOutputBytes>{}, secret));
}

TEST(Spake2Plus, FreshRunsAgreeOnAKeyOfTheirOwn) {
    const sp::ProverSecret secret = secretOf(0x5a);
    const sp::VerifierRecord record = recordOf(secret);
    const Outcome first = run(secret, record);
    const Outcome second = run(secret, record);
    ASSERT_TRUE(first.proverDone && first.verifierDone && second.proverDone && second.verifierDone);
    EXPECT_EQ(first.proverKey, first.verifierKey);
    EXPECT_EQ(second.proverKey, second.verifierKey);
    EXPECT_NE(first.proverKey, second.proverKey);
}

// A wrong password, a server that does not hold the account's record, and a thief who
// holds the record (w0 and L) but not w1: none ends with a key on either side.
TEST(Spake2Plus, NeitherAWrongPasswordNorAnImpostorServerNorAStolenRecordGetsAKey) {
    const sp::ProverSecret alice = secretOf(0x11);
    const sp::VerifierRecord aliceRecord = recordOf(alice);
    const sp::ProverSecret guess = secretOf(0x12);
    sp::ProverSecret thief;
    thief.w0 = alice.w0;
    thief.w1 = guess.w1;
    struct Case {
        const char* name;
        const sp::ProverSecret& prover;
        const sp::VerifierRecord& record;
    };
    const sp::VerifierRecord impostorRecord = recordOf(guess);
    for (const Case& c : {Case{"wrong password", guess, aliceRecord}, Case{"impostor server", alice, impostorRecord},
                          Case{"stolen record", thief, aliceRecord}}) {
        SCOPED_TRACE(c.name);
        const Outcome result = run(c.prover, c.record);
        EXPECT_FALSE(result.proverDone) << "the verifier's confirmation does not match";
        EXPECT_FALSE(result.verifierDone);
    }
}

// Shares that are no point of the curve, or not as they must travel, end the exchange on
// the side that receives them.
TEST(Spake2Plus, HostileSharesAreRefusedBySide) {
    std::vector<std::pair<const char*, sp::Share>> hostile;
    sp::Share compressedTag = kShareP;
    compressedTag[0] = 0x02;
    hostile.emplace_back("not uncompressed", compressedTag);
    sp::Share offCurve = kShareP;
    offCurve[64] ^= 0x01;
    hostile.emplace_back("off the curve", offCurve);
    hostile.emplace_back("all zero", sp::Share{});
    sp::Share hybrid = kShareP;
    hybrid[0] = 0x06;
    hostile.emplace_back("hybrid encoding", hybrid);

    const sp::ProverSecret secret = vectorSecret();
    const sp::VerifierRecord record = recordOf(secret);
    for (const auto& [name, share] : hostile) {
        SCOPED_TRACE(name);
        sp::Verifier verifier(kIdentities, record);
        sp::Share shareV{};
        sp::Confirmation confirmV{};
        EXPECT_FALSE(verifier.respond(share, shareV, confirmV));
        sp::Key key{};
        EXPECT_FALSE(verifier.finish(sp::Confirmation{}, key)) << "no key after a refused share";

        sp::Prover prover(kIdentities, secret);
        sp::Share shareP{};
        sp::Confirmation confirmP{};
        ASSERT_TRUE(prover.start(shareP, &kX));
        EXPECT_FALSE(prover.finish(share, kConfirmV, confirmP, key));
    }
}

TEST(Spake2Plus, EachSideRunsOnceAndInOrder) {
    const sp::ProverSecret secret = vectorSecret();
    const sp::VerifierRecord record = recordOf(secret);
    sp::Prover prover(kIdentities, secret);
    sp::Share share{};
    sp::Confirmation confirmation{};
    sp::Key key{};
    EXPECT_FALSE(prover.finish(kShareV, kConfirmV, confirmation, key)) << "finished before it started";
    ASSERT_TRUE(prover.start(share, &kX));
    EXPECT_FALSE(prover.start(share, &kX)) << "started twice";
    ASSERT_TRUE(prover.finish(kShareV, kConfirmV, confirmation, key));
    EXPECT_FALSE(prover.finish(kShareV, kConfirmV, confirmation, key)) << "finished twice";

    sp::Verifier verifier(kIdentities, record);
    EXPECT_FALSE(verifier.finish(kConfirmP, key)) << "finished before it responded";
    ASSERT_TRUE(verifier.respond(kShareP, share, confirmation, &kY));
    EXPECT_FALSE(verifier.respond(kShareP, share, confirmation, &kY)) << "responded twice";
    ASSERT_TRUE(verifier.finish(kConfirmP, key));
    EXPECT_FALSE(verifier.finish(kConfirmP, key)) << "finished twice";
}

}  // namespace
