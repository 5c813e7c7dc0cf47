#pragma once

// The robot of the loop timing runs, also used by the CONFIG bench: a Cartesian three-axis
// arm on version-2 drives (CAN IDs 16, 32, 48), in <root>/Data/Robots/LoopTiming/, and the
// robot master started on it, reset and enabled, so that every cycle sends its set-points.

#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace LoopTiming {

// Below Data/Robots/ of the root.
inline const char* const kRobotFile = "LoopTiming/LoopTiming.xml";

inline std::string RobotXml(int cycleMs) {
    return "<?xml version=\"1.0\"?>\n<Robot>\n"
           "  <BusConfiguration Protocol=\"JXRCANV2\" CycleTimeMS=\"" + std::to_string(cycleMs) +
           "\" GapMS=\"0\" SyncGapMS=\"0\" UsePDOs=\"true\">\n"
           "    <Joints NrOfJoints=\"3\"/>\n"
           "    <Joint0 ID=\"16\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "    <Joint1 ID=\"32\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "    <Joint2 ID=\"48\" GearScale=\"100\" GearZero=\"0\" GearPlay=\"0\" GearPlayInc=\"0\"/>\n"
           "  </BusConfiguration>\n"
           "  <Kinematic Type=\"Cartesian3Axis\" lx=\"600\" ly=\"400\" lz=\"200\"/>\n"
           "  <SoftwareMinMax A1Min=\"-5\" A1Max=\"500\" A2Min=\"-5\" A2Max=\"500\" A3Min=\"-5\" A3Max=\"300\"/>\n"
           "  <JointVelocities A1=\"80\" A2=\"80\" A3=\"60\"/>\n"
           "  <JointAccelerations A1=\"400\" A2=\"400\" A3=\"300\"/>\n"
           "  <JointAccelerationIncs A1=\"800\" A2=\"800\" A3=\"600\"/>\n"
           "  <CartVelocities VelTrans=\"300\" VelOri=\"120\"/>\n"
           "  <CartAccelerations AccLin=\"1200\" AccLinInc=\"2400\" AccOri=\"900\" AccOriInc=\"1800\"/>\n"
           "  <Belvanto DebugMode=\"false\"/>\n"
           "  <Referencing Mandatory=\"false\"/>\n"
           "</Robot>\n";
}

// Writes the robot file below root; returns its path.
inline std::string WriteRobotFile(const std::string& root, int cycleMs) {
    const std::string path = root + "/Data/Robots/" + kRobotFile;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << RobotXml(cycleMs);
    return path;
}

// The robot master on the robot file (the drives must be on the bus), connected, reset and
// enabled; empty, with the log's reason in error, when it did not start.
inline std::unique_ptr<RobotMaster> StartRobot(int cycleMs, int timingMode, std::string& error) {
    auto master = std::make_unique<RobotMaster>();
    master->Init("robot", "LoopTiming", kRobotFile);
    if (LogSingleton::instance()->get_opMode() != OPMODE_NORMAL) {
        error = LogSingleton::instance()->get_seriousFailReason();
        return nullptr;
    }
    RobotMasterTestAccess::CycleTimeMs(*master).store(cycleMs);
    RobotMasterTestAccess::TimingMode(*master).store(timingMode);
    master->GetHardware()->Connect();
    master->FinishInit();
    master->Reset();
    master->EnableMotors(true);
    return master;
}

}  // namespace LoopTiming
