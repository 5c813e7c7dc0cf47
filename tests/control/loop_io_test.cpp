// The robot loop's I/O, safety and PLC-interface steps: the output map, the digital
// gripper, drive error changes, the reference-all sequence, the e-stop edge and the PLC
// command inputs and status outputs.
#include "core/Shutdown.h"
#include "kinematics/RobotKinematicNull.h"
#include "loop_test_fixture.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"
#include "testsupport/WaitUntil.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

using namespace ControlTest;

namespace {

int Code(int module, int channel, bool value) { return module * 1000 + channel * 10 + (value ? 1 : 0); }

class LoopIOTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        protocol->RecordCycleCalls(false);
        SetPLC([](PLCInterfaceNumbers&) {});  // active, every input and output unassigned
    }
    int ReferenceCalls(int joint) {
        int n = 0;
        for (const auto& c : protocol->CallsNamed("ReferenceSingleJoint")) n += c.argument == joint;
        return n;
    }
};

TEST_F(LoopIOTest, EveryOutputGoesToItsModuleAndChannelEachCycle) {
    struct Case {
        int output;
        bool rail;
        int module;
        int channel;
    };
    const Case cases[] = {{0, false, 0, 0}, {9, false, 0, 9}, {10, false, 3, 0}, {19, false, 3, 9},
                          {20, true, 0, 0}, {35, true, 1, 5}, {49, true, 2, 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        Live().DOut[c.output] = true;
        protocol->ioCalls.clear();
        protocol->railCalls.clear();
        Cycles(1);
        const std::vector<int>& calls = c.rail ? protocol->railCalls : protocol->ioCalls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), Code(c.module, c.channel, true)), 1);
        Live().DOut[c.output] = false;
    }
    // 50..63 never reach the hardware: 20 joint-module and 30 rail calls, all off.
    for (int n = 50; n < 64; ++n) Live().DOut[n] = true;
    protocol->ioCalls.clear();
    protocol->railCalls.clear();
    Cycles(1);
    EXPECT_EQ(protocol->ioCalls.size(), 20u);
    EXPECT_EQ(protocol->railCalls.size(), 30u);
    for (int code : protocol->ioCalls) EXPECT_EQ(code % 10, 0);
    for (int code : protocol->railCalls) EXPECT_EQ(code % 10, 0);
}

TEST_F(LoopIOTest, DigitalGripperClosesAboveHalfOpen) {
    Tool& tool = master.GetKinematic()->tool;
    tool.protocol = "digital";
    tool.ChannelEnable = 20;
    tool.ChannelOpenClose = 21;
    for (const auto& c : {std::make_pair(50.0f, false), std::make_pair(50.1f, true), std::make_pair(0.0f, false)}) {
        SCOPED_TRACE(c.first);
        tool.targetPercent = tool.currentPercent = c.first;
        Cycles(1);
        EXPECT_TRUE(Live().DOut[20]);
        EXPECT_EQ(Live().DOut[21], c.second);
    }
}

TEST_F(LoopIOTest, ErrorChangesResetTheOutputsUnlessTheNewStateIsHarmless) {
    master.SetDOutTargetStateOnError(3, DOutTrue);
    struct Case {
        const char* from;
        const char* to;
        bool referencing;
        bool reset;
    };
    const Case cases[] = {
        {"NoError", "operation_enabled", false, false},
        {"operation_enabled", "NoError", false, false},
        {"NoError", "switched_on", false, false},
        {"NoError", "n/a", false, false},
        {"NoError", "Homing", false, false},
        {"NoError", "_MNE", false, false},
        {"NoError", "OverCurrent", false, true},
        {"NoError", "_MNE_LAG", true, false},
        {"NoError", "_MNE_LAG", false, true},
    };
    protocol->SetAxisModules(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to + (c.referencing ? " referencing" : ""));
        protocol->SetJointReferencing(0, false);
        protocol->SetErrorText(c.from);
        Cycles(2);
        Live().DOut[3] = false;
        RobotMasterTestAccess::ReferenceAllActive(master).store(true);
        protocol->SetJointReferencing(0, c.referencing);
        TestSupport::LogCapture log;
        protocol->SetErrorText(c.to);
        Cycles(3);
        EXPECT_EQ(Live().DOut[3], c.reset);
        EXPECT_EQ(log.Count("RobotMaster: Resetting DOuts on error (main loop), error state: "), c.reset ? 1 : 0);
        if (c.reset) {
            EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
        }
        RobotMasterTestAccess::ReferenceAllActive(master).store(false);
    }
    // The end of referencing is a change of its own when the last change came while
    // referencing: "_MNE_LAG" then resets.
    protocol->SetErrorText("NoError");
    Cycles(2);
    Live().DOut[3] = false;
    protocol->SetJointReferencing(0, true);
    protocol->SetErrorText("_MNE_LAG");
    Cycles(3);
    EXPECT_FALSE(Live().DOut[3]);
    Live().DOut[3] = false;
    protocol->SetJointReferencing(0, false);
    Cycles(1);
    EXPECT_TRUE(Live().DOut[3]);
}

TEST_F(LoopIOTest, ReferenceAllEndsAtTheFirstStepWithoutAJoint) {
    protocol->SetAxisModules(6);
    SetPLC([](PLCInterfaceNumbers& plc) {
        plc.Active = false;  // the sequence runs without the PLC interface too
        const int joints[9] = {0, 1, 2, -1, 4, 5, -1, -1, -1};
        std::copy(joints, joints + 9, plc.JointToRef);
        std::fill(std::begin(plc.RefDelay), std::end(plc.RefDelay), 0);
    });
    RobotMasterTestAccess::ReferenceAllActive(master).store(true);
    Cycles(1);
    EXPECT_EQ(ReferenceCalls(0), 1);  // delay 0: at once in the first cycle
    Cycles(10);
    for (int j : {1, 2}) EXPECT_EQ(ReferenceCalls(j), 1) << j;
    for (int j : {3, 4, 5}) EXPECT_EQ(ReferenceCalls(j), 0) << j;
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
    const std::vector<std::string> expected = {"Ref Joint 1", "Ref Joint 2", "Ref Joint 3"};
    EXPECT_EQ(Notes(), expected);
}

TEST_F(LoopIOTest, ReferenceAllWaitsItsDelayAndForAJointErrorToClear) {
    protocol->SetAxisModules(2);
    protocol->SetJointErrorCode(1, 0x10);
    SetPLC([](PLCInterfaceNumbers& plc) {
        plc.JointToRef[0] = 0;
        plc.JointToRef[1] = 1;
        plc.RefDelay[0] = 0;
        plc.RefDelay[1] = 2;
        plc.RefDelay[2] = 0;
    });
    RobotMasterTestAccess::ReferenceAllActive(master).store(true);
    TestSupport::LogCapture log;
    Cycles(1);
    EXPECT_EQ(ReferenceCalls(0), 1);
    EXPECT_TRUE(log.Contains("Referencing joint 0"));
    Cycles(50);  // one second: step 1 still waits its delay
    EXPECT_EQ(ReferenceCalls(1), 0);
    Cycles(49);
    // Two whole seconds after the first step (cycle 100) the joint's error holds it for
    // ten more cycles.
    Cycles(9);
    EXPECT_EQ(ReferenceCalls(1), 0);
    Cycles(1);
    EXPECT_EQ(ReferenceCalls(1), 1);
    EXPECT_TRUE(log.Contains("Referencing joint 1 despite error code 16"));
    Cycles(1);
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
}

// Each step (and the end of the sequence) waits until the joint of the step before has
// finished; a joint whose referencing failed ends the sequence there with a line.
TEST_F(LoopIOTest, ReferenceAllWaitsForEachJointAndEndsWhereOneFailed) {
    protocol->SetAxisModules(3);
    SetPLC([](PLCInterfaceNumbers& plc) {
        for (int k = 0; k < 3; ++k) plc.JointToRef[k] = k;
        std::fill(std::begin(plc.RefDelay), std::end(plc.RefDelay), 0);
    });
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "joint 1 fails" : "every joint finishes");
        protocol->Clear();
        TestSupport::LogCapture log;
        RobotMasterTestAccess::ReferenceAllActive(master).store(true);
        Cycles(1);
        ASSERT_EQ(ReferenceCalls(0), 1);
        protocol->SetJointReferencing(0, true);  // the drive reports its search
        Cycles(20);
        EXPECT_EQ(ReferenceCalls(1), 0);
        protocol->SetJointReferencing(0, false);
        Cycles(1);
        EXPECT_EQ(ReferenceCalls(1), 1);
        protocol->SetJointReferencing(1, true);
        Cycles(5);
        if (fails) {
            protocol->FailJointReferencing(1);
            Cycles(5);
            EXPECT_EQ(ReferenceCalls(2), 0);
            EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
            EXPECT_EQ(log.Count("Reference all stopped: referencing of joint 1 failed"), 1);
        } else {
            protocol->SetJointReferencing(1, false);
            Cycles(1);
            EXPECT_EQ(ReferenceCalls(2), 1);
            protocol->SetJointReferencing(2, true);
            Cycles(5);
            EXPECT_TRUE(RobotMasterTestAccess::ReferenceAllActive(master).load());  // the last joint still homes
            protocol->SetJointReferencing(2, false);
            Cycles(2);
            EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
            EXPECT_FALSE(log.Contains("Reference all stopped"));
        }
    }
}

TEST_F(LoopIOTest, AJointNumberOutsideTheModulesEndsTheSequence) {
    protocol->SetAxisModules(2);
    SetPLC([](PLCInterfaceNumbers& plc) {
        plc.JointToRef[0] = 40;  // no such record: never read
        plc.RefDelay[0] = 0;
    });
    RobotMasterTestAccess::ReferenceAllActive(master).store(true);
    Cycles(1);
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());
    EXPECT_TRUE(protocol->CallsNamed("ReferenceSingleJoint").empty());
}

TEST_F(LoopIOTest, AnOpenEStopResetsOnceAndRefusesPlay) {
    master.SetDOutTargetStateOnError(4, DOutTrue);
    SetPLC([](PLCInterfaceNumbers& plc) { plc.PlayNumber = 12; });
    Cycles(1);
    EXPECT_FALSE(master.IsEStopDetected());

    TestSupport::LogCapture log;
    protocol->SetInput(7, false);  // the circuit opens
    Cycles(5);
    EXPECT_EQ(log.Count("RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!"), 1);
    EXPECT_EQ(protocol->CallsNamed("StopReferencing").size(), 1u);  // every homing stops with it
    EXPECT_TRUE(Live().DOut[4]);
    EXPECT_FALSE(Live().DOut[5]);  // the brake output
    EXPECT_TRUE(master.IsEStopDetected());

    Press(12);
    EXPECT_EQ(log.Count("PLCInterface: Play requested but E-Stop detected"), 1);
    EXPECT_FALSE(log.Contains("Starting Program"));
    EXPECT_TRUE(Notes().empty());
}

TEST_F(LoopIOTest, AltStartWalksFromResetToReferencingToStart) {
    protocol->SetReferencing(true, false);
    SetPLC([](PLCInterfaceNumbers& plc) {
        plc.AltStartNumber = 11;
        plc.JointToRef[0] = -1;  // the sequence ends at once
        plc.RefDelay[0] = 0;
    });
    TestSupport::LogCapture log;
    Press(11);
    EXPECT_TRUE(log.Contains("PLCInterface: AltStart - Reset/Enable"));
    EXPECT_EQ(protocol->CallsNamed("EnableMotors").size(), 1u);
    EXPECT_TRUE(protocol->motorsEnabled.load());

    protocol->SetInput(11, true);
    Cycles(1);
    EXPECT_TRUE(log.Contains("PLCInterface: AltStart - RefAll"));
    EXPECT_TRUE(RobotMasterTestAccess::ReferenceAllActive(master).load());
    protocol->SetInput(11, false);
    Cycles(1);
    EXPECT_FALSE(RobotMasterTestAccess::ReferenceAllActive(master).load());

    protocol->SetReferencing(true, true);
    Press(11);
    EXPECT_TRUE(log.Contains("PLCInterface: AltStart - StartProgram"));
    EXPECT_TRUE(log.Contains("Starting Program"));
    const std::vector<std::string> expected = {"PLC: Reset/Enable", "PLC: RefAll", "PLC: Start",
                                               "Starting Program"};
    EXPECT_EQ(Notes(), expected);
}

TEST_F(LoopIOTest, CommandTextsLeaveThroughTheOutboxOnTheLoopAndDirectlyElsewhere) {
    LogSingleton* log = LogSingleton::instance();
    // What reached the display channel so far (the interpreter adds texts of its own).
    auto displayed = [log] {
        std::vector<std::string> texts;
        std::string text;
        while (log->DisplayGetMessage(text)) texts.push_back(text);
        return texts;
    };
    auto contains = [](const std::vector<std::string>& texts, const std::string& text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    displayed();
    std::vector<std::pair<LoopOutbox::Kind, std::string>> sent;
    master.GetLoopOutbox().messageSink = [&](LoopOutbox::Kind kind, const char* t) { sent.emplace_back(kind, t); };
    protocol->SetReferencing(true, true);
    SetPLC([](PLCInterfaceNumbers& plc) { plc.PlayNumber = 12; });
    Press(12);
    // The loop never reached the display itself: the text waits in the outbox.
    EXPECT_FALSE(contains(displayed(), "Starting Program"));
    master.GetLoopOutbox().Deliver();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::make_pair(LoopOutbox::Server, std::string("PLC: Play")));
    EXPECT_EQ(sent[1], std::make_pair(LoopOutbox::DisplayAndServer, std::string("Starting Program")));

    // The same command on another thread shows its text at once.
    sent.clear();
    master.StartProgram();
    EXPECT_TRUE(contains(displayed(), "Starting Program"));
    master.GetLoopOutbox().Deliver();
    EXPECT_TRUE(sent.empty());
}

TEST_F(LoopIOTest, ConcurrentCycleReadsTheProgramInformationWithoutWaitingForIt) {
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    const std::vector<std::string> names = {"EM67_01_moveToHomePos.xml", "EM67_03_grabPart.xml"};
    std::filesystem::create_directories(programs);
    for (const std::string& name : names) {
        std::filesystem::copy_file(std::string(BELVANTO_FIXTURES_DIR) + "/em67/" + name, programs + name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    IPO& main = master.GetMainInterpreter();
    main.InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
    PrepareInterpreters();
    ASSERT_EQ(main.LoadProgramSynchronous(names[0], false), 0);
    Cycles(1);
    EXPECT_EQ(Live().programName, names[0]);
    EXPECT_EQ(Live().programLength, 3);
    EXPECT_EQ(master.GetRobotState().programName, names[0]);

    main.DeleteAll();
    ASSERT_EQ(main.LoadProgramSynchronous(names[1], false), 0);
    {
        // Another thread holds the names: the cycle goes on with the old ones.
        std::unique_lock<std::mutex> busy(IpoTestAccess::InfoMutex(main));
        auto cycle = std::async(std::launch::async, [&] { Cycles(1); });
        const std::future_status status = cycle.wait_for(std::chrono::seconds(10));
        busy.unlock();
        cycle.get();
        EXPECT_EQ(status, std::future_status::ready) << "the cycle waited for the program names";
        EXPECT_EQ(Live().programName, names[0]);
    }
    Cycles(1);
    EXPECT_EQ(Live().programName, names[1]);
    std::error_code ec;
    for (const std::string& name : names) std::filesystem::remove(programs + name, ec);
}

TEST_F(LoopIOTest, ConcurrentCommandKeepsThePLCEdgeForTheNextCycle) {
    SetPLC([](PLCInterfaceNumbers& plc) { plc.EnableNumber = 13; });
    protocol->SetInput(13, true);
    {
        // A command runs on another thread: the edge waits for it.
        std::mutex m;
        std::condition_variable cv;
        bool locked = false;
        bool release = false;
        std::thread command([&] {
            std::lock_guard<std::recursive_mutex> busy(RobotMasterTestAccess::CommandMutex(master));
            std::unique_lock<std::mutex> lock(m);
            locked = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return locked; });
        }
        Cycles(2);
        EXPECT_TRUE(protocol->CallsNamed("EnableMotors").empty());
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
        command.join();
    }
    Cycles(3);
    EXPECT_EQ(protocol->CallsNamed("EnableMotors").size(), 1u);
    protocol->SetInput(13, false);
    Cycles(1);
    protocol->SetInput(13, true);  // motors on now: only a reset
    TestSupport::LogCapture log;
    Cycles(1);
    EXPECT_TRUE(log.Contains("PLCInterface: Reset"));
    EXPECT_EQ(protocol->CallsNamed("EnableMotors").size(), 1u);
}

TEST_F(LoopIOTest, StatusOutputsFollowTheDriveAndTheProgram) {
    SetPLC([](PLCInterfaceNumbers& plc) {
        plc.NoFaultNumber = 40;
        plc.FaultNumber = 41;
        plc.ProgramRunningNumber = 42;
        plc.ProgramNotRunningNumber = 43;
        plc.RobotIsReferenced = 44;
    });
    protocol->SetReferencing(true, true);
    Cycles(2);
    EXPECT_TRUE(Live().DOut[40]);
    EXPECT_FALSE(Live().DOut[41]);
    EXPECT_FALSE(Live().DOut[42]);
    EXPECT_TRUE(Live().DOut[43]);
    EXPECT_TRUE(Live().DOut[44]);
    protocol->SetErrorText("OverCurrent");
    Cycles(2);
    EXPECT_FALSE(Live().DOut[40]);
    EXPECT_TRUE(Live().DOut[41]);
    EXPECT_FALSE(Live().DOut[43]);
}

TEST_F(LoopIOTest, ShutdownEdgeLeavesThePowerOffToAnotherThread) {
    std::mutex mutex;
    std::vector<std::string> commands;
    std::thread::id ranOn;
    Shutdown::SetCommandRunner([&](const std::string& command) {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(command);
        ranOn = std::this_thread::get_id();
        return 0;
    });
    auto ran = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    };
    SetPLC([](PLCInterfaceNumbers& plc) { plc.ShutdownNumber = 14; });
    TestSupport::LogCapture log;
    Press(14);
    EXPECT_TRUE(log.Contains("PLCInterface: Shutting down the system"));
    EXPECT_TRUE(ran().empty());  // nothing ran on the loop
    // The delivery hands it to the shut-down's own thread and returns.
    master.GetLoopOutbox().Deliver();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !ran().empty() && !master.GetLoopOutbox().IsShutdownRunning(); },
                                       20000, 5));
    Shutdown::SetCommandRunner(nullptr);
    EXPECT_EQ(ran(), std::vector<std::string>{"systemctl poweroff"});
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_EQ(Notes(), std::vector<std::string>{"PLC: Shutdown"});
}

TEST_F(LoopIOTest, DelayedBrakeReleasesOnceTheDelayPassedWithTheDrivesReady) {
    master.SetBrake(true, false);
    Cycles(10);  // 200 ms of 300: not yet
    EXPECT_FALSE(Live().DOut[5]);
    protocol->SetErrorText("switched_on");  // not ready, but no reset either
    Cycles(10);  // past the delay, the drives not ready
    EXPECT_FALSE(Live().DOut[5]);
    EXPECT_TRUE(RobotMasterTestAccess::BrakeReleasePending(master).load());
    protocol->SetErrorText("NoError");
    Cycles(2);
    EXPECT_TRUE(Live().DOut[5]);
    EXPECT_FALSE(RobotMasterTestAccess::BrakeReleasePending(master).load());
}

}  // namespace
