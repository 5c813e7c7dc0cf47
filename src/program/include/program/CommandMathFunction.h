#pragma once

#include "program/Command.h"

#include <string>
#include <vector>

namespace Programs {

// The non-empty pieces of text between any of the delimiter characters; runs of
// delimiters count as one and leading or trailing ones give no empty piece.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiters);

}  // namespace Programs

// Program element "MathOperator": arithmetic on number variables, single position
// elements ("p.x") and whole positions. The first operand receives the result.
class CommandMathFunction : public Command {
public:
    // All lower case.
    std::string function;  // add, subtract, set, multiply, divide, modulus
    std::string firstOperand;
    std::string secondOperand;

    CommandMathFunction();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    // One "MathOperator" line with every attribute it was read with.
    void WriteXML(std::ofstream* out, int commandCount) override;
    // Computes and stores the result; faults throw before anything is stored.
    int Interpolate(int cycleMs, float overridePercent, DataTypes::RobotState* state) override;
    std::string ToString() override;

private:
    // One operand: a scalar value, or the name of a whole position.
    struct Operand {
        bool scalar = false;
        float value = 0.0f;
        std::string name;     // variable name (before the ".")
        std::string element;  // element name after the ".", empty without one
    };
    // Splits "name.element"; std::invalid_argument unless exactly two pieces.
    static void SplitOperand(const std::string& text, Operand& out);
    Operand EvaluateFirst();
    Operand EvaluateSecond();
    static float ScalarOperation(const std::string& function, float a, float b);
    // The variable's robot state, which must be a position or a number.
    DataTypes::RobotState FetchState(const std::string& name);
};
