#include "control/LatestJobWorker.h"

#include "core/LogSingleton.h"

#include <exception>
#include <utility>

LatestJobWorker::LatestJobWorker(int slots) : pending(static_cast<size_t>(slots > 0 ? slots : 1)) {}

LatestJobWorker::~LatestJobWorker() { Stop(); }

void LatestJobWorker::Post(int slot, std::function<void()> job) {
    if (slot < 0 || slot >= static_cast<int>(pending.size()) || !job) return;
    std::lock_guard<std::mutex> lock(mutex);
    pending[static_cast<size_t>(slot)] = std::move(job);
    if (!thread.joinable()) {
        const std::uint64_t started = generation;
        thread = std::thread([this, started] { Run(started); });
    }
    wake.notify_all();
}

void LatestJobWorker::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++generation;
        for (auto& job : pending) job = nullptr;
        ending = std::move(thread);
    }
    wake.notify_all();
    // A job that stops the worker it runs on leaves its own thread to end by itself.
    if (ending.joinable()) {
        if (ending.get_id() == std::this_thread::get_id()) {
            ending.detach();
        } else {
            ending.join();
        }
    }
}

void LatestJobWorker::Run(std::uint64_t started) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        std::function<void()> job;
        wake.wait(lock, [&] {
            if (generation != started) return true;
            for (auto& slot : pending) {
                if (slot) {
                    job = std::move(slot);
                    slot = nullptr;
                    return true;
                }
            }
            return false;
        });
        if (generation != started) return;
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            LogSingleton::instance()->addFormat("LatestJobWorker: job ended by an exception: %s", e.what());
        }
        lock.lock();
    }
}
