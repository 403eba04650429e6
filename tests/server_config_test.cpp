// The server's TOML configuration: what it reads, and the clear errors for what it refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "config.h"
#include "login_exchange.h"

namespace {

class ConfigFile : public ::testing::Test {
protected:
    std::string write(const std::string& text) {
        std::ofstream(path_) << text;
        return path_.string();
    }
    void TearDown() override { std::filesystem::remove(path_); }

private:
    std::filesystem::path path_ =
        std::filesystem::temp_directory_path() / ("talkhub-server-" + std::to_string(::getpid()) + ".toml");
};

TEST_F(ConfigFile, ReadsPortsLimitsAccountsGroupsAndRedirects) {
    const auto config = talkhub_server::loadConfig(write(R"(
[server]
tcp_port = 14001
udp_port = 14002
heartbeat_ms = 5000
[limits]
max_talk_seconds = 30
floor_grace_ms = 5000
[[account]]
id = 7
name = "erin"
password = "secret"
display_name = "Erin E."
[[account]]
id = 8
name = "frank"
key = "v2$00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
[[group]]
id = 70
name = "Harbour"
members = ["erin", "frank"]
[[redirect]]
account = "frank"
address = "10.0.0.2"
port = 13001
)"));
    EXPECT_EQ(config.tcpPort, 14001);
    EXPECT_EQ(config.udpPort, 14002);
    EXPECT_EQ(config.heartbeatMs, 5000u);
    EXPECT_EQ(config.voiceHeartbeatMs, 8000u);
    EXPECT_EQ(config.limits.maxTalkSeconds, 30u);
    EXPECT_EQ(config.limits.floorGraceMs, 5000u) << "the longest grace period";
    ASSERT_NE(config.findAccount("erin"), nullptr);
    EXPECT_EQ(config.findAccount("erin")->displayName, "Erin E.");
    EXPECT_EQ(config.findAccount("frank")->displayName, "frank");
    const auto sameRecord = [](const talkhub_server::LoginRecord& a, const talkhub_server::LoginRecord& b) {
        return a.w0 == b.w0 && a.L == b.L;
    };
    EXPECT_TRUE(sameRecord(config.findAccount("erin")->record, talkhub_server::deriveRecord("erin", "secret")))
        << "a plain password is taken as the record made from it";
    talkhub_server::LoginRecord fromOldKey;
    ASSERT_TRUE(
        talkwire::login::readRecord("v2$00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff", fromOldKey));
    EXPECT_TRUE(sameRecord(config.findAccount("frank")->record, fromOldKey))
        << "an old login key is taken as the record it stands for";
    ASSERT_EQ(config.groupsOf(8).size(), 1u);
    EXPECT_EQ(config.groupsOf(8)[0]->name, "Harbour");
    ASSERT_NE(config.findRedirect("frank"), nullptr);
    EXPECT_EQ(config.findRedirect("frank")->address, "10.0.0.2");
}

const std::string kKey = "key = \"v2$" + std::string(64, 'a') + "\"\n";

TEST_F(ConfigFile, RefusesWhatTheProtocolCannotCarryWithAClearReason) {
    const auto refusal = [&](const std::string& text) {
        try {
            talkhub_server::loadConfig(write(text));
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(refusal("[server\n").find("line 1"), std::string::npos);
    EXPECT_NE(refusal("[server]\ntcp_port = 70000\n").find("server.tcp_port"), std::string::npos);
    EXPECT_NE(refusal("[server]\nheartbeat_ms = \"fast\"\n").find("server.heartbeat_ms"), std::string::npos);
    EXPECT_NE(refusal("[limits]\nfloor_grace_ms = 5001\n").find("limits.floor_grace_ms"), std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 0\nname = \"x\"\n" + kKey).find("account.id"), std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"" + std::string(64, 'a') + "\"\n" + kKey).find("1 to 63"),
              std::string::npos);
    EXPECT_NE(
        refusal("[[account]]\nid = 1\nname = \"" + std::string(64, 'a') + "\"\npassword = \"x\"\n").find("1 to 63"),
        std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\n" + kKey + "[[account]]\nid = 1\nname = \"b\"\n" + kKey)
                  .find("used twice"),
              std::string::npos);
    // An account needs exactly one of its key and a password, and a key as the server writes it.
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\n").find("--hash-password a"), std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\npassword = \"x\"\n" + kKey).find("not a password as well"),
              std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\nkey = \"v2$abc\"\n").find("64 hex digits"),
              std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\npassword = \"" + std::string(256, 'p') + "\"\n")
                  .find("at most 255"),
              std::string::npos);
    EXPECT_NE(refusal("[[group]]\nid = 1\nname = \"g\"\nmembers = [\"nobody\"]\n").find("not an account"),
              std::string::npos);
    EXPECT_NE(refusal("[[account]]\nid = 1\nname = \"a\"\n" + kKey +
                      "[[redirect]]\naccount = \"a\"\naddress = "
                      "\"far.away.example.org\"\nport = 1\n")
                  .find("IPv4"),
              std::string::npos);
    // A node of a cluster needs NATS, a plain name, and an address the other nodes can use.
    const std::string nats = "nats = [\"nats://127.0.0.1:4222\"]\nplain_nats = true\n";
    EXPECT_NE(refusal("[cluster]\nnode = \"a\"\n").find("cluster.nats"), std::string::npos);
    EXPECT_NE(refusal("[cluster]\nnats = [1]\nnode = \"a\"\n").find("cluster.nats"), std::string::npos);
    EXPECT_NE(refusal("[server]\nbind = \"127.0.0.1\"\n[cluster]\n" + nats + "node = \"a b\"\n").find("cluster.node"),
              std::string::npos);
    EXPECT_NE(refusal("[cluster]\n" + nats + "node = \"a\"\n").find("cluster.public_address"), std::string::npos)
        << "bound to every address, a node must say which one is its own";
    EXPECT_NE(refusal("[server]\nbind = \"127.0.0.1\"\n[cluster]\n" + nats + "node = \"a\"\nfloor_lease_ms = 299\n")
                  .find("cluster.floor_lease_ms"),
              std::string::npos);
    EXPECT_EQ(refusal("[server]\nbind = \"127.0.0.1\"\n[cluster]\n" + nats + "node = \"a-1\"\nfloor_lease_ms = 300\n"),
              "accepted");
    // How a node proves itself to NATS: each way whole, and one way only.
    const std::string node = "[server]\nbind = \"127.0.0.1\"\n[cluster]\n" + nats + "node = \"a\"\n";
    EXPECT_NE(refusal(node + "nats_user = \"n\"\n").find("nats_user and nats_password"), std::string::npos);
    EXPECT_NE(refusal(node + "nats_nkey_seed_file = \"/s\"\n").find("nats_nkey and nats_nkey_seed_file"),
              std::string::npos);
    EXPECT_NE(
        refusal(node + "nats_user = \"n\"\nnats_password = \"p\"\nnats_credentials_file = \"/c\"\n").find("one of"),
        std::string::npos);
    EXPECT_NE(refusal(node + "nats_cert_file = \"/c\"\n").find("nats_cert_file and nats_key_file"), std::string::npos);
    EXPECT_EQ(refusal(node + "nats_user = \"n\"\nnats_password = \"p\"\nnats_ca_file = \"/ca\"\n"), "accepted");
    // Voice crosses NATS in clear only where the operator says so.
    const std::string plainLink = "[server]\nbind = \"127.0.0.1\"\n[cluster]\nnode = \"a\"\nnats = [";
    EXPECT_NE(refusal(plainLink + "\"nats://10.0.0.1:4222\"]\n").find("plain_nats = true"), std::string::npos);
    EXPECT_NE(refusal(plainLink + "\"tls://10.0.0.1:4222\", \"nats://10.0.0.2:4222\"]\n").find("plain_nats"),
              std::string::npos)
        << "one plain URL is a plain link";
    EXPECT_EQ(refusal(plainLink + "\"tls://10.0.0.1:4222\"]\n"), "accepted");
    EXPECT_EQ(refusal(plainLink + "\"nats://10.0.0.1:4222\"]\nnats_ca_file = \"/ca\"\n"), "accepted");
    EXPECT_NE(refusal(plainLink + "\"nats://10.0.0.1:4222\"]\nplain_nats = \"yes\"\n").find("true or false"),
              std::string::npos);
}

// A key the server does not know is a mistake (a typo leaves the setting at its default,
// or a section empty of accounts): refused by name, where it is, with the key it may be.
TEST_F(ConfigFile, RefusesAnUnknownKeyOrSectionByNameWithTheNearestKnownKey) {
    const std::string kKey = "key = \"" + talkwire::login::recordText(talkhub_server::deriveRecord("a", "a")) + "\"\n";
    const struct {
        std::string text;
        std::string refusal;
    } cases[] = {
        {"[server]\ntcp_prot = 5\n", "line 2: unknown key tcp_prot in [server]; did you mean tcp_port?"},
        {"[sever]\ntcp_port = 5\n", "line 1: unknown key sever at the top; did you mean server?"},
        {"[limits]\nsession = 5\n", "line 2: unknown key session in [limits]; did you mean sessions?"},
        {"[[account]]\nid = 1\nname = \"a\"\n" + kKey + "dispaly_name = \"A\"\n",
         "line 5: unknown key dispaly_name in [account]; did you mean display_name?"},
        {"[[group]]\nid = 1\nname = \"g\"\nmember = []\n",
         "line 4: unknown key member in [group]; did you mean members?"},
        {"[metrics]\nlisten_on = \"127.0.0.1:9100\"\n",
         "line 2: unknown key listen_on in [metrics]; did you mean listen?"},
        {"[server]\nbind = \"127.0.0.1\"\n[cluster]\nnats = [\"nats://127.0.0.1:4222\"]\nnode = \"a\"\n"
         "plain_nats = true\nnats_usr = \"u\"\n",
         "line 7: unknown key nats_usr in [cluster]; did you mean nats_user?"},
        {"server = 5\n", "server must be a [server] section"},
        {"[[group]]\nid = 1\nname = \"g\"\nmembers = [\"nobody\"]\n", "group g: member nobody is not an account"},
    };
    for (const auto& tried : cases) {
        const std::string path = write(tried.text);
        try {
            talkhub_server::loadConfig(path);
            ADD_FAILURE() << "taken: " << tried.text;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), path + ": " + tried.refusal) << tried.text;
        }
    }
}

// The file a package installs as the server's configuration loads as it ships, and is
// found where an installed server looks for it.
TEST(InstalledConfig, TheShippedFileLoadsAndLiesWhereAnInstalledServerLooks) {
    const auto config = talkhub_server::loadConfig(TALKHUB_EXAMPLE_CONFIG);
    EXPECT_EQ(config.tcpPort, 13001);
    EXPECT_FALSE(config.accounts.empty());
    EXPECT_FALSE(config.groups.empty());
    using talkhub_server::installedConfigPath;
    EXPECT_EQ(installedConfigPath("/usr/bin/talkhub-server"), "/etc/talkhub/talkhub-server.toml");
    EXPECT_EQ(installedConfigPath("/opt/talkhub/bin/talkhub-server"), "/opt/talkhub/etc/talkhub/talkhub-server.toml");
    EXPECT_EQ(installedConfigPath("/home/dev/talkhub/build/server/talkhub-server"), "");
}

}  // namespace
