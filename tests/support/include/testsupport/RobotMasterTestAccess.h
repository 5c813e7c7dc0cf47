#pragma once

// The one way tests and benches reach into the robot master's fields: its locks, the live
// state, the loop's requests and the settings read from the robot file.

#include "control/RobotMaster.h"

class RobotMasterTestAccess {
public:
    // Locks, the live state and its published copy (both under publishMutex), the requests.
    static auto& CommandMutex(RobotMaster& m) { return m.commandMutex; }
    static auto& PublishMutex(RobotMaster& m) { return m.publishMutex; }
    static auto& LiveState(RobotMaster& m) { return m.liveState; }
    static auto& PublishedState(RobotMaster& m) { return m.publishedState; }
    static auto& Requests(RobotMaster& m) { return m.requests; }

    // Loop control and timing.
    static auto& InitHold(RobotMaster& m) { return m.initHold; }
    static auto& CycleTimeMs(RobotMaster& m) { return m.CycleTimeMS; }
    static auto& TimingMode(RobotMaster& m) { return m.TimingMode; }
    static auto& PreciseTiming(RobotMaster& m) { return m.PreciseTiming; }
    static auto& LastMainRunState(RobotMaster& m) { return m.lastMainRunState; }
    static auto& ReferenceAllActive(RobotMaster& m) { return m.referenceAllActive; }
    static auto& BrakeReleasePending(RobotMaster& m) { return m.brakeReleasePending; }
    static auto& LastEStopInput(RobotMaster& m) { return m.lastEStopInput; }
    static auto& EStopMutex(RobotMaster& m) { return m.eStopMutex; }
    static auto& EStopLatched(RobotMaster& m) { return m.eStopLatched; }
    // Stores the brake settings past the e-stop check (a change that passed it just before
    // the loop latched).
    static void StoreBrakeSettingsUnchecked(RobotMaster& m, const BrakeSettings& s) {
        std::lock_guard<std::mutex> lock(m.brakeSettingsMutex);
        m.brakeSettings = s;
        m.brakeSettingsChange.fetch_add(1);
    }
    static auto& StateMachineActive(RobotMaster& m) { return m.stateMachineActive; }
    static auto& SavedMotionType(RobotMaster& m) { return m.savedMotionType; }
    static auto& MotionMode(RobotMaster& m) { return m.motionType; }
    static auto& Frequency(RobotMaster& m) { return m.frequency; }

    // Jog.
    static auto& JogValues(RobotMaster& m) { return m.jogValues; }
    static auto& JogWatchdog(RobotMaster& m) { return m.jogWatchdog; }
    static auto& JogVelJoint(RobotMaster& m) { return m.jogVelJoint; }
    static auto& JogVelCart(RobotMaster& m) { return m.jogVelCart; }
    static auto& JogVelOri(RobotMaster& m) { return m.jogVelOri; }
    static auto& JogAccelerationActive(RobotMaster& m) { return m.jogAccelerationActive; }
    static auto& JogAccelerations(RobotMaster& m) { return m.jogAccelerations; }
    static auto& JogJointAccelerations(RobotMaster& m) { return m.jogJointAccelerations; }
    static auto& JogJointDecelerations(RobotMaster& m) { return m.jogJointDecelerations; }

    // Configuration read from the robot file.
    static auto& Kinematic(RobotMaster& m) { return m.kinematic; }
    static auto& KinematicType(RobotMaster& m) { return m.kinematicType; }
    static auto& ProtocolName(RobotMaster& m) { return m.protocolName; }
    static auto& DebugMode(RobotMaster& m) { return m.DebugMode; }
    static auto& IgnoreConsistencyCheck(RobotMaster& m) { return m.IgnoreConsistencyCheck; }
    static auto& FunctionButtonRefAll(RobotMaster& m) { return m.functionButtonRefAll; }
    static auto& OperationModesActive(RobotMaster& m) { return m.operationModesActive; }
    static auto& ManualModeMaxVel(RobotMaster& m) { return m.manualModeMaxVel; }
    static auto& DInEnableManualMotion(RobotMaster& m) { return m.dInEnableManualMotion; }
    static auto& DInOpModeAuto(RobotMaster& m) { return m.dInOpModeAuto; }
    static auto& GeneratorType(RobotMaster& m) { return m.generatorType; }
    static auto& LookAhead(RobotMaster& m) { return m.lookAhead; }
    static auto& SmoothDistCart(RobotMaster& m) { return m.smoothDistCart; }
    static auto& SmoothDistJoint(RobotMaster& m) { return m.smoothDistJoint; }
    static auto& JointMaxVelocity(RobotMaster& m) { return m.jointMaxVelocity; }
    static auto& HomePosition(RobotMaster& m) { return m.homePosition; }
    static auto& ZeroTorqueAllowed(RobotMaster& m) { return m.zeroTorqueAllowed; }

    // Lists the loop copies when their change counters move.
    static auto& ExternalAxes(RobotMaster& m) { return m.externalAxes; }
    static auto& ExternalAxisDefined(RobotMaster& m) { return m.externalAxisDefined; }
    static auto& ExternalAxesChange(RobotMaster& m) { return m.externalAxesChange; }
    static auto& PLCTriggersChange(RobotMaster& m) { return m.plcTriggersChange; }

    // Robot-file write-back requests.
    static auto& RobotFileFirstRequest(RobotMaster& m) { return m.robotFileFirstRequest; }
    static auto& RobotFileLastRequest(RobotMaster& m) { return m.robotFileLastRequest; }
};
