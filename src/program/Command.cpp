#include "program/Command.h"

#include "core/LogSingleton.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

const char kWrongType[] = "GetFromMemory: wrong var type";
const char kWrongElement[] = "GetFromMemory: wrong element access";

// Where a position element lives in the state; null for an unknown element name.
float* PositionElement(DataTypes::RobotState& state, const std::string& element) {
    const std::string e = Programs::ToLowerCase(element);
    if (e == "x") return &state.pose.m[3];
    if (e == "y") return &state.pose.m[7];
    if (e == "z") return &state.pose.m[11];
    if (e == "a") return &state.A;
    if (e == "b") return &state.B;
    if (e == "c") return &state.C;
    if (e.size() == 2 && (e[0] == 'a' || e[0] == 'e')) {
        const int first = e[0] == 'a' ? 0 : 6;
        const int count = e[0] == 'a' ? 6 : 3;
        const int n = e[1] - '1';
        if (n >= 0 && n < count) {
            return &state.jointSet[first + n];
        }
    }
    return nullptr;
}

template <typename T>
T ReadAttribute(const tinyxml2::XMLElement& element, const std::string& name,
                tinyxml2::XMLError (tinyxml2::XMLElement::*query)(const char*, T*) const) {
    T value{};
    const tinyxml2::XMLError result = (element.*query)(name.c_str(), &value);
    if (result == tinyxml2::XML_NO_ATTRIBUTE) {
        throw XMLAttribNotFoundException(name);
    }
    if (result != tinyxml2::XML_SUCCESS) {
        throw XMLAttribParseException(name);
    }
    return value;
}

}  // namespace

void Command::WriteXML(std::ofstream* /*out*/, int /*commandCount*/) {}

void Command::Init() { firstCycle = true; }

bool Command::IsCombinable() const { return commandType == CMD_LOGIC && combinable; }

int Command::Interpolate(int /*cycleMs*/, float /*overridePercent*/,
                         DataTypes::RobotState* /*state*/) {
    std::cerr << "IpoMotionStd" << std::endl;
    return ResultNotFinished;
}

int Command::InterpolateLogic(int /*cycleMs*/, float /*overridePercent*/,
                              DataTypes::RobotState* /*state*/) {
    std::cerr << "IpoLogicStd" << std::endl;
    return ResultNotFinished;
}

void Command::GetTargetPosition(DataTypes::RobotState* /*current*/,
                                DataTypes::RobotState* /*target*/, float& /*velCartesianOut*/,
                                float& /*velJointPercentOut*/, float& /*accPercentOut*/,
                                float& /*smoothPercentOut*/) {
    Log()->addError("Command::GetTargetPosition called but not implemented!");
}

std::string Command::ToString() {
    char line[128];
    std::snprintf(line, sizeof(line), "VCmd %s: %d %d %d", className.c_str(), nextSuccessor,
                  bodySuccessor, elseSuccessor);
    Log()->add(line);
    return line;
}

void Command::InitJointMaxVelocities(const double* velocities) {
    for (int j = 0; j < maxJoints; ++j) {
        jointMaxVelocity[j] = static_cast<float>(velocities[j]);
    }
}

Programs::ProgramMemory& Command::Memory() {
    if (memory == nullptr) {
        Log()->add("ERROR in CMD: memory not initialized!");
        throw std::runtime_error("Command: memory not initialized");
    }
    return *memory;
}

bool Command::GetVariableFromProgramMemory(const std::string& name, Programs::MemoryPosition* out) {
    Programs::ProgramMemory& store = Memory();
    if (store.HasVariable(name)) {
        *out = store.GetVariable(name);
        return true;
    }
    char text[512];
    std::snprintf(text, sizeof(text), "Command: Could not find variable \"%s\"!", name.c_str());
    Log()->add(text);
    throw std::invalid_argument(text);
}

float Command::GetVariableNumberValue(const std::string& name) {
    Programs::MemoryPosition variable;
    GetVariableFromProgramMemory(name, &variable);
    if (variable.type != Programs::MemoryPosition::TypeNumber) {
        Log()->addFormat("Memory: Variable %s is not a number variable!", name.c_str());
        throw std::invalid_argument(kWrongType);
    }
    return static_cast<float>(variable.value);
}

void Command::SetVariableNumberValue(const std::string& name, float value) {
    Programs::MemoryPosition variable;
    GetVariableFromProgramMemory(name, &variable);
    if (variable.type != Programs::MemoryPosition::TypeNumber) {
        Log()->addFormat("Memory SetVarNumberValue: Variable %s is not a number variable!",
                         name.c_str());
        throw std::invalid_argument(kWrongType);
    }
    variable.value = value;
    Memory().SetVariable(variable, Programs::ContentNumber);
}

Programs::MemoryPosition Command::PositionVariable(const std::string& name,
                                                   const char* typeErrorFormat) {
    Programs::MemoryPosition variable;
    GetVariableFromProgramMemory(name, &variable);
    if (variable.type != Programs::MemoryPosition::TypePosition) {
        Log()->addFormat(typeErrorFormat, name.c_str());
        throw std::invalid_argument(kWrongType);
    }
    return variable;
}

float Command::GetVariablePositionElement(const std::string& name, const std::string& element) {
    Programs::MemoryPosition variable =
        PositionVariable(name, "Memory: Variable %s is not a position variable!");
    const float* value = PositionElement(variable.state, element);
    if (value == nullptr) {
        Log()->addFormat("Memory: wrong element access: %s", element.c_str());
        throw std::invalid_argument(kWrongElement);
    }
    return *value;
}

void Command::SetVariablePositionElement(const std::string& name, const std::string& element,
                                         float value) {
    Programs::MemoryPosition variable =
        PositionVariable(name, "Memory SetElement: Variable %s is not a position variable!");
    float* target = PositionElement(variable.state, element);
    if (target == nullptr) {
        Log()->addFormat("Memory SetElement: wrong element access: %s", element.c_str());
        throw std::invalid_argument(kWrongElement);
    }
    *target = value;
    Memory().SetVariable(variable, Programs::ContentUnchanged);
}

void Command::EliminateNonexistentJoints(float* joints) const {
    for (int j = nrRobotJoints; j < 6; ++j) {
        if (j >= 0) {
            joints[j] = 0.0f;
        }
    }
    for (int j = 6 + nrExternalJoints; j < maxJoints; ++j) {
        if (j >= 6) {
            joints[j] = 0.0f;
        }
    }
}

int Command::ReadInt(const tinyxml2::XMLElement& element, const std::string& name) {
    return ReadAttribute<int>(element, name, &tinyxml2::XMLElement::QueryIntAttribute);
}

float Command::ReadFloat(const tinyxml2::XMLElement& element, const std::string& name) {
    return ReadAttribute<float>(element, name, &tinyxml2::XMLElement::QueryFloatAttribute);
}

bool Command::ReadBool(const tinyxml2::XMLElement& element, const std::string& name) {
    return ReadAttribute<bool>(element, name, &tinyxml2::XMLElement::QueryBoolAttribute);
}

std::string Command::ReadString(const tinyxml2::XMLElement& element, const std::string& name) {
    const char* text = element.Attribute(name.c_str());
    if (text == nullptr) {
        throw XMLAttribNotFoundException(name);
    }
    return text;
}

void Command::ReadNumberAndDescription(const tinyxml2::XMLElement& element) {
    number = element.IntAttribute("Nr", 0);
    const char* text = element.Attribute("Descr");
    description = text != nullptr ? text : "";
}

float Command::UsedVelCartesian() const {
    return velCartesianLimit >= 0.0f ? std::min(velCartesian, velCartesianLimit) : velCartesian;
}

const char* Command::BlockEndTag(BlockEnd end) {
    switch (end) {
        case BlockEnd::Else: return "Else";
        case BlockEnd::EndIf: return "EndIf";
        case BlockEnd::EndLoop: return "EndLoop";
        case BlockEnd::MatrixEnd: return "MatrixEnd";
    }
    return "EndIf";
}

bool Command::BelongsToLogicInterpreter() const {
    return interpreter != nullptr && interpreter->GetType() == IPO::IPO_LOGIC;
}
