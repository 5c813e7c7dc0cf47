#include "core/LogSingleton.h"
#include "kinematics/RobotKinematicCartesian2AxisLine.h"
#include "kinematics/RobotKinematicCartesian2AxisPlane.h"
#include "testsupport/KinematicChecks.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>

namespace {

using DataTypes::Matrix44;
using DataTypes::Vector3;

using namespace TestSupport;

std::string GantryFixture(const std::string& name) {
    return std::string(BELVANTO_FIXTURES_DIR) + "/kinematics/gantry/" + name;
}

std::unique_ptr<RobotKinematicCartesian2Axis> Line(const std::string& file = "line.xml") {
    return MakeKinematic<RobotKinematicCartesian2AxisLine>("Gantry", "Cartesian2AxisLine", GantryFixture(file));
}
std::unique_ptr<RobotKinematicCartesian2Axis> Plane(const std::string& file = "plane.xml") {
    return MakeKinematic<RobotKinematicCartesian2AxisPlane>("Gantry", "Cartesian2AxisPlane", GantryFixture(file));
}

std::string Print(const tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

class Cartesian2AxisTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        LogSingleton::instance()->set_seriousFailReason("na");
    }
};

TEST_F(Cartesian2AxisTest, PlaneDrivesXAndYAndDropsTheHeight) {
    auto k = Plane();
    ASSERT_EQ(k->nrOfJoints, 2);
    const float joints[9] = {100.0f, 200.0f};
    k->SetJoints(joints, true);
    EXPECT_TRUE(k->currentPosition.Equals(
        Matrix44(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, 1), Vector3(100, 200, 0)), 0.0f));

    Matrix44 target;
    target.SetTranslation(100.0f, 200.0f, 50.0f);
    float ext[9] = {};
    k->currentJoints[0] = k->currentJoints[1] = 0.0f;
    k->SetPosition(target, ext);
    EXPECT_NEAR(k->currentJoints[0], 100.0f, 1e-4f);
    EXPECT_NEAR(k->currentJoints[1], 200.0f, 1e-4f);
    EXPECT_TRUE(k->currentPosition.Equals(
        Matrix44(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, 1), Vector3(100, 200, 0)), 0.0f));
}

TEST_F(Cartesian2AxisTest, LineDrivesAVerticalPlaneAndDropsY) {
    auto k = Line();
    Matrix44 target;
    target.SetTranslation(300.0f, 40.0f, 120.0f);
    float ext[9] = {};
    k->SetPosition(target, ext);
    EXPECT_NEAR(k->currentJoints[0], 300.0f, 1e-4f);
    EXPECT_NEAR(k->currentJoints[1], 120.0f, 1e-4f);
    EXPECT_TRUE(k->currentPosition.Equals(
        Matrix44(Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, -1), Vector3(300, 0, 120)), 0.0f));

    // "0 0 -1" for axis 1: positive joint values lower the tool.
    auto down = Line("line_down.xml");
    down->SetJoints(std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    const float top = down->currentPosition.m[11];
    down->SetJoints(std::vector<float>{40, 0, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    EXPECT_NEAR(down->currentPosition.m[11], top - 40.0f, 1e-5f);
}

TEST_F(Cartesian2AxisTest, LineWithItsDefaultSecondDirectionFailsTheConfiguration) {
    TestSupport::LogCapture log;
    std::unique_ptr<RobotKinematicCartesian2Axis> k;
    EXPECT_NO_THROW(k = Line("line_default_dir2.xml"));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "54 Robot Ini not complete");
    EXPECT_TRUE(log.Contains("RobotKinematicCartesian2AxisLine: axis directions are linearly dependent: "
                             "Matrix inversion: determinant is zero"))
        << log.Joined();
}

// IK(FK(q)) = q and FK(IK(p)) = p on seeded random joint sets, with skewed axes, a gantry
// origin off the driven plane, a tool turned about every axis and a dependent external
// axis. A target moved along the undriven base axis reaches the same joints, and the stored
// pose is the one the forward kinematics reports for them, offsets included.
TEST_F(Cartesian2AxisTest, ForwardAndInverseKinematicsAreEachOthersInverse) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<RobotKinematicCartesian2Axis>()> make;
        int undrivenAxis;  // 1 = y, 2 = z
    };
    const Case cases[] = {
        {"line", [] { return Line(); }, 1},
        {"line skewed", [] { return Line("line_skewed.xml"); }, 1},
        {"plane", [] { return Plane(); }, 2},
        {"plane skewed", [] { return Plane("plane_skewed.xml"); }, 2},
    };
    std::mt19937 rng(13579u);
    std::uniform_real_distribution<float> travel(0.0f, 490.0f);
    std::uniform_real_distribution<float> ext(-500.0f, 500.0f);
    std::uniform_real_distribution<float> off(-200.0f, 200.0f);
    for (const Case& c : cases) {
        for (bool tool : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (tool ? " tool" : ""));
            auto k = c.make();
            if (tool) {
                SetTool(*k, 12.0f, -30.0f, 85.0f, 35.0, -15.0, 20.0);
                k->AddExternalAxis(DependentAxis(-90, 30.0));
            }
            int failures = 0;  // stop reporting a broken case after a few samples
            for (int sample = 0; sample < 3000 && failures < 5; ++sample) {
                float joints[9] = {travel(rng), travel(rng), 0, 0, 0, 0, ext(rng), 0, 0};
                k->SetJoints(joints, true);
                const Matrix44 pose = k->currentPosition;
                Matrix44 target = pose;
                target.m[c.undrivenAxis * 4 + 3] += off(rng);
                k->SetPosition(target, joints);
                float back[9];
                k->GetJoints(back);
                for (int i : {0, 1, 6}) {
                    if (std::fabs(back[i] - joints[i]) > 1e-3f) {
                        ADD_FAILURE() << "joint " << i << ": " << back[i] << " instead of " << joints[i];
                        ++failures;
                    }
                }
                failures += ExpectPoseRoundTrip(*k, pose, back);
            }
        }
    }
}

TEST_F(Cartesian2AxisTest, VirtualBoxChecksTheToolPoint) {
    auto k = Plane();
    SetTool(*k, 0.0f, 0.0f, 0.0f, 0.0, 0.0, 0.0);
    k->tool.toolMatrix.SetTranslation(60.0f, 0.0f, 0.0f);  // tool reaching 60 mm out in x
    k->tool.toolMatrixInverse = k->tool.toolMatrix.Inverse();
    k->SetJoints(std::vector<float>{100, 100, 0, 0, 0, 0, 0, 0, 0}.data(), true);
    const Matrix44 start = k->currentPosition;
    k->virtualBoxActive = true;
    k->virtualBoxMin = Vector3(-1000.0f, -1000.0f, -1000.0f);
    k->virtualBoxMax = Vector3(200.0f, 1000.0f, 1000.0f);
    // The flange at 150 would pass; the tool point at 210 does not.
    EXPECT_EQ(CodeOf([&] { k->SetJoints(std::vector<float>{150, 100, 0, 0, 0, 0, 0, 0, 0}.data(), true); }),
              KinematicError::VirtualBoxXPlus);
    EXPECT_TRUE(k->currentPosition.Equals(start, 0.0f));
}

TEST_F(Cartesian2AxisTest, MissingRobotIniNamesEachVariantItsOwnWay) {
    struct Case {
        std::function<std::unique_ptr<RobotKinematicCartesian2Axis>(const std::string&)> make;
        std::string line;
        // The line gantry's default directions are parallel, so without its file it also
        // fails on them, and that reason is the last one set.
        std::string reason;
    };
    const std::string path = GantryFixture("absent.xml");
    const Case cases[] = {
        {[](const std::string& f) { return Line(f); }, "RobotKinematicCartesian: could not find robot ini file: ",
         "54 Robot Ini not complete"},
        {[](const std::string& f) { return Plane(f); },
         "RobotKinematicCartesian2AxisPlane: could not find robot ini file: ", "51 Robot Ini not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        LogSingleton::instance()->set_opMode(OPMODE_NORMAL);
        TestSupport::LogCapture log;
        auto k = c.make("absent.xml");
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
        EXPECT_TRUE(log.Contains(c.line + path)) << log.Joined();
    }
}

TEST_F(Cartesian2AxisTest, InitReadsTheRobotIni) {
    TestSupport::LogCapture log;
    auto k = Plane("plane_skewed.xml");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), OPMODE_NORMAL);
    EXPECT_EQ(k->kinematicTypeName, "RobotKinematicCartesian2AxisPlane");
    EXPECT_EQ(k->gantryOffset.z, 80.0f);
    EXPECT_EQ(k->dirA1.y, 0.3f);
    EXPECT_EQ(k->jointMinMax[2][1], 300.0f);  // joint 3 limits are kept in the file
    EXPECT_EQ(k->AccLin, 1200.0);
    for (const char* line : {"RKCartesianFlat Gantry / Cartesian2AxisPlane  - Kinematic Data: ",
                             "   Linear Axis 1:  Dir 1.0, 0.3, 0.0   Length: 500.0",
                             "   Joint 1:  Min -5.0  Max 500.0   MaxVel 80.0   MaxAcc 400.0   JointOffset 0.0   "
                             "JointDirection 1.0"}) {
        EXPECT_TRUE(log.Contains(line)) << line;
    }
    auto line = Line();
    EXPECT_TRUE(log.Contains("RKCartesian Gantry / Cartesian2AxisLine  - Kinematic Data: "));
}

TEST_F(Cartesian2AxisTest, UpdateConfigurationFileWritesTheLimits) {
    const float limits[9][2] = {{-12.5f, 480.25f}, {0.1f, 333.33334f}, {-7.0f, 299.5f},
                                {-170.0f, 170.0f}, {0, 0},            {0, 0},
                                {-179.5f, 179.5f}, {-179.5f, 179.5f}, {-179.5f, 179.5f}};
    struct Case {
        std::function<std::unique_ptr<RobotKinematicCartesian2Axis>()> make;
        const char* golden;
    };
    for (const Case& c : {Case{[] { return Line(); }, "update_line_expected.xml"},
                          Case{[] { return Plane(); }, "update_plane_expected.xml"}}) {
        SCOPED_TRACE(c.golden);
        auto k = c.make();
        k->SetMinMaxValues(limits);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.LoadFile(GantryFixture("update_in.xml").c_str()), tinyxml2::XML_SUCCESS);
        k->UpdateConfigurationFile(&doc, doc.FirstChildElement("Robot"));
        EXPECT_EQ(Print(doc), TestSupport::ReadWholeFile(GantryFixture(c.golden)));
    }

    auto k = Plane();
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.LoadFile(GantryFixture("update_no_limits.xml").c_str()), tinyxml2::XML_SUCCESS);
    const std::string before = Print(doc);
    TestSupport::LogCapture log;
    k->UpdateConfigurationFile(&doc, doc.FirstChildElement("Robot"));
    EXPECT_EQ(Print(doc), before);
    EXPECT_TRUE(
        log.Contains("RobotKinematicCartesian2AxisPlane: line SoftwareMinMax not found in robot configuration file!"));
}

TEST_F(Cartesian2AxisTest, CloneKeepsTheVariantAndItsGeometry) {
    auto k = Line("line_skewed.xml");
    auto copy = k->clone();
    k->dirA2 = Vector3(0.0f, 0.0f, 1.0f);
    const float joints[9] = {120.0f, 80.0f};
    copy->cycleTimeMS = 4.0;
    copy->SetJoints(joints, true);
    auto reference = Line("line_skewed.xml");
    reference->SetJoints(joints, true);
    EXPECT_TRUE(copy->currentPosition.Equals(reference->currentPosition, 0.0f));
    EXPECT_NE(dynamic_cast<RobotKinematicCartesian2AxisLine*>(copy.get()), nullptr);
}

}  // namespace
