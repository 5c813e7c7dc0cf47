#include "program/Tokens.h"

#include <cstdio>

namespace BooleanLogicParser {

bool IsComparaterToken(TokenTypes kind) { return kind >= Equal && kind <= SmallerEqual; }

bool IsOperatorToken(TokenTypes kind) { return kind == AND || kind == OR; }

bool IsBooleanValueToken(TokenTypes kind) {
    return kind == TRUE || kind == FALSE || kind == OpenParenthesis || kind == ClosedParenthesis;
}

namespace {

const char* KindName(TokenTypes kind) {
    switch (kind) {
        case UNDEFINED: return "UNDEFINED ";
        case TRUE: return "TRUE ";
        case FALSE: return "FALSE ";
        case NEGATION: return "NEGATION ";
        case AND: return "AND ";
        case OR: return "OR ";
        case OpenParenthesis: return "OpenParenthesis ";
        case ClosedParenthesis: return "ClosedParenthesis ";
        case NUMBER: return "NUMBER ";
        case VARIABLE: return "VARIABLE ";
        case Equal: return "Equal ";
        case Bigger: return "Bigger ";
        case Smaller: return "Smaller ";
        case BiggerEqual: return "BiggerEqual ";
        case SmallerEqual: return "SmallerEqual ";
    }
    return "UNDEFINED ";
}

}  // namespace

std::string Token::toString() const {
    char buffer[256];
    if (kind == NUMBER) {
        std::snprintf(buffer, sizeof(buffer), "Token %s  Value: %.1f", KindName(kind),
                      static_cast<double>(value));
    } else if (kind == VARIABLE) {
        std::snprintf(buffer, sizeof(buffer), "Token %s  Name: %s", KindName(kind), name.c_str());
    } else {
        std::snprintf(buffer, sizeof(buffer), "Token %s  ", KindName(kind));
    }
    return buffer;
}

}  // namespace BooleanLogicParser
