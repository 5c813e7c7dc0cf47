// The controller in a copy of the demo data root, operated from the simulated serial panel
// on the robot file's "DisplayPort" (a link to the simulator's pseudo-terminal), with the
// virtual CAN hub and the drive simulator as in scripts/demo.sh.

#include "app_process_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM) && \
    defined(BELVANTO_PANELSIM_PROGRAM)

namespace {

namespace fs = std::filesystem;
using AppTest::BelvantoProcess;
using AppTest::ChildProcess;

std::string After(const std::string& out, size_t from) { return from < out.size() ? out.substr(from) : std::string(); }

// Joint 1 of every status line in text ("Joints: a1 a2 ...").
std::vector<double> Joint1Values(const std::string& text) {
    std::vector<double> values;
    const std::string key = "Joints: ";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + key.size())) {
        values.push_back(std::strtod(text.c_str() + at + key.size(), nullptr));
    }
    return values;
}

TEST(Display4DSDemo, PanelStopsJogsAndStartsTheDemoRobot) {
    BelvantoProcess p;
    p.CopyDataRoot(BELVANTO_DEMO_DIR);
    const std::string panelLink = p.root + "/panel.tty";  // the demo robot file's "DisplayPort"

    AppTest::SimulatedBus bus;
    ASSERT_TRUE(bus.Start(p.dir, p.root + "/Data/Robots/JXRPivra4/JXRPivra4.xml", {"--dio", "80"}));
    ChildProcess panel;
    panel.Start({BELVANTO_PANELSIM_PROGRAM, "--link", panelLink}, {}, p.dir, p.dir + "/panel.txt", true);
    ASSERT_TRUE(AppTest::WaitUntil([&] { return fs::is_symlink(panelLink); }, 30000)) << panel.Output();

    p.Start({bus.Environment(), "BELVANTO_PANEL_PORTS="}, true);
    ASSERT_TRUE(p.WaitForOutput([](const std::string& o) { return o.find("RobotMainLoop is executing") != std::string::npos; },
                                60000))
        << p.Output();
    EXPECT_NE(p.Output().find("Display 4DS: Connection successful"), std::string::npos) << p.Output();

    // Enable from the panel, start from the console (typed again while a slow build is still
    // enabling the drives).
    ASSERT_TRUE(AppTest::WaitForDemoDrives(p));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(panel.Type("button 50\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(AppTest::StartProgramFromConsole(p));

    // "button 82": stop.
    size_t mark = p.Output().size();
    ASSERT_TRUE(panel.Type("button 82\n"));
    ASSERT_TRUE(p.WaitForOutput([&](const std::string& o) { return After(o, mark).find("Prog: Stp") != std::string::npos; },
                                60000))
        << After(p.Output(), mark);

    // "button 92", then "button 95": a linear move taught where the arm stands, behind the
    // demo program (which starts with a Comment), and the program stored; the panel shows
    // that it was.
    mark = p.Output().size();
    ASSERT_TRUE(panel.Type("button 92\n"));
    ASSERT_TRUE(p.WaitForOutput(
        [&](const std::string& o) { return After(o, mark).find("IPO:     Added Command Linear") != std::string::npos; },
        60000))
        << After(p.Output(), mark);
    ASSERT_TRUE(panel.Type("button 95\n"));
    EXPECT_TRUE(panel.WaitForOutput(
        [](const std::string& o) { return o.find("message: 14 Cmds written") != std::string::npos; }, 60000))
        << panel.Output();
    const std::string stored = AppTest::ReadFile(p.root + "/Data/Programs/storage01.xml");
    EXPECT_NE(stored.find("<Header Software=\"V980-13-030\" RobotType=\"JXRPivra4\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("<Comment Nr=\"1\" Descr=\"Demo: joint and linear moves"), std::string::npos) << stored;
    EXPECT_NE(stored.find("<Linear Nr=\"8\" x=\"313.8\" y=\"100\" z=\"357.6\""), std::string::npos) << stored;

    // "axis 0 200": joint 1 moves (negative: the first axis jogs joint 1 mirrored).
    mark = p.Output().size();
    const std::vector<double> before = Joint1Values(p.Output());
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(panel.Type("axis 0 200\n"));
    EXPECT_TRUE(p.WaitForOutput(
        [&](const std::string& o) {
            const std::vector<double> now = Joint1Values(After(o, mark));
            return !now.empty() && now.back() < before.back() - 1.0;
        },
        60000))
        << "joint 1 was " << before.back() << "\n"
        << After(p.Output(), mark);
    ASSERT_TRUE(panel.Type("axis 0 128\n"));

    // "button 80": the program runs again.
    mark = p.Output().size();
    ASSERT_TRUE(panel.Type("button 80\n"));
    EXPECT_TRUE(p.WaitForOutput([&](const std::string& o) { return After(o, mark).find("Prog: Run") != std::string::npos; },
                                60000))
        << After(p.Output(), mark);

    // The panel showed the controller's output frames.
    EXPECT_TRUE(panel.WaitForOutput(
        [](const std::string& o) {
            return o.find("message: Belvanto V980-13-030") != std::string::npos && o.find("position:") != std::string::npos;
        },
        10000))
        << panel.Output();

    ASSERT_NO_FATAL_FAILURE(AppTest::ExpectExitOnSigterm(p));
    AppTest::ExpectOrderlyExit(p.Output());
    panel.Stop();
    EXPECT_FALSE(fs::is_symlink(panelLink));  // the simulator removes its link
    bus.sim.Stop();
    bus.hub.Stop();
}

}  // namespace

#endif
