// The robot loop never waits for the log: with standard output a pipe nobody reads, so the
// log's writer thread is stuck in its write, a program that logs in every cycle keeps the
// loop at its period.

#include "loop_test_fixture.h"
#include "testsupport/WaitUntil.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace ControlTest {
namespace {

// Points standard output at a pipe with a small buffer for the object's lifetime; at the
// end the pipe is read empty so the log's writer can go on.
class StdoutIntoAFullPipe {
public:
    StdoutIntoAFullPipe() {
        if (pipe(fds) != 0) return;
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        std::fflush(nullptr);
        saved = dup(STDOUT_FILENO);
        dup2(fds[1], STDOUT_FILENO);
    }
    ~StdoutIntoAFullPipe() {
        if (saved < 0) return;
        std::thread reader([this] {
            char buffer[4096];
            while (read(fds[0], buffer, sizeof buffer) > 0) {
            }
        });
        LogSingleton::instance()->Flush();
        std::fflush(nullptr);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(fds[1]);
        reader.join();
        close(fds[0]);
    }
    bool Ok() const { return saved >= 0; }
    // The pipe holds all it can: the writer is inside its write.
    bool Full() const {
        int queued = 0;
        return ioctl(fds[0], FIONREAD, &queued) == 0 && queued > 4096 - 128;
    }

private:
    int fds[2] = {-1, -1};
    int saved = -1;
};

class LoopLogBlockConcurrent : public LoopTest {};

TEST_F(LoopLogBlockConcurrent, AStuckConsoleLeavesTheLoopAtItsPeriod) {
    InitGantry();
    PrepareInterpreters();
    ReleaseBrake();
    RobotMasterTestAccess::TimingMode(master).store(1);
    RobotMasterTestAccess::CycleTimeMs(master).store(10);
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    std::string body;
    for (int i = 1; i <= 40; ++i) body += "  <System Nr=\"" + std::to_string(i) + "\" />\n";
    WriteText(programs + "LogFlood.xml", "<?xml version=\"1.0\"?>\n<Program>\n" + body + "</Program>\n");
    ASSERT_EQ(master.GetMainInterpreter().LoadProgramSynchronous("LogFlood.xml", true), 0);
    master.GetMainInterpreter().SetReplayMode(IPO::REPLAY_REPEAT);

    TestSupport::LogCapture log;
    std::size_t cycles = 0;
    float maxCycleUs = 0.0f;
    bool full = false;
    {
        StdoutIntoAFullPipe out;
        ASSERT_TRUE(out.Ok());
        master.StartMainLoop();
        // The first cycles read the e-stop circuit closed; only then may a program start.
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return !master.IsEStopLatched(); }, 20000, 5));
        master.StartProgram();
        full = TestSupport::WaitUntil([&] { return out.Full(); }, 20000, 5);
        // Two seconds with the writer stuck.
        const std::size_t before = protocol->SentSetPoints(1u << 20).size();
        master.ResetMaxCycleTime();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        cycles = protocol->SentSetPoints(1u << 20).size() - before;
        maxCycleUs = master.GetMaxCycleTime();
        master.StopProgram(IPO::STOP_USER);
        master.StopMainLoop();
    }
    std::remove((programs + "LogFlood.xml").c_str());
    ASSERT_TRUE(full) << "the log never filled the pipe " << log.Count("System") << log.Joined().substr(0, 3000);
    std::printf("stuck console: %zu cycles in 2 s, longest cycle %.0f us (period 10000 us)\n", cycles, maxCycleUs);
    // 200 cycles at the period on a quiet host. A loop that waited for the writer would stop
    // for good (nobody reads the pipe); the margins only allow for a busy or instrumented host.
    EXPECT_GE(cycles, 100u);
    EXPECT_LE(cycles, 202u);
    EXPECT_LT(maxCycleUs, 50 * 10000.0f);
}

}  // namespace
}  // namespace ControlTest
