// Pieces of the signalling side that stand on their own: the user directory and the
// splitting of a meeting call's user list.
#include <string>
#include <thread>
#include <vector>

#include "signalling/user_data_transform.h"
#include "talkhub_test_support.h"

namespace {

TEST(UserDirectory, AnswersEmptyForUnknownIdsAndKeepsTheLatestEntry) {
    CUserDataTransform directory;
    EXPECT_EQ(directory.getUserGroup(1002), 0U);
    EXPECT_EQ(directory.getUserName(1002), "");
    EXPECT_EQ(directory.getGroupName(7), "");
    directory.setUserGroup(1002, 7);
    directory.setUserName(1002, "Bob");
    EXPECT_EQ(directory.getUserGroup(1002), 7U);
    EXPECT_EQ(directory.getUserName(1002), "Bob");
    directory.setUserGroup(1002, 9);
    EXPECT_EQ(directory.getUserGroup(1002), 9U);
    directory.setGroupName(5, "a");
    directory.setGroupName(9, "b");
    directory.setGroupName(5, "again");
    EXPECT_EQ(directory.getGroupName(5), "again");
    EXPECT_EQ(directory.getGroupName(9), "b");
}

TEST(UserDirectory, ReadersAndWritersOnSeveralThreads) {
    CUserDataTransform directory;
    std::thread writer([&] {
        for (unsigned int i = 0; i < 5000; ++i) {
            directory.setUserGroup(i % 50, i);
            directory.setUserName(i % 50, "user " + std::to_string(i));
        }
    });
    for (unsigned int i = 0; i < 5000; ++i) {
        const std::string name = directory.getUserName(i % 50);
        ASSERT_TRUE(name.empty() || name.rfind("user ", 0) == 0) << "a copy is never torn: " << name;
    }
    writer.join();
    EXPECT_EQ(directory.getUserGroup(49), 4999U);
}

TEST(SplitText, PiecesAsTheMeetingCallSendsThem) {
    std::vector<std::string> pieces{"stale"};
    EXPECT_EQ(CVoiceTalk::splitText("1,2,3", ",", pieces), 3U);
    EXPECT_EQ(pieces, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(CVoiceTalk::splitText("1,2,", ",", pieces), 2U);
    EXPECT_EQ(pieces, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(CVoiceTalk::splitText(",5", ",", pieces), 2U);
    EXPECT_EQ(pieces, (std::vector<std::string>{"", "5"}));
    EXPECT_EQ(CVoiceTalk::splitText("1,,2", ",", pieces), 3U);
    EXPECT_EQ(pieces, (std::vector<std::string>{"1", "", "2"}));
    EXPECT_EQ(CVoiceTalk::splitText("7", ",", pieces), 1U);
    EXPECT_EQ(pieces, (std::vector<std::string>{"7"}));
    EXPECT_EQ(CVoiceTalk::splitText("", ",", pieces), 0U);
    EXPECT_TRUE(pieces.empty());
    EXPECT_EQ(CVoiceTalk::splitText("a::b", "::", pieces), 2U);
}

}  // namespace
