// A new directory taken while the server runs: the sessions it leaves valid stay, the
// others end; a file with a mistake is refused and changes nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "command_output.h"
#include "server_process.h"
#include "server_test_support.h"

namespace {

using server_test::Client;
using server_test::loopbackConfig;
using server_test::RunningServer;
using namespace std::chrono_literals;

// The connection ends within the wait (whatever else arrives first).
bool closedWithin(Client& client, std::chrono::milliseconds wait) {
    client.expect(0xff, wait);
    return client.peerClosed;
}

// The session still answers a request.
bool answers(Client& client) {
    client.send([](unsigned char* b, int c) { return cp_query_groups(b, c); });
    return client.expect(TW_CMD_QUERY_GROUP_ACK).has_value();
}

TEST(Reload, ARemovedAccountOrChangedGroupsEndTheirSessionsAndTheOthersStay) {
    RunningServer server;
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    Client carol(server.tcpPort(), server.udpPort());
    Client dave(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    bob.join("bob", 1);
    carol.join("carol", 1);
    dave.join("dave", 1);

    talkhub_server::ServerConfig fresh = loopbackConfig();
    std::erase_if(fresh.accounts, [](const auto& account) { return account.name == "bob"; });
    for (auto& account : fresh.accounts) {
        if (account.name == "alice") account.record = talkhub_server::deriveRecord("alice", "a new password");
    }
    fresh.accounts.push_back({1005, "erin", talkhub_server::deriveRecord("erin", "erin"), "Erin"});
    for (auto& group : fresh.groups) {
        std::erase(group.members, 1002U);
        if (group.id == 1) group.members.push_back(1005);
        if (group.id == 3) std::erase(group.members, 1003U);
    }
    EXPECT_EQ(server.reload(fresh),
              "accounts +erin -bob ~alice; groups ~1,2,3; redirects unchanged; sessions ended: 2");

    EXPECT_TRUE(closedWithin(bob, 2s)) << "a removed account's session ends";
    EXPECT_TRUE(closedWithin(carol, 2s)) << "a session whose groups changed ends, to log in to its new groups";
    EXPECT_TRUE(answers(alice)) << "a changed key counts from the next login";
    EXPECT_TRUE(answers(dave));

    Client again(server.tcpPort(), server.udpPort());
    EXPECT_EQ(again.login("alice", "alice").result, 2) << "the old password no longer logs in";
    Client renewed(server.tcpPort(), server.udpPort());
    EXPECT_EQ(renewed.login("alice", "a new password").result, 0);
    Client erin(server.tcpPort(), server.udpPort());
    EXPECT_EQ(erin.login("erin", "erin").result, 0);
    Client gone(server.tcpPort(), server.udpPort());
    EXPECT_NE(gone.login("bob", "bob").result, 0);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The directory as a file: two accounts of the demo's passwords, one group.
std::string directoryFile(bool withBob, const std::string& extra = "") {
    std::string text = "[server]\nbind = \"127.0.0.1\"\ntcp_port = 0\nudp_port = 0\n" + extra +
                       "[[account]]\nid = 1001\nname = \"alice\"\npassword = \"alice\"\n";
    if (withBob) text += "[[account]]\nid = 1002\nname = \"bob\"\npassword = \"bob\"\n";
    text += std::string("[[group]]\nid = 1\nname = \"Dispatch\"\nmembers = [\"alice\"") + (withBob ? ", \"bob\"" : "") +
            "]\n";
    return text;
}

bool eventually(const std::function<bool()>& condition) {
    for (int tries = 0; tries < 100; ++tries) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(Reload, SighupReadsTheFileAgainAndAFileWithAMistakeChangesNothing) {
    const auto folder = std::filesystem::temp_directory_path() / ("talkhub-reload-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto file = folder / "talkhub-server.toml";
    const auto log = folder / "server.log";
    std::ofstream(file) << directoryFile(true);
    bench::ServerProcess server(TALKHUB_SERVER_PATH, {"--config", file.string()}, log.c_str());
    ASSERT_TRUE(server.running());
    Client alice(server.tcpPort(), server.udpPort());
    Client bob(server.tcpPort(), server.udpPort());
    alice.join("alice", 1);
    ASSERT_EQ(bob.login("bob", "bob").result, 0);

    // A typo first: refused with the reason, and every session stays.
    std::ofstream(file) << directoryFile(false, "tcp_prot = 5\n");
    ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([&] { return readFile(log).find("not taken") != std::string::npos; }));
    EXPECT_NE(readFile(log).find("SIGHUP: " + file.string() + " not taken, the directory in use stays: " +
                                 file.string() + ": line 5: unknown key tcp_prot in [server]; did you mean tcp_port?"),
              std::string::npos)
        << readFile(log);
    EXPECT_TRUE(answers(bob));

    std::ofstream(file) << directoryFile(false);
    ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    EXPECT_TRUE(closedWithin(bob, 5s));
    EXPECT_NE(
        readFile(log).find("directory reloaded: accounts -bob; groups ~1; redirects unchanged; sessions ended: 1"),
        std::string::npos)
        << readFile(log);
    std::filesystem::remove_all(folder);
}

TEST(CheckConfig, SaysWhatAFileHoldsOrWhatIsWrongWithItWithoutStartingAServer) {
    const auto file =
        std::filesystem::temp_directory_path() / ("talkhub-check-" + std::to_string(::getpid()) + ".toml");
    const std::string check = std::string(TALKHUB_SERVER_PATH) + " --check-config " + file.string() + " 2>&1";
    std::ofstream(file) << directoryFile(true);
    const auto good = command_output::run(check);
    EXPECT_EQ(good.exitCode, 0) << good.output;
    EXPECT_NE(good.output.find(file.string() + ": good: 2 accounts, 1 groups, 0 redirects"), std::string::npos)
        << good.output;

    std::ofstream(file) << directoryFile(true, "tcp_prot = 5\n");
    const auto bad = command_output::run(check);
    EXPECT_EQ(bad.exitCode, 1) << bad.output;
    EXPECT_NE(bad.output.find("talkhub-server: " + file.string() +
                              ": line 5: unknown key tcp_prot in [server]; did you mean tcp_port?"),
              std::string::npos)
        << bad.output;
    std::filesystem::remove(file);

    for (const char* asked : {"--version", "--help"}) {
        const auto told = command_output::run(std::string(TALKHUB_SERVER_PATH) + " " + asked + " 2>&1");
        EXPECT_EQ(told.exitCode, 0) << asked << ": " << told.output;
        EXPECT_NE(told.output.find("talkhub-server"), std::string::npos) << told.output;
    }
    EXPECT_NE(command_output::run(std::string(TALKHUB_SERVER_PATH) + " --version")
                  .output.find(std::string("talkhub-server ") + TALKHUB_PROJECT_VERSION),
              std::string::npos);
}

}  // namespace
