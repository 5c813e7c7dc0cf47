// The events an interpreter reports through its result callback, the program counter with
// its replay modes, run control and the error handlers of the cycle.

#include "IpoRunSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using IpoTest::Cmd;
using IpoTest::Event;
using IpoTest::ScriptedCommand;

std::string Describe(const std::vector<Event>& events) {
    std::string out;
    for (const Event& e : events) {
        out += "{" + std::to_string(e.type) + ", " + std::to_string(e.point) + ", " + std::to_string(e.program) +
               ", \"" + e.text + "\"} ";
    }
    return out;
}

void ExpectEvents(const std::vector<Event>& expected) {
    const std::vector<Event> got = IpoTest::EventLog::Take();
    ASSERT_EQ(got.size(), expected.size()) << Describe(got);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, expected[i].type) << i << ": " << Describe(got);
        EXPECT_EQ(got[i].point, expected[i].point) << i << ": " << Describe(got);
        EXPECT_EQ(got[i].program, expected[i].program) << i << ": " << Describe(got);
        EXPECT_EQ(got[i].text, expected[i].text) << i << ": " << Describe(got);
    }
}

// Records the error callback.
struct ErrorCalls {
    static void Record(void* context, IPO*, bool stopped) {
        static_cast<ErrorCalls*>(context)->calls.push_back(stopped);
    }
    std::vector<bool> calls;
};

class RunControl : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        ipo = Make(IPO::IPO_MAIN);
        IpoTest::EventLog::Take();
    }
    void TearDown() override { IpoTest::EventLog::Take(); }

    std::unique_ptr<IPO> Make(IPO::IpoType type) {
        auto made = IpoTest::MakeIpo(&mem.memory, type);
        made->SetResultCallback(&IpoTest::EventLog::Record);
        made->SetErrorCallback(&ErrorCalls::Record, &errors);
        return made;
    }

    // Steps until the interpreter stops running, at most cycles times.
    void Run(IPO& target, int cycles = 100) {
        for (int i = 0; i < cycles && target.IsReplayRunning(); ++i) loop.Step(target);
    }

    IpoTest::Memory mem;
    ErrorCalls errors;
    std::unique_ptr<IPO> ipo;
    IpoTest::StandInLoop loop{std::make_unique<IpoTest::TestKinematic>()};
};

// Non-combinable logic commands: one per cycle, so each new point is seen.
std::vector<std::shared_ptr<Command>> Steps(int count) {
    std::vector<std::shared_ptr<Command>> list;
    for (int i = 0; i < count; ++i) list.push_back(Cmd(CMD_LOGIC, false));
    return list;
}

TEST_F(RunControl, StartEachPointAndTheEndInSingleModeAreReported) {
    IpoTest::Install(*ipo, {Steps(3)});
    ipo->SetReplayMode(IPO::REPLAY_SINGLE);
    ipo->Start();
    Run(*ipo);
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
    ExpectEvents({{HVP_EVENT_ACK, 0, 0, ""},
                  {HVP_EVENT_ACK, 1, 0, ""},
                  {HVP_EVENT_ACK, 2, 0, ""},
                  {HVP_EVENT_END, -1, 0, "PLAN"}});
}

TEST_F(RunControl, PauseReportsItsReasonAndResumeAcknowledgesThePoint) {
    struct Case {
        IPO::StopReason reason;
        const char* text;
    };
    const Case cases[] = {{IPO::STOP_USER, "USER"},   {IPO::STOP_PLC, "PLC"},   {IPO::STOP_PROGRAM, "PROGRAM"},
                          {IPO::STOP_REPLAY_STEP, ""}, {IPO::STOP_SHUTDOWN, ""}, {IPO::STOP_REFERENCING, "ERROR"},
                          {IPO::STOP_ERROR, "ERROR"},  {IPO::STOP_FSM_ERROR, "ERROR"}};
    IpoTest::Install(*ipo, {Steps(3)});
    ipo->Start();
    loop.Step(*ipo);
    IpoTest::EventLog::Take();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ipo->Pause(c.reason);
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_PAUSED);
        EXPECT_EQ(ipo->GetLastStopReason(), c.reason);
        ipo->Start();
        ExpectEvents({{HVP_EVENT_PAUSE, 1, 0, c.text}, {HVP_EVENT_ACK, 1, 0, ""}});
    }
}

TEST_F(RunControl, StopReportsEndOrErrorWithTheReasonNameOrTheText) {
    struct Case {
        IPO::StopReason reason;
        const char* text;
        HVPEventType event;
        const char* expected;
    };
    const Case cases[] = {
        {IPO::STOP_USER, "", HVP_EVENT_END, "USER"},
        {IPO::STOP_PLC, "", HVP_EVENT_END, "PLC"},
        {IPO::STOP_PROGRAM, "", HVP_EVENT_END, "PROGRAM"},
        {IPO::STOP_REPLAY_STEP, "", HVP_EVENT_END, "REPLAY_STEP"},
        {IPO::STOP_SHUTDOWN, "", HVP_EVENT_END, "SHUTDOWN"},
        {IPO::STOP_REFERENCING, "", HVP_EVENT_END, "REFERENCING"},
        {IPO::STOP_PATHGEN_ERROR, "", HVP_EVENT_ERROR, "PATHGEN_ERROR"},
        {IPO::STOP_ERROR, "Kinematic error: 22", HVP_EVENT_ERROR, "Kinematic error: 22"},
        {IPO::STOP_USER, "by the panel", HVP_EVENT_END, "by the panel"},
    };
    IpoTest::Install(*ipo, {Steps(3)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        ipo->Start();
        loop.Step(*ipo);
        IpoTest::EventLog::Take();
        ipo->Stop(c.reason, c.text);
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
        EXPECT_EQ(ipo->GetActiveProgram(), 0);
        ExpectEvents({{c.event, 1, 0, c.expected}});
    }
}

TEST_F(RunControl, AStoppedInterpreterSendsNothingButTellsTheStateMachine) {
    struct StateMachine : ProgramStopInterface {
        void Stop() override { ++stops; }
        int stops = 0;
    } machine;
    ipo->SetStateMachine(&machine);
    IpoTest::Install(*ipo, {Steps(2)});
    ipo->Stop(IPO::STOP_USER, "");
    ipo->Pause(IPO::STOP_USER);
    ipo->ErrorState(IPO::STOP_ERROR, true, "x");
    loop.Step(*ipo);
    ExpectEvents({});
    EXPECT_EQ(machine.stops, 2) << "Stop and the ErrorState's stop";
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
}

TEST_F(RunControl, EndOfProgramPerInterpreterAndReplayMode) {
    struct Case {
        IPO::IpoType type;
        IPO::ReplayMode mode;
        bool endReported;
        IPO::RunState after;
    };
    const Case cases[] = {
        {IPO::IPO_MAIN, IPO::REPLAY_SINGLE, true, IPO::RUNSTATE_STOPPED},
        {IPO::IPO_MOVETO, IPO::REPLAY_SINGLE, true, IPO::RUNSTATE_STOPPED},
        {IPO::IPO_LOGIC, IPO::REPLAY_SINGLE, false, IPO::RUNSTATE_STOPPED},
        {IPO::IPO_MAIN, IPO::REPLAY_REPEAT, false, IPO::RUNSTATE_RUNNING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.mode));
        auto target = Make(c.type);
        IpoTest::Install(*target, {{Cmd()}});
        target->SetReplayMode(c.mode);
        target->Start();
        loop.Step(*target);
        EXPECT_EQ(target->GetRunState(), c.after);
        std::vector<Event> got = IpoTest::EventLog::Take();
        const bool ended = !got.empty() && got.back().type == HVP_EVENT_END && got.back().text == "PLAN";
        EXPECT_EQ(ended, c.endReported) << Describe(got);
        if (c.type == IPO::IPO_LOGIC) {
            EXPECT_TRUE(got.empty()) << Describe(got);
        }
    }
}

TEST_F(RunControl, ALogicCommandErrorIsReportedThenStopsOrPauses) {
    struct Case {
        ScriptedCommand::Fault fault;
        bool stopOnError;
        std::vector<Event> expected;
    };
    const Case cases[] = {
        {ScriptedCommand::Fault::Exception, true, {{HVP_EVENT_ERROR, 1, 0, "IPO ERROR: x"}, {HVP_EVENT_ERROR, 1, 0, "x"}}},
        {ScriptedCommand::Fault::Int, true,
         {{HVP_EVENT_ERROR, 1, 0, "IPO ERROR: Out of Reach"}, {HVP_EVENT_ERROR, 1, 0, "Out of Reach"}}},
        {ScriptedCommand::Fault::Exception, false, {{HVP_EVENT_ERROR, 1, 0, "IPO ERROR: x"}, {HVP_EVENT_PAUSE, 1, 0, "ERROR"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.front().text + (c.stopOnError ? " stop" : " pause"));
        auto failing = Cmd(CMD_LOGIC, false);
        failing->fault = c.fault;
        failing->code = 22;
        IpoTest::Install(*ipo, {{Cmd(CMD_LOGIC, false), failing, Cmd()}});
        ipo->SetStopOnError(c.stopOnError);
        errors.calls.clear();
        ipo->Start();
        loop.Step(*ipo);
        IpoTest::EventLog::Take();
        loop.Step(*ipo);
        ExpectEvents(c.expected);
        EXPECT_FALSE(ipo->IsReplayRunning());
        ASSERT_EQ(errors.calls.size(), 1u);
        EXPECT_EQ(errors.calls[0], c.stopOnError);
        EXPECT_EQ(ipo->GetLastStopReason(), IPO::STOP_PATHGEN_ERROR2);
        ipo->Stop(IPO::STOP_USER, "");
        IpoTest::EventLog::Take();
    }
}

TEST_F(RunControl, AMotionCommandErrorNamesTheCommandAndTheCode) {
    const std::vector<std::pair<int, std::string>> cases = {
        {22, "Out of Reach"},
        {30, "Kinematic error: Virtual box violated in X+"},
        {35, "Kinematic error: Virtual box violated in Z-"},
        {77, "unknown error 77"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ipo = Make(IPO::IPO_MAIN);
        auto motion = Cmd(CMD_JOINT);
        motion->fault = ScriptedCommand::Fault::Int;
        motion->code = c.first;
        // Only the cycle's call: a planner meeting the code refuses the plan with its own event.
        motion->plannerFault = false;
        IpoTest::Install(*ipo, {{Cmd(CMD_LOGIC, false), Cmd(CMD_LOGIC, false), Cmd(CMD_LOGIC, false), motion}});
        ipo->Start();
        for (int i = 0; i < 3; ++i) loop.Step(*ipo);
        IpoTest::EventLog::Take();
        loop.Step(*ipo);
        ExpectEvents({{HVP_EVENT_ERROR, 3, 0, "PathGen Error in command 3: " + c.second},
                      {HVP_EVENT_ERROR, 3, 0, c.second}});
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
    }
}

TEST_F(RunControl, APlannerFaultIsReportedOnceAfterThePlannersOwnEvent) {
    // The joint-space planner lets the command interpolate itself; it throws there.
    struct FailsWhenPlanned : ScriptedCommand {
        FailsWhenPlanned() : ScriptedCommand(CMD_JOINT) {}
        int Interpolate(int, float, DataTypes::RobotState*) override { throw std::runtime_error("no way"); }
        int InterpolateLogic(int, float, DataTypes::RobotState*) override { return -1; }
    };
    IpoTest::Install(*ipo, {{std::make_shared<FailsWhenPlanned>()}});
    ipo->Start();
    IpoTest::EventLog::Take();
    ASSERT_TRUE(loop.RunToEnd(*ipo, 10, 20000));
    const std::vector<Event> got = IpoTest::EventLog::Take();
    ASSERT_EQ(got.size(), 2u) << Describe(got);
    EXPECT_EQ(got[0].type, HVP_EVENT_ERROR);
    EXPECT_NE(got[0].text.find("no way"), std::string::npos) << got[0].text;
    EXPECT_EQ(got[1].type, HVP_EVENT_ERROR);
    EXPECT_EQ(got[1].text, "PATHGEN_ERROR");
    EXPECT_EQ(ipo->GetPathGenerator()->GetResult(), 0);
}

// --- Stop command, sub-programs and replay modes ---

class StopCommandRun : public RunControl {
protected:
    std::shared_ptr<Command> StopCommand() {
        auto stop = std::make_shared<CommandStop>();
        stop->interpreter = ipo.get();
        return stop;
    }
};

TEST_F(StopCommandRun, TheProgramStopsWhereTheStopStandsAndStartsAgainFromTheTop) {
    struct Case {
        const char* name;
        IPO::ReplayMode mode;
        bool inSub;
    };
    const Case cases[] = {{"main program", IPO::REPLAY_SINGLE, false},
                          {"sub-program", IPO::REPLAY_SINGLE, true},
                          {"last command in Repeat", IPO::REPLAY_REPEAT, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto after = Cmd();
        if (c.inSub) {
            auto call = Cmd();
            call->result = -11;
            IpoTest::Install(*ipo, {{Cmd(), call, after}, {Cmd(), StopCommand(), Cmd()}});
        } else if (c.mode == IPO::REPLAY_REPEAT) {
            IpoTest::Install(*ipo, {{Cmd(), Cmd(), StopCommand()}});
        } else {
            IpoTest::Install(*ipo, {{Cmd(), StopCommand(), after}});
        }
        ipo->SetReplayMode(c.mode);
        ipo->Start();
        Run(*ipo);
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
        EXPECT_EQ(ipo->GetCurrentPoint(), -1);
        EXPECT_EQ(ipo->GetActiveProgram(), 0);
        EXPECT_EQ(after->calls, 0);
        const std::vector<Event> got = IpoTest::EventLog::Take();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().type, HVP_EVENT_END);
        EXPECT_EQ(got.back().text, "PROGRAM") << Describe(got);
        // A new start runs from the first command of the main program.
        ipo->Start();
        EXPECT_EQ(ipo->GetCurrentPoint(), 0);
        EXPECT_EQ(ipo->GetActiveProgram(), 0);
        ipo->Stop(IPO::STOP_USER, "");
        IpoTest::EventLog::Take();
    }
}

TEST_F(RunControl, ALogicProgramPausesAndStopsTheMainProgram) {
    auto logic = Make(IPO::IPO_LOGIC);
    logic->SetMainInterpreter(ipo.get());
    IpoTest::Install(*ipo, {Steps(5)});
    auto pause = std::make_shared<CommandPause>();
    pause->interpreter = ipo.get();
    auto stop = std::make_shared<CommandStop>();
    stop->interpreter = ipo.get();
    IpoTest::Install(*logic, {{pause, Cmd(), stop, Cmd(CMD_LOGIC, false)}});
    ipo->Start();
    logic->Start();
    loop.Step(*ipo);
    loop.Step(*logic);
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_PAUSED);
    EXPECT_TRUE(logic->IsReplayRunning());
    ipo->Start();
    loop.Step(*logic);
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
    EXPECT_TRUE(logic->IsReplayRunning()) << "the logic program goes on after the Stop";
    EXPECT_EQ(logic->GetCurrentPoint(), 3);
    const std::vector<Event> got = IpoTest::EventLog::Take();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.back().text, "PROGRAM");
    EXPECT_EQ(got.back().type, HVP_EVENT_END);
}

TEST_F(RunControl, ALogicProgramIntegerErrorStopsTheLogicProgramOnly) {
    auto logic = Make(IPO::IPO_LOGIC);
    auto failing = Cmd();
    failing->fault = ScriptedCommand::Fault::Int;
    failing->code = 61;
    IpoTest::Install(*logic, {{Cmd(), failing, Cmd()}});
    IpoTest::Install(*ipo, {Steps(3)});
    ipo->Start();
    logic->Start();
    IpoTest::EventLog::Take();
    loop.Step(*logic);
    EXPECT_EQ(logic->GetRunState(), IPO::RUNSTATE_STOPPED);
    EXPECT_TRUE(ipo->IsReplayRunning());
    ExpectEvents({{HVP_EVENT_ERROR, 1, 0, "Variable not found"}, {HVP_EVENT_ERROR, 1, 0, "Variable not found"}});
}

TEST_F(RunControl, CombinableLogicRunsUpToTenCommandsInOneCycle) {
    std::vector<std::shared_ptr<Command>> list;
    for (int i = 0; i < 25; ++i) list.push_back(Cmd());
    IpoTest::Install(*ipo, {list});
    ipo->Start();
    loop.Step(*ipo);
    EXPECT_EQ(ipo->GetCurrentPoint(), 10);
    loop.Step(*ipo);
    EXPECT_EQ(ipo->GetCurrentPoint(), 20);
}

TEST_F(RunControl, StepModePausesAfterEachCommandWithAnEmptyText) {
    IpoTest::Install(*ipo, {{Cmd(), Cmd(), Cmd()}});
    ipo->SetReplayMode(IPO::REPLAY_STEP);
    ipo->Start();
    IpoTest::EventLog::Take();
    for (int point = 1; point <= 2; ++point) {
        loop.Step(*ipo);
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_PAUSED);
        ExpectEvents({{HVP_EVENT_PAUSE, point, 0, ""}, {HVP_EVENT_ACK, point, 0, ""}});
        loop.Step(*ipo);
        EXPECT_EQ(ipo->GetCurrentPoint(), point) << "a paused program does nothing";
        ipo->Start();
        IpoTest::EventLog::Take();
    }
}

TEST_F(RunControl, AResultOfMinus15SwitchesToProgram5AndReturnsBehindTheCall) {
    auto call = Cmd(CMD_LOGIC, false);
    call->result = -15;
    std::vector<std::vector<std::shared_ptr<Command>>> lists{{Cmd(CMD_LOGIC, false), call, Cmd(CMD_LOGIC, false)}};
    for (int p = 1; p <= 5; ++p) lists.push_back({Cmd(CMD_LOGIC, false)});
    IpoTest::Install(*ipo, lists);
    ipo->SetReplayMode(IPO::REPLAY_SINGLE);
    ipo->Start();
    loop.Step(*ipo);
    loop.Step(*ipo);
    EXPECT_EQ(ipo->GetActiveProgram(), 5);
    EXPECT_EQ(ipo->GetCurrentPoint(), 0);
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        EXPECT_EQ(IpoTestAccess::Programs(*ipo)[5].callerProgramIndex, 0);
        EXPECT_EQ(IpoTestAccess::Programs(*ipo)[5].returnCommandIndex, 2);
    }
    loop.Step(*ipo);
    EXPECT_EQ(ipo->GetActiveProgram(), 0);
    EXPECT_EQ(ipo->GetCurrentPoint(), 2);
    Run(*ipo);
    ExpectEvents({{HVP_EVENT_ACK, 0, 0, ""},
                  {HVP_EVENT_ACK, 1, 0, ""},
                  {HVP_EVENT_ACK, 0, 5, ""},
                  {HVP_EVENT_ACK, 2, 0, ""},
                  {HVP_EVENT_END, -1, 0, "PLAN"}});
}

// A clock the test moves by hand.
std::chrono::steady_clock::time_point fakeNow{};
std::chrono::steady_clock::time_point FakeClock() { return fakeNow; }

TEST_F(RunControl, ARepeatPassOf120msWaits380msBeforeTheNextPass) {
    IpoTestAccess::TimeSource(*ipo) = &FakeClock;
    auto first = Cmd(CMD_LOGIC, false);
    IpoTest::Install(*ipo, {{first, Cmd(CMD_LOGIC, false)}});
    ipo->Start();
    loop.Step(*ipo);
    fakeNow += std::chrono::milliseconds(120);
    loop.Step(*ipo);  // the end of the pass
    EXPECT_EQ(ipo->GetCurrentPoint(), 0);
    EXPECT_EQ(ipo->GetLastProgramDuration(), std::chrono::milliseconds(120));
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        EXPECT_EQ(IpoTestAccess::RestartWaitMs(*ipo), 380);
    }
    const int callsBefore = first->calls;
    for (int i = 0; i < 38; ++i) loop.Step(*ipo);
    EXPECT_EQ(first->calls, callsBefore) << "nothing runs during the wait";
    loop.Step(*ipo);
    EXPECT_EQ(first->calls, callsBefore + 1);
}

TEST_F(RunControl, AVelocityLimitCapsTheOverride) {
    struct Case {
        double limit;
        float overridePercent;
        long expectedPathTimeUs;
    };
    // 100 mm/s Cartesian maximum (MakeIpo sets 250; set here), 10 ms cycles.
    const Case cases[] = {{50.0, 100.0f, 5000}, {50.0, 30.0f, 3000}, {-1.0, 100.0f, 10000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        IpoTestAccess::CartesianMaxVelocity(*ipo) = 100.0;
        ipo->SetVelocityLimit(c.limit);
        IpoTest::Install(*ipo, {{Cmd(CMD_JOINT)}});
        ipo->Start();
        // Plan, then one sampled cycle.
        ASSERT_TRUE(loop.RunUntil(*ipo, [&] {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
            return IpoTestAccess::PreparedPoint(*ipo) == 0 && ipo->GetPathGenerator()->IsPathAvailable();
        }));
        long before;
        {
            std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
            before = IpoTestAccess::PathTime(*ipo);
        }
        ipo->GetNextPosition(10, c.overridePercent, &loop.state);
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        EXPECT_EQ(IpoTestAccess::PathTime(*ipo) - before, c.expectedPathTimeUs);
    }
    ipo->Stop(IPO::STOP_USER, "");
}

// --- Start-at ---

TEST_F(RunControl, StartAtCases) {
    IpoTest::WriteProgram("startat_a.xml",
                          "<Program><Comment Nr=\"1\" Descr=\"a\"/><Comment Nr=\"2\" Descr=\"b\"/>"
                          "<Wait Nr=\"3\" Type=\"Time\" Seconds=\"1\"/></Program>");
    IpoTest::WriteProgram("startat_b.xml",
                          "<Program><Wait Nr=\"1\" Type=\"Time\" Seconds=\"1\"/><Wait Nr=\"2\" Type=\"Time\" "
                          "Seconds=\"1\"/></Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("startat_a.xml", true), 0);

    // A bad index only logs.
    ipo->StartAt("startat_a.xml", 7);
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);

    // A loaded program pauses at the index; a running one refuses.
    ipo->StartAt("startat_a.xml", 2);
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_PAUSED);
    EXPECT_EQ(ipo->GetCurrentPoint(), 2);
    ipo->Start();
    try {
        ipo->StartAt("startat_a.xml", 1);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "program is running");
    }

    // A program that is not loaded replaces the old one and pauses at the index.
    ipo->Pause(IPO::STOP_USER);
    ipo->StartAt("startat_b.xml", 1);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return ipo->GetRunState() == IPO::RUNSTATE_PAUSED && !ipo->IsLoading(); }));
    ASSERT_TRUE(IpoTest::WaitFor([&] { return ipo->GetCurrentPoint() == 1 && IpoTestAccess::StartAtThreads(*ipo).load() == 0; }));
    EXPECT_EQ(ipo->GetLoadedProgramName(), "startat_b.xml");
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        ASSERT_EQ(IpoTestAccess::Programs(*ipo).size(), 1u);
        EXPECT_EQ(IpoTestAccess::Programs(*ipo)[0].name, "startat_b.xml");
    }
    EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_PAUSED);
}

TEST_F(RunControl, RestartCommandPlansThePausedMotionAgain) {
    IpoTest::Install(*ipo, {{Cmd(CMD_JOINT)}});
    ipo->Start();
    ASSERT_TRUE(loop.RunUntil(*ipo, [&] { return ipo->GetPathGenerator()->IsPathAvailable(); }));
    ipo->Pause(IPO::STOP_USER);
    ipo->RestartCommand();
    EXPECT_FALSE(ipo->GetPathGenerator()->IsPathAvailable());
    ipo->Start();
    ASSERT_TRUE(loop.RunUntil(*ipo, [&] { return ipo->GetPathGenerator()->IsPathAvailable(); }));
    ipo->Stop(IPO::STOP_USER, "");
}

// Whether another thread finds the mutex free (the caller may hold it, so it cannot ask).
bool FreeForOtherThreads(std::mutex& mutex) {
    bool free = false;
    std::thread([&] {
        if (mutex.try_lock()) {
            free = true;
            mutex.unlock();
        }
    }).join();
    return free;
}

// Commands write variables inside the cycle, under the interpreter's lock: their change
// callbacks run only after it is released, in the order of the changes. A change made
// without an interpreter lock still reaches the callback before the setter returns.
TEST_F(RunControl, VariableChangeCallbacksNeverRunUnderTheInterpreterLockConcurrent) {
    const char* add = R"(Function="ADD" FirstOperand="count" SecondOperand="1")";
    IpoTest::WriteProgram("changes.xml", std::string("<Program><MathOperator Nr=\"1\" ") + add + "/>" +
                                             R"(<Store Nr="2" Type="number" Name="count" Value="7"/>)" +
                                             "<MathOperator Nr=\"3\" " + add + "/></Program>");
    for (IPO::IpoType type : {IPO::IPO_MAIN, IPO::IPO_LOGIC}) {
        SCOPED_TRACE(type);
        std::unique_ptr<IPO> interpreter = Make(type);
        interpreter->SetReplayMode(IPO::REPLAY_SINGLE);
        ASSERT_EQ(interpreter->LoadProgramSynchronous("changes.xml", true), 0);
        mem.memory.SetVariableSingle("count", 0.0, true);
        std::vector<double> counts;
        int underLock = 0;
        mem.memory.changeCallback = [&](const Programs::MemoryPosition& variable) {
            if (!FreeForOtherThreads(IpoTestAccess::ProgramMutex(*interpreter))) ++underLock;
            if (variable.name == "count") counts.push_back(variable.value);
        };
        mem.memory.SetVariableSingle("count", 0.5, false);
        ASSERT_EQ(counts, std::vector<double>{0.5}) << "run at once outside an interpreter";
        counts.clear();

        interpreter->Start();
        for (int i = 0; i < 20 && interpreter->IsReplayRunning() && interpreter->GetCurrentPoint() >= 0; ++i) {
            loop.Step(*interpreter);
        }
        interpreter->Stop(IPO::STOP_USER, "");
        mem.memory.changeCallback = nullptr;
        EXPECT_EQ(underLock, 0);
        EXPECT_EQ(counts, (std::vector<double>{1.5, 7.0, 8.0}));
        EXPECT_DOUBLE_EQ(mem.memory.GetVariable("count").value, 8.0);
        IpoTest::EventLog::Take();
    }
}


// --- Start on a cycle thread while the last run's plan is still computing ---

// A motion the joint-space planner interpolates; the planner blocks inside it until the
// test opens the gate. Records whether it was re-armed while a plan was using it.
struct GatedMotion : ScriptedCommand {
    GatedMotion() : ScriptedCommand(CMD_JOINT) {}
    int Interpolate(int, float, DataTypes::RobotState*) override {
        inPlanner.store(true);
        while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        inPlanner.store(false);
        return nextSuccessor;
    }
    int InterpolateLogic(int, float, DataTypes::RobotState*) override { return -1; }
    void Init() override {
        Command::Init();
        if (inPlanner.load()) initUnderPlan.store(true);
        inits.fetch_add(1);
    }
    std::atomic<bool> open{false};
    std::atomic<bool> inPlanner{false};
    std::atomic<bool> initUnderPlan{false};
    std::atomic<int> inits{0};
};

// Marks the test thread as a cycle thread for the test's lifetime.
struct CycleThreadMark {
    CycleThreadMark() { IPO::SetNoStopWaitOnThisThread(true); }
    ~CycleThreadMark() { IPO::SetNoStopWaitOnThisThread(false); }
};

TEST_F(RunControl, AStartOnACycleThreadNeverWaitsAndRearmsOnceTheOldPlanEndedConcurrent) {
    auto motion = std::make_shared<GatedMotion>();
    IpoTest::Install(*ipo, {{motion}});
    ipo->SetReplayMode(IPO::REPLAY_SINGLE);
    ipo->Start();
    loop.Step(*ipo);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return motion->inPlanner.load(); }));

    CycleThreadMark mark;
    const long long sleeps = IPO::RunControlSleepsOnThisThread();
    ipo->Stop(IPO::STOP_USER, "");
    const int inits = motion->inits.load();
    ipo->Start();
    EXPECT_EQ(IPO::RunControlSleepsOnThisThread(), sleeps);
    EXPECT_TRUE(ipo->IsReplayRunning());
    EXPECT_EQ(motion->inits.load(), inits);  // not re-armed under the running plan

    // While the old plan runs, the cycle holds the set-points and plans nothing.
    float before[9];
    std::copy(loop.state.jointSet, loop.state.jointSet + 9, before);
    for (int i = 0; i < 5; ++i) loop.Step(*ipo);
    EXPECT_EQ(motion->inits.load(), inits);
    EXPECT_TRUE(ipo->GetPathGenerator()->IsThreadRunning());
    for (int j = 0; j < 9; ++j) EXPECT_EQ(loop.state.jointSet[j], before[j]) << j;
    EXPECT_EQ(ipo->GetMissedCycles(), 0);

    IpoTest::EventLog::Take();
    motion->open.store(true);
    ASSERT_TRUE(loop.RunToEnd(*ipo, 10, 20000));
    EXPECT_EQ(IPO::RunControlSleepsOnThisThread(), sleeps);
    EXPECT_FALSE(motion->initUnderPlan.load());
    EXPECT_GT(motion->inits.load(), inits);
    const std::vector<Event> got = IpoTest::EventLog::Take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().type, HVP_EVENT_END) << Describe(got);
    EXPECT_EQ(got.back().text, "PLAN") << Describe(got);
}

// Off the cycle thread, Start still waits for the last run's plan before re-arming.
TEST_F(RunControl, AStartOnAnotherThreadWaitsForTheOldPlanConcurrent) {
    auto motion = std::make_shared<GatedMotion>();
    IpoTest::Install(*ipo, {{motion}});
    ipo->Start();
    loop.Step(*ipo);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return motion->inPlanner.load(); }));
    ipo->Stop(IPO::STOP_USER, "");
    const int inits = motion->inits.load();
    long long sleeps = 0;
    std::thread starter([&] {
        ipo->Start();
        sleeps = IPO::RunControlSleepsOnThisThread();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(motion->inits.load(), inits);  // still waiting
    motion->open.store(true);
    starter.join();
    EXPECT_GT(sleeps, 0);
    EXPECT_FALSE(motion->initUnderPlan.load());
    EXPECT_TRUE(ipo->IsReplayRunning());
    ipo->Stop(IPO::STOP_USER, "");
}

}  // namespace
