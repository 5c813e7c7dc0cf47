#include "control/KeyboardInput.h"

#include "core/LogConsoleStream.h"
#include "core/LogSingleton.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

bool ToNumber(const std::string& text, int& out) {
    if (text.size() > 2 && text.compare(0, 2, "0x") == 0) {
        // Wraps like a 32-bit register value: 0xFFFFFFFF is -1.
        const unsigned long value = std::strtoul(text.c_str() + 2, nullptr, 16);
        out = static_cast<int>(static_cast<unsigned int>(value));
        return true;
    }
    if (text.empty()) return false;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    out = static_cast<int>(value);
    return true;
}

// Everything the reader thread touches. The thread holds its own reference, so a read that
// is still blocked when the object goes away finds it intact.
struct KeyboardInput::Shared {
    explicit Shared(std::ostream& o) : out(o) {}

    std::ostream& out;

    mutable std::mutex mutex;  // command, jog values and SDO fields
    Command command;
    JogValues jog;
    SdoRequest sdo;
    bool sdoPending = false;

    std::atomic<int> layout{LAYOUT_GERMAN};
    std::atomic<bool> stop{false};

    mutable std::mutex endMutex;
    mutable std::condition_variable endSignal;
    bool running = true;

    void SetCommand(int code, int argument, int value) {
        std::lock_guard<std::mutex> lock(mutex);
        command = Command{code, argument, value};
    }
    void StepJog(int axis, float step) {
        std::lock_guard<std::mutex> lock(mutex);
        jog.values[axis] += step;
    }
    void ZeroJog(int axis) {
        std::lock_guard<std::mutex> lock(mutex);
        jog.values[axis] = 0.0f;
    }
    // The step goes with the command: the main loop applies it to the override in use
    // when it takes the command, so the console never works from a stale value.
    void StepOverride(int step) {
        std::lock_guard<std::mutex> lock(mutex);
        command = Command{kOverrideCode, 0, 0, step};
    }

    void HandleSdoLine(const std::string& line);
    bool HandleJogKey(const std::string& line);
    void HandleLine(const std::string& line);
    void Finish() {
        std::lock_guard<std::mutex> lock(endMutex);
        running = false;
        endSignal.notify_all();
    }
};

void KeyboardInput::Shared::HandleSdoLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        sdoPending = false;
    }
    // Four fields, each up to the next blank; one separator skipped between them.
    const std::string rest = line.size() > 4 ? line.substr(4) : std::string();
    std::string fields[4];
    std::string::size_type pos = 0;
    for (std::string& field : fields) {
        if (pos == std::string::npos || pos > rest.size()) break;
        const std::string::size_type blank = rest.find(' ', pos);
        if (blank == std::string::npos) {
            field = rest.substr(pos);
            pos = std::string::npos;
        } else {
            field = rest.substr(pos, blank - pos);
            pos = blank + 1;
        }
    }
    LogSingleton* log = LogSingleton::instance();
    if (fields[3].empty()) {
        log->addFormat("Invalid command for SDO: Got '%s' '%s' '%s' '%s'", fields[0].c_str(),
                       fields[1].c_str(), fields[2].c_str(), fields[3].c_str());
        return;
    }
    SdoRequest request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        request = sdo;
    }
    const bool valid = ToNumber(fields[0], request.deviceId) && ToNumber(fields[1], request.address) &&
                       ToNumber(fields[2], request.subAddress) && ToNumber(fields[3], request.value);
    {
        std::lock_guard<std::mutex> lock(mutex);
        sdo = request;
        sdoPending = valid;
    }
    log->addFormat("You entered: sdo device %d address %x subaddress %d value %d (0x%x)",
                   request.deviceId, static_cast<unsigned>(request.address), request.subAddress,
                   request.value, static_cast<unsigned>(request.value));
}

bool KeyboardInput::Shared::HandleJogKey(const std::string& line) {
    struct JogKey {
        const char* key;
        int axis;
        float step;  // 0: set the axis to 0
    };
    // Layout-independent keys; "y" and "z" swap with the layout below.
    static const JogKey keys[] = {
        {"q", 0, 10.0f},  {"a", 0, 0.0f},  {"w", 1, 10.0f},  {"s", 1, 0.0f},  {"x", 1, -10.0f},
        {"e", 2, 10.0f},  {"d", 2, 0.0f},  {"c", 2, -10.0f}, {"r", 3, 10.0f}, {"f", 3, 0.0f},
        {"v", 3, -10.0f}, {"t", 4, 10.0f}, {"g", 4, 0.0f},   {"b", 4, -10.0f}, {"h", 5, 0.0f},
        {"n", 5, -10.0f}, {"u", 6, 10.0f}, {"j", 6, 0.0f},   {"m", 6, -10.0f},
    };
    const bool us = layout.load() == LAYOUT_US;
    if (line == (us ? "z" : "y")) {
        StepJog(0, -10.0f);
        return true;
    }
    if (line == (us ? "y" : "z")) {
        StepJog(5, 10.0f);
        return true;
    }
    for (const JogKey& k : keys) {
        if (line != k.key) continue;
        if (k.step == 0.0f) {
            ZeroJog(k.axis);
        } else {
            StepJog(k.axis, k.step);
        }
        return true;
    }
    return false;
}

void KeyboardInput::Shared::HandleLine(const std::string& line) {
    if (line.size() > 3 && line.compare(0, 3, "sdo") == 0) {
        HandleSdoLine(line);
        return;
    }
    if (line.empty()) return;

    out << "You entered: \"" << line << "\"" << std::endl;

    struct CommandKey {
        const char* key;
        int code;
    };
    static const CommandKey commandKeys[] = {
        {"5", 2}, {"6", 3}, {"7", 4}, {"1", 10}, {"2", 11}, {"8", 14}, {"9", 16}, {"0", 13},
    };

    if (line == "help") {
        PrintHelp(out);
    } else if (line == "us") {
        layout.store(LAYOUT_US);
        LogSingleton::instance()->add("Keyboard layout changed to US");
    } else if (line == "de") {
        layout.store(LAYOUT_GERMAN);
        LogSingleton::instance()->add("Keyboard layout changed to GER");
    } else if (line == "o") {
        StepOverride(10);
    } else if (line == "l") {
        StepOverride(-10);
    } else {
        for (const CommandKey& k : commandKeys) {
            if (line == k.key) {
                SetCommand(k.code, 0, 0);
                return;
            }
        }
        HandleJogKey(line);
    }
}

namespace {

void ReaderLoop(std::shared_ptr<KeyboardInput::Shared> shared, std::istream* in,
                std::chrono::milliseconds pause) {
    try {
        std::string line;
        while (!shared->stop.load()) {
            if (!std::getline(*in, line)) break;  // end of input: nobody will type again
            if (shared->stop.load()) break;
            shared->HandleLine(line);
            if (pause.count() > 0) std::this_thread::sleep_for(pause);
        }
    } catch (const std::exception& e) {
        LogSingleton::instance()->addFormat("Keyboard input ended: %s", e.what());
    } catch (...) {
        LogSingleton::instance()->add("Keyboard input ended: unknown exception");
    }
    shared->Finish();
}

}  // namespace

// The echo goes to the log's console copy: a terminal that blocks must not hold the reader.
KeyboardInput::KeyboardInput(std::istream& in) : KeyboardInput(in, LogConsoleStream::Out()) {}

KeyboardInput::KeyboardInput(std::istream& in, std::ostream& out, std::chrono::milliseconds pause)
    : shared(std::make_shared<Shared>(out)) {
    std::thread(ReaderLoop, shared, &in, pause).detach();
}

KeyboardInput::~KeyboardInput() { shared->stop.store(true); }

void KeyboardInput::PrintHelp() {
    std::ostringstream text;
    PrintHelp(text);
    std::string help = text.str();
    if (!help.empty() && help.back() == '\n') help.pop_back();  // the console ends the text itself
    LogSingleton::instance()->addConsole(help.c_str());
}

void KeyboardInput::PrintHelp(std::ostream& out) {
    out << "\n\n"
        << "Keyboard Commands:\n"
        << "1: Load Joint Values and Reset\n"
        << "2: Enable Motors\n"
        << "567: Start/Pause/Stop\n"
        << "8: Change motion mode Joint/Cart\n"
        << "9: Reference All\n"
        << "0: Set Joints to Zero\n"
        << "qay: Joint 0 (qaz in US layout)\n"
        << "wsx: Joint 1\n"
        << "edc: Joint 2\n"
        << "rfv: Joint 3\n"
        << "tgb: Joint 4\n"
        << "zhn: Joint 5 (yhn in US layout)\n"
        << "ujm: Ext 1\n"
        << "ol:  Override +/-\n"
        << "\"sdo\" <device id> <address> <subaddress> <value>: Send CANopen SDO\n"
        << "\n"
        << "\"help\": print this help\n"
        << "\"us\": use US key layout\n"
        << "\"de\": use GER key layout (default)\n"
        << "\n"
        << std::flush;
}

void KeyboardInput::HandleLine(const std::string& line) { shared->HandleLine(line); }

bool KeyboardInput::TakeCommand(Command& out) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->command.code == 0) return false;
    out = shared->command;
    shared->command.code = 0;
    return true;
}

KeyboardInput::Command KeyboardInput::PeekCommand() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->command;
}

bool KeyboardInput::TakeSdoRequest(SdoRequest& out) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (!shared->sdoPending) return false;
    out = shared->sdo;
    shared->sdoPending = false;
    return true;
}

bool KeyboardInput::IsSdoRequestPending() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->sdoPending;
}

KeyboardInput::SdoRequest KeyboardInput::GetSdoFields() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->sdo;
}

KeyboardInput::JogValues KeyboardInput::GetJogValues() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->jog;
}

void KeyboardInput::ResetJogValues() {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->jog = JogValues{};
}

float KeyboardInput::SteppedOverride(float current, int step) {
    if (!(current >= 0.0f)) current = 0.0f;  // also NaN
    if (current > 100.0f) current = 100.0f;
    const float stepped = current + static_cast<float>(step);
    if (step >= 0) return std::min(stepped, 100.0f);
    // Down stops at 10 %; below that a step down keeps the override, never raises it.
    return stepped < 10.0f ? std::min(current, 10.0f) : stepped;
}

int KeyboardInput::GetKeyLayout() const { return shared->layout.load(); }

bool KeyboardInput::IsReaderRunning() const {
    std::lock_guard<std::mutex> lock(shared->endMutex);
    return shared->running;
}

bool KeyboardInput::WaitForReaderEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(shared->endMutex);
    return shared->endSignal.wait_for(lock, timeout, [this] { return !shared->running; });
}
