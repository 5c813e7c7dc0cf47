// Program file loader of the interpreter: load requests, the loading thread, the file
// reader with its element set-up, sub-programs and the header check.

#include "program/IPO.h"

#include "IPOInternals.h"
#include "IPOLinker.h"
#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"
#include "core/StringHelper.h"
#include "program/CommandCamera.h"
#include "program/CommandCircular.h"
#include "program/CommandComment.h"
#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandIf.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandLoop.h"
#include "program/CommandMathFunction.h"
#include "program/CommandMatrix.h"
#include "program/CommandMatrixDefinition.h"
#include "program/CommandMatrixQuery.h"
#include "program/CommandPause.h"
#include "program/CommandPlugin.h"
#include "program/CommandRelative.h"
#include "program/CommandSetVelocity.h"
#include "program/CommandStop.h"
#include "program/CommandStoreData.h"
#include "program/CommandSub.h"
#include "program/CommandSystem.h"
#include "program/CommandWait.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

// One command element: the class it creates and what the loader sets up besides the
// command's own attributes.
struct ElementSpec {
    const char* tag;
    std::shared_ptr<Command> (*make)();
    IpoLinker::Block opens;
    bool jointMaxVelocities;  // Command::InitJointMaxVelocities with the interpreter's maxima
    bool capVelocity;         // runs at most at the Cartesian maximum (the value is kept)
    void (*setUp)(Command& command, IPO& ipo);
};

template <typename T>
std::shared_ptr<Command> Make() {
    return std::make_shared<T>();
}

void NoSetUp(Command&, IPO&) {}

template <typename T>
void Offsets(Command& command, IPO& ipo) {
    T& c = static_cast<T&>(command);
    c.jointOffsets = IpoInternals::JointOffset(ipo);
    c.cartesianOffsets = IpoInternals::CartesianOffset(ipo);
}

void MainInterpreter(Command& command, IPO& ipo) { command.interpreter = IpoInternals::MainInterpreter(ipo); }
void ThisInterpreter(Command& command, IPO& ipo) { command.interpreter = &ipo; }

void Plugin(Command& command, IPO& ipo) {
    static_cast<CommandPlugin&>(command).pluginManager = ipo.GetPluginManager();
    IpoInternals::PluginsNeeded(ipo).store(true);
}

using Block = IpoLinker::Block;

const ElementSpec kElements[] = {
    {"Linear", &Make<CommandLinear>, Block::None, true, true, &Offsets<CommandLinear>},
    {"Circular", &Make<CommandCircular>, Block::None, true, true, &NoSetUp},
    {"Relative", &Make<CommandRelative>, Block::None, true, true, &Offsets<CommandRelative>},
    {"Joint", &Make<CommandJoint>, Block::None, true, false, &Offsets<CommandJoint>},
    {"Comment", &Make<CommandComment>, Block::None, false, false, &NoSetUp},
    {"Pause", &Make<CommandPause>, Block::None, false, false, &MainInterpreter},
    {"Stop", &Make<CommandStop>, Block::None, false, false, &MainInterpreter},
    {"Wait", &Make<CommandWait>, Block::None, false, false, &NoSetUp},
    {"Store", &Make<CommandStoreData>, Block::None, false, false, &ThisInterpreter},
    {"MathOperator", &Make<CommandMathFunction>, Block::None, false, false, &NoSetUp},
    {"Plugin", &Make<CommandPlugin>, Block::None, true, false, &Plugin},
    {"Camera", &Make<CommandCamera>, Block::None, true, false, &NoSetUp},
    {"System", &Make<CommandSystem>, Block::None, false, false, &NoSetUp},
    {"Output", &Make<CommandDIO>, Block::None, false, false, &NoSetUp},
    {"Gripper", &Make<CommandGripper>, Block::None, true, false, &NoSetUp},
    {"SetVel", &Make<CommandSetVelocity>, Block::None, true, false, &NoSetUp},
    {"Sub", &Make<CommandSub>, Block::None, false, false, &NoSetUp},
    {"MatrixDefinition", &Make<CommandMatrixDefinition>, Block::None, false, false, &ThisInterpreter},
    {"MatrixQuery", &Make<CommandMatrixQuery>, Block::None, false, false, &ThisInterpreter},
    {"Loop", &Make<CommandLoop>, Block::Loop, false, false, &NoSetUp},
    {"Matrix", &Make<CommandMatrix>, Block::Matrix, false, false, &NoSetUp},
    {"If", &Make<CommandIf>, Block::If, false, false, &NoSetUp},
};

const ElementSpec* FindElement(const char* tag) {
    for (const ElementSpec& e : kElements) {
        if (std::strcmp(e.tag, tag) == 0) return &e;
    }
    return nullptr;
}

[[noreturn]] void UnknownElement(const char* tag) {
    char text[256];
    std::snprintf(text, sizeof(text), "Unknown command '%s' in program", tag);
    throw std::runtime_error(text);
}

// Lowers the loading flag however the load ends.
class LoadingFlagGuard {
public:
    explicit LoadingFlagGuard(std::atomic<bool>& flag) : flag_(flag) {}
    ~LoadingFlagGuard() { flag_.store(false); }
    LoadingFlagGuard(const LoadingFlagGuard&) = delete;
    LoadingFlagGuard& operator=(const LoadingFlagGuard&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Load requests

int IPO::AcceptLoad(const std::string& fileName, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    // Testing and raising the flag is one step: of two clients loading at once, one wins.
    if (loading.exchange(true)) {
        log->add("IPO: Cannot load a new program while loading!");
        return 2;
    }
    if (fileName.find(' ') != std::string::npos) {
        loading.store(false);
        log->add("IPO: Cannot load program, whitespace in filename not allowed!");
        return 2;
    }
    // A load replaces what is loaded; a running or paused program keeps it.
    if (GetRunState() != RUNSTATE_STOPPED) {
        loading.store(false);
        log->add("IPO: Cannot load a new program while a program is running or paused!");
        return 2;
    }
    pluginsNeeded.store(false);
    std::lock_guard<std::mutex> lock(infoMutex);
    programFileToLoad = fileName;
    quietFlag = quiet;
    return 0;
}

int IPO::LoadProgram(const std::string fileName, bool quiet) {
    const int accepted = AcceptLoad(fileName, quiet);
    if (accepted != 0) {
        return accepted;
    }
    try {
        std::thread(&IPO::threadLoadProg, this).detach();
    } catch (const std::system_error& e) {
        loading.store(false);
        LogSingleton::instance()->addError(std::string("IPO: Could not start the loading thread: ") + e.what());
        return 2;
    }
    return 0;
}

int IPO::LoadProgramSynchronous(const std::string& fileName, bool quiet) {
    const int accepted = AcceptLoad(fileName, quiet);
    if (accepted != 0) {
        return accepted;
    }
    RunLoad();
    return 0;
}

void IPO::threadLoadProg(IPO* ipo) { ipo->RunLoad(); }

void IPO::RunLoad() {
    LoadingFlagGuard guard(loading);
    std::string fileName;
    bool quiet = false;
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        fileName = programFileToLoad;
        quiet = quietFlag;
    }
    DeleteAll();
    // Parsed and linked on a list of its own; the robot loop sees it only once it is whole.
    std::vector<RobotProgram> list;
    const int result = LoadXMLFile2Into(list, 0, fileName, quiet, -1);
    if (result >= 0 && !list.empty() && !list[0].commands.empty()) {
        Install(std::move(list), 0);
    } else {
        DeleteAll();
    }
}

int IPO::LoadXMLFile2(int index, const std::string fileName, bool quiet, int parent) {
    std::vector<RobotProgram> list;
    {
        std::lock_guard<std::mutex> lock(programMutex);
        list = programs;
    }
    const int result = LoadXMLFile2Into(list, index, fileName, quiet, parent);
    if (result == 0) {
        Install(std::move(list), index);
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// File reader

int IPO::LoadXMLFile2Into(std::vector<RobotProgram>& list, int index, const std::string& fileName, bool quiet,
                          int parent) {
    LogSingleton* log = LogSingleton::instance();
    int loadedCommands = 0;
    try {
        if (fileName.size() <= 3) {
            const std::string text = name + " - Empty filename to load!";
            log->addError(text);
            log->DisplayAndServerSetMessage(text);
            throw std::runtime_error("Empty filename!");
        }
        // Names come from clients and program files: nothing outside the programs folder.
        if (!Filesystem::IsSafeRelativePath(fileName)) {
            throw std::runtime_error("Program name " + fileName + " not allowed!");
        }
        const std::string path = log->get_rootPath() + "Data/Programs/" + fileName;
        log->add(" ");
        log->addFormat("%s: Starting to read program from %.400s", name.c_str(), path.c_str());

        std::string content;
        {
            std::ifstream file;
            if (Filesystem::IsFile(path)) {
                file.open(path, std::ios::in | std::ios::binary);
            }
            if (!file.is_open()) {
                const std::string text = name + " - Program not found: " + fileName;
                log->addError(text);
                log->DisplayAndServerSetMessage(text);
                throw std::runtime_error("Program " + fileName + " not found!");
            }
            content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
        if (content.empty()) {
            const std::string text = "File empty: " + fileName;
            log->addError(text);
            log->DisplayAndServerSetMessage(text);
            throw std::runtime_error("Program file " + fileName + " empty!!");
        }

        RobotProgram program(fileName);
        if (parent >= 0) {
            program.AddAncestor(parent);
        }
        tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
        if (doc.Parse(content.data(), content.size()) != tinyxml2::XML_SUCCESS) {
            log->add("XML parsing failed! ");
            log->DisplayAndServerSetMessage("XML parsing failed! ");
            throw std::runtime_error("XML parsing failed!");
        }
        list.push_back(std::move(program));
        const int p = static_cast<int>(list.size()) - 1;
        tinyxml2::XMLElement* root = doc.FirstChildElement("Program");
        if (root == nullptr || root->FirstChildElement() == nullptr) {
            throw std::runtime_error("No entries in program");
        }

        IpoLinker linker;
        for (tinyxml2::XMLElement* e = root->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
            const char* tag = e->Name();
            if (std::strcmp(tag, "Header") == 0) {
                CheckHeaderConsistency(e, quiet);
                // Kept as written, so that a saved program is checked as the loaded one was.
                HeaderAttributes header;
                for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a != nullptr; a = a->Next()) {
                    header.emplace_back(a->Name(), a->Value());
                }
                list[static_cast<size_t>(p)].headers.push_back(std::move(header));
                continue;
            }
            if (std::strcmp(tag, "EndLoop") == 0) {
                linker.EndLoop(quiet);
                continue;
            }
            if (std::strcmp(tag, "MatrixEnd") == 0) {
                linker.MatrixEnd(quiet);
                continue;
            }
            if (std::strcmp(tag, "Else") == 0) {
                linker.Else(quiet);
                continue;
            }
            if (std::strcmp(tag, "EndIf") == 0) {
                linker.EndIf(quiet);
                continue;
            }
            const ElementSpec* spec = FindElement(tag);
            if (spec == nullptr) {
                UnknownElement(tag);
            }
            std::shared_ptr<Command> command = spec->make();
            command->nrRobotJoints = GetNrRobotJoints();
            command->nrExternalJoints = GetNrExternalJoints();
            if (spec->jointMaxVelocities) {
                command->InitJointMaxVelocities(jointMaxVelocities);
            }
            command->ReadNumberAndDescription(*e);
            command->ReadXML(e, quiet);
            auto* sub = dynamic_cast<CommandSub*>(command.get());
            if (!command->valid && sub == nullptr) {
                UnknownElement(tag);
            }
            spec->setUp(*command, *this);
            if (spec->capVelocity) {
                command->velCartesianLimit = static_cast<float>(cartesianMaxVelocity);
            }
            command->memory = memory;
            if (sub != nullptr) {
                // list may grow below: hold indices only, never references into it.
                if (list[static_cast<size_t>(p)].IsAncestor(sub->file, list)) {
                    throw std::runtime_error("Sub program loop");
                }
                if (static_cast<int>(list.size()) > maximumPrograms) {
                    throw std::runtime_error("Max number of programs reached");
                }
                int found = -1;
                for (size_t i = 0; i < list.size(); ++i) {
                    if (list[i].name == sub->file) {
                        found = static_cast<int>(i);
                        break;
                    }
                }
                if (found >= 0) {
                    list[static_cast<size_t>(found)].AddAncestor(index);
                } else {
                    const int slot = static_cast<int>(list.size());
                    if (LoadXMLFile2Into(list, slot, sub->file, quiet, p) == 0) {
                        found = slot;
                    }
                }
                if (found < 0) {
                    throw std::logic_error("Loading sub program failed");
                }
                if (list[static_cast<size_t>(found)].commands.empty()) {
                    throw std::runtime_error("No commands in sub program");
                }
                sub->subProgramIndex = found;
            }
            linker.Append(std::move(command), spec->opens);
            loadedCommands = linker.Count();
        }
        linker.Finish();

        RobotProgram& loaded = list[static_cast<size_t>(p)];
        loaded.commands = std::move(linker.Commands());
        log->addFormat("%s: Program: %s (%d of %d) with %d points", name.c_str(), fileName.c_str(), p,
                       static_cast<int>(list.size()), static_cast<int>(loaded.commands.size()));
        log->add(" ");
        if (type == IPO_MAIN) {
            log->DisplayAndServerSetMessage("Program loaded: " + fileName);
        }
        return 0;
    } catch (const std::exception& e) {
        const std::string msg = "Could not parse program " + fileName + ": " + e.what();
        log->add(msg);
        log->DisplayAndServerSetMessage("Error in Loading");
        // The panel shows the short text; clients get the file and the reason.
        log->ServerSetMessage(msg);
        if (index >= 0 && index < static_cast<int>(list.size())) {
            SendHVPServerCallback(HVP_EVENT_ERROR, loadedCommands, index, msg);
        }
        return -3;
    } catch (int) {
        log->addError("defective xml file");
        return -4;
    }
}

// ---------------------------------------------------------------------------------------
// Header check

int IPO::CheckHeaderConsistency(tinyxml2::XMLElement* header, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    if (flagIgnoreConsistencyCheck.load()) {
        log->add("IPO.LoadProgram: Consistency check skipped (flagIgnoreConsistencyCheck in project file is set to "
                 "true)");
        return 8;
    }
    const int systemVersion = log->get_softwareVersionMajor();
    int programVersion = systemVersion;
    const char* software = header->Attribute("Software");
    if (software != nullptr) {
        const char* at = std::strstr(software, "V980-");
        if (at != nullptr && std::sscanf(at, "V980-%d", &programVersion) != 1) {
            programVersion = systemVersion;
            log->addError("Could not parse software version number in program");
        }
    }
    if (header->Attribute("RobotType") == nullptr) {
        if (!quiet) {
            log->add("Information on robot name/type/gripper not found, skipping consistency check.");
            log->add("");
        }
        return 0;
    }
    auto text = [header](const char* attribute) {
        const char* value = header->Attribute(attribute);
        return std::string(value != nullptr ? value : "");
    };
    const std::string robotType = text("RobotType");
    const std::string robotName = text("RobotName");
    const std::string gripperType = text("GripperType");
    const int programVelocitySetting = header->IntAttribute("VelocitySetting", -1);
    const std::string systemType = StringHelper::SplitGetLast(log->get_robotType(), "/");
    const std::string systemName = log->get_robotName();
    const std::string systemGripper = log->get_robotGripper();
    const int systemVelocitySetting = velocitySetting.load();

    if (!quiet) {
        auto q = [](const std::string& v) { return "\"" + v + "\""; };
        log->add("");
        log->add("IPO.LoadProgram: Consistency check:");
        log->add("System:   Robot Name=" + q(systemName) + "  type=" + q(systemType) + " gripper=" + q(systemGripper) +
                 " velocitySetting=" + q(std::to_string(systemVelocitySetting)) + " sw version=" +
                 q("V980-" + std::to_string(systemVersion) + "-xxx"));
        log->add("Program:  Robot Name=" + q(robotName) + "  type=" + q(robotType) + " gripper=" + q(gripperType) +
                 " velocitySetting=" + q(std::to_string(programVelocitySetting)) + " sw version=" + q(text("Software")));
        log->add("");
    }

    if (programVersion != systemVersion) {
        log->DisplayAndServerSetMessage("Error: wrong program version");
        char need[32];
        std::snprintf(need, sizeof(need), "V%d-XXX", systemVersion);
        if (systemVersion < programVersion) {
            throw std::runtime_error(
                std::string("Version check failed: program was created with newer version of Talvo/Xuq (need ") + need +
                ")");
        }
        throw std::runtime_error(
            std::string("Version check failed: program was created with older version of Talvo/Xuq (need ") + need +
            ")");
    }
    if (robotName != systemName || robotType != systemType) {
        log->DisplayAndServerSetMessage("Error: prog for different robot");
        throw std::runtime_error("Consistency check failed: program was created for a different robot type!");
    }
    if (programVelocitySetting >= 0 && programVelocitySetting != systemVelocitySetting) {
        log->DisplayAndServerSetMessage("Error: prog uses wrong config");
        throw std::runtime_error(
            "Consistency check failed: program was created for a different velocity/voltage setting!");
    }
    if (gripperType != systemGripper) {
        log->DisplayAndServerSetMessage("Error: prog uses wrong gripper");
        throw std::runtime_error("Consistency check failed: program was created for a different gripper type!");
    }
    if (!quiet) {
        log->add("Consistency verified.");
        log->add("");
    }
    return 0;
}
