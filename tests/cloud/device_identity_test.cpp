// The device identity: the machine's ID when it is long enough, else a random one kept in
// the data root and found again on the next start; the test override.

#include "core/DeviceIdentity.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

TEST(DeviceIdentity, MachineIdOrTheKeptFallback) {
    TestSupport::TempDataRoot root;
    const std::string dataRoot = root.RootWithSlash();
    struct Case {
        const char* name;
        const char* machineId;  // nullptr: no such file
        bool fromMachine;
    };
    const Case cases[] = {
        {"machine ID", "3d1219c7c4c5404aaa1f6d2a48adfda4\n", true},
        {"blanks around it", "  abcdefghij  \n", true},
        {"too short", "12345678\n", false},
        {"empty", "", false},
        {"missing", nullptr, false},
    };
    std::string fallback;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string machineFile = root.Path() + "/machine-id";
        std::remove(machineFile.c_str());
        if (c.machineId != nullptr) std::ofstream(machineFile) << c.machineId;
        const std::string id = DeviceIdentity::ReadDeviceId(machineFile, dataRoot);
        EXPECT_GT(id.size(), 8u);
        if (c.fromMachine) {
            EXPECT_EQ(id.find(' '), std::string::npos);
            EXPECT_NE(std::string(c.machineId).find(id), std::string::npos);
        } else {
            // Made once, then the same on every later read (a restart).
            if (fallback.empty()) fallback = id;
            EXPECT_EQ(id, fallback);
            EXPECT_EQ(root.ReadFile(DeviceIdentity::kFallbackFile), fallback + "\n");
        }
    }
    // A damaged fallback file is replaced by a new identity.
    root.WriteFile(DeviceIdentity::kFallbackFile, "short\n");
    const std::string renewed = DeviceIdentity::ReadDeviceId(root.Path() + "/machine-id", dataRoot);
    EXPECT_GT(renewed.size(), 8u);
    EXPECT_NE(renewed, fallback);
}

TEST(DeviceIdentity, OverrideForTests) {
    const std::string normal = DeviceIdentity::GetDeviceId();
    EXPECT_GT(normal.size(), 8u);
    EXPECT_EQ(DeviceIdentity::GetDeviceId(), normal);
    DeviceIdentity::SetDeviceIdOverride("abcde");
    EXPECT_EQ(DeviceIdentity::GetDeviceId(), "abcde");
    DeviceIdentity::SetDeviceIdOverride("");
    EXPECT_EQ(DeviceIdentity::GetDeviceId(), normal);
}
