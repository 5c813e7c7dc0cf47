#include "control/Display4DS.h"

#include "core/LogSingleton.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

std::atomic<int> Display4DS::jogBias{30};

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

void WaitMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr std::uint8_t kFrameStart0 = 0xFF;
constexpr std::uint8_t kFrameStart1 = 0x00;
constexpr int kDetectAttempts = 50;

// Input frame layout.
constexpr std::size_t kModeByte = 3;
constexpr std::size_t kOverrideByte = 4;
constexpr std::size_t kFirstAxisByte = 5;
constexpr std::size_t kButtonByte = 14;

// Float to int without undefined behaviour: truncated, non-finite gives 0, saturated.
int TruncatedInt(float value) {
    if (!std::isfinite(value)) return 0;
    const double v = value;
    if (v >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (v <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

int Clamp16(long long value) { return static_cast<int>(std::min(65535LL, std::max(0LL, value))); }

void Put16(std::uint8_t* at, int value) {
    at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

// position × 10 + 3600, saturated to 16 bits; a non-finite position shows as 3600 (zero).
int PositionWord(float position) {
    if (!std::isfinite(position)) return 3600;
    const double word = static_cast<double>(position) * 10.0 + 3600.0;
    if (word <= 0.0) return 0;
    if (word >= 65535.0) return 65535;
    return static_cast<int>(word);
}

// Text cut to size - 1 characters, one 0x00, then blanks.
void PutTerminatedText(std::uint8_t* at, std::size_t size, const std::string& text) {
    std::memset(at, ' ', size);
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(at, text.data(), n);
    at[n] = 0x00;
}

std::uint8_t Mask(const bool* states, int base) {
    std::uint8_t mask = 0;
    for (int j = 0; j < 8; ++j) {
        if (states[base + j]) mask = static_cast<std::uint8_t>(mask | (1u << j));
    }
    return mask;
}

}  // namespace

Display4DS::Display4DS() {
    std::memset(programName, ' ', sizeof(programName));
    programName[0] = 'n';
    programName[1] = 'a';
}

Display4DS::~Display4DS() { CloseConnection(); }

void Display4DS::CloseConnection() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    connected = false;
    receivedCount = 0;
}

// ------------------------------------------------------------------------------ connecting

std::vector<std::string> Display4DS::CandidatePorts() {
    const char* configured = std::getenv(kPortsEnvironment);
    if (configured == nullptr) {
        return {"/dev/serial0", "/dev/ttyO0", "/dev/ttyO1", "/dev/ttyO2", "/dev/ttyO3"};
    }
    std::vector<std::string> ports;
    const std::string list = configured;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) ports.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return ports;
}

void Display4DS::Connect(const std::string& port) {
    LogSingleton* log = Log();
    log->add(" ");
    log->add("Display 4DS: Connecting...");
    CloseConnection();
    if (!port.empty()) fd = open_port(port);
    if (fd < 0) fd = detect_port();
    connected = fd >= 0;
    std::fill(std::begin(moduleTemperatures), std::end(moduleTemperatures), 33);
    for (int i = 0; i < 6; ++i) jogValues[i] = 0.0f;
    commandCode = 0;
    log->add(" ");
}

int Display4DS::detect_port() {
    Log()->add("Display 4DS: Detecting serial port");
    for (const std::string& path : CandidatePorts()) {
        const int descriptor = open_port(path);
        if (descriptor >= 0) return descriptor;
    }
    return -1;
}

int Display4DS::open_port(const std::string& path) {
    LogSingleton* log = Log();
    log->add("Display 4DS: Trying serial port " + path);
    const int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    WaitMs(100);
    if (descriptor < 0) {
        log->addError("Display 4DS: Port not available");
        return -1;
    }
    log->add("Display 4DS: Opened successfully. Configuring...");
    if (!isatty(descriptor)) {
        log->add("Error: device is not a tty...");
        ::close(descriptor);
        return -1;
    }

    termios config{};
    if (tcgetattr(descriptor, &config) < 0) {
        log->add("Display 4DS: Error: cannot get current tty configuration...");
        ::close(descriptor);
        return -1;
    }
    config.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | ICRNL | IXON);
    config.c_oflag = 0;
    config.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    config.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    config.c_cflag |= CS8 | CREAD | CLOCAL;
    config.c_cc[VMIN] = 0;
    config.c_cc[VTIME] = 0;
    if (cfsetispeed(&config, B115200) < 0 || cfsetospeed(&config, B115200) < 0) {
        log->add("Display 4DS: Error: cannot set baud rate...");
        ::close(descriptor);
        return -1;
    }
    if (tcsetattr(descriptor, TCSAFLUSH, &config) < 0) {
        log->add("Display 4DS: Error: cannot set new configuration...");
        ::close(descriptor);
        return -1;
    }
    WaitMs(100);
    log->add("Display 4DS: Port successfully configured, checking connection");

    // A panel streams input frames: look for their start, FF 00.
    bool previousWasStart = false;
    for (int attempt = 0; attempt < kDetectAttempts; ++attempt) {
        std::uint8_t byte = 0;
        if (::read(descriptor, &byte, 1) != 1) {
            WaitMs(20);
            continue;
        }
        if (previousWasStart && byte == kFrameStart1) {
            log->add("Display 4DS: Connection successful");
            // The frame whose start was found is completed by the next pass.
            received[0] = kFrameStart0;
            received[1] = kFrameStart1;
            receivedCount = 2;
            return descriptor;
        }
        previousWasStart = byte == kFrameStart0;
    }
    log->add("Display 4DS: Port available but no display connected");
    ::close(descriptor);
    return -1;
}

// ------------------------------------------------------------------------------ input

int Display4DS::AxisValue(std::uint8_t byte, int bias) {
    bias = std::max(0, bias);
    int v = static_cast<int>(byte) - 128;
    if (v > -bias && v < bias) {
        v = 0;
    } else if (v <= -bias) {
        v += bias;
    } else {
        v -= bias;
    }
    v = std::min(100, std::max(-100, v));
    return v / 2;
}

void Display4DS::update() {
    if (!connected) return;
    ++passCount;
    frameTaken = false;
    ReadAvailable();
    if (!frameTaken) {
        // No whole frame this pass: nothing is sent either. A panel that falls silent with
        // an axis deflected (cable pulled) must not keep the robot jogging.
        if (passesWithoutFrame < kSilentPassesStopJog && ++passesWithoutFrame == kSilentPassesStopJog) {
            ResetJogValues();
        }
        return;
    }
    passesWithoutFrame = 0;

    ApplyAxes(newestAxes.data());

    LogSingleton* log = Log();
    std::string text;
    if (log->DisplayGetMessage(text)) {
        messageText = text;
        messagePending = true;
    }
    if (log->DisplayGetFilename(text)) {
        filenameText = text;
        filenamePending = true;
    }
    if (messagePending) {
        SendMessage();
    } else if (filenamePending) {
        SendFilename();
    } else {
        SendPosition();
    }
}

void Display4DS::ReadAvailable() {
    // A panel faster than the pass leaves a backlog: drain it all, bounded per pass.
    for (int reads = 0; reads < kMaxReadsPerPass && receivedCount < received.size(); ++reads) {
        const ssize_t n = ::read(fd, received.data() + receivedCount, received.size() - receivedCount);
        if (n <= 0) break;
        receivedCount += static_cast<std::size_t>(n);
        TakeFrames();
    }
}

void Display4DS::TakeFrames() {
    const std::uint8_t* data = received.data();
    const std::size_t count = receivedCount;
    auto isStart = [&](std::size_t at) {
        return at + 1 < count && data[at] == kFrameStart0 && data[at + 1] == kFrameStart1;
    };
    auto findStart = [&](std::size_t from, std::size_t before) {
        for (std::size_t at = from; at < before; ++at) {
            if (isStart(at)) return at;
        }
        return count;
    };

    std::size_t keepFrom = count;
    std::size_t at = 0;
    while (true) {
        const std::size_t start = findStart(at, count);
        if (start >= count) {
            // A last FF may begin the next frame.
            if (count > at && data[count - 1] == kFrameStart0) keepFrom = count - 1;
            break;
        }
        if (start + kInputFrameSize > count) {
            keepFrom = start;  // incomplete: wait for the rest
            break;
        }
        const std::size_t next = start + kInputFrameSize;
        const bool followedByStart = next == count ||
                                     (data[next] == kFrameStart0 && (next + 1 == count || data[next + 1] == kFrameStart1));
        if (!followedByStart) {
            // A short frame followed by a whole one: the later start is the real one.
            const std::size_t inner = findStart(start + 1, next);
            if (inner < next) {
                at = inner;
                continue;
            }
        }
        TakeFrame(data + start);
        at = next;
    }
    if (keepFrom < count) {
        std::memmove(received.data(), data + keepFrom, count - keepFrom);
        receivedCount = count - keepFrom;
    } else {
        receivedCount = 0;
    }
}

void Display4DS::TakeFrame(const std::uint8_t* frame) {
    frameTaken = true;
    panelMode = frame[kModeByte];
    panelOverride = frame[kOverrideByte];
    std::copy(frame + kFirstAxisByte, frame + kFirstAxisByte + kNrJogValues, newestAxes.begin());
    // A press shows in few frames: one in any frame of the pass counts.
    const int button = frame[kButtonByte];
    if (button != 0) ApplyButton(button, frame[kOverrideByte]);
}

void Display4DS::ApplyAxes(const std::uint8_t* axes) {
    const int bias = jogBias.load();
    int ax[kNrJogValues];
    for (int i = 0; i < kNrJogValues; ++i) ax[i] = AxisValue(axes[i], bias);
    float jog[kNrJogValues] = {};
    switch (panelMode) {
        case 0:
        case 1:
            jog[0] = -ax[0], jog[1] = -ax[1], jog[2] = ax[2];
            jog[3] = ax[3], jog[4] = -ax[4], jog[5] = ax[5];
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            jog[0] = -ax[1], jog[1] = ax[2], jog[2] = -ax[0];
            jog[3] = ax[3], jog[4] = -ax[4], jog[5] = ax[5];
            break;
        case 6:
            jog[6] = ax[6], jog[7] = ax[7], jog[8] = ax[8];
            break;
        case 7:
            jog[0] = -ax[1], jog[1] = -ax[0], jog[2] = -ax[2];
            break;
        default:
            break;
    }
    std::copy(std::begin(jog), std::end(jog), std::begin(jogValues));
}

void Display4DS::ApplyButton(int button, int overrideByte) {
    // A new command replaces the pending one with its own arguments.
    auto command = [this](int code, int argument = 0) {
        commandCode = code;
        intArgument = argument;
        floatArgument = 0.0f;
    };
    switch (button) {
        case 10: case 11: motionType = 0; command(21); return;
        case 12: case 13: motionType = 1; command(22); return;
        case 14: case 15: motionType = 2; command(23); return;
        case 17: motionType = 3; command(24); return;
        case 30: command(10); return;
        case 40: command(13); return;
        case 50: command(11); return;
        case 60:
            command(33);
            floatArgument = static_cast<float>(overrideByte);
            return;
        case 70: command(15, 0); return;
        case 71: command(15, 1); return;
        case 72: command(15, 2); return;
        case 73: command(15, 3); return;
        case 74: command(15, 4); return;
        case 75: command(15, 6); return;  // the panel's sixth key references joint 7
        case 79: command(16); return;
        case 80: command(61); return;
        case 81: command(3); return;
        case 82: command(4); return;
        case 83: command(62); return;
        case 85: command(7); return;
        case 86: command(8); return;
        case 87: command(9); return;
        case 90: command(5); return;
        case 91: command(52); return;
        case 92: command(50); return;
        case 93: command(54); return;
        case 94: command(55); return;
        case 95: command(83); return;
        case 96: command(56); return;
        case 97: command(57); return;
        case 100: command(80); return;
        case 101: command(81); return;
        case 102: command(82); return;
        case 103: command(84); return;
        case 110: command(70); return;
        case 111: command(71); return;
        default: break;
    }
    if (button >= 120 && button <= 183) {
        const int output = button - 120;
        command(outputStates[output] ? 32 : 31, output);
    }
}

int Display4DS::GetCommand() {
    const int code = commandCode;
    commandCode = 0;
    return code;
}

bool Display4DS::TakeCommand(OperatorCommand& out) {
    const int code = GetCommand();
    if (code == 0) return false;
    out.code = code;
    out.argument = intArgument;
    out.value = floatArgument;
    return true;
}

void Display4DS::GetJogValues(float* values) const {
    std::copy(std::begin(jogValues), std::end(jogValues), values);
}

void Display4DS::ResetJogValues() { std::fill(std::begin(jogValues), std::end(jogValues), 0.0f); }

// ------------------------------------------------------------------------------ output

void Display4DS::SetValues(const DataTypes::RobotState& state) {
    for (int i = 0; i < 9; ++i) {
        jointPositions[i] = state.jointSet[i];
        moduleErrors[i] = state.errorCodes[i];
        moduleTemperatures[i] = TruncatedInt(state.boardTemps[i]);
    }
    jointPositions[5] = state.jointSet[6];  // the panel shows e1 in the sixth place
    for (int i = 0; i < 4; ++i) {
        platformValues[i] = state.platformSet[i];
        platformErrors[i] = state.errorCodes[7 + i];
    }
    std::copy(std::begin(state.DIn), std::end(state.DIn), std::begin(inputStates));
    std::copy(std::begin(state.DOut), std::end(state.DOut), std::begin(outputStates));
    for (int k = 0; k < 3; ++k) {
        inputMasks[k] = Mask(inputStates, 20 + 10 * k);
        outputMasks[k] = Mask(outputStates, 20 + 10 * k);
    }
    refBits = 0;
    for (int j = 0; j < 16; ++j) {
        if (state.refJoint[j]) refBits |= 1 << j;
    }
    refOverall = state.refOverall;
    supply = state.supply;
    currentAll = state.currentAll;
    kinState = state.kinState;
    overrideShown = TruncatedInt(state.override);
    errorText = state.errorText;
    programInfo[0] = 0;
    programInfo[1] = state.programReserved;
    programInfo[2] = state.runState;
    programInfo[3] = state.programLine;
    programInfo[4] = state.programLength;
    std::memset(programName, ' ', sizeof(programName));
    std::memcpy(programName, state.programName.data(), std::min(state.programName.size(), sizeof(programName)));
}

void Display4DS::Write(const std::uint8_t* data, std::size_t size) {
    const ssize_t n = ::write(fd, data, size);
    if (n > 0) bytesWritten += static_cast<std::uint64_t>(n);
}

void Display4DS::SendMessage() {
    std::uint8_t frame[kMessageFrameSize];
    frame[0] = 0xFF;
    frame[1] = 0x02;
    frame[2] = 0x22;
    PutTerminatedText(frame + 3, 33, messageText);
    frame[36] = 'B';
    frame[37] = 0xFF;
    Write(frame, sizeof(frame));
    messagePending = false;
}

void Display4DS::SendFilename() {
    std::uint8_t frame[kFilenameFrameSize];
    frame[0] = 0xFF;
    frame[1] = 0x01;
    frame[2] = 0x14;
    PutTerminatedText(frame + 3, 20, filenameText);
    frame[23] = 'B';
    frame[24] = 0xFF;
    Write(frame, sizeof(frame));
    filenamePending = false;
}

void Display4DS::SendPosition() {
    std::uint8_t* f = positionFrame.data();
    positionFrame.fill(0);
    f[0] = 0xFF;
    f[1] = 0x00;
    f[2] = 0x1C;
    if (panelMode == 7) {
        for (int i = 0; i < 4; ++i) {
            std::uint8_t* group = f + 3 + 4 * i;
            Put16(group, PositionWord(platformValues[i]));
            group[2] = static_cast<std::uint8_t>(platformErrors[i] & 0xFF);
            group[3] = static_cast<std::uint8_t>(platformStatus2[i] & 0xFF);
        }
    } else {
        for (int i = 0; i < 9; ++i) {
            std::uint8_t* group = f + 3 + 4 * i;
            Put16(group, PositionWord(jointPositions[i]));
            group[2] = static_cast<std::uint8_t>(moduleErrors[i] & 0xFF);
            group[3] = static_cast<std::uint8_t>(moduleTemperatures[i] & 0xFF);
        }
    }
    const int supplyAverage = TruncatedInt(supplyFilter.GetNewAverage(static_cast<float>(supply)));
    Put16(f + 39, Clamp16(supplyAverage / 10 * 10));
    const int current = TruncatedInt(currentFilter.GetNewAverage(static_cast<float>(currentAll)));
    Put16(f + 41, Clamp16(current / 10));
    f[43] = static_cast<std::uint8_t>(std::min(255, std::max(0, overrideShown)));
    f[44] = static_cast<std::uint8_t>(kinState & 0xFF);
    f[45] = static_cast<std::uint8_t>(programInfo[1] & 0xFF);
    f[46] = static_cast<std::uint8_t>(programInfo[2] & 0xFF);
    Put16(f + 47, Clamp16(programInfo[3]));
    Put16(f + 49, Clamp16(programInfo[4]));
    f[51] = 0;
    std::memcpy(f + 52, programName, sizeof(programName));
    f[72] = static_cast<std::uint8_t>(refOverall & 0xFF);
    Put16(f + 73, refBits & 0xFFFF);
    f[75] = inputMasks[0];
    f[76] = inputMasks[1];
    f[77] = inputMasks[2];
    f[78] = outputMasks[0];
    f[79] = outputMasks[1];
    f[80] = outputMasks[2];
    std::memset(f + 81, ' ', 20);
    std::memcpy(f + 81, errorText.data(), std::min<std::size_t>(errorText.size(), 20));
    f[101] = 'B';
    f[102] = 0xFF;
    Write(f, kPositionFrameSize);
}
