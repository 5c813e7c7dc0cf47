#include "vision/CameraBinPicking.h"

#include "camera_test_support.h"
#include "camerasim/CameraSim.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <string>

namespace {

using CameraTest::PassFrame;
using CameraTest::RecordingBinPicking;
using CameraTest::WaitUntil;

CameraSim::Config Answering(const std::string& frame) {
    CameraSim::Config config;
    config.mode = CameraSim::Mode::OnRequest;
    config.frames = {frame};
    return config;
}

TEST(CameraBinPickingLive, EveryRequestIsAnsweredAndPixelsCountAsMillimetres) {
    CameraSim::Server sim(Answering(PassFrame(4, 330, 250, 190)));
    ASSERT_GT(sim.Start(), 0);
    RecordingBinPicking camera("Bin", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return camera.Passes() >= 3; }, 10000));
    EXPECT_GE(sim.Requests(), 3);
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(camera.GetTargetPos(pos, ori, model));
    EXPECT_FLOAT_EQ(pos.x, 10.0f);
    EXPECT_FLOAT_EQ(pos.y, 10.0f);
    EXPECT_FLOAT_EQ(pos.z, 100.0f);
    EXPECT_FLOAT_EQ(ori.x, -170.0f);
    EXPECT_EQ(model, 4);
    EXPECT_EQ(camera.GetStatus(), 2);
    EXPECT_EQ(sim.Connections(), 1);
}

TEST(CameraBinPickingLive, FailAnswersKeepTheConnectionWithoutATarget) {
    CameraSim::Server sim(Answering("0000startFAILstop"));
    ASSERT_GT(sim.Start(), 0);
    RecordingBinPicking camera("Bin", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return sim.FramesSent() >= 5 && camera.HasNewResult(); }, 10000));
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    EXPECT_FALSE(camera.GetTargetPos(pos, ori, model));
    EXPECT_EQ(model, -1);
    EXPECT_EQ(sim.Connections(), 1);
    EXPECT_EQ(camera.Passes(), 0u);
}

TEST(CameraBinPickingLive, SilentCameraIsReconnectedAfterFourToSixSeconds) {
    CameraSim::Config config = Answering("0000startFAILstop");
    config.silenceAfter = 0;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    TestSupport::LogCapture log;
    RecordingBinPicking camera("Bin", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return sim.Connections() >= 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return sim.Connections() >= 2; }, 10000));
    const double silence = CameraTest::SecondsSince(start);
    EXPECT_GE(silence, 4.0);
    EXPECT_LE(silence, 6.0);
    EXPECT_GE(sim.Requests(), 3);
    // The missed answers go out with the next line.
    EXPECT_TRUE(log.Contains("Camera BinPicking failed to receive data!\nCamera BinPicking 'Bin' timeout"))
        << log.Joined();
}

TEST(CameraBinPickingLive, StopReturnsWhileWaitingForAnAnswer) {
    CameraSim::Config config = Answering("0000startFAILstop");
    config.silenceAfter = 0;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);
    RecordingBinPicking camera("Bin", sim.Port());
    camera.Start();
    ASSERT_TRUE(WaitUntil([&] { return sim.Requests() >= 1; }, 5000));
    const auto start = std::chrono::steady_clock::now();
    camera.Stop();
    EXPECT_LT(CameraTest::SecondsSince(start), 1.3);
    EXPECT_FALSE(camera.IsRunning());
    EXPECT_EQ(camera.GetStatus(), 1);
}

TEST(CameraBinPickingLive, OversizedImagesAreLoggedAndTheCameraGoesOn) {
    struct Row {
        std::string frame;
        const char* logged;
    };
    // A BMP larger than the frame buffer, and one whose header claims far more pixels than sent.
    std::string lying = CameraSim::GreyBmp(8, 8);
    lying[18] = lying[19] = lying[20] = lying[22] = lying[23] = lying[24] = '\xff';
    const Row rows[] = {
        {CameraSim::WithImage(PassFrame(2, 330, 250, 0), CameraSim::GreyBmp(700, 500)) + PassFrame(2, 330, 250, 0),
         "Camera BinPicking 'Bin': frame bigger than the buffer dropped"},
        {CameraSim::WithImage(PassFrame(2, 330, 250, 0), lying), "Camera BinPicking 'Bin': parsing image failed"},
    };
    for (const Row& row : rows) {
        CameraSim::Server sim(Answering(row.frame));
        ASSERT_GT(sim.Start(), 0);
        TestSupport::LogCapture log;
        RecordingBinPicking camera("Bin", sim.Port());
        camera.ImageEnabled.store(true);
        camera.Start();
        ASSERT_TRUE(WaitUntil([&] { return log.Contains(row.logged); }, 15000)) << log.Joined();
        ASSERT_TRUE(WaitUntil([&] { return camera.Passes() >= 1; }, 15000));
        EXPECT_TRUE(camera.IsConnected());
        EXPECT_EQ(camera.GetImage(), nullptr);
        EXPECT_EQ(sim.Connections(), 1);
    }
}

TEST(CameraBinPickingConfig, ReadWriteAndConfigLineHaveNoScale) {
    tinyxml2::XMLDocument doc;
    doc.Parse(R"(<HwCamera Type="SolutionBinPicking" Name="Bin" Active="TRUE" ImageEnabled="no" Description="d"
                 IP="10.0.0.2" Port="7000" ScaleX="5" OriginX="1" OriginY="2" OriginZ="3" LookX="0" LookY="0"
                 LookZ="1" UpX="1" UpY="0" UpZ="0" ZDistance="250.5"/>)");
    Camera::CameraBinPicking camera("x");
    TestSupport::LogCapture log;
    ASSERT_EQ(camera.Read(*doc.RootElement()), 0);
    EXPECT_TRUE(log.Contains("Camera BinPicking: Loading configuration"));
    EXPECT_TRUE(log.Contains("Camera BinPicking 'Bin': Configuration loaded"));
    EXPECT_TRUE(camera.Active.load());
    EXPECT_FALSE(camera.ImageEnabled.load());
    EXPECT_EQ(camera.GetHVPConfigString(2),
              "CONFIG Camera 2 SolutionBinPicking Bin True 10.0.0.2 7000 1.000 2.000 3.000 0.000 0.000 1.000 1.000 "
              "0.000 0.000 250.500 False");
    tinyxml2::XMLDocument out;
    tinyxml2::XMLElement* written = camera.Write(out);
    out.InsertEndChild(written);
    tinyxml2::XMLPrinter printer(nullptr, true);
    out.Print(&printer);
    EXPECT_STREQ(printer.CStr(),
                 "<HwCamera Type=\"SolutionBinPicking\" Name=\"Bin\" Active=\"True\" ImageEnabled=\"False\" "
                 "Description=\"d\" IP=\"10.0.0.2\" Port=\"7000\" OriginX=\"1\" OriginY=\"2\" OriginZ=\"3\" "
                 "LookX=\"0\" LookY=\"0\" LookZ=\"1\" UpX=\"1\" UpY=\"0\" UpZ=\"0\" ZDistance=\"250.5\"/>");
}

}  // namespace
