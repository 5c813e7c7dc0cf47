// Status reporting of the protocol of versions 2 and 3: GetError with its grace calls and
// CAN dump, the status LED, the receive callback (alien master, error events) and the
// two-stage shutdown request.

#include "hardware/HardwareProtocolJXRCANV2.h"

#include "core/LogSingleton.h"
#include "core/Shutdown.h"
#include "protocol_test_bus.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using Hardware::HardwareProtocolJXRCANV2;
using ProtocolTest::Bytes;
using ProtocolTest::IdealDrives;
using ProtocolTest::WaitFor;

namespace {

std::vector<std::uint8_t> Led(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return {0x01, 0x30, 0x00, r, g, b, 0x00, 0x00};
}

int DumpLines(TestSupport::LogCapture& capture) { return capture.Count("I --> ") + capture.Count("O <-- "); }

using V2Status = ProtocolTest::V2Fixture;

TEST(V2Decode, EachErrorBitAddsItsTexts) {
    struct Case {
        int code;
        const char* text;
        const char* shortText;
    };
    const Case cases[] = {
        {0x000, "no error", "NoError"},
        {0x001, " - temp", "TEMP"},
        {0x012, " - estop / low supply - position lag", "_ESTOP_LAG"},
        {0x0E8, " - comm watch dog - encoder error - over current - driver/svm", "_COM_ENC_OC_DRV"},
        {0x304, " - motor not enabled - bus dead - module dead", "_MNE_BUS_DEAD"},
        {0x400, "no error", "NoError"},
    };
    std::string text = "old";
    std::string shortText = "old";
    for (const Case& c : cases) {
        HardwareProtocolJXRCANV2::DecodeErrorCode(c.code, &text, &shortText);
        EXPECT_EQ(text, c.text) << c.code;
        EXPECT_EQ(shortText, c.shortText) << c.code;
    }
}

TEST_F(V2Status, NotConnectedStatus) {
    Init();
    TestSupport::LogCapture capture;
    std::string text;
    std::string shortText;
    protocol->GetError(text, shortText);
    EXPECT_EQ(text, "Status: not connected");
    EXPECT_EQ(shortText, "NotConnected");
    EXPECT_EQ(protocol->GetErrorShort(), "NotConnected");
    EXPECT_FALSE(protocol->IsErrorFree());
    EXPECT_EQ(capture.Count("CAN status changed: not connected, cntHWError: 0"), 1);
}

TEST_F(V2Status, AnErrorShowsOnTheFifthCallWithOneDumpAndARedLed) {
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    std::string text;
    std::string shortText;
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        protocol->GetError(text, shortText);
        return protocol->GetMotorEnabled() && shortText == "NoError";
    }));
    EXPECT_TRUE(protocol->IsErrorFree());
    peer->Clear();

    drives.SetError(0x20, 0x10);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetJointData(1).errorCode.load() == 0x10;
    }));
    TestSupport::LogCapture capture;
    int dumpAfterFirstCall = -1;
    for (int call = 1; call <= 4; ++call) {
        SCOPED_TRACE(call);
        protocol->GetError(text, shortText);
        EXPECT_EQ(text, "Status: no error");
        EXPECT_EQ(shortText, "NoError");
        EXPECT_TRUE(protocol->IsErrorFree());
        EXPECT_EQ(protocol->GetHardwareErrorCount(), call);
        EXPECT_EQ(capture.Count("ProtocolJXRCANV2: allowing NoError, cntHWError: " + std::to_string(call) +
                                "/5 - Error:  - position lag"),
                  1);
        if (call == 1) {
            dumpAfterFirstCall = DumpLines(capture);
            EXPECT_GT(dumpAfterFirstCall, 0);
        }
    }
    protocol->GetError(text, shortText);
    EXPECT_EQ(text, "Status:  - position lag");
    EXPECT_EQ(shortText, "_LAG");
    EXPECT_FALSE(protocol->IsErrorFree());
    EXPECT_EQ(DumpLines(capture), dumpAfterFirstCall);
    EXPECT_EQ(capture.Count("CAN status changed:  - position lag, cntHWError: 5, codes: 0 16 0 0 0 0"), 1);
    ASSERT_TRUE(WaitFor([&] { return !peer->FramesOn(0x001).empty(); }));
    EXPECT_EQ(Bytes(peer->FramesOn(0x001).back()), Led(150, 0, 0));

    // The fifth call still logs its count (5/5); later calls report without grace. When
    // the error goes, the LED turns green again.
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_LAG");
    EXPECT_EQ(capture.Count("allowing NoError, cntHWError: 5/5"), 1);
    EXPECT_EQ(capture.Count("allowing NoError"), 5);
    drives.SetError(0x20, 0x00);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetJointData(1).errorCode.load() == 0;
    }));
    peer->Clear();
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NoError");
    EXPECT_EQ(protocol->GetHardwareErrorCount(), 0);
    ASSERT_TRUE(WaitFor([&] { return !peer->FramesOn(0x001).empty(); }));
    EXPECT_EQ(Bytes(peer->FramesOn(0x001).back()), Led(0, 150, 0));
}

// Right after a connect the grace does not claim the drives ready: until the modules
// answer without error (or the error has lasted five calls) the status stays "not
// connected", so drives switched off by the connect never show "NoError".
TEST_F(V2Status, AfterAConnectAnErrorIsNotGracedIntoNoError) {
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    const auto AllCodes = [&](int code) {
        for (int j = 0; j < 6; ++j) {
            if (protocol->GetJointData(j).errorCode.load() != code) return false;
        }
        return true;
    };
    std::string text;
    std::string shortText;
    protocol->GetError(text, shortText);
    ASSERT_EQ(shortText, "NotConnected");
    for (int id : {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}) drives.SetError(id, 0x04);  // motor not enabled
    TestSupport::LogCapture capture;
    Connect();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return AllCodes(0x04);
    }));
    for (int call = 1; call <= 4; ++call) {
        SCOPED_TRACE(call);
        protocol->GetError(text, shortText);
        EXPECT_EQ(text, "Status: not connected");
        EXPECT_EQ(shortText, "NotConnected");
        EXPECT_FALSE(protocol->IsErrorFree());
    }
    EXPECT_EQ(capture.Count("CAN status changed"), 0) << "the status did not change";
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_MNE");
    EXPECT_EQ(capture.Count("CAN status changed:  - motor not enabled, cntHWError: 5"), 1);

    // Enabled, the modules are ready at once; from then on the grace covers a passing error.
    for (int id : {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}) drives.SetError(id, 0x00);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        protocol->GetError(text, shortText);
        return shortText == "NoError";
    }));
    drives.SetError(0x30, 0x10);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetJointData(2).errorCode.load() == 0x10;
    }));
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NoError");
    EXPECT_TRUE(protocol->IsErrorFree());

    // A reconnect settles again.
    drives.SetError(0x30, 0x00);
    protocol->Disconnect();
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NotConnected");
    for (int id : {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}) drives.SetError(id, 0x04);
    Connect();
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return AllCodes(0x04);
    }));
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NotConnected");
}

TEST_F(V2Status, LedColourFollowsTheCode) {
    Init();
    Connect();
    struct Case {
        int code;
        std::vector<std::uint8_t> frame;
    };
    const Case cases[] = {{0x000, Led(0, 150, 0)},  {0x100, Led(0, 150, 0)}, {0x004, Led(220, 95, 0)},
                          {0x104, Led(220, 95, 0)}, {0x010, Led(150, 0, 0)}, {0x200, Led(150, 0, 0)},
                          {0x006, Led(150, 0, 0)}};
    for (const Case& c : cases) protocol->SetLED(c.code);
    ASSERT_TRUE(peer->WaitForCount(7));
    const std::vector<can_frame> frames = peer->Frames();
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(frames[i].can_id, 0x001u);
        EXPECT_EQ(Bytes(frames[i]), cases[i].frame) << cases[i].code;
    }
}

TEST_F(V2Status, LowSupplyFromMainDioOrVoltageIsAnError) {
    Init();
    IdealDrives drives(*peer, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Connect();
    std::string text;
    std::string shortText;
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetMotorEnabled();
    }));
    TestSupport::LogCapture capture;
    // Main DIO status 1: one status bit missing.
    Deliver(0x006, {0, 0, 0x09, 0x60, 0x0E, 0x10, 0x80, 0x00});
    Cycle();
    for (int i = 0; i < 5; ++i) protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_ESTOP");

    // Status good, but the supply below the minimum.
    Deliver(0x006, {0, 0, 0x09, 0x60, 0x0E, 0x10, 0x80, 0x80});
    Cycle();
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NoError");
    protocol->SetMinSupplyVoltage(30000);
    for (int i = 0; i < 5; ++i) protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "_ESTOP");
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: low supply due to supply voltage:  24000"), 1);
    // A minimum below 2 switches the test off.
    protocol->SetMinSupplyVoltage(1);
    protocol->GetError(text, shortText);
    EXPECT_EQ(shortText, "NoError");

    // A module reporting the supply bit is named, once per 10 s.
    drives.SetError(0x30, 0x02);
    ASSERT_TRUE(WaitFor([&] {
        Cycle();
        return protocol->GetJointData(2).errorCode.load() == 0x02;
    }));
    for (int i = 0; i < 3; ++i) protocol->GetError(text, shortText);
    EXPECT_EQ(capture.Count("ProtocolJXRCANV2: low supply in module 3"), 1);
}

TEST_F(V2Status, ForeignSetPointOnAConfiguredIdStopsTheController) {
    Init();
    Connect();
    TestSupport::LogCapture capture;
    struct Case {
        int id;
        std::uint8_t command;
        bool alien;
    };
    // Only a command byte 0x14, 0xBB or 0xFE on a configured module ID counts.
    const Case harmless[] = {{0x20, 0x15, false}, {0x25, 0x14, false}, {0x21, 0x14, false}};
    for (const Case& c : harmless) peer->Send(c.id, {c.command, 0, 0, 0, 0, 0, 0, 0});
    FlushReceiveCallback(capture);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);

    const std::uint8_t alienCommands[] = {0x14, 0xBB, 0xFE};
    for (std::uint8_t command : alienCommands) {
        SCOPED_TRACE(static_cast<int>(command));
        ProtocolTest::ScopedOperationMode reset;
        peer->Send(0x20, {command, 0x80, 0, 0, 0, 0, 1, 0});
        ASSERT_TRUE(WaitFor([] { return LogSingleton::instance()->get_opMode() == OPMODE_SERIOUS_FAILURE; }));
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "79 alien CAN msg");
        // Once the mode is 1, further alien frames add nothing.
        peer->Send(0x30, {command, 0x80, 0, 0, 0, 0, 1, 0});
        FlushReceiveCallback(capture);
    }
    EXPECT_EQ(capture.Count("ERROR - alien CAN command detected - ABORT!"), 3);
}

TEST_F(V2Status, KnownEventsAreLoggedWithTheirValues) {
    Init();
    Connect();
    TestSupport::LogCapture capture;
    const char* lines[10] = {
        "JXRCAN: I2TEvent on ID 0x2102! actIntegrator: 258 - Max: 772",
        "JXRCAN: TempBoard on ID 0x2102! acttemp : 258 - Max: 772",
        "JXRCAN: TempMotor  on ID 0x2102! acttemp : 258 - Max: 772",
        "JXRCAN: SupplyVoltage  on ID 0x2102! actSupplyVoltage : 258 - VoltageMin: 772",
        "JXRCAN: Vel on ID 0x2102! actVel  : 258 - MaxVel: 772",
        "JXRCAN: OvercurrentEvent on ID 0x2102! AllowedCurrent: 258 mA - MeasuredCurrent: 772 mA",
        "JXRCAN: ComWDT on ID 0x2102! 0: 258 - 0: 772",
        "JXRCAN: LAG  on ID 0x2102! actPos : 258 - cmdPos: 772",
        "JXRCAN: Encoder  on ID 0x2102! actPass : 258 - 0x7E: 772",
        "JXRCAN: DriverLowAlign  on ID 0x2102! actCurrent : 258 - threshold: 772",
    };
    for (int e = 0; e < 10; ++e) {
        peer->Send(0x21, {0x07, 0x00, 0x00, static_cast<std::uint8_t>(0x70 + e), 0x01, 0x02, 0x03, 0x04});
    }
    FlushReceiveCallback(capture);
    for (const char* line : lines) EXPECT_EQ(capture.Count(line), 1) << line;
    EXPECT_EQ(capture.Count("unknown error message"), 0);
}

TEST_F(V2Status, RepeatedUnknownEventsAreThrottled) {
    Init();
    Connect();
    TestSupport::LogCapture capture;
    for (int i = 0; i < 20; ++i) peer->Send(0x21, {0x07, 0x00, 0x00, 0x55, 0x00, 0x01, 0x00, 0x02});
    FlushReceiveCallback(capture);
    const std::string first = "JXRCAN: unknown error message 85 from ID 0x2102! byte1: 1 - byte2: 2";
    std::vector<int> logged;
    for (int count = 2; count <= 20; ++count) {
        if (capture.Count(first + " (repeated " + std::to_string(count) + " times, omitting further messages)") ==
            1) {
            logged.push_back(count);
        }
    }
    EXPECT_EQ(capture.Count(first), 10 + 1);  // the first line and the repeats all start with it
    EXPECT_EQ(logged, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 20}));

    // Another event number, or a known number with byte 2 set, starts over.
    peer->Send(0x21, {0x07, 0x00, 0x00, 0x56, 0x00, 0x03, 0x00, 0x04});
    peer->Send(0x21, {0x07, 0x00, 0x01, 0x70, 0x00, 0x05, 0x00, 0x06});
    peer->Send(0x31, {0x07, 0x00, 0x00, 0x55, 0x00, 0x01, 0x00, 0x02});
    FlushReceiveCallback(capture);
    EXPECT_EQ(capture.Count("JXRCAN: unknown error message 86 from ID 0x2102! byte1: 3 - byte2: 4"), 1);
    EXPECT_EQ(capture.Count("JXRCAN: unknown error message 112 from ID 0x2102! byte1: 5 - byte2: 6"), 1);
    EXPECT_EQ(capture.Count("JXRCAN: unknown error message 85 from ID 0x3102! byte1: 1 - byte2: 2"), 1);
    EXPECT_EQ(capture.Count("I2TEvent"), 0);
}

class V2Shutdown : public ProtocolTest::V2Fixture {
protected:
    void SetUp() override {
        V2Fixture::SetUp();
        calls.store(0);
        Shutdown::SetCommandRunner([this](const std::string& command) {
            if (command == "systemctl poweroff") calls.fetch_add(1);
            return 0;
        });
        Init();
        Connect();
    }
    void TearDown() override {
        Shutdown::SetCommandRunner(nullptr);
        V2Fixture::TearDown();
    }
    // Sends the request until a cycle has seen it young enough (under 50 ms) to act on it.
    void Request(std::uint8_t stage, const std::string& effect, TestSupport::LogCapture& capture) {
        const int before = capture.Count(effect);
        for (int attempt = 0; attempt < 50 && capture.Count(effect) == before; ++attempt) {
            Deliver(0x0FF, {0x01, stage, 0x71, 0, 0, 0, 0, 0});
            Cycle();
        }
        ASSERT_EQ(capture.Count(effect), before + 1) << effect;
    }

    std::atomic<int> calls{0};
};

TEST_F(V2Shutdown, StageOneThenStageTwoShutsDownOnce) {
    TestSupport::LogCapture capture;
    Request(0x0C, "ProtocolJXRCANV2: Shutdown request stage 1 ", capture);
    EXPECT_EQ(protocol->GetShutdownStage(), 13);
    EXPECT_EQ(protocol->GetShutdownWindow(), 100);
    Request(0x29, "ProtocolJXRCANV2: Shutdown request stage 2 final", capture);
    EXPECT_EQ(protocol->GetShutdownStage(), 0);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(capture.Contains("Shutting down the system..."));
    // The frame stays young for a few more cycles without acting again.
    Cycle(20);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(capture.Count("error in sequence"), 0);
}

TEST_F(V2Shutdown, StageTwoAloneIsASequenceError) {
    TestSupport::LogCapture capture;
    Request(0x29, "ProtocolJXRCANV2: Shutdown request - error in sequence", capture);
    Cycle(20);
    EXPECT_EQ(capture.Count("error in sequence"), 1);
    EXPECT_EQ(calls.load(), 0);
    // A stage byte of neither stage is one as well.
    Request(0x33, "ProtocolJXRCANV2: Shutdown request - error in sequence", capture);
    EXPECT_EQ(protocol->GetShutdownStage(), 0);
}

TEST_F(V2Shutdown, SecondStageOneRestartsTheWindowAndItRunsOut) {
    TestSupport::LogCapture capture;
    Request(0x0C, "ProtocolJXRCANV2: Shutdown request stage 1 ", capture);
    Cycle(90);
    EXPECT_EQ(protocol->GetShutdownWindow(), 10);
    Request(0x0C, "ProtocolJXRCANV2: Shutdown request stage 1 ", capture);
    EXPECT_EQ(protocol->GetShutdownWindow(), 100);
    Cycle(100);
    EXPECT_EQ(protocol->GetShutdownWindow(), 0);
    Request(0x29, "ProtocolJXRCANV2: Shutdown request - error in sequence", capture);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
