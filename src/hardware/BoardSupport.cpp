#include "hardware/BoardSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace Hardware {
namespace BoardSupport {

std::atomic<BoardType> boardType{Unknown};

namespace {

// The paths are set once (tests) and read under the lock, so a reader never sees half a
// path; opening through c_str() keeps the temperature read free of heap allocation.
std::mutex pathMutex;
std::string issuePath = "/etc/issue";
std::string thermalZonePath = "/sys/class/thermal/thermal_zone0/temp";

// Reads up to size bytes of path into buffer (0-terminated); the count read, -1 on failure.
long ReadHead(const std::string& path, char* buffer, std::size_t size) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(pathMutex);
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) return -1;
    std::size_t total = 0;
    while (total < size) {
        const ssize_t n = ::read(fd, buffer + total, size - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    ::close(fd);
    buffer[total] = '\0';
    return static_cast<long>(total);
}

}  // namespace

void DetectBoardType() {
    boardType.store(Unknown);
    char text[1024 + 1];
    if (ReadHead(issuePath, text, sizeof(text) - 1) <= 0) return;
    // Binary bytes after a 0 byte are not looked at, as in a text read.
    if (std::strstr(text, "Raspbian") != nullptr) {
        boardType.store(Raspberry);
    } else if (std::strstr(text, "Phytec") != nullptr) {
        boardType.store(Phytec);
    }
}

BoardType GetBoardType() {
    if (boardType.load() == Unknown) DetectBoardType();
    return boardType.load();
}

const char* BoardTypeToString(BoardType type) {
    switch (type) {
        case Phytec:
            return "Phytec";
        case Raspberry:
            return "Raspberry";
        default:
            return "unknown";
    }
}

double GetCPUTemperature() {
    char text[16 + 1];
    if (ReadHead(thermalZonePath, text, sizeof(text) - 1) <= 0) return 0.0;
    // Millidegrees: a decimal integer followed by a line end.
    const long milli = std::strtol(text, nullptr, 10);
    return static_cast<double>(milli) / 1000.0;
}

void SetIssuePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(pathMutex);
    issuePath = path;
}

void SetThermalZonePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(pathMutex);
    thermalZonePath = path;
}

std::string GetIssuePath() {
    std::lock_guard<std::mutex> lock(pathMutex);
    return issuePath;
}

std::string GetThermalZonePath() {
    std::lock_guard<std::mutex> lock(pathMutex);
    return thermalZonePath;
}

}  // namespace BoardSupport
}  // namespace Hardware
