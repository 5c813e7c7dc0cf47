#pragma once

// The console copy of the log (standard output, standard error), written by a thread of
// its own from a bounded queue. A console that blocks (a pipe nobody reads, a terminal on
// Ctrl-S, a stalled log collector) so holds up only this thread: never the log files, nor
// anyone who logs. A full queue refuses lines; a stream whose reader has gone (EPIPE, EIO)
// takes no more. Every wait for it is bounded, and a thread still stuck in a write when
// the object goes is left behind with everything it uses.

#include "core/LogLineQueue.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

// Where the console lines go: standard output and standard error, or a test's own.
class LogConsoleSink {
public:
    virtual ~LogConsoleSink() = default;
    // Writes text (one or more whole lines, line ends included) and returns once it is out:
    // 0, or the error (errno) that kept it from the stream.
    virtual int Write(bool toStderr, const char* text, size_t length) = 0;
};

// Standard output and standard error through write(2).
std::unique_ptr<LogConsoleSink> MakeStandardStreamsSink();

class LogConsole {
public:
    enum class Added { Queued, Full, Gone };
    enum class Waited { Written, TimedOut, Stalled };

    // The thread polls its queue this often when nobody wakes it.
    static constexpr std::chrono::milliseconds kPoll{10};
    // The destructor waits this long for the queued lines.
    static constexpr std::chrono::milliseconds kStopBound{1000};

    LogConsole(std::unique_ptr<LogConsoleSink> sink, size_t queueBytes);
    ~LogConsole();
    LogConsole(const LogConsole&) = delete;
    LogConsole& operator=(const LogConsole&) = delete;

    // Queues text (a trailing line end is kept as one). Gone: the stream ended for good.
    Added Add(bool toStderr, const char* text, size_t length);
    // The thread looks at its queue now instead of at its next poll.
    void Wake();
    bool MoreThanHalfFull() const;
    // 0 while the stream takes lines, else the error that ended it.
    int GoneError(bool toStderr) const;
    // Waits until every line queued before the call is out (or was skipped: its stream had
    // gone). Stalled: an earlier wait timed out and the console has not moved since, so
    // this one did not wait.
    Waited WaitWritten(std::chrono::steady_clock::time_point deadline);

    // A child made by fork() has no console thread: it writes its lines itself, without the
    // lock (the parent's thread may have held it at the fork), and leaves the rest alone.
    void WriteInForkedChild(bool toStderr, const char* text, size_t length);
    void AbandonInForkedChild();

    struct State;

private:
    std::shared_ptr<State> state;
    std::thread thread;
};
