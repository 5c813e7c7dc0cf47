// The controller process in a copy of the demo data root, with the virtual CAN hub and the
// drive simulator as in scripts/demo.sh. Nothing can power anything off: the shut-down
// command goes to the shut-down log of the test's temporary folder.

#include "app_process_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using AppTest::ChildProcess;

// The part of the output after the first line that holds what ("" when there is none).
std::string After(const std::string& out, const std::string& what) {
    const size_t at = out.find(what);
    return at == std::string::npos ? std::string() : out.substr(at + what.size());
}

TEST(AppDemo, ShutdownRequestFromTheDrivesStopsTheProgramAndKeepsTheProcess) {
    BelvantoProcess p;
    p.CopyDataRoot(BELVANTO_DEMO_DIR);
    AppTest::SimulatedBus bus;
    ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}));
    ChildProcess& sim = bus.sim;

    p.Start({bus.Environment()}, true);
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("RobotMainLoop is executing") != std::string::npos; },
                                60000))
        << p.Output();
    // Reset and enable, then start the program, as the demo script types them.
    ASSERT_TRUE(AppTest::WaitForDemoDrives(p));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(p.Type("2\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(AppTest::StartProgramFromConsole(p));

    sim.Signal(SIGUSR1);
    ASSERT_TRUE(AppTest::WaitUntil(
        [&] { return AppTest::ReadFile(p.shutdownLog).find("systemctl poweroff") != std::string::npos; }, 30000))
        << p.Output();
    EXPECT_NE(sim.Output().find("shutdown request sent"), std::string::npos) << sim.Output();
    // The program stops; the process goes on with its status lines.
    EXPECT_TRUE(p.WaitForOutput(
        [](const std::string& o) { return After(o, "Shutting down the system...").find("Prog: Stp") != std::string::npos; },
        30000))
        << p.Output();
    EXPECT_FALSE(p.HasExited()) << p.Output();
    EXPECT_EQ(After(After(p.Output(), "Shutting down the system..."), "Prog: Stp").find("Prog: Run"), std::string::npos)
        << p.Output();

    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
    AppTest::ExpectOrderlyExit(p.Output());
    sim.Stop();
    bus.hub.Stop();
}

}  // namespace

#endif
