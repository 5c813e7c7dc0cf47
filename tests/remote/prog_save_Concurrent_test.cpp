// A program taught over HVP (PROG lines of every kind) and with the panel's teach keys, saved
// with the panel's store key (operator code 83): the saved file loads as the same commands,
// and the result is told to the clients (MESSAGE) and to the panel.

#include "hvp_robot_fixture.h"

#include "control/OperatorCommands.h"
#include "testsupport/CommandCompare.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/ThreadMessages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ProgSaveConcurrent : public HvpTest::HvpRobotFixture {
public:
    void SetUp() override {
        HvpRobotFixture::SetUp();
        root = LogSingleton::instance()->get_rootPath();
        fs::create_directories(root + "Data/Programs");
    }
    void TearDown() override {
        HvpRobotFixture::TearDown();
        std::error_code ec;
        fs::remove_all(root + "Data", ec);
    }

    std::vector<std::shared_ptr<Command>> Program0() {
        IPO& ipo = master->GetMainInterpreter();
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(ipo));
        const auto& programs = IpoTestAccess::Programs(ipo);
        return programs.empty() ? std::vector<std::shared_ptr<Command>>{} : programs[0].commands;
    }

    void Execute(int code) { ExecuteOperatorCommand(*master, OperatorCommandHooks{}, rs, OperatorCommand{code, 0, 0.0f}); }

    std::string root;
    DataTypes::RobotState rs;  // the main loop's copy, which the panel's teach keys read
};

TEST_F(ProgSaveConcurrent, ATaughtProgramOfEveryLineKindIsSavedAndLoadsAsTheSameCommands) {
    const std::string lines[] = {
        "PROG 1 JOINT 10.5 -20.25 30.001 40 50 60.125 EXT 323.456 0.1 -7 VEL 25.5",
        "PROG 2 RELATIVEJOINT 1 -2.005 3 0 0 0 EXT 0.0001 0 0 VEL 40",
        "PROG 3 LINEAR 323.456 -200.125 300.1 179.999 -45.5 0.001 EXT 1 2.25 3 VELMMS 33.3",
        "PROG 4 RELATIVELINEAR 5.125 6 -7.0003 80.5",
        "PROG 5 RELATIVETOOL -5 0 2.5 60",
        "PROG 6 GRIPPER 37.25 20.5 0.1",
        "PROG 7 WAIT 251",
        "PROG 8 DOUT 5 True",
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        const std::string id = line.substr(5, line.find(' ', 5) - 5);
        EXPECT_EQ(Replies(*active, line), std::vector<std::string>{"PROGACK 5 " + id});
    }
    // The panel's teach keys: linear and joint move to where the robot stands, wait,
    // gripper, output.
    rs.pose.SetTranslation(412.125f, -3.5f, 250.75f);
    rs.A = 180.0f;
    rs.B = 0.5f;
    rs.C = -179.25f;
    rs.override = 42.0f;
    for (int j = 0; j < 9; ++j) rs.jointSet[j] = 1.125f * static_cast<float>(j + 1);
    rs.gripper[0] = 66.6f;
    rs.DOut[0] = true;
    for (const int code : {50, 52, 54, 55, 56}) Execute(code);

    const auto taught = Program0();
    ASSERT_EQ(taught.size(), 13u);

    TestSupport::ThreadMessages sink;
    Execute(83);
    EXPECT_EQ(sink.displayAndServer, std::vector<std::string>{"13 Cmds written"});
    ASSERT_TRUE(fs::is_regular_file(root + "Data/Programs/" + IPO::kStoredProgramFile));

    IPO& ipo = master->GetMainInterpreter();
    ASSERT_EQ(ipo.LoadProgramSynchronous(IPO::kStoredProgramFile, true), 0);
    CommandCompare::ExpectSameCommands(taught, Program0());
}

TEST_F(ProgSaveConcurrent, WithNothingToSaveThePanelAndTheClientsAreTold) {
    TestSupport::ThreadMessages sink;
    Execute(83);
    EXPECT_EQ(sink.displayAndServer, std::vector<std::string>{"No Program to write"});
    EXPECT_FALSE(fs::exists(root + "Data/Programs/" + IPO::kStoredProgramFile));
}

}  // namespace
