#include "remote/HvpArgumentReader.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace Remote {

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Digits of one base, at least one, into a value within int (sign applied).
bool ParseDigits(std::string_view digits, int base, bool negative, int& out) {
    if (digits.empty()) return false;
    long long value = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (char c : digits) {
        const int d = DigitValue(c);
        if (d >= base) return false;
        value = value * base + d;
        if (value > limit) return false;
    }
    out = static_cast<int>(negative ? -value : value);
    return true;
}

bool SplitSign(std::string_view& token, bool& negative) {
    negative = false;
    if (token.empty()) return false;
    if (token[0] == '+' || token[0] == '-') {
        negative = token[0] == '-';
        token.remove_prefix(1);
    }
    return !token.empty();
}

}  // namespace

bool HvpArgumentReader::IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

HvpArgumentReader::HvpArgumentReader(std::string_view text) : frame(text) {
    if (frame.size() < kStart.size() + kEnd.size() || frame.substr(0, kStart.size()) != kStart ||
        frame.substr(frame.size() - kEnd.size()) != kEnd ||
        std::memchr(frame.data(), '\0', frame.size()) != nullptr) {
        return;
    }
    parsable = true;
    body = frame.substr(kStart.size(), frame.size() - kStart.size() - kEnd.size());
    std::size_t i = 0;
    while (i < body.size()) {
        while (i < body.size() && IsBlank(body[i])) ++i;
        const std::size_t start = i;
        while (i < body.size() && !IsBlank(body[i])) ++i;
        if (i > start) {
            const std::string_view token = body.substr(start, i - start);
            if (token == kEnd) break;
            tokens.push_back(token);
        }
    }
}

std::string_view HvpArgumentReader::Token(std::size_t i) const {
    return i < tokens.size() ? tokens[i] : std::string_view();
}

bool HvpArgumentReader::ParseInt(std::string_view token, int& out) {
    bool negative = false;
    if (!SplitSign(token, negative)) return false;
    return ParseDigits(token, 10, negative, out);
}

bool HvpArgumentReader::ParseIntAuto(std::string_view token, int& out) {
    bool negative = false;
    if (!SplitSign(token, negative)) return false;
    if (token.size() > 1 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        return ParseDigits(token.substr(2), 16, negative, out);
    }
    if (token.size() > 1 && token[0] == '0') return ParseDigits(token.substr(1), 8, negative, out);
    return ParseDigits(token, 10, negative, out);
}

bool HvpArgumentReader::ParseDouble(std::string_view token, double& out) {
    if (token.empty()) return false;
    const std::string text(token);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool HvpArgumentReader::ParseFloat(std::string_view token, float& out) {
    if (token.empty()) return false;
    const std::string text(token);
    char* end = nullptr;
    const float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool HvpArgumentReader::ReadInt(int& out) {
    if (AtEnd() || !ParseInt(tokens[position], out)) return false;
    ++position;
    return true;
}

bool HvpArgumentReader::ReadIntAuto(int& out) {
    if (AtEnd() || !ParseIntAuto(tokens[position], out)) return false;
    ++position;
    return true;
}

bool HvpArgumentReader::ReadFloat(float& out) {
    if (AtEnd() || !ParseFloat(tokens[position], out)) return false;
    ++position;
    return true;
}

bool HvpArgumentReader::ReadFloats(float* out, int count) {
    for (int i = 0; i < count; ++i) {
        if (!ReadFloat(out[i])) return false;
    }
    return true;
}

bool HvpArgumentReader::ReadFloatsUpTo(float* out, int max, int& count) {
    for (count = 0; count < max && !AtEnd(); ++count) {
        if (!ReadFloat(out[count])) return false;
    }
    return true;
}

bool HvpArgumentReader::ReadIntsUpTo(int* out, int max, int& count) {
    for (count = 0; count < max && !AtEnd(); ++count) {
        if (!ReadInt(out[count])) return false;
    }
    return true;
}

bool HvpArgumentReader::ReadDouble(double& out) {
    if (AtEnd() || !ParseDouble(tokens[position], out)) return false;
    ++position;
    return true;
}

bool HvpArgumentReader::ReadWord(std::string& out) {
    if (AtEnd()) return false;
    out.assign(tokens[position].data(), tokens[position].size());
    ++position;
    return true;
}

bool HvpArgumentReader::ReadWord(std::string_view& out) {
    if (AtEnd()) return false;
    out = tokens[position++];
    return true;
}

bool HvpArgumentReader::Expect(std::string_view word) {
    if (AtEnd() || tokens[position] != word) return false;
    ++position;
    return true;
}

bool HvpArgumentReader::Skip() {
    if (AtEnd()) return false;
    ++position;
    return true;
}

std::string_view HvpArgumentReader::RestOfLine() const {
    if (!parsable) return {};
    std::size_t start = 0;
    if (position > 0 && position <= tokens.size()) {
        const std::string_view last = tokens[position - 1];
        start = static_cast<std::size_t>(last.data() + last.size() - body.data());
    }
    if (start < body.size()) ++start;  // the one blank after the token
    std::size_t end = body.size();
    if (end > start && body[end - 1] == ' ') --end;  // the one blank before "HVPEND"
    return end > start ? body.substr(start, end - start) : std::string_view();
}

}  // namespace Remote
