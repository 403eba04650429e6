// The signalling and voice server: sessions, logins, groups, floor control and the voice
// relay, all on one network thread.
#pragma once

#include <utility>  // before Asio: its coroutine header needs std::exchange

#include <boost/asio.hpp>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <unordered_map>

#include "cluster/cluster.h"
#include "config.h"
#include "counters.h"
#include "datagram_batch.h"
#include "floor_control.h"
#include "login_throttle.h"
#include "metrics.h"
#include "session.h"

namespace talkhub_server {

// Result bytes of a refused login answer.
enum LoginRefusal : uint8_t {
    kUnknownAccount = 1,
    kWrongPassword = 2,
    kServerFull = 3,
    kMalformedLogin = 4,
    kTryLater = 5,     // too many failed logins from the address: refused for a while
    kOldProtocol = 7,  // a client of the previous protocol version, which logs in unprotected
};

// Results of a refused temporary or meeting call.
enum CallRefusal : int32_t {
    kUserUnavailable = 1,  // unknown, offline, or the caller itself
    kAlreadyInCall = 2,
    kMalformedCall = 3,
};

class Server : private FloorEffects {
public:
    Server(boost::asio::io_context& io, ServerConfig config);

    // Binds both ports; throws boost::system::system_error when one is taken.
    void start();
    void stop();

    uint16_t tcpPort() const;
    uint16_t udpPort() const;
    const Counters& counters() const { return counters_; }
    std::size_t sessionsOnline() const { return sessions_.size(); }
    // A draining node of a cluster sends new logins on to another node, while one takes
    // them; its sessions stay.
    void setDraining(bool draining);
    // Takes the accounts, groups and redirects of `fresh` (loaded and validated); the rest
    // of the configuration stays as the server started. Sessions whose account went or
    // whose groups changed end; the others stay, a changed key counting from the next
    // login. Returns what changed, as logged. On the network thread.
    std::string reload(ServerConfig fresh);
    // The metrics' HTTP port, 0 without one.
    uint16_t metricsPort() const { return metrics_ ? metrics_->port() : 0; }

private:
    // A temporary call (two users) or a meeting, talking in a group of its own.
    struct Call {
        bool temporary = true;
        uint32_t owner = 0;  // the caller of a temporary call
        uint32_t meetingId = 0;
        std::vector<uint32_t> members;
        // Offered to other nodes, not answered yet: no floor, no voice.
        bool offered = false;
        // With users on other nodes: the call's floor and voice go through the cluster.
        bool acrossNodes = false;
        // The owner's node, when it is another one.
        std::string ownerNode;
        // The other nodes taking part, told when the call ends here.
        std::vector<std::string> otherNodes;
    };

    void accept();
    // Null when a new connection from this address may wait for its login, else why not.
    const char* admitsLogin(const boost::asio::ip::address& from) const;
    void leaveLogin(Session& session);
    void refuseConnection(const boost::asio::ip::address& from, const char* why);
    void onMessage(Session& session, const unsigned char* header, const unsigned char* body, uint32_t length);
    void onClosed(Session& session, const std::string& reason);

    void login(Session& session, const unsigned char* body, uint32_t length);
    void confirmLogin(Session& session, const unsigned char* body, uint32_t length);
    void acceptLogin(Session& session, const Account& account);
    void refuseLogin(Session& session, const std::string& account, uint8_t code, const char* why);
    void refuseOldClient(Session& session);
    // The login of `user` on `session` is no longer waiting for its confirmation.
    void forgetConfirming(Session& session, uint32_t user);
    void logout(Session& session);
    void queryGroups(Session& session);
    void enterGroup(Session& session, const unsigned char* body, uint32_t length);
    void setGroupOption(Session& session, const unsigned char* body, uint32_t length);
    // A floor request or release (`command`), parsed and handed to the floors.
    void floorRequest(Session& session, unsigned char command, const unsigned char* body, uint32_t length);
    // What the floors decide, carried out on this node's sessions and the cluster.
    uint32_t floorGroup(uint32_t user, uint32_t requested) override;
    int32_t floorRefusal(uint32_t user, uint32_t groupId) override;
    bool floorClustered(uint32_t groupId) override;
    void answerFloorRequest(uint32_t user, int32_t result) override;
    void answerFloorRelease(uint32_t user, uint32_t requested) override;
    void floorGranted(uint32_t groupId, uint32_t holder) override;
    void floorHeldElsewhere(const FloorEvent& event) override;
    void floorTakenBack(uint32_t groupId, uint32_t holder) override;
    void floorFreed(uint32_t groupId, uint32_t holder) override;
    void claimFloor(uint32_t groupId, uint32_t holder, uint64_t token) override;
    void giveBackFloor(uint32_t groupId, uint64_t token) override;
    // The members of the group are told who took its floor.
    void tellFloorTaken(uint32_t groupId, uint32_t holder, const std::string& holderName);
    void tempCall(Session& session, const unsigned char* body, uint32_t length);
    void meetingCall(Session& session, const unsigned char* body, uint32_t length);
    void hangUpMeeting(Session& session, const unsigned char* body, uint32_t length);
    void answerMeeting(Session& owner, uint32_t groupId);
    // Ends a call: its floor ends, the other nodes taking part and, unless the call never
    // took place for them, the members are told (0xca or 0xcc with the reason).
    void endCall(uint32_t groupId, uint32_t reason, bool tellMembers = true);
    void leaveCall(Session& session);
    // The members of a configured group or of a call's group; null for an unknown id.
    // Valid until a call ends, which a TCP send can cause by closing a slow session.
    const std::vector<uint32_t>* membersOf(uint32_t groupId) const;

    void notifyMembers(uint32_t groupId, uint32_t except, const unsigned char* message, int length);
    Session* online(uint32_t accountId) const;

    // Waits for the voice socket to be readable, then relays what waits there in batches.
    void receiveDatagram();
    void relayAndComeBack();
    // Whether more may still wait (the last batch was full).
    bool relayWaitingDatagrams();
    void onDatagram(unsigned char* data, std::size_t size, const boost::asio::ip::udp::endpoint& from);
    // Seals a plain datagram for one member, when it listens, and queues it in the batch.
    void relayTo(uint32_t member, const unsigned char* plain, std::size_t size);
    // Opens a datagram of a logged-in user under its keys, and acts on it.
    void openDatagram(Session& sender, uint32_t user, std::span<const unsigned char> sealed,
                      const boost::asio::ip::udp::endpoint& from);
    // Sends what relayTo queued outside a batch of received datagrams (another node's voice,
    // an end of talk), together.
    void flushDatagrams();
    void sweep();

    // Cluster nodes: this node's floors are claimed through the cluster, and what the other
    // nodes do arrives here, on the network thread.
    void startCluster();
    // Queues the copies of another node's datagram; flushDatagrams sends them.
    void onClusterVoice(uint32_t groupId, const unsigned char* data, std::size_t size);
    void onClusterFloor(const FloorEvent& event);
    void onReplacedElsewhere(uint32_t userId);
    void onCallOffered(const NodeMessage& offer, const std::string& reply);
    void onMeetingOffered(const NodeMessage& offer, const std::string& reply);
    void onCallAnswered(uint32_t groupId, uint32_t caller, int32_t result, const std::string& node);
    void onMeetingAnswered(uint32_t groupId, int32_t result, const std::vector<std::string>& nodes);
    // Whether a group's floor and voice are the cluster's: a configured group, or a call
    // with a user on another node.
    bool clustered(uint32_t groupId) const;
    uint32_t nextTempGroupId();
    uint32_t nextMeetingId();
    void endCallsOfDepartedNodes();
    void endCallFromElsewhere(uint32_t groupId, uint32_t reason, bool tellMembers = true);
    // Another node ended (or withdrew) a call: taken only from a node that takes part in it.
    void onCallEndedBy(const std::string& node, uint32_t groupId, uint32_t reason, bool tellMembers);
    // Whether a call owned here, with `node` taking part, goes on: answered to `reply`.
    void onCallChecked(uint32_t groupId, const std::string& node, const std::string& reply);
    // Every call held here for another node's owner is checked with that node now and then:
    // one whose end never arrived (a message lost) ends here too.
    void checkCallsWithOwners(Session::Clock::time_point now);
    void listenToGroupsOf(uint32_t accountId, bool listen);
    // A user who was in a meeting through another node comes here in none.
    void leaveMeetingsElsewhere(uint32_t accountId);
    // Where a login goes instead of this node: another node's, when this one is full or
    // draining and one has room.
    std::optional<NodeLoad> placeElsewhere(bool newSession) const;
    void reportLoad();

    boost::asio::io_context& io_;
    ServerConfig config_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::udp::socket udp_;
    boost::asio::steady_timer sweepTimer_;
    boost::asio::steady_timer acceptRetry_;
    DatagramBatch datagrams_;
    uint64_t nextSessionId_ = 1;
    std::map<uint64_t, std::shared_ptr<Session>> sessions_;
    std::map<uint32_t, Session*> byAccount_;
    // Per account, its newest login waiting for the client's confirmation.
    std::unordered_map<uint32_t, Session*> confirming_;
    // A datagram as it opened, before it is sealed for each listener.
    std::array<unsigned char, DatagramBatch::kDatagramBytes> opened_{};
    FloorControl floors_;
    std::map<uint32_t, Call> calls_;  // by the call's group id
    uint32_t tempGroupsMade_ = 0;
    uint32_t meetingsMade_ = 0;
    Session::Clock::time_point nextCallCheck_{};
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> groupOptions_;
    std::map<uint32_t, uint16_t> endOfTalkSequence_;
    Counters counters_;
    LoginThrottle loginThrottle_;
    // Connections that have not logged in yet, in all and by address.
    std::size_t inLogin_ = 0;
    std::map<boost::asio::ip::address, uint32_t> inLoginByAddress_;
    Session::Clock::time_point lastRefusalLine_{};
    uint64_t refusedSinceLine_ = 0;
    bool running_ = false;
    bool draining_ = false;
    std::unique_ptr<Cluster> cluster_;
    std::unique_ptr<MetricsEndpoint> metrics_;
};

}  // namespace talkhub_server
