// Keeps the service alive for the socket callbacks that are still running.
//
// Clearing a socket's callbacks from another thread waits for a running call (the network
// library guarantees it), so the service's destructor is safe for the socket it still
// holds. But a callback may drop its own socket (a redirect, a late answer after a logout,
// a broken connection) and go on running code of the service after that; the destructor
// then holds no socket whose clearing would wait for it. Every callback the service
// installs on its signalling socket therefore runs inside a Scope, and the destructor,
// once no socket of the service can start a new call, waits here until the count is 0.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

class CallbacksInFlight {
public:
    class Scope {
    public:
        explicit Scope(std::atomic<int>& count) : count_(count) { ++count_; }
        ~Scope() { --count_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::atomic<int>& count_;
    };

    // Entered first thing in a callback; left as its very last step.
    Scope enter() { return Scope(count_); }

    void waitUntilIdle() const {
        while (count_ != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    std::atomic<int> count_{0};
};
