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
constexpr std::size_t kRememberedNonces = 1 << 17;
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
      loginThrottle_(config_.limits.freeFailedLogins, std::chrono::milliseconds(config_.limits.longestLoginPauseMs)),
      replayGuard_(std::chrono::seconds(config_.limits.loginClockWindowS), kRememberedNonces) {
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
    if (command != TW_CMD_LOGIN && session.account == nullptr) {
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

void Server::login(Session& session, const unsigned char* body, uint32_t length) {
    tw_login_request request{};
    tw_login_ack ack{};
    Message answer;
    const auto refuse = [&](uint8_t code, const char* why) {
        ++counters_.loginsRefused;
        spdlog::warn("session {}: login of '{}' refused ({}): {}", session.id(), request.account, int(code), why);
        ack.result = code;
        answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
        session.send(answer.bytes.data(), answer.length);
    };
    if (srv_parse_login(&request, body, length) != TW_OK) {
        refuse(kMalformedLogin, "malformed request");
        return;
    }
    if (session.account != nullptr) {
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
    const ProofCheck proof = checkProof(*account, request.encodedPassword, now);
    if (proof.refusal != 0) {
        if (proof.failure) loginThrottle_.failed(from, request.account, now);
        refuse(proof.refusal, proof.why.c_str());
        return;
    }
    loginThrottle_.succeeded(from, request.account);
    // A redirect answer sends the login on to another signalling server.
    const auto redirectTo = [&](const std::string& address, uint16_t port) {
        ++counters_.loginsRedirected;
        copyText(ack.redirectAddress, sizeof ack.redirectAddress, address);
        ack.redirectPort = port;
        ack.heartbeatInterval = config_.heartbeatMs;
        answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
        session.send(answer.bytes.data(), answer.length);
    };
    if (const Redirect* redirect = config_.findRedirect(account->name)) {
        redirectTo(redirect->address, redirect->port);
        spdlog::info("session {}: '{}' redirected to {}:{}", session.id(), account->name, redirect->address,
                     redirect->port);
        return;
    }
    Session* previous = online(account->id);
    if (const auto elsewhere = placeElsewhere(previous == nullptr)) {
        copyText(ack.voiceAddress, sizeof ack.voiceAddress, elsewhere->voiceAddress);
        ack.voicePort = elsewhere->voicePort;
        redirectTo(elsewhere->address, elsewhere->tcpPort);
        spdlog::info("session {}: '{}' sent on to node {} ({}:{}), this node {}", session.id(), account->name,
                     elsewhere->node, elsewhere->address, elsewhere->tcpPort, draining_ ? "draining" : "full");
        return;
    }
    if (previous == nullptr && byAccount_.size() >= config_.limits.maxSessions) {
        refuse(kServerFull, "server full");
        session.closeAfterSending("server full");
        return;
    }
    if (previous != nullptr) {
        spdlog::info("session {}: '{}' logged in again, session {} replaced", session.id(), account->name,
                     previous->id());
        answer.length = srv_build_logout_ack(answer.bytes.data(), kMessageCapacity);
        previous->send(answer.bytes.data(), answer.length);
        previous->closeAfterSending("replaced by a new login");
        // The old session no longer speaks for the account, whenever its close completes.
        onClosed(*previous, "replaced by a new login");
    }
    leaveLogin(session);
    session.account = account;
    byAccount_[account->id] = &session;
    if (cluster_) {
        listenToGroupsOf(account->id, true);
        leaveMeetingsElsewhere(account->id);
        cluster_->userOnline(account->id);
        reportLoad();
    }
    ++counters_.loginsAccepted;
    const std::string voiceAddress =
        config_.voiceAddress.empty() ? session.local().address().to_string() : config_.voiceAddress;
    copyText(ack.voiceAddress, sizeof ack.voiceAddress, voiceAddress);
    ack.voicePort = config_.voicePort != 0 ? config_.voicePort : udpPort();
    ack.heartbeatInterval = config_.heartbeatMs;
    ack.voiceHeartbeatInterval = config_.voiceHeartbeatMs;
    ack.userId = account->id;
    copyText(ack.markerText, sizeof ack.markerText, account->displayName);
    ack.markerId = account->id;
    answer.length = srv_build_login_ack(answer.bytes.data(), kMessageCapacity, &ack);
    session.send(answer.bytes.data(), answer.length);
    spdlog::info("session {}: '{}' logged in as user {}{}", session.id(), account->name, account->id,
                 std::abs(proof.skewSeconds) > 1 ? fmt::format(", its clock {:+} s from ours", proof.skewSeconds) : "");
}

Server::ProofCheck Server::checkProof(const Account& account, const char* encoded, Session::Clock::time_point now) {
    tw_login_proof proof{};
    const int genuine = srv_verify_login_proof(account.name.c_str(), account.key.data(), encoded, &proof);
    if (genuine < 0) return {kMalformedLogin, "no login proof (a client of an older protocol?)", false, 0};
    if (genuine == 0) return {kWrongPassword, "wrong password", true, 0};
    const auto ourTime =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    ProofCheck check;
    check.skewSeconds = proof.unixTime - static_cast<int64_t>(ourTime);
    const int64_t window = config_.limits.loginClockWindowS;
    if (check.skewSeconds < -window || check.skewSeconds > window) {
        check.refusal = kStaleLogin;
        check.why = fmt::format("its time is {:+} s from ours, beyond {} s: a clock off, or a replay",
                                check.skewSeconds, window);
        check.failure = true;
        return check;
    }
    ReplayGuard::Nonce nonce{};
    std::copy(std::begin(proof.nonce), std::end(proof.nonce), nonce.begin());
    switch (replayGuard_.use(nonce, now)) {
        case ReplayGuard::Verdict::kFirstUse:
            break;
        case ReplayGuard::Verdict::kReplayed:
            check.refusal = kStaleLogin;
            check.why = "proof used before: a replay";
            check.failure = true;
            break;
        case ReplayGuard::Verdict::kFull:
            check.refusal = kTryLater;
            check.why = "too many recent logins to tell a replay";
            break;
    }
    return check;
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
    if (session.voiceEndpoint) {
        auto mapped = byEndpoint_.find(*session.voiceEndpoint);
        if (mapped != byEndpoint_.end() && session.account != nullptr && mapped->second == session.account->id) {
            byEndpoint_.erase(mapped);
        }
        session.voiceEndpoint.reset();
    }
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

void Server::onDatagram(unsigned char* data, std::size_t size, const udp::endpoint& from) {
    ++counters_.datagramsIn;
    tw_datagram_info info{};
    if (srv_parse_datagram(data, static_cast<int>(size), &info) != TW_OK) {
        ++counters_.droppedMalformed;
        return;
    }
    if (info.kind == TW_KIND_HEARTBEAT) {
        // An endpoint is taken only from the address the user's control connection comes
        // from, so nobody can claim another user's voice.
        Session* session = online(info.senderId);
        if (session == nullptr || session->remote().address() != from.address()) {
            ++counters_.droppedUnknownEndpoint;
            return;
        }
        if (session->voiceEndpoint && *session->voiceEndpoint != from) {
            byEndpoint_.erase(*session->voiceEndpoint);
        }
        session->voiceEndpoint = from;
        session->lastHeard = Session::Clock::now();
        byEndpoint_[from] = info.senderId;
        return;
    }
    auto known = byEndpoint_.find(from);
    if (known == byEndpoint_.end()) {
        ++counters_.droppedUnknownEndpoint;
        return;
    }
    Session* sender = online(known->second);
    if (sender == nullptr) {
        ++counters_.droppedUnknownEndpoint;
        return;
    }
    if (info.kind == TW_KIND_TALK_START || info.kind == TW_KIND_TALK_STOP) {
        ++counters_.markers;
        spdlog::info("user {}: talk {} marker {} '{}'", known->second,
                     info.kind == TW_KIND_TALK_START ? "start" : "stop", info.markerId, info.markerText);
        return;
    }
    const auto groupId = floors_.voiceGroupOf(known->second);
    if (!groupId) {
        ++counters_.droppedNotFloorHolder;
        return;
    }
    srv_stamp_sender(data, static_cast<int>(size), known->second);
    const auto* members = membersOf(*groupId);
    for (uint32_t member : members != nullptr ? *members : kNoMembers) {
        Session* listener = online(member);
        if (member != known->second && listener != nullptr && listener->voiceEndpoint) {
            datagrams_.queue(data, size, *listener->voiceEndpoint);
        }
    }
    if (clustered(*groupId)) {
        cluster_->publishVoice(*groupId, data, size);
        ++counters_.clusterVoiceOut;
    }
}

void Server::sendDatagram(const unsigned char* data, std::size_t size, const udp::endpoint& to) {
    boost::system::error_code error;
    udp_.send_to(asio::buffer(data, size), to, 0, error);
    if (error && error != asio::error::would_block) {
        spdlog::warn("datagram to {}:{} not sent: {}", to.address().to_string(), to.port(), error.message());
    }
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
