#include "control/ProjectManager.h"

#include "control/RobotMaster.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "core/StringHelper.h"
#include "core/XmlNumber.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

void Fail(const std::string& line, const std::string& reason) { Log()->SeriousFailure(line, reason); }

std::string Slashes(const char* text) {
    std::string s = text != nullptr ? text : "";
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

bool Readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

// Whole text as a decimal int, nothing else around it.
bool ParseInt(const char* text, int& value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
    value = static_cast<int>(v);
    return true;
}

// Up to nine finite numbers separated by blanks; false on anything else.
bool ParseHomepos(const char* text, double (&values)[9], int& count) {
    count = 0;
    const char* p = text;
    while (true) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') return true;
        if (count == 9) return false;
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || errno == ERANGE || !std::isfinite(v)) return false;
        if (*end != '\0' && *end != ' ' && *end != '\t') return false;
        values[count++] = v;
        p = end;
    }
}

void SetPLCDefaults(PLCInterfaceNumbers& plc) {
    plc.Active = false;
    plc.AutoConnect = false;
    for (int* n : {&plc.RequestReferenceNumber, &plc.EnableNumber, &plc.PlayNumber, &plc.PauseNumber,
                   &plc.StartMissionNumber, &plc.ShutdownNumber, &plc.AltStartNumber, &plc.AltStopNumber,
                   &plc.AddJointNumber, &plc.AddLinearNumber, &plc.NoFaultNumber, &plc.RobotIsReferenced,
                   &plc.MissionRunningNumber, &plc.FaultNumber, &plc.ProgramNotRunningNumber,
                   &plc.ProgramRunningNumber}) {
        *n = -1;
    }
    for (int i = 0; i < 9; ++i) {
        plc.JointToRef[i] = -1;
        plc.RefDelay[i] = 5;
    }
}

bool LowerIsTrue(const char* text) { return text != nullptr && StringHelper::ToLower(text) == "true"; }

}  // namespace

ProjectManager::ProjectManager(ProjectLinks::CloudSettings* cloudIn)
    : cloud(cloudIn != nullptr ? cloudIn : &ownCloud) {
    clock = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
}

void ProjectManager::SetModbus(ProjectLinks::ModbusSettings* m) { modbus = m != nullptr ? m : &ownModbus; }
void ProjectManager::SetCameras(ProjectLinks::CameraSettings* c) { cameras = c != nullptr ? c : &ownCameras; }
void ProjectManager::SetClock(Clock c) { clock = std::move(c); }

void ProjectManager::wait(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ProjectManager::TranslateXmlError(tinyxml2::XMLError code, std::string& text) {
    static const char* const texts[] = {
        "no attribute", "wrong attribute type", "file not found", "file could not be opened",
        "file read error", "element mismatch", "error parsing element", "error parsing attribute",
        "error identifiying tag", "error parsing text", "error parsing data", "error parsing comment",
        "error parsing declaration", "error parsing unknown", "empty document", "mismatched element",
        "error parsing", "can not convert text", "no text node"};
    const int n = static_cast<int>(code);
    if (n == 0) {
        text.clear();
        return true;
    }
    text = (n >= 1 && n <= 19) ? texts[n - 1] : "unknown error";
    return false;
}

int ProjectManager::QueryIntAttribOrDefault(const tinyxml2::XMLElement* element, const char* name,
                                            int defaultValue) {
    int value = defaultValue;
    if (element == nullptr || element->QueryIntAttribute(name, &value) != tinyxml2::XML_SUCCESS) {
        return defaultValue;
    }
    return value;
}

// ---------------------------------------------------------------- front-end file

int ProjectManager::OpenProject(RobotMaster* master) {
    frontendFailed = false;
    std::string name;
    const int result = ReadFrontend(name);
    if (result != 0) {
        frontendFailed = true;
        return result;
    }
    return ReadProjectFile(name, master);
}

void ProjectManager::ApplyOpenFailure(int result) {
    if (result == 0) return;
    if (frontendFailed && (result == 4 || result == 5)) {
        Log()->set_seriousFailReason("2 JXRFrontend.xml not valid");
    }
    Log()->set_opMode(OPMODE_SERIOUS_FAILURE);
}

void ProjectManager::ApplyLogLimits(int fileCount, int entryCount) {
    Log()->SetLogFileCount(static_cast<unsigned>(std::max(fileCount, 0)));
    Log()->SetMaxEntries(static_cast<unsigned>(std::max(entryCount, 0)));
}

int ProjectManager::ReadFrontend(std::string& projectName) {
    const std::string path = Log()->get_rootPath() + "JXRFrontend.xml";
    try {
        Log()->add("Reading JXRFrontend.xml...");
        if (!Readable(path)) {
            Fail("File " + path + " not available! Aborting read()", "1 JXRFrontend.xml missing");
            return 1;
        }
        tinyxml2::XMLDocument doc;
        if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
            Fail("Could not read file JXRFrontend.xml correctly! Aborting! " + path, "2 JXRFrontend.xml not valid");
            return 2;
        }
        bool named = false;
        if (tinyxml2::XMLElement* root = doc.FirstChildElement("JXRModule")) {
            for (tinyxml2::XMLElement* e = root->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
                const std::string tag = e->Name();
                if (tag == "StartUp") {
                    if (const char* project = e->Attribute("Project")) {
                        projectName = project;
                        named = true;
                        Log()->add("");
                        Log()->addFormat("ProjectManager: loading project %s", project);
                        Log()->add("");
                    }
                } else if (tag == "Logging") {
                    ApplyLogLimits(QueryIntAttribOrDefault(e, "FileCount", Log()->GetLogFileCount()),
                                   QueryIntAttribOrDefault(e, "EntryCount",
                                                           static_cast<int>(Log()->GetMaxEntries())));
                }
            }
        }
        if (!named) {
            Fail("Error: File JXRFrontend.xml did not contain the project information, missing tag \"Project\" "
                 "in line \"StartUp\"?.",
                 "3 Project not named");
            return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        Log()->addError("Could not read " + path + ": " + e.what() + "!");
        return 4;
    } catch (...) {
        Log()->addError("Could not read " + path + "!");
        return 5;
    }
}

// ---------------------------------------------------------------- project file

int ProjectManager::ReadProjectFile(const std::string& nameIn, RobotMaster* master) {
    // A project without "PLCInterfaceRefSequence" must reference nothing, not joint 0 nine times.
    PLCInterfaceNumbers defaults;
    SetPLCDefaults(defaults);
    master->SetPLCInterfaceSettings(defaults);

    if (nameIn.empty()) {
        Fail("Project: empty project file name", "4 project file not found");
        return 1;
    }
    std::string name = Slashes(nameIn.c_str());
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    const std::string path = Log()->get_rootPath() + name;
    // A name that climbs out of the data root is treated as absent.
    if (!Filesystem::IsSafeRelativePath(name) || !Readable(path)) {
        Fail("Project: Could not find project file " + path, "4 project file not found");
        return 1;
    }
    projectFilePath = path;

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        Fail("Project: Could not parse xml project file correctly: " + path, "5 .prj not valid");
        return 2;
    }
    tinyxml2::XMLElement* root = doc.FirstChildElement("ProjectFile");
    if (root == nullptr) {
        Fail("Project: Line \"ProjectFile\" not found in project file!", "6 .prj file not complete");
        return 3;
    }

    const int robot = ReadRobotSection(root, master);
    if (robot != 0) return robot;

    // External axes.
    int axes = 0;
    for (tinyxml2::XMLElement* e = root->FirstChildElement("ExternalAxis"); e != nullptr;
         e = e->NextSiblingElement("ExternalAxis")) {
        ExternalAxis axis;
        if (!axis.ReadProjectElement(e)) return 6;
        master->SetExternalAxis(axis);
        ++axes;
    }
    if (axes == 0) Log()->add("Project: No ExternalAxis found in project file!");
    master->InitExternalJoints();
    Log()->add("");
    Log()->add("");

    // Digital I/O modules.
    tinyxml2::XMLElement* dio = root->FirstChildElement("DIOModule");
    if (dio == nullptr) Log()->addError("Project: Line \"DIOModule\" not found in project file!");
    for (; dio != nullptr; dio = dio->NextSiblingElement("DIOModule")) {
        const int id = QueryIntAttribOrDefault(dio, "ID", -1);
        if (id >= 0) {
            master->InitDIOModule(id);
        } else {
            Log()->addError("Project: CAN ID not found in DIOModule tag!");
        }
    }

    // Output target states.
    for (tinyxml2::XMLElement* e = root->FirstChildElement("DOut"); e != nullptr; e = e->NextSiblingElement("DOut")) {
        const char* numberText = e->Attribute("Number");
        if (numberText == nullptr) continue;
        int n = -1;
        if (!ParseInt(numberText, n) || !master->IsValidIONum(n)) {
            Log()->addFormat("Project: DOut Number \"%s\" is not an output 0..63, skipped", numberText);
            continue;
        }
        if (const char* s = e->Attribute("ResetState")) {
            master->SetDOutTargetStateOnReset(n, RobotMaster::DOutTargetStateFromString(s));
        }
        if (const char* s = e->Attribute("ErrorState")) {
            master->SetDOutTargetStateOnError(n, RobotMaster::DOutTargetStateFromString(s));
        }
    }

    ReadPLCInterface(root, master);
    ReadPLCTriggers(root, master);
    ReadOperationModes(root);

    if (tinyxml2::XMLElement* cams = root->FirstChildElement("Cameras")) {
        cameras->Read(*cams);
    } else {
        Log()->addError("Project: Line \"Cameras\" not found in project file! Cameras not active!");
    }

    const PLCInterfaceNumbers p = Log()->get_plcInterfaceNr();
    Log()->addFormat("PLC-Interface: Active = %d", p.Active ? 1 : 0);
    Log()->addFormat("PLC-Interface: Inputs:  Enable=%d, Reference=%d, Play=%d, Pause=%d", p.EnableNumber,
                     p.RequestReferenceNumber, p.PlayNumber, p.PauseNumber);
    Log()->addFormat("PLC-Interface: Inputs: AltStart=%d, AltStop=%d", p.AltStartNumber, p.AltStopNumber);
    Log()->addFormat("PLC-Interface, Inputs: AddJointCmd=%d, AddLinearCmd=%d, StartPltfMission", p.AddJointNumber,
                     p.AddLinearNumber);
    Log()->addFormat("PLC-Interface: Outputs: Fault=%d, NoFault=%d, Running=%d, NotRunning=%d, Referenced=%d",
                     p.FaultNumber, p.NoFaultNumber, p.ProgramRunningNumber, p.ProgramNotRunningNumber,
                     p.RobotIsReferenced);
    Log()->addFormat("PLC-Interface: Outputs: PltfMissionRunning=%d", p.MissionRunningNumber);
    Log()->addFormat("PLC-Interface: RefSequence: %d %d %d %d %d %d %d %d %d", p.JointToRef[0], p.JointToRef[1],
                     p.JointToRef[2], p.JointToRef[3], p.JointToRef[4], p.JointToRef[5], p.JointToRef[6],
                     p.JointToRef[7], p.JointToRef[8]);
    Log()->addFormat("PLC-Interface: RefDelay: %d %d %d %d %d %d %d %d %d", p.RefDelay[0], p.RefDelay[1],
                     p.RefDelay[2], p.RefDelay[3], p.RefDelay[4], p.RefDelay[5], p.RefDelay[6], p.RefDelay[7],
                     p.RefDelay[8]);

    ReadEnvironment(root);
    return 0;
}

int ProjectManager::ReadRobotSection(tinyxml2::XMLElement* root, RobotMaster* master) {
    tinyxml2::XMLElement* robot = root->FirstChildElement("Robot");
    if (robot == nullptr) {
        Fail("Project: Line \"Robot\" not found in project file!", "7 .prj file not complete");
        return 4;
    }
    const char* name = robot->Attribute("Name");
    if (name == nullptr) {
        Fail("Project: Attribute \"Name\" not found in line Robot of project file!", "8 .prj file not complete");
        return 5;
    }
    Log()->set_robotName(name);
    const char* typeText = robot->Attribute("Type");
    const std::string type = Slashes(typeText);
    if (typeText == nullptr || !Filesystem::IsSafeRelativePath(type)) {
        Fail("Project: Attribute \"Type\" not found in line Robot of project file!", "9 .prj file not complete");
        return 6;
    }
    Log()->set_robotType(type);
    if (const char* tool = robot->Attribute("Tool")) {
        Log()->set_robotGripper(tool);
    } else {
        Log()->set_robotGripper("");
        Log()->addError("Project: Attribute \"Tool\" not found - gripper not available!");
    }
    double home[9] = {};
    bool haveHome = false;
    if (const char* text = robot->Attribute("Homepos")) {
        int count = 0;
        if (ParseHomepos(text, home, count)) {
            haveHome = true;
            Log()->addFormat("Project: Read %d home position values: %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f",
                             count, home[0], home[1], home[2], home[3], home[4], home[5], home[6], home[7], home[8]);
        } else {
            std::fill(std::begin(home), std::end(home), 0.0);
            Log()->addError(std::string("Project: Attribute \"Homepos\" is not valid, ignored: ") + text);
        }
    }
    int velocitySetting = master->GetVelocitySetting();
    robot->QueryIntAttribute("VelocitySetting", &velocitySetting);
    master->SetVelocitySetting(velocitySetting);
    Log()->add("");
    Log()->add("*************************** ROBOT TYPE "
               "******************************************************************");
    Log()->addFormat("Project:    robotName: %s, robotType: %s, gripper: %s", name, type.c_str(),
                     Log()->get_robotGripper().c_str());
    if (velocitySetting == 2) {
        Log()->addFormat("            Configured for 48V open loop (VelocitySetting %d)", velocitySetting);
    } else {
        Log()->addFormat("            Configured for 24V open loop (VelocitySetting %d)", velocitySetting);
    }

    // Program.
    if (tinyxml2::XMLElement* program = root->FirstChildElement("Program")) {
        if (const char* file = program->Attribute("File")) {
            startProgram = Slashes(file);
        } else {
            Log()->addError("Project: Attribute \"File\" not found in line Program of project file!");
        }
        float value = -1.0f;
        program->QueryFloatAttribute("Override", &value);
        // -1 is the "not given" mark; other values, -5 included, are clamped.
        if (!std::isfinite(value) || value == -1.0f) {
            Log()->addError("Project: Attribute \"Override\" not found in line Program of project file!");
        } else {
            overrideValue = std::min(100.0f, std::max(0.0f, value));
        }
        program->QueryBoolAttribute("Repeat", &repeat);
        master->GetMainInterpreter().SetStopOnError(QueryIntAttribOrDefault(program, "DefaultState", 0) != 0);
        if (const char* file = program->Attribute("FileLogic")) {
            logicProgram = Slashes(file);
        } else {
            Log()->addError("Project: Attribute \"FileLogic\" not found in line Program of project file!");
        }
        char line[256];
        std::snprintf(line, sizeof(line), repeat ? "Project: Program:       %s  override %.1lf  mode: repeat"
                                                 : "Project: Program:       %s  override %.1lf  mode: single play",
                      startProgram.c_str(), static_cast<double>(overrideValue));
        Log()->add(line);
        Log()->addFormat("Project: Logic program: %s", logicProgram.c_str());
        Log()->add("");
    } else {
        Log()->addError("Project: Line \"Program\" not found in project file!");
    }

    // Virtual box, applied after the kinematic exists.
    bool boxActive = false;
    float box[6] = {};
    if (tinyxml2::XMLElement* vb = root->FirstChildElement("VirtualBox")) {
        const char* names[6] = {"xMin", "yMin", "zMin", "xMax", "yMax", "zMax"};
        // A NaN corner would switch the box check off: no comparison with it holds.
        const XmlNumber::FileNumbers numbers("Project", "project file", "5 .prj not valid");
        for (int i = 0; i < 6; ++i) numbers.Read(vb, names[i], box[i]);
        boxActive = LowerIsTrue(vb->Attribute("active"));
    }

    const std::string last = type.substr(type.rfind('/') + 1);
    master->Init(name, type, type + "/" + last + ".xml");
    if (haveHome) master->SetHomePos(home);
    if (RobotKinematic* kin = master->GetKinematic()) {
        kin->SetVirtualBox(boxActive, DataTypes::Vector3(box[0], box[1], box[2]),
                           DataTypes::Vector3(box[3], box[4], box[5]));
    }
    return 0;
}

void ProjectManager::ReadPLCInterface(tinyxml2::XMLElement* root, RobotMaster* master) {
    PLCInterfaceNumbers plc;
    SetPLCDefaults(plc);
    tinyxml2::XMLElement* base = root->FirstChildElement("PLCInterface");
    if (base == nullptr) {
        Log()->addError("Project: Line \"PLCInterface\" not found in project file! PLCInterface is not active!");
        master->SetPLCInterfaceSettings(plc);
        return;
    }
    base->QueryBoolAttribute("Active", &plc.Active);
    base->QueryBoolAttribute("AutoConnect", &plc.AutoConnect);
    auto companion = [&](const char* tag) {
        tinyxml2::XMLElement* e = root->FirstChildElement(tag);
        if (e == nullptr) {
            Log()->addError(std::string("Project: Line \"") + tag +
                            "\" not found in project file! PLCInterface is not active!");
            plc.Active = false;
        }
        return e;
    };
    if (tinyxml2::XMLElement* in = companion("PLCInterfaceIn")) {
        const std::pair<const char*, int*> fields[] = {
            {"RequestReferenceNumber", &plc.RequestReferenceNumber}, {"EnableNumber", &plc.EnableNumber},
            {"PlayNumber", &plc.PlayNumber}, {"PauseNumber", &plc.PauseNumber},
            {"StartMissionNumber", &plc.StartMissionNumber}, {"ShutdownNumber", &plc.ShutdownNumber},
            {"AltStartNumber", &plc.AltStartNumber}, {"AltStopNumber", &plc.AltStopNumber},
            {"AddJointNumber", &plc.AddJointNumber}, {"AddLinearNumber", &plc.AddLinearNumber}};
        for (const auto& f : fields) *f.second = QueryIntAttribOrDefault(in, f.first, -1);
    }
    if (tinyxml2::XMLElement* out = companion("PLCInterfaceOut")) {
        const std::pair<const char*, int*> fields[] = {
            {"NoFaultNumber", &plc.NoFaultNumber}, {"RobotIsReferenced", &plc.RobotIsReferenced},
            {"MissionRunningNumber", &plc.MissionRunningNumber}, {"FaultNumber", &plc.FaultNumber},
            {"ProgramNotRunningNumber", &plc.ProgramNotRunningNumber},
            {"ProgramRunningNumber", &plc.ProgramRunningNumber}};
        for (const auto& f : fields) *f.second = QueryIntAttribOrDefault(out, f.first, -1);
    }
    if (tinyxml2::XMLElement* seq = companion("PLCInterfaceRefSequence")) {
        for (int i = 0; i < 9; ++i) {
            plc.JointToRef[i] = QueryIntAttribOrDefault(seq, ("JointToRef" + std::to_string(i)).c_str(), -1);
            plc.RefDelay[i] = QueryIntAttribOrDefault(seq, ("RefDelay" + std::to_string(i)).c_str(), 5);
        }
    }
    master->SetPLCInterfaceSettings(plc);
}

void ProjectManager::ReadPLCTriggers(tinyxml2::XMLElement* root, RobotMaster* master) {
    for (tinyxml2::XMLElement* e = root->FirstChildElement("PLCTrigger"); e != nullptr;
         e = e->NextSiblingElement("PLCTrigger")) {
        bool active = true;
        e->QueryBoolAttribute("Active", &active);
        auto signal = PLCTrigger::PLCInterfaceTrigger::DIn;
        int channel = -1;
        const bool hasDIn = e->Attribute("DIn") != nullptr;
        const bool hasGSig = e->Attribute("GSig") != nullptr;
        if (hasDIn && hasGSig) {
            Log()->addError("Error in Project: PLCTrigger defines both DIn and GSig! Disabling trigger.");
            active = false;
        } else if (hasDIn) {
            channel = QueryIntAttribOrDefault(e, "DIn", -1);
        } else if (hasGSig) {
            signal = PLCTrigger::PLCInterfaceTrigger::GSig;
            channel = QueryIntAttribOrDefault(e, "GSig", -1);
        }
        auto target = PLCTrigger::PLCInterfaceTrigger::Program;
        const char* type = e->Attribute("Type");
        if (type == nullptr) {
            Log()->addError("Error in Project: PLCTrigger type not defined! Disabling trigger.");
            active = false;
        } else {
            const std::string lower = StringHelper::ToLower(type);
            if (lower == "mission") {
                target = PLCTrigger::PLCInterfaceTrigger::Mission;
            } else if (lower != "program") {
                Log()->addError("Error in Project: PLCTrigger type is invalid! Disabling trigger.");
                active = false;
            }
        }
        const char* name = e->Attribute("Name");
        if (name == nullptr) {
            Log()->addError("Error in Project: PLCTrigger program not defined! Disabling trigger.");
            active = false;
        }
        master->AddPLCTrigger(PLCTrigger::PLCInterfaceTrigger(active, signal, channel, target, name ? name : ""));
    }
    const auto triggers = master->GetPLCTriggers();
    Log()->addFormat("Project: %d PLC triggers loaded:", static_cast<int>(triggers.size()));
    for (size_t i = 0; i < triggers.size(); ++i) {
        Log()->addFormat("   Trigger %d: %s", static_cast<int>(i), triggers[i].ToString().c_str());
    }
}

void ProjectManager::ReadOperationModes(tinyxml2::XMLElement* root) {
    tinyxml2::XMLElement* e = root->FirstChildElement("OperationModes");
    if (e == nullptr) {
        Log()->addError("Project: Line \"OperationModes\" not found in project file! OperationModes is not active!");
        return;
    }
    LogSingleton* log = Log();
    auto missing = [&](const char* name) {
        log->addFormat("RobotMaster: attribute \"%s\" not found in line \"OperationModes\" of robot ini file!", name);
    };
    // A value that is no finite number counts as missing.
    if (!XmlNumber::ReadFinite(*e, "ManualMaxVelMMPerSec", log->manualMaxVelMMPerSec)) {
        missing("ManualMaxVelMMPerSec");
    }
    if (e->QueryIntAttribute("DInOpModeAuto", &log->dInOpModeAuto) != tinyxml2::XML_SUCCESS) missing("DInOpModeAuto");
    if (e->QueryIntAttribute("DInEnableMotionInManualMode", &log->dInEnableMotionInManualMode) !=
        tinyxml2::XML_SUCCESS) {
        missing("DInEnableMotionInManualMode");
    }
    if (e->QueryBoolAttribute("Active", &log->operationModesActive) != tinyxml2::XML_SUCCESS) missing("Active");
}

void ProjectManager::ReadEnvironment(tinyxml2::XMLElement* root) {
    tinyxml2::XMLElement* env = root->FirstChildElement("Environment");
    if (env == nullptr) return;

    if (tinyxml2::XMLElement* mb = env->FirstChildElement("ModbusServer")) {
        modbusEnabled.store(LowerIsTrue(mb->Attribute("Active")));
        modbus->SetPort(QueryIntAttribOrDefault(mb, "Port", 502));
        modbus->SetMaxConnections(static_cast<unsigned>(std::max(0, QueryIntAttribOrDefault(mb, "MaxConnections", 5))));
        Log()->add(modbusEnabled.load() ? "Project: ModbusServer enabled" : "Project: ModbusServer not enabled");
    } else {
        Log()->addError("Project: Line \"ModbusServer\" not found in project file! ModbusServer not active!");
    }

    tinyxml2::XMLElement* c = env->FirstChildElement("Cloud");
    if (c == nullptr) {
        Log()->add("Project: Line \"Cloud\" not found in project file! Cloud connection is not active!");
        return;
    }
    const char* credentials = c->Attribute("Credentials");
    const char* clientId = c->Attribute("ClientID");
    const char* robotName = c->Attribute("RobotName");
    const char* robotOwner = c->Attribute("RobotOwner");
    if (credentials == nullptr || clientId == nullptr || robotName == nullptr || robotOwner == nullptr) {
        Log()->add("Project: Line \"Cloud\" is incomplete! Cloud connection is not enabled!");
        return;
    }
    const bool enabled = LowerIsTrue(c->Attribute("Active"));
    const char* camEnv = c->Attribute("CameraEnvironmentName");
    const char* camWork = c->Attribute("CameraWorkareaName");
    Log()->addFormat("Project: Cloud connection: enabled='%s', clientID='%s', robotName='%s', robotOwner='%s', "
                     "cam environment='%s', cam workarea='%s'",
                     enabled ? "true" : "false", clientId, robotName, robotOwner, camEnv ? camEnv : "",
                     camWork ? camWork : "");
    cloud->SetClientId(clientId);
    cloud->SetEncryptedCredentials(credentials);
    cloud->SetRobotName(robotName);
    cloud->SetRobotOwner(robotOwner);
    cloud->SetEnabled(enabled);
    cloud->SetCameraEnvironment(camEnv ? camEnv : "");
    cloud->SetCameraWorkarea(camWork ? camWork : "");
}

// ---------------------------------------------------------------- write-back

std::int64_t ProjectManager::Now() const {
    // 0 means "none pending", so the clock never yields it.
    return std::max<std::int64_t>(1, clock());
}

void ProjectManager::QueueUpdateProjectFile() {
    const std::int64_t now = Now();
    // Last first: a reader that sees a pending first request also sees a last one.
    lastRequestMs.store(now);
    std::int64_t none = 0;
    firstRequestMs.compare_exchange_strong(none, now);
    requestSinceWrite.store(true);
}

void ProjectManager::UpdateConfiguration(RobotMaster* master, bool force) {
    // The main loop never blocks on a write; a forced write (power-off) waits for it, or
    // the last change would be lost.
    std::unique_lock<std::mutex> lock(writeMutex, std::defer_lock);
    if (force) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return;
    }
    const std::int64_t now = Now();
    const std::int64_t first = firstRequestMs.load();
    if (first == 0) return;
    const std::int64_t last = lastRequestMs.load();
    const bool due = force || now - first > kDebounceLimitS * 1000 || now - last > kDebounceQuietS * 1000;
    if (!due) return;
    // Cleared before the write: requests arriving meanwhile start a new period.
    firstRequestMs.store(0);
    lastRequestMs.store(0);
    const bool newRequests = requestSinceWrite.exchange(false);
    std::string failure;
    if (UpdateProjectFile(master, failure)) {
        if (writeFailures.Ended() > 0) {
            const std::string text = "Project file " + projectFilePath + " saved after failed writes";
            Log()->add("ProjectManager: " + text);
            Log()->ServerSetMessage(text);
        }
        return;
    }
    if (failure.empty()) return;  // nothing was written, and writing again would not help
    // Stays pending with its first request time, so the next check (every status pass)
    // tries again; the settings in use and the file must not drift apart.
    std::int64_t none = 0;
    lastRequestMs.compare_exchange_strong(none, first);
    firstRequestMs.store(first);
    const bool firstFailure = writeFailures.Failed();
    // A forced write comes before an exit or power-off: its failure is always told.
    if (firstFailure || force) {
        Log()->addError("ProjectManager: Error while updating project file: " + failure +
                        (force ? "" : "; trying again"));
    }
    // Whoever asked for this change since the last attempt hears that it is not saved.
    if (firstFailure || force || newRequests) {
        Log()->ServerSetMessage("Project file " + projectFilePath + " could not be saved (" + failure +
                                "), trying again");
    }
}

namespace {

using tinyxml2::XMLElement;

const char* TrueFalse(bool b) { return b ? "True" : "False"; }

// The named child of root; created after `after` (first child when null) when missing.
XMLElement* FindOrInsert(tinyxml2::XMLDocument& doc, XMLElement* root, const char* name, XMLElement* after) {
    if (XMLElement* e = root->FirstChildElement(name)) return e;
    XMLElement* e = doc.NewElement(name);
    if (after != nullptr) {
        root->InsertAfterChild(after, e);
    } else {
        root->InsertFirstChild(e);
    }
    return e;
}

XMLElement* FindOrAppend(tinyxml2::XMLDocument& doc, XMLElement* parent, const char* name) {
    if (XMLElement* e = parent->FirstChildElement(name)) return e;
    return parent->InsertEndChild(doc.NewElement(name))->ToElement();
}

void DeleteAll(XMLElement* root, const char* name) {
    while (XMLElement* e = root->FirstChildElement(name)) root->DeleteChild(e);
}

XMLElement* InsertNew(tinyxml2::XMLDocument& doc, XMLElement* root, const char* name, XMLElement* after) {
    XMLElement* e = doc.NewElement(name);
    if (after != nullptr) {
        root->InsertAfterChild(after, e);
    } else {
        root->InsertEndChild(e);
    }
    return e;
}

}  // namespace

bool ProjectManager::UpdateProjectFile(RobotMaster* master, std::string& failure) {
    failure.clear();
    // Without a project there is nothing to write back, and no reason to replace.
    if (projectFilePath.empty() || master == nullptr) return true;
    wait(writeDelayMs);
    const std::string path = projectFilePath;

    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLError loaded = doc.LoadFile(path.c_str());
    if (loaded != tinyxml2::XML_SUCCESS) {
        std::string text;
        TranslateXmlError(loaded, text);
        Fail("Updating project: Could not parse project file '" + path + "' correctly: " + text,
             "10 .prj file corrupt");
        return false;
    }
    XMLElement* root = doc.FirstChildElement("ProjectFile");
    if (root == nullptr) {
        Fail("ProjectManager: Line ProjectFile not found in project file!", "11 .prj file corrupt");
        return false;
    }

    try {
        WriteSections(doc, root, master);

        tinyxml2::XMLPrinter printer;  // indented
        doc.Print(&printer);
        const size_t size = printer.CStrSize() > 0 ? static_cast<size_t>(printer.CStrSize() - 1) : 0;
        // A temporary left by an older writer must not linger beside the project.
        if (Filesystem::Exists(path + Filesystem::kOldTemporarySuffix)) {
            Filesystem::Delete(path + Filesystem::kOldTemporarySuffix);
        }
        if (size == 0) throw std::runtime_error("Temporary project file is empty");
        if (!Filesystem::WriteFileAtomic(path, printer.CStr(), size)) {
            const int err = errno;
            throw std::runtime_error(std::string("Could not write temporary file: ") + std::strerror(err));
        }
        Log()->addFormat("ProjectManager: Project file %s updated", path.c_str());
        return true;
    } catch (const std::exception& e) {
        failure = e.what();
        return false;
    }
}

void ProjectManager::WriteSections(tinyxml2::XMLDocument& doc, XMLElement* root, RobotMaster* master) {
    XMLElement* robot = FindOrInsert(doc, root, "Robot", nullptr);
    robot->SetAttribute("Tool", Log()->get_robotGripper().c_str());

    XMLElement* program = FindOrInsert(doc, root, "Program", robot);
    IPO& mainIpo = master->GetMainInterpreter();
    IPO& logicIpo = master->GetLogicInterpreter();
    const bool repeatMode = mainIpo.GetReplayMode() == IPO::REPLAY_REPEAT;
    if (mainIpo.IsProgramLoaded()) {
        const std::string name = mainIpo.GetLoadedProgramName();
        // A program taught in memory and not saved has no file yet: naming it would leave
        // the next start without a program, so the project keeps the one it names.
        if (IPO::IsProgramFile(name)) {
            program->SetAttribute("File", name.c_str());
            Log()->addFormat("ProjectManager: Start program set to %s, override %.1lf, repeat %d", name.c_str(),
                             static_cast<double>(master->GetOverride()), static_cast<int>(mainIpo.GetReplayMode()));
        } else {
            const char* kept = program->Attribute("File");
            Log()->addFormat("ProjectManager: Program %s is not saved, start program stays '%s'", name.c_str(),
                             kept != nullptr ? kept : "");
        }
    } else {
        program->SetAttribute("File", "");
        Log()->addError("ProjectManager: No start file set");
    }
    program->SetAttribute("FileLogic", logicIpo.IsProgramLoaded() ? logicIpo.GetLoadedProgramName().c_str() : "");
    program->SetAttribute("Repeat", TrueFalse(repeatMode));
    program->SetAttribute("Override", master->GetOverride());
    program->SetAttribute("DefaultState", mainIpo.GetStopOnError() ? 1 : 0);

    XMLElement* anchor = program;
    if (const RobotKinematic* kin = master->GetKinematic()) {
        // One whole box: a SetVBox meanwhile is written before or after, never half.
        const RobotKinematic::LimitsAndBox limits = kin->GetLimitsAndBox();
        XMLElement* box = FindOrInsert(doc, root, "VirtualBox", program);
        box->SetAttribute("active", TrueFalse(limits.virtualBoxActive));
        box->SetAttribute("xMin", limits.virtualBoxMin.x);
        box->SetAttribute("xMax", limits.virtualBoxMax.x);
        box->SetAttribute("yMin", limits.virtualBoxMin.y);
        box->SetAttribute("yMax", limits.virtualBoxMax.y);
        box->SetAttribute("zMin", limits.virtualBoxMin.z);
        box->SetAttribute("zMax", limits.virtualBoxMax.z);
        anchor = box;
    }

    DeleteAll(root, "ExternalAxis");
    for (int slot = 0; slot < RobotMaster::kNrExternalAxes; ++slot) {
        if (!master->HasExternalAxis(slot)) continue;
        XMLElement* e = InsertNew(doc, root, "ExternalAxis", anchor);
        master->GetExternalAxis(slot).WriteProjectElement(e);
        anchor = e;
    }

    if (Hardware::HardwareProtocol* hw = master->GetHardware()) {
        // The base protocol leaves the outputs alone: they must start as "none".
        unsigned char ids[3] = {0, 0, 0};
        hw->GetDIOModuleIDs(ids[0], ids[1], ids[2]);
        XMLElement* existing[3] = {nullptr, nullptr, nullptr};
        XMLElement* e = root->FirstChildElement("DIOModule");
        for (int i = 0; i < 3 && e != nullptr; ++i, e = e->NextSiblingElement("DIOModule")) existing[i] = e;
        for (int i = 0; i < 3; ++i) {
            if (ids[i] != 0) {
                XMLElement* module = existing[i] != nullptr ? existing[i] : InsertNew(doc, root, "DIOModule", anchor);
                module->SetAttribute("ID", static_cast<int>(ids[i]));
                anchor = module;
            } else if (existing[i] != nullptr) {
                root->DeleteChild(existing[i]);
            }
        }
    }

    DeleteAll(root, "DOut");
    for (int n = 0; n < DataTypes::RobotState::maxIOs; ++n) {
        const DOutTargetState onReset = master->GetDOutTargetStateOnReset(n);
        const DOutTargetState onError = master->GetDOutTargetStateOnError(n);
        if (onReset == DOutNoChange && onError == DOutNoChange) continue;
        XMLElement* e = InsertNew(doc, root, "DOut", anchor);
        e->SetAttribute("Number", n);
        e->SetAttribute("Name", "");
        e->SetAttribute("ResetState", RobotMaster::DOutTargetStateToString(onReset).c_str());
        e->SetAttribute("ErrorState", RobotMaster::DOutTargetStateToString(onError).c_str());
        anchor = e;
    }

    // One whole record: a CONFIG change meanwhile is written before or after, never half.
    const PLCInterfaceNumbers plc = Log()->get_plcInterfaceNr();
    XMLElement* base = FindOrAppend(doc, root, "PLCInterface");
    base->SetAttribute("Active", plc.Active ? "true" : "false");
    base->SetAttribute("AutoConnect", plc.AutoConnect ? "true" : "false");
    XMLElement* in = FindOrInsert(doc, root, "PLCInterfaceIn", base);
    in->SetAttribute("EnableNumber", plc.EnableNumber);
    in->SetAttribute("PlayNumber", plc.PlayNumber);
    in->SetAttribute("PauseNumber", plc.PauseNumber);
    in->SetAttribute("AltStartNumber", plc.AltStartNumber);
    in->SetAttribute("AltStopNumber", plc.AltStopNumber);
    in->SetAttribute("RequestReferenceNumber", plc.RequestReferenceNumber);
    in->SetAttribute("ShutdownNumber", plc.ShutdownNumber);
    in->SetAttribute("AddJointNumber", plc.AddJointNumber);
    in->SetAttribute("AddLinearNumber", plc.AddLinearNumber);
    in->SetAttribute("StartMissionNumber", plc.StartMissionNumber);
    XMLElement* out = FindOrInsert(doc, root, "PLCInterfaceOut", in);
    out->SetAttribute("NoFaultNumber", plc.NoFaultNumber);
    out->SetAttribute("FaultNumber", plc.FaultNumber);
    out->SetAttribute("ProgramRunningNumber", plc.ProgramRunningNumber);
    out->SetAttribute("ProgramNotRunningNumber", plc.ProgramNotRunningNumber);
    out->SetAttribute("RobotIsReferenced", plc.RobotIsReferenced);
    out->SetAttribute("MissionRunningNumber", plc.MissionRunningNumber);

    XMLElement* triggerAnchor = root->FirstChildElement("PLCInterfaceRefSequence");
    if (triggerAnchor == nullptr) triggerAnchor = out;
    DeleteAll(root, "PLCTrigger");
    for (const PLCTrigger::PLCInterfaceTrigger& t : master->GetPLCTriggers()) {
        XMLElement* e = InsertNew(doc, root, "PLCTrigger", triggerAnchor);
        e->SetAttribute("Active", TrueFalse(t.IsActive()));
        e->SetAttribute(t.GetSignalType() == PLCTrigger::PLCInterfaceTrigger::GSig ? "GSig" : "DIn", t.GetChannel());
        e->SetAttribute("Type", t.GetTargetType() == PLCTrigger::PLCInterfaceTrigger::Mission ? "Mission" : "Program");
        e->SetAttribute("Name", t.GetTargetFileRelative().c_str());
        triggerAnchor = e;
    }

    if (XMLElement* cams = root->FirstChildElement("Cameras")) root->DeleteChild(cams);
    if (XMLElement* cams = cameras->Write(doc)) root->InsertEndChild(cams);

    XMLElement* env = FindOrAppend(doc, root, "Environment");
    XMLElement* mb = FindOrAppend(doc, env, "ModbusServer");
    mb->SetAttribute("Active", TrueFalse(modbusEnabled.load()));
    mb->SetAttribute("Port", modbus->GetPort());
    mb->SetAttribute("MaxConnections", modbus->GetMaxConnections());
    XMLElement* c = FindOrAppend(doc, env, "Cloud");
    c->SetAttribute("Active", TrueFalse(cloud->IsEnabled()));
    c->SetAttribute("Credentials", cloud->GetEncryptedCredentials().c_str());
    c->SetAttribute("ClientID", cloud->GetClientId().c_str());
    c->SetAttribute("RobotName", cloud->GetRobotName().c_str());
    c->SetAttribute("RobotOwner", cloud->GetRobotOwner().c_str());
    c->SetAttribute("CameraEnvironmentName", cloud->GetCameraEnvironment().c_str());
    c->SetAttribute("CameraWorkareaName", cloud->GetCameraWorkarea().c_str());
}
