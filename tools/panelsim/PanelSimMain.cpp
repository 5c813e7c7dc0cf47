// belvanto-panelsim: plays the serial operator panel on a pseudo-terminal.
//
//   belvanto-panelsim [--link PATH] [--rate HZ]
//
// Opens a pseudo-terminal and prints its slave path ("panel on /dev/pts/N"); with --link
// it also makes PATH a symbolic link to it (removed again at the end), so a robot file's
// "DisplayPort" can name a fixed path. It streams 17-byte input frames (default 40 per
// second): FF 00, a spare byte, mode, override, nine axes (128 at rest), the button and
// two spare bytes. Lines on standard input change them:
//
//   axis I V       axis I (0..8) to V (0..255)
//   mode N         panel mode (0..255)
//   override N     override knob in percent
//   button N       button code N in the next frame only (a press)
//
// The controller's output frames are decoded and printed: "message: ...", "file: ..."
// and, at most once a second and only when it changed, "position: ...". Runs until SIGINT
// or SIGTERM; the end of standard input only stops reading it.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopRequested = 0;
void OnStop(int) { stopRequested = 1; }

int Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--link PATH] [--rate HZ]\n", program);
    return 2;
}

// What the panel sends; frames are built from it.
struct PanelInput {
    int mode = 0;
    int override = 100;
    std::array<int, 9> axes{128, 128, 128, 128, 128, 128, 128, 128, 128};
    int button = 0;  // cleared once sent

    std::array<std::uint8_t, 17> Frame() const {
        std::array<std::uint8_t, 17> f{};
        f[0] = 0xFF;
        f[1] = 0x00;
        f[3] = static_cast<std::uint8_t>(mode);
        f[4] = static_cast<std::uint8_t>(override);
        for (int i = 0; i < 9; ++i) f[5 + i] = static_cast<std::uint8_t>(axes[i]);
        f[14] = static_cast<std::uint8_t>(button);
        return f;
    }
};

bool ParseInt(const std::string& text, int low, int high, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

void HandleLine(const std::string& line, PanelInput& input) {
    std::istringstream in(line);
    std::string word, a, b;
    in >> word >> a >> b;
    int index = 0, value = 0;
    if (word.empty()) return;
    if (word == "axis" && ParseInt(a, 0, 8, index) && ParseInt(b, 0, 255, value)) {
        input.axes[static_cast<std::size_t>(index)] = value;
    } else if (word == "mode" && ParseInt(a, 0, 255, value)) {
        input.mode = value;
    } else if (word == "override" && ParseInt(a, 0, 255, value)) {
        input.override = value;
    } else if (word == "button" && ParseInt(a, 0, 255, value)) {
        input.button = value;
    } else {
        std::fprintf(stderr, "belvanto-panelsim: not understood: %s\n", line.c_str());
        return;
    }
    std::printf("sent: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string TerminatedText(const std::uint8_t* at, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size && at[i] != 0x00; ++i) text.push_back(static_cast<char>(at[i]));
    return text;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int Word(const std::uint8_t* at) { return (at[0] << 8) | at[1]; }

std::string PositionText(const std::uint8_t* f) {
    char buffer[512];
    int used = std::snprintf(buffer, sizeof(buffer), "position:");
    for (int i = 0; i < 9 && used < static_cast<int>(sizeof(buffer)); ++i) {
        used += std::snprintf(buffer + used, sizeof(buffer) - static_cast<std::size_t>(used), " %.1f",
                              (Word(f + 3 + 4 * i) - 3600) / 10.0);
    }
    if (used < static_cast<int>(sizeof(buffer))) {
        std::snprintf(buffer + used, sizeof(buffer) - static_cast<std::size_t>(used),
                      " | supply %d current %d override %d kin %d run %d point %d of %d | %s | ref %d | %s",
                      Word(f + 39), Word(f + 41) * 10, f[43], f[44], f[46], Word(f + 47), Word(f + 49),
                      Trimmed(std::string(reinterpret_cast<const char*>(f + 52), 20)).c_str(), f[72],
                      Trimmed(std::string(reinterpret_cast<const char*>(f + 81), 20)).c_str());
    }
    return buffer;
}

// Decodes the controller's output frames and prints them.
class OutputDecoder {
public:
    void Add(const std::uint8_t* data, std::size_t n) {
        bytes.insert(bytes.end(), data, data + n);
        std::size_t at = 0;
        while (bytes.size() - at >= 3) {
            const std::size_t size = FrameSize(bytes.data() + at);
            if (size == 0) {
                ++at;  // not a frame start: resynchronise
                continue;
            }
            if (bytes.size() - at < size) break;
            const std::uint8_t* f = bytes.data() + at;
            if (f[size - 2] != 'B' || f[size - 1] != 0xFF) {
                ++at;
                continue;
            }
            Print(f);
            at += size;
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }

private:
    static std::size_t FrameSize(const std::uint8_t* f) {
        if (f[0] != 0xFF) return 0;
        if (f[1] == 0x02 && f[2] == 0x22) return 38;
        if (f[1] == 0x01 && f[2] == 0x14) return 25;
        if (f[1] == 0x00 && f[2] == 0x1C) return 103;
        return 0;
    }

    void Print(const std::uint8_t* f) {
        if (f[1] == 0x02) {
            const std::string text = TerminatedText(f + 3, 33);
            // The controller repeats a message while it is shown: print it once.
            if (text != lastMessage || positionSinceMessage) std::printf("message: %s\n", text.c_str());
            lastMessage = text;
            positionSinceMessage = false;
        } else if (f[1] == 0x01) {
            std::printf("file: %s\n", TerminatedText(f + 3, 20).c_str());
        } else {
            positionSinceMessage = true;
            const std::string text = PositionText(f);
            const auto now = Clock::now();
            if (text == lastPosition || now - lastPositionPrint < std::chrono::seconds(1)) return;
            lastPosition = text;
            lastPositionPrint = now;
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }

    std::vector<std::uint8_t> bytes;
    std::string lastMessage;
    bool positionSinceMessage = true;
    std::string lastPosition;
    Clock::time_point lastPositionPrint{};
};

}  // namespace

int main(int argc, char** argv) {
    std::string linkPath;
    int rate = 40;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            linkPath = argv[++i];
        } else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
            if (!ParseInt(argv[++i], 1, 1000, rate)) return Usage(argv[0]);
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            Usage(argv[0]);
            return 0;
        } else {
            return Usage(argv[0]);
        }
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        std::fprintf(stderr, "belvanto-panelsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string slavePath = ptsname(master);
    // Held open so that the controller closing its side is no hang-up, and raw at once so
    // that frames written before the controller configures the line are not echoed back.
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
        std::fprintf(stderr, "belvanto-panelsim: cannot open %s: %s\n", slavePath.c_str(), std::strerror(errno));
        return 1;
    }
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "belvanto-panelsim: %s exists and is no link; not replaced\n", linkPath.c_str());
                return 1;
            }
            unlink(linkPath.c_str());
        }
        if (symlink(slavePath.c_str(), linkPath.c_str()) != 0) {
            std::fprintf(stderr, "belvanto-panelsim: cannot link %s: %s\n", linkPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("belvanto-panelsim: panel on %s%s%s\n", slavePath.c_str(), linkPath.empty() ? "" : ", linked as ",
                linkPath.c_str());
    std::fflush(stdout);

    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    PanelInput input;
    OutputDecoder decoder;
    std::string pendingLine;
    bool readInput = true;
    unsigned long long framesSent = 0, framesDropped = 0;
    const auto period = std::chrono::microseconds(1000000 / rate);
    auto nextFrame = Clock::now();

    while (stopRequested == 0) {
        const auto now = Clock::now();
        if (now >= nextFrame) {
            const auto frame = input.Frame();
            // Nobody reading fills the line: the frame is dropped, as on a serial line.
            if (write(master, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) {
                ++framesSent;
                input.button = 0;
            } else {
                ++framesDropped;
            }
            nextFrame += period;
            if (nextFrame < now) nextFrame = now + period;
            continue;
        }
        const int waitMs = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(nextFrame - now).count());
        pollfd fds[2] = {{master, POLLIN, 0}, {readInput ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, waitMs) < 0) continue;  // EINTR: check the stop flag
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint8_t buffer[512];
            const ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0) decoder.Add(buffer, static_cast<std::size_t>(n));
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[256];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n <= 0) {
                readInput = false;
            } else {
                pendingLine.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = pendingLine.find('\n')) != std::string::npos;) {
                    HandleLine(pendingLine.substr(0, end), input);
                    pendingLine.erase(0, end + 1);
                }
            }
        }
    }

    if (!linkPath.empty()) unlink(linkPath.c_str());
    std::printf("belvanto-panelsim: stopped after %llu frames (%llu dropped)\n", framesSent, framesDropped);
    close(slave);
    close(master);
    return 0;
}
