// RobotMaster: construction, start-up, the command lock and the hold hand-over.
#include "control/RobotMaster.h"

#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "kinematics/RobotKinematicNull.h"
#include "kinematics/RobotKinematicPivra4.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

}  // namespace

// ---------------------------------------------------------------- error callback

void IPOErrorFunc(void* context, IPO* ipo, bool resetOutputs) {
    static_cast<RobotMaster*>(context)->IPOError(ipo, resetOutputs);
}

// ---------------------------------------------------------------- CommandLock

CommandLock::CommandLock(RobotMaster& m) : master(m) {
    if (master.IsLoopThread()) {
        acquired = master.commandMutex.try_lock();
    } else {
        master.commandMutex.lock();
        acquired = true;
    }
}

CommandLock::~CommandLock() {
    if (acquired) master.commandMutex.unlock();
}

// ---------------------------------------------------------------- HoldScope

HoldScope::HoldScope(RobotMaster& m, int waitBeforeMs, int afterMs)
    : master(m), waitAfterMs(afterMs), onLoopThread(m.IsLoopThread()) {
    if (onLoopThread) return;
    acknowledged = master.BeginHold();
    RobotMaster::wait(waitBeforeMs);
}

HoldScope::~HoldScope() {
    if (onLoopThread) return;
    RobotMaster::wait(waitAfterMs);
    master.EndHold();
}

void HoldScope::Wait(int ms) const {
    if (!onLoopThread) RobotMaster::wait(ms);
}

// ---------------------------------------------------------------- RobotMaster

RobotMaster::RobotMaster() {
    for (int i = 0; i < DataTypes::RobotState::maxIOs; ++i) {
        doutOnReset[i].store(DOutNoChange);
        doutOnError[i].store(DOutNoChange);
    }
    minCycleTime.store(99999999);

    // 1. the state machine knows this object and the main interpreter;
    stateMachine.SetOwner(this, &mainIpo);
    // 2. each interpreter reports errors here, stops the state machine first and shares
    //    the program variables;
    for (IPO* ipo : {&mainIpo, &logicIpo, &moveToIpo}) {
        ipo->SetErrorCallback(&IPOErrorFunc, this);
        ipo->SetStateMachine(&stateMachine);
        ipo->SetMemory(&programMemory);
    }
    // 3. move-to runs single motions;
    moveToIpo.SetReplayMode(IPO::REPLAY_SINGLE);
    // 4. the logic interpreter knows the main one and runs under its own name.
    logicIpo.SetMainInterpreter(&mainIpo);
    logicIpo.SetName("LogicIPO");
}

RobotMaster::~RobotMaster() {
    StopMainLoop();
    initHold.store(true);
    // The protocol goes first: it points to the kinematic.
    if (hardware) {
        hardware->Disconnect();
        hardware.reset();
    }
}

void RobotMaster::wait(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string RobotMaster::GetDisplayPortDefault() const { return displayPort; }

std::string RobotMaster::GetFunctionButtonRefAll() const { return functionButtonRefAll; }

void RobotMaster::SetExternalJointVelocitySource(ExternalJointVelocitySource* source) {
    externalVelocitySource = source;
}

ExternalJointVelocitySource& RobotMaster::GetExternalJointVelocitySource() const {
    static ExternalJointVelocitySource none;
    return externalVelocitySource != nullptr ? *externalVelocitySource : none;
}

void RobotMaster::SetHardwareProtocol(std::unique_ptr<Hardware::HardwareProtocol> protocol) {
    CommandLock lock(*this);
    HoldScope hold(*this, 0, 0);
    if (hardware) hardware->Disconnect();
    hardware = std::move(protocol);
    if (hardware) hardware->SetShutdownRequestHandler([this] { loopOutbox.RequestShutdown(); });
    // Only a connect of this protocol puts the loop's set-points on the measured joints.
    connectTakenOver.store(hardware ? hardware->GetConnectCount() : 0);
}

DataTypes::RobotState RobotMaster::GetRobotState() const {
    std::lock_guard<std::mutex> lock(publishMutex);
    return publishedState;
}

// ---------------------------------------------------------------- hold hand-over

bool RobotMaster::BeginHold() {
    // Raise the hold before the ticket: a loop that reads the ticket then also sees the hold.
    holdDepth.fetch_add(1);
    const std::uint64_t ticket = holdRequests.fetch_add(1) + 1;
    if (!loopRunning.load()) {
        AcknowledgeHold(ticket);
        return true;
    }
    // Give the loop a few of its cycles (a cycle may overrun), at least a second.
    const int cycle = std::max(1, CycleTimeMS.load());
    const auto bound = std::chrono::milliseconds(std::max<long long>(
        kHoldAckMinimumMs, 5LL * cycle + 100));
    std::unique_lock<std::mutex> lock(holdAckMutex);
    const bool ok = holdAckCondition.wait_for(lock, bound, [&] {
        return holdAcknowledged.load() >= ticket || !loopRunning.load();
    });
    if (!ok) {
        Log()->addError("RobotMaster: robot loop did not acknowledge the hold in time");
    }
    return ok;
}

void RobotMaster::EndHold() { holdDepth.fetch_sub(1); }

void RobotMaster::AcknowledgeHold(std::uint64_t requested) {
    std::uint64_t seen = holdAcknowledged.load();
    if (seen >= requested) return;
    while (seen < requested && !holdAcknowledged.compare_exchange_weak(seen, requested)) {
    }
    // Taking the mutex for the notification closes the window between a waiter's test and
    // its sleep; waiters hold it only while they test, so the loop never waits long.
    { std::lock_guard<std::mutex> lock(holdAckMutex); }
    holdAckCondition.notify_all();
}

// ---------------------------------------------------------------- start-up

void RobotMaster::Init(const std::string& robotNameIn, const std::string& robotTypeIn,
                       const std::string& robotFile) {
    robotName = robotNameIn;
    robotType = robotTypeIn;
    // Whatever the outcome, other threads read the limits and the box of the kinematic made here.
    struct PublishOnReturn {
        RobotMaster& master;
        ~PublishOnReturn() {
            if (master.kinematic) master.kinematic->PublishLimitsAndBox();
        }
    } publish{*this};

    const std::string fullPath = Log()->get_rootPath() + "Data/Robots/" + robotFile;
    int result;
    if (!Filesystem::IsSafeRelativePath(robotFile)) {
        // A type that climbs out of the robots folder is treated as a missing file.
        robotFilePath = fullPath;
        Log()->SeriousFailure("RobotMaster: could not find robot ini file: " + fullPath, "31 Robot Ini file not found");
        result = 2;
    } else {
        result = ReadConfigFile(fullPath);
    }

    mainIpo.SetVelocitySetting(VelocitySetting);
    logicIpo.SetVelocitySetting(VelocitySetting);
    for (IPO* ipo : {&mainIpo, &logicIpo, &moveToIpo}) {
        ipo->InitPathGen(generatorType, smoothDistCart, smoothDistJoint, lookAhead);
    }

    if (result != 0) {
        // Reason and operation mode are set; keep objects that callers can use.
        kinematic = std::make_unique<RobotKinematicPivra4>();
        hardware = Hardware::HardwareProtocol::Create("JXRCANV2", kinematic.get());
        return;
    }

    Log()->addFormat("RobotMaster: %d ms cycle time", CycleTimeMS.load());

    jogRampJoint.Init(jogAccelerationActive, CycleTimeMS.load(), jogJointAccelerations,
                      jogJointDecelerations);
    jogRampCart.Init(jogAccelerationActive, CycleTimeMS.load(), jogAccelerations[2],
                     jogAccelerations[3], jogAccelerations[4], jogAccelerations[5]);

    kinematic = RobotKinematic::Create(kinematicType);
    if (!kinematic) {
        // Unknown types and "Parallel2Axis" (no variant exists) end here.
        Log()->SeriousFailure("RobotMaster: could not recognize robot type " + kinematicType, "10 robot type unknown");
        kinematic = std::make_unique<RobotKinematicNull>();
        hardware = std::make_unique<Hardware::HardwareProtocol>(kinematic.get());
        return;
    }
    kinematic->Init(robotName, robotType, fullPath, VelocitySetting);

    // Create logs the unknown name and sets reason 11 itself.
    hardware = Hardware::HardwareProtocol::Create(protocolName, kinematic.get());
    if (!hardware) {
        hardware = std::make_unique<Hardware::HardwareProtocol>(kinematic.get());
        return;
    }
    hardware->Init(robotName, robotType, fullPath);

    Log()->add(" ");
    Log()->add(DebugMode ? "Belvanto DebugMode: On" : "Belvanto DebugMode: Off");
    Log()->add("Set to true to run without or with partial hardware. Tag \"DebugMode\" in line "
               "\"Belvanto\", robot ini file.");
    Log()->add(" ");

    InitGripper(Log()->get_robotGripper());

    wait(20);

    kinematic->cycleTimeMS = static_cast<double>(CycleTimeMS.load());
    for (int j = 0; j < kNrJoints; ++j) {
        kinematic->currentJoints[j] = 0.0f;
    }
    for (int j = 0; j < kNrJoints; ++j) {
        liveState.jointSet[j] = kinematic->currentJoints[j];
        jointMaxVelocity[j] = kinematic->jointMaxVelocity[j];
    }
    {
        std::lock_guard<std::mutex> lock(publishMutex);
        publishedState = liveState;
    }
    wait(1);
}

void RobotMaster::FinishInit() {
    wait(1);

    LogSingleton* log = Log();
    operationModesActive = log->operationModesActive;
    manualModeMaxVel = log->manualMaxVelMMPerSec;
    dInOpModeAuto = log->dInOpModeAuto;
    dInEnableManualMotion = log->dInEnableMotionInManualMode;
    if (operationModesActive) {
        log->addFormat("RobotMaster: OperationModes: Active=%d ManualModeMaxVel=%.2f [mm/s]   "
                       "DInCh-Auto: %d  DInCh-EnableManualMotion: %d",
                       operationModesActive ? 1 : 0, manualModeMaxVel, dInOpModeAuto,
                       dInEnableManualMotion);
    }

    if (!kinematic) {
        // Init was not called: keep the objects that the loop and the commands use valid.
        kinematic = std::make_unique<RobotKinematicNull>();
    }
    if (!hardware) hardware = std::make_unique<Hardware::HardwareProtocol>(kinematic.get());
    // The drives' power-off request is seen in the cycle: its shut-down runs on the outbox's
    // shut-down thread, as the PLC's does, so the loop never waits for it.
    hardware->SetShutdownRequestHandler([this] { loopOutbox.RequestShutdown(); });

    SyncJointVelData();

    // What other threads and the copies read of the limits and the box, as they stand now.
    kinematic->PublishLimitsAndBox();
    for (IPO* ipo : {&mainIpo, &logicIpo, &moveToIpo}) {
        if (PathGenerator* generator = ipo->GetPathGenerator()) generator->SetKinematic(kinematic->clone());
    }

    // The program variables get a kinematic of their own. Their inverse kinematics starts
    // from "#position" (the loop writes it under the memory's lock), never from the live
    // state, which the loop changes while client threads convert.
    programMemory.SetKinematic(kinematic->clone());
    programMemory.SeedFromPosition();
    programMemory.SetVariablePos("#position", liveState, false, Programs::ContentUnchanged);

    programMemory.SetVariableSingle("#parts-good", log->PartsGood.load(), false);
    programMemory.SetVariableSingle("#parts-bad", log->PartsBad.load(), false);

    StartMainLoop();
    initHold.store(false);
}

double RobotMaster::GetJointMaxVelocity(int joint) const {
    return joint >= 0 && joint < kNrJoints ? jointMaxVelocity[joint] : 0.0;
}

void RobotMaster::SyncJointVelData() {
    if (!kinematic) return;
    for (int j = 0; j < kNrJoints; ++j) {
        jointMaxVelocity[j] = kinematic->jointMaxVelocity[j];
        jointMaxAcceleration[j] = kinematic->jointMaxAcceleration[j];
        jointAccelerationIncrease[j] = kinematic->jointMaxAccelerationInc[j];
    }
    cartesianLimits[0] = kinematic->VelTrans;
    cartesianLimits[1] = kinematic->AccLin;
    cartesianLimits[2] = kinematic->AccLinInc;
    cartesianLimits[3] = kinematic->VelOri;
    cartesianLimits[4] = kinematic->AccOri;
    cartesianLimits[5] = kinematic->AccOriInc;
    {
        CommandLock lock(*this);
        for (int e = 0; e < kNrExternalAxes; ++e) {
            if (!externalAxisDefined[e]) continue;
            jointMaxVelocity[6 + e] = externalAxes[e].VelMax;
            jointMaxAcceleration[6 + e] = externalAxes[e].Acc;
            jointAccelerationIncrease[6 + e] = externalAxes[e].AccInc;
        }
    }
    // The interpreters take the kinematic's own arrays, not the external-axis values.
    for (IPO* ipo : {&mainIpo, &logicIpo, &moveToIpo}) {
        ipo->InitJointMaxValues(kinematic->jointMaxVelocity, kinematic->jointMaxAcceleration,
                                kinematic->jointMaxAccelerationInc,
                                static_cast<float>(kinematic->VelTrans),
                                static_cast<float>(kinematic->AccLin),
                                static_cast<float>(kinematic->AccLinInc), kinematic->VelOri,
                                kinematic->AccOri, kinematic->AccOriInc);
    }
}
