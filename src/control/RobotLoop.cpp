// The robot loop: the thread, the two timing modes, the hold hand-over, idle passes, the
// exception guard of a full cycle, statistics and publishing. The steps of a full cycle
// are in RobotLoopMotion.cpp (set-points) and RobotLoopIO.cpp (I/O, safety, PLC
// interface).
#include "control/RobotLoop.h"

#include "control/RobotMaster.h"

#include "core/LogSingleton.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

namespace {

// Marks the calling thread as the loop of master for the duration of a cycle, so that
// commands called from inside it skip the hand-over, and sends the thread's log lines,
// messages, interpreter events and variable changes to the loop's outbox.
class LoopThreadMark {
public:
    LoopThreadMark(const RobotMaster* master, LoopOutbox& outbox);
    ~LoopThreadMark();

private:
    const RobotMaster* previous;
};

}  // namespace

// Defined here so that RobotMaster.cpp and the loop share one marker.
namespace robot_master_detail {
thread_local const RobotMaster* loopOwner = nullptr;
}

namespace {

LoopThreadMark::LoopThreadMark(const RobotMaster* master, LoopOutbox& outbox)
    : previous(robot_master_detail::loopOwner) {
    robot_master_detail::loopOwner = master;
    IPO::SetNoStopWaitOnThisThread(true);  // stops from inside the cycle do not sleep
    LogSingleton::SetThreadSink(&outbox);
    IPO::SetEffectSinkOnThisThread(&outbox);
}

LoopThreadMark::~LoopThreadMark() {
    robot_master_detail::loopOwner = previous;
    IPO::SetNoStopWaitOnThisThread(previous != nullptr);
    // Cycles do not nest across two masters: the thread's sinks end with the cycle.
    LogSingleton::SetThreadSink(nullptr);
    IPO::SetEffectSinkOnThisThread(nullptr);
}

LogSingleton* Log() { return LogSingleton::instance(); }

constexpr std::uint64_t kIdlePassMicros = 50000;
constexpr std::uint64_t kMode1SleepMarginMicros = 2000;
constexpr std::uint64_t kMode2SpinMicros = 3000;
constexpr std::uint64_t kMode2StepMicros = 1000;
// A held cycle in timing mode 2 waits this long instead of spinning.
constexpr std::uint64_t kHeldCycleMicros = 1000;
constexpr int kStatisticsCycles = 50;
constexpr std::uint64_t kStatisticsMaxElapsedMs = 50000;
constexpr float kDirectionHysteresis = 0.1f;

}  // namespace

void* threadRobotLoop(void* master) {
    static_cast<RobotMaster*>(master)->ThreadRobotLoop();
    return nullptr;
}

bool IsJogRequested(const float* values) {
    for (int i = 0; i < RobotMaster::kNrJoints; ++i) {
        if (std::fabs(values[i]) > 0.001f) return true;
    }
    return false;
}

bool RobotMaster::IsLoopThread() const { return robot_master_detail::loopOwner == this; }

void RobotMaster::StartMainLoop() {
    if (loopThread.joinable()) return;
    stopFlag.store(false);
    loopRunning.store(true);
    loopOutbox.Start();
    loopThread = std::thread([this] { threadRobotLoop(this); });
}

void RobotMaster::StopMainLoop() {
    stopFlag.store(true);
    if (loopThread.joinable()) {
        if (loopThread.get_id() == std::this_thread::get_id()) {
            loopThread.detach();  // a command on the loop itself: the loop ends after it
        } else {
            loopThread.join();
        }
    }
    loopRunning.store(false);
    {
        std::lock_guard<std::mutex> lock(holdAckMutex);
    }
    holdAckCondition.notify_all();
    loopOutbox.Stop();

    // The load workers end with the loop; a later request starts new ones.
    namedLoads.Stop();
    {
        std::lock_guard<std::mutex> lock(loadMutex);
        loadStop = true;
    }
    loadCondition.notify_all();
    if (loadThread.joinable() && loadThread.get_id() != std::this_thread::get_id()) {
        loadThread.join();
    }
    std::lock_guard<std::mutex> lock(loadMutex);
    loadStop = false;
    loadPending = false;
}

void RobotMaster::ThreadRobotLoop() {
    loop.Run();
    loopRunning.store(false);
    {
        std::lock_guard<std::mutex> lock(holdAckMutex);
    }
    holdAckCondition.notify_all();
}

bool RobotMaster::RunCycle(LoopClock& clock) { return loop.RunCycle(clock); }

void RobotMaster::FullCycleWork() { loop.FullCycleWork(); }

void RobotMaster::ApplyRequests() { loop.ApplyRequests(); }

RobotLoop::RobotLoop(RobotMaster& master) : m(master) {
    for (DOutTargetState& s : loopDoutOnError) s = DOutNoChange;
}

void RobotLoop::Run() {
    // Named so that its CPU share can be found in /proc.
    pthread_setname_np(pthread_self(), "RobotLoop");
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    Log()->add("RobotMainLoop is executing at priority", param.sched_priority);

    MonotonicLoopClock clock;
    loopStamped = false;
    StampLoopStart(clock);
    while (RunCycle(clock)) {
    }
    Log()->addConsole("RobotMainLoop stopped");
}

void RobotLoop::StampLoopStart(LoopClock& clock) {
    // Room for any drive state text, so that reading it never allocates in a cycle.
    errorTextLong.reserve(256);
    errorTextShort.reserve(64);
    {
        std::lock_guard<std::mutex> lock(m.publishMutex);
        m.liveState.errorText.reserve(64);
        m.liveState.previousErrorText.reserve(64);
        m.publishedState.errorText.reserve(64);
    }
    const std::uint64_t now = clock.NowMicros();
    cycleStartUs = now;
    workStartUs = now;
    statsStartUs = now;
    statsCycleCount = 0;
    loopStamped = true;
}

bool RobotLoop::RunCycle(LoopClock& clock) {
    if (m.stopFlag.load()) return false;
    {
        LoopThreadMark mark(&m, m.loopOutbox);
        CycleBody(clock);
    }
    // Without a worker (a test stepping the loop) the cycle's lines and events go out here.
    if (!m.loopOutbox.IsWorkerRunning()) m.loopOutbox.DeliverEffects();
    return true;
}

void RobotLoop::CycleBody(LoopClock& clock) {
    if (!loopStamped) StampLoopStart(clock);
    if (LogSingleton::instance()->get_opMode() != OPMODE_NORMAL) {
        RunIdlePass(clock);
        return;
    }
    idleDisconnected = false;

    // 64 bits: CycleTimeMS x 1200 does not fit an int for long periods.
    const std::uint64_t period =
        static_cast<std::uint64_t>(std::max(1, m.CycleTimeMS.load())) * 1000ULL;
    const int mode = m.TimingMode.load();
    if (mode == 1) WaitTimingMode1(clock, period);

    // The hold is read once, before any hardware work; the requests counter first, so a
    // hold counted in it is also seen as held.
    const std::uint64_t requested = m.holdRequests.load();
    if (m.IsHeld()) {
        m.AcknowledgeHold(requested);
        // Held cycles in mode 2 would otherwise follow each other without any wait.
        if (mode == 2) clock.SleepUntilMicros(clock.NowMicros() + kHeldCycleMicros);
    } else {
        mode2Waited = false;
        profile.Begin(clock.NowMicros());
        CycleSteps(clock);
        // A stand-in cycle or one cut short by an exception still keeps the period.
        if (mode == 2 && !mode2Waited) WaitTimingMode2(clock, period);
    }

    UpdateStatistics(clock);
    PublishState();
    const std::uint64_t end = clock.NowMicros();
    profile.Mark(LoopStepProfile::Publish, end);
    profile.End(end);
    if (m.IsHeld()) m.AcknowledgeHold(m.holdRequests.load());  // the cycle's work is done
}

void RobotLoop::CycleSteps(LoopClock& clock) {
    // Steps 5..20. Whatever is thrown ends the cycle's work here; the loop goes on.
    cycleClock = &clock;
    try {
        m.FullCycleWork();  // a test's stand-in may replace the steps
    } catch (const std::exception& e) {
        LoopException(e.what());
    } catch (int code) {
        char text[32];
        std::snprintf(text, sizeof text, "%d", code);
        LoopException(text);
    } catch (...) {
        LoopException("unknown exception");
    }
    cycleClock = nullptr;
}

void RobotLoop::FullCycleWork() {
    LoopClock& clock = *cycleClock;
    const std::uint64_t now = clock.NowMicros();
    setPointStepDone = false;
    restoreSetPoint = false;
    outputsSent = false;
    resendOutputs = false;
    ApplyRequests();
    RefreshLoopCopies();
    // Stops posted in an earlier cycle whose interpreter lock was busy then.
    m.mainIpo.ServiceCycleRequests();
    m.moveToIpo.ServiceCycleRequests();
    m.logicIpo.ServiceCycleRequests();
    // The e-stop input is read afresh before anything acts: an opening stops the motion
    // in the cycle that first sees it.
    if (m.IsValidIONum(loopBrake.eStopDInChannel)) ReadEStopInput();
    for (int i = 0; i < kNrJoints; ++i) cycleJog[i] = m.jogValues[i].load();
    profile.Mark(LoopStepProfile::Requests, clock.NowMicros());

    m.hardware->SendSync();                              // 5
    profile.Mark(LoopStepProfile::Sync, clock.NowMicros());
    m.liveState.override = m.overrideValue.load();         // 6
    UpdateOperationMode();                             // 7
    ReferenceAllStep(now);                             // 8
    DelayedBrakeStep(now);                             // 9
    ErrorChangeStep();                                 // 10
    if (m.stateMachineActive.load()) {                   // 11
        m.stateMachine.ProcessFSM(m.liveState);
    }
    profile.Mark(LoopStepProfile::Modes, clock.NowMicros());
    m.kinematic->GetJoints(preSetPointJoints);
    // While the set-points follow the drives (after a connect) there is no step to take back.
    if (!FollowMeasuredStep()) {
        SetPointStep();                                // 12
        setPointStepDone = true;
    }
    profile.Mark(LoopStepProfile::SetPoint, clock.NowMicros());
    LogicProgramStep();                                // 13
    profile.Mark(LoopStepProfile::Logic, clock.NowMicros());
    ToolStep();                                        // 14
    PLCOutputsStep();                                  // 15
    DigitalGripperStep();
    DigitalIOStep();                                   // 16
    EStopStep(m.liveState.DIn);
    PLCInputSignalsStep();                             // 17
    ProcessPLCTriggers();                              // 18
    profile.Mark(LoopStepProfile::IO, clock.NowMicros());
    const std::uint64_t period =
        static_cast<std::uint64_t>(std::max(1, m.CycleTimeMS.load())) * 1000ULL;
    ReadBackStep(clock, period);                       // 19
    profile.Mark(LoopStepProfile::ReadBack, clock.NowMicros());
    HardwareExchangeStep();                            // 20
    profile.Mark(LoopStepProfile::Exchange, clock.NowMicros());
}

void RobotLoop::LoopException(const char* text) {
    Log()->addFormat("ROBOTMASTER LOOP EXCEPTION: %s", text);
    char line[LoopOutbox::kEffectText];
    std::snprintf(line, sizeof line, "Error in Main Loop: %s", text);
    m.loopOutbox.PostConsole(line);
}

void RobotLoop::WaitTimingMode1(LoopClock& clock, std::uint64_t period) {
    const std::uint64_t now = clock.NowMicros();
    RecordCycleTime(now - cycleStartUs);
    cycleStartUs = now;
    busyTimeSum += static_cast<float>(now - workStartUs);

    // The next whole multiple of the period, always later than now.
    const std::uint64_t wake = now + period - now % period;
    if (!m.PreciseTiming && wake > now + kMode1SleepMarginMicros) {
        clock.SleepUntilMicros(wake - kMode1SleepMarginMicros);
    }
    clock.SpinUntilMicros(wake);
    workStartUs = clock.NowMicros();
}

void RobotLoop::WaitTimingMode2(LoopClock& clock, std::uint64_t period) {
    mode2Waited = true;
    const std::uint64_t now = clock.NowMicros();
    profile.Mark(LoopStepProfile::ReadBack, now);
    busyTimeSum += static_cast<float>(now - workStartUs);
    const std::uint64_t deadline = cycleStartUs + period;
    std::uint64_t t = now;
    while (t < deadline) {
        if (!m.PreciseTiming && deadline - t > kMode2SpinMicros) {
            clock.SleepUntilMicros(t + kMode2StepMicros);
        } else {
            clock.SpinUntilMicros(deadline);
        }
        t = clock.NowMicros();
    }
    profile.Mark(LoopStepProfile::Wait, t);
    const std::uint64_t actual = t - cycleStartUs;
    cycleStartUs = t;
    workStartUs = t;
    if (actual > static_cast<std::uint64_t>(std::max(1, m.CycleTimeMS.load())) * 1200ULL) {
        Log()->addFormat("RobotMaster::Loop - CycleTime exceeded: %lld us",
                         static_cast<long long>(actual));
    }
    RecordCycleTime(actual);
}

void RobotLoop::RecordCycleTime(std::uint64_t actual) {
    const int us = static_cast<int>(std::min<std::uint64_t>(actual, 0x7fffffffULL));
    if (us > m.maxCycleTime.load()) m.maxCycleTime.store(us);
    if (us < m.minCycleTime.load()) m.minCycleTime.store(us);
}

void RobotLoop::UpdateStatistics(LoopClock& clock) {
    if (++statsCycleCount < kStatisticsCycles) return;
    statsCycleCount = 0;
    const std::uint64_t now = clock.NowMicros();
    const std::uint64_t elapsed = now - statsStartUs;
    statsStartUs = now;
    const std::uint64_t elapsedMs = elapsed / 1000;
    // The first pass after a long idle phase updates nothing.
    if (elapsedMs >= kStatisticsMaxElapsedMs || elapsed == 0) return;

    m.frequency.store(static_cast<float>(50000000.0 / static_cast<double>(elapsed)));
    const double period50 = static_cast<double>(std::max(1, m.CycleTimeMS.load())) * 50000.0;
    m.workload.store(static_cast<float>(busyTimeSum / period50));
    busyTimeSum = 0.0f;
    // This pass also runs in held cycles, while a command may write the live state under
    // publishMutex: the live state is read and written here under it too.
    bool ready;
    float sets[kNrJoints];
    {
        std::lock_guard<std::mutex> lock(m.publishMutex);
        // Read by the outbox worker (a file read has no place in the cycle); last value here.
        m.liveState.cpuTemp = m.loopOutbox.CpuTemperature();
        ready = IsDriveReady();
        std::copy(std::begin(m.liveState.jointSet), std::end(m.liveState.jointSet), sets);
    }
    m.loopOutbox.RequestTemperature();

    LogSingleton* log = Log();
    const unsigned ms = static_cast<unsigned>(elapsedMs);
    log->IncreaseSystemVariables(SV_UpTimeComplete, ms);
    if (!ready) return;
    log->IncreaseSystemVariables(SV_UpTimeEnabled, ms);
    float movement = 0.0f;
    for (int axis = 0; axis < kNrJoints; ++axis) {
        const float set = sets[axis];
        movement += std::fabs(set - statsLastSet[axis]);
        statsLastSet[axis] = set;
        const float d = set - statsTurningPoint[axis];
        if (d > 0.0f && !statsDirectionUp[axis]) {
            if (d > kDirectionHysteresis) {
                log->IncreaseSystemVariables(SV_DirChangesJ1 + axis, 1);
                statsTurningPoint[axis] = set;
                statsDirectionUp[axis] = true;
            }
        } else if (d < 0.0f && statsDirectionUp[axis]) {
            if (d < -kDirectionHysteresis) {
                log->IncreaseSystemVariables(SV_DirChangesJ1 + axis, 1);
                statsTurningPoint[axis] = set;
                statsDirectionUp[axis] = false;
            }
        } else {
            statsTurningPoint[axis] = set;
        }
    }
    if (movement > 0.1f) log->IncreaseSystemVariables(SV_UpTimeMotion, ms);
}

void RobotLoop::RunIdlePass(LoopClock& clock) {
    const std::uint64_t requested = m.holdRequests.load();
    if (m.IsHeld()) {
        m.AcknowledgeHold(requested);
    } else if (LogSingleton::instance()->get_opMode() == OPMODE_SERIOUS_FAILURE &&
               !idleDisconnected && m.hardware && m.hardware->GetConnectionStatus()) {
        m.hardware->Disconnect();
        idleDisconnected = true;
    }
    PublishState();
    clock.SleepUntilMicros(clock.NowMicros() + kIdlePassMicros);
}

void RobotLoop::PublishState() {
    std::lock_guard<std::mutex> lock(m.publishMutex);
    m.publishedState = m.liveState;
}

void RobotLoop::ApplyRequests() {
    DataTypes::RobotState& live = m.liveState;
    const std::uint32_t ioChange = m.requests.ioChange.load();
    if (ioChange != appliedIoChange) {
        appliedIoChange = ioChange;
        for (int i = 0; i < DataTypes::RobotState::maxIOs; ++i) {
            const std::uint8_t r = m.requests.dout[i].exchange(LoopRequests::kNone);
            if (r != LoopRequests::kNone) live.DOut[i] = r == LoopRequests::kOn;
        }
        for (int i = 0; i < DataTypes::RobotState::maxSignals; ++i) {
            const std::uint8_t r = m.requests.gsig[i].exchange(LoopRequests::kNone);
            if (r != LoopRequests::kNone) live.GSig[i] = r == LoopRequests::kOn;
        }
    }
    if (m.requests.gripperPending.exchange(false) && m.kinematic) {
        m.kinematic->tool.SetTargetValue(m.requests.gripperPercent.load());
        m.kinematic->tool.UpdateNoVel();
    }
    // Order: store, reset, set, restore (see LoopRequests).
    if (m.requests.storeProgramVelocities.exchange(false)) {
        for (int j = 6; j < kNrJoints; ++j) live.jointVelProgram[j] = live.jointVel[j];
    }
    if (m.requests.resetVelocities.exchange(false)) {
        for (float& v : live.jointVel) v = 0.0f;
    }
    if (m.requests.velocitiesPending.exchange(false)) {
        for (int e = 0; e < kNrExternalAxes; ++e) {
            live.jointVel[6 + e] = m.requests.velocities[e].load();
        }
    }
    if (m.requests.restoreProgramVelocities.exchange(false)) {
        for (int j = 6; j < kNrJoints; ++j) {
            live.jointVel[j] = live.jointVelProgram[j];
            live.jointVelProgram[j] = 0.0f;
        }
    }
    if (m.requests.resetJointRamp.exchange(false)) m.jogRampJoint.Reset();
    if (m.requests.resetCartRamp.exchange(false)) m.jogRampCart.Reset();
}
