#include <gtest/gtest.h>
#include <harbor/harbor.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readLogFolder(const std::filesystem::path& folder) {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        all += text.str();
    }
    return all;
}

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

    std::string text = readLogFolder(folder);
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
    EXPECT_NE(readLogFolder(folder).find("[tag] in [Журнал]"), std::string::npos);
    bool named = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        named |= entry.path().filename().u8string().starts_with(leaf + u8"_");
    EXPECT_TRUE(named);
    harbor::logShutdown();
    std::filesystem::remove_all(base);
}

}  // namespace
