// The controller process as a whole: the real binary in a temporary data root, with the
// shut-down log set so that nothing can power anything off.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef BELVANTO_BINARY

namespace {

namespace fs = std::filesystem;

int CountOf(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

// Milliseconds of the "hh:mm:ss:mmm" stamp in front of every line that holds what.
std::vector<long> StampsOf(const std::string& text, const std::string& what) {
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

// One belvanto process in its own temporary folder; killed at the end of the test.
class BelvantoProcess {
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
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void CopyDataRoot(const std::string& from) {
        fs::copy(from, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }

    void Start(const std::vector<std::string>& extraEnvironment) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("BELVANTO_", 0) != 0) env.push_back(entry);
        }
        env.push_back("BELVANTO_SHUTDOWN_LOG=" + shutdownLog);
        for (const auto& e : extraEnvironment) env.push_back(e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string binary = BELVANTO_BINARY;
        char* argv[] = {&binary[0], nullptr};

        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only async-signal-safe calls until exec.
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(root.c_str()) != 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execve(argv[0], argv, envp.data());
            _exit(127);
        }
    }

    std::string Output() const {
        std::ifstream in(outPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

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
        if (exited) return true;
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

    void Signal(int number) { kill(pid, number); }

    std::string dir, root, outPath, shutdownLog;
    pid_t pid = -1;
    bool exited = false;
    int exitStatus = 0;
};

void ExpectOrderlyExit(const std::string& out) {
    const size_t received = out.find("SIGTERM received.");
    const size_t exiting = out.find("Belvanto: Exiting...");
    ASSERT_NE(received, std::string::npos) << out;
    ASSERT_NE(exiting, std::string::npos) << out;
    EXPECT_LT(received, exiting);
}

const char* const kFrontendMissing = "ERROR: 1 JXRFrontend.xml missing";
const char* const kConnecting = "***************** Connecting CAN bus... ******************";

TEST(AppProcess, WithoutFrontendReportsEveryTwoSecondsAndEndsOnSigterm) {
    BelvantoProcess p;
    p.Start({});
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return CountOf(o, kFrontendMissing) >= 2; }, 20000))
        << p.Output();
    p.Signal(SIGTERM);
    const int status = p.WaitForExit(10000);
    ASSERT_NE(status, -1) << "belvanto did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string out = p.Output();
    EXPECT_NE(out.find("V980-13-030"), std::string::npos);
    EXPECT_NE(out.find("Board Type: "), std::string::npos);
    EXPECT_EQ(out.find("RobotMainLoop is executing"), std::string::npos) << "no robot loop without a project";
    const std::vector<long> stamps = StampsOf(out, kFrontendMissing);
    ASSERT_GE(stamps.size(), 2u);
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_GE(stamps[i] - stamps[i - 1], 1900) << out;
        EXPECT_LE(stamps[i] - stamps[i - 1], 20000) << out;
    }
    ExpectOrderlyExit(out);
    // The stored counters were never read, so they are not overwritten either.
    EXPECT_FALSE(fs::exists(p.root + "/variableStorage.xml"));
}

TEST(AppProcess, WithoutHubTriesTheBusFiveTimesThenRunsAndSavesOnSigterm) {
    BelvantoProcess p;
    p.CopyDataRoot(std::string(BELVANTO_FIXTURES_DIR) + "/app");
    p.Start({"BELVANTO_CAN_HUB=" + p.dir + "/no_hub.sock"});

    // The first status line comes after the tries: the loop kept running without the bus.
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("Prog: ") != std::string::npos; }, 30000))
        << p.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.Signal(SIGTERM);
    const int status = p.WaitForExit(10000);
    ASSERT_NE(status, -1) << "belvanto did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string out = p.Output();
    EXPECT_EQ(CountOf(out, kConnecting), 5) << out;
    const std::vector<long> stamps = StampsOf(out, kConnecting);
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_GE(stamps[i] - stamps[i - 1], 900) << out;
        EXPECT_LE(stamps[i] - stamps[i - 1], 10000) << out;
    }
    EXPECT_NE(out.find("RobotMainLoop is executing"), std::string::npos);
    EXPECT_NE(out.find("Prog: None, None"), std::string::npos) << "no program in this project";
    ExpectOrderlyExit(out);
    EXPECT_TRUE(fs::exists(p.root + "/variableStorage.xml"));
    EXPECT_FALSE(fs::exists(p.shutdownLog)) << "nothing asked for a power-off";
}

TEST(AppProcess, ExceptionInAPassEndsWithNonZeroStatus) {
    BelvantoProcess p;
    p.Start({"BELVANTO_TEST_THROW_IN_PASS=1"});
    const int status = p.WaitForExit(20000);
    ASSERT_NE(status, -1) << "belvanto did not end after the exception";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal instead of its own exit";
    EXPECT_NE(WEXITSTATUS(status), 0);
    const std::string out = p.Output();
    EXPECT_NE(out.find("MAIN LOOP EXCEPTION: "), std::string::npos) << out;
    EXPECT_NE(out.find("Error in Main Loop: "), std::string::npos) << out;
    EXPECT_NE(out.find("Belvanto: Exiting..."), std::string::npos) << out;
}

}  // namespace

#endif  // BELVANTO_BINARY
