// Commands from several threads at once while the master's loop runs: every hardware call
// of a command thread happens under an acknowledged hold, and (under ThreadSanitizer) no
// data race is reported.

#include "master_command_fixture.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

using namespace ControlTest;

namespace {

struct LoopSetting {
    int cycleMs;
    int timingMode;
    int rounds;
};

class MasterCommandsConcurrent : public MasterCommandTest,
                                 public ::testing::WithParamInterface<LoopSetting> {};

}  // namespace

TEST_P(MasterCommandsConcurrent, CommandsFromFourThreadsDuringTheLoop) {
    const LoopSetting setting = GetParam();
    protocol->RecordCycleCalls(false);
    SetBrakeOutput(*master, 5);
    RobotMasterTestAccess::ZeroTorqueAllowed(*master)[2] = true;
    RobotMasterTestAccess::JointMaxVelocity(*master)[6] = 30.0;
    protocol->SetCounts(6, 1);
    StartLoop(setting.cycleMs, setting.timingMode);

    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // drive commands
        for (int i = 0; i < setting.rounds; ++i) {
            master->Reset();
            master->EnableMotors(true);
            master->ReferenceAllJoints();
            master->ResetAllJointsToZero();
            master->SetZeroTorqueMode(i % 2 == 0);
        }
    });
    threads.emplace_back([&] {  // I/O, jog and state readers
        for (int i = 0; i < setting.rounds * 20; ++i) {
            master->SetManualDOut(i % 64, i % 3 == 0);
            master->SetGlobalSignal(i % 100, i % 2 == 0);
            float jog[9] = {static_cast<float>(i % 7), 0, 0, 0, 0, 0, 0, 0, 0};
            master->SetJogValues(jog);
            if (i % 5 == 0) master->ToggleMotionMode();
            if (i % 11 == 0) master->SetMotionMode(MOTION_ROBOT_JOINT);
            master->SetOverride(static_cast<float>(i % 100));
            master->SetGripperPosition(static_cast<float>(i % 100));
            const DataTypes::RobotState state = master->GetRobotState();
            EXPECT_GE(state.errorText.size(), 0u);
            master->IsMoving();
        }
    });
    threads.emplace_back([&] {  // configuration
        for (int i = 0; i < setting.rounds * 5; ++i) {
            master->AddPLCTrigger(PLCTrigger::PLCInterfaceTrigger(true, PLCTrigger::SignalDIn, i % 64,
                                                                  PLCTrigger::TargetProgram, "t.xml"));
            if (i % 8 == 7) master->ClearPLCTriggers();
            EXPECT_LE(master->GetPLCTriggers().size(), 10u);
            master->SetExternalAxis(ExternalAxis(i % 3, "track", ExternalAxis::Position));
            if (master->HasExternalAxis(i % 3)) {
                try {
                    master->GetExternalAxis(i % 3);
                } catch (const std::exception&) {
                    // removed meanwhile by ClearExternalAxes below
                }
            }
            if (i % 4 == 3) master->ClearExternalAxes();
            master->SetBrake(i % 2 == 0, i % 3 == 0);
            master->SetDOutTargetStateOnError(i % 64, DOutTrue);
        }
    });
    threads.emplace_back([&] {  // program control with load bursts
        for (int i = 0; i < setting.rounds; ++i) {
            for (int k = 0; k < 3; ++k) {
                master->LoadProgramAndStartAsync("burst" + std::to_string(k) + ".xml", IPO::STOP_PLC);
            }
            master->StartProgram();
            master->PauseProgram(IPO::STOP_USER);
            master->StopProgram(IPO::STOP_USER);
            master->SetVelocities(10.0f, 0.0f, 0.0f);
            float e1, e2, e3;
            master->GetVelocities(e1, e2, e3);
            master->CheckRunStateChanged();
        }
    });
    for (auto& t : threads) t.join();

    master->StopMainLoop();
    for (const auto& call : protocol->Calls()) {
        EXPECT_TRUE(call.held) << call.name;
        EXPECT_TRUE(call.acknowledged) << call.name;
        EXPECT_FALSE(call.onLoopThread) << call.name;
    }
    EXPECT_EQ(master->GetHoldAcknowledged(), master->GetHoldRequests());
    EXPECT_FALSE(master->IsHeld());
}

// Loads by name from an HVP-like thread and from the Modbus-like requests at once, while the
// loop runs the interpreters: each ends with one of the named programs loaded.
TEST_F(MasterCommandTest, NamedLoadsConcurrentFromClientsWhileTheLoopRuns) {
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    const std::vector<std::string> names = {"n0.xml", "n1.xml", "n2.xml"};
    for (const auto& name : names) WriteWaitProgram(programs + name);
    InitPathGenerators();
    StartLoop(4, 1);
    std::thread hvp([&] {
        for (int i = 0; i < 6; ++i) {
            master->LoadProgramByName(names[i % 3]);
            master->LoadLogicProgramByName(names[(i + 1) % 3]);
        }
    });
    std::thread plc([&] {
        for (int i = 0; i < 30; ++i) {
            master->RequestLoadByName(i % 2 == 1, names[i % 3]);
            master->RequestLoadByName(false, "../x.xml");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    hvp.join();
    plc.join();
    IPO& main = master->GetMainInterpreter();
    IPO& logic = master->GetLogicInterpreter();
    auto settled = [&](IPO& ipo) {
        return WaitFor([&] { return !ipo.IsLoading() && ipo.IsProgramLoaded(); }, 10000);
    };
    // The worker's last loads may still run: wait for both, then stop everything.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(settled(main));
    EXPECT_TRUE(settled(logic));
    master->StopMainLoop();
    for (IPO* ipo : {&main, &logic}) {
        EXPECT_NE(std::find(names.begin(), names.end(), ipo->GetLoadedProgramName()), names.end())
            << ipo->GetLoadedProgramName();
    }
    logic.Stop(IPO::STOP_USER, "");
    std::error_code ec;
    std::filesystem::remove_all(programs, ec);
}

INSTANTIATE_TEST_SUITE_P(Loop, MasterCommandsConcurrent,
                         ::testing::Values(LoopSetting{4, 1, 6}, LoopSetting{200, 2, 2}),
                         [](const ::testing::TestParamInfo<LoopSetting>& info) {
                             return "Cycle" + std::to_string(info.param.cycleMs) + "msMode" +
                                    std::to_string(info.param.timingMode);
                         });
