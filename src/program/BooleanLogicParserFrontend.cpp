#include "program/BooleanLogicParserFrontend.h"

#include <stdexcept>

namespace BooleanLogicParser {

void BooleanLogicParserFrontend::SetExpression(const std::string& text) {
    if (checked && text == expression) {
        return;
    }
    checked = false;
    expression = text;
    parser.SetExpression(text);
    checked = true;
}

bool BooleanLogicParserFrontend::GetCurrentResult(Programs::ProgramMemory* memory,
                                                  const DataTypes::RobotState* state) {
    if (state == nullptr) {
        throw std::runtime_error("BooleanParser: Robot state not initialized");
    }
    if (!checked) {
        // A text refused earlier is refused again here, so a command that keeps its
        // frontend sees the fault at every evaluation.
        parser.SetExpression(expression);
        checked = true;
    }
    return parser.Evaluate(memory, *state);
}

}  // namespace BooleanLogicParser
