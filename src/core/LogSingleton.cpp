#include "core/LogSingleton.h"

#include "core/Filesystem.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

std::atomic<long long> LogSingleton::startupWaitMs{2000};

namespace {

std::string LogFileName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof(name), "logMessages%02u.txt", number);
    return name;
}

// Rename used by the rotation. Unlike moveFile() it does not log: the rotation runs with
// the log mutex held, so a failure is handed back as text and logged after unlocking.
void RotateRename(const std::string& from, const std::string& to,
                  std::vector<std::string>* deferred) {
    if (!fileExists(from) || fileExists(to)) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        char line[1024];
        std::snprintf(line, sizeof(line), "Moving file '%s' to '%s' failed: %s", from.c_str(),
                      to.c_str(), std::strerror(err));
        deferred->push_back(line);
    }
}

}  // namespace

LogSingleton* LogSingleton::instance() {
    static LogSingleton theInstance(std::chrono::milliseconds(startupWaitMs.load()));
    return &theInstance;
}

void LogSingleton::SetStartupWait(std::chrono::milliseconds wait) {
    startupWaitMs.store(wait.count());
}

LogSingleton::LogSingleton(std::chrono::milliseconds startupWait) {
    std::cout << "Belvanto initing, wait a few seconds..." << std::endl;
    if (startupWait.count() > 0) std::this_thread::sleep_for(startupWait);
    clock_gettime(CLOCK_REALTIME, &startTime);
    lastStorageWrite = std::chrono::steady_clock::now();

    SetLogFileCount(5);
    std::vector<std::string> deferred;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        changeFile(&deferred);
        entryCount = 0;  // the first file's header is not counted
        std::cout << "LogSingleton:" << logFileNames[0] << std::endl;
    }
    for (const auto& line : deferred) add(line);

    std::lock_guard<std::mutex> lock(logMutex);
    ringWrite = 0;
    ringRead = 0;  // lines logged so far stay out of the ring
}

LogSingleton::~LogSingleton() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile.is_open()) {
        logFile.flush();
        logFile.close();
    }
    sync();
}

// ---------------------------------------------------------------------------------------
// Log lines

void LogSingleton::writeLine(const std::string& text, bool toStderr) {
    std::vector<std::string> deferred;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        const std::string t = GetTimeString();
        (toStderr ? std::cerr : std::cout) << t << "     " << text << std::endl;
        if (logFile.is_open()) {
            logFile << t << "     " << text << std::endl;
        }
        ++entryCount;
        if (entryCount > static_cast<long long>(maxEntries)) {
            changeFile(&deferred);
        }
        std::string& slot = logRing[static_cast<size_t>(ringWrite)];
        slot.assign(t);
        slot += ' ';
        slot += text;
        ringWrite = (ringWrite + 1) % kRingSize;
        if (ringWrite == ringRead) ringRead = (ringRead + 1) % kRingSize;
    }
    for (const auto& line : deferred) add(line);
}

void LogSingleton::add(const std::string& text) { writeLine(text, false); }

void LogSingleton::addError(const std::string& text) { writeLine(text, true); }

void LogSingleton::add(const std::string& text, int value) {
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer), "%s %d", text.c_str(), value);
    add(std::string(buffer));
}

void LogSingleton::add(const std::string& text, float value) {
    add(text, static_cast<double>(value));
}

void LogSingleton::add(const std::string& text, double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer), "%s %.1f", text.c_str(), value);
    add(std::string(buffer));
}

void LogSingleton::addInteger(const std::string& text, bool isSigned, long long s,
                              unsigned long long u) {
    char buffer[512];
    if (isSigned) {
        std::snprintf(buffer, sizeof(buffer), "%s %lld", text.c_str(), s);
    } else {
        std::snprintf(buffer, sizeof(buffer), "%s %llu", text.c_str(), u);
    }
    add(std::string(buffer));
}

void LogSingleton::addFormat(const char* format, ...) {
    char buffer[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    add(std::string(buffer));
}

std::string LogSingleton::GetTimeString() const {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long sec = static_cast<long long>(now.tv_sec) - startTime.tv_sec;
    long long nsec = static_cast<long long>(now.tv_nsec) - startTime.tv_nsec;
    if (nsec < 0) {
        nsec += 1000000000LL;
        sec -= 1;
    }
    const long long ms = nsec / 1000000 + 1000 * sec;
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d:%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>((ms / 60000) % 60), static_cast<int>((ms / 1000) % 60),
                  static_cast<int>(ms % 1000));
    return buffer;
}

int LogSingleton::GetLogMessage(std::string* out) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (ringWrite == ringRead) return 0;
    const int unread = (ringWrite - ringRead + kRingSize) % kRingSize;
    *out = logRing[static_cast<size_t>(ringRead)];
    ringRead = (ringRead + 1) % kRingSize;
    return unread;
}

// ---------------------------------------------------------------------------------------
// Files

void LogSingleton::SetLogFileCount(unsigned n) {
    if (n < 2) n = 2;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        const size_t current = logFileNames.size();
        if (current == n) return;
        if (current < n) {
            logFileNames.clear();
            for (unsigned i = 1; i <= n; ++i) logFileNames.push_back(LogFileName(i));
        } else {
            for (size_t i = n; i < current; ++i) deleteFile(logFileNames[i]);
            logFileNames.resize(n);
        }
    }
    addFormat("Log file count set to %u", n);
}

int LogSingleton::GetLogFileCount() const {
    std::lock_guard<std::mutex> lock(logMutex);
    return static_cast<int>(logFileNames.size());
}

void LogSingleton::SetMaxEntries(unsigned n) {
    if (n < 250) n = 250;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (n == maxEntries) return;
        maxEntries = n;
    }
    addFormat("Log entry count set to %u", n);
}

unsigned LogSingleton::GetMaxEntries() const {
    std::lock_guard<std::mutex> lock(logMutex);
    return maxEntries;
}

void LogSingleton::Flush() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile.is_open()) logFile.flush();
}

void LogSingleton::changeFile(std::vector<std::string>* deferred) {
    const size_t n = logFileNames.size();
    if (n < 2) return;
    deleteFile(logFileNames[n - 1]);
    for (size_t i = n - 1; i >= 2; --i) {
        RotateRename(logFileNames[i - 1], logFileNames[i], deferred);
    }
    if (logFile.is_open()) {
        logFile.flush();
        logFile.close();
    }
    RotateRename(logFileNames[0], logFileNames[1], deferred);
    sync();
    logFile.clear();
    // When file 01 could not be moved away, truncating it would throw away the newest
    // lines: continue it instead.
    const bool stillThere = fileExists(logFileNames[0]);
    logFile.open(logFileNames[0], std::ios::out | (stillThere ? std::ios::app : std::ios::trunc));
    entryCount = 0;
    addHeader();
}

void LogSingleton::addHeader() {
    if (logFile.is_open()) {
        const time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        char stamp[64] = {};
        asctime_r(&local, stamp);
        logFile << "JXR Belvanto LogFile." << std::endl << stamp << std::endl;
    }
    entryCount += 3;

    std::string oldProgramPath;
    std::string oldRootPath;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        oldProgramPath = programPath;
        oldRootPath = rootPath;
    }
    std::cout << "JXR Belvanto" << std::endl
              << "Program path: " << oldProgramPath << std::endl
              << "Root path: " << oldRootPath << std::endl;

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
    std::function<void(const std::string&)> callback;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = serverMessageCallback;
    }
    if (callback) callback(text);
}

void LogSingleton::DisplayAndServerSetMessage(const std::string& text) {
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
    std::ifstream file(path);
    return file.is_open();
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
