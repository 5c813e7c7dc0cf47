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
#include <sys/resource.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <algorithm>
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

// The console side of a log object: keeps every write and can hold the console thread in one.
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
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        permits = -1;
        changed.notify_all();
    }
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
    int Write(bool, const char* text, size_t length) override {
        std::unique_lock<std::mutex> lock(probe->mutex);
        ++probe->entered;
        probe->changed.notify_all();
        probe->changed.wait(lock, [this] { return probe->permits != 0; });
        if (probe->permits > 0) --probe->permits;
        probe->writes.emplace_back(text, length);
        return 0;
    }

private:
    std::shared_ptr<ConsoleProbe> probe;
};

// A console that takes everything and keeps nothing, without a lock (usable in a child
// made by fork()).
class NullSink : public LogConsoleSink {
public:
    int Write(bool, const char*, size_t) override { return 0; }
};

// Runs work on a thread of its own; false when it has not returned in time (a caller
// that waits for the console).
bool ReturnsInTime(const std::function<void()>& work) {
    auto done = std::async(std::launch::async, work);
    const bool returned = done.wait_for(kPatience) == std::future_status::ready;
    if (!returned) ADD_FAILURE() << "a caller waited for the held console";
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

// The log object with a console probe, its start-up lines already written out.
std::unique_ptr<LogSingleton> ProbedLog(const std::shared_ptr<ConsoleProbe>& probe, size_t consoleBytes) {
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::make_unique<ProbeSink>(probe),
                                              LogSingleton::kDefaultQueueBytes, consoleBytes);
    log->Flush();
    return log;
}

bool FileHolds(const std::string& folder, const std::string& text) {
    const auto texts = FileTexts(folder);
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

const char* const kConsoleFull = "Log: the console takes no lines, they reach only the log files until it does";

class LogWriterConcurrent : public ::testing::Test {
protected:
    TempDataRoot root_;
    ScopedCwd cwd_{root_.Path()};
};

}  // namespace

TEST_F(LogWriterConcurrent, HeldConsoleHoldsUpNeitherCallersNorTheFilesAndCountsWhatItMissed) {
    auto probe = std::make_shared<ConsoleProbe>();
    // Room for exactly eight lines "line NN" with a stamp of twelve characters.
    const size_t record = LogLineQueue::RecordBytes(12 + 5 + 7 + 1);
    auto log = ProbedLog(probe, 8 * record);
    const int before = probe->Entered();
    probe->Hold();

    ASSERT_TRUE(ReturnsInTime([&] { log->add(Numbered("line", 0, 2)); }));
    ASSERT_TRUE(probe->WaitEntered(before + 1));  // the console thread is inside its write
    // Lines 0..7 fill the console's queue; from 8 on the console misses them.
    ASSERT_TRUE(ReturnsInTime([&] {
        for (int i = 1; i <= 20; ++i) log->add(Numbered("line", i, 2));
    }));
    // The files do not wait for the console.
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return FileHolds(root_.Path(), Numbered("line", 20, 2)); }, 20000));
    probe->Release();
    // Once the queue has emptied, the next line reaches the console again and says what it
    // missed: lines 8 to 20 and the line about the full console.
    EXPECT_TRUE(log->Flush());
    log->add(Numbered("line", 21, 2));
    EXPECT_TRUE(log->Flush());

    const std::string again = "Log: the console takes lines again, 14 were not shown on it";
    std::vector<std::string> console;
    for (int i = 0; i <= 7; ++i) console.push_back(Numbered("line", i, 2));
    console.push_back(Numbered("line", 21, 2));
    console.push_back(again);
    const auto shown = probe->Texts();
    ASSERT_GE(shown.size(), console.size());
    EXPECT_EQ(std::vector<std::string>(shown.end() - static_cast<long>(console.size()), shown.end()), console);

    std::vector<std::string> files;
    for (int i = 0; i <= 8; ++i) files.push_back(Numbered("line", i, 2));
    files.push_back(kConsoleFull);
    for (int i = 9; i <= 21; ++i) files.push_back(Numbered("line", i, 2));
    files.push_back(again);
    EXPECT_EQ(FileTexts(root_.Path()), files);

    // The ring has the lines in the files' order.
    std::vector<std::string> ring;
    std::string line;
    while (log->GetLogMessage(&line) > 0) ring.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(ring, files);
}

TEST_F(LogWriterConcurrent, StdoutPipeNobodyReadsHoldsUpNeitherCallersNorTheFiles) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::unique_ptr<LogSingleton> log;
    std::string output;
    constexpr int kFirst = 200;  // more than the pipe holds
    constexpr int kLines = kFirst + 2000;
    bool returned = false;
    bool pipeFull = false;
    bool allInFile = false;
    {
        Redirect out(STDOUT_FILENO, fds[1]);
        log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), nullptr,
                                             LogSingleton::kDefaultQueueBytes, 16 * 1024);
        for (int i = 0; i < kFirst; ++i) log->add(Numbered("pipe line", i, 4));
        // Once the pipe is full the console thread is stuck in its write.
        pipeFull = TestSupport::WaitUntil(
            [&] {
                int queued = 0;
                return ioctl(fds[0], FIONREAD, &queued) == 0 && queued > 4096 - 64;
            },
            20000, 5);
        returned = ReturnsInTime([&] {
            for (int i = kFirst; i < kLines; ++i) log->add(Numbered("pipe line", i, 4));
        });
        // The file keeps growing while nobody reads the console.
        allInFile = TestSupport::WaitUntil(
            [&] { return FileHolds(root_.Path(), Numbered("pipe line", kLines - 1, 4)); }, 20000, 10);
        // Now read the pipe: the console catches up and, with the next line, says what it
        // missed.
        std::thread reader([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) output.append(buffer, static_cast<size_t>(n));
        });
        EXPECT_TRUE(log->Flush(std::chrono::milliseconds(20000)));
        log->add("pipe line after");
        log.reset();
        out.Restore();
        close(fds[1]);
        reader.join();
        close(fds[0]);
    }
    ASSERT_TRUE(pipeFull);
    ASSERT_TRUE(returned);
    EXPECT_TRUE(allInFile);

    std::vector<std::string> expected;
    for (int i = 0; i < kFirst; ++i) expected.push_back(Numbered("pipe line", i, 4));
    std::vector<std::string> files = FileTexts(root_.Path());
    ASSERT_GT(files.size(), static_cast<size_t>(kFirst));
    // The first lines, then every other one in order, with the one line about the console.
    std::vector<std::string> numbered;
    int consoleFull = 0;
    for (const auto& text : files) {
        if (text == kConsoleFull) {
            ++consoleFull;
        } else if (text.rfind("pipe line ", 0) == 0 && text != "pipe line after") {
            numbered.push_back(text);
        }
    }
    EXPECT_EQ(consoleFull, 1);
    ASSERT_EQ(numbered.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(numbered[static_cast<size_t>(i)], Numbered("pipe line", i, 4));

    // The console: the start-up line, lines 0..k without a gap, the line after, and the
    // count of what it missed: every line from k+1 on and the line about the full console.
    auto texts = StampedTexts(SplitLines(output));
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts.front(), "Log file count set to 5");
    texts.erase(texts.begin());
    int shown = 0;
    while (shown < static_cast<int>(texts.size()) && texts[static_cast<size_t>(shown)] == Numbered("pipe line", shown, 4)) {
        ++shown;
    }
    EXPECT_GT(shown, 0);
    ASSERT_EQ(texts.size(), static_cast<size_t>(shown) + 2) << output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
    EXPECT_EQ(texts[static_cast<size_t>(shown)], "pipe line after");
    EXPECT_EQ(texts.back(), "Log: the console takes lines again, " + std::to_string(kLines - shown + 1) +
                                " were not shown on it");
}

TEST_F(LogWriterConcurrent, TenThousandLinesReachTheFilesWhileTheConsoleIsHeld) {
    auto probe = std::make_shared<ConsoleProbe>();
    auto log = ProbedLog(probe, LogSingleton::kDefaultConsoleBytes);
    const int before = probe->Entered();
    probe->Hold();
    constexpr int kLines = 10000;
    ASSERT_TRUE(ReturnsInTime([&] {
        for (int i = 1; i <= kLines; ++i) log->add(Numbered("line", i, 5));
    }));
    ASSERT_TRUE(probe->WaitEntered(before + 1));
    std::vector<std::string> expected;
    for (int i = 1; i <= kLines; ++i) expected.push_back(Numbered("line", i, 5));
    auto numbered = [&] {
        std::vector<std::string> texts;
        for (const auto& text : FileTexts(root_.Path())) {
            if (text.rfind("line ", 0) == 0) texts.push_back(text);
        }
        return texts;
    };
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return numbered() == expected; }, 20000, 10));
    EXPECT_TRUE(fs::exists(root_.Path() + "/logMessages03.txt")) << "5000 lines per file";
    EXPECT_TRUE(FileHolds(root_.Path(), kConsoleFull));

    // Released, the console shows the first lines without a gap, then nothing it missed.
    probe->Release();
    log.reset();
    std::vector<std::string> console;
    for (const auto& text : probe->Texts()) {
        if (text.rfind("line ", 0) == 0) console.push_back(text);
    }
    size_t shown = 0;
    while (shown < console.size() && console[shown] == expected[shown]) ++shown;
    EXPECT_GT(shown, 1000u);
    EXPECT_LT(shown, expected.size());
    EXPECT_EQ(shown, console.size());
}

TEST_F(LogWriterConcurrent, ConsoleStuckForGoodBoundsFlushAndDestruction) {
    auto probe = std::make_shared<ConsoleProbe>();
    auto log = ProbedLog(probe, LogSingleton::kDefaultConsoleBytes);
    probe->Hold();
    log->add("before the stuck console");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(log->Flush(std::chrono::milliseconds(200)));
    // Known to be stuck: the next Flush does not wait again.
    EXPECT_FALSE(log->Flush(std::chrono::milliseconds(20000)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    ASSERT_TRUE(ReturnsInTime([&] { log.reset(); }));
    const auto files = FileTexts(root_.Path());
    EXPECT_EQ(std::count(files.begin(), files.end(), "Log: Flush stopped waiting for the console after 200 ms"), 1)
        << ::testing::PrintToString(files);
    EXPECT_TRUE(std::find(files.begin(), files.end(), "before the stuck console") != files.end());
    // The console thread, left behind in its write, ends once it gets out of it.
    probe->Release();
}

// Restores a resource limit and a signal's handling at the end of the scope.
class ScopedLimit {
public:
    ScopedLimit(int resource, rlim_t soft) : resource(resource) {
        getrlimit(resource, &saved);
        rlimit low = saved;
        low.rlim_cur = soft;
        ok = setrlimit(resource, &low) == 0;
    }
    ~ScopedLimit() { Restore(); }
    void Restore() {
        if (ok) setrlimit(resource, &saved);
        ok = false;
    }
    bool Ok() const { return ok; }

private:
    int resource;
    rlimit saved{};
    bool ok = false;
};

std::vector<std::string> FileLines(const std::string& path) { return SplitLines(TestSupport::ReadWholeFile(path)); }

TEST_F(LogWriterConcurrent, AFileThatCannotBeWrittenIsToldOnceOnTheConsoleAndIsNotRotated) {
    auto probe = std::make_shared<ConsoleProbe>();
    auto log = ProbedLog(probe, LogSingleton::kDefaultConsoleBytes);
    log->SetMaxEntries(250);
    log->Flush();
    const auto size = fs::file_size(root_.Path() + "/logMessages01.txt");
    // Past the limit a write fails (EFBIG), as on a full disk; SIGXFSZ would end the test.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    {
        ScopedLimit limit(RLIMIT_FSIZE, size + 1000);
        ASSERT_TRUE(limit.Ok());
        // Far more lines than a file takes: a file that fails is never rotated.
        for (int i = 1; i <= 400; ++i) log->add(Numbered("file line", i, 3));
        log->Flush();
    }
    sigaction(SIGXFSZ, &previous, nullptr);
    for (int i = 401; i <= 410; ++i) log->add(Numbered("file line", i, 3));
    log->Flush();

    const std::regex failed(R"(Log: writing 'logMessages01\.txt' failed \(File too large\), lines reach only the console until it works again)");
    const std::regex again(R"(Log: writing 'logMessages01\.txt' works again, (\d+) lines are missing in it)");
    auto count = [](const std::vector<std::string>& texts, const std::regex& form) {
        return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return std::regex_match(t, form); });
    };
    const auto console = probe->Texts();
    EXPECT_EQ(count(console, failed), 1);
    EXPECT_EQ(count(console, again), 1);

    // The file: whole lines 1..k, perhaps the piece of line k+1 that fitted, then line 401
    // and the count of the lines it misses.
    const auto lines = FileLines(root_.Path() + "/logMessages01.txt");
    ASSERT_GE(lines.size(), 4u);
    size_t at = 4;  // header and the settings line
    int k = 0;
    while (at < lines.size() && StampedText(lines[at]) == Numbered("file line", k + 1, 3)) {
        ++k;
        ++at;
    }
    EXPECT_GT(k, 5);
    if (at < lines.size() && StampedText(lines[at]) != Numbered("file line", 401, 3)) ++at;  // the cut piece
    ASSERT_LT(at + 1, lines.size());
    EXPECT_EQ(StampedText(lines[at]), Numbered("file line", 401, 3));
    std::smatch m;
    const std::string notice = StampedText(lines[at + 1]);
    ASSERT_TRUE(std::regex_match(notice, m, again)) << notice;
    EXPECT_EQ(std::stoi(m[1]), 400 - k);
    EXPECT_EQ(StampedText(lines.back()), Numbered("file line", 410, 3));
    EXPECT_FALSE(fs::exists(root_.Path() + "/logMessages02.txt")) << "a failed file went into the history";
}

// The descriptor whose link names path, -1 when there is none.
int DescriptorOf(const std::string& path) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec).string() == path) return std::stoi(entry.path().filename().string());
    }
    return -1;
}

int HighestDescriptor() {
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    return highest;
}

TEST_F(LogWriterConcurrent, OutOfDescriptorsTheLogKeepsItsFileAndItsNumber) {
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::make_unique<NullSink>());
    log->SetMaxEntries(250);
    log->Flush();
    const std::string current = fs::canonical(root_.Path()).string() + "/logMessages01.txt";
    const int logFd = DescriptorOf(current);
    ASSERT_GE(logFd, 0);
    std::vector<int> fillers;
    {
        ScopedLimit limit(RLIMIT_NOFILE, static_cast<rlim_t>(HighestDescriptor() + 16));
        ASSERT_TRUE(limit.Ok());
        int fd;
        while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0) fillers.push_back(fd);
        ASSERT_EQ(errno, EMFILE);
        // Line 250 rotates: no descriptor for the new file, so file 01 goes on.
        for (int i = 1; i <= 300; ++i) log->add(Numbered("fd line", i, 3));
        log->Flush();
        EXPECT_EQ(fs::read_symlink("/proc/self/fd/" + std::to_string(logFd)).string(), current);
        // One descriptor free again: the next try, 100 lines later (line 349), rotates.
        close(fillers.back());
        fillers.pop_back();
        for (int i = 301; i <= 400; ++i) log->add(Numbered("fd line", i, 3));
        log->Flush();
        // The new file is on the log's own number; the freed one is free again.
        EXPECT_EQ(fs::read_symlink("/proc/self/fd/" + std::to_string(logFd)).string(), current);
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        if (fd >= 0) fillers.push_back(fd);
        for (int f : fillers) close(f);
    }
    log.reset();

    const std::string notice =
        "Log: could not open a new log file (Too many open files), 'logMessages01.txt' goes on";
    std::vector<std::string> history;
    for (int i = 1; i <= 250; ++i) history.push_back(Numbered("fd line", i, 3));
    history.push_back(notice);
    for (int i = 251; i <= 349; ++i) history.push_back(Numbered("fd line", i, 3));
    auto texts = StampedTexts(FileLines(root_.Path() + "/logMessages02.txt"));
    ASSERT_FALSE(texts.empty());
    texts.erase(texts.begin());  // the settings line
    EXPECT_EQ(texts, history);
    const auto now = StampedTexts(FileLines(root_.Path() + "/logMessages01.txt"));
    ASSERT_EQ(now.size(), 51u);
    EXPECT_EQ(now.front(), Numbered("fd line", 350, 3));
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
        // A console queue that holds them all: this is about order, not about a slow console.
        LogSingleton log(std::chrono::milliseconds(0), nullptr, LogSingleton::kDefaultQueueBytes, 8u << 20);
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
        log.Flush(std::chrono::milliseconds(20000));
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

TEST_F(LogWriterConcurrent, ABurstIntoASmallQueueLosesNoLineUncounted) {
    // The writer may fall behind a caller that logs without pause: every line is then in
    // the files or in a count, in order.
    const size_t record = LogLineQueue::RecordBytes(12 + 5 + 10 + 1);
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::make_unique<NullSink>(), 16 * record);
    constexpr int kLines = 20000;
    for (int i = 0; i < kLines; ++i) log->add(Numbered("burst", i, 5));
    log.reset();
    const std::regex countLine(R"(Log: (\d+) lines dropped \(queue full\))");
    int next = 0;
    for (const auto& text : FileTexts(root_.Path())) {
        std::smatch m;
        if (std::regex_match(text, m, countLine)) {
            next += std::stoi(m[1]);
        } else if (text.rfind("burst", 0) == 0) {
            ASSERT_EQ(text, Numbered("burst", next, 5));
            ++next;
        }
    }
    EXPECT_EQ(next, kLines);
}

#ifdef BELVANTO_LOG_EXIT_CHILD
namespace {

// Starts the helper child in folder with its standard output on out (the helper logs
// lines through the process-wide log, says "queued" on standard error, returns from main).
pid_t StartExitChild(const std::string& folder, int lines, int out, int err) {
    const std::string count = std::to_string(lines);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execl(BELVANTO_LOG_EXIT_CHILD, BELVANTO_LOG_EXIT_CHILD, folder.c_str(), count.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Reads fd until text has come (or the end, or the patience ran out).
std::string ReadUntil(int fd, const std::string& text) {
    std::string said;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (said.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        said.append(buffer, static_cast<size_t>(n));
    }
    return said;
}

std::vector<std::string> ExitLinesInFiles(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& text : FileTexts(folder)) {
        if (text.rfind("exit line", 0) == 0) files.push_back(text);
    }
    return files;
}

std::vector<std::string> ExitLines(int count) {
    std::vector<std::string> expected;
    for (int i = 1; i <= count; ++i) expected.push_back(Numbered("exit line", i, 5));
    return expected;
}

}  // namespace

TEST_F(LogWriterConcurrent, ProcessExitWritesOutEveryQueuedLine) {
    // The child queues 10,000 lines behind a stdout pipe nobody reads yet, says "queued"
    // on stderr and returns from main.
    int out[2];
    int err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const std::string folder = root_.Path();
    const pid_t child = StartExitChild(folder, 10000, out[1], err[1]);
    ASSERT_GE(child, 0);
    close(out[1]);
    close(err[1]);

    const std::string said = ReadUntil(err[0], "queued");
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

    const auto files = ExitLinesInFiles(folder);
    ASSERT_EQ(files.size(), 10000u);
    EXPECT_TRUE(files == ExitLines(10000));
    EXPECT_EQ(output.find("lines dropped"), std::string::npos);
}

TEST_F(LogWriterConcurrent, ProcessWhoseStdoutReaderIsGoneLivesOnAndWritesTheFiles) {
    // Every write to the child's standard output fails with EPIPE; the child does not
    // ignore SIGPIPE itself.
    int out[2];
    int err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    close(out[0]);
    const std::string folder = root_.Path();
    const pid_t child = StartExitChild(folder, 2000, out[1], err[1]);
    ASSERT_GE(child, 0);
    close(out[1]);
    close(err[1]);
    const std::string said = ReadUntil(err[0], "queued");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(err[0]);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(ExitLinesInFiles(folder) == ExitLines(2000));
    const auto files = FileTexts(folder);
    EXPECT_EQ(std::count(files.begin(), files.end(),
                         "Log: standard output is gone (Broken pipe), its lines reach only the log files"),
              1)
        << said << [&] { std::string t = TestSupport::ReadWholeFile(folder + "/logMessages01.txt"); return t.substr(t.size() > 600 ? t.size() - 600 : 0); }();
}
#endif

TEST_F(LogWriterConcurrent, ForkedChildWritesNothingOfTheParentsQueue) {
    // The parent's writer still has lines queued when the child starts; the child logs a
    // line of its own and ends. Every line is in the file once.
    auto log = std::make_unique<LogSingleton>(std::chrono::milliseconds(0), std::make_unique<NullSink>());
    log->SetMaxEntries(100000);
    constexpr int kLines = 3000;
    for (int i = 0; i < kLines; ++i) log->add(Numbered("parent line", i, 4));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        log->add("line of the child");
        log->Flush();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    log->add("parent line after");
    log.reset();
    std::map<std::string, int> seen;
    for (const auto& text : FileTexts(root_.Path())) ++seen[text];
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(seen[Numbered("parent line", i, 4)], 1) << i;
    EXPECT_EQ(seen["line of the child"], 1);
    EXPECT_EQ(seen["parent line after"], 1);
}

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
