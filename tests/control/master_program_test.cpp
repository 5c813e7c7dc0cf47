// Program control: the start permission and its refusal lines, velocities around pause and
// start, the self-pause follow-up, the error callback and the load-and-start worker.

#include "master_command_fixture.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

using namespace ControlTest;

namespace {

// Puts the interpreter's run state where a test needs it without a program.
void SetRunState(IPO& ipo, IPO::RunState state) {
    IpoTestAccess::ReplayRunning(ipo).store(state == IPO::RUNSTATE_RUNNING);
    IpoTestAccess::CurrentPoint(ipo).store(state == IPO::RUNSTATE_STOPPED ? -1 : 0);
}

}  // namespace

TEST_F(MasterCommandTest, StartPermission) {
    struct Case {
        bool connected;
        bool mandatory;
        bool referenced;
        bool debug;
        const char* errorText;
        bool referenceAll;
        bool starts;
        const char* line;  // expected log line
    };
    const Case cases[] = {
        {false, true, false, false, "n/a", false, true, "Starting Program"},
        {true, false, false, false, "NoError", false, true, "Starting Program"},
        {true, true, true, false, "operation_enabled", false, true, "Starting Program"},
        {true, true, true, true, "homing", false, true, "Starting Program"},
        {true, true, false, false, "NoError", false, false,
         "Cannot start program, not referenced/enabled: cartAllowed=0, ready=1"},
        {true, false, false, false, "disabled", false, false, "ready: debugMode=0, errorState=disabled"},
        {true, true, false, false, "NoError", false, false, "cartAllowed: connected=1, referencing mandatory=1, referenced=0"},
        {false, false, false, false, "NoError", true, false, "Can not start program while referencing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        protocol->connected.store(c.connected);
        protocol->SetReferencing(c.mandatory, c.referenced);
        RobotMasterTestAccess::DebugMode(*master) = c.debug;
        RobotMasterTestAccess::ReferenceAllActive(*master).store(c.referenceAll);
        PublishErrorText(c.errorText);
        TestSupport::LogCapture log;
        master->StartProgram();
        EXPECT_TRUE(log.Contains(c.line));
        EXPECT_EQ(log.Contains("Starting Program"), c.starts);
        if (!c.starts && !c.referenceAll) {
            EXPECT_EQ(log.Count("Cannot start program, not referenced/enabled") +
                          log.Count("cartAllowed: connected=") + log.Count("ready: debugMode="),
                      3);
        }
    }
}

TEST_F(MasterCommandTest, VelocitiesRestoredOnlyFromPaused) {
    IPO& main = master->GetMainInterpreter();
    for (IPO::RunState state : {IPO::RUNSTATE_STOPPED, IPO::RUNSTATE_RUNNING, IPO::RUNSTATE_PAUSED}) {
        SCOPED_TRACE(state);
        RobotMasterTestAccess::Requests(*master).restoreProgramVelocities.store(false);
        SetRunState(main, state);
        master->StartProgram();
        EXPECT_EQ(RobotMasterTestAccess::Requests(*master).restoreProgramVelocities.load(), state == IPO::RUNSTATE_PAUSED);
    }
    SetRunState(main, IPO::RUNSTATE_STOPPED);
}

TEST_F(MasterCommandTest, PauseOfARunningProgramStoresThenResetsVelocities) {
    // Without the hold the commands leave requests; the loop applies them in the order
    // store, reset, set, restore.
    protocol->motorsEnabled.store(true);
    RobotMasterTestAccess::JointMaxVelocity(*master)[6] = 50.0;
    RobotMasterTestAccess::JointMaxVelocity(*master)[7] = 50.0;
    master->SetVelocities(20.0f, -80.0f, 5.0f);  // limited to the axis maximum
    ASSERT_TRUE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).velocities[0].load(), 20.0f);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).velocities[1].load(), -50.0f);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).velocities[2].load(), 0.0f);  // joint 8 has no maximum

    IPO& main = master->GetMainInterpreter();
    SetRunState(main, IPO::RUNSTATE_RUNNING);
    master->PauseProgram(IPO::STOP_USER);
    EXPECT_EQ(RobotMasterTestAccess::LastMainRunState(*master).load(), IPO::RUNSTATE_PAUSED);
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).storeProgramVelocities.load());
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).resetVelocities.load());
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());  // the reset outlives no older set

    SetRunState(main, IPO::RUNSTATE_PAUSED);
    master->StartProgram();  // no program: the interpreter refuses, the restore is asked for
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).restoreProgramVelocities.load());
    SetRunState(main, IPO::RUNSTATE_STOPPED);
}

TEST_F(MasterCommandTest, SetVelocitiesRefusedWhileRunningDisabledOrNotANumber) {
    RobotMasterTestAccess::JointMaxVelocity(*master)[6] = 50.0;
    master->SetVelocities(10.0f, 0.0f, 0.0f);  // motors disabled
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());
    protocol->motorsEnabled.store(true);
    SetRunState(master->GetMainInterpreter(), IPO::RUNSTATE_RUNNING);
    master->SetVelocities(10.0f, 0.0f, 0.0f);
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());
    SetRunState(master->GetMainInterpreter(), IPO::RUNSTATE_STOPPED);
    master->SetVelocities(std::nanf(""), 0.0f, 0.0f);
    EXPECT_FALSE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());
    master->SetVelocities(10.0f, 0.0f, 0.0f);
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).velocitiesPending.load());
}

TEST_F(MasterCommandTest, SelfPauseIsHandledLikeAPauseFromOutside) {
    IPO& main = master->GetMainInterpreter();
    SetRunState(main, IPO::RUNSTATE_RUNNING);
    master->CheckRunStateChanged();
    EXPECT_EQ(RobotMasterTestAccess::LastMainRunState(*master).load(), IPO::RUNSTATE_RUNNING);
    RobotMasterTestAccess::Requests(*master).resetVelocities.store(false);
    SetRunState(main, IPO::RUNSTATE_PAUSED);
    master->CheckRunStateChanged();
    EXPECT_EQ(RobotMasterTestAccess::LastMainRunState(*master).load(), IPO::RUNSTATE_PAUSED);
    EXPECT_TRUE(RobotMasterTestAccess::Requests(*master).resetVelocities.load());  // PauseProgram ran
    SetRunState(main, IPO::RUNSTATE_STOPPED);
}

TEST_F(MasterCommandTest, IpoErrorResetsOutputsOnlyWhenAsked) {
    master->SetDOutTargetStateOnError(3, DOutTrue);
    master->SetDOutTargetStateOnError(4, DOutFalse);
    master->IPOError(&master->GetMainInterpreter(), false);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[3].load(), LoopRequests::kNone);

    TestSupport::LogCapture log;
    master->IPOError(&master->GetMainInterpreter(), true);
    EXPECT_TRUE(log.Contains("RobotMaster: Resetting DOuts on error (IPOError)"));
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[3].load(), LoopRequests::kOn);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[4].load(), LoopRequests::kOff);
}

TEST_F(MasterCommandTest, LoadAndStartReportsAFileThatDoesNotLoadAndTheLatestRequestWins) {
    TestSupport::LogCapture log;
    for (int i = 0; i < 20; ++i) {
        master->LoadProgramAndStartAsync("missing" + std::to_string(i) + ".xml", IPO::STOP_PLC);
    }
    EXPECT_TRUE(WaitFor([&] { return log.Contains("RobotMaster: Could not load program 'missing19.xml'"); }));
    // Requests replaced before their turn never load.
    EXPECT_LE(log.Count("RobotMaster: Could not load program"), 20);
    master->StopMainLoop();  // joins the worker
    master->LoadProgramAndStartAsync("again.xml", IPO::STOP_PLC);  // a new worker after the stop
    EXPECT_TRUE(WaitFor([&] { return log.Contains("RobotMaster: Could not load program 'again.xml'"); }));
}

TEST_F(MasterCommandTest, Em67StartActivatesThenStartsWithoutEndingItself) {
    master->SetMotionMode(MOTION_ROBOT_CART_BASE);
    master->StartStopEM67FSM();  // no Auto input
    EXPECT_FALSE(RobotMasterTestAccess::StateMachineActive(*master).load());

    {
        std::lock_guard<std::mutex> lock(RobotMasterTestAccess::PublishMutex(*master));
        RobotMasterTestAccess::PublishedState(*master).DIn[TalvoStateMachine::StateMachineSGM::kInputAuto] = true;
    }
    TestSupport::LogCapture log;
    master->StartStopEM67FSM();
    EXPECT_TRUE(RobotMasterTestAccess::StateMachineActive(*master).load());
    EXPECT_EQ(master->GetMotionMode(), MOTION_FSM);
    EXPECT_EQ(RobotMasterTestAccess::SavedMotionType(*master).load(), MOTION_ROBOT_CART_BASE);
    EXPECT_EQ(master->GetMainInterpreter().GetReplayMode(), IPO::REPLAY_SINGLE);
    EXPECT_TRUE(log.Contains("FSM EM67 initialized."));
    EXPECT_EQ(log.Count("FSM running in state  0"), 1);
    EXPECT_EQ(master->GetStateMachine().GetState(), TalvoStateMachine::StateMachineSGM::StateStart);
    EXPECT_EQ(RobotMasterTestAccess::Requests(*master).dout[32].load(), LoopRequests::kOff);

    // The start stops an idle move-to interpreter no more, so the machine stays active;
    // a program start does the same.
    master->StartStopEM67FSM();
    master->StartProgram();
    EXPECT_TRUE(RobotMasterTestAccess::StateMachineActive(*master).load());

    // A busy move-to interpreter is stopped, and with it the state machine.
    IpoTestAccess::CurrentPoint(master->GetMoveToInterpreter()).store(0);
    master->StartProgram();
    EXPECT_FALSE(RobotMasterTestAccess::StateMachineActive(*master).load());
    EXPECT_EQ(master->GetMotionMode(), MOTION_ROBOT_CART_BASE);
}

// A program a client names: the checks come before anything is stopped or deleted, each
// refusal is one line, and the asynchronous form loads the same way on the worker.
TEST_F(MasterCommandTest, ProgramLoadsByNameCheckTheNameBeforeTheyStopAnything) {
    namespace fs = std::filesystem;
    const std::string programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    for (const char* name : {"keep.xml", "next.xml", "logic.xml", "sub/inner.xml"}) WriteWaitProgram(programs + name);
    IPO& main = master->GetMainInterpreter();
    IPO& logic = master->GetLogicInterpreter();
    InitPathGenerators();
    auto loaded = [](IPO& ipo, const std::string& name) {
        return WaitFor([&] { return !ipo.IsLoading() && ipo.IsProgramLoaded() && ipo.GetLoadedProgramName() == name; });
    };
    ASSERT_EQ(master->LoadProgramByName("keep.xml"), RobotMaster::NamedLoad::Loading);
    ASSERT_TRUE(loaded(main, "keep.xml"));
    ASSERT_EQ(master->LoadLogicProgramByName("logic.xml"), RobotMaster::NamedLoad::Loading);
    ASSERT_TRUE(loaded(logic, "logic.xml"));
    EXPECT_EQ(logic.GetName(), "LogicIPO");
    EXPECT_EQ(logic.GetReplayMode(), IPO::REPLAY_REPEAT);

    using Load = RobotMaster::NamedLoad;
    struct Case {
        bool logic;
        const char* name;
        Load result;
        const char* line;  // the one line logged
    };
    const Case cases[] = {
        {false, "", Load::Refused, "RobotMaster: Program name empty, nothing loaded"},
        {false, "../x.xml", Load::Refused, "RobotMaster: Program name ../x.xml not allowed, nothing loaded"},
        {false, "/etc/x.xml", Load::Refused, "RobotMaster: Program name /etc/x.xml not allowed, nothing loaded"},
        {false, "a b.xml", Load::Refused, "RobotMaster: Program name a b.xml not allowed, nothing loaded"},
        {false, "missing.xml", Load::NotLoaded, "RobotMaster: Program missing.xml not found, nothing loaded"},
        {false, "sub", Load::NotLoaded, "RobotMaster: Program sub not found, nothing loaded"},
        {true, "../x.xml", Load::Refused, "RobotMaster: Logic program name ../x.xml not allowed, nothing loaded"},
        {true, "missing.xml", Load::NotLoaded, "RobotMaster: Logic program missing.xml not found, nothing loaded"},
        {true, "sub/", Load::NotLoaded, "RobotMaster: Logic program sub/ not found, nothing loaded"},
    };
    for (const Case& c : cases) {
        for (bool async : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (c.logic ? " logic" : " main") + (async ? " requested" : ""));
            TestSupport::LogCapture log;
            const Load result = async ? master->RequestLoadByName(c.logic, c.name)
                                      : (c.logic ? master->LoadLogicProgramByName(c.name) : master->LoadProgramByName(c.name));
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(log.Lines().size(), 1u) << log.Joined();
            EXPECT_TRUE(log.Contains(c.line)) << log.Joined();
            EXPECT_EQ(main.GetLoadedProgramName(), "keep.xml");
            EXPECT_EQ(logic.GetLoadedProgramName(), "logic.xml");
            EXPECT_EQ(logic.GetRunState(), IPO::RUNSTATE_RUNNING);
        }
    }

    // A folder moves the browser only; an unknown one is refused.
    EXPECT_EQ(master->LoadProgramByName("sub/"), Load::Folder);
    EXPECT_EQ(main.GetBrowserDirectory(), "sub/");
    EXPECT_EQ(master->RequestLoadByName(false, "nowhere/"), Load::Refused);
    EXPECT_EQ(main.GetLoadedProgramName(), "keep.xml");

    // The requested loads replace what is loaded, the logic program running again.
    EXPECT_EQ(master->RequestLoadByName(false, "next.xml"), Load::Loading);
    EXPECT_TRUE(loaded(main, "next.xml"));
    EXPECT_EQ(master->RequestLoadByName(true, "sub/inner.xml"), Load::Loading);
    EXPECT_TRUE(loaded(logic, "sub/inner.xml"));
    EXPECT_TRUE(WaitFor([&] { return logic.GetRunState() == IPO::RUNSTATE_RUNNING; }));
    logic.Stop(IPO::STOP_USER, "");
    std::error_code ec;
    fs::remove_all(programs, ec);
}
