// One thread of a node's cluster link, with a bounded queue of jobs, each a NATS round trip
// the network thread must not wait for, and optionally a beat: a job of its own that runs
// every `every` (the first at once) and never waits behind more than the job under way.
//
// start() starts the thread; stop() lets the job under way finish, drops the rest, runs
// `last` on the thread and joins it. Jobs queued after stop() are refused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace talkhub_server {

class JobThread {
public:
    // `name` is the thread's, at most 15 characters; `bound` the jobs that may wait.
    JobThread(std::string name, std::size_t bound) : name_(std::move(name)), bound_(bound) {}
    ~JobThread() { stop(); }
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    struct Beat {
        std::function<void()> job;
        std::chrono::milliseconds every{0};
    };
    void start() { start(Beat{}, {}); }
    void start(Beat beat, std::function<void()> last);
    void stop();

    // False when the job is refused: the thread stops, or `bounded` and the queue is full.
    // An unbounded job is one whose loss would leave state behind (a floor's release);
    // there are never more of those than floors.
    bool queue(std::function<void()> job, bool bounded = true);

private:
    void run();

    const std::string name_;
    const std::size_t bound_;
    Beat beat_;
    std::function<void()> last_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = true;
};

}  // namespace talkhub_server
