#include "kinematics/ExternalAxis.h"

#include "core/LogSingleton.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>

namespace {

TEST(ExternalAxisTest, DefaultsAndConstructor) {
    ExternalAxis a;
    EXPECT_EQ(a.Number, 0);
    EXPECT_TRUE(a.Type.empty());
    EXPECT_EQ(a.Kinematic, ExternalAxis::Dependent);
    EXPECT_EQ(a.MotionMode, ExternalAxis::Position);
    EXPECT_EQ(a.Min, -1000.0);
    EXPECT_EQ(a.Max, 1000.0);
    EXPECT_EQ(a.Dir, 1.0);
    EXPECT_FALSE(a.hasName);

    ExternalAxis b(2, "Tracks/Linear", ExternalAxis::Velocity);
    EXPECT_EQ(b.Number, 2);
    EXPECT_EQ(b.Type, "Tracks/Linear");
    EXPECT_EQ(b.MotionMode, ExternalAxis::Velocity);
    EXPECT_EQ(b.Max, 1000.0);
}

TEST(ExternalAxisTest, KinematicTextConversions) {
    struct Case {
        const char* text;
        ExternalAxis::ExternalAxisKinematic expected;
    } cases[] = {
        {"independent", ExternalAxis::Independent}, {"INDEPENDENT", ExternalAxis::Independent},
        {"Independent", ExternalAxis::Independent}, {"indep", ExternalAxis::Dependent},
        {"dependent", ExternalAxis::Dependent},     {"", ExternalAxis::Dependent},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExternalAxis::KinematicFromString(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(ExternalAxis::KinematicToString(ExternalAxis::Independent), "Independent");
    EXPECT_EQ(ExternalAxis::KinematicToString(ExternalAxis::Dependent), "Dependent");
    EXPECT_EQ(ExternalAxis::KinematicToString(static_cast<ExternalAxis::ExternalAxisKinematic>(5)), "Dependent");
}

TEST(ExternalAxisTest, MotionModeTextConversions) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"Torque", 10}, {"torque", 10}, {"VELOCITY", 2}, {"position", 4}, {"", 4}, {"speed", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExternalAxis::MotionModeFromString(c.text), c.expected) << c.text;
    }
    struct Back {
        int mode;
        const char* text;
    } back[] = {{2, "Velocity"}, {4, "Position"}, {10, "Torque"}, {7, "Position"}, {11, "Position"}};
    for (const Back& b : back) {
        EXPECT_EQ(ExternalAxis::MotionModeToString(static_cast<ExternalAxis::JointMode>(b.mode)), b.text) << b.mode;
    }
}

TEST(ExternalAxisTest, ToStringDependsOnTheMode) {
    ExternalAxis position;
    EXPECT_EQ(position.ToString(), "ID=0, CAN-ID=0, Mode=Position, Type=Dependent, Min=-1000, Max=1000");

    ExternalAxis independent(1, "t", ExternalAxis::Position);
    independent.Kinematic = ExternalAxis::Independent;
    independent.ID = 0x71;
    independent.Min = -12.25;
    independent.Max = 1234.5678;
    EXPECT_EQ(independent.ToString(), "ID=1, CAN-ID=113, Mode=Position, Type=Independent, Min=-12.25, Max=1234.57");

    ExternalAxis velocity(1, "t", ExternalAxis::Velocity);
    velocity.ID = 0x70;
    EXPECT_EQ(velocity.ToString(), "ID=1, CAN-ID=112, Mode=Velocity");

    ExternalAxis torque(2, "t", ExternalAxis::Torque);
    torque.ID = 5;
    EXPECT_EQ(torque.ToString(), "ID=2, CAN-ID=5");
}

class ExternalAxisProjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("");
    }
    tinyxml2::XMLElement* Parse(const char* xml) {
        EXPECT_EQ(doc.Parse(xml), tinyxml2::XML_SUCCESS);
        return doc.FirstChildElement("ExternalAxis");
    }
    tinyxml2::XMLDocument doc;
};

TEST_F(ExternalAxisProjectTest, ReadsEveryAttribute) {
    ExternalAxis a;
    ASSERT_TRUE(a.ReadProjectElement(
        Parse("<ExternalAxis Name=\"Track\" Type=\"Axes\\Linear\\L1\" Number=\"2\" MotionMode=\"VELOCITY\" "
              "Kinematic=\"Independent\" ID=\"113\" GearScale=\"2.5\" Min=\"-10\" Max=\"3000\" VelMax=\"400\" "
              "Acc=\"800\" AccInc=\"1600\" DirectionAngleToY=\"90\" lz0=\"45.5\" Dir=\"-1\" Offset=\"7\"/>")));
    EXPECT_EQ(a.name, "Track");
    EXPECT_TRUE(a.hasName);
    EXPECT_EQ(a.Type, "Axes/Linear/L1");
    EXPECT_EQ(a.Number, 2);
    EXPECT_EQ(a.MotionMode, ExternalAxis::Velocity);
    EXPECT_EQ(a.Kinematic, ExternalAxis::Independent);
    EXPECT_EQ(a.ID, 113);
    EXPECT_EQ(a.GearScale, 2.5);
    EXPECT_EQ(a.Min, -10.0);
    EXPECT_EQ(a.Max, 3000.0);
    EXPECT_EQ(a.VelMax, 400.0);
    EXPECT_EQ(a.Acc, 800.0);
    EXPECT_EQ(a.AccInc, 1600.0);
    EXPECT_EQ(a.DirectionAngleToY, 90);
    EXPECT_EQ(a.lz0, 45.5);
    EXPECT_EQ(a.Dir, -1.0);
    EXPECT_EQ(a.Offset, 7.0);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
}

TEST_F(ExternalAxisProjectTest, MissingAttributesKeepDefaultsAndTorqueReadsAsPosition) {
    ExternalAxis a;
    ASSERT_TRUE(a.ReadProjectElement(Parse("<ExternalAxis Type=\"x\" MotionMode=\"torque\"/>")));
    EXPECT_EQ(a.MotionMode, ExternalAxis::Position);
    EXPECT_FALSE(a.hasName);
    EXPECT_EQ(a.Min, -1000.0);
    EXPECT_EQ(a.Dir, 1.0);
    EXPECT_EQ(a.Kinematic, ExternalAxis::Dependent);
}

TEST_F(ExternalAxisProjectTest, MissingTypeIsASeriousFailure) {
    TestSupport::LogCapture log;
    ExternalAxis a;
    EXPECT_FALSE(a.ReadProjectElement(Parse("<ExternalAxis Number=\"1\"/>")));
    EXPECT_TRUE(log.Contains("Project: Attribute \"Type\" not found in line \"ExternalAxis\" of project file!"));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "10 .prj file not complete");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
}

TEST_F(ExternalAxisProjectTest, WrittenElementReadsBackTheSameRecord) {
    for (bool named : {false, true}) {
        ExternalAxis a(1, "Axes/Turn", ExternalAxis::Velocity);
        a.hasName = named;
        a.name = "Turntable";
        a.Kinematic = ExternalAxis::Independent;
        a.ID = 0x72;
        a.GearScale = 12.75;
        a.Min = -180.0;
        a.Max = 180.0;
        a.VelMax = 90.0;
        a.Acc = 360.0;
        a.AccInc = 720.0;
        a.DirectionAngleToY = 180;
        a.lz0 = 12.0;
        a.Dir = -1.0;
        a.Offset = 3.5;

        tinyxml2::XMLDocument out;
        tinyxml2::XMLElement* e = out.NewElement("ExternalAxis");
        out.InsertEndChild(e);
        a.WriteProjectElement(e);
        EXPECT_EQ(e->Attribute("Name") != nullptr, named);
        EXPECT_STREQ(e->Attribute("Kinematic"), "Independent");
        EXPECT_STREQ(e->Attribute("MotionMode"), "Velocity");

        ExternalAxis b;
        ASSERT_TRUE(b.ReadProjectElement(e));
        EXPECT_EQ(b.hasName, named);
        EXPECT_EQ(b.Type, a.Type);
        EXPECT_EQ(b.Number, a.Number);
        EXPECT_EQ(b.ID, a.ID);
        EXPECT_EQ(b.MotionMode, a.MotionMode);
        EXPECT_EQ(b.Kinematic, a.Kinematic);
        EXPECT_EQ(b.GearScale, a.GearScale);
        EXPECT_EQ(b.Min, a.Min);
        EXPECT_EQ(b.Max, a.Max);
        EXPECT_EQ(b.VelMax, a.VelMax);
        EXPECT_EQ(b.Acc, a.Acc);
        EXPECT_EQ(b.AccInc, a.AccInc);
        EXPECT_EQ(b.DirectionAngleToY, a.DirectionAngleToY);
        EXPECT_EQ(b.lz0, a.lz0);
        EXPECT_EQ(b.Dir, a.Dir);
        EXPECT_EQ(b.Offset, a.Offset);
    }
}

}  // namespace
