#include "simbus/BusEndpoint.h"

#include <cerrno>
#include <utility>

namespace SimBus {

BusEndpoint::BusEndpoint(int pollMs_, FrameHandler onFrame_, TickHandler onTick_, std::function<void()> onStopped_)
    : pollMs(pollMs_),
      onFrame(std::move(onFrame_)),
      onTick(std::move(onTick_)),
      onStopped(std::move(onStopped_)),
      socket(Platform::CanSocket::Backend::VirtualHub) {}

BusEndpoint::~BusEndpoint() { Stop(); }

int BusEndpoint::Start(const std::string& hubPath, const std::function<void()>& onAttached) {
    if (running.load() || reader.joinable()) {
        return EBUSY;
    }
    socket.SetBackend(Platform::CanSocket::Backend::VirtualHub, hubPath);
    const int rc = socket.Open("can0");
    if (rc != 0) {
        socket.Close();
        return rc;
    }
    stopRequested.store(false);
    running.store(true);
    if (onAttached) {
        onAttached();
    }
    reader = std::thread(&BusEndpoint::ReadLoop, this);
    return 0;
}

void BusEndpoint::Stop() {
    stopRequested.store(true);
    if (reader.joinable()) {
        reader.join();
    }
    socket.Close();
    running.store(false);
}

void BusEndpoint::ReadLoop() {
    std::vector<can_frame> out;
    out.reserve(64);
    while (!stopRequested.load()) {
        const int ready = socket.WaitReadable(pollMs);
        if (ready < 0 && ready != -EINTR) {
            break;
        }
        if (ready > 0) {
            can_frame frame{};
            const int rc = socket.Read(&frame);
            if (rc > 0) {
                onFrame(frame, Clock::now(), out);
            } else if (rc != -EBADMSG && rc != -EINTR && rc != -EAGAIN) {
                break;  // the hub went away
            }
        }
        onTick(Clock::now(), out);
        if (!out.empty()) {
            SendAll(out);
            out.clear();
        }
    }
    running.store(false);
    if (onStopped) {
        onStopped();
    }
}

int BusEndpoint::SendAll(const std::vector<can_frame>& frames) {
    if (!running.load()) {
        return ENOTCONN;
    }
    int first = 0;
    for (const can_frame& frame : frames) {
        const int rc = socket.Write(frame);
        if (rc != 0 && first == 0) {
            first = rc;
        }
    }
    return first;
}

bool WaitUntil(std::mutex& lock, std::condition_variable& changed, const std::function<bool()>& condition,
               std::chrono::milliseconds timeout, int pollMs) {
    const auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= end) {
            return condition();
        }
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(pollMs));
    }
    return true;
}

}  // namespace SimBus
