// The robot loop's safety paths on the real robot master and the recording protocol: an open
// e-stop circuit stops motion and refuses every start until a reset, joint targets past a
// soft limit are refused before anything moves, and stops the loop raises take effect in
// the cycle that raises them whatever another thread holds.

#include "control/OperatorCommands.h"
#include "loop_test_fixture.h"
#include "testsupport/PathGeneratorTestAccess.h"
#include "testsupport/IpoTestAccess.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <tuple>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ControlTest {
namespace {

constexpr int kEStopInput = 7;   // the test robot's "EStopMonitoring DInChannel"
constexpr int kBrakeOutput = 5;  // its "Brake DOutChannel"
constexpr int kPlayInput = 12;
constexpr const char* kRefusal = "requested but E-Stop detected";
constexpr const char* kEStopLine = "RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!";

// A gantry whose programs are planned; the protocol keeps the set-points it was sent.
class SafetyTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        PrepareInterpreters();
        master.SetDOutTargetStateOnError(4, DOutTrue);
        programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    }
    void TearDown() override {
        if (!programs.empty()) {
            std::error_code ec;
            for (const std::string& name : written) std::filesystem::remove(programs + name, ec);
        }
        LoopTest::TearDown();
    }

public:
    // A program of one motion element; loaded into the main interpreter.
    void LoadProgram(const std::string& name, const std::string& element) {
        WriteText(programs + name, "<?xml version=\"1.0\"?>\n<Program>\n  " + element + "\n</Program>\n");
        written.push_back(name);
        ASSERT_EQ(master.GetMainInterpreter().LoadProgramSynchronous(name, true), 0);
    }
    void LoadRun() {
        LoadProgram("SafetyRun.xml",
                    "<Joint Nr=\"1\" a1=\"200\" a2=\"100\" a3=\"50\" velPercent=\"50\" acc=\"50\" smooth=\"0\" "
                    "AbortCondition=\"false\" />");
    }
    // Cycles until a1 changes (a plan arrives on its planning thread), at most a few seconds.
    bool CyclesUntilMoving() {
        const float start = Live().jointSet[0];
        return WaitFor([&] {
            Cycles(1);
            return Live().jointSet[0] != start;
        });
    }
    // The set-points sent in the next n cycles all equal the live ones now.
    void ExpectNoSetPointChange(int n) {
        const std::array<float, 9> held = SetPointNow();
        for (int i = 0; i < n; ++i) {
            Cycles(1);
            EXPECT_EQ(SetPointNow(), held) << "cycle " << i;
        }
        for (const auto& sent : protocol->SentSetPoints(n)) EXPECT_EQ(sent, held);
    }
    std::array<float, 9> SetPointNow() {
        std::array<float, 9> out{};
        std::copy(std::begin(Live().jointSet), std::end(Live().jointSet), out.begin());
        return out;
    }
    void OpenCircuit() { protocol->SetInput(kEStopInput, false); }
    void CloseCircuit() { protocol->SetInput(kEStopInput, true); }
    void PressPlay() { Press(kPlayInput); }

protected:
    void JogAll(float percent) {
        float jog[RobotMaster::kNrJoints];
        std::fill(std::begin(jog), std::end(jog), percent);
        master.SetJogValues(jog);
    }

    std::string programs;
    std::vector<std::string> written;
};

// Where the e-stop stands when a start or motion request arrives.
enum class EStop { Closed, OpenAtPowerUp, OpenedDuringRun, ClosedAgainWithoutReset, ClosedAndReset };

const char* Name(EStop s) {
    switch (s) {
        case EStop::Closed: return "closed";
        case EStop::OpenAtPowerUp: return "open at power-up";
        case EStop::OpenedDuringRun: return "opened during a run";
        case EStop::ClosedAgainWithoutReset: return "closed again without reset";
        case EStop::ClosedAndReset: return "closed again and reset";
    }
    return "";
}

// Every way a start or a motion reaches the robot master.
struct Source {
    const char* name;
    std::function<void(SafetyTest&, RobotMaster&, TestSupport::LogCapture&)> request;
};

const std::vector<Source>& Sources() {
    static const std::vector<Source> sources = {
        {"OperatorCode2",  // console 5, panel start button, HVP StartProgram, Modbus coil 122
         [](SafetyTest&, RobotMaster& m, TestSupport::LogCapture&) {
             ExecuteOperatorCommand(m, OperatorCommandHooks{}, m.GetRobotState(), OperatorCommand{2, 0, 0.0f});
         }},
        {"PlcPlay", [](SafetyTest& t, RobotMaster&, TestSupport::LogCapture&) { t.PressPlay(); }},
        {"PlcTrigger",  // load and start
         [](SafetyTest&, RobotMaster& m, TestSupport::LogCapture& log) {
             const int starts = log.Count("Starting Program");
             const int refusals = log.Count(kRefusal);
             m.LoadProgramAndStartAsync("SafetyRun.xml", IPO::STOP_PLC);
             // The worker loads, then starts or refuses.
             EXPECT_TRUE(WaitFor(
                 [&] { return log.Count("Starting Program") > starts || log.Count(kRefusal) > refusals; }));
         }},
        {"DirectMove",  // HVP Move, Modbus move coils
         [](SafetyTest&, RobotMaster& m, TestSupport::LogCapture&) {
             const float target[9] = {150, 80, 40, 0, 0, 0, 0, 0, 0};
             m.StartDirectMove(RobotMaster::DirectMove::Joint, target, 50.0f, "Test: Move Joint");
         }},
    };
    return sources;
}

class EStopTable : public SafetyTest, public ::testing::WithParamInterface<std::tuple<int, EStop>> {
protected:
    // Brings the e-stop into state s; the program is loaded (and, for a run, started).
    void Enter(EStop s) {
        if (s == EStop::OpenAtPowerUp) {
            OpenCircuit();
            Cycles(1);
            return;
        }
        Cycles(1);  // the first reading: closed
        if (s == EStop::Closed) return;
        if (s == EStop::OpenedDuringRun) {
            master.StartProgram();
            ASSERT_TRUE(CyclesUntilMoving());
        }
        OpenCircuit();
        Cycles(1);
        if (s == EStop::OpenedDuringRun) return;
        CloseCircuit();
        Cycles(1);
        if (s == EStop::ClosedAgainWithoutReset) return;
        master.Reset();
        Cycles(1);
    }
};

TEST_P(EStopTable, StartsRunOnlyWhileTheEStopIsClosedAndReset) {
    const Source& source = Sources()[static_cast<std::size_t>(std::get<0>(GetParam()))];
    const EStop state = std::get<1>(GetParam());
    SetPLC([](PLCInterfaceNumbers& plc) { plc.PlayNumber = kPlayInput; });
    LoadRun();
    TestSupport::LogCapture log;
    Enter(state);
    const bool allowed = state == EStop::Closed || state == EStop::ClosedAndReset;
    EXPECT_EQ(master.IsEStopLatched(), !allowed);
    const int refusals = log.Count(kRefusal);
    source.request(*this, master, log);
    if (allowed) {
        EXPECT_TRUE(CyclesUntilMoving()) << "the request did not move the robot";
        EXPECT_EQ(log.Count(kRefusal), 0);
    } else {
        EXPECT_EQ(log.Count(kEStopLine), 1);
        EXPECT_FALSE(master.GetRobotState().DOut[kBrakeOutput]);  // brake engaged
        EXPECT_TRUE(master.GetRobotState().DOut[4]);              // its on-error state
        EXPECT_EQ(log.Count(kRefusal), refusals + 1) << "one line per request";
        EXPECT_FALSE(master.GetMainInterpreter().IsReplayRunning());
        EXPECT_FALSE(master.GetMoveToInterpreter().IsReplayRunning());
        ExpectNoSetPointChange(10);
    }
    master.StopProgram(IPO::STOP_USER);
}

std::string TableName(const ::testing::TestParamInfo<std::tuple<int, EStop>>& info) {
    std::string state = Name(std::get<1>(info.param));
    for (char& ch : state) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return std::string(Sources()[static_cast<std::size_t>(std::get<0>(info.param))].name) + "_" + state;
}

INSTANTIATE_TEST_SUITE_P(EveryStartSource, EStopTable,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Values(EStop::Closed, EStop::OpenAtPowerUp,
                                                              EStop::OpenedDuringRun, EStop::ClosedAgainWithoutReset,
                                                              EStop::ClosedAndReset)),
                         TableName);

TEST_F(SafetyTest, OpeningDuringARunPausesInTheCycleThatSeesItAndHoldsTheSetPoint) {
    LoadRun();
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(CyclesUntilMoving());
    JogAll(100.0f);
    const std::array<float, 9> before = SetPointNow();
    TestSupport::LogCapture log;
    OpenCircuit();
    Cycles(1);
    EXPECT_EQ(SetPointNow(), before) << "the cycle that read the open input moved on";
    IPO& main = master.GetMainInterpreter();
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED);
    EXPECT_EQ(main.GetLastStopReason(), IPO::STOP_PLC);
    for (int i = 0; i < RobotMaster::kNrJoints; ++i) EXPECT_EQ(RobotMasterTestAccess::JogValues(master)[i].load(), 0.0f) << i;
    EXPECT_EQ(log.Count(kEStopLine), 1);
    ExpectNoSetPointChange(20);

    // Jog input while it stands open moves nothing and says so once.
    for (int i = 0; i < 5; ++i) {
        JogAll(100.0f);
        Cycles(1);
    }
    EXPECT_EQ(SetPointNow(), before);
    EXPECT_EQ(std::count(Notes().begin(), Notes().end(), "Cannot jog while E-Stop detected"), 1);
}

TEST_F(SafetyTest, ClosingReleasesNothingTheOperatorsResetAndEnableDo) {
    protocol->motorsEnabled.store(true);
    Cycles(1);
    OpenCircuit();
    Cycles(2);
    EXPECT_FALSE(Live().DOut[kBrakeOutput]);
    TestSupport::LogCapture log;

    master.EnableMotors(true);  // refused while open
    EXPECT_EQ(log.Count("RobotMaster: Enable requested but E-Stop detected"), 1);
    master.Reset();  // the circuit is open: the reset releases nothing
    Cycles(2);
    EXPECT_TRUE(master.IsEStopLatched());

    CloseCircuit();
    Cycles(50);
    EXPECT_TRUE(master.IsEStopLatched());
    EXPECT_FALSE(RobotMasterTestAccess::BrakeReleasePending(master).load());
    EXPECT_FALSE(Live().DOut[kBrakeOutput]);

    master.Reset();
    Cycles(1);
    EXPECT_FALSE(master.IsEStopLatched());
    EXPECT_TRUE(log.Contains("RobotMaster: E-Stop released"));
    // The drives stayed enabled: the brake lifts after its delay.
    EXPECT_TRUE(RobotMasterTestAccess::BrakeReleasePending(master).load());
}

TEST_F(SafetyTest, AnInputOpenAtPowerUpIsLoggedAndHandled) {
    OpenCircuit();
    Live().DOut[kBrakeOutput] = true;
    TestSupport::LogCapture log;
    Cycles(3);
    EXPECT_EQ(log.Count(kEStopLine), 1);
    EXPECT_TRUE(Live().DOut[4]);
    EXPECT_FALSE(Live().DOut[kBrakeOutput]);
    EXPECT_TRUE(master.IsEStopLatched());
}

TEST_F(SafetyTest, OtherMotionRequestsAreRefusedWhileTheEStopIsLatched) {
    protocol->motorsEnabled.store(true);
    Cycles(1);
    OpenCircuit();
    Cycles(1);
    CloseCircuit();
    Cycles(1);  // closed again, not reset
    TestSupport::LogCapture log;
    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"RobotMaster: Reference all requested but E-Stop detected", [&] { master.ReferenceAllJoints(); }},
        {"RobotMaster: Reference joint requested but E-Stop detected", [&] { master.ReferenceJoint(0); }},
        {"RobotMaster: Align motors requested but E-Stop detected", [&] { master.AlignMotors(); }},
        {"RobotMaster: EM67 start requested but E-Stop detected", [&] { master.StartStopEM67FSM(); }},
        {"RobotMaster: External axis velocities requested but E-Stop detected",
         [&] { master.SetVelocities(1.0f, 0.0f, 0.0f); }},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.first);
        r.second();
        EXPECT_EQ(log.Count(r.first), 1);
    }
    EXPECT_TRUE(protocol->CallsNamed("ReferenceSingleJoint").empty());
    EXPECT_TRUE(protocol->CallsNamed("AlignMotors").empty());
    ExpectNoSetPointChange(5);
}

TEST_F(SafetyTest, ConcurrentBrakeAndEStopSettingsChangeWhileTheLoopRuns) {
    // The configuration thread switches the brake and e-stop channels on and off while the
    // loop cycles: the loop takes them whole, never a channel of one value with the check
    // of another (a -1 read after a valid check would index DIn[-1]).
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop.load()) Cycles(1);
    });
    for (int i = 0; i < 2000; ++i) {
        BrakeSettings s;
        s.brakeDOutChannel = i % 2 == 0 ? kBrakeOutput : -1;
        s.brakeDelayMS = 100 + i % 7;
        s.eStopDInChannel = i % 3 == 0 ? -1 : kEStopInput;
        master.SetBrakeSettings(s);
        if (i % 100 == 0) std::this_thread::yield();
    }
    stop.store(true);
    loop.join();
    const BrakeSettings last = master.GetBrakeSettings();
    EXPECT_EQ(last.brakeDOutChannel, -1);
    EXPECT_EQ(last.eStopDInChannel, kEStopInput);
    Cycles(1);
    EXPECT_FALSE(master.IsEStopDetected());  // the circuit is closed
}

// ---------------------------------------------------------------- joint limits// ---------------------------------------------------------------- joint limits

class JointLimitTable : public SafetyTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        // The robot file's planner: "02Linear" or the joint-space one.
        InitGantry(Edit(BaseRobotXml(), "GeneratorType=\"02Linear\"",
                        std::string("GeneratorType=\"") + GetParam() + "\""));
        PrepareInterpreters();
        programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    }
};

INSTANTIATE_TEST_SUITE_P(BothPlanners, JointLimitTable, ::testing::Values("02Linear", "01Joint"));

TEST_P(JointLimitTable, JointTargetsPastASoftLimitAreRefusedBeforeAnythingMoves) {
    // The test gantry: A1 -5..500, A2 -5..500, A3 -5..300.
    struct Case {
        const char* name;
        std::function<void(SafetyTest&, RobotMaster&)> start;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"program Joint",
         [](SafetyTest& t, RobotMaster& m) {
             t.LoadProgram("SafetyLimit.xml",
                           "<Joint Nr=\"1\" a1=\"600\" a2=\"10\" a3=\"10\" velPercent=\"50\" acc=\"50\" smooth=\"0\" "
                           "AbortCondition=\"false\" />");
             m.StartProgram();
         },
         "Kinematic error: Joint limit max reached"},
        {"program Relative joint",
         [](SafetyTest& t, RobotMaster& m) {
             t.LoadProgram("SafetyLimit.xml",
                           "<Relative Nr=\"1\" MoType=\"joint\" a1=\"10\" a3=\"-320\" velPercent=\"50\" acc=\"50\" "
                           "smooth=\"0\" AbortCondition=\"false\" />");
             m.StartProgram();
         },
         "Kinematic error: Joint limit min reached"},
        {"direct Joint move (HVP Move Joint, Modbus coil 103)",
         [](SafetyTest&, RobotMaster& m) {
             const float target[9] = {10, 520, 10, 0, 0, 0, 0, 0, 0};
             m.StartDirectMove(RobotMaster::DirectMove::Joint, target, 50.0f, "Test: Move Joint");
         },
         "Kinematic error: Joint limit max reached"},
        {"direct relative Joint move",
         [](SafetyTest&, RobotMaster& m) {
             const float step[9] = {-20, 0, 0, 0, 0, 0, 0, 0, 0};
             m.StartDirectMove(RobotMaster::DirectMove::RelativeJoint, step, 50.0f, "Test: Move");
         },
         "Kinematic error: Joint limit min reached"},
    };
    std::vector<std::string> events;
    std::mutex eventsMutex;
    static std::function<void(const std::string&)> sink;
    sink = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(eventsMutex);
        events.push_back(text);
    };
    for (IPO* ipo : {&master.GetMainInterpreter(), &master.GetMoveToInterpreter()}) {
        ipo->SetResultCallback([](HVPEventType event, int, int, const std::string& text) {
            if (event == HVP_EVENT_ERROR) sink(text);
        });
    }
    Cycles(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(eventsMutex);
            events.clear();
        }
        protocol->ClearSetPoints();
        const std::array<float, 9> before = SetPointNow();
        c.start(*this, master);
        // The refusal comes from the planning thread; until then and after it nothing moves.
        EXPECT_TRUE(WaitFor([&] {
            Cycles(1);
            std::lock_guard<std::mutex> lock(eventsMutex);
            return std::find(events.begin(), events.end(), c.text) != events.end();
        })) << "no error event with the kinematic text";
        Cycles(5);
        EXPECT_EQ(SetPointNow(), before);
        for (const auto& sent : protocol->SentSetPoints(1000)) EXPECT_EQ(sent, before);
        EXPECT_FALSE(master.GetMainInterpreter().IsReplayRunning());
        EXPECT_FALSE(master.GetMoveToInterpreter().IsReplayRunning());
        master.StopProgram(IPO::STOP_USER);
    }
    sink = nullptr;
}

// ---------------------------------------------------------------- stops of the loop

TEST_F(SafetyTest, ConcurrentHardwareErrorStopTakesEffectInOneCycleWhateverAnotherThreadHolds) {
    RobotMasterTestAccess::DebugMode(master) = false;
    master.GetMainInterpreter().SetStopOnError(false);  // the error state pauses
    LoadRun();
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(CyclesUntilMoving());
    IPO& main = master.GetMainInterpreter();

    // Another thread holds the command mutex and the interpreter's lock meanwhile.
    std::mutex m;
    std::condition_variable cv;
    bool holding = false;
    bool release = false;
    std::thread other([&] {
        std::lock_guard<std::recursive_mutex> command(RobotMasterTestAccess::CommandMutex(master));
        std::lock_guard<std::mutex> program(IpoTestAccess::ProgramMutex(main));
        std::unique_lock<std::mutex> lock(m);
        holding = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return holding; });
    }
    const std::array<float, 9> before = SetPointNow();
    protocol->SetErrorText("OverCurrent");
    Cycles(1);  // reads the drive error at its end
    EXPECT_TRUE(main.IsReplayRunning());
    Cycles(1);  // raises the error stop
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED) << "paused within one cycle";
    EXPECT_EQ(SetPointNow(), before);
    Cycles(3);
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    other.join();

    // Once the lock is free the pause is carried out with its reason and event.
    TestSupport::LogCapture log;
    Cycles(1);
    EXPECT_FALSE(main.IsHaltPending());
    EXPECT_EQ(main.GetLastStopReason(), IPO::STOP_ERROR);
    EXPECT_TRUE(log.Contains("IPO:    Pausing Program"));
    // A start by another thread in the meantime would have given way to it.
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED);
}

TEST_F(SafetyTest, ConcurrentStartWaitingForABusyPlannerDoesNotHoldTheCommandMutex) {
    LoadRun();
    Cycles(1);
    IPO& main = master.GetMainInterpreter();
    // A planning thread of the last run that cannot finish: it waits for the generator.
    DataTypes::RobotState state = Live();
    main.GetPathGenerator()->SetFirstCmd(IpoTestAccess::Programs(main)[0].commands[0], &state, 0, -2);
    std::unique_lock<std::mutex> busy(PathGeneratorTestAccess::Mutex(*main.GetPathGenerator()));
    main.GetPathGenerator()->ComputePathStartThread();
    ASSERT_TRUE(main.GetPathGenerator()->IsThreadRunning());

    std::atomic<bool> returned{false};
    std::thread start([&] {
        master.StartProgram();
        returned.store(true);
    });
    // While the start waits for the planner, the command mutex is free for others.
    bool taken = false;
    for (int i = 0; i < 200 && !taken && !returned.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (RobotMasterTestAccess::CommandMutex(master).try_lock()) {
            taken = true;
            RobotMasterTestAccess::CommandMutex(master).unlock();
        }
    }
    EXPECT_TRUE(taken);
    EXPECT_FALSE(returned.load()) << "the start did not wait for the planner";
    busy.unlock();
    start.join();
    EXPECT_TRUE(main.IsReplayRunning());
}

}  // namespace
}  // namespace ControlTest
