#include "core/StringHelper.h"

#include <strings.h>

#include <cctype>

namespace StringHelper {

std::string SplitGetLast(const std::string& text, const std::string& delimiter) {
    if (delimiter.empty()) return text;
    std::string rest = text;
    size_t pos;
    while ((pos = rest.find(delimiter)) != std::string::npos) {
        rest.erase(0, pos + delimiter.size());
    }
    return rest;
}

std::string ToLower(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

bool FileComparator(const std::string& a, const std::string& b) {
    if (a.empty()) return !b.empty();
    if (b.empty()) return false;
    const bool aIsDir = a.back() == '/';
    const bool bIsDir = b.back() == '/';
    if (aIsDir != bIsDir) return aIsDir;
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

}  // namespace StringHelper
