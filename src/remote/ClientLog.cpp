#include "remote/ClientLog.h"

#include "core/LogSingleton.h"

#include <cstdarg>
#include <cstdio>
#include <cstdint>

namespace Remote {

namespace {

// The client whose bytes this thread serves: a connection's reader thread.
thread_local ClientLog* served = nullptr;

bool Admitted(const void* kind) { return served == nullptr || served->Admit(kind); }

LogSingleton* Log() { return LogSingleton::instance(); }


}  // namespace

ClientLog::ClientLog() : throttle("HVP-Server: lines of client input", kLinesPerKind, kLinesPerClient, kWindow) {}

ClientLog::Serving::Serving(ClientLog& log) : previous(served) { served = &log; }

ClientLog::Serving::~Serving() { served = previous; }

ClientLog* ClientLog::Current() { return served; }

bool ClientLog::Admit(const void* kind) { return throttle.Admit(reinterpret_cast<std::uintptr_t>(kind)); }

void ClientLog::Flush() { throttle.Flush(); }

void ClientLog::FlushAll() { throttle.Flush(LogThrottle::Clock::now() + kWindow); }

namespace ClientLines {

void add(const char* text) {
    if (Admitted(text)) Log()->add(text);
}

void add(const char* text, int value) {
    if (Admitted(text)) Log()->add(text, value);
}

void add(const char* text, double value) {
    if (Admitted(text)) Log()->add(text, value);
}

void addError(const char* text) {
    if (Admitted(text)) Log()->addError(text);
}

void addFormat(const char* format, ...) {
    if (!Admitted(format)) return;
    char buffer[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    Log()->add(std::string(buffer));
}

void addText(const char* kind, const std::string& text) {
    if (Admitted(kind)) Log()->add(text);
}

void Print(const char* kind, const std::string& line) {
    // Through the log's console copy: a console that blocks must not hold the client.
    if (Admitted(kind)) Log()->addConsole(line.c_str());
}

void PrintError(const char* kind, const std::string& line) {
    if (Admitted(kind)) Log()->addConsole(line.c_str(), true);
}

}  // namespace ClientLines

}  // namespace Remote
