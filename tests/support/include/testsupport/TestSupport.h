#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

// A fresh temporary folder holding an empty Data/ folder, removed with everything in it
// when the object goes away. Serves as a data root.
class TempDataRoot {
public:
    TempDataRoot();
    ~TempDataRoot();
    TempDataRoot(const TempDataRoot&) = delete;
    TempDataRoot& operator=(const TempDataRoot&) = delete;

    // Root folder, without a trailing slash.
    const std::string& Path() const { return path_; }
    // Root folder with a trailing slash, as the log singleton reports a data root.
    std::string RootWithSlash() const { return path_ + "/"; }
    std::string DataPath() const { return path_ + "/Data"; }

    // Writes a file below the root (parent folders are created); returns its absolute path.
    std::string WriteFile(const std::string& relativePath, const std::string& content) const;
    std::string ReadFile(const std::string& relativePath) const;

private:
    std::string path_;
};

// Changes the working directory for its lifetime.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& path);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::string previous_;
};

// Collects the lines logged through the process-wide log singleton after construction.
// Lines are taken from the log ring, so the capture must drain it before the ring
// (499 unread lines) overflows.
class LogCapture {
public:
    LogCapture();  // discards what the ring holds so far

    // Drains the ring and returns every line captured so far ("time text").
    const std::vector<std::string>& Lines();
    bool Contains(const std::string& fragment);
    int Count(const std::string& fragment);
    std::string Joined();

private:
    void Drain();
    std::vector<std::string> lines_;
};

// Keeps the process-wide operation mode and failure reason as a test found them: taken
// at construction, put back at the end.
class ScopedFailState {
public:
    ScopedFailState();
    ~ScopedFailState();
    ScopedFailState(const ScopedFailState&) = delete;
    ScopedFailState& operator=(const ScopedFailState&) = delete;

private:
    int mode_;
    std::string reason_;
};

// Collects the server messages (the clients' "MESSAGE" lines) sent through the log
// singleton while it lives, from any thread; the callback is removed at the end.
class ServerMessageCapture {
public:
    ServerMessageCapture();
    ~ServerMessageCapture();
    ServerMessageCapture(const ServerMessageCapture&) = delete;
    ServerMessageCapture& operator=(const ServerMessageCapture&) = delete;

    std::vector<std::string> Texts() const;
    // Messages that hold fragment.
    int Count(const std::string& fragment) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

// Makes every atomic file write of the process fail as on a full disk while Fail(true)
// holds (the BELVANTO_WRITE_FAULT_FILE seam, pointed at a flag file of its own for the
// object's lifetime; the variable is put back at the end). Set it up before threads that
// write start.
class WriteFault {
public:
    WriteFault();
    ~WriteFault();
    WriteFault(const WriteFault&) = delete;
    WriteFault& operator=(const WriteFault&) = delete;

    void Fail(bool on);

private:
    TempDataRoot folder_;
    std::string flag_;
    bool hadOld_ = false;
    std::string old_;
};

std::string ReadWholeFile(const std::string& path);

// Runs command with the shell and returns what it wrote to its standard output; status
// (when given) gets pclose's result, -1 when the command could not be started.
std::string RunCommand(const std::string& command, int* status = nullptr);

}  // namespace TestSupport
