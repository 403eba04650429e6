// What the server serves: ports, limits, accounts, groups and redirects. Either the
// embedded demo directory or a TOML file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "spake2plus.h"

namespace talkhub_server {

// Talk groups made for calls live above the configured group ids.
inline constexpr uint32_t kTempGroupBase = 0x40000000;
inline constexpr uint32_t kMeetingGroupBase = 0x80000000;

using LoginRecord = talkwire::spake2plus::VerifierRecord;

// The server knows an account by its login record, made from the password; never by the
// password itself, nor by anything that logs in without it.
struct Account {
    uint32_t id = 0;
    std::string name;
    LoginRecord record{};
    std::string displayName;
};

struct Group {
    uint32_t id = 0;
    std::string name;
    std::vector<uint32_t> members;
};

// Sends an account's logins to another signalling server.
struct Redirect {
    std::string account;
    std::string address;
    uint16_t port = 0;
};

struct Limits {
    uint32_t maxSessions = 1000;
    uint32_t maxTalkSeconds = 60;
    // After a release or a take-back, the former holder's voice is still relayed this long
    // before the floor is free (0: free at once).
    uint32_t floorGraceMs = 250;
    uint32_t requestsPerSecond = 50;  // per session; beyond it requests are dropped
    uint32_t droppedRequestsBeforeClose = 200;
    uint32_t sendQueueBytes = 256 * 1024;  // per session; a slower client is disconnected
    // Connections still in login: each must log in within the deadline; at most this many
    // from one address, and at most `maxSessions` in all, wait at once.
    uint32_t loginDeadlineMs = 5000;
    uint32_t pendingLoginsPerAddress = 16;
    // A connection whose frames do not decode this many times is closed.
    uint32_t undecodableFramesBeforeClose = 8;
    // Failed logins for one account from one address that cost nothing; each further one
    // doubles a pause in which that address's logins of it are refused.
    uint32_t freeFailedLogins = 3;
    uint32_t longestLoginPauseMs = 60000;
};

// This server as a node of a cluster: NATS carries voice and floor events between nodes,
// and a JetStream key-value bucket decides each group's floor.
struct ClusterConfig {
    std::vector<std::string> natsUrls;
    std::string node;  // this node's name, unique in the cluster
    // A floor whose node stops renewing it (the node died) is free after this.
    uint32_t floorLeaseMs = 3000;
    // Copies of the floor bucket: 3 in a three-server NATS cluster, so that one may fail.
    uint32_t replicas = 1;
    // NATS and the bucket must be reachable this soon after start.
    uint32_t startTimeoutMs = 20000;
    // The address other nodes send logins to (with this node's signalling port); empty:
    // `server.bind`, which must then be no wildcard.
    std::string publicAddress;
    // How the node proves itself to NATS: a user and password, an nkey (its public key and
    // the file of its seed), or a credentials file; none of them for a NATS open to all.
    std::string natsUser;
    std::string natsPassword;
    std::string natsNkey;
    std::string natsNkeySeedFile;
    std::string natsCredentialsFile;
    // TLS: the CA that signed the NATS servers' certificates (tls:// URLs need it, or the
    // system's store), and the node's own certificate and key where NATS asks for one.
    std::string natsCaFile;
    std::string natsCertFile;
    std::string natsKeyFile;
    // Voice and floor events cross NATS as they are: a node whose NATS link has no TLS starts
    // only when the operator says the network between the nodes is trusted.
    bool plainNats = false;
};

struct ServerConfig {
    std::string bindAddress = "0.0.0.0";
    uint16_t tcpPort = 13001;
    uint16_t udpPort = 13002;
    // Advertised voice address; empty: the local address of the client's own connection.
    std::string voiceAddress;
    // Advertised voice port (a port forwarded or relayed to the voice socket); 0: the bound one.
    uint16_t voicePort = 0;
    uint32_t heartbeatMs = 8000;
    uint32_t voiceHeartbeatMs = 8000;
    Limits limits;
    std::vector<Account> accounts;
    std::vector<Group> groups;
    std::vector<Redirect> redirects;
    std::optional<ClusterConfig> cluster;
    // "ADDRESS:PORT" of the HTTP port for Prometheus; empty: none.
    std::string metricsListen;

    const Account* findAccount(const std::string& name) const;
    const Account* findAccount(uint32_t id) const;
    const Group* findGroup(uint32_t id) const;
    const Redirect* findRedirect(const std::string& account) const;
    std::vector<const Group*> groupsOf(uint32_t accountId) const;
};

// The embedded directory: alice, bob, carol and dave (each's password is the account's
// name), three groups. Their keys are derived once per process.
ServerConfig defaultConfig();

// An account's login record from its password; throws std::runtime_error when the account
// or password cannot make one.
LoginRecord deriveRecord(const std::string& account, const std::string& password);

// Where an installed server keeps its configuration: for a program at <prefix>/bin,
// /etc/talkhub/talkhub-server.toml when the prefix is /usr, else
// <prefix>/etc/talkhub/talkhub-server.toml; empty for a program that is not installed.
std::filesystem::path installedConfigPath(const std::filesystem::path& program);

// Reads a TOML file; throws std::runtime_error with the file, the place and the reason.
// An account gives its `key` (the record `talkhub-server --hash-password` prints); one that
// still gives a plain `password`, or the login key of the previous protocol, is taken and
// its record made, with a warning that names it.
ServerConfig loadConfig(const std::string& path);

// Checks a configuration for what the protocol cannot carry (ids of 0, names too long,
// duplicates, members that are no account); throws std::runtime_error.
void validate(const ServerConfig& config);

}  // namespace talkhub_server
