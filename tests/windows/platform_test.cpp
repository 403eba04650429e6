// What the library asks of Windows itself, under Wine: files and folders named in any
// script, and the transcoder started hidden beside the library with its jobs in order.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/files.h"
#include "transcoding/media_transcoding.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    const std::u8string name = path.u8string();
    return {name.begin(), name.end()};
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class WindowsPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(scratch);
        fs::create_directories(scratch);
    }
    void TearDown() override { fs::remove_all(scratch); }

    const fs::path scratch = fs::temp_directory_path() / u8"talkhub записи 📻";
};

TEST_F(WindowsPlatform, ARecordingFileIsCreatedOnlyWhereNoneExistsWhateverItsName) {
    const fs::path name = scratch / u8"1001_20261208 Ärger.mp3";
    std::FILE* created = talkhub::platform::createNewFile(utf8(name));
    ASSERT_NE(created, nullptr);
    std::fputs("ID3", created);
    std::fclose(created);
    EXPECT_EQ(contents(name), "ID3") << "the very file the UTF-8 name names";

    errno = 0;
    EXPECT_EQ(talkhub::platform::createNewFile(utf8(name)), nullptr) << "an existing recording is never overwritten";
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(contents(name), "ID3");
    errno = 0;
    EXPECT_EQ(talkhub::platform::createNewFile(utf8(scratch / u8"нет папки" / "x.mp3")), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(WindowsPlatform, TranscodingJobsRunInOrderHiddenAndASourceGoesOnlyAfterASuccessfulConversion) {
    // The stand-in transcoder as ffmpeg.exe in a library folder named in Cyrillic and emoji.
    const fs::path programs = scratch / u8"програми 🎧";
    fs::create_directories(programs);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    fs::copy_file(fs::path(self).parent_path() / "transcoder_stand_in.exe", programs / "ffmpeg.exe");

    const fs::path folder = scratch / u8"Ärger mit Leerzeichen";
    fs::create_directories(folder);
    const fs::path first = folder / u8"quelle ä (1) & 'x'.wav";
    const fs::path broken = folder / "broken.wav";
    const fs::path third = folder / u8"drei 100%.wav";
    for (const fs::path& source : {first, broken, third}) std::ofstream(source) << utf8(source.filename());
    {
        CMediaTranscoding transcoding(utf8(programs));
        transcoding.addTranscodingTask(utf8(first), utf8(folder / "eins.mp3"), true);
        transcoding.addTranscodingTask(utf8(broken), utf8(folder / "broken.mp3"), true);
        transcoding.addTranscodingTask(utf8(third), utf8(folder / "drei.mp3"), false);
        const std::string shouted = utf8(scratch / u8"äRGER MIT LEERZEICHEN" / u8"QUELLE Ä (1) & 'X'.WAV");
        EXPECT_FALSE(transcoding.checkTranscodingFinish(shouted)) << "queued or running, case folded";
        EXPECT_FALSE(transcoding.checkTranscodingFinish(utf8(third))) << "queued";
        std::ofstream(programs / "gate");
        ASSERT_TRUE(eventually([&] { return transcoding.checkTranscodingFinish(utf8(third)); }, 30s));
    }
    EXPECT_EQ(contents(folder / "eins.mp3"), utf8(first.filename())) << "the name with blanks and signs came whole";
    EXPECT_FALSE(fs::exists(first)) << "converted, then deleted";
    EXPECT_TRUE(fs::exists(broken)) << "a failed conversion keeps its source";
    EXPECT_TRUE(fs::exists(third)) << "not to be deleted";
    EXPECT_EQ(contents(folder / "drei.mp3"), utf8(third.filename()));
    EXPECT_EQ(contents(programs / "runs.txt"), utf8(first) + "|console:0|null:1\n" + utf8(broken) +
                                                   "|console:0|null:1\n" + utf8(third) + "|console:0|null:1\n")
        << "in order, each without a console window and with its streams on the null device";
}

TEST_F(WindowsPlatform, WithoutTheTranscoderEveryJobEndsAndTheSourceStays) {
    const fs::path source = scratch / u8"звук.wav";
    std::ofstream(source) << "RIFF";
    {
        CMediaTranscoding transcoding(utf8(scratch / "no transcoder here"));
        transcoding.addTranscodingTask(utf8(source), utf8(scratch / "a.mp3"), true);
        transcoding.addTranscodingTask(utf8(source), utf8(scratch / "b.mp3"), true);
        ASSERT_TRUE(eventually([&] { return transcoding.checkTranscodingFinish(utf8(source)); }, 30s));
    }
    EXPECT_TRUE(fs::exists(source));
    EXPECT_FALSE(fs::exists(scratch / "a.mp3"));
}

}  // namespace
