#include "vision/LidarHokuyoURG.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Tree {
    const char* what;
    // tty name -> modalias content ("" for an entry without the file)
    std::map<std::string, std::string> entries;
    const char* expected;  // nullptr: no device
};

const char kLidar[] = "usb:v15D1p0000d0100dc02dsc00dp00ic02isc02ip01in00\n";

TEST(LidarDetect, FindsTheFirstAcmPortWithTheVendorId) {
    const std::vector<Tree> trees = {
        {"lidar on ttyACM0", {{"ttyACM0", kLidar}, {"ttyS0", ""}}, "/dev/ttyACM0"},
        {"lidar behind another device", {{"ttyACM0", "usb:v2341p0043d0001\n"}, {"ttyACM1", kLidar}}, "/dev/ttyACM1"},
        {"two lidars: the first name wins", {{"ttyACM3", kLidar}, {"ttyACM2", kLidar}}, "/dev/ttyACM2"},
        {"id among other words", {{"ttyACM0", "platform:foo\tusb:v15D1p0000xyz other\n"}}, "/dev/ttyACM0"},
        {"only a serial port with the id", {{"ttyS0", kLidar}, {"ttyUSB0", kLidar}}, nullptr},
        {"other vendor only", {{"ttyACM0", "usb:v15D1p0001d0100\n"}}, nullptr},
        {"id not at a word start", {{"ttyACM0", "xusb:v15D1p0000\n"}}, nullptr},
        {"ACM entry without modalias", {{"ttyACM0", ""}}, nullptr},
        {"empty tree", {}, nullptr},
    };
    for (const Tree& t : trees) {
        SCOPED_TRACE(t.what);
        TestSupport::TempDataRoot root;
        for (const auto& entry : t.entries) {
            if (entry.second.empty()) {
                root.WriteFile(entry.first + "/dev", "4:64\n");
            } else {
                root.WriteFile(entry.first + "/device/modalias", entry.second);
            }
        }
        PluginFramework::LidarHokuyoURG lidar;
        lidar.SetSysfsRoot(root.Path() + "/");
        TestSupport::LogCapture lines;
        lidar.StartAutodetectSerial();
        EXPECT_TRUE(lines.Contains("Lidar: Detecting device"));
        if (t.expected != nullptr) {
            EXPECT_EQ(lines.Count(std::string("Lidar: Found device on port ") + t.expected + ", connecting"), 1)
                << lines.Joined();
            EXPECT_TRUE(lines.Contains("Lidar: not supported by Belvanto"));
            EXPECT_FALSE(lines.Contains("Lidar: Could not find device"));
        } else {
            EXPECT_TRUE(lines.Contains("Lidar: Could not find device")) << lines.Joined();
            EXPECT_FALSE(lines.Contains("Lidar: Found device"));
        }
        EXPECT_FALSE(lidar.IsConnected());
    }
}

TEST(LidarDetect, MissingSysfsRootFindsNothing) {
    PluginFramework::LidarHokuyoURG lidar;
    EXPECT_EQ(lidar.GetSysfsRoot(), "/sys/class/tty/");
    lidar.SetSysfsRoot("/nonexistent/belvanto/tty/");
    TestSupport::LogCapture lines;
    lidar.StartAutodetectSerial();
    EXPECT_TRUE(lines.Contains("Lidar: Could not find device"));
    EXPECT_EQ(lidar.StartSerial("/dev/ttyACM0", 115200), -1);
}

}  // namespace
