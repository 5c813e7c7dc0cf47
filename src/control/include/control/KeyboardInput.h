#pragma once

// The operator console: one line per entry. Single-key lines give operator commands and
// jog steps, "o"/"l" step the override in use by 10 %, a "sdo" line requests one CANopen SDO exchange.
// The reader runs on its own detached thread and only fills pending fields; the main loop
// takes them. The thread ends at end of input or, after the next line, once the object is
// gone: a read on a terminal cannot be interrupted, so the reader keeps its state alive
// through a shared pointer rather than borrowing the object.

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>

// Reads a number: "0x" followed by hexadecimal digits (text longer than 2 characters,
// lower-case x only), else decimal. Any non-empty text succeeds, also without digits
// (then out gets 0 or the digits read so far); an empty text fails and leaves out alone.
bool ToNumber(const std::string& text, int& out);

class KeyboardInput {
public:
    static constexpr int kNrJogValues = 9;
    enum KeyLayout : int { LAYOUT_GERMAN = 0, LAYOUT_US = 1 };

    static constexpr int kOverrideCode = 33;
    // One pending operator command, handed over whole.
    struct Command {
        int code = 0;  // 0 = none
        int argument = 0;
        int value = 0;  // the main loop uses it, as float, as the float argument
        // "o" / "l": +10 / -10 on the override in use when the main loop takes the
        // command (code 33); value is then not used.
        int overrideStep = 0;
    };
    struct SdoRequest {
        int deviceId = 0;
        int address = 0;
        int subAddress = 0;
        int value = 0;
    };
    struct JogValues {
        float values[kNrJogValues] = {};
    };

    // Starts the reader on in; the echo and the help go to out. Both streams must outlive
    // the reader thread. pause: the rest after each line. The first form echoes to the
    // log's console copy (the process passes std::cin).
    explicit KeyboardInput(std::istream& in);
    KeyboardInput(std::istream& in, std::ostream& out,
                  std::chrono::milliseconds pause = std::chrono::milliseconds(100));
    // Tells the reader to end; it sees this at the top of its next iteration.
    virtual ~KeyboardInput();
    KeyboardInput(const KeyboardInput&) = delete;
    KeyboardInput& operator=(const KeyboardInput&) = delete;

    // To the log's console copy.
    static void PrintHelp();
    static void PrintHelp(std::ostream& out);

    // Acts on one entered line as the reader does (the reader's own step, open for tests).
    void HandleLine(const std::string& line);

    // Takes the pending command and clears it; false (out untouched) when none is pending.
    bool TakeCommand(Command& out);
    Command PeekCommand() const;
    // Takes a pending SDO request and clears the pending flag.
    bool TakeSdoRequest(SdoRequest& out);
    bool IsSdoRequestPending() const;
    SdoRequest GetSdoFields() const;

    JogValues GetJogValues() const;
    void ResetJogValues();

    // The override (percent) one "o" (step +10) or "l" (step -10) makes of current: up to
    // 100 at most, down to 10 at least, and a step down below 10 never raises it.
    static float SteppedOverride(float current, int step);
    int GetKeyLayout() const;

    // True until the reader thread has ended (end of input, stream failure or stop).
    bool IsReaderRunning() const;
    // Waits until the reader has ended; false on timeout.
    bool WaitForReaderEnd(std::chrono::milliseconds timeout) const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared;
};
