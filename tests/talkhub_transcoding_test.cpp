// Transcoding jobs with the real ffmpeg (behind a gate in a folder of the test's own, as the
// transcoder beside the library), with none, and through the exports before initialize.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "talkhub_test_support.h"
#include "transcoding/media_transcoding.h"

namespace {

using namespace std::chrono_literals;
using talkhub_test::eventually;
using talkhub_test::LogTail;
using talkhub_test::Service;
namespace fs = std::filesystem;

fs::path scratch() { return fs::temp_directory_path() / ("talkhub-transcoding-" + std::to_string(::getpid())); }

// One second of a tone as a WAV.
void makeWave(const fs::path& path) {
    const std::string command = "sox -n -r 8000 -c 1 -b 16 '" + path.string() + "' synth 1 sine 440";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

// Seconds of audio in a file, as ffprobe reads it; 0 when it cannot.
double duration(const fs::path& path) {
    const std::string command = "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[64] = {};
    const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr) ::pclose(pipe);
    return read ? std::atof(line) : 0;
}

class Transcoding : public Service {
protected:
    void SetUp() override {
        Service::SetUp();
        fs::remove_all(scratch());
        fs::create_directories(scratch() / "without");
        // A transcoder that waits for a gate file before it runs the real one, so a test
        // sees its jobs queued and running for as long as it needs, however slow the build.
        fs::create_directories(scratch() / "gated");
        const fs::path gated = scratch() / "gated" / "ffmpeg";
        std::ofstream(gated) << "#!/bin/sh\nwhile [ ! -e '" << gate().string()
                             << "' ]; do sleep 0.02; done\nexec /usr/bin/ffmpeg \"$@\"\n";
        fs::permissions(gated, fs::perms::owner_all);
    }
    static fs::path gate() { return scratch() / "gate"; }
    void TearDown() override {
        Service::TearDown();
        fs::remove_all(scratch());
    }
};

TEST_F(Transcoding, JobsRunInOrderAndASourceGoesOnlyAfterASuccessfulConversion) {
    LogTail log;
    const fs::path folder = scratch() / "Ärger mit Leerzeichen";
    fs::create_directories(folder);
    const fs::path first = folder / "quelle ä 1.wav";
    const fs::path corrupt = folder / "kaputt.wav";
    const fs::path third = folder / "drei.wav";
    makeWave(first);
    makeWave(third);
    std::ofstream(corrupt) << "RIFF, but nothing a decoder can read";
    {
        CMediaTranscoding transcoding((scratch() / "gated").string());
        // Queued from a thread of their own: when the worker takes the first job before the
        // second is queued, queueing waits (by design) for that conversion, which waits for
        // the gate this thread opens.
        auto queueing = std::async(std::launch::async, [&] {
            transcoding.addTranscodingTask(first.string(), (folder / "eins.mp3").string(), true);
            transcoding.addTranscodingTask(corrupt.string(), (folder / "kaputt.mp3").string(), true);
            transcoding.addTranscodingTask(third.string(), (folder / "drei.mp3").string(), false);
        });
        // Case folded over the whole text: "Ä" and "ä" match too.
        const std::string shouted = (scratch() / "äRGER MIT LEERZEICHEN" / "QUELLE Ä 1.WAV").string();
        ASSERT_TRUE(eventually([&] { return !transcoding.checkTranscodingFinish(shouted); }, 5s))
            << "queued or running";
        if (queueing.wait_for(2s) == std::future_status::ready) {
            EXPECT_FALSE(transcoding.checkTranscodingFinish(third.string())) << "queued";
        }
        EXPECT_TRUE(transcoding.checkTranscodingFinish((folder / "eins.mp3").string())) << "a target is no source";
        std::ofstream{gate()};
        queueing.get();
        ASSERT_TRUE(eventually([&] { return transcoding.checkTranscodingFinish(third.string()); }, 20s));
        EXPECT_TRUE(transcoding.checkTranscodingFinish(shouted)) << "done";
    }
    EXPECT_NEAR(duration(folder / "eins.mp3"), 1.0, 0.2) << "a path with blanks and umlauts reached it whole";
    EXPECT_FALSE(fs::exists(first)) << "converted, then deleted";
    EXPECT_TRUE(fs::exists(corrupt)) << "a failed conversion keeps its source";
    EXPECT_TRUE(log.contains("kaputt.wav] ended with status:[1], source kept"));
    EXPECT_TRUE(fs::exists(third)) << "not to be deleted";
    EXPECT_LE(fs::last_write_time(folder / "eins.mp3"), fs::last_write_time(folder / "drei.mp3")) << "in order";
}

TEST_F(Transcoding, TheTranscoderHoldsNothingButItsStandardStreams) {
    // A socket and a file opened without close-on-exec, as a host's or a library's may be.
    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int file = ::open((scratch() / "held.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(socket, 0);
    ASSERT_GE(file, 0);
    // A transcoder that writes down what each of its descriptors is.
    const fs::path listing = scratch() / "descriptors.txt";
    fs::create_directories(scratch() / "listing");
    const fs::path lister = scratch() / "listing" / "ffmpeg";
    std::ofstream(lister) << "#!/bin/sh\nfor fd in /proc/$$/fd/*; do readlink \"$fd\"; done > '" << listing.string()
                          << "'\n";
    fs::permissions(lister, fs::perms::owner_all);
    {
        CMediaTranscoding transcoding((scratch() / "listing").string());
        transcoding.addTranscodingTask((scratch() / "a.wav").string(), (scratch() / "a.mp3").string(), false);
        ASSERT_TRUE(eventually(
            [&] { return fs::exists(listing) && transcoding.checkTranscodingFinish((scratch() / "a.wav").string()); },
            20s));
    }
    std::ifstream in(listing);
    const std::string listed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(listed.find("/dev/null"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("socket:"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("held.txt"), std::string::npos) << listed;
    EXPECT_EQ(listed.find(".log"), std::string::npos) << "the library's log: " << listed;
    ::close(socket);
    ::close(file);
}

// PATH and the current folder, for as long as it lives.
class SearchPlaces {
public:
    SearchPlaces(const std::string& path, const fs::path& folder)
        : path_(std::getenv("PATH") != nullptr ? std::getenv("PATH") : ""), folder_(fs::current_path()) {
        ::setenv("PATH", path.c_str(), 1);
        fs::current_path(folder);
    }
    ~SearchPlaces() {
        ::setenv("PATH", path_.c_str(), 1);
        fs::current_path(folder_);
    }

private:
    std::string path_;
    fs::path folder_;
};

TEST_F(Transcoding, WithoutTheTranscoderEachJobIsLoggedAndTheQueueMovesOn) {
    LogTail log;
    const fs::path source = scratch() / "source.wav";
    makeWave(source);
    {
        // Neither beside the library nor on the PATH: a relative folder of it ("gated",
        // from the current folder) is never searched.
        const SearchPlaces nowhere((scratch() / "without").string() + ":.:gated", scratch());
        CMediaTranscoding transcoding((scratch() / "without").string());
        transcoding.addTranscodingTask(source.string(), (scratch() / "a.mp3").string(), true);
        transcoding.addTranscodingTask(source.string(), (scratch() / "b.mp3").string(), true);
        ASSERT_TRUE(eventually([&] { return transcoding.checkTranscodingFinish(source.string()); }, 20s));
    }
    const std::string line = "media transoding command:[" + (scratch() / "without" / "ffmpeg").string() + "] fail:[";
    EXPECT_EQ(log.count(line), 2U);
    EXPECT_TRUE(fs::exists(source));
}

TEST(TranscodingExports, WorkBeforeInitialize) {
    fs::create_directories(scratch());
    const fs::path source = scratch() / "before.wav";
    makeWave(source);
    mediaTranscoding(source.c_str(), (scratch() / "before.mp3").c_str(), true);
    mediaTranscoding(nullptr, "x.mp3", true);
    EXPECT_TRUE(eventually([&] { return checkMediaTranscodingFinish(source.c_str()); }, 20s));
    EXPECT_TRUE(checkMediaTranscodingFinish(nullptr));
    // The test program has no transcoder beside it: the system's, on the PATH, converts.
    EXPECT_FALSE(fs::exists(source));
    EXPECT_GT(duration(scratch() / "before.mp3"), 0.9);
    fs::remove_all(scratch());
}

}  // namespace
