#include "program/Parser.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "program/ProgramMemory.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <unordered_set>

namespace BooleanLogicParser {

namespace {

// Stored programs may still write "&&" and "||", which the tokenizer skips, so only the
// first comparison of "a > 1 && b < 2" decides. Each such condition is reported once per
// process; commands evaluate their condition every cycle and must not flood the log.
void WarnSkippedOperators(const std::string& lowerCase, const std::string& asWritten) {
    static std::mutex mutex;
    static std::unordered_set<std::string> reported;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!reported.insert(lowerCase).second) {
            return;
        }
    }
    LogSingleton::instance()->add("BooleanParser: \"&&\" and \"||\" are ignored in condition \"" +
                                  asWritten + "\", write \"and\" and \"or\"");
}

// Digits after "din"/"gsig"; saturates so that the range check rejects overlong numbers.
int DigitsToInt(std::string_view digits) {
    long long n = 0;
    for (char c : digits) {
        n = n * 10 + (c - '0');
        if (n > INT_MAX) {
            return INT_MAX;
        }
    }
    return static_cast<int>(n);
}

[[noreturn]] void ThrowRangeError(const char* format, int n, int max) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, n, max);
    LogSingleton::instance()->addError(buffer);
    throw std::runtime_error(buffer);
}

bool IsWordStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '#';
}

bool IsWordChar(char c) { return IsWordStart(c) || c == '.'; }

bool IsSolvedKind(TokenTypes kind) {
    switch (kind) {
        case TRUE:
        case FALSE:
        case NEGATION:
        case AND:
        case OR:
        case OpenParenthesis:
        case ClosedParenthesis:
            return true;
        default:
            return false;
    }
}

bool Compare(TokenTypes comparator, float lhs, float rhs) {
    switch (comparator) {
        case Equal: return lhs == rhs;
        case Bigger: return lhs > rhs;
        case Smaller: return lhs < rhs;
        case BiggerEqual: return !(lhs < rhs);
        case SmallerEqual: return !(lhs > rhs);
        default: return false;
    }
}

}  // namespace

// --- Checking ---

void Parser::SetExpression(const std::string& text) {
    tokens.clear();
    resolved.clear();
    solved.clear();
    expression = ToLowerCase(text);
    try {
        Tokenize();
        CheckSyntax();
        CheckParentheses();
    } catch (...) {
        // A refused text leaves nothing to evaluate.
        tokens.clear();
        throw;
    }
    if (expression.find("&&") != std::string::npos || expression.find("||") != std::string::npos) {
        WarnSkippedOperators(expression, text);
    }
}

int Parser::Tokenize() {
    std::size_t pos = 0;
    const std::size_t length = expression.size();
    while (pos < length) {
        const char c = expression[pos];
        const char next = pos + 1 < length ? expression[pos + 1] : '\0';
        switch (c) {
            case '!': tokens.emplace_back(NEGATION); ++pos; continue;
            case '(': tokens.emplace_back(OpenParenthesis); ++pos; continue;
            case ')': tokens.emplace_back(ClosedParenthesis); ++pos; continue;
            case '=': tokens.emplace_back(Equal); ++pos; continue;
            case '>':
                tokens.emplace_back(next == '=' ? BiggerEqual : Bigger);
                pos += next == '=' ? 2 : 1;
                continue;
            case '<':
                tokens.emplace_back(next == '=' ? SmallerEqual : Smaller);
                pos += next == '=' ? 2 : 1;
                continue;
            default:
                break;
        }
        if (IsWordStart(c)) {
            tokens.push_back(ParseKeyword(pos));
        } else {
            ++pos;  // blanks and everything unknown
        }
    }
    return static_cast<int>(tokens.size());
}

Token Parser::ParseKeyword(std::size_t& pos) const {
    const std::size_t start = pos;
    bool hasLetter = false;
    while (pos < expression.size() && IsWordChar(expression[pos])) {
        hasLetter = hasLetter || IsLetter(expression[pos]);
        ++pos;
    }
    const std::string word = expression.substr(start, pos - start);
    if (word == "true") return Token(TRUE);
    if (word == "false") return Token(FALSE);
    if (word == "and") return Token(AND);
    if (word == "or") return Token(OR);
    if (!hasLetter) {
        Token number(NUMBER);
        number.value = static_cast<float>(std::atof(word.c_str()));
        return number;
    }
    Token variable(VARIABLE);
    variable.name = word;
    return variable;
}

void Parser::CheckSyntax() const {
    bool noComparator = false;
    bool noOperator = false;
    bool noOpenParenthesis = false;
    for (const Token& token : tokens) {
        if ((token.IsOperator() && noOperator) || (token.IsComparator() && noComparator) ||
            (token.kind == OpenParenthesis && noOpenParenthesis)) {
            throw std::invalid_argument("BooleanParser: Syntax Error!");
        }
        switch (token.kind) {
            case AND:
            case OR:
            case NEGATION:
            case OpenParenthesis:
                noComparator = true;
                noOperator = true;
                noOpenParenthesis = false;
                break;
            case ClosedParenthesis:
                noComparator = true;
                noOperator = false;
                noOpenParenthesis = true;
                break;
            case TRUE:
            case FALSE:
            case NUMBER:
            case VARIABLE:
                noComparator = false;
                noOperator = false;
                noOpenParenthesis = true;
                break;
            default:
                if (token.IsComparator()) {
                    noComparator = true;
                    noOperator = true;
                    noOpenParenthesis = true;
                }
                break;
        }
    }
}

void Parser::CheckParentheses() const {
    int depth = 0;
    for (const Token& token : tokens) {
        if (token.kind == OpenParenthesis) {
            ++depth;
        } else if (token.kind == ClosedParenthesis) {
            if (--depth < 0) {
                throw std::invalid_argument("BooleanParser: Missing (!");
            }
        }
    }
    if (depth > 0) {
        throw std::invalid_argument("BooleanParser: Missing )!");
    }
}

// --- Evaluation ---

bool Parser::Evaluate(Programs::ProgramMemory* memory, const DataTypes::RobotState& state) {
    EvaluateVariables(memory, state);
    EvaluateComparisons();
    for (const Token& token : solved) {
        if (!IsSolvedKind(token.kind)) {
            LogSingleton::instance()->add(
                "ERROR: BooleanParser - Invalid Condition, Comparison not solved!");
            throw std::invalid_argument("BooleanParser: Invalid Condition, Comparison not solved!");
        }
    }
    nesting = 0;
    return Parse();
}

void Parser::EvaluateVariables(Programs::ProgramMemory* memory, const DataTypes::RobotState& state) {
    this->memory = memory;
    resolved.clear();
    for (const Token& token : tokens) {
        if (token.kind != VARIABLE) {
            resolved.push_back(token);
            continue;
        }
        const std::string& name = token.name;
        const std::string_view view(name);
        if (name.size() >= 4 && view.substr(0, 3) == "din" && IsNumber(view.substr(3))) {
            const int n = DigitsToInt(view.substr(3));
            if (n < 1 || n > DataTypes::RobotState::maxIOs) {
                ThrowRangeError("invalid DIn number in condition (%d > %d)", n,
                                DataTypes::RobotState::maxIOs);
            }
            resolved.push_back(Token(state.DIn[n - 1] ? TRUE : FALSE));
        } else if (name.size() >= 5 && view.substr(0, 4) == "gsig" && IsNumber(view.substr(4))) {
            const int n = DigitsToInt(view.substr(4));
            if (n < 1 || n > DataTypes::RobotState::maxSignals) {
                ThrowRangeError("invalid GSig number in condition (%d > %d)", n,
                                DataTypes::RobotState::maxSignals);
            }
            resolved.push_back(Token(state.GSig[n - 1] ? TRUE : FALSE));
        } else {
            Token number(NUMBER);
            const std::size_t dot = name.find('.');
            if (dot == std::string::npos) {
                number.value = GetVariableNumberValue(view);
            } else {
                number.value = GetVariablePositionElement(view.substr(0, dot), view.substr(dot + 1));
            }
            resolved.push_back(number);
        }
    }
}

void Parser::EvaluateComparisons() {
    solved.clear();
    if (resolved.size() < 3) {
        for (const Token& token : resolved) {
            solved.push_back(token);
        }
        resolved.clear();
        return;
    }
    auto take = [this]() {
        Token token = resolved.front();
        resolved.pop_front();
        return token;
    };
    Token first;
    Token middle = take();
    Token last = take();
    bool comparedLast = false;
    while (!resolved.empty()) {
        first = middle;
        middle = last;
        last = take();
        comparedLast = false;
        if (first.kind == NUMBER && middle.IsComparator() && last.kind == NUMBER) {
            solved.push_back(Token(Compare(middle.kind, first.value, last.value) ? TRUE : FALSE));
            comparedLast = true;
            if (resolved.size() < 3) {
                break;
            }
            middle = take();
            last = take();
        } else {
            solved.push_back(first);
        }
    }
    if (!comparedLast) {
        solved.push_back(middle);
        solved.push_back(last);
    }
    while (!resolved.empty()) {
        solved.push_back(take());
    }
}

bool Parser::Parse() {
    if (solved.empty()) {
        throw std::invalid_argument("BooleanLogicParser: empty expression!");
    }
    if (++nesting > kMaxNesting) {
        throw std::invalid_argument("BooleanParser: Expression nested too deeply!");
    }
    int negations = 0;
    while (!solved.empty() && solved.front().kind == NEGATION) {
        ++negations;
        solved.pop_front();
    }
    if (solved.empty()) {
        // "!" at the end, or "... and !": nothing left to negate.
        throw std::invalid_argument("BooleanParser: Missing expression after negation!");
    }
    bool result = ParseBoolean();
    if (negations % 2 == 1) {
        result = !result;
    }
    while (!solved.empty() && solved.front().IsOperator()) {
        const TokenTypes op = solved.front().kind;
        solved.pop_front();
        if (solved.empty()) {
            throw std::invalid_argument("BooleanParser: Missing expression after operand!");
        }
        const bool rhs = ParseBoolean();
        result = op == AND ? (result && rhs) : (result || rhs);
    }
    --nesting;
    return result;
}

bool Parser::ParseBoolean() {
    if (solved.empty()) {
        throw std::invalid_argument("BooleanLogicParser: empty expression!");
    }
    switch (solved.front().kind) {
        case TRUE:
        case FALSE: {
            const bool value = solved.front().kind == TRUE;
            solved.pop_front();
            return value;
        }
        case OpenParenthesis: {
            solved.pop_front();
            const bool value = Parse();
            if (solved.empty() || solved.front().kind != ClosedParenthesis) {
                throw std::invalid_argument("BooleanParser: Expecting closing parenthesis!");
            }
            solved.pop_front();
            return value;
        }
        case ClosedParenthesis:
            throw std::invalid_argument("BooleanParser: Unexpected closing parenthesis!");
        case AND:
        case OR:
            // Only a leading operator gets here (the syntax check refuses the others);
            // parsing it as a new expression would recurse without end.
            throw std::invalid_argument("BooleanParser: Syntax Error!");
        default:
            return Parse();
    }
}

// --- Variables ---

float Parser::GetVariableNumberValue(std::string_view name) {
    Programs::ProgramMemory::VariableValue variable;
    ReadVariable(name, variable);
    if (variable.type != Programs::MemoryPosition::TypeNumber) {
        LogSingleton::instance()->addFormat("Memory: Variable %.*s is not a number variable!",
                                            static_cast<int>(name.size()), name.data());
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    return static_cast<float>(variable.value);
}

float Parser::GetVariablePositionElement(std::string_view name, std::string_view element) {
    Programs::ProgramMemory::VariableValue variable;
    ReadVariable(name, variable);
    if (variable.type != Programs::MemoryPosition::TypePosition) {
        LogSingleton::instance()->addFormat("Memory: Variable %.*s is not a position variable!",
                                            static_cast<int>(name.size()), name.data());
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    if (element.size() == 1) {
        switch (lower(element[0])) {
            case 'x': return variable.pose(0, 3);
            case 'y': return variable.pose(1, 3);
            case 'z': return variable.pose(2, 3);
            case 'a': return variable.A;
            case 'b': return variable.B;
            case 'c': return variable.C;
            default: break;
        }
    } else if (element.size() == 2 && element[1] >= '1') {
        const char kind = lower(element[0]);
        if (kind == 'a' && element[1] <= '6') {
            return variable.joints[element[1] - '1'];
        }
        if (kind == 'e' && element[1] <= '3') {
            return variable.joints[6 + (element[1] - '1')];
        }
    }
    LogSingleton::instance()->addFormat("Memory: wrong element access: %.*s", static_cast<int>(element.size()),
                                        element.data());
    throw std::invalid_argument("GetFromMemory: wrong element access");
}

void Parser::ReadVariable(std::string_view name, Programs::ProgramMemory::VariableValue& out) {
    if (memory == nullptr) {
        LogSingleton::instance()->add("BooleanParser: Memory not initialized!");
        throw std::runtime_error("BooleanParser: Memory not initialized");
    }
    // Read in place: conditions are evaluated every robot cycle and must not allocate.
    if (memory->ReadValue(name, out)) {
        return;
    }
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer), "BooleanParser: Could not find variable \"%.*s\"!",
                  static_cast<int>(name.size()), name.data());
    LogSingleton::instance()->add(buffer);
    throw std::invalid_argument(buffer);
}

// --- Helpers ---

std::string Parser::ToLowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool Parser::IsNumber(std::string_view text) {
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return true;
}

void Parser::PrintTokenVector(const std::vector<Token>& list) {
    std::cout << std::endl << "TokenVector:" << std::endl;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::cout << i << ": " << list[i].toString() << std::endl;
    }
    std::cout << std::endl;
}

void Parser::PrintTokenList(const TokenList& list) {
    std::cout << std::endl << "TokenList Size " << list.size() << ":" << std::endl;
    std::size_t i = 0;
    for (const Token& token : list) {
        std::cout << i++ << ": " << token.toString() << std::endl;
    }
    std::cout << std::endl;
}

}  // namespace BooleanLogicParser
