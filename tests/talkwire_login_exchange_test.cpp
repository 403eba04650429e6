// The login's exchange from password to the connection's keys: a client and a server that
// agree end with the same keys; a wrong password, a server without the account's record, a
// thief holding only the record and a replayed login each end with nothing; the texts a
// server stores and a client sends are read with every byte checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "login_exchange.h"
#include "talkwire.h"

namespace {

namespace sp = talkwire::spake2plus;
namespace login = talkwire::login;

sp::ProverSecret secretOf(const char* account, const char* password) {
    std::array<uint8_t, login::kLoginKeyBytes> key{};
    EXPECT_EQ(derive_login_key(account, password, key.data()), TW_OK);
    sp::ProverSecret secret;
    EXPECT_TRUE(login::proverSecret(key, secret));
    return secret;
}

// The record a server reads for the account, through its stored text.
sp::VerifierRecord recordOf(const char* account, const char* password) {
    sp::VerifierRecord made;
    EXPECT_TRUE(sp::verifierRecord(secretOf(account, password), made));
    sp::VerifierRecord read;
    EXPECT_TRUE(login::readRecord(login::recordText(made), read));
    return read;
}

// One whole exchange: whether each side finished, and their keys.
struct Outcome {
    bool clientFinished = false;
    bool serverFinished = false;
    login::SessionKeys clientKeys;
    login::SessionKeys serverKeys;
};

void exchange(const sp::ProverSecret& clientSecret, const sp::VerifierRecord& serverRecord, Outcome& outcome) {
    login::ClientLogin client("alice", clientSecret);
    login::ServerLogin server("alice", serverRecord);
    const std::optional<std::string> share = client.start();
    ASSERT_TRUE(share.has_value());
    EXPECT_EQ(share->size(), login::kShareTextLength);
    EXPECT_LT(share->size(), 256U) << "the share fits the login request's password text";
    sp::Share shareV{};
    sp::Confirmation confirmV{};
    ASSERT_TRUE(server.respond(*share, shareV, confirmV));
    sp::Confirmation confirmP{};
    outcome.clientFinished = client.finish(shareV, confirmV, confirmP, outcome.clientKeys);
    if (outcome.clientFinished) outcome.serverFinished = server.finish(confirmP, outcome.serverKeys);
}

TEST(LoginExchange, TheRightPasswordGivesBothSidesTheSameFourKeys) {
    Outcome outcome;
    exchange(secretOf("alice", "correct horse"), recordOf("alice", "correct horse"), outcome);
    ASSERT_TRUE(outcome.clientFinished);
    ASSERT_TRUE(outcome.serverFinished);
    const login::SessionKeys& c = outcome.clientKeys;
    const login::SessionKeys& s = outcome.serverKeys;
    EXPECT_EQ(c.controlUp, s.controlUp);
    EXPECT_EQ(c.controlDown, s.controlDown);
    EXPECT_EQ(c.voiceUp, s.voiceUp);
    EXPECT_EQ(c.voiceDown, s.voiceDown);
    EXPECT_EQ((std::set<login::SessionKeys::Key>{c.controlUp, c.controlDown, c.voiceUp, c.voiceDown}).size(), 4U)
        << "each direction has a key of its own";
}

// The client cannot tell a wrong password from a server without the account's record: in
// either case the server has not proved itself, and the client confirms nothing.
TEST(LoginExchange, AWrongPasswordAnImpostorAndAThiefWithTheRecordEachEndWithNothing) {
    const sp::VerifierRecord genuine = recordOf("alice", "correct horse");
    Outcome wrongPassword;
    exchange(secretOf("alice", "correct hose"), genuine, wrongPassword);
    EXPECT_FALSE(wrongPassword.clientFinished) << "a wrong password";

    Outcome impostor;
    exchange(secretOf("alice", "correct horse"), recordOf("alice", "a guess"), impostor);
    EXPECT_FALSE(impostor.clientFinished) << "a server holding another record";

    Outcome otherAccount;
    exchange(secretOf("alice", "correct horse"), recordOf("bob", "correct horse"), otherAccount);
    EXPECT_FALSE(otherAccount.clientFinished) << "the same password's record for another account";

    // A thief with a copy of the server's file has w0 and L; without w1 it cannot make the
    // client's confirmation, whatever w1 it tries.
    sp::ProverSecret thief;
    thief.w0 = genuine.w0;
    thief.w1 = genuine.w0;
    login::ClientLogin client("alice", thief);
    login::ServerLogin server("alice", genuine);
    sp::Share shareV{};
    sp::Confirmation confirmV{};
    ASSERT_TRUE(server.respond(*client.start(), shareV, confirmV));
    sp::Confirmation confirmP{};
    login::SessionKeys keys;
    EXPECT_FALSE(client.finish(shareV, confirmV, confirmP, keys)) << "the thief's own check already fails";
    sp::Confirmation forged{};
    EXPECT_FALSE(server.finish(forged, keys)) << "the server takes no confirmation the thief can make";
}

// A captured login sent again meets a fresh server share: the captured confirmation does not
// finish it, and the thief cannot make one.
TEST(LoginExchange, ACapturedLoginReplayedOpensNothing) {
    const sp::ProverSecret secret = secretOf("alice", "correct horse");
    const sp::VerifierRecord record = recordOf("alice", "correct horse");
    login::ClientLogin client("alice", secret);
    const std::string captured = *client.start();
    login::ServerLogin first("alice", record);
    sp::Share shareV{};
    sp::Confirmation confirmV{};
    ASSERT_TRUE(first.respond(captured, shareV, confirmV));
    sp::Confirmation capturedConfirmation{};
    login::SessionKeys keys;
    ASSERT_TRUE(client.finish(shareV, confirmV, capturedConfirmation, keys));

    login::ServerLogin replayed("alice", record);
    sp::Share replayedShareV{};
    sp::Confirmation replayedConfirmV{};
    ASSERT_TRUE(replayed.respond(captured, replayedShareV, replayedConfirmV));
    EXPECT_NE(replayedShareV, shareV) << "each answer is fresh";
    login::SessionKeys replayedKeys;
    EXPECT_FALSE(replayed.finish(capturedConfirmation, replayedKeys));
}

// A server that still stores an old login key takes it as the record it stands for.
TEST(LoginExchange, AnOldLoginKeyIsReadAsTheRecordItStandsFor) {
    std::array<uint8_t, login::kLoginKeyBytes> key{};
    ASSERT_EQ(derive_login_key("alice", "correct horse", key.data()), TW_OK);
    std::string oldText = "v2$";
    for (uint8_t byte : key) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        oldText += digits;
    }
    sp::VerifierRecord fromOld;
    bool wasOld = false;
    ASSERT_TRUE(login::readRecord(oldText, fromOld, &wasOld));
    EXPECT_TRUE(wasOld);
    const sp::VerifierRecord record = recordOf("alice", "correct horse");
    EXPECT_EQ(fromOld.w0, record.w0);
    EXPECT_EQ(fromOld.L, record.L);
    bool stillOld = true;
    sp::VerifierRecord again;
    ASSERT_TRUE(login::readRecord(login::recordText(record), again, &stillOld));
    EXPECT_FALSE(stillOld);
}

TEST(LoginExchange, TextsThatAreNoRecordOrShareAreRefused) {
    const std::string record = login::recordText(recordOf("alice", "correct horse"));
    ASSERT_EQ(record.size(), login::kRecordTextLength);
    sp::VerifierRecord read;
    for (std::size_t cut = 0; cut < record.size(); ++cut) {
        EXPECT_FALSE(login::readRecord(record.substr(0, cut), read)) << "cut to " << cut;
    }
    EXPECT_FALSE(login::readRecord(record + "0", read)) << "one digit too many";
    for (std::size_t at : {std::size_t{0}, std::size_t{2}, std::size_t{3}, std::size_t{67}, record.size() - 1}) {
        std::string altered = record;
        altered[at] = altered[at] == 'x' ? 'y' : 'x';
        EXPECT_FALSE(login::readRecord(altered, read)) << "byte " << at << " altered";
    }

    login::ClientLogin client("alice", secretOf("alice", "correct horse"));
    const std::string share = *client.start();
    login::ServerLogin server("alice", recordOf("alice", "correct horse"));
    sp::Share shareV{};
    sp::Confirmation confirmV{};
    std::string offCurve = share;
    offCurve[offCurve.size() - 1] = offCurve.back() == '0' ? '1' : '0';
    for (const std::string& hostile : {share.substr(0, share.size() - 2), share + "00", "v2" + share.substr(2),
                                       share.substr(0, 10) + "zz" + share.substr(12), offCurve, std::string()}) {
        EXPECT_FALSE(server.respond(hostile, shareV, confirmV)) << "share text " << hostile;
    }
}

}  // namespace
