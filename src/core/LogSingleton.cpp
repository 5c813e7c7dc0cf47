#include "core/LogSingleton.h"

#include "core/Filesystem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <thread>

std::atomic<long long> LogSingleton::startupWaitMs{2000};

namespace {

std::string LogFileName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof(name), "logMessages%02u.txt", number);
    return name;
}

// Rename used by the rotation. Unlike moveFile() it does not log: the rotation runs on the
// writer thread, which writes the failure itself, right after the new file's header.
template <typename Notices>
void RotateRename(const std::string& from, const std::string& to, Notices* notices) {
    if (!fileExists(from) || fileExists(to)) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        char line[1024];
        std::snprintf(line, sizeof(line), "Moving file '%s' to '%s' failed: %s", from.c_str(),
                      to.c_str(), std::strerror(err));
        notices->push_back({line, true});
    }
}

// Writes all of text; 0, or the error. *written: the bytes that went in.
int WriteAll(int fd, const char* text, size_t length, size_t* written) {
    *written = 0;
    while (*written < length) {
        const ssize_t n = ::write(fd, text + *written, length - *written);
        if (n > 0) {
            *written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? errno : ENOSPC;
    }
    return 0;
}

// True when a file left by the previous run holds more than a header: an empty or
// header-only file is not worth a place in the history.
bool HoldsLogLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return fileExists(path);  // cannot tell (no descriptor left): keep it
    char buffer[256];
    in.read(buffer, sizeof(buffer));
    const std::string start(buffer, static_cast<size_t>(in.gcount()));
    if (start.empty()) return false;
    if (start.rfind("JXR Belvanto LogFile.", 0) != 0) return true;
    const size_t end = start.find("\n\n");  // the header ends with an empty line
    if (end == std::string::npos) return start.size() == sizeof(buffer);
    return end + 2 < start.size();
}

const char* StreamName(bool toStderr) { return toStderr ? "standard error" : "standard output"; }

// The stop signals go to the threads that handle them, never to the writer in the middle
// of a console write.
void BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

size_t Clamp(int printed, size_t size) {
    if (printed < 0) return 0;
    return std::min(static_cast<size_t>(printed), size - 1);
}

}  // namespace

LogSingleton* LogSingleton::instance() {
    static LogSingleton theInstance(std::chrono::milliseconds(startupWaitMs.load()));
    return &theInstance;
}

// Every log object, so that a child made by fork() gets their locks free, whatever their
// writers were doing, and drops the lines their writers have yet to write.
namespace {
std::mutex& ForkRegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<LogSingleton*>& ForkRegistry() {
    static std::vector<LogSingleton*> logs;
    return logs;
}
}  // namespace

void LogSingleton::RegisterForFork(LogSingleton* log) {
    static const int handlers = pthread_atfork(&LockForFork, &UnlockAfterFork, &ChildAfterFork);
    (void)handlers;
    std::lock_guard<std::mutex> lock(ForkRegistryMutex());
    ForkRegistry().push_back(log);
}

void LogSingleton::UnregisterForFork(LogSingleton* log) {
    std::lock_guard<std::mutex> lock(ForkRegistryMutex());
    auto& logs = ForkRegistry();
    logs.erase(std::remove(logs.begin(), logs.end(), log), logs.end());
}

void LogSingleton::LockForFork() {
    ForkRegistryMutex().lock();
    for (LogSingleton* log : ForkRegistry()) {
        log->logMutex.lock();
        log->filesMutex.lock();
    }
}

void LogSingleton::UnlockAfterFork() {
    for (LogSingleton* log : ForkRegistry()) {
        log->filesMutex.unlock();
        log->logMutex.unlock();
    }
    ForkRegistryMutex().unlock();
}

void LogSingleton::ChildAfterFork() {
    for (LogSingleton* log : ForkRegistry()) log->StartForkedChild();
    UnlockAfterFork();
}

void LogSingleton::StartForkedChild() {
    if (childStarted) return;
    childStarted = true;
    queue.Clear();
    handledSeq = lineSeq;
}

bool LogSingleton::InForkedChild() const { return getpid() != ownerPid; }

void LogSingleton::SetStartupWait(std::chrono::milliseconds wait) {
    startupWaitMs.store(wait.count());
}

LogSingleton::LogSingleton(std::chrono::milliseconds startupWait)
    : LogSingleton(startupWait, nullptr, kDefaultQueueBytes) {}

LogSingleton::LogSingleton(std::chrono::milliseconds startupWait,
                           std::unique_ptr<LogConsoleSink> consoleSink, size_t queueBytes,
                           size_t consoleBytes)
    : console(std::make_unique<LogConsole>(std::move(consoleSink), consoleBytes)),
      queue(queueBytes),
      ownerPid(getpid()) {
    for (auto& slot : logRing) slot.reserve(128);  // common lines fill a slot without allocating
    writer = std::thread([this] { WriterLoop(); });
    writerId = writer.get_id();
    RegisterForFork(this);

    static const char banner[] = "Belvanto initing, wait a few seconds...\n";
    console->Add(false, banner, sizeof(banner) - 1);
    console->Wake();
    if (startupWait.count() > 0) std::this_thread::sleep_for(startupWait);
    clock_gettime(CLOCK_REALTIME, &startTime);
    lastStorageWrite = std::chrono::steady_clock::now();

    SetLogFileCount(5);
    WaitForWriter(std::chrono::steady_clock::now() + kFlushBound);  // its line reaches no file: none is open yet

    RotationOutput rotation;
    {
        std::unique_lock<std::mutex> files(filesMutex);
        changeFile(files, &rotation);
        entryCount = 0;  // the first file's header is not counted
        rotation.console += "LogSingleton:" + logFileNames[0] + "\n";
    }
    console->Add(false, rotation.console.data(), rotation.console.size());
    console->Wake();
    for (const auto& notice : rotation.notices) add(notice.text);

    std::lock_guard<std::mutex> lock(logMutex);
    ringWrite = 0;
    ringRead = 0;  // lines logged so far stay out of the ring
}

LogSingleton::~LogSingleton() {
    UnregisterForFork(this);
    const bool child = InForkedChild();
    // Bounded: the writer's queue goes to the file below whatever the console does.
    if (!child) Flush();
    std::unique_lock<std::mutex> lock(logMutex);
    stopping = true;
    writerSleeping = false;
    if (WriteHereInForkedChild(lock)) {
        lock.unlock();
        writer.detach();  // the writer stayed behind in the parent
        // The copies still count the parent's waiters, and destroying a condition
        // variable waits for its waiters to leave: start them afresh.
        new (&wakeWriter) std::condition_variable();
        new (&lineHandled) std::condition_variable();
        console->AbandonInForkedChild();
    } else {
        lock.unlock();
        wakeWriter.notify_one();
        if (writer.joinable()) writer.join();
    }

    {
        std::lock_guard<std::mutex> files(filesMutex);
        if (logFd >= 0) close(logFd);
        logFd = -1;
    }
    sync();
    console.reset();  // waits a bounded time for the console's last lines
}

// ---------------------------------------------------------------------------------------
// Log lines: the caller's side

namespace {
thread_local LogThreadSink* tlsLogSink = nullptr;
}  // namespace

void LogSingleton::SetThreadSink(LogThreadSink* sink) { tlsLogSink = sink; }

void LogSingleton::writeLine(const char* text, size_t length, bool toStderr) {
    if (tlsLogSink != nullptr) {
        // Stamped here, handed on whole; the sink's consumer queues it.
        char stamp[32];
        FormatTimeStamp(stamp, sizeof stamp);
        char line[1024];
        const size_t n = std::min(length, sizeof(line) - 1);
        std::memcpy(line, text, n);
        line[n] = '\0';
        tlsLogSink->Line(toStderr ? LogLineKind::Error : LogLineKind::Log, stamp, line);
        return;
    }
    queueLine(nullptr, text, length, toStderr);
}

void LogSingleton::addStamped(LogLineKind kind, const char* stamp, const char* text) {
    switch (kind) {
        case LogLineKind::DisplayAndServer: DisplayAndServerSetMessage(text); return;
        case LogLineKind::Server: ServerSetMessage(text); return;
        case LogLineKind::Error: queueLine(stamp, text, std::strlen(text), true); return;
        case LogLineKind::Log: queueLine(stamp, text, std::strlen(text), false); return;
    }
}

void LogSingleton::queueLine(const char* stamp, const char* text, size_t length, bool toStderr) {
    char head[48];
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        // Stamped under the lock, so the stamps rise in the order of the lines (a line
        // stamped by another thread keeps its own).
        int stampLength;
        if (stamp != nullptr) {
            stampLength = std::snprintf(head, sizeof(head) - 5, "%s", stamp);
            stampLength = static_cast<int>(Clamp(stampLength, sizeof(head) - 5));
        } else {
            stampLength = FormatTimeStamp(head, sizeof(head) - 5);
        }
        std::memcpy(head + stampLength, "     ", 5);
        const std::uint64_t seq = ++lineSeq;
        queue.Push(seq, toStderr, head, static_cast<size_t>(stampLength) + 5, text, length);

        std::string& slot = logRing[static_cast<size_t>(ringWrite)];
        slot.assign(head, static_cast<size_t>(stampLength));
        slot += ' ';
        slot.append(text, length);
        ringSeq[static_cast<size_t>(ringWrite)] = seq;
        ringWrite = (ringWrite + 1) % kRingSize;
        if (ringWrite == ringRead) ringRead = (ringRead + 1) % kRingSize;

        // An idle writer looks again within kWriterPoll; waking it costs a system call,
        // so only a filling queue does.
        if (writerSleeping && queue.MoreThanHalfFull()) {
            writerSleeping = false;
            wake = true;
        }
    }
    if (wake) wakeWriter.notify_one();
}

void LogSingleton::add(const std::string& text) { writeLine(text.data(), text.size(), false); }

void LogSingleton::addConsole(const char* text, bool toStderr) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        queue.Push(++lineSeq, toStderr, "", 0, text, std::strlen(text), true);
        if (writerSleeping && queue.MoreThanHalfFull()) {
            writerSleeping = false;
            wake = true;
        }
    }
    if (wake) wakeWriter.notify_one();
}

void LogSingleton::addError(const std::string& text) { writeLine(text.data(), text.size(), true); }

void LogSingleton::add(const std::string& text, int value) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof(buffer), "%s %d", text.c_str(), value);
    writeLine(buffer, Clamp(n, sizeof(buffer)), false);
}

void LogSingleton::add(const std::string& text, float value) {
    add(text, static_cast<double>(value));
}

void LogSingleton::add(const std::string& text, double value) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof(buffer), "%s %.1f", text.c_str(), value);
    writeLine(buffer, Clamp(n, sizeof(buffer)), false);
}

void LogSingleton::addInteger(const std::string& text, bool isSigned, long long s,
                              unsigned long long u) {
    char buffer[512];
    const int n = isSigned ? std::snprintf(buffer, sizeof(buffer), "%s %lld", text.c_str(), s)
                           : std::snprintf(buffer, sizeof(buffer), "%s %llu", text.c_str(), u);
    writeLine(buffer, Clamp(n, sizeof(buffer)), false);
}

void LogSingleton::addFormat(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    writeLine(buffer, Clamp(n, sizeof(buffer)), false);
}

int LogSingleton::FormatTimeStamp(char* out, size_t size) const {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long sec = static_cast<long long>(now.tv_sec) - startTime.tv_sec;
    long long nsec = static_cast<long long>(now.tv_nsec) - startTime.tv_nsec;
    if (nsec < 0) {
        nsec += 1000000000LL;
        sec -= 1;
    }
    const long long ms = nsec / 1000000 + 1000 * sec;
    const int n = std::snprintf(out, size, "%02d:%02d:%02d:%03d", static_cast<int>(ms / 3600000),
                                static_cast<int>((ms / 60000) % 60),
                                static_cast<int>((ms / 1000) % 60), static_cast<int>(ms % 1000));
    return static_cast<int>(Clamp(n, size));
}

std::string LogSingleton::GetTimeString() const {
    char buffer[64];
    FormatTimeStamp(buffer, sizeof(buffer));
    return buffer;
}

int LogSingleton::GetLogMessage(std::string* out) {
    std::unique_lock<std::mutex> lock(logMutex);
    if (ringWrite == ringRead) return 0;
    const std::uint64_t seq = ringSeq[static_cast<size_t>(ringRead)];
    if (handledSeq < seq && handledSeq != ringStalledAt && std::this_thread::get_id() != writerId &&
        !WriteHereInForkedChild(lock)) {
        WakeWriter();
        if (!lineHandled.wait_for(lock, kRingWaitForWriter, [&] { return handledSeq >= seq; })) {
            ringStalledAt = handledSeq;
        }
    }
    const int unread = (ringWrite - ringRead + kRingSize) % kRingSize;
    *out = logRing[static_cast<size_t>(ringRead)];
    ringRead = (ringRead + 1) % kRingSize;
    return unread;
}

void LogSingleton::WakeWriter() {
    if (!writerSleeping) return;
    writerSleeping = false;
    wakeWriter.notify_one();
}

// The ring keeps the order of the log: a line the writer adds goes after line seq.
void LogSingleton::RingInsertAfter(std::uint64_t seq, const std::string& line) {
    int place = ringRead;
    while (place != ringWrite && ringSeq[static_cast<size_t>(place)] <= seq) {
        place = (place + 1) % kRingSize;
    }
    int at = ringWrite;
    logRing[static_cast<size_t>(at)] = line;
    ringSeq[static_cast<size_t>(at)] = seq;
    while (at != place) {
        const int before = (at + kRingSize - 1) % kRingSize;
        std::swap(logRing[static_cast<size_t>(at)], logRing[static_cast<size_t>(before)]);
        std::swap(ringSeq[static_cast<size_t>(at)], ringSeq[static_cast<size_t>(before)]);
        at = before;
    }
    ringWrite = (ringWrite + 1) % kRingSize;
    if (ringWrite == ringRead) ringRead = (ringRead + 1) % kRingSize;
}

// ---------------------------------------------------------------------------------------
// Log lines: the writer thread

void LogSingleton::WriterLoop() {
    pthread_setname_np(pthread_self(), "LogWriter");
    BlockStopSignals();
    std::unique_lock<std::mutex> lock(logMutex);
    while (true) {
        WriteQueued(lock);
        if (TellConsoleGone(lock)) continue;
        if (stopping) break;
        writerSleeping = true;
        wakeWriter.wait_for(lock, kWriterPoll, [this] { return !writerSleeping; });
        writerSleeping = false;
    }
}

void LogSingleton::WriteQueued(std::unique_lock<std::mutex>& lock) {
    // Lines are taken in batches: the callers meet the lock twice a batch, not twice a line.
    constexpr size_t kBatch = 64;
    LogLineQueue::Line lines[kBatch];
    while (true) {
        std::uint64_t cursor = queue.Begin();
        size_t count = 0;
        while (count < kBatch && queue.Next(&cursor, &lines[count])) ++count;
        if (count > 0) {
            lock.unlock();
            for (size_t i = 0; i < count; ++i) {
                const LogLineQueue::Line& line = lines[i];
                if (line.droppedBefore > 0) WriteDroppedCount(line.droppedBefore, line.seq - 1);
                WriteOut(line.text, line.length, line.toStderr, line.seq, line.consoleOnly);
            }
            if (!childStarted) console->Wake();
            lock.lock();
            queue.PopTo(cursor);
            handledSeq = lines[count - 1].seq;
            lineHandled.notify_all();
            continue;
        }
        const std::uint64_t dropped = queue.TakeDropped();
        if (dropped > 0) {
            const std::uint64_t last = lineSeq;
            lock.unlock();
            WriteDroppedCount(dropped, last);
            lock.lock();
            continue;
        }
        if (handledSeq != lineSeq) {
            handledSeq = lineSeq;
            lineHandled.notify_all();
        }
        return;
    }
}

bool LogSingleton::WriteHereInForkedChild(std::unique_lock<std::mutex>& lock) {
    if (!InForkedChild()) return false;
    StartForkedChild();  // an object without fork handlers learns of the fork only now
    if (!childWriting) {
        childWriting = true;
        WriteQueued(lock);
        childWriting = false;
    }
    return true;
}

void LogSingleton::WriteDroppedCount(std::uint64_t count, std::uint64_t seq) {
    char text[128];
    const int n = std::snprintf(text, sizeof(text), "%s     Log: %llu lines dropped (queue full)\n",
                                GetTimeString().c_str(), static_cast<unsigned long long>(count));
    WriteOut(text, Clamp(n, sizeof(text)), false, seq);
}

void LogSingleton::WriteOut(const char* text, size_t length, bool toStderr, std::uint64_t seq,
                            bool consoleOnly) {
    Notices notices;
    if (consoleOnly) {
        ToConsole(toStderr, text, length, &notices);
    } else {
        WriteOne(text, length, toStderr, &notices);
    }
    WriteNotices(seq, &notices);
}

bool LogSingleton::TellConsoleGone(std::unique_lock<std::mutex>& lock) {
    if (childStarted) return false;
    for (const bool toStderr : {false, true}) {
        const int stream = toStderr ? 1 : 0;
        if (consoleGoneTold[stream] || console->GoneError(toStderr) == 0) continue;
        const std::uint64_t seq = lineSeq;
        lock.unlock();
        Notices notices;
        TellGone(toStderr, &notices);
        WriteNotices(seq, &notices);
        lock.lock();
        if (!notices.empty()) return true;
    }
    return false;
}

void LogSingleton::TellGone(bool toStderr, Notices* notices) {
    const int stream = toStderr ? 1 : 0;
    if (consoleGoneTold[stream]) return;
    {
        // Told in the files: before the first one is open (start-up), wait for it.
        std::lock_guard<std::mutex> files(filesMutex);
        if (logFd < 0) return;
    }
    consoleGoneTold[stream] = true;
    char line[256];
    std::snprintf(line, sizeof(line), "Log: %s is gone (%s), its lines reach only the log files", StreamName(toStderr),
                  std::strerror(console->GoneError(toStderr)));
    notices->push_back({line, true});
}

void LogSingleton::WriteNotices(std::uint64_t seq, Notices* pending) {
    // What the writer has to say about a line (a rotation's rename failure, a file or a
    // console that stopped or resumed) follows it, in the ring as well.
    Notices& notices = *pending;
    for (size_t i = 0; i < notices.size(); ++i) {
        const Notice notice = notices[i];
        const std::string stamp = GetTimeString();
        {
            std::lock_guard<std::mutex> lock(logMutex);
            RingInsertAfter(seq, stamp + " " + notice.text);
        }
        const std::string line = stamp + "     " + notice.text + "\n";
        if (notice.toFile) {
            WriteOne(line.data(), line.size(), false, &notices);
        } else {
            ToConsole(false, line.data(), line.size(), &notices);
        }
    }
}

void LogSingleton::WriteOne(const char* text, size_t length, bool toStderr, Notices* notices) {
    ToConsole(toStderr, text, length, notices);
    RotationOutput rotation;
    {
        std::unique_lock<std::mutex> files(filesMutex);
        ToFile(text, length, notices);
        // The parent owns the rotation: a forked child only appends.
        if (entryCount <= static_cast<long long>(maxEntries.load()) || entryCount < rotationRetryAt ||
            childStarted) {
            return;
        }
        changeFile(files, &rotation);
    }
    if (!rotation.console.empty()) console->Add(false, rotation.console.data(), rotation.console.size());
    notices->insert(notices->end(), rotation.notices.begin(), rotation.notices.end());
}

void LogSingleton::ToConsole(bool toStderr, const char* text, size_t length, Notices* notices) {
    if (childStarted) {
        console->WriteInForkedChild(toStderr, text, length);
        return;
    }
    if (console->GoneError(toStderr) != 0) {
        TellGone(toStderr, notices);
        return;
    }
    // Once full, the console gets lines again only when half its queue is free, so a slow
    // console is told of in a few lines, not in two per line.
    if (consoleDropping) {
        if (console->MoreThanHalfFull()) {
            ++consoleDropped;
            return;
        }
        consoleDropping = false;
        char line[256];
        std::snprintf(line, sizeof(line), "Log: the console takes lines again, %llu were not shown on it",
                      static_cast<unsigned long long>(consoleDropped));
        notices->push_back({line, true});
        consoleDropped = 0;
    }
    if (console->Add(toStderr, text, length) == LogConsole::Added::Full) {
        consoleDropping = true;
        consoleDropped = 1;
        notices->push_back({"Log: the console takes no lines, they reach only the log files until it does", true});
    }
}

void LogSingleton::ToFile(const char* text, size_t length, Notices* notices) {
    if (logFd < 0) return;  // no file: lines still reach the console and the ring
    size_t written = 0;
    int error = 0;
    if (fileMidLine) {
        // End the piece a failed write left, so this line starts on a line of its own.
        error = WriteAll(logFd, "\n", 1, &written);
        if (error == 0) fileMidLine = false;
    }
    if (error == 0) error = WriteAll(logFd, text, length, &written);
    if (error == 0) {
        ++entryCount;
        if (fileFailing) {
            fileFailing = false;
            char line[512];
            std::snprintf(line, sizeof(line), "Log: writing '%s' works again, %llu lines are missing in it",
                          logFileNames.empty() ? "" : logFileNames[0].c_str(),
                          static_cast<unsigned long long>(fileLost));
            notices->push_back({line, true});
            fileLost = 0;
        }
        return;
    }
    if (written > 0) fileMidLine = true;
    ++fileLost;
    if (fileFailing) return;
    fileFailing = true;
    char line[512];
    std::snprintf(line, sizeof(line), "Log: writing '%s' failed (%s), lines reach only the console until it works again",
                  logFileNames.empty() ? "" : logFileNames[0].c_str(), std::strerror(error));
    notices->push_back({line, false});
}

// ---------------------------------------------------------------------------------------
// Files

void LogSingleton::SetLogFileCount(unsigned n) {
    if (n < 2) n = 2;
    {
        std::lock_guard<std::mutex> files(filesMutex);
        const size_t current = logFileNames.size();
        if (current == n) return;
        if (current < n) {
            logFileNames.clear();
            for (unsigned i = 1; i <= n; ++i) logFileNames.push_back(LogFileName(i));
        } else {
            for (size_t i = n; i < current; ++i) deleteFile(logFileNames[i]);
            logFileNames.resize(n);
        }
        logFileCount.store(static_cast<int>(n));
    }
    addFormat("Log file count set to %u", n);
}

int LogSingleton::GetLogFileCount() const { return logFileCount.load(); }

void LogSingleton::SetMaxEntries(unsigned n) {
    if (n < 250) n = 250;
    if (maxEntries.exchange(n) == n) return;
    addFormat("Log entry count set to %u", n);
}

unsigned LogSingleton::GetMaxEntries() const { return maxEntries.load(); }

std::uint64_t LogSingleton::WaitForWriter(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(logMutex);
    if (std::this_thread::get_id() == writerId) return 0;
    const std::uint64_t target = lineSeq;
    if (WriteHereInForkedChild(lock)) return 0;
    WakeWriter();
    if (lineHandled.wait_until(lock, deadline, [&] { return handledSeq >= target; })) return 0;
    return target - handledSeq;
}

bool LogSingleton::Flush(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    if (std::this_thread::get_id() == writerId) return true;
    const std::uint64_t notWritten = WaitForWriter(deadline);
    if (childStarted) return true;  // a forked child wrote its lines itself
    if (notWritten > 0) {
        addFormat("Log: Flush gave up after %lld ms, %llu lines were not yet in the log file",
                  static_cast<long long>(bound.count()), static_cast<unsigned long long>(notWritten));
        return false;
    }
    switch (console->WaitWritten(deadline)) {
        case LogConsole::Waited::Written: return true;
        case LogConsole::Waited::Stalled: return false;
        case LogConsole::Waited::TimedOut: break;
    }
    addFormat("Log: Flush stopped waiting for the console after %lld ms", static_cast<long long>(bound.count()));
    return false;
}

void LogSingleton::changeFile(std::unique_lock<std::mutex>& files, RotationOutput* out) {
    const size_t n = logFileNames.size();
    if (n < 2) return;
    // The new file is opened first: when that fails (no descriptor left, no space for an
    // entry) nothing has moved and the current file goes on.
    const std::string fresh = logFileNames[0] + ".new";
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int err = errno;
        rotationRetryAt = entryCount + kRotationRetryLines;
        if (rotationFailing) return;
        rotationFailing = true;
        char line[512];
        std::snprintf(line, sizeof(line), "Log: could not open a new log file (%s), '%s' goes on", std::strerror(err),
                      logFileNames[0].c_str());
        out->notices.push_back({line, true});
        return;
    }
    rotationFailing = false;
    rotationRetryAt = 0;
    // The current file holds lines (the count only grows by written ones); a file left by
    // the previous run only when it holds more than a header.
    const bool intoHistory = logFd >= 0 || HoldsLogLines(logFileNames[0]);
    if (intoHistory) {
        deleteFile(logFileNames[n - 1]);
        for (size_t i = n - 1; i >= 2; --i) {
            RotateRename(logFileNames[i - 1], logFileNames[i], &out->notices);
        }
        RotateRename(logFileNames[0], logFileNames[1], &out->notices);
    }
    // When file 01 could not be moved away, replacing it would throw away the newest
    // lines: continue it instead.
    bool continued = intoHistory && fileExists(logFileNames[0]);
    if (!continued && std::rename(fresh.c_str(), logFileNames[0].c_str()) != 0) {
        const int err = errno;
        char line[1024];
        std::snprintf(line, sizeof(line), "Moving file '%s' to '%s' failed: %s", fresh.c_str(),
                      logFileNames[0].c_str(), std::strerror(err));
        out->notices.push_back({line, true});
        continued = true;
    }
    int next = fd;
    if (continued) {
        close(fd);
        std::remove(fresh.c_str());
        next = logFd >= 0 ? -1 : open(logFileNames[0].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (next >= 0) {
        if (logFd < 0) {
            logFd = next;
        } else {
            dup3(next, logFd, O_CLOEXEC);  // the log keeps its number
            close(next);
        }
    }
    fileFailing = false;
    fileMidLine = false;
    fileLost = 0;
    // Without the lock: a change of the file count need not wait for the disk.
    files.unlock();
    sync();
    files.lock();
    entryCount = 0;
    addHeader(out);
}

void LogSingleton::addHeader(RotationOutput* out) {
    if (logFd >= 0) {
        const time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        char stamp[64] = {};
        asctime_r(&local, stamp);
        char header[128];
        const int length = std::snprintf(header, sizeof(header), "JXR Belvanto LogFile.\n%s\n", stamp);
        size_t written = 0;
        WriteAll(logFd, header, Clamp(length, sizeof(header)), &written);
    }
    entryCount += 3;

    std::string oldProgramPath;
    std::string oldRootPath;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        oldProgramPath = programPath;
        oldRootPath = rootPath;
    }
    out->console += "JXR Belvanto\nProgram path: " + oldProgramPath + "\nRoot path: " + oldRootPath + "\n";

    char cwd[1024];
    std::string newProgramPath = (getcwd(cwd, sizeof(cwd)) != nullptr) ? cwd : "";
    std::string newRootPath = findRootDirectory(newProgramPath);
    std::lock_guard<std::mutex> lock(stateMutex);
    programPath = std::move(newProgramPath);
    rootPath = std::move(newRootPath);
}

// ---------------------------------------------------------------------------------------
// Display and server messages

void LogSingleton::SetServerMessageCallback(std::function<void(const std::string&)> callback) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    serverMessageCallback = std::move(callback);
}

void LogSingleton::ServerSetMessage(const std::string& text) {
    if (tlsLogSink != nullptr) {
        tlsLogSink->Line(LogLineKind::Server, "", text.c_str());
        return;
    }
    std::function<void(const std::string&)> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = serverMessageCallback;
    }
    if (callback) callback(text);
}

void LogSingleton::DisplayAndServerSetMessage(const std::string& text) {
    if (tlsLogSink != nullptr) {
        tlsLogSink->Line(LogLineKind::DisplayAndServer, "", text.c_str());
        return;
    }
    ServerSetMessage(text);
    std::lock_guard<std::mutex> lock(displayMutex);
    displayMessages.push_back(text);
    while (displayMessages.size() > static_cast<size_t>(kMaxDisplayMessages)) {
        displayMessages.pop_front();
        ++displayFrontNumber;
    }
}

bool LogSingleton::DisplayGetMessage(DisplayCursor& cursor, std::string* out) {
    std::lock_guard<std::mutex> lock(displayMutex);
    // A reader that fell more than the queue behind goes on with the oldest kept.
    cursor.next = std::max(cursor.next, displayFrontNumber);
    const std::uint64_t index = cursor.next - displayFrontNumber;
    if (index >= displayMessages.size()) return false;
    *out = displayMessages[static_cast<size_t>(index)];
    const auto now = std::chrono::steady_clock::now();
    if (cursor.first) {
        cursor.first = false;
        cursor.shownSince = now;
    } else if (now - cursor.shownSince > std::chrono::milliseconds(500)) {
        ++cursor.next;
        cursor.shownSince = now;
    }
    return true;
}

void LogSingleton::DisplaySetFilename(const std::string& name) {
    std::lock_guard<std::mutex> lock(displayMutex);
    displayFilename = name;
    displayFilenamePending = true;
}

bool LogSingleton::DisplayGetFilename(std::string* out) {
    std::lock_guard<std::mutex> lock(displayMutex);
    if (!displayFilenamePending) return false;
    *out = displayFilename;
    displayFilenamePending = false;
    return true;
}

// ---------------------------------------------------------------------------------------
// Status

void LogSingleton::set_seriousFailReason(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        seriousFailReason = reason;
    }
    if (!reason.empty()) ServerSetMessage("Serious Failure " + reason);
}

void LogSingleton::SeriousFailure(const std::string& line, const std::string& reason) {
    addError(line);
    set_seriousFailReason(reason);
    set_opMode(OPMODE_SERIOUS_FAILURE);
}

std::string LogSingleton::get_seriousFailReason() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return seriousFailReason;
}

void LogSingleton::set_softwareVersion(const std::string& text, int major, int minor) {
    std::lock_guard<std::mutex> lock(stateMutex);
    softwareVersion = text;
    softwareVersionMajor.store(major);
    softwareVersionMinor.store(minor);
}

std::string LogSingleton::get_softwareVersion() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return softwareVersion;
}

std::string LogSingleton::get_rootPath() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return rootPath;
}

std::string LogSingleton::get_programPath() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return programPath;
}

void LogSingleton::set_robotName(const std::string& name) {
    std::lock_guard<std::mutex> lock(stateMutex);
    robotName = name;
}

std::string LogSingleton::get_robotName() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return robotName;
}

void LogSingleton::set_robotType(const std::string& type) {
    std::lock_guard<std::mutex> lock(stateMutex);
    robotType = type;
}

std::string LogSingleton::get_robotType() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return robotType;
}

void LogSingleton::set_robotGripper(const std::string& gripper) {
    std::lock_guard<std::mutex> lock(stateMutex);
    robotGripper = gripper;
}

std::string LogSingleton::get_robotGripper() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return robotGripper;
}

std::string LogSingleton::getIPAdress() const {
    // Lists the interfaces directly instead of parsing "ifconfig" output, whose layout
    // differs between tool versions.
    std::string result = "Running on IP address: ";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) == nullptr) continue;
            if (std::strcmp(text, "127.0.0.1") == 0) continue;
            result += text;
            result += "   ";
        }
        freeifaddrs(list);
    }
    if (result.size() > 511) result.resize(511);
    return result;
}

// ---------------------------------------------------------------------------------------
// Free helpers

std::string GetHourString(int minutes) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "%3.1d days   %.2d h   %.2d min", minutes / 1440,
                  (minutes / 60) % 24, minutes % 60);
    return buffer;
}

bool fileExists(const std::string& path) {
    // Without opening it: the rotation asks while descriptors may have run out.
    return access(path.c_str(), R_OK) == 0;
}

void deleteFile(const std::string& path) {
    if (fileExists(path)) std::remove(path.c_str());
}

void moveFile(const std::string& from, const std::string& to) {
    if (!fileExists(from) || fileExists(to)) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        LogSingleton::instance()->addFormat("Moving file '%s' to '%s' failed: %s", from.c_str(),
                                            to.c_str(), std::strerror(err));
    }
}

std::string findRootDirectory(const std::string& path) {
    std::string p = path;
    while (true) {
        if (Filesystem::IsDirectory(p + "/Data")) return p + "/";
        const size_t slash = p.rfind('/');
        if (slash == std::string::npos || slash == 0) return path + "/";
        p.resize(slash);
    }
}
