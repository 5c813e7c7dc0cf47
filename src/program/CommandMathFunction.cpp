#include "program/CommandMathFunction.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <stdexcept>

namespace Programs {

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> pieces;
    std::string::size_type start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const std::string::size_type end = text.find_first_of(delimiters, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(delimiters, end);
    }
    return pieces;
}

}  // namespace Programs

namespace {

const char kInvalidOperation[] = "Invalid operation in MathOperator";
const char kUnknownOperation[] = "Unknown operation in MathOperator";

// The fifteen values of a position a whole-position operation works on.
constexpr int kComponents = 15;

float* Component(DataTypes::RobotState& s, int i) {
    switch (i) {
        case 0: return &s.pose.m[3];
        case 1: return &s.pose.m[7];
        case 2: return &s.pose.m[11];
        case 3: return &s.A;
        case 4: return &s.B;
        case 5: return &s.C;
        default: return &s.jointSet[i - 6];
    }
}

// A leading number, as "5", "-2.5" or "3mm". Words such as "nan_count" or "info" are
// variable names, not the C library's nan/inf spellings.
bool ScanNumber(const std::string& text, float& out) {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    const char c = *p;
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.')) {
        return false;
    }
    char* end = nullptr;
    const float value = std::strtof(p, &end);
    if (end == p) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

CommandMathFunction::CommandMathFunction() {
    className = "CommandMathFunction";
    commandType = CMD_LOGIC;
}

void CommandMathFunction::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // Data commands always log their line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        const char* f = element->Attribute("Function");
        const char* first = element->Attribute("FirstOperand");
        const char* second = element->Attribute("SecondOperand");
        if (f == nullptr || first == nullptr || second == nullptr) {
            valid = false;
            log->addError("Could not read CommandMathFunction, incomplete arguments");
            return;
        }
        function = Programs::ToLowerCase(f);
        firstOperand = Programs::ToLowerCase(first);
        secondOperand = Programs::ToLowerCase(second);
        valid = true;
        log->addFormat("   Nr. %d: Math %s FirstOp: %s SecondOp: %s", nr, function.c_str(), firstOperand.c_str(),
                       secondOperand.c_str());
    } catch (const std::exception&) {
        valid = false;
        log->addError("Error: could not read Math command...");
    }
}

void CommandMathFunction::SplitOperand(const std::string& text, Operand& out) {
    const std::vector<std::string> pieces = Programs::SplitString(text, ".");
    // "p..x" splits like "p.x"; ".x", "p." and "p.x.y" do not name one element.
    if (pieces.size() != 2 || text.front() == '.' || text.back() == '.') {
        throw std::invalid_argument("MathOperator: invalid operand \"" + text + "\", expected variable.element");
    }
    out.name = pieces[0];
    out.element = pieces[1];
}

CommandMathFunction::Operand CommandMathFunction::EvaluateFirst() {
    Operand a;
    if (firstOperand.find('.') == std::string::npos) {
        a.name = firstOperand;
        if (Memory().GetVariableType(firstOperand) == Programs::MemoryPosition::TypeNumber) {
            a.scalar = true;
            a.value = GetVariableNumberValue(firstOperand);
        }
        return a;
    }
    SplitOperand(firstOperand, a);
    a.scalar = true;
    a.value = GetVariablePositionElement(a.name, a.element);
    return a;
}

CommandMathFunction::Operand CommandMathFunction::EvaluateSecond() {
    Operand b;
    if (ScanNumber(secondOperand, b.value)) {
        b.scalar = true;
        return b;
    }
    if (secondOperand.find('.') == std::string::npos) {
        b.name = secondOperand;
        if (Memory().GetVariableType(secondOperand) == Programs::MemoryPosition::TypeNumber) {
            b.scalar = true;
            b.value = GetVariableNumberValue(secondOperand);
        }
        return b;
    }
    SplitOperand(secondOperand, b);
    b.scalar = true;
    b.value = GetVariablePositionElement(b.name, b.element);
    return b;
}

float CommandMathFunction::ScalarOperation(const std::string& f, float a, float b) {
    if (f == "add") return a + b;
    if (f == "subtract") return a - b;
    if (f == "set") return b;
    if (f == "multiply") return a * b;
    if (f == "divide") return a / b;  // not guarded: infinity or NaN, as the program wrote it
    if (f == "modulus") return std::fmod(a, b);
    throw std::invalid_argument("Unknown operation in MathOperator!");
}

DataTypes::RobotState CommandMathFunction::FetchState(const std::string& name) {
    Programs::MemoryPosition variable = Memory().GetVariable(name);
    if (variable.type != Programs::MemoryPosition::TypePosition &&
        variable.type != Programs::MemoryPosition::TypeNumber) {
        throw std::invalid_argument("Variable not defined");
    }
    return variable.state;
}

int CommandMathFunction::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* /*state*/) {
    const Operand a = EvaluateFirst();
    const Operand b = EvaluateSecond();

    if (a.scalar) {
        if (!b.scalar) {
            throw std::invalid_argument("Invalid second operand, must be scalar");
        }
        const float r = ScalarOperation(function, a.value, b.value);
        if (a.element.empty()) {
            Memory().SetVariable(Programs::MemoryPosition(a.name, static_cast<double>(r), false),
                                 Programs::ContentNumber);
        } else {
            // Only that element changes; nothing is recomputed.
            SetVariablePositionElement(a.name, a.element, r);
        }
        return nextSuccessor;
    }

    DataTypes::RobotState result = FetchState(a.name);
    if (!b.scalar) {
        DataTypes::RobotState other = FetchState(b.name);
        int op;
        if (function == "add") {
            op = 0;
        } else if (function == "subtract") {
            op = 1;
        } else if (function == "set") {
            op = 2;
        } else if (function == "multiply" || function == "divide" || function == "modulus") {
            throw std::invalid_argument(kInvalidOperation);
        } else {
            throw std::invalid_argument(kUnknownOperation);
        }
        for (int i = 0; i < kComponents; ++i) {
            float& r = *Component(result, i);
            const float o = *Component(other, i);
            r = op == 0 ? r + o : op == 1 ? r - o : o;
        }
    } else {
        int op;
        if (function == "multiply") {
            op = 0;
        } else if (function == "divide") {
            op = 1;
        } else if (function == "modulus") {
            op = 2;
        } else if (function == "add" || function == "subtract" || function == "set") {
            throw std::invalid_argument(kInvalidOperation);
        } else {
            throw std::invalid_argument(kUnknownOperation);
        }
        for (int i = 0; i < kComponents; ++i) {
            float& r = *Component(result, i);
            r = op == 0 ? r * b.value : op == 1 ? r / b.value : std::fmod(r, b.value);
        }
    }
    Memory().SetVariable(Programs::MemoryPosition(a.name, result, false), Programs::ContentUnchanged);
    return nextSuccessor;
}

std::string CommandMathFunction::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command Math %s FirstOp: %s SecondOp: %s - Pre: %d - Succ: %d %d %d",
                  function.c_str(), firstOperand.c_str(), secondOperand.c_str(), predecessor, nextSuccessor,
                  bodySuccessor, elseSuccessor);
    return line;
}

void CommandMathFunction::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "MathOperator", *this)
            .Text("Function", function)
            .Text("FirstOperand", firstOperand)
            .Text("SecondOperand", secondOperand)
            .End(*this);
    }
}
