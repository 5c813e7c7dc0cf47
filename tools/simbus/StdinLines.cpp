#include "simbus/StdinLines.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace SimBus {

void StdinLines::Poll(int timeoutMs, const std::function<void(const std::string&)>& run) {
    if (!open) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return;
    }
    pollfd in{0, POLLIN, 0};
    if (::poll(&in, 1, timeoutMs) <= 0) return;
    char buffer[256];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) {
        open = n < 0 && (errno == EINTR || errno == EAGAIN);
        return;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        run(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
}

}  // namespace SimBus
