// The simulator program as the demo and a developer use it: it prints its port, serves a
// camera and reports what it served when it is stopped.
#include "vision/PluginManager.h"

#include "camera_test_support.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

#ifdef BELVANTO_CAMERASIM_PROGRAM

// The program with its standard output on a pipe; killed if the test leaves early.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), BELVANTO_CAMERASIM_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, BELVANTO_CAMERASIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out = fds[0];
    }
    ~SimProgram() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out >= 0) ::close(out);
    }
    // Reads output until it holds text or the time-out passes.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        return CameraTest::WaitUntil(
            [&] {
                pollfd p{out, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    char buffer[256];
                    const ssize_t n = ::read(out, buffer, sizeof(buffer));
                    if (n > 0) output.append(buffer, static_cast<size_t>(n));
                }
                return output.find(text) != std::string::npos;
            },
            timeoutMs);
    }
    int Port() const { return std::atoi(output.c_str() + output.find("PORT ") + 5); }
    int Terminate() {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid = -1;
    int out = -1;
    std::string output;
};

TEST(CameraSimProgram, ServesAnO2DSensorAndABinPickingCamera) {
    SimProgram o2d({"--mode", "o2d", "--pass", "3,420,190,190", "--split", "5", "--bmp", "16x8", "--period", "50"});
    ASSERT_GT(o2d.pid, 0);
    ASSERT_TRUE(o2d.WaitForOutput("\n", 10000)) << o2d.output;
    CameraTest::RecordingO2D camera("Sim", o2d.Port());
    camera.ImageEnabled.store(true);
    camera.Start();
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(CameraTest::WaitUntil([&] { return camera.GetTargetPos(pos, ori, model) && camera.GetImage(); }, 10000));
    EXPECT_FLOAT_EQ(pos.x, 100.0f);
    EXPECT_EQ(model, 3);
    camera.Stop();
    EXPECT_EQ(o2d.Terminate(), 0);
    o2d.WaitForOutput("frames\n", 5000);
    EXPECT_NE(o2d.output.find("camerasim: 1 connections"), std::string::npos) << o2d.output;

    SimProgram bin({"--mode", "binpicking", "--fail"});
    ASSERT_TRUE(bin.WaitForOutput("\n", 10000)) << bin.output;
    CameraTest::RecordingBinPicking picker("Bin", bin.Port());
    picker.Start();
    ASSERT_TRUE(CameraTest::WaitUntil([&] { return picker.HasNewResult(); }, 10000));
    EXPECT_FALSE(picker.GetTargetPos(pos, ori, model));
    picker.Stop();
    EXPECT_EQ(bin.Terminate(), 0);
    bin.WaitForOutput("frames\n", 5000);
    EXPECT_EQ(bin.output.find(" 0 requests"), std::string::npos) << bin.output;
}

TEST(CameraSimProgram, ServesThePluginCamera) {
    SimProgram sim({"--mode", "plugin", "--period", "50"});
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(sim.WaitForOutput("\n", 10000)) << sim.output;
    TestSupport::TempDataRoot root;
    root.WriteFile("Plugins/ConfigSmartCameraIFMO2D.xml",
                   "<Configuration><Cam0Connection IP=\"127.0.0.1\" Port=\"" + std::to_string(sim.Port()) +
                       "\"/><Cam0Geometry ScaleX=\"1\" ScaleY=\"1\" UpX=\"1\" LookZ=\"1\" "
                       "ZDistance=\"100\"/></Configuration>");
    PluginFramework::PluginManager plugins;
    plugins.GetCamera().SetConfigDirectory(root.Path() + "/Plugins/");
    plugins.GetLidar().SetSysfsRoot(root.Path() + "/tty/");
    plugins.StartPlugins();
    float position[3] = {};
    float rotation = 0.0f;
    int model = -1;
    // The simulator's plug-in frame: model 3, pixel (330, 250), rotation 45.7.
    ASSERT_TRUE(CameraTest::WaitUntil([&] { return plugins.GetCamera().GetTargetPos(position, &rotation, &model); },
                                      10000));
    EXPECT_EQ(model, 3);
    EXPECT_FLOAT_EQ(rotation, 45.0f);
    EXPECT_FLOAT_EQ(position[0], 10.0f);
    EXPECT_FLOAT_EQ(position[2], 100.0f);
    plugins.StopPlugins();
    EXPECT_EQ(sim.Terminate(), 0);
}

#else

TEST(CameraSimProgram, ServesThePluginCamera) { GTEST_SKIP() << "the tools are not built (BELVANTO_BUILD_TOOLS=OFF)"; }

TEST(CameraSimProgram, ServesAnO2DSensorAndABinPickingCamera) {
    GTEST_SKIP() << "the tools are not built (BELVANTO_BUILD_TOOLS=OFF)";
}

#endif

}  // namespace
