#include "vision/LidarHokuyoURG.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace PluginFramework {

LidarHokuyoURG::~LidarHokuyoURG() = default;

void LidarHokuyoURG::StartAutodetectSerial() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Lidar: Detecting device");

    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(sysfsRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("ttyACM", 0) == 0) {
            names.push_back(name);
        }
    }
    // Listing order is arbitrary; sorted, the same device wins every time.
    std::sort(names.begin(), names.end());

    std::string port;
    for (const std::string& name : names) {
        std::ifstream modalias(sysfsRoot + name + "/device/modalias");
        std::string word;
        while (modalias >> word) {
            if (word.rfind(kModaliasPrefix, 0) == 0) {
                port = "/dev/" + name;
                break;
            }
        }
        if (!port.empty()) {
            break;
        }
    }
    if (port.empty()) {
        log->addError("Lidar: Could not find device");
        return;
    }
    log->add("Lidar: Found device on port " + port + ", connecting");
    StartSerial(port, 115200);
}

int LidarHokuyoURG::StartSerial(const std::string& /*port*/, long /*baud*/) {
    LogSingleton::instance()->addError("Lidar: not supported by Belvanto");
    return -1;
}

void LidarHokuyoURG::Stop() {}

}  // namespace PluginFramework
