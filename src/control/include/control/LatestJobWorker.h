#pragma once

// One owned thread that runs jobs for callers that must not wait (the Modbus listener).
// Jobs are kept per slot: a job posted while an older one of its slot has not begun
// replaces it, so only the latest request of a slot runs; slots are served in order.
//
// Threads: Post and Stop from any thread; the jobs run on the worker thread, one at a time.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class LatestJobWorker {
public:
    explicit LatestJobWorker(int slots);
    ~LatestJobWorker();
    LatestJobWorker(const LatestJobWorker&) = delete;
    LatestJobWorker& operator=(const LatestJobWorker&) = delete;

    // Starts the thread when none runs. A slot outside 0 .. slots-1 is ignored.
    void Post(int slot, std::function<void()> job);
    // Waits for a running job to end, drops the waiting ones and ends the thread; a later
    // Post starts a new one (at once, even while a Stop on another thread still waits).
    void Stop();

private:
    void Run(std::uint64_t started);

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::function<void()>> pending;  // per slot; empty: none
    // Bumped by Stop: a thread started before ends after its job, even when a Post started
    // the next one meanwhile.
    std::uint64_t generation = 0;
    std::thread thread;
};
