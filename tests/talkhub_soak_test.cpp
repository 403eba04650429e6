// A soak: ten members in two groups take turns at the floor, back to back, through the
// reference server in this process. The library is one member of the first group and
// records it; the other nine are bare talkwire clients. Every turn must reach every other
// member of its group, every turn the library hears must become one recording, and the
// process must end its turns as it began them: memory flat after the warm-up, no
// descriptor or thread left. TALKHUB_SOAK_TURNS sets the number of turns (300 by default,
// 100 under a sanitizer).
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hearing_support.h"
#include "server_test_support.h"
#include "talkhub_test_support.h"

namespace {

using namespace std::chrono_literals;
using server_test::Client;
using server_test::RunningServer;

constexpr int kMembers = 10;
constexpr int kGroupSize = 5;

std::size_t entriesIn(const char* folder) {
    std::size_t count = 0;
    if (DIR* directory = ::opendir(folder)) {
        while (const dirent* entry = ::readdir(directory)) count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(directory);
    }
    return count;
}

double residentMiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Memory kept by a sanitizer (quarantine, shadow) grows by design: no flat line to expect.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

std::atomic<int> recordings{0};
void onRecordFinish(unsigned int, const char*) { ++recordings; }

// Member i (from 0) is account "m<i+1>", id 2001 + i, in group 1 (the first five) or 2.
talkhub_server::ServerConfig soakConfig() {
    talkhub_server::ServerConfig config = server_test::loopbackConfig();
    config.heartbeatMs = 600000;  // the bare clients send no heartbeats
    config.limits.floorGraceMs = 0;
    config.accounts.clear();
    config.groups = {{1, "Alpha", {}}, {2, "Bravo", {}}};
    for (int i = 0; i < kMembers; ++i) {
        const std::string name = "m" + std::to_string(i + 1);
        const auto id = static_cast<uint32_t>(2001 + i);
        config.accounts.push_back({id, name, test_kit::recordFor(name, name), name});
        config.groups[i < kGroupSize ? 0 : 1].members.push_back(id);
    }
    return config;
}

class Soak : public talkhub_test::Service {};

TEST_F(Soak, TenMembersTakeTurnsAndEveryTurnIsHeardRecordedAndLeavesNothingBehind) {
    const char* asked = std::getenv("TALKHUB_SOAK_TURNS");
    const int turns = asked != nullptr ? std::max(10, std::atoi(asked)) : kSanitized ? 100 : 300;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("talkhub-soak-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    // One login and logout first: what the library starts once and keeps until it ends (its
    // network loop, its log) is no leak.
    {
        RunningServer warmUp(soakConfig());
        loginTo(warmUp.tcpPort(), "m1");
        loginout();
    }
    std::this_thread::sleep_for(200ms);
    const std::size_t descriptorsBefore = entriesIn("/proc/self/fd");
    const std::size_t threadsBefore = entriesIn("/proc/self/task");
    recordings = 0;
    std::map<uint32_t, std::map<uint32_t, int>> heard;  // listener -> talker -> voice datagrams
    std::map<uint32_t, std::map<uint32_t, int>> expected;
    double warm = 0;
    double end = 0;
    {
        RunningServer server(soakConfig());
        setAudioRecordFinishCallback(onRecordFinish);
        setRecordSavePath(folder.c_str());
        openGroupRecord(1);
        EXPECT_EQ(loginTo(server.tcpPort(), "m1"), "1:Alpha");
        std::vector<std::unique_ptr<Client>> members;
        for (int i = 1; i < kMembers; ++i) {
            members.push_back(std::make_unique<Client>(server.tcpPort(), server.udpPort()));
            members.back()->join(("m" + std::to_string(i + 1)).c_str(), i < kGroupSize ? 1 : 2);
        }
        int libraryHeard = 0;
        const auto drain = [&] {
            for (auto& member : members) {
                while (auto datagram = member->datagram(0ms)) {
                    const uint32_t sender =
                        talkwire::datagrams::talkSender(datagram->data(), static_cast<int>(datagram->size()));
                    if (datagram->size() > 2 && (*datagram)[2] == TW_KIND_VOICE) ++heard[member->userId][sender];
                }
            }
        };
        for (int turn = 0; turn < turns; ++turn) {
            // Groups alternate; within a group the four bare members take turns in order.
            const uint32_t group = turn % 2 == 0 ? 1 : 2;
            const int index = group == 1 ? 1 + (turn / 2) % 4 : kGroupSize + (turn / 2) % 5;
            Client& talker = *members[static_cast<std::size_t>(index - 1)];
            hearing_test::freshTalker();
            ASSERT_EQ(talker.requestMic(group), 0) << "turn " << turn;
            talker.sendDatagram(hearing_test::tonePacket(500, 4000));
            std::this_thread::sleep_for(10ms);
            talker.send([group](unsigned char* b, int c) { return cp_release_mic(b, c, group); });
            for (auto& member : members) {
                const bool inGroup = (member->userId < 2001 + kGroupSize) == (group == 1);
                if (inGroup && member.get() != &talker) ++expected[member->userId][talker.userId];
            }
            libraryHeard += group == 1 ? 1 : 0;
            drain();
            // Spaced so that a talker's turn has played out before its next one begins.
            std::this_thread::sleep_for(50ms);
            if (turn == turns / 10) warm = residentMiB();
        }
        std::this_thread::sleep_for(200ms);
        drain();
        EXPECT_TRUE(eventually([&] { return recordings.load() == libraryHeard; }, 10000ms))
            << recordings.load() << " recordings of " << libraryHeard << " turns heard";
        end = residentMiB();
        loginout();
    }
    EXPECT_EQ(heard, expected) << "a turn did not reach every other member of its group";
    const auto files =
        std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator{});
    EXPECT_EQ(files, recordings.load());
    std::filesystem::remove_all(folder);
    std::printf(
        "%d turns: resident %.1f MiB after the warm-up, %.1f MiB at the end (library, server and the "
        "nine clients in one process)\n",
        turns, warm, end);
    if (!kSanitized) {
        EXPECT_LT(end - warm, 4.0) << "memory grows with the turns";
    }
    EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/fd") == descriptorsBefore; }))
        << entriesIn("/proc/self/fd") << " descriptors, " << descriptorsBefore << " before";
    EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/task") == threadsBefore; }))
        << entriesIn("/proc/self/task") << " threads, " << threadsBefore << " before";
}

}  // namespace
