#include "vision/PluginManager.h"

#include "core/LogSingleton.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string kPlugins = std::string(BELVANTO_FIXTURES_DIR) + "/plugins/";

// Collects what is sent to the clients through the server-message hook.
class ServerMessages {
public:
    ServerMessages() {
        LogSingleton::instance()->SetServerMessageCallback([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.push_back(text);
        });
    }
    ~ServerMessages() { LogSingleton::instance()->SetServerMessageCallback(nullptr); }
    int Count(const std::string& fragment) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& t : texts) n += t.find(fragment) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    std::mutex mutex;
    std::vector<std::string> texts;
};

std::string RuntimeError(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

struct ConfigFault {
    const char* folder;
    const char* logLine;
    const char* reason;
};

// Each fault of the configuration file stops the controller with its numbered reason.
TEST(PluginCameraConfig, FaultsSetTheSeriousFailureReason) {
    const std::vector<ConfigFault> faults = {
        {"missing", nullptr, "81 Camera Ini file not found"},
        {"invalid_xml", "Could not read camera config file correctly! Aborting!", "82 Camera Ini file not valid"},
        {"no_configuration", "Camera config file: line Configuration not found in project file!",
         "83 Camera Ini file not complete"},
        {"no_connection", "Camera config file: line \"Cam0Connection\" not found in file!",
         "84 Camera Ini file not complete"},
        {"no_geometry", "Camera config file: line \"Cam0Geometry\" not found in file!",
         "85 Camera Ini file not complete"},
    };
    LogSingleton* log = LogSingleton::instance();
    for (const ConfigFault& f : faults) {
        SCOPED_TRACE(f.folder);
        log->set_opMode(OPMODE_NORMAL);
        log->set_seriousFailReason("na");
        ServerMessages sent;
        TestSupport::LogCapture lines;
        PluginFramework::CameraIFMO2D camera;
        camera.SetConfigDirectory(kPlugins + f.folder + "/");
        EXPECT_EQ(camera.ReadConfigFile(), std::atoi(f.reason));
        EXPECT_EQ(log->get_seriousFailReason(), f.reason);
        EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
        EXPECT_TRUE(lines.Contains("Camera Client: reading config file...")) << lines.Joined();
        if (f.logLine == nullptr) {
            const std::string path = kPlugins + "missing/ConfigSmartCameraIFMO2D.xml";
            EXPECT_TRUE(lines.Contains("File " + path + " not available! Aborting read()")) << lines.Joined();
            EXPECT_EQ(sent.Count("Camera Ini file not found"), 2);  // the text and the failure reason
        } else {
            EXPECT_TRUE(lines.Contains(f.logLine)) << lines.Joined();
            EXPECT_EQ(sent.Count(f.logLine), 1);
        }
        // Without a configuration there is nothing to connect to.
        camera.Start();
        EXPECT_FALSE(camera.IsStarted());
    }
}

TEST(PluginCameraConfig, ValidFileIsReportedAndKeepsTheControllerRunning) {
    LogSingleton* log = LogSingleton::instance();
    ServerMessages sent;
    TestSupport::LogCapture lines;
    PluginFramework::CameraIFMO2D camera;
    camera.SetConfigDirectory(kPlugins + "valid/");
    EXPECT_EQ(camera.ReadConfigFile(), 0);
    EXPECT_EQ(log->get_opMode(), OPMODE_NORMAL);
    for (const char* line : {"Camera configuration: 127.0.0.1:50123", "Camera configuration:  Wait 2.5  Scale 0.50 0.25",
                             "Camera configuration:  Origin 100.0 200.0 300.0  Look 0.0 0.0 -1.0  Up 1.0 0.0 0.0  "
                             "ZDistance 400.0"}) {
        EXPECT_TRUE(lines.Contains(line)) << line << "\n" << lines.Joined();
        EXPECT_EQ(sent.Count(line), 1) << line;
    }
}

TEST(PluginCameraConfig, DefaultFolderIsTheProgramPathsPlugins) {
    PluginFramework::CameraIFMO2D camera;
    EXPECT_EQ(camera.GetConfigFilePath(),
              LogSingleton::instance()->get_programPath() + "/Data/Plugins/ConfigSmartCameraIFMO2D.xml");
}

struct Scan {
    const char* what;
    std::string text;
    bool pass;
    int model = -1;
    int x = 0;
    int y = 0;
    float rotation = 0.0f;
};

TEST(PluginCameraScan, OnlyCompletePassFramesCount) {
    const std::string example = "0000startPASS#1.0#0#3#330#250#45.7#0.0stop";
    std::string longText = example + std::string(3000, 'z');
    const std::vector<Scan> scans = {
        {"the example frame", example, true, 3, 330, 250, 45.7f},
        {"negative values", "0000startPASS#0#1#-2#-10#-20#-190.5#9stop", true, -2, -10, -20, -190.5f},
        {"longer than one receive, unterminated", longText, true, 3, 330, 250, 45.7f},
        {"fail frame", "0000startFAIL#stop", false},
        {"pass with a fail marker later", example + "0000startFAIL", false},
        {"marker one byte early", "000startPASS#1.0#0#3#330#250#45.7#0.0stop", false},
        {"marker one byte late", "x0000startPASS#1.0#0#3#330#250#45.7#0.0stop", false},
        {"first byte not a zero", "X000startPASS#1.0#0#3#330#250#45.7#0.0stop", false},
        {"model field garbled", "0000startPASS#1.0#0#x#330#250#45.7#0.0stop", false},
        {"pixel field garbled", "0000startPASS#1.0#0#3#330#y#45.7#0.0stop", false},
        {"last field missing", "0000startPASS#1.0#0#3#330#250#45.7stop", false},
        {"frame cut after the rotation", "0000startPASS#1.0#0#3#330#250#45.7#", false},
        {"rotation not a number", "0000startPASS#1.0#0#3#330#250#nan#0.0stop", false},
        {"rotation infinite", "0000startPASS#1.0#0#3#330#250#inf#0.0stop", false},
        {"zero byte inside", std::string("0000startPASS#1.0#0#3\0#330#250#45.7#0.0stop", 41), false},
        {"marker only", "0000startPASS", false},
        {"empty", "", false},
    };
    for (const Scan& s : scans) {
        SCOPED_TRACE(s.what);
        const PluginFramework::CameraMessage m = PluginFramework::CameraIFMO2D::ScanMessage(s.text.data(), s.text.size());
        EXPECT_EQ(m.pass, s.pass);
        if (s.pass && m.pass) {
            EXPECT_EQ(m.modelClass, s.model);
            EXPECT_EQ(m.pixelX, s.x);
            EXPECT_EQ(m.pixelY, s.y);
            EXPECT_FLOAT_EQ(m.rotation, s.rotation);
        }
    }
}

class PluginCameraTarget : public ::testing::Test {
protected:
    void SetUp() override {
        camera.SetConfigDirectory(kPlugins + "valid/");
        ASSERT_EQ(camera.ReadConfigFile(), 0);
    }
    void Parse(const std::string& text) { camera.ParseMessage(text.data(), text.size()); }

    PluginFramework::CameraIFMO2D camera;
};

// Pose columns Up (1,0,0), third (0,-1,0), Look (0,0,-1), Origin (100,200,300);
// pixel (330, 250) is (10 * 0.5, 10 * 0.25, 400) in the camera frame.
TEST_F(PluginCameraTarget, ExampleFrameGivesThePosedTarget) {
    Parse("0000startPASS#1.0#0#3#330#250#45.7#0.0stop");
    float position[3] = {};
    float rotation = 0.0f;
    int model = -1;
    ASSERT_TRUE(camera.GetTargetPos(position, &rotation, &model));
    EXPECT_FLOAT_EQ(position[0], 105.0f);
    EXPECT_FLOAT_EQ(position[1], 197.5f);
    EXPECT_FLOAT_EQ(position[2], -100.0f);
    EXPECT_FLOAT_EQ(rotation, 45.0f);
    EXPECT_EQ(model, 3);

    // A garbled or FAIL frame clears the target, and nothing is written then.
    for (const char* text : {"0000startPASS#1.0#0#x#330#250#45.7#0.0stop", "0000startFAILstop"}) {
        Parse("0000startPASS#1.0#0#3#330#250#45.7#0.0stop");
        Parse(text);
        float untouched[3] = {7.0f, 8.0f, 9.0f};
        float angle = 11.0f;
        int modelClass = 12;
        EXPECT_FALSE(camera.GetTargetPos(untouched, &angle, &modelClass)) << text;
        EXPECT_EQ(untouched[0], 7.0f);
        EXPECT_EQ(angle, 11.0f);
        EXPECT_EQ(modelClass, 12);
    }
}

TEST_F(PluginCameraTarget, RotationIsCutToDegreesAndBroughtIntoRangeOnce) {
    const std::vector<std::pair<const char*, float>> rotations = {
        {"190", -170.0f}, {"-190", 170.0f}, {"180", 180.0f}, {"-180", -180.0f}, {"45.7", 45.0f},
        {"-45.7", -45.0f}, {"180.9", 180.0f}, {"550", 190.0f}, {"0", 0.0f},
    };
    for (const auto& r : rotations) {
        Parse(std::string("0000startPASS#1.0#0#3#320#240#") + r.first + "#0.0stop");
        float position[3] = {};
        float rotation = 1234.0f;
        int model = -1;
        ASSERT_TRUE(camera.GetTargetPos(position, &rotation, &model)) << r.first;
        EXPECT_FLOAT_EQ(rotation, r.second) << r.first;
    }
}

TEST_F(PluginCameraTarget, ExtremePixelValuesStayFinite) {
    Parse("0000startPASS#1.0#0#3#-2147483648#2147483647#0#0.0stop");
    float position[3] = {};
    float rotation = 0.0f;
    int model = -1;
    ASSERT_TRUE(camera.GetTargetPos(position, &rotation, &model));
    EXPECT_TRUE(std::isfinite(position[0]) && std::isfinite(position[1]));
}

// The same kind of report is sent at most once within 5 s; a change is always sent.
TEST_F(PluginCameraTarget, ReportsAreRateLimitedButChangesGoOut) {
    ServerMessages sent;
    Parse("0000startFAILstop");
    Parse("0000startFAILstop");
    EXPECT_EQ(sent.Count("IFM O2D Client: No object recognized"), 1);
    Parse("0000startPASS#1.0#0#3#330#250#45.7#0.0stop");
    Parse("0000startPASS#1.0#0#4#330#250#45.7#0.0stop");
    EXPECT_EQ(sent.Count("IFM O2D Client: Got target position"), 1);
    EXPECT_EQ(sent.Count("IFM O2D Client: Got target position  x=105.00 y=197.50 rot=45.00,  camera origin x=330px "
                         "y=250px,  type=3"),
              1);
    Parse("garbage");
    EXPECT_EQ(sent.Count("IFM O2D Client: No object recognized"), 2);
}

TEST(PluginManagerTarget, UnknownPluginsAndAMissingCameraThrow) {
    PluginFramework::PluginManager manager;
    int model = 5;
    float joints[9] = {};
    float pose[12] = {1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 30};
    float orientation[3] = {1, 2, 3};
    bool dIn[64] = {};
    bool dOut[64] = {};
    auto ask = [&](const std::string& name) {
        return [&, name] { manager.ExecutePluginCmdTarget(name, &model, joints, pose, orientation, dIn, dOut); };
    };
    ServerMessages sent;
    // Names match exactly: the camera plug-in in another case is refused too.
    // The empty name first: its text is the start of the others'.
    for (const char* name : {"", "PluginSmartCameraIFMO2D", "pluginsim"}) {
        TestSupport::LogCapture lines;
        EXPECT_EQ(RuntimeError(ask(name)), "PluginManager - Plugin not available!") << name;
        EXPECT_TRUE(lines.Contains(std::string("Error! Plugin not available: ") + name)) << lines.Joined();
        EXPECT_EQ(sent.Count(std::string("Error! Plugin not available: ") + name), 1) << name;
    }
    TestSupport::LogCapture lines;
    EXPECT_EQ(RuntimeError(ask("pluginsmartcameraifmo2d")), "PluginManager - Camera not connected!");
    EXPECT_TRUE(lines.Contains("Error! IFM-O2D not connected!")) << lines.Joined();
    EXPECT_EQ(sent.Count("Error! IFM-O2D not connected!"), 1);
    EXPECT_EQ(model, 5);
    EXPECT_EQ(pose[3], 10.0f);
}

TEST(PluginManagerStart, MissingConfigurationStartsNothingButStillLooksForTheLidar) {
    TestSupport::TempDataRoot emptyTree;
    PluginFramework::PluginManager manager;
    manager.GetCamera().SetConfigDirectory(kPlugins + "missing/");
    manager.GetLidar().SetSysfsRoot(emptyTree.Path() + "/");
    TestSupport::LogCapture lines;
    manager.StartPlugins();
    EXPECT_FALSE(manager.GetCamera().IsStarted());
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "81 Camera Ini file not found");
    EXPECT_TRUE(lines.Contains("Lidar: Detecting device")) << lines.Joined();
    EXPECT_TRUE(lines.Contains("Lidar: Could not find device"));
}

}  // namespace
