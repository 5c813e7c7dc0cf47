#include "core/LogConsole.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <vector>

namespace {

class StandardStreams : public LogConsoleSink {
public:
    int Write(bool toStderr, const char* text, size_t length) override {
        const int fd = toStderr ? STDERR_FILENO : STDOUT_FILENO;
        while (length > 0) {
            const ssize_t n = ::write(fd, text, length);
            if (n > 0) {
                text += n;
                length -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Someone made the stream non-blocking: wait here, on this thread only.
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
                continue;
            }
            return n < 0 ? errno : EIO;
        }
        return 0;
    }
};

// Errors after which a stream takes nothing again: its reader or its device is gone.
bool EndsTheStream(int error) { return error == EPIPE || error == EBADF || error == EIO || error == ENXIO; }

}  // namespace

std::unique_ptr<LogConsoleSink> MakeStandardStreamsSink() { return std::make_unique<StandardStreams>(); }

struct LogConsole::State {
    State(std::unique_ptr<LogConsoleSink> s, size_t bytes) : sink(std::move(s)), queue(bytes) {}

    std::unique_ptr<LogConsoleSink> sink;
    std::atomic<int> goneError[2] = {{0}, {0}};  // standard output, standard error

    std::mutex mutex;  // everything below
    LogLineQueue queue;
    std::uint64_t queued = 0;   // number of the last line queued
    std::uint64_t written = 0;  // every line up to this one is out
    std::uint64_t stalledAt = ~std::uint64_t{0};  // written when a wait gave up
    bool sleeping = false;
    bool stopping = false;
    bool finished = false;
    std::condition_variable wake;
    std::condition_variable progress;
};

namespace {

void ConsoleLoop(std::shared_ptr<LogConsole::State> s) {
    pthread_setname_np(pthread_self(), "LogConsole");
    // A reader that went away is a failed write here, never the end of the process; the
    // stop signals go to the threads that handle them.
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    constexpr size_t kBatch = 64;
    LogLineQueue::Line lines[kBatch];
    std::unique_lock<std::mutex> lock(s->mutex);
    while (true) {
        std::uint64_t cursor = s->queue.Begin();
        size_t count = 0;
        while (count < kBatch && s->queue.Next(&cursor, &lines[count])) ++count;
        if (count > 0) {
            lock.unlock();
            for (size_t i = 0; i < count; ++i) {
                std::atomic<int>& gone = s->goneError[lines[i].toStderr ? 1 : 0];
                if (gone.load() != 0) continue;
                const int error = s->sink->Write(lines[i].toStderr, lines[i].text, lines[i].length);
                if (EndsTheStream(error)) gone.store(error);
            }
            lock.lock();
            s->queue.PopTo(cursor);
            s->written = lines[count - 1].seq;
            s->progress.notify_all();
            continue;
        }
        (void)s->queue.TakeDropped();  // the owner counts what it could not add
        if (s->stopping) break;
        s->sleeping = true;
        s->wake.wait_for(lock, LogConsole::kPoll, [&] { return !s->sleeping || s->stopping; });
        s->sleeping = false;
    }
    s->finished = true;
    s->progress.notify_all();
}

}  // namespace

LogConsole::LogConsole(std::unique_ptr<LogConsoleSink> sink, size_t queueBytes)
    : state(std::make_shared<State>(sink ? std::move(sink) : MakeStandardStreamsSink(), queueBytes)),
      thread(ConsoleLoop, state) {}

LogConsole::~LogConsole() {
    if (!state) return;
    WaitWritten(std::chrono::steady_clock::now() + kStopBound);
    bool finished;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->stopping = true;
        state->wake.notify_all();
        finished = state->progress.wait_for(lock, 2 * kPoll, [this] { return state->finished; });
    }
    if (finished) {
        thread.join();
    } else {
        thread.detach();  // stuck in a write; it holds its own reference to the state
    }
}

LogConsole::Added LogConsole::Add(bool toStderr, const char* text, size_t length) {
    if (state->goneError[toStderr ? 1 : 0].load() != 0) return Added::Gone;
    if (length > 0 && text[length - 1] == '\n') --length;  // the queue ends every line
    // The queue cuts a line's body, never its head: a long line keeps all of it.
    const size_t head = std::min<size_t>(length, 64);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->queue.Push(state->queued + 1, toStderr, text, head, text + head, length - head)) return Added::Full;
    ++state->queued;
    return Added::Queued;
}

void LogConsole::Wake() {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->sleeping) return;
        state->sleeping = false;
    }
    state->wake.notify_one();
}

bool LogConsole::MoreThanHalfFull() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->queue.MoreThanHalfFull();
}

int LogConsole::GoneError(bool toStderr) const { return state->goneError[toStderr ? 1 : 0].load(); }

LogConsole::Waited LogConsole::WaitWritten(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(state->mutex);
    const std::uint64_t target = state->queued;
    if (state->written >= target) return Waited::Written;
    if (state->written == state->stalledAt) return Waited::Stalled;
    if (state->sleeping) {
        state->sleeping = false;
        state->wake.notify_one();
    }
    if (state->progress.wait_until(lock, deadline, [&] { return state->written >= target; })) {
        return Waited::Written;
    }
    state->stalledAt = state->written;
    return Waited::TimedOut;
}

void LogConsole::WriteInForkedChild(bool toStderr, const char* text, size_t length) {
    std::atomic<int>& gone = state->goneError[toStderr ? 1 : 0];
    if (gone.load() != 0) return;
    const int error = state->sink->Write(toStderr, text, length);
    if (EndsTheStream(error)) gone.store(error);
}

void LogConsole::AbandonInForkedChild() {
    // The thread object names the parent's thread, and the state's mutex and condition
    // variables may be in the parent's use: none of it may be touched here. Kept where
    // the process can still reach it, never destroyed.
    static std::vector<void*>* kept = new std::vector<void*>();
    kept->push_back(new std::shared_ptr<State>(std::move(state)));
    kept->push_back(new std::thread(std::move(thread)));
}
