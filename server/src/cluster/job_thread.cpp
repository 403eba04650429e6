#include "cluster/job_thread.h"

#include <pthread.h>

namespace talkhub_server {

void JobThread::start(Beat beat, std::function<void()> last) {
    beat_ = std::move(beat);
    last_ = std::move(last);
    {
        std::lock_guard guard(lock_);
        stopping_ = false;
    }
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), name_.c_str());
        run();
    });
}

void JobThread::stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool JobThread::queue(std::function<void()> job, bool bounded) {
    {
        std::lock_guard guard(lock_);
        if (stopping_ || (bounded && jobs_.size() >= bound_)) return false;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

// The beat comes before waiting jobs once it is due, so that a queue kept full never
// delays it by more than the job under way.
void JobThread::run() {
    auto nextBeat = std::chrono::steady_clock::now();
    std::unique_lock guard(lock_);
    while (!stopping_) {
        const bool beatDue = beat_.job && std::chrono::steady_clock::now() >= nextBeat;
        if (beatDue) {
            guard.unlock();
            beat_.job();
            guard.lock();
            nextBeat = std::chrono::steady_clock::now() + beat_.every;
        } else if (!jobs_.empty()) {
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            guard.unlock();
            job();
            guard.lock();
        } else if (beat_.job) {
            wake_.wait_until(guard, nextBeat);
        } else {
            wake_.wait(guard);
        }
    }
    guard.unlock();
    if (last_) last_();
}

}  // namespace talkhub_server
