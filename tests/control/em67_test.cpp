// The EM67 hand-shake: stepped directly on a fake clock with a stand-in host and a scripted
// moulding machine on the inputs, plus one cycle through the real robot master and its
// interpreter with the fixture programs.

#include "control/StateMachineSGM.h"
#include "master_command_fixture.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

using namespace ControlTest;
using TalvoStateMachine::StateMachineSGM;

namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kCycleNs = 4 * kMs;

class FakeClock : public TalvoStateMachine::EM67Clock {
public:
    std::int64_t NowNs() override { return now; }
    void SleepMs(int ms) override {
        ++sleeps;
        now += ms * kMs;
    }
    std::int64_t now = 1000 * kMs;
    int sleeps = 0;
};

// The controller as the state machine sees it. The interpreter is simulated: a load takes
// two cycles, a program three.
class StandInHost : public TalvoStateMachine::EM67Host {
public:
    struct Write {
        std::int64_t atNs;
        int channel;
        bool on;
    };

    explicit StandInHost(const FakeClock& c) : clock(c) {}

    bool TryLockStep() override { return true; }
    void UnlockStep() override {}
    bool IsActive() const override { return active; }
    void SetActive(bool a) override { active = a; }
    bool Deactivate() override {
        const bool was = active;
        active = false;
        return was;
    }
    void SetOutput(int channel, bool on) override {
        writes.push_back({clock.now, channel, on});
        if (channel >= 0 && channel < 64) outputs[channel] = on;
    }
    void EnterStateMachineMotionMode() override { motionMode = MOTION_FSM; }
    void RestoreMotionMode() override { motionMode = savedMotionMode; }
    void Show(const std::string& text) override { shown.push_back(text); }
    void SetReplaySingle() override { replaySingle = true; }
    bool IsInterpreterIdle() const override { return loadTicks == 0 && runTicks == 0; }
    void DeleteAll() override { loaded = false; }
    bool LoadProgram(const std::string& name) override {
        loads.push_back(name);
        if (refuseLoad.count(name) != 0) return false;
        loadTicks = 2;
        loading = name;
        return true;
    }
    bool IsProgramLoaded() const override { return loaded; }
    bool StartProgram() override {
        starts.push_back(loading);
        if (refuseStart.count(loading) != 0) return false;
        runTicks = 3;
        return true;
    }
    // The interpreter's share of a loop cycle.
    void Tick() {
        if (loadTicks > 0 && --loadTicks == 0) loaded = missing.count(loading) == 0;
        if (runTicks > 0) --runTicks;
    }

    const FakeClock& clock;
    bool active = false;
    MotionType motionMode = MOTION_ROBOT_CART_BASE;
    MotionType savedMotionMode = MOTION_ROBOT_CART_BASE;
    bool replaySingle = false;
    bool outputs[64] = {};
    std::vector<Write> writes;
    std::vector<std::string> shown, loads, starts;
    std::set<std::string> missing, refuseLoad, refuseStart;
    std::string loading;
    bool loaded = false;
    int loadTicks = 0;
    int runTicks = 0;
};

// A moulding machine in Auto with the mould open and the ejector back. It pushes the
// ejector forward when the robot reports it is in the mould (output 34) and pulls it back
// once the robot has the part (output 33).
struct MouldingMachine {
    void Update(const bool* robotOutputs, bool* inputs) {
        if (robotOutputs[34] && !last34) {
            ejectorFront = true;
            if (singleEntry) mayEnter = false;
        }
        if (robotOutputs[33] && !last33) {
            ejectorFront = false;
        }
        last33 = robotOutputs[33];
        last34 = robotOutputs[34];
        inputs[30] = blocked;
        inputs[31] = mayEnter;
        inputs[32] = autoMode;
        inputs[33] = ejectorFront;
        inputs[34] = !ejectorFront;
    }
    bool autoMode = true;
    bool mayEnter = true;
    // Lets the robot into the mould once: the next cycle then waits in InMould.
    bool singleEntry = false;
    bool blocked = false;
    bool ejectorFront = false;
    bool last33 = false;
    bool last34 = false;
};

class Em67Test : public ::testing::Test {
protected:
    Em67Test() : host(clock) {
        fsm.SetHost(&host);
        fsm.SetClock(&clock);
    }

    // One robot-loop cycle: time, interpreter, machine, then the state machine's step.
    void Cycle() {
        clock.now += kCycleNs;
        host.Tick();
        machine.Update(host.outputs, robot.DIn);
        for (int i = 0; i < 64; ++i) robot.DOut[i] = host.outputs[i];
        if (fsm.IsActive()) fsm.ProcessFSM(robot);
        if (states.empty() || states.back() != fsm.GetState()) states.push_back(fsm.GetState());
    }
    bool RunUntil(const std::function<bool()>& done, int maxCycles = 2000) {
        for (int i = 0; i < maxCycles; ++i) {
            if (done()) return true;
            Cycle();
        }
        return done();
    }
    std::vector<std::string> Names(std::initializer_list<StateMachineSGM::ProgramIndex> list) {
        std::vector<std::string> names;
        for (auto p : list) names.push_back(fsm.GetProgramName(p));
        return names;
    }
    // The changes of the output image after the first `from` writes, as "30+" / "30-".
    std::vector<std::string> OutputChanges(std::size_t from) {
        bool image[64] = {};
        for (std::size_t i = 0; i < from && i < host.writes.size(); ++i) {
            image[host.writes[i].channel] = host.writes[i].on;
        }
        std::vector<std::string> changes;
        for (std::size_t i = from; i < host.writes.size(); ++i) {
            const auto& w = host.writes[i];
            if (image[w.channel] == w.on) continue;
            image[w.channel] = w.on;
            changes.push_back(std::to_string(w.channel) + (w.on ? "+" : "-"));
        }
        return changes;
    }

    FakeClock clock;
    StandInHost host;
    StateMachineSGM fsm;
    MouldingMachine machine;
    DataTypes::RobotState robot;
    std::vector<int> states;
};

using SGM = StateMachineSGM;

}  // namespace

TEST_F(Em67Test, InitSwitchesTheMachineOutputsOffAndSkipsTheUnassignedOne) {
    TestSupport::LogCapture log;
    fsm.Init();
    EXPECT_TRUE(host.active);
    EXPECT_EQ(host.motionMode, MOTION_FSM);
    EXPECT_TRUE(host.replaySingle);
    EXPECT_EQ(fsm.GetState(), SGM::StateStart);
    std::vector<int> channels;
    for (const auto& w : host.writes) {
        EXPECT_FALSE(w.on);
        channels.push_back(w.channel);
    }
    // No write to output 0 or to a negative channel: the group's third member has none.
    EXPECT_EQ(channels, (std::vector<int>{33, 34, 30, 31, 32, 25}));
    EXPECT_TRUE(log.Contains("FSM EM67 initialized."));
    EXPECT_TRUE(log.Contains("FSM running in state  0"));
}

TEST_F(Em67Test, OneCycleRunsTheSixProgramsInOrderAndReturnsToIdle) {
    fsm.Init();
    const std::size_t initWrites = host.writes.size();
    TestSupport::LogCapture log;
    ASSERT_TRUE(RunUntil([&] { return host.loads.size() == 7 && fsm.GetState() == SGM::StateInMould; }));

    EXPECT_EQ(host.loads, Names({SGM::ProgramHome, SGM::ProgramOnConveyor, SGM::ProgramIntoMould,
                                 SGM::ProgramGrabPart, SGM::ProgramPlacePart, SGM::ProgramOutOfMould,
                                 SGM::ProgramOnConveyor}));
    EXPECT_EQ(host.starts, host.loads);
    EXPECT_EQ(states, (std::vector<int>{0, 1, 2, 3, 4, 5, 1, 2}));
    EXPECT_EQ(OutputChanges(initWrites),
              (std::vector<std::string>{"30+", "31+", "30-", "31-", "34+", "34-", "33+", "33-", "30+", "31+"}));
    for (const auto& w : host.writes) EXPECT_GE(w.channel, 0);
    EXPECT_TRUE(host.active);
    EXPECT_EQ(log.Count("FSM running in state "), 7);
    EXPECT_EQ(clock.sleeps, 0);  // every wait was a deadline
}

TEST_F(Em67Test, TheProgramWaitsAreDeadlinesReachedWhenTheClockEqualsThem) {
    fsm.Init();
    fsm.ProcessFSM(robot);  // sub-step 0 -> 1, wait 50 ms
    EXPECT_EQ(fsm.GetSubStep(), 1);
    const std::int64_t start = clock.now;
    clock.now = start + 50 * kMs - 1;
    fsm.ProcessFSM(robot);
    EXPECT_TRUE(host.loads.empty());
    clock.now = start + 50 * kMs;
    fsm.ProcessFSM(robot);
    EXPECT_EQ(host.loads, Names({SGM::ProgramHome}));
    EXPECT_EQ(clock.sleeps, 0);
}

TEST_F(Em67Test, APhaseWhoseProgramDoesNotRunGoesToFaultWithOneLine) {
    struct Case {
        const char* name;
        SGM::ProgramIndex program;
        int kind;  // 0 missing file, 1 load refused, 2 start refused
        const char* line;
    };
    const Case cases[] = {
        {"home missing", SGM::ProgramHome, 0, "SGM-FSM: Could not load program 'EM67_01_moveToHomePos.xml'"},
        {"conveyor load refused", SGM::ProgramOnConveyor, 1,
         "SGM-FSM: Could not load program 'EM67_06_placePartOnConv.xml'"},
        {"into mould start refused", SGM::ProgramIntoMould, 2,
         "SGM-FSM: Could not start program 'EM67_02_moveIntoMould.xml'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandInHost fresh(clock);
        fsm.SetHost(&fresh);
        const std::string name = fsm.GetProgramName(c.program);
        (c.kind == 0 ? fresh.missing : c.kind == 1 ? fresh.refuseLoad : fresh.refuseStart).insert(name);
        machine = MouldingMachine();
        fsm.Init();
        TestSupport::LogCapture log;
        for (int i = 0; i < 300; ++i) {
            clock.now += kCycleNs;
            fresh.Tick();
            machine.Update(fresh.outputs, robot.DIn);
            for (int k = 0; k < 64; ++k) robot.DOut[k] = fresh.outputs[k];
            fsm.ProcessFSM(robot);
        }
        EXPECT_EQ(fsm.GetState(), SGM::StateFault);
        EXPECT_EQ(log.Count(c.line), 1);
        EXPECT_TRUE(log.Contains("FSM running in state  6"));
        // Nothing after the failed phase: no later program, no start of the failed one.
        EXPECT_EQ(fresh.loads.back(), name);
        if (c.kind != 2) {
            EXPECT_EQ(std::count(fresh.starts.begin(), fresh.starts.end(), name), 0);
        }
        EXPECT_FALSE(fresh.outputs[34]);  // the machine is never told the robot is in the mould
        fsm.Stop();
    }
    fsm.SetHost(&host);
}

TEST_F(Em67Test, RobotFailureOutputGivesOneLineAndFaultRepeatsEvery100Ms) {
    fsm.Init();
    ASSERT_TRUE(RunUntil([&] { return fsm.GetState() == SGM::StateIdle; }));
    TestSupport::LogCapture log;
    host.outputs[25] = true;
    const std::size_t from = host.writes.size();
    for (int i = 0; i < 150; ++i) Cycle();  // 600 ms
    EXPECT_EQ(log.Count("SGM-FSM: Received robot failure state, proceed to fail mode!"), 1);
    EXPECT_EQ(fsm.GetState(), SGM::StateFault);
    std::vector<std::int64_t> offTimes;
    for (std::size_t i = from; i < host.writes.size(); ++i) {
        const auto& w = host.writes[i];
        EXPECT_FALSE(w.on);
        if (w.channel == 30) offTimes.push_back(w.atNs);
    }
    ASSERT_GE(offTimes.size(), 5u);
    for (std::size_t i = 1; i < offTimes.size(); ++i) EXPECT_EQ(offTimes[i] - offTimes[i - 1], 100 * kMs);
    EXPECT_EQ(clock.sleeps, 0);
}

TEST_F(Em67Test, InMouldWaitsForTheMachineAndLosingAutoAbortsTheCycle) {
    machine.mayEnter = false;
    fsm.Init();
    ASSERT_TRUE(RunUntil([&] { return fsm.GetState() == SGM::StateInMould; }));
    const std::size_t loads = host.loads.size();
    const std::size_t starts = host.starts.size();
    for (int i = 0; i < 100; ++i) Cycle();
    EXPECT_EQ(fsm.GetState(), SGM::StateInMould);
    EXPECT_EQ(host.loads.size(), loads);  // input 31 off: nothing happens

    TestSupport::LogCapture log;
    const std::size_t from = host.writes.size();
    machine.autoMode = false;
    Cycle();
    EXPECT_EQ(log.Count("SGM: BA Auto nicht gesetzt --> Abbruch des Zyklus!"), 1);
    EXPECT_FALSE(host.active);
    EXPECT_EQ(host.motionMode, host.savedMotionMode);
    EXPECT_EQ(fsm.GetState(), SGM::StateStart);
    std::vector<std::string> offs;
    for (std::size_t i = from; i < host.writes.size(); ++i) {
        offs.push_back(std::to_string(host.writes[i].channel) + (host.writes[i].on ? "+" : "-"));
    }
    EXPECT_EQ(offs, (std::vector<std::string>{"32-", "25-"}));
    for (int i = 0; i < 50; ++i) Cycle();
    EXPECT_EQ(host.loads.size(), loads);
    EXPECT_EQ(host.starts.size(), starts);
}

TEST_F(Em67Test, ManualModePulsesOutput20OnceFor100Ms) {
    const std::int64_t t0 = clock.now;
    fsm.SetManualMode();
    EXPECT_EQ(host.shown, (std::vector<std::string>{"EM67 Manual Mode activated"}));
    std::vector<std::int64_t> rises, falls;
    bool level = false;
    for (const auto& w : host.writes) {
        if (w.channel != 20) continue;
        if (w.on && !level) rises.push_back(w.atNs - t0);
        if (!w.on && level) falls.push_back(w.atNs - t0);
        level = w.on;
    }
    ASSERT_EQ(rises.size(), 1u);
    ASSERT_EQ(falls.size(), 1u);
    EXPECT_EQ(falls[0] - rises[0], 100 * kMs);
    EXPECT_FALSE(host.outputs[20]);
    EXPECT_TRUE(host.outputs[30] && host.outputs[31] && host.outputs[32]);
}

TEST_F(Em67Test, StopIsIdempotentAndReactivationStartsOverAtHome) {
    fsm.Init();
    ASSERT_TRUE(RunUntil([&] { return fsm.GetState() == SGM::StateIdle && fsm.GetSubStep() == 2; }));
    fsm.Stop();
    const std::size_t writes = host.writes.size();
    fsm.Stop();  // already inactive: nothing is switched again
    EXPECT_EQ(host.writes.size(), writes);
    fsm.Init();
    EXPECT_EQ(fsm.GetSubStep(), 0);
    const std::size_t loads = host.loads.size();
    ASSERT_TRUE(RunUntil([&] { return host.loads.size() > loads; }));
    EXPECT_EQ(host.loads.back(), fsm.GetProgramName(SGM::ProgramHome));
}

// ---------------------------------------------------------------------------------------
// Through the real robot master: its loop thread runs a stand-in cycle (inputs from the
// scripted machine, the main interpreter, the state machine) and the interpreter loads
// the fixture programs.

namespace {

class Em67Master : public RobotMaster {
public:
    // However late the test thread looks, the second cycle has not begun: the machine
    // keeps the robot out of the mould after its first visit.
    static MouldingMachine OneEntry() {
        MouldingMachine m;
        m.singleEntry = true;
        return m;
    }

    void FullCycleWork() override {
        // Stamped before the requests are taken: an edge is never dated after the request
        // that the pulse's wait starts from.
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        ApplyRequests();
        DataTypes::RobotState& live = RobotMasterTestAccess::LiveState(*this);
        // Output 20's edges as the loop applies them.
        const bool out20 = live.DOut[20];
        if (out20 != last20) {
            (out20 ? rises20 : falls20).fetch_add(1);
            (out20 ? riseNs20 : fallNs20).store(now);
            last20 = out20;
        }
        machine.autoMode = autoMode.load();
        machine.Update(live.DOut, live.DIn);
        GetMainInterpreter().GetNextPosition(RobotMasterTestAccess::CycleTimeMs(*this).load(), 100.0f, &live);
        if (RobotMasterTestAccess::StateMachineActive(*this).load()) GetStateMachine().ProcessFSM(live);
    }
    std::atomic<bool> autoMode{true};
    std::atomic<int> rises20{0}, falls20{0};
    std::atomic<std::int64_t> riseNs20{0}, fallNs20{0};
    MouldingMachine machine = OneEntry();  // loop thread only
    bool last20 = false;      // loop thread only
};

class Em67MasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
        const std::filesystem::path source = std::string(BELVANTO_FIXTURES_DIR) + "/em67";
        std::filesystem::create_directories(programs);
        for (const auto& entry : std::filesystem::directory_iterator(source)) {
            std::filesystem::copy_file(entry.path(), programs + entry.path().filename().string(),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        master = std::make_unique<Em67Master>();
        RobotMasterTestAccess::Kinematic(*master) = std::make_unique<RobotKinematicNull>();
        auto recording = std::make_unique<RecordingProtocol>(master->GetKinematic());
        protocol = recording.get();
        master->SetHardwareProtocol(std::move(recording));
        protocol->RecordCycleCalls(false);
        // The loader asks the planner's kinematic for the joint count.
        IPO& main = master->GetMainInterpreter();
        main.InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
        main.GetPathGenerator()->SetKinematic(master->GetKinematic()->clone());
        RobotMasterTestAccess::CycleTimeMs(*master).store(10);
        RobotMasterTestAccess::TimingMode(*master).store(2);
        RobotMasterTestAccess::InitHold(*master).store(false);
        master->StartMainLoop();
    }
    void TearDown() override {
        master->StopMainLoop();
        master.reset();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(std::string(BELVANTO_FIXTURES_DIR) + "/em67")) {
            std::filesystem::remove(programs + entry.path().filename().string(), ec);
        }
    }
    // The programs the main interpreter started reading, in order.
    static std::vector<std::string> ProgramsRead(TestSupport::LogCapture& log) {
        std::vector<std::string> names;
        for (const std::string& line : log.Lines()) {
            const std::size_t at = line.find("Data/Programs/EM67_");
            if (at != std::string::npos && line.find("Starting to read program from") != std::string::npos) {
                names.push_back(line.substr(at + 14));
            }
        }
        return names;
    }

    std::string programs;
    std::unique_ptr<Em67Master> master;
    RecordingProtocol* protocol = nullptr;
};

}  // namespace

TEST_F(Em67MasterTest, ConcurrentOneCycleThroughTheRobotMaster) {
    ASSERT_TRUE(WaitFor([&] { return master->GetRobotState().DIn[StateMachineSGM::kInputAuto]; }));
    master->SetMotionMode(MOTION_ROBOT_CART_TOOL);
    TestSupport::LogCapture log;
    master->StartStopEM67FSM();
    EXPECT_TRUE(RobotMasterTestAccess::StateMachineActive(*master).load());
    EXPECT_EQ(master->GetMotionMode(), MOTION_FSM);

    const std::vector<std::string> expected = {
        "EM67_01_moveToHomePos.xml", "EM67_06_placePartOnConv.xml", "EM67_02_moveIntoMould.xml",
        "EM67_03_grabPart.xml",      "EM67_04_placePart.xml",       "EM67_05_moveOutOfMould.xml",
        "EM67_06_placePartOnConv.xml"};
    ASSERT_TRUE(WaitFor([&] { return ProgramsRead(log).size() >= expected.size(); }, 20000))
        << log.Joined();
    EXPECT_EQ(ProgramsRead(log), expected);
    // The machine stayed active across its own program starts and came back to Idle.
    EXPECT_TRUE(RobotMasterTestAccess::StateMachineActive(*master).load());
    ASSERT_TRUE(WaitFor([&] { return master->GetStateMachine().GetState() == StateMachineSGM::StateInMould; }));
    // The loop's lines reach the log through its outbox, a little after the state.
    EXPECT_TRUE(WaitFor([&] { return log.Count("FSM running in state  1") >= 2; }));
    EXPECT_EQ(log.Count("FSM running in state  1"), 2);
    EXPECT_FALSE(log.Contains("proceed to fail mode"));
    EXPECT_DOUBLE_EQ(master->GetProgramMemory().GetVariable("em67_phase").value, 6.0);
    EXPECT_EQ(ProgramsRead(log), expected);  // waiting in InMould: nothing more was read

    // Auto lost in the mould: the cycle is aborted and the motion mode comes back.
    master->autoMode.store(false);
    ASSERT_TRUE(WaitFor([&] { return !RobotMasterTestAccess::StateMachineActive(*master).load(); }));
    EXPECT_TRUE(WaitFor([&] { return log.Contains("SGM: BA Auto nicht gesetzt --> Abbruch des Zyklus!"); }));
    EXPECT_EQ(master->GetMotionMode(), MOTION_ROBOT_CART_TOOL);
}

TEST_F(Em67MasterTest, ConcurrentMissingProgramGivesFault) {
    std::filesystem::remove(programs + "EM67_01_moveToHomePos.xml");
    ASSERT_TRUE(WaitFor([&] { return master->GetRobotState().DIn[StateMachineSGM::kInputAuto]; }));
    TestSupport::LogCapture log;
    master->StartStopEM67FSM();
    ASSERT_TRUE(WaitFor([&] { return master->GetStateMachine().GetState() == StateMachineSGM::StateFault; }))
        << log.Joined();
    const char* failLine = "SGM-FSM: Could not load program 'EM67_01_moveToHomePos.xml', proceed to fail mode!";
    EXPECT_TRUE(WaitFor([&] { return log.Contains(failLine); }));
    EXPECT_EQ(log.Count(failLine), 1);
    EXPECT_FALSE(master->GetMainInterpreter().IsReplayRunning());
}

TEST_F(Em67MasterTest, ConcurrentManualOperationStopsTheMachineAndPulsesOutput20) {
    ASSERT_TRUE(WaitFor([&] { return master->GetRobotState().DIn[StateMachineSGM::kInputAuto]; }));
    master->StartStopEM67FSM();
    ASSERT_TRUE(RobotMasterTestAccess::StateMachineActive(*master).load());
    TestSupport::LogCapture log;
    master->SetEM67ManualOperation();
    EXPECT_FALSE(RobotMasterTestAccess::StateMachineActive(*master).load());
    EXPECT_TRUE(WaitFor([&] {
        const DataTypes::RobotState s = master->GetRobotState();
        return s.DOut[30] && s.DOut[31] && s.DOut[32] && !s.DOut[20];
    }));
    // One pulse as the loop applied it. Its 100 ms count from the cycle that took the rise,
    // so however late the loop runs the pulse is never shorter (one cycle's slack for the
    // stamps); the upper bound only guards against a second pulse glued on.
    EXPECT_EQ(master->rises20.load(), 1);
    EXPECT_EQ(master->falls20.load(), 1);
    const std::int64_t width = master->fallNs20.load() - master->riseNs20.load();
    EXPECT_GE(width, 90 * kMs);
    EXPECT_LT(width, 1000 * kMs);
}
