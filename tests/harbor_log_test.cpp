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

}  // namespace
