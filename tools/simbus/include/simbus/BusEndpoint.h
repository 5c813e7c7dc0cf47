#pragma once

// One endpoint on the virtual CAN bus with a reader thread of its own. The thread waits
// for frames (at most pollMs at a time), hands each one to the frame handler, calls the
// tick handler after every wait and sends what both put into their output list. The owner
// keeps its own state and lock; the handlers run on the reader thread.

#include "platform/CanSocket.h"

#include <linux/can.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace SimBus {

using Clock = std::chrono::steady_clock;

class BusEndpoint {
public:
    using FrameHandler =
        std::function<void(const can_frame& frame, Clock::time_point now, std::vector<can_frame>& out)>;
    using TickHandler = std::function<void(Clock::time_point now, std::vector<can_frame>& out)>;

    // onStopped runs on the reader thread when it ends (Stop, or the hub went away).
    BusEndpoint(int pollMs, FrameHandler onFrame, TickHandler onTick, std::function<void()> onStopped);
    ~BusEndpoint();  // Stop()
    BusEndpoint(const BusEndpoint&) = delete;
    BusEndpoint& operator=(const BusEndpoint&) = delete;

    // Attaches to the hub, counts as running from then on, calls onAttached (which may
    // send already) and starts the reader thread. 0 or an errno value (EBUSY while a
    // reader thread exists).
    int Start(const std::string& hubPath, const std::function<void()>& onAttached);
    void Stop();
    // True while attached; false after Stop or when the hub went away.
    bool IsRunning() const { return running.load(); }
    // Sends every frame; ENOTCONN when not running, else 0 or the first error.
    int SendAll(const std::vector<can_frame>& frames);

private:
    void ReadLoop();

    const int pollMs;
    FrameHandler onFrame;
    TickHandler onTick;
    std::function<void()> onStopped;
    Platform::CanSocket socket;
    std::thread reader;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
};

// Waits until condition holds, re-checking it whenever changed is notified and at least
// every pollMs; the condition is called without lock held. False after timeout.
bool WaitUntil(std::mutex& lock, std::condition_variable& changed, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout, int pollMs);

}  // namespace SimBus
