#pragma once

// The entry program commands use for their conditions: hand it the text, then ask for
// the value against the current variables and robot state.

#include "program/Parser.h"

#include <string>

namespace BooleanLogicParser {

class BooleanLogicParserFrontend {
public:
    BooleanLogicParserFrontend() = default;

    // Stores the text and checks it; std::invalid_argument on a syntax fault. Handing
    // the same text again keeps the tokens of the last successful call, so a command may
    // keep one frontend and call this before every evaluation; a text that failed is
    // checked again (and fails again) on every call.
    void SetExpression(const std::string& text);

    // Value of the condition; the parser's exceptions pass through. A null state throws
    // std::runtime_error.
    bool GetCurrentResult(Programs::ProgramMemory* memory, const DataTypes::RobotState* state);

    const std::string& GetExpression() const { return expression; }

private:
    std::string expression;  // as the caller passed it
    Parser parser;
    bool checked = false;  // the parser holds the tokens of expression
};

}  // namespace BooleanLogicParser

using BooleanLogicParser::BooleanLogicParserFrontend;
