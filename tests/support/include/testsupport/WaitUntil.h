#pragma once

// Polling wait for tests and benches (header-only, no test framework).

#include <chrono>
#include <functional>
#include <thread>

namespace TestSupport {

// Checks condition every pollMs until it holds; false when it still does not once timeoutMs
// have passed.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pollMs = 2) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return condition();
}

}  // namespace TestSupport
