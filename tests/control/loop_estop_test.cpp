// The robot loop's safety paths on the real robot master and the recording protocol: an open
// e-stop circuit stops motion and refuses every start until a reset, joint targets past a
// soft limit are refused before anything moves, and stops the loop raises take effect in
// the cycle that raises them whatever another thread holds.

#include "control/OperatorCommands.h"
#include "control/RobotMasterPort.h"
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
constexpr const char* kNotRead = "requested but E-Stop input not read yet";
constexpr const char* kChangeRefusal = "RobotMaster: E-Stop or brake channel change requested but E-Stop detected";
constexpr const char* kEStopLine = "RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!";

// A gantry whose programs are planned; the protocol keeps the set-points it was sent.
class SafetyTest : public LoopTest {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        InitGantry();
        PrepareInterpreters();
        ReleaseBrake();
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
    // Cycles until the brake output has gone out released (within some seconds of loop time).
    bool CyclesUntilBrakeReleased() {
        for (int i = 0; i < 500; ++i) {
            Cycles(1);
            if (Live().DOut[kBrakeOutput] && RobotLoopTestAccess::BrakeReleasedSent(master)) return true;
        }
        return false;
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

    void JogAll(float percent) {
        float jog[RobotMaster::kNrJoints];
        std::fill(std::begin(jog), std::end(jog), percent);
        master.SetJogValues(jog);
    }
    std::string WriteRobotFile(const std::string& type, const std::string& xml) { return WriteRobot(type, xml); }
    std::string RobotFilePath(const std::string& relative) const { return FullPath(relative); }

protected:

    std::string programs;
    std::vector<std::string> written;
};

// Another thread holds a lock from construction until Release (or the end of the scope).
template <typename Mutex>
class HeldElsewhere {
public:
    explicit HeldElsewhere(Mutex& mutex)
        : thread([this, &mutex] {
              std::lock_guard<Mutex> held(mutex);
              std::unique_lock<std::mutex> lock(m);
              holding = true;
              cv.notify_all();
              cv.wait(lock, [this] { return release; });
          }) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return holding; });
    }
    ~HeldElsewhere() { Release(); }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
        if (thread.joinable()) thread.join();
    }

private:
    std::mutex m;
    std::condition_variable cv;
    bool holding = false;
    bool release = false;
    std::thread thread;
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
        // Reset and enable, as the operator does: the brake lifts after its delay.
        master.Reset();
        Cycles(1);
        master.EnableMotors(true);
        ASSERT_TRUE(CyclesUntilBrakeReleased());
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

// ---------------------------------------------------------------- the cycle that reads it

// Where in its cycle the loop first reads the open circuit: at its first look (before the
// set-point step), at its I/O step (after it) or at its last look before the set-points leave.
enum class ReadPoint { FirstLook, IOStep, LastLook };

class EStopReadPoint : public SafetyTest, public ::testing::WithParamInterface<ReadPoint> {};

INSTANTIATE_TEST_SUITE_P(EveryRead, EStopReadPoint,
                         ::testing::Values(ReadPoint::FirstLook, ReadPoint::IOStep, ReadPoint::LastLook));

TEST_P(EStopReadPoint, TheCycleThatReadsTheOpenCircuitSendsTheHeldSetPoint) {
    bool armed = false;
    auto open = [&] {
        if (!armed) return;
        armed = false;
        OpenCircuit();
    };
    // SendSync comes after the first look and before the I/O step; the read-back after the
    // I/O step and before the last look.
    if (GetParam() == ReadPoint::IOStep) protocol->onSendSync = open;
    if (GetParam() == ReadPoint::LastLook) protocol->onGetError = open;
    LoadRun();
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(CyclesUntilMoving());
    Cycles(3);  // at speed
    const std::array<float, 9> sent = protocol->SentSetPoints(1).at(0);
    if (GetParam() == ReadPoint::FirstLook) {
        OpenCircuit();
    } else {
        armed = true;
    }
    TestSupport::LogCapture log;
    Cycles(1);
    ASSERT_FALSE(armed);
    EXPECT_EQ(log.Count(kEStopLine), 1);
    EXPECT_EQ(protocol->SentSetPoints(1).at(0), sent) << "a set-point step left after the open reading";
    EXPECT_EQ(SetPointNow(), sent);
    float kinematic[9] = {};
    master.GetKinematic()->GetJoints(kinematic);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kinematic[i], sent[static_cast<std::size_t>(i)]) << i;
    EXPECT_EQ(master.GetMainInterpreter().GetRunState(), IPO::RUNSTATE_PAUSED);
    ExpectNoSetPointChange(10);
    protocol->onSendSync = nullptr;
    protocol->onGetError = nullptr;
}

// ---------------------------------------------------------------- the latch and its input

// Every way to change the e-stop input or monitoring (and the brake output) while latched.
struct ChannelChange {
    const char* name;
    // The change; true when its caller was told it was taken.
    std::function<bool(SafetyTest&, RobotMaster&)> apply;
    bool checked;  // goes through the check (else it passed it just before the latch)
};

BrakeSettings With(RobotMaster& m, int eStop, int brake) {
    BrakeSettings s = m.GetBrakeSettings();
    if (eStop != -2) s.eStopDInChannel = eStop;
    if (brake != -2) s.brakeDOutChannel = brake;
    return s;
}

const std::vector<ChannelChange>& ChannelChanges() {
    static const std::vector<ChannelChange> changes = {
        {"MonitoringOff", [](SafetyTest&, RobotMaster& m) { return m.SetBrakeSettings(With(m, -1, -2)); }, true},
        {"AnotherInput", [](SafetyTest&, RobotMaster& m) { return m.SetBrakeSettings(With(m, 8, -2)); }, true},
        {"AnInputPastTheRange", [](SafetyTest&, RobotMaster& m) { return m.SetBrakeSettings(With(m, 70, -2)); }, true},
        {"AnotherBrakeOutput", [](SafetyTest&, RobotMaster& m) { return m.SetBrakeSettings(With(m, -2, 6)); }, true},
        // HVP CONFIG SetBrake, the cloud and the servers reach it through the controller port.
        {"ControllerPortMonitoringOff",
         [](SafetyTest&, RobotMaster& m) {
             Control::RobotMasterPort port(m, nullptr);
             return port.SetBrakeSettings(With(m, -1, 21));
         },
         true},
        {"RobotFileReReadWithoutMonitoring",
         [](SafetyTest& t, RobotMaster& m) {
             const std::string file = t.WriteRobotFile("LoopGantryNoEStop", Edit(BaseRobotXml(), "<EStopMonitoring DInChannel=\"7\"/>",
                                                                           "<EStopMonitoring DInChannel=\"-1\"/>"));
             EXPECT_EQ(m.ReadConfigFile(t.RobotFilePath(file)), 0);
             RobotMasterTestAccess::TimingMode(m).store(1);  // the loop is stepped in mode 1 here
             return m.GetBrakeSettings().eStopDInChannel == -1;
         },
         true},
        {"StoredJustBeforeTheLatch",
         [](SafetyTest&, RobotMaster& m) {
             RobotMasterTestAccess::StoreBrakeSettingsUnchecked(m, With(m, -1, -2));
             return true;
         },
         false},
    };
    return changes;
}

class EStopChannelTable : public SafetyTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

INSTANTIATE_TEST_SUITE_P(
    EveryChange, EStopChannelTable, ::testing::Combine(::testing::Range(0, 7), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
        return std::string(ChannelChanges()[static_cast<std::size_t>(std::get<0>(info.param))].name) +
               (std::get<1>(info.param) ? "_LatchedOpen" : "_LatchedClosed");
    });

TEST_P(EStopChannelTable, AChangeWhileLatchedIsRefusedOrWithoutEffectAndReleasesNothing) {
    const ChannelChange& change = ChannelChanges()[static_cast<std::size_t>(std::get<0>(GetParam()))];
    const bool open = std::get<1>(GetParam());
    protocol->motorsEnabled.store(true);
    protocol->SetInput(8, true);
    LoadRun();
    Cycles(1);
    master.StartProgram();
    ASSERT_TRUE(CyclesUntilMoving());
    OpenCircuit();
    Cycles(1);
    if (!open) {
        CloseCircuit();
        Cycles(1);
    }
    ASSERT_TRUE(master.IsEStopLatched());
    const BrakeSettings before = master.GetBrakeSettings();
    const std::array<float, 9> held = SetPointNow();
    TestSupport::LogCapture log;

    const bool taken = change.apply(*this, master);
    EXPECT_EQ(taken, !change.checked);
    EXPECT_EQ(log.Count(kChangeRefusal), change.checked ? 1 : 0);
    if (change.checked) {
        const BrakeSettings now = master.GetBrakeSettings();
        EXPECT_EQ(now.eStopDInChannel, before.eStopDInChannel);
        EXPECT_EQ(now.brakeDOutChannel, before.brakeDOutChannel);
    }
    Cycles(3);
    EXPECT_TRUE(master.IsEStopLatched()) << "the change released the latch";
    EXPECT_FALSE(log.Contains("RobotMaster: E-Stop released"));
    if (open) {
        // Reset and enable with the latched input still open release nothing.
        master.Reset();  // the set-point becomes the measured position
        master.EnableMotors(true);
        Cycles(3);
        EXPECT_TRUE(master.IsEStopLatched());
        EXPECT_FALSE(log.Contains("RobotMaster: E-Stop released"));
    } else {
        EXPECT_EQ(SetPointNow(), held);
    }
    master.StartProgram();
    EXPECT_GE(log.Count(kRefusal), 1);
    EXPECT_FALSE(master.GetMainInterpreter().IsReplayRunning());
    ExpectNoSetPointChange(5);
    EXPECT_FALSE(Live().DOut[kBrakeOutput]);
}

TEST_F(SafetyTest, AnInputAskedForWhileLatchedIsTakenAfterTheReleaseWithAFreshFirstReading) {
    protocol->motorsEnabled.store(true);
    Cycles(1);
    OpenCircuit();
    Cycles(1);
    // A new input (open) stored just before the latch: the latched one stays monitored.
    protocol->SetInput(8, false);
    RobotMasterTestAccess::StoreBrakeSettingsUnchecked(master, With(master, 8, -2));
    CloseCircuit();
    Cycles(2);
    TestSupport::LogCapture log;
    master.Reset();
    Cycles(1);
    EXPECT_TRUE(log.Contains("RobotMaster: E-Stop released"));
    // Then the new input's first reading: open, so it latches again.
    Cycles(2);
    EXPECT_EQ(log.Count(kEStopLine), 1);
    EXPECT_TRUE(master.IsEStopLatched());
}

// ---------------------------------------------------------------- the brake's release delay

struct DelayedRequest {
    const char* name;
    std::function<void(SafetyTest&, RobotMaster&)> request;  // once, during the delay
    bool jog;                                                  // repeated every cycle
};

TEST_F(SafetyTest, StartMoveAndJogDuringTheBrakeDelayBeginFromRestOnceTheBrakeIsReleased) {
    const std::vector<DelayedRequest> requests = {
        {"StartProgram", [](SafetyTest&, RobotMaster& m) { m.StartProgram(); }, false},
        {"DirectMove",
         [](SafetyTest&, RobotMaster& m) {
             const float target[9] = {150, 80, 40, 0, 0, 0, 0, 0, 0};
             EXPECT_TRUE(m.StartDirectMove(RobotMaster::DirectMove::Joint, target, 50.0f, "Test: Move Joint"));
         },
         false},
        {"Jog", [](SafetyTest& t, RobotMaster&) { t.JogAll(100.0f); }, true},
    };
    LoadRun();
    Cycles(1);
    for (const DelayedRequest& r : requests) {
        SCOPED_TRACE(r.name);
        master.StopProgram(IPO::STOP_USER);
        master.EnableMotors(false);  // brake engaged
        Cycles(2);
        master.EnableMotors(true);   // released after its 300 ms
        EXPECT_TRUE(RobotMasterTestAccess::BrakeReleasePending(master).load());
        protocol->ClearSetPoints();
        protocol->ioCalls.clear();
        r.request(*this, master);
        std::vector<bool> brakeSent;
        const std::array<float, 9> start = SetPointNow();
        int after = 0;  // cycles since the first change
        auto cycle = [&] {
            if (r.jog) r.request(*this, master);
            Cycles(1);
            // SetIO(0, 5, value) once a cycle: the brake output as it went out.
            for (int call : protocol->ioCalls) {
                if (call / 10 == 5) brakeSent.push_back(call % 10 == 1);
            }
            protocol->ioCalls.clear();
            if (after > 0 || SetPointNow() != start) ++after;
            return after > 5 || brakeSent.size() > 3000;
        };
        // The plans come from planning threads: cycles go on (in real time) until it moves.
        for (int i = 0; i < 20; ++i) cycle();
        EXPECT_TRUE(WaitFor(cycle));
        const auto sent = protocol->SentSetPoints(100000);
        ASSERT_EQ(sent.size(), brakeSent.size());
        ASSERT_TRUE(brakeSent.back()) << "the brake was not released";
        ASSERT_FALSE(brakeSent.front());
        // No set-point change before the brake output that released it has gone out (the
        // joint frames leave before the I/O module's in a cycle).
        std::size_t first = 0;
        for (std::size_t k = 1; k < sent.size(); ++k) {
            if (sent[k] == sent[k - 1]) continue;
            EXPECT_TRUE(brakeSent[k - 1]) << "cycle " << k << " moved while the brake held";
            if (first == 0) first = k;
        }
        ASSERT_GT(first, 0u) << "nothing moved after the release";
        // From rest: the first step is small and the next ones grow.
        auto step = [&](std::size_t k) { return std::fabs(sent[k][0] - sent[k - 1][0]); };
        ASSERT_LT(first + 2, sent.size());
        EXPECT_LT(step(first), step(first + 2)) << step(first) << " then " << step(first + 2);
        EXPECT_LT(step(first), 0.5f);
        master.SetJogValues(std::array<float, 9>{}.data());
        Cycles(30);
    }
    master.StopProgram(IPO::STOP_USER);
}

// ---------------------------------------------------------------- before the first reading

TEST_F(SafetyTest, TheInputCountsFromItsModulesFirstAnswer) {
    SetPLC([](PLCInterfaceNumbers& plc) { plc.PlayNumber = kPlayInput; });
    protocol->inputsAnswered.store(false);
    protocol->motorsEnabled.store(true);
    LoadRun();
    TestSupport::LogCapture log;
    Cycles(3);
    // A closed circuit before the module's answer: no opening logged, no output reset.
    EXPECT_EQ(log.Count(kEStopLine), 0);
    EXPECT_FALSE(Live().DOut[4]);
    EXPECT_TRUE(master.IsEStopInputUnread());
    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"RobotMaster: Start program requested but E-Stop input not read yet", [&] { master.StartProgram(); }},
        {"Test: Move Joint requested but E-Stop input not read yet",
         [&] {
             const float target[9] = {150, 80, 40, 0, 0, 0, 0, 0, 0};
             EXPECT_FALSE(master.StartDirectMove(RobotMaster::DirectMove::Joint, target, 50.0f, "Test: Move Joint"));
         }},
        {"RobotMaster: Enable requested but E-Stop input not read yet", [&] { master.EnableMotors(true); }},
        {"PLCInterface: Play requested but E-Stop input not read yet", [&] { PressPlay(); }},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.first);
        r.second();
        EXPECT_EQ(log.Count(r.first), 1);
    }
    EXPECT_EQ(log.Count(kRefusal), 0);
    for (int i = 0; i < 5; ++i) {
        JogAll(100.0f);
        Cycles(1);
    }
    EXPECT_EQ(std::count(Notes().begin(), Notes().end(), "Cannot jog while E-Stop input not read yet"), 1);
    master.SetJogValues(std::array<float, 9>{}.data());
    ExpectNoSetPointChange(3);

    // The first answer: closed. Nothing to reset; the program starts.
    protocol->inputsAnswered.store(true);
    Cycles(1);
    EXPECT_FALSE(master.IsEStopInputUnread());
    EXPECT_FALSE(master.IsEStopLatched());
    EXPECT_EQ(log.Count(kEStopLine), 0);
    EXPECT_FALSE(Live().DOut[4]);
    master.StartProgram();
    EXPECT_TRUE(CyclesUntilMoving());
    master.StopProgram(IPO::STOP_USER);
}

TEST_F(SafetyTest, AnOpenFirstAnswerIsTheOpeningOnce) {
    protocol->inputsAnswered.store(false);
    OpenCircuit();
    TestSupport::LogCapture log;
    Cycles(3);
    EXPECT_EQ(log.Count(kEStopLine), 0);
    protocol->inputsAnswered.store(true);
    Cycles(3);
    EXPECT_EQ(log.Count(kEStopLine), 1);
    EXPECT_TRUE(Live().DOut[4]);
    EXPECT_TRUE(master.IsEStopLatched());
    EXPECT_FALSE(master.IsEStopInputUnread());
}

// ---------------------------------------------------------------- a start against the latch

TEST_F(SafetyTest, ConcurrentOpeningWhileAStartWaitsForThePlannerLeavesTheProgramStopped) {
    protocol->motorsEnabled.store(true);
    LoadRun();
    Cycles(1);
    IPO& main = master.GetMainInterpreter();
    // A planning thread of the last run that cannot finish: the start waits for it after
    // its first latch check.
    DataTypes::RobotState state = Live();
    main.GetPathGenerator()->SetFirstCmd(IpoTestAccess::Programs(main)[0].commands[0], &state, 0, -2);
    std::unique_lock<std::mutex> busy(PathGeneratorTestAccess::Mutex(*main.GetPathGenerator()));
    main.GetPathGenerator()->ComputePathStartThread();
    ASSERT_TRUE(main.GetPathGenerator()->IsThreadRunning());

    TestSupport::LogCapture log;
    std::atomic<bool> returned{false};
    std::thread start([&] {
        master.StartProgram();
        returned.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(returned.load()) << "the start did not wait for the planner";
    // The circuit opens meanwhile: the loop latches (and pauses nothing: no program runs).
    OpenCircuit();
    Cycles(2);
    ASSERT_TRUE(master.IsEStopLatched());
    const std::array<float, 9> held = SetPointNow();
    busy.unlock();
    start.join();
    EXPECT_FALSE(main.IsReplayRunning()) << "the program started against the latch";
    EXPECT_EQ(log.Count("RobotMaster: Start program requested but E-Stop detected"), 1);
    ExpectNoSetPointChange(5);

    // A release later moves nothing by itself.
    CloseCircuit();
    Cycles(1);
    master.Reset();
    master.EnableMotors(true);
    Cycles(30);
    EXPECT_FALSE(master.IsEStopLatched());
    EXPECT_FALSE(main.IsReplayRunning());
    EXPECT_EQ(SetPointNow(), held);
}

TEST_F(SafetyTest, ConcurrentLatchWhileAStartHoldsTheLatchLockLeavesTheProgramStopped) {
    // The start has passed its check under the lock and waits for the interpreter (another
    // thread holds it); the loop latches meanwhile without waiting for the start's lock.
    protocol->motorsEnabled.store(true);
    LoadRun();
    Cycles(1);
    IPO& main = master.GetMainInterpreter();
    HeldElsewhere<std::mutex> program(IpoTestAccess::ProgramMutex(main));
    std::thread start([&] { master.StartProgram(); });
    // Until the start holds the latch lock.
    ASSERT_TRUE(WaitFor([&] {
        std::unique_lock<std::mutex> probe(RobotMasterTestAccess::EStopMutex(master), std::try_to_lock);
        return !probe.owns_lock();
    }));
    const std::array<float, 9> held = SetPointNow();
    OpenCircuit();
    Cycles(1);  // latches; the start still holds the lock
    EXPECT_TRUE(master.IsEStopLatched());
    program.Release();
    start.join();
    Cycles(2);
    EXPECT_FALSE(main.IsReplayRunning()) << "the program runs against the latch";
    ExpectNoSetPointChange(5);
    EXPECT_EQ(SetPointNow(), held);
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
        ReleaseBrake();
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

    // Other threads hold the command mutex and the interpreter's lock meanwhile.
    HeldElsewhere<std::recursive_mutex> command(RobotMasterTestAccess::CommandMutex(master));
    HeldElsewhere<std::mutex> program(IpoTestAccess::ProgramMutex(main));
    const std::array<float, 9> before = SetPointNow();
    protocol->SetErrorText("OverCurrent");
    Cycles(1);  // reads the drive error at its end
    EXPECT_TRUE(main.IsReplayRunning());
    Cycles(1);  // raises the error stop
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED) << "paused within one cycle";
    EXPECT_EQ(SetPointNow(), before);
    Cycles(3);
    EXPECT_EQ(main.GetRunState(), IPO::RUNSTATE_PAUSED);
    program.Release();
    command.Release();

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
