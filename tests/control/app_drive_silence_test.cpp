// A drive that drops off the bus for 3 s while the demo robot runs a program, and comes
// back, on the maker's joint modules and on CANopen drives: the program pauses with the
// line, nothing moves until reset, enable and start, and no set-point steps
// (tests/control/demo_drive_silence.py drives the stack and reads the bus from the hub's pcap).

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <string>

#if defined(BELVANTO_BINARY) && defined(BELVANTO_CANHUB_PROGRAM) && defined(BELVANTO_DRIVESIM_PROGRAM) && \
    defined(BELVANTO_CANOPENSIM_PROGRAM)

namespace {

class AppDriveSilence : public ::testing::TestWithParam<const char*> {};

TEST_P(AppDriveSilence, PausesWithTheLineHoldsUntilResetAndStartAndNeverSteps) {
    if (TestSupport::RunCommand("command -v python3").empty()) GTEST_SKIP() << "python3 is not installed";
    const std::filesystem::path source = std::filesystem::path(BELVANTO_DEMO_DIR).parent_path();
    const std::filesystem::path build = std::filesystem::path(BELVANTO_BINARY).parent_path();
    int status = -1;
    const std::string out = TestSupport::RunCommand("python3 '" + (source / "tests/control/demo_drive_silence.py").string() +
                                                        "' '" + build.string() + "' " + GetParam() + " 2>&1",
                                                    &status);
    std::printf("%s", out.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("largest set-point step"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(BothProtocols, AppDriveSilence, ::testing::Values("modules", "canopen"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "canopen" ? "CANopen" : "MakersModules";
                         });

}  // namespace

#endif
