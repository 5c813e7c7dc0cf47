#pragma once

// Process-wide log and status object: rotating log files, the ring of recent lines for
// remote clients, the display/server message channel, the operation mode with its failure
// reason, a few run-time settings and the persistent counters ("variableStorage.xml").
//
// A log line is stamped and queued on the caller's thread, and put into the ring there;
// one writer thread ("LogWriter") writes the queued lines to the log file, rotates the
// files and hands each line's console copy to the console thread (LogConsole). So no
// caller waits for the disk or sync(), and nothing waits for the console: a console that
// takes no lines loses its copies (said once in the files), the files keep every line. A
// full queue drops the newest lines and the writer reports their number once it drains.
//
#include "core/LogConsole.h"
#include "core/LogLineQueue.h"
#include "core/SeqLockValue.h"
#include "core/FailureEpisode.h"

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// 0 normal, 1 serious failure (with a numbered reason text), 2 CAN bridge.
enum operationMode : int {
    OPMODE_NORMAL = 0,
    OPMODE_SERIOUS_FAILURE = 1,
    OPMODE_CAN_BRIDGE = 2,
};

// Keys of the persistent counters.
enum SystemVar : int {
    SV_UpTimeComplete = 0,
    SV_UpTimeLast = 1,
    SV_UpTimeEnabled = 2,
    SV_UpTimeMotion = 3,
    SV_ProgramStarts = 4,
    SV_DirChangesJ1 = 10,
    SV_DirChangesJ2 = 11,
    SV_DirChangesJ3 = 12,
    SV_DirChangesJ4 = 13,
    SV_DirChangesJ5 = 14,
    SV_DirChangesJ6 = 15,
    SV_DirChangesJ7 = 16,
    SV_DirChangesJ8 = 17,
    SV_DirChangesJ9 = 18,
};

// PLC-interface settings from the project file. LogSingleton keeps the record and hands
// it over whole: get_plcInterfaceNr() is a copy of the stored record, set_ and
// change_plcInterfaceNr() replace it at once, so no reader sees half of a change.
struct PLCInterfaceNumbers {
    bool Active = false;
    bool AutoConnect = false;
    // Inputs ("PLCInterfaceIn")
    int RequestReferenceNumber = 0;
    int EnableNumber = 0;
    int PlayNumber = 0;
    int PauseNumber = 0;
    int StartMissionNumber = 0;
    int ShutdownNumber = 0;
    int AltStartNumber = 0;
    int AltStopNumber = 0;
    int AddJointNumber = 0;
    int AddLinearNumber = 0;
    // Outputs ("PLCInterfaceOut")
    int NoFaultNumber = 0;
    int RobotIsReferenced = 0;
    int MissionRunningNumber = 0;
    int FaultNumber = 0;
    int ProgramNotRunningNumber = 0;
    int ProgramRunningNumber = 0;
    // "PLCInterfaceRefSequence"
    int JointToRef[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    int RefDelay[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};

    PLCInterfaceNumbers() = default;
    PLCInterfaceNumbers(const PLCInterfaceNumbers&) = default;
    // Only to a named record: "log->get_plcInterfaceNr() = x" would change a copy.
    PLCInterfaceNumbers& operator=(const PLCInterfaceNumbers&) & = default;
};

// What a log call on a thread with a sink (the robot loop) becomes: the line as the
// caller's thread stamped it, handed on instead of queued here. The sink must not block;
// it hands the line back later through LogSingleton::addStamped.
enum class LogLineKind : std::uint8_t { Log, Error, DisplayAndServer, Server };
class LogThreadSink {
public:
    virtual ~LogThreadSink() = default;
    // stamp: "hh:mm:ss:mmm" (empty for display and server texts). False: not taken (the
    // sink counts it).
    virtual bool Line(LogLineKind kind, const char* stamp, const char* text) = 0;
};

class LogSingleton {
public:
    static constexpr int kRingSize = 500;
    static constexpr int kMaxDisplayMessages = 10;
    // About 10,000 lines of common length wait for the writer before lines are dropped.
    static constexpr size_t kDefaultQueueBytes = 1u << 20;
    // About 2,500 lines wait for a slow console before its copies are dropped.
    static constexpr size_t kDefaultConsoleBytes = 256u << 10;
    // The longest wait of Flush() (and so of a power-off and of the exit) for the log.
    static constexpr std::chrono::milliseconds kFlushBound{1000};
    // After a new log file could not be opened, the rotation is tried again this many
    // lines later; the current file goes on meanwhile.
    static constexpr int kRotationRetryLines = 100;
    // An idle writer looks for new lines this often; a queue filling past half, Flush()
    // and a ring read wake it at once.
    static constexpr std::chrono::milliseconds kWriterPoll{10};

    // The process-wide object, built on first use in the current working directory.
    static LogSingleton* instance();
    // Start-up pause of the process-wide object (2 s by default); only effective before
    // the first instance() call. Tests set 0.
    static void SetStartupWait(std::chrono::milliseconds wait);

    // A separate object working in the current directory, for tests and tools. Prints the
    // banner, waits, then rotates the log files found there and opens a fresh file 01.
    explicit LogSingleton(std::chrono::milliseconds startupWait);
    // The same with its own console side (nullptr: standard output and error) and queue sizes.
    LogSingleton(std::chrono::milliseconds startupWait, std::unique_ptr<LogConsoleSink> console,
                 size_t queueBytes = kDefaultQueueBytes, size_t consoleBytes = kDefaultConsoleBytes);
    // Writes every queued line to the file, then closes it; waits for the console at most
    // kFlushBound and LogConsole::kStopBound.
    virtual ~LogSingleton();
    LogSingleton(const LogSingleton&) = delete;
    LogSingleton& operator=(const LogSingleton&) = delete;

    // --- Log lines ---
    void add(const std::string& text);
    void add(const std::string& text, int value);     // "%s %d"
    void add(const std::string& text, float value);   // "%s %.1f"
    void add(const std::string& text, double value);  // "%s %.1f"
    // Other integer types (unsigned, long, size_t, bool) as "%s %lld" / "%s %llu".
    template <typename T,
              typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, int>::value,
                                      int>::type = 0>
    void add(const std::string& text, T value) {
        addInteger(text, std::is_signed<T>::value, static_cast<long long>(value),
                   static_cast<unsigned long long>(value));
    }
    void addError(const std::string& text);
    // A line another thread stamped and handed on (see LogThreadSink); display and server
    // texts go to their channels as DisplayAndServerSetMessage / ServerSetMessage.
    void addStamped(LogLineKind kind, const char* stamp, const char* text);
    // The calling thread's sink (nullptr: none). Every line and message of this thread
    // goes to it instead.
    static void SetThreadSink(LogThreadSink* sink);
    // A text for the console only, as it stands (no stamp, not in the files or the ring),
    // in order with the lines around it: standard output, or standard error.
    void addConsole(const char* text, bool toStderr = false);
    // printf-style line, cut at 1023 characters. Text objects go in as c_str().
    void addFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::string GetTimeString() const;
    // Oldest unread ring line ("time text") into *out; returns the number of unread lines
    // before the call, 0 leaves *out untouched. Hands a line out once the writer has
    // written it (waiting for the writer up to kRingWaitForWriter), so a rotation's own
    // lines come in their place; a writer that stood still for that long is not waited
    // for again until it moves.
    int GetLogMessage(std::string* out);
    static constexpr std::chrono::milliseconds kRingWaitForWriter{500};

    void SetLogFileCount(unsigned n);  // at least 2
    int GetLogFileCount() const;
    void SetMaxEntries(unsigned n);  // at least 250
    unsigned GetMaxEntries() const;
    // Returns once every line logged before the call is in the log file and its console
    // copy is out, or once bound has passed (a line in the files says so; a console known
    // to take no lines is not waited for again). False when it gave up.
    bool Flush(std::chrono::milliseconds bound = kFlushBound);

    // --- Display and server messages ---
    void SetServerMessageCallback(std::function<void(const std::string&)> callback);
    void ServerSetMessage(const std::string& text);
    void DisplayAndServerSetMessage(const std::string& text);
    // One reader's place in the display message queue: every reader sees every message
    // (of the newest kMaxDisplayMessages), each for at least 500 ms of its own calls,
    // whatever the other readers do. Used by one reader at a time.
    class DisplayCursor {
        friend class LogSingleton;
        std::uint64_t next = 0;  // number of the message this reader shows
        bool first = true;
        std::chrono::steady_clock::time_point shownSince{};
    };
    // The current message for this reader; moves the reader on once it was shown 500 ms.
    bool DisplayGetMessage(DisplayCursor& cursor, std::string* out);
    // The same through the panel's cursor.
    bool DisplayGetMessage(std::string* out) { return DisplayGetMessage(panelCursor, out); }
    bool DisplayGetMessage(std::string& out) { return DisplayGetMessage(&out); }
    void DisplaySetFilename(const std::string& name);
    bool DisplayGetFilename(std::string* out);
    bool DisplayGetFilename(std::string& out) { return DisplayGetFilename(&out); }

    // --- Operation mode and failure reason ---
    void set_opMode(operationMode mode) { opMode.store(mode); }
    void set_opMode(int mode) { opMode.store(static_cast<operationMode>(mode)); }
    operationMode get_opMode() const { return opMode.load(); }
    void set_seriousFailReason(const std::string& reason);
    std::string get_seriousFailReason() const;
    // A fault that stops the controller: line logged as an error, then the numbered
    // reason, then operation mode OPMODE_SERIOUS_FAILURE.
    void SeriousFailure(const std::string& line, const std::string& reason);

    // --- Version, paths, robot ---
    void set_softwareVersion(const std::string& text, int major, int minor);
    std::string get_softwareVersion() const;
    int get_softwareVersionMajor() const { return softwareVersionMajor.load(); }
    int get_softwreVersionMinor() const { return softwareVersionMinor.load(); }
    int get_softwareVersionMinor() const { return softwareVersionMinor.load(); }
    std::string get_rootPath() const;  // ends with "/"
    std::string get_programPath() const;
    void set_robotName(const std::string& name);
    std::string get_robotName() const;
    void set_robotType(const std::string& type);
    std::string get_robotType() const;
    void set_robotGripper(const std::string& gripper);
    std::string get_robotGripper() const;
    // The PLC-interface record, handed over whole (any thread; never waits for a writer).
    PLCInterfaceNumbers get_plcInterfaceNr() const { return plcInterfaceNr.Load(); }
    void set_plcInterfaceNr(const PLCInterfaceNumbers& settings) { plcInterfaceNr.Store(settings); }
    // edit(PLCInterfaceNumbers&) changes the record in one step: writers meanwhile wait.
    template <typename Edit>
    void change_plcInterfaceNr(Edit&& edit) {
        plcInterfaceNr.Update(std::forward<Edit>(edit));
    }
    // Changes with every store: a reader keeping a copy (the robot loop) takes a new one
    // only then, without waiting (try_get_plcInterfaceNr is false while a store is under way).
    std::uint32_t get_plcInterfaceNrVersion() const { return plcInterfaceNr.Version(); }
    bool try_get_plcInterfaceNr(PLCInterfaceNumbers& out) const { return plcInterfaceNr.TryLoad(out); }

    void set_pathGeneratorFlagOptimize(bool value) { pathGeneratorFlagOptimize.store(value); }
    bool get_pathGeneratorFlagOptimize() const { return pathGeneratorFlagOptimize.load(); }
    void set_pathGeneratorSlicingMS(int ms) { pathGeneratorSlicingMS.store(ms); }
    int get_pathGeneratorSlicingMS() const { return pathGeneratorSlicingMS.load(); }

    // "Running on IP address: " followed by each non-loopback IPv4 address and three blanks.
    std::string getIPAdress() const;

    // --- Persistent counters ---
    int GetSystemVar(SystemVar key) const;
    int GetSystemVar(int key) const { return GetSystemVar(static_cast<SystemVar>(key)); }
    void IncreaseSystemVariables(int key, unsigned int amount);
    void ReadVariablesFromStorage();
    // Writes at most once per storage interval (300 s on the monotonic clock); force
    // writes at once (shut-down, orderly exit). A write that fails stays due: the next
    // call tries again whatever the interval. The first failure of a run logs one line,
    // the write that lands after it another. False when a due write failed.
    bool WriteVariablesToStorage(bool force = false);
    void SetStorageWriteInterval(std::chrono::seconds interval);
    std::string GetStorageFilePath() const;  // data root + "variableStorage.xml"

    // Written by the program memory ("#parts-good", "#parts-bad") and read by the writer.
    std::atomic<int> PartsGood{0};
    std::atomic<int> PartsBad{0};

    // Project "OperationModes" settings: written by the project reader at start-up.
    bool operationModesActive = false;
    float manualMaxVelMMPerSec = 250.0f;
    int dInEnableMotionInManualMode = -1;
    int dInOpModeAuto = -1;

private:
    static std::atomic<long long> startupWaitMs;

    // A line the writer adds itself (a rename failure, a file or console that stopped or
    // resumed); toFile false: console and ring only (the file is what failed).
    struct Notice {
        std::string text;
        bool toFile = true;
    };
    using Notices = std::vector<Notice>;
    // What a rotation has for the console and the lines it could not log itself.
    struct RotationOutput {
        std::string console;
        Notices notices;
    };

    void writeLine(const char* text, size_t length, bool toStderr);
    // writeLine with the given stamp, or with the clock's when stamp is null.
    void queueLine(const char* stamp, const char* text, size_t length, bool toStderr);
    void addInteger(const std::string& text, bool isSigned, long long s, unsigned long long u);
    int FormatTimeStamp(char* out, size_t size) const;
    // Run with filesMutex held (released around sync()).
    void changeFile(std::unique_lock<std::mutex>& files, RotationOutput* out);
    void addHeader(RotationOutput* out);

    // Writer thread.
    void WriterLoop();
    // Waits until every line logged before the call is written to the file (not the
    // console); the number of lines still waiting when the deadline came.
    std::uint64_t WaitForWriter(std::chrono::steady_clock::time_point deadline);
    // Writes every queued line, then the count of dropped ones; logMutex held.
    void WriteQueued(std::unique_lock<std::mutex>& lock);
    // A child made by fork() has no writer thread: it writes its own lines itself at
    // Flush(), at a ring read and at destruction (to the console and the current file; the
    // parent rotates). False in the process that built the object.
    bool WriteHereInForkedChild(std::unique_lock<std::mutex>& lock);
    static void RegisterForFork(LogSingleton* log);
    static void UnregisterForFork(LogSingleton* log);
    static void LockForFork();
    static void UnlockAfterFork();
    static void ChildAfterFork();
    // The parent's queued lines are the parent's writer's: a child drops them.
    void StartForkedChild();
    void WriteOut(const char* text, size_t length, bool toStderr, std::uint64_t seq, bool consoleOnly = false);
    void WriteOne(const char* text, size_t length, bool toStderr, Notices* notices);
    // Writes the notices (and those they raise) after line seq.
    void WriteNotices(std::uint64_t seq, Notices* notices);
    // Writer thread: one line in the files when a console stream has gone; true when it
    // wrote one (logMutex released meanwhile).
    bool TellConsoleGone(std::unique_lock<std::mutex>& lock);
    void TellGone(bool toStderr, Notices* notices);
    // The console copy of a line (writer thread, or a forked child's own).
    void ToConsole(bool toStderr, const char* text, size_t length, Notices* notices);
    // With filesMutex held.
    void ToFile(const char* text, size_t length, Notices* notices);
    bool InForkedChild() const;
    void WriteDroppedCount(std::uint64_t count, std::uint64_t seq);
    // With logMutex held.
    void WakeWriter();
    void RingInsertAfter(std::uint64_t seq, const std::string& line);

    std::unique_ptr<LogConsole> console;
    // Writer thread only: the console's state as the files tell it.
    bool consoleDropping = false;
    std::uint64_t consoleDropped = 0;  // copies not shown in this episode
    bool consoleGoneTold[2] = {false, false};

    mutable std::mutex logMutex;  // queue, line numbers, writer hand-shake, ring
    LogLineQueue queue;
    pid_t ownerPid;  // the process whose writer thread runs
    std::uint64_t lineSeq = 0;     // number of the last line logged
    std::uint64_t handledSeq = 0;  // every line up to this one is written out (or was dropped)
    std::uint64_t ringStalledAt = ~std::uint64_t{0};  // handledSeq when a ring read gave up
    bool writerSleeping = false;
    bool stopping = false;
    bool childWriting = false;
    bool childStarted = false;  // set only in a forked child
    std::condition_variable wakeWriter;
    std::condition_variable lineHandled;

    mutable std::mutex filesMutex;  // the writer's file work against the file-count setting
    // The current log file. Its number stays the log's from the first open on: a rotation
    // puts the new file onto it (dup3), so no other open or accept can take it.
    int logFd = -1;
    std::vector<std::string> logFileNames;
    int entryCount = 0;        // lines in the current file (written ones only)
    int rotationRetryAt = 0;   // entryCount at which a failed rotation is tried again
    bool rotationFailing = false;
    bool fileFailing = false;  // the last write to the file failed
    bool fileMidLine = false;  // a failed write left part of a line in the file
    std::uint64_t fileLost = 0;  // lines not written since the file failed
    std::atomic<unsigned> maxEntries{5000};
    std::atomic<int> logFileCount{0};

    mutable std::mutex stateMutex;  // the strings below that other threads read
    std::string programPath;
    std::string rootPath;
    std::string softwareVersion;
    std::string robotName;
    std::string robotType;
    std::string robotGripper;
    std::string seriousFailReason = "na";
    std::string storageFileName = "variableStorage.xml";

    std::atomic<int> softwareVersionMajor{0};
    std::atomic<int> softwareVersionMinor{0};
    SeqLockValue<PLCInterfaceNumbers> plcInterfaceNr;
    std::atomic<bool> pathGeneratorFlagOptimize{true};
    std::atomic<int> pathGeneratorSlicingMS{50};
    std::atomic<operationMode> opMode{OPMODE_NORMAL};

    std::array<std::string, kRingSize> logRing;
    std::array<std::uint64_t, kRingSize> ringSeq{};  // line number of each slot
    int ringWrite = 0;
    int ringRead = 0;

    timespec startTime{};

    std::mutex displayMutex;  // queue, the cursors' timing and the one-shot file name
    std::deque<std::string> displayMessages;  // the newest, consumed or not
    std::uint64_t displayFrontNumber = 0;     // number of displayMessages.front()
    DisplayCursor panelCursor;
    std::string displayFilename = "n/a";
    bool displayFilenamePending = false;

    std::mutex callbackMutex;
    std::function<void(const std::string&)> serverMessageCallback;

    std::mutex storageMutex;  // one writer of the counters file at a time
    std::chrono::seconds storageWriteInterval{300};
    std::chrono::steady_clock::time_point lastStorageWrite;
    FailureEpisode storageWriteFailures;  // under storageMutex
    // UpTimeComplete, UpTimeLast, UpTimeEnabled, UpTimeMotion, ProgramStarts, then the
    // direction changes of joints 1 to 9. Single writers per counter, polling readers.
    std::array<std::atomic<int>, 14> systemCounters{};
    std::array<std::atomic<int>, 4> msAccumulators{};  // the four time counters

    // Last: runs on the members above.
    std::thread writer;
    std::thread::id writerId;
};

// "%3.1d days   %.2d h   %.2d min" of a minute count.
std::string GetHourString(int minutes);
// True when the file can be opened for reading.
bool fileExists(const std::string& path);
// Removes the file when it exists; errors are ignored.
void deleteFile(const std::string& path);
// Renames only when from exists and to does not; a failed rename is logged.
void moveFile(const std::string& from, const std::string& to);
// First ancestor of path (path included) holding a "Data" directory, with a trailing "/";
// path + "/" when there is none.
std::string findRootDirectory(const std::string& path);
