// Microphone capture through the wave-input layer over ALSA, from the private microphone
// of capture_source.h: order, size and pace of the buffers, a second open, a close racing
// the callbacks, a machine without a microphone, and a microphone unplugged and plugged in
// again.
#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "capture_source.h"
#include "device/audio_device.h"
#include "server_test_support.h"
#include "sound_server.h"
#include "speech_sample.h"
#include "talkhub_test_support.h"

// While set, every read of a capture device fails as an unplugged USB headset's does. This
// definition stands in front of ALSA's own for the whole test program, and passes every
// read through to it otherwise.
std::atomic<bool> headsetUnplugged{false};

extern "C" snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
    using Read = snd_pcm_sframes_t (*)(snd_pcm_t*, void*, snd_pcm_uframes_t);
    static const auto alsaRead = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "snd_pcm_readi"));
    if (headsetUnplugged) return -ENODEV;
    return alsaRead(pcm, buffer, size);
}

namespace {

using namespace std::chrono_literals;
using talkhub_test::HostEvent;
using talkhub_test::HostEvents;
using talkhub_test::LogTail;
using talkhub_test::Service;

// What a capture handler received.
class Received {
public:
    CAudioDevice::DataHandler handler() {
        return [this](const unsigned char* data, unsigned int length) {
            std::lock_guard lock(mutex_);
            lengths_.push_back(length);
            const auto* samples = reinterpret_cast<const int16_t*>(data);
            pcm_.insert(pcm_.end(), samples, samples + length / 2);
            changed_.notify_all();
        };
    }

    bool waitFor(std::size_t buffers, std::chrono::milliseconds wait = 5000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, wait, [&] { return lengths_.size() >= buffers; });
    }

    std::size_t buffers() {
        std::lock_guard lock(mutex_);
        return lengths_.size();
    }

    std::vector<unsigned int> lengths() {
        std::lock_guard lock(mutex_);
        return lengths_;
    }

    std::vector<int16_t> pcm() {
        std::lock_guard lock(mutex_);
        return pcm_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned int> lengths_;
    std::vector<int16_t> pcm_;
};

using Capture = Service;

TEST_F(Capture, BuffersArriveWholeAndInOrderAtTheMicrophonesPace) {
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    capture_source::speak(speech);
    CAudioDevice device;
    Received received;
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(device.openRecord(received.handler()), 0);
    ASSERT_TRUE(received.waitFor(100));
    const auto elapsed = std::chrono::steady_clock::now() - opened;
    device.closeRecord();
    capture_source::speak({});

    for (unsigned int length : received.lengths()) ASSERT_EQ(length, CAudioDevice::kCaptureBufferSize);
    // 100 buffers of 20 ms: a file that could be read at once still comes at 2 s of audio
    // per 2 s.
    EXPECT_GE(elapsed, 1900ms);
    const std::vector<int16_t> heard = received.pcm();
    EXPECT_GT(speech_sample::alignedCorrelation(speech, heard, 0), 0.99) << "buffers out of order or altered";
}

TEST_F(Capture, ASecondOpenReplacesTheFirstAndNothingIsDeliveredAfterClose) {
    CAudioDevice device;
    Received first;
    Received second;
    ASSERT_EQ(device.openRecord(first.handler()), 0);
    ASSERT_TRUE(first.waitFor(3));
    ASSERT_EQ(device.openRecord(second.handler()), 0);
    const std::size_t before = first.buffers();
    ASSERT_TRUE(second.waitFor(3));
    EXPECT_EQ(first.buffers(), before) << "the first handler after the second open";

    // Closing while a callback runs (slow handlers widen the window) must leave no call
    // behind once closeRecord returned.
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> closed{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
        const auto pause = std::chrono::milliseconds(round % 3);
        ASSERT_EQ(device.openRecord([&](const unsigned char*, unsigned int) {
            ++calls;
            std::this_thread::sleep_for(pause);
            if (closed) ++late;
        }),
                  0);
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (calls < 1 + round % 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
        EXPECT_GE(calls, 1) << "round " << round;
        device.closeRecord();
        closed = true;
        std::this_thread::sleep_for(25ms);
        EXPECT_EQ(late, 0) << "round " << round;
    }
}

TEST_F(Capture, WithoutAMicrophoneOpenAndLoginReportTheSystemsCode) {
    CAudioDevice device;
    EXPECT_EQ(device.openRecord({}), -2) << "an empty handler";

    capture_source::setPresent(false);
    LogTail log;
    Received received;
    const int result = device.openRecord(received.handler());
    EXPECT_EQ(static_cast<unsigned int>(result), 0xC0000000U | MMSYSERR_BADDEVICEID);
    EXPECT_TRUE(log.contains("[CAudioDevice::openRecord] open wave input fail:[2]."));

    server_test::RunningServer server;
    setServerInfo("127.0.0.1", server.tcpPort());
    ASSERT_EQ(login("alice", "alice", talkhub_test::onLoginResult), 0);
    auto done = HostEvents::instance().take(HostEvent::kLogin);
    capture_source::setPresent(true);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(static_cast<unsigned int>(done->value), 0xC0000000U | MMSYSERR_BADDEVICEID);
    EXPECT_EQ(done->value, TALKHUB_LOGIN_NO_CAPTURE_DEVICE);
    EXPECT_TRUE(TALKHUB_LOGIN_CAPTURE_FAILED(done->value));
    EXPECT_FALSE(TALKHUB_LOGIN_CAPTURE_FAILED(TALKHUB_LOGIN_UNKNOWN_ACCOUNT)) << "a refusal is no device failure";
    EXPECT_TRUE(log.contains("[CVoiceTalk::onLoginAck] open local audio record fail:["));
}

// The processor time (user and system, in clock ticks) of this process's thread of that name.
long threadTicks(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string taskName;
        std::getline(comm, taskName);
        if (taskName != name) continue;
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The fields after the name, which ends at the last ')': utime and stime are 12th and 13th.
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int index = 1; index <= 13 && fields >> field; ++index) {
            if (index >= 12) ticks += std::stol(field);
        }
        return ticks;
    }
    return -1;
}

TEST_F(Capture, AnUnpluggedMicrophoneCostsNoProcessorAndCaptureResumesWhenItIsBack) {
    CAudioDevice device;
    Received received;
    ASSERT_EQ(device.openRecord(received.handler()), 0);
    ASSERT_TRUE(received.waitFor(5));

    LogTail log;
    capture_source::setPresent(false);
    headsetUnplugged = true;
    std::this_thread::sleep_for(200ms);
    const long before = threadTicks("talkhub-capture");
    ASSERT_GE(before, 0);
    const std::size_t buffersBefore = received.buffers();
    std::this_thread::sleep_for(2s);
    const long spent = threadTicks("talkhub-capture") - before;
    std::printf("capture thread without its microphone: %ld clock ticks of processor time in 2 s (%ld a second)\n",
                spent, ::sysconf(_SC_CLK_TCK));
    EXPECT_LE(spent, ::sysconf(_SC_CLK_TCK) / 10) << "ticks of processor time in 2 s without a microphone";
    EXPECT_LE(received.buffers(), buffersBefore + 1) << "nothing is captured from a missing microphone";

    capture_source::setPresent(true);
    headsetUnplugged = false;
    EXPECT_TRUE(received.waitFor(buffersBefore + 10, 4000ms)) << "capture resumes without a new open";
    device.closeRecord();
    EXPECT_EQ(log.count("capture device [default] failed:[No such device]"), 1U) << "one line per episode";
    EXPECT_EQ(log.count("capture device [default] back after ["), 1U);
}

TEST_F(Capture, ASoundServersMicrophoneIsReadAsItDelivers) {
    SoundServer sound;
    ASSERT_TRUE(sound.running()) << "pulseaudio and pactl are needed";
    const std::vector<int16_t> speech = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(speech.size(), 8000U * 4) << "espeak-ng and sox are needed";
    const std::string wave = (capture_source::folder() / "speech.wav").string();
    ASSERT_TRUE(speech_sample::writeWave(wave, speech_sample::kSentence));
    // "default" is the sound server, through ALSA's pulse plugin, as on a desktop.
    const std::string config = "pcm.!default {\n  type pulse\n  server \"" + sound.address() + "\"\n}\n";
    capture_source::replace(capture_source::configFile(), config.data(), config.size());

    LogTail log;
    CAudioDevice device;
    Received received;
    const int opened = device.openRecord(received.handler());
    capture_source::setPresent(true);
    ASSERT_EQ(opened, 0);
    sound.play(wave, 2);
    const bool captured = received.waitFor(250, 10s);
    device.closeRecord();
    ASSERT_TRUE(captured);
    EXPECT_TRUE(log.contains("capture device [default] type:[IOPLUG] paced:[0]."))
        << "a sound server keeps its own time: nothing else paces it";
    std::vector<int16_t> twice = speech;
    twice.insert(twice.end(), speech.begin(), speech.end());
    const double match = speech_sample::envelopeCorrelation(twice, received.pcm());
    std::printf("speech match through the sound server: %.3f\n", match);
    EXPECT_GT(match, 0.8);
}

}  // namespace
