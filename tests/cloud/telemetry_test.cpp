// Telemetry texts: the hardware status wording, the collected fields from the controller's
// hardware status, the main interpreter's reader copies and the counters (on a recording
// controller port), and set comparison.

#include "cloud/TelemetryData.h"
#include "core/LogSingleton.h"
#include "testsupport/RecordingPort.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class TelemetryTest : public ::testing::Test {
protected:
    TestSupport::RecordingPort port;
};

}  // namespace

TEST(TranslateHwError, RowsApplyInOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"Status: not connected", "Bus not connected"},
        {"NotConnected", "Bus not connected"},
        {"Not_Connected", "Bus not connected"},
        {"_MNE", "Motors not enabled"},
        {"_MNE_LAG", "Motors not enabledPosition lag"},
        {"No_Error", "No error"},
        {"no error", "No error"},
        {"Ctrl Running", "Ctrl running"},
        {"Remote_disconnected", "Remote disconnected"},
        {"COM", "Comm. watchdog"},
        {"comm watch dog", "Comm. watchdog"},
        {"BOWD", "Brown out/Watchdog"},
        {"VLAG", "Velocity lag"},
        {"velLag", "Velocity lag"},
        {"position lag", "Position lag"},
        {"ENC", "Encoder error"},
        {"OC", "Overcurrent"},
        {"over current", "Overcurrent"},
        {"CAN", "CAN error"},
        {"BUS", "Bus dead"},
        {"DEAD", "Module dead"},
        {"module dead", "Module dead"},
        {"motor not enabled", "Motors not enabled"},
        {"", ""},
        {"operation enabled (a.b*c)", "operation enabled (a.b*c)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(Cloud::TranslateHwError(c.first), c.second);
    }
}

TEST(TranslateHwError, ReplaceTakesRegularExpressions) {
    EXPECT_EQ(Cloud::Replace("a1b22c", "[0-9]+", "#"), "a#b#c");
    EXPECT_EQ(Cloud::Replace("no match", "xyz", "!"), "no match");
}

TEST_F(TelemetryTest, HardwareFields) {
    struct Case {
        const char* name;
        std::string text, code;
        std::vector<std::string> modules;
        int robot, gripper, external, dio;
        std::vector<float> temperatures;
        const char* lastMessage;
        const char* errorCodes;
        const char* temperaturesText;
    };
    const Case cases[] = {
        {"three modules and an I/O module", "Status: not connected", "NotConnected", {"", "na", "ENC", "io"}, 3, 0, 0, 1,
         {23.456f, 100.0f, 0.5f}, "Bus not connected", "n/a-n/a-ENC", "23.5 100 0.5 0 0 0 0 0 0 0 0 0 0 0 0 0"},
        {"no modules", "no error", "NoError", {}, 0, 0, 0, 0, {}, "No error", "",
         "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
        {"gripper and external axis count", "_MNE_LAG", "MNE", {"a", "b", "c", "d"}, 2, 1, 1, 0,
         {-12.25f, 1234.5f}, "Motors not enabledPosition lag", "a-b-c-d", "-12.2 1.23e+03 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port.hardwareText = c.text;
        port.hardwareCode = c.code;
        port.moduleErrors = c.modules;
        port.temperatures = c.temperatures;
        port.SetRoles(c.robot, c.gripper, c.external, 0, c.dio);
        Cloud::TelemetryData data;
        data.CollectData(&port);
        EXPECT_EQ(data.LastMessage, c.lastMessage);
        EXPECT_EQ(data.ErrorString, c.code);
        EXPECT_EQ(data.ErrorCodes, c.errorCodes);
        EXPECT_EQ(data.TemperaturesPCB, c.temperaturesText);
    }
}

TEST_F(TelemetryTest, ProgramFieldsFromTheMainInterpreter) {
    Cloud::TelemetryData none;
    none.CollectData(&port);
    EXPECT_EQ(none.CurrentCommand, "Cmd 0 of 0 in Prog 0");
    EXPECT_EQ(none.ProgramRunning, "");
    EXPECT_EQ(none.SubPrograms, "");

    // A main program with two sub-programs, as the port reads a loaded one (the reading
    // itself is the port's test).
    Control::InterpreterInfo& ipo = port.main;
    ipo.loaded = true;
    ipo.loadedName = "cell/main.xml";
    ipo.programNames = {"cell/main.xml", "cell/subA.xml", "cell/subB.xml"};
    ipo.programCount = 3;
    ipo.activeCommandCount = 3;

    Cloud::TelemetryData loaded;
    loaded.CollectData(&port);
    EXPECT_EQ(loaded.ProgramRunning, "main.xml");
    EXPECT_EQ(loaded.SubPrograms, ipo.programNames[1] + ";" + ipo.programNames[2]);
    EXPECT_EQ(loaded.CurrentCommand, "Cmd 0 of 3 in Prog 0");

    // A point inside the second program; an active index past the list counts no commands.
    ipo.activeProgram = 1;
    ipo.currentPoint = 1;
    ipo.activeCommandCount = 2;
    loaded.CollectData(&port);
    EXPECT_EQ(loaded.CurrentCommand, "Cmd 2 of 2 in Prog 1");
    ipo.activeProgram = 7;
    ipo.activeCommandCount = 0;
    loaded.CollectData(&port);
    EXPECT_EQ(loaded.CurrentCommand, "Cmd 2 of 0 in Prog 7");
}

TEST_F(TelemetryTest, ProgramNameKeepsOnlyItsLastComponent) {
    for (const char* name : {"dir\\inner\\back.xml", "dir/inner\\back.xml", "dir\\inner/back.xml"}) {
        SCOPED_TRACE(name);
        port.main.loaded = true;
        port.main.loadedName = name;
        Cloud::TelemetryData data;
        data.CollectData(&port);
        EXPECT_EQ(data.ProgramRunning, "back.xml");
    }
}

TEST_F(TelemetryTest, StatisticsAreTheCounters) {
    LogSingleton* log = LogSingleton::instance();
    log->IncreaseSystemVariables(SV_ProgramStarts, 3);
    Cloud::TelemetryData data;
    data.CollectData(&port);
    EXPECT_EQ(data.ProgramStarts, std::to_string(log->GetSystemVar(SV_ProgramStarts)));
    EXPECT_NE(data.ProgramStarts, "0");
    EXPECT_EQ(data.UpTimeComplete, std::to_string(log->GetSystemVar(SV_UpTimeComplete)));
    EXPECT_EQ(data.UpTimeLast, std::to_string(log->GetSystemVar(SV_UpTimeLast)));
    EXPECT_EQ(data.UpTimeEnabled, std::to_string(log->GetSystemVar(SV_UpTimeEnabled)));
    EXPECT_EQ(data.UpTimeMotion, std::to_string(log->GetSystemVar(SV_UpTimeMotion)));
}

TEST_F(TelemetryTest, AnExceptionKeepsTheFieldsNotYetReached) {
    port.hardwareText = "NotConnected";
    port.hardwareCode = "NotConnected";
    port.throwOnTemperatures = true;
    Cloud::TelemetryData data;
    data.TemperaturesPCB = "old temperatures";
    data.ProgramStarts = "old starts";
    TestSupport::LogCapture log;
    data.CollectData(&port);
    EXPECT_TRUE(log.Contains("Cloud: Exception while collecting data: temperature sensor gone")) << log.Joined();
    EXPECT_EQ(data.LastMessage, "Bus not connected");
    EXPECT_EQ(data.TemperaturesPCB, "old temperatures");
    EXPECT_EQ(data.ProgramStarts, "old starts");
}

TEST(TelemetryData, EveryFieldTakesPartInComparisonAndSwap) {
    using Field = std::string Cloud::TelemetryData::*;
    const Field fields[] = {
        &Cloud::TelemetryData::LastMessage,     &Cloud::TelemetryData::ErrorString,
        &Cloud::TelemetryData::ErrorCodes,      &Cloud::TelemetryData::TemperaturesPCB,
        &Cloud::TelemetryData::ProgramRunning,  &Cloud::TelemetryData::SubPrograms,
        &Cloud::TelemetryData::CurrentCommand,  &Cloud::TelemetryData::UpTimeComplete,
        &Cloud::TelemetryData::UpTimeLast,      &Cloud::TelemetryData::UpTimeEnabled,
        &Cloud::TelemetryData::UpTimeMotion,    &Cloud::TelemetryData::ProgramStarts,
    };
    Cloud::TelemetryData a, b;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    for (Field f : fields) {
        Cloud::TelemetryData changed;
        changed.*f = "x";
        EXPECT_TRUE(a != changed);
        Cloud::TelemetryData other;
        other.swap(changed);
        EXPECT_EQ(other.*f, "x");
        EXPECT_TRUE(changed == a);
    }
}

TEST(CameraData, NameChangesAreFlaggedAndNoPictureIsTaken) {
    Cloud::CameraData slot;
    EXPECT_TRUE(slot.nameChanged);
    slot.nameChanged = false;
    slot.SetCameraName("");
    EXPECT_FALSE(slot.nameChanged);
    slot.SetCameraName("cam1");
    EXPECT_TRUE(slot.nameChanged);
    EXPECT_EQ(slot.GetCameraName(), "cam1");
    EXPECT_FALSE(slot.CollectData());
    EXPECT_FALSE(slot.HasImage());
}
