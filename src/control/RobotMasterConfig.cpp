// The robot configuration file: loop, bus choice, I/O and application sections, and the
// write-back of brake, e-stop and software limits.
#include "control/Display4DS.h"
#include "control/RobotMaster.h"

#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/XmlNumber.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A fault that stops the read: error line, numbered reason, operation mode 1.
int Fault(int result, const std::string& line, const char* reason) {
    Log()->SeriousFailure(line, reason);
    return result;
}

std::string MissingAttribute(const char* attribute, const char* element) {
    return std::string("RobotMaster: attribute \"") + attribute + "\" not found in line \"" +
           element + "\" of robot ini file!";
}

// Reads a float attribute into value. "nan" and "inf" parse as floats, but a jog speed or
// ramp built on them gives NaN set-points even at rest: such a value is refused, logged,
// and value keeps what it held. Returns whether value was replaced.
bool QueryFinite(const tinyxml2::XMLElement* e, const char* attribute, const char* element,
                 float& value) {
    const XmlNumber::Status status = XmlNumber::Query(*e, attribute, value);
    if (status == XmlNumber::Status::NotFinite) {
        Log()->addError(std::string("RobotMaster: attribute \"") + attribute + "\" in line \"" +
                        element + "\" of robot ini file is not a finite number, ignored");
        return true;  // present: no "not found" line
    }
    return status == XmlNumber::Status::Finite;
}

// Reads a float attribute into value; logs the "not found" line (error or information).
void ReadFloat(const tinyxml2::XMLElement* e, const char* attribute, const char* element,
               float& value, bool asError) {
    if (QueryFinite(e, attribute, element, value)) return;
    if (asError) {
        Log()->addError(MissingAttribute(attribute, element));
    } else {
        Log()->add(MissingAttribute(attribute, element));
    }
}

}  // namespace

int RobotMaster::ReadConfigFile(const std::string& path) {
    LogSingleton* log = Log();
    robotFilePath = path;

    {
        std::ifstream probe(path);
        if (!probe.is_open()) {
            return Fault(2, "RobotMaster: could not find robot ini file: " + path,
                         "31 Robot Ini file not found");
        }
    }
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        return Fault(3, "RobotMaster: could not read robot ini file XML code correctly: " + path,
                     "32 Robot Ini file not valid");
    }

    tinyxml2::XMLElement* root = doc.FirstChildElement("Robot");
    if (root == nullptr) {
        return Fault(4, "RobotMaster: line Robot not found in robot ini file!",
                     "33 Robot Ini file not complete");
    }
    const tinyxml2::XMLElement* bus = root->FirstChildElement("BusConfiguration");
    if (bus == nullptr) {
        return Fault(5, "RobotMaster: line BusConfiguration not found in robot ini file!",
                     "34 Robot Ini file not complete");
    }
    const char* protocol = bus->Attribute("Protocol");
    if (protocol == nullptr) {
        protocolName = "JXRCANV2";
        return Fault(6,
                     "RobotMaster: attribute Protocol not found in line BusConfiguration of robot "
                     "ini file!",
                     "35 Robot Ini file not complete");
    }
    protocolName = protocol;

    int cycleTime = 0;
    bus->QueryIntAttribute("CycleTimeMS", &cycleTime);
    if (cycleTime < 1) {
        return Fault(7,
                     "RobotMaster: attribute CycleTimeMS not found in line BusConfiguration of "
                     "robot ini file!",
                     "36 Robot Ini file not complete");
    }
    CycleTimeMS.store(cycleTime);

    int timing = 0;
    bus->QueryIntAttribute("TimingMode", &timing);
    TimingMode.store(timing == 1 || timing == 2 ? timing : 0);
    UpdateTimingMode();

    if (const char* precise = bus->Attribute("PreciseTiming")) {
        const std::string value = Lower(precise);
        PreciseTiming = value == "true" || value == "1";
        if (PreciseTiming) {
            log->add("RobotMaster: Using precise timing. Warning, this can cause heavy CPU load.");
        }
    }

    const tinyxml2::XMLElement* kin = root->FirstChildElement("Kinematic");
    if (kin == nullptr) {
        return Fault(8, "RobotMaster: line Kinematic not found in robot ini file!",
                     "37 Robot Ini file not complete");
    }
    const char* type = kin->Attribute("Type");
    if (type == nullptr) {
        return Fault(9,
                     "RobotMaster: attribute \"Type\" not found in line \"Kinematic\" of robot ini "
                     "file!",
                     "38 Robot Ini file not complete");
    }
    kinematicType = type;
    // Brake and e-stop are taken as one value: the loop copies them whole.
    BrakeSettings brakeEStop = GetBrakeSettings();
    brakeEStop.brakeDOutChannel = -1;

    if (const tinyxml2::XMLElement* brake = root->FirstChildElement("Brake")) {
        bool active = false;
        if (brake->QueryBoolAttribute("Active", &active) != tinyxml2::XML_SUCCESS) {
            log->addError(MissingAttribute("Active", "Brake"));
        }
        if (active) {
            brake->QueryIntAttribute("DelayMS", &brakeEStop.brakeDelayMS);
            int channel = -1;
            brake->QueryIntAttribute("DOutChannel", &channel);
            if (channel >= 0) {
                brakeEStop.brakeDOutChannel = channel;
                log->addFormat("RobotMaster: Brake functionality activated on DOut %d with delay "
                               "%d ms",
                               channel + 1, brakeEStop.brakeDelayMS);
            } else {
                log->addError("RobotMaster: Brake functionality NOT activated! Attribute "
                              "\"DOutChannel\" not found in line \"Brake\" of robot ini file!");
            }
        } else {
            log->add("RobotMaster: Brake functionality NOT activated.");
        }
    } else {
        log->addError("RobotMaster: line \"Brake\" not found in robot ini file!");
    }

    int& eStopDInChannel = brakeEStop.eStopDInChannel;
    if (const tinyxml2::XMLElement* estop = root->FirstChildElement("EStopMonitoring")) {
        estop->QueryIntAttribute("DInChannel", &eStopDInChannel);
        if (eStopDInChannel < -1 || eStopDInChannel > 63) eStopDInChannel = -1;
        if (eStopDInChannel >= 0) {
            log->addFormat("RobotMaster: EStop monitoring enabled, using DIn %d",
                           eStopDInChannel + 1);
        }
    } else {
        eStopDInChannel = -1;
    }
    SetBrakeSettings(brakeEStop);

    DebugMode = false;
    if (const tinyxml2::XMLElement* app = root->FirstChildElement("Belvanto")) {
        if (app->QueryBoolAttribute("DebugMode", &DebugMode) != tinyxml2::XML_SUCCESS) {
            log->addError(MissingAttribute("DebugMode", "Belvanto"));
        }
        if (const char* port = app->Attribute("DisplayPort")) {
            displayPort = port;
        } else {
            log->addError(MissingAttribute("DisplayPort", "Belvanto"));
        }
        if (app->Attribute("JogBias") != nullptr) {
            int bias = 0;
            if (app->QueryIntAttribute("JogBias", &bias) == tinyxml2::XML_SUCCESS) {
                Display4DS::jogBias.store(bias);
            } else {
                log->addError("RobotMaster: Could not parse JogBias value");
            }
        }
        if (const char* button = app->Attribute("FunctionButtonRefAll")) {
            functionButtonRefAll = button;
            log->add("RobotMaster: FunctionButtonRefAll set to: " + functionButtonRefAll);
        } else {
            log->addError("RobotMaster: attribute \"FunctionButtonRefAll\" (refall, settozero, "
                          "alignmotors)  not found in line \"Belvanto\" of robot ini file. "
                          "Preset: refall.");
        }
        IgnoreConsistencyCheck = false;
        if (app->QueryBoolAttribute("IgnoreConsistencyCheck", &IgnoreConsistencyCheck) ==
            tinyxml2::XML_SUCCESS) {
            log->add(IgnoreConsistencyCheck
                         ? "RobotMaster: flagIgnoreConsistencyCheck set to true"
                         : "RobotMaster: flagIgnoreConsistencyCheck set to false");
        } else {
            log->addError("RobotMaster: attribute \"IgnoreConsistencyCheck\" (true, false) not "
                          "found in line \"Belvanto\" of robot ini file! Preset: false");
        }
        mainIpo.SetIgnoreConsistencyCheck(IgnoreConsistencyCheck);
    } else {
        log->addError("RobotMaster: line \"Belvanto\" not found in robot ini file!");
    }

    bool optimize = true;
    int slicingMS = 50;
    if (const tinyxml2::XMLElement* pg = root->FirstChildElement("PathGeneration")) {
        auto missing = [&](const char* attribute) {
            log->addError(MissingAttribute(attribute, "PathGeneration"));
        };
        if (pg->QueryBoolAttribute("Optimize", &optimize) != tinyxml2::XML_SUCCESS) {
            missing("Optimize");
        }
        if (pg->QueryIntAttribute("SlicingMS", &slicingMS) != tinyxml2::XML_SUCCESS) {
            missing("SlicingMS");
        }
        if (pg->QueryIntAttribute("LookAhead", &lookAhead) != tinyxml2::XML_SUCCESS) {
            missing("LookAhead");
        }
        if (const char* generator = pg->Attribute("GeneratorType")) {
            generatorType = std::string(generator) == "02Linear" ? PATHGEN_LINEAR : PATHGEN_JOINT;
        } else {
            missing("GeneratorType");
        }
        if (!QueryFinite(pg, "SmoothDistCart", "PathGeneration", smoothDistCart)) {
            missing("SmoothDistCart");
        }
        if (!QueryFinite(pg, "SmoothDistJoint", "PathGeneration", smoothDistJoint)) {
            missing("SmoothDistJoint");
        }
    } else {
        log->addError("RobotMaster: line \"PathGeneration\" not found in robot ini file!");
    }
    log->set_pathGeneratorFlagOptimize(optimize);
    log->set_pathGeneratorSlicingMS(slicingMS);

    float jogCart = 200.0f;
    float jogOri = 45.0f;
    float jogJoint = 1.0f;
    if (const tinyxml2::XMLElement* vel = root->FirstChildElement("Velocities")) {
        ReadFloat(vel, "JogCart", "Velocities", jogCart, false);
        ReadFloat(vel, "JogOri", "Velocities", jogOri, false);
        ReadFloat(vel, "JogJoint", "Velocities", jogJoint, false);
    } else {
        log->add("RobotMaster: line \"Velocities\" not found in robot file! Using default jog "
                 "velocities.");
    }
    for (int i = 0; i < 3; ++i) {
        jogVelCart[i] = jogCart;
        jogVelOri[i] = jogOri;
    }
    jogVelJoint = jogJoint;
    log->addFormat("RobotMaster: JogVelocities: JogCart=%.2f, JogOri=%.2f, JogJoint=%.2f",
                   jogCart, jogOri, jogJoint);

    if (const tinyxml2::XMLElement* acc = root->FirstChildElement("AccelerationJog")) {
        static const char* const kCommon[6] = {
            "AccelJogJointDegPerSec2", "FastDecelJogJointDegPerSec2", "AccelJogCartMMPerSec2",
            "FastDecelJogCartMMPerSec2", "AccelJogCartDegPerSec2",    "FastDecelJogCartDegPerSec2"};
        for (int i = 0; i < 6; ++i) {
            ReadFloat(acc, kCommon[i], "AccelerationJog", jogAccelerations[i], false);
        }
        for (int j = 0; j < kNrJoints; ++j) {
            jogJointAccelerations[j] = jogAccelerations[0];
            jogJointDecelerations[j] = jogAccelerations[1];
        }
        for (int j = 0; j < kNrJoints; ++j) {
            char name[8];
            const char axis = j < 6 ? 'A' : 'E';
            const int index = j < 6 ? j : j - 6;
            std::snprintf(name, sizeof(name), "AJJ%c%d", axis, index);
            QueryFinite(acc, name, "AccelerationJog", jogJointAccelerations[j]);
            std::snprintf(name, sizeof(name), "DJJ%c%d", axis, index);
            QueryFinite(acc, name, "AccelerationJog", jogJointDecelerations[j]);
        }
        if (acc->QueryBoolAttribute("Active", &jogAccelerationActive) != tinyxml2::XML_SUCCESS) {
            log->addError(MissingAttribute("Active", "AccelerationJog"));
        }
    } else {
        log->add("RobotMaster: line \"AccelerationJog\" not found in robot file! Using default "
                 "mechanism.");
    }
    if (jogAccelerationActive) {
        log->addFormat("RobotMaster: JogAccelerations/FastDecay: Active=%d Joint=%.2f/%.2f "
                       "[deg/s2], Cart=%.2f/%.2f [mm/s2], CartOri=%.2f/%.2f [deg/s2]",
                       1, jogAccelerations[0], jogAccelerations[1], jogAccelerations[2],
                       jogAccelerations[3], jogAccelerations[4], jogAccelerations[5]);
    }

    if (const tinyxml2::XMLElement* zt = root->FirstChildElement("ZeroTorque")) {
        bool any = false;
        for (int j = 0; j < kNrZeroTorqueJoints; ++j) {
            char name[8];
            std::snprintf(name, sizeof(name), "A%d", j + 1);
            const char* value = zt->Attribute(name);
            zeroTorqueAllowed[j] = value != nullptr && Lower(value) == "true";
            any = any || zeroTorqueAllowed[j];
        }
        if (any) {
            const bool* a = zeroTorqueAllowed;
            log->addFormat("RobotMaster: Zero Torque mode enabled for joints: %d %d %d %d %d %d "
                           "%d %d %d",
                           a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
        } else {
            log->add("RobotMaster: Zero Torque not enabled for any joint");
        }
    } else {
        log->add("RobotMaster: line \"ZeroTorque\" not found in robot file! Disabling Zero Torque "
                 "mode.");
    }
    return 0;
}

bool RobotMaster::UpdateConfigurationFile(bool requested) {
    if (!kinematic) return true;
    std::lock_guard<std::mutex> lock(robotFileMutex);
    LogSingleton* log = Log();

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.LoadFile(robotFilePath.c_str()) != tinyxml2::XML_SUCCESS) {
        log->addError("RobotMaster: Updating robot configuration: Could not parse configuration "
                      "file correctly: " +
                      robotFilePath);
        return false;
    }
    tinyxml2::XMLElement* root = doc.FirstChildElement("Robot");
    if (root == nullptr) {
        log->addError("RobotMaster: line Robot not found in robot configuration file!");
        return false;
    }

    kinematic->UpdateConfigurationFile(&doc, root);

    const BrakeSettings brakeEStop = GetBrakeSettings();
    tinyxml2::XMLElement* brake = root->FirstChildElement("Brake");
    if (brake == nullptr) brake = root->InsertNewChildElement("Brake");
    brake->SetAttribute("Active", brakeEStop.brakeDOutChannel >= 0 ? "True" : "False");
    brake->SetAttribute("DOutChannel", brakeEStop.brakeDOutChannel);
    brake->SetAttribute("DelayMS", static_cast<unsigned>(brakeEStop.brakeDelayMS));

    tinyxml2::XMLElement* estop = root->FirstChildElement("EStopMonitoring");
    if (estop == nullptr) {
        estop = doc.NewElement("EStopMonitoring");
        root->InsertAfterChild(brake, estop);
    }
    estop->SetAttribute("DInChannel", brakeEStop.eStopDInChannel);

    // The limits as handed over, whole: a change meanwhile is written whole or not at all.
    float limits[RobotKinematic::maxJoints][2] = {};
    kinematic->GetPublishedMinMaxValues(limits);
    tinyxml2::XMLElement* minMax = root->FirstChildElement("SoftwareMinMax");
    if (minMax == nullptr) minMax = root->InsertNewChildElement("SoftwareMinMax");
    const int joints = std::min(kinematic->nrOfJoints, 6);
    if (joints <= 0) log->add("RobotKinematic: UpdateConfigurationFile not implemented for this kinematic");
    for (int j = 0; j < joints; ++j) {
        char name[16];
        std::snprintf(name, sizeof(name), "A%dMin", j + 1);
        minMax->SetAttribute(name, limits[j][0]);
        std::snprintf(name, sizeof(name), "A%dMax", j + 1);
        minMax->SetAttribute(name, limits[j][1]);
    }

    tinyxml2::XMLPrinter printer(nullptr, false);
    doc.Print(&printer);
    // Atomic replace: a crash mid-write never leaves a broken robot file behind.
    if (!Filesystem::WriteFileAtomic(robotFilePath, printer.CStr(),
                                     static_cast<size_t>(printer.CStrSize() - 1))) {
        const std::string why = std::strerror(errno);
        // Stays pending: the main loop's check writes it once writing works again, so the
        // limits in use and the file never drift apart unnoticed.
        const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
        if (robotFileFirstRequest == 0) robotFileFirstRequest = now;
        robotFileLastRequest = now;
        const bool first = robotFileWriteFailures.Failed();
        if (first) {
            log->addError("RobotMaster: Updating robot configuration: could not write " + robotFilePath + ": " +
                          why + "; trying again");
        }
        // The client whose change could not be saved hears of it.
        if (first || requested) {
            log->ServerSetMessage("Robot file " + robotFilePath + " could not be saved (" + why +
                                  "), trying again");
        }
        return false;
    }
    log->addFormat("RobotMaster: robot configuration file %s updated", robotFilePath.c_str());
    if (robotFileWriteFailures.Ended() > 0) {
        log->add("RobotMaster: robot configuration file " + robotFilePath + " saved after failed writes");
        log->ServerSetMessage("Robot file " + robotFilePath + " saved after failed writes");
    }
    // Whatever was pending is in the file now.
    robotFileFirstRequest = 0;
    robotFileLastRequest = 0;
    return true;
}

void RobotMaster::QueueUpdateRobotFile() { UpdateConfigurationFile(true); }

bool RobotMaster::WritePendingRobotFile() {
    {
        std::lock_guard<std::mutex> lock(robotFileMutex);
        if (robotFileFirstRequest == 0) return true;
        robotFileFirstRequest = 0;
        robotFileLastRequest = 0;
    }
    if (UpdateConfigurationFile()) return true;
    Log()->addError("RobotMaster: pending change of robot configuration file " + robotFilePath + " not saved");
    return false;
}

void RobotMaster::UpdateConfiguration() { UpdateConfiguration(static_cast<std::int64_t>(time(nullptr))); }

void RobotMaster::UpdateConfiguration(std::int64_t now) {
    {
        std::lock_guard<std::mutex> lock(robotFileMutex);
        if (robotFileFirstRequest == 0) return;
        if (now - robotFileFirstRequest <= robotFileDelayFirstS &&
            now - robotFileLastRequest <= robotFileDelayLastS) {
            return;
        }
        robotFileFirstRequest = 0;
        robotFileLastRequest = 0;
    }
    UpdateConfigurationFile();
}
