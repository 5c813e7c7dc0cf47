#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"
#include "vision/TCPClient.h"

#include "camera_test_support.h"
#include "camerasim/CameraSim.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using CameraTest::PassFrame;
using CameraTest::RecordingO2D;
using CameraTest::WaitUntil;

class Manager : public Camera::CameraManager {};

TEST(CameraIFMO2DLive, ExampleFrameGivesTheTargetAndFailGivesNone) {
    CameraSim::Config config;
    config.frames = {"0000startPASS#1.0#0#3#420#190#190.0#0.0stop"};
    config.periodMs = 50;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    RecordingO2D camera("Cam1", sim.Port());
    EXPECT_EQ(camera.GetStatus(), 1);
    camera.Start();
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(WaitUntil([&] { return camera.GetTargetPos(pos, ori, model); }, 10000));
    EXPECT_FLOAT_EQ(pos.x, 100.0f);
    EXPECT_FLOAT_EQ(pos.y, -50.0f);
    EXPECT_FLOAT_EQ(pos.z, 100.0f);
    EXPECT_EQ(model, 3);
    EXPECT_FLOAT_EQ(ori.x, -170.0f);
    EXPECT_EQ(ori.y, 0.0f);
    EXPECT_EQ(camera.GetStatus(), 2);
    EXPECT_EQ(camera.GetStatusString(), "CONNECTED");
    camera.Stop();
    EXPECT_FALSE(camera.IsRunning());
    // Results are reported only while connected.
    EXPECT_FALSE(camera.GetTargetPos(pos, ori, model));

    CameraSim::Config failing;
    failing.frames = {"0000startFAILstop"};
    failing.periodMs = 50;
    CameraSim::Server failSim(failing);
    ASSERT_GT(failSim.Start(), 0);
    RecordingO2D failCamera("Cam2", failSim.Port());
    failCamera.Start();
    ASSERT_TRUE(WaitUntil([&] { return failSim.FramesSent() >= 2 && failCamera.HasNewResult(); }, 10000));
    EXPECT_FALSE(failCamera.GetTargetPos(pos, ori, model));
    EXPECT_EQ(model, -1);
    EXPECT_EQ(failCamera.Passes(), 0u);
}

TEST(CameraIFMO2DLive, EveryFrameArrivesWhateverTheWritesLookLike) {
    const std::vector<std::string> frames = {PassFrame(1, 401, 190, 0), PassFrame(2, 402, 190, 0),
                                             PassFrame(3, 403, 190, 0)};
    const size_t length = frames[0].size();
    struct Row {
        const char* what;
        std::function<void(CameraSim::Config&)> shape;
    };
    const Row rows[] = {
        {"cut at every offset inside 0000start", [](CameraSim::Config& c) { c.splitOffsets = {1, 2, 3, 4, 5, 6, 7, 8}; }},
        {"cut at every offset inside stop",
         [length](CameraSim::Config& c) { c.splitOffsets = {length - 3, length - 2, length - 1}; }},
        {"two frames per write", [](CameraSim::Config& c) { c.framesPerWrite = 2; }},
        {"byte by byte", [](CameraSim::Config& c) { c.byteByByte = true; }},
        {"five zeros",
         [](CameraSim::Config& c) {
             for (auto& f : c.frames) f = "0" + f;
         }},
        {"noise before the first frame", [](CameraSim::Config& c) { c.prefix = "stop#BMP#12#0000sta"; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CameraSim::Config config;
        config.frames = frames;
        config.periodMs = 30;
        row.shape(config);
        CameraSim::Server sim(config);
        ASSERT_GT(sim.Start(), 0);
        RecordingO2D camera("Cam", sim.Port());
        camera.Start();
        ASSERT_TRUE(WaitUntil([&] { return camera.Passes() >= 7; }, 20000));
        camera.Stop();
        const std::vector<int> xs = camera.Xs();
        EXPECT_EQ(xs[0], 401);
        for (size_t i = 1; i < xs.size(); ++i) {
            EXPECT_EQ(xs[i], 401 + (xs[i - 1] - 401 + 1) % 3) << "frame " << i << " lost";
        }
        EXPECT_EQ(sim.Connections(), 1);
    }
}

TEST(CameraIFMO2DLive, ImageFrameAndFailFrameOfOneWriteAreBothParsed) {
    CameraSim::Config config;
    config.frames = {CameraSim::WithImage(PassFrame(3, 401, 190, 0), CameraSim::GreyBmp(320, 240)) +
                     "0000startFAILstop"};
    config.silenceAfter = 1;  // this one write only
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    TestSupport::LogCapture log;
    RecordingO2D camera("Cam", sim.Port());
    camera.ImageEnabled.store(true);
    camera.Start();
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(WaitUntil([&] { return camera.Passes() == 1 && camera.HasNewResult() && camera.IsConnected() &&
                                       !camera.GetTargetPos(pos, ori, model); },
                          10000));
    EXPECT_EQ(model, -1);
    camera.Stop();
    EXPECT_FALSE(log.Contains("parsing image failed")) << log.Joined();
}

TEST(CameraIFMO2DLive, ImageLinesAtMostOncePerSecondCarryTheSentPixels) {
    CameraSim::Config config;
    config.frames = {PassFrame(3, 420, 190, 190)};
    config.bmpWidth = 64;
    config.bmpHeight = 48;
    config.periodMs = 50;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    Manager manager;
    auto owned = std::make_unique<RecordingO2D>("Cam1", sim.Port());
    owned->ImageEnabled.store(true);
    manager.Add(std::move(owned));

    Camera::CameraManager::HVPLineCursor cursor;
    std::vector<std::pair<double, std::string>> images;
    std::vector<std::string> results;
    const auto start = std::chrono::steady_clock::now();
    while (CameraTest::SecondsSince(start) < 3.3) {
        manager.ProduceHVPLines();
        const double at = CameraTest::SecondsSince(start);
        for (const auto& line : manager.TakeNewHVPLines(cursor)) {
            if (line->rfind("CAMINFO CameraImage ", 0) == 0) {
                images.emplace_back(at, *line);
            } else {
                results.push_back(*line);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    manager.Clear();

    ASSERT_GE(images.size(), 2u);
    EXPECT_LE(images.size(), 4u);
    for (size_t i = 1; i < images.size(); ++i) EXPECT_GE(images[i].first - images[i - 1].first, 0.99);
    EXPECT_NE(std::find(results.begin(), results.end(), "CAMINFO CameraResult IFMO2D Cam1 CONNECTED 100 -50 100 -170 0 0 3"),
              results.end());

    const std::string& line = images.back().second;
    const std::string prefix = "CAMINFO CameraImage Cam1 ";
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0);
    ASSERT_EQ(line.back(), '\0');
    const std::vector<unsigned char> block = CameraTest::DecodePayload(line.substr(prefix.size()));
    ASSERT_EQ(block.size(), 12u + 64 * 48);
    EXPECT_EQ(CameraTest::LE32(block, 0), 64u);
    EXPECT_EQ(CameraTest::LE32(block, 4), 48u);
    EXPECT_EQ(CameraTest::LE32(block, 8), 64u);
    for (uint32_t y = 0; y < 48; ++y) {
        for (uint32_t x = 0; x < 64; ++x) ASSERT_EQ(block[12 + y * 64 + x], CameraSim::Pixel(x, y)) << x << "," << y;
    }
}

TEST(CameraIFMO2DLive, PeerCloseIsFollowedByAReconnectAtOnce) {
    CameraSim::Config config;
    config.periodMs = 50;
    config.closeAfter = 2;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    TestSupport::LogCapture log;
    RecordingO2D camera("Cam", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return sim.FramesSent() >= 2; }, 10000));
    const auto closed = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return sim.Connections() >= 2; }, 10000));
    EXPECT_LT(CameraTest::SecondsSince(closed), 1.0);
    camera.Stop();
    EXPECT_TRUE(log.Contains("Camera IFM O2D 'Cam' connection closed by the camera")) << log.Joined();
    EXPECT_GE(log.Count("Camera IFM O2D 'Cam' connected"), 2);
}

TEST(CameraIFMO2DLive, StopReturnsWhileTheConnectHangsOrWaits) {
    TestSupport::LoopbackListener stalled(0);
    if (!stalled.Stall()) GTEST_SKIP() << "this system accepts every loopback connect; nothing hangs";
    TestSupport::LogCapture log;
    RecordingO2D camera("Cam", stalled.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("Camera IFM O2D 'Cam' connecting"); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = std::chrono::steady_clock::now();
    camera.Stop();
    EXPECT_LT(CameraTest::SecondsSince(start), TCPClient::ConnectTimeoutMs / 1000.0 + 1.0);
    EXPECT_TRUE(log.Contains("Camera IFM O2D 'Cam' stopped")) << log.Joined();

    // A refused connect waits up to 5 s before the next try, but not once stopped.
    int closedPort = 0;
    {
        TestSupport::LoopbackListener gone;
        closedPort = gone.Port();
    }
    RecordingO2D refused("Refused", closedPort);
    refused.Start();
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("TCPClient: Connect failed..."); }, 5000));
    start = std::chrono::steady_clock::now();
    refused.Stop();
    EXPECT_LT(CameraTest::SecondsSince(start), 1.0);
}

TEST(CameraIFMO2DLive, SilenceRenewsTheConnectionAfterTheTimeOut) {
    CameraSim::Config config;
    config.periodMs = 50;
    config.silenceAfter = 1;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    TestSupport::LogCapture log;
    RecordingO2D camera("Cam", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return camera.Passes() == 1; }, 10000));
    EXPECT_EQ(camera.GetStatus(), 2);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return sim.Connections() >= 2; }, 12000));
    const double silence = CameraTest::SecondsSince(start);
    EXPECT_GT(silence, 4.5);
    EXPECT_LT(silence, 7.0);
    EXPECT_TRUE(log.Contains("Camera IFM O2D 'Cam' timeout")) << log.Joined();
}

TEST(CameraIFMO2DLive, InactiveCameraDoesNotRun) {
    RecordingO2D camera("Cam", 1);
    camera.Active.store(false);
    camera.Start();
    EXPECT_FALSE(camera.IsRunning());
    EXPECT_EQ(camera.GetStatus(), 0);
    EXPECT_EQ(camera.GetStatusString(), "INACTIVE");
    camera.Stop();
}

}  // namespace
