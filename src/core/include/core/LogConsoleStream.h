#pragma once

// An output stream onto the log's console copy: each completed line, and what a flush
// finds, goes out through LogSingleton::addConsole, in order with the log lines. Writing to
// it never waits for the terminal, as writing to std::cout would.

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

class LogConsoleStream : public std::ostream {
public:
    explicit LogConsoleStream(bool toStderr = false);
    LogConsoleStream(const LogConsoleStream&) = delete;
    LogConsoleStream& operator=(const LogConsoleStream&) = delete;

    // The process's stream onto standard output's copy (never destroyed: detached threads
    // may still write to it while the process ends).
    static LogConsoleStream& Out();

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(bool toStderr) : toStderr(toStderr) {}

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        void SendLines(bool partToo);  // mutex held
        std::mutex mutex;
        std::string pending;
        bool toStderr;
    };
    Buffer buffer;
};
