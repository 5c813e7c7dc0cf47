#include "core/DeviceIdentity.h"

#include "core/Filesystem.h"
#include "core/LogSingleton.h"

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

namespace {

constexpr size_t kMinimumLength = 9;

std::mutex identityMutex;
std::string overrideId;
std::string cachedId;

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return "";
    return Trimmed(line);
}

std::string RandomHex(size_t digits) {
    std::random_device source;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string text;
    for (size_t i = 0; i < digits; ++i) text += "0123456789abcdef"[digit(source)];
    return text;
}

}  // namespace

namespace DeviceIdentity {

std::string ReadDeviceId(const std::string& machineIdFile, const std::string& dataRoot) {
    const std::string machineId = ReadFirstLine(machineIdFile);
    if (machineId.size() >= kMinimumLength) return machineId;

    const std::string fallbackPath = dataRoot + kFallbackFile;
    const std::string kept = ReadFirstLine(fallbackPath);
    if (kept.size() >= kMinimumLength) return kept;

    const std::string made = RandomHex(32);
    if (!Filesystem::WriteFileAtomic(fallbackPath, made + "\n")) {
        // Still usable for this run; the credentials stored under it will not survive a restart.
        LogSingleton::instance()->addFormat("Device identity: could not write '%s'", fallbackPath.c_str());
    }
    return made;
}

std::string GetDeviceId() {
    std::lock_guard<std::mutex> lock(identityMutex);
    if (!overrideId.empty()) return overrideId;
    if (cachedId.empty()) cachedId = ReadDeviceId(kMachineIdFile, LogSingleton::instance()->get_rootPath());
    return cachedId;
}

void SetDeviceIdOverride(const std::string& id) {
    std::lock_guard<std::mutex> lock(identityMutex);
    overrideId = id;
}

}  // namespace DeviceIdentity
