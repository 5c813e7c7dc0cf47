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

// The whole line in one write, so that it does not interleave with lines of other threads.
void WriteWhole(std::FILE* out, const std::string& line) {
    std::string whole = line;
    whole += '\n';
    std::fwrite(whole.data(), 1, whole.size(), out);
    std::fflush(out);
}

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
    if (Admitted(kind)) WriteWhole(stdout, line);
}

void PrintError(const char* kind, const std::string& line) {
    if (Admitted(kind)) WriteWhole(stderr, line);
}

}  // namespace ClientLines

}  // namespace Remote
