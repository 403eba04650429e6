#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "talkwire_test_support.h"

namespace {

using talkwire_test::Bytes;
using Key = std::array<unsigned char, TW_LOGIN_KEY_SIZE>;

Key keyOf(const char* account, const char* password) {
    Key key{};
    EXPECT_EQ(derive_login_key(account, password, key.data()), TW_OK);
    return key;
}

std::string proofOf(const char* account, const Key& key, int64_t unixTime) {
    char proof[TW_ENCODED_PASSWORD_SIZE] = {};
    EXPECT_GT(encode_login_proof(account, key.data(), unixTime, proof), 0);
    return proof;
}

int verify(const char* account, const Key& key, const std::string& proof, tw_login_proof* record = nullptr) {
    tw_login_proof ignored{};
    return srv_verify_login_proof(account, key.data(), proof.c_str(), record != nullptr ? record : &ignored);
}

// Stored keys outlive releases: a change of the derivation (its cost, salt or domain) would
// lock every configured account out, so one key is pinned here.
TEST(TalkwireLoginProof, TheKeyIsTheSameDerivationEveryReleaseAndDependsOnAccountAndPassword) {
    const Key alice = keyOf("alice", "alice");
    char text[TW_LOGIN_KEY_TEXT_SIZE] = {};
    ASSERT_EQ(encode_login_key(alice.data(), text), TW_LOGIN_KEY_TEXT_SIZE - 1);
    EXPECT_STREQ(text, "v2$c660dd8b885aa519a593731e4695c8d055cd5f555353f9308a508b70ef33f8be");
    Key readBack{};
    ASSERT_EQ(srv_read_login_key(text, readBack.data()), TW_OK);
    EXPECT_EQ(readBack, alice);

    EXPECT_NE(keyOf("bob", "alice"), alice) << "the account salts the key";
    EXPECT_NE(keyOf("alice", "alicf"), alice);
    EXPECT_NE(keyOf("alice", ""), alice);

    // A password of exactly the longest length makes a key; one byte more does not.
    Key key{};
    EXPECT_EQ(derive_login_key("alice", std::string(TW_MAX_PASSWORD_LENGTH, 'p').c_str(), key.data()), TW_OK);
    EXPECT_EQ(derive_login_key("alice", std::string(TW_MAX_PASSWORD_LENGTH + 1, 'p').c_str(), key.data()),
              TW_ERR_ARGUMENT);
    EXPECT_EQ(derive_login_key(std::string(TW_MAX_ACCOUNT_LENGTH, 'a').c_str(), "x", key.data()), TW_OK);
    EXPECT_EQ(derive_login_key(std::string(TW_MAX_ACCOUNT_LENGTH + 1, 'a').c_str(), "x", key.data()), TW_ERR_ARGUMENT);
    EXPECT_EQ(derive_login_key("", "x", key.data()), TW_ERR_ARGUMENT);
    EXPECT_EQ(derive_login_key(nullptr, "x", key.data()), TW_ERR_ARGUMENT);
    EXPECT_EQ(derive_login_key("alice", nullptr, key.data()), TW_ERR_ARGUMENT);

    const std::string hex(64, 'a');
    EXPECT_EQ(srv_read_login_key(("v2$" + hex).c_str(), key.data()), TW_OK);
    for (const std::string& bad : {"v2$" + hex.substr(1), "v2$" + hex + "a", "v1$" + hex, "v2$" + hex.substr(1) + "g",
                                   hex, std::string("v2$")}) {
        EXPECT_EQ(srv_read_login_key(bad.c_str(), key.data()), TW_ERR_FORMAT) << bad;
    }
}

TEST(TalkwireLoginProof, AProofVerifiesOnlyWithItsKeyAndAccountAndNotOnceAltered) {
    const Key key = keyOf("alice", "correct horse");
    const std::string proof = proofOf("alice", key, 1767225600);
    EXPECT_EQ(proof.rfind("v2$1767225600$", 0), 0U) << proof;
    EXPECT_EQ(proof.find("correct"), std::string::npos);

    tw_login_proof record{};
    ASSERT_EQ(verify("alice", key, proof, &record), 1);
    EXPECT_EQ(record.unixTime, 1767225600);
    EXPECT_EQ(verify("alicf", key, proof), 0) << "the proof is bound to its account";
    EXPECT_EQ(verify("alice", keyOf("alice", "correct horsf"), proof), 0);

    // Every byte after the version is covered: a changed time, nonce or MAC is no proof.
    for (std::size_t at = 3; at < proof.size(); ++at) {
        if (proof[at] == '$') continue;
        std::string altered = proof;
        altered[at] = altered[at] == '1' ? '2' : '1';
        EXPECT_LE(verify("alice", key, altered), 0) << "byte " << at << ": " << altered;
    }

    // Each proof has its own nonce, even at the same second.
    const std::string again = proofOf("alice", key, 1767225600);
    tw_login_proof second{};
    ASSERT_EQ(verify("alice", key, again, &second), 1);
    EXPECT_NE(again, proof);
    EXPECT_NE(std::memcmp(record.nonce, second.nonce, TW_LOGIN_NONCE_SIZE), 0);

    for (const std::string& malformed :
         {std::string(), std::string("v2$"), proof.substr(0, proof.size() - 1), proof + "0", "v1$" + proof.substr(3),
          "v2$-5" + proof.substr(proof.find('$', 3)), "v2$" + proof.substr(proof.find('$', 3)),
          "v2$99999999999999999999" + proof.substr(proof.find('$', 3))}) {
        EXPECT_EQ(verify("alice", key, malformed), TW_ERR_FORMAT) << malformed;
    }
    EXPECT_EQ(srv_verify_login_proof("alice", key.data(), nullptr, &record), TW_ERR_ARGUMENT);
}

TEST(TalkwireLoginProof, TheLongestProofTravelsInALoginRequestAndTheClientsProofIsOfNow) {
    const Key key = keyOf(std::string(TW_MAX_ACCOUNT_LENGTH, 'a').c_str(), "pw");
    const std::string account(TW_MAX_ACCOUNT_LENGTH, 'a');
    const std::string longest = proofOf(account.c_str(), key, INT64_MAX);
    const Bytes message = talkwire_test::build(
        [&](unsigned char* b, int c) { return cp_login(b, c, account.c_str(), longest.c_str(), 0); });
    const Bytes body = talkwire_test::bodyOf(message);
    tw_login_request request{};
    ASSERT_EQ(srv_parse_login(&request, body.data(), static_cast<uint32_t>(body.size())), TW_OK);
    tw_login_proof record{};
    ASSERT_EQ(verify(request.account, key, request.encodedPassword, &record), 1);
    EXPECT_EQ(record.unixTime, INT64_MAX);

    char proof[TW_ENCODED_PASSWORD_SIZE] = {};
    const int64_t before = std::time(nullptr);
    ASSERT_GT(encode_login_passwd("alice", "alice", proof), 0);
    ASSERT_EQ(verify("alice", keyOf("alice", "alice"), proof, &record), 1);
    EXPECT_GE(record.unixTime, before);
    EXPECT_LE(record.unixTime, static_cast<int64_t>(std::time(nullptr)));
    EXPECT_LT(encode_login_proof("alice", key.data(), -1, proof), 0);
}

}  // namespace
