#include "core/LogConsoleStream.h"

#include "core/LogSingleton.h"

LogConsoleStream::LogConsoleStream(bool toStderr) : std::ostream(nullptr), buffer(toStderr) { rdbuf(&buffer); }

LogConsoleStream& LogConsoleStream::Out() {
    static LogConsoleStream* out = new LogConsoleStream(false);
    return *out;
}

// No put area: every character comes through overflow or xsputn, under the lock.
LogConsoleStream::Buffer::int_type LogConsoleStream::Buffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(mutex);
    pending += traits_type::to_char_type(c);
    if (c == '\n') SendLines(false);
    return c;
}

std::streamsize LogConsoleStream::Buffer::xsputn(const char* s, std::streamsize n) {
    std::lock_guard<std::mutex> lock(mutex);
    pending.append(s, static_cast<size_t>(n));
    SendLines(false);
    return n;
}

int LogConsoleStream::Buffer::sync() {
    std::lock_guard<std::mutex> lock(mutex);
    SendLines(true);
    return 0;
}

void LogConsoleStream::Buffer::SendLines(bool partToo) {
    LogSingleton* log = LogSingleton::instance();
    size_t start = 0;
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
        log->addConsole(pending.substr(start, end - start).c_str(), toStderr);
        start = end + 1;
    }
    pending.erase(0, start);
    if (partToo && !pending.empty()) {
        log->addConsole(pending.c_str(), toStderr);
        pending.clear();
    }
}
