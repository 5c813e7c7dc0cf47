// The camera plug-in against a small camera on 127.0.0.1: connection life cycle, target
// hand-over between threads, and what a program sees when the camera goes away.
#include "vision/PluginManager.h"

#include "core/LogSingleton.h"

#include "testsupport/LoopbackListener.h"
#include "testsupport/TestSupport.h"
#include "testsupport/WaitUntil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10000ms) {
    return TestSupport::WaitUntil(condition, static_cast<int>(timeout.count()), 5);
}

// A listening camera; connections are accepted by the test thread when it wants them.
class CameraServer {
public:
    explicit CameraServer(int backlog = 8) : listener(backlog) {
        if (listener.Port() == 0) ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    ~CameraServer() {
        for (int fd : accepted) ::close(fd);
    }
    CameraServer(const CameraServer&) = delete;
    CameraServer& operator=(const CameraServer&) = delete;

    int Port() const { return listener.Port(); }

    // The next connection, or -1 when none arrives in time.
    int Accept(std::chrono::milliseconds timeout = 10000ms) {
        const int fd = listener.Accept(static_cast<int>(timeout.count()));
        if (fd >= 0) accepted.push_back(fd);
        return fd;
    }

    static void Send(int fd, const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }

    void Close(int fd) {
        for (auto it = accepted.begin(); it != accepted.end(); ++it) {
            if (*it == fd) {
                accepted.erase(it);
                break;
            }
        }
        ::close(fd);
    }

    // True when the client side closed the connection within the time-out.
    static bool SeesClose(int fd, std::chrono::milliseconds timeout = 10000ms) {
        const auto end = Clock::now() + timeout;
        char byte;
        while (Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                const ssize_t n = ::recv(fd, &byte, 1, 0);
                if (n <= 0) return true;
            }
        }
        return false;
    }

private:
    TestSupport::LoopbackListener listener;
    std::vector<int> accepted;
};

// A manager whose camera reads its configuration from a temporary folder and whose lidar
// looks at an empty fake sysfs tree.
class PluginCameraLink : public ::testing::Test {
protected:
    void Configure(int port) {
        root.WriteFile("Plugins/ConfigSmartCameraIFMO2D.xml",
                       "<Configuration>\n"
                       "  <Cam0Connection IP=\"127.0.0.1\" Port=\"" +
                           std::to_string(port) +
                           "\" />\n"
                           "  <Cam0Geometry MaxWaitTime=\"1\" ScaleX=\"0.5\" ScaleY=\"0.25\" OriginX=\"100\" "
                           "OriginY=\"200\" OriginZ=\"300\" LookX=\"0\" LookY=\"0\" LookZ=\"-1\" UpX=\"1\" UpY=\"0\" "
                           "UpZ=\"0\" ZDistance=\"400\" />\n"
                           "</Configuration>\n");
        manager->GetCamera().SetConfigDirectory(root.Path() + "/Plugins/");
        manager->GetLidar().SetSysfsRoot(root.Path() + "/tty/");
    }

    int Ask(float* pose, float* orientation, int* model) {
        float joints[9] = {};
        bool dIn[64] = {};
        bool dOut[64] = {};
        return manager->ExecutePluginCmdTarget("pluginsmartcameraifmo2d", model, joints, pose, orientation, dIn, dOut);
    }

    std::string AskError() {
        float pose[12] = {};
        float orientation[3] = {};
        int model = 0;
        try {
            Ask(pose, orientation, &model);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no exception";
    }

    PluginFramework::CameraIFMO2D& Camera() { return manager->GetCamera(); }

    TestSupport::TempDataRoot root;
    std::unique_ptr<PluginFramework::PluginManager> manager = std::make_unique<PluginFramework::PluginManager>();
};

const char kFrameA[] = "0000startPASS#1.0#0#3#330#250#45.7#0.0stop";  // (105, 197.5, -100), 45, model 3
const char kFrameB[] = "0000startPASS#1.0#0#7#340#260#-30.2#0.0stop";  // (110, 195, -100), -30, model 7

TEST_F(PluginCameraLink, ConcurrentTargetThenPeerCloseGivesCameraNotConnected) {
    CameraServer server;
    Configure(server.Port());
    TestSupport::LogCapture lines;
    manager->StartPlugins();
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));
    EXPECT_TRUE(lines.Contains("Camera Client IFM O2D connecting to 127.0.0.1 port " + std::to_string(server.Port())));

    CameraServer::Send(fd, kFrameA);
    float pose[12] = {1, 0, 0, 1, 0, 1, 0, 2, 0, 0, 1, 3};
    float orientation[3] = {1, 2, 3};
    int model = -1;
    ASSERT_TRUE(WaitFor([&] { return Ask(pose, orientation, &model) == 1; }));
    EXPECT_FLOAT_EQ(pose[3], 105.0f);
    EXPECT_FLOAT_EQ(pose[7], 197.5f);
    EXPECT_FLOAT_EQ(pose[11], -100.0f);
    EXPECT_EQ(pose[0], 1.0f);  // only the translation is written
    EXPECT_FLOAT_EQ(orientation[0], 45.0f);
    EXPECT_EQ(orientation[1], 2.0f);
    EXPECT_EQ(orientation[2], 3.0f);
    EXPECT_EQ(model, 3);
    EXPECT_TRUE(lines.Contains("PluginManager received target: x=105.0  y=197.5  z=-100.0 -  A=45.00  B=2.00  "
                               "C=3.00 - modelclass 3"))
        << lines.Joined();

    // The camera goes away: the program must hear it instead of waiting for ever.
    server.Close(fd);
    ASSERT_TRUE(WaitFor([&] { return !Camera().IsStarted(); }));
    EXPECT_FALSE(Camera().IsRunning());
    EXPECT_EQ(AskError(), "PluginManager - Camera not connected!");
    EXPECT_TRUE(lines.Contains("IFM O2D Client: stopping com thread..."));

    // The next program start connects again.
    manager->StartPlugins();
    ASSERT_GE(server.Accept(), 0);
    EXPECT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));
}

TEST_F(PluginCameraLink, ConcurrentSecondStartBeforeTheConnectAddsNoThread) {
    CameraServer server;
    Configure(server.Port());
    TestSupport::LogCapture lines;
    manager->StartPlugins();
    manager->StartPlugins();
    ASSERT_GE(server.Accept(), 0);
    ASSERT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));
    manager->StartPlugins();
    EXPECT_EQ(server.Accept(500ms), -1);
    EXPECT_EQ(lines.Count("Camera Client IFM O2D connecting to"), 1) << lines.Joined();
    // Later starts read the configuration again.
    EXPECT_EQ(lines.Count("Camera Client: reading config file..."), 3);
}

TEST_F(PluginCameraLink, ConcurrentStopJoinsTheThreadAndStartConnectsAgain) {
    CameraServer server;
    Configure(server.Port());
    manager->StartPlugins();
    int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));

    const auto begin = Clock::now();
    manager->StopPlugins();
    EXPECT_LT(Clock::now() - begin, 3s);  // one 100 ms read wait, with room for slow builds
    EXPECT_FALSE(Camera().IsRunning());
    EXPECT_FALSE(Camera().IsStarted());
    EXPECT_TRUE(CameraServer::SeesClose(fd));

    // A new start clears the stop request of the last one.
    manager->StartPlugins();
    fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));

    // The manager's destructor joins the thread and closes the connection.
    manager.reset();
    EXPECT_TRUE(CameraServer::SeesClose(fd));
}

// Readers get whole results: never x of one frame with the angle or model of another.
TEST_F(PluginCameraLink, ConcurrentReadersNeverMixTwoFrames) {
    CameraServer server;
    Configure(server.Port());
    manager->StartPlugins();
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] { return Camera().IsRunning(); }));

    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                float p[3] = {};
                float rotation = 0.0f;
                int model = 0;
                if (Camera().GetTargetPos(p, &rotation, &model)) {
                    const bool a = p[0] == 105.0f && p[1] == 197.5f && rotation == 45.0f && model == 3;
                    const bool b = p[0] == 110.0f && p[1] == 195.0f && rotation == -30.0f && model == 7;
                    if (!a && !b) ++mixed;
                    ++seen;
                }
            }
        });
    }
    // A configuration reader next to them: the same values, read again under the lock.
    std::thread configReader([&] {
        for (int i = 0; i < 5; ++i) Camera().ReadConfigFile();
    });
    for (int i = 0; i < 200; ++i) {
        CameraServer::Send(fd, (i % 2 == 0) ? kFrameA : kFrameB);
        std::this_thread::sleep_for(2ms);
    }
    WaitFor([&] { return seen.load() > 100; });
    configReader.join();
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(mixed.load(), 0);
}

// A camera that never completes the connect: no target but no fault while the connect
// is under way, then "not connected"; Stop waits at most for the connect time-out.
TEST_F(PluginCameraLink, ConcurrentUnreachableCameraEndsAsNotConnected) {
    CameraServer server(0);
    Configure(server.Port());
    // Fill the backlog-0 queue with one connection nobody accepts; later connects hang.
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    TestSupport::LogCapture lines;
    manager->StartPlugins();
    std::this_thread::sleep_for(100ms);
    if (!Camera().IsConnecting()) {
        ::close(filler);
        GTEST_SKIP() << "this host completes or refuses connects to a full backlog";
    }
    float pose[12] = {0, 0, 0, 7};
    float orientation[3] = {};
    int model = 9;
    EXPECT_EQ(Ask(pose, orientation, &model), 0);
    EXPECT_EQ(model, -1);
    EXPECT_EQ(pose[3], 7.0f);

    ASSERT_TRUE(WaitFor([&] { return !Camera().IsStarted(); }));
    EXPECT_TRUE(lines.Contains("IFM O2D Client: Could not connect to camera")) << lines.Joined();
    EXPECT_EQ(AskError(), "PluginManager - Camera not connected!");

    // Stopped in the middle of a hanging connect.
    manager->StartPlugins();
    std::this_thread::sleep_for(200ms);
    const auto begin = Clock::now();
    manager->StopPlugins();
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(TCPClient::ConnectTimeoutMs) + 1s);
    EXPECT_FALSE(Camera().IsStarted());
    ::close(filler);
}

}  // namespace
