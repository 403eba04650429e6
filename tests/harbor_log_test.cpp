#include <gtest/gtest.h>
#include <harbor/harbor.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kit/folder_text.h"

namespace {

TEST(HarborLog, LinesCarryTagAndFormattedValuesInTheNamedFolder) {
    auto folder = std::filesystem::temp_directory_path() / "harbor_log_test" / "nested" / "TalkHub";
    std::filesystem::remove_all(folder.parent_path().parent_path());

    harbor::logInfo("early", "dropped before init [%d]", 1);
    harbor::logInit(folder.string(), true);
    harbor::logInfo("CVoiceTalk::login", "tcp connect to server:[%s] port:[%d].", "127.0.0.1", 13001);
    harbor::logError("tag", "percent %% and [%u]", 7u);
    std::string longValue(100000, 'x');
    harbor::logWarning("long", "[%s]", longValue.c_str());
    harbor::logFlush();

    std::string text = test_kit::folderText(folder);
    EXPECT_NE(text.find("[CVoiceTalk::login] tcp connect to server:[127.0.0.1] port:[13001]."), std::string::npos);
    EXPECT_NE(text.find("[tag] percent % and [7]"), std::string::npos);
    EXPECT_NE(text.find("[long] [" + longValue + "]"), std::string::npos);
    EXPECT_EQ(text.find("dropped before init"), std::string::npos);
    bool dailyName = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        dailyName |= entry.path().filename().string().rfind("TalkHub_", 0) == 0;
    EXPECT_TRUE(dailyName);

    harbor::logShutdown();
    harbor::logInfo("late", "after shutdown");
}

// The folder comes as UTF-8 whatever the system's own code page: on Windows a narrow name
// would land in a folder of mangled characters, or nowhere.
TEST(HarborLog, AFolderNamedInAnyScriptHoldsItsLog) {
    const std::u8string leaf = u8"Журнал 📻";
    const auto base = std::filesystem::temp_directory_path() / "harbor_log_utf8_test";
    std::filesystem::remove_all(base);
    const auto folder = base / leaf;
    const std::u8string name = folder.u8string();

    harbor::logInit(std::string(name.begin(), name.end()), true);
    harbor::logError("tag", "in [%s]", "Журнал");
    harbor::logFlush();

    ASSERT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_NE(test_kit::folderText(folder).find("[tag] in [Журнал]"), std::string::npos);
    bool named = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        named |= entry.path().filename().u8string().starts_with(leaf + u8"_");
    EXPECT_TRUE(named);
    harbor::logShutdown();
    std::filesystem::remove_all(base);
}

std::string todaysName(const std::string& name) {
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    return name + "_" + date + ".log";
}

std::vector<std::string> fileNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Daily files of earlier years (never today's), oldest first.
std::vector<std::string> olderDailyFiles(std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "TalkHub_2010-%02zu-%02zu.log", 1 + i / 28 % 12, 1 + i % 28);
        names.push_back(name);
    }
    return names;
}

// A log opened every day by a new process never reaches the daily sink's own turn of the
// day, so its folder would only grow. Tried below the limit, at it and one past it.
TEST(HarborLog, OpeningKeepsTheNewestDailyFilesUpToTheLimitAndNothingElseIsTouched) {
    const auto folder = std::filesystem::temp_directory_path() / "harbor_log_prune_test" / "TalkHub";
    const std::vector<std::string> strangers = {"notes.txt", "TalkHub_2010-01-01.log.bak", "Other_2010-01-01.log",
                                                "TalkHub_2010-1-01.log"};
    for (const std::size_t older :
         {harbor::kLogDaysKept - 2, harbor::kLogDaysKept - 1, harbor::kLogDaysKept, harbor::kLogDaysKept + 7}) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::vector<std::string> dated = olderDailyFiles(older);
        for (const std::string& name : dated) std::ofstream(folder / name) << "old\n";
        for (const std::string& name : strangers) std::ofstream(folder / name) << "not a log\n";

        ASSERT_TRUE(harbor::logInit(folder.string(), true));
        harbor::logInfo("tag", "today");
        harbor::logShutdown();

        std::vector<std::string> expected(
            dated.end() - static_cast<std::ptrdiff_t>(std::min(older, harbor::kLogDaysKept - 1)), dated.end());
        expected.push_back(todaysName("TalkHub"));
        expected.insert(expected.end(), strangers.begin(), strangers.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(fileNames(folder), expected) << older << " older daily files";
    }
    std::filesystem::remove_all(folder.parent_path());
}

TEST(HarborLog, AFolderThatCannotBeMadeIsReportedAndTheOpenLogKeepsWriting) {
    const auto base = std::filesystem::temp_directory_path() / "harbor_log_refused_test";
    std::filesystem::remove_all(base);
    ASSERT_TRUE(harbor::logInit((base / "good" / "TalkHub").string(), true));
    // A folder below a plain file cannot be made, not even by root.
    std::ofstream(base / "file") << "in the way\n";
    EXPECT_FALSE(harbor::logInit((base / "file" / "TalkHub").string(), true));
    harbor::logError("tag", "still [%d]", 1);
    harbor::logFlush();
    EXPECT_NE(test_kit::folderText(base / "good" / "TalkHub").find("[tag] still [1]"), std::string::npos);
    harbor::logShutdown();
    std::filesystem::remove_all(base);
}

}  // namespace
