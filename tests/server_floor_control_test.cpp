// A group floor's whole life, driven without sockets: commands, verdicts and other nodes'
// events go in, and what the server would send and claim comes out as lines in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "floor_control.h"

namespace {

using talkhub_server::FloorControl;
using talkhub_server::FloorEvent;
using Command = FloorControl::Command;
using namespace std::chrono_literals;

constexpr uint32_t kGroup = 7;
constexpr uint32_t kOtherGroup = 8;
constexpr uint32_t kAlice = 1;
constexpr uint32_t kBob = 2;
constexpr uint32_t kStranger = 3;
constexpr uint32_t kCarolElsewhere = 9;
constexpr uint32_t kDaveElsewhere = 10;
constexpr auto kLease = 3000ms;

class FloorLife : public ::testing::Test, protected talkhub_server::FloorEffects {
protected:
    // Whatever happened since the last call, and forgotten.
    std::vector<std::string> said() { return std::exchange(lines_, {}); }

    // Runs the timers that are due until none is left.
    void runTimers() {
        io_.restart();
        io_.run();
    }

    FloorEvent heldElsewhere(uint32_t holder = kCarolElsewhere, uint32_t groupId = kGroup) {
        return FloorEvent{FloorEvent::Kind::kHeld, groupId, holder, "carol"};
    }

    uint32_t floorGroup(uint32_t, uint32_t requested) override { return requested; }
    int32_t floorRefusal(uint32_t user, uint32_t) override {
        return user == kStranger ? talkhub_server::kNotAMember : 0;
    }
    bool floorClustered(uint32_t) override { return clustered_; }
    void answerFloorRequest(uint32_t user, int32_t result) override {
        say("answer " + std::to_string(user) + " " + std::to_string(result));
        // A session that reads too slowly is closed by the answer it cannot take.
        if (user == closesOnAnswer_) floors_.userGone(user);
    }
    void answerFloorRelease(uint32_t user, uint32_t requested) override {
        say("release " + std::to_string(user) + " " + std::to_string(requested));
    }
    void floorGranted(uint32_t groupId, uint32_t holder) override {
        say("granted " + std::to_string(groupId) + " " + std::to_string(holder));
    }
    void floorHeldElsewhere(const FloorEvent& event) override {
        say("elsewhere " + std::to_string(event.groupId) + " " + std::to_string(event.holder));
    }
    void floorTakenBack(uint32_t groupId, uint32_t holder) override {
        say("taken back " + std::to_string(groupId) + " " + std::to_string(holder));
    }
    void floorFreed(uint32_t groupId, uint32_t holder) override {
        say("freed " + std::to_string(groupId) + " " + std::to_string(holder));
    }
    void claimFloor(uint32_t groupId, uint32_t holder, uint64_t token) override {
        say("claim " + std::to_string(groupId) + " " + std::to_string(holder) + " #" + std::to_string(token));
    }
    void giveBackFloor(uint32_t groupId, uint64_t token) override {
        say("give back " + std::to_string(groupId) + " #" + std::to_string(token));
    }

    void say(std::string line) { lines_.push_back(std::move(line)); }

    boost::asio::io_context io_;
    talkhub_server::Counters counters_;
    FloorControl floors_{io_, {200ms, 5ms, kLease}, *this, counters_};
    bool clustered_ = false;
    uint32_t closesOnAnswer_ = 0;
    std::vector<std::string> lines_;
};

using Lines = std::vector<std::string>;

TEST_F(FloorLife, OnOneNodeAFloorIsGrantedBusyForOthersAndFreeOnlyAfterItsGracePeriod) {
    floors_.command(kStranger, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"answer 3 2"}) << "not a member";
    floors_.command(kAlice, Command::kRequest, kGroup);
    EXPECT_EQ(said(), (Lines{"answer 1 0", "granted 7 1"}));
    floors_.command(kAlice, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"answer 1 0"}) << "asked again while holding it: nothing changes";
    floors_.command(kBob, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"answer 2 1"});

    floors_.command(kAlice, Command::kRelease, kGroup);
    EXPECT_EQ(said(), Lines{"release 1 7"});
    EXPECT_EQ(floors_.voiceGroupOf(kAlice), kGroup) << "the last packet still belongs to the turn";
    floors_.command(kBob, Command::kRequest, kGroup);
    floors_.command(kAlice, Command::kRequest, kGroup);
    EXPECT_EQ(said(), (Lines{"answer 2 1", "answer 1 1"})) << "busy in the grace period, for its holder too";
    runTimers();
    EXPECT_EQ(said(), Lines{"freed 7 1"});
    EXPECT_FALSE(floors_.voiceGroupOf(kAlice));
    floors_.command(kBob, Command::kRequest, kGroup);
    EXPECT_EQ(said(), (Lines{"answer 2 0", "granted 7 2"}));
    EXPECT_EQ(counters_.floorGrants, 2u);
    EXPECT_EQ(counters_.floorDenials, 4u);
}

TEST_F(FloorLife, TheTalkTimeLimitTakesTheFloorBackAndAnEndingFloorCarriesVoiceOnlyAsALastResort) {
    floors_.command(kAlice, Command::kRequest, kGroup);
    floors_.command(kAlice, Command::kRelease, kGroup);
    floors_.command(kAlice, Command::kRequest, kOtherGroup);
    EXPECT_EQ(floors_.voiceGroupOf(kAlice), kOtherGroup) << "the floor held, not the one ending";
    said();
    runTimers();
    EXPECT_EQ(said(), (Lines{"freed 7 1", "taken back 8 1", "freed 8 1"}));
    EXPECT_EQ(counters_.floorPreemptions, 1u);
}

TEST_F(FloorLife, AHolderGoneFreesItsFloorAtOnceButNotAFloorHeldUnderItsIdOnAnotherNode) {
    floors_.command(kAlice, Command::kRequest, kGroup);
    clustered_ = true;
    floors_.onClusterFloor(heldElsewhere(kAlice, kOtherGroup));
    said();
    floors_.userGone(kAlice);
    EXPECT_EQ(said(), Lines{"freed 7 1"}) << "no grace: no more voice can come";
    EXPECT_TRUE(floors_.holdsElsewhere(kOtherGroup, kAlice));
}

// An answer that closes its slow session leaves nothing behind that anyone was told of.
TEST_F(FloorLife, AnAnswerThatClosesTheSessionGrantsNothing) {
    for (const bool clustered : {false, true}) {
        SCOPED_TRACE(clustered ? "the cluster's floor" : "this node's floor");
        clustered_ = clustered;
        closesOnAnswer_ = kAlice;
        floors_.command(kAlice, Command::kRequest, kGroup);
        if (clustered) {
            EXPECT_EQ(said(), Lines{"claim 7 1 #1"});
            floors_.onVerdict(kGroup, kAlice, 1, true);
            EXPECT_EQ(said(), (Lines{"answer 1 0", "give back 7 #1"}));
        } else {
            EXPECT_EQ(said(), Lines{"answer 1 0"});
        }
        closesOnAnswer_ = 0;
        floors_.command(kBob, Command::kRequest, kGroup);
        if (clustered) floors_.onVerdict(kGroup, kBob, 2, true);
        const Lines bobGetsIt =
            clustered ? Lines{"claim 7 2 #2", "answer 2 0", "granted 7 2"} : Lines{"answer 2 0", "granted 7 2"};
        EXPECT_EQ(said(), bobGetsIt);
        floors_.userGone(kBob);
        said();
    }
}

// A tap: the release comes while the claim is out. Whatever the verdict, the request is
// answered refused before the release is answered, and a won claim goes back at once.
TEST_F(FloorLife, ATapWhileTheClaimIsOutIsAnsweredInOrderAndLeavesTheFloorFree) {
    clustered_ = true;
    uint64_t token = 0;
    for (const bool won : {true, false}) {
        SCOPED_TRACE(won ? "claim won" : "claim lost");
        ++token;
        floors_.command(kAlice, Command::kRequest, kGroup);
        floors_.command(kAlice, Command::kRelease, kGroup);
        EXPECT_EQ(said(), Lines{"claim 7 1 #" + std::to_string(token)}) << "the release waits for the verdict";
        EXPECT_FALSE(floors_.voiceGroupOf(kAlice)) << "no voice while the claim is out";
        floors_.onVerdict(kGroup, kAlice, token, won);
        Lines expected{"answer 1 1", "release 1 7"};
        if (won) expected.insert(expected.begin(), "give back 7 #" + std::to_string(token));
        EXPECT_EQ(said(), expected);
        EXPECT_FALSE(floors_.voiceGroupOf(kAlice));
    }
    floors_.command(kBob, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"claim 7 2 #3"}) << "the floor is free";
}

TEST_F(FloorLife, ARequestAfterATapIsClaimedAfreshAndOnlyItsOwnVerdictGrantsIt) {
    clustered_ = true;
    floors_.command(kAlice, Command::kRequest, kGroup);
    floors_.command(kAlice, Command::kRelease, kGroup);
    floors_.command(kAlice, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"claim 7 1 #1"});
    floors_.onVerdict(kGroup, kAlice, 1, true);
    EXPECT_EQ(said(), (Lines{"give back 7 #1", "answer 1 1", "release 1 7", "claim 7 1 #2"}));
    floors_.onVerdict(kGroup, kAlice, 1, true);
    EXPECT_EQ(said(), Lines{"give back 7 #1"}) << "a verdict for a claim that is not the current one";
    floors_.onVerdict(kGroup, kAlice, 2, true);
    EXPECT_EQ(said(), (Lines{"answer 1 0", "granted 7 1"}));
    EXPECT_EQ(floors_.voiceGroupOf(kAlice), kGroup);
}

TEST_F(FloorLife, CommandsWaitingForAVerdictAreBoundedAtEight) {
    clustered_ = true;
    floors_.command(kAlice, Command::kRequest, kGroup);
    for (std::size_t i = 0; i < FloorControl::kCommandsWaiting + 1; ++i) {
        floors_.command(kAlice, Command::kRelease, kGroup);
    }
    EXPECT_EQ(counters_.requestsDropped, 1u) << "the ninth is dropped";
    said();
    floors_.onVerdict(kGroup, kAlice, 1, false);
    const Lines lines = said();
    ASSERT_EQ(lines.size(), 1 + FloorControl::kCommandsWaiting);
    EXPECT_EQ(lines.front(), "answer 1 1");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "release 1 7"), 8);
}

TEST_F(FloorLife, AUserGoneWhileItsClaimIsOutIsAnsweredNoMoreAndItsClaimGoesBack) {
    clustered_ = true;
    floors_.command(kAlice, Command::kRequest, kGroup);
    floors_.command(kAlice, Command::kRelease, kGroup);
    said();
    floors_.userGone(kAlice);
    EXPECT_EQ(said(), Lines{"give back 7 #1"});
    floors_.onVerdict(kGroup, kAlice, 1, true);
    EXPECT_EQ(said(), Lines{"give back 7 #1"}) << "won after all: given back again, nobody answered";
}

TEST_F(FloorLife, AFloorHeldOnAnotherNodeIsBusyHereUntilItIsFreedReplacedOrItsRenewalsStop) {
    clustered_ = true;
    const auto start = FloorControl::Clock::now();
    floors_.onClusterFloor(heldElsewhere());
    EXPECT_EQ(said(), Lines{"elsewhere 7 9"});
    EXPECT_TRUE(floors_.holdsElsewhere(kGroup, kCarolElsewhere));
    EXPECT_FALSE(floors_.holdsElsewhere(kGroup, kAlice));
    floors_.command(kAlice, Command::kRequest, kGroup);
    EXPECT_EQ(said(), Lines{"answer 1 1"});

    floors_.expireElsewhere(start + kLease - 100ms);
    floors_.onClusterFloor(heldElsewhere());  // renewed
    EXPECT_EQ(said(), Lines{});
    floors_.onClusterFloor(heldElsewhere(kDaveElsewhere));
    EXPECT_EQ(said(), (Lines{"freed 7 9", "elsewhere 7 10"})) << "a holder whose free event was lost";
    floors_.onClusterFloor({FloorEvent::Kind::kFreed, kGroup, kCarolElsewhere, ""});
    EXPECT_EQ(said(), Lines{}) << "the free event of a holder no longer holding it";
    floors_.onClusterFloor({FloorEvent::Kind::kFreed, kGroup, kDaveElsewhere, ""});
    EXPECT_EQ(said(), Lines{"freed 7 10"});

    floors_.onClusterFloor(heldElsewhere());
    said();
    floors_.expireElsewhere(FloorControl::Clock::now() + kLease - 100ms);
    EXPECT_EQ(said(), Lines{});
    floors_.expireElsewhere(FloorControl::Clock::now() + kLease);
    EXPECT_EQ(said(), Lines{"freed 7 9"});
    EXPECT_FALSE(floors_.holdsElsewhere(kGroup, kCarolElsewhere));
}

// Another node's member wins while this node's claim is out: its voice is relayed at once,
// and its floor is shown here after the refusal, as to a member who asked while it was held.
TEST_F(FloorLife, AClaimThatLosesShowsTheWinnerAfterTheRefusal) {
    clustered_ = true;
    floors_.command(kAlice, Command::kRequest, kGroup);
    floors_.onClusterFloor(heldElsewhere());
    EXPECT_EQ(said(), Lines{"claim 7 1 #1"});
    EXPECT_TRUE(floors_.holdsElsewhere(kGroup, kCarolElsewhere));
    floors_.onVerdict(kGroup, kAlice, 1, false);
    EXPECT_EQ(said(), (Lines{"answer 1 1", "elsewhere 7 9"}));
}

TEST_F(FloorLife, AClaimLostInTheClusterTakesTheFloorBackAndGivesItUpAfterTheGracePeriod) {
    clustered_ = true;
    floors_.command(kAlice, Command::kRequest, kGroup);
    floors_.onVerdict(kGroup, kAlice, 1, true);
    said();
    floors_.onLostInCluster(kGroup, 2);
    EXPECT_EQ(said(), Lines{}) << "another claim's loss";
    floors_.onLostInCluster(kGroup, 1);
    EXPECT_EQ(said(), Lines{"taken back 7 1"});
    runTimers();
    EXPECT_EQ(said(), (Lines{"give back 7 #1", "freed 7 1"}));
    EXPECT_EQ(counters_.floorPreemptions, 1u);
}

}  // namespace
