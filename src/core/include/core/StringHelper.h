#pragma once

#include <string>

namespace StringHelper {

// Text after the last occurrence of the delimiter; the whole text when the delimiter is
// empty or absent, empty when the text ends with it.
std::string SplitGetLast(const std::string& text, const std::string& delimiter);
// Copy with every byte lower-cased (C locale rules).
std::string ToLower(const std::string& text);
// Sort order of file-browser entries: directories ("name/") first, then by name ignoring
// case; empty entries first.
bool FileComparator(const std::string& a, const std::string& b);

}  // namespace StringHelper
