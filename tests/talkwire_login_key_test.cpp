// The account's login key: one Argon2id derivation, salted by the account, that every record
// and login starts from.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "talkwire_test_support.h"

namespace {

using Key = std::array<unsigned char, TW_LOGIN_KEY_SIZE>;

Key keyOf(const char* account, const char* password) {
    Key key{};
    EXPECT_EQ(derive_login_key(account, password, key.data()), TW_OK);
    return key;
}

// Stored records and old keys outlive releases: a change of the derivation (its cost, salt
// or domain) would lock every configured account out, so one key is pinned here.
TEST(TalkwireLoginKey, IsTheSameDerivationEveryReleaseAndDependsOnAccountAndPassword) {
    const Key alice = keyOf("alice", "alice");
    const Key pinned = {0xc6, 0x60, 0xdd, 0x8b, 0x88, 0x5a, 0xa5, 0x19, 0xa5, 0x93, 0x73, 0x1e, 0x46, 0x95, 0xc8, 0xd0,
                        0x55, 0xcd, 0x5f, 0x55, 0x53, 0x53, 0xf9, 0x30, 0x8a, 0x50, 0x8b, 0x70, 0xef, 0x33, 0xf8, 0xbe};
    EXPECT_EQ(alice, pinned);
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
}

}  // namespace
