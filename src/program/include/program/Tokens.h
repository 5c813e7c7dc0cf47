#pragma once

// Tokens of the condition language: literals, words, comparators, and/or, negation and
// parentheses.

#include <string>

// Some C headers (libmodbus among them) define TRUE and FALSE as macros; keep them out
// of the token kinds below.
#pragma push_macro("TRUE")
#pragma push_macro("FALSE")
#undef TRUE
#undef FALSE

namespace BooleanLogicParser {

enum TokenTypes : int {
    UNDEFINED = 0,
    TRUE = 1,
    FALSE = 2,
    NEGATION = 3,  // "!"
    AND = 4,
    OR = 5,
    OpenParenthesis = 6,
    ClosedParenthesis = 7,
    NUMBER = 8,    // a word without letters
    VARIABLE = 9,  // a word with at least one letter
    Equal = 10,
    Bigger = 11,
    Smaller = 12,
    BiggerEqual = 13,
    SmallerEqual = 14,
};

// Kinds 10..14.
bool IsComparaterToken(TokenTypes kind);
// AND, OR.
bool IsOperatorToken(TokenTypes kind);
// TRUE, FALSE and both parentheses.
bool IsBooleanValueToken(TokenTypes kind);

class Token {
public:
    TokenTypes kind = UNDEFINED;
    std::string name = "na";  // VARIABLE only: the word, lower case
    float value = 0.0f;       // NUMBER only

    Token() = default;
    explicit Token(TokenTypes kind) : kind(kind) {}
    Token(const Token&) = default;
    Token& operator=(const Token&) = default;

    bool IsComparator() const { return IsComparaterToken(kind); }
    bool IsOperator() const { return IsOperatorToken(kind); }
    // "Token NUMBER   Value: 3.0", "Token VARIABLE   Name: din1", "Token AND   ".
    std::string toString() const;
};

}  // namespace BooleanLogicParser

#pragma pop_macro("FALSE")
#pragma pop_macro("TRUE")
