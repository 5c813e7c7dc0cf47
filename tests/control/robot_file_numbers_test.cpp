// Numbers of the demo's robot file that are no finite numbers: tinyxml2 reads "nan", "inf"
// and "1e309" as numbers, and a NaN limit turns its check off. Each one must leave the
// controller in operation mode 1 with a reason, the defaults in place.
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "robot_master_support.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using ControlTest::RobotFileTest;

const std::string kDemoRobot = std::string(BELVANTO_DEMO_DIR) + "/Data/Robots/JXRPivra4/JXRPivra4.xml";

// xml with attribute name of the first element called element set to value.
std::string WithAttribute(const std::string& xml, const std::string& element, const std::string& name,
                          const std::string& value) {
    const size_t start = xml.find("<" + element + " ");
    const std::string key = " " + name + "=\"";
    const size_t at = start == std::string::npos ? start : xml.find(key, start);
    EXPECT_NE(at, std::string::npos) << element << " " << name;
    if (at == std::string::npos) return xml;
    const size_t from = at + key.size();
    return xml.substr(0, from) + value + xml.substr(xml.find('"', from));
}

class RobotFileNumbersTest : public RobotFileTest {};

TEST_F(RobotFileNumbersTest, TheDemoRobotFileStartsInNormalMode) {
    const std::string relative = WriteRobot("JXRPivra4", TestSupport::ReadWholeFile(kDemoRobot));
    LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
    RobotMaster m;
    m.Init("robot", "JXRPivra4", relative);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL) << LogSingleton::instance()->get_seriousFailReason();
}

TEST_F(RobotFileNumbersTest, NonFiniteOrEmptyLimitsLengthsVelocitiesAndAccelerationsGiveOperationModeOne) {
    struct Attribute {
        const char* element;
        const char* name;
    };
    const Attribute attributes[] = {
        {"SoftwareMinMax", "A2Max"},   {"SoftwareMinMax", "A1Min"},    {"Kinematic", "lz2"},
        {"JointVelocities", "A1"},     {"JointAccelerations", "A3"},   {"CartVelocities", "VelTrans"},
        {"CartAccelerations", "AccLin"}, {"ManufacturerJointConfig", "A1Dir"},
    };
    const char* const values[] = {"nan", "inf", "-inf", "1e309", ""};
    const std::string demo = TestSupport::ReadWholeFile(kDemoRobot);
    ASSERT_FALSE(demo.empty()) << kDemoRobot;
    LogSingleton* log = LogSingleton::instance();

    for (const Attribute& a : attributes) {
        for (const char* value : values) {
            SCOPED_TRACE(std::string(a.element) + " " + a.name + "=\"" + value + "\"");
            const std::string relative = WriteRobot("JXRPivra4", WithAttribute(demo, a.element, a.name, value));
            log->set_opMode(OPMODE_NORMAL);
            log->set_seriousFailReason("");
            TestSupport::LogCapture capture;
            RobotMaster m;
            m.Init("robot", "JXRPivra4", relative);

            EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
            EXPECT_EQ(log->get_seriousFailReason(), "52 Robot Ini not valid");
            EXPECT_TRUE(capture.Contains(std::string("RobotKinematicPivra4: attribute \"") + a.name + "\" in line \"" +
                                         a.element + "\" of robot ini file is not a finite number: \"" + value + "\""))
                << capture.Joined();
            // The defaults stay: every limit and table value is a number.
            RobotKinematic* kin = m.GetKinematic();
            ASSERT_NE(kin, nullptr);
            float limits[RobotKinematic::maxJoints][2];
            kin->GetMinMaxValues(limits);
            for (int j = 0; j < 4; ++j) {
                EXPECT_TRUE(std::isfinite(limits[j][0]) && std::isfinite(limits[j][1])) << "joint " << j;
                EXPECT_TRUE(std::isfinite(kin->jointMaxVelocity[j]) && std::isfinite(kin->jointMaxAcceleration[j]))
                    << "joint " << j;
            }
            EXPECT_TRUE(std::isfinite(kin->VelTrans) && std::isfinite(kin->AccLin));
        }
    }
    log->set_opMode(OPMODE_NORMAL);
    log->set_seriousFailReason("");
}

}  // namespace
