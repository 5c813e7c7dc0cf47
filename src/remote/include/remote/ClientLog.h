#pragma once

// The log lines that one client's input causes. A client can send tens of thousands of
// frames a second, and a line for each would rotate the log files away within a second,
// losing what came before a fault. Each connection owns a ClientLog; while its reader
// serves the client's bytes (a Serving scope on that thread), every line written through
// ClientLines passes the connection's LogThrottle: at most kLinesPerKind lines of one kind
// and kLinesPerClient lines in all per kWindow, the rest counted in one
// "HVP-Server: lines of client input: <n> similar lines suppressed" line. The kind of a
// line is the literal text or format it is made from. On any other thread the lines are
// written as they are.
//
//   ClientLines::addFormat("HVP-Server: ERROR Could not parse robot command '%s'!", text);

#include "core/LogThrottle.h"

#include <chrono>
#include <string>

namespace Remote {

class ClientLog {
public:
    // Per window: a table of requests sent as fast as the replies come keeps every line,
    // a flood of tens of thousands a second leaves a few hundred at most.
    static constexpr int kLinesPerKind = 50;
    static constexpr int kLinesPerClient = 200;
    static constexpr LogThrottle::Clock::duration kWindow = std::chrono::seconds(10);

    ClientLog();
    ClientLog(const ClientLog&) = delete;
    ClientLog& operator=(const ClientLog&) = delete;

    // Makes log the one of the lines of this thread until the scope ends (scopes nest).
    class Serving {
    public:
        explicit Serving(ClientLog& log);
        ~Serving();
        Serving(const Serving&) = delete;
        Serving& operator=(const Serving&) = delete;

    private:
        ClientLog* previous;
    };

    // The log of the client served on this thread; null when none is.
    static ClientLog* Current();

    // True when one more line of this kind may be written now.
    bool Admit(const void* kind);
    // Writes the count lines of ended windows; cheap when nothing was held back.
    void Flush();
    // Writes every count still held back (the connection ends).
    void FlushAll();

private:
    LogThrottle throttle;
};

// Lines caused by a client's input, named as the log's own calls. Each is admitted by the
// log of the client served on this thread before anything is formatted.
namespace ClientLines {
void add(const char* text);
void add(const char* text, int value);     // "%s %d"
void add(const char* text, double value);  // "%s %.1f"
void addError(const char* text);
void addFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line made at run time, of the kind named by the literal kind.
void addText(const char* kind, const std::string& text);
// One whole line on standard output or standard error only, not in the log files.
void Print(const char* kind, const std::string& line);
void PrintError(const char* kind, const std::string& line);
}  // namespace ClientLines

}  // namespace Remote
