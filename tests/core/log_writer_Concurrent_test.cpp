// The log's writer thread: callers never wait for the console or the disk, a full queue
// drops the newest lines and says how many, lines keep their order on every output, and
// the queue is written out before the object or the process goes.
#include "core/LogLineQueue.h"
#include "core/LogSingleton.h"

#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::ScopedCwd;
using TestSupport::TempDataRoot;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Text after "hh:mm:ss:mmm     "; empty when the line has no stamp.
std::string StampedText(const std::string& line) {
    static const std::regex stamp(R"(^\d{2,}:\d{2}:\d{2}:\d{3}     )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) return "";
    return line.substr(static_cast<size_t>(m.length(0)));
}

std::vector<std::string> StampedTexts(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        const std::string text = StampedText(line);
        if (!text.empty()) texts.push_back(text);
    }
    return texts;
}

// Texts of the log lines in the rotated files, oldest file first.
std::vector<std::string> FileTexts(const std::string& folder) {
    std::vector<std::string> texts;
    for (int number = 5; number >= 1; --number) {
        const std::string name = folder + "/logMessages0" + std::to_string(number) + ".txt";
        if (!fs::exists(name)) continue;
        for (const auto& text : StampedTexts(SplitLines(TestSupport::ReadWholeFile(name)))) {
            texts.push_back(text);
        }
    }
    return texts;
}

std::string Numbered(const char* prefix, int n, int width) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s %0*d", prefix, width, n);
    return text;
}

// The console side of a log object: keeps every write and can hold the writer in one.
struct ConsoleProbe {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> writes;
    int entered = 0;   // writes begun
    long permits = -1;  // writes still let through; negative: all

    void Hold() {
        std::lock_guard<std::mutex> lock(mutex);
        permits = 0;
    }
    void Let(long count) {
        std::lock_guard<std::mutex> lock(mutex);
        permits = count;
        changed.notify_all();
    }
    void Release() { Let(-1); }
    int Entered() {
        std::lock_guard<std::mutex> lock(mutex);
        return entered;
    }
    bool WaitEntered(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return entered >= count; });
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& w : writes) all += w;
        return StampedTexts(SplitLines(all));
    }
};

class ProbeSink : public LogConsoleSink {
public:
    explicit ProbeSink(std::shared_ptr<ConsoleProbe> probe) : probe(std::move(probe)) {}
    void Write(bool, const char* text, size_t length) override {
        std::unique_lock<std::mutex> lock(probe->mutex);
        ++probe->entered;
        probe->changed.notify_all();
        probe->changed.wait(lock, [this] { return probe->permits != 0; });
        if (probe->permits > 0) --probe->permits;
        probe->writes.emplace_back(text, length);
    }

private:
    std::shared_ptr<ConsoleProbe> probe;
};

// Runs work on a thread of its own; false when it has not returned in time (a caller
// that waits for the writer).
bool ReturnsInTime(const std::function<void()>& work) {
    auto done = std::async(std::launch::async, work);
    const bool returned = done.wait_for(kPatience) == std::future_status::ready;
    if (!returned) ADD_FAILURE() << "a caller waited for the held writer";
    return returned;
}

// Points a standard file descriptor elsewhere for the object's lifetime.
class Redirect {
public:
    Redirect(int fd, int target) : fd(fd), saved(dup(fd)) {
        std::fflush(nullptr);
        dup2(target, fd);
    }
    ~Redirect() { Restore(); }
    void Restore() {
        if (saved < 0) return;
        std::fflush(nullptr);
        dup2(saved, fd);
        close(saved);
        saved = -1;
    }

private:
    int fd;
    int saved;
};

class LogWriterConcurrent : public ::testing::Test {
protected:
    TempDataRoot root_;
    ScopedCwd cwd_{root_.Path()};
};

}  // namespace

TEST_F(LogWriterConcurrent, HeldWriterLeavesAddFreeAndReportsTheDroppedNewestLines) {
    auto probe = std::make_shared<ConsoleProbe>();
    // Room for exactly eight lines "line NN" with a stamp of twelve characters.
    const size_t record = LogLineQueue::RecordBytes(12 + 5 + 7 + 1);
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0),
                                              std::make_unique<ProbeSink>(probe), 8 * record);
    const int before = probe->Entered();
    probe->Hold();

    ASSERT_TRUE(ReturnsInTime([&] { log->add(Numbered("line", 0, 2)); }));
    ASSERT_TRUE(probe->WaitEntered(before + 1));  // the writer is inside the console write
    // Lines 1..7 fill the queue behind line 0; 8..20 are dropped.
    ASSERT_TRUE(ReturnsInTime([&] {
        for (int i = 1; i <= 20; ++i) log->add(Numbered("line", i, 2));
    }));
    // Line 0 out, which frees its place; the writer is held again on line 1.
    probe->Let(1);
    ASSERT_TRUE(probe->WaitEntered(before + 2));
    // Line 21 takes that place and the count of the gap before it; 22..30 drop.
    ASSERT_TRUE(ReturnsInTime([&] {
        for (int i = 21; i <= 30; ++i) log->add(Numbered("line", i, 2));
    }));
    probe->Release();
    log->Flush();
    log->add(Numbered("line", 31, 2));
    log->Flush();

    std::vector<std::string> expected;
    for (int i = 0; i <= 7; ++i) expected.push_back(Numbered("line", i, 2));
    expected.push_back("Log: 13 lines dropped (queue full)");
    expected.push_back(Numbered("line", 21, 2));
    expected.push_back("Log: 9 lines dropped (queue full)");
    expected.push_back(Numbered("line", 31, 2));
    const auto console = probe->Texts();
    ASSERT_GE(console.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(console.end() - static_cast<long>(expected.size()), console.end()),
              expected);
    EXPECT_EQ(FileTexts(root_.Path()), expected);

    // The ring is filled on the caller's thread: it lost nothing.
    std::vector<std::string> ring;
    std::string line;
    while (log->GetLogMessage(&line) > 0) ring.push_back(line.substr(line.find(' ') + 1));
    ASSERT_EQ(ring.size(), 32u);
    for (int i = 0; i <= 31; ++i) EXPECT_EQ(ring[static_cast<size_t>(i)], Numbered("line", i, 2));
}

TEST_F(LogWriterConcurrent, StdoutPipeNobodyReadsHoldsUpNoCaller) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::unique_ptr<LogSingleton> log;
    std::string output;
    constexpr int kFirst = 200;  // more than the pipe holds
    constexpr int kLines = kFirst + 2000;
    bool returned = false;
    bool pipeFull = false;
    {
        Redirect out(STDOUT_FILENO, fds[1]);
        log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), nullptr, 16 * 1024);
        for (int i = 0; i < kFirst; ++i) log->add(Numbered("pipe line", i, 4));
        // Once the pipe is full the writer is stuck in its write; the queue then takes
        // a few hundred of the next lines and drops the rest.
        pipeFull = TestSupport::WaitUntil(
            [&] {
                int queued = 0;
                return ioctl(fds[0], FIONREAD, &queued) == 0 && queued > 4096 - 64;
            },
            20000, 5);
        returned = ReturnsInTime([&] {
            for (int i = kFirst; i < kLines; ++i) log->add(Numbered("pipe line", i, 4));
        });
        // Now read the pipe: the writer goes on, reports the drops and ends.
        std::thread reader([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) output.append(buffer, static_cast<size_t>(n));
        });
        log.reset();
        out.Restore();
        close(fds[1]);
        reader.join();
        close(fds[0]);
    }
    ASSERT_TRUE(pipeFull);
    ASSERT_TRUE(returned);

    auto texts = StampedTexts(SplitLines(output));
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts.front(), "Log file count set to 5");
    texts.erase(texts.begin());
    // Lines in order; each gap of dropped lines is counted where it is, so the counts and
    // the lines written add up to every line logged.
    const std::regex countLine(R"(Log: (\d+) lines dropped \(queue full\))");
    int next = 0;
    int written = 0;
    int gaps = 0;
    for (const auto& text : texts) {
        std::smatch m;
        if (std::regex_match(text, m, countLine)) {
            next += std::stoi(m[1]);
            ++gaps;
            continue;
        }
        ASSERT_EQ(text, Numbered("pipe line", next, 4)) << output;
        ++next;
        ++written;
    }
    EXPECT_EQ(next, kLines);
    EXPECT_GT(written, 0);
    EXPECT_GT(gaps, 0);
    EXPECT_TRUE(std::regex_match(texts.back(), countLine)) << "the newest lines were dropped";
}

TEST_F(LogWriterConcurrent, TenThousandQueuedLinesAreInTheFilesInOrderAfterDestruction) {
    auto probe = std::make_shared<ConsoleProbe>();
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::make_unique<ProbeSink>(probe));
    const int before = probe->Entered();
    probe->Hold();
    constexpr int kLines = 10000;
    ASSERT_TRUE(ReturnsInTime([&] {
        for (int i = 1; i <= kLines; ++i) log->add(Numbered("line", i, 5));
    }));
    ASSERT_TRUE(probe->WaitEntered(before + 1));
    probe->Release();
    log.reset();

    std::vector<std::string> expected;
    for (int i = 1; i <= kLines; ++i) expected.push_back(Numbered("line", i, 5));
    const auto files = FileTexts(root_.Path());
    ASSERT_EQ(files.size(), expected.size());
    EXPECT_TRUE(files == expected);
    EXPECT_TRUE(fs::exists(root_.Path() + "/logMessages03.txt")) << "5000 lines per file";
    const auto console = probe->Texts();
    ASSERT_GE(console.size(), expected.size());
    EXPECT_TRUE(std::vector<std::string>(console.end() - kLines, console.end()) == expected);
}

TEST_F(LogWriterConcurrent, LinesOfManyThreadsStayWholeAndInOrderOnStdoutAndStderr) {
    const std::string consolePath = root_.Path() + "/console.txt";
    const int consoleFile = open(consolePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(consoleFile, 0);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::string> fileTexts;
    {
        Redirect out(STDOUT_FILENO, consoleFile);
        Redirect err(STDERR_FILENO, consoleFile);
        LogSingleton log(std::chrono::milliseconds(0));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) {
                    const std::string text = "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                                             std::string(static_cast<size_t>((i * 37 + t) % 300), 'x');
                    if (i % 2 == 0) {
                        log.add(text);
                    } else {
                        log.addError(text);
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        log.Flush();
        fileTexts = FileTexts(root_.Path());
    }
    close(consoleFile);

    // Everything after the start-up lines is one whole log line per line.
    const auto lines = SplitLines(TestSupport::ReadWholeFile(consolePath));
    size_t first = 0;
    while (first < lines.size() && lines[first].rfind("LogSingleton:", 0) != 0) ++first;
    ASSERT_LT(first, lines.size());
    const std::regex form(R"(t(\d) n(\d+) (x*))");
    std::vector<std::string> consoleTexts;
    std::map<int, int> next;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        const std::string text = StampedText(lines[i]);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, form)) << lines[i];
        const int t = std::stoi(m[1]);
        const int n = std::stoi(m[2]);
        EXPECT_EQ(n, next[t]) << lines[i];
        EXPECT_EQ(m[3].length(), (n * 37 + t) % 300) << lines[i];
        next[t] = n + 1;
        consoleTexts.push_back(text);
    }
    EXPECT_EQ(consoleTexts.size(), static_cast<size_t>(kThreads * kLines));
    // Standard output, standard error and the file hold the lines in one order.
    EXPECT_TRUE(consoleTexts == fileTexts);
}

#ifdef BELVANTO_LOG_EXIT_CHILD
TEST_F(LogWriterConcurrent, ProcessExitWritesOutEveryQueuedLine) {
    // The child queues 10,000 lines behind a stdout pipe nobody reads yet, says "queued"
    // on stderr and returns from main.
    int out[2];
    int err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const std::string folder = root_.Path();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execl(BELVANTO_LOG_EXIT_CHILD, BELVANTO_LOG_EXIT_CHILD, folder.c_str(), "10000",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    std::string said;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (said.find("queued") == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{err[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(err[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        said.append(buffer, static_cast<size_t>(n));
    }
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof(buffer))) > 0) output.append(buffer, static_cast<size_t>(n));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(out[0]);
    close(err[0]);
    ASSERT_NE(said.find("queued"), std::string::npos) << said;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> expected;
    for (int i = 1; i <= 10000; ++i) expected.push_back(Numbered("exit line", i, 5));
    std::vector<std::string> files;
    for (const auto& text : FileTexts(folder)) {
        if (text.rfind("exit line", 0) == 0) files.push_back(text);
    }
    ASSERT_EQ(files.size(), expected.size());
    EXPECT_TRUE(files == expected);
    EXPECT_EQ(output.find("lines dropped"), std::string::npos);
}
#endif

TEST(LogWriterForkDeathTest, ChildOfForkWithoutExecWritesItsOwnLines) {
    // No writer thread follows a fork: the child writes its queue itself on the way out.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            LogSingleton::instance()->addError("line of the forked child");
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "line of the forked child");
    GTEST_FLAG_SET(death_test_style, style);
}

// --- The queue itself -----------------------------------------------------------------

TEST(LogLineQueue, LinesComeOutWholeAndInOrderAcrossTheBufferEnd) {
    LogLineQueue queue(1000);
    std::uint64_t pushed = 0;
    std::uint64_t popped = 0;
    // Lengths that leave every kind of rest at the end of the buffer.
    const size_t lengths[] = {1, 7, 8, 9, 15, 16, 17, 40, 100, 203, 0, 64, 300};
    for (int round = 0; round < 400; ++round) {
        const size_t length = lengths[round % std::size(lengths)];
        const std::string body(length, static_cast<char>('a' + round % 26));
        const std::string head = "h" + std::to_string(round) + ":";
        if (queue.Push(++pushed, round % 3 == 0, head.data(), head.size(), body.data(), body.size())) {
            if (round % 4 == 3) continue;  // let the queue fill now and then
        }
        LogLineQueue::Line line;
        while (queue.Front(&line)) {
            ASSERT_GT(line.seq, popped);
            popped = line.seq;
            const std::string text(line.text, line.length);
            const int r = std::stoi(text.substr(1));
            const size_t expectedLength = lengths[static_cast<size_t>(r) % std::size(lengths)];
            EXPECT_EQ(text, "h" + std::to_string(r) + ":" +
                                std::string(expectedLength, static_cast<char>('a' + r % 26)) + "\n");
            EXPECT_EQ(line.toStderr, r % 3 == 0);
            queue.PopFront();
        }
    }
}

TEST(LogLineQueue, FullQueueRefusesTheNewestAndHandsOnTheirCount) {
    const size_t record = LogLineQueue::RecordBytes(4);
    LogLineQueue queue(3 * record);
    int seq = 0;
    auto push = [&] { return queue.Push(static_cast<std::uint64_t>(++seq), false, "ab", 2, "c", 1); };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(push());
    EXPECT_FALSE(push());
    EXPECT_FALSE(push());
    queue.PopFront();
    ASSERT_TRUE(push());  // line 6 carries the two refused lines 4 and 5
    LogLineQueue::Line line;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
    while (queue.Front(&line)) {
        seen.emplace_back(line.seq, line.droppedBefore);
        queue.PopFront();
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{2, 0}, {3, 0}, {6, 2}}));
    EXPECT_EQ(queue.TakeDropped(), 0u);

    // Refused lines with none after them: their count is taken once the queue is empty.
    for (int i = 0; i < 4; ++i) push();
    EXPECT_EQ(queue.TakeDropped(), 1u);
    EXPECT_EQ(queue.TakeDropped(), 0u);

    // A line longer than the limit is cut, its line end kept.
    LogLineQueue big(4 * LogLineQueue::kMaxTextBytes);
    const std::string body(LogLineQueue::kMaxTextBytes + 100, 'x');
    ASSERT_TRUE(big.Push(1, false, "h ", 2, body.data(), body.size()));
    ASSERT_TRUE(big.Front(&line));
    EXPECT_EQ(std::string(line.text, line.length),
              "h " + std::string(LogLineQueue::kMaxTextBytes, 'x') + "\n");
}
