#include "control/Application.h"
#include "hardware/HardwareProtocolCANopen.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// The statistics read the drives' words and profiles as the bus left them; the test plays
// the bus by writing the shared fields directly.
Hardware::CANopenRecordData& Record(Hardware::HardwareProtocolCANopen& canopen, int k) {
    return const_cast<Hardware::CANopenRecordData&>(canopen.GetCANopenData(k));
}

TEST(AppStatistics, CANopenLinesShowWordsAndFlagAProfileMismatch) {
    Hardware::HardwareProtocolCANopen canopen(nullptr, Hardware::CANopenProfileCSP);
    for (int k = 0; k < 3; ++k) {
        Record(canopen, k).requestedProfile = Hardware::CANopenProfileCSP;
        Record(canopen, k).actualProfile = Hardware::CANopenProfileCSP;
        Record(canopen, k).lastControlword = static_cast<std::uint16_t>(0xF + k);
        Record(canopen, k).statusword = static_cast<std::uint16_t>(0x1237 + k);
    }
    {
        TestSupport::LogCapture log;
        Application::LogCANopenDrives(canopen, 3);
        EXPECT_TRUE(log.Contains("CANopen: ctrlword hex: F 10 11 0 0 0, statusword hex: 1237 1238 1239 0 0 0"));
        EXPECT_TRUE(log.Contains("CANopen profiles: A1: CSP, A2: CSP, A3: CSP"));
    }
    Record(canopen, 1).actualProfile = Hardware::CANopenProfilePosition;
    TestSupport::LogCapture log;
    Application::LogCANopenDrives(canopen, 3);
    EXPECT_TRUE(log.Contains("CANopen profiles (MISMATCH!): A1: CSP, A2: Position (!), A3: CSP"));
}

}  // namespace
