// Joint limits, the virtual box and the PLC-interface settings are handed over whole: while
// the active client sets them over and over, the loop runs (and jogs against the limits),
// passive clients and another thread read them, and the project and robot files are
// written back, every reading and every file holds one of the values set, never a mix.
// Value k sets every number of a setting to a multiple of k, so a mix shows at once.

#include "config_test_support.h"

#include "kinematics/RobotKinematic.h"

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace ConfigTest {
namespace {

constexpr int kRounds = 60;  // values 0 .. kRounds

std::vector<double> Numbers(const std::string& text, std::size_t skipWords) {
    std::istringstream in(text);
    std::string word;
    for (std::size_t i = 0; i < skipWords && in >> word; ++i) {
    }
    std::vector<double> numbers;
    double n = 0;
    while (in >> n) numbers.push_back(n);
    return numbers;
}

// The k of a box "xMin xMax yMin yMax zMin zMax" = -k k -2k 2k -3k 3k, or -1 for a mix.
int BoxValue(const std::vector<double>& n) {
    if (n.size() != 6) return -1;
    const double k = n[1];
    const double expected[6] = {-k, k, -2 * k, 2 * k, -3 * k, 3 * k};
    for (int i = 0; i < 6; ++i) {
        if (n[static_cast<std::size_t>(i)] != expected[i]) return -1;
    }
    return static_cast<int>(k);
}

// The k of limits -k k -2k 2k .. for the robot's joints, or -1 for a mix.
int LimitsValue(const std::vector<double>& n) {
    if (n.empty() || n.size() % 2 != 0) return -1;
    const double k = n[1];
    for (std::size_t j = 0; j < n.size() / 2; ++j) {
        const double f = static_cast<double>(j + 1);
        if (n[2 * j] != -f * k || n[2 * j + 1] != f * k) return -1;
    }
    return static_cast<int>(k);
}

// The k of sixteen PLC numbers that are all k, or -1.
int PlcValue(const std::vector<double>& n) {
    if (n.size() != 16) return -1;
    for (double v : n) {
        if (v != n[0]) return -1;
    }
    return static_cast<int>(n[0]);
}

bool Known(int k) { return k >= 0 && k <= kRounds; }

class ConfigSettingsConcurrent : public ConfigServerTest {
protected:
    // "SetVBox", "SetKinematicLimits" and "SetPLCInterface" with value k.
    static std::vector<std::string> SetBodies(int k) {
        std::ostringstream box, limits, plc;
        box << "SetVBox " << (k % 2 == 1 ? "True" : "False") << " " << -k << " " << k << " " << -2 * k << " "
            << 2 * k << " " << -3 * k << " " << 3 * k;
        limits << "SetKinematicLimits";
        for (int j = 1; j <= 4; ++j) limits << " " << -j * k << " " << j * k;
        plc << "SetPLCInterface";
        for (int i = 0; i < 16; ++i) plc << " " << k;
        return {box.str(), limits.str(), plc.str()};
    }

    // One whole value per setting in the project and robot files, or a failure.
    void ExpectFilesHoldSetValues() {
        tinyxml2::XMLDocument project;
        ASSERT_EQ(project.LoadFile(ProjectPath().c_str()), tinyxml2::XML_SUCCESS);
        const tinyxml2::XMLElement* box = Find(project.RootElement(), "VirtualBox");
        ASSERT_NE(box, nullptr);
        const std::vector<double> corners = {box->FloatAttribute("xMin"), box->FloatAttribute("xMax"),
                                             box->FloatAttribute("yMin"), box->FloatAttribute("yMax"),
                                             box->FloatAttribute("zMin"), box->FloatAttribute("zMax")};
        const int k = BoxValue(corners);
        EXPECT_TRUE(Known(k)) << "project box is no value set";
        if (Known(k)) EXPECT_EQ(std::string(box->Attribute("active")), k % 2 == 1 ? "True" : "False");

        std::vector<double> plc;
        for (const char* element : {"PLCInterfaceIn", "PLCInterfaceOut"}) {
            const tinyxml2::XMLElement* e = Find(project.RootElement(), element);
            ASSERT_NE(e, nullptr);
            for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a != nullptr; a = a->Next()) {
                plc.push_back(a->IntValue());
            }
        }
        EXPECT_TRUE(Known(PlcValue(plc))) << "project PLC numbers are no value set";
        const tinyxml2::XMLElement* enabled = Find(project.RootElement(), "PLCInterface");
        ASSERT_NE(enabled, nullptr);
        EXPECT_EQ(std::string(enabled->Attribute("Active")), std::string(enabled->Attribute("AutoConnect")))
            << "project PLC flags are no value set";

        tinyxml2::XMLDocument robotFile;
        ASSERT_EQ(robotFile.LoadFile(RobotPath().c_str()), tinyxml2::XML_SUCCESS);
        const tinyxml2::XMLElement* minMax = Find(robotFile.RootElement(), "SoftwareMinMax");
        ASSERT_NE(minMax, nullptr);
        std::vector<double> limits;
        for (int j = 1; j <= 4; ++j) {
            limits.push_back(minMax->FloatAttribute(("A" + std::to_string(j) + "Min").c_str()));
            limits.push_back(minMax->FloatAttribute(("A" + std::to_string(j) + "Max").c_str()));
        }
        EXPECT_TRUE(Known(LimitsValue(limits))) << "robot file limits are no value set";
    }
};

TEST_F(ConfigSettingsConcurrent, SetsGetsLoopAndWriteBacksSeeWholeValues) {
    HvpTestClient& active = Active();
    HvpTestClient& passive1 = Passive();
    HvpTestClient& passive2 = Connect();
    for (const std::string& body : SetBodies(0)) Send(active, body);
    Send(active, "SetPLCInterfaceEnabled False False");

    // The loop runs and jogs joint 1 against the limits being changed.
    robot.FinishInit();
    float jog[9] = {30.0f, 0, 0, 0, 0, 0, 0, 0, 0};
    robot.SetJogValues(jog);

    std::atomic<bool> setting{true};
    std::atomic<int> mixes{0};
    std::atomic<int> reads{0};
    auto reader = [&](HvpTestClient& client) {
        while (setting.load()) {
            for (const char* keyword : {"GetVBox", "GetKinematicLimits", "GetPLCInterface", "GetPLCInterfaceEnabled"}) {
                const std::vector<std::string> replies = Send(client, keyword);
                if (replies.size() != 1) {
                    mixes.fetch_add(1);
                    continue;
                }
                const std::string& r = replies.front();
                int k = 0;
                if (r.rfind("CONFIG VBox ", 0) == 0) {
                    k = BoxValue(Numbers(r, 3));
                    if (Known(k) && r.find(k % 2 == 1 ? " True " : " False ") == std::string::npos) k = -1;
                } else if (r.rfind("CONFIG KinematicLimits", 0) == 0) {
                    k = LimitsValue(Numbers(r, 2));
                } else if (r.rfind("CONFIG PLCInterfaceEnabled", 0) == 0) {
                    k = r == "CONFIG PLCInterfaceEnabled True True" || r == "CONFIG PLCInterfaceEnabled False False" ? 0
                                                                                                                     : -1;
                } else {
                    k = PlcValue(Numbers(r, 2));
                }
                if (!Known(k)) {
                    ADD_FAILURE() << "a mix: " << r;
                    mixes.fetch_add(1);
                }
                reads.fetch_add(1);
            }
        }
    };
    std::thread get1(reader, std::ref(passive1));
    std::thread get2(reader, std::ref(passive2));

    // Another writer of the PLC-interface settings: the two flags only, through the port,
    // and direct readers of the limits and the box.
    bool lastEnabled = false;
    std::thread portThread([&] {
        for (int i = 0; setting.load(); ++i) {
            const bool on = i % 2 == 0;
            controller->ChangePLCInterfaceSettings([on](PLCInterfaceNumbers& p) {
                p.Active = on;
                p.AutoConnect = on;
            });
            lastEnabled = on;
            const Control::VirtualBox box = controller->GetVirtualBox();
            if (!Known(BoxValue({box.min.x, box.max.x, box.min.y, box.max.y, box.min.z, box.max.z}))) mixes.fetch_add(1);
            const Control::JointLimits limits = controller->GetJointLimits();
            std::vector<double> pairs;
            for (int j = 0; j < limits.joints; ++j) {
                pairs.push_back(limits.minMax[j][0]);
                pairs.push_back(limits.minMax[j][1]);
            }
            if (!Known(LimitsValue(pairs))) mixes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::thread setter([&] {
        for (int k = 1; k <= kRounds; ++k) {
            for (const std::string& body : SetBodies(k)) Send(active, body);
        }
        setting.store(false);
    });

    // The main thread writes both files back meanwhile and reads what they hold.
    int writeBacks = 0;
    while (setting.load()) {
        project->QueueUpdateProjectFile();
        project->UpdateConfiguration(&robot, true);
        robot.QueueUpdateRobotFile();
        ExpectFilesHoldSetValues();
        ++writeBacks;
    }
    setter.join();
    get1.join();
    get2.join();
    portThread.join();
    float still[9] = {};
    robot.SetJogValues(still);

    EXPECT_EQ(mixes.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(writeBacks, 0);
    // Both writers' last changes are there: neither read-modify-write lost the other's.
    const PLCInterfaceNumbers plc = LogSingleton::instance()->get_plcInterfaceNr();
    EXPECT_EQ(plc.EnableNumber, kRounds);
    EXPECT_EQ(plc.MissionRunningNumber, kRounds);
    EXPECT_EQ(plc.Active, lastEnabled);
    EXPECT_EQ(plc.AutoConnect, lastEnabled);
    // The last values, in the loop's own kinematic as in the files.
    const RobotKinematic::LimitsAndBox last = robot.GetKinematic()->GetLimitsAndBox();
    EXPECT_EQ(last.virtualBoxMax.z, 3.0f * kRounds);
    float user[9][2] = {};
    robot.GetKinematic()->GetMinMaxValues(user);
    EXPECT_EQ(user[3][1], 4.0f * kRounds);
    ExpectFilesHoldSetValues();
}

}  // namespace
}  // namespace ConfigTest
