#include "core/LogSingleton.h"

#include "testsupport/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using TestSupport::ScopedCwd;
using TestSupport::TempDataRoot;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> DrainRing(LogSingleton& log) {
    std::vector<std::string> lines;
    std::string line;
    while (log.GetLogMessage(&line) > 0) lines.push_back(line);
    return lines;
}

// Text of a log-file line after its time stamp and five blanks.
std::string FileLineText(const std::string& line) {
    static const std::regex stamp(R"(^\d{2,}:\d{2}:\d{2}:\d{3}     )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) return "<malformed: " + line + ">";
    return line.substr(static_cast<size_t>(m.length(0)));
}

// Text of a ring line after its time stamp and one blank.
std::string RingLineText(const std::string& line) {
    static const std::regex stamp(R"(^\d{2,}:\d{2}:\d{2}:\d{3} )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) return "<malformed: " + line + ">";
    return line.substr(static_cast<size_t>(m.length(0)));
}

void ExpectHeader(const std::vector<std::string>& lines, const std::string& file) {
    ASSERT_GE(lines.size(), 3u) << file;
    EXPECT_EQ(lines[0], "JXR Belvanto LogFile.") << file;
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})")))
        << file << ": " << lines[1];
    EXPECT_EQ(lines[2], "") << file;
}

// A temporary data root as working directory, with its own log object.
class LogFolder : public ::testing::Test {
protected:
    std::unique_ptr<LogSingleton> MakeLog() {
        return std::make_unique<LogSingleton>(std::chrono::milliseconds(0));
    }
    std::string Canonical() const { return fs::canonical(root_.Path()).string(); }

    TempDataRoot root_;
    ScopedCwd cwd_{root_.Path()};
};

}  // namespace

TEST_F(LogFolder, ConstructionRotatesPreviousRunAndStartsWithHeaderOnly) {
    for (int i = 1; i <= 5; ++i) {
        std::ofstream("logMessages0" + std::to_string(i) + ".txt") << "old " << i << "\n";
    }
    auto log = MakeLog();

    const auto first = ReadLines("logMessages01.txt");
    ExpectHeader(first, "01");
    EXPECT_EQ(first.size(), 3u);
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(ReadLines("logMessages0" + std::to_string(i) + ".txt"),
                  std::vector<std::string>{"old " + std::to_string(i - 1)});
    }
    EXPECT_FALSE(fs::exists("logMessages06.txt"));
    EXPECT_EQ(log->GetLogFileCount(), 5);
    EXPECT_EQ(log->GetMaxEntries(), 5000u);
    EXPECT_EQ(log->get_programPath(), Canonical());
    EXPECT_EQ(log->get_rootPath(), Canonical() + "/");
    // Lines logged while the object was built do not reach the ring.
    std::string line = "untouched";
    EXPECT_EQ(log->GetLogMessage(&line), 0);
    EXPECT_EQ(line, "untouched");
}

TEST_F(LogFolder, ConstructionLeavesTheHistoryAloneWhenTheLastFileHoldsNoLines) {
    // A previous run that could not write its file (a full disk) left it empty or with a
    // piece of its header: the history keeps its files and file 01 starts afresh.
    const char* const leftovers[] = {"", "JXR Belvanto LogFile.\n",
                                     "JXR Belvanto LogFile.\nMon Jan  5 10:00:00 2026\n\n"};
    for (const char* leftover : leftovers) {
        SCOPED_TRACE(::testing::PrintToString(std::string(leftover)));
        std::ofstream("logMessages01.txt", std::ios::trunc) << leftover;
        std::ofstream("logMessages02.txt", std::ios::trunc) << "old 2\n";
        fs::remove("logMessages03.txt");
        auto log = MakeLog();
        const auto first = ReadLines("logMessages01.txt");
        ExpectHeader(first, "01");
        EXPECT_EQ(first.size(), 3u);
        EXPECT_EQ(ReadLines("logMessages02.txt"), std::vector<std::string>{"old 2"});
        EXPECT_FALSE(fs::exists("logMessages03.txt"));
        EXPECT_FALSE(fs::exists("logMessages01.txt.new"));
    }
}

TEST_F(LogFolder, RotationWith250EntriesAndThreeFiles) {
    auto log = MakeLog();
    log->SetLogFileCount(3);
    log->SetMaxEntries(250);
    // File 01 already holds the two settings lines: 249 more fill it to 251.
    const int total = 249 + 248 + 100;
    for (int i = 1; i <= total; ++i) log->add("line " + std::to_string(i));
    log->Flush();

    struct Expected {
        const char* file;
        int firstLine;  // number of the first "line N" in the file
        int lineCount;  // "line N" entries
        std::vector<std::string> leading;
    };
    const Expected files[] = {
        {"logMessages03.txt", 1, 249, {"Log file count set to 3", "Log entry count set to 250"}},
        {"logMessages02.txt", 250, 248, {}},
        {"logMessages01.txt", 498, 100, {}},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const auto lines = ReadLines(f.file);
        ExpectHeader(lines, f.file);
        ASSERT_EQ(lines.size(), 3 + f.leading.size() + static_cast<size_t>(f.lineCount));
        size_t at = 3;
        for (const auto& text : f.leading) EXPECT_EQ(FileLineText(lines[at++]), text);
        for (int n = 0; n < f.lineCount; ++n) {
            EXPECT_EQ(FileLineText(lines[at++]), "line " + std::to_string(f.firstLine + n));
        }
    }
    EXPECT_FALSE(fs::exists("logMessages04.txt"));
}

TEST_F(LogFolder, ShrinkingFileCountDeletesFilesBeyondTheNewCount) {
    auto log = MakeLog();
    for (const char* name : {"logMessages02.txt", "logMessages03.txt", "logMessages04.txt",
                             "logMessages05.txt"}) {
        std::ofstream(name) << "x\n";
    }
    DrainRing(*log);
    log->SetLogFileCount(3);

    EXPECT_TRUE(fs::exists("logMessages01.txt"));
    EXPECT_TRUE(fs::exists("logMessages02.txt"));
    EXPECT_TRUE(fs::exists("logMessages03.txt"));
    EXPECT_FALSE(fs::exists("logMessages04.txt"));
    EXPECT_FALSE(fs::exists("logMessages05.txt"));
    const auto ring = DrainRing(*log);
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(RingLineText(ring[0]), "Log file count set to 3");
}

TEST_F(LogFolder, LimitsAreClampedAndOnlyChangesAreLogged) {
    struct Case {
        const char* what;
        void (*apply)(LogSingleton&);
        int fileCount;
        unsigned maxEntries;
        const char* logged;  // nullptr: nothing logged
    };
    const Case cases[] = {
        {"entries below minimum", [](LogSingleton& l) { l.SetMaxEntries(10); }, 5, 250,
         "Log entry count set to 250"},
        {"entries unchanged", [](LogSingleton& l) { l.SetMaxEntries(5000); }, 5, 5000, nullptr},
        {"files below minimum", [](LogSingleton& l) { l.SetLogFileCount(1); }, 2, 5000,
         "Log file count set to 2"},
        {"files unchanged", [](LogSingleton& l) { l.SetLogFileCount(5); }, 5, 5000, nullptr},
        {"files grow", [](LogSingleton& l) { l.SetLogFileCount(7); }, 7, 5000,
         "Log file count set to 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDataRoot folder;
        ScopedCwd cwd(folder.Path());
        LogSingleton log(std::chrono::milliseconds(0));
        c.apply(log);
        EXPECT_EQ(log.GetLogFileCount(), c.fileCount);
        EXPECT_EQ(log.GetMaxEntries(), c.maxEntries);
        const auto ring = DrainRing(log);
        if (c.logged == nullptr) {
            EXPECT_TRUE(ring.empty());
        } else {
            ASSERT_EQ(ring.size(), 1u);
            EXPECT_EQ(RingLineText(ring[0]), c.logged);
        }
    }
}

TEST_F(LogFolder, RingKeepsTheNewest499UnreadLines) {
    auto log = MakeLog();
    for (int i = 1; i <= 600; ++i) log->add("line " + std::to_string(i));

    std::string line;
    EXPECT_EQ(log->GetLogMessage(&line), 499);
    EXPECT_EQ(RingLineText(line), "line 102");
    EXPECT_EQ(log->GetLogMessage(&line), 498);
    EXPECT_EQ(RingLineText(line), "line 103");
    const auto rest = DrainRing(*log);
    ASSERT_EQ(rest.size(), 497u);
    EXPECT_EQ(RingLineText(rest.back()), "line 600");

    line = "untouched";
    EXPECT_EQ(log->GetLogMessage(&line), 0);
    EXPECT_EQ(line, "untouched");
}

TEST_F(LogFolder, LineFormsReachRingAndFile) {
    auto log = MakeLog();
    const std::string longText(2000, 'x');
    struct Case {
        void (*emit)(LogSingleton&, const std::string&);
        std::string expected;
    };
    const Case cases[] = {
        {[](LogSingleton& l, const std::string&) { l.add("plain"); }, "plain"},
        {[](LogSingleton& l, const std::string&) { l.add("count", -42); }, "count -42"},
        {[](LogSingleton& l, const std::string&) { l.add("speed", 3.14f); }, "speed 3.1"},
        {[](LogSingleton& l, const std::string&) { l.add("ratio", 2.96); }, "ratio 3.0"},
        {[](LogSingleton& l, const std::string&) { l.add("size", 4000000000u); },
         "size 4000000000"},
        {[](LogSingleton& l, const std::string&) { l.addError("broken"); }, "broken"},
        {[](LogSingleton& l, const std::string&) { l.addFormat("%s=%d (%.2f)", "a", 7, 0.5); },
         "a=7 (0.50)"},
        {[](LogSingleton& l, const std::string& t) { l.addFormat("%s", t.c_str()); },
         std::string(1023, 'x')},
    };
    for (const auto& c : cases) c.emit(*log, longText);
    log->Flush();

    const auto ring = DrainRing(*log);
    const auto file = ReadLines("logMessages01.txt");
    ASSERT_EQ(ring.size(), std::size(cases));
    ASSERT_EQ(file.size(), 3 + std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(RingLineText(ring[i]), cases[i].expected) << i;
        EXPECT_EQ(FileLineText(file[3 + i]), cases[i].expected) << i;
    }
}

TEST(LogTimeString, CountsFromStartWithoutWrappingHours) {
    TempDataRoot folder;
    ScopedCwd cwd(folder.Path());
    LogSingleton log(std::chrono::milliseconds(0));
    const std::string t = log.GetTimeString();
    ASSERT_TRUE(std::regex_match(t, std::regex(R"(\d{2}:\d{2}:\d{2}:\d{3})"))) << t;
    EXPECT_EQ(t.substr(0, 6), "00:00:");
}

TEST_F(LogFolder, FailureReasonGoesToServerCallbackOnlyWhenNotEmpty) {
    auto log = MakeLog();
    std::vector<std::string> sent;
    EXPECT_EQ(log->get_seriousFailReason(), "na");

    log->set_seriousFailReason("51 robot ini");  // no callback installed yet: nothing sent
    log->SetServerMessageCallback([&sent](const std::string& text) { sent.push_back(text); });
    log->set_seriousFailReason("52 robot ini");
    log->set_seriousFailReason("");
    log->ServerSetMessage("hello");

    EXPECT_EQ(sent, (std::vector<std::string>{"Serious Failure 52 robot ini", "hello"}));
    EXPECT_EQ(log->get_seriousFailReason(), "");
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    std::string display;
    EXPECT_FALSE(log->DisplayGetMessage(&display));
}

TEST_F(LogFolder, DisplayQueueKeepsTheNewestTenEvenWithoutCallback) {
    auto log = MakeLog();
    for (int i = 1; i <= 11; ++i) log->DisplayAndServerSetMessage("m" + std::to_string(i));
    std::string out;
    ASSERT_TRUE(log->DisplayGetMessage(&out));
    EXPECT_EQ(out, "m2");
}

TEST_F(LogFolder, DisplayMessageIsShownAtLeast500ms) {
    auto log = MakeLog();
    std::vector<std::string> sent;
    log->SetServerMessageCallback([&sent](const std::string& text) { sent.push_back(text); });
    log->DisplayAndServerSetMessage("first");
    log->DisplayAndServerSetMessage("second");
    EXPECT_EQ(sent, (std::vector<std::string>{"first", "second"}));

    std::string out;
    ASSERT_TRUE(log->DisplayGetMessage(&out));
    EXPECT_EQ(out, "first");
    ASSERT_TRUE(log->DisplayGetMessage(out));
    EXPECT_EQ(out, "first");  // well within 500 ms: still the same message

    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_TRUE(log->DisplayGetMessage(&out));
    EXPECT_EQ(out, "first");  // the removing call still returns it
    ASSERT_TRUE(log->DisplayGetMessage(&out));
    EXPECT_EQ(out, "second");
}

// Each reader has its own place: a fast reader (a PLC every 5 ms) takes nothing from the
// panel (every 25 ms), and both see every message, each for at least 500 ms.
TEST_F(LogFolder, EveryDisplayReaderSeesEveryMessage) {
    auto log = MakeLog();
    for (const char* text : {"a", "b", "c"}) log->DisplayAndServerSetMessage(text);
    // The texts a reader got, each once, and when it first got each.
    struct Seen {
        std::vector<std::string> texts;
        std::vector<std::chrono::steady_clock::time_point> at;
        void Add(const std::string& text) {
            if (!texts.empty() && texts.back() == text) return;
            texts.push_back(text);
            at.push_back(std::chrono::steady_clock::now());
        }
    } panel, plc;
    LogSingleton::DisplayCursor plcCursor;
    std::string out;
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::seconds(20);
    bool panelDone = false;
    bool plcDone = false;
    for (int pass = 0; !(panelDone && plcDone) && std::chrono::steady_clock::now() < end; ++pass) {
        if (pass % 5 == 0) {
            panelDone = !log->DisplayGetMessage(&out);
            if (!panelDone) panel.Add(out);
        }
        plcDone = !log->DisplayGetMessage(plcCursor, &out);
        if (!plcDone) plc.Add(out);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::vector<std::string> all = {"a", "b", "c"};
    for (const Seen* seen : {&panel, &plc}) {
        EXPECT_EQ(seen->texts, all);
        // Two messages held for more than 500 ms each before the third.
        if (seen->at.size() == 3u) {
            EXPECT_GT(seen->at[2] - begin, std::chrono::milliseconds(1000));
        }
    }
    // A reader that fell more than the queue behind goes on with the oldest message kept.
    for (int i = 1; i <= 12; ++i) log->DisplayAndServerSetMessage("m" + std::to_string(i));
    ASSERT_TRUE(log->DisplayGetMessage(plcCursor, &out));
    EXPECT_EQ(out, "m3");
    LogSingleton::DisplayCursor late;
    ASSERT_TRUE(log->DisplayGetMessage(late, &out));
    EXPECT_EQ(out, "m3");
}

TEST_F(LogFolder, DisplayFilenameIsHandedOutOnce) {
    auto log = MakeLog();
    std::string out = "before";
    EXPECT_FALSE(log->DisplayGetFilename(&out));
    EXPECT_EQ(out, "before");
    log->DisplaySetFilename("Pick.xml");
    EXPECT_TRUE(log->DisplayGetFilename(out));
    EXPECT_EQ(out, "Pick.xml");
    EXPECT_FALSE(log->DisplayGetFilename(&out));
}

TEST_F(LogFolder, PlcRecordIsStoredAndChangedWhole) {
    auto log = MakeLog();
    PLCInterfaceNumbers record = log->get_plcInterfaceNr();
    EXPECT_FALSE(record.Active);
    EXPECT_EQ(record.RefDelay[8], 0);

    record.ShutdownNumber = 7;
    EXPECT_EQ(log->get_plcInterfaceNr().ShutdownNumber, 0) << "a copy, not the stored record";
    const std::uint32_t before = log->get_plcInterfaceNrVersion();
    log->set_plcInterfaceNr(record);
    EXPECT_NE(log->get_plcInterfaceNrVersion(), before);
    log->change_plcInterfaceNr([](PLCInterfaceNumbers& p) { p.JointToRef[2] = 4; });
    PLCInterfaceNumbers now;
    ASSERT_TRUE(log->try_get_plcInterfaceNr(now));
    EXPECT_EQ(now.ShutdownNumber, 7);
    EXPECT_EQ(now.JointToRef[2], 4);
}

TEST(LogFreeFunctions, HourStringFormatsDaysHoursMinutes) {
    const std::pair<int, const char*> cases[] = {
        {0, "  0 days   00 h   00 min"},
        {59, "  0 days   00 h   59 min"},
        {1500, "  1 days   01 h   00 min"},
        {14461, " 10 days   01 h   01 min"},
        {1440 * 1000, "1000 days   00 h   00 min"},
    };
    for (const auto& c : cases) EXPECT_EQ(GetHourString(c.first), c.second) << c.first;
}

TEST(LogFreeFunctions, FindRootDirectoryStopsAtFirstAncestorWithData) {
    TempDataRoot root;  // holds Data/
    const std::string base = fs::canonical(root.Path()).string();
    fs::create_directories(base + "/D/Data");
    fs::create_directories(base + "/D/bin/deep");
    fs::create_directories(base + "/E/bin");
    fs::create_directories(base + "/F/Data.txt");  // not named Data
    std::ofstream(base + "/E/Data") << "a file, not a directory";

    char pattern[] = "/tmp/belvanto-nodata-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string noData = fs::canonical(pattern).string() + "/bin";
    fs::create_directories(noData);

    const std::pair<std::string, std::string> cases[] = {
        {base + "/D/bin", base + "/D/"},
        {base + "/D/bin/deep", base + "/D/"},
        {base + "/D", base + "/D/"},
        {base + "/E/bin", base + "/"},
        {base + "/F", base + "/"},
        {noData, noData + "/"},
        {"relative", "relative/"},
    };
    for (const auto& c : cases) EXPECT_EQ(findRootDirectory(c.first), c.second) << c.first;
    fs::remove_all(pattern);
}

TEST(LogFreeFunctions, FileHelpersMoveOnlyOntoFreeNames) {
    TempDataRoot root;
    const std::string a = root.WriteFile("a.txt", "A");
    const std::string b = root.WriteFile("b.txt", "B");
    const std::string c = root.Path() + "/c.txt";

    EXPECT_TRUE(fileExists(a));
    EXPECT_FALSE(fileExists(c));
    moveFile(a, b);  // target present: silently left alone
    EXPECT_EQ(TestSupport::ReadWholeFile(a), "A");
    EXPECT_EQ(TestSupport::ReadWholeFile(b), "B");
    moveFile(a, c);
    EXPECT_FALSE(fileExists(a));
    EXPECT_EQ(TestSupport::ReadWholeFile(c), "A");
    deleteFile(c);
    EXPECT_FALSE(fileExists(c));
    deleteFile(c);  // missing: nothing happens
}

TEST(LogProcessWide, InstanceIsOneObjectWithDataRoot) {
    LogSingleton* log = LogSingleton::instance();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log, LogSingleton::instance());
    const std::string root = log->get_rootPath();
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.back(), '/');

    const std::string address = log->getIPAdress();
    EXPECT_EQ(address.rfind("Running on IP address: ", 0), 0u);
    EXPECT_EQ(address.find("127.0.0.1"), std::string::npos);
    EXPECT_LE(address.size(), 511u);
}

namespace {

// Sets the immutable flag on a directory for its lifetime, so renames in it fail even
// for root. Not every file system or container allows it.
class ImmutableDirectory {
public:
    explicit ImmutableDirectory(const std::string& path) {
        fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd_ < 0) return;
        if (ioctl(fd_, FS_IOC_GETFLAGS, &flags_) != 0) return;
        int flags = flags_ | FS_IMMUTABLE_FL;
        active_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ~ImmutableDirectory() {
        if (active_) ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
        if (fd_ >= 0) close(fd_);
    }
    bool Active() const { return active_; }

private:
    int fd_ = -1;
    int flags_ = 0;
    bool active_ = false;
};

}  // namespace

TEST_F(LogFolder, ANewFileThatCannotBeCreatedLeavesTheCurrentOneGoingOn) {
    auto log = MakeLog();
    log->SetMaxEntries(250);
    DrainRing(*log);
    {
        ImmutableDirectory frozen(root_.Path());
        if (!frozen.Active()) GTEST_SKIP() << "cannot make the folder immutable here";
        // With the settings line counted, line 250 rotates: the new file cannot be created,
        // so nothing moves and file 01 goes on. The rotation is tried again 100 lines
        // later (line 349), without a second line about it.
        for (int i = 1; i <= 400; ++i) log->add("line " + std::to_string(i));
        log->Flush();
    }
    // Free again: the next try (line 449) rotates.
    for (int i = 401; i <= 460; ++i) log->add("line " + std::to_string(i));
    log->Flush();

    const std::string notice =
        "Log: could not open a new log file (Operation not permitted), 'logMessages01.txt' goes on";
    const auto ring = DrainRing(*log);
    ASSERT_EQ(ring.size(), 461u);
    EXPECT_EQ(RingLineText(ring[249]), "line 250");
    EXPECT_EQ(RingLineText(ring[250]), notice);
    EXPECT_EQ(RingLineText(ring.back()), "line 460");

    const auto history = ReadLines("logMessages02.txt");
    ExpectHeader(history, "02");
    ASSERT_EQ(history.size(), 3u + 1u + 250u + 1u + 199u);
    EXPECT_EQ(FileLineText(history[3]), "Log entry count set to 250");
    EXPECT_EQ(FileLineText(history[253]), "line 250");
    EXPECT_EQ(FileLineText(history[254]), notice);
    EXPECT_EQ(FileLineText(history.back()), "line 449");
    const auto current = ReadLines("logMessages01.txt");
    ExpectHeader(current, "01");
    ASSERT_EQ(current.size(), 3u + 11u);
    EXPECT_EQ(FileLineText(current[3]), "line 450");
    EXPECT_FALSE(fs::exists("logMessages03.txt"));
    EXPECT_FALSE(fs::exists("logMessages01.txt.new"));
}

TEST_F(LogFolder, ConcurrentWritersRingReaderAndDisplayReader) {
    auto log = MakeLog();
    log->SetMaxEntries(250);
    DrainRing(*log);

    constexpr int kWriters = 8;
    constexpr int kLines = 100;
    std::atomic<bool> writersDone{false};
    std::vector<std::string> ringLines;
    std::vector<std::string> displayed;

    std::thread ringReader([&] {
        std::string line;
        while (true) {
            const bool done = writersDone.load();
            while (log->GetLogMessage(&line) > 0) ringLines.push_back(line);
            if (done) break;
            std::this_thread::yield();
        }
    });
    std::thread displayReader([&] {
        std::string message;
        while (!writersDone.load()) {
            if (log->DisplayGetMessage(&message)) displayed.push_back(message);
            (void)log->get_opMode();
            (void)log->get_seriousFailReason();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&log, w] {
            for (int i = 0; i < kLines; ++i) {
                log->add("w" + std::to_string(w) + " line " + std::to_string(i));
                if (i % 10 == 0) {
                    log->DisplayAndServerSetMessage("w" + std::to_string(w) + " msg");
                    log->set_seriousFailReason("reason " + std::to_string(w));
                }
            }
        });
    }
    for (auto& t : writers) t.join();
    writersDone.store(true);
    ringReader.join();
    displayReader.join();
    log->Flush();

    // The ring reader kept up or lost the oldest lines, but never saw a torn line or lines
    // of one writer out of order.
    const std::regex lineForm(R"(w(\d) line (\d+))");
    std::map<int, int> lastSeen;
    for (const auto& l : ringLines) {
        std::smatch m;
        const std::string text = RingLineText(l);
        ASSERT_TRUE(std::regex_match(text, m, lineForm)) << l;
        const int w = std::stoi(m[1]);
        const int n = std::stoi(m[2]);
        if (lastSeen.count(w)) {
            EXPECT_GT(n, lastSeen[w]);
        }
        lastSeen[w] = n;
    }
    for (const auto& d : displayed) {
        EXPECT_TRUE(std::regex_match(d, std::regex(R"(w\d msg)"))) << d;
    }
    EXPECT_TRUE(std::regex_match(log->get_seriousFailReason(), std::regex(R"(reason \d)")));

    // Every line sits whole, exactly once, in the rotated files.
    std::multiset<std::string> inFiles;
    for (const char* name : {"logMessages01.txt", "logMessages02.txt", "logMessages03.txt",
                             "logMessages04.txt", "logMessages05.txt"}) {
        if (!fs::exists(name)) continue;
        const auto lines = ReadLines(name);
        ExpectHeader(lines, name);
        for (size_t i = 3; i < lines.size(); ++i) inFiles.insert(FileLineText(lines[i]));
    }
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kLines; ++i) {
            const std::string text = "w" + std::to_string(w) + " line " + std::to_string(i);
            EXPECT_EQ(inFiles.count(text), 1u) << text;
        }
    }
}
