// Timing mode choice, the microsecond conversions and the kinematic error texts.
#include "kinematics/KinematicErrorTexts.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace {

TEST(RobotMasterTiming, MicrosecondConversionsUseSixtyFourBits) {
    struct Case {
        timespec time;
        std::uint64_t micros;
    };
    const Case toMicro[] = {
        {{1, 999999999}, 1999999ULL},
        {{0, 999}, 0ULL},
        {{5000, 1000}, 5000000001ULL},  // beyond 32 bits
        {{4294967, 296000000}, 4294967296000ULL},
    };
    for (const Case& c : toMicro) EXPECT_EQ(ToMicroSec(c.time), c.micros) << c.time.tv_sec;

    const Case fromMicro[] = {
        {{1, 999999000}, 1999999ULL},
        {{2500, 0}, 2500000000ULL},  // more than 2^31 µs
        {{0, 1000}, 1ULL},
        {{18446744073, 709551000}, 18446744073709551ULL},
    };
    for (const Case& c : fromMicro) {
        const timespec t = FromMicroSec(c.micros);
        EXPECT_EQ(t.tv_sec, c.time.tv_sec) << c.micros;
        EXPECT_EQ(t.tv_nsec, c.time.tv_nsec) << c.micros;
    }
}

TEST(RobotMasterTiming, ModeFollowsTheProtocolUnlessGiven) {
    struct Case {
        const char* protocol;
        int given;
        int mode;
        const char* line;
    };
    const Case cases[] = {
        {"JXRCANV2", 0, 2, "RobotMaster: Timing mode: Mode 2"},
        {"CANopen_CSP", 0, 1, "RobotMaster: Timing mode: Mode 1"},
        {"CANopen", 2, 2, "RobotMaster: Timing mode: Mode 2"},
        {"CANopenXYZ", 0, 1, "RobotMaster: Timing mode: Mode 1"},  // prefix match
        {"CANope", 0, 2, "RobotMaster: Timing mode: Mode 2"},
        {"JXRCAN", 1, 1, "RobotMaster: Timing mode: Mode 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        TestSupport::LogCapture capture;
        RobotMaster m;
        RobotMasterTestAccess::ProtocolName(m) = c.protocol;
        RobotMasterTestAccess::TimingMode(m).store(c.given);
        m.UpdateTimingMode();
        EXPECT_EQ(RobotMasterTestAccess::TimingMode(m).load(), c.mode);
        EXPECT_EQ(capture.Count(c.line), 1);
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    }
}

TEST(RobotMasterTiming, ACorruptedModeIsASeriousFailure) {
    TestSupport::LogCapture capture;
    RobotMaster m;
    RobotMasterTestAccess::TimingMode(m).store(7);
    m.UpdateTimingMode();
    EXPECT_TRUE(capture.Contains("RobotMaster: Timing mode: unknown mode"));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "00 invalid timing");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
}

TEST(KinematicErrorTexts, SentenceAndToken) {
    struct Case {
        int code;
        const char* text;
        const char* token;
    };
    const Case cases[] = {
        {0, "No error", "KinOK"},
        {13, "Joint limit min reached", "ERROR-JointLimit"},
        {14, "Joint limit max reached", "ERROR-JointLimit"},
        {21, "Center singularity", "ERROR-KinCenter"},
        {22, "Out of reach", "ERROR-KinReach"},
        {23, "Wrist singularity", "ERROR-KinWrist"},
        {30, "Virtual box violated in X+", "ERROR-VBoxX+"},
        {31, "Virtual box violated in X-", "ERROR-VBoxX-"},
        {32, "Virtual box violated in Y+", "ERROR-VBoxY+"},
        {33, "Virtual box violated in Y-", "ERROR-VBoxY-"},
        {34, "Virtual box violated in Z+", "ERROR-VBoxZ+"},
        {35, "Virtual box violated in Z-", "ERROR-VBoxZ-"},
        {50, "NAN value in joint position", "ERROR-JointNAN"},
        {99, "Motion not allowed", "MotionNotAllowed"},
        {5, "Unknown error", "ERROR-5"},
        {-1, "Unknown error", "ERROR--1"},
        {36, "Unknown error", "ERROR-36"},
    };
    RobotMaster m;
    for (const Case& c : cases) {
        EXPECT_EQ(m.TranslateKinError(c.code), c.text) << c.code;
        EXPECT_EQ(m.TranslateKinErrorLog(c.code), c.token) << c.code;
    }
}

}  // namespace
