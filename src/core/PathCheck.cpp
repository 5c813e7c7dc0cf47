#include "core/PathCheck.h"

#include <cctype>

namespace Filesystem {

std::string NormalizeSeparators(const std::string& path) {
    std::string result = path;
    for (char& c : result) {
        if (c == '\\') c = '/';
    }
    return result;
}

bool IsSafeRelativePath(const std::string& path) {
    const std::string p = NormalizeSeparators(path);
    if (p.empty() || p.front() == '/') return false;
    if (p.find('\0') != std::string::npos) return false;
    // "C:/..." or "C:name": absolute or drive-relative on the sender's side.
    if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
        return false;
    }
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        if (p.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace Filesystem
