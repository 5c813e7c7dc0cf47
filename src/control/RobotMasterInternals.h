#pragma once

// RobotMaster's own helpers outside its members (the command helpers, the EM67 host, the
// loop's copies of the trigger and axis lists, the start permission) reach its fields
// here. Private to the control layer: nothing outside it includes this.

#include "control/RobotMaster.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class RobotMasterInternals {
public:
    static std::recursive_mutex& CommandMutex(RobotMaster& m) { return m.commandMutex; }
    static LoopRequests& Requests(RobotMaster& m) { return m.requests; }

    // The loop's live state and the published copy, both under publishMutex.
    static std::mutex& PublishMutex(const RobotMaster& m) { return m.publishMutex; }
    static DataTypes::RobotState& LiveState(RobotMaster& m) { return m.liveState; }
    static const DataTypes::RobotState& PublishedState(const RobotMaster& m) { return m.publishedState; }

    // PLC triggers and external-axis slots: changed under the command mutex.
    static const std::vector<PLCTrigger::PLCInterfaceTrigger>& PLCTriggers(const RobotMaster& m) {
        return m.plcTriggers;
    }
    static int PLCTriggerCount(const RobotMaster& m) { return m.plcTriggerCount; }
    static std::uint32_t PLCTriggersChange(const RobotMaster& m) { return m.plcTriggersChange.load(); }
    static bool ExternalAxisDefined(const RobotMaster& m, int n) { return m.externalAxisDefined[n]; }
    static const ExternalAxis& ExternalAxisSlot(const RobotMaster& m, int n) { return m.externalAxes[n]; }
    static std::uint32_t ExternalAxesChange(const RobotMaster& m) { return m.externalAxesChange.load(); }

    // EM67 host.
    static std::atomic<bool>& StateMachineActive(RobotMaster& m) { return m.stateMachineActive; }
    static MotionType SavedMotionType(const RobotMaster& m) { return m.savedMotionType.load(); }
    static int CycleTimeMs(const RobotMaster& m) { return m.CycleTimeMS.load(); }

    // Start permission.
    static bool DebugMode(const RobotMaster& m) { return m.DebugMode; }
    static bool ReferenceAllActive(const RobotMaster& m) { return m.referenceAllActive.load(); }
};
