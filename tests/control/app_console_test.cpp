// The controller process with its standard output a pipe, on the demo stack (virtual CAN
// hub and drive simulator): a reader that goes away, and a reader that never reads. Neither
// may end, stop or slow the controller; the log files tell what happened. Nothing powers
// anything off: the shut-down commands go to the test's shut-down log.

#include "app_process_support.h"
#include "testsupport/HvpTestClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

using AppTest::BelvantoProcess;
using AppTest::CountOf;
using Clock = std::chrono::steady_clock;

constexpr int kPatienceMs = 60000;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool LogHolds(const BelvantoProcess& p, const std::string& text, int count = 1, int timeoutMs = kPatienceMs) {
    return AppTest::WaitUntil([&] { return CountOf(p.LogText(), text) >= count; }, timeoutMs);
}

// The part of the log after the first line that holds what ("" when there is none).
std::string LogAfter(const BelvantoProcess& p, const std::string& what) {
    const std::string text = p.LogText();
    const size_t at = text.find(what);
    return at == std::string::npos ? std::string() : text.substr(at + what.size());
}

// Reset and enable ("2"), then start ("5") until a status line in the log says "Prog: Run"
// (a slow build may still be enabling the drives and refuse the first start).
::testing::AssertionResult StartDemoProgram(BelvantoProcess& p) {
    if (!LogHolds(p, "ProtocolJXRCANV2: Connection succeeded")) {
        return ::testing::AssertionFailure() << "the drives did not connect:\n" << p.LogText();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    if (!p.Type("2\n")) return ::testing::AssertionFailure() << "the console input is closed";
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    for (int attempt = 0; attempt < 6; ++attempt) {
        if (!p.Type("5\n")) return ::testing::AssertionFailure() << "the console input is closed";
        if (LogHolds(p, "Prog: Run", 1, 15000)) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the program did not start:\n" << p.LogText();
}

// The exit after SIGTERM: its status, and the seconds it took (-1: it did not end).
struct Exit {
    int status = -1;
    double seconds = -1;
};

Exit TerminateAndWait(BelvantoProcess& p) {
    const auto start = Clock::now();
    p.Signal(SIGTERM);
    Exit exit;
    exit.status = p.WaitForExit(30000);
    if (exit.status != -1) exit.seconds = SecondsSince(start);
    return exit;
}

void ExpectOrderlyExitInTheLog(const BelvantoProcess& p, const Exit& exit) {
    ASSERT_NE(exit.status, -1) << "belvanto did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(exit.status)) << "ended by signal " << WTERMSIG(exit.status);
    EXPECT_EQ(WEXITSTATUS(exit.status), 0);
    const std::string log = p.LogText();
    const size_t received = log.find("SIGTERM received.");
    const size_t exiting = log.find("Belvanto: Exiting...");
    ASSERT_NE(received, std::string::npos) << log;
    ASSERT_NE(exiting, std::string::npos) << log;
    EXPECT_LT(received, exiting);
    EXPECT_TRUE(AppTest::fs::exists(p.root + "/variableStorage.xml")) << "the counters were not saved";
}

TEST(AppConsole, AStdoutReaderThatGoesAwayLeavesTheProgramRunningAndTheExitInOrder) {
    BelvantoProcess p;
    p.CopyDataRoot(BELVANTO_DEMO_DIR);
    AppTest::SimulatedBus bus;
    ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    p.stdoutFd = out[1];
    p.Start({bus.Environment()}, true);
    close(out[1]);

    // Like `cat`: reads what comes until told to go, then goes away.
    std::atomic<bool> go{false};
    std::string seen;
    std::thread reader([&] {
        char buffer[4096];
        while (!go.load()) {
            pollfd poll_{out[0], POLLIN, 0};
            if (poll(&poll_, 1, 50) <= 0) continue;
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
    });
    const auto stopReader = [&] {
        go.store(true);
        if (reader.joinable()) reader.join();
    };
    const ::testing::AssertionResult started = StartDemoProgram(p);
    stopReader();
    ASSERT_TRUE(started);
    EXPECT_NE(seen.find("Prog: Run"), std::string::npos) << "the console showed the log";

    // The next console write finds the reader gone; the program goes on, status line after
    // status line, and the HVP server answers.
    const std::string gone = "Log: standard output is gone (Broken pipe), its lines reach only the log files";
    ASSERT_TRUE(LogHolds(p, gone)) << p.LogText();
    EXPECT_TRUE(AppTest::WaitUntil([&] { return CountOf(LogAfter(p, gone), "Prog: Run") >= 2; }, kPatienceMs))
        << p.LogText();
    EXPECT_FALSE(p.HasExited());
    TestSupport::HvpTestClient client;
    ASSERT_TRUE(client.Connect(p.hvpPort, 30000));
    ASSERT_TRUE(client.Send(5, "CMD GetVersion"));
    EXPECT_TRUE(client.WaitFor("INFO Version", 30000));

    const Exit exit = TerminateAndWait(p);
    std::printf("exit after SIGTERM with the console gone: %.2f s\n", exit.seconds);
    ASSERT_NO_FATAL_FAILURE(ExpectOrderlyExitInTheLog(p, exit));
    EXPECT_EQ(CountOf(p.LogText(), gone), 1);
    bus.sim.Stop();
    bus.hub.Stop();
}

TEST(AppConsole, AStdoutNobodyReadsStopsNeitherTheLogNorThePowerOffNorTheExit) {
    BelvantoProcess p;
    p.CopyDataRoot(BELVANTO_DEMO_DIR);
    // The PLC interface's Shutdown input on DIn 21, bit 0 of the I/O module 80 (0x50).
    const std::string project = p.root + "/Data/Projects/Demo.prj";
    std::string text = AppTest::ReadFile(project);
    text = std::regex_replace(text, std::regex("<PLCInterface Active=\"false\""), "<PLCInterface Active=\"true\"");
    text = std::regex_replace(text, std::regex("ShutdownNumber=\"-1\""), "ShutdownNumber=\"20\"");
    std::ofstream(project) << text;
    AppTest::SimulatedBus bus;
    ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}, true));
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    p.stdoutFd = out[1];
    p.Start({bus.Environment()}, true);
    close(out[1]);  // out[0] stays open and unread: every console write blocks

    ASSERT_TRUE(StartDemoProgram(p));
    int queued = 0;
    ASSERT_EQ(ioctl(out[0], FIONREAD, &queued), 0);
    EXPECT_GE(queued, 4096 - 256) << "the console pipe is not full";
    // The log file keeps growing.
    const int before = CountOf(p.LogText(), "Prog: ");
    EXPECT_TRUE(AppTest::WaitUntil([&] { return CountOf(p.LogText(), "Prog: ") >= before + 2; }, kPatienceMs));

    // A power-off from a PC front end reaches its command, and the client is served on.
    TestSupport::HvpTestClient client;
    ASSERT_TRUE(client.Connect(p.hvpPort, 30000));
    auto powerOffs = [&] { return CountOf(AppTest::ReadFile(p.shutdownLog), "systemctl poweroff"); };
    auto start = Clock::now();
    ASSERT_TRUE(client.Send(6, "SYSTEM Shutdown 100"));
    ASSERT_TRUE(AppTest::WaitUntil([&] { return powerOffs() == 1; }, 20000)) << p.LogText();
    std::printf("HVP power-off command after %.2f s with the console stalled\n", SecondsSince(start));
    ASSERT_TRUE(client.Send(7, "CMD GetVersion"));
    EXPECT_TRUE(client.WaitFor("INFO Version", 30000));

    // The PLC's Shutdown input: the power-off runs beside the loop, which loses nothing.
    start = Clock::now();
    ASSERT_TRUE(bus.sim.Type("inputs 80 0x01\n"));
    ASSERT_TRUE(LogHolds(p, "PLCInterface: Shutting down the system")) << p.LogText();
    ASSERT_TRUE(AppTest::WaitUntil([&] { return powerOffs() == 2; }, 20000)) << p.LogText();
    std::printf("PLC power-off command after %.2f s with the console stalled\n", SecondsSince(start));
    EXPECT_TRUE(LogHolds(p, "Prog: ", CountOf(p.LogText(), "Prog: ") + 1)) << "the main loop stopped";
    EXPECT_EQ(p.LogText().find("RobotLoop: outbox full"), std::string::npos) << p.LogText();

    const Exit exit = TerminateAndWait(p);
    std::printf("exit after SIGTERM with the console stalled: %.2f s\n", exit.seconds);
    ASSERT_NO_FATAL_FAILURE(ExpectOrderlyExitInTheLog(p, exit));
    EXPECT_TRUE(client.WaitClosed(10000));
    close(out[0]);
    bus.sim.Stop();
    bus.hub.Stop();
}

}  // namespace

#endif
