#include "control/DisplayEDIP.h"

#include "core/LogSingleton.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

void WaitUs(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

std::uint8_t Byte(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

}  // namespace

DisplayEDIP::~DisplayEDIP() {
    if (fd >= 0) ::close(fd);
}

// ------------------------------------------------------------------------------ transport

int DisplayEDIP::open_port(const std::string& path) {
    busy = true;
    int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (descriptor >= 0) {
        const int flags = fcntl(descriptor, F_GETFL, 0);
        termios config{};
        const bool configured =
            flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0 && tcgetattr(descriptor, &config) == 0 &&
            [&] {
                cfmakeraw(&config);  // raw input and output, 8 data bits, no parity
                config.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
                config.c_cflag |= CLOCAL | CREAD;
                config.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
                config.c_cc[VMIN] = 0;
                config.c_cc[VTIME] = 0;
                return cfsetispeed(&config, B115200) == 0 && cfsetospeed(&config, B115200) == 0;
            }() &&
            tcsetattr(descriptor, TCSANOW, &config) == 0;
        if (!configured) {
            ::close(descriptor);
            descriptor = -1;
        }
    }
    if (descriptor >= 0) {
        if (fd >= 0) ::close(fd);
        fd = descriptor;
        connected = true;
        Log()->add("Display: Successfully connected to " + path);
    } else {
        Log()->addError("Display: unable to open " + path);
    }
    busy = false;
    return descriptor;
}

void DisplayEDIP::SendData(const std::uint8_t* payload, std::size_t n) {
    if (!connected || n == 0 || n > 255) return;
    WaitUs(500);
    std::uint8_t packet[255 + 5];
    packet[0] = 0x11;
    packet[1] = static_cast<std::uint8_t>(n);
    unsigned sum = 0x11 + static_cast<unsigned>(n);
    for (std::size_t i = 0; i < n; ++i) {
        packet[2 + i] = payload[i];
        sum += payload[i];
    }
    packet[2 + n] = static_cast<std::uint8_t>(sum & 0xFF);
    packet[3 + n] = 0x0A;
    packet[4 + n] = 0x0D;
    if (::write(fd, packet, n + 5) < 0) WaitUs(2000);
}

void DisplayEDIP::Send(std::initializer_list<std::uint8_t> payload) { SendData(payload.begin(), payload.size()); }

void DisplayEDIP::SendKey(char kind, int x1, int y1, int x2, int y2, int down, int up, const char* text) {
    std::vector<std::uint8_t> payload{ESC, 'A', static_cast<std::uint8_t>(kind), Byte(x1), Byte(y1), Byte(x2),
                                      Byte(y2), Byte(down), Byte(up)};
    for (const char* c = text; *c != '\0'; ++c) payload.push_back(static_cast<std::uint8_t>(*c));
    payload.push_back(0x00);
    SendData(payload.data(), payload.size());
}

void DisplayEDIP::SendText(int x, int y, const std::string& text) {
    std::vector<std::uint8_t> payload{ESC, 'Z', 'C', Byte(x), Byte(y)};
    payload.insert(payload.end(), text.begin(), text.end());
    payload.push_back(0x00);
    SendData(payload.data(), payload.size());
}

void DisplayEDIP::readBuffer() {
    if (!connected) return;
    static const std::uint8_t request[] = {0x12, 0x01, 'S', 0x66};
    if (::write(fd, request, sizeof(request)) < 0) return;
    std::uint8_t reply[kReadSize];
    const ssize_t got = ::read(fd, reply, sizeof(reply));
    if (got <= 3) return;
    const std::size_t count = static_cast<std::size_t>(got);
    for (std::size_t i = 0; i + 3 <= count; ++i) {
        if (reply[i] != ESC) continue;
        // Only bytes that came: the sequence must end inside the reply.
        if (reply[i + 1] == 'A' && i + 3 < count) {
            TouchKey(reply[i + 3]);
        } else if (reply[i + 1] == 'B' && i + 4 < count) {
            const int bar = reply[i + 2];
            const int second = reply[i + 3];
            const int value = reply[i + 4];
            char line[64];
            std::snprintf(line, sizeof(line), "bar: %d %d %d", bar, second, value);
            LogSingleton::instance()->addConsole(line);
            commandCode = 33;
            floatArgument = static_cast<float>(value);
            override = value;
        }
    }
}

void DisplayEDIP::TouchKey(int code) {
    std::fill(std::begin(jogValues), std::end(jogValues), 0.0f);
    ShowScreen(code);
    switch (screen) {
        case SCREEN_ENABLE:
            if (code == 33) commandCode = 10;
            if (code == 35) commandCode = 11;
            if (code == 37) commandCode = 13;
            break;
        case SCREEN_JOG_JOINT:
            if (code >= 1 && code <= 11 && code % 2 == 1) activeJoint = (code - 1) / 2;
            if (code == 17) jogValues[activeJoint] = -100.0f;
            if (code == 18) jogValues[activeJoint] = 0.0f;
            if (code == 19) jogValues[activeJoint] = 100.0f;
            break;
        case SCREEN_PROGRAM:
            if (code == 53) commandCode = 2;
            if (code == 55) commandCode = 3;
            if (code == 57) commandCode = 4;
            break;
        default:
            break;
    }
}

void DisplayEDIP::ShowScreen(int key) {
    switch (key) {
        case 'q':
            clearDisplay();
            initGeneral();
            initEnable();
            SetOverride(override);
            screen = SCREEN_ENABLE;
            break;
        case 's':
            clearDisplay();
            initGeneral();
            initJogJoint();
            SetOverride(override);
            screen = SCREEN_JOG_JOINT;
            break;
        case 'u':
            clearDisplay();
            initGeneral();
            initProgram();
            SetOverride(override);
            screen = SCREEN_PROGRAM;
            break;
        default:
            break;
    }
}

// ------------------------------------------------------------------------------ cycle

void DisplayEDIP::Connect(const std::string& port) {
    open_port(port);
    jointCount = 6;
    startupCountdown = 30;
    if (!connected) return;
    busy = true;
    clearDisplay();
    Send({ESC, 'Z', 'F', 0x04});
    Send({ESC, 'A', 'E', 0x0B});
    Send({ESC, 'A', 'F', 0x04});
    sendStartUpMessage();
    busy = false;
}

void DisplayEDIP::update() {
    if (!connected || busy) return;
    aliveCounter = aliveCounter >= 7 ? 0 : aliveCounter + 1;
    if (startupCountdown > 0) {
        --startupCountdown;
        sendAliveSign(80, 80);
        if (startupCountdown == 0) {
            busy = true;
            clearDisplay();
            initGeneral();
            Send({ESC, 'A', 'P', 'q', 0x01});
            initEnable();
            SetOverride(override);
            busy = false;
        }
        return;
    }
    readBuffer();
    sendAliveSign(3, 3);
    sendStatus(20, 3);
    if (screen == SCREEN_JOG_JOINT) {
        for (int i = 0; i < kNrJogValues; ++i) sendDouble(jointValues[i], fieldPositions[i][0], fieldPositions[i][1]);
    }
}

void DisplayEDIP::SetValues(const DataTypes::RobotState& state) {
    std::copy(state.jointSet, state.jointSet + kNrJogValues, jointValues);
}

int DisplayEDIP::GetCommand() {
    const int code = commandCode;
    commandCode = 0;
    return code;
}

void DisplayEDIP::GetJogValues(float* values) const { std::copy(std::begin(jogValues), std::end(jogValues), values); }

// ------------------------------------------------------------------------------ screens

void DisplayEDIP::clearDisplay() {
    Send({ESC, 'T', 'A'});
    WaitUs(500);
    Send({ESC, 'A', 'L', 0x00, 0x01});
    WaitUs(500);
    Send({ESC, 'D', 'L'});
}

void DisplayEDIP::initGeneral() {
    Send({ESC, 'B', 'O', 0x01, 0x73, 0x05, 0x87, 0x64, 0x00, 0x64, 0x01, 0x01});
    Send({ESC, 'A', 'B', 0x01});
    Send({ESC, 'A', 'R', 0x01});
    SendKey('K', 0x8E, 0x00, 0xA5, 0x21, 'q', 'r', "E");
    SendKey('K', 0x8E, 0x22, 0xA5, 0x43, 's', 't', "J");
    SendKey('K', 0x8E, 0x44, 0xA5, 0x6B, 'u', 'v', "P");
}

void DisplayEDIP::initEnable() {
    SendKey('T', 5, 20, 47, 40, 33, 34, "CReset");
    SendKey('T', 5, 45, 47, 65, 35, 36, "CEnable");
    SendKey('T', 5, 70, 47, 90, 37, 38, "CZero");
}

void DisplayEDIP::initJogJoint() {
    static const int positions[kNrJogValues][2] = {{36, 23}, {36, 42}, {36, 61}, {94, 23}, {94, 42}, {94, 61}};
    for (int i = 0; i < kNrJogValues; ++i) {
        fieldPositions[i][0] = positions[i][0];
        fieldPositions[i][1] = positions[i][1];
    }
    Send({ESC, 'A', 'R', 0x02});
    SendKey('K', 0, 18, 20, 35, 1, 2, "CA1");
    SendKey('K', 0, 37, 20, 54, 3, 4, "CA2");
    SendKey('K', 0, 56, 20, 73, 5, 6, "CA3");
    SendKey('K', 55, 18, 75, 35, 7, 8, "CA4");
    SendKey('K', 55, 37, 75, 54, 9, 10, "CA5");
    SendKey('K', 55, 56, 75, 73, 11, 12, "CA6");
    Send({ESC, 'A', 'R', 0x00});
    SendKey('K', 0, 77, 47, 102, 17, 18, "C-");
    SendKey('K', 58, 77, 105, 102, 19, 20, "C+");
    SetActiveJoint(0);
}

void DisplayEDIP::initProgram() {
    SendKey('T', 5, 20, 47, 40, 49, 50, "CRefresh");
    SendKey('T', 5, 45, 47, 65, 51, 52, "CLoad");
    SendKey('T', 5, 80, 35, 95, 53, 54, "CStart");
    SendKey('T', 40, 80, 70, 95, 55, 56, "CPause");
    SendKey('T', 75, 80, 105, 95, 57, 58, "CStop");
}

void DisplayEDIP::SetOverride(int value) {
    value = std::min(255, std::max(0, value));
    Send({ESC, 'B', 'A', 0x01, Byte(value)});
    override = value;
}

void DisplayEDIP::SetActiveJoint(int joint) {
    joint = std::min(kNrJogValues - 1, std::max(0, joint));
    Send({ESC, 'A', 'P', Byte(2 * joint + 1), 0x01});
    activeJoint = joint;
}

void DisplayEDIP::sendStartUpMessage() {
    SendText(78, 32, " Tervane Robotics");
    SendText(78, 48, "Belvanto");
    WaitUs(1000);
    std::string version = Log()->get_softwareVersion().substr(0, 11);
    version.resize(11, ' ');
    SendText(80, 64, version);
}

void DisplayEDIP::sendStatus(int /*x*/, int /*y*/) {
    // The status field sits at a fixed place of every screen.
    SendText(0x40, 0x03, statusText);
}

void DisplayEDIP::sendAliveSign(int x, int y) {
    char c1 = 0;
    char c2 = 0;
    switch (aliveCounter) {
        case 0: c1 = '\\', c2 = '|'; break;
        case 2: c1 = '/'; break;
        case 4: c1 = '-'; break;
        case 6: c1 = '\\', c2 = '\\'; break;
        case 7: c1 = '-'; break;
        default: return;
    }
    Send({ESC, 'Z', 'C', Byte(x), Byte(y), static_cast<std::uint8_t>(c1), static_cast<std::uint8_t>(c2), 0x00});
}

void DisplayEDIP::sendDouble(float value, int x, int y) {
    char text[7];
    convertDtoC(value, text);
    Send({ESC, 'Z', 'C', Byte(x), Byte(y), static_cast<std::uint8_t>(text[0]), static_cast<std::uint8_t>(text[1]),
          static_cast<std::uint8_t>(text[2]), static_cast<std::uint8_t>(text[3]), static_cast<std::uint8_t>(text[4]),
          static_cast<std::uint8_t>(text[5]), 0x00});
}

void DisplayEDIP::convertDtoC(float value, char* out) {
    std::fill(out, out + 6, ' ');
    out[6] = '\0';
    if (!std::isfinite(value)) {
        out[3] = 'n', out[4] = '/', out[5] = 'a';
        return;
    }
    // Tenths in float, as typed values like 0.7 expect; limited to 9999 (999.9) before the
    // conversion to an integer.
    const float tenths = std::fabs(value) * 10.0f;
    const int n = tenths >= 9999.0f ? 9999 : static_cast<int>(tenths);
    out[5] = static_cast<char>('0' + n % 10);
    out[4] = '.';
    out[3] = static_cast<char>('0' + (n / 10) % 10);
    int first = 3;
    if (n / 100 > 0) {
        out[2] = static_cast<char>('0' + (n / 100) % 10);
        first = 2;
    }
    if (n / 1000 > 0) {
        out[1] = static_cast<char>('0' + (n / 1000) % 10);
        first = 1;
    }
    if (value < 0.0f) out[first - 1] = '-';
}
