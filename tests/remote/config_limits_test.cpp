// CONFIG over TCP on a four-joint robot: joint limits into the robot file, the virtual box
// and the tool name into the project file.

#include "config_test_support.h"

#include "kinematics/RobotKinematic.h"

namespace ConfigTest {
namespace {

TEST_F(ConfigServerTest, KinematicLimitPairsFillTheJointsThenTheExternalAxisSlots) {
    struct Case {
        const char* values;
        // Expected (min, max) of slots 0..8.
        float limits[9][2];
    };
    const Case cases[] = {
        // Five pairs on four joints: the fifth goes to external axis slot 6.
        {"-1 1 -2 2 -3 3 -4 4 -5 5", {{-1, 1}, {-2, 2}, {-3, 3}, {-4, 4}, {0, 0}, {0, 0}, {-5, 5}, {0, 0}, {0, 0}}},
        // 17 values: eight pairs, the last value is ignored.
        {"-1 1 -2 2 -3 3 -4 4 -5 5 -6 6 -7 7 -8 8 -9",
         {{-1, 1}, {-2, 2}, {-3, 3}, {-4, 4}, {0, 0}, {0, 0}, {-5, 5}, {-6, 6}, {-7, 7}}},
        // Eight pairs on four joints: the eighth would need slot 9 and is dropped.
        {"-1 1 -2 2 -3 3 -4 4 -5 5 -6 6 -7 7 -8 8",
         {{-1, 1}, {-2, 2}, {-3, 3}, {-4, 4}, {0, 0}, {0, 0}, {-5, 5}, {-6, 6}, {-7, 7}}},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture capture;
        Send(std::string("SetKinematicLimits ") + c.values);
        float limits[9][2] = {};
        robot.GetKinematic()->GetMinMaxValues(limits);
        for (int slot = 0; slot < 9; ++slot) {
            EXPECT_FLOAT_EQ(limits[slot][0], c.limits[slot][0]) << c.values << " slot " << slot;
            EXPECT_FLOAT_EQ(limits[slot][1], c.limits[slot][1]) << c.values << " slot " << slot;
        }
        for (int j = 0; j < 4; ++j) {
            const std::string axis = "A" + std::to_string(j + 1);
            EXPECT_EQ(RobotAttribute("SoftwareMinMax", (axis + "Min").c_str()), std::to_string(-(j + 1))) << c.values;
            EXPECT_EQ(RobotAttribute("SoftwareMinMax", (axis + "Max").c_str()), std::to_string(j + 1)) << c.values;
        }
        EXPECT_EQ(capture.Contains("HVP-Server: Kin limits axis 7 dropped"),
                  std::string(c.values).find("-8 8") != std::string::npos)
            << c.values;
    }
    EXPECT_EQ(Get("GetKinematicLimits"), "CONFIG KinematicLimits -1 1 -2 2 -3 3 -4 4");
    Send("SetKinematicLimits -123.456 12345.67 0 1 0 1 0 1");
    EXPECT_EQ(Get("GetKinematicLimits"), "CONFIG KinematicLimits -123.46 12346 0 1 0 1 0 1");
}

TEST_F(ConfigServerTest, VirtualBoxTakesTheCornersAndIsActiveOnlyForTheExactWordTrue) {
    for (const auto& [word, active] : {std::pair{"True", "True"}, std::pair{"true", "False"}}) {
        Send(std::string("SetVBox ") + word + " -500 500 -400 400 0 800");
        EXPECT_EQ(Get("GetVBox"), std::string("CONFIG VBox ") + active + " -500 500 -400 400 0 800");
        EXPECT_EQ(ProjectAttribute("VirtualBox", "active"), active);
        EXPECT_EQ(ProjectAttribute("VirtualBox", "xMin"), "-500");
        EXPECT_EQ(ProjectAttribute("VirtualBox", "yMax"), "400");
        EXPECT_EQ(ProjectAttribute("VirtualBox", "zMax"), "800");
    }
}

TEST_F(ConfigServerTest, ToolIsLookedUpAndStoredWithForwardSlashes) {
    ControlTest::WriteText(root + "Data/Tools/grippers/g1.xml", "<Tool/>");
    EXPECT_TRUE(Send("SetTool grippers\\g1.xml").empty());
    EXPECT_EQ(Get("GetTool"), "CONFIG Tool grippers/g1.xml");
    EXPECT_EQ(ProjectAttribute("Robot", "Tool"), "grippers/g1.xml");

    struct Refused {
        const char* body;
    };
    for (const Refused& r : {Refused{"SetTool grippers/missing.xml"}, Refused{"SetTool ../grippers/g1.xml"},
                             Refused{"SetTool"}}) {
        const Files before = Snapshot();
        EXPECT_EQ(Send(r.body), std::vector<std::string>{"CONFIGERROR Tool invalid_file"}) << r.body;
        EXPECT_EQ(Get("GetTool"), "CONFIG Tool grippers/g1.xml") << r.body;
        EXPECT_TRUE(Snapshot() == before) << r.body;
    }

    Send("SetTool none");
    EXPECT_EQ(Get("GetTool"), "CONFIG Tool none");
    EXPECT_EQ(ProjectAttribute("Robot", "Tool"), "");
}

}  // namespace
}  // namespace ConfigTest
