#include "server.h"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <talkwire.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "message.h"

namespace {

// The server's sockets stay its own: a process that embeds it and starts programs must not
// hand them its listening ports or its sessions.
void keepFromChildren(int descriptor) { ::fcntl(descriptor, F_SETFD, FD_CLOEXEC); }

}  // namespace

namespace talkhub_server {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

constexpr auto kSweepInterval = std::chrono::seconds(1);
// Nonces of accepted logins remembered at once: a few MiB at most.
const std::vector<uint32_t> kNoMembers;

FloorTimes floorTimes(const ServerConfig& config) {
    return FloorTimes{std::chrono::seconds(config.limits.maxTalkSeconds),
                      std::chrono::milliseconds(config.limits.floorGraceMs),
                      std::chrono::milliseconds(config.cluster ? config.cluster->floorLeaseMs : 0)};
}

}  // namespace

Server::Server(asio::io_context& io, ServerConfig config)
    : io_(io),
      config_(std::move(config)),
      acceptor_(io),
      udp_(io),
      sweepTimer_(io),
      acceptRetry_(io),
      floors_(io, floorTimes(config_), *this, counters_),
      loginThrottle_(config_.limits.freeFailedLogins, std::chrono::milliseconds(config_.limits.longestLoginPauseMs)) {
    validate(config_);
}

void Server::start() {
    const auto address = asio::ip::make_address(config_.bindAddress);
    const tcp::endpoint tcpEndpoint(address, config_.tcpPort);
    acceptor_.open(tcpEndpoint.protocol());
    keepFromChildren(acceptor_.native_handle());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(tcpEndpoint);
    acceptor_.listen();
    udp_.open(address.is_v6() ? udp::v6() : udp::v4());
    keepFromChildren(udp_.native_handle());
    udp_.bind(udp::endpoint(address, config_.udpPort));
    udp_.non_blocking(true);
    if (config_.cluster) startCluster();
    if (!config_.metricsListen.empty()) {
        metrics_ = std::make_unique<MetricsEndpoint>(io_, config_.metricsListen, [this] {
            return MetricsReading{counters_, byAccount_.size(), cluster_ != nullptr,
                                  cluster_ ? cluster_->malformedDropped() : 0,
                                  cluster_ ? cluster_->overflowDropped() : 0};
        });
    }
    running_ = true;
    accept();
    receiveDatagram();
    sweep();
}

void Server::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    udp_.close(ignored);
    sweepTimer_.cancel();
    acceptRetry_.cancel();
    floors_.stop();
    const auto sessions = sessions_;
    for (const auto& [id, session] : sessions) {
        session->close("server stopping");
    }
    // Last: the floors the closing sessions held are given up to the other nodes.
    if (cluster_) cluster_->stop();
    metrics_.reset();
}

uint16_t Server::tcpPort() const {
    boost::system::error_code ignored;
    return acceptor_.local_endpoint(ignored).port();
}

uint16_t Server::udpPort() const {
    boost::system::error_code ignored;
    return udp_.local_endpoint(ignored).port();
}

void Server::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (!running_) {
            return;
        }
        if (error) {
            // Out of descriptors or a similar failure: try again shortly rather than spin.
            spdlog::warn("accept failed: {}", error.message());
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this](const boost::system::error_code& cancelled) {
                if (!cancelled && running_) {
                    accept();
                }
            });
            return;
        }
        keepFromChildren(socket.native_handle());
        boost::system::error_code ignored;
        const auto from = socket.remote_endpoint(ignored).address();
        if (const char* why = admitsLogin(from)) {
            refuseConnection(from, why);
        } else {
            auto session = std::make_shared<Session>(std::move(socket), nextSessionId_++, config_.limits);
            sessions_[session->id()] = session;
            session->inLogin = true;
            ++inLogin_;
            ++inLoginByAddress_[from];
            ++counters_.sessionsOpened;
            spdlog::info("session {} opened from {}", session->id(), session->remote().address().to_string());
            session->start([this](Session& s, const unsigned char* h, const unsigned char* b,
                                  uint32_t l) { onMessage(s, h, b, l); },
                           [this](Session& s, const std::string& reason) { onClosed(s, reason); });
        }
        accept();
    });
}

// Connections still in login are bounded per address and in all; logged-in sessions are
// counted apart, against the session limit, when they log in.
const char* Server::admitsLogin(const asio::ip::address& from) const {
    const auto counted = inLoginByAddress_.find(from);
    if (counted != inLoginByAddress_.end() && counted->second >= config_.limits.pendingLoginsPerAddress) {
        return "too many connections in login from it";
    }
    if (inLogin_ >= config_.limits.maxSessions) return "too many connections in login";
    return nullptr;
}

// A connection leaves the login phase once: logged in, or closed before.
void Server::leaveLogin(Session& session) {
    if (!session.inLogin) return;
    session.inLogin = false;
    --inLogin_;
    const auto counted = inLoginByAddress_.find(session.remote().address());
    if (counted != inLoginByAddress_.end() && --counted->second == 0) inLoginByAddress_.erase(counted);
}

// One line a second at most, however many connections a flood brings.
void Server::refuseConnection(const asio::ip::address& from, const char* why) {
    ++counters_.connectionsRefused;
    ++refusedSinceLine_;
    const auto now = Session::Clock::now();
    if (now - lastRefusalLine_ < std::chrono::seconds(1)) return;
    spdlog::warn("connection from {} refused: {} ({} refused since the last such line)", from.to_string(), why,
                 refusedSinceLine_);
    lastRefusalLine_ = now;
    refusedSinceLine_ = 0;
}

void Server::onMessage(Session& session, const unsigned char* header, const unsigned char* body, uint32_t length) {
    session.lastHeard = Session::Clock::now();
    const unsigned char command = header[0];
    if (header[1] != TW_PROTOCOL_VERSION) {
        refuseOldClient(session);
        return;
    }
    if (command != TW_CMD_LOGIN && command != TW_CMD_LOGIN_CONFIRM && session.account == nullptr) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: command 0x{:02x} before login dropped", session.id(), command);
        return;
    }
    if (session.released) {
        // Replaced by a newer login or logged out: it no longer speaks for its account.
        ++counters_.requestsDropped;
        return;
    }
    switch (command) {
        case TW_CMD_LOGIN:
            login(session, body, length);
            break;
        case TW_CMD_LOGIN_CONFIRM:
            confirmLogin(session, body, length);
            break;
        case TW_CMD_LOGOUT:
            logout(session);
            break;
        case TW_CMD_QUERY_GROUPS:
            queryGroups(session);
            break;
        case TW_CMD_PING:
            break;
        case TW_CMD_ACTIVATE_GROUP:
            enterGroup(session, body, length);
            break;
        case TW_CMD_SET_GROUP_OPTION:
            setGroupOption(session, body, length);
            break;
        case TW_CMD_REQUEST_MIC:
        case TW_CMD_RELEASE_MIC:
            floorRequest(session, command, body, length);
            break;
        case TW_CMD_TEMP_GROUP_CALL:
            tempCall(session, body, length);
            break;
        case TW_CMD_MEETING_CALL:
            meetingCall(session, body, length);
            break;
        case TW_CMD_HANDUP_MEETING_CALL:
            hangUpMeeting(session, body, length);
            break;
        default:
            ++counters_.requestsDropped;
            spdlog::warn("session {}: unknown command 0x{:02x} dropped", session.id(), command);
    }
}

void Server::refuseLogin(Session& session, const std::string& account, uint8_t code, const char* why) {
    ++counters_.loginsRefused;
    spdlog::warn("session {}: login of '{}' refused ({}): {}", session.id(), account, int(code), why);
    tw_login_ack ack{};
    ack.result = code;
    Message answer;
    answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
    session.send(answer.bytes.data(), answer.length);
}

void Server::refuseOldClient(Session& session) {
    ++counters_.loginsRefused;
    spdlog::warn("session {} ({}): login of protocol version {} refused: the client must be updated", session.id(),
                 session.remote().address().to_string(), TW_OLD_PROTOCOL_VERSION);
    Message answer;
    answer.length = srv_build_old_login_refusal(answer.bytes.data(), kMessageCapacity, kOldProtocol);
    session.send(answer.bytes.data(), answer.length);
    session.closeAfterSending("a client of the previous protocol version");
}

// The login's first half: the server's share and confirmation of the exchange, with
// everything the session will need. Nothing of the account changes until the client
// confirms (a login replayed from a capture never does).
void Server::login(Session& session, const unsigned char* body, uint32_t length) {
    tw_login_request request{};
    const auto refuse = [&](uint8_t code, const char* why) { refuseLogin(session, request.account, code, why); };
    if (srv_parse_login(&request, body, length) != TW_OK) {
        refuse(kMalformedLogin, "malformed request");
        return;
    }
    if (session.account != nullptr || session.exchange) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: second login on one connection dropped", session.id());
        return;
    }
    const auto from = session.remote().address();
    const auto now = Session::Clock::now();
    if (const auto pause = loginThrottle_.pauseLeft(from, request.account, now); pause.count() > 0) {
        refuse(kTryLater, "too many failed logins from the address");
        return;
    }
    const Account* account = config_.findAccount(request.account);
    if (account == nullptr) {
        loginThrottle_.failed(from, "", now);
        refuse(kUnknownAccount, "unknown account");
        return;
    }
    tw_login_ack ack{};
    // A redirect answer sends the login on to another signalling server, which makes its own
    // exchange.
    const auto redirectTo = [&](const std::string& address, uint16_t port) {
        ++counters_.loginsRedirected;
        copyText(ack.redirectAddress, sizeof ack.redirectAddress, address);
        ack.redirectPort = port;
        ack.heartbeatInterval = config_.heartbeatMs;
        Message answer;
        answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
        session.send(answer.bytes.data(), answer.length);
    };
    if (const Redirect* redirect = config_.findRedirect(account->name)) {
        redirectTo(redirect->address, redirect->port);
        spdlog::info("session {}: '{}' redirected to {}:{}", session.id(), account->name, redirect->address,
                     redirect->port);
        return;
    }
    const bool first = online(account->id) == nullptr;
    if (const auto elsewhere = placeElsewhere(first)) {
        copyText(ack.voiceAddress, sizeof ack.voiceAddress, elsewhere->voiceAddress);
        ack.voicePort = elsewhere->voicePort;
        redirectTo(elsewhere->address, elsewhere->tcpPort);
        spdlog::info("session {}: '{}' sent on to node {} ({}:{}), this node {}", session.id(), account->name,
                     elsewhere->node, elsewhere->address, elsewhere->tcpPort, draining_ ? "draining" : "full");
        return;
    }
    if (first && byAccount_.size() >= config_.limits.maxSessions) {
        refuse(kServerFull, "server full");
        session.closeAfterSending("server full");
        return;
    }
    auto exchange = std::make_unique<talkwire::login::ServerLogin>(account->name, account->record);
    talkwire::spake2plus::Share share{};
    talkwire::spake2plus::Confirmation confirmation{};
    if (!exchange->respond(request.encodedPassword, share, confirmation)) {
        refuse(kMalformedLogin, "no share of the key exchange in the login");
        return;
    }
    std::copy(share.begin(), share.end(), ack.serverShare);
    std::copy(confirmation.begin(), confirmation.end(), ack.serverConfirmation);
    const std::string voiceAddress =
        config_.voiceAddress.empty() ? session.local().address().to_string() : config_.voiceAddress;
    copyText(ack.voiceAddress, sizeof ack.voiceAddress, voiceAddress);
    ack.voicePort = config_.voicePort != 0 ? config_.voicePort : udpPort();
    ack.heartbeatInterval = config_.heartbeatMs;
    ack.voiceHeartbeatInterval = config_.voiceHeartbeatMs;
    ack.userId = account->id;
    copyText(ack.markerText, sizeof ack.markerText, account->displayName);
    ack.markerId = account->id;
    Message answer;
    answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
    session.exchange = std::move(exchange);
    session.confirming = account;
    confirming_[account->id] = &session;
    session.send(answer.bytes.data(), answer.length);
}

// The login's second half: the client's confirmation proves that it knows the password; from
// here on the connection is sealed.
void Server::confirmLogin(Session& session, const unsigned char* body, uint32_t length) {
    std::unique_ptr<talkwire::login::ServerLogin> exchange = std::move(session.exchange);
    const Account* account = std::exchange(session.confirming, nullptr);
    if (account != nullptr) forgetConfirming(session, account->id);
    if (!exchange || account == nullptr) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: login confirmation without a login dropped", session.id());
        return;
    }
    const auto from = session.remote().address();
    const auto now = Session::Clock::now();
    tw_login_confirm confirm{};
    if (srv_parse_login_confirm(&confirm, body, length) != TW_OK) {
        refuseLogin(session, account->name, kMalformedLogin, "malformed login confirmation");
        return;
    }
    if (confirm.confirmed == 0) {
        loginThrottle_.failed(from, account->name, now);
        refuseLogin(session, account->name, kWrongPassword, "the client could not confirm our answer: wrong password");
        return;
    }
    talkwire::spake2plus::Confirmation confirmation{};
    std::copy(std::begin(confirm.confirmation), std::end(confirm.confirmation), confirmation.begin());
    talkwire::login::SessionKeys keys;
    if (!exchange->finish(confirmation, keys)) {
        loginThrottle_.failed(from, account->name, now);
        ++counters_.loginsRefused;
        spdlog::warn("session {}: login of '{}' refused: its confirmation does not match our answer", session.id(),
                     account->name);
        session.close("login confirmation does not match");
        return;
    }
    loginThrottle_.succeeded(from, account->name);
    session.protect(keys, account->id);
    acceptLogin(session, *account);
}

void Server::acceptLogin(Session& session, const Account& account) {
    Session* previous = online(account.id);
    if (previous == nullptr && byAccount_.size() >= config_.limits.maxSessions) {
        ++counters_.loginsRefused;
        session.close("server full");
        return;
    }
    if (previous != nullptr) {
        spdlog::info("session {}: '{}' logged in again, session {} replaced", session.id(), account.name,
                     previous->id());
        Message answer;
        answer.length = srv_build_logout_ack(answer.bytes.data(), kMessageCapacity);
        previous->send(answer.bytes.data(), answer.length);
        previous->closeAfterSending("replaced by a new login");
        // The old session no longer speaks for the account, whenever its close completes.
        onClosed(*previous, "replaced by a new login");
    }
    leaveLogin(session);
    session.account = &account;
    byAccount_[account.id] = &session;
    if (cluster_) {
        listenToGroupsOf(account.id, true);
        leaveMeetingsElsewhere(account.id);
        cluster_->userOnline(account.id);
        reportLoad();
    }
    ++counters_.loginsAccepted;
    spdlog::info("session {}: '{}' logged in as user {}", session.id(), account.name, account.id);
    if (!session.earlyDatagram.empty()) {
        const std::vector<unsigned char> early = std::move(session.earlyDatagram);
        session.earlyDatagram.clear();
        openDatagram(session, account.id, early, session.earlyFrom);
        flushDatagrams();
    }
}

void Server::forgetConfirming(Session& session, uint32_t user) {
    if (const auto found = confirming_.find(user); found != confirming_.end() && found->second == &session) {
        confirming_.erase(found);
    }
}

void Server::logout(Session& session) {
    Message answer;
    answer.length = srv_build_logout_ack(answer.bytes.data(), kMessageCapacity);
    session.send(answer.bytes.data(), answer.length);
    session.closeAfterSending("logged out");
}

void Server::queryGroups(Session& session) {
    std::vector<tw_group_entry> entries;
    for (const Group* group : config_.groupsOf(session.account->id)) {
        tw_group_entry entry{};
        entry.groupId = group->id;
        copyText(entry.name, sizeof entry.name, group->name);
        entries.push_back(entry);
    }
    Message answer;
    answer.length = srv_build_group_list(answer.bytes.data(), kMessageCapacity, entries.data(),
                                         static_cast<uint32_t>(entries.size()));
    session.send(answer.bytes.data(), answer.length);
}

void Server::enterGroup(Session& session, const unsigned char* body, uint32_t length) {
    tw_id_request request{};
    if (srv_parse_id_request(&request, body, length) != TW_OK) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed enter group dropped", session.id());
        return;
    }
    const Group* group = config_.findGroup(request.id);
    const auto groups = config_.groupsOf(session.account->id);
    tw_join_group_ack ack{};
    ack.previousGroupId = session.currentGroup;
    const bool leaving = request.id == 0;
    if (leaving) {
        // Group 0 leaves the current group: the entry is confirmed, then the quit reported.
        floors_.endIfHeldBy(session.currentGroup, session.account->id, FloorControl::End::kTakenBack);
        session.currentGroup = 0;
    } else if (group == nullptr || std::find(groups.begin(), groups.end(), group) == groups.end()) {
        ack.result = kNotAMember;
        ack.groupId = session.currentGroup;
    } else {
        if (session.currentGroup != group->id) {
            floors_.endIfHeldBy(session.currentGroup, session.account->id, FloorControl::End::kTakenBack);
        }
        session.currentGroup = group->id;
        ack.groupId = group->id;
    }
    ack.markerId = session.account->id;
    Message answer;
    answer.length = srv_build_join_group_ack(answer.bytes.data(), kMessageCapacity, &ack);
    session.send(answer.bytes.data(), answer.length);
    if (leaving) {
        answer.length = srv_build_result_ack(answer.bytes.data(), kMessageCapacity, TW_CMD_QUIT_GROUP_ACK, 0);
        session.send(answer.bytes.data(), answer.length);
    }
}

void Server::setGroupOption(Session& session, const unsigned char* body, uint32_t length) {
    tw_group_option_request request{};
    if (srv_parse_group_option(&request, body, length) != TW_OK) {
        ++counters_.requestsDropped;
        spdlog::warn("session {}: malformed group option dropped", session.id());
        return;
    }
    groupOptions_[session.account->id] = {request.first, request.second};
    Message answer;
    answer.length = srv_build_result_ack(answer.bytes.data(), kMessageCapacity, TW_CMD_SET_GROUP_OPTION_ACK, 0);
    session.send(answer.bytes.data(), answer.length);
}

void Server::notifyMembers(uint32_t groupId, uint32_t except, const unsigned char* message, int length) {
    const auto* found = membersOf(groupId);
    if (found == nullptr) {
        return;
    }
    // A copy: a send may close a slow session, and its leaving may end this very call.
    const std::vector<uint32_t> members = *found;
    for (uint32_t member : members) {
        if (member == except) {
            continue;
        }
        if (Session* session = online(member)) {
            session->send(message, length);
        }
    }
}

Session* Server::online(uint32_t accountId) const {
    auto found = byAccount_.find(accountId);
    return found == byAccount_.end() ? nullptr : found->second;
}

void Server::onClosed(Session& session, const std::string& reason) {
    if (session.released) {
        return;
    }
    session.released = true;
    leaveLogin(session);
    if (session.confirming != nullptr) forgetConfirming(session, session.confirming->id);
    if (session.account != nullptr && online(session.account->id) == &session) {
        const uint32_t user = session.account->id;
        byAccount_.erase(user);
        if (cluster_) {
            listenToGroupsOf(user, false);
            cluster_->userOffline(user);
            reportLoad();
        }
        floors_.userGone(user);
        leaveCall(session);
    }
    session.voiceEndpoint.reset();
    ++counters_.sessionsClosed;
    spdlog::info("session {} closed: {}", session.id(), reason);
    // Erased later: the session may still be running the handler that closed it.
    asio::post(io_, [this, id = session.id()] { sessions_.erase(id); });
    session.account = nullptr;
}

void Server::receiveDatagram() {
    udp_.async_wait(udp::socket::wait_read, [this](const boost::system::error_code& error) {
        if (!running_) {
            return;
        }
        if (error) {
            receiveDatagram();
            return;
        }
        relayAndComeBack();
    });
}

// The socket's readiness is edge-triggered: it tells of new arrivals only. While batches may
// still wait, the relay comes back through the network thread's queue (so the control
// connections get their turn) instead of waiting for the next datagram.
void Server::relayAndComeBack() {
    if (!relayWaitingDatagrams()) {
        receiveDatagram();
        return;
    }
    asio::post(io_, [this] {
        if (running_) relayAndComeBack();
    });
}

// A few batches per wake-up at most, so that a flood of voice cannot starve the control
// connections that share the thread.
bool Server::relayWaitingDatagrams() {
    constexpr int kBatchesPerWake = 4;
    const int socket = udp_.native_handle();
    for (int batch = 0; batch < kBatchesPerWake; ++batch) {
        const int count = datagrams_.receive(socket);
        const auto arrived = std::chrono::steady_clock::now();
        if (count < 0) {
            spdlog::warn("voice socket receive failed: {}", std::strerror(-count));
            return false;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            if (datagrams_.truncated(i)) {
                ++counters_.datagramsIn;
                ++counters_.droppedMalformed;
                continue;
            }
            onDatagram(datagrams_.data(i), datagrams_.size(i), datagrams_.from(i));
        }
        const DatagramBatch::Flushed flushed = datagrams_.flush(socket);
        counters_.datagramsRelayed += flushed.sent;
        counters_.droppedSendBuffer += flushed.dropped;
        if (count > 0) {
            counters_.relayLatency.observe(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - arrived).count(),
                static_cast<uint64_t>(count));
        }
        if (flushed.error != 0) {
            spdlog::warn("voice datagram not sent: {}", std::strerror(flushed.error));
        }
        if (static_cast<std::size_t>(count) < DatagramBatch::kDatagrams) {
            return false;
        }
    }
    return true;
}

// A datagram opens only under its sender's keys (its header names the sender) and only
// once; the plain datagram is then checked, stamped with the sender and sealed anew for each
// listener.
void Server::onDatagram(unsigned char* data, std::size_t size, const udp::endpoint& from) {
    ++counters_.datagramsIn;
    const std::span<const unsigned char> sealed(data, size);
    const std::optional<uint32_t> user = talkwire::ProtectedLink::linkIdOf(sealed);
    if (!user) {
        ++counters_.droppedMalformed;
        return;
    }
    Session* sender = online(*user);
    if (sender == nullptr || sender->link() == nullptr) {
        // The client's first heartbeat leaves as its login is confirmed, and may overtake the
        // confirmation: the newest datagram of a login being confirmed waits for it.
        if (const auto confirming = confirming_.find(*user); confirming != confirming_.end()) {
            confirming->second->earlyDatagram.assign(data, data + size);
            confirming->second->earlyFrom = from;
            return;
        }
        ++counters_.droppedUnknownEndpoint;
        return;
    }
    openDatagram(*sender, *user, sealed, from);
}

void Server::openDatagram(Session& sender, uint32_t user, std::span<const unsigned char> sealed,
                          const udp::endpoint& from) {
    const std::optional<std::size_t> opened = sender.link()->openDatagram(sealed, opened_.data(), opened_.size());
    if (!opened) {
        ++counters_.droppedNotOpened;
        return;
    }
    unsigned char* const plain = opened_.data();
    tw_datagram_info info{};
    if (srv_parse_datagram(plain, static_cast<int>(*opened), &info) != TW_OK) {
        ++counters_.droppedMalformed;
        return;
    }
    // The user's voice goes where its newest genuine datagram came from: only its keys can
    // move it.
    sender.voiceEndpoint = from;
    if (info.kind == TW_KIND_HEARTBEAT) {
        sender.lastHeard = Session::Clock::now();
        return;
    }
    if (info.kind == TW_KIND_TALK_START || info.kind == TW_KIND_TALK_STOP) {
        ++counters_.markers;
        spdlog::info("user {}: talk {} marker {} '{}'", user, info.kind == TW_KIND_TALK_START ? "start" : "stop",
                     info.markerId, info.markerText);
        return;
    }
    const auto groupId = floors_.voiceGroupOf(user);
    if (!groupId) {
        ++counters_.droppedNotFloorHolder;
        return;
    }
    srv_stamp_sender(plain, static_cast<int>(*opened), user);
    const auto* members = membersOf(*groupId);
    for (uint32_t member : members != nullptr ? *members : kNoMembers) {
        if (member != user) relayTo(member, plain, *opened);
    }
    if (clustered(*groupId)) {
        cluster_->publishVoice(*groupId, plain, *opened);
        ++counters_.clusterVoiceOut;
    }
}

void Server::relayTo(uint32_t member, const unsigned char* plain, std::size_t size) {
    Session* listener = online(member);
    if (listener == nullptr || !listener->voiceEndpoint || listener->link() == nullptr) return;
    const std::size_t room = size + talkwire::ProtectedLink::kDatagramOverhead;
    unsigned char* sealed = datagrams_.space(room);
    const std::size_t length = sealed != nullptr ? listener->link()->sealDatagram({plain, size}, sealed, room) : 0;
    if (length == 0) {
        ++counters_.droppedMalformed;
        return;
    }
    datagrams_.queue(sealed, length, *listener->voiceEndpoint);
}

void Server::flushDatagrams() {
    const DatagramBatch::Flushed flushed = datagrams_.flush(udp_.native_handle());
    counters_.datagramsRelayed += flushed.sent;
    counters_.droppedSendBuffer += flushed.dropped;
}

// Drops sessions silent for three heartbeat intervals.
void Server::sweep() {
    const auto silence = std::chrono::milliseconds(3ull * config_.heartbeatMs);
    const auto loginDeadline = std::chrono::milliseconds(config_.limits.loginDeadlineMs);
    const auto now = Session::Clock::now();
    std::vector<std::pair<std::shared_ptr<Session>, const char*>> ending;
    for (const auto& [id, session] : sessions_) {
        if (!session->open()) continue;
        if (session->account == nullptr && now - session->opened > loginDeadline) {
            ending.emplace_back(session, "no login within the deadline");
        } else if (now - session->lastHeard > silence) {
            ending.emplace_back(session, "silent for three heartbeat intervals");
        }
    }
    for (const auto& [session, why] : ending) {
        session->close(why);
    }
    loginThrottle_.prune(now);
    if (cluster_) {
        floors_.expireElsewhere(now);
        endCallsOfDepartedNodes();
        checkCallsWithOwners(now);
    }
    sweepTimer_.expires_after(kSweepInterval);
    sweepTimer_.async_wait([this](const boost::system::error_code& error) {
        if (!error && running_) {
            sweep();
        }
    });
}

}  // namespace talkhub_server
