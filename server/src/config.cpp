#include "config.h"

#include <sodium.h>
#include <talkwire.h>

#include <spdlog/spdlog.h>
#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

#include "config_reader.h"
#include "login_exchange.h"

namespace talkhub_server {

const Account* ServerConfig::findAccount(const std::string& name) const {
    auto found = std::find_if(accounts.begin(), accounts.end(), [&](const Account& a) { return a.name == name; });
    return found == accounts.end() ? nullptr : &*found;
}

const Account* ServerConfig::findAccount(uint32_t id) const {
    auto found = std::find_if(accounts.begin(), accounts.end(), [&](const Account& a) { return a.id == id; });
    return found == accounts.end() ? nullptr : &*found;
}

const Group* ServerConfig::findGroup(uint32_t id) const {
    auto found = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.id == id; });
    return found == groups.end() ? nullptr : &*found;
}

const Redirect* ServerConfig::findRedirect(const std::string& account) const {
    auto found =
        std::find_if(redirects.begin(), redirects.end(), [&](const Redirect& r) { return r.account == account; });
    return found == redirects.end() ? nullptr : &*found;
}

std::vector<const Group*> ServerConfig::groupsOf(uint32_t accountId) const {
    std::vector<const Group*> result;
    for (const Group& group : groups) {
        if (std::find(group.members.begin(), group.members.end(), accountId) != group.members.end()) {
            result.push_back(&group);
        }
    }
    return result;
}

LoginRecord deriveRecord(const std::string& account, const std::string& password) {
    std::array<unsigned char, TW_LOGIN_KEY_SIZE> key{};
    talkwire::spake2plus::ProverSecret secret;
    LoginRecord record;
    const bool made = derive_login_key(account.c_str(), password.c_str(), key.data()) == TW_OK &&
                      talkwire::login::proverSecret(key, secret) &&
                      talkwire::spake2plus::verifierRecord(secret, record);
    sodium_memzero(key.data(), key.size());
    if (!made) {
        throw std::runtime_error("account " + account + ": no login record can be made (account of 1 to 63 " +
                                 "characters, password of at most 255)");
    }
    return record;
}

ServerConfig defaultConfig() {
    static const std::vector<Account> accounts = [] {
        std::vector<Account> demo{{1001, "alice", {}, "Alice"},
                                  {1002, "bob", {}, "Bob"},
                                  {1003, "carol", {}, "Carol"},
                                  {1004, "dave", {}, "Dave"}};
        for (Account& account : demo) account.record = deriveRecord(account.name, account.name);
        return demo;
    }();
    ServerConfig config;
    config.accounts = accounts;
    config.groups = {
        {1, "Dispatch", {1001, 1002, 1003, 1004}}, {2, "Field team", {1001, 1002}}, {3, "Night shift", {1003, 1004}}};
    return config;
}

std::filesystem::path installedConfigPath(const std::filesystem::path& program) {
    const std::filesystem::path folder = program.parent_path();
    if (folder.filename() != "bin") return {};
    const std::filesystem::path prefix = folder.parent_path();
    const std::filesystem::path etc = prefix == "/usr" ? std::filesystem::path("/etc") : prefix / "etc";
    return etc / "talkhub" / "talkhub-server.toml";
}

namespace {

// An account's record from its `key`, or from its plain `password` or old login key (with a
// warning).
LoginRecord accountRecord(TableReader& entry, const std::string& name) {
    const std::string& path = entry.file();
    const bool hasKey = entry.has("key");
    const bool hasPassword = entry.has("password");
    if (hasKey == hasPassword) {
        entry.fail("account " + name + ": give its key (from talkhub-server --hash-password " + name + ")" +
                   (hasKey ? ", not a password as well" : ""));
    }
    if (hasPassword) {
        spdlog::warn(
            "{}: account {} has a plain password; store its key instead, the line that "
            "talkhub-server --hash-password {} prints",
            path, name, name);
        try {
            return deriveRecord(name, entry.text("password", ""));
        } catch (const std::runtime_error& error) {
            entry.fail(error.what());
        }
    }
    LoginRecord record;
    bool oldKey = false;
    if (!talkwire::login::readRecord(entry.text("key", ""), record, &oldKey)) {
        entry.fail("account " + name + ": key must be the record --hash-password prints (\"v3$\", 64 hex digits, " +
                   "\"$\", 130 hex digits)");
    }
    if (oldKey) {
        spdlog::warn(
            "{}: account {} has a login key of the previous protocol (\"v2$\"): whoever copies this file can log in "
            "as the account; store the record that talkhub-server --hash-password {} prints instead",
            path, name, name);
    }
    return record;
}

template <class T>
T narrow(TableReader& table, const std::string& key, T fallback, int64_t lowest, int64_t highest) {
    return static_cast<T>(table.integer(key, fallback, lowest, highest));
}

void readServer(TableReader& server, ServerConfig& config) {
    config.bindAddress = server.text("bind", config.bindAddress);
    config.tcpPort = narrow<uint16_t>(server, "tcp_port", config.tcpPort, 0, 65535);
    config.udpPort = narrow<uint16_t>(server, "udp_port", config.udpPort, 0, 65535);
    config.voiceAddress = server.text("voice_address", "");
    config.voicePort = narrow<uint16_t>(server, "voice_port", 0, 0, 65535);
    config.heartbeatMs = narrow<uint32_t>(server, "heartbeat_ms", config.heartbeatMs, 100, 600000);
    config.voiceHeartbeatMs = narrow<uint32_t>(server, "voice_heartbeat_ms", config.voiceHeartbeatMs, 100, 600000);
}

void readLimits(TableReader& limit, Limits& limits) {
    // One key into its field, its own value when missing.
    const auto read = [&](uint32_t& field, const std::string& key, uint32_t lowest, uint32_t highest) {
        field = narrow<uint32_t>(limit, key, field, lowest, highest);
    };
    read(limits.maxSessions, "sessions", 1, 100000);
    read(limits.loginDeadlineMs, "login_deadline_ms", 100, 600000);
    read(limits.pendingLoginsPerAddress, "pending_logins_per_address", 1, 100000);
    read(limits.freeFailedLogins, "free_failed_logins", 1, 1000);
    read(limits.longestLoginPauseMs, "longest_login_pause_ms", 1000, 86400000);
    read(limits.undecodableFramesBeforeClose, "undecodable_frames_before_close", 1, 1000000);
    read(limits.maxTalkSeconds, "max_talk_seconds", 1, 3600);
    read(limits.floorGraceMs, "floor_grace_ms", 0, 5000);
    read(limits.requestsPerSecond, "requests_per_second", 1, 100000);
    read(limits.droppedRequestsBeforeClose, "dropped_before_close", 1, 1000000);
    read(limits.sendQueueBytes, "send_queue_bytes", 4096, 64 * 1024 * 1024);
}

void readDirectory(TableReader& root, ServerConfig& config) {
    for (TableReader& entry : root.tables("account")) {
        Account account;
        account.id = narrow<uint32_t>(entry, "id", 0, 1, UINT32_MAX);
        account.name = entry.text("name", "");
        account.record = accountRecord(entry, account.name);
        account.displayName = entry.text("display_name", account.name);
        config.accounts.push_back(account);
    }
    for (TableReader& entry : root.tables("group")) {
        Group group;
        group.id = narrow<uint32_t>(entry, "id", 0, 1, UINT32_MAX);
        group.name = entry.text("name", "");
        for (const std::string& member : entry.texts("members")) {
            const Account* account = config.findAccount(member);
            if (account == nullptr) entry.fail("group " + group.name + ": member " + member + " is not an account");
            group.members.push_back(account->id);
        }
        config.groups.push_back(group);
    }
    for (TableReader& entry : root.tables("redirect")) {
        Redirect redirect;
        redirect.account = entry.text("account", "");
        redirect.address = entry.text("address", "");
        redirect.port = narrow<uint16_t>(entry, "port", 0, 1, 65535);
        config.redirects.push_back(redirect);
    }
}

ClusterConfig readCluster(TableReader& section) {
    ClusterConfig cluster;
    cluster.natsUrls = section.texts("nats");
    cluster.node = section.text("node", "");
    cluster.floorLeaseMs = narrow<uint32_t>(section, "floor_lease_ms", cluster.floorLeaseMs, 300, 60000);
    cluster.replicas = narrow<uint32_t>(section, "replicas", cluster.replicas, 1, 5);
    cluster.publicAddress = section.text("public_address", "");
    cluster.startTimeoutMs = narrow<uint32_t>(section, "start_timeout_ms", cluster.startTimeoutMs, 1000, 600000);
    const std::pair<std::string*, const char*> credentials[] = {
        {&cluster.natsUser, "nats_user"},
        {&cluster.natsPassword, "nats_password"},
        {&cluster.natsNkey, "nats_nkey"},
        {&cluster.natsNkeySeedFile, "nats_nkey_seed_file"},
        {&cluster.natsCredentialsFile, "nats_credentials_file"},
        {&cluster.natsCaFile, "nats_ca_file"},
        {&cluster.natsCertFile, "nats_cert_file"},
        {&cluster.natsKeyFile, "nats_key_file"},
    };
    for (const auto& [field, key] : credentials) *field = section.text(key, "");
    cluster.plainNats = section.flag("plain_nats").value_or(false);
    return cluster;
}

}  // namespace

ServerConfig loadConfig(const std::string& path) {
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        throw std::runtime_error(path + ": " + std::string(error.description()) + " at line " +
                                 std::to_string(error.source().begin.line));
    }
    ServerConfig config;
    TableReader root(&table, "", path);
    readServer(root.section("server"), config);
    readLimits(root.section("limits"), config.limits);
    readDirectory(root, config);
    config.metricsListen = root.section("metrics").text("listen", "");
    if (root.has("cluster")) config.cluster = readCluster(root.section("cluster"));
    root.refuseUnknownKeys();
    validate(config);
    return config;
}

void validate(const ServerConfig& config) {
    const auto check = [](bool ok, const std::string& what) {
        if (!ok) {
            throw std::runtime_error("configuration: " + what);
        }
    };
    std::set<uint32_t> accountIds;
    std::set<std::string> names;
    for (const Account& account : config.accounts) {
        check(account.id != 0, "account " + account.name + " has id 0");
        check(!account.name.empty() && account.name.size() <= TW_MAX_ACCOUNT_LENGTH,
              "account names are 1 to 63 characters");
        check(account.displayName.size() < TW_USER_NAME_SIZE && account.displayName.size() < TW_MEMBER_NAME_SIZE,
              "account " + account.name + ": display name over 63 characters");
        check(accountIds.insert(account.id).second, "account id " + std::to_string(account.id) + " used twice");
        check(names.insert(account.name).second, "account " + account.name + " listed twice");
    }
    std::set<uint32_t> groupIds;
    for (const Group& group : config.groups) {
        check(group.id != 0 && group.id < kTempGroupBase,
              "group " + group.name + ": ids run from 1 to " + std::to_string(kTempGroupBase - 1));
        check(group.name.size() < TW_GROUP_NAME_SIZE, "group " + group.name + ": name over 63 characters");
        check(groupIds.insert(group.id).second, "group id " + std::to_string(group.id) + " used twice");
        for (uint32_t member : group.members) {
            check(accountIds.count(member) == 1, "group " + group.name + ": member is not an account");
        }
    }
    for (const Account& account : config.accounts) {
        check(config.groupsOf(account.id).size() <= TW_MAX_GROUPS,
              "account " + account.name + " is in more than 128 groups");
    }
    if (config.cluster) {
        const ClusterConfig& cluster = *config.cluster;
        check(!cluster.natsUrls.empty(), "cluster.nats names no NATS server");
        const bool plainName = std::all_of(cluster.node.begin(), cluster.node.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
        });
        check(!cluster.node.empty() && cluster.node.size() <= 63 && plainName,
              "cluster.node must be 1 to 63 letters, digits, '-' or '_'");
        const auto pair = [&](const std::string& one, const std::string& other, const char* what) {
            check(one.empty() == other.empty(), std::string("cluster.") + what + " come together or not at all");
            return !one.empty();
        };
        const int ways = pair(cluster.natsUser, cluster.natsPassword, "nats_user and nats_password") +
                         pair(cluster.natsNkey, cluster.natsNkeySeedFile, "nats_nkey and nats_nkey_seed_file") +
                         !cluster.natsCredentialsFile.empty();
        check(ways <= 1, "cluster: give NATS one of a user and password, an nkey or a credentials file");
        pair(cluster.natsCertFile, cluster.natsKeyFile, "nats_cert_file and nats_key_file");
        const bool tls = !cluster.natsCaFile.empty() ||
                         std::all_of(cluster.natsUrls.begin(), cluster.natsUrls.end(),
                                     [](const std::string& url) { return url.rfind("tls://", 0) == 0; });
        check(tls || cluster.plainNats,
              "cluster: the NATS link has no TLS (no tls:// URL, no nats_ca_file), so voice would cross it in clear "
              "while the clients' connections are sealed; give NATS TLS, or set plain_nats = true where the network "
              "between the nodes is trusted");
        const std::string& advertised = cluster.publicAddress.empty() ? config.bindAddress : cluster.publicAddress;
        check(advertised != "0.0.0.0" && advertised != "::" && advertised.size() < 16 &&
                  advertised.find(':') == std::string::npos,
              "cluster.public_address must be this node's IPv4 address (needed when server.bind is a wildcard)");
    }
    for (const Redirect& redirect : config.redirects) {
        check(config.findAccount(redirect.account) != nullptr, "redirect of unknown account " + redirect.account);
        check(!redirect.address.empty() && redirect.address.size() < 16,
              "redirect of " + redirect.account + ": address must be a dotted IPv4 address");
    }
}

}  // namespace talkhub_server
