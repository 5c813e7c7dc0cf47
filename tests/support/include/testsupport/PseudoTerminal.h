#pragma once

// A pseudo-terminal that plays the far end of a serial line: the code under test opens
// SlavePath() as its device, the test writes and reads the master side. The slave side is
// also held open here (raw) so that the code under test closing its descriptor is no
// hang-up and nothing is echoed back before it configures the line.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name == nullptr) return;
        slavePath_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY);
        termios raw{};
        if (slave_ >= 0 && tcgetattr(slave_, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(slave_, TCSANOW, &raw);
        }
    }
    ~PseudoTerminal() {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool IsOpen() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }

    // Writes all bytes (false when the line is full or closed).
    bool Write(const std::vector<std::uint8_t>& bytes) const {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // What the far end has written so far.
    std::vector<std::uint8_t> ReadAvailable() const {
        std::vector<std::uint8_t> bytes;
        std::uint8_t buffer[1024];
        for (;;) {
            const ssize_t n = read(master_, buffer, sizeof(buffer));
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    // Reads until at least count bytes came or timeoutMs passed.
    std::vector<std::uint8_t> ReadAtLeast(std::size_t count, int timeoutMs) const {
        std::vector<std::uint8_t> bytes;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
            const std::vector<std::uint8_t> more = ReadAvailable();
            bytes.insert(bytes.end(), more.begin(), more.end());
            if (bytes.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return bytes;
    }

    // Descriptors of this process open on the slave device, the one held here included.
    int DescriptorsOnSlave() const {
        int count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(entry.path(), linkError).string() == slavePath_) ++count;
        }
        return count;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace TestSupport
