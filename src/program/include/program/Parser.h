#pragma once

// Boolean conditions of program commands: literal numbers, true/false, number variables,
// single elements of position variables ("p1.z"), digital inputs ("din3") and global
// signals ("gsig12"), joined by comparators, and/or (same precedence, grouped from the
// left), negation and parentheses. Comparisons bind tightest and need a number directly
// on both sides.

#include "program/ProgramMemory.h"
#include "program/Tokens.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace DataTypes {
class RobotState;
}

namespace Programs {
class MemoryPosition;
class ProgramMemory;
}  // namespace Programs

namespace BooleanLogicParser {

// Tokens consumed from the front. Kept as a vector with a read position so that a parser
// kept by a command evaluates without touching the heap once its buffers have grown.
class TokenList {
public:
    void clear() {
        items.clear();
        head = 0;
    }
    bool empty() const { return head == items.size(); }
    std::size_t size() const { return items.size() - head; }
    const Token& front() const { return items[head]; }
    void pop_front() { ++head; }
    void push_back(const Token& token) { items.push_back(token); }
    const Token* begin() const { return items.data() + head; }
    const Token* end() const { return items.data() + items.size(); }

private:
    std::vector<Token> items;
    std::size_t head = 0;
};

class Parser {
public:
    // Nesting of parentheses and of negations after and/or that one evaluation accepts;
    // deeper conditions are refused instead of exhausting the stack.
    static constexpr int kMaxNesting = 1000;

    // Lower-cases, tokenizes and checks the text; std::invalid_argument on a syntax fault
    // (the parser then holds no tokens). "&&" and "||" are skipped like any other
    // unknown character; the first time a condition holding them is seen in this
    // process, one warning naming it is logged.
    void SetExpression(const std::string& text);

    // Value of the expression against the variables and the robot state. Each call starts
    // again from the tokens of the last SetExpression. Faults throw std::invalid_argument
    // or std::runtime_error with the texts the log shows.
    bool Evaluate(Programs::ProgramMemory* memory, const DataTypes::RobotState& state);

    const std::string& GetExpression() const { return expression; }
    const std::vector<Token>& GetTokens() const { return tokens; }

    // Debug listings on standard output.
    static void PrintTokenVector(const std::vector<Token>& list);
    static void PrintTokenList(const TokenList& list);

private:
    int Tokenize();
    Token ParseKeyword(std::size_t& pos) const;
    void CheckSyntax() const;
    void CheckParentheses() const;

    void EvaluateVariables(Programs::ProgramMemory* memory, const DataTypes::RobotState& state);
    void EvaluateComparisons();
    bool Parse();
    bool ParseBoolean();

    float GetVariableNumberValue(std::string_view name);
    float GetVariablePositionElement(std::string_view name, std::string_view element);
    // The variable's value, read without a copy; the same faults as above.
    void ReadVariable(std::string_view name, Programs::ProgramMemory::VariableValue& out);

    static std::string ToLowerCase(std::string text);
    static bool IsLetter(char c) { return c >= 'a' && c <= 'z'; }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static bool IsDigitOrLetter(char c) { return IsLetter(c) || IsDigit(c); }
    // True when every character is a digit, and for the empty text.
    static bool IsNumber(std::string_view text);

    std::string expression;     // the condition, lower case
    std::vector<Token> tokens;  // result of Tokenize
    TokenList resolved;         // variables, inputs and signals replaced by values
    TokenList solved;           // comparisons replaced by TRUE/FALSE; consumed by Parse
    Programs::ProgramMemory* memory = nullptr;  // not owned; set by every evaluation
    int nesting = 0;            // current depth of Parse
};

}  // namespace BooleanLogicParser
