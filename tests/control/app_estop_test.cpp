// The e-stop on the demo stack, as an operator meets it: the drive simulator opens the
// circuit while the demo program runs (tests/control/demo_estop.py drives the stack and
// reads the bus from the hub's pcap): no set-point burst moves once the input frame was
// there for the cycle's last e-stop look, the brake output engages, nothing moves while it
// holds the brake, and no opening is logged at start-up with the circuit closed.

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <string>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM)

namespace {

TEST(AppEStop, OpeningDuringTheDemoProgramHoldsTheSetPointsFromTheInputFrameAndEngagesTheBrake) {
    if (TestSupport::RunCommand("command -v python3").empty()) GTEST_SKIP() << "python3 is not installed";
    const std::filesystem::path source = std::filesystem::path(BELVANTO_DEMO_DIR).parent_path();
    const std::filesystem::path build = std::filesystem::path(BELVANTO_BINARY).parent_path();
    int status = -1;
    const std::string out = TestSupport::RunCommand(
        "python3 '" + (source / "tests/control/demo_estop.py").string() + "' '" + build.string() + "' 3 2>&1", &status);
    std::printf("%s", out.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("e-stop reaction"), std::string::npos) << out;
}

}  // namespace

#endif
