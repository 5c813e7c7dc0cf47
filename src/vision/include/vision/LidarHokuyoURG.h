#pragma once

// Lidar plug-in: detects a Hokuyo URG lidar on a USB serial port (ttyACM) by the vendor
// id in its sysfs modalias. Driving the lidar is not supported.

#include <string>

namespace PluginFramework {

class LidarHokuyoURG {
public:
    static constexpr char kDefaultSysfsRoot[] = "/sys/class/tty/";
    static constexpr char kModaliasPrefix[] = "usb:v15D1p0000";

    LidarHokuyoURG() = default;
    LidarHokuyoURG(const LidarHokuyoURG&) = delete;
    LidarHokuyoURG& operator=(const LidarHokuyoURG&) = delete;
    virtual ~LidarHokuyoURG();

    // Looks for the device below the sysfs root and, when found, starts it on its port.
    void StartAutodetectSerial();
    // Not supported: logs it and returns -1.
    int StartSerial(const std::string& port, long baud);
    void Stop();
    bool IsConnected() const { return connected; }

    // Folder listing the tty devices, ending in "/"; tests point it at a fake tree.
    void SetSysfsRoot(const std::string& root) { sysfsRoot = root; }
    const std::string& GetSysfsRoot() const { return sysfsRoot; }

private:
    bool connected = false;
    std::string sysfsRoot = kDefaultSysfsRoot;
};

}  // namespace PluginFramework
