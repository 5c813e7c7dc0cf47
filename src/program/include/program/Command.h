#pragma once

// Base of every robot program element. The loader builds one object per XML element,
// lets it read its attributes, links it to its neighbours and keeps it in the program's
// command list (std::shared_ptr<Command>); the interpreter then calls it once per cycle
// until it names the next command.

#include "core/RobotState.h"

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLElement;
}

class IPO;

namespace Programs {
class MemoryPosition;
class ProgramMemory;
}  // namespace Programs

// Faults of the attribute readers below.
class XMLException : public std::runtime_error {
public:
    explicit XMLException(const std::string& text) : std::runtime_error(text) {}
};

class XMLAttribNotFoundException : public XMLException {
public:
    explicit XMLAttribNotFoundException(const std::string& attribute)
        : XMLException("Could not find attribute '" + attribute + "'") {}
};

class XMLAttribParseException : public XMLException {
public:
    explicit XMLAttribParseException(const std::string& attribute)
        : XMLException("Could not parse attribute '" + attribute + "'") {}
};

// What a command moves: the planners take joint and Cartesian motions, the interpreter
// runs logic commands itself.
enum CommandType : std::int32_t {
    CMD_JOINT = 0,
    CMD_CARTESIAN = 1,
    CMD_LOGIC = 2,
};

class Command {
public:
    static constexpr int maxJoints = 9;  // a1..a6 at 0..5, e1..e3 at 6..8

    // Results of Interpolate / InterpolateLogic besides the index of the next command.
    static constexpr int ResultNotFinished = -1;
    static constexpr int ResultEndOfProgram = -2;
    // -11 and below call sub-program (-10 - result).
    static constexpr int ResultFirstSubProgramCall = -11;

    Command() = default;
    Command(const Command&) = default;
    Command& operator=(const Command&) = default;
    virtual ~Command() = default;

    // Reads the element's attributes and sets the valid flag; never throws. quiet
    // suppresses the informational line, never the error lines.
    virtual void ReadXML(tinyxml2::XMLElement* element, bool quiet) = 0;
    // Writes the element back as one line that loads as this same command: every
    // attribute it reads, numbers exactly as held, the command's own number as "Nr" and
    // its description. The count of the program's commands is not written. The base
    // writes nothing.
    virtual void WriteXML(std::ofstream* out, int commandCount);
    // Re-arms the first cycle; called at each program start.
    virtual void Init();
    // True for logic commands whose combinable flag is set.
    virtual bool IsCombinable() const;
    // One cycle of the command: the index of the next command when finished, -1 while
    // not finished, -2 at the end of the program, -11 and below for a sub-program call.
    virtual int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    // As Interpolate, for abort conditions (-1: condition not met).
    virtual int InterpolateLogic(int cycleMs, float overridePercent, DataTypes::RobotState* state);
    // Target of a motion command with its velocity, acceleration and smoothing.
    virtual void GetTargetPosition(DataTypes::RobotState* current, DataTypes::RobotState* target,
                                   float& velCartesianOut, float& velJointPercentOut,
                                   float& accPercentOut, float& smoothPercentOut);
    // "VCmd <class name>: <next> <body> <else>", logged and returned.
    virtual std::string ToString();

    // Copies nine maxima (degrees or mm per second at 100 %).
    void InitJointMaxVelocities(const double* velocities);

    // Program variable access. Without a memory: std::runtime_error; an unknown name,
    // a wrong type or a wrong element: std::invalid_argument.
    bool GetVariableFromProgramMemory(const std::string& name, Programs::MemoryPosition* out);
    float GetVariableNumberValue(const std::string& name);
    void SetVariableNumberValue(const std::string& name, float value);
    // Elements "x", "y", "z", "a", "b", "c", "a1".."a6", "e1".."e3", any case.
    float GetVariablePositionElement(const std::string& name, const std::string& element);
    void SetVariablePositionElement(const std::string& name, const std::string& element,
                                    float value);

    // Zeroes the robot joints and external axes that this robot does not have.
    void EliminateNonexistentJoints(float* joints) const;

    // True when the command acts for the logic interpreter (set by the loader): what it
    // stores is then static and survives the main program's deletions.
    bool BelongsToLogicInterpreter() const;

    // "Nr" (0 when absent or not a number) into number and "Descr" into description; the
    // loader reads them of every element besides ReadXML, so that both are written back.
    void ReadNumberAndDescription(const tinyxml2::XMLElement& element);

    // The Cartesian velocity a move runs at: the programmed one, at most the limit the
    // loader set. The programmed value itself is kept as written, so the file is saved as
    // it was loaded.
    float UsedVelCartesian() const;

    // What closes blocks after this element in its file, in file order; the loader records
    // them and the program writer writes them after the element.
    enum class BlockEnd : std::uint8_t { Else, EndIf, EndLoop, MatrixEnd };
    static const char* BlockEndTag(BlockEnd end);

    // Attribute readers: XMLAttribNotFoundException when missing,
    // XMLAttribParseException when the text is not of the type.
    static int ReadInt(const tinyxml2::XMLElement& element, const std::string& name);
    static float ReadFloat(const tinyxml2::XMLElement& element, const std::string& name);
    static bool ReadBool(const tinyxml2::XMLElement& element, const std::string& name);
    static std::string ReadString(const tinyxml2::XMLElement& element, const std::string& name);

    // Fields, in this order; the loader, the interpreter and the planners read and set them.
    bool combinable = true;           // may run in the same cycle as its predecessor
    IPO* interpreter = nullptr;       // set by the loader for the commands that need it
    Programs::ProgramMemory* memory = nullptr;  // set by the creator after ReadXML
    int number = 0;                   // command number given by the creator
    CommandType commandType = CMD_LOGIC;
    std::string className;            // "CommandJoint", "CommandLinear", ...
    bool valid = true;                // the element was read completely
    int predecessor = -42;
    int nextSuccessor = -2;           // slot 0
    int bodySuccessor = -2;           // slot 1: If branch or Loop body
    int elseSuccessor = -2;           // slot 2: Else branch
    bool firstCycle = true;           // the next Interpolate starts a run of this command
    int nrRobotJoints = 6;            // 1..6
    int nrExternalJoints = 3;         // 0..3
    float jointMaxVelocity[maxJoints] = {45.0f, 45.0f, 45.0f, 45.0f, 45.0f,
                                         45.0f, 45.0f, 45.0f, 45.0f};
    float velJointPercent = 30.0f;    // joint moves, percent of the joint maximum
    float velCartesian = 10.0f;       // mm/s
    float velRotation = 90.0f;        // degrees/s
    float accPercent = 30.0f;
    float smoothPercent = 30.0f;
    float velCartesianLimit = -1.0f;  // mm/s; negative: none
    std::string description;          // "Descr" of the element
    std::vector<BlockEnd> blockEndsAfter;

protected:
    // The program memory; without one, logs and throws std::runtime_error.
    Programs::ProgramMemory& Memory();

private:
    // The variable, checked to be a position; logs the given format on a wrong type.
    Programs::MemoryPosition PositionVariable(const std::string& name, const char* typeErrorFormat);
};
