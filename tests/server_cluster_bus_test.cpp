// The cluster's bus as an operator secures it: NATS that takes only the nodes' credentials,
// lets no other user publish on the nodes' subjects, and carries everything over TLS; a
// node whose credentials or certificate check fails does not start.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cluster_test_support.h"
#include "nkey.h"

namespace {

using namespace server_test;
using namespace cluster_test;

// The authorization the README shows: the nodes' user may do everything, any other user
// (here a monitor) may neither publish nor subscribe on the nodes' subjects nor use JetStream.
const char* const kAuthorization = R"(authorization {
  users = [
    { user: talkhub-node, password: "node-secret" }
    { user: monitor, password: "monitor-secret",
      permissions: { publish: { deny: ["talkhub.>", "$JS.>", "$KV.>"] },
                     subscribe: { deny: ["talkhub.>", "$KV.>"] } } }
  ]
})";

talkhub_server::ServerConfig nodeAs(const test_kit::NatsCluster& nats, const char* node, const char* user,
                                    const char* password) {
    talkhub_server::ServerConfig config = nodeConfig(nats, node);
    config.cluster->natsUser = user;
    config.cluster->natsPassword = password;
    config.cluster->startTimeoutMs = 3000;
    return config;
}

// What a start that must fail says; empty when it started.
std::string refusal(const talkhub_server::ServerConfig& config) {
    boost::asio::io_context io;
    talkhub_server::Server server(io, config);
    try {
        server.start();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    server.stop();
    return {};
}

// A client of the bus under a user's name; null when NATS refuses it.
struct BusClient {
    BusClient(const test_kit::NatsCluster& nats, const char* user, const char* password) {
        natsOptions* options = nullptr;
        natsOptions_Create(&options);
        natsOptions_SetURL(options, nats.url(0).c_str());
        natsOptions_SetUserInfo(options, user, password);
        natsOptions_SetErrorHandler(options, onError, this);
        natsConnection_Connect(&connection, options);
        natsOptions_Destroy(options);
    }
    ~BusClient() { natsConnection_Destroy(connection); }
    static void onError(natsConnection*, natsSubscription*, natsStatus status, void* closure) {
        static_cast<BusClient*>(closure)->refused = status == NATS_NOT_PERMITTED || status == NATS_ERR;
    }
    natsConnection* connection = nullptr;
    std::atomic<bool> refused{false};
};

class ClusterBus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(nats.ready()) << "the NATS server did not start"; }

    test_kit::NatsCluster nats{1, kAuthorization};
};

TEST_F(ClusterBus, OnlyTheNodesCredentialsJoinAndNoOtherUserSpeaksOnTheNodesSubjects) {
    const std::string wrong = refusal(nodeAs(nats, "a", "talkhub-node", "guess"));
    EXPECT_NE(wrong.find("NATS refused this node"), std::string::npos) << "a wrong password: " << wrong;
    EXPECT_NE(refusal(nodeConfig(nats, "a")).find("NATS refused this node"), std::string::npos)
        << "no credentials at all";

    AliceOnABobOnB nodes(nodeAs(nats, "a", "talkhub-node", "node-secret"),
                         nodeAs(nats, "b", "talkhub-node", "node-secret"));
    Client& alice = nodes.alice;
    Client& bob = nodes.bob;
    ASSERT_EQ(alice.requestMic(1), 0);
    bob.expect(TW_CMD_MEMBER_GET_MIC);
    unsigned char datagram[TW_DATAGRAM_SIZE];
    const int size = srv_build_end_of_talk(datagram, sizeof datagram, 1001, 1);
    alice.sendDatagram(Bytes(datagram, datagram + size));
    EXPECT_TRUE(bob.datagram(2s).has_value()) << "the nodes do not speak to each other";

    // A monitor's forged voice, floor event and call end are refused by NATS itself.
    BusClient monitor(nats, "monitor", "monitor-secret");
    ASSERT_NE(monitor.connection, nullptr) << "the monitor cannot connect at all";
    BusClient node(nats, "talkhub-node", "node-secret");
    natsSubscription* heard = nullptr;
    ASSERT_EQ(natsConnection_SubscribeSync(&heard, node.connection, "talkhub.>"), NATS_OK);
    natsConnection_Flush(node.connection);
    const std::string forged = "forged by the monitor";
    for (const char* subject : {"talkhub.voice.7", "talkhub.floor.1", "talkhub.node.a"}) {
        natsConnection_PublishString(monitor.connection, subject, forged.c_str());
    }
    natsConnection_Flush(monitor.connection);
    // The nodes' own floor renewals pass; nothing of the monitor's may.
    natsMsg* message = nullptr;
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until && natsSubscription_NextMsg(&message, heard, 500) == NATS_OK) {
        EXPECT_NE(std::string(natsMsg_GetData(message), static_cast<std::size_t>(natsMsg_GetDataLength(message))),
                  forged)
            << "the monitor's message on " << natsMsg_GetSubject(message) << " reached the nodes";
        natsMsg_Destroy(message);
    }
    EXPECT_TRUE(monitor.refused) << "NATS did not tell the monitor it may not publish there";
    EXPECT_FALSE(bob.datagram(200ms).has_value());
    natsSubscription_Destroy(heard);
}

// A node proves itself with an nkey (NATS keeps only its public key); one that signs with
// another seed does not start.
TEST(ClusterBusWithNkeys, ANodeWithTheNkeysSeedJoinsAndOneWithAnotherSeedDoesNotStart) {
    const test_kit::UserNkey node = test_kit::makeUserNkey();
    const test_kit::UserNkey other = test_kit::makeUserNkey();
    ASSERT_EQ(node.publicKey.substr(0, 1), "U");
    ASSERT_EQ(node.seed.substr(0, 2), "SU");
    test_kit::NatsCluster nats(1, "authorization { users = [ { nkey: \"" + node.publicKey + "\" } ] }");
    ASSERT_TRUE(nats.ready());
    const std::string stem = "/tmp/talkhub-nkey-" + std::to_string(::getpid());
    const auto signingWith = [&](const char* name, const test_kit::UserNkey& key) {
        const std::string seedFile = stem + "-" + name + ".nk";
        std::ofstream(seedFile) << key.seed << "\n";
        talkhub_server::ServerConfig config = nodeConfig(nats, name);
        config.cluster->natsNkey = node.publicKey;
        config.cluster->natsNkeySeedFile = seedFile;
        config.cluster->startTimeoutMs = 3000;
        return config;
    };
    const std::string forged = refusal(signingWith("c", other));
    EXPECT_NE(forged.find("NATS refused this node"), std::string::npos) << "another seed: " << forged;

    AliceOnABobOnB nodes(signingWith("a", node), signingWith("b", node));
    ASSERT_EQ(nodes.alice.requestMic(1), 0);
    EXPECT_EQ(nodes.bob.requestMic(1), talkhub_server::kFloorBusy) << "the floor is not one with nkeys";
    for (const char* name : {"a", "b", "c"}) std::filesystem::remove(stem + "-" + name + ".nk");
}

// Nodes over TLS with a CA the test makes; a node that does not trust that CA does not fall
// back to a plain link: it does not start.
TEST(ClusterBusOverTls, NodesTalkOverTlsAndANodeThatCannotCheckTheServerDoesNotStart) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string dir = folder.string();
    const std::string make =
        "cd " + dir +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=test-ca"
        " -keyout ca.key -out ca.pem"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1"
        " -keyout server.key -out server.csr"
        " && printf 'subjectAltName=IP:127.0.0.1' > san.ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile san.ext"
        " -out server.pem 2>/dev/null >/dev/null";
    ASSERT_EQ(std::system((make + " 2>/dev/null >/dev/null").c_str()), 0) << "openssl could not make the certificates";
    test_kit::NatsCluster nats(1,
                               "tls { cert_file: \"" + dir + "/server.pem\", key_file: \"" + dir + "/server.key\" }");
    ASSERT_TRUE(nats.ready());
    const auto overTls = [&](const char* node, bool trusting) {
        talkhub_server::ServerConfig config = nodeConfig(nats, node);
        config.cluster->startTimeoutMs = 3000;
        for (std::string& url : config.cluster->natsUrls) url.replace(0, 4, "tls");
        if (trusting) config.cluster->natsCaFile = dir + "/ca.pem";
        return config;
    };
    const std::string untrusting = refusal(overTls("c", false));
    EXPECT_NE(untrusting.find("NATS refused this node"), std::string::npos)
        << "a node that cannot check the server's certificate: " << untrusting;

    AliceOnABobOnB nodes(overTls("a", true), overTls("b", true));
    Client& alice = nodes.alice;
    Client& bob = nodes.bob;
    ASSERT_EQ(alice.requestMic(1), 0);
    EXPECT_EQ(bob.requestMic(1), talkhub_server::kFloorBusy) << "the floor is not one over TLS";
    bob.expect(TW_CMD_MEMBER_GET_MIC);
    unsigned char datagram[TW_DATAGRAM_SIZE];
    const int size = srv_build_end_of_talk(datagram, sizeof datagram, 1001, 1);
    alice.sendDatagram(Bytes(datagram, datagram + size));
    EXPECT_TRUE(bob.datagram(2s).has_value()) << "voice does not cross over TLS";
    std::filesystem::remove_all(folder);
}

}  // namespace
