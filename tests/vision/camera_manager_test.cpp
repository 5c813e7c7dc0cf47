#include "vision/CameraManager.h"

#include "core/LogSingleton.h"
#include "vision/PluginManager.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Records its start and stop calls into a journal shared with the test.
class FakeCamera : public Camera::CameraInterface {
public:
    FakeCamera(const std::string& name, std::shared_ptr<std::vector<std::string>> journal,
               const std::string& type = "Fake")
        : CameraInterface(type, name), journal(std::move(journal)) {}
    ~FakeCamera() override { journal->push_back("destroy " + name); }

    void Start() override { journal->push_back("start " + name); }
    void Stop() override { journal->push_back("stop " + name); }
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int) const override { return ""; }
    int GetStatus() const override { return 0; }

    std::shared_ptr<std::vector<std::string>> journal;
};

// A registry of its own for each test; the program uses the singleton.
class TestCameraManager : public Camera::CameraManager {};

class CameraManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<FakeCamera> Make(const std::string& name) { return std::make_unique<FakeCamera>(name, journal); }

    std::shared_ptr<std::vector<std::string>> journal = std::make_shared<std::vector<std::string>>();
    TestCameraManager manager;
};

TEST(CameraLowerCase, EveryByteLowered) { EXPECT_EQ(Camera::toLower("Cam_A1 XY"), "cam_a1 xy"); }

TEST(CameraManagerSingleton, InstanceIsOneObject) {
    EXPECT_EQ(&Camera::CameraManager::Instance(), &Camera::CameraManager::Instance());
}

TEST_F(CameraManagerTest, AddStartsAndLogsAndGetIgnoresCase) {
    TestSupport::LogCapture log;
    manager.Add(Make("FrontCam"));
    EXPECT_EQ(*journal, (std::vector<std::string>{"start FrontCam"}));
    EXPECT_EQ(log.Count("Adding camera FrontCam"), 1) << log.Joined();
    EXPECT_EQ(log.Count("Camera FrontCam added"), 1);
    EXPECT_EQ(manager.Count(), 1u);

    for (const char* name : {"FRONTCAM", "frontcam", "FrontCam"}) {
        const auto camera = manager.Get(name);
        ASSERT_NE(camera, nullptr) << name;
        EXPECT_EQ(camera->name, "FrontCam");
        EXPECT_EQ(camera->typeId, "Fake");
    }
    {
        auto lock = manager.Lock();
        EXPECT_NE(manager.GetNoLock("FRONTcam"), nullptr);
    }
    EXPECT_EQ(manager.Get("backcam"), nullptr);
    manager.Add(nullptr);
    EXPECT_EQ(manager.Count(), 1u);
}

TEST_F(CameraManagerTest, AddingUnderATakenNameReleasesThePreviousCamera) {
    manager.Add(Make("Cam"));
    const auto first = manager.Get("cam");
    manager.Add(Make("CAM"));
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_EQ(manager.Get("cam")->name, "CAM");
    // The registry let go of the first one; its last user still holds it.
    EXPECT_EQ(first.use_count(), 1);
    EXPECT_EQ(*journal, (std::vector<std::string>{"start Cam", "start CAM"}));
}

TEST_F(CameraManagerTest, RemoveStopsTheCameraWhileAUserKeepsItAlive) {
    manager.Add(Make("A"));
    manager.Add(Make("B"));
    auto held = manager.Get("a");
    TestSupport::LogCapture log;
    manager.Remove("a");
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_EQ(manager.Get("A"), nullptr);
    EXPECT_EQ(journal->back(), "stop A");
    EXPECT_TRUE(log.Contains("Removing camera a")) << log.Joined();
    EXPECT_TRUE(log.Contains("Camera a removed"));
    held.reset();
    EXPECT_EQ(journal->back(), "destroy A");

    TestSupport::LogCapture quiet;
    const size_t before = journal->size();
    manager.Remove("nobody");
    EXPECT_EQ(journal->size(), before);
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_TRUE(quiet.Lines().empty()) << quiet.Joined();
}

TEST_F(CameraManagerTest, ClearStopsEveryCameraInNameOrderThenDropsThem) {
    manager.Add(Make("Zeta"));
    manager.Add(Make("alpha"));
    journal->clear();
    TestSupport::LogCapture log;
    manager.Clear();
    EXPECT_EQ(manager.Count(), 0u);
    // Stopped in order of the lower-case names, all before any is dropped.
    ASSERT_EQ(journal->size(), 4u);
    EXPECT_EQ((*journal)[0], "stop alpha");
    EXPECT_EQ((*journal)[1], "stop Zeta");
    EXPECT_EQ((std::set<std::string>(journal->begin() + 2, journal->end())),
              (std::set<std::string>{"destroy alpha", "destroy Zeta"}));
    const auto& lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u) << log.Joined();
    EXPECT_NE(lines[0].find("Clearing cameras"), std::string::npos);
    EXPECT_NE(lines[1].find("Cameras cleared"), std::string::npos);
}

TEST(PluginManagerTest, EveryNameIsNotAvailable) {
    PluginFramework::PluginManager plugins;
    plugins.StartPlugins();
    int model = -1;
    float joints[9] = {};
    float pose[12] = {};
    float orientation[3] = {};
    bool dIn[64] = {};
    bool dOut[64] = {};
    std::vector<std::string> sent;
    LogSingleton::instance()->SetServerMessageCallback([&sent](const std::string& text) { sent.push_back(text); });
    for (const char* name : {"pluginsmartcameraifmo2d", "lidar", ""}) {
        TestSupport::LogCapture log;
        try {
            plugins.ExecutePluginCmdTarget(name, &model, joints, pose, orientation, dIn, dOut);
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "PluginManager - Plugin not available!");
        }
        EXPECT_TRUE(log.Contains(std::string("Error! Plugin not available: ") + name)) << log.Joined();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), std::string("Error! Plugin not available: ") + name);
    }
    LogSingleton::instance()->SetServerMessageCallback(nullptr);
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(model, -1);
}

}  // namespace
