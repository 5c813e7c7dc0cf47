#include "program/CommandStoreData.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>

CommandStoreData::CommandStoreData() {
    className = "CommandStoreData";
    commandType = CMD_LOGIC;
}

void CommandStoreData::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // Data commands always log their line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        const char* typeText = element->Attribute("Type");
        const char* nameText = element->Attribute("Name");
        if (typeText == nullptr || nameText == nullptr) {
            valid = false;
            log->addError("Could not read CommandStoreData, incomplete arguments");
            return;
        }
        if (std::strcmp(typeText, "number") == 0) {
            float value = 0.0f;
            if (element->QueryFloatAttribute("Value", &value) != tinyxml2::XML_SUCCESS) {
                value = 0.0f;
            }
            numberValue = value;
        } else if (std::strcmp(typeText, "position") == 0) {
            const char* valueText = element->Attribute("Value");
            float v[6] = {};
            if (valueText != nullptr &&
                std::sscanf(valueText, "%f %f %f %f %f %f", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
                position = DataTypes::Vector3(v[0], v[1], v[2]);
                orientation = DataTypes::Vector3(v[3], v[4], v[5]);
                useCurrentPosition = false;
                float j[maxJoints] = {};
                const char* jointText = element->Attribute("ValueJoints");
                const bool nine = jointText != nullptr &&
                                  std::sscanf(jointText, "%f %f %f %f %f %f %f %f %f", &j[0], &j[1], &j[2], &j[3],
                                              &j[4], &j[5], &j[6], &j[7], &j[8]) == maxJoints;
                for (int i = 0; i < maxJoints; ++i) {
                    joints[i] = nine ? j[i] : 0.0f;
                }
            } else {
                useCurrentPosition = true;
            }
        } else {
            log->add("ERROR: could not read StoreData cmd, wrong type!");
            valid = false;
            return;
        }
        name = Programs::ToLowerCase(nameText);
        type = Programs::ToLowerCase(typeText);
        valid = true;

        if (type == "number") {
            log->addFormat("   Nr. %d: Store number Variable: %s Value: %lf", nr, name.c_str(),
                           static_cast<double>(numberValue));
        } else if (useCurrentPosition) {
            log->addFormat("   Nr. %d: Store position Variable: %s Value: current position", nr, name.c_str());
        } else {
            double j[maxJoints];
            for (int i = 0; i < maxJoints; ++i) {
                j[i] = joints[i];
            }
            log->addFormat("   Nr. %d: Store position Variable: %s Value: X=%.1lf Y=%.1lf Z=%.1lf A=%.1lf B=%.1lf "
                           "C=%.1lf A1=%.1lf A2=%.1lf A3=%.1lf A4=%.1lf A5=%.1lf A6=%.1lf E1=%.1lf E2=%.1lf "
                           "E3=%.1lf",
                           nr, name.c_str(), static_cast<double>(position.x), static_cast<double>(position.y),
                           static_cast<double>(position.z), static_cast<double>(orientation.x),
                           static_cast<double>(orientation.y), static_cast<double>(orientation.z), j[0], j[1], j[2],
                           j[3], j[4], j[5], j[6], j[7], j[8]);
        }
    } catch (const std::exception&) {
        valid = false;
        log->addError("Error: could not read StoreData command");
    }
}

int CommandStoreData::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    Programs::MemoryPosition variable;
    variable.name = name;
    Programs::StoreContentType content = Programs::ContentNumber;
    if (type == "number") {
        variable.type = Programs::MemoryPosition::TypeNumber;
        variable.value = numberValue;
    } else if (type == "position") {
        variable.type = Programs::MemoryPosition::TypePosition;
        variable.state = *state;
        if (!useCurrentPosition) {
            // Only translation, A, B, C and joints: the rotation part stays the cycle's.
            variable.state.pose.SetTranslation(position);
            variable.state.A = orientation.x;
            variable.state.B = orientation.y;
            variable.state.C = orientation.z;
            for (int i = 0; i < maxJoints; ++i) {
                variable.state.jointSet[i] = joints[i];
            }
        }
        content = Programs::ContentUnchanged;
    } else {
        LogSingleton::instance()->addError("ERROR - StoreData: var type not correct!");
        return ResultEndOfProgram;
    }
    // The logic program's variables survive the main program's deletions.
    variable.isStatic = BelongsToLogicInterpreter();
    Memory().SetVariable(variable, content);
    return nextSuccessor;
}

std::string CommandStoreData::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command Store %s - Pre: %d - Succ: %d %d %d", name.c_str(), predecessor,
                  nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandStoreData::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out == nullptr) {
        return;
    }
    ElementWriter::Line line(*out, "Store", *this);
    line.Text("Type", type).Text("Name", name);
    if (type == "number") {
        line.Number("Value", numberValue);
    } else if (!useCurrentPosition) {
        // Blank-separated, as the reader scans them.
        const float values[6] = {position.x, position.y, position.z, orientation.x, orientation.y, orientation.z};
        std::string text;
        for (const float v : values) {
            text += (text.empty() ? "" : " ") + XmlNumber::Text(v);
        }
        line.Raw("Value", text.c_str());
        text.clear();
        for (const float v : joints) {
            text += (text.empty() ? "" : " ") + XmlNumber::Text(v);
        }
        line.Raw("ValueJoints", text.c_str());
    }
    // The current position is taken when no "Value" is given.
    line.End(*this);
}
