#pragma once

// Child processes for the process-level tests: the controller binary in a temporary data
// root (shut-down log always set, optional console pipe), and helper programs such as the
// CAN hub and the drive simulator. Every child still running is killed at the end.

#include "testsupport/LoopbackSocket.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace AppTest {

namespace fs = std::filesystem;

inline int CountOf(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

// Milliseconds of the "hh:mm:ss:mmm" stamp in front of every line that holds what.
inline std::vector<long> StampsOf(const std::string& text, const std::string& what) {
    std::vector<long> stamps;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        int h = 0, m = 0, s = 0, ms = 0;
        if (line.find(what) != std::string::npos &&
            std::sscanf(line.c_str(), "%d:%d:%d:%d", &h, &m, &s, &ms) == 4) {
            stamps.push_back(((h * 60L + m) * 60L + s) * 1000L + ms);
        }
    }
    return stamps;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using TestSupport::FreePort;

// Waits until condition holds; false after timeoutMs.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    return TestSupport::WaitUntil(condition, timeoutMs, 50);
}

// One child program: output (stdout and stderr) to a file, stdin from /dev/null or a pipe;
// stdout to stdoutFd instead when that is set.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // environment replaces every BELVANTO_ variable of this process.
    void Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& workingDir, const std::string& outputPath, bool withInput = false) {
        outPath = outputPath;
        exited = false;  // a process may be started again after it ended
        exitStatus = 0;
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("BELVANTO_", 0) != 0) env.push_back(entry);
        }
        for (const auto& e : environment) env.push_back(e);
        std::vector<std::string> args = argv;
        std::vector<char*> envp, argp;
        for (auto& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        for (auto& a : args) argp.push_back(&a[0]);
        argp.push_back(nullptr);

        int pipeFds[2] = {-1, -1};
        if (withInput) {
            ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        }
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only async-signal-safe calls until exec.
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = withInput ? pipeFds[0] : open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(workingDir.c_str()) != 0) _exit(127);
            dup2(in, 0);
            dup2(stdoutFd >= 0 ? stdoutFd : out, 1);
            dup2(out, 2);
            execve(argp[0], argp.data(), envp.data());
            _exit(127);
        }
        if (withInput) {
            close(pipeFds[0]);
            input = pipeFds[1];
        }
    }

    // Writes text to the child's stdin; false when it cannot (no pipe, reader gone).
    bool Type(const std::string& text) {
        if (input < 0) return false;
        signal(SIGPIPE, SIG_IGN);  // a reader that went away is a failed write, not our end
        return write(input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseInput() {
        if (input >= 0) close(input);
        input = -1;
    }

    std::string Output() const { return ReadFile(outPath); }

    bool WaitForOutput(const std::function<bool(const std::string&)>& condition, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (condition(Output())) return true;
            if (HasExited()) return condition(Output());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition(Output());
    }

    bool HasExited() {
        if (exited || pid <= 0) return true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            exitStatus = status;
        }
        return exited;
    }

    // The wait status, or -1 when the process did not end in time.
    int WaitForExit(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!HasExited() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exited ? exitStatus : -1;
    }

    void Signal(int number) {
        if (pid > 0 && !exited) kill(pid, number);
    }

    // SIGTERM, a bounded wait, then SIGKILL.
    void Stop(int graceMs = 3000) {
        Signal(SIGTERM);
        if (WaitForExit(graceMs) == -1) Kill();
    }

    void Kill() {
        CloseInput();
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            exited = true;
            exitStatus = status;
        }
    }

    std::string outPath;
    int stdoutFd = -1;
    pid_t pid = -1;
    bool exited = false;
    int exitStatus = 0;

private:
    int input = -1;
};

#ifdef BELVANTO_BINARY

// One belvanto process in its own temporary folder; killed at the end of the test.
class BelvantoProcess : public ChildProcess {
public:
    BelvantoProcess() {
        char pattern[] = "/tmp/belvanto_app_XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        dir = made != nullptr ? made : "/tmp";
        root = dir + "/root";
        fs::create_directories(root + "/Data");
        outPath = dir + "/out.txt";
        shutdownLog = dir + "/shutdown.log";
    }
    ~BelvantoProcess() {
        Kill();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Copies a data root; a Modbus server its projects enable gets a run-time port
    // (modbusPort), so tests running side by side never share one.
    void CopyDataRoot(const std::string& from) {
        fs::copy(from, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        const fs::path projects = fs::path(root) / "Data" / "Projects";
        if (!fs::is_directory(projects)) return;
        for (const auto& entry : fs::directory_iterator(projects)) {
            if (entry.path().extension() != ".prj") continue;
            const std::string text = ReadFile(entry.path().string());
            const std::regex port("(<ModbusServer[^>]*\\sPort=\")[0-9]+\"");
            if (!std::regex_search(text, port)) continue;
            if (modbusPort == 0) modbusPort = FreePort();
            // "$01": a port's leading digits must not extend the group number.
            std::ofstream(entry.path()) << std::regex_replace(text, port, "$01" + std::to_string(modbusPort) + "\"");
        }
    }

    // The HVP server listens on hvpPort, a run-time port, unless the caller names one.
    void Start(const std::vector<std::string>& extraEnvironment, bool withInput = false) {
        std::vector<std::string> env{"BELVANTO_SHUTDOWN_LOG=" + shutdownLog};
        bool panelPortsGiven = false;
        bool hvpPortGiven = false;
        for (const auto& e : extraEnvironment) {
            env.push_back(e);
            panelPortsGiven = panelPortsGiven || e.rfind("BELVANTO_PANEL_PORTS=", 0) == 0;
            hvpPortGiven = hvpPortGiven || e.rfind("BELVANTO_HVP_PORT=", 0) == 0;
        }
        // The panel detection never tries a real serial device.
        if (!panelPortsGiven) env.push_back("BELVANTO_PANEL_PORTS=");
        if (!hvpPortGiven) {
            hvpPort = FreePort();
            env.push_back("BELVANTO_HVP_PORT=" + std::to_string(hvpPort));
        }
        ChildProcess::Start({BELVANTO_BINARY}, env, root, dir + "/out.txt", withInput);
    }

    // The log files in the data root, the older one first.
    std::string LogText() const { return ReadFile(root + "/logMessages02.txt") + ReadFile(root + "/logMessages01.txt"); }

    std::string dir, root, shutdownLog;
    int modbusPort = 0;
    int hvpPort = 0;
};

#if defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)
// The virtual CAN hub in dir and the simulated drives of a robot file on it; the
// controller joins with BELVANTO_CAN_HUB=<socket>.
struct SimulatedBus {
    ChildProcess hub, sim;
    std::string socket;

    // simInput: the simulator's stdin is a pipe (sim.Type("inputs 80 0x01\n")).
    ::testing::AssertionResult Start(const std::string& dir, const std::string& robotFile,
                                     const std::vector<std::string>& simArguments = {}, bool simInput = false) {
        socket = dir + "/can0.sock";
        hub.Start({BELVANTO_CANHUB_PROGRAM, socket}, {}, dir, dir + "/hub.txt");
        if (!WaitUntil([&] { return fs::exists(socket); }, 30000)) {
            return ::testing::AssertionFailure() << "no hub: " << hub.Output();
        }
        std::vector<std::string> argv{BELVANTO_DRIVESIM_PROGRAM, robotFile};
        argv.insert(argv.end(), simArguments.begin(), simArguments.end());
        sim.Start(argv, {"BELVANTO_CAN_HUB=" + socket}, dir, dir + "/sim.txt", simInput);
        if (!sim.WaitForOutput([](const std::string& o) { return o.find("module on CAN ID") != std::string::npos; },
                               30000)) {
            return ::testing::AssertionFailure() << "no drives: " << sim.Output();
        }
        return ::testing::AssertionSuccess();
    }
    std::string Environment() const { return "BELVANTO_CAN_HUB=" + socket; }
};
#endif

// Waits until the demo's drives are connected: a key typed while the main loop is still
// connecting the bus is replaced by the next one before the loop reads it.
inline ::testing::AssertionResult WaitForDemoDrives(ChildProcess& p) {
    if (p.WaitForOutput([](const std::string& o) { return o.find("ProtocolJXRCANV2: Connection succeeded") != std::string::npos; },
                        60000)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the drives did not connect:\n" << p.Output();
}

// Types the demo script's program start ("5") until the status line says "Prog: Run": a
// slow (sanitizer) build may still be enabling the drives and refuse the first start.
inline ::testing::AssertionResult StartProgramFromConsole(ChildProcess& p) {
    for (int attempt = 0; attempt < 6; ++attempt) {
        if (!p.Type("5\n")) return ::testing::AssertionFailure() << "the console input is closed";
        if (p.WaitForOutput([](const std::string& o) { return o.find("Prog: Run") != std::string::npos; }, 15000)) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "the program did not start:\n" << p.Output();
}

// SIGTERM, then the exit within 30 s with status 0. Call in ASSERT_NO_FATAL_FAILURE: a
// process that did not end, or ended by a signal, ends the test.
inline void ExpectExitOnSigterm(ChildProcess& p) {
    p.Signal(SIGTERM);
    const int status = p.WaitForExit(30000);
    ASSERT_NE(status, -1) << "belvanto did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

inline void ExpectOrderlyExit(const std::string& out) {
    const size_t received = out.find("SIGTERM received.");
    const size_t exiting = out.find("Belvanto: Exiting...");
    ASSERT_NE(received, std::string::npos) << out;
    ASSERT_NE(exiting, std::string::npos) << out;
    EXPECT_LT(received, exiting);
}

#endif  // BELVANTO_BINARY

}  // namespace AppTest
